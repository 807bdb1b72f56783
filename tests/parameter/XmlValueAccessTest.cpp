#include <gtest/gtest.h>

#include <cstring>

#include "parameter/ConfigReader.h"
#include "platform/Log.h"
#include "support/TestSupport.h"

using zeb_platform::LogCapture;

namespace {

using Reader = ZEB::ConfigReader;

pugi::xml_node Load(pugi::xml_document& doc, const char* xml) {
    EXPECT_TRUE(doc.load_string(xml));
    return doc.document_element();
}

}  // namespace

TEST(XmlValueAccess, ScalarConversions) {
    Reader r;
    pugi::xml_document doc;
    auto e = Load(doc,
                  "<e><i>42abc</i><n>abc</n><f>1.25</f><t>true</t><seven>7</seven><T>TRUE</T>"
                  "<c>xyz</c><empty></empty><cdata><![CDATA[12]]></cdata><h>null</h><h>ff</h>"
                  "<hx> 0x1F</hx><bad>zz</bad><neg>-1</neg></e>");
    EXPECT_EQ(r.Trans2Int(e, "i"), 42);
    EXPECT_EQ(r.Trans2Int(e, "n"), 0);
    EXPECT_EQ(r.Trans2Int(e, "cdata"), 12);
    EXPECT_EQ(r.Trans2Int(e, "absent"), 0);
    EXPECT_EQ(r.Trans2Int(pugi::xml_node(), "i"), 0);
    EXPECT_FLOAT_EQ(r.Trans2Float(e, "f"), 1.25f);
    EXPECT_EQ(r.Trans2Float(e, "absent"), 0.0f);
    EXPECT_TRUE(r.Trans2Bool(e, "t"));
    EXPECT_TRUE(r.Trans2Bool(e, "seven"));
    EXPECT_FALSE(r.Trans2Bool(e, "T"));
    EXPECT_FALSE(r.Trans2Bool(e, "absent"));
    EXPECT_EQ(r.Trans2Char(e, "c"), 'x');
    EXPECT_EQ(r.Trans2Char(e, "empty"), '\0');
    EXPECT_EQ(r.Trans2Char(e, "absent"), '0');
    EXPECT_STREQ(r.Trans2Char(e, "c", 0), "xyz");
    EXPECT_EQ(r.Trans2Char(e, "absent", 0), nullptr);

    LogCapture log(4);
    EXPECT_EQ(r.Trans2Hex(e, "h"), 255u);
    EXPECT_TRUE(log.Contains("Hex with 0xff"));
    EXPECT_EQ(r.Trans2Hex(e, "hx"), 0x1Fu);
    EXPECT_EQ(r.Trans2Hex(e, "absent"), 0u);
    EXPECT_EQ(r.Trans2Hex(e, "bad"), 0u);
    EXPECT_EQ(r.Trans2Hex(e, "empty"), 0u);
    EXPECT_EQ(r.Trans2Hex(e, "neg"), 0u);
    EXPECT_EQ(log.Count("is not a hexadecimal number", "ZEBParameter", 1), 3u);

    pugi::xml_document nulls;
    auto only = Load(nulls, "<e><h>null</h><h>null</h></e>");
    log.Clear();
    EXPECT_EQ(r.Trans2Hex(only, "h"), 0u);
    EXPECT_TRUE(log.Records().empty());
}

TEST(XmlValueAccess, SplittingAndArrays) {
    Reader r;
    using V = std::vector<std::string>;
    EXPECT_EQ(r.SplitString("1.5 -2  3"), (V{"1.5", "-2", "", "3"}));
    EXPECT_EQ(r.SplitString(" a"), (V{"", "a"}));
    EXPECT_EQ(r.SplitString("a b "), (V{"a", "b"}));
    EXPECT_EQ(r.SplitString(""), V{});
    EXPECT_EQ(r.SplitString("1\n2\t3"), V{"1\n2\t3"});

    pugi::xml_document doc;
    auto e = Load(doc, "<e><f>1.5 -2  3</f><i>1\n2 5</i><empty/></e>");
    float f4[4] = {9, 9, 9, 9};
    r.Trans2Float(e, "f", 4, f4);
    EXPECT_FLOAT_EQ(f4[0], 1.5f);
    EXPECT_FLOAT_EQ(f4[1], -2.0f);
    EXPECT_FLOAT_EQ(f4[2], 0.0f);
    EXPECT_FLOAT_EQ(f4[3], 3.0f);
    float f3[3] = {9, 9, 9};
    r.Trans2Float(e, "f", 2, f3);
    EXPECT_FLOAT_EQ(f3[0], 1.5f);
    EXPECT_FLOAT_EQ(f3[1], -2.0f);
    EXPECT_FLOAT_EQ(f3[2], 9.0f) << "exactly count values are written";

    int32_t i4[4] = {9, 9, 9, 9};
    r.Trans2Int(e, "i", 4, i4);
    EXPECT_EQ(i4[0], 1);
    EXPECT_EQ(i4[1], 5);
    EXPECT_EQ(i4[2], 0);
    EXPECT_EQ(i4[3], 0);
    int32_t untouched[2] = {9, 9};
    r.Trans2Int(e, "absent", 2, untouched);
    EXPECT_EQ(untouched[0], 9);
    r.Trans2Int(e, "empty", 2, untouched);
    EXPECT_EQ(untouched[0], 0);
    EXPECT_EQ(untouched[1], 0);
}

TEST(XmlValueAccess, SearchNodeAndBinaryReads) {
    Reader r;
    pugi::xml_document doc;
    auto e = Load(doc, "<e><a><b>1</b></a><a><b>2</b><b>3</b></a></e>");
    EXPECT_STREQ(r.SearchNode("a/b", e).text().get(), "1");
    EXPECT_FALSE(r.SearchNode("nothing", e));
    EXPECT_FALSE(r.SearchNode("a/b", pugi::xml_node()));
    EXPECT_FALSE(r.SearchNode("a[", e)) << "a malformed path selects nothing";
    ZEB::PathInfoTag at{"a/b", 2};
    EXPECT_STREQ(r.SearchNode(at, e).text().get(), "3");
    at.Position = 3;
    EXPECT_FALSE(r.SearchNode(at, e));
    at.Position = -1;
    EXPECT_FALSE(r.SearchNode(at, e));

    zeb_test::TempDir dir;
    zeb_test::WriteFile(dir / "data.bin", std::string("\x01\x02\x03", 3));
    uint8_t buffer[6] = {9, 9, 9, 9, 9, 9};
    LogCapture log(4);
    r.ReadDataFromBin((dir / "data.bin").c_str(), buffer, 6);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[2], 3);
    EXPECT_EQ(buffer[3], 9);
    EXPECT_TRUE(log.Contains("Read Size is 6"));
    r.ReadDataFromBin((dir / "missing.bin").c_str(), buffer, 6);
    r.ReadDataFromBin(nullptr, buffer, 6);
    EXPECT_EQ(log.Count("Could not open bin"), 2u);
}
