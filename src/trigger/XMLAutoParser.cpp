#include "trigger/XMLAutoParser.h"

#include <exception>

#include "core/FileAccess.h"
#include "platform/Log.h"
#include "trigger/TriggerNumbers.h"

namespace ZEB {
namespace {

const char* const kTag = "XMLAutoParser";

using trigger_detail::ParseDecimal;
using trigger_detail::ParseFloat;
using trigger_detail::ParseInteger;

// Comments and character data between elements are not nodes of the file's
// model. (Plain loops rather than a visitor: log lines name their function.)
pugi::xml_node SkipToElement(pugi::xml_node node) {
    while (node && node.type() != pugi::node_element) node = node.next_sibling();
    return node;
}
pugi::xml_node FirstElement(pugi::xml_node parent) { return SkipToElement(parent.first_child()); }
pugi::xml_node NextElement(pugi::xml_node node) { return SkipToElement(node.next_sibling()); }

}  // namespace

XMLAutoParser::XMLAutoParser(const std::string& path) {
    try {
        ParseParamXML(path);
        TriggerMatchParam();
    } catch (const std::exception& error) {
        ZLOG(kTag, 1, "%d, %s: parsing %s stopped: %s", path.c_str(), error.what());
    }
}

XMLAutoParser::~XMLAutoParser() { ZLOG(kTag, 4, "%d, %s: delete XMLAutoParser"); }

std::map<std::string, dataPool>& XMLAutoParser::GetXMLData() { return xmlData; }

void XMLAutoParser::ParseParamXML(const std::string& path) {
    ZLOG(kTag, 4, "%d, %s: Param xml path is %s, start to parse it", files::Escaped(path).c_str());
    pugi::xml_document document;
    // Read as any file from outside, but parsed whole: this parser cuts deep
    // trigger nesting itself instead of refusing the file.
    std::string why, bytes;
    if (!files::ReadAll(path, files::kMaxXmlBytes, &bytes, &why) ||
        !document.load_buffer(bytes.data(), bytes.size())) {
        ZLOG(kTag, 1, "%d, %s: Param xml parsed failed! xml file path is %s (%s)", files::Escaped(path).c_str(),
             why.c_str());
        return;
    }
    pugi::xml_node root = document.child("root");
    if (!root) {
        ZLOG(kTag, 1, "%d, %s: could not find Param xml root node");
        return;
    }
    if (!root.child("Triggers") || !root.child("Parameters")) {
        ZLOG(kTag, 1, "%d, %s: XML configuration is error, return");
        return;
    }
    for (pugi::xml_node triggers : root.children("Triggers")) {
        std::string name = triggers.attribute("name").value();
        ZLOG(kTag, 5, "%d, %s: Trigger tree'name: %s", name.c_str());
        std::map<int32_t, std::vector<triggerInfo>> leaves;
        ParseTriggerNode(triggers, {}, leaves);
        triggerTrees.emplace(name, std::move(leaves));
    }
    ParseParamNode(root.child("ConstData"), constData);
    for (pugi::xml_node parameters : root.children("Parameters")) {
        std::string name = parameters.attribute("name").value();
        ZLOG(kTag, 4, "%d, %s: Param tree'name: %s", name.c_str());
        std::map<int32_t, std::vector<paramInfo>> groups;
        ParseParams(parameters, groups);
        paramTrees.emplace(name, std::move(groups));
    }
    ZLOG(kTag, 4, "%d, %s: X, end to parse XML");
}

void XMLAutoParser::ParseTriggerNode(pugi::xml_node node, const std::vector<triggerInfo>& path,
                                     std::map<int32_t, std::vector<triggerInfo>>& leaves) {
    if (path.size() >= kMaxTriggerDepth) {
        ZLOG(kTag, 1, "%d, %s: trigger nodes nested deeper than %zu levels under %s are dropped", kMaxTriggerDepth,
             node.name());
        return;
    }
    for (pugi::xml_node child = FirstElement(node); child; child = NextElement(child)) {
        triggerInfo step;
        step.start = ParseFloat(child.attribute("start").value());
        step.end = ParseFloat(child.attribute("end").value());
        step.para = child.attribute("para").value();
        ZLOG(kTag, 5, "%d, %s: Trigger node strat: %f, end: %f, para: %s", step.start, step.end, step.para.c_str());
        step.name = child.attribute("name").value();
        std::vector<triggerInfo> childPath = path;
        if (!step.name.empty()) {
            step.value = ParseInteger(child.text().get());
            childPath.push_back(step);
            leaves.emplace(step.value, std::move(childPath));
            ZLOG(kTag, 5, "%d, %s: Trigger node name: %s, value: %d", step.name.c_str(), step.value);
        } else {
            childPath.push_back(step);
            ParseTriggerNode(child, childPath, leaves);
        }
    }
}

void XMLAutoParser::ParseParams(pugi::xml_node node, std::map<int32_t, std::vector<paramInfo>>& groups) {
    ZLOG(kTag, 4, "%d, %s: E, start to parse parameter");
    for (pugi::xml_node group = FirstElement(node); group; group = NextElement(group)) {
        int32_t index = ParseInteger(group.attribute("index").value());
        ZLOG(kTag, 5, "%d, %s: this group param index: %d", index);
        std::vector<paramInfo> params;
        ParseParamNode(group, params);
        groups.emplace(index, std::move(params));
    }
}

void XMLAutoParser::ParseParamNode(pugi::xml_node node, std::vector<paramInfo>& params) {
    for (pugi::xml_node element = FirstElement(node); element; element = NextElement(element)) {
        paramInfo param;
        param.name = element.attribute("name").value();
        param.type = element.attribute("type").value();
        param.length = ParseInteger(element.attribute("length").value());
        param.index = ParseInteger(element.attribute("index").value());
        ZLOG(kTag, 5, "%d, %s: param name: %s", param.name.c_str());
        param.text = element.text().get();
        TransString(param);
        params.push_back(std::move(param));
    }
}

void XMLAutoParser::TransString(paramInfo& param) {
    const bool isInt = param.type == "int";
    const bool isFloat = param.type == "float";
    if (!isInt && !isFloat) {
        ZLOG(kTag, 1, "%d, %s: invalid data type, check param type of %s", param.name.c_str());
        return;
    }
    if (param.length == 1) {
        if (isInt) {
            param.intData.push_back(ParseDecimal(param.text.c_str()));
            ZLOG(kTag, 4, "%d, %s: param type: %s, length %d, value: %d", param.type.c_str(), param.length,
                 param.intData.back());
        } else {
            param.floatData.push_back(ParseFloat(param.text.c_str()));
            ZLOG(kTag, 4, "%d, %s: param type: %s, length %d, value: %f", param.type.c_str(), param.length,
                 param.floatData.back());
        }
        return;
    }
    std::vector<std::string> pieces = DivideString(param.text);
    ZLOG(kTag, 4, "%d, %s: param type: %s, length %d", param.type.c_str(), param.length);
    for (const std::string& piece : pieces) {
        if (isInt) {
            param.intData.push_back(ParseDecimal(piece.c_str()));
            ZLOG(kTag, 5, "%d, %s: param value: %d", param.intData.back());
        } else {
            param.floatData.push_back(ParseFloat(piece.c_str()));
            ZLOG(kTag, 5, "%d, %s: param value: %f", param.floatData.back());
        }
    }
}

std::vector<std::string> XMLAutoParser::DivideString(const std::string& text) {
    // Every single space separates: two in a row give an empty piece (read as
    // 0 later), and a space at the very end closes the last piece without
    // opening another. Line breaks do not separate.
    std::vector<std::string> pieces;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t space = text.find(' ', begin);
        if (space == std::string::npos) space = text.size();
        pieces.emplace_back(text, begin, space - begin);
        begin = space + 1;
    }
    return pieces;
}

void XMLAutoParser::TriggerMatchParam() {
    for (const auto& [name, leaves] : triggerTrees) {
        auto groups = paramTrees.find(name);
        if (groups == paramTrees.end()) {
            ZLOG(kTag, 1, "%d, %s: can not find param tree that name is %s, trigger match param failed",
                 name.c_str());
            continue;
        }
        dataPool pool;
        for (const auto& [number, path] : leaves) {
            auto group = groups->second.find(number);
            if (group == groups->second.end()) {
                ZLOG(kTag, 1, "%d, %s: can not find param with index %d", number);
                continue;
            }
            pool.regions.emplace(number, trigger2Param{path, group->second});
            ZLOG(kTag, 5, "%d, %s: param region index: %d", number);
        }
        pool.constData = constData;
        xmlData.emplace(name, std::move(pool));
    }
}

}  // namespace ZEB
