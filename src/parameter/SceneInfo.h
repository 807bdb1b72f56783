#pragma once
// The scene record of one task, read from the task's "iscene_Info.xml". The
// schema reader writes each group back to back, so every offset below is part
// of the format; the checks at the end hold them in place.
#include <cstddef>
#include <cstdint>

namespace ZEB {

struct SceneCommonInfo {
    uint32_t frameID;
    uint32_t camID;
    uint32_t width;
    uint32_t height;
    float zoom_ratio;
    uint32_t crop_region[4];
    int32_t app_mode;
    int32_t top_app_id;
    int32_t zolt_appmode_id;
    uint64_t prv_scenario_id;
    uint64_t cap_scenario_id;
    int32_t device_orientation;
    int32_t SessionMode;
};

struct SceneSwitchInfo {
    bool face_beauty_on;
    bool face_attribute_on;
    bool smile_capture_on;
    bool ai_detect_on;
    bool time_wartermark_on;
    bool logo_watermark_on;
    bool ultra_portrait_on;
    bool motion_photo_on;
    bool filter_on;
    bool is_dynamic_fps_prev;
    bool is_dynamic_fps_video;
    bool is_flash_on;
};

struct SceneThreeAInfo {
    int32_t bv;
    uint32_t sensor_gain;
    uint32_t isp_gain;
    uint32_t awb_ct;
    uint32_t abl_weight;
    uint32_t atm_gain;
    uint32_t gtm_gain;
};

struct ScenePostProcInfo {
    uint32_t remosaic_type;
    int32_t ai_scene_type;
    int32_t is_hdr_scene;
    int32_t is_mfnr_scene;
    int32_t is_mfsr_scene;
    int32_t is_mfnr_hdr_scene;
    int32_t is_mfnr_chdr_scene;
    int32_t is_raw_mfnr_scene;
    int32_t is_xdr_scene;
};

struct SceneCapInfo {
    uint32_t postproc_type;
    int32_t normal_num;
    int32_t total_num;
    int32_t merge_frame_num;
    int32_t jpegOrientation;
    float ev;
};

constexpr int kSceneEvCount = 10;

struct SceneHdrDetectOut {
    float ev[kSceneEvCount];
    uint32_t shutter[kSceneEvCount];
    uint32_t gain[kSceneEvCount];
    uint32_t frame_num;
    uint32_t tuning_param_index;
    uint32_t clock;
    uint32_t bv;
    uint32_t face_num;
    uint32_t prop_dark;
    uint32_t prop_bright;
    uint32_t sceneChosen;
    uint32_t scene_flag;
    uint32_t normalNum;
};

constexpr int kSceneFaceValues = 100;

struct SceneFaceInfo {
    uint32_t face_count;
    int32_t face_rectangle_coordinate_prev[kSceneFaceValues];
    int32_t face_rectangle_coordinate_cap[kSceneFaceValues];
};

struct SceneAndroidTag {
    uint32_t ae_mode;
    uint32_t flash_mode;
    uint32_t lcd_flash_mode;
};

// Groups are named after the elements of the scene file they come from.
struct iSceneInfo {
    SceneCommonInfo commonInfo;
    SceneSwitchInfo switchInfo;
    SceneThreeAInfo ThreeAInfo;
    ScenePostProcInfo postprocInfo;
    SceneCapInfo capInfo;
    SceneHdrDetectOut hdrDetectOut;
    SceneFaceInfo FDInfo;
    SceneAndroidTag androidTag;
    uint32_t Valid;  // 1 once read from a scene file
};

static_assert(sizeof(iSceneInfo) == 1152, "iSceneInfo size");
static_assert(offsetof(iSceneInfo, commonInfo) == 0, "iSceneInfo layout");
static_assert(offsetof(iSceneInfo, switchInfo) == 72, "iSceneInfo layout");
static_assert(offsetof(iSceneInfo, ThreeAInfo) == 84, "iSceneInfo layout");
static_assert(offsetof(iSceneInfo, postprocInfo) == 112, "iSceneInfo layout");
static_assert(offsetof(iSceneInfo, capInfo) == 148, "iSceneInfo layout");
static_assert(offsetof(iSceneInfo, hdrDetectOut) == 172, "iSceneInfo layout");
static_assert(offsetof(iSceneInfo, FDInfo) == 332, "iSceneInfo layout");
static_assert(offsetof(iSceneInfo, androidTag) == 1136, "iSceneInfo layout");
static_assert(offsetof(iSceneInfo, Valid) == 1148, "iSceneInfo layout");

static_assert(offsetof(SceneCommonInfo, zoom_ratio) == 16, "commonInfo layout");
static_assert(offsetof(SceneCommonInfo, crop_region) == 20, "commonInfo layout");
static_assert(offsetof(SceneCommonInfo, app_mode) == 36, "commonInfo layout");
static_assert(offsetof(SceneCommonInfo, prv_scenario_id) == 48, "commonInfo layout");
static_assert(offsetof(SceneCommonInfo, cap_scenario_id) == 56, "commonInfo layout");
static_assert(offsetof(SceneCommonInfo, device_orientation) == 64, "commonInfo layout");
static_assert(offsetof(SceneCommonInfo, SessionMode) == 68, "commonInfo layout");
static_assert(sizeof(SceneSwitchInfo) == 12, "switchInfo layout");
static_assert(sizeof(SceneThreeAInfo) == 28, "ThreeAInfo layout");
static_assert(offsetof(ScenePostProcInfo, is_xdr_scene) == 144 - 112, "postprocInfo layout");
static_assert(offsetof(SceneCapInfo, ev) == 168 - 148, "capInfo layout");
static_assert(offsetof(SceneHdrDetectOut, shutter) == 212 - 172, "hdrDetectOut layout");
static_assert(offsetof(SceneHdrDetectOut, gain) == 252 - 172, "hdrDetectOut layout");
static_assert(offsetof(SceneHdrDetectOut, frame_num) == 292 - 172, "hdrDetectOut layout");
static_assert(offsetof(SceneHdrDetectOut, normalNum) == 328 - 172, "hdrDetectOut layout");
static_assert(offsetof(SceneFaceInfo, face_rectangle_coordinate_prev) == 336 - 332, "FDInfo layout");
static_assert(offsetof(SceneFaceInfo, face_rectangle_coordinate_cap) == 736 - 332, "FDInfo layout");
static_assert(offsetof(SceneAndroidTag, lcd_flash_mode) == 1144 - 1136, "androidTag layout");

}  // namespace ZEB
