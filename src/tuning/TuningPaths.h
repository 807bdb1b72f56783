#pragma once
// The fixed folders of the tuning update and the rules for the names that
// become folder and file names below them.
#include <string>

namespace ZEB {

constexpr const char* kTuningTag = "ParameterUpdate";
// Fixed device paths; on the host below the device root.
constexpr const char* kFirmwareRoot = "/vendor/firmware";
constexpr const char* kParamRoot = "/data/vendor/cameraserver/zeb/tuningparameter/";
constexpr const char* kBinRoot = "/data/vendor/cameraserver/zeb/tuningbin/";

// A tuning name or scenario alias must stay one folder level below its root:
// one holding "/" or ".." could reach anything.
inline bool LeavesItsRoot(const std::string& name) {
    return name.find('/') != std::string::npos || name.find("..") != std::string::npos;
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
