#pragma once
// Writes recordings the way a device records them: per frame a folder with the
// packed RAW10 image (lines back to back), the NV21 reference image and every
// dump file of the frame's data-file table; per task a scene information file;
// and a task list naming them all. Every byte is reproducible from the options,
// so a test can tell which frame's bytes arrived where.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zeb_recgen {

// Colour of the top-left pixel of each 2 x 2 cell; the value is the sensor's
// pattern number as the HAL context carries it.
enum class BayerPattern : uint32_t { RGGB = 0, GRBG = 1, GBRG = 2, BGGR = 3 };

// "RGGB", "GRBG", "GBRG", "BGGR": the names the task list carries.
const char* BayerPatternName(BayerPattern pattern);
bool ParseBayerPattern(const std::string& name, BayerPattern* pattern);

// Values written into a task's iscene_Info.xml (the rest are zero).
struct SceneValues {
    uint32_t camId = 0;
    float zoomRatio = 1.0f;
    int32_t appMode = 0;
    int32_t topAppId = 0;
    int32_t zoltAppModeId = 0;
    uint64_t prvScenarioId = 0x1a;
    uint64_t capScenarioId = 0x2b;
    int32_t deviceOrientation = 0;
    int32_t sessionMode = 0;
    int32_t bv = 520;
    uint32_t sensorGain = 1024;
    uint32_t ispGain = 256;
    uint32_t awbCt = 5100;
    uint32_t ablWeight = 0;
    uint32_t atmGain = 0;
    uint32_t gtmGain = 0;
    int32_t aiSceneType = 3;
    int32_t isHdrScene = 0;
    int32_t isMfnrScene = 0;
    int32_t isMfnrHdrScene = 0;
    uint32_t postprocType = 0;
    std::optional<int32_t> normalNum;  // default: totalNum
    uint32_t totalNum = 1;
    int32_t mergeFrameNum = 1;
    int32_t jpegOrientation = 0;
    float ev = 0.0f;
    // The HDR detector's output: up to ten EVs (the rest zero) and its choices.
    std::vector<float> hdrEvs;
    uint32_t hdrFrameNum = 0;
    uint32_t tuningParamIndex = 0;
    uint32_t sceneChosen = 0;
    uint32_t faceCount = 1;
    // Groups of five: face index, then its four coordinates. Empty: one face
    // in the middle of the picture when faceCount is not zero.
    std::vector<int32_t> facesPrev;
    std::vector<int32_t> facesCap;
    uint32_t aeMode = 1;
    uint32_t flashMode = 0;
    uint32_t lcdFlashMode = 0;
};

// Which lens shading result format the device produced: "ALSC 3" marks the
// LSC result valid (the LSC 4 one too, as such devices write both), "ALSC 4"
// the LSC 4 result only, None neither.
enum class LscFormat { None, Alsc3, Alsc4 };

// One block of the block configuration list, with its tuning XML document
// <name>_<id>.xml: `<name block= id= bypass=><value>v0</value><table>v1 ...</table>`.
struct TuningBlock {
    std::string name;
    uint64_t id = 0;  // hexadecimal in the configuration list, decimal in file names
    uint32_t state = 1;
    std::vector<float> values = {1.0f};  // the first is <value>, the others <table>
    int32_t bypass = 0;                  // the document's bypass word
    // A sweep of <value> (sync mode: |to - from| / step + 1 alternatives) in a
    // tuning task file; without one, `tuning` is the configuration's text.
    bool sweep = false;
    float from = 0, to = 0, step = 0;
    std::string tuning = "null";
};

// A sensor's firmware tuning folder <firmwareRoot>/<name>/: "cfg.xml" with a
// preview and a capture scenario, a folder per scenario and "com" holding
// every block's initial binary; the per-scenario bypass lists
// <binRoot>/<name>/<alias>.xml; and the blocks in the configuration list.
struct TuningOptions {
    std::string name;  // empty: no tuning is written
    std::string firmwareRoot;  // the device's /vendor/firmware
    std::string binRoot;       // the device's /data/vendor/cameraserver/zeb/tuningbin
    std::string previewAlias = "prv";
    std::string captureAlias = "cap";
    uint64_t previewScenario = 0x1a;  // as SceneValues has them
    uint64_t captureScenario = 0x2b;
    std::vector<TuningBlock> blocks;
    // Scenario alias ("com" too) -> block name -> bypass status.
    std::map<std::string, std::map<std::string, int>> bypassLists;
};

// One task described on its own.
struct TaskOptions {
    int frames = 1;        // folders the task list names, 0 to 10
    bool missing = false;  // the folders are named but not written
    SceneValues scene;     // in the first folder's iscene_Info.xml
    std::string outputPath;  // default: <outputFolder>/results/ZEB_task<t>
    // Raw size of this task's frames, its YUV image of the same size; 0: the
    // recording's sizes.
    int width = 0;
    int height = 0;
    LscFormat lscFormat = LscFormat::Alsc4;
};

// One block of the block configuration list.
struct IspBlock {
    std::string name;
    uint64_t id = 1;
    uint32_t state = 0;  // 3: the block's recorded result is used as is
    std::string dump = "off";
    std::string tuning = "null";  // tuning task file, "null" for none
};

// AWB, ALSC and a tone-mapping block in fixed mode: the HAL's results of these
// algorithms are replaced by the recorded ones.
std::vector<IspBlock> Fixed3ABlocks();

struct Options {
    std::string outputFolder;  // everything goes below it, except what is given its own path
    int width = 4000;
    int height = 3000;
    int yuvWidth = 0;  // 0: the raw size
    int yuvHeight = 0;
    int framesPerTask = 1;  // folders per task, 1 to 10
    int taskCount = 1;
    BayerPattern pattern = BayerPattern::RGGB;
    std::string mode = "Preview";  // the task list's play mode
    bool writeUnpackedRaw = false;  // also a 16-bit ".raw" per frame
    // Sizes of the variable-size dumps by data-file row (afm, pdaf, LSC
    // tables, statistics); rows not given keep their default size.
    std::map<int, uint32_t> variableSizes;
    SceneValues scene;
    LscFormat lscFormat = LscFormat::Alsc4;
    std::vector<IspBlock> blocks;  // the block configuration list
    // When not empty, the tasks one by one; taskCount, framesPerTask, scene
    // and lscFormat are then not used. Otherwise filled from them.
    std::vector<TaskOptions> tasks;
    // Last word on a dump's bytes (frame serial, data-file row, bytes).
    std::function<void(int, int, std::vector<uint8_t>&)> customizeDump;
    std::string taskListPath;  // default: <outputFolder>/RawListFile.xml
    TuningOptions tuning;
};

struct FrameFiles {
    int serial = 0;  // position among all frames of the recording, from 0
    int task = 0;
    int index = 0;  // position within its task
    bool written = true;  // false: named in the task list, not on disk (no file paths)
    std::string folder;
    std::string rawPath;
    std::string yuvPath;
    std::map<int, std::string> dumpPaths;  // by data-file row
};

// A frame's record with its folder made; its files are named by the callers.
FrameFiles NewFrameFiles(const std::string& folder, int serial, int task, int index);
// "<folder>/IMG_<W>x<H>_<serial><suffix>": the size the reader takes from the name.
std::string ImagePath(const std::string& folder, int width, int height, int serial, const char* suffix);
// Writes the bytes whole or throws.
void WriteBytes(const std::string& path, const void* data, size_t size);

struct TaskFiles {
    int64_t index = 0;
    std::vector<int> frames;  // serials
    std::string outputPath;
    std::string scenePath;  // empty when the task has no folder on disk
};

struct GeneratedRecording {
    bool ok = false;
    std::string error;
    Options options;  // as used, defaults filled in
    std::string taskListPath;
    std::string ispConfigPath;
    std::string tuningFolder;  // the firmware tuning folder, when written
    std::vector<TaskFiles> tasks;
    std::vector<FrameFiles> frames;
};

GeneratedRecording GenerateRecording(const Options& options);

// The scene file and the task list as GenerateRecording writes them, for
// recordings put together elsewhere (DNG import). The task list also names
// the sensor's Bayer pattern (element "pattern" of "input", which the library
// does not read) so that a HAL emulator can give its context the same one.
// Both throw std::runtime_error when the file cannot be written.
void WriteSceneInfoFile(const std::string& path, int width, int height, const SceneValues& scene, int64_t task);
void WriteTaskListFile(const GeneratedRecording& recording);

// A tuning for the sensor of a device root that sweeps two blocks: "AE_V5"
// (id 16433, a 3A block, <value> 1 and 2) and "CMC10_V1" (id 16500, <value>
// 10, 20 and 30); initial <value>s 0.5 and 5. Beside them blocks that give the
// update flags awb, cmc and xtm (not rgbgain, lsc), one of each bypass state
// (AWB_V2 and LSC_V1 start bypassed), a trigger block "TRG_AFL_V3" (16410,
// bypassed), and bypass lists per scenario.
TuningOptions SweepTuning(const std::string& name, const std::string& deviceRoot);

// Expected contents, computed again from the options; a frame's sizes are
// those of its task.
std::vector<uint16_t> RenderBayer(const Options& options, int serial);  // 10-bit mosaic
std::vector<uint8_t> RenderPackedRaw(const Options& options, int serial);  // lines back to back
std::vector<uint8_t> RenderNv21(const Options& options, int serial);
size_t DumpSize(const Options& options, int row);
std::vector<uint8_t> DumpContent(const Options& options, int serial, int row);

// Which frame and row a dump's bytes came from: its first 16 bytes are "ZEBD",
// the row, the frame serial and the size (32-bit little-endian each). The 3A
// results (AE, AWB, LSC, tables, XTM) carry no tag: they hold plausible device
// values there (layouts in ThreeARecords.h).
struct DumpTag {
    bool valid = false;
    int serial = -1;
    int row = -1;
    uint32_t size = 0;
};
DumpTag DecodeDumpTag(const uint8_t* bytes, size_t size);
bool IsThreeAResultRow(int row);

// The frame serial carried by the first four pixels of a raw image's first
// line (packed), or -1 when they hold no tag.
int DecodeRawTag(const uint8_t* packedLine);

// A half-size colour picture of a packed raw image (one pixel per 2 x 2 cell),
// so what the sensor path carries can be looked at.
bool WriteRawPreviewPng(const std::string& path, const uint8_t* packed, int width, int height, size_t stride,
                        BayerPattern pattern, std::string* error = nullptr);

}  // namespace zeb_recgen
