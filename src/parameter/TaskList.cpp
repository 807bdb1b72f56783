#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <set>

#include "core/FileAccess.h"
#include "parameter/ConfigXml.h"
#include "parameter/ParameterManagerBase.h"
#include "parameter/XmlSchema.h"
#include "platform/Host.h"
#include "parameter/XmlSelect.h"
#include "platform/Log.h"
#include "core/SimulationControlInterface.h"

namespace ZEB {
namespace {

const char* const kTag = "ZEBParameter";

// Local time as 14 digits; empty when the local time cannot be had.
std::string TimeStamp() {
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local)) return std::string();
    char stamp[128];
    snprintf(stamp, sizeof(stamp), "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
             local.tm_hour, local.tm_min, local.tm_sec);
    return stamp;
}

// A folder named "ZEB_..." is the tester's own and is reused as it is; any
// other gets the time of this run so that runs never mix.
std::string TaskOutputPathOf(const std::string& text) {
    return text.find("ZEB_") != std::string::npos ? text : text + TimeStamp();
}

// The dump root property refuses a longer value, and the HAL would then write
// the task's output into the previous task's folder.
bool OutputPathFits(const std::string& path) { return path.size() <= SimulationControlInterface::kTaskOutputPathMax; }

// A component "." or ".." in an output path: the library writes below the
// folder it names, which must be the folder the text names.
bool HasDotComponent(const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        const std::string part = path.substr(start, slash - start);
        if (part == "." || part == "..") return true;
        start = slash + 1;
    }
    return false;
}

// Notes the element children of `element` that the reader does not read, and
// second copies of those of which it reads the first only.
void ReportChildren(ReadReport& report, const std::string& file, pugi::xml_node element,
                    std::initializer_list<const char*> known, std::initializer_list<const char*> firstOnly) {
    std::set<std::string> seen;
    for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        const std::string name = child.name();
        const auto is = [&name](const char* other) { return name == other; };
        if (std::none_of(known.begin(), known.end(), is)) {
            report.Add(ReadSeverity::Error, "unknown-element", file, child,
                       "<" + name + "> in <" + element.name() + "> is not read: no such element");
        } else if (std::any_of(firstOnly.begin(), firstOnly.end(), is) && !seen.insert(name).second) {
            report.Add(ReadSeverity::Warning, "repeated-element", file, child,
                       "<" + name + "> appears more than once in <" + element.name() + ">: only the first counts");
        }
    }
}

// One `image` as the task it becomes, with what the reader cannot take of it.
TaskListImage ReadImage(pugi::xml_node image, int64_t index, const std::string& file, ReadReport& report) {
    TaskListImage seen;
    seen.index = index;
    seen.line = report.LineOf(file, image.offset_debug());
    ReportChildren(report, file, image, {"inputpath", "outputpath"}, {"outputpath"});
    pugi::xpath_node_set inputs = SelectNodes(image, "inputpath");
    for (size_t k = 0; k < inputs.size(); ++k) {
        if (k == static_cast<size_t>(kTaskInputPaths)) {
            report.Add(ReadSeverity::Error, "too-many-inputs", file, inputs[k].node(),
                       "task " + std::to_string(index) + " names " + std::to_string(inputs.size()) +
                           " input folders: only the first " + std::to_string(kTaskInputPaths) + " are played");
            break;
        }
        seen.inputs.push_back(inputs[k].node().text().get());
    }
    if (inputs.empty()) {
        report.Add(ReadSeverity::Warning, "no-input", file, image,
                   "task " + std::to_string(index) + " has no <inputpath>: it has no frame to play");
    }
    pugi::xml_node output = image.child("outputpath");
    seen.outputText = output.text().get();
    seen.outputPath = TaskOutputPathOf(seen.outputText);
    if (!output) {
        report.Add(ReadSeverity::Warning, "no-output-path", file, image,
                   "task " + std::to_string(index) +
                       " has no <outputpath>: its output folder is the time stamp, in the current folder");
    }
    if (!OutputPathFits(seen.outputPath)) {
        seen.refused = true;
        const bool stamped = seen.outputPath != seen.outputText;
        report.Add(ReadSeverity::Error, "output-path-too-long", file, output ? output : image,
                   "output path of task " + std::to_string(index) + " has " +
                       std::to_string(seen.outputPath.size()) + " characters" +
                       (stamped ? " with the run's 14-digit stamp (its name holds no ZEB_)" : "") +
                       ", at most " + std::to_string(SimulationControlInterface::kTaskOutputPathMax) +
                       " fit the dump root property: the library refuses the task");
    }
    if (HasDotComponent(seen.outputPath)) {
        seen.refused = true;
        report.Add(ReadSeverity::Error, "output-path-refused", file, output ? output : image,
                   "output path of task " + std::to_string(index) +
                       " holds a \".\" or \"..\" folder: the library refuses the task");
    }
    return seen;
}

// Makes the task's output folder (its last component only: a missing parent
// is a broken task list, not something to paper over). False when something
// other than a real folder stands at its name: the HAL would dump through a
// link, or into nothing.
bool MakeOutputFolder(const std::string& path) {
    if (files::IsRealDirectory(path)) {
        ZLOG(kTag, 4, "%d, %s: Path already exist");
        return true;
    }
    std::string parent = path, name;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    const size_t slash = parent.rfind('/');
    if (slash == std::string::npos) {
        name = parent;
        parent = ".";
    } else {
        name = parent.substr(slash + 1);
        parent = slash == 0 ? "/" : parent.substr(0, slash);
    }
    std::string why;
    if (files::MakeDirsBelow(parent, name, &why)) return true;
    const std::string standing = files::Describe(path);
    if (standing == "missing") {
        ZLOG(kTag, 4, "%d, %s: Could not make DIR with path %s, Error %s", files::Escaped(path).c_str(), why.c_str());
        return true;
    }
    ZLOG(kTag, 1, "%d, %s: output folder %s refused: %s", files::Escaped(path).c_str(), standing.c_str());
    return false;
}

}  // namespace

const char* const ParameterManagerBase::kTaskListPath = "/data/vendor/cameraserver/zeb/config/RawListFile.xml";

std::string ParameterManagerBase::ParseTaskList(TaskMap* tasks) {
    return ReadTaskList(zeb_platform::DevicePath(kTaskListPath), tasks, nullptr);
}

std::string ParameterManagerBase::ReadTaskList(const std::string& path, TaskMap* tasks, TaskListReading* reading) {
    pugi::xml_document doc;
    const bool loaded =
        LoadConfigXml(doc, path, "task list", kTag, reading ? &reading->report : nullptr) == ConfigLoad::Loaded;
    pugi::xml_node input = doc.child("input");
    ZLOG(kTag, 4, "%d, %s: Prepare to Parse TaskInfo");
    if (reading) reading->path = path;
    if (!loaded) {
        ZLOG(kTag, 4, "%d, %s: Document not parsed successfully! with file path %s", files::Escaped(path).c_str());
        return std::string();
    }
    if (!input) {
        ZLOG(kTag, 4, "%d, %s: Could not find rootnode");
        if (reading) {
            reading->report.Add(ReadSeverity::Error, "no-root", path, 0,
                                "has no document element <input>: no task is read");
        }
        return std::string();
    }
    ZLOG(kTag, 4, "%d, %s: Getting Task number %d", atoi(input.child("num").text().get()));
    const std::string ispconfig = input.child("ispconfig").text().get();
    if (reading) {
        reading->read = true;
        reading->ispconfig = ispconfig;
        reading->mode = input.child("mode").text().get();
        ReportChildren(reading->report, path, input, {"num", "ispconfig", "mode", "TaskList"},
                       {"num", "ispconfig", "mode"});
    }
    if (!tasks && !reading) return ispconfig;

    // A task's id is its image's position, and the HAL's 3A take id 65535 for
    // the snapshot command: a list that would give an image that id is refused.
    size_t images = 0;
    for (const pugi::xpath_node& list : SelectNodes(input, "TaskList")) images += SelectNodes(list.node(), "image").size();
    if (images > kTaskLimit) {
        const std::string what = "names " + std::to_string(images) + " images, more than the " +
                                 std::to_string(kTaskLimit) + " a run can play: no task is read";
        ZLOG(kTag, 1, "%d, %s: Task list %s %s", path.c_str(), what.c_str());
        if (reading) reading->report.Add(ReadSeverity::Error, "too-many-tasks", path, input, what);
        return std::string();
    }

    int64_t index = 0;
    for (const pugi::xpath_node& list : SelectNodes(input, "TaskList")) {
        if (reading) ReportChildren(reading->report, path, list.node(), {"image"}, {});
        for (const pugi::xpath_node& image : SelectNodes(list.node(), "image")) {
            if (reading) {
                const size_t before = reading->report.Problems().size();
                reading->images.push_back(ReadImage(image.node(), index, path, reading->report));
                reading->images.back().problems = reading->report.TakeAfter(before);
            }
            if (tasks) FullfillImageInfo(image.node(), tasks, index);
            ++index;
        }
    }
    if (reading && index == 0) {
        reading->report.Add(ReadSeverity::Error, "no-task", path, input, "names no <TaskList>/<image>: nothing plays");
    }
    return ispconfig;
}

void ParameterManagerBase::FullfillImageInfo(pugi::xml_node image, TaskMap* tasks, int64_t index) {
    if (!image || !tasks) return;
    // The mode comes from the document the image belongs to: loading the file
    // again for every image would make the task list quadratic to read.
    const std::string mode = image.root().child("input").child("mode").text().get();
    ZLOG(kTag, 4, "%d, %s: mode string= %s", files::Escaped(mode).c_str());
    const std::string output = image.child("outputpath").text().get();

    auto task = std::make_shared<TaskInfo>();
    pugi::xpath_node_set inputs = SelectNodes(image, "inputpath");
    ZLOG(kTag, 4, "%d, %s: Parsing input path with size %d", static_cast<int>(inputs.size()));
    for (size_t k = 0; k < inputs.size() && k < static_cast<size_t>(kTaskInputPaths); ++k) {
        pugi::xml_node input = inputs[k].node();
        task->TaskInputPath[k] = zeb_platform::HostPathOf(input.text().get());
        ZLOG(kTag, 4, "%d, %s: input path is %s -> %s", files::Escaped(input.name()).c_str(),
             files::Escaped(task->TaskInputPath[k]).c_str());
    }
    // Copies: the task itself may be dropped below.
    const std::string first = task->TaskInputPath[0];
    const size_t underscore = first.find('_');
    ZLOG(kTag, 4, "%d, %s: Frame id is %s",
         files::Escaped(underscore == std::string::npos ? first : first.substr(underscore + 1)).c_str());

    const std::string outputPath = TaskOutputPathOf(output);
    if (!OutputPathFits(outputPath)) {
        const size_t limit = SimulationControlInterface::kTaskOutputPathMax;
        ZLOG(kTag, 1,
             "%d, %s: Output path %s has %d characters, it may have at most %d (with the stamp of the run when its "
             "name holds no ZEB_); task %ld refused",
             files::Escaped(outputPath).c_str(), static_cast<int>(outputPath.size()), static_cast<int>(limit),
             static_cast<long>(index));
        return;
    }
    if (HasDotComponent(outputPath)) {
        ZLOG(kTag, 1, "%d, %s: output folder %s refused: a \".\" or \"..\" in it; task %ld refused",
             files::Escaped(outputPath).c_str(), static_cast<long>(index));
        return;
    }
    task->TaskOutputPath = outputPath;
    task->TaskMode = mode;
    if (!MakeOutputFolder(zeb_platform::HostPathOf(task->TaskOutputPath))) {
        ZLOG(kTag, 1, "%d, %s: task %ld refused", static_cast<long>(index));
        return;
    }

    tasks->try_emplace(index, std::move(task));
    ZLOG(kTag, 4, "%d, %s: Now IN/OUT path is %s <-> %s, with frmId %ld", files::Escaped(first).c_str(),
         files::Escaped(outputPath).c_str(), static_cast<long>(index));
}

void ParameterManagerBase::ParseIspConfigList(const char* path, std::vector<IspInfo>* blocks,
                                              const XmlStructure* table, ReadReport* report) {
    pugi::xml_document doc;
    const std::string file = path ? path : "";
    const bool loaded = LoadConfigXml(doc, file, "block list", kTag, report) == ConfigLoad::Loaded;
    pugi::xml_node root = doc.child("ispblocks");
    ZLOG(kTag, 4, "%d, %s: Prepare to Parse IspConfigInfo");
    if (!loaded) {
        ZLOG(kTag, 4, "%d, %s: Document not parsed successfully! with file path %s", files::Escaped(file).c_str());
        return;
    }
    if (!root) {
        ZLOG(kTag, 4, "%d, %s: Could not find rootnode");
        if (report) {
            report->Add(ReadSeverity::Error, "no-root", file, 0, "has no document element <ispblocks>: no block is read");
        }
        return;
    }
    if (!blocks || !table || table->NodeNum < 1) return;
    const NodeStruct& node = table->Nodes[0];
    if (schema::NodeWidth(node) > static_cast<int32_t>(sizeof(IspInfo))) {
        ZLOG(kTag, 1, "%d, %s: table %s does not fit a block record", node.NodePath);
        return;
    }
    if (report) ReportChildren(*report, file, root, {node.NodePath}, {});
    for (const pugi::xpath_node& block : SelectNodes(root, node.NodePath)) {
        IspInfo info;
        memset(&info, 0, sizeof(info));
        FullfillLayerInfo(&info, block.node(), &node, report, file.c_str());
        blocks->push_back(info);
    }
}

}  // namespace ZEB
