// The XML files of a recording: a task's scene information file, the task
// list and the block configuration list.
#include <pugixml.hpp>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "zebsim-recgen/lib/GeneratorParts.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace zeb_recgen {
namespace parts {

std::string Hex(uint64_t value) {
    char text[32];
    snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

void WriteSceneFile(const std::string& path, const Options& options, const SceneValues& s, int64_t task) {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("root");
    pugi::xml_node common = root.append_child("commonInfo");
    Add(common, "frameID", static_cast<unsigned>(task));
    Add(common, "camID", s.camId);
    Add(common, "width", static_cast<unsigned>(options.width));
    Add(common, "height", static_cast<unsigned>(options.height));
    Add(common, "zoom_ratio", s.zoomRatio);
    AddText(common, "crop_region", "0 0 " + std::to_string(options.width) + " " + std::to_string(options.height));
    Add(common, "app_mode", s.appMode);
    Add(common, "top_app_id", s.topAppId);
    Add(common, "zolt_appmode_id", s.zoltAppModeId);
    AddText(common, "prv_scenario_id", Hex(s.prvScenarioId));
    AddText(common, "cap_scenario_id", Hex(s.capScenarioId));
    Add(common, "device_orientation", s.deviceOrientation);
    Add(common, "SessionMode", s.sessionMode);
    pugi::xml_node switches = root.append_child("switchInfo");
    for (const char* name : {"face_beauty_on", "face_attribute_on", "smile_capture_on", "ai_detect_on",
                             "time_wartermark_on", "logo_watermark_on", "ultra_portrait_on", "motion_photo_on",
                             "filter_on", "is_dynamic_fps_prev", "is_dynamic_fps_video", "is_flash_on"}) {
        AddText(switches, name, std::string(name) == "ai_detect_on" ? "true" : "false");
    }
    pugi::xml_node threeA = root.append_child("ThreeAInfo");
    Add(threeA, "bv", s.bv);
    Add(threeA, "sensor_gain", s.sensorGain);
    Add(threeA, "isp_gain", s.ispGain);
    Add(threeA, "awb_ct", s.awbCt);
    Add(threeA, "abl_weight", s.ablWeight);
    Add(threeA, "atm_gain", s.atmGain);
    Add(threeA, "gtm_gain", s.gtmGain);
    pugi::xml_node post = root.append_child("postprocInfo");
    Add(post, "remosaic_type", 0u);
    Add(post, "ai_scene_type", s.aiSceneType);
    Add(post, "is_hdr_scene", s.isHdrScene);
    Add(post, "is_mfnr_scene", s.isMfnrScene);
    Add(post, "is_mfsr_scene", 0);
    Add(post, "is_mfnr_hdr_scene", s.isMfnrHdrScene);
    for (const char* name : {"is_mfnr_chdr_scene", "is_raw_mfnr_scene", "is_xdr_scene"}) Add(post, name, 0);
    pugi::xml_node cap = root.append_child("capInfo");
    Add(cap, "postproc_type", s.postprocType);
    Add(cap, "normal_num", s.normalNum.value_or(static_cast<int32_t>(s.totalNum)));
    Add(cap, "total_num", static_cast<int>(s.totalNum));
    Add(cap, "merge_frame_num", s.mergeFrameNum);
    Add(cap, "jpegOrientation", s.jpegOrientation);
    Add(cap, "ev", s.ev);
    pugi::xml_node face = root.append_child("FDInfo");
    Add(face, "face_count", s.faceCount);
    const std::vector<int32_t> middle = {0, options.width / 3, options.height / 3, options.width / 2, options.height / 2};
    auto faces = [&](const std::vector<int32_t>& given) { return Joined(given.empty() && s.faceCount ? middle : given); };
    AddText(face, "face_rectangle_coordinate_prev", faces(s.facesPrev));
    AddText(face, "face_rectangle_coordinate_cap", faces(s.facesCap));
    constexpr size_t kEvs = 10;
    pugi::xml_node hdr = root.append_child("hdrDetectOut");
    AddText(hdr, "ev", Joined(s.hdrEvs, kEvs));
    AddText(hdr, "shutter", Joined(std::vector<int>(), kEvs));
    AddText(hdr, "gain", Joined(std::vector<int>(), kEvs));
    Add(hdr, "frame_num", s.hdrFrameNum);
    Add(hdr, "tuning_param_index", s.tuningParamIndex);
    for (const char* name : {"clock", "bv", "face_num", "prop_dark", "prop_bright"}) Add(hdr, name, 0u);
    Add(hdr, "sceneChosen", s.sceneChosen);
    for (const char* name : {"scene_flag", "normalNum"}) Add(hdr, name, 0u);
    pugi::xml_node tag = root.append_child("androidTag");
    Add(tag, "ae_mode", s.aeMode);
    Add(tag, "flash_mode", s.flashMode);
    Add(tag, "lcd_flash_mode", s.lcdFlashMode);
    if (!doc.save_file(path.c_str(), " ")) throw std::runtime_error("cannot write " + path);
}

void WriteTaskList(const GeneratedRecording& recording) {
    pugi::xml_document doc;
    pugi::xml_node input = doc.append_child("input");
    Add(input, "num", static_cast<int>(recording.tasks.size()));
    AddText(input, "ispconfig", recording.ispConfigPath);
    AddText(input, "mode", recording.options.mode);
    AddText(input, "pattern", BayerPatternName(recording.options.pattern));
    pugi::xml_node list = input.append_child("TaskList");
    for (const TaskFiles& task : recording.tasks) {
        pugi::xml_node image = list.append_child("image");
        for (int serial : task.frames) AddText(image, "inputpath", recording.frames[serial].folder);
        AddText(image, "outputpath", task.outputPath);
    }
    if (!doc.save_file(recording.taskListPath.c_str(), " ")) {
        throw std::runtime_error("cannot write " + recording.taskListPath);
    }
}

void WriteBlockList(const std::string& path, const std::vector<IspBlock>& list) {
    pugi::xml_document blocks;
    pugi::xml_node root = blocks.append_child("ispblocks");
    for (const IspBlock& block : list) {
        pugi::xml_node node = root.append_child("block");
        AddText(node, "name", block.name);
        AddText(node, "id", Hex(block.id));
        Add(node, "state", block.state);
        AddText(node, "dump", block.dump);
        AddText(node, "tuning", block.tuning);
    }
    if (!blocks.save_file(path.c_str(), " ")) throw std::runtime_error("cannot write " + path);
}

}  // namespace parts

void WriteSceneInfoFile(const std::string& path, int width, int height, const SceneValues& scene, int64_t task) {
    Options sized;
    sized.width = width;
    sized.height = height;
    parts::WriteSceneFile(path, sized, scene, task);
}

void WriteTaskListFile(const GeneratedRecording& recording) { parts::WriteTaskList(recording); }

}  // namespace zeb_recgen
