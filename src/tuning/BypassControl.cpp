// Block bypass: the bypass word in the header of binary tuning files of the
// firmware tuning folders, patched per block from the block list's states.
#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <vector>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>

#include "core/FileAccess.h"
#include "parameter/SceneInfo.h"
#include "platform/SensorTuning.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "tuning/ParameterUpdate.h"
#include "tuning/TuningPaths.h"

namespace ZEB {
namespace {

// Block files: 40-byte header, bypass word at byte 12. Trigger files (names
// with "TRG"): 48-byte header, bypass word at byte 8.
constexpr size_t kBlockHeader = 40;
constexpr size_t kBlockBypassAt = 12;
constexpr size_t kTriggerHeader = 48;
constexpr size_t kTriggerBypassAt = 8;

enum BlockState : uint32_t { kDefault = 0, kRun = 1, kBypass = 2, kFix = 3 };

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

using files::Escaped;

}  // namespace

std::string ParameterUpdate::FirmwareFolder(const std::string& name, const std::string& alias) const {
    return zeb_platform::DevicePath(kFirmwareRoot) + "/" + name + "/" + alias;
}

void ParameterUpdate::TuningBinBypassStatusXMLParser(const std::string& path) {
    ZLOG(kTuningTag, 4, "%d, %s: LoadPath is %s", Escaped(path).c_str());
    pugi::xml_document document;
    std::string why;
    if (!files::LoadXml(document, path, &why)) {
        ZLOG(kTuningTag, 4, "%d, %s: Document not parsed successfully.file is empty!");
        if (why != "missing") ZLOG(kTuningTag, 1, "%d, %s: bypass list %s refused: %s", Escaped(path).c_str(), why.c_str());
        return;
    }
    pugi::xml_node blocks = document.child("BypassBlocks");
    if (!blocks) {
        ZLOG(kTuningTag, 4, "%d, %s: document of the wrong type, <BypassBlocks> node != BypassBlocks");
        return;
    }
    for (pugi::xml_node block : blocks.children("Block")) {
        mBypassStatus.emplace(block.child("Name").text().get(), atoi(block.child("BypassStatus").text().get()));
    }
}

bool ParameterUpdate::PatchBypassWord(const std::string& path, int32_t status, size_t headerSize, size_t offset) {
    // Read as a regular file (never through a link, never waiting on a
    // pipe), patched only under a header of the kind its name says, and
    // written back by replacing the file, never in place.
    std::string bytes;
    std::string why;
    if (!files::ReadAll(path, files::kMaxTuningBinBytes, &bytes, &why)) {
        ZLOG(kTuningTag, 4, "%d, %s: Could not open bin");
        if (why != "missing") ZLOG(kTuningTag, 1, "%d, %s: tuning file %s refused: %s", Escaped(path).c_str(), why.c_str());
        return false;
    }
    if (bytes.size() < headerSize) {
        // A file shorter than its header is damaged: writing the header back
        // would lengthen it with zeros.
        ZPRINT(LOG_PRI_E, kTuningTag, "%d, %s: readBytes error!");
        ZLOG(kTuningTag, 1, "%d, %s: %s holds %zu bytes, less than its %zu-byte header: left unchanged",
             Escaped(path).c_str(), bytes.size(), headerSize);
        return false;
    }
    const char* magic = headerSize == kTriggerHeader ? "ZTRG" : "ZBLK";
    uint32_t declared = 0;
    for (int i = 0; i < 4; ++i) declared |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[4 + i])) << (8 * i);
    if (bytes.compare(0, 4, magic) != 0 || declared != headerSize) {
        ZLOG(kTuningTag, 1, "%d, %s: %s has no %s header of %zu bytes: left unchanged", Escaped(path).c_str(), magic,
             headerSize);
        return false;
    }
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(static_cast<uint32_t>(status) >> (8 * i));
    if (!files::WriteFileReplacing(path, bytes, &why)) {
        ZPRINT(LOG_PRI_E, kTuningTag, "%d, %s: wrBytes  error!");
        ZLOG(kTuningTag, 1, "%d, %s: could not write %s: %s", Escaped(path).c_str(), why.c_str());
        return false;
    }
    ZLOG(kTuningTag, 4, "%d, %s: block %s bypass %d", Escaped(path).c_str(), status);
    return true;
}

void ParameterUpdate::ChangeBypassStatusForBin(const std::string& path, int32_t status) {
    PatchBypassWord(path, status, kBlockHeader, kBlockBypassAt);
}

void ParameterUpdate::ChangeTrgBypassStatusForBin(const std::string& path, int32_t status) {
    PatchBypassWord(path, status, kTriggerHeader, kTriggerBypassAt);
}

int ParameterUpdate::ReadBinNames(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return 0;
    while (const dirent* entry = readdir(dir)) mBinNames.emplace_back(entry->d_name);
    return closedir(dir);
}

void ParameterUpdate::UpateBypassMode(int64_t, const iSceneInfo* scene, zeb_update_flag* flag) {
    if (!mIspConfig || !mTaskMapper) return;
    // The scenario table comes from the start-up thread.
    if (!WaitStartup()) return;
    int32_t awb = 0, lsc = 0, cmc = 0, xtm = 0;
    for (const IspInfo& block : *mIspConfig) {
        const std::string name = IspText(block.name);
        awb |= Contains(name, "AWB");
        lsc |= Contains(name, "LSC");
        cmc |= Contains(name, "CMC10_V1");
        xtm |= Contains(name, "XTM");
    }
    const std::string name = GetTuningName();
    const std::string capture = FindScenarioAlia(scene, 1);
    const std::string preview = FindScenarioAlia(scene, 0);
    if (!IsTuningName(name)) {
        ZLOG(kTuningTag, 1, "%d, %s: tuning name \"%s\" refused: it names no folder of its own", Escaped(name).c_str());
        return;
    }
    for (const std::string* part : {&capture, &preview}) {
        if (LeavesItsRoot(*part)) {
            ZLOG(kTuningTag, 1, "%d, %s: \"%s\" refused: it would leave the firmware tuning folder",
                 Escaped(*part).c_str());
            return;
        }
    }
    // The firmware folder is the name's, whichever camera installs into it.
    if (!TakeTurn(name)) return;
    struct GiveBack {
        const std::string& name;
        int camera;
        ~GiveBack() { zeb_platform::GiveTuningTurn(name, camera); }
    } giveBack{name, mCameraId};
    const std::string scenarios[3] = {capture, preview, "com"};
    // Patched files are replaced in their folders: only the tuning's own
    // folders, never one a link names.
    const std::string tuning = zeb_platform::DevicePath(kFirmwareRoot) + "/" + name;
    const std::string kind = files::Describe(tuning);
    if (kind != "a folder" && kind != "missing") {
        ZLOG(kTuningTag, 1, "%d, %s: firmware tuning folder %s refused: %s", Escaped(tuning).c_str(), kind.c_str());
    }
    bool own[3] = {false, false, false};
    for (int s = 0; s < 3 && kind == "a folder"; ++s) {
        const std::string folder = FirmwareFolder(name, scenarios[s]);
        const std::string what = scenarios[s].empty() ? "a folder" : files::Describe(folder);
        own[s] = what == "a folder";
        if (own[s]) {
            ReadBinNames(folder);
        } else if (what != "missing") {
            ZLOG(kTuningTag, 1, "%d, %s: scenario folder %s refused: %s", Escaped(folder).c_str(), what.c_str());
        }
    }
    // Each name once per call, in the order first read: a name in several
    // folders is patched in each of them all the same.
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const std::string& file : mBinNames) {
        if (seen.insert(file).second) names.push_back(file);
    }

    std::set<std::string> patched;  // by the block in hand
    auto patch = [this, &name, &patched](const std::string& alias, const std::string& file, int32_t status) {
        const std::string path = FirmwareFolder(name, alias) + "/" + file;
        const bool trigger = Contains(file, "TRG");
        if (PatchBypassWord(path, status, trigger ? kTriggerHeader : kBlockHeader,
                            trigger ? kTriggerBypassAt : kBlockBypassAt)) {
            patched.insert(file);
        }
    };
    bool zeroTold = false;
    for (const IspInfo& block : *mIspConfig) {
        const std::string id = std::to_string(block.id);
        const uint32_t state = block.state;
        if (state != kDefault && state != kRun && state != kBypass && state != kFix) continue;
        patched.clear();
        if (state == kBypass) {
            ZLOG(kTuningTag, 5, "%d, %s: ZEB_STATUS_BYPASS");
        } else if (state == kRun || state == kFix) {
            ZLOG(kTuningTag, 5, "%d, %s: ZEB_STATUS 1:run 3:fix  current_status %d", static_cast<int>(state));
        } else {
            ZLOG(kTuningTag, 5, "%d, %s: ZEB_STATUS_DEFAULT");
        }
        for (const std::string& file : names) {
            if (!Contains(file, id) || Contains(file, ".xml")) continue;
            for (int s = 0; s < 3; ++s) {
                if (!own[s]) continue;
                const std::string& alias = scenarios[s];
                if (state != kDefault) {
                    patch(alias, file, state == kBypass ? 1 : 0);
                    continue;
                }
                mBypassStatus.clear();
                TuningBinBypassStatusXMLParser(zeb_platform::DevicePath(kBinRoot) + name + "/" + alias + ".xml");
                for (const auto& entry : mBypassStatus) {
                    if (Contains(file, entry.first)) patch(alias, file, entry.second);
                }
            }
        }
        // Every file name holding a "0" matches block id 0.
        if (block.id == 0 && patched.size() > 1 && !zeroTold) {
            ZLOG(kTuningTag, 2, "%d, %s: block %s has id 0, which every name holding a 0 matches: %zu file(s) patched",
                 Escaped(IspText(block.name)).c_str(), patched.size());
            zeroTold = true;
        }
    }
    UpdateTuningParameter();
    if (!flag) {
        ZLOG(kTuningTag, 1, "%d, %s: no update-flag record from the caller");
        return;
    }
    flag->rgbgain_update = 0;
    flag->awb_update = awb;
    flag->lsc_update = lsc;
    flag->cmc_update = cmc;
    flag->xtm_update = xtm;
}

}  // namespace ZEB
