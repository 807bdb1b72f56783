// A tuning XML document as the host converter reads it. What it accepts must
// encode to a binary tuning file the sensor side reads back with the same
// block id, bypass word and values; nesting of any depth must neither exhaust
// the stack nor grow what is written.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/TuningBin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = zeb_fuzz::Write("xml/block.xml", data, size);
    const zeb_platform::TuningDocument document = zeb_platform::ReadTuningDocument(path);
    if (!document.ok) return 0;
    const std::vector<uint8_t> bytes = zeb_platform::EncodeTuningBin(document);
    const std::string name = zeb_platform::TuningBinName(document.block, document.id);
    const zeb_platform::TuningBin bin = zeb_platform::DecodeTuningBin(name, bytes);
    if (!bin.ok || bin.id != document.id || bin.bypass != document.bypass ||
        bin.values.size() != document.values.size()) {
        abort();
    }
    if (!bin.values.empty() && memcmp(bin.values.data(), document.values.data(), 4 * bin.values.size()) != 0) abort();
    // Every value came from at least one character of the input.
    if (document.values.size() > size) abort();
    return 0;
}
