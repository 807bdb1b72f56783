#pragma once
// What the pieces of the recording generator share among themselves: the
// option filling, the colour sites of a pattern, the XML helpers, and the
// writers GenerateRecording calls. Not for use outside zebsim-recgen/lib;
// the contract is RecordingGenerator.h.
#include <pugixml.hpp>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace zeb_recgen {
namespace parts {

// The options with every default filled in and the tasks laid out one by one.
Options Filled(const Options& options);
// The filled options with the sizes of the task that frame `serial` belongs to.
Options SizedFor(const Options& filled, int serial);

// Channel index (0 R, 1 G, 2 B) of each site of a 2 x 2 cell, by pattern.
inline constexpr int kSites[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};

// Samples packed as RAW10 lines, back to back.
std::vector<uint8_t> PackedLines(const std::vector<uint16_t>& samples, int width, int height);

template <typename T>
void Add(pugi::xml_node group, const char* name, T value) {
    group.append_child(name).text().set(value);
}

inline void AddText(pugi::xml_node group, const char* name, const std::string& value) {
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

std::string Hex(uint64_t value);

void WriteSceneFile(const std::string& path, const Options& options, const SceneValues& s, int64_t task);
void WriteTaskList(const GeneratedRecording& recording);
void WriteBlockList(const std::string& path, const std::vector<IspBlock>& list);

// The configuration list, the tuning documents and tuning tasks, the
// firmware tuning folder with its initial binaries and the bypass lists.
void WriteTuning(const Options& options, GeneratedRecording& recording, std::vector<IspBlock>& listed);

}  // namespace parts
}  // namespace zeb_recgen
