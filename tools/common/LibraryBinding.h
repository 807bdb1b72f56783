#pragma once
// The host tools' hold on the real libzebsim.so: loaded with dlopen as a HAL
// loads it, every flat entry point resolved by name, and the device-ready
// switch, which the library exports only as a C++ member. Unloading is left
// to the caller (Close): a tool that gives up on a library whose threads may
// still run must not take their code away under them.
#include <string>

#include "simulation/SimulationWrapper.h"

namespace zeb_tools {

// SimulationControlInterface::SetDeviceReady(bool), as the library exports it.
extern const char* const kSetDeviceReadySymbol;
using SetDeviceReadyFunc = void (*)(bool);

// The device-ready switch of a library loaded by the caller; null when it is
// not exported.
SetDeviceReadyFunc ResolveSetDeviceReady(void* library);

// The library's entry points, resolved one by one.
struct LibraryEntries {
#define ZEB_TOOLS_ENTRY_MEMBER(name) decltype(&::name) name = nullptr;
    ZEB_ENTRY_POINTS(ZEB_TOOLS_ENTRY_MEMBER)
#undef ZEB_TOOLS_ENTRY_MEMBER
    SetDeviceReadyFunc SetDeviceReady = nullptr;

    // The streaming family, copied into a client's own table of those six
    // entries (a structure with members of the same names).
    template <class Streaming>
    Streaming StreamingFamily() const {
        Streaming streaming;
        streaming.CreateSocketServer = CreateSocketServer;
        streaming.DeleteSocketServer = DeleteSocketServer;
        streaming.SettingSocketBuffer = SettingSocketBuffer;
        streaming.GettingPreviewWidth = GettingPreviewWidth;
        streaming.GettingPreviewHeight = GettingPreviewHeight;
        streaming.GettingLatestFrame = GettingLatestFrame;
        return streaming;
    }
};

class LibraryBinding {
public:
    LibraryBinding() = default;
    LibraryBinding(const LibraryBinding&) = delete;
    LibraryBinding& operator=(const LibraryBinding&) = delete;

    // Loads the library at `path` and resolves every entry point; on failure
    // `error` says why (the load's own message, or the entries missing).
    bool Load(const std::string& path, std::string* error);
    // Unloads the library, then the converter plugin loaded ahead of it.
    void Close();

    const LibraryEntries& entries() const { return mEntries; }
    // The loaded library, for the symbols a caller resolves on its own.
    void* library() const { return mLibrary; }

private:
    LibraryEntries mEntries;
    void* mLibrary = nullptr;
    void* mPlugin = nullptr;  // libcorvale.so, loaded ahead of the library under the sanitizers
};

}  // namespace zeb_tools
