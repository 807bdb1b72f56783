#pragma once
// Reading a packed raw file straight into the line stride the sensor driver
// maps, so the image is not moved again once read.
#include <cstddef>
#include <cstdint>
#include <functional>

namespace ZEB {

struct LineLayout {
    size_t lineBytes = 0;  // one line in the file, where lines lie back to back
    size_t stride = 0;     // between lines in the destination, at least lineBytes
    size_t lines = 0;
};

// Reads the first `layout.lines` lines of the open file `fd`, which holds
// `fileBytes` bytes, with positioned reads from offset 0 (the file position
// does not matter and is not moved), so that line r lands at dst + r x stride.
// The fill bytes past each line, and whatever the file does not provide (it
// is shorter, a read failed, or `stop` ended the read), are zeroed: the
// destination then holds what reading the file whole and moving its lines
// apart gives. `stop`, when set, is asked before each chunk of lines.
// Returns the file bytes placed, or -1 when a read failed.
int64_t ReadLinesToStride(int fd, int64_t fileBytes, uint8_t* dst, const LineLayout& layout,
                          const std::function<bool()>& stop);

}  // namespace ZEB
