// A recorded frame folder: the file names and sizes come from the input, one
// "NAME SIZE" per line (sizes cut to 1 MiB; file bytes of a fixed pattern).
// A line "--" begins a second folder the frame is then rebound to; a line
// "bin N" sets the binning factor the sensor driver answers with. Each folder
// is read into the frame and sent through the virtual sensor, whole and
// binned.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "FuzzSupport.h"
#include "SensorDriver.h"
#include "frame/VirtualSensorControl.h"
#include "frame/ZEBFrame.h"

namespace {

constexpr unsigned long kLargestFile = 1ul << 20;

void Send(ZEB::VirtualSensorControl& sensor, const ZEB::ZEBFramePtr& frame) {
    zeb_fuzz::SensorDriver::Get().frame = frame.get();
    sensor.SetFrame(frame);
    sensor.SetFrame(frame, sensor.GetBinningFactor());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace fs = std::filesystem;
    const std::string folders[2] = {zeb_fuzz::Scratch() + "/frame/a", zeb_fuzz::Scratch() + "/frame/b"};
    std::error_code error;
    for (const std::string& folder : folders) {
        fs::remove_all(folder, error);
        fs::create_directories(folder, error);
    }
    zeb_fuzz::SensorDriver::Get() = zeb_fuzz::SensorDriver();
    int folder = 0;
    std::istringstream lines(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<char> content;
    for (std::string line; std::getline(lines, line);) {
        if (line == "--") {
            folder = 1;
            continue;
        }
        const size_t space = line.rfind(' ');
        if (space == std::string::npos) continue;
        const std::string name = line.substr(0, space);
        const unsigned long number = strtoul(line.c_str() + space + 1, nullptr, 10);
        if (name == "bin") {
            zeb_fuzz::SensorDriver::Get().binningFactor = static_cast<int32_t>(number);
            continue;
        }
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
            name.find('\0') != std::string::npos || name.size() > 255) {
            continue;
        }
        content.resize(std::min(number, kLargestFile));
        for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 + i / 256);
        std::ofstream(folders[folder] + "/" + name, std::ios::binary).write(content.data(), content.size());
    }

    ZEB::VirtualSensorControl sensor(nullptr, 0);
    sensor.SetSensorOps(&zeb_fuzz::SensorDriver::Ioctl);
    auto frame = std::make_shared<ZEB::ZEBFrame>(folders[0]);
    Send(sensor, frame);
    if (folder == 1) {
        frame->RecycleOneFrame(folders[1]);
        Send(sensor, frame);
    }
    return 0;
}
