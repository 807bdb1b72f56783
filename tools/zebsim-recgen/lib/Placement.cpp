#include "zebsim-recgen/lib/Placement.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <pugixml.hpp>
#include <set>
#include <stdexcept>
#include <system_error>

#include "core/SimulationControlInterface.h"

namespace zeb_recgen {

const char* const kDeviceRecordingFolder = "/data/vendor/cameraserver/zeb";

namespace {

namespace fs = std::filesystem;
using PathMap = std::vector<std::pair<std::string, std::string>>;

std::string Normal(const std::string& path) {
    fs::path normal = fs::absolute(path).lexically_normal();
    if (!normal.has_filename()) normal = normal.parent_path();
    return normal.string();
}

// `path` with its leading `from` (whole, or followed by "/") replaced; empty
// when it does not start with it.
std::string Mapped(const std::string& path, const PathMap& map) {
    for (const auto& pair : map) {
        const std::string& from = pair.first;
        if (path == from) return pair.second;
        if (path.size() > from.size() && path.compare(0, from.size(), from) == 0 && path[from.size()] == '/') {
            return pair.second + path.substr(from.size());
        }
    }
    return std::string();
}

std::string MappedOr(const std::string& path, const PathMap& map) {
    const std::string mapped = Mapped(path, map);
    return mapped.empty() ? path : mapped;
}

void RewriteFile(const fs::path& file, const PathMap& map) {
    pugi::xml_document doc;
    if (!doc.load_file(file.c_str(), pugi::parse_default | pugi::parse_declaration)) return;  // not ours to mend
    bool changed = false;
    std::vector<pugi::xml_node> pending = {doc};
    while (!pending.empty()) {
        pugi::xml_node node = pending.back();
        pending.pop_back();
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
            if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
                const std::string mapped = Mapped(child.value(), map);
                if (!mapped.empty()) {
                    child.set_value(mapped.c_str());
                    changed = true;
                }
            } else if (child.type() == pugi::node_element) {
                pending.push_back(child);
            }
        }
    }
    if (!changed) return;
    const fs::path temporary = file.string() + ".partial";
    if (!doc.save_file(temporary.c_str(), " ")) throw std::runtime_error("cannot write " + temporary.string());
    fs::rename(temporary, file);
}

// Names a partly written target folder gets, beside it.
fs::path StagingFor(const fs::path& target) {
    return target.parent_path() / ("." + target.filename().string() + ".partial-" + std::to_string(getpid()));
}

// The output path of a task as the library stamps it (ZEB_ names are not).
size_t StampedLength(const std::string& text) {
    return text.size() + (text.find("ZEB_") == std::string::npos ? 14 : 0);
}

void MapRecord(GeneratedRecording& recording, const PathMap& toHost) {
    auto map = [&toHost](std::string& path) { path = MappedOr(path, toHost); };
    map(recording.taskListPath);
    map(recording.ispConfigPath);
    map(recording.options.outputFolder);
    map(recording.options.taskListPath);
    for (TaskFiles& task : recording.tasks) {
        map(task.outputPath);
        map(task.scenePath);
    }
    for (FrameFiles& frame : recording.frames) {
        map(frame.folder);
        map(frame.rawPath);
        map(frame.yuvPath);
        for (auto& dump : frame.dumpPaths) map(dump.second);
    }
}

// A frame folder's regular files copied into `to`: a link or a device file
// is not a frame's.
void CopyRegularFiles(const fs::path& from, const fs::path& to) {
    fs::create_directories(to);
    for (const auto& entry : fs::directory_iterator(from)) {
        if (entry.is_regular_file() && !entry.is_symlink()) fs::copy_file(entry.path(), to / entry.path().filename());
    }
}

void CopyRegularFile(const fs::path& from, const fs::path& to) {
    if (!fs::is_regular_file(from) || fs::is_symlink(from)) {
        throw std::runtime_error(from.string() + " is not a regular file");
    }
    fs::create_directories(to.parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

}  // namespace

void RewritePathTexts(const std::string& folder, const PathMap& map) {
    std::error_code code;
    for (auto it = fs::recursive_directory_iterator(folder, code); !code && it != fs::recursive_directory_iterator();
         it.increment(code)) {
        if (it->is_regular_file() && !it->is_symlink() && it->path().extension() == ".xml") RewriteFile(it->path(), map);
    }
    if (code) throw std::runtime_error("cannot list " + folder + ": " + code.message());
}

GeneratedRecording PlaceRecording(const Placement& placement, const RecordingWriter& write,
                                  std::vector<std::string>* warnings) {
    GeneratedRecording failed;
    const bool device = placement.outputFolder.empty();
    if (device && placement.deviceRoot.empty()) {
        failed.error = "an output folder (-o) or a device root (--device-root) is needed";
        return failed;
    }
    const fs::path root = device ? fs::path(Normal(placement.deviceRoot)) : fs::path();
    const fs::path target = device ? root / fs::path(kDeviceRecordingFolder).relative_path()
                                   : fs::path(Normal(placement.outputFolder));
    const fs::path taskList = device                             ? target / "config/RawListFile.xml"
                              : placement.taskListPath.empty() ? target / "RawListFile.xml"
                                                               : fs::path(Normal(placement.taskListPath));
    const bool listInside = taskList.string().compare(0, target.string().size() + 1, target.string() + "/") == 0;
    const fs::path staging = StagingFor(target);
    // Inside the staging folder, where the writer puts the task list.
    const fs::path stagedList = listInside ? staging / taskList.lexically_relative(target)
                                           : staging / ".RawListFile.xml";

    // A folder holding another recording is not written over: a recording
    // whose frames were half replaced plays neither.
    std::error_code code;
    std::vector<fs::path> marks = {taskList};
    for (const char* name : {"RawListFile.xml", "ispconfig.xml", "recording", "frames", "config/RawListFile.xml"}) {
        marks.push_back(target / name);
    }
    for (const fs::path& mark : marks) {
        if (fs::exists(mark, code) && !placement.force) {
            failed.error = target.string() + " already holds a recording (" + mark.string() +
                           "): give another folder, or --force to replace it";
            return failed;
        }
    }

    fs::remove_all(staging, code);
    if (!fs::create_directories(staging, code) || code) {
        failed.error = "cannot make " + staging.string() + ": " + code.message();
        return failed;
    }
    GeneratedRecording recording;
    try {
        recording = write(staging.string(), stagedList.string());
        if (!recording.ok) throw std::runtime_error(recording.error);
        const std::string s = staging.string();
        PathMap toText, toHost;
        if (device) {
            // The generator's folder names, as the device's layout has them.
            const PathMap moves = {{s + "/recording", s + "/frames"},
                                   {s + "/results", s + "/output"},
                                   {s + "/ispconfig.xml", s + "/config/ispconfig.xml"}};
            for (const auto& move : moves) {
                if (!fs::exists(move.first)) continue;
                fs::create_directories(fs::path(move.second).parent_path());
                fs::rename(move.first, move.second);
            }
            for (const auto& move : moves) {
                const std::string rest = move.second.substr(s.size());
                toText.emplace_back(move.first, kDeviceRecordingFolder + rest);
                toHost.emplace_back(move.first, target.string() + rest);
            }
        }
        if (!listInside) {
            toText.emplace_back(stagedList.string(), taskList.string());
            toHost.emplace_back(stagedList.string(), taskList.string());
        }
        toText.emplace_back(s, device ? std::string(kDeviceRecordingFolder) : target.string());
        toHost.emplace_back(s, target.string());
        RewritePathTexts(s, toText);

        // The dump root property takes the output paths as the task list
        // names them: on a device, the device paths.
        const size_t limit = ZEB::SimulationControlInterface::kTaskOutputPathMax;
        for (const TaskFiles& task : recording.tasks) {
            const std::string text = MappedOr(task.outputPath, toText);
            if (StampedLength(text) <= limit) continue;
            const std::string why = "the output path " + text + " has " + std::to_string(StampedLength(text)) +
                                    " characters (with the library's stamp when its name holds no ZEB_), at most " +
                                    std::to_string(limit) + " fit the dump root property";
            if (device) throw std::runtime_error(why + ": the library would refuse the task");
            if (warnings) {
                warnings->push_back(why + ": the library refuses the task; -o may be at most " +
                                    std::to_string(target.string().size() - (StampedLength(text) - limit)) +
                                    " characters long");
            }
            break;
        }

        // Into place: what the staging folder holds replaces exactly the same
        // names in the target (with force), nothing else there is touched.
        fs::create_directories(target);
        std::vector<fs::path> entries;
        for (const auto& entry : fs::directory_iterator(staging)) {
            if (!listInside && entry.path() == stagedList) continue;
            entries.push_back(entry.path());
        }
        for (const fs::path& entry : entries) {
            const fs::path into = target / entry.filename();
            if (fs::exists(fs::symlink_status(into)) && !placement.force) {
                throw std::runtime_error(into.string() + " already exists: give another folder, or --force");
            }
        }
        for (const fs::path& entry : entries) {
            const fs::path into = target / entry.filename();
            fs::remove_all(into);
            fs::rename(entry, into);
        }
        if (!listInside) {
            fs::create_directories(taskList.parent_path());
            fs::rename(stagedList, taskList);
        }
        fs::remove_all(staging, code);
        MapRecord(recording, toHost);
        recording.taskListPath = taskList.string();
        recording.options.outputFolder = target.string();
    } catch (const std::exception& failure) {
        fs::remove_all(staging, code);
        failed.error = failure.what();
        return failed;
    }
    return recording;
}

GeneratedRecording RelocateRecording(const std::string& taskListPath, const Placement& placement,
                                     std::vector<std::string>* warnings) {
    const fs::path listFolder = fs::absolute(taskListPath).parent_path();
    // A path as a text of the recording names it, on this host.
    auto source = [&listFolder](const std::string& text) {
        const fs::path path(text);
        if (path.is_absolute() || fs::exists(path)) return fs::absolute(path).lexically_normal();
        return (listFolder / path).lexically_normal();
    };

    RecordingWriter write = [&](const std::string& folder, const std::string& stagedList) {
        GeneratedRecording recording;
        pugi::xml_document list;
        if (!list.load_file(taskListPath.c_str())) {
            recording.error = "cannot read the task list " + taskListPath;
            return recording;
        }
        const fs::path staged(folder);
        PathMap map;  // texts as written -> staged paths
        pugi::xml_node input = list.child("input");
        const std::string ispconfig = input.child("ispconfig").text().get();
        if (!ispconfig.empty()) {
            const fs::path blocks = staged / "ispconfig.xml";
            CopyRegularFile(source(ispconfig), blocks);
            map.emplace_back(ispconfig, blocks.string());
            pugi::xml_document config;
            config.load_file(blocks.c_str());
            int k = 0;
            for (pugi::xml_node block : config.child("ispblocks").children("block")) {
                const std::string tuning = block.child("tuning").text().get();
                // Texts such as "null" and "fixed" name no tuning task.
                if (tuning.empty() || !fs::is_regular_file(source(tuning))) continue;
                const fs::path dir = staged / "tuning" / ("block" + std::to_string(k++));
                const fs::path task = dir / source(tuning).filename();
                CopyRegularFile(source(tuning), task);
                map.emplace_back(tuning, task.string());
                pugi::xml_document info;
                info.load_file(task.c_str());
                const std::string param = info.child("ParametersInfo").child("ParamPath").text().get();
                const std::string sweep = info.child("ParametersInfo").child("OutputPath").text().get();
                if (!param.empty()) {
                    CopyRegularFile(source(param), dir / source(param).filename());
                    map.emplace_back(param, (dir / source(param).filename()).string());
                }
                if (!sweep.empty()) {
                    fs::create_directories(dir / "sweep");
                    std::string to = (dir / "sweep").string();
                    if (sweep.back() == '/') to += "/";
                    map.emplace_back(sweep, to);
                }
            }
            if (k > 0 && warnings) {
                warnings->push_back("the block list sweeps tunings: their sensor tuning (vendor/firmware) is not "
                                    "carried; write it below the root with --tuning NAME --device-root ROOT");
            }
        }
        int t = 0;
        for (pugi::xml_node taskList : input.children("TaskList")) {
            for (pugi::xml_node image : taskList.children("image")) {
                TaskFiles task;
                task.index = t;
                int i = 0;
                for (pugi::xml_node path : image.children("inputpath")) {
                    const std::string text = path.text().get();
                    const fs::path to = staged / "recording" / ("task" + std::to_string(t)) / ("frame" + std::to_string(i++));
                    if (!fs::is_directory(source(text))) throw std::runtime_error(text + " is not a folder");
                    CopyRegularFiles(source(text), to);
                    map.emplace_back(text, to.string());
                    FrameFiles frame;
                    frame.serial = static_cast<int>(recording.frames.size());
                    frame.task = t;
                    frame.index = i - 1;
                    frame.folder = to.string();
                    task.frames.push_back(frame.serial);
                    recording.frames.push_back(frame);
                }
                const std::string output = image.child("outputpath").text().get();
                if (!output.empty()) {
                    std::string name = source(output).filename().string();
                    if (name.empty()) name = "task" + std::to_string(t);
                    const fs::path to = staged / "results" / name;
                    fs::create_directories(to);
                    map.emplace_back(output, to.string());
                    task.outputPath = to.string();
                }
                recording.tasks.push_back(task);
                ++t;
            }
        }
        // Longer texts first, so that a folder inside another maps as itself.
        std::stable_sort(map.begin(), map.end(),
                         [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
        fs::create_directories(fs::path(stagedList).parent_path());
        CopyRegularFile(fs::absolute(taskListPath), stagedList);
        RewritePathTexts(folder, map);
        recording.taskListPath = stagedList;
        recording.ispConfigPath = (staged / "ispconfig.xml").string();
        recording.ok = true;
        return recording;
    };
    try {
        Placement device = placement;
        device.outputFolder.clear();
        return PlaceRecording(device, write, warnings);
    } catch (const std::exception& failure) {
        GeneratedRecording failed;
        failed.error = failure.what();
        return failed;
    }
}

}  // namespace zeb_recgen
