// What people leave where the tuning update reads and writes (a link out or
// in, a link to a folder, a pipe, a device, a folder for a file, a sparse
// 2^40-byte file) at each of its places: nothing outside the device root
// changes, nothing outside it is copied in, the update, the bypass and the
// deletion return promptly, and what the update refuses it says in a line.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "TuningFixture.h"
#include "core/FileAccess.h"
#include "platform/Log.h"
#include "platform/SensorTuning.h"
#include "support/TestSupport.h"

namespace {

using namespace zeb_tuning_test;
using ZEB::ParameterUpdate;
using zeb_platform::LogCapture;
using zeb_test::Planted;

const char* const kSecret = "SECRET-outside-the-root";

class HostileTuningFiles : public TuningUpdate {};

TEST_F(HostileTuningFiles, NothingOutsideChangesOrComesInAndEveryRefusalIsSaid) {
    LoadBlocks({{"CMC10_V1", 2, "t", "4074"}});
    const std::string zeb = mRoot.Device("/data/vendor/cameraserver/zeb/");
    const std::string sweep = mRoot / "sweep/Frame0_CMC_16500.xml";
    struct Place {
        const char* name;
        std::string at;
    } places[] = {
        {"cfg.xml", Firmware("cam_a/cfg.xml")},
        {"a tuning-bin source", zeb + "tuningbin/cam_a/prv/CMC10_V1_16500.bin"},
        {"a firmware binary", Firmware("cam_a/prv/CMC10_V1_16500.bin")},
        {"the firmware folder", Firmware("cam_a")},
        {"the tuning-bin folder", zeb + "tuningbin/cam_a"},
        {"a tuning parameter file", sweep},
    };
    zeb_test::TempDir outside;
    // A header the bypass would patch, were it reached.
    const std::string secret = Header("ZBLK", 40, 48) + kSecret;
    WriteFile(outside / "CMC10_V1_16500.bin", secret);
    WriteFile(outside / "dir/CMC10_V1_16500.bin", secret);
    WriteFile(outside / "dir/prv/CMC10_V1_16500.bin", secret);
    WriteFile(outside / "dir/cfg.xml", kCfg);
    const auto before = Tree(outside.path());
    mTasks[0] = std::make_shared<ZEB::TaskInfo>();
    const ZEB::iSceneInfo scene = Scene(0x1a, 0x2b);
    for (const Place& place : places) {
        for (const Planted kind : zeb_test::EveryPlanted()) {
            SCOPED_TRACE(std::string(place.name) + ", " + zeb_test::Name(kind));
            zeb_platform::ResetSensorTuning();
            for (const char* folder : {"tuningbin", "tuningparameter"}) fs::remove_all(zeb + folder);
            fs::remove_all(Firmware("cam_a"));
            Sensor("cam_a");
            WriteFile(Firmware("cam_a/prv/CMC10_V1_16500.bin"), Header("ZBLK", 40, 48));
            WriteFile(sweep, TuningXml("CMC10_V1", "16500", "7"));
            const bool folder = kind == Planted::LinkToFolder;
            WriteFile(place.at + ".beside", TuningXml("CMC10_V1", "16500", "8"));
            zeb_test::Plant(kind, place.at, outside / (folder ? "dir" : "CMC10_V1_16500.bin"), place.at + ".beside");

            LogCapture log(1);
            const auto start = std::chrono::steady_clock::now();
            bool installed = false;
            {
                ParameterUpdate update(0, &mTasks);
                ZEB::zeb_update_flag record;
                installed = update.UpdateFrameWithId(0, {sweep}, &scene, &record);
                update.UpateBypassMode(0, &scene, &record);
            }
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
            EXPECT_EQ(Tree(outside.path()), before);
            EXPECT_EQ(zeb_test::Holding(mRoot.path(), kSecret), std::vector<std::string>());
            const std::string file = fs::path(place.at).filename().string();
            if (installed) {
                EXPECT_TRUE(zeb_platform::WaitSensorIdle(0, std::chrono::seconds(10)));
                for (const auto& loaded : zeb_platform::GetSensorTuningState(0).files) {
                    EXPECT_EQ(loaded.values, std::vector<float>{7}) << loaded.path;
                }
            } else {
                EXPECT_TRUE(log.Contains(ZEB::files::Escaped(file), "ParameterUpdate", 1)) << "no line names " << file;
            }
            fs::remove_all(place.at);
            fs::remove_all(place.at + ".beside");
        }
    }
}

}  // namespace
