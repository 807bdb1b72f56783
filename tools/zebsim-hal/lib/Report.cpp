// The emulator's outputs: report.json and a PNG of the first frame of each task.
#include <png.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "zebsim-hal/lib/HalEmulator.h"

namespace zeb_hal {

std::string WriteReport(const EmulatorOptions& options, const RunReport& report) {
    nlohmann::json tasks = nlohmann::json::array();
    int preview = 0, capture = 0, matched = 0, completed = 0;
    for (const TaskReport& task : report.tasks) {
        tasks.push_back({{"frameId", task.id},
                         {"mode", task.mode},
                         {"expectedFrames", task.expectedFrames},
                         {"previewFrames", task.previewFrames},
                         {"captureFrames", task.captureFrames},
                         {"matchedFrames", task.matchedFrames},
                         {"previewPassProcessed", task.previewPassProcessed},
                         {"completed", task.completed},
                         {"outputFolder", task.outputFolder},
                         {"queriesChecked", task.queriesChecked},
                         {"errors", task.errors},
                         {"picture", task.picture}});
        preview += task.previewFrames;
        capture += task.captureFrames;
        matched += task.matchedFrames;
        completed += task.completed ? 1 : 0;
    }
    nlohmann::json timeline = nlohmann::json::array();
    for (const TimelineEvent& event : report.timeline) {
        timeline.push_back({{"seconds", event.seconds}, {"property", event.property}, {"value", event.value}, {"frameId", event.task}});
    }
    nlohmann::json json = {{"library", options.library},
                           {"deviceRoot", options.deviceRoot},
                           {"timeScale", options.timeScale},
                           {"cameraId", options.cameraId},
                           {"tester", options.tester},
                           {"tasks", tasks},
                           {"timeline", timeline},
                           {"totals",
                            {{"tasks", report.tasks.size()},
                             {"completedTasks", completed},
                             {"previewFrames", preview},
                             {"captureFrames", capture},
                             {"matchedFrames", matched},
                             {"errors", report.errors}}},
                           {"timedOut", report.timedOut},
                           {"deletedMidTask", report.deleted},
                           {"deleteSeconds", report.deleteSeconds},
                           {"fatal", report.fatal},
                           {"pictures", report.pictures}};
    const std::string path = options.outputDir + "/report.json";
    std::ofstream out(path);
    out << json.dump(2) << "\n";
    return out ? path : std::string();
}

namespace {
// libpng reports errors by longjmp; nothing with a destructor lives here.
bool WritePng(FILE* file, const uint8_t* rgb, int width, int height) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    volatile bool ok = false;
    if (png && info && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < height; ++y) png_write_row(png, rgb + static_cast<size_t>(y) * width * 3);
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    return ok;
}
}  // namespace

bool WriteBayerPng(const std::string& path, const std::vector<uint8_t>& packed, int width, int height, int stride) {
    if (width < 2 || height < 2 || packed.size() < static_cast<size_t>(stride) * height) return false;
    auto sample = [&](int row, int column) {
        const uint8_t* group = packed.data() + static_cast<size_t>(row) * stride + static_cast<size_t>(column / 4) * 5;
        const int k = column % 4;
        return static_cast<int>((group[k] << 2) | ((group[4] >> (2 * k)) & 3));
    };
    const int outWidth = width / 2, outHeight = height / 2;
    std::vector<uint8_t> rgb(static_cast<size_t>(outWidth) * outHeight * 3);
    for (int y = 0; y < outHeight; ++y) {
        for (int x = 0; x < outWidth; ++x) {
            // One RGGB quad: red, the mean of the two greens, blue; 10 bits to 8.
            uint8_t* pixel = rgb.data() + (static_cast<size_t>(y) * outWidth + x) * 3;
            pixel[0] = static_cast<uint8_t>(sample(2 * y, 2 * x) >> 2);
            pixel[1] = static_cast<uint8_t>(((sample(2 * y, 2 * x + 1) + sample(2 * y + 1, 2 * x)) / 2) >> 2);
            pixel[2] = static_cast<uint8_t>(sample(2 * y + 1, 2 * x + 1) >> 2);
        }
    }
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = WritePng(file, rgb.data(), outWidth, outHeight);
    return fclose(file) == 0 && written;
}

}  // namespace zeb_hal
