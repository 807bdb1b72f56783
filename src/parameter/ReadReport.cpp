#include "parameter/ReadReport.h"

#include <algorithm>
#include <iterator>

#include "core/FileAccess.h"

namespace ZEB {

void ReadReport::Add(ReadSeverity severity, const char* code, const std::string& file, int line,
                     const std::string& what) {
    for (const ReadProblem& known : mProblems) {
        if (known.severity == severity && known.code == code && known.file == file && known.line == line &&
            known.what == what) {
            return;
        }
    }
    mProblems.push_back({severity, code, file, line, what});
}

void ReadReport::Add(ReadSeverity severity, const char* code, const std::string& file, pugi::xml_node at,
                     const std::string& what) {
    Add(severity, code, file, at ? LineOf(file, at.offset_debug()) : 0, what);
}

void ReadReport::AddLoadFailure(const std::string& file, const pugi::xml_parse_result& result) {
    if (result.status == pugi::status_file_not_found) {
        Add(ReadSeverity::Error, "missing-file", file, 0, "not found");
    } else if (result.status == pugi::status_io_error || result.status == pugi::status_out_of_memory) {
        Add(ReadSeverity::Error, "unreadable-file", file, 0, std::string("cannot be read: ") + result.description());
    } else {
        Add(ReadSeverity::Error, "parse-error", file, LineOf(file, result.offset),
            std::string("not well-formed XML: ") + result.description());
    }
}

std::vector<ReadProblem> ReadReport::TakeAfter(size_t count) {
    std::vector<ReadProblem> taken;
    if (count >= mProblems.size()) return taken;
    taken.assign(std::make_move_iterator(mProblems.begin() + static_cast<ptrdiff_t>(count)),
                 std::make_move_iterator(mProblems.end()));
    mProblems.resize(count);
    return taken;
}

size_t ReadReport::Count(ReadSeverity severity) const {
    return static_cast<size_t>(std::count_if(mProblems.begin(), mProblems.end(),
                                             [severity](const ReadProblem& p) { return p.severity == severity; }));
}

int ReadReport::LineOf(const std::string& file, ptrdiff_t offset) {
    if (offset < 0) return 0;
    auto known = mLineStarts.find(file);
    if (known == mLineStarts.end()) {
        std::string bytes;
        if (files::ReadAll(file, files::kMaxXmlBytes, &bytes)) {
            NoteContent(file, bytes);
        } else {
            mLineStarts.emplace(file, std::vector<size_t>());
        }
        known = mLineStarts.find(file);
    }
    const std::vector<size_t>& starts = known->second;
    if (starts.empty()) return 0;
    // The last line start at or before the offset.
    const auto after = std::upper_bound(starts.begin(), starts.end(), static_cast<size_t>(offset));
    return static_cast<int>(after - starts.begin());
}

void ReadReport::NoteContent(const std::string& file, const std::string& bytes) {
    std::vector<size_t> starts{0};
    for (size_t at = 0; at < bytes.size(); ++at) {
        if (bytes[at] == '\n') starts.push_back(at + 1);
    }
    mLineStarts[file] = std::move(starts);
}

}  // namespace ZEB
