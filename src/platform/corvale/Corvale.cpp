// libcorvale.so: the converter plugin the tuning updater loads at run time.
// It converts the 3A blocks of a tuning XML folder, which XML2BinAdapter
// leaves to it, in the same binary tuning format.
#include <type_traits>

#include "platform/Log.h"
#include "platform/TuningBin.h"

extern "C" __attribute__((visibility("default"))) int cfgxmlparse(const char* xmlDir, const char* binDir) {
    if (!xmlDir || !binDir) {
        ZLOG("corvale", 1, "%d, %s: refused: folders %s, %s", xmlDir ? xmlDir : "(null)", binDir ? binDir : "(null)");
        return -1;
    }
    return zeb_platform::ConvertTuningFolder(xmlDir, binDir, zeb_platform::TuningBlocks::ThreeA);
}

// The entry is called through this type.
static_assert(std::is_same<decltype(&cfgxmlparse), cfgxmlparse_fn>::value, "cfgxmlparse has the plugin entry's type");
