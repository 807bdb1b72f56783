#pragma once
// What the emulated HAL expects to receive: the recording as it lies on the
// device, read with its own code (task list, frame folders, scene files), so
// that every byte the library hands over can be checked against the files.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zeb_hal {

struct ExpectedFrame {
    std::string folder;
    bool present = false;  // the folder exists
    int rawWidth = 0, rawHeight = 0;
    int yuvWidth = 0, yuvHeight = 0;
    std::vector<uint8_t> packedRaw;  // lines back to back, W * 5 / 4 bytes each
    std::vector<uint8_t> yuv;
    // Dump files by their name pattern ("AE_RESULT_INFO.bin", ...); absent ones are missing.
    std::map<std::string, std::vector<uint8_t>> dumps;

    // The dump padded or cut to `size` bytes, as the frame holds it.
    std::vector<uint8_t> Dump(const std::string& name, size_t size) const;
    bool Has(const std::string& name) const { return dumps.count(name) != 0; }
};

struct ExpectedTask {
    int64_t id = 0;
    std::string mode;
    std::string outputPath;  // as written in the task list (the library may stamp it)
    std::vector<ExpectedFrame> frames;
    bool hasScene = false;
    std::vector<uint8_t> scene;  // the 1,152-byte scene record the scene file describes
    uint64_t prvScenario = 0;    // its scenario ids, hexadecimal in the scene file
    uint64_t capScenario = 0;
};

// One block of the block configuration list the task list names.
struct ExpectedBlock {
    std::string name;
    uint32_t state = 0;
};

// A block the library sweeps: its tuning task, and the sweep files the
// library writes from it while it loads.
struct SweptBlock {
    std::string name;          // the tuning task's Block
    std::string documentName;  // file name part of its ParamPath: "AE_V5_16433.xml"
    std::string outputPath;    // where the sweep files "Frame<k>_<documentName>" go
    std::string binName;  // the binary tuning file its documents convert to
    std::vector<std::string> files;                // by sweep frame index, read by LoadSweeps
    std::vector<std::vector<float>> alternatives;  // their values, as the converter reads them
};

struct ExpectedTuning {
    bool listed = false;  // the block configuration list names blocks
    // Swept blocks by name, the order of the library's combinations (the
    // first varies fastest).
    std::vector<SweptBlock> swept;
    // The update flags the list gives: rgbgain, awb, lsc, cmc, xtm.
    int32_t flags[5] = {0, 0, 0, 0, 0};
    // Number of tuning entries each task plays: the product of the
    // alternatives, or 0 when a swept block has none (no entry at all).
    size_t Combinations() const;
};

// Reads the sweep files; the library writes them while it loads.
void LoadSweeps(ExpectedTuning& tuning);

struct Recording {
    std::vector<ExpectedTask> tasks;
    // The sensor's Bayer pattern as the HAL context carries it (0 RGGB, 1 GRBG,
    // 2 GBRG, 3 BGGR), from the task list's "pattern" element; RGGB without one.
    uint32_t pattern = 0;
    std::vector<ExpectedBlock> blocks;
    ExpectedTuning tuning;
    std::string error;  // set when the task list cannot be read
};

// Reads the task list at `taskListPath` and every frame folder and scene file it names.
Recording ReadRecording(const std::string& taskListPath);

// Scene record fields read by the checks.
int32_t SceneInt(const std::vector<uint8_t>& scene, size_t offset);
float SceneFloat(const std::vector<uint8_t>& scene, size_t offset);

}  // namespace zeb_hal
