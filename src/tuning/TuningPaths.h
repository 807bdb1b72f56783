#pragma once
// The fixed folders of the tuning update and the rules for the names that
// become folder and file names below them.
#include <cstdint>
#include <string>

namespace ZEB {

constexpr const char* kTuningTag = "ParameterUpdate";
// Fixed device paths; on the host below the device root.
constexpr const char* kFirmwareRoot = "/vendor/firmware";
constexpr const char* kParamRoot = "/data/vendor/cameraserver/zeb/tuningparameter/";
constexpr const char* kBinRoot = "/data/vendor/cameraserver/zeb/tuningbin/";

// The file a tuning entry's output folder holds when its combination was not
// installed: what failed and the combination's files, one per line. The
// entry was then played under the tuning installed before.
constexpr const char* kTuningFailedMarker = "TUNING_NOT_INSTALLED.txt";
// What the five update flags hold after a combination that was not installed
// (after one that was: 1 for a block kind with tuning, else 0).
constexpr int32_t kTuningNotInstalled = -1;

// A tuning name or scenario alias must stay one folder level below its root:
// one holding "/" or "..", or "." itself, could reach anything.
inline bool LeavesItsRoot(const std::string& name) {
    return name == "." || name.find('/') != std::string::npos || name.find("..") != std::string::npos ||
           name.find('\0') != std::string::npos;
}
// A tuning name is a folder of its own below each tuning root: not empty.
inline bool IsTuningName(const std::string& name) {
    return !name.empty() && name.size() <= 255 && !LeavesItsRoot(name);
}

// The name a tuning file gets in the scenario folders: what follows the first
// underscore of its own name ("/t/Frame0_AE_16433.xml" gives "AE_16433.xml"),
// or its whole name without one. The folders of the path never count.
inline std::string TranslatedName(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t underscore = file.find('_');
    return underscore == std::string::npos ? file : file.substr(underscore + 1);
}

}  // namespace ZEB
