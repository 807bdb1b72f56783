#pragma once
// What every harness shares. Each process gets a scratch folder, which is
// also the device root: a parser that reads a path gets the input written
// there first. LLVMFuzzerInitialize (FuzzSupport.cpp) sets it up, with the
// time scale near zero and every log line formatted into /dev/null.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "parameter/ConfigReader.h"

namespace zeb_fuzz {

// This process's scratch folder, removed when the process exits normally.
const std::string& Scratch();

// Writes the bytes to `relative` below the scratch folder (its folders made)
// and returns the full path, for the parser to read.
std::string Write(const std::string& relative, const void* data, size_t size);
inline std::string Write(const std::string& relative, const std::string& text) {
    return Write(relative, text.data(), text.size());
}

// The input up to its first NUL byte, and what follows it: harnesses whose
// parser reads two things (a file and the values it is queried with, two
// files) take the second after a NUL.
std::pair<std::string, std::string> SplitAtNul(const uint8_t* data, size_t size);

}  // namespace zeb_fuzz
