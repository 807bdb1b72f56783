// A parameter file of the trigger engine, parsed, built into its lines and
// queried once: the input is the file, then after a NUL the trigger values
// (32-bit floats, one per level of each tree in turn; zeros when they run out).
#include <algorithm>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "trigger/XMLAutoParser.h"
#include "trigger/XMLParameterManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto [file, values] = zeb_fuzz::SplitAtNul(data, size);
    const std::string path = zeb_fuzz::Write("params.xml", file);
    ZEB::XMLAutoParser parser(path);
    ZEB::XMLParameterManager lines(parser.GetXMLData());
    std::vector<std::vector<float>> candidates;
    size_t used = 0;
    for (const auto& tree : lines.GetManagers()) {
        std::vector<float> candidate(tree ? static_cast<size_t>(std::max(tree->GetTriggerDepth(), 0)) : 0, 0.0f);
        for (float& value : candidate) {
            if (used + sizeof value > values.size()) break;
            memcpy(&value, values.data() + used, sizeof value);
            used += sizeof value;
        }
        candidates.push_back(std::move(candidate));
    }
    std::vector<uint32_t> out(static_cast<size_t>(std::max(lines.GetOutputLen(), 0)));
    lines.GetDataInfo(candidates, out.data());
    return 0;
}
