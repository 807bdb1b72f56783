// A tuning task file, and the sweep frames it gives over a parameter file:
// the input is the task file, then after a NUL the parameter file (a small
// one of the tests' shape when none follows). The task's own ParamPath and
// OutputPath are replaced by the scratch files, so the sweep reads and
// writes nothing else; of the frames, the first and the last are written.
#include <filesystem>

#include "FuzzSupport.h"
#include "parameter/TuningTask.h"
#include "platform/Property.h"

namespace {

const char* const kParameterFile =
    "<Block><Table><gain>1 2 3</gain><offset>7</offset></Table><Table><gain>4 5 6</gain><offset>9</offset></Table>"
    "</Block>";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto [taskFile, parameterFile] = zeb_fuzz::SplitAtNul(data, size);
    const std::string taskPath = zeb_fuzz::Write("tuning/task.xml", taskFile);
    const std::string paramPath = zeb_fuzz::Write("tuning/param.xml", parameterFile.empty() ? kParameterFile : parameterFile);
    ZEB::ConfigReader reader;
    ZEB::ParamTaskInfoTag task;
    reader.ParseTuningTaskXML(&task, taskPath.c_str());
    if (task.SyncParamMap.empty()) return 0;
    task.ParamPath = paramPath;
    task.OutputPath = zeb_fuzz::Scratch() + "/tuning/";

    ZEB::SweepFileMap files;
    for (const int32_t frame : {0, task.MaxFrameNum - 1}) {
        ZEB::FrameNumInfoTag sync;
        sync.FrameId = frame;
        reader.ModifyNode(paramPath.c_str(), &sync, &task, &files, "Frame_param.xml");
    }
    // Loop mode: every group at its last frame.
    ZEB::FrameNumInfoTag loop;
    loop.Loop = true;
    for (const auto& group : task.SyncParamMap) loop.SyncFrames.push_back({group.second.FrameNum - 1, group.first});
    reader.ModifyNode(paramPath.c_str(), &loop, &task, &files, "Frame_param.xml");
    return 0;
}
