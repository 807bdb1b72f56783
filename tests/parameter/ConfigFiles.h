#pragma once
// Writes configuration files as a tester prepares them on a device: the task
// list at its fixed path, the block list, tuning task and tuning parameter
// files, and the recorded frame folders with their scene files. Header-only so
// the load benchmark builds the same fixtures.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zeb_config {

inline void Write(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Image {
    std::vector<std::string> inputs;
    std::string output;
    bool hasOutput = true;
};

// One <TaskList> per entry of `lists`.
inline std::string TaskListXml(const std::vector<std::vector<Image>>& lists, const std::string& ispconfig,
                               const std::string& mode = "Preview") {
    std::string xml = "<?xml version=\"1.0\"?>\n<input>\n <num>" + std::to_string(lists.size()) + "</num>\n";
    xml += " <ispconfig>" + ispconfig + "</ispconfig>\n <mode>" + mode + "</mode>\n";
    for (const auto& list : lists) {
        xml += " <TaskList>\n";
        for (const Image& image : list) {
            xml += "  <image>\n";
            for (const std::string& input : image.inputs) xml += "   <inputpath>" + input + "</inputpath>\n";
            if (image.hasOutput) xml += "   <outputpath>" + image.output + "</outputpath>\n";
            xml += "  </image>\n";
        }
        xml += " </TaskList>\n";
    }
    return xml + "</input>\n";
}

struct Block {
    std::string name;
    int state = 0;
    std::string tuning = "null";
    std::string id = "1";
};

inline std::string BlockListXml(const std::vector<Block>& blocks) {
    std::string xml = "<?xml version=\"1.0\"?>\n<ispblocks>\n";
    for (const Block& block : blocks) {
        xml += " <block>\n  <name>" + block.name + "</name>\n  <id>" + block.id + "</id>\n  <state>" +
               std::to_string(block.state) + "</state>\n  <dump>off</dump>\n  <tuning>" + block.tuning +
               "</tuning>\n </block>\n";
    }
    return xml + "</ispblocks>\n";
}

// Each entry of `configs` holds the <Parameter> elements of one <ParametersConfig>.
inline std::string TuningTaskXml(const std::string& block, const std::string& paramPath,
                                 const std::string& outputPath, const std::vector<std::string>& configs) {
    std::string xml = "<?xml version=\"1.0\"?>\n<ParametersInfo>\n <Block>" + block + "</Block>\n <ParamPath>" +
                      paramPath + "</ParamPath>\n <OutputPath>" + outputPath + "</OutputPath>\n";
    for (const std::string& config : configs) xml += " <ParametersConfig>\n" + config + " </ParametersConfig>\n";
    return xml + "</ParametersInfo>\n";
}

inline std::string Parameter(const std::string& path, const std::string& from, const std::string& to,
                             const std::string& step, const std::string& extra = "") {
    return "  <Parameter from=\"" + from + "\" to=\"" + to + "\" step=\"" + step + "\"" +
           (extra.empty() ? "" : " " + extra) + ">" + path + "</Parameter>\n";
}

// A tuning parameter file: <Block><Table><gain>..</gain><offset>..</offset></Table>x2</Block>.
inline std::string TuningParamXml(const std::string& root = "Block") {
    return "<?xml version=\"1.0\"?>\n<" + root +
           ">\n <Table>\n  <gain>1 2 3</gain>\n  <offset>7</offset>\n </Table>\n <Table>\n  <gain>4 5 6</gain>\n"
           "  <offset>9</offset>\n </Table>\n</" +
           root + ">\n";
}

// A tuning task for `block` over a parameter file of its own in `root`/tune,
// sweeping one value through `frames` steps into `root`/sweep/`block`/; its path.
inline std::string SweptTask(const std::string& root, const std::string& block, int frames) {
    const std::string param = root + "/tune/" + block + ".xml", task = root + "/tune/" + block + "_task.xml";
    Write(param, TuningParamXml());
    std::filesystem::create_directories(root + "/sweep/" + block);
    Write(task, TuningTaskXml(block, param, root + "/sweep/" + block + "/",
                              {Parameter("Block/Table/offset", "1", std::to_string(frames), "1")}));
    return task;
}

inline std::string SceneXml(int width, int height, int hdr, float capEv) {
    return "<?xml version=\"1.0\"?>\n<root>\n <commonInfo>\n  <width>" + std::to_string(width) +
           "</width>\n  <height>" + std::to_string(height) +
           "</height>\n  <crop_region>0 0 4000 3000</crop_region>\n </commonInfo>\n <postprocInfo>\n"
           "  <is_hdr_scene>" +
           std::to_string(hdr) + "</is_hdr_scene>\n </postprocInfo>\n <capInfo>\n  <ev>" + std::to_string(capEv) +
           "</ev>\n </capInfo>\n <hdrDetectOut>\n  <ev>-2 0 2</ev>\n  <frame_num>3</frame_num>\n </hdrDetectOut>\n"
           " <androidTag>\n  <flash_mode>2</flash_mode>\n </androidTag>\n</root>\n";
}

}  // namespace zeb_config
