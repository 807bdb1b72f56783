#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/FileAccess.h"
#include "parameter/ParameterManagerBase.h"
#include "platform/Log.h"

namespace ZEB {
namespace {

const char* const kTag = "ZEBParameter";

// The element's own value, else its first character-data child: what pugixml's
// text access gives.
const char* TextOf(pugi::xml_node element, const std::string& name, bool* found) {
    pugi::xml_node child = element ? element.child(name.c_str()) : pugi::xml_node();
    *found = static_cast<bool>(child);
    return child ? child.text().get() : "";
}

template <class T, class Convert>
void FillArray(ParameterManagerBase* self, pugi::xml_node element, const std::string& name, int count,
               void* out, Convert convert) {
    bool found = false;
    const char* text = TextOf(element, name, &found);
    if (!found || !out || count <= 0) return;
    std::vector<T> values(static_cast<size_t>(count), T(0));
    std::vector<std::string> pieces = self->SplitString(text);
    for (size_t i = 0; i < pieces.size() && i < values.size(); ++i) values[i] = convert(pieces[i].c_str());
    memcpy(out, values.data(), values.size() * sizeof(T));
}

}  // namespace

std::atomic<int64_t> ParameterManagerBase::mFrmSize{0};

int32_t ParameterManagerBase::Trans2Int(pugi::xml_node element, const std::string& name) {
    bool found = false;
    const char* text = TextOf(element, name, &found);
    if (!found) return 0;
    ZLOG(kTag, 4, "%d, %s: Now with %s, value %s", name.c_str(), text);
    return atoi(text);
}

uint64_t ParameterManagerBase::Trans2Hex(pugi::xml_node element, const std::string& name) {
    if (!element) return 0;
    for (pugi::xml_node child = element.child(name.c_str()); child; child = child.next_sibling(name.c_str())) {
        const char* text = child.text().get();
        if (strcmp(text, "null") == 0) continue;
        char* end = nullptr;
        errno = 0;
        unsigned long long value = strtoull(text, &end, 16);
        // strtoull also takes a sign; a hexadecimal text has none.
        const char* first = text + strspn(text, " \t\n\v\f\r");
        if (end == text || *first == '-' || *first == '+') {
            ZLOG(kTag, 1, "%d, %s: %s is not a hexadecimal number: %s", name.c_str(), text);
            return 0;
        }
        ZLOG(kTag, 4, "%d, %s: Hex with 0x%llx", value);
        return value;
    }
    return 0;
}

float ParameterManagerBase::Trans2Float(pugi::xml_node element, const std::string& name) {
    bool found = false;
    const char* text = TextOf(element, name, &found);
    if (!found) return 0.0f;
    ZLOG(kTag, 4, "%d, %s: Now with %s, value %s", name.c_str(), text);
    float value = static_cast<float>(atof(text));
    ZLOG(kTag, 4, "%d, %s: Float with %f", value);
    return value;
}

bool ParameterManagerBase::Trans2Bool(pugi::xml_node element, const std::string& name) {
    bool found = false;
    const char* text = TextOf(element, name, &found);
    if (!found) return false;
    ZLOG(kTag, 4, "%d, %s: Now with %s, value %s", name.c_str(), text);
    return strcmp(text, "true") == 0 || atoi(text) != 0;
}

char ParameterManagerBase::Trans2Char(pugi::xml_node element, const std::string& name) {
    bool found = false;
    const char* text = TextOf(element, name, &found);
    if (!found) return '0';
    ZLOG(kTag, 4, "%d, %s: Now with %s, value %s", name.c_str(), text);
    return text[0];
}

const char* ParameterManagerBase::Trans2Char(pugi::xml_node element, const std::string& name, int) {
    bool found = false;
    const char* text = TextOf(element, name, &found);
    if (!found) return nullptr;
    ZLOG(kTag, 4, "%d, %s: Now with %s, value %s", name.c_str(), text);
    return text;
}

void ParameterManagerBase::Trans2Int(pugi::xml_node element, const std::string& name, int count, void* out) {
    FillArray<int32_t>(this, element, name, count, out, [](const char* piece) { return atoi(piece); });
}

void ParameterManagerBase::Trans2Float(pugi::xml_node element, const std::string& name, int count, void* out) {
    FillArray<float>(this, element, name, count, out,
                     [](const char* piece) { return static_cast<float>(atof(piece)); });
}

std::vector<std::string> ParameterManagerBase::SplitString(const std::string& text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start < text.size()) {
        size_t space = text.find(' ', start);
        if (space == std::string::npos) {
            pieces.push_back(text.substr(start));
            break;
        }
        pieces.push_back(text.substr(start, space - start));
        start = space + 1;
    }
    return pieces;
}

pugi::xml_node ParameterManagerBase::SearchNode(const std::string& path, pugi::xml_node element) {
    if (!element || path.empty()) return pugi::xml_node();
    try {
        pugi::xpath_query query(path.c_str());
        return query.evaluate_node(element).node();
    } catch (const std::exception& error) {
        ZLOG(kTag, 1, "%d, %s: bad path %s: %s", path.c_str(), error.what());
        return pugi::xml_node();
    }
}

pugi::xml_node ParameterManagerBase::SearchNode(PathInfoTag& path, pugi::xml_node element) {
    if (!element || path.Path.empty() || path.Position < 0) return pugi::xml_node();
    try {
        pugi::xpath_query query(path.Path.c_str());
        pugi::xpath_node_set nodes = query.evaluate_node_set(element);
        nodes.sort();
        if (static_cast<size_t>(path.Position) >= nodes.size()) return pugi::xml_node();
        return nodes[static_cast<size_t>(path.Position)].node();
    } catch (const std::exception& error) {
        ZLOG(kTag, 1, "%d, %s: bad path %s: %s", path.Path.c_str(), error.what());
        return pugi::xml_node();
    }
}

void ParameterManagerBase::ReadDataFromBin(const char* path, void* buffer, int size) {
    std::string why;
    files::InputFile file = (path && *path) ? files::InputFile::Open(path, files::kMaxDumpBytes, &why)
                                            : files::InputFile();
    if (!file.IsOpen()) {
        if (!why.empty() && why != "missing") {
            ZLOG(kTag, 1, "%d, %s: binary file %s refused: %s", files::Escaped(path).c_str(), why.c_str());
        }
        ZLOG(kTag, 4, "%d, %s: Could not open bin");
        return;
    }
    ZLOG(kTag, 4, "%d, %s: Read Size is %d", size);
    // A shorter file fills only what it has.
    if (buffer && size > 0) file.Read(buffer, static_cast<uint64_t>(size));
}

}  // namespace ZEB
