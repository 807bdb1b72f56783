#include "parameter/XmlSchema.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "core/FileAccess.h"
#include "parameter/ConfigXml.h"
#include "parameter/ParameterManagerBase.h"
#include "parameter/XmlSelect.h"
#include "platform/Log.h"

namespace ZEB {
namespace {

const char* const kTag = "ZEBParameter";

template <class T>
void Put(unsigned char* at, T value) {
    memcpy(at, &value, sizeof(T));
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trimmed(const std::string& text) {
    size_t first = 0, last = text.size();
    while (first < last && Blank(text[first])) ++first;
    while (last > first && Blank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

// Whether the whole of `text` (blanks around it aside) is one decimal integer
// within [low, high]: what atoi reads without dropping anything.
bool WholeInteger(const std::string& text, long long low, long long high) {
    const std::string value = Trimmed(text);
    if (value.empty()) return true;
    char* end = nullptr;
    errno = 0;
    const long long number = strtoll(value.c_str(), &end, 10);
    return end == value.c_str() + value.size() && errno == 0 && number >= low && number <= high;
}

bool WholeFloat(const std::string& text) {
    const std::string value = Trimmed(text);
    if (value.empty()) return true;
    char* end = nullptr;
    errno = 0;
    const double number = strtod(value.c_str(), &end);
    return end == value.c_str() + value.size() && errno == 0 && std::fabs(number) <= 3.4028234663852886e38;
}

bool WholeOf(const char* type, const std::string& text) {
    if (schema::SameText(type, "int32_t")) return WholeInteger(text, INT32_MIN, INT32_MAX);
    // atoi's int holds the bits of every 32-bit unsigned value.
    if (schema::SameText(type, "uint32_t")) return WholeInteger(text, INT32_MIN, UINT32_MAX);
    return WholeFloat(text);
}

}  // namespace

std::string UnreadableValue(const NodeEntry& entry, const char* given) {
    const std::string text = given ? given : "";
    const char* type = entry.Type;
    const bool number = schema::SameText(type, "int32_t") || schema::SameText(type, "uint32_t") ||
                        schema::SameText(type, "float");
    const char* kind = schema::SameText(type, "float") ? "a number" : "a whole number";
    if (number && entry.Count > 0) {
        // The pieces are split at single spaces, as SplitString does.
        std::vector<std::string> pieces;
        for (size_t start = 0; start < text.size();) {
            const size_t space = text.find(' ', start);
            pieces.push_back(text.substr(start, space == std::string::npos ? std::string::npos : space - start));
            if (space == std::string::npos) break;
            start = space + 1;
        }
        for (size_t i = 0; i < pieces.size() && i < static_cast<size_t>(entry.Count); ++i) {
            if (Trimmed(pieces[i]).empty()) {
                return "value " + std::to_string(i + 1) +
                       " is empty (values are parted by single spaces): it reads as 0 and moves the rest";
            }
            if (!WholeOf(type, pieces[i])) return "value " + std::to_string(i + 1) + " \"" + pieces[i] + "\" is not " + kind;
        }
        if (pieces.size() > static_cast<size_t>(entry.Count)) {
            return "holds " + std::to_string(pieces.size()) + " values, the field takes " +
                   std::to_string(entry.Count) + ": the rest are not read";
        }
        return std::string();
    }
    if (number) return WholeOf(type, text) ? std::string() : std::string("is not ") + kind;
    if (schema::SameText(type, "uint64_t")) {
        const std::string value = Trimmed(text);
        if (value.empty() || value == "null") return std::string();
        char* end = nullptr;
        errno = 0;
        strtoull(value.c_str(), &end, 16);
        const bool signed_ = value[0] == '-' || value[0] == '+';
        return !signed_ && errno == 0 && end == value.c_str() + value.size() ? std::string()
                                                                              : "is not a hexadecimal number";
    }
    if (schema::SameText(type, "bool")) {
        // "true", or a number that is not 0, is true; anything else is false.
        if (text == "true" || text == "false" || (WholeInteger(text, INT32_MIN, INT32_MAX) && !Trimmed(text).empty())) {
            return std::string();
        }
        return "is not true, false or a number: it reads as false";
    }
    if (schema::SameText(type, "uint8_t")) {
        return text.size() <= 1 ? std::string() : "is more than one character: only the first is read";
    }
    if (schema::SameText(type, "char") && text.size() > static_cast<size_t>(entry.Count)) {
        return "is longer than " + std::to_string(entry.Count) + " characters: it is cut";
    }
    return std::string();
}

void ParameterManagerBase::ParseXML(const char* path, void* destination, const XmlStructure* table,
                                    ReadReport* report) {
    pugi::xml_document doc;
    const std::string file = path ? path : "";
    if (LoadConfigXml(doc, file, "XML file", kTag, report) != ConfigLoad::Loaded) {
        ZLOG(kTag, 4, "%d, %s: Document not parsed successfully! with file path %s", files::Escaped(file).c_str());
        return;
    }
    ParseXML(doc, file, destination, table, report);
}

void ParameterManagerBase::ParseXML(const pugi::xml_document& doc, const std::string& file, void* destination,
                                    const XmlStructure* table, ReadReport* report) {
    pugi::xml_node root = doc.child("root");
    if (!root) {
        ZLOG(kTag, 4, "%d, %s: Could not find rootnode");
        if (report) report->Add(ReadSeverity::Error, "no-root", file, 0, "has no document element <root>: nothing is read");
        return;
    }
    if (!destination || !table) return;
    for (int32_t n = 0; n < table->NodeNum && n < kMaxSchemaNodes; ++n) {
        const NodeStruct& node = table->Nodes[n];
        pugi::xpath_node_set matches = SelectNodes(root, node.NodePath);
        ZLOG(kTag, 4, "%d, %s: Find FirstLayer %s with size %d", node.NodePath, static_cast<int>(matches.size()));
        if (report && matches.size() > 1) {
            report->Add(ReadSeverity::Warning, "repeated-element", file, matches[matches.size() - 1].node(),
                        "<" + std::string(node.NodePath) + "> appears " + std::to_string(matches.size()) +
                            " times: only the last one counts");
        }
        // Every match writes from the start of the destination: the last one wins.
        for (const pugi::xpath_node& match : matches) {
            FullfillLayerInfo(destination, match.node(), &node, report, file.c_str());
        }
    }
}

void ParameterManagerBase::FullfillLayerInfo(void* destination, pugi::xml_node element, const NodeStruct* node,
                                             ReadReport* report, const char* file) {
    if (!destination || !node) return;
    const std::string source = file ? file : "";
    const std::string group = element.name();
    if (report) {
        std::set<std::string> known, seen;
        for (int32_t i = 0; i < node->EntryNum && i < kMaxSchemaEntries; ++i) known.insert(node->Entries[i].Name);
        for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
            if (child.type() != pugi::node_element) continue;
            const std::string name = child.name();
            if (!known.count(name)) {
                report->Add(ReadSeverity::Error, "unknown-element", source, child,
                            "<" + name + "> in <" + group + "> is not read: no such field");
            } else if (!seen.insert(name).second) {
                report->Add(ReadSeverity::Warning, "repeated-element", source, child,
                            "<" + name + "> appears more than once in <" + group + ">: only the first counts");
            }
        }
    }
    unsigned char* at = static_cast<unsigned char*>(destination);
    for (int32_t i = 0; i < node->EntryNum && i < kMaxSchemaEntries; ++i) {
        const NodeEntry& entry = node->Entries[i];
        const std::string name = entry.Name;
        const int32_t width = schema::EntryWidth(entry);
        if (width == 0) continue;  // unknown or empty type: nothing written, no advance
        if (report) {
            // The hexadecimal reader skips children that say "null".
            pugi::xml_node child = element.child(entry.Name);
            if (schema::SameText(entry.Type, "uint64_t")) {
                while (child && strcmp(child.text().get(), "null") == 0) child = child.next_sibling(entry.Name);
            }
            const std::string why = child ? UnreadableValue(entry, child.text().get()) : std::string();
            if (!why.empty()) {
                report->Add(ReadSeverity::Error, "unreadable-value", source, child,
                            "<" + name + "> \"" + child.text().get() + "\" in <" + group + "> " + why);
            }
            if (!child && schema::SameText(entry.Type, "char")) {
                report->Add(ReadSeverity::Error, "missing-element", source, element,
                            "<" + group + "> has no <" + name + ">: it and every field after it stay empty");
            }
        }
        const char* type = entry.Type;
        if (schema::SameText(type, "int32_t") || schema::SameText(type, "uint32_t")) {
            if (entry.Count > 0) {
                Trans2Int(element, name, entry.Count, at);
            } else {
                Put<int32_t>(at, Trans2Int(element, name));
            }
        } else if (schema::SameText(type, "float")) {
            if (entry.Count > 0) {
                Trans2Float(element, name, entry.Count, at);
            } else {
                Put<float>(at, Trans2Float(element, name));
            }
        } else if (schema::SameText(type, "uint64_t")) {
            Put<uint64_t>(at, Trans2Hex(element, name));
        } else if (schema::SameText(type, "bool")) {
            Put<bool>(at, Trans2Bool(element, name));
        } else if (schema::SameText(type, "uint8_t")) {
            Put<char>(at, Trans2Char(element, name));
        } else {  // "char": the text, without a terminator, cut to Count bytes
            const char* text = Trans2Char(element, name, 0);
            if (!text) {
                ZLOG(kTag, 4, "%d, %s: Not valid temp_char");
                return;
            }
            memcpy(at, text, strnlen(text, static_cast<size_t>(entry.Count)));
        }
        at += width;
    }
}

}  // namespace ZEB
