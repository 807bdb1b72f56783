#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "parameter/ParameterManagerBase.h"
#include "parameter/XmlSchema.h"
#include "platform/Host.h"
#include "parameter/XmlSelect.h"
#include "platform/Log.h"
#include "core/SimulationControlInterface.h"

namespace ZEB {
namespace {

const char* const kTag = "ZEBParameter";
const char* const kTaskListPath = "/data/vendor/cameraserver/zeb/config/RawListFile.xml";

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

void MakeOutputFolder(const std::string& path) {
    std::error_code code;
    if (std::filesystem::is_directory(path, code)) {
        ZLOG(kTag, 4, "%d, %s: Path already exist");
        return;
    }
    // Only the last component: a missing parent is a broken task list, not
    // something to paper over.
    std::filesystem::create_directory(path, code);
    if (code && code != std::errc::file_exists) {
        ZLOG(kTag, 4, "%d, %s: Could not make DIR with path %s, Error %s", path.c_str(), code.message().c_str());
    }
}

}  // namespace

std::string ParameterManagerBase::ParseTaskList(TaskMap* tasks) {
    const std::string path = zeb_platform::DevicePath(kTaskListPath);
    pugi::xml_document doc;
    pugi::xml_parse_result loaded = doc.load_file(path.c_str());
    pugi::xml_node input = doc.child("input");
    ZLOG(kTag, 4, "%d, %s: Prepare to Parse TaskInfo");
    if (!loaded) {
        ZLOG(kTag, 4, "%d, %s: Document not parsed successfully! with file path %s", path.c_str());
        return std::string();
    }
    if (!input) {
        ZLOG(kTag, 4, "%d, %s: Could not find rootnode");
        return std::string();
    }
    ZLOG(kTag, 4, "%d, %s: Getting Task number %d", atoi(input.child("num").text().get()));
    const std::string ispconfig = input.child("ispconfig").text().get();
    if (!tasks) return ispconfig;

    int64_t index = 0;
    for (const pugi::xpath_node& list : SelectNodes(input, "TaskList")) {
        for (const pugi::xpath_node& image : SelectNodes(list.node(), "image")) {
            FullfillImageInfo(image.node(), tasks, index++);
        }
    }
    return ispconfig;
}

void ParameterManagerBase::FullfillImageInfo(pugi::xml_node image, TaskMap* tasks, int64_t index) {
    if (!image || !tasks) return;
    // The mode comes from the document the image belongs to: loading the file
    // again for every image would make the task list quadratic to read.
    const std::string mode = image.root().child("input").child("mode").text().get();
    ZLOG(kTag, 4, "%d, %s: mode string= %s", mode.c_str());
    const std::string output = image.child("outputpath").text().get();

    auto task = std::make_shared<TaskInfo>();
    pugi::xpath_node_set inputs = SelectNodes(image, "inputpath");
    ZLOG(kTag, 4, "%d, %s: Parsing input path with size %d", static_cast<int>(inputs.size()));
    for (size_t k = 0; k < inputs.size() && k < static_cast<size_t>(kTaskInputPaths); ++k) {
        pugi::xml_node input = inputs[k].node();
        task->TaskInputPath[k] = input.text().get();
        ZLOG(kTag, 4, "%d, %s: input path is %s -> %s", input.name(), task->TaskInputPath[k].c_str());
    }
    // Copies: the task itself may be dropped below.
    const std::string first = task->TaskInputPath[0];
    const size_t underscore = first.find('_');
    ZLOG(kTag, 4, "%d, %s: Frame id is %s",
         (underscore == std::string::npos ? first : first.substr(underscore + 1)).c_str());

    // A folder named "ZEB_..." is the tester's own and is reused as it is;
    // any other gets the time of this run so that runs never mix.
    const std::string outputPath = output.find("ZEB_") != std::string::npos ? output : output + TimeStamp();
    // The dump root property refuses a longer value, and the HAL would then
    // write this task's output into the previous task's folder.
    const size_t limit = SimulationControlInterface::kTaskOutputPathMax;
    if (outputPath.size() > limit) {
        ZLOG(kTag, 1,
             "%d, %s: Output path %s has %d characters, it may have at most %d (with the stamp of the run when its "
             "name holds no ZEB_); task %ld refused",
             outputPath.c_str(), static_cast<int>(outputPath.size()), static_cast<int>(limit), static_cast<long>(index));
        return;
    }
    task->TaskOutputPath = outputPath;
    task->TaskMode = mode;
    MakeOutputFolder(task->TaskOutputPath);

    tasks->try_emplace(index, std::move(task));
    ZLOG(kTag, 4, "%d, %s: Now IN/OUT path is %s <-> %s, with frmId %ld", first.c_str(), outputPath.c_str(),
         static_cast<long>(index));
}

void ParameterManagerBase::ParseIspConfigList(const char* path, std::vector<IspInfo>* blocks,
                                              const XmlStructure* table) {
    pugi::xml_document doc;
    pugi::xml_parse_result loaded = (path && *path) ? doc.load_file(path) : pugi::xml_parse_result();
    pugi::xml_node root = doc.child("ispblocks");
    ZLOG(kTag, 4, "%d, %s: Prepare to Parse IspConfigInfo");
    if (!loaded) {
        ZLOG(kTag, 4, "%d, %s: Document not parsed successfully! with file path %s", path ? path : "");
        return;
    }
    if (!root) {
        ZLOG(kTag, 4, "%d, %s: Could not find rootnode");
        return;
    }
    if (!blocks || !table || table->NodeNum < 1) return;
    const NodeStruct& node = table->Nodes[0];
    if (schema::NodeWidth(node) > static_cast<int32_t>(sizeof(IspInfo))) {
        ZLOG(kTag, 1, "%d, %s: table %s does not fit a block record", node.NodePath);
        return;
    }
    for (const pugi::xpath_node& block : SelectNodes(root, node.NodePath)) {
        IspInfo info;
        memset(&info, 0, sizeof(info));
        FullfillLayerInfo(&info, block.node(), &node);
        blocks->push_back(info);
    }
}

}  // namespace ZEB
