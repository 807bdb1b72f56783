#pragma once
// Reads a parameter XML that describes tuning parameters as functions of
// trigger values, and pairs every trigger leaf with the parameter group of
// the same number. Callers outside the library use it; the result feeds
// TriggerAndDataManager and XMLParameterManager.
#include <pugixml.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/Export.h"
#include "trigger/TriggerTypes.h"

namespace ZEB {

class ZEB_EXPORT XMLAutoParser {
public:
    // Parses the file completely. Never fails: whatever cannot be used is
    // logged and left out, so an unusable file gives an empty GetXMLData().
    explicit XMLAutoParser(const std::string& path);
    ~XMLAutoParser();
    XMLAutoParser(const XMLAutoParser&) = delete;
    XMLAutoParser& operator=(const XMLAutoParser&) = delete;

    // Tree name -> its regions and the constant parameters.
    std::map<std::string, dataPool>& GetXMLData();

    void ParseParamXML(const std::string& path);
    void ParseTriggerNode(pugi::xml_node node, const std::vector<triggerInfo>& path,
                          std::map<int32_t, std::vector<triggerInfo>>& leaves);
    void ParseParams(pugi::xml_node node, std::map<int32_t, std::vector<paramInfo>>& groups);
    void ParseParamNode(pugi::xml_node node, std::vector<paramInfo>& params);
    void TransString(paramInfo& param);
    std::vector<std::string> DivideString(const std::string& text);
    void TriggerMatchParam();

    // Trigger paths nested deeper than this are dropped: the file is read
    // recursively and must not be able to exhaust the caller's stack.
    static constexpr size_t kMaxTriggerDepth = 64;

private:
    std::map<std::string, dataPool> xmlData;
    std::map<std::string, std::map<int32_t, std::vector<triggerInfo>>> triggerTrees;
    std::map<std::string, std::map<int32_t, std::vector<paramInfo>>> paramTrees;
    std::vector<paramInfo> constData;
};

}  // namespace ZEB
