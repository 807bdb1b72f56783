#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "TriggerFixtures.h"
#include "platform/Log.h"
#include "trigger/XMLAutoParser.h"

using trigger_test::WriteParamFile;
using zeb_platform::LogCapture;
using ZEB::XMLAutoParser;

namespace {

const char* const kTwoLevelTree = R"(
  <ConstData>
    <c name="enable" type="int" length="1" index="0">1</c>
    <c name="scale" type="float" length="2" index="1">0.5 2</c>
  </ConstData>
  <Triggers name="NR">
    <bv start="0" end="10.5" para="bv">
      <gain start="1" end="4" para="gain" name="low">0</gain>
      <gain start="8" end="16" para="gain" name="high">1</gain>
    </bv>
    <bv start="20" end="30" para="bv">
      <gain start="1" end="4" para="gain" name="low2">2</gain>
    </bv>
  </Triggers>
  <Parameters name="NR">
    <group index="1"><p name="s" type="float" length="2" index="0">3 4</p><p name="r" type="int" length="1" index="1">30</p></group>
    <group index="0"><p name="s" type="float" length="2" index="0">1 2</p><p name="r" type="int" length="1" index="1">10</p></group>
    <group index="2"><p name="s" type="float" length="2" index="0">5 6</p><p name="r" type="int" length="1" index="1">50</p></group>
  </Parameters>)";

}  // namespace

TEST(XMLAutoParser, PairsEveryLeafPathWithTheGroupOfItsNumber) {
    zeb_test::TempDir dir;
    XMLAutoParser parser(WriteParamFile(dir, kTwoLevelTree));
    auto& data = parser.GetXMLData();
    ASSERT_EQ(data.size(), 1u);
    const ZEB::dataPool& pool = data.at("NR");
    ASSERT_EQ(pool.regions.size(), 3u);

    const auto& path = pool.regions.at(1).triggers;
    ASSERT_EQ(path.size(), 2u);
    EXPECT_FLOAT_EQ(path[0].start, 0.0f);
    EXPECT_FLOAT_EQ(path[0].end, 10.5f);
    EXPECT_EQ(path[0].para, "bv");
    EXPECT_EQ(path[0].name, "");
    EXPECT_EQ(path[0].value, 0);
    EXPECT_FLOAT_EQ(path[1].start, 8.0f);
    EXPECT_FLOAT_EQ(path[1].end, 16.0f);
    EXPECT_EQ(path[1].para, "gain");
    EXPECT_EQ(path[1].name, "high");
    EXPECT_EQ(path[1].value, 1);
    EXPECT_FLOAT_EQ(pool.regions.at(2).triggers[0].start, 20.0f);

    // Groups are found by number, not by their order in the file.
    for (int number = 0; number < 3; ++number) {
        const auto& params = pool.regions.at(number).params;
        ASSERT_EQ(params.size(), 2u);
        EXPECT_EQ(params[0].name, "s");
        EXPECT_EQ(params[0].floatData, (std::vector<float>{1.0f + 2 * number, 2.0f + 2 * number}));
        EXPECT_TRUE(params[0].intData.empty());
        EXPECT_EQ(params[1].intData, (std::vector<int32_t>{10 + 20 * number}));
        EXPECT_EQ(params[1].index, 1);
        EXPECT_EQ(params[1].length, 1);
    }
    ASSERT_EQ(pool.constData.size(), 2u);
    EXPECT_EQ(pool.constData[0].intData, (std::vector<int32_t>{1}));
    EXPECT_EQ(pool.constData[1].floatData, (std::vector<float>{0.5f, 2.0f}));
}

TEST(XMLAutoParser, LeafNumbersReadHexadecimalAndSaturate) {
    zeb_test::TempDir dir;
    XMLAutoParser parser(WriteParamFile(dir, R"(
  <Triggers name="T">
    <n start="0" end="1" para="p" name="hex">0x10</n>
    <n start="1" end="2" para="p" name="big">99999999999</n>
    <n start="2" end="3" para="p" name="small">-99999999999</n>
    <n start="3" end="4" para="p" name="empty"></n>
  </Triggers>
  <Parameters name="T">
    <g index="16"><p name="a" type="int" length="1" index="0">16</p></g>
    <g index="2147483647"><p name="a" type="int" length="1" index="0">1</p></g>
    <g index="-2147483648"><p name="a" type="int" length="1" index="0">2</p></g>
    <g index="0"><p name="a" type="int" length="1" index="0">3</p></g>
  </Parameters>)"));
    const auto& regions = parser.GetXMLData().at("T").regions;
    ASSERT_EQ(regions.size(), 4u);
    EXPECT_EQ(regions.at(16).triggers.back().name, "hex");
    EXPECT_EQ(regions.at(INT32_MAX).triggers.back().name, "big");
    EXPECT_EQ(regions.at(INT32_MIN).triggers.back().name, "small");
    EXPECT_EQ(regions.at(0).triggers.back().name, "empty");
}

TEST(XMLAutoParser, FirstLeafWithANumberWinsAndLeavesWithoutGroupsAreDropped) {
    zeb_test::TempDir dir;
    LogCapture log;
    XMLAutoParser parser(WriteParamFile(dir, R"(
  <Triggers name="T">
    <n start="0" end="1" para="first" name="a">1</n>
    <n start="5" end="6" para="second" name="b">1</n>
    <n start="7" end="8" para="p" name="orphan">5</n>
  </Triggers>
  <Parameters name="T"><g index="1"><p name="a" type="int" length="1" index="0">1</p></g></Parameters>)"));
    const auto& regions = parser.GetXMLData().at("T").regions;
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(regions.at(1).triggers.back().para, "first");
    EXPECT_FLOAT_EQ(regions.at(1).triggers.back().start, 0.0f);
    EXPECT_TRUE(log.Contains("can not find param with index 5", "XMLAutoParser", 1));
}

TEST(XMLAutoParser, ValuesSplitAtEverySingleSpaceWhateverTheLength) {
    zeb_test::TempDir dir;
    LogCapture log;
    XMLAutoParser parser(WriteParamFile(dir, R"(
  <Triggers name="T"><n start="0" end="1" para="p" name="a">0</n></Triggers>
  <Parameters name="T"><g index="0">
    <p name="three" type="float" length="3" index="0">1.5 2 3</p>
    <p name="gap" type="float" length="3" index="1">1.5  2</p>
    <p name="one" type="int" length="1" index="2">7</p>
    <p name="more" type="int" length="2" index="3">1 2 3 4</p>
    <p name="dbl" type="double" length="1" index="4">1.0</p>
    <p name="huge" type="int" length="2" index="5">99999999999 -99999999999</p>
    <p name="hex" type="int" length="2" index="6">0x10 12</p>
    <!-- a comment is not a parameter -->
  </g></Parameters>)"));
    const auto& params = parser.GetXMLData().at("T").regions.at(0).params;
    ASSERT_EQ(params.size(), 7u);
    EXPECT_EQ(params[0].floatData, (std::vector<float>{1.5f, 2.0f, 3.0f}));
    EXPECT_EQ(params[1].floatData, (std::vector<float>{1.5f, 0.0f, 2.0f}));
    EXPECT_EQ(params[2].intData, (std::vector<int32_t>{7}));
    // The announced length neither limits nor pads the values.
    EXPECT_EQ(params[3].intData, (std::vector<int32_t>{1, 2, 3, 4}));
    EXPECT_EQ(params[3].length, 2);
    EXPECT_TRUE(params[4].intData.empty());
    EXPECT_TRUE(params[4].floatData.empty());
    EXPECT_TRUE(log.Contains("invalid data type, check param type of dbl", "XMLAutoParser", 1));
    EXPECT_EQ(params[5].intData, (std::vector<int32_t>{INT32_MAX, INT32_MIN}));
    // Parameter values are decimal.
    EXPECT_EQ(params[6].intData, (std::vector<int32_t>{0, 12}));
}

TEST(XMLAutoParser, DivideStringKeepsEmptyPiecesAndLineBreaks) {
    zeb_test::TempDir dir;
    XMLAutoParser parser(dir / "absent.xml");
    EXPECT_EQ(parser.DivideString("a  b"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(parser.DivideString(" a"), (std::vector<std::string>{"", "a"}));
    EXPECT_EQ(parser.DivideString("a\nb c"), (std::vector<std::string>{"a\nb", "c"}));
    EXPECT_TRUE(parser.DivideString("").empty());
}

TEST(XMLAutoParser, TreesWithoutTheirParameterTreeAreDropped) {
    zeb_test::TempDir dir;
    LogCapture log;
    XMLAutoParser parser(WriteParamFile(dir, R"(
  <Triggers name="A"><n start="0" end="1" para="p" name="a">0</n></Triggers>
  <Triggers name="B"><n start="0" end="1" para="p" name="b">0</n></Triggers>
  <Triggers name="A"><n start="0" end="1" para="p" name="later">0</n></Triggers>
  <Parameters name="A"><g index="0"><p name="a" type="int" length="1" index="0">1</p></g></Parameters>)"));
    auto& data = parser.GetXMLData();
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data.at("A").regions.at(0).triggers.back().name, "a");
    EXPECT_TRUE(log.Contains("can not find param tree that name is B, trigger match param failed", "XMLAutoParser", 1));
}

TEST(XMLAutoParser, UnusableFilesLeaveNoDataAndSayWhy) {
    zeb_test::TempDir dir;
    struct Case {
        std::string content;
        const char* message;
    };
    const Case cases[] = {
        {"<root><Triggers>", "Param xml parsed failed! xml file path is"},
        {"<other/>", "could not find Param xml root node"},
        {"<root><Triggers name=\"T\"><n start=\"0\" end=\"1\" name=\"a\">0</n></Triggers></root>",
         "XML configuration is error, return"},
        {"<root><Parameters name=\"T\"/></root>", "XML configuration is error, return"},
        {"", "Param xml parsed failed!"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        const std::string path = dir / "bad.xml";
        zeb_test::WriteFile(path, c.content);
        XMLAutoParser parser(path);
        EXPECT_TRUE(parser.GetXMLData().empty()) << c.content;
        EXPECT_TRUE(log.Contains(c.message, "XMLAutoParser", 1)) << c.content;
    }
    LogCapture log;
    XMLAutoParser missing(dir / "missing.xml");
    EXPECT_TRUE(missing.GetXMLData().empty());
    EXPECT_TRUE(log.Contains("Param xml parsed failed! xml file path is " + dir / "missing.xml"));
}

TEST(XMLAutoParser, DeeplyNestedTriggersAreCutInsteadOfExhaustingTheStack) {
    zeb_test::TempDir dir;
    std::string nest;
    const int depth = 100000;
    for (int i = 0; i < depth; ++i) nest += "<n start=\"0\" end=\"1\" para=\"p\">";
    nest += "<n start=\"0\" end=\"1\" para=\"p\" name=\"deep\">0</n>";
    for (int i = 0; i < depth; ++i) nest += "</n>";
    LogCapture log(1);
    XMLAutoParser parser(WriteParamFile(dir, "<Triggers name=\"T\">" + nest +
                                                 "</Triggers><Triggers name=\"U\"><n start=\"0\" end=\"1\" para=\"p\" "
                                                 "name=\"a\">0</n></Triggers><Parameters name=\"T\"><g index=\"0\"/>"
                                                 "</Parameters><Parameters name=\"U\"><g index=\"0\"/></Parameters>"));
    EXPECT_TRUE(log.Contains("nested deeper than 64 levels"));
    // The deep tree lost its only leaf; the flat one is whole.
    EXPECT_TRUE(parser.GetXMLData().at("T").regions.empty());
    EXPECT_EQ(parser.GetXMLData().at("U").regions.size(), 1u);
}

TEST(XMLAutoParser, LogsItsEnd) {
    zeb_test::TempDir dir;
    LogCapture log;
    { XMLAutoParser parser(WriteParamFile(dir, kTwoLevelTree)); }
    EXPECT_TRUE(log.Contains("delete XMLAutoParser", "XMLAutoParser", 4));
    EXPECT_TRUE(log.Contains("X, end to parse XML", "XMLAutoParser", 4));
}
