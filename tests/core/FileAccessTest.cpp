#include "core/FileAccess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace ZEB::files;

TEST(FileAccess, AFileThatShrinksWhileReadIsAShortRead) {
    zeb_test::TempDir dir;
    const std::string at = dir / "big.bin";
    zeb_test::WriteFile(at, std::string(3 * kReadChunk, 'x'));
    std::string bytes, why;
    bool cut = false;
    // The stop question comes between chunks: the file is cut there.
    const bool read = ReadAll(at, 1ull << 30, &bytes, &why, [&] {
        if (!cut) fs::resize_file(at, kReadChunk / 2);
        cut = true;
        return false;
    });
    EXPECT_FALSE(read);
    EXPECT_EQ(bytes.size(), kReadChunk / 2);
    EXPECT_EQ(why, "shorter than its size of " + std::to_string(3 * kReadChunk) + " bytes");
}

// A link at the name is replaced (the hostile-file suites check that through
// the sweep writer); a folder there is refused and the temporary file goes.
TEST(FileAccess, AFailedWriteLeavesNothingBehind) {
    zeb_test::TempDir dir;
    std::string why;
    fs::create_directories(dir / "out/Frame2_AE.xml");
    EXPECT_FALSE(WriteFileReplacing(dir / "out/Frame2_AE.xml", std::string("new"), &why));
    EXPECT_EQ(why, "a folder");
    // Nothing is left behind by the failed write.
    size_t entries = 0;
    for (auto& entry : fs::directory_iterator(dir / "out")) entries += entry.path().filename().string()[0] == '.';
    EXPECT_EQ(entries, 0u);
}

TEST(FileAccess, FoldersAreMadeLevelByLevelAndNeverThroughALink) {
    struct Case {
        const char* relative;
        bool made;
        const char* why;
    };
    const Case cases[] = {
        {"a/b/c", true, ""},
        {"linked/inside", false, "a link"},
        {"file/inside", false, "a file"},
        {"a/../../escape", false, "the name \"..\" cannot be a folder"},
        {"a/./b", false, "the name \".\" cannot be a folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.relative);
        zeb_test::TempDir dir;
        fs::create_directory(dir / "root");
        fs::create_directory(dir / "outside");
        fs::create_directory_symlink(dir / "outside", dir / "root/linked");
        zeb_test::WriteFile(dir / "root/file", "");
        std::string why;
        EXPECT_EQ(MakeDirsBelow(dir / "root", c.relative, &why), c.made);
        EXPECT_EQ(why, c.why);
        EXPECT_TRUE(fs::is_empty(dir / "outside"));
        EXPECT_FALSE(fs::exists(dir / "escape"));
    }
}

TEST(FileAccess, XmlIsTakenOnlyWithinItsDepth) {
    zeb_test::TempDir dir;
    const auto nested = [](int depth) {
        std::string xml;
        for (int i = 0; i < depth; ++i) xml += "<a>";
        for (int i = 0; i < depth; ++i) xml += "</a>";
        return xml;
    };
    pugi::xml_document doc;
    std::string why;
    zeb_test::WriteFile(dir / "ok.xml", "<?xml version=\"1.0\"?><!-- c --><r>" + nested(63) + "</r>");
    EXPECT_TRUE(LoadXml(doc, dir / "ok.xml", &why)) << why;
    EXPECT_EQ(XmlDepth(doc), 64);
    zeb_test::WriteFile(dir / "deep.xml", "<r>" + nested(64) + "</r>");
    EXPECT_FALSE(LoadXml(doc, dir / "deep.xml", &why));
    EXPECT_EQ(why, "nested deeper than 64 levels");
    EXPECT_TRUE(doc.first_child().empty());
    // Far deeper than any stack would take in recursion.
    EXPECT_FALSE(ParseXml(doc, nested(200000), &why));
    EXPECT_EQ(why, "nested deeper than 64 levels");
    EXPECT_FALSE(ParseXml(doc, "<a><b></a>", &why));
}

TEST(FileAccess, NamesAndLogText) {
    for (const char* bad : {"", ".", "..", "a/b", "a\nb/c"}) EXPECT_FALSE(IsPlainName(bad)) << bad;
    EXPECT_FALSE(IsPlainName(std::string(256, 'n')));
    EXPECT_FALSE(IsPlainName(std::string("a\0b", 3)));
    EXPECT_TRUE(IsPlainName(std::string(255, 'n')));
    EXPECT_TRUE(IsPlainName("..a"));
    EXPECT_EQ(Escaped("IMG\n2026-12-07 1 1 1 ZEB: forged\t\\\x1b\x7f"),
              "IMG\\n2026-12-07 1 1 1 ZEB: forged\\t\\\\\\x1b\\x7f");
}
