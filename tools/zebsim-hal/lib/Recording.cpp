#include "zebsim-hal/lib/Recording.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "core/FileAccess.h"
#include "core/records/Field.h"
#include "core/records/SceneRecords.h"
#include "parameter/ParameterManagerBase.h"
#include "platform/Host.h"
#include "platform/TuningBin.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace zeb_hal {
namespace {
namespace fs = std::filesystem;
using namespace ZEB;

const char* const kDumpNames[] = {
    "afm.bin", "AEM_INFO.bin", "AEM_FOR_AWB.bin", "AE_RESULT_INFO.bin", "CAP_AE_PARAMS.bin", "AWB_CALC_INFO.bin",
    "pdaf.bin", "LSCM_INFO.bin", "CCM_INFO.bin", "ISCENE_INFO.bin", "LSC_RESULT_INFO.bin", "LSC4_RESULT_INFO.bin",
    "LSC_RESULT_TABLE_INFO.bin", "HIST2_DATA_INFO.bin", "GTMHIST_DATA_INFO.bin", "AEM_DATA_INFO.bin",
    "LSCM_DATA_INFO.bin", "SCENE_DETECT_OUT.bin", "XTMHIST_INFO.bin", "LTMHIST_INFO.bin",
    "LSC_RESULT_WTABLE_INFO.bin", "BAYHIST_INFO.bin", "HIST2_INFO.bin", "ZOLTDEF_INFO.bin", "CONTROL_INFO.bin",
    "FD_ISP_INFO.bin", "FD_SNAPSHOT.bin", "XTM_RESULT_INFO.bin", "OFFLINE_AE_INFO.bin", "OFFLINE_RESULT_INFO.bin"};

// Scene file fields the checks read: group element, field element, offset in
// the scene record, number of values (0: one integer, -1: one float, n: n
// integers, -n: n floats).
struct SceneField {
    const char* group;
    const char* name;
    size_t offset;
    int count;
};
const SceneField kSceneFields[] = {
    {"commonInfo", "width", SceneRecord::kWidth, 0},
    {"commonInfo", "height", SceneRecord::kHeight, 0},
    {"commonInfo", "zoom_ratio", SceneRecord::kZoomRatio, -1},
    {"commonInfo", "app_mode", SceneRecord::kAppMode, 0},
    {"commonInfo", "top_app_id", SceneRecord::kTopAppId, 0},
    {"commonInfo", "zolt_appmode_id", SceneRecord::kZoltAppmodeId, 0},
    {"commonInfo", "device_orientation", SceneRecord::kDeviceOrientation, 0},
    {"commonInfo", "SessionMode", SceneRecord::kSessionMode, 0},
    {"ThreeAInfo", "bv", SceneRecord::kBv, 0},
    {"ThreeAInfo", "sensor_gain", SceneRecord::kSensorGain, 0},
    {"ThreeAInfo", "isp_gain", SceneRecord::kIspGain, 0},
    {"ThreeAInfo", "awb_ct", SceneRecord::kAwbCt, 0},
    {"ThreeAInfo", "abl_weight", SceneRecord::kAblWeight, 0},
    {"postprocInfo", "ai_scene_type", SceneRecord::kAiSceneType, 0},
    {"postprocInfo", "is_hdr_scene", SceneRecord::kIsHdrScene, 0},
    {"postprocInfo", "is_mfnr_scene", SceneRecord::kIsMfnrScene, 0},
    {"postprocInfo", "is_mfsr_scene", SceneRecord::kIsMfsrScene, 0},
    {"postprocInfo", "is_mfnr_hdr_scene", SceneRecord::kIsMfnrHdrScene, 0},
    {"postprocInfo", "is_raw_mfnr_scene", SceneRecord::kIsRawMfnrScene, 0},
    {"postprocInfo", "is_xdr_scene", SceneRecord::kIsXdrScene, 0},
    {"capInfo", "postproc_type", SceneRecord::kPostprocType, 0},
    {"capInfo", "normal_num", SceneRecord::kNormalNum, 0},
    {"capInfo", "total_num", SceneRecord::kTotalNum, 0},
    {"capInfo", "merge_frame_num", SceneRecord::kMergeFrameNum, 0},
    {"capInfo", "jpegOrientation", SceneRecord::kJpegOrientation, 0},
    {"hdrDetectOut", "ev", SceneRecord::kHdrEv, -SceneRecord::kEvCount},
    {"hdrDetectOut", "shutter", SceneRecord::kHdrShutter, SceneRecord::kEvCount},
    {"hdrDetectOut", "tuning_param_index", SceneRecord::kTuningParamIndex, 0},
    {"hdrDetectOut", "sceneChosen", SceneRecord::kSceneChosen, 0},
    {"FDInfo", "face_count", SceneRecord::kFaceCount, 0},
    {"FDInfo", "face_rectangle_coordinate_prev", SceneRecord::kFacePrev, SceneRecord::kFaceListLength},
    {"FDInfo", "face_rectangle_coordinate_cap", SceneRecord::kFaceCap, SceneRecord::kFaceListLength},
    {"androidTag", "ae_mode", SceneRecord::kAeMode, 0},
    {"androidTag", "flash_mode", SceneRecord::kFlashMode, 0},
    {"androidTag", "lcd_flash_mode", SceneRecord::kLcdFlashMode, 0},
};

// Read as the library reads it: what it refuses (a link at the name, a pipe,
// a device, a file over the cap of its kind) is absent here too.
bool ReadAll(const fs::path& path, uint64_t cap, std::vector<uint8_t>* bytes) {
    std::string content;
    if (!files::ReadAll(path.string(), cap, &content)) return false;
    bytes->assign(content.begin(), content.end());
    return true;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void ParseSize(const std::string& name, int* width, int* height) {
    std::smatch match;
    static const std::regex size("_(\\d+)x(\\d+)");
    if (std::regex_search(name, match, size)) {
        *width = std::stoi(match[1]);
        *height = std::stoi(match[2]);
    }
}

ExpectedFrame ReadFrame(const std::string& folder) {
    ExpectedFrame frame;
    frame.folder = folder;
    std::error_code error;
    if (!fs::is_directory(folder, error)) return frame;
    frame.present = true;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (EndsWith(name, ".mipi_raw")) {
            ParseSize(name, &frame.rawWidth, &frame.rawHeight);
            ReadAll(entry.path(), files::kMaxImageBytes, &frame.packedRaw);
        } else if (EndsWith(name, "cap.yuv_nv21")) {
            ParseSize(name, &frame.yuvWidth, &frame.yuvHeight);
            ReadAll(entry.path(), files::kMaxImageBytes, &frame.yuv);
        }
        for (const char* dump : kDumpNames) {
            std::vector<uint8_t> bytes;
            if (EndsWith(name, dump) && !frame.Has(dump) && ReadAll(entry.path(), files::kMaxDumpBytes, &bytes)) {
                frame.dumps[dump] = std::move(bytes);
            }
        }
    }
    return frame;
}

void WriteScene(std::vector<uint8_t>& scene, const SceneField& field, const std::string& text) {
    std::istringstream values(text);
    const int count = field.count == 0 || field.count == -1 ? 1 : (field.count < 0 ? -field.count : field.count);
    const bool isFloat = field.count < 0;
    for (int i = 0; i < count; ++i) {
        double value = 0;
        if (!(values >> value)) value = 0;
        const size_t at = field.offset + 4 * static_cast<size_t>(i);
        if (isFloat) {
            WriteField(scene.data(), at, static_cast<float>(value));
        } else {
            WriteField(scene.data(), at, static_cast<int32_t>(static_cast<int64_t>(value)));
        }
    }
}

bool ReadScene(const std::string& folder, std::vector<uint8_t>& scene, uint64_t* prv, uint64_t* cap) {
    std::error_code error;
    if (folder.empty() || !fs::is_directory(folder, error)) return false;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (!EndsWith(entry.path().filename().string(), "iscene_Info.xml")) continue;
        pugi::xml_document document;
        if (!files::LoadXml(document, entry.path().string())) return false;
        pugi::xml_node root = document.child("root");
        for (const SceneField& field : kSceneFields) {
            pugi::xml_node node = root.child(field.group).child(field.name);
            if (node) WriteScene(scene, field, node.text().get());
        }
        WriteField<int32_t>(scene.data(), SceneRecord::kValid, 1);
        *prv = strtoull(root.child("commonInfo").child("prv_scenario_id").text().get(), nullptr, 16);
        *cap = strtoull(root.child("commonInfo").child("cap_scenario_id").text().get(), nullptr, 16);
        return true;
    }
    return false;
}
// The block configuration list as the library reads it: which blocks are
// swept, and the update flags their names and tuning texts give.
ExpectedTuning ReadTuning(const std::string& configPath) {
    ExpectedTuning tuning;
    pugi::xml_document document;
    if (configPath.empty() || !files::LoadXml(document, configPath)) return tuning;
    const char* const flagNames[] = {"RGBGAIN", "AWB", "LSC", "CMC10_V1", "XTM"};
    for (pugi::xml_node block : document.child("ispblocks").children("block")) {
        tuning.listed = true;
        const std::string name = block.child("name").text().get();
        const std::string text = block.child("tuning").text().get();
        const unsigned state = block.child("state").text().as_uint();
        for (int flag = 0; flag < 5; ++flag) {
            if (name.find(flagNames[flag]) != std::string::npos && text != "null") tuning.flags[flag] = 1;
        }
        if (text == "null" || state == 2 || state == 3) continue;
        pugi::xml_document task;
        files::LoadXml(task, zeb_platform::HostPathOf(text));
        pugi::xml_node info = task.child("ParametersInfo");
        SweptBlock swept;
        swept.name = info.child("Block").text().get();
        const std::string param = info.child("ParamPath").text().get();
        swept.documentName = param.substr(param.find_last_of('/') == std::string::npos ? 0 : param.find_last_of('/') + 1);
        swept.outputPath = zeb_platform::HostPathOf(info.child("OutputPath").text().get());
        tuning.swept.push_back(swept);
    }
    std::stable_sort(tuning.swept.begin(), tuning.swept.end(),
                     [](const SweptBlock& a, const SweptBlock& b) { return a.name < b.name; });
    return tuning;
}
}  // namespace

size_t ExpectedTuning::Combinations() const {
    size_t count = swept.empty() ? 0 : 1;
    for (const SweptBlock& block : swept) count *= block.alternatives.size();
    return count;
}

void LoadSweeps(ExpectedTuning& tuning) {
    for (SweptBlock& block : tuning.swept) {
        block.files.clear();
        block.alternatives.clear();
        for (int k = 0;; ++k) {
            const std::string path = block.outputPath + "Frame" + std::to_string(k) + "_" + block.documentName;
            const zeb_platform::TuningDocument document = zeb_platform::ReadTuningDocument(path);
            if (!document.ok) break;
            block.binName = zeb_platform::TuningBinName(document.block, document.id);
            block.files.push_back(path);
            block.alternatives.push_back(document.values);
        }
    }
}

std::vector<uint8_t> ExpectedFrame::Dump(const std::string& name, size_t size) const {
    std::vector<uint8_t> data(size, 0);
    auto found = dumps.find(name);
    if (found != dumps.end()) memcpy(data.data(), found->second.data(), std::min(size, found->second.size()));
    return data;
}

int32_t SceneInt(const std::vector<uint8_t>& scene, size_t offset) { return ReadField<int32_t>(scene.data(), offset); }
float SceneFloat(const std::vector<uint8_t>& scene, size_t offset) { return ReadField<float>(scene.data(), offset); }

Recording ReadRecording(const std::string& taskListPath) {
    Recording recording;
    pugi::xml_document document;
    std::string why;
    if (!files::LoadXml(document, taskListPath, &why)) {
        recording.error = "cannot read the task list " + taskListPath + ": " + why;
        return recording;
    }
    pugi::xml_node input = document.child("input");
    const std::string mode = input.child("mode").text().get();
    zeb_recgen::BayerPattern pattern = zeb_recgen::BayerPattern::RGGB;
    if (zeb_recgen::ParseBayerPattern(input.child("pattern").text().get(), &pattern)) {
        recording.pattern = static_cast<uint32_t>(pattern);
    }
    pugi::xml_document blocks;
    const std::string ispconfig = zeb_platform::HostPathOf(input.child("ispconfig").text().get());
    if (files::LoadXml(blocks, ispconfig)) {
        for (pugi::xml_node block : blocks.child("ispblocks").children("block")) {
            recording.blocks.push_back({block.child("name").text().get(), block.child("state").text().as_uint()});
        }
    }
    recording.tuning = ReadTuning(ispconfig);
    size_t images = 0;
    for (pugi::xml_node list : input.children("TaskList")) {
        const auto listed = list.children("image");
        images += static_cast<size_t>(std::distance(listed.begin(), listed.end()));
    }
    if (images > ZEB::ParameterManagerBase::kTaskLimit) {
        recording.error = "the task list " + taskListPath + " names " + std::to_string(images) + " images, more than the " +
                          std::to_string(ZEB::ParameterManagerBase::kTaskLimit) + " a run can play";
        return recording;
    }
    int64_t index = 0;
    for (pugi::xml_node list : input.children("TaskList")) {
        for (pugi::xml_node image : list.children("image")) {
            ExpectedTask task;
            task.id = index++;
            task.mode = mode;
            task.outputPath = image.child("outputpath").text().get();
            int paths = 0;
            for (pugi::xml_node path : image.children("inputpath")) {
                if (paths++ >= 10) break;
                const std::string folder = zeb_platform::HostPathOf(path.text().get());
                if (!folder.empty()) task.frames.push_back(ReadFrame(folder));
            }
            task.scene.assign(SceneRecord::kSize, 0);
            pugi::xml_node first = image.child("inputpath");
            task.hasScene = ReadScene(zeb_platform::HostPathOf(first ? first.text().get() : ""), task.scene, &task.prvScenario, &task.capScenario);
            recording.tasks.push_back(std::move(task));
        }
    }
    return recording;
}

}  // namespace zeb_hal
