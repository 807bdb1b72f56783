#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "core/FileAccess.h"
#include "parameter/ConfigXml.h"
#include "parameter/ParameterManagerBase.h"
#include "parameter/TuningTask.h"
#include "parameter/XmlSchema.h"
#include "parameter/XmlSelect.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "core/SimulationControlInterface.h"

namespace ZEB {
namespace {

const char* const kTag = "ZEBParameter";

// Two values count as the same (or as zero) within this distance.
constexpr float kSameValue = 0.000001f;

bool NameStart(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80; }
bool NameChar(unsigned char c) { return NameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// One segment as the readers need it: an element name, optionally followed by
// a 1-based index in brackets ("Table", "Table[2]"). The name is looked up as
// an XPath, so anything more than a name (axes, predicates, functions) could
// take time without bound over a deep parameter file: false for all else.
bool ParseSegment(const std::string& segment, PathInfoTag* info) {
    size_t end = segment.size();
    int64_t index = 1;
    if (!segment.empty() && segment.back() == ']') {
        const size_t bracket = segment.rfind('[');
        if (bracket == std::string::npos || bracket + 2 > end - 1) return false;
        index = 0;
        for (size_t i = bracket + 1; i + 1 < end; ++i) {
            const char c = segment[i];
            if (c < '0' || c > '9') return false;
            index = index * 10 + (c - '0');
            if (index > std::numeric_limits<int>::max()) return false;
        }
        if (index < 1) return false;
        end = bracket;
    }
    if (end == 0 || !NameStart(static_cast<unsigned char>(segment[0]))) return false;
    for (size_t i = 1; i < end; ++i) {
        if (!NameChar(static_cast<unsigned char>(segment[i]))) return false;
    }
    info->Path = segment.substr(0, end);
    info->Position = static_cast<int>(index - 1);
    return true;
}

// "Block/Table[2]/gain" -> (Block, 0), (Table, 1), (gain, 0); false when a
// segment is not a name with an optional index ("a//b" has an empty one).
bool SplitElementPath(const std::string& text, std::vector<PathInfoTag>* segments) {
    size_t start = 0;
    while (true) {
        const size_t slash = text.find('/', start);
        PathInfoTag info;
        if (!ParseSegment(text.substr(start, slash == std::string::npos ? std::string::npos : slash - start), &info)) {
            return false;
        }
        segments->push_back(std::move(info));
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

// Where a reader's report goes: the report and the file it reads.
struct Reporting {
    ReadReport* report;
    std::string file;

    void Error(const char* code, pugi::xml_node at, const std::string& what) const {
        if (report) report->Add(ReadSeverity::Error, code, file, at, what);
    }
};

// Whether an integer attribute reads whole the way pugixml's as_int reads it:
// decimal, or hexadecimal after "0x".
bool WholeAttributeInteger(const char* text) {
    std::string value = text;
    while (!value.empty() && isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
    size_t first = 0;
    while (first < value.size() && isspace(static_cast<unsigned char>(value[first]))) ++first;
    value = value.substr(first);
    if (value.empty()) return true;
    const size_t digits = value[0] == '-' || value[0] == '+' ? 1 : 0;
    const bool hex = value.compare(digits, 2, "0x") == 0 || value.compare(digits, 2, "0X") == 0;
    char* end = nullptr;
    errno = 0;
    const long long number = strtoll(value.c_str(), &end, hex ? 16 : 10);
    return end == value.c_str() + value.size() && errno == 0 && number >= std::numeric_limits<int32_t>::min() &&
           number <= std::numeric_limits<int32_t>::max();
}

// What of a Parameter element the reader does not read, or does not read whole.
void ReportParameter(const Reporting& to, pugi::xml_node element, int32_t index) {
    const std::string name = "Parameter[" + std::to_string(index) + "]";
    for (pugi::xml_attribute attribute : element.attributes()) {
        const std::string key = attribute.name();
        if (key == "from" || key == "to" || key == "step") {
            const NodeEntry values{attribute.name(), "float", 4 * kMaxParamValues, kMaxParamValues};
            const std::string why = UnreadableValue(values, attribute.value());
            if (!why.empty()) {
                to.Error("unreadable-value", element,
                         name + " " + key + "=\"" + attribute.value() + "\" " + why);
            }
        } else if (key == "array" || key == "sync") {
            if (!WholeAttributeInteger(attribute.value())) {
                to.Error("unreadable-value", element,
                         name + " " + key + "=\"" + attribute.value() + "\" is not a whole number");
            }
        } else {
            to.Error("unknown-attribute", element, name + " attribute " + key + " is not read: no such attribute");
        }
    }
    if (!element.attribute("step")) {
        to.Error("missing-attribute", element, name + " has no step: it holds its from value in every sweep frame");
    }
}

// Reads one Parameter of the tuning task file `to.file`; false (logged) for
// what the sweep cannot hold.
bool ReadParameter(ParameterManagerBase* self, pugi::xml_node element, int32_t index, ParamConfigInfoTag* param,
                   const Reporting& to) {
    param->Index = index;
    const std::string name = "Parameter[" + std::to_string(index) + "]";
    float* const targets[] = {param->From, param->To, param->Step};
    const char* const names[] = {"from", "to", "step"};
    for (int k = 0; k < 3; ++k) {
        std::vector<std::string> pieces = self->SplitString(element.attribute(names[k]).value());
        if (pieces.size() > static_cast<size_t>(kMaxParamValues)) {
            ZLOG(kTag, 1, "%d, %s: Parameter[%d] has %d %s values, more than %d: refused", index,
                 static_cast<int>(pieces.size()), names[k], kMaxParamValues);
            to.Error("parameter-refused", element,
                     name + " has " + std::to_string(pieces.size()) + " " + names[k] + " values, more than " +
                         std::to_string(kMaxParamValues) + ": the sweep leaves it out");
            return false;
        }
        for (size_t i = 0; i < pieces.size(); ++i) targets[k][i] = static_cast<float>(atof(pieces[i].c_str()));
    }
    for (float& step : param->Step) step = std::fabs(step);

    param->Array = element.attribute("array").as_int();
    if (param->Array == 0) {
        param->Array = 1;
        ZLOG(kTag, 1, "%d, %s: array value is 0, must keep its min value is 1");
    }
    if (param->Array < 0 || param->Array > kMaxParamValues) {
        ZLOG(kTag, 1, "%d, %s: Parameter[%d] array %d is outside 1 to %d: refused", index, param->Array,
             kMaxParamValues);
        to.Error("parameter-refused", element,
                 name + " array " + std::to_string(param->Array) + " is outside 1 to " +
                     std::to_string(kMaxParamValues) + ": the sweep leaves it out");
        return false;
    }
    param->Sync = element.attribute("sync").as_int();
    if (param->Sync == 0) ZLOG(kTag, 4, "%d, %s: set Parameter[%d]'s sync value as 0", index);

    const std::string path = element.text().get();
    if (path.size() > kMaxParamPathLength) {
        ZLOG(kTag, 1, "%d, %s: Parameter[%d] path of %d characters is longer than %d: refused", index,
             static_cast<int>(path.size()), static_cast<int>(kMaxParamPathLength));
        to.Error("parameter-refused", element,
                 name + " path has " + std::to_string(path.size()) + " characters, more than " +
                     std::to_string(kMaxParamPathLength) + ": the sweep leaves it out");
        return false;
    }
    if (to.report) ReportParameter(to, element, index);
    if (!SplitElementPath(path, &param->Paths)) {
        ZLOG(kTag, 1,
             "%d, %s: %s: Parameter[%d] path \"%s\" is not element names each with an optional [n] (n from 1): "
             "refused",
             files::Escaped(to.file).c_str(), index, files::Escaped(path).c_str());
        to.Error("parameter-refused", element,
                 name + " path \"" + path + "\" is not element names each with an optional [n] (n from 1): the "
                 "sweep leaves it out");
        return false;
    }
    for (const PathInfoTag& segment : param->Paths) {
        ZLOG(kTag, 4, "%d, %s: the node from tuning xml name %s, position %d", segment.Path.c_str(), segment.Position);
    }
    return true;
}

// Sweep frames the parameter needs; false (logged) when the count does not fit.
bool CountFrames(ParamConfigInfoTag* param, pugi::xml_node element, const Reporting& to) {
    int32_t most = 0;
    for (int32_t i = 0; i < param->Array; ++i) {
        int32_t frames = 1;
        if (param->Step[i] != 0.0f) {
            const float count = std::fabs(param->To[i] - param->From[i]) / param->Step[i] + 1.0f;
            if (!(count < static_cast<float>(kMaxSweepFrames) + 1.0f)) {
                ZLOG(kTag, 1, "%d, %s: parameter[%d] from %f to %f by %f gives more than %d sweep frames: refused",
                     param->Index, param->From[i], param->To[i], param->Step[i], kMaxSweepFrames);
                to.Error("parameter-refused", element,
                         "Parameter[" + std::to_string(param->Index) + "] from " + std::to_string(param->From[i]) +
                             " to " + std::to_string(param->To[i]) + " by " + std::to_string(param->Step[i]) +
                             " gives more than " + std::to_string(kMaxSweepFrames) +
                             " sweep frames: the sweep leaves it out");
                return false;
            }
            frames = static_cast<int32_t>(count);
        }
        ZLOG(kTag, 4,
             "%d, %s: parameter[%d] fromValue[%d] %f, toValue[%d] %f, stepValue[%d] %f, frameNum[%d] %d, sync %d",
             param->Index, i, param->From[i], i, param->To[i], i, param->Step[i], i, frames, param->Sync);
        if (frames > most) most = frames;
    }
    param->FrameNum = most;
    if (param->Array > 1) {
        ZLOG(kTag, 4, "%d, %s: the max frameNum of parameter[%d] is %d, array is %d", param->Index, most,
             param->Array);
    }
    return true;
}

bool NearZero(float value) { return std::fabs(value) <= kSameValue; }

}  // namespace

void ParameterManagerBase::ParseTuningTaskXML(ParamTaskInfoTag* task, const char* path, ReadReport* report) {
    if (!task || !path) {
        ZLOG(kTag, 4, "%d, %s: Could not get enought input, with %d, %d", task == nullptr ? 1 : 0,
             path == nullptr ? 1 : 0);
        return;
    }
    const Reporting to{report, path};
    pugi::xml_document doc;
    const bool loaded = LoadConfigXml(doc, zeb_platform::HostPathOf(path), "tuning task file", kTag, report) == ConfigLoad::Loaded;
    pugi::xml_node root = doc.child("ParametersInfo");
    ZLOG(kTag, 4, "%d, %s: Prepare to Parse TaskInfo XML");
    if (!loaded) {
        ZLOG(kTag, 1, "%d, %s: Document not parsed successfully! with file path %s", files::Escaped(path).c_str());
        return;
    }
    if (!root) {
        ZLOG(kTag, 1, "%d, %s: Could not find rootnode");
        to.Error("no-root", pugi::xml_node(), "has no document element <ParametersInfo>: nothing is swept");
        return;
    }
    task->Block = root.child("Block").text().get();
    task->ParamPath = zeb_platform::HostPathOf(root.child("ParamPath").text().get());
    task->OutputPath = zeb_platform::HostPathOf(root.child("OutputPath").text().get());
    if (report) {
        for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
            const std::string name = child.name();
            if (child.type() == pugi::node_element && name != "Block" && name != "ParamPath" &&
                name != "OutputPath" && name != "ParametersConfig") {
                to.Error("unknown-element", child, "<" + name + "> in <ParametersInfo> is not read: no such element");
            }
        }
        for (const char* needed : {"ParamPath", "OutputPath"}) {
            if (!root.child(needed)) {
                to.Error("missing-element", root,
                         std::string("<ParametersInfo> has no <") + needed + ">: no sweep file can be written");
            }
        }
    }

    pugi::xpath_node_set configs = SelectNodes(root, "ParametersConfig");
    if (configs.empty()) {
        ZLOG(kTag, 4, "%d, %s: Could not find ParametersConfig, return");
        to.Error("missing-element", root, "<ParametersInfo> has no <ParametersConfig>: nothing is swept");
        return;
    }
    for (const pugi::xpath_node& config : configs) FullfillParamConfig(config.node(), task, path, report);

    task->MaxFrameNum = 0;
    for (const auto& group : task->SyncParamMap) {
        if (group.second.FrameNum > task->MaxFrameNum) task->MaxFrameNum = group.second.FrameNum;
    }
    ZLOG(kTag, 4,
         "%d, %s: Parse task info is done, block name %s, tuning param xml path %s, output path %s max frame num %d",
         files::Escaped(task->Block).c_str(), files::Escaped(task->ParamPath).c_str(),
         files::Escaped(task->OutputPath).c_str(), task->MaxFrameNum);
}

void ParameterManagerBase::FullfillParamConfig(pugi::xml_node config, ParamTaskInfoTag* task, const char* file,
                                               ReadReport* report) {
    if (!config || !task) return;
    const Reporting to{report, file ? file : ""};
    pugi::xpath_node_set elements = SelectNodes(config, "Parameter");
    ZLOG(kTag, 4, "%d, %s: Parsing param config size is %d", static_cast<int>(elements.size()));
    if (report) {
        for (pugi::xml_node child = config.first_child(); child; child = child.next_sibling()) {
            if (child.type() == pugi::node_element && std::string(child.name()) != "Parameter") {
                to.Error("unknown-element", child,
                         "<" + std::string(child.name()) + "> in <ParametersConfig> is not read: no such element");
            }
        }
    }

    std::vector<ParamConfigInfoTag> params;
    params.reserve(elements.size());
    int32_t index = 0;
    for (const pugi::xpath_node& element : elements) {
        params.emplace_back();
        if (!ReadParameter(this, element.node(), index++, &params.back(), to)) params.pop_back();
    }
    std::vector<ParamConfigInfoTag> counted;
    counted.reserve(params.size());
    for (ParamConfigInfoTag& param : params) {
        if (CountFrames(&param, elements[static_cast<size_t>(param.Index)].node(), to)) {
            counted.push_back(std::move(param));
        }
    }

    if (report) {
        for (const ParamConfigInfoTag& param : counted) {
            if (task->SyncParamMap.count(param.Sync)) {
                to.Error("parameter-dropped", elements[static_cast<size_t>(param.Index)].node(),
                         "Parameter[" + std::to_string(param.Index) + "] is not swept: an earlier <ParametersConfig> "
                         "holds its sync group " + std::to_string(param.Sync));
            }
        }
    }
    // Each parameter names its group; a group is built once per naming but
    // only its first building is kept.
    for (const ParamConfigInfoTag& keyed : counted) {
        const int32_t sync = keyed.Sync;
        SyncParamInfoTag group;
        for (const ParamConfigInfoTag& param : counted) {
            if (param.Sync == sync) {
                ZLOG(kTag, 4, "%d, %s: Parameter[%d] has been classified, its sync = %d", param.Index, sync);
                group.Params.push_back(param);
                if (param.FrameNum > group.FrameNum) group.FrameNum = param.FrameNum;
            } else {
                ZLOG(kTag, 4, "%d, %s: Parameter[%d] sync value is %d, it does no belong to group %d", param.Index,
                     param.Sync, sync);
            }
        }
        ZLOG(kTag, 4, "%d, %s: sync value %d, the max Frame num of this group %d", sync, group.FrameNum);
        task->SyncParamMap.emplace(sync, std::move(group));
    }
}

void ParameterManagerBase::ModifyValue(ParamConfigInfoTag& param, int frame, std::string& text) {
    const int32_t positions = param.Array < 1 ? 1 : (param.Array > kMaxParamValues ? kMaxParamValues : param.Array);
    char value[64];
    for (int32_t i = 0; i < positions; ++i) {
        const float offset = param.Step[i] * static_cast<float>(frame);
        float v;
        if (param.From[i] <= param.To[i]) {
            v = param.From[i] + offset;
            if (v > param.To[i]) v = param.To[i];
        } else {
            v = param.From[i] - offset;
            if (v < param.To[i]) v = param.To[i];
        }
        const char* format = positions == 1 ? "%f" : (i == 0 ? " %f " : "%f ");
        snprintf(value, sizeof(value), format, static_cast<double>(v));
        text += value;
    }
}

namespace {

// The document element every parameter's path is taken below: the first
// segment of the first parameter of the first group.
std::string SweepRootName(const ParamTaskInfoTag& task) {
    if (task.SyncParamMap.empty()) return std::string();
    const SyncParamInfoTag& first = task.SyncParamMap.begin()->second;
    return !first.Params.empty() && !first.Params[0].Paths.empty() ? first.Params[0].Paths[0].Path : std::string();
}

// The element a parameter addresses: its path's further segments below the
// root; null where the path leads nowhere.
pugi::xml_node ParamElement(ParameterManagerBase* self, pugi::xml_node root, ParamConfigInfoTag& param) {
    pugi::xml_node node = root;
    for (size_t k = 1; k < param.Paths.size() && node; ++k) node = self->SearchNode(param.Paths[k], node);
    return node;
}

// Writes the group's values for sweep frame `frame` into the document.
void ApplyGroup(ParameterManagerBase* self, pugi::xml_document& doc, const std::string& rootName,
                SyncParamInfoTag& group, int frame) {
    for (ParamConfigInfoTag& param : group.Params) {
        pugi::xml_node root = doc.child(rootName.c_str());
        if (!root) {
            ZLOG(kTag, 1, "%d, %s: Could not find rootnode");
            return;
        }
        pugi::xml_node node = ParamElement(self, root, param);
        std::string current = node.text().get();
        if (!current.empty() && current[0] == ' ') {
            current.erase(0, 1);
            ZLOG(kTag, 5, "%d, %s: ModifyNode discard front");
        }
        ZLOG(kTag, 5, "%d, %s: ModifyNode node_default1: %s", files::Escaped(current).c_str());
        // A position swept from 0 to 0 keeps the file's own value.
        std::vector<std::string> pieces = self->SplitString(current);
        for (int32_t i = 0; i < param.Array && i < kMaxParamValues; ++i) {
            if (NearZero(param.From[i]) && NearZero(param.To[i]) && NearZero(param.From[i] - param.To[i]) &&
                static_cast<size_t>(i) < pieces.size()) {
                param.From[i] = param.To[i] = static_cast<float>(atof(pieces[i].c_str()));
            }
        }
        std::string result;
        self->ModifyValue(param, frame, result);
        ZLOG(kTag, 5, "%d, %s: nodeResult: %s", result.c_str());
        node.text().set(result.c_str());
    }
}

}  // namespace

SweepWrite ParameterManagerBase::ModifyNode(const char* paramFile, FrameNumInfoTag* frame, ParamTaskInfoTag* task,
                                            std::map<int32_t, std::string>* files, const std::string& fileName,
                                            uint64_t* budget) {
    if (!frame || !task || !files) return SweepWrite::Skipped;
    // Every sweep frame starts from the file as it is on disk.
    pugi::xml_document doc;
    const std::string source = paramFile ? paramFile : "";
    if (LoadConfigXml(doc, source, "swept parameter file", kTag) != ConfigLoad::Loaded) {
        ZLOG(kTag, 1, "%d, %s: Document not load successfully! with file path %s", files::Escaped(source).c_str());
        return SweepWrite::Skipped;
    }
    const std::string rootName = SweepRootName(*task);
    if (!frame->Loop) {
        for (auto& group : task->SyncParamMap) ApplyGroup(this, doc, rootName, group.second, frame->FrameId);
    } else {
        for (const SyncFrameInfo& entry : frame->SyncFrames) {
            auto group = task->SyncParamMap.find(entry.Sync);
            if (group == task->SyncParamMap.end()) {
                ZLOG(kTag, 1, "%d, %s: key = %d, do not find the value in paramInfoMap!", entry.Sync);
                return SweepWrite::Skipped;
            }
            SyncParamInfoTag copy = group->second;
            ApplyGroup(this, doc, rootName, copy, entry.Frame);
        }
    }
    const std::string output = task->OutputPath + fileName;
    if (!files::IsPlainName(fileName)) {
        ZLOG(kTag, 1, "%d, %s: sweep file %s refused: its name cannot be a file name", files::Escaped(output).c_str());
        return SweepWrite::Failed;
    }
    std::ostringstream text;
    doc.save(text, " ", pugi::format_default, pugi::encoding_utf8);
    const std::string bytes = text.str();
    if (budget && bytes.size() > *budget) {
        ZLOG(kTag, 1, "%d, %s: sweep file %s refused: the sweep would write more than its cap of %llu bytes",
             files::Escaped(output).c_str(), static_cast<unsigned long long>(kMaxSweepBytes));
        return SweepWrite::Failed;
    }
    // Written beside and renamed over its name: a link planted there is
    // replaced, never written through.
    std::string why;
    if (!files::WriteFileReplacing(output, bytes, &why)) {
        ZLOG(kTag, 1, "%d, %s: could not write %s: %s", files::Escaped(output).c_str(), why.c_str());
        return SweepWrite::Failed;
    }
    if (budget) *budget -= bytes.size();
    files->emplace(frame->FrameId, output);
    return SweepWrite::Written;
}

void ParameterManagerBase::CheckSweepTargets(ParamTaskInfoTag* task, ReadReport* report, const std::string& taskFile) {
    if (!task || !report) return;
    pugi::xml_document doc;
    if (task->ParamPath.empty()) return;
    if (LoadConfigXml(doc, task->ParamPath, "swept parameter file", kTag, report) != ConfigLoad::Loaded) return;
    const std::string rootName = SweepRootName(*task);
    pugi::xml_node root = doc.child(rootName.c_str());
    if (!root) {
        report->Add(ReadSeverity::Error, "no-root", task->ParamPath, 0,
                    "has no document element <" + rootName + ">, where the parameters' paths start: nothing is swept");
        return;
    }
    for (auto& group : task->SyncParamMap) {
        for (ParamConfigInfoTag& param : group.second.Params) {
            if (ParamElement(this, root, param)) continue;
            std::string path;
            for (const PathInfoTag& segment : param.Paths) {
                path += (path.empty() ? "" : "/") + segment.Path +
                        (segment.Position ? "[" + std::to_string(segment.Position + 1) + "]" : "");
            }
            report->Add(ReadSeverity::Error, "no-target", taskFile, 0,
                        "Parameter[" + std::to_string(param.Index) + "] " + path + " selects nothing in " +
                            task->ParamPath + ": the sweep writes nothing for it");
        }
    }
}

namespace {

// Whether the sweep of `frames` copies of the parameter file may start: its
// names fit a folder, and the copies stay within the byte cap (the copies are
// about as large as the file; the cap is held again while writing).
bool SweepFits(const ParamTaskInfoTag& task, int64_t frames, const std::string& suffix) {
    const std::string longest = "Frame" + std::to_string(frames > 0 ? frames - 1 : 0) + suffix;
    if (!files::IsPlainName(longest)) {
        ZLOG(kTag, 1, "%d, %s: sweep of %s refused: %s cannot be a file name", files::Escaped(task.Block).c_str(),
             files::Escaped(longest).c_str());
        return false;
    }
    // Refused once here rather than once per frame.
    std::string why;
    files::InputFile source = files::InputFile::Open(task.ParamPath, files::kMaxXmlBytes, &why);
    if (!source.IsOpen() && why != "missing" && !task.ParamPath.empty()) {
        ZLOG(kTag, 1, "%d, %s: swept parameter file %s refused: %s", files::Escaped(task.ParamPath).c_str(),
             why.c_str());
        return false;
    }
    if (source.IsOpen() && frames > 0 && source.Size() > kMaxSweepBytes / static_cast<uint64_t>(frames)) {
        ZLOG(kTag, 1,
             "%d, %s: sweep of %s refused: %lld frames of the %llu-byte %s would write more than its cap of %llu "
             "bytes",
             files::Escaped(task.Block).c_str(), static_cast<long long>(frames),
             static_cast<unsigned long long>(source.Size()), files::Escaped(task.ParamPath).c_str(),
             static_cast<unsigned long long>(kMaxSweepBytes));
        return false;
    }
    return true;
}

bool Dropped(const ParamTaskInfoTag& task, std::map<int32_t, std::string>* files) {
    files->clear();
    ZLOG(kTag, 1, "%d, %s: the sweep of %s is dropped: none of its frames is played",
         files::Escaped(task.Block).c_str());
    return false;
}

}  // namespace

bool ParameterManagerBase::TraverseParam(ParamTaskInfoTag* task, std::map<int32_t, std::string>* files,
                                         const std::string& suffix, const std::atomic<bool>* stop) {
    if (!task || !files) return true;
    auto stopped = [stop] { return stop && stop->load(); };
    uint64_t budget = kMaxSweepBytes;
    char loop[PROPERTY_VALUE_MAX] = {0};
    SimulationControlInterface::GetPropZEBLoopParam(loop);
    if (atoi(loop) == 0) {
        ZLOG(kTag, 4, "%d, %s: sync traverse start!");
        if (task->MaxFrameNum > 0 && !SweepFits(*task, task->MaxFrameNum, suffix)) return Dropped(*task, files);
        for (int32_t f = 0; f < task->MaxFrameNum && !stopped(); ++f) {
            ZLOG(kTag, 4, "%d, %s: sync traverse frame id: %d", f);
            FrameNumInfoTag frame;
            frame.FrameId = f;
            if (ModifyNode(task->ParamPath.c_str(), &frame, task, files, "Frame" + std::to_string(f) + suffix,
                           &budget) == SweepWrite::Failed) {
                return Dropped(*task, files);
            }
        }
        return true;
    }

    ZLOG(kTag, 4, "%d, %s: loop traverse start!");
    std::vector<SyncFrameInfo> counts;
    int64_t combinations = task->SyncParamMap.empty() ? 0 : 1;
    for (const auto& group : task->SyncParamMap) {
        ZLOG(kTag, 4, "%d, %s: frame info: Sync %d, frame num %d", group.first, group.second.FrameNum);
        counts.push_back({group.second.FrameNum, group.first});
        combinations *= group.second.FrameNum;
        if (combinations > kMaxSweepFrames) {
            ZLOG(kTag, 1, "%d, %s: the sync groups combine into more than %d sweep frames, nothing written",
                 kMaxSweepFrames);
            return true;
        }
    }
    if (combinations > 0 && !SweepFits(*task, combinations, suffix)) return Dropped(*task, files);
    // Combination j, read as a mixed-radix number with the first group as the
    // lowest digit: the first group's index changes fastest.
    for (int64_t j = 0; j < combinations && !stopped(); ++j) {
        FrameNumInfoTag frame;
        frame.FrameId = static_cast<int32_t>(j);
        frame.Loop = true;
        int64_t rest = j;
        for (const SyncFrameInfo& count : counts) {
            frame.SyncFrames.push_back({static_cast<int32_t>(rest % count.Frame), count.Sync});
            rest /= count.Frame;
        }
        if (ModifyNode(task->ParamPath.c_str(), &frame, task, files, "Frame" + std::to_string(j) + suffix,
                       &budget) == SweepWrite::Failed) {
            return Dropped(*task, files);
        }
    }
    ZLOG(kTag, 4, "%d, %s: loop traverse param done");
    return true;
}

}  // namespace ZEB
