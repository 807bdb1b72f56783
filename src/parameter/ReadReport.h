#pragma once
// What the configuration readers meet that a device only logs, collected for
// tools that check a recording before a device reads it. A reader handed a
// ReadReport adds one entry per problem, with the line it stands on; without
// one it reads exactly as it always does.
#include <pugixml.hpp>

#include <map>
#include <string>
#include <vector>

namespace ZEB {

enum class ReadSeverity {
    Error,    // the device does not read the file as it was meant to be read
    Warning,  // the device reads it, and what it reads may still surprise
};

struct ReadProblem {
    ReadSeverity severity = ReadSeverity::Error;
    std::string code;  // kind of problem, stable for scripts: "unknown-element", "unreadable-value", ...
    std::string file;
    int line = 0;  // 1-based; 0: the file as a whole
    std::string what;
};

class ReadReport {
public:
    // An entry met twice (a file read once per schema table) is kept once.
    void Add(ReadSeverity severity, const char* code, const std::string& file, int line, const std::string& what);
    // At the line of `at` in `file`, as loaded by pugixml.
    void Add(ReadSeverity severity, const char* code, const std::string& file, pugi::xml_node at,
             const std::string& what);
    // Why `file` did not load, at the line pugixml stopped on.
    void AddLoadFailure(const std::string& file, const pugi::xml_parse_result& result);

    const std::vector<ReadProblem>& Problems() const { return mProblems; }
    // Takes out the problems added after the first `count`, for a reader that
    // files them under the part of the file they concern.
    std::vector<ReadProblem> TakeAfter(size_t count);
    size_t Count(ReadSeverity severity) const;

    // The 1-based line of a byte offset of `file`; 0 when it cannot be read.
    // The file is read as the readers read it (a regular file within the XML
    // cap), once, unless its content was noted already.
    int LineOf(const std::string& file, ptrdiff_t offset);
    // The bytes a reader loaded `file` from, for the lines of later entries.
    void NoteContent(const std::string& file, const std::string& bytes);

private:
    std::vector<ReadProblem> mProblems;
    std::map<std::string, std::vector<size_t>> mLineStarts;  // by file, read once
};

}  // namespace ZEB
