#include "platform/TuningBin.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <pugixml.hpp>
#include <system_error>

#include "platform/Log.h"

namespace zeb_platform {
namespace {

namespace fs = std::filesystem;
const char* const kTag = "XML2Bin";

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

// Every number of the texts below `node`, in document order.
bool CollectValues(pugi::xml_node node, std::vector<float>* values, std::string* bad) {
    for (pugi::xml_node child : node.children()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
            const char* text = child.value();
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
        } else if (child.type() == pugi::node_element && !CollectValues(child, values, bad)) {
            return false;
        }
    }
    return true;
}

}  // namespace

TuningDocument ReadTuningDocument(const std::string& xmlPath) {
    TuningDocument document;
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_file(xmlPath.c_str());
    if (!parsed) {
        document.error = std::string("does not parse: ") + parsed.description();
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
        ZLOG(kTag, 1, "%d, %s: no tuning XML folder %s", xmlDir.c_str());
        return -1;
    }
    std::vector<fs::path> sources;
    for (fs::recursive_directory_iterator it(xmlDir, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
        if (it->is_regular_file(error) && it->path().extension() == ".xml") sources.push_back(it->path());
    }
    if (error) ZLOG(kTag, 1, "%d, %s: reading %s: %s", xmlDir.c_str(), error.message().c_str());
    std::sort(sources.begin(), sources.end());
    int written = 0;
    for (const fs::path& source : sources) {
        const TuningDocument document = ReadTuningDocument(source.string());
        if (!document.ok) {
            ZLOG(kTag, 1, "%d, %s: %s not converted: %s", source.c_str(), document.error.c_str());
            continue;
        }
        const bool threeA = IsThreeABlock(document.block);
        if ((which == TuningBlocks::ThreeA && !threeA) || (which == TuningBlocks::Others && threeA)) continue;
        const fs::path folder = fs::path(binDir) / source.parent_path().lexically_relative(xmlDir);
        const fs::path target = folder / TuningBinName(document.block, document.id);
        fs::create_directories(folder, error);
        const std::vector<uint8_t> bytes = EncodeTuningBin(document);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            ZLOG(kTag, 1, "%d, %s: cannot write %s", target.c_str());
            continue;
        }
        ZLOG(kTag, 5, "%d, %s: %s -> %s", source.c_str(), target.c_str());
        ++written;
    }
    ZLOG(kTag, 4, "%d, %s: %d tuning file(s) of %s written to %s", written, xmlDir.c_str(), binDir.c_str());
    return written;
}

}  // namespace zeb_platform

extern "C" int XML2BinAdapter(const char* xmlDir, const char* binDir, const char* platform) {
    if (!xmlDir || !binDir || !platform || strcmp(platform, "R7") != 0) {
        ZLOG("XML2Bin", 1, "%d, %s: refused: folders %s, %s, platform code %s", xmlDir ? xmlDir : "(null)",
             binDir ? binDir : "(null)", platform ? platform : "(null)");
        return -1;
    }
    return zeb_platform::ConvertTuningFolder(xmlDir, binDir, zeb_platform::TuningBlocks::Others);
}
