#pragma once
// A tuning task: how one block's tuning parameter file varies from sweep frame
// to sweep frame. Parameters with the same sync value form a group that moves
// together; the sweep writes one complete copy of the file per sweep frame.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "parameter/ParameterManagerBase.h"

namespace ZEB {

constexpr int kMaxParamValues = 256;
// Longest element path text of a Parameter.
constexpr size_t kMaxParamPathLength = 255;
// The most sweep frames one tuning task may write, in sync and in loop mode.
// Each is a full copy of the block's parameter file, and each is played as a
// tuning entry of every task, with two settles of 8 s at least: 1,024 frames
// already keep one task busy for hours. A parameter or a loop sweep asking
// for more is refused.
constexpr int32_t kMaxSweepFrames = 1024;
// The most bytes one tuning task's sweep may write, all frames together: a
// few hundred frames of a tuning file of a few hundred kB. A larger sweep
// would fill the data partition the camera service writes to; it is refused
// before anything is written when the parameter file's size says so, and
// dropped where its writing passes the cap.
constexpr uint64_t kMaxSweepBytes = 128ull << 20;

// One Parameter: the element it addresses, and per value position where the
// value starts, ends and how far it moves each sweep frame.
struct ParamConfigInfoTag {
    std::vector<PathInfoTag> Paths;
    float From[kMaxParamValues] = {};
    float To[kMaxParamValues] = {};
    float Step[kMaxParamValues] = {};  // absolute value
    int32_t Sync = 0;
    int32_t Array = 1;  // positions used, 1 to 256
    int32_t FrameNum = 0;
    int32_t Index = 0;  // position within its ParametersConfig
};

struct SyncParamInfoTag {
    int32_t FrameNum = 0;  // the largest FrameNum of its parameters
    std::vector<ParamConfigInfoTag> Params;
};

struct ParamTaskInfoTag {
    std::map<int32_t, SyncParamInfoTag> SyncParamMap;  // ascending sync value
    std::string ParamPath;
    std::string OutputPath;  // generated file names are appended directly
    std::string Block;
    int32_t MaxFrameNum = 0;
};

// A frame count, or a frame index, of one group.
struct SyncFrameInfo {
    int32_t Frame = 0;
    int32_t Sync = 0;
};

struct FrameNumInfoTag {
    int32_t FrameId = 0;
    std::vector<SyncFrameInfo> SyncFrames;  // loop mode: each group's frame index
    bool Loop = false;
};

// Sweep frame index to generated file path.
using SweepFileMap = std::map<int32_t, std::string>;

}  // namespace ZEB
