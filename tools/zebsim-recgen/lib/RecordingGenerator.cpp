#include "zebsim-recgen/lib/RecordingGenerator.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <pugixml.hpp>

#include "frame/RawKernels.h"
#include "frame/ZEBFrame.h"
#include "zebsim-recgen/lib/SensorLook.h"
#include "core/records/Field.h"
#include "core/records/ThreeARecords.h"
#include "platform/TuningBin.h"

namespace zeb_recgen {
namespace {

namespace fs = std::filesystem;

constexpr uint16_t kRawTagHead = 0x2A5;
constexpr uint16_t kRawTagTail = 0x15A;
constexpr size_t kDumpHeader = 16;

// Control words other modules act on: left zero so a recording plays the
// ordinary path (no highlight non-ZSL capture, no UltraRes skip).
constexpr size_t kHighlightNoZslOffset = 4904 - 8;  // in SCENE_DETECT_OUT
constexpr size_t kUltraResShutterOffset = 216;      // in ISCENE_INFO

const std::map<int, uint32_t> kDefaultVariableSizes = {
    {ZEB::DF_AFM, 24576},          {ZEB::DF_PDAF, 32768},          {ZEB::DF_LSC_RESULT_TABLE_INFO, 16896},
    {ZEB::DF_HIST2_DATA_INFO, 4096}, {ZEB::DF_GTMHIST_DATA_INFO, 1024}, {ZEB::DF_AEM_DATA_INFO, 98304},
    {ZEB::DF_LSCM_DATA_INFO, 16384}, {ZEB::DF_LSC_RESULT_WTABLE_INFO, 16896},
};

struct Rgb {
    int r, g, b;
};

// A colour chart of 24 patches, 10-bit.
const Rgb kChart[24] = {
    {460, 330, 270}, {780, 580, 500}, {390, 480, 620}, {360, 430, 260}, {530, 510, 700}, {420, 760, 680},
    {860, 480, 180}, {290, 360, 680}, {770, 340, 390}, {370, 240, 420}, {620, 750, 240}, {880, 640, 170},
    {200, 250, 590}, {280, 580, 280}, {700, 190, 220}, {920, 800, 120}, {750, 330, 590}, {120, 520, 660},
    {960, 960, 950}, {780, 780, 780}, {610, 610, 610}, {430, 430, 430}, {260, 260, 260}, {110, 110, 110},
};

// The scene at raw pixel (x, y): gradients, the chart in the middle, and a
// bright yellow disc that moves from frame to frame.
class Scene {
public:
    Scene(int width, int height, int serial)
        : mW(std::max(width, 1)), mH(std::max(height, 1)),
          mDiscX((mW / 8 + static_cast<int64_t>(serial) * mW / 10) % mW),
          mDiscY(mH / 3 + (serial % 3) * mH / 6), mRadius(std::max(mH / 12, 1)) {}

    Rgb At(int x, int y) const {
        const int64_t dx = x - mDiscX, dy = y - mDiscY;
        if (dx * dx + dy * dy < static_cast<int64_t>(mRadius) * mRadius) return {1000, 880, 420};
        const int chartX0 = mW / 4, chartY0 = mH / 4;
        if (x >= chartX0 && x < chartX0 + mW / 2 && y >= chartY0 && y < chartY0 + mH / 2) {
            const int64_t cx = static_cast<int64_t>(x - chartX0) * 6 / std::max(mW / 2, 1);
            const int64_t cy = static_cast<int64_t>(y - chartY0) * 4 / std::max(mH / 2, 1);
            // A dark border between patches.
            const int64_t inX = static_cast<int64_t>(x - chartX0) * 6 % std::max(mW / 2, 1);
            const int64_t inY = static_cast<int64_t>(y - chartY0) * 4 % std::max(mH / 2, 1);
            if (inX * 12 < mW / 2 || inY * 12 < mH / 2) return {40, 40, 40};
            return kChart[std::min<int64_t>(cy, 3) * 6 + std::min<int64_t>(cx, 5)];
        }
        return {static_cast<int>(80 + int64_t{700} * x / mW), static_cast<int>(120 + int64_t{500} * (x + y) / (mW + mH)),
                static_cast<int>(80 + int64_t{700} * y / mH)};
    }

private:
    int mW, mH;
    int64_t mDiscX, mDiscY;
    int mRadius;
};

// Channel index (0 R, 1 G, 2 B) of each site of a 2 x 2 cell, by pattern.
const int kSites[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};

int Channel(const Rgb& c, int channel) { return channel == 0 ? c.r : channel == 1 ? c.g : c.b; }

Options Filled(const Options& options) {
    Options filled = options;
    if (filled.yuvWidth <= 0) filled.yuvWidth = filled.width;
    if (filled.yuvHeight <= 0) filled.yuvHeight = filled.height;
    filled.framesPerTask = std::clamp(filled.framesPerTask, 1, 10);
    filled.taskCount = std::max(filled.taskCount, 0);
    if (filled.tasks.empty()) {
        TaskOptions task;
        task.frames = filled.framesPerTask;
        task.scene = filled.scene;
        task.lscFormat = filled.lscFormat;
        filled.tasks.assign(static_cast<size_t>(filled.taskCount), task);
    }
    filled.taskCount = static_cast<int>(filled.tasks.size());
    for (size_t t = 0; t < filled.tasks.size(); ++t) {
        TaskOptions& task = filled.tasks[t];
        task.frames = std::clamp(task.frames, 0, 10);
        if (task.outputPath.empty()) task.outputPath = filled.outputFolder + "/results/ZEB_task" + std::to_string(t);
    }
    if (filled.taskListPath.empty()) filled.taskListPath = filled.outputFolder + "/RawListFile.xml";
    return filled;
}

// The filled options with the sizes of the task that frame `serial` belongs to.
Options SizedFor(const Options& filled, int serial) {
    Options sized = filled;
    int first = 0;
    for (const TaskOptions& task : filled.tasks) {
        if (serial >= first && serial < first + task.frames) {
            if (task.width > 0 && task.height > 0) {
                sized.width = sized.yuvWidth = task.width;
                sized.height = sized.yuvHeight = task.height;
            }
            break;
        }
        first += task.frames;
    }
    return sized;
}

void Put32(uint8_t* to, uint32_t value) {
    for (int i = 0; i < 4; ++i) to[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const uint8_t* from) {
    return from[0] | from[1] << 8 | from[2] << 16 | static_cast<uint32_t>(from[3]) << 24;
}

template <typename T>
void Add(pugi::xml_node group, const char* name, T value) {
    group.append_child(name).text().set(value);
}

void AddText(pugi::xml_node group, const char* name, const std::string& value) {
    group.append_child(name).text().set(value.c_str());
}

// Space-separated, `count` values at least (zeros after the given ones).
template <typename T>
std::string Joined(const std::vector<T>& values, size_t count = 0) {
    std::ostringstream text;
    for (size_t i = 0; i < std::max(values.size(), count); ++i) {
        text << (i ? " " : "") << (i < values.size() ? values[i] : T{});
    }
    return text.str();
}

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

void Save(const pugi::xml_document& doc, const fs::path& path) {
    fs::create_directories(path.parent_path());
    if (!doc.save_file(path.c_str(), " ")) throw std::runtime_error("cannot write " + path.string());
}

std::string Decimal(float value) {
    char text[32];
    snprintf(text, sizeof text, "%f", value);
    return text;
}

// The configuration list, the tuning documents and tuning tasks, the
// firmware tuning folder with its initial binaries and the bypass lists.
void WriteTuning(const Options& options, GeneratedRecording& recording, std::vector<IspBlock>& listed) {
    const TuningOptions& tuning = options.tuning;
    const fs::path base = fs::path(options.outputFolder) / "tuning";
    const fs::path firmware = fs::path(tuning.firmwareRoot) / tuning.name;
    const std::string aliases[] = {tuning.previewAlias, tuning.captureAlias, "com"};
    for (const TuningBlock& block : tuning.blocks) {
        const std::string document = block.name + "_" + std::to_string(block.id) + ".xml";
        const fs::path documentPath = base / "xml" / document;
        pugi::xml_document doc;
        pugi::xml_node root = doc.append_child(block.name.c_str());
        root.append_attribute("block").set_value(block.name.c_str());
        root.append_attribute("id").set_value(std::to_string(block.id).c_str());
        root.append_attribute("bypass").set_value(block.bypass);
        std::vector<std::string> texts;
        for (float value : block.values) texts.push_back(Decimal(value));
        AddText(root, "value", texts.empty() ? "0" : texts.front());
        if (texts.size() > 1) AddText(root, "table", Joined(std::vector<std::string>(texts.begin() + 1, texts.end())));
        Save(doc, documentPath);

        std::string tuningText = block.tuning;
        if (block.sweep) {
            const fs::path taskPath = base / "task" / (block.name + ".xml");
            pugi::xml_document task;
            pugi::xml_node info = task.append_child("ParametersInfo");
            AddText(info, "Block", block.name);
            AddText(info, "ParamPath", documentPath.string());
            // No "_" in the folder: the driver names each copy in the output
            // folder after what follows the first "_" of the whole path.
            const fs::path sweep = base / "sweep" / ("block" + std::to_string(&block - tuning.blocks.data()));
            AddText(info, "OutputPath", sweep.string() + "/");
            fs::create_directories(sweep);
            pugi::xml_node parameter = info.append_child("ParametersConfig").append_child("Parameter");
            parameter.append_attribute("from").set_value(Decimal(block.from).c_str());
            parameter.append_attribute("to").set_value(Decimal(block.to).c_str());
            parameter.append_attribute("step").set_value(Decimal(block.step).c_str());
            parameter.append_attribute("array").set_value(1);  // one value: without it the reader warns
            parameter.text().set((block.name + "/value").c_str());
            Save(task, taskPath);
            tuningText = taskPath.string();
        }
        listed.push_back({block.name, block.id, block.state, "0", tuningText});

        // The converter's own encoding, as the sensor's first install.
        const zeb_platform::TuningDocument read = zeb_platform::ReadTuningDocument(documentPath.string());
        if (!read.ok) throw std::runtime_error(documentPath.string() + ": " + read.error);
        const std::vector<uint8_t> bytes = zeb_platform::EncodeTuningBin(read);
        for (const std::string& alias : aliases) {
            fs::create_directories(firmware / alias);
            WriteBytes((firmware / alias / zeb_platform::TuningBinName(read.block, read.id)).string(), bytes.data(),
                       bytes.size());
        }
    }

    pugi::xml_document cfg;
    pugi::xml_node scenarios = cfg.append_child("cfg");
    for (const auto& scenario : {std::make_pair(tuning.previewAlias, tuning.previewScenario),
                                 std::make_pair(tuning.captureAlias, tuning.captureScenario)}) {
        pugi::xml_node node = scenarios.append_child("scenario");
        node.append_attribute("alia").set_value(scenario.first.c_str());
        AddText(node, "id", "0x" + Hex(scenario.second));
    }
    Save(cfg, firmware / "cfg.xml");
    for (const std::string& alias : aliases) {
        fs::create_directories(firmware / alias);
        pugi::xml_document list;
        pugi::xml_node bypass = list.append_child("BypassBlocks");
        auto given = tuning.bypassLists.find(alias);
        if (given != tuning.bypassLists.end()) {
            for (const auto& entry : given->second) {
                pugi::xml_node block = bypass.append_child("Block");
                AddText(block, "Name", entry.first);
                Add(block, "BypassStatus", entry.second);
            }
        }
        Save(list, fs::path(tuning.binRoot) / tuning.name / (alias + ".xml"));
    }
    recording.tuningFolder = firmware.string();
}

// Samples packed as RAW10 lines, back to back.
std::vector<uint8_t> PackedLines(const std::vector<uint16_t>& samples, int width, int height) {
    const size_t line = static_cast<size_t>(ZEB::ZEBFrame::PackedLineBytes(width));
    std::vector<uint8_t> packed(line * height, 0);
    ZEB::raw::PackRaw10(samples.data(), width / 4 * 4, height, line, packed.data());
    return packed;
}

// The task a frame serial belongs to (as Filled() lays the tasks out), and
// the frame's index in it; false past the last task.
bool TaskOfSerial(const Options& options, int serial, TaskOptions* task, int* index) {
    if (options.tasks.empty()) {
        const int frames = std::clamp(options.framesPerTask, 1, 10);
        if (serial < 0 || serial >= frames * std::max(options.taskCount, 0)) return false;
        task->scene = options.scene;
        task->lscFormat = options.lscFormat;
        *index = serial % frames;
        return true;
    }
    for (const TaskOptions& given : options.tasks) {
        const int frames = std::clamp(given.frames, 0, 10);
        if (serial < frames) {
            *task = given;
            *index = serial;
            return true;
        }
        serial -= frames;
    }
    return false;
}

// What a device's 3A leave in their results for frame `index` of a task:
// exposure bracketed as the scene's EV list says, steady white balance,
// shading tables falling off towards the corners, a gamma curve and local
// tone map. The bytes no field names keep the per-frame pattern, so a copy
// that misses a byte still shows.
void FillThreeA(int row, int serial, int index, const TaskOptions& task, std::vector<uint8_t>& bytes) {
    const size_t size = bytes.size();
    uint8_t* b = bytes.data();
    const uint64_t timestamp = 1700000000000000000ull + static_cast<uint64_t>(serial) * 33333333ull;
    const int32_t frameId = 1000 + 4 * serial + 1;
    switch (row) {
        case ZEB::DF_AE_RESULT_INFO: {
            if (size < ZEB::AeResult::kSize) return;
            const float ev = static_cast<size_t>(index) < task.scene.hdrEvs.size() ? task.scene.hdrEvs[index] : 0.0f;
            const int32_t gain = 128 * (2 + serial % 4);
            ZEB::WriteField<int32_t>(b, ZEB::AeResult::kBv, task.scene.bv + 12 * index - serial % 3);
            ZEB::WriteField<uint32_t>(b, ZEB::AeResult::kLum, static_cast<uint32_t>(std::lround(72 * std::pow(2.0, ev / 2))) + serial % 5);
            ZEB::WriteField<float>(b, ZEB::AeResult::kEv, ev);
            ZEB::WriteField<int32_t>(b, ZEB::AeResult::kFrameId, frameId);
            ZEB::WriteField<int32_t>(b, ZEB::AeResult::kGain, gain);
            ZEB::WriteField<int32_t>(b, ZEB::AeResult::kIso, gain * 100 / 128);
            b[ZEB::AeResult::kHdrStep] = 0;
            ZEB::WriteField<int32_t>(b, ZEB::AeResult::kNextFrameId, frameId + 1);
            ZEB::WriteField<uint64_t>(b, ZEB::AeResult::kTimestamp, timestamp);
            ZEB::WriteField<uint32_t>(b, ZEB::AeResult::kExposureLine, 1480 + 16 * static_cast<uint32_t>(serial % 8));
            ZEB::WriteField<uint32_t>(b, ZEB::AeResult::kLcgGain, 1024);
            ZEB::WriteField<uint32_t>(b, ZEB::AeResult::kFlashState, 0);
            ZEB::WriteField<uint32_t>(b, ZEB::AeResult::kHdrStepFlag, 0);
            ZEB::WriteField<int32_t>(b, ZEB::AeResult::kSensorFrameId, frameId);
            ZEB::WriteField<int32_t>(b, ZEB::AeResult::kStatsFrameId, frameId);
            ZEB::WriteField<int32_t>(b, ZEB::AeResult::kOfflineCurFrameId, frameId - 1);
            ZEB::WriteField<uint64_t>(b, ZEB::AeResult::kSofTimestamp, timestamp - 8000000);
            return;
        }
        case ZEB::DF_AWB_CALC_INFO: {
            if (size < ZEB::AwbCalc::kSize) return;
            ZEB::WriteField<uint32_t>(b, ZEB::AwbCalc::kGainR, 1880 + 8 * static_cast<uint32_t>(serial % 5));
            ZEB::WriteField<uint32_t>(b, ZEB::AwbCalc::kGainG, 1024);
            ZEB::WriteField<uint32_t>(b, ZEB::AwbCalc::kGainB, 1540 - 6 * static_cast<uint32_t>(serial % 5));
            ZEB::WriteField<uint32_t>(b, ZEB::AwbCalc::kCt, 5100 - 25 * static_cast<uint32_t>(serial % 4));
            const int16_t ccm[9] = {1700, -520, -156, -260, 1540, -256, -30, -590, 1644};
            for (int i = 0; i < 9; ++i) ZEB::WriteField<int16_t>(b, ZEB::AwbCalc::kCcm + 2 * i, ccm[i]);
            ZEB::WriteField<uint64_t>(b, ZEB::AwbCalc::kTimestamp, timestamp);
            ZEB::WriteField<uint32_t>(b, ZEB::AwbCalc::kStatsIndex, static_cast<uint32_t>(serial));
            ZEB::WriteField<uint32_t>(b, ZEB::AwbCalc::kFrameId, static_cast<uint32_t>(frameId));
            return;
        }
        case ZEB::DF_LSC_RESULT_INFO:
            if (size < ZEB::LscResult::kSize) return;
            ZEB::WriteField<uint32_t>(b, ZEB::LscResult::kTableIndex, 2 + static_cast<uint32_t>(serial % 3));
            ZEB::WriteField<uint16_t>(b, ZEB::LscResult::kGridSize, 32);
            ZEB::WriteField<uint64_t>(b, ZEB::LscResult::kValid, task.lscFormat == LscFormat::Alsc3 ? 1 : 0);
            return;
        case ZEB::DF_LSC4_RESULT_INFO: {
            if (size < ZEB::Lsc4Result::kSize) return;
            const uint32_t grid[5] = {32, 32, 24, 4, 2}, weight[3] = {512, 320, 192};
            ZEB::WriteField<uint32_t>(b, ZEB::Lsc4Result::kBypass, 0);
            ZEB::WriteField<uint32_t>(b, ZEB::Lsc4Result::kUpdateAll, 1);
            for (int i = 0; i < 5; ++i) ZEB::WriteField<uint32_t>(b, ZEB::Lsc4Result::kGrid + 4 * i, grid[i]);
            for (int i = 0; i < 3; ++i) ZEB::WriteField<uint32_t>(b, ZEB::Lsc4Result::kWeight + 4 * i, weight[i] + static_cast<uint32_t>(serial % 4));
            ZEB::WriteField<uint64_t>(b, ZEB::Lsc4Result::kValid, task.lscFormat == LscFormat::None ? 0 : 1);
            ZEB::WriteField<uint32_t>(b, ZEB::Lsc4Result::kGridWidthX, 128);
            ZEB::WriteField<uint32_t>(b, ZEB::Lsc4Result::kGridWidthY, 96);
            return;
        }
        case ZEB::DF_LSC_RESULT_TABLE_INFO:
        case ZEB::DF_LSC_RESULT_WTABLE_INFO: {
            // Four channels interleaved per grid cell, 32 cells a row; gains
            // (1024 = 1x) grow towards the corners, weights fall.
            const size_t values = size / 2, cells = values / 4, rows = std::max<size_t>(cells / 32, 1);
            for (size_t k = 0; k < values; ++k) {
                const size_t cell = k / 4, channel = k % 4;
                const double dx = (static_cast<double>(cell % 32) - 15.5) / 15.5;
                const double dy = (static_cast<double>(cell / 32) - (rows - 1) / 2.0) / std::max((rows - 1) / 2.0, 1.0);
                const double r2 = (dx * dx + dy * dy) / 2;
                const double value = row == ZEB::DF_LSC_RESULT_TABLE_INFO ? 1024 + (600 + 40 * channel) * r2 + serial % 3
                                                                           : 1024 - 300 * r2 - serial % 3;
                ZEB::WriteField<uint16_t>(b, 2 * k, static_cast<uint16_t>(std::lround(value)));
            }
            return;
        }
        case ZEB::DF_XTM_RESULT_INFO: {
            if (size < ZEB::XtmResult::kSize) return;
            const uint16_t gtm[8] = {16, 1008, static_cast<uint16_t>(2 + serial % 3), static_cast<uint16_t>(512 + 4 * (serial % 8)),
                                     640, 96, 24, 3};
            for (int i = 0; i < 8; ++i) ZEB::WriteField<uint16_t>(b, ZEB::XtmResult::kGtm + 2 * i, gtm[i]);
            ZEB::WriteField<uint16_t>(b, ZEB::XtmResult::kGtmTarget, static_cast<uint16_t>(118 + serial % 4));
            ZEB::WriteField<uint16_t>(b, ZEB::XtmResult::kGtmStrength, 6);
            // 64 tiles of 128 bins, each tile's curve rising with its own slope.
            for (size_t k = 0; k < ZEB::XtmResult::kLtmSize / 2; ++k) {
                const size_t tile = k / 128, bin = k % 128;
                const size_t slope = 1000 + 24 * (tile % 8) + 8 * (tile / 8) + 2 * static_cast<size_t>(serial % 4);
                ZEB::WriteField<uint16_t>(b, ZEB::XtmResult::kLtm + 2 * k, static_cast<uint16_t>(std::min<size_t>(bin * 8 * slope / 1024, 1023)));
            }
            ZEB::WriteField<uint32_t>(b, ZEB::XtmResult::kLtmTiles, 64);
            for (size_t i = 0; i < ZEB::XtmResult::kCurveSize / 2; ++i) {
                const double x = static_cast<double>(i) / 255;
                ZEB::WriteField<uint16_t>(b, ZEB::XtmResult::kCurve + 2 * i, static_cast<uint16_t>(std::lround(1023 * (3 * x * x - 2 * x * x * x))));
            }
            for (size_t i = 0; i < ZEB::XtmResult::kGammaPoints; ++i) {
                const double value = 1023 * std::pow(static_cast<double>(i) / 256, 1 / 2.2) + (i ? serial % 3 : 0);
                ZEB::WriteField<uint16_t>(b, ZEB::XtmResult::kGamma + 2 * i, static_cast<uint16_t>(std::min<long>(std::lround(value), 1023)));
            }
            return;
        }
        default:
            return;
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

FrameFiles WriteFrame(const Options& filled, const std::string& folder, int serial, int task, int index) {
    const Options options = SizedFor(filled, serial);
    FrameFiles files = NewFrameFiles(folder, serial, task, index);
    const std::string id = std::to_string(serial);
    files.rawPath = ImagePath(folder, options.width, options.height, serial, ".mipi_raw");
    // Rendered once: the packed image and the optional 16-bit copy share it.
    const auto samples = RenderBayer(options, serial);
    const auto packed = PackedLines(samples, options.width, options.height);
    WriteBytes(files.rawPath, packed.data(), packed.size());
    files.yuvPath = ImagePath(folder, options.yuvWidth, options.yuvHeight, serial, ".cap.yuv_nv21");
    const auto nv21 = RenderNv21(options, serial);
    WriteBytes(files.yuvPath, nv21.data(), nv21.size());
    if (options.writeUnpackedRaw) {
        const std::string path = ImagePath(folder, options.width, options.height, serial, ".raw");
        WriteBytes(path, samples.data(), samples.size() * 2);
        files.dumpPaths[ZEB::DF_RAW] = path;
    }
    for (int row = ZEB::DF_AFM; row < ZEB::kDataFormatCount; ++row) {
        const std::string path = folder + "/IMG_" + id + "_" + ZEB::DataFileSpecOf(row).subFix;
        const auto bytes = DumpContent(options, serial, row);
        WriteBytes(path, bytes.data(), bytes.size());
        files.dumpPaths[row] = path;
    }
    return files;
}

const char* const kPatternNames[4] = {"RGGB", "GRBG", "GBRG", "BGGR"};

}  // namespace

void WriteBytes(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw std::runtime_error("cannot write " + path);
}

FrameFiles NewFrameFiles(const std::string& folder, int serial, int task, int index) {
    FrameFiles files;
    files.serial = serial;
    files.task = task;
    files.index = index;
    files.folder = folder;
    fs::create_directories(folder);
    return files;
}

std::string ImagePath(const std::string& folder, int width, int height, int serial, const char* suffix) {
    return folder + "/IMG_" + std::to_string(width) + "x" + std::to_string(height) + "_" + std::to_string(serial) +
           suffix;
}

const char* BayerPatternName(BayerPattern pattern) { return kPatternNames[static_cast<uint32_t>(pattern) & 3]; }

bool ParseBayerPattern(const std::string& name, BayerPattern* pattern) {
    for (uint32_t i = 0; i < 4; ++i) {
        if (name == kPatternNames[i]) {
            *pattern = static_cast<BayerPattern>(i);
            return true;
        }
    }
    return false;
}

void WriteSceneInfoFile(const std::string& path, int width, int height, const SceneValues& scene, int64_t task) {
    Options sized;
    sized.width = width;
    sized.height = height;
    WriteSceneFile(path, sized, scene, task);
}

void WriteTaskListFile(const GeneratedRecording& recording) { WriteTaskList(recording); }

std::vector<uint16_t> RenderBayer(const Options& given, int serial) {
    const Options options = SizedFor(Filled(given), serial);
    const int width = std::max(options.width, 0), height = std::max(options.height, 0);
    std::vector<uint16_t> samples(static_cast<size_t>(width) * height);
    const Scene scene(width, height, serial);
    const int* sites = kSites[static_cast<uint32_t>(options.pattern) & 3];
    const SensorLook look(options, serial);
    for (int y = 0; y < height; ++y) {
        uint16_t* line = &samples[static_cast<size_t>(y) * width];
        for (int x = 0; x < width; ++x) {
            const Rgb colour = scene.At(x, y);
            // A little fixed-pattern texture so flat areas are not flat.
            const int grain = ((x * 7 + y * 13) & 7) - 4;
            const int site = (y & 1) * 2 + (x & 1);
            line[x] = look.Raw(Channel(colour, sites[site]) + grain, site, x, y);
        }
    }
    if (width >= 4 && height >= 1) {
        samples[0] = kRawTagHead;
        samples[1] = static_cast<uint16_t>(serial & 0x3FF);
        samples[2] = static_cast<uint16_t>((serial >> 10) & 0x3FF);
        samples[3] = kRawTagTail;
    }
    return samples;
}

std::vector<uint8_t> RenderPackedRaw(const Options& given, int serial) {
    const Options options = SizedFor(Filled(given), serial);
    return PackedLines(RenderBayer(options, serial), std::max(options.width, 0), std::max(options.height, 0));
}

std::vector<uint8_t> RenderNv21(const Options& given, int serial) {
    const Options options = SizedFor(Filled(given), serial);
    const int width = std::max(options.yuvWidth, 0), height = std::max(options.yuvHeight, 0);
    const size_t lumaBytes = static_cast<size_t>(width) * height;
    std::vector<uint8_t> nv21(lumaBytes * 3 / 2, 128);
    const Scene scene(options.width, options.height, serial);
    const SensorLook look(options, serial);
    auto sample = [&](int x, int y) {
        const Rgb c = scene.At(static_cast<int>(int64_t{x} * options.width / std::max(width, 1)),
                               static_cast<int>(int64_t{y} * options.height / std::max(height, 1)));
        const int in[3] = {c.r, c.g, c.b};
        int out[3];
        look.Reference(in, out);
        return Rgb{out[0], out[1], out[2]};
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb c = sample(x, y);
            nv21[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>((77 * c.r + 150 * c.g + 29 * c.b) >> 10);
        }
    }
    for (int y = 0; y + 1 < height; y += 2) {
        for (int x = 0; x + 1 < width; x += 2) {
            const Rgb c = sample(x, y);
            const size_t at = lumaBytes + static_cast<size_t>(y / 2) * width + x;
            nv21[at] = static_cast<uint8_t>(std::clamp(((128 * c.r - 107 * c.g - 21 * c.b) >> 10) + 128, 0, 255));
            nv21[at + 1] = static_cast<uint8_t>(std::clamp(((-43 * c.r - 85 * c.g + 128 * c.b) >> 10) + 128, 0, 255));
        }
    }
    return nv21;
}

size_t DumpSize(const Options& options, int row) {
    const ZEB::DataFileSpec& layout = ZEB::DataFileSpecOf(row);
    if (layout.kind == ZEB::RowKind::FixedArea) return layout.fixedSize;
    if (layout.kind != ZEB::RowKind::FileSized) return 0;
    auto given = options.variableSizes.find(row);
    if (given != options.variableSizes.end()) return given->second;
    auto fallback = kDefaultVariableSizes.find(row);
    return fallback != kDefaultVariableSizes.end() ? fallback->second : 0;
}

std::vector<uint8_t> DumpContent(const Options& options, int serial, int row) {
    const size_t size = DumpSize(options, row);
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + static_cast<size_t>(row) * 13 + static_cast<size_t>(serial) * 29 + 1);
    }
    if (IsThreeAResultRow(row)) {
        TaskOptions task;
        int index = 0;
        if (TaskOfSerial(options, serial, &task, &index)) FillThreeA(row, serial, index, task, bytes);
    } else if (size >= kDumpHeader) {
        memcpy(bytes.data(), "ZEBD", 4);
        Put32(&bytes[4], static_cast<uint32_t>(row));
        Put32(&bytes[8], static_cast<uint32_t>(serial));
        Put32(&bytes[12], static_cast<uint32_t>(size));
    }
    if (row == ZEB::DF_SCENE_DETECT_OUT && size >= kHighlightNoZslOffset + 4) {
        memset(&bytes[kHighlightNoZslOffset], 0, 4);
    }
    if (row == ZEB::DF_ISCENE_INFO && size >= kUltraResShutterOffset + 4) {
        memset(&bytes[kUltraResShutterOffset], 0, 4);
    }
    if (options.customizeDump) options.customizeDump(serial, row, bytes);
    return bytes;
}

bool IsThreeAResultRow(int row) {
    return row == ZEB::DF_AE_RESULT_INFO || row == ZEB::DF_AWB_CALC_INFO || row == ZEB::DF_LSC_RESULT_INFO ||
           row == ZEB::DF_LSC4_RESULT_INFO || row == ZEB::DF_LSC_RESULT_TABLE_INFO ||
           row == ZEB::DF_LSC_RESULT_WTABLE_INFO || row == ZEB::DF_XTM_RESULT_INFO;
}

std::vector<IspBlock> Fixed3ABlocks() {
    IspBlock awb{"AWB", 0x2000, 3};
    IspBlock alsc{"ALSC", 0x4000, 3};
    IspBlock xtm{"GTM_XTM", 0x8000, 3};
    return {awb, alsc, xtm};
}

DumpTag DecodeDumpTag(const uint8_t* bytes, size_t size) {
    DumpTag tag;
    if (!bytes || size < kDumpHeader || memcmp(bytes, "ZEBD", 4) != 0) return tag;
    tag.valid = true;
    tag.row = static_cast<int>(Get32(bytes + 4));
    tag.serial = static_cast<int>(Get32(bytes + 8));
    tag.size = Get32(bytes + 12);
    return tag;
}

int DecodeRawTag(const uint8_t* packedLine) {
    if (!packedLine) return -1;
    uint16_t pixels[4];
    ZEB::raw::UnpackRaw10(packedLine, 4, 1, 5, pixels);
    if (pixels[0] != kRawTagHead || pixels[3] != kRawTagTail) return -1;
    return pixels[1] | pixels[2] << 10;
}

bool WriteRawPreviewPng(const std::string& path, const uint8_t* packed, int width, int height, size_t stride,
                        BayerPattern pattern, std::string* error) {
    if (!packed || width < 2 || height < 2) {
        if (error) *error = "no image";
        return false;
    }
    const int outW = width / 2, outH = height / 2;
    std::vector<uint8_t> rgb(static_cast<size_t>(outW) * outH * 3);
    std::vector<uint16_t> lines(static_cast<size_t>(width) * 2);
    const int* sites = kSites[static_cast<uint32_t>(pattern) & 3];
    for (int cy = 0; cy < outH; ++cy) {
        ZEB::raw::UnpackRaw10(packed + stride * 2 * cy, width, 2, stride, lines.data());
        for (int cx = 0; cx < outW; ++cx) {
            int sum[3] = {0, 0, 0}, count[3] = {0, 0, 0};
            for (int site = 0; site < 4; ++site) {
                const int value = lines[static_cast<size_t>(site / 2) * width + 2 * cx + site % 2];
                sum[sites[site]] += value;
                ++count[sites[site]];
            }
            uint8_t* out = &rgb[(static_cast<size_t>(cy) * outW + cx) * 3];
            for (int c = 0; c < 3; ++c) out[c] = static_cast<uint8_t>(sum[c] / std::max(count[c], 1) >> 2);
        }
    }
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(outW);
    image.height = static_cast<png_uint_32>(outH);
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr)) {
        if (error) *error = image.message;
        png_image_free(&image);
        return false;
    }
    return true;
}

TuningOptions SweepTuning(const std::string& name, const std::string& deviceRoot) {
    TuningOptions tuning;
    tuning.name = name;
    tuning.firmwareRoot = deviceRoot + "/vendor/firmware";
    tuning.binRoot = deviceRoot + "/data/vendor/cameraserver/zeb/tuningbin";
    auto block = [](const char* blockName, uint64_t id, uint32_t state, std::vector<float> values, const char* text) {
        TuningBlock b;
        b.name = blockName;
        b.id = id;
        b.state = state;
        b.values = std::move(values);
        b.tuning = text;
        return b;
    };
    TuningBlock ae = block("AE_V5", 16433, 1, {0.5f, 8, 16}, "");
    ae.sweep = true;
    ae.from = 1;
    ae.to = 2;
    ae.step = 1;
    TuningBlock cmc = block("CMC10_V1", 16500, 0, {5, 1, 2, 3}, "");
    cmc.sweep = true;
    cmc.from = 10;
    cmc.to = 30;
    cmc.step = 10;
    TuningBlock trg = block("TRG_AFL_V3", 16410, 0, {50, 60}, "null");
    trg.bypass = 1;
    TuningBlock awb = block("AWB_V2", 16400, 3, {1.25f, 2}, "fixed");
    awb.bypass = 1;
    TuningBlock lsc = block("LSC_V1", 16420, 1, {4, 4}, "null");
    lsc.bypass = 1;
    tuning.blocks = {ae,
                     cmc,
                     awb,
                     lsc,
                     block("XTM_V1", 16440, 2, {0.75f}, "fixed"),
                     block("RGBGAIN_V1", 16450, 1, {1, 1, 1}, "null"),
                     trg};
    tuning.bypassLists = {{"prv", {{"CMC10_V1", 1}, {"TRG_AFL", 0}}},
                          {"cap", {{"CMC10_V1", 0}, {"TRG_AFL", 2}}},
                          {"com", {{"CMC", 3}}}};
    return tuning;
}

GeneratedRecording GenerateRecording(const Options& given) {
    GeneratedRecording recording;
    recording.options = Filled(given);
    const Options& options = recording.options;
    bool sized = options.width >= 4 && options.height >= 1;
    for (const TaskOptions& task : options.tasks) {
        sized &= (task.width == 0 && task.height == 0) || (task.width >= 4 && task.height >= 1);
    }
    if (options.outputFolder.empty() || !sized) {
        recording.error = "an output folder and raw sizes of at least 4 x 1 are needed";
        return recording;
    }
    const TuningOptions& tuning = options.tuning;
    if (!tuning.name.empty() &&
        (tuning.name.find('/') != std::string::npos || tuning.name.find("..") != std::string::npos ||
         tuning.firmwareRoot.empty() || tuning.binRoot.empty())) {
        recording.error = "a tuning needs a folder name without \"/\" and \"..\", a firmware root and a bin root";
        return recording;
    }
    try {
        fs::create_directories(options.outputFolder);
        recording.taskListPath = options.taskListPath;
        fs::create_directories(fs::path(recording.taskListPath).parent_path());
        recording.ispConfigPath = options.outputFolder + "/ispconfig.xml";
        std::vector<IspBlock> listed = options.blocks;
        if (!options.tuning.name.empty()) WriteTuning(options, recording, listed);
        WriteBlockList(recording.ispConfigPath, listed);
        int serial = 0;
        for (int t = 0; t < options.taskCount; ++t) {
            const TaskOptions& given = options.tasks[static_cast<size_t>(t)];
            TaskFiles task;
            task.index = t;
            task.outputPath = given.outputPath;
            fs::create_directories(task.outputPath);
            for (int i = 0; i < given.frames; ++i, ++serial) {
                const std::string folder = options.outputFolder + "/recording/task" + std::to_string(t) + "/frame" +
                                           std::to_string(i);
                if (given.missing) {
                    FrameFiles named;
                    named.serial = serial;
                    named.task = t;
                    named.index = i;
                    named.written = false;
                    named.folder = folder;
                    recording.frames.push_back(named);
                } else {
                    recording.frames.push_back(WriteFrame(options, folder, serial, t, i));
                }
                task.frames.push_back(serial);
            }
            if (!task.frames.empty() && !given.missing) {
                task.scenePath = recording.frames[task.frames.front()].folder + "/iscene_Info.xml";
                WriteSceneFile(task.scenePath, SizedFor(options, task.frames.front()), given.scene, t);
            }
            recording.tasks.push_back(std::move(task));
        }
        WriteTaskList(recording);
        recording.ok = true;
    } catch (const std::exception& failure) {
        recording.error = failure.what();
    }
    return recording;
}

}  // namespace zeb_recgen
