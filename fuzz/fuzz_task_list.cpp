// The task list, read from its fixed device path into the task map.
#include <filesystem>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zeb_fuzz::Write("data/vendor/cameraserver/zeb/config/RawListFile.xml", data, size);
    ZEB::ConfigReader reader;
    ZEB::TaskMap tasks;
    reader.ParseTaskList(&tasks);
    // The output folders it made (inside the scratch folder only) go again,
    // or millions of runs would leave millions of them.
    for (const auto& task : tasks) {
        std::error_code error;
        if (task.second) std::filesystem::remove(task.second->TaskOutputPath, error);
    }
    return 0;
}
