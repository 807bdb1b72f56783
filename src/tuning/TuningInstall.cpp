// The tuning updater's switch to one combination: the tuning files are
// translated into the scenario folders, converted to binaries, installed over
// the firmware folder in one step and reloaded by the sensor side.
#include "tuning/ParameterUpdate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <pugixml.hpp>
#include <set>
#include <sstream>
#include <system_error>

#include "core/FileAccess.h"
#include "parameter/SceneInfo.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "platform/SensorTuning.h"
#include "platform/TRGManage.h"
#include "platform/TuningBin.h"
#include "tuning/TuningPaths.h"

namespace ZEB {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr seconds kStatusLimit(6);
constexpr int kReadyByte = 132;
constexpr int kPostprocConfigId = 65658;

const char* const kCom = "com";

// Below this folder the library writes the tuning parameter and bin folders.
const char* const kZebRoot = "/data/vendor/cameraserver/zeb";
// How often a wait for another camera's install looks at the stop request.
constexpr milliseconds kTurnPoll(100);
// renameat2's flag: the two names trade places in one step.
constexpr unsigned kRenameExchange = 1u << 1;

using files::Escaped;

std::string Joined(const std::vector<std::string>& paths) {
    std::string text;
    for (const std::string& path : paths) text += (text.empty() ? "" : ", ") + Escaped(path);
    return text.empty() ? "(none)" : text;
}

void NotInstalled(int64_t frameId, const std::string& why, const std::vector<std::string>& files) {
    ZLOG(kTuningTag, 1, "%d, %s: tuning combination of frame %ld not installed, the previous tuning stays: %s; files: %s",
         static_cast<long>(frameId), why.c_str(), Joined(files).c_str());
}

// Regular files (not links) with this extension below `folder`.
int CountFiles(const std::string& folder, const char* extension) {
    int count = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (!it->is_symlink(error) && it->is_regular_file(error) && it->path().extension() == extension) ++count;
    }
    return count;
}

// Empties the tuning-bin folder for a new conversion, keeping the bypass
// lists (<alias>.xml files directly in it).
bool ClearBinFolder(const std::string& folder, std::string* why) {
    std::error_code error;
    std::vector<fs::path> doomed;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const bool list = !it->is_symlink(error) && it->is_regular_file(error) && it->path().extension() == ".xml";
        if (!list) doomed.push_back(it->path());
    }
    for (const fs::path& path : doomed) {
        // remove_all takes a link away, never what it names.
        if (!error) fs::remove_all(path, error);
    }
    if (error) *why = "the previous binaries of " + Escaped(folder) + " could not be removed: " + error.message();
    return !error;
}

// Fills `to` (an empty folder) with the tree below `from`: real folders and
// regular files only, anything else refused. Files are hard links to the
// originals when `share` (they are only ever replaced, never written in
// place), else copies.
bool FillFrom(const std::string& from, const std::string& to, bool share, std::string* why) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(from, error), end; !error && it != end; it.increment(error)) {
        const std::string relative = it->path().lexically_relative(from).string();
        const std::string target = to + "/" + relative;
        const std::string kind = files::Describe(it->path().string());
        std::string reason;
        if (kind == "a folder") {
            if (!files::MakeDirsBelow(to, relative, &reason)) {
                *why = Escaped(target) + ": " + reason;
                return false;
            }
        } else if (kind == "a file") {
            if (share && link(it->path().c_str(), target.c_str()) == 0) continue;
            if (!files::CopyFile(it->path().string(), target, files::kMaxTuningBinBytes, &reason)) {
                *why = Escaped(it->path().string()) + " not copied: " + reason;
                return false;
            }
        } else {
            *why = Escaped(it->path().string()) + " is " + kind + ", not a tuning file";
            return false;
        }
    }
    if (error) *why = Escaped(from) + ": " + error.message();
    return !error;
}

}  // namespace

bool ParameterUpdate::TakeTurn(const std::string& name) {
    bool logged = false;
    while (!zeb_platform::TakeTuningTurn(name, mCameraId, kTurnPoll)) {
        if (Stopped()) return false;
        if (!logged) {
            ZLOG(kTuningTag, 4, "%d, %s: tuning \"%s\" is being installed by camera %d: waiting for it",
                 Escaped(name).c_str(), zeb_platform::TuningTurnHolder(name));
            logged = true;
        }
    }
    return true;
}

bool ParameterUpdate::UpdateFrameWithId(int64_t frameId, std::vector<std::string> files, const iSceneInfo* scene,
                                        zeb_update_flag* flag, std::string* failure) {
    std::string why;
    auto failed = [&]() {
        NotInstalled(frameId, why, files);
        if (flag) {
            flag->rgbgain_update = flag->awb_update = flag->lsc_update = flag->cmc_update = flag->xtm_update =
                kTuningNotInstalled;
        }
        if (failure) *failure = why;
        return false;
    };
    if (!mTaskMapper) {
        why = "no task map";
        return failed();
    }
    // The tuning name and the scenario table come from the start-up thread.
    if (!WaitStartup()) {
        why = "stopped";
        if (failure) *failure = why;
        return false;
    }
    const bool found = mTaskMapper->find(frameId) != mTaskMapper->end();
    ZLOG(kTuningTag, 4, "%d, %s: enter");
    const std::string name = TuningName();
    // One install of a name at a time: the folders are the name's, whichever
    // camera installs into them, and the sensor side's loads wait for it.
    const bool turn = IsTuningName(name);
    if (turn && !TakeTurn(name)) {
        why = "stopped";
        if (failure) *failure = why;
        return false;
    }
    struct GiveBack {
        const std::string& name;
        int camera;
        bool held;
        ~GiveBack() {
            if (held) zeb_platform::GiveTuningTurn(name, camera);
        }
    } giveBack{name, mCameraId, turn};
    if (found) {
        ZLOG(kTuningTag, 4, "%d, %s: Found Task and Scene info for ParameterUpdate");
        const std::string preview = FindScenarioAlia(scene, 0);
        const std::string capture = FindScenarioAlia(scene, 1);
        const int translated = TranslateTuningXML(name, preview, capture, files, &why);
        if (translated < 0) return failed();
        if (translated != static_cast<int>(files.size())) {
            why = std::to_string(files.size() - static_cast<size_t>(translated)) + " of its " +
                  std::to_string(files.size()) + " tuning file(s) could not be translated";
            return failed();
        }
    }
    if (!InstallTuning(name, &why)) return failed();
    if (Stopped()) {
        why = "stopped";
        if (failure) *failure = why;
        return false;
    }
    TuningPostprocXMLParser(GetTuningName());
    UpdateTuningParameter();
    UpdateTuningFlag(flag);
    return true;
}

bool ParameterUpdate::InstallTuning(const std::string& name, std::string* why) {
    // The firmware and bin folders of the name are removed and rewritten: a
    // name that is not one folder level of its own could reach anything.
    if (!IsTuningName(name)) {
        *why = "tuning name \"" + Escaped(name) + "\" refused: it names no folder of its own";
        return false;
    }
    const std::string paramDir = zeb_platform::DevicePath(kParamRoot) + name;
    const std::string binDir = zeb_platform::DevicePath(kBinRoot) + name;
    const std::string firmwareRoot = zeb_platform::DevicePath(kFirmwareRoot);
    const std::string firmware = firmwareRoot + "/" + name;
    std::string reason;
    if (!files::MakeDirsBelow(zeb_platform::DevicePath(kZebRoot), std::string("tuningbin/") + name, &reason)) {
        *why = "tuning bin folder " + Escaped(binDir) + ": " + reason;
        return false;
    }
    // Clear, convert, check: no binary of an earlier combination may pass for
    // one of this one.
    if (!ClearBinFolder(binDir, why)) return false;
    char platform[128] = {0};
    strcpy(platform, "R7");
    const int converted = XML2BinAdapter(paramDir.c_str(), binDir.c_str(), platform);
    if (converted < 0) {
        *why = "XML2BinAdapter failed on " + Escaped(paramDir);
        return false;
    }
    int threeA = 0;
    if (XML2BinFunc_3A) {
        threeA = XML2BinFunc_3A(paramDir.c_str(), binDir.c_str());
        if (threeA < 0) {
            *why = "the 3A converter failed on " + Escaped(paramDir);
            return false;
        }
    }
    // Without the plugin its 3A documents are not converted: only what the
    // adapter says it wrote can be checked then.
    const int sources = XML2BinFunc_3A ? CountFiles(paramDir, ".xml") : converted;
    const int binaries = CountFiles(binDir, ".bin");
    if (converted + threeA != sources || binaries != sources) {
        *why = std::to_string(binaries) + " binary tuning file(s) from " + std::to_string(sources) + " tuning file(s)";
        return false;
    }
    ZLOG(kTuningTag, 4, "%d, %s: cp_cmd is cp '%s' '%s' -r", Escaped(binDir).c_str(), Escaped(firmwareRoot).c_str());
    // Install whole or not at all: the new content is built beside the
    // firmware folder (what it held, with the binaries over it) and trades
    // places with it in one step; the sensor side never sees a mix.
    if (!files::MakeDirsBelow(firmwareRoot, "", &reason)) {
        *why = "firmware folder " + Escaped(firmwareRoot) + ": " + reason;
        return false;
    }
    const std::string present = files::Describe(firmware);
    if (present != "missing" && present != "a folder") {
        *why = "firmware tuning folder " + Escaped(firmware) + " is " + present;
        return false;
    }
    static std::atomic<unsigned> stagings{0};
    const std::string stagedName = ".zeb-install-" + std::to_string(getpid()) + "-" + std::to_string(stagings++);
    const std::string staged = firmwareRoot + "/" + stagedName;
    std::error_code error;
    auto abandon = [&](const std::string& text) {
        *why = text;
        fs::remove_all(staged, error);
        return false;
    };
    if (!files::MakeDirsBelow(firmwareRoot, stagedName, &reason)) return abandon("cannot stage the install: " + reason);
    if (present == "a folder" && !FillFrom(firmware, staged, true, &reason)) return abandon(reason);
    if (!FillFrom(binDir, staged, false, &reason)) return abandon(reason);
    if (present == "missing") {
        if (rename(staged.c_str(), firmware.c_str()) != 0) return abandon("cannot install: " + std::string(strerror(errno)));
        return true;
    }
    if (syscall(SYS_renameat2, AT_FDCWD, staged.c_str(), AT_FDCWD, firmware.c_str(), kRenameExchange) != 0) {
        // A file system without the exchange: the old folder steps aside
        // first, and comes back when the new one cannot take its place.
        const std::string old = staged + ".old";
        if (rename(firmware.c_str(), old.c_str()) != 0) return abandon("cannot install: " + std::string(strerror(errno)));
        if (rename(staged.c_str(), firmware.c_str()) != 0) {
            const std::string text = strerror(errno);
            rename(old.c_str(), firmware.c_str());
            return abandon("cannot install: " + text);
        }
        fs::remove_all(old, error);
        return true;
    }
    // The staging name now holds the previous content.
    fs::remove_all(staged, error);
    if (error) ZLOG(kTuningTag, 1, "%d, %s: previous tuning left at %s: %s", Escaped(staged).c_str(), error.message().c_str());
    return true;
}

int ParameterUpdate::TranslateTuningXML(std::string name, std::string preview, std::string capture,
                                        std::vector<std::string> files, std::string* failure) {
    // The tuning folder is emptied below: only a name of one folder level,
    // and aliases that stay inside it, may reach that far.
    if (!IsTuningName(name)) {
        ZLOG(kTuningTag, 1, "%d, %s: tuning name \"%s\" refused: it names no folder of its own", Escaped(name).c_str());
        if (failure) *failure = "tuning name \"" + Escaped(name) + "\" refused: it names no folder of its own";
        return -1;
    }
    for (const std::string* alias : {&preview, &capture}) {
        if (LeavesItsRoot(*alias)) {
            ZLOG(kTuningTag, 1, "%d, %s: scenario alias \"%s\" refused: it would leave the tuning folder",
                 Escaped(*alias).c_str());
            if (failure) *failure = "scenario alias \"" + Escaped(*alias) + "\" refused";
            return -1;
        }
    }
    const std::string zeb = zeb_platform::DevicePath(kZebRoot);
    const std::string root = zeb_platform::DevicePath(kParamRoot);
    const std::string tuningFolder = root + name + "/";
    const std::string previewFolder = root + name + "/" + preview;
    const std::string captureFolder = root + name + "/" + capture;
    const std::string commonFolder = root + name + "/" + kCom;

    auto setUp = [&] {
        std::string why;
        // The previous combination's files go; the folder itself, a link
        // included, is removed, never what a link names. Every level is made
        // anew and must be a real folder.
        bool made = files::MakeDirsBelow(zeb, "tuningparameter", &why);
        if (made) {
            std::error_code error;
            fs::remove_all(root + name, error);
            if (error) {
                why = "could not empty " + Escaped(tuningFolder) + ": " + error.message();
                made = false;
            }
        }
        made = made && files::MakeDirsBelow(root, name + "/" + preview, &why) &&
               files::MakeDirsBelow(root, name + "/" + capture, &why) &&
               files::MakeDirsBelow(root, name + "/" + kCom, &why);
        if (!made) {
            ZLOG(kTuningTag, 4, "%d, %s: Fail to create file path");
            ZLOG(kTuningTag, 1, "%d, %s: tuning parameter folder %s: %s", Escaped(tuningFolder).c_str(), why.c_str());
            if (failure) *failure = "its tuning parameter folder could not be made: " + why;
            return false;
        }
        ZLOG(kTuningTag, 4, "%d, %s: Create Tuning path with %s", Escaped(previewFolder).c_str());
        ZLOG(kTuningTag, 4, "%d, %s: Create Tuning path with %s", Escaped(captureFolder).c_str());
        return true;
    };
    if (!setUp()) {
        ZLOG(kTuningTag, 4, "%d, %s: Could not create file dump path");
        return -1;
    }
    if (files.empty()) {
        ZLOG(kTuningTag, 1, "%d, %s: TuningVec is empty!");
        return 0;
    }
    int translated = 0;
    std::set<std::string> names;
    for (const std::string& source : files) {
        pugi::xml_document document;
        std::string why;
        if (!files::LoadXml(document, source, &why)) {
            ZLOG(kTuningTag, 1, "%d, %s: Document not parsed successfully, file is empty! (%s: %s)",
                 Escaped(source).c_str(), why.c_str());
            continue;
        }
        const std::string fileName = TranslatedName(source);
        if (fileName.empty() || fileName == "." || fileName == "..") {
            ZLOG(kTuningTag, 1, "%d, %s: %s names no file, skipped", Escaped(source).c_str());
            continue;
        }
        if (!names.insert(fileName).second) {
            ZLOG(kTuningTag, 1, "%d, %s: %s would replace another file of the combination named %s, skipped",
                 Escaped(source).c_str(), Escaped(fileName).c_str());
            continue;
        }
        const std::string capturePath = captureFolder + "/" + fileName;
        const std::string previewPath = previewFolder + "/" + fileName;
        const std::string commonPath = commonFolder + "/" + fileName;
        ZLOG(kTuningTag, 4, "%d, %s: PathCapScenario is %s", Escaped(capturePath).c_str());
        ZLOG(kTuningTag, 4, "%d, %s: PathPrvScenario is %s", Escaped(previewPath).c_str());
        ZLOG(kTuningTag, 4, "%d, %s: PathAll is %s", Escaped(commonPath).c_str());
        // The input's nesting is capped, so the indentation stays small.
        std::ostringstream text;
        document.save(text, " ", pugi::format_indent, pugi::encoding_utf8);
        const std::string bytes = text.str();
        bool saved = true;
        for (const std::string* path : {&capturePath, &previewPath, &commonPath}) {
            if (!files::WriteFileReplacing(*path, bytes, &why)) {
                ZLOG(kTuningTag, 1, "%d, %s: could not write %s: %s", Escaped(*path).c_str(), why.c_str());
                saved = false;
            }
        }
        if (saved) ++translated;
    }
    return translated;
}

void ParameterUpdate::TuningPostprocXMLParser(std::string) {
    auto config = std::make_unique<pvk::postproc_cfg_info_t>();
    getPsParam(mCameraId, 0, 0, kPostprocConfigId, config.get());
    pvk::TRGManage::loadFiles(mCameraId, config.get(), 1);
}

void ParameterUpdate::UpdateTuningParameter() {
    const uint8_t* table = sensor_get_tuning_parameter_status();
    if (!table) {
        ZLOG(kTuningTag, 4, "%d, %s: Could not get ITS Mappter");
        return;
    }
    if (mCameraId < 0 || mCameraId >= kSensorStatusRecords) {
        ZLOG(kTuningTag, 1, "%d, %s: camera id %d has no record in the tuning status table", mCameraId);
        return;
    }
    const uint8_t* ready = table + static_cast<size_t>(mCameraId) * kSensorStatusRecordSize + kReadyByte;
    const auto start = std::chrono::steady_clock::now();
    const auto limit = zeb_platform::Scaled(kStatusLimit);
    bool active = __atomic_load_n(ready, __ATOMIC_ACQUIRE) != 0;
    while (!active && std::chrono::steady_clock::now() - start < limit) {
        if (!Pause(kPoll)) return;
        active = __atomic_load_n(ready, __ATOMIC_ACQUIRE) != 0;
    }
    if (!active) {
        ZLOG(kTuningTag, 4, "%d, %s: ITS is still not ready");
        return;
    }
    ZLOG(kTuningTag, 4, "%d, %s: Tuning parameter is active");
    sensor_update_tuning_parameter(mCameraId);
}

void ParameterUpdate::UpdateTuningFlag(zeb_update_flag* flag) {
    const int32_t* status = sensor_get_update_status(mCameraId);
    if (!status) {
        ZLOG(kTuningTag, 4, "%d, %s: Could not get pm status");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto limit = zeb_platform::Scaled(kStatusLimit);
    bool busy = __atomic_load_n(status, __ATOMIC_ACQUIRE) != 0;
    while (busy && std::chrono::steady_clock::now() - start < limit) {
        if (!Pause(kPoll)) return;
        busy = __atomic_load_n(status, __ATOMIC_ACQUIRE) != 0;
    }
    if (busy) {
        ZLOG(kTuningTag, 4, "%d, %s: pm is still not ready");
    } else {
        ZLOG(kTuningTag, 4, "%d, %s: pm update done");
    }
    if (!flag) {
        ZLOG(kTuningTag, 1, "%d, %s: no update-flag record from the HAL");
        return;
    }
    MutexLock guard(mStateLock);
    flag->rgbgain_update = mRgbGainUpdate;
    flag->awb_update = mAwbUpdate;
    flag->lsc_update = mLscUpdate;
    flag->cmc_update = mCmcUpdate;
    flag->xtm_update = mXtmUpdate;
}

}  // namespace ZEB
