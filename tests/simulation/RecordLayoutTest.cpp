// Every record the HAL reads, checked byte by byte against its documented
// layout. The offsets are written out here on purpose: a check built from the
// code's own layout header could not see a wrong offset in it. The records
// come from real frame folders and scene files through the instance's own
// calls, and a fake HAL sits on the far side of the sensor callback.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <functional>

#include "frame/ReadControl.h"
#include "frame/VirtualSensorControl.h"
#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "platform/Property.h"
#include "SimulationFixture.h"
#include "simulation/SimulationControl.h"

using zeb_platform::LogCapture;
using namespace zeb_sim_test;
using ZEB::SimulationControl;
using Bytes = std::vector<uint8_t>;
using zeb_test::At;
using zeb_test::Put;

namespace {

// Bytes that differ from their neighbours and from zero.
Bytes Pattern(size_t size, int seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(1 + (i * 7 + static_cast<size_t>(seed) * 31) % 251);
    return bytes;
}
Bytes Dump(const std::string& folder, const std::string& name, size_t size, int seed) {
    Bytes bytes = Pattern(size, seed);
    zeb_test::WriteFile(folder + "/" + name, std::string(bytes.begin(), bytes.end()));
    return bytes;
}

// The sensor driver: which frames (by their raw bytes) arrived at the capture
// rate, and whether their lines had been realigned to the 16-byte stride.
struct CaptureSensor {
    std::mutex lock;
    int fps = 0;
    std::vector<std::pair<int, bool>> captured;

    static long Ioctl(void* handle, unsigned int, unsigned long, unsigned long record) {
        auto* sensor = static_cast<CaptureSensor*>(handle);
        ZEB::vsensor_cmd_t command;
        memcpy(&command, reinterpret_cast<const void*>(record), sizeof command);
        const void* param = reinterpret_cast<const void*>(command.param);
        std::lock_guard<std::mutex> guard(sensor->lock);
        if (command.cmd == ZEB::VSENSOR_CMD_SET_FPS) sensor->fps = At<int32_t>(param, 0);
        if (command.cmd != ZEB::VSENSOR_CMD_SET_FRAME || sensor->fps != 8) return 0;
        const int fd = At<int32_t>(param, 68);
        void* raw = mmap(nullptr, 64, PROT_READ, MAP_SHARED, fd, 0);
        if (raw == MAP_FAILED) return -1;
        const int frame = static_cast<uint8_t*>(raw)[0] / 0x10 - 1;
        // Line 2 starts at byte 32 once realigned, line 3 at byte 30 before.
        const bool aligned = static_cast<uint8_t*>(raw)[32] == 0x10 * (frame + 1) + 2;
        munmap(raw, 64);
        sensor->captured.emplace_back(frame, aligned);
        return 0;
    }
};

class RecordLayout : public SimulationTest {
protected:
    std::vector<std::shared_ptr<ZEB::ZEBFrame>> Frames(SimulationControl& instance, int64_t task) {
        auto& info = *Tasks(instance).at(task);
        MutexLock guard(info.TaskLock);
        return info.TaskFrame;
    }
    // Plays the task list to its end with a capture-rate sensor and a fake HAL.
    void Play(CaptureSensor& sensor, const std::function<void(SimulationControl&, int)>& capture) {
        HalContext context(&sensor);
        SimulationControl instance(context.bytes, 0);
        instance.VirtualSensor()->SetSensorOps(&CaptureSensor::Ioctl);
        ASSERT_TRUE(WaitForFrames(instance));
        FakeHal hal(instance, [&](int n) { capture(instance, n); });
        instance.GenerateOneJob();
        ASSERT_TRUE(zeb_test::WaitFor([&] { return instance.Finished(); }, std::chrono::seconds(20)));
    }
};

const char* const kScene =
    "<commonInfo><width>4000</width><height>3000</height><zoom_ratio>2.5</zoom_ratio><app_mode>5</app_mode>"
    "<top_app_id>6</top_app_id><zolt_appmode_id>7</zolt_appmode_id><device_orientation>90</device_orientation>"
    "<SessionMode>8</SessionMode></commonInfo>"
    "<ThreeAInfo><bv>-3</bv><sensor_gain>11</sensor_gain><isp_gain>12</isp_gain><awb_ct>5000</awb_ct>"
    "<abl_weight>13</abl_weight></ThreeAInfo>"
    "<postprocInfo><is_hdr_scene>1</is_hdr_scene><is_mfnr_scene>2</is_mfnr_scene><is_mfsr_scene>3</is_mfsr_scene>"
    "<is_mfnr_hdr_scene>4</is_mfnr_hdr_scene><is_raw_mfnr_scene>5</is_raw_mfnr_scene></postprocInfo>"
    "<capInfo><postproc_type>4096</postproc_type><normal_num>2</normal_num><total_num>3</total_num>"
    "<merge_frame_num>9</merge_frame_num></capInfo>"
    "<hdrDetectOut><ev>-4 -3 -2 -1 0.5 1 2 3 4 5</ev></hdrDetectOut>"
    "<FDInfo><face_count>2</face_count>"
    "<face_rectangle_coordinate_prev>1 10 20 30 40 0 5 6 7 8</face_rectangle_coordinate_prev>"
    "<face_rectangle_coordinate_cap>0 1 2 3 4 1 5 6 7 8</face_rectangle_coordinate_cap></FDInfo>"
    "<androidTag><ae_mode>31</ae_mode><flash_mode>32</flash_mode><lcd_flash_mode>33</lcd_flash_mode></androidTag>";
const float kEv[10] = {-4, -3, -2, -1, 0.5f, 1, 2, 3, 4, 5};

TEST_F(RecordLayout, QueriesAndHandOverFillTheDocumentedBytes) {
    SceneSpec scene;
    scene.xml = kScene;
    Load({TaskSpec(2, true, scene)});
    const std::string folder = FramePath(0, 0);
    const Bytes zolt = Dump(folder, "ZOLTDEF_INFO.bin", 1392, 1), control = Dump(folder, "CONTROL_INFO.bin", 324, 2);
    const Bytes aeResult = Dump(folder, "AE_RESULT_INFO.bin", 1248, 3), capAe = Dump(folder, "CAP_AE_PARAMS.bin", 644, 4);
    const Bytes fdIsp = Dump(folder, "FD_ISP_INFO.bin", 4368, 5), xtm = Dump(folder, "XTM_RESULT_INFO.bin", 17436, 6);
    const Bytes detect = Dump(folder, "SCENE_DETECT_OUT.bin", 4904, 7);
    SimulationControl instance(nullptr, 3);
    ASSERT_TRUE(WaitForFrames(instance));
    zeb_platform::ResetPsParams();
    instance.SetInfo2Parameter(0, Tasks(instance).at(0));

    // The frame's own records, as recorded (65626, 65681) or with the
    // scene's EVs written into them (2061: slot i of 40 bytes from byte 40;
    // 2056: ten EVs from byte 4, the HDR triple over the first three).
    auto frameRecord = [](int id) {
        auto record = zeb_platform::GetPsRecord(3, id);
        EXPECT_EQ(record.lastMode, 1) << id;
        return record.data;
    };
    EXPECT_EQ(frameRecord(65626), fdIsp);
    EXPECT_EQ(frameRecord(65681), xtm);
    Bytes expected = capAe;
    for (int i = 0; i < 10; ++i) Put(expected, 40 + 40 * i, kEv[i]);
    EXPECT_EQ(frameRecord(2061), expected);
    expected = detect;
    Put<uint32_t>(expected, 0, 4096);
    for (int i = 0; i < 10; ++i) Put(expected, 4 + 4 * i, kEv[i]);
    Put(expected, 4, kEv[2]);
    Put(expected, 8, kEv[3]);
    Put(expected, 12, kEv[0]);
    Put<int32_t>(expected, 56, 3);
    Put<int32_t>(expected, 60, 2);
    EXPECT_EQ(zeb_platform::GetPsRecord(3, 2056).data, expected);

    uint8_t out[48];
    memset(out, 0xab, sizeof out);
    instance.GetFrameSceneInfo(out);
    const int32_t sceneInts[] = {1, 2, 4, 5, -1, 8, 4000, 3000, -1, 5, 6, 7};
    for (int i = 0; i < 12; ++i) {
        if (sceneInts[i] < 0) continue;
        EXPECT_EQ(At<int32_t>(out, 4 * i), sceneInts[i]) << "scene byte " << 4 * i;
    }
    EXPECT_EQ(At<uint32_t>(out, 16), 0xababababu);
    EXPECT_EQ(At<float>(out, 32), 2.5f);
    memset(out, 0xab, sizeof out);
    instance.GetFrameSmartInfo(out);
    const int32_t smartInts[] = {5, 13, -1, -1, 11, 12, 5000, -3};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(At<int32_t>(out, 4 * i), smartInts[i] == -1 ? int32_t(0xabababab) : smartInts[i]) << 4 * i;
    }
    instance.GetFrameAndroidInfo(out);
    EXPECT_EQ(At<int32_t>(out, 0), 31);
    EXPECT_EQ(At<int32_t>(out, 4), 32);
    EXPECT_EQ(At<int32_t>(out, 8), 33);
    instance.GetFrameManualInfo(out);
    EXPECT_EQ(out[0], control[279]);
    EXPECT_EQ(out[1], zolt[39]);
    EXPECT_EQ(out[2], zolt[38]);
    EXPECT_EQ(out[3], zolt[42]);
    EXPECT_EQ(At<int32_t>(out, 4), At<int32_t>(zolt.data(), 1308));
    EXPECT_EQ(At<int32_t>(out, 8), zolt[41]);
    EXPECT_EQ(At<int32_t>(out, 12), At<int32_t>(control.data(), 252));
    EXPECT_EQ(At<int32_t>(out, 16), At<int32_t>(aeResult.data(), 84));

    // Faces: count (64-bit) at 16, face i at 2824 + 196 i. The preview list
    // starts with an entry for face 1, so the cursor passes both faces.
    instance.SetFdInfo(3, 9);
    Bytes faces(13864, 0);
    Put<uint64_t>(faces, 16, 2);
    EXPECT_EQ(zeb_platform::GetPsRecord(3, 2050).data, faces);
    for (int32_t v = 1; v <= 8; ++v) Put(faces, 2824 + 196 * static_cast<size_t>((v - 1) / 4) + 4 * ((v - 1) % 4), v);
    EXPECT_EQ(zeb_platform::GetPsRecord(3, 2104).data, faces);
    EXPECT_EQ(zeb_platform::GetPsRecord(3, 2104).lastFrameId, 9);

    // The YUV list: 304-byte descriptors, each sending the scene-info record.
    ZEB::SimulationControlProbe::ListFrames(instance, Frames(instance, 0));
    void* list = nullptr;
    int count = 0;
    ASSERT_TRUE(instance.GetFrameYuv(&list, &count));
    ASSERT_EQ(count, 2);
    for (int i = 0; i < 2; ++i) {
        const uint8_t* descriptor = static_cast<uint8_t*>(list) + 304 * i;
        EXPECT_EQ(At<int32_t>(descriptor, 4), 8);
        EXPECT_EQ(At<int32_t>(descriptor, 8), 4);
        EXPECT_EQ(At<int32_t>(descriptor, 72), i);
        const std::string image(48, static_cast<char>('a' + i));
        EXPECT_EQ(std::string(At<const char*>(descriptor, 32), 48), image);
        void* mapped = mmap(nullptr, 48, PROT_READ, MAP_SHARED, At<int32_t>(descriptor, 56), 0);
        ASSERT_NE(mapped, MAP_FAILED);
        EXPECT_EQ(std::string(static_cast<char*>(mapped), 48), image);
        munmap(mapped, 48);
    }
    expected.assign(4904, 0);
    Put<uint32_t>(expected, 0, 4096);
    for (size_t at : {4, 64}) {
        Put(expected, at, kEv[2]);
        Put(expected, at + 4, kEv[3]);
    }
    const std::pair<size_t, int32_t> ints[] = {{56, 3}, {60, 2}, {888, 9}, {4832, 1},
                                               {4840, 2}, {4856, 3}, {4860, 4}, {4868, 5}};
    for (const auto& field : ints) Put(expected, field.first, field.second);
    const auto sceneInfo = zeb_platform::GetPsRecord(3, 2056);
    EXPECT_EQ(sceneInfo.data, expected);
    EXPECT_EQ(sceneInfo.lastFrameId, 1);
    EXPECT_EQ(sceneInfo.lastMode, 0);
}

TEST_F(RecordLayout, RawMultiFrameRecordPointsAtTheFirstFramesLensShadingTables) {
    SceneSpec rawMfnr, xdr;
    rawMfnr.xml = "<postprocInfo><is_raw_mfnr_scene>1</is_raw_mfnr_scene></postprocInfo>";
    xdr.xml = "<postprocInfo><is_xdr_scene>1</is_xdr_scene></postprocInfo>";
    Load({TaskSpec(2, true, rawMfnr), TaskSpec(1, true, xdr)});
    const Bytes table = Dump(FramePath(0, 0), "LSC_RESULT_TABLE_INFO.bin", 96, 1);
    const Bytes weights = Dump(FramePath(0, 0), "LSC_RESULT_WTABLE_INFO.bin", 40, 2);
    const Bytes offline = Dump(FramePath(0, 0), "OFFLINE_RESULT_INFO.bin", 1256, 3);
    SimulationControl instance(nullptr, 0);
    ASSERT_TRUE(WaitForFrames(instance));
    zeb_platform::ResetPsParams();
    LogCapture log(1);
    instance.SetInfo2Parameter(0, Tasks(instance).at(0));
    ASSERT_TRUE(zeb_test::WaitFor([] { return zeb_platform::GetPsRecord(0, 65671).setCount > 0; }));
    Bytes record = zeb_platform::GetPsRecord(0, 65578).data;
    ASSERT_EQ(record.size(), 208u);
    const uint8_t* tableAt = At<const uint8_t*>(record.data(), 40);
    const uint8_t* weightsAt = At<const uint8_t*>(record.data(), 48);
    ASSERT_TRUE(tableAt && weightsAt);
    EXPECT_EQ(Bytes(tableAt, tableAt + 96), table);
    EXPECT_EQ(Bytes(weightsAt, weightsAt + 40), weights);
    memset(record.data() + 40, 0, 16);
    EXPECT_EQ(record, Bytes(208, 0));
    EXPECT_EQ(zeb_platform::GetPsRecord(0, 65671).data, offline);

    // An XDR scene whose first frame has no tables hands over nothing.
    zeb_platform::ResetPsParams();
    instance.SetInfo2Parameter(1, Tasks(instance).at(1));
    ASSERT_TRUE(zeb_test::WaitFor([&] { return log.Contains("null ptr", "SimulationControl", 1); }));
    EXPECT_EQ(zeb_platform::GetPsRecord(0, 65578).setCount, 0u);
}

// Capture frames skip a frame whose is_highlight_nozsl (4 bytes at 4896 of its
// scene-detect output) is set; in "UltraRes" mode a non-zero word at byte 216
// of the first frame's scene information skips them all. A skipped frame
// other than the first is still sent, unaligned.
TEST_F(RecordLayout, SkippedCaptureFramesAreSentWithoutRealignment) {
    Load({TaskSpec(3), TaskSpec(3)}, "UltraRes");
    for (int f : {0, 1}) {
        Bytes detect(4904, 0);
        Put<int32_t>(detect, 4896, 1);
        zeb_test::WriteFile(FramePath(0, f) + "/SCENE_DETECT_OUT.bin", std::string(detect.begin(), detect.end()));
    }
    Bytes iscene(8512, 0);
    Put<int32_t>(iscene, 216, 7);
    zeb_test::WriteFile(FramePath(1, 0) + "/ISCENE_INFO.bin", std::string(iscene.begin(), iscene.end()));
    CaptureSensor sensor;
    Play(sensor, [](SimulationControl&, int) {});
    EXPECT_EQ(sensor.captured, (std::vector<std::pair<int, bool>>{{1, false}, {2, true}, {1, false}, {2, false}}));
}

// Per capture the HAL pulls the offline AE record, the statistics update and
// the ZSL image of the next frame; every task starts again at its frame 0.
TEST_F(RecordLayout, EveryTaskHandsOutItsFramesFromTheFirst) {
    Load({TaskSpec(3, true, SceneSpec(1)), TaskSpec(3, true, SceneSpec(1))});
    for (size_t t = 0; t < 2; ++t) {
        for (int f = 0; f < 3; ++f) zeb_test::WriteFile(FramePath(t, f) + "/HIST2_INFO.bin", std::string(1048, static_cast<char>('0' + f)));
    }
    property_set("persist.vendor.cam.zeb.post.process", "1");
    property_set("persist.vendor.cam.zeb.hist2.update", "1");
    std::string offline, zsl, updates;
    CaptureSensor sensor;
    Play(sensor, [&](SimulationControl& instance, int) {
        char ltm[16396], hist2[1048], yuv[48], record[128];
        memset(ltm, 'x', sizeof ltm);
        instance.SetDataUpdate(6, ltm);  // its switch is off
        instance.SetDataUpdate(7, hist2);
        updates += std::string(1, ltm[0]) + hist2[0] + hist2[sizeof hist2 - 1];
        for (int i = 0; i < 4; ++i) {
            instance.GetFrameYuv(static_cast<void*>(yuv));
            zsl += yuv[0];
        }
        for (int i = 0; i < 3; ++i) {
            instance.SetAeOfflineInfo(record);
            offline += record[0];
        }
        offline += '|';
    });
    EXPECT_EQ(offline, "ABC|ABC|");
    EXPECT_EQ(zsl, "abcaabca");
    EXPECT_EQ(updates, "x00x00");
}

TEST_F(RecordLayout, AnEmptyTaskListEndsAtOnce) {
    Load({});
    LogCapture log(4);
    SimulationControl instance(nullptr, 0);
    instance.GenerateOneJob();
    ASSERT_TRUE(zeb_test::WaitFor([&] { return instance.Finished(); }));
    EXPECT_TRUE(log.Contains("Task Running End"));
}

}  // namespace
