// The dump files of a generated frame: tagged filler for most rows, and for
// the 3A result rows the values a device's algorithms would have left.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "core/records/Field.h"
#include "core/records/SceneRecords.h"
#include "core/records/ThreeARecords.h"
#include "frame/ZEBFrame.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace zeb_recgen {
namespace {

constexpr size_t kDumpHeader = 16;

// Control words other modules act on: left zero so a recording plays the
// ordinary path (no highlight non-ZSL capture, no UltraRes skip).
constexpr size_t kHighlightNoZslOffset = ZEB::SceneDetectOut::kIsHighlightNozsl;
constexpr size_t kUltraResShutterOffset = ZEB::SceneRecord::kUltraResShutter;

const std::map<int, uint32_t> kDefaultVariableSizes = {
    {ZEB::DF_AFM, 24576},          {ZEB::DF_PDAF, 32768},          {ZEB::DF_LSC_RESULT_TABLE_INFO, 16896},
    {ZEB::DF_HIST2_DATA_INFO, 4096}, {ZEB::DF_GTMHIST_DATA_INFO, 1024}, {ZEB::DF_AEM_DATA_INFO, 98304},
    {ZEB::DF_LSCM_DATA_INFO, 16384}, {ZEB::DF_LSC_RESULT_WTABLE_INFO, 16896},
};

void Put32(uint8_t* to, uint32_t value) {
    for (int i = 0; i < 4; ++i) to[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const uint8_t* from) {
    return from[0] | from[1] << 8 | from[2] << 16 | static_cast<uint32_t>(from[3]) << 24;
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
    using namespace ZEB;
    const size_t size = bytes.size();
    uint8_t* b = bytes.data();
    const uint64_t timestamp = 1700000000000000000ull + static_cast<uint64_t>(serial) * 33333333ull;
    const int32_t frameId = 1000 + 4 * serial + 1;
    switch (row) {
        case ZEB::DF_AE_RESULT_INFO: {
            if (size < AeResult::kSize) return;
            const float ev = static_cast<size_t>(index) < task.scene.hdrEvs.size() ? task.scene.hdrEvs[index] : 0.0f;
            const int32_t gain = 128 * (2 + serial % 4);
            WriteField<int32_t>(b, AeResult::kBv, task.scene.bv + 12 * index - serial % 3);
            WriteField<uint32_t>(b, AeResult::kLum, static_cast<uint32_t>(std::lround(72 * std::pow(2.0, ev / 2))) + serial % 5);
            WriteField<float>(b, AeResult::kEv, ev);
            WriteField<int32_t>(b, AeResult::kFrameId, frameId);
            WriteField<int32_t>(b, AeResult::kGain, gain);
            WriteField<int32_t>(b, AeResult::kIso, gain * 100 / 128);
            b[AeResult::kHdrStep] = 0;
            WriteField<int32_t>(b, AeResult::kNextFrameId, frameId + 1);
            WriteField<uint64_t>(b, AeResult::kTimestamp, timestamp);
            WriteField<uint32_t>(b, AeResult::kExposureLine, 1480 + 16 * static_cast<uint32_t>(serial % 8));
            WriteField<uint32_t>(b, AeResult::kLcgGain, 1024);
            WriteField<uint32_t>(b, AeResult::kFlashState, 0);
            WriteField<uint32_t>(b, AeResult::kHdrStepFlag, 0);
            WriteField<int32_t>(b, AeResult::kSensorFrameId, frameId);
            WriteField<int32_t>(b, AeResult::kStatsFrameId, frameId);
            WriteField<int32_t>(b, AeResult::kOfflineCurFrameId, frameId - 1);
            WriteField<uint64_t>(b, AeResult::kSofTimestamp, timestamp - 8000000);
            return;
        }
        case ZEB::DF_AWB_CALC_INFO: {
            if (size < AwbCalc::kSize) return;
            WriteField<uint32_t>(b, AwbCalc::kGainR, 1880 + 8 * static_cast<uint32_t>(serial % 5));
            WriteField<uint32_t>(b, AwbCalc::kGainG, 1024);
            WriteField<uint32_t>(b, AwbCalc::kGainB, 1540 - 6 * static_cast<uint32_t>(serial % 5));
            WriteField<uint32_t>(b, AwbCalc::kCt, 5100 - 25 * static_cast<uint32_t>(serial % 4));
            const int16_t ccm[9] = {1700, -520, -156, -260, 1540, -256, -30, -590, 1644};
            for (int i = 0; i < 9; ++i) WriteField<int16_t>(b, AwbCalc::kCcm + 2 * i, ccm[i]);
            WriteField<uint64_t>(b, AwbCalc::kTimestamp, timestamp);
            WriteField<uint32_t>(b, AwbCalc::kStatsIndex, static_cast<uint32_t>(serial));
            WriteField<uint32_t>(b, AwbCalc::kFrameId, static_cast<uint32_t>(frameId));
            return;
        }
        case ZEB::DF_LSC_RESULT_INFO:
            if (size < LscResult::kSize) return;
            WriteField<uint32_t>(b, LscResult::kTableIndex, 2 + static_cast<uint32_t>(serial % 3));
            WriteField<uint16_t>(b, LscResult::kGridSize, 32);
            WriteField<uint64_t>(b, LscResult::kValid, task.lscFormat == LscFormat::Alsc3 ? 1 : 0);
            return;
        case ZEB::DF_LSC4_RESULT_INFO: {
            if (size < Lsc4Result::kSize) return;
            const uint32_t grid[5] = {32, 32, 24, 4, 2}, weight[3] = {512, 320, 192};
            WriteField<uint32_t>(b, Lsc4Result::kBypass, 0);
            WriteField<uint32_t>(b, Lsc4Result::kUpdateAll, 1);
            for (int i = 0; i < 5; ++i) WriteField<uint32_t>(b, Lsc4Result::kGrid + 4 * i, grid[i]);
            for (int i = 0; i < 3; ++i) WriteField<uint32_t>(b, Lsc4Result::kWeight + 4 * i, weight[i] + static_cast<uint32_t>(serial % 4));
            WriteField<uint64_t>(b, Lsc4Result::kValid, task.lscFormat == LscFormat::None ? 0 : 1);
            WriteField<uint32_t>(b, Lsc4Result::kGridWidthX, 128);
            WriteField<uint32_t>(b, Lsc4Result::kGridWidthY, 96);
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
                const double middle = static_cast<double>(rows - 1) / 2.0;
                const double dy = (static_cast<double>(cell / 32) - middle) / std::max(middle, 1.0);
                const double r2 = (dx * dx + dy * dy) / 2;
                const double value = row == ZEB::DF_LSC_RESULT_TABLE_INFO ? 1024 + static_cast<double>(600 + 40 * channel) * r2 + serial % 3
                                                                           : 1024 - 300 * r2 - serial % 3;
                WriteField<uint16_t>(b, 2 * k, static_cast<uint16_t>(std::lround(value)));
            }
            return;
        }
        case ZEB::DF_XTM_RESULT_INFO: {
            if (size < XtmResult::kSize) return;
            const uint16_t gtm[8] = {16, 1008, static_cast<uint16_t>(2 + serial % 3), static_cast<uint16_t>(512 + 4 * (serial % 8)),
                                     640, 96, 24, 3};
            for (int i = 0; i < 8; ++i) WriteField<uint16_t>(b, XtmResult::kGtm + 2 * i, gtm[i]);
            WriteField<uint16_t>(b, XtmResult::kGtmTarget, static_cast<uint16_t>(118 + serial % 4));
            WriteField<uint16_t>(b, XtmResult::kGtmStrength, 6);
            // 64 tiles of 128 bins, each tile's curve rising with its own slope.
            for (size_t k = 0; k < XtmResult::kLtmSize / 2; ++k) {
                const size_t tile = k / 128, bin = k % 128;
                const size_t slope = 1000 + 24 * (tile % 8) + 8 * (tile / 8) + 2 * static_cast<size_t>(serial % 4);
                WriteField<uint16_t>(b, XtmResult::kLtm + 2 * k, static_cast<uint16_t>(std::min<size_t>(bin * 8 * slope / 1024, 1023)));
            }
            WriteField<uint32_t>(b, XtmResult::kLtmTiles, 64);
            for (size_t i = 0; i < XtmResult::kCurveSize / 2; ++i) {
                const double x = static_cast<double>(i) / 255;
                WriteField<uint16_t>(b, XtmResult::kCurve + 2 * i, static_cast<uint16_t>(std::lround(1023 * (3 * x * x - 2 * x * x * x))));
            }
            for (size_t i = 0; i < XtmResult::kGammaPoints; ++i) {
                const double value = 1023 * std::pow(static_cast<double>(i) / 256, 1 / 2.2) + (i ? serial % 3 : 0);
                WriteField<uint16_t>(b, XtmResult::kGamma + 2 * i, static_cast<uint16_t>(std::min<long>(std::lround(value), 1023)));
            }
            return;
        }
        default:
            return;
    }
}

}  // namespace

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

DumpTag DecodeDumpTag(const uint8_t* bytes, size_t size) {
    DumpTag tag;
    if (!bytes || size < kDumpHeader || memcmp(bytes, "ZEBD", 4) != 0) return tag;
    tag.valid = true;
    tag.row = static_cast<int>(Get32(bytes + 4));
    tag.serial = static_cast<int>(Get32(bytes + 8));
    tag.size = Get32(bytes + 12);
    return tag;
}

}  // namespace zeb_recgen
