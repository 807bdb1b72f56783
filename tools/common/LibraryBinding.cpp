#include "common/LibraryBinding.h"

#include <dlfcn.h>

#include <filesystem>

namespace zeb_tools {

const char* const kSetDeviceReadySymbol = "_ZN3ZEB26SimulationControlInterface14SetDeviceReadyEb";

SetDeviceReadyFunc ResolveSetDeviceReady(void* library) {
    return reinterpret_cast<SetDeviceReadyFunc>(dlsym(library, kSetDeviceReadySymbol));
}

bool LibraryBinding::Load(const std::string& path, std::string* error) {
#ifdef ZEB_SANITIZED
    // The sanitizers' dlopen interceptor, not the library, becomes the caller
    // of the library's dlopen("libcorvale.so"), so the library's run path (its
    // own folder) is not searched. Load the plugin lying beside the library
    // first: its name then answers the library's load as the run path would.
    const std::string plugin = (std::filesystem::path(path).parent_path() / "libcorvale.so").string();
    if (std::filesystem::exists(plugin)) mPlugin = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    mLibrary = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!mLibrary) {
        *error = std::string("cannot load the library: ") + dlerror();
        return false;
    }
    std::string missing;
#define ZEB_TOOLS_RESOLVE(name)                                                               \
    mEntries.name = reinterpret_cast<decltype(mEntries.name)>(dlsym(mLibrary, #name));       \
    if (!mEntries.name) missing += std::string(missing.empty() ? "" : ", ") + #name;
    ZEB_ENTRY_POINTS(ZEB_TOOLS_RESOLVE)
#undef ZEB_TOOLS_RESOLVE
    mEntries.SetDeviceReady = ResolveSetDeviceReady(mLibrary);
    if (!mEntries.SetDeviceReady) {
        missing += std::string(missing.empty() ? "" : ", ") + "SimulationControlInterface::SetDeviceReady";
    }
    if (!missing.empty()) {
        *error = "entry points missing from " + path + ": " + missing;
        return false;
    }
    return true;
}

void LibraryBinding::Close() {
    if (mLibrary) dlclose(mLibrary);
    if (mPlugin) dlclose(mPlugin);
    mLibrary = nullptr;
    mPlugin = nullptr;
    mEntries = LibraryEntries();
}

}  // namespace zeb_tools
