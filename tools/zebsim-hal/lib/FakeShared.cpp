#include "zebsim-hal/lib/FakeShared.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace zeb_hal {

namespace fake3a {

Fake3A* gFake = nullptr;

Bytes Pattern(size_t size, uint32_t salt) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + salt * 31 + 0x5b);
    return bytes;
}

void CopyField(Bytes& to, const uint8_t* from, size_t offset, size_t size) {
    memcpy(to.data() + offset, from + offset, size);
}

std::string Difference(const uint8_t* actual, const Bytes& expected) {
    for (size_t i = 0; i < expected.size(); ++i) {
        if (actual[i] != expected[i]) {
            return "byte " + std::to_string(i) + " is " + std::to_string(actual[i]) + ", not " +
                   std::to_string(expected[i]);
        }
    }
    return "";
}

// mincore, not process_vm_readv: qemu's user mode, which runs the arm64
// tests, does not have the latter.
bool Holds(const void* address, const uint8_t* expected, size_t size) {
    if (!address) return false;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = reinterpret_cast<uintptr_t>(address) & ~(page - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(address) + size;
    std::vector<unsigned char> resident((end - begin + page - 1) / page);
    if (mincore(reinterpret_cast<void*>(begin), end - begin, resident.data()) != 0) return false;
    return memcmp(address, expected, size) == 0;
}

bool Same(const uint8_t* actual, const Bytes& expected) {
    return actual && memcmp(actual, expected.data(), expected.size()) == 0;
}

}  // namespace fake3a

using namespace fake3a;

int FakeEntries::Deinit(void* handle) {
    static_cast<Fake3A::Algorithm*>(handle)->deinitCalls++;
    return 0;
}

void FakeEntries::Report(Fake3A::Algorithm& a, int64_t type, void* param, void* data) {
    if (a.callback) a.callback(&a, type, param, data);
}

int FakeEntries::WrongHandle(Fake3A::Algorithm& a) {
    gFake->Error(std::string(kAlgoNames[a.algo]) + " result callback reached the HAL with another handle");
    return 1;
}

}  // namespace zeb_hal
