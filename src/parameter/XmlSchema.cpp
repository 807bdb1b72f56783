#include "parameter/XmlSchema.h"

#include <cstring>

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

}  // namespace

void ParameterManagerBase::ParseXML(const char* path, void* destination, const XmlStructure* table) {
    pugi::xml_document doc;
    pugi::xml_parse_result loaded = (path && *path) ? doc.load_file(path) : pugi::xml_parse_result();
    pugi::xml_node root = doc.child("root");
    if (!loaded) {
        ZLOG(kTag, 4, "%d, %s: Document not parsed successfully! with file path %s", path ? path : "");
        return;
    }
    if (!root) {
        ZLOG(kTag, 4, "%d, %s: Could not find rootnode");
        return;
    }
    if (!destination || !table) return;
    for (int32_t n = 0; n < table->NodeNum && n < kMaxSchemaNodes; ++n) {
        const NodeStruct& node = table->Nodes[n];
        pugi::xpath_node_set matches = SelectNodes(root, node.NodePath);
        ZLOG(kTag, 4, "%d, %s: Find FirstLayer %s with size %d", node.NodePath, static_cast<int>(matches.size()));
        // Every match writes from the start of the destination: the last one wins.
        for (const pugi::xpath_node& match : matches) FullfillLayerInfo(destination, match.node(), &node);
    }
}

void ParameterManagerBase::FullfillLayerInfo(void* destination, pugi::xml_node element, const NodeStruct* node) {
    if (!destination || !node) return;
    unsigned char* at = static_cast<unsigned char*>(destination);
    for (int32_t i = 0; i < node->EntryNum && i < kMaxSchemaEntries; ++i) {
        const NodeEntry& entry = node->Entries[i];
        const std::string name = entry.Name;
        const int32_t width = schema::EntryWidth(entry);
        if (width == 0) continue;  // unknown or empty type: nothing written, no advance
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
