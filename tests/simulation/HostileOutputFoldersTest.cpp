// What people leave at the names the task driver writes to: the stamped
// folder a tuning entry's dumps go to, and the sweep files it copies there.
// The entry still ends within its bound, nothing outside the device root
// changes or is copied into the output folder, and a level-1 line says what
// was refused.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <memory>

#include "core/FileAccess.h"
#include "frame/VirtualSensorControl.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "SimulationFixture.h"
#include "simulation/SimulationControl.h"

namespace fs = std::filesystem;
using zeb_platform::LogCapture;
using zeb_test::Planted;
using namespace zeb_sim_test;

namespace {

const char* const kSecret = "SECRET";

std::string Stamp(time_t at) {
    char stamp[64] = {0};
    struct tm local;
    if (localtime_r(&at, &local)) strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
    return stamp;
}

class HostileOutput : public SimulationTest {
protected:
    void SetUp() override {
        Load({TaskSpec(1)});
        zeb_test::WriteFile(mOutside / "secret.xml", kSecret);
        fs::create_directories(mOutside / "folder");
        zeb_test::WriteFile(Sweep(), "<bnr/>");
    }
    std::string Output() const { return mRoot / "out/ZEB_task0"; }
    std::string Sweep() const { return mRoot / "tuning_files/Frame0_bnr.xml"; }
    std::string Target(Planted kind) const {
        return mOutside / (kind == Planted::LinkToFolder ? "folder" : "secret.xml");
    }

    // Plays the one task with one tuning entry copying `files`; the dump
    // roots the HAL was given, one per capture.
    std::vector<std::string> Play(const std::vector<std::string>& files) {
        Tasks().at(0)->TaskTuning[0] = files;
        FakeSensor sensor;
        HalContext context(&sensor);
        auto instance = std::make_unique<ZEB::SimulationControl>(context.bytes, 0);
        instance->VirtualSensor()->SetSensorOps(&FakeSensor::Ioctl);
        std::vector<std::string> roots;
        EXPECT_TRUE(WaitForFrames(*instance));
        FakeHal hal(*instance, [&](int) { roots.push_back(zeb_test::Property("persist.vendor.cam.icap.dump.root.path")); });
        instance->GenerateOneJob();
        EXPECT_TRUE(zeb_test::WaitFor([&] { return instance->Finished(); }, std::chrono::seconds(20)))
            << "the entry did not end";
        return roots;
    }

    zeb_test::TempDir mOutside;
};

class HostileStampFolder : public HostileOutput, public ::testing::WithParamInterface<Planted> {};

// The entry's folder is named after the second it is made in: whatever is
// planted at the names of the coming seconds is passed over, never followed.
TEST_P(HostileStampFolder, IsPassedOverAndTheDumpsStayBelowTheOutputFolder) {
    const Planted kind = GetParam();
    const time_t now = time(nullptr);
    for (time_t t = now - 1; t <= now + 20; ++t) {
        zeb_test::Plant(kind, Output() + "/" + Stamp(t), Target(kind), Sweep());
    }
    const auto outside = zeb_test::Contents(mOutside.path());
    LogCapture log;
    const auto roots = Play({Sweep()});
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0].rfind(Output() + "/", 0), 0u) << roots[0];
    EXPECT_TRUE(ZEB::files::IsRealDirectory(roots[0])) << roots[0];
    EXPECT_EQ(zeb_test::ReadFile(roots[0] + "/bnr.xml"), "<bnr/>");
    EXPECT_EQ(zeb_test::Contents(mOutside.path()), outside);
    if (kind != Planted::Folder) {  // an empty real folder is the entry's to use
        EXPECT_TRUE(log.Contains("output folder " + Output() + "/", "SimulationControl", 1));
        EXPECT_TRUE(log.Contains(" refused: ", "SimulationControl", 1));
    }
}

class HostileSweepCopy : public HostileOutput, public ::testing::WithParamInterface<Planted> {};

// A sweep file swapped for something else during the run is not copied.
TEST_P(HostileSweepCopy, IsNotCopiedIntoTheEntrysFolder) {
    const Planted kind = GetParam();
    const std::string beside = mRoot / "tuning_files/plain.xml";
    zeb_test::WriteFile(beside, "<plain/>");
    zeb_test::Plant(kind, Sweep(), Target(kind), beside);
    const auto outside = zeb_test::Contents(mOutside.path());
    LogCapture log;
    const auto roots = Play({Sweep()});
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(ZEB::files::Describe(roots[0] + "/bnr.xml"), "missing");
    EXPECT_EQ(zeb_test::Contents(mOutside.path()), outside);
    EXPECT_EQ(zeb_test::Holding(mRoot.path(), kSecret), std::vector<std::string>());
    EXPECT_TRUE(log.Contains("copy of tuning file " + Sweep() + " refused: source ", "SimulationControl", 1));
}

std::string PlantedName(const ::testing::TestParamInfo<Planted>& info) { return zeb_test::TestName(zeb_test::Name(info.param)); }
INSTANTIATE_TEST_SUITE_P(EveryKind, HostileStampFolder, ::testing::ValuesIn(zeb_test::EveryPlanted()), PlantedName);
INSTANTIATE_TEST_SUITE_P(EveryKind, HostileSweepCopy, ::testing::ValuesIn(zeb_test::EveryPlanted()), PlantedName);

// The copy's name is what follows the first underscore of the sweep file's
// name: "." or ".." or nothing would name a folder, 300 characters no file;
// a newline is kept in the name but never reaches the log as one.
TEST_F(HostileOutput, OddSweepFileNamesAreRefusedOrEscaped) {
    const std::string dir = mRoot / "tuning_files/";
    const std::vector<std::string> refused = {dir + "Frame0_", dir + "Frame0_.", dir + "Frame0_..",
                                              dir + "Frame0_" + std::string(300, 'n')};
    const std::string newline = dir + "Frame0_a\nb.xml";
    std::vector<std::string> files = refused;
    files.push_back(newline);
    for (const std::string& file : files) {
        if (ZEB::files::IsPlainName(fs::path(file).filename().string())) zeb_test::WriteFile(file, "<odd/>");
    }
    LogCapture log;
    const auto roots = Play(files);
    ASSERT_EQ(roots.size(), 1u);
    for (const std::string& file : refused) {
        EXPECT_TRUE(log.Contains(": tuning file " + ZEB::files::Escaped(file) + " refused: ", "SimulationControl", 1))
            << file.substr(dir.size());
    }
    EXPECT_EQ(zeb_test::ReadFile(roots[0] + "/a\nb.xml"), "<odd/>");
    EXPECT_TRUE(log.Contains("a\\nb.xml"));
    // The tuning updater logs the lists it is handed under a tag of its own.
    for (const auto& record : log.Records()) {
        if (record.tag == "ParameterUpdate") continue;
        const size_t at = record.text.find('\n');
        EXPECT_TRUE(at == std::string::npos || at + 1 == record.text.size()) << record.text;
    }
    // Only the entry's own folder and the copy went into the output folder.
    size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(Output())) entries += entry.is_directory();
    EXPECT_EQ(entries, 1u);
}

}  // namespace
