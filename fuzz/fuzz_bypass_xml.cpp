// A bypass list (<BypassBlocks>), read by a tuning updater of its own (its
// table only grows).
#include "FuzzSupport.h"
#include "tuning/ParameterUpdate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = zeb_fuzz::Write("bypass/prv.xml", data, size);
    ZEB::ParameterUpdate update(0, nullptr);
    update.WaitStartup();
    update.TuningBinBypassStatusXMLParser(path);
    return 0;
}
