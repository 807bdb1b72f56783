#pragma once
// Where a written recording ends up, and what its files call the paths.
//
// A recording is written into a staging folder beside its target and moved
// into place only once every file of it was written, so a failed or refused
// run leaves nothing behind and never mixes with a recording already there.
//
// Host layout: the recording's folder anywhere on this host; its files name
// absolute host paths, so it plays where it was written.
// Device layout: the device's own tree below a root folder, the task list at
// data/vendor/cameraserver/zeb/config/RawListFile.xml and frames, output and
// tuning tasks under data/vendor/cameraserver/zeb/; its files name device
// paths (/data/vendor/...), so the root can be moved or pushed to a device
// as it is, and the library on this host finds the files below
// ZEB_DEVICE_ROOT.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace zeb_recgen {

// The folder of the device holding a recording in the device layout.
extern const char* const kDeviceRecordingFolder;  // "/data/vendor/cameraserver/zeb"

struct Placement {
    std::string outputFolder;  // host layout: the recording's folder
    std::string deviceRoot;    // device layout (when outputFolder is empty): the root of the device's tree
    std::string taskListPath;  // host layout: where the task list goes; default <outputFolder>/RawListFile.xml
    bool force = false;        // replace a recording the target already holds
};

// Writes the files of a recording into `folder` with its task list at
// `taskListPath` (inside it), as GenerateRecording and ImportDng do.
using RecordingWriter = std::function<GeneratedRecording(const std::string& folder, const std::string& taskListPath)>;

// Writes through `write` into a staging folder, rewrites the paths its XML
// files name to the final ones (host paths, or device paths), checks the
// task output paths against the dump root property (an error in the device
// layout, a warning in `warnings` in the host layout) and moves the files
// into place. The returned record names the files where they are now.
GeneratedRecording PlaceRecording(const Placement& placement, const RecordingWriter& write,
                                  std::vector<std::string>* warnings = nullptr);

// Copies the recording whose task list is at `taskListPath` (frames, block
// list, tuning tasks and their parameter files) into the device layout
// below placement.deviceRoot. Relative paths in its files are taken from
// the current folder, then from the task list's folder.
GeneratedRecording RelocateRecording(const std::string& taskListPath, const Placement& placement,
                                     std::vector<std::string>* warnings = nullptr);

// Replaces, in every element text of every .xml file below `folder` (and in
// the extra files given), a leading path `from` (the whole text, or followed
// by "/") by `to`; the first matching pair of `map` wins. Throws
// std::runtime_error when a file cannot be rewritten.
void RewritePathTexts(const std::string& folder, const std::vector<std::pair<std::string, std::string>>& map);

}  // namespace zeb_recgen
