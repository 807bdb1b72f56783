// The tuning stand-ins from the caller's side: converters writing binary
// tuning files, the sensor side reloading them, the trigger file loader.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <thread>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "platform/SensorTuning.h"
#include "platform/TRGManage.h"
#include "platform/TuningBin.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using zeb_test::WriteFile;

namespace {

std::vector<uint8_t> Bytes(const std::string& path) {
    const std::string text = zeb_test::ReadFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

int32_t Int32At(const std::vector<uint8_t>& bytes, size_t at) { return zeb_test::At<int32_t>(bytes, at); }
float FloatAt(const std::vector<uint8_t>& bytes, size_t at) { return zeb_test::At<float>(bytes, at); }

// A tuning XML folder as the tuning updater leaves it: scenario folders with
// a block, a 3A block and a trigger block, and documents that do not convert.
void WriteTuningXml(const std::string& folder) {
    WriteFile(folder + "/prv/a.xml", "<CMC block=\"CMC10_V1\" id=\"16500\" bypass=\"1\"><m>1.5 -2</m><o><p>3</p></o></CMC>");
    WriteFile(folder + "/prv/ae.xml", "<AE block=\"AE\" id=\"16433\"><gain>2</gain></AE>");
    WriteFile(folder + "/com/trg.xml", "<T block=\"TRG_AFL_V3\" id=\"0x401a\" bypass=\"7\"><v>0.25</v></T>");
    WriteFile(folder + "/com/escape.xml", "<X block=\"../up\" id=\"1\"><v>1</v></X>");
    WriteFile(folder + "/com/noid.xml", "<X block=\"NR\"><v>1</v></X>");
    WriteFile(folder + "/com/text.xml", "<X block=\"NR\" id=\"3\"><v>1 two</v></X>");
}

size_t FilesBelow(const std::string& folder) {
    size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) count += entry.is_regular_file() ? 1 : 0;
    return count;
}

}  // namespace

TEST(TuningConverter, HeadersAtTheirOffsetsAndThe3ABlocksLeftToThePlugin) {
    zeb_test::TempDir dir;
    WriteTuningXml(dir / "xml");
    zeb_platform::LogCapture log(1);
    EXPECT_EQ(XML2BinAdapter((dir / "xml").c_str(), (dir / "bin").c_str(), "R8"), -1);
    EXPECT_EQ(XML2BinAdapter((dir / "none").c_str(), (dir / "bin").c_str(), "R7"), -1);
    ASSERT_EQ(XML2BinAdapter((dir / "xml").c_str(), (dir / "bin").c_str(), "R7"), 1);
    EXPECT_EQ(log.Count("not converted"), 3u) << "the escaping name, the missing id and the text value";

    const auto cmc = Bytes(dir / "bin/prv/CMC10_V1_16500.bin");
    ASSERT_EQ(cmc.size(), 40u + 3 * 4);
    EXPECT_EQ(memcmp(cmc.data(), "ZBLK", 4), 0);
    EXPECT_EQ(Int32At(cmc, 12), 1) << "bypass word of a block file";
    EXPECT_EQ(FloatAt(cmc, 40), 1.5f);
    EXPECT_EQ(FloatAt(cmc, 44), -2.0f);
    EXPECT_EQ(FloatAt(cmc, 48), 3.0f);
    EXPECT_EQ(FilesBelow(dir / "bin"), 1u);

    // The plugin, found by name the way the library loads it (by path under
    // the sanitizers, whose dlopen interceptor hides the caller's run path).
#ifdef ZEB_SANITIZED
    void* plugin = dlopen(ZEB_BINARY_DIR "/src/libcorvale.so", RTLD_NOW);
#else
    void* plugin = dlopen("libcorvale.so", RTLD_NOW);
#endif
    ASSERT_NE(plugin, nullptr) << dlerror();
    auto convert = reinterpret_cast<cfgxmlparse_fn>(dlsym(plugin, "cfgxmlparse"));
    ASSERT_NE(convert, nullptr);
    EXPECT_EQ(convert((dir / "xml").c_str(), (dir / "bin").c_str()), 2);
    const auto trg = Bytes(dir / "bin/com/TRG_AFL_V3_16410.bin");
    ASSERT_EQ(trg.size(), 48u + 4);
    EXPECT_EQ(memcmp(trg.data(), "ZTRG", 4), 0);
    EXPECT_EQ(Int32At(trg, 8), 7) << "bypass word of a trigger file";
    EXPECT_EQ(Int32At(trg, 16), 16410);
    EXPECT_EQ(FloatAt(trg, 48), 0.25f);
    const auto ae = Bytes(dir / "bin/prv/AE_16433.bin");
    ASSERT_EQ(ae.size(), 40u + 4);
    EXPECT_EQ(Int32At(ae, 12), 0);
    EXPECT_EQ(FloatAt(ae, 40), 2.0f);
    EXPECT_EQ(FilesBelow(dir / "bin"), 3u) << "nothing written outside its folder";
    dlclose(plugin);
}

// Nesting is refused before anything walks it; what is within the limit is
// walked without recursion.
TEST(TuningConverter, DeepNestingIsRefusedAndNoWalkRecurses) {
    zeb_test::TempDir dir;
    struct Row {
        int depth;
        bool ok;
    } rows[] = {{62, true}, {65, false}, {200000, false}};
    for (const Row& row : rows) {
        std::string xml = "<N block=\"NR\" id=\"1\">";
        for (int i = 0; i < row.depth; ++i) xml += "<a>";
        xml += "4";
        for (int i = 0; i < row.depth; ++i) xml += "</a>";
        WriteFile(dir / "n.xml", xml + "</N>");
        const auto document = zeb_platform::ReadTuningDocument(dir / "n.xml");
        EXPECT_EQ(document.ok, row.ok) << row.depth;
        if (row.ok) {
            EXPECT_EQ(document.values, std::vector<float>{4});
        } else {
            EXPECT_NE(document.error.find("nested deeper than 64 levels"), std::string::npos) << document.error;
        }
    }
}

// A link at the bin folder, at a sub-folder or at a binary's name is never
// written through; a link among the XML files is not read.
TEST(TuningConverter, NeverWritesThroughALink) {
    zeb_test::TempDir dir, outside;
    WriteFile(dir / "xml/prv/a.xml", "<CMC block=\"CMC10_V1\" id=\"16500\"><m>1</m></CMC>");
    WriteFile(outside / "secret.xml", "<S block=\"NR\" id=\"9\"><m>9</m></S>");
    fs::create_symlink(outside / "secret.xml", dir / "xml/prv/linked.xml");
    WriteFile(outside / "CMC10_V1_16500.bin", "outside");
    fs::create_directories(dir / "linked");
    fs::create_symlink(outside.path(), dir / "linked/bin");
    fs::create_directories(dir / "sub");
    fs::create_symlink(outside.path(), dir / "sub/prv");
    fs::create_directories(dir / "file/prv");
    fs::create_symlink(outside / "CMC10_V1_16500.bin", dir / "file/prv/CMC10_V1_16500.bin");
    zeb_platform::LogCapture log(1);
    EXPECT_EQ(zeb_platform::ConvertTuningFolder(dir / "xml", dir / "linked/bin", zeb_platform::TuningBlocks::All), -1);
    EXPECT_EQ(zeb_platform::ConvertTuningFolder(dir / "xml", dir / "sub", zeb_platform::TuningBlocks::All), 0);
    EXPECT_EQ(zeb_platform::ConvertTuningFolder(dir / "xml", dir / "file", zeb_platform::TuningBlocks::All), 1);
    EXPECT_EQ(zeb_test::ReadFile(outside / "CMC10_V1_16500.bin"), "outside");
    EXPECT_EQ(FilesBelow(outside.path()), 2u);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "file/prv/CMC10_V1_16500.bin")));
    EXPECT_FALSE(fs::exists(dir / "file/prv/NR_9.bin"));
    EXPECT_TRUE(log.Contains("linked.xml refused: not a regular file", "XML2Bin", 1));
}

class SensorSide : public ::testing::Test {
protected:
    void SetUp() override {
        zeb_platform::ResetSensorTuning();
        WriteTuningXml(root / "xml");
        firmware = root.Device("/vendor/firmware/tn");
        ASSERT_EQ(zeb_platform::ConvertTuningFolder(root / "xml", firmware, zeb_platform::TuningBlocks::All), 3);
        // Damaged files: short, values changed behind the header, installed under another id.
        WriteFile(firmware + "/prv/SHORT_5.bin", "ZBLK12345");
        auto cmc = Bytes(firmware + "/prv/CMC10_V1_16500.bin");
        cmc[44] ^= 1;
        WriteFile(firmware + "/com/CMC10_V1_16500.bin", std::string(cmc.begin(), cmc.end()));
        fs::copy_file(firmware + "/prv/AE_16433.bin", firmware + "/prv/AE_99.bin");
    }
    void TearDown() override { zeb_platform::ResetSensorTuning(); }

    zeb_test::DeviceRoot root;
    std::string firmware;
};

TEST_F(SensorSide, ReloadRecordsTheFolderAndIsBusyUntilApplied) {
    char name[256] = {0};
    EXPECT_EQ(sensor_get_tuning_parameter_name(name, 0), 0);
    EXPECT_STREQ(name, "") << "no name until one is set";
    const uint8_t* table = sensor_get_tuning_parameter_status();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(__atomic_load_n(table + 132, __ATOMIC_ACQUIRE), 0);
    zeb_platform::SetSensorTuningName(0, "tn");
    EXPECT_NE(__atomic_load_n(table + 132, __ATOMIC_ACQUIRE), 0);
    EXPECT_EQ(__atomic_load_n(table + 136 + 132, __ATOMIC_ACQUIRE), 0) << "camera 1 has no name";
    sensor_get_tuning_parameter_name(name, 0);
    EXPECT_STREQ(name, "tn");

    // The caller's poll: busy right after the request, then done in time. At
    // full time the apply takes 100 ms, so the first poll sees it busy.
    const double scale = zeb_platform::TimeScale();
    zeb_platform::SetTimeScale(1);
    const int32_t* status = sensor_get_update_status(0);
    ASSERT_NE(status, nullptr);
    ASSERT_EQ(sensor_update_tuning_parameter(0), 0);
    int busyPolls = 0;
    const auto until = std::chrono::steady_clock::now() + zeb_platform::Scaled(std::chrono::seconds(6));
    while (__atomic_load_n(status, __ATOMIC_ACQUIRE) != 0 && std::chrono::steady_clock::now() < until) {
        ++busyPolls;
        zeb_platform::SleepScaled(std::chrono::milliseconds(20));
    }
    zeb_platform::SetTimeScale(scale);
    EXPECT_GE(busyPolls, 1);
    EXPECT_EQ(__atomic_load_n(status, __ATOMIC_ACQUIRE), 0);

    auto state = zeb_platform::GetSensorTuningState(0);
    EXPECT_EQ(state.reloads, 1u);
    EXPECT_EQ(state.tuningName, "tn");
    ASSERT_EQ(state.files.size(), 3u);
    EXPECT_EQ(state.files[0].path, "com/TRG_AFL_V3_16410.bin");
    EXPECT_TRUE(state.files[0].trigger);
    EXPECT_EQ(state.files[0].blockId, 16410u);
    EXPECT_EQ(state.files[0].bypass, 7);
    EXPECT_EQ(state.files[0].values, std::vector<float>{0.25f});
    EXPECT_EQ(state.files[1].path, "prv/AE_16433.bin");
    EXPECT_EQ(state.files[1].folder, "prv");
    EXPECT_EQ(state.files[2].name, "CMC10_V1_16500.bin");
    EXPECT_EQ(state.files[2].blockId, 16500u);
    EXPECT_EQ(state.files[2].bypass, 1);
    EXPECT_EQ(state.files[2].values, (std::vector<float>{1.5f, -2.0f, 3.0f}));
    ASSERT_EQ(state.rejected.size(), 3u);
    EXPECT_NE(state.rejected[0].find("com/CMC10_V1_16500.bin: values do not match"), std::string::npos);
    EXPECT_NE(state.rejected[1].find("prv/AE_99.bin: name does not end with"), std::string::npos);
    EXPECT_NE(state.rejected[2].find("prv/SHORT_5.bin: shorter than its 40-byte header"), std::string::npos);

    // A bypass patch keeps the file valid; the next reload sees the new word.
    auto cmc = Bytes(firmware + "/prv/CMC10_V1_16500.bin");
    memset(&cmc[12], 0, 4);
    WriteFile(firmware + "/prv/CMC10_V1_16500.bin", std::string(cmc.begin(), cmc.end()));
    ASSERT_EQ(sensor_update_tuning_parameter(0), 0);
    ASSERT_TRUE(zeb_platform::WaitSensorIdle(0, std::chrono::seconds(5)));
    state = zeb_platform::GetSensorTuningState(0);
    EXPECT_EQ(state.reloads, 2u);
    ASSERT_EQ(state.files.size(), 3u);
    EXPECT_EQ(state.files[2].bypass, 0);

    // A camera without a name reloads nothing; one outside the table is refused.
    ASSERT_EQ(sensor_update_tuning_parameter(2), 0);
    ASSERT_TRUE(zeb_platform::WaitSensorIdle(2, std::chrono::seconds(5)));
    state = zeb_platform::GetSensorTuningState(2);
    EXPECT_EQ(state.reloads, 1u);
    EXPECT_TRUE(state.files.empty());
    EXPECT_EQ(sensor_update_tuning_parameter(kSensorStatusRecords), -1);
    EXPECT_EQ(sensor_get_update_status(-1), nullptr);
}

TEST_F(SensorSide, TriggerLoaderFillsTheConfigurationOfParameter65658) {
    zeb_platform::SetSensorTuningName(0, "tn");
    pvk::ParamSet::createInstance();
    ASSERT_EQ(zeb_platform::PsParamSize(65658), 0x109000u);
    auto cfg = std::make_unique<pvk::postproc_cfg_info_t>();
    ASSERT_EQ(getPsParam(0, 0, 0, 65658, cfg.get()), 0);
    ASSERT_EQ(pvk::TRGManage::loadFiles(0, cfg.get(), 1), 1);
    EXPECT_EQ(memcmp(cfg->magic, "PPCF", 4), 0);
    EXPECT_EQ(cfg->trigger_count, 1u);
    EXPECT_STREQ(cfg->triggers[0].name, "TRG_AFL_V3_16410.bin");
    EXPECT_EQ(cfg->triggers[0].block_id, 16410u);
    EXPECT_EQ(cfg->triggers[0].bypass, 7);
    const auto state = zeb_platform::GetSensorTuningState(0);
    EXPECT_EQ(state.triggerLoads, 1u);
    EXPECT_EQ(state.reloads, 0u) << "loading triggers is not a tuning reload";
    EXPECT_EQ(pvk::TRGManage::loadFiles(0, nullptr, 1), -1);
}

// Cameras sharing a tuning name take turns: a reload (or trigger load) of the
// name waits while another camera holds its turn; the holder's own may pass.
TEST_F(SensorSide, LoadsOfANameWaitForAnotherCamerasTurn) {
    zeb_platform::SetSensorTuningName(0, "tn");
    ASSERT_TRUE(zeb_platform::TakeTuningTurn("tn", 5, std::chrono::seconds(1)));
    EXPECT_FALSE(zeb_platform::TakeTuningTurn("tn", 6, std::chrono::milliseconds(10)));
    EXPECT_EQ(zeb_platform::TuningTurnHolder("tn"), 5);
    int requested = -2, loaded = -2;
    std::thread reload([&] { requested = sensor_update_tuning_parameter(0); });
    std::thread triggers([&] {
        pvk::postproc_cfg_info_t* cfg = new pvk::postproc_cfg_info_t();
        loaded = pvk::TRGManage::loadFiles(0, cfg, 1);
        delete cfg;
    });
    EXPECT_FALSE(zeb_test::WaitFor([] { return zeb_platform::GetSensorTuningState(0).triggerLoads > 0; },
                                   std::chrono::milliseconds(300)));
    EXPECT_EQ(zeb_platform::GetSensorTuningState(0).reloads, 0u);
    zeb_platform::GiveTuningTurn("tn", 5);
    reload.join();
    triggers.join();
    EXPECT_EQ(requested, 0);
    EXPECT_EQ(loaded, 1);
    ASSERT_TRUE(zeb_platform::WaitSensorIdle(0, std::chrono::seconds(5)));
    EXPECT_EQ(zeb_platform::GetSensorTuningState(0).reloads, 1u);
    EXPECT_EQ(zeb_platform::TuningTurnHolder("tn"), -1) << "the reload gave its turn back";
}

TEST(SensorTuningName, FromTheEnvironmentPerCameraOrForAll) {
    setenv("ZEB_SENSOR_TUNING_NAME", "0:front,2:rear_tn,x", 1);
    zeb_platform::ResetSensorTuning();
    EXPECT_EQ(zeb_platform::SensorTuningName(0), "front");
    EXPECT_EQ(zeb_platform::SensorTuningName(1), "");
    EXPECT_EQ(zeb_platform::SensorTuningName(2), "rear_tn");
    setenv("ZEB_SENSOR_TUNING_NAME", "all_tn", 1);
    zeb_platform::ResetSensorTuning();
    EXPECT_EQ(zeb_platform::SensorTuningName(5), "all_tn");
    unsetenv("ZEB_SENSOR_TUNING_NAME");
    zeb_platform::ResetSensorTuning();
    EXPECT_EQ(zeb_platform::SensorTuningName(5), "");
}
