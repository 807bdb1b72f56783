// The scene file of a task, read group by group into its 1,152-byte record
// as the scene module's reader does.
#include <cstddef>
#include <cstring>

#include "FuzzSupport.h"
#include "parameter/SceneInfo.h"
#include "parameter/XmlSchema.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = zeb_fuzz::Write("iscene_Info.xml", data, size);
    ZEB::ConfigReader reader;
    ZEB::iSceneInfo scene;
    memset(&scene, 0, sizeof scene);
    char* base = reinterpret_cast<char*>(&scene);
    const struct {
        size_t offset;
        const ZEB::XmlStructure* table;
    } groups[] = {
        {offsetof(ZEB::iSceneInfo, commonInfo), &ZEB::CommonStructure},
        {offsetof(ZEB::iSceneInfo, switchInfo), &ZEB::SwitchStructure},
        {offsetof(ZEB::iSceneInfo, ThreeAInfo), &ZEB::ThreeAStructure},
        {offsetof(ZEB::iSceneInfo, postprocInfo), &ZEB::PostProcStructure},
        {offsetof(ZEB::iSceneInfo, capInfo), &ZEB::CapStructure},
        {offsetof(ZEB::iSceneInfo, FDInfo), &ZEB::FaceStructure},
        {offsetof(ZEB::iSceneInfo, hdrDetectOut), &ZEB::HDRStructure},
        {offsetof(ZEB::iSceneInfo, androidTag), &ZEB::TagStructure},
    };
    for (const auto& group : groups) reader.ParseXML(path.c_str(), base + group.offset, group.table);
    return 0;
}
