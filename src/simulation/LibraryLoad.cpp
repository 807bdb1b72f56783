// What runs when the HAL loads the library: the parameter modules are created
// and registered here, in one place and in a fixed order, so the order never
// depends on how the linker lays out static initialisers.
#include "parameter/ParameterManager.h"

namespace ZEB {
namespace {

struct LibraryLoad {
    LibraryLoad() {
        // The registry is built on first use, before any module registers.
        (void)ParameterManager::RegisteredNames();
    }
};

const LibraryLoad gLoad;

}  // namespace
}  // namespace ZEB
