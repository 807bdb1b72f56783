#include "zebsim-hal/lib/Scenario.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "simulation/RecordOffsets.h"

namespace zeb_hal {
namespace {
namespace fs = std::filesystem;
using namespace ZEB;

constexpr int kWidth = 72;  // 90 packed bytes a line: the library realigns to 96
constexpr int kHeight = 48;

struct DumpFile {
    const char* name;
    size_t size;
};
const DumpFile kDumps[] = {
    {"afm.bin", 512}, {"AEM_INFO.bin", 196620}, {"AEM_FOR_AWB.bin", 196620}, {"AE_RESULT_INFO.bin", 1248},
    {"CAP_AE_PARAMS.bin", 644}, {"AWB_CALC_INFO.bin", 120}, {"pdaf.bin", 256}, {"LSCM_INFO.bin", 196620},
    {"CCM_INFO.bin", 18}, {"ISCENE_INFO.bin", 8512}, {"LSC_RESULT_INFO.bin", 32}, {"LSC4_RESULT_INFO.bin", 208},
    {"LSC_RESULT_TABLE_INFO.bin", 4096}, {"HIST2_DATA_INFO.bin", 2048}, {"GTMHIST_DATA_INFO.bin", 1024},
    {"AEM_DATA_INFO.bin", 3072}, {"LSCM_DATA_INFO.bin", 1536}, {"SCENE_DETECT_OUT.bin", 4904},
    {"XTMHIST_INFO.bin", 560}, {"LTMHIST_INFO.bin", 16396}, {"LSC_RESULT_WTABLE_INFO.bin", 4096},
    {"BAYHIST_INFO.bin", 3144}, {"HIST2_INFO.bin", 1048}, {"ZOLTDEF_INFO.bin", 1392}, {"CONTROL_INFO.bin", 324},
    {"FD_ISP_INFO.bin", 4368}, {"FD_SNAPSHOT.bin", 13864}, {"XTM_RESULT_INFO.bin", 17436},
    {"OFFLINE_AE_INFO.bin", 128}, {"OFFLINE_RESULT_INFO.bin", 1256}};

struct SceneValues {
    int hdr = 0, mfnr = 0, mfnrHdr = 0;
    unsigned postproc = 0;
    int normal = 0, total = 1;
    std::string ev = "0 0 0 0 0 0 0 0 0 0";
    int faces = 0;
    std::string prevFaces, capFaces;
};

struct TaskPlan {
    int frames = 3;
    bool missingFolder = false;  // the task names a folder that is not there
    SceneValues scene;
};

void Write(const fs::path& path, const std::vector<uint8_t>& data) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<uint8_t> Noise(std::mt19937& random, size_t size) {
    std::vector<uint8_t> data(size);
    for (auto& byte : data) byte = static_cast<uint8_t>(random());
    return data;
}

void WriteFrame(const fs::path& folder, unsigned seed) {
    std::mt19937 random(seed);
    // A gradient with the frame's own offset, so every frame is told apart by its bytes.
    std::vector<uint8_t> packed(static_cast<size_t>(kWidth) * 5 / 4 * kHeight);
    for (size_t i = 0; i < packed.size(); ++i) packed[i] = static_cast<uint8_t>((i * 7 + seed * 31) ^ (i / 90));
    Write(folder / ("IMG_" + std::to_string(kWidth) + "x" + std::to_string(kHeight) + "_raw.mipi_raw"), packed);
    Write(folder / ("IMG_" + std::to_string(kWidth) + "x" + std::to_string(kHeight) + "_cap.yuv_nv21"),
          Noise(random, static_cast<size_t>(kWidth) * kHeight * 3 / 2));
    for (const DumpFile& dump : kDumps) {
        std::vector<uint8_t> data = Noise(random, dump.size);
        // Every frame of these recordings goes out as an ordinary capture frame.
        if (dump.size == SceneDetectOut::kSize) WriteField<int32_t>(data.data(), SceneDetectOut::kIsHighlightNozsl, 0);
        Write(folder / dump.name, data);
    }
}

void WriteScene(const fs::path& folder, const SceneValues& scene, int task) {
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\"?>\n<root>\n"
        << "  <commonInfo><frameID>" << task << "</frameID><camID>0</camID><width>" << kWidth << "</width><height>"
        << kHeight << "</height><zoom_ratio>1.5</zoom_ratio><crop_region>0 0 " << kWidth << " " << kHeight
        << "</crop_region><app_mode>" << 3 + task << "</app_mode><top_app_id>7</top_app_id><zolt_appmode_id>"
        << 11 + task << "</zolt_appmode_id><prv_scenario_id>1a</prv_scenario_id><cap_scenario_id>2b</cap_scenario_id>"
        << "<device_orientation>90</device_orientation><SessionMode>2</SessionMode></commonInfo>\n"
        << "  <switchInfo><face_beauty_on>1</face_beauty_on><is_flash_on>0</is_flash_on></switchInfo>\n"
        << "  <ThreeAInfo><bv>-" << 40 + task << "</bv><sensor_gain>256</sensor_gain><isp_gain>128</isp_gain><awb_ct>5000"
        << "</awb_ct><abl_weight>9</abl_weight><atm_gain>1</atm_gain><gtm_gain>2</gtm_gain></ThreeAInfo>\n"
        << "  <postprocInfo><ai_scene_type>4</ai_scene_type><is_hdr_scene>" << scene.hdr << "</is_hdr_scene><is_mfnr_scene>"
        << scene.mfnr << "</is_mfnr_scene><is_mfsr_scene>0</is_mfsr_scene><is_mfnr_hdr_scene>" << scene.mfnrHdr
        << "</is_mfnr_hdr_scene><is_raw_mfnr_scene>0</is_raw_mfnr_scene><is_xdr_scene>0</is_xdr_scene></postprocInfo>\n"
        << "  <capInfo><postproc_type>" << scene.postproc << "</postproc_type><normal_num>" << scene.normal
        << "</normal_num><total_num>" << scene.total << "</total_num><merge_frame_num>3</merge_frame_num>"
        << "<jpegOrientation>180</jpegOrientation><ev>0.5</ev></capInfo>\n"
        << "  <hdrDetectOut><ev>" << scene.ev << "</ev><shutter>0 0 0 0 0 0 0 0 0 0</shutter><frame_num>" << scene.total
        << "</frame_num><tuning_param_index>5</tuning_param_index><sceneChosen>2</sceneChosen></hdrDetectOut>\n"
        << "  <FDInfo><face_count>" << scene.faces << "</face_count><face_rectangle_coordinate_prev>" << scene.prevFaces
        << "</face_rectangle_coordinate_prev><face_rectangle_coordinate_cap>" << scene.capFaces
        << "</face_rectangle_coordinate_cap></FDInfo>\n"
        << "  <androidTag><ae_mode>1</ae_mode><flash_mode>2</flash_mode><lcd_flash_mode>0</lcd_flash_mode></androidTag>\n"
        << "</root>\n";
    const std::string text = xml.str();
    Write(folder / "iscene_Info.xml", std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<TaskPlan> Plan(const std::string& scenario) {
    SceneValues hdr;
    hdr.hdr = 1;
    hdr.postproc = 0x1000;
    hdr.normal = 1;
    hdr.total = 3;
    hdr.ev = "-2 0 2 -1 1 0.5 -0.5 1.5 -1.5 3";
    hdr.faces = 2;
    hdr.prevFaces = "0 10 20 30 40 1 50 60 70 80";
    hdr.capFaces = "0 11 21 31 41 1 51 61 71 81";
    SceneValues chdr = hdr;
    chdr.hdr = 0;
    chdr.mfnr = 1;
    chdr.mfnrHdr = 1;
    chdr.postproc = 0x80000;
    chdr.normal = 2;
    chdr.faces = 1;
    chdr.prevFaces = "1 10 20 30 40 0 5 6 7 8";
    SceneValues plain;
    if (scenario == "preview") return {{3, false, plain}, {4, false, plain}};
    if (scenario == "capture") return {{3, false, hdr}, {2, false, chdr}, {1, false, plain}};
    if (scenario == "edge") return {{2, false, hdr}, {1, true, plain}, {0, false, plain}, {2, false, plain}};
    return {};
}
}  // namespace

std::vector<std::string> ScenarioNames() { return {"preview", "capture", "edge"}; }

bool WriteScenario(const std::string& deviceRoot, const std::string& scenario, std::string* error) {
    const std::vector<TaskPlan> plan = Plan(scenario);
    if (plan.empty()) {
        if (error) *error = "unknown scenario " + scenario;
        return false;
    }
    try {
        const fs::path zeb = fs::absolute(deviceRoot) / "data/vendor/cameraserver/zeb";
        std::ostringstream list;
        list << "<?xml version=\"1.0\"?>\n<input>\n  <num>" << plan.size() << "</num>\n  <mode>"
             << (scenario == "preview" ? "Preview" : "Capture") << "</mode>\n  <TaskList>\n";
        unsigned seed = 1;
        for (size_t t = 0; t < plan.size(); ++t) {
            list << "    <image>\n";
            for (int f = 0; f < plan[t].frames; ++f) {
                const fs::path folder = zeb / "raw" / (scenario + "_task" + std::to_string(t) + "_frame" + std::to_string(f));
                if (!plan[t].missingFolder) {
                    WriteFrame(folder, seed++);
                    if (f == 0) WriteScene(folder, plan[t].scene, static_cast<int>(t));
                }
                list << "      <inputpath>" << folder.string() << "</inputpath>\n";
            }
            list << "      <outputpath>" << (zeb / "out" / ("ZEB_" + scenario + "_task" + std::to_string(t))).string()
                 << "</outputpath>\n    </image>\n";
        }
        list << "  </TaskList>\n</input>\n";
        const std::string text = list.str();
        Write(zeb / "config/RawListFile.xml", std::vector<uint8_t>(text.begin(), text.end()));
    } catch (const std::exception& failure) {
        if (error) *error = failure.what();
        return false;
    }
    return true;
}

}  // namespace zeb_hal
