#include "core/FileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/Host.h"

namespace ZEB {
namespace files {
namespace {

std::string Reason(int error) { return error == ENOENT ? "missing" : strerror(error); }

void Say(std::string* why, const std::string& text) {
    if (why) *why = text;
}

const char* KindOf(mode_t mode) {
    if (S_ISREG(mode)) return "a file";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISLNK(mode)) return "a link";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device file";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

bool WriteAllTo(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::atomic<unsigned> gTemporaryCount{0};

}  // namespace

InputFile::~InputFile() {
    if (mFd >= 0) close(mFd);
}

InputFile::InputFile(InputFile&& other) noexcept : mFd(other.mFd), mSize(other.mSize) { other.mFd = -1; }

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        if (mFd >= 0) close(mFd);
        mFd = other.mFd;
        mSize = other.mSize;
        other.mFd = -1;
    }
    return *this;
}

InputFile InputFile::Open(const std::string& path, uint64_t cap, std::string* why) {
    InputFile file;
    if (path.empty() || path.find('\0') != std::string::npos) {
        Say(why, "no path");
        return file;
    }
    zeb_platform::BeforeOpen(path.c_str());
    // What the name is, before anything is opened: opening a device may
    // already act on it.
    struct stat named;
    if (lstat(path.c_str(), &named) != 0) {
        Say(why, Reason(errno));
        return file;
    }
    if (!S_ISREG(named.st_mode)) {
        Say(why, KindOf(named.st_mode));
        return file;
    }
    // The name may be swapped between the look and the open: the open
    // neither follows a link nor waits for a pipe's writer, and what was
    // opened is looked at again.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        Say(why, errno == ELOOP ? "a link" : Reason(errno));
        return file;
    }
    struct stat opened;
    const char* refusal = nullptr;
    if (fstat(fd, &opened) != 0) {
        refusal = "not a regular file";
    } else if (!S_ISREG(opened.st_mode)) {
        refusal = KindOf(opened.st_mode);
    } else if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        refusal = "replaced while opened";
    }
    if (refusal) {
        Say(why, refusal);
        close(fd);
        return file;
    }
    const uint64_t size = static_cast<uint64_t>(opened.st_size);
    if (opened.st_size < 0 || size > cap) {
        Say(why, "larger than its cap of " + std::to_string(cap) + " bytes");
        close(fd);
        return file;
    }
    // Regular files do not block; clearing the flag keeps reads plain.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    file.mFd = fd;
    file.mSize = size;
    return file;
}

uint64_t InputFile::Read(void* to, uint64_t bytes, const StopRequested& stop) {
    if (mFd < 0) return 0;
    uint8_t* out = static_cast<uint8_t*>(to);
    uint64_t done = 0;
    while (done < bytes) {
        if (stop && stop()) break;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(bytes - done, kReadChunk));
        const ssize_t got = read(mFd, out + done, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (got == 0) break;
        done += static_cast<uint64_t>(got);
    }
    return done;
}

bool ReadAll(const std::string& path, uint64_t cap, std::string* out, std::string* why, const StopRequested& stop) {
    out->clear();
    InputFile file = InputFile::Open(path, cap, why);
    if (!file.IsOpen()) return false;
    out->resize(static_cast<size_t>(file.Size()));
    const uint64_t got = file.Read(&(*out)[0], file.Size(), stop);
    if (got != file.Size()) {
        out->resize(static_cast<size_t>(got));
        Say(why, stop && stop() ? "stopped" : "shorter than its size of " + std::to_string(file.Size()) + " bytes");
        return false;
    }
    return true;
}

int XmlDepth(const pugi::xml_document& doc) {
    // Walked without recursion: the depth is what is being checked.
    int depth = 0, deepest = 0;
    pugi::xml_node node = doc.first_child();
    while (node) {
        if (node.type() == pugi::node_element) deepest = std::max(deepest, depth + 1);
        if (node.first_child()) {
            node = node.first_child();
            ++depth;
            continue;
        }
        while (node && !node.next_sibling()) {
            node = node.parent();
            --depth;
            if (node == doc) node = pugi::xml_node();
        }
        if (node) node = node.next_sibling();
    }
    return deepest;
}

bool ParseXml(pugi::xml_document& doc, const std::string& bytes, std::string* why, unsigned options) {
    doc.reset();
    const pugi::xml_parse_result parsed = doc.load_buffer(bytes.data(), bytes.size(), options);
    if (!parsed) {
        Say(why, std::string(parsed.description()) + " at byte " + std::to_string(parsed.offset));
        doc.reset();
        return false;
    }
    if (XmlDepth(doc) > kMaxXmlDepth) {
        Say(why, "nested deeper than " + std::to_string(kMaxXmlDepth) + " levels");
        doc.reset();
        return false;
    }
    return true;
}

bool LoadXml(pugi::xml_document& doc, const std::string& path, std::string* why, uint64_t cap, unsigned options) {
    std::string bytes;
    doc.reset();
    if (!ReadAll(path, cap, &bytes, why)) return false;
    return ParseXml(doc, bytes, why, options);
}

bool WriteFileReplacing(const std::string& path, const void* data, size_t size, std::string* why) {
    if (path.empty() || path.back() == '/') {
        Say(why, "no file name");
        return false;
    }
    const std::string temporary = Parent(path) + "/.zeb-" + std::to_string(getpid()) + "-" +
                                  std::to_string(gTemporaryCount.fetch_add(1)) + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd < 0) {
        Say(why, Reason(errno));
        return false;
    }
    const bool written = WriteAllTo(fd, static_cast<const uint8_t*>(data), size);
    const int writeError = errno;
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        Say(why, written ? Reason(errno) : Reason(writeError));
        unlink(temporary.c_str());
        return false;
    }
    // rename() replaces a link standing at the name instead of writing
    // through it, and refuses a folder there.
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        Say(why, error == EISDIR || error == ENOTEMPTY || error == EEXIST ? "a folder" : Reason(error));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool CopyFile(const std::string& from, const std::string& to, uint64_t cap, std::string* why) {
    std::string bytes;
    std::string reason;
    if (!ReadAll(from, cap, &bytes, &reason)) {
        Say(why, "source " + reason);
        return false;
    }
    return WriteFileReplacing(to, bytes, why);
}

bool MakeDirsBelow(const std::string& root, const std::string& relative, std::string* why) {
    int fd = open(root.empty() ? "/" : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        Say(why, Reason(errno));
        return false;
    }
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        const std::string part = relative.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        if (!IsPlainName(part)) {
            Say(why, "the name \"" + Escaped(part) + "\" cannot be a folder");
            close(fd);
            return false;
        }
        if (mkdirat(fd, part.c_str(), 0770) != 0 && errno != EEXIST) {
            Say(why, Reason(errno));
            close(fd);
            return false;
        }
        const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int error = errno;
            struct stat info;
            Say(why, fstatat(fd, part.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 ? KindOf(info.st_mode)
                                                                                 : Reason(error));
            close(fd);
            return false;
        }
        close(fd);
        fd = next;
    }
    close(fd);
    return true;
}

std::string Describe(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return Reason(errno);
    return KindOf(info.st_mode);
}

bool IsRealDirectory(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string Escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\\': out += "\\\\"; break;
            default:
                if (u < 0x20 || u == 0x7f) {
                    char code[8];
                    snprintf(code, sizeof code, "\\x%02x", u);
                    out += code;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

}  // namespace files
}  // namespace ZEB
