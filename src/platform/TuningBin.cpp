#include "platform/TuningBin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <pugixml.hpp>
#include <system_error>

#include "platform/Host.h"
#include "platform/Log.h"

namespace zeb_platform {
namespace {

namespace fs = std::filesystem;
const char* const kTag = "XML2Bin";
constexpr uint64_t kLargestTuningXml = 64ull << 20;
// Tuning documents nest a few levels; deeper ones are refused before anything
// walks them.
constexpr int kDeepestTuningXml = 64;

const char* KindOf(mode_t mode) {
    if (S_ISREG(mode)) return "a file";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISLNK(mode)) return "a link";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device file";
    return "not a regular file";
}

void Say(std::string* why, const std::string& text) {
    if (why) *why = text;
}

std::string ErrorText(int error) { return error == ENOENT ? "missing" : strerror(error); }

std::atomic<unsigned> gTemporaryCount{0};

// The deepest element nesting below the document, walked without recursion.
int Depth(const pugi::xml_document& doc) {
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

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void Put64(std::vector<uint8_t>& bytes, size_t at, uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    return value;
}

uint64_t Get64(const std::vector<uint8_t>& bytes, size_t at) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(bytes[at + i]) << (8 * i);
    return value;
}

// The block name becomes a file name: nothing that could leave the folder.
bool ValidBlockName(const std::string& block) {
    if (block.empty() || block.size() > 64) return false;
    return std::all_of(block.begin(), block.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

bool ParseId(const char* text, uint64_t* id) {
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = hex ? text + 2 : text;
    if (!*digits) return false;
    for (const char* c = digits; *c; ++c) {
        if (hex ? !isxdigit(static_cast<unsigned char>(*c)) : !isdigit(static_cast<unsigned char>(*c))) return false;
    }
    errno = 0;
    *id = strtoull(digits, nullptr, hex ? 16 : 10);
    return errno == 0;
}

bool ParseWord(const char* text, int32_t* word) {
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (end == text || *end || errno || value < INT32_MIN || value > INT32_MAX) return false;
    *word = static_cast<int32_t>(value);
    return true;
}

bool CollectText(const char* text, std::vector<float>* values, std::string* bad) {
    while (*text) {
        while (isspace(static_cast<unsigned char>(*text))) ++text;
        if (!*text) break;
        const char* start = text;
        while (*text && !isspace(static_cast<unsigned char>(*text))) ++text;
        const std::string piece(start, text);
        char* end = nullptr;
        const float value = strtof(piece.c_str(), &end);
        if (end != piece.c_str() + piece.size() || !std::isfinite(value)) {
            *bad = piece;
            return false;
        }
        values->push_back(value);
    }
    return true;
}

// Every number of the texts below `root`, in document order; walked without
// recursion, so no nesting can exhaust the stack.
bool CollectValues(pugi::xml_node root, std::vector<float>* values, std::string* bad) {
    pugi::xml_node node = root.first_child();
    while (node) {
        if ((node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) &&
            !CollectText(node.value(), values, bad)) {
            return false;
        }
        if (node.type() == pugi::node_element && node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node != root && !node.next_sibling()) node = node.parent();
        node = node == root ? pugi::xml_node() : node.next_sibling();
    }
    return true;
}

}  // namespace

bool ReadRegularFile(const std::string& path, uint64_t cap, std::vector<uint8_t>* out, std::string* why) {
    out->clear();
    BeforeOpen(path.c_str());
    struct stat named;
    if (lstat(path.c_str(), &named) != 0) {
        Say(why, ErrorText(errno));
        return false;
    }
    if (!S_ISREG(named.st_mode)) {
        Say(why, KindOf(named.st_mode));
        return false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        Say(why, errno == ELOOP ? "a link" : ErrorText(errno));
        return false;
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_ino != named.st_ino ||
        opened.st_dev != named.st_dev) {
        Say(why, "not the regular file it was");
        close(fd);
        return false;
    }
    if (opened.st_size < 0 || static_cast<uint64_t>(opened.st_size) > cap) {
        Say(why, "larger than its cap of " + std::to_string(cap) + " bytes");
        close(fd);
        return false;
    }
    out->resize(static_cast<size_t>(opened.st_size));
    size_t done = 0;
    while (done < out->size()) {
        const ssize_t got = read(fd, out->data() + done, out->size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    close(fd);
    if (done != out->size()) {
        Say(why, "shorter than its size of " + std::to_string(out->size()) + " bytes");
        out->clear();
        return false;
    }
    return true;
}

bool WriteReplacing(const std::string& path, const std::vector<uint8_t>& bytes, std::string* why) {
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    const std::string temporary = folder + "/.zeb-bin-" + std::to_string(getpid()) + "-" +
                                  std::to_string(gTemporaryCount.fetch_add(1)) + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd < 0) {
        Say(why, ErrorText(errno));
        return false;
    }
    size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            error = errno;
            break;
        }
        done += static_cast<size_t>(put);
    }
    if (close(fd) != 0 && !error) error = errno;
    if (!error && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error) {
        Say(why, error == EISDIR || error == ENOTEMPTY || error == EEXIST ? "a folder" : ErrorText(error));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool MakeFoldersBelow(const std::string& root, const std::string& relative, std::string* why) {
    std::string at = root;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        const std::string part = relative.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            Say(why, "\"..\" cannot be a folder");
            return false;
        }
        at += "/" + part;
        if (mkdir(at.c_str(), 0770) != 0 && errno != EEXIST) {
            Say(why, ErrorText(errno));
            return false;
        }
        struct stat info;
        if (lstat(at.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            Say(why, at + " is " + KindOf(info.st_mode));
            return false;
        }
    }
    return true;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (u < 0x20 || u == 0x7f) {
            char code[8];
            snprintf(code, sizeof code, "\\x%02x", u);
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

TuningDocument ReadTuningDocument(const std::string& xmlPath) {
    TuningDocument document;
    std::vector<uint8_t> bytes;
    std::string why;
    if (!ReadRegularFile(xmlPath, kLargestTuningXml, &bytes, &why)) {
        document.error = "refused: " + why;
        return document;
    }
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_buffer(bytes.data(), bytes.size());
    if (!parsed) {
        document.error = std::string("does not parse: ") + parsed.description();
        return document;
    }
    if (Depth(doc) > kDeepestTuningXml) {
        document.error = "nested deeper than " + std::to_string(kDeepestTuningXml) + " levels";
        return document;
    }
    const pugi::xml_node root = doc.document_element();
    document.block = root.attribute("block").value();
    if (!ValidBlockName(document.block)) {
        document.error = "no block name of letters, digits, \"_\" and \"-\" on the document element";
        return document;
    }
    if (!ParseId(root.attribute("id").value(), &document.id)) {
        document.error = "no block id on the document element";
        return document;
    }
    const pugi::xml_attribute bypass = root.attribute("bypass");
    if (bypass && !ParseWord(bypass.value(), &document.bypass)) {
        document.error = "the bypass word is not a 32-bit integer";
        return document;
    }
    std::string bad;
    if (!CollectValues(root, &document.values, &bad)) {
        document.error = "value \"" + bad + "\" is not a number";
        document.values.clear();
        return document;
    }
    document.ok = true;
    return document;
}

std::string TuningBinName(const std::string& block, uint64_t id) { return block + "_" + std::to_string(id) + ".bin"; }

bool IsTriggerTuningName(const std::string& name) { return name.find("TRG") != std::string::npos; }

bool IsThreeABlock(const std::string& block) {
    const std::string name = block.compare(0, 4, "TRG_") == 0 ? block.substr(4) : block;
    for (const char* prefix : {"AE", "AF", "AWB"}) {
        if (name.compare(0, strlen(prefix), prefix) == 0) return true;
    }
    return false;
}

uint32_t TuningChecksum(const std::vector<float>& values) {
    uint32_t hash = 2166136261u;
    for (float value : values) {
        uint32_t bits;
        memcpy(&bits, &value, sizeof bits);
        for (int i = 0; i < 4; ++i) {
            hash ^= (bits >> (8 * i)) & 0xFFu;
            hash *= 16777619u;
        }
    }
    return hash;
}

std::vector<uint8_t> EncodeTuningBin(const TuningDocument& document) {
    const bool trigger = IsTriggerTuningName(document.block);
    const size_t header = trigger ? kTuningTriggerHeaderSize : kTuningBlockHeaderSize;
    std::vector<uint8_t> bytes(header + 4 * document.values.size(), 0);
    memcpy(bytes.data(), trigger ? "ZTRG" : "ZBLK", 4);
    Put32(bytes, 4, static_cast<uint32_t>(header));
    Put32(bytes, trigger ? 12 : 8, static_cast<uint32_t>(document.values.size()));
    Put32(bytes, trigger ? 8 : 12, static_cast<uint32_t>(document.bypass));
    Put64(bytes, 16, document.id);
    Put32(bytes, 24, TuningChecksum(document.values));
    for (size_t i = 0; i < document.values.size(); ++i) {
        uint32_t bits;
        memcpy(&bits, &document.values[i], sizeof bits);
        Put32(bytes, header + 4 * i, bits);
    }
    return bytes;
}

TuningBin DecodeTuningBin(const std::string& name, const std::vector<uint8_t>& bytes) {
    TuningBin bin;
    bin.trigger = IsTriggerTuningName(name);
    const size_t header = bin.trigger ? kTuningTriggerHeaderSize : kTuningBlockHeaderSize;
    if (bytes.size() < header) {
        bin.error = "shorter than its " + std::to_string(header) + "-byte header";
        return bin;
    }
    if (memcmp(bytes.data(), bin.trigger ? "ZTRG" : "ZBLK", 4) != 0 || Get32(bytes, 4) != header) {
        bin.error = std::string("not a ") + (bin.trigger ? "trigger" : "block") + " tuning header";
        return bin;
    }
    const uint32_t count = Get32(bytes, bin.trigger ? 12 : 8);
    if ((bytes.size() - header) % 4 != 0 || (bytes.size() - header) / 4 != count) {
        bin.error = "length does not match " + std::to_string(count) + " value(s)";
        return bin;
    }
    bin.bypass = static_cast<int32_t>(Get32(bytes, bin.trigger ? 8 : 12));
    bin.id = Get64(bytes, 16);
    bin.checksum = Get32(bytes, 24);
    bin.values.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t bits = Get32(bytes, header + 4 * i);
        memcpy(&bin.values[i], &bits, sizeof bits);
    }
    if (TuningChecksum(bin.values) != bin.checksum) {
        bin.error = "values do not match the header's checksum";
        bin.values.clear();
        return bin;
    }
    // The name ends with "_<id>.bin": a file installed under another block's
    // name would be applied to the wrong block.
    const size_t dot = name.rfind(".bin");
    const size_t underscore = name.rfind('_', dot);
    uint64_t named = 0;
    if (dot == std::string::npos || underscore == std::string::npos ||
        !ParseId(name.substr(underscore + 1, dot - underscore - 1).c_str(), &named) || named != bin.id) {
        bin.error = "name does not end with the header's block id " + std::to_string(bin.id);
        bin.values.clear();
        return bin;
    }
    bin.ok = true;
    return bin;
}

int ConvertTuningFolder(const std::string& xmlDir, const std::string& binDir, TuningBlocks which) {
    std::error_code error;
    if (!fs::is_directory(xmlDir, error)) {
        ZLOG(kTag, 1, "%d, %s: no tuning XML folder %s", Escaped(xmlDir).c_str());
        return -1;
    }
    // The output folder is made when missing, and must be a folder of its
    // own: a link there would send the files elsewhere.
    std::string why;
    const fs::path out(binDir);
    if (!fs::exists(fs::symlink_status(out, error))) fs::create_directories(out, error);
    if (!fs::is_directory(fs::symlink_status(out, error))) {
        ZLOG(kTag, 1, "%d, %s: tuning bin folder %s refused: %s", Escaped(binDir).c_str(),
             fs::exists(fs::symlink_status(out, error)) ? "not a folder of its own" : "cannot be made");
        return -1;
    }
    std::vector<fs::path> sources;
    for (fs::recursive_directory_iterator it(xmlDir, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
        // What stands at each name: a link there is not converted.
        if (it->path().extension() != ".xml") continue;
        if (it->is_symlink(error) || !it->is_regular_file(error)) {
            ZLOG(kTag, 1, "%d, %s: %s refused: not a regular file", Escaped(it->path().string()).c_str());
            continue;
        }
        sources.push_back(it->path());
    }
    if (error) ZLOG(kTag, 1, "%d, %s: reading %s: %s", Escaped(xmlDir).c_str(), error.message().c_str());
    std::sort(sources.begin(), sources.end());
    int written = 0;
    for (const fs::path& source : sources) {
        const TuningDocument document = ReadTuningDocument(source.string());
        if (!document.ok) {
            ZLOG(kTag, 1, "%d, %s: %s not converted: %s", Escaped(source.string()).c_str(),
                 Escaped(document.error).c_str());
            continue;
        }
        const bool threeA = IsThreeABlock(document.block);
        if ((which == TuningBlocks::ThreeA && !threeA) || (which == TuningBlocks::Others && threeA)) continue;
        const fs::path relative = source.parent_path().lexically_relative(xmlDir);
        const fs::path target = out / relative / TuningBinName(document.block, document.id);
        if (!MakeFoldersBelow(binDir, relative.string(), &why) || !WriteReplacing(target.string(), EncodeTuningBin(document), &why)) {
            ZLOG(kTag, 1, "%d, %s: cannot write %s: %s", Escaped(target.string()).c_str(), Escaped(why).c_str());
            continue;
        }
        ZLOG(kTag, 5, "%d, %s: %s -> %s", Escaped(source.string()).c_str(), Escaped(target.string()).c_str());
        ++written;
    }
    ZLOG(kTag, 4, "%d, %s: %d tuning file(s) of %s written to %s", written, Escaped(xmlDir).c_str(),
         Escaped(binDir).c_str());
    return written;
}

}  // namespace zeb_platform

extern "C" int XML2BinAdapter(const char* xmlDir, const char* binDir, const char* platform) {
    if (!xmlDir || !binDir || !platform || strcmp(platform, "R7") != 0) {
        ZLOG("XML2Bin", 1, "%d, %s: refused: folders %s, %s, platform code %s",
             zeb_platform::Escaped(xmlDir ? xmlDir : "(null)").c_str(), zeb_platform::Escaped(binDir ? binDir : "(null)").c_str(),
             zeb_platform::Escaped(platform ? platform : "(null)").c_str());
        return -1;
    }
    return zeb_platform::ConvertTuningFolder(xmlDir, binDir, zeb_platform::TuningBlocks::Others);
}
