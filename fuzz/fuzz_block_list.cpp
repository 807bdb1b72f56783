// The block configuration list, as the task manager reads it and names its blocks.
#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "parameter/XmlSchema.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = zeb_fuzz::Write("ispconfig.xml", data, size);
    ZEB::ConfigReader reader;
    std::vector<ZEB::IspInfo> blocks;
    reader.ParseIspConfigList(path.c_str(), &blocks, &ZEB::IspConfiginfo);
    // What the task manager makes of each block: its names as texts.
    for (const ZEB::IspInfo& block : blocks) {
        if (ZEB::IspText(block.name).size() + ZEB::IspText(block.tuning).size() > 2 * ZEB::kIspTextSize) abort();
    }
    return 0;
}
