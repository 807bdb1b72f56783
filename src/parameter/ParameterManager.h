#pragma once
// The process-wide registry of parameter modules. Any number of
// ParameterManager objects may exist; they all act on the one registry.
// Modules are never freed by it: they live until the process ends.
#include <cstdint>
#include <string>
#include <vector>

#include "parameter/ParameterManagerBase.h"

namespace ZEB {

class ParameterManager {
public:
    // Registers `module` under `name` unless the name is taken (the first
    // module keeps it). Returns the pointer passed in.
    static intptr_t CreateParameter(const char* name, ParameterManagerBase* module);
    static ParameterManagerBase* GetInstance(const char* name);

    void* GetParameter(void* arg, const char* name);
    ZebStatusTag* GetStatus(void* arg, const char* name);
    int GetOpsParam(void* arg, const char* name);
    void ParseParameter(void* arg, const char* name);
    void SetFrameStaticInfo(void* record, int64_t frameId, const char* name);
    void SetFrameId2ALG(int64_t frameId);
    void SetFrameSize2ALG(int64_t count);

    // Starts the status watch, which waits for every module to report ready and
    // then raises the data-ready flag. It runs once at a time.
    void WatchStatus();
    void StatusThread();

    // Registered names in name order.
    static std::vector<std::string> RegisteredNames();
    // Ends the status watch wherever it waits and joins it. Runs at unload;
    // tests call it, then Clear, to start from an empty registry.
    static void StopStatusWatch();
    static void Clear();
};

}  // namespace ZEB
