// A binary tuning file: the input is its name, then after a NUL its bytes.
// The sensor side reads and checks it (header kind by name, magic, header
// size, length, checksum, block id); the bypass patcher then rewrites its
// bypass word in place, which must leave a valid file valid with the new word.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "platform/TuningBin.h"
#include "tuning/ParameterUpdate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One updater serves every input: patching keeps no state. It is
    // destroyed at exit, which joins its start-up thread.
    static ZEB::ParameterUpdate updater(0, nullptr);
    ZEB::ParameterUpdate* const update = &updater;
    const auto [name, contents] = zeb_fuzz::SplitAtNul(data, size);
    const std::vector<uint8_t> bytes(contents.begin(), contents.end());
    const zeb_platform::TuningBin before = zeb_platform::DecodeTuningBin(name, bytes);

    const std::string path = zeb_fuzz::Write("bin/tuning.bin", contents);
    const int32_t status = bytes.empty() ? 1 : static_cast<int32_t>(bytes.back()) - 128;
    if (zeb_platform::IsTriggerTuningName(name)) {
        update->ChangeTrgBypassStatusForBin(path, status);
    } else {
        update->ChangeBypassStatusForBin(path, status);
    }
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> patched{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (patched.size() != bytes.size()) abort();  // the patch never changes a file's length
    const zeb_platform::TuningBin after = zeb_platform::DecodeTuningBin(name, patched);
    if (before.ok && (!after.ok || after.bypass != status || after.values.size() != before.values.size())) abort();
    return 0;
}
