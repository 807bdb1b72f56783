#pragma once
// Schema tables: for one XML document, which elements to visit and, for each
// of their children, the value type and width. ParseXML writes the values back
// to back into a destination record, so a table is the record's layout. The
// tables are constant data, complete before any code of the library runs, and
// each one is checked at compile time against the record it fills.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include "parameter/SceneInfo.h"
#include "parameter/TaskInfo.h"

namespace ZEB {

// One field: the child element holding the value, its type ("int32_t",
// "uint32_t", "uint64_t", "float", "bool", "uint8_t", "char"), the bytes it
// takes (layout documentation) and the element count of arrays (0 for a single
// value; for "char" the number of bytes).
struct NodeEntry {
    const char* Name;
    const char* Type;
    int32_t Size;
    int32_t Count;
};

// One element kind to visit: its XPath from the document element and its
// fields in the order of the destination record.
struct NodeStruct {
    const char* NodePath;
    const NodeEntry* Entries;
    int32_t EntryNum;
};

struct XmlStructure {
    int32_t NodeNum;
    const NodeStruct* Nodes;
};

// Limits of the table form.
constexpr int32_t kMaxSchemaNodes = 128;
constexpr int32_t kMaxSchemaEntries = 128;

namespace schema {

constexpr bool SameText(const char* a, const char* b) {
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Bytes the reader advances for one entry; 0 for a type it does not know.
constexpr int32_t EntryWidth(const NodeEntry& entry) {
    const int32_t n = entry.Count > 0 ? entry.Count : 1;
    if (SameText(entry.Type, "int32_t") || SameText(entry.Type, "uint32_t") || SameText(entry.Type, "float")) {
        return 4 * n;
    }
    if (SameText(entry.Type, "uint64_t")) return 8;
    if (SameText(entry.Type, "bool") || SameText(entry.Type, "uint8_t")) return 1;
    if (SameText(entry.Type, "char")) return entry.Count > 0 ? entry.Count : 0;
    return 0;
}

constexpr int32_t NodeWidth(const NodeStruct& node) {
    int32_t width = 0;
    for (int32_t i = 0; i < node.EntryNum; ++i) width += EntryWidth(node.Entries[i]);
    return width;
}

// Every documented size agrees with what the reader writes.
constexpr bool SizesAgree(const NodeStruct& node) {
    for (int32_t i = 0; i < node.EntryNum; ++i) {
        if (node.Entries[i].Size != EntryWidth(node.Entries[i])) return false;
    }
    return true;
}

constexpr bool WellFormed(const XmlStructure& table) {
    if (table.NodeNum < 1 || table.NodeNum > kMaxSchemaNodes) return false;
    for (int32_t i = 0; i < table.NodeNum; ++i) {
        if (table.Nodes[i].EntryNum > kMaxSchemaEntries || !SizesAgree(table.Nodes[i])) return false;
    }
    return true;
}

inline constexpr NodeEntry kCommonEntries[] = {
    {"frameID", "uint32_t", 4, 0},        {"camID", "uint32_t", 4, 0},
    {"width", "uint32_t", 4, 0},          {"height", "uint32_t", 4, 0},
    {"zoom_ratio", "float", 4, 0},        {"crop_region", "uint32_t", 16, 4},
    {"app_mode", "int32_t", 4, 0},        {"top_app_id", "int32_t", 4, 0},
    {"zolt_appmode_id", "int32_t", 4, 0}, {"prv_scenario_id", "uint64_t", 8, 0},
    {"cap_scenario_id", "uint64_t", 8, 0}, {"device_orientation", "int32_t", 4, 0},
    {"SessionMode", "int32_t", 4, 0},
};

inline constexpr NodeEntry kSwitchEntries[] = {
    {"face_beauty_on", "bool", 1, 0},      {"face_attribute_on", "bool", 1, 0},
    {"smile_capture_on", "bool", 1, 0},    {"ai_detect_on", "bool", 1, 0},
    {"time_wartermark_on", "bool", 1, 0},  {"logo_watermark_on", "bool", 1, 0},
    {"ultra_portrait_on", "bool", 1, 0},   {"motion_photo_on", "bool", 1, 0},
    {"filter_on", "bool", 1, 0},           {"is_dynamic_fps_prev", "bool", 1, 0},
    {"is_dynamic_fps_video", "bool", 1, 0}, {"is_flash_on", "bool", 1, 0},
};

inline constexpr NodeEntry kThreeAEntries[] = {
    {"bv", "int32_t", 4, 0},         {"sensor_gain", "uint32_t", 4, 0}, {"isp_gain", "uint32_t", 4, 0},
    {"awb_ct", "uint32_t", 4, 0},    {"abl_weight", "uint32_t", 4, 0},  {"atm_gain", "uint32_t", 4, 0},
    {"gtm_gain", "uint32_t", 4, 0},
};

inline constexpr NodeEntry kPostProcEntries[] = {
    {"remosaic_type", "uint32_t", 4, 0},     {"ai_scene_type", "int32_t", 4, 0},
    {"is_hdr_scene", "int32_t", 4, 0},       {"is_mfnr_scene", "int32_t", 4, 0},
    {"is_mfsr_scene", "int32_t", 4, 0},      {"is_mfnr_hdr_scene", "int32_t", 4, 0},
    {"is_mfnr_chdr_scene", "int32_t", 4, 0}, {"is_raw_mfnr_scene", "int32_t", 4, 0},
    {"is_xdr_scene", "int32_t", 4, 0},
};

inline constexpr NodeEntry kCapEntries[] = {
    {"postproc_type", "uint32_t", 4, 0},  {"normal_num", "int32_t", 4, 0},
    {"total_num", "int32_t", 4, 0},       {"merge_frame_num", "int32_t", 4, 0},
    {"jpegOrientation", "int32_t", 4, 0}, {"ev", "float", 4, 0},
};

inline constexpr NodeEntry kFaceEntries[] = {
    {"face_count", "uint32_t", 4, 0},
    {"face_rectangle_coordinate_prev", "int32_t", 400, 100},
    {"face_rectangle_coordinate_cap", "int32_t", 400, 100},
};

inline constexpr NodeEntry kHdrEntries[] = {
    {"ev", "float", 40, 10},
    {"shutter", "uint32_t", 40, 10},
    {"gain", "uint32_t", 40, 10},
    {"frame_num", "uint32_t", 4, 0},
    {"tuning_param_index", "uint32_t", 4, 0},
    {"clock", "uint32_t", 4, 0},
    {"bv", "uint32_t", 4, 0},
    {"face_num", "uint32_t", 4, 0},
    {"prop_dark", "uint32_t", 4, 0},
    {"prop_bright", "uint32_t", 4, 0},
    {"sceneChosen", "uint32_t", 4, 0},
    {"scene_flag", "uint32_t", 4, 0},
    {"normalNum", "uint32_t", 4, 0},
};

inline constexpr NodeEntry kTagEntries[] = {
    {"ae_mode", "uint32_t", 4, 0},
    {"flash_mode", "uint32_t", 4, 0},
    {"lcd_flash_mode", "uint32_t", 4, 0},
};

inline constexpr NodeEntry kIspConfigEntries[] = {
    {"name", "char", 256, 256}, {"id", "uint64_t", 8, 0},        {"state", "uint32_t", 4, 0},
    {"dump", "char", 256, 256}, {"tuning", "char", 256, 256},
};

#define ZEB_SCHEMA_NODE(path, entries) \
    { path, entries, static_cast<int32_t>(std::size(entries)) }
inline constexpr NodeStruct kCommonNodes[] = {ZEB_SCHEMA_NODE("commonInfo", kCommonEntries)};
inline constexpr NodeStruct kSwitchNodes[] = {ZEB_SCHEMA_NODE("switchInfo", kSwitchEntries)};
inline constexpr NodeStruct kThreeANodes[] = {ZEB_SCHEMA_NODE("ThreeAInfo", kThreeAEntries)};
inline constexpr NodeStruct kPostProcNodes[] = {ZEB_SCHEMA_NODE("postprocInfo", kPostProcEntries)};
inline constexpr NodeStruct kCapNodes[] = {ZEB_SCHEMA_NODE("capInfo", kCapEntries)};
inline constexpr NodeStruct kFaceNodes[] = {ZEB_SCHEMA_NODE("FDInfo", kFaceEntries)};
inline constexpr NodeStruct kHdrNodes[] = {ZEB_SCHEMA_NODE("hdrDetectOut", kHdrEntries)};
inline constexpr NodeStruct kTagNodes[] = {ZEB_SCHEMA_NODE("androidTag", kTagEntries)};
inline constexpr NodeStruct kIspConfigNodes[] = {ZEB_SCHEMA_NODE("block", kIspConfigEntries)};
#undef ZEB_SCHEMA_NODE

}  // namespace schema

// Why `text` does not read whole as `entry`'s value the way the reader
// converts it (something after the number, an empty value between two spaces,
// more values than the field holds, a text longer than the field); empty when
// it does. An empty text reads as zero.
std::string UnreadableValue(const NodeEntry& entry, const char* text);

// Scene file groups, relative to the document element "root".
inline constexpr XmlStructure CommonStructure{1, schema::kCommonNodes};
inline constexpr XmlStructure SwitchStructure{1, schema::kSwitchNodes};
inline constexpr XmlStructure ThreeAStructure{1, schema::kThreeANodes};
inline constexpr XmlStructure PostProcStructure{1, schema::kPostProcNodes};
inline constexpr XmlStructure CapStructure{1, schema::kCapNodes};
inline constexpr XmlStructure FaceStructure{1, schema::kFaceNodes};
inline constexpr XmlStructure HDRStructure{1, schema::kHdrNodes};
inline constexpr XmlStructure TagStructure{1, schema::kTagNodes};
// Block configuration list, relative to the document element "ispblocks".
inline constexpr XmlStructure IspConfiginfo{1, schema::kIspConfigNodes};

// Each table writes exactly its group of the record it fills.
static_assert(schema::WellFormed(CommonStructure) && schema::NodeWidth(CommonStructure.Nodes[0]) ==
                                                        sizeof(SceneCommonInfo),
              "CommonStructure");
static_assert(schema::WellFormed(SwitchStructure) && schema::NodeWidth(SwitchStructure.Nodes[0]) ==
                                                        sizeof(SceneSwitchInfo),
              "SwitchStructure");
static_assert(schema::WellFormed(ThreeAStructure) && schema::NodeWidth(ThreeAStructure.Nodes[0]) ==
                                                        sizeof(SceneThreeAInfo),
              "ThreeAStructure");
static_assert(schema::WellFormed(PostProcStructure) && schema::NodeWidth(PostProcStructure.Nodes[0]) ==
                                                          sizeof(ScenePostProcInfo),
              "PostProcStructure");
static_assert(schema::WellFormed(CapStructure) && schema::NodeWidth(CapStructure.Nodes[0]) == sizeof(SceneCapInfo),
              "CapStructure");
static_assert(schema::WellFormed(FaceStructure) && schema::NodeWidth(FaceStructure.Nodes[0]) ==
                                                      sizeof(SceneFaceInfo),
              "FaceStructure");
static_assert(schema::WellFormed(HDRStructure) && schema::NodeWidth(HDRStructure.Nodes[0]) ==
                                                     sizeof(SceneHdrDetectOut),
              "HDRStructure");
static_assert(schema::WellFormed(TagStructure) && schema::NodeWidth(TagStructure.Nodes[0]) ==
                                                     sizeof(SceneAndroidTag),
              "TagStructure");
static_assert(schema::WellFormed(IspConfiginfo) && schema::NodeWidth(IspConfiginfo.Nodes[0]) ==
                                                      offsetof(IspInfo, tuning) + kIspTextSize &&
                  schema::NodeWidth(IspConfiginfo.Nodes[0]) <= sizeof(IspInfo),
              "IspConfiginfo");

}  // namespace ZEB
