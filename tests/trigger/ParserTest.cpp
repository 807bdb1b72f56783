#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "TriggerFixtures.h"
#include "platform/Log.h"
#include "trigger/XMLAutoParser.h"

using namespace trigger_test;
using zeb_platform::LogCapture;
using ZEB::XMLAutoParser;

TEST(XMLAutoParser, PairsEveryLeafPathWithTheGroupOfItsNumber) {
    zeb_test::TempDir dir;
    LogCapture log;
    XMLAutoParser parser(WriteParamFile(dir, R"(
  <ConstData><c name="scale" type="float" length="2" index="1">0.5 2</c></ConstData>
  <Triggers name="NR">
    <bv start="0" end="10.5" para="bv">
      <gain start="1" end="4" para="gain" name="low">0</gain>
      <gain start="8" end="16" para="gain" name="high">1</gain>
    </bv>
    <bv start="20" end="30" para="bv"><gain start="1" end="4" para="gain" name="x">0x10</gain></bv>
    <bv start="40" end="50" para="bv">
      <gain start="0" end="1" para="again" name="y">16</gain>
      <gain start="1" end="2" para="p" name="big">99999999999</gain>
      <gain start="2" end="3" para="p" name="small">-99999999999</gain>
      <gain start="3" end="4" para="p" name="orphan">5</gain>
    </bv>
  </Triggers>
  <Triggers name="B"><n start="0" end="1" para="p" name="b">0</n></Triggers>
  <Triggers name="NR"><n start="0" end="1" para="p" name="later">0</n></Triggers>
  <Parameters name="NR">
    <group index="1"><p name="s" type="float" length="2" index="0">3 4</p><p name="r" type="int" length="1" index="1">30</p></group>
    <group index="0"><p name="s" type="float" length="2" index="0">1 2</p><p name="r" type="int" length="1" index="1">10</p></group>
    <g index="16"/><g index="2147483647"/><g index="-2147483648"/>
  </Parameters>)"));
    ASSERT_EQ(parser.GetXMLData().size(), 1u);  // B has no parameters
    EXPECT_TRUE(log.Contains("can not find param tree that name is B, trigger match param failed", "XMLAutoParser", 1));
    const ZEB::dataPool& pool = parser.GetXMLData().at("NR");
    const auto& path = pool.regions.at(1).triggers;
    ASSERT_EQ(path.size(), 2u);
    EXPECT_EQ(path[0].end, 10.5f);
    EXPECT_EQ(path[0].para, "bv");
    EXPECT_EQ(path[0].name, "");
    EXPECT_EQ(path[1].start, 8.0f);
    EXPECT_EQ(path[1].para, "gain");
    EXPECT_EQ(path[1].name, "high");
    EXPECT_EQ(path[1].value, 1);
    // Groups are found by number, not by their order in the file; the first
    // tree and the first leaf of a number win (0x10 before 16); numbers saturate.
    EXPECT_EQ(pool.regions.at(0).params[0].floatData, (std::vector<float>{1, 2}));
    EXPECT_EQ(pool.regions.at(1).params[1].intData, (std::vector<int32_t>{30}));
    EXPECT_EQ(pool.regions.at(0).triggers.back().name, "low");
    EXPECT_EQ(pool.regions.at(16).triggers.back().name, "x");
    EXPECT_EQ(pool.regions.at(INT32_MAX).triggers.back().name, "big");
    EXPECT_EQ(pool.regions.at(INT32_MIN).triggers.back().name, "small");
    EXPECT_EQ(pool.regions.size(), 5u);
    EXPECT_TRUE(log.Contains("can not find param with index 5", "XMLAutoParser", 1));
    EXPECT_EQ(pool.constData.at(0).floatData, (std::vector<float>{0.5f, 2.0f}));
}

TEST(XMLAutoParser, ValuesSplitAtEverySingleSpaceWhateverTheLength) {
    zeb_test::TempDir dir;
    LogCapture log;
    XMLAutoParser parser(WriteParamFile(dir, R"(
  <Triggers name="T"><n start="0" end="1" para="p" name="a">0</n></Triggers>
  <Parameters name="T"><g index="0">
    <p name="gap" type="float" length="3" index="1">1.5  2</p>
    <p name="more" type="int" length="2" index="2">1 2 3 4</p>
    <p name="dbl" type="double" length="1" index="3">1.0</p>
    <p name="huge" type="int" length="2" index="4">99999999999 -99999999999</p>
    <p name="hex" type="int" length="2" index="5">0x10 12</p>
    <!-- a comment is not a parameter -->
  </g></Parameters>)"));
    const auto& params = parser.GetXMLData().at("T").regions.at(0).params;
    ASSERT_EQ(params.size(), 5u);
    EXPECT_EQ(params[0].floatData, (std::vector<float>{1.5f, 0.0f, 2.0f}));
    EXPECT_EQ(params[1].intData, (std::vector<int32_t>{1, 2, 3, 4}));  // the length neither limits nor pads
    EXPECT_TRUE(params[2].intData.empty() && params[2].floatData.empty());
    EXPECT_TRUE(log.Contains("invalid data type, check param type of dbl", "XMLAutoParser", 1));
    EXPECT_EQ(params[3].intData, (std::vector<int32_t>{INT32_MAX, INT32_MIN}));
    EXPECT_EQ(params[4].intData, (std::vector<int32_t>{0, 12}));  // values are decimal
    EXPECT_EQ(parser.DivideString(" a  b\nc"), (std::vector<std::string>{"", "a", "", "b\nc"}));
}

TEST(XMLAutoParser, UnusableFilesLeaveNoDataAndSayWhy) {
    zeb_test::TempDir dir;
    const std::string path = dir / "bad.xml";
    const std::pair<std::string, std::string> cases[] = {
        {"<root><Triggers>", "Param xml parsed failed! xml file path is " + path},
        {"", "Param xml parsed failed!"},
        {"<other/>", "could not find Param xml root node"},
        {"<root><Triggers name=\"T\"><n start=\"0\" end=\"1\" name=\"a\">0</n></Triggers></root>",
         "XML configuration is error, return"},
        {"<root><Parameters name=\"T\"/></root>", "XML configuration is error, return"},
    };
    for (const auto& [content, message] : cases) {
        LogCapture log;
        zeb_test::WriteFile(path, content);
        XMLAutoParser parser(path);
        EXPECT_TRUE(parser.GetXMLData().empty()) << content;
        EXPECT_TRUE(log.Contains(message, "XMLAutoParser", 1)) << content;
    }
    EXPECT_TRUE(XMLAutoParser(dir / "missing.xml").GetXMLData().empty());
}

TEST(XMLAutoParser, DeeplyNestedTriggersAreCutInsteadOfExhaustingTheStack) {
    zeb_test::TempDir dir;
    std::string nest;
    for (int i = 0; i < 100000; ++i) nest += "<n start=\"0\" end=\"1\" para=\"p\">";
    nest += "<n start=\"0\" end=\"1\" para=\"p\" name=\"deep\">0</n>";
    for (int i = 0; i < 100000; ++i) nest += "</n>";
    LogCapture log(1);
    XMLAutoParser parser(WriteParamFile(dir, "<Triggers name=\"T\">" + nest + "</Triggers><Triggers name=\"U\"><n "
                                        "start=\"0\" end=\"1\" name=\"a\">0</n></Triggers><Parameters name=\"T\"><g "
                                        "index=\"0\"/></Parameters><Parameters name=\"U\"><g index=\"0\"/></Parameters>"));
    EXPECT_TRUE(log.Contains("nested deeper than 64 levels"));
    // The deep tree lost its only leaf; the flat one is whole.
    EXPECT_TRUE(parser.GetXMLData().at("T").regions.empty());
    EXPECT_EQ(parser.GetXMLData().at("U").regions.size(), 1u);
}
