#include "zebsim-inspect/lib/Inspector.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <system_error>

#include "core/FileAccess.h"
#include "core/SimulationControlInterface.h"
#include "frame/ZEBFrame.h"
#include "parameter/ConfigReader.h"
#include "parameter/SceneInfo.h"
#include "parameter/SceneParameter.h"
#include "parameter/TaskManager.h"
#include "parameter/TuningTask.h"
#include "parameter/XmlSchema.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/Property.h"

namespace zeb_inspect {
namespace {

namespace fs = std::filesystem;

// Where a recording lies on a device: everything the library reads of it.
const char* const kDeviceZeb = "/data/vendor/cameraserver/zeb/";

// The library's log lines say what the checks say; they stay off while the
// checks run, and the process's settings come back afterwards.
class QuietLibrary {
public:
    explicit QuietLibrary(const std::string& deviceRoot)
        : mLevel(zeb_platform::LogLevel()), mRoot(zeb_platform::DeviceRoot()) {
        zeb_platform::SetLogLevel(0);
        zeb_platform::SetDeviceRoot(deviceRoot);
    }
    ~QuietLibrary() {
        zeb_platform::SetDeviceRoot(mRoot);
        zeb_platform::SetLogLevel(mLevel);
    }
    QuietLibrary(const QuietLibrary&) = delete;
    QuietLibrary& operator=(const QuietLibrary&) = delete;

private:
    int mLevel;
    std::string mRoot;
};

Problem Error(const char* code, const std::string& file, const std::string& message) {
    return {true, code, file, 0, message};
}

Problem Warning(const char* code, const std::string& file, const std::string& message) {
    return {false, code, file, 0, message};
}

void Append(std::vector<Problem>& to, const std::vector<ZEB::ReadProblem>& from) {
    for (const ZEB::ReadProblem& p : from) {
        to.push_back({p.severity == ZEB::ReadSeverity::Error, p.code, p.file, p.line, p.what});
    }
}

// The task list also carries what the HAL side of a recording made on the
// host reads and the library does not: the sensor's Bayer pattern, which the
// HAL puts into its context.
bool ForTheHal(const ZEB::ReadProblem& p) {
    return p.code == "unknown-element" && p.what.rfind("<pattern> in <input> ", 0) == 0;
}

std::string Size(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

// Whether `path` lies below `root` once every link is resolved.
bool Inside(const std::string& path, const std::string& root) {
    std::error_code code;
    const fs::path target = fs::weakly_canonical(path, code);
    const fs::path base = fs::weakly_canonical(root, code);
    if (code) return false;
    auto t = target.begin();
    for (auto b = base.begin(); b != base.end(); ++b, ++t) {
        if (b->empty()) continue;  // a trailing separator
        if (t == target.end() || *t != *b) return false;
    }
    return true;
}

class Inspector {
public:
    explicit Inspector(const InspectOptions& options) : mOptions(options) {}

    Inspection Run() {
        if (!Locate()) return mResult;
        QuietLibrary quiet(mResult.deviceRoot);
        if (!Readable(mResult.taskListPath, ZEB::files::kMaxXmlBytes, mResult.problems)) return mResult;
        ZEB::TaskListReading reading;
        mReader.ReadTaskList(mResult.taskListPath, nullptr, &reading);
        for (const ZEB::ReadProblem& p : reading.report.Problems()) {
            if (!ForTheHal(p)) Append(mResult.problems, {p});
        }
        mResult.mode = reading.mode;
        if (!reading.ispconfig.empty()) CheckBlocks(reading.ispconfig);
        for (const ZEB::TaskListImage& image : reading.images) CheckTask(image);
        return mResult;
    }

private:
    // What the library refuses to read (a link at the file's name, a pipe,
    // a device, a folder, a file over its cap) is named as an error here and
    // never handed to a reader: nothing is read without bound. A missing
    // file is left to the reader, which names it its own way.
    bool Readable(const std::string& path, uint64_t cap, std::vector<Problem>& problems) const {
        const std::string why = Refusal(path, cap);
        if (why.empty()) return true;
        problems.push_back(Error("refused", path, why));
        return false;
    }

    std::string Refusal(const std::string& path, uint64_t cap) const {
        std::string why;
        if (path.empty() || ZEB::files::InputFile::Open(path, cap, &why).IsOpen() || why == "missing") return "";
        if (why == "a link") {
            why = Inside(path, mResult.deviceRoot) ? "a link (the library reads no link at a file's name: copy or "
                                                     "hard-link the file)"
                                                   : "a link leaving the device root";
        }
        return "is " + why + ": the library refuses it and reads nothing of it";
    }

    // Where the task list is, and which folder stands for the device's root.
    bool Locate() {
        std::error_code code;
        fs::path given = fs::absolute(mOptions.path, code).lexically_normal();
        if (!given.has_filename()) given = given.parent_path();
        const fs::path fixed = fs::path(ZEB::ParameterManagerBase::kTaskListPath).relative_path();
        if (fs::is_directory(given, code)) {
            mResult.deviceRoot = given.string();
            if (fs::exists(given / fixed, code)) {
                mResult.taskListPath = (given / fixed).string();
            } else if (fs::exists(given / "RawListFile.xml", code)) {
                mResult.taskListPath = (given / "RawListFile.xml").string();
            }
        } else if (fs::is_regular_file(given, code)) {
            mResult.deviceRoot = given.parent_path().string();
            mResult.taskListPath = given.string();
        }
        if (mResult.taskListPath.empty()) {
            mResult.problems.push_back(Error("missing-file", given.string(),
                                             "holds no task list (" + fixed.string() + " or RawListFile.xml)"));
            return false;
        }
        if (mOptions.devicePaths && mResult.taskListPath != (fs::path(mResult.deviceRoot) / fixed).string()) {
            mResult.problems.push_back(Error("not-device-layout", mResult.taskListPath,
                                             "is not at " + fixed.string() + " below " + mResult.deviceRoot +
                                                 ": the folder is not in the device's layout"));
        }
        return true;
    }

    // A path of the recording as the library on this host opens it, with
    // the device root standing for the device's: a device path lies under
    // it, any other as written. A file outside the root is not carried by a
    // copy of it; with devicePaths, a path that is not a device path of the
    // layout has no place on a device.
    // `mapped`: the library's reader already took the text below the root.
    std::string Resolve(std::string written, std::vector<Problem>& problems, bool mapped = false) {
        const std::string path = zeb_platform::HostPathOf(written);
        if (mapped && written.compare(0, mResult.deviceRoot.size(), mResult.deviceRoot) == 0 &&
            zeb_platform::IsDeviceTreePath(written.substr(std::min(written.size(), mResult.deviceRoot.size())))) {
            written.erase(0, mResult.deviceRoot.size());
        }
        if (path.empty() || !mNamed.insert(path).second) return path;
        const std::string root = fs::path(mResult.deviceRoot).lexically_normal().string();
        const std::string absolute = fs::absolute(path).lexically_normal().string();
        if (absolute.compare(0, root.size() + 1, root + "/") != 0) {
            problems.push_back(Warning("outside-root", written,
                                       "lies outside " + root + ": a copy of that folder does not carry it"));
        }
        if (mOptions.devicePaths && written.compare(0, strlen(kDeviceZeb), kDeviceZeb) != 0) {
            problems.push_back(Error("not-device-path", written,
                                     std::string("is not a device path below ") + kDeviceZeb +
                                         ": on a device it names nothing of the recording"));
        }
        return path;
    }

    void CheckBlocks(const std::string& listed) {
        mResult.ispConfigPath = Resolve(listed, mResult.problems);
        if (!Readable(mResult.ispConfigPath, ZEB::files::kMaxXmlBytes, mResult.problems)) return;
        std::vector<ZEB::IspInfo> blocks;
        ZEB::ReadReport report;
        mReader.ParseIspConfigList(mResult.ispConfigPath.c_str(), &blocks, &ZEB::IspConfiginfo, &report);
        Append(mResult.problems, report.Problems());

        char loop[PROPERTY_VALUE_MAX] = {0};
        ZEB::SimulationControlInterface::GetPropZEBLoopParam(loop);
        std::set<std::string> swept;
        for (const ZEB::IspInfo& block : blocks) {
            BlockResult result;
            result.name = ZEB::IspText(block.name);
            result.state = block.state;
            result.tuning = ZEB::IspText(block.tuning);
            result.loop = atoi(loop) != 0;
            const ZEB::TaskManager::BlockSweep sweep = ZEB::TaskManager::SweepOf(block);
            if (sweep == ZEB::TaskManager::BlockSweep::NameTaken) {
                result.problems.push_back(Error("name-taken", mResult.ispConfigPath,
                                                "block " + result.name + " is to be swept, but the name belongs to "
                                                "another module of the library: it is not swept"));
            } else if (sweep == ZEB::TaskManager::BlockSweep::Swept && !swept.insert(result.name).second) {
                result.problems.push_back(Error("name-taken", mResult.ispConfigPath,
                                                "block " + result.name + " is listed twice: only the first is swept"));
            } else if (sweep == ZEB::TaskManager::BlockSweep::Swept) {
                result.swept = true;
                CheckSweep(result);
            }
            mResult.blocks.push_back(std::move(result));
        }
    }

    void CheckSweep(BlockResult& block) {
        const std::string file = Resolve(block.tuning, block.problems);
        if (!Readable(file, ZEB::files::kMaxXmlBytes, block.problems)) return;
        ZEB::ParamTaskInfoTag task;
        ZEB::ReadReport report;
        mReader.ParseTuningTaskXML(&task, file.c_str(), &report);
        task.ParamPath = Resolve(task.ParamPath, block.problems, true);
        task.OutputPath = Resolve(task.OutputPath, block.problems, true);
        if (!Readable(task.ParamPath, ZEB::files::kMaxXmlBytes, block.problems)) return;
        if (!task.SyncParamMap.empty()) mReader.CheckSweepTargets(&task, &report, file);
        Append(block.problems, report.Problems());
        if (report.Count(ZEB::ReadSeverity::Error) != 0 && task.SyncParamMap.empty()) return;

        // Sync mode writes as many files as the longest group needs; loop
        // mode one per combination of the groups' frames.
        int64_t frames = block.loop && !task.SyncParamMap.empty() ? 1 : 0;
        for (const auto& group : task.SyncParamMap) {
            const int64_t count = group.second.FrameNum;
            if (!block.loop) {
                frames = std::max(frames, count);
            } else if (count > 0 && frames > INT32_MAX / count) {
                frames = int64_t{INT32_MAX};  // far past the limit already
            } else {
                frames *= count;
            }
        }
        block.sweepFrames = frames;
        if (frames == 0) {
            block.problems.push_back(
                Error("no-sweep-frames", file, "its sweep gives no frame: no task plays a tuning entry"));
        } else if (frames > ZEB::kMaxSweepFrames) {
            block.problems.push_back(Error("too-many-sweep-frames", file,
                                           "its groups combine into " + std::to_string(frames) +
                                               " sweep frames (loop mode), more than " +
                                               std::to_string(ZEB::kMaxSweepFrames) + ": the library writes none"));
        }
        const std::string name = task.ParamPath.substr(task.ParamPath.rfind('/') + 1);
        const fs::path first = fs::path(task.OutputPath + "Frame0_" + name);
        std::error_code code;
        if (!task.OutputPath.empty() && !fs::is_directory(first.parent_path(), code)) {
            block.problems.push_back(Error("missing-folder", file,
                                           "the sweep files go to " + first.parent_path().string() +
                                               ", which is not a folder: none of them can be written"));
        }
    }

    void CheckTask(const ZEB::TaskListImage& image) {
        TaskResult task;
        task.index = image.index;
        task.inputs = image.inputs;
        task.outputPath = image.outputPath;
        Append(task.problems, image.problems);
        for (size_t i = 0; i < image.inputs.size(); ++i) {
            CheckFrame(task, Resolve(image.inputs[i], task.problems), i == 0);
        }
        if (!image.outputText.empty()) Resolve(image.outputText, task.problems);
        // The scene reader looks into the first folder whatever its frame holds.
        std::error_code code;
        if (!image.inputs.empty() && fs::is_directory(zeb_platform::HostPathOf(image.inputs[0]), code)) {
            CheckScene(task, zeb_platform::HostPathOf(image.inputs[0]));
        }
        mResult.tasks.push_back(std::move(task));
    }

    void CheckFrame(TaskResult& task, const std::string& folder, bool first) {
        const ZEB::FolderSurvey survey = ZEB::ZEBFrame::SurveyFolder(folder);
        std::error_code code;
        if (survey.pathTooLong) {
            task.problems.push_back(Error("path-too-long", folder,
                                          "input folder path has " + std::to_string(folder.size()) +
                                              " characters, at most " + std::to_string(ZEB::kFramePathMax - 1) +
                                              " reach the frame: it reads nothing"));
            return;
        }
        if (!survey.opened) {
            const bool exists = fs::exists(folder, code);
            task.problems.push_back(Error(exists ? "not-a-folder" : "missing-folder", folder,
                                          exists ? "input folder cannot be listed" : "input folder does not exist"));
            return;
        }
        if (first) {
            task.rawWidth = survey.rawWidth;
            task.rawHeight = survey.rawHeight;
            task.yuvWidth = survey.yuvWidth;
            task.yuvHeight = survey.yuvHeight;
        }
        if (survey.sizeRefused) {
            task.problems.push_back(Error("image-too-large", folder,
                                          "names a raw of " + Size(survey.rawWidth, survey.rawHeight) +
                                              " and a YUV of " + Size(survey.yuvWidth, survey.yuvHeight) +
                                              ", beyond " + std::to_string(ZEB::kMaxImageSide) + " a side or " +
                                              std::to_string(ZEB::kMaxImagePixels) +
                                              " pixels: the library reads nothing of this folder"));
            return;
        }
        for (const std::string& name : survey.unreachable) {
            task.problems.push_back(Warning("path-too-long", folder + "/" + name,
                                            "folder and name pass " + std::to_string(ZEB::kFramePathMax - 1) +
                                                " characters: the frame never reads this file"));
        }
        for (int row = 0; row < ZEB::kDataFormatCount; ++row) CheckRow(task, folder, survey, row);
    }

    void CheckRow(TaskResult& task, const std::string& folder, const ZEB::FolderSurvey& survey, int row) {
        const ZEB::DataFileSpec& layout = ZEB::DataFileSpecOf(row);
        const ZEB::FolderSurvey::Row& found = survey.rows[row];
        const std::string pattern = layout.subFix;
        if (found.matches.empty()) {
            const std::string what =
                row == ZEB::DF_MIPI_RAW ? "no packed raw image (IMG_<W>x<H>_<n>.mipi_raw): the frame has nothing to play"
                : row == ZEB::DF_YUV_NV21 ? "no reference YUV image (IMG_<W>x<H>_<n>.cap.yuv_nv21)"
                                          : "no " + pattern + " dump: the library hands zeros in its place";
            if (layout.optional) return;
            task.problems.push_back(Error("missing-file", folder + "/*" + pattern, what));
            return;
        }
        const std::string& file = found.matches.front();
        if (!found.refused.empty()) {
            // Said as the pre-check says it, with the frame's own verdict.
            const std::string why = Refusal(file, ZEB::ZEBFrame::FileCap(row));
            task.problems.push_back(Error("refused", file,
                                          why.empty() ? "is " + found.refused + ": the library refuses it" : why));
            return;
        }
        if (found.matches.size() > 1) {
            std::string names;
            for (const std::string& match : found.matches) {
                names += (names.empty() ? "" : ", ") + fs::path(match).filename().string();
            }
            task.problems.push_back(Error("duplicate", file,
                                          std::to_string(found.matches.size()) + " files match " + pattern + " (" +
                                              names + "): the frame reads whichever the folder lists first, here " +
                                              fs::path(file).filename().string()));
        }
        const bool image = layout.kind == ZEB::RowKind::Image;
        const int width = row == ZEB::DF_YUV_NV21 ? survey.yuvWidth : survey.rawWidth;
        const int height = row == ZEB::DF_YUV_NV21 ? survey.yuvHeight : survey.rawHeight;
        if (image && (width <= 0 || height <= 0)) {
            task.problems.push_back(Error("bad-size-name", file,
                                          "the name gives no size (" + Size(width, height) +
                                              "): sizes are read from names like IMG_4000x3000_1" + pattern));
            return;
        }
        if (found.length == 0 && !image && layout.kind == ZEB::RowKind::FileSized) {
            task.problems.push_back(Error("too-short", file, "is empty: the library reads nothing of it"));
            return;
        }
        if (found.expected < 0 || found.length == found.expected) return;
        const std::string bytes = std::to_string(found.length) + " bytes";
        const std::string expected = std::to_string(found.expected);
        if (image) {
            task.problems.push_back(Error("size-mismatch", file,
                                          bytes + ", but its name's " + Size(width, height) +
                                              (row == ZEB::DF_YUV_NV21 ? " NV21 image takes "
                                               : row == ZEB::DF_RAW    ? " 16-bit image takes "
                                                                       : " packed RAW10 lines take ") +
                                              expected));
        } else if (found.length < found.expected) {
            task.problems.push_back(Error("too-short", file,
                                          "too short: " + bytes + ", the library reads " + expected +
                                              " (the rest stays zero)"));
        } else {
            task.problems.push_back(Error("too-long", file,
                                          "too long: " + bytes + ", the library reads " + expected +
                                              " (the rest is cut off)"));
        }
    }

    void CheckScene(TaskResult& task, const std::string& folder) {
        // Found as the scene reader finds it, in the order the folder lists.
        std::vector<std::string> matches;
        std::error_code code;
        for (fs::directory_iterator entry(folder, code), end; !code && entry != end; entry.increment(code)) {
            const std::string path = folder + "/" + entry->path().filename().string();
            if (ZEB::SceneParameter::PathMatches(path, ZEB::SceneParameter::kSceneFile)) matches.push_back(path);
        }
        if (matches.empty()) {
            task.problems.push_back(Error("missing-file", folder + "/" + ZEB::SceneParameter::kSceneFile,
                                          "no scene file in the task's first folder: the task has no scene record"));
            return;
        }
        if (matches.size() > 1) {
            task.problems.push_back(Error("duplicate", matches.front(),
                                          std::to_string(matches.size()) + " files match " +
                                              ZEB::SceneParameter::kSceneFile +
                                              ": the scene reader takes whichever the folder lists first, here " +
                                              fs::path(matches.front()).filename().string()));
        }
        if (!Readable(matches.front(), ZEB::files::kMaxXmlBytes, task.problems)) return;
        ZEB::SceneParameter scene;
        ZEB::iSceneInfo record;
        memset(&record, 0, sizeof record);
        ZEB::ReadReport report;
        scene.ReadSceneFile(matches.front(), &record, &report);
        Append(task.problems, report.Problems());
    }

    InspectOptions mOptions;
    Inspection mResult;
    std::set<std::string> mNamed;  // paths already looked at by Resolve
    ZEB::ConfigReader mReader;
};

// The last two parts of a path: enough to tell a frame's file from another's.
std::string Short(const std::string& path) {
    const fs::path p(path);
    const std::string parent = p.parent_path().filename().string();
    return parent.empty() ? p.filename().string() : parent + "/" + p.filename().string();
}

void PrintProblems(std::ostringstream& out, const std::vector<Problem>& problems, const char* indent) {
    for (const Problem& p : problems) {
        out << indent << (p.error ? "error    " : "warning  ") << Short(p.file);
        if (p.line > 0) out << " line " << p.line;
        out << ": " << p.message << "\n";
    }
}

nlohmann::json ProblemsJson(const std::vector<Problem>& problems) {
    nlohmann::json list = nlohmann::json::array();
    for (const Problem& p : problems) {
        list.push_back({{"severity", p.error ? "error" : "warning"},
                        {"code", p.code},
                        {"file", p.file},
                        {"line", p.line},
                        {"message", p.message}});
    }
    return list;
}

}  // namespace

int Inspection::Count(bool errors) const {
    int count = 0;
    auto add = [&](const std::vector<Problem>& list) {
        for (const Problem& p : list) count += p.error == errors ? 1 : 0;
    };
    add(problems);
    for (const TaskResult& task : tasks) add(task.problems);
    for (const BlockResult& block : blocks) add(block.problems);
    return count;
}

Inspection Inspect(const InspectOptions& options) { return Inspector(options).Run(); }

std::string FormatTable(const Inspection& inspection) {
    std::ostringstream out;
    out << "task list  " << (inspection.taskListPath.empty() ? "(none)" : inspection.taskListPath) << "\n";
    if (!inspection.ispConfigPath.empty()) out << "blocks     " << inspection.ispConfigPath << "\n";
    if (!inspection.mode.empty()) out << "mode       " << inspection.mode << "\n";
    PrintProblems(out, inspection.problems, "  ");
    if (!inspection.tasks.empty()) {
        out << "\ntask  frames  raw         yuv         output\n";
        for (const TaskResult& task : inspection.tasks) {
            char line[64];
            snprintf(line, sizeof line, "%4lld  %6zu  %-10s  %-10s  ", static_cast<long long>(task.index),
                     task.inputs.size(), Size(task.rawWidth, task.rawHeight).c_str(),
                     Size(task.yuvWidth, task.yuvHeight).c_str());
            out << line << task.outputPath << "\n";
            PrintProblems(out, task.problems, "      ");
        }
    }
    if (!inspection.blocks.empty()) {
        size_t width = 5;
        for (const BlockResult& block : inspection.blocks) width = std::max(width, block.name.size());
        out << "\n" << std::string("block") + std::string(width - 5, ' ') << "  state  sweep\n";
        for (const BlockResult& block : inspection.blocks) {
            out << block.name << std::string(width - block.name.size(), ' ') << "  " << block.state
                << std::string(block.state < 10 ? 6 : 5, ' ');
            if (block.swept) {
                out << block.sweepFrames << " frame(s), " << (block.loop ? "loop" : "sync") << ": " << block.tuning;
            } else {
                out << "none";
            }
            out << "\n";
            PrintProblems(out, block.problems, "      ");
        }
    }
    const int errors = inspection.Errors(), warnings = inspection.Warnings();
    out << "\n" << errors << " error(s), " << warnings << " warning(s): "
        << (errors ? "the library would not play this recording as recorded"
                   : "the library plays this recording as recorded")
        << "\n";
    return out.str();
}

std::string FormatJson(const Inspection& inspection) {
    nlohmann::json tasks = nlohmann::json::array(), blocks = nlohmann::json::array();
    for (const TaskResult& task : inspection.tasks) {
        tasks.push_back({{"index", task.index},
                         {"inputs", task.inputs},
                         {"output", task.outputPath},
                         {"rawSize", {task.rawWidth, task.rawHeight}},
                         {"yuvSize", {task.yuvWidth, task.yuvHeight}},
                         {"problems", ProblemsJson(task.problems)}});
    }
    for (const BlockResult& block : inspection.blocks) {
        blocks.push_back({{"name", block.name},
                          {"state", block.state},
                          {"tuning", block.tuning},
                          {"swept", block.swept},
                          {"loop", block.loop},
                          {"sweepFrames", block.sweepFrames},
                          {"problems", ProblemsJson(block.problems)}});
    }
    const nlohmann::json json = {{"taskList", inspection.taskListPath},
                                 {"ispConfig", inspection.ispConfigPath},
                                 {"mode", inspection.mode},
                                 {"plays", inspection.Plays()},
                                 {"errors", inspection.Errors()},
                                 {"warnings", inspection.Warnings()},
                                 {"problems", ProblemsJson(inspection.problems)},
                                 {"tasks", tasks},
                                 {"blocks", blocks}};
    return json.dump(1) + "\n";
}

}  // namespace zeb_inspect
