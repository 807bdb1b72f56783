#pragma once
// Every file the library reads or writes on behalf of people lies in folders
// they fill over adb, by script or by copying between machines. These calls
// are the only way the library touches such files, so that nothing placed
// there can turn it against the camera service it runs in:
//
// - Reading takes regular files only. A link at the file's own name is
//   refused (share frames between recordings with hard links or copies), as
//   are named pipes, devices, sockets and folders; nothing ever waits on a
//   pipe's other end. A file larger than the cap of its kind is refused.
// - Sizes are 64-bit; reads go in chunks and end early when asked to stop.
//   A file shorter than it said (it shrank while read) gives a short count,
//   which callers treat as a failed read.
// - XML is parsed from the bytes read, never from a path, and a document
//   nested deeper than kMaxXmlDepth is refused.
// - Writing never follows a link: a file is written to a fresh temporary
//   file beside it and renamed over its name, and folders are made one level
//   at a time, each checked to be a real folder and not a link.
//
// The reasons filled in `why` are short phrases ("a named pipe", "a link",
// "larger than its cap of 67108864 bytes") for a log line that also names the
// path (through Escaped()).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <pugixml.hpp>

namespace ZEB {
namespace files {

// Caps per kind of file. The largest task list of the most images a list may
// hold takes about 15 MB; tuning parameter files are a few hundred kB; the
// largest dump of a recording (the statistics planes) about 200 kB, and the
// variable-size dumps of a 200 MP sensor stay below 32 MB.
constexpr uint64_t kMaxXmlBytes = 64ull << 20;
constexpr uint64_t kMaxDumpBytes = 64ull << 20;
constexpr uint64_t kMaxTuningBinBytes = 64ull << 20;
// Images are bounded by the buffers their names ask for; this only keeps a
// size in range for arithmetic.
constexpr uint64_t kMaxImageBytes = 4ull << 30;
// Tuning files nest a dozen levels; recordings' files fewer.
constexpr int kMaxXmlDepth = 64;
// One read() at a time, so a stop request is seen within a few milliseconds.
constexpr size_t kReadChunk = 4u << 20;

using StopRequested = std::function<bool()>;

// A regular file open for reading, closed when the object goes.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens `path` as described above; on refusal the object is not open and
    // `why` says what the path is. A missing file gives "missing".
    static InputFile Open(const std::string& path, uint64_t cap, std::string* why = nullptr);

    bool IsOpen() const { return mFd >= 0; }
    int Descriptor() const { return mFd; }
    // The size fstat gave at open.
    uint64_t Size() const { return mSize; }

    // Reads up to `bytes` from the current position, in chunks, asking `stop`
    // between them. Returns what was read: fewer when the file ended early,
    // a read failed or `stop` said so.
    uint64_t Read(void* to, uint64_t bytes, const StopRequested& stop = {});

private:
    int mFd = -1;
    uint64_t mSize = 0;
};

// The whole of a file no larger than `cap` into `out`. False, with `why`,
// when refused or when fewer bytes than its size could be read.
bool ReadAll(const std::string& path, uint64_t cap, std::string* out, std::string* why = nullptr,
             const StopRequested& stop = {});

// Parses the file at `path` into `doc` (pugixml's default options unless
// given). False, with `why`, when refused, unreadable, not well-formed or
// nested deeper than kMaxXmlDepth; `doc` is then empty.
bool LoadXml(pugi::xml_document& doc, const std::string& path, std::string* why = nullptr,
             uint64_t cap = kMaxXmlBytes, unsigned options = pugi::parse_default);
// The same for bytes already in memory.
bool ParseXml(pugi::xml_document& doc, const std::string& bytes, std::string* why = nullptr,
              unsigned options = pugi::parse_default);
// The deepest element nesting of a parsed document (the root element is 1).
int XmlDepth(const pugi::xml_document& doc);

// Writes `size` bytes as the file `path`: into a temporary file created
// beside it (never through a link), renamed over `path`. Whatever stood at
// `path` (a link included) is replaced, never written into; a folder there
// makes it fail. The temporary file is removed on failure.
bool WriteFileReplacing(const std::string& path, const void* data, size_t size, std::string* why = nullptr);
inline bool WriteFileReplacing(const std::string& path, const std::string& bytes, std::string* why = nullptr) {
    return WriteFileReplacing(path, bytes.data(), bytes.size(), why);
}

// Copies a regular file no larger than `cap` (never through a link at either
// end) as WriteFileReplacing() writes.
bool CopyFile(const std::string& from, const std::string& to, uint64_t cap, std::string* why = nullptr);

// Makes the folder `root`/`relative` level by level below `root`, which must
// exist (it is the caller's own, reached as given): each level below it is
// made when missing and must be a real folder, not a link to one; "." and
// ".." are refused. An empty `relative` checks that `root` is a folder.
bool MakeDirsBelow(const std::string& root, const std::string& relative, std::string* why = nullptr);

// What stands at `path` without following a link: "a folder", "a file",
// "a link", "a named pipe", "a device file", "a socket", "missing".
std::string Describe(const std::string& path);
// True when `path` is a folder itself, not a link to one.
bool IsRealDirectory(const std::string& path);

// A name that may become one component of a path: not empty, not "." or
// "..", no "/" and no NUL, at most 255 bytes.
bool IsPlainName(const std::string& name);

// `text` with control characters, DEL and backslashes escaped (\n, \t, \r,
// \\, \xHH), for a log line that nothing read from a file can break or forge.
std::string Escaped(const std::string& text);

}  // namespace files
}  // namespace ZEB
