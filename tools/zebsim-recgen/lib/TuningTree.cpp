// The tuning a recording can carry: the tuning documents and sweep tasks, the
// sensor's firmware tuning folder with its initial binaries, and the bypass
// lists; and the sweep tuning the tools use by default.
#include <pugixml.hpp>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/TuningBin.h"
#include "zebsim-recgen/lib/GeneratorParts.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace zeb_recgen {
namespace {

namespace fs = std::filesystem;

void Save(const pugi::xml_document& doc, const fs::path& path) {
    fs::create_directories(path.parent_path());
    if (!doc.save_file(path.c_str(), " ")) throw std::runtime_error("cannot write " + path.string());
}

std::string Decimal(float value) {
    char text[32];
    snprintf(text, sizeof text, "%f", value);
    return text;
}

}  // namespace

namespace parts {

void WriteTuning(const Options& options, GeneratedRecording& recording, std::vector<IspBlock>& listed) {
    const TuningOptions& tuning = options.tuning;
    const fs::path base = fs::path(options.outputFolder) / "tuning";
    const fs::path firmware = fs::path(tuning.firmwareRoot) / tuning.name;
    const std::string aliases[] = {tuning.previewAlias, tuning.captureAlias, "com"};
    for (const TuningBlock& block : tuning.blocks) {
        const std::string document = block.name + "_" + std::to_string(block.id) + ".xml";
        const fs::path documentPath = base / "xml" / document;
        pugi::xml_document doc;
        pugi::xml_node root = doc.append_child(block.name.c_str());
        root.append_attribute("block").set_value(block.name.c_str());
        root.append_attribute("id").set_value(std::to_string(block.id).c_str());
        root.append_attribute("bypass").set_value(block.bypass);
        std::vector<std::string> texts;
        for (float value : block.values) texts.push_back(Decimal(value));
        AddText(root, "value", texts.empty() ? "0" : texts.front());
        if (texts.size() > 1) AddText(root, "table", Joined(std::vector<std::string>(texts.begin() + 1, texts.end())));
        Save(doc, documentPath);

        std::string tuningText = block.tuning;
        if (block.sweep) {
            const fs::path taskPath = base / "task" / (block.name + ".xml");
            pugi::xml_document task;
            pugi::xml_node info = task.append_child("ParametersInfo");
            AddText(info, "Block", block.name);
            AddText(info, "ParamPath", documentPath.string());
            // No "_" in the folder: the driver names each copy in the output
            // folder after what follows the first "_" of the whole path.
            const fs::path sweep = base / "sweep" / ("block" + std::to_string(&block - tuning.blocks.data()));
            AddText(info, "OutputPath", sweep.string() + "/");
            fs::create_directories(sweep);
            pugi::xml_node parameter = info.append_child("ParametersConfig").append_child("Parameter");
            parameter.append_attribute("from").set_value(Decimal(block.from).c_str());
            parameter.append_attribute("to").set_value(Decimal(block.to).c_str());
            parameter.append_attribute("step").set_value(Decimal(block.step).c_str());
            parameter.append_attribute("array").set_value(1);  // one value: without it the reader warns
            parameter.text().set((block.name + "/value").c_str());
            Save(task, taskPath);
            tuningText = taskPath.string();
        }
        listed.push_back({block.name, block.id, block.state, "0", tuningText});

        // The converter's own encoding, as the sensor's first install.
        const zeb_platform::TuningDocument read = zeb_platform::ReadTuningDocument(documentPath.string());
        if (!read.ok) throw std::runtime_error(documentPath.string() + ": " + read.error);
        const std::vector<uint8_t> bytes = zeb_platform::EncodeTuningBin(read);
        for (const std::string& alias : aliases) {
            fs::create_directories(firmware / alias);
            WriteBytes((firmware / alias / zeb_platform::TuningBinName(read.block, read.id)).string(), bytes.data(),
                       bytes.size());
        }
    }

    pugi::xml_document cfg;
    pugi::xml_node scenarios = cfg.append_child("cfg");
    for (const auto& scenario : {std::make_pair(tuning.previewAlias, tuning.previewScenario),
                                 std::make_pair(tuning.captureAlias, tuning.captureScenario)}) {
        pugi::xml_node node = scenarios.append_child("scenario");
        node.append_attribute("alia").set_value(scenario.first.c_str());
        AddText(node, "id", "0x" + Hex(scenario.second));
    }
    Save(cfg, firmware / "cfg.xml");
    for (const std::string& alias : aliases) {
        fs::create_directories(firmware / alias);
        pugi::xml_document list;
        pugi::xml_node bypass = list.append_child("BypassBlocks");
        auto given = tuning.bypassLists.find(alias);
        if (given != tuning.bypassLists.end()) {
            for (const auto& entry : given->second) {
                pugi::xml_node block = bypass.append_child("Block");
                AddText(block, "Name", entry.first);
                Add(block, "BypassStatus", entry.second);
            }
        }
        Save(list, fs::path(tuning.binRoot) / tuning.name / (alias + ".xml"));
    }
    recording.tuningFolder = firmware.string();
}

}  // namespace parts

TuningOptions SweepTuning(const std::string& name, const std::string& deviceRoot) {
    TuningOptions tuning;
    tuning.name = name;
    tuning.firmwareRoot = deviceRoot + "/vendor/firmware";
    tuning.binRoot = deviceRoot + "/data/vendor/cameraserver/zeb/tuningbin";
    auto block = [](const char* blockName, uint64_t id, uint32_t state, std::vector<float> values, const char* text) {
        TuningBlock b;
        b.name = blockName;
        b.id = id;
        b.state = state;
        b.values = std::move(values);
        b.tuning = text;
        return b;
    };
    TuningBlock ae = block("AE_V5", 16433, 1, {0.5f, 8, 16}, "");
    ae.sweep = true;
    ae.from = 1;
    ae.to = 2;
    ae.step = 1;
    TuningBlock cmc = block("CMC10_V1", 16500, 0, {5, 1, 2, 3}, "");
    cmc.sweep = true;
    cmc.from = 10;
    cmc.to = 30;
    cmc.step = 10;
    TuningBlock trg = block("TRG_AFL_V3", 16410, 0, {50, 60}, "null");
    trg.bypass = 1;
    TuningBlock awb = block("AWB_V2", 16400, 3, {1.25f, 2}, "fixed");
    awb.bypass = 1;
    TuningBlock lsc = block("LSC_V1", 16420, 1, {4, 4}, "null");
    lsc.bypass = 1;
    tuning.blocks = {ae,
                     cmc,
                     awb,
                     lsc,
                     block("XTM_V1", 16440, 2, {0.75f}, "fixed"),
                     block("RGBGAIN_V1", 16450, 1, {1, 1, 1}, "null"),
                     trg};
    tuning.bypassLists = {{"prv", {{"CMC10_V1", 1}, {"TRG_AFL", 0}}},
                          {"cap", {{"CMC10_V1", 0}, {"TRG_AFL", 2}}},
                          {"com", {{"CMC", 3}}}};
    return tuning;
}

}  // namespace zeb_recgen
