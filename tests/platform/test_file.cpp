#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/file.h"
#include "testutil/testutil.h"

namespace {

using testutil::TempDir;
using testutil::WString;

struct Listing {
    std::vector<std::pair<std::string, bool>> entries; // name, is a folder
    int stopAfter = -1;
};

bool Collect(const plat::DirEntry& e, void* p) {
    auto* l = static_cast<Listing*>(p);
    l->entries.emplace_back(testutil::Narrow(e.name), (e.attributes & plat::kAttrDirectory) != 0);
    return l->stopAfter < 0 || static_cast<int>(l->entries.size()) < l->stopAfter;
}

std::vector<std::string> Names(const Listing& l) {
    std::vector<std::string> n;
    for (auto& e : l.entries)
        n.push_back(e.first);
    std::sort(n.begin(), n.end());
    return n;
}

TEST(File, OpenAlwaysCreatesAnEmptyFileAndKeepsAnExistingOne) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    WString path = dir.Join("NimbroDrvIDec.cfg");
    ASSERT_FALSE(plat::PathExists(path.c_str()));

    plat::FileHandle f = plat::FileOpenAlways(path.c_str());
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(0, plat::FileSize(f));
    char c;
    EXPECT_EQ(0, plat::FileRead(f, &c, 1));
    plat::FileClose(f);
    EXPECT_TRUE(plat::PathExists(path.c_str()));

    const std::string content = "[Link0]\r\nOpenName=127.0.0.1:2101\r\n";
    dir.Write("NimbroDrvIDec.cfg", content);
    f = plat::FileOpenAlways(path.c_str());
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(static_cast<int64_t>(content.size()), plat::FileSize(f)); // not truncated
    plat::FileClose(f);
}

TEST(File, ReadsInPiecesToTheEnd) {
    TempDir dir;
    WString path = dir.Write("idec.plc", "hello world");
    plat::FileHandle f = plat::FileOpenRead(path.c_str());
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(11, plat::FileSize(f));
    char buf[16] = {};
    EXPECT_EQ(5, plat::FileRead(f, buf, 5));
    EXPECT_EQ("hello", std::string(buf, 5));
    EXPECT_EQ(6, plat::FileRead(f, buf, sizeof buf));
    EXPECT_EQ(" world", std::string(buf, 6));
    EXPECT_EQ(0, plat::FileRead(f, buf, sizeof buf));
    plat::FileClose(f);

    EXPECT_EQ(nullptr, plat::FileOpenRead(dir.Join("missing.plc").c_str()));
    EXPECT_EQ(-1, plat::FileSize(nullptr));
    EXPECT_EQ(-1, plat::FileRead(nullptr, buf, 1));
}

std::string Content(const WString& path) {
    plat::FileHandle f = plat::FileOpenRead(path.c_str());
    if (!f)
        return "<missing>";
    char buf[256];
    const int64_t n = plat::FileRead(f, buf, sizeof buf);
    plat::FileClose(f);
    return n < 0 ? "<unreadable>" : std::string(buf, static_cast<size_t>(n));
}

TEST(File, AppendWritesAtTheEndAndReplaceRenamesOverAFile) {
    TempDir dir;
    WString log = dir.Join("trace.log");
    // Two handles open at once (as a rotation meets a writer) both append.
    plat::FileHandle a = plat::FileOpenAppend(log.c_str());
    ASSERT_NE(nullptr, a);
    plat::FileHandle b = plat::FileOpenAppend(log.c_str());
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(3, plat::FileWrite(a, "one", 3));
    EXPECT_EQ(3, plat::FileWrite(b, "two", 3));
    EXPECT_EQ(5, plat::FileWrite(a, "three", 5));
    plat::FileClose(a);
    plat::FileClose(b);
    EXPECT_EQ("onetwothree", Content(log));

    WString old = dir.Write("trace.log.1", "stale");
    EXPECT_TRUE(plat::FileReplace(log.c_str(), old.c_str()));
    EXPECT_EQ("onetwothree", Content(old));
    EXPECT_FALSE(plat::PathExists(log.c_str()));
    EXPECT_FALSE(plat::FileReplace(log.c_str(), old.c_str())) << "nothing left to rename";
    EXPECT_EQ(nullptr, plat::FileOpenAppend(dir.Path().c_str())) << "a folder is no file";
}

TEST(File, FoldersAreNotOpenedAsFiles) {
    TempDir dir;
    EXPECT_EQ(nullptr, plat::FileOpenRead(dir.Path().c_str()));
    EXPECT_EQ(nullptr, plat::FileOpenAlways(dir.Path().c_str()));
}

TEST(File, AttributesOfFilesAndFolders) {
    TempDir dir;
    WString file = dir.Write("a.txt", "x");
    uint32_t fa = plat::PathAttributes(file.c_str());
    ASSERT_NE(plat::kAttrInvalid, fa);
    EXPECT_EQ(0u, fa & plat::kAttrDirectory);

    uint32_t da = plat::PathAttributes(dir.Path().c_str());
    ASSERT_NE(plat::kAttrInvalid, da);
    EXPECT_NE(0u, da & plat::kAttrDirectory);
    WString slash = dir.Path() + plat::kPathSep; // one trailing separator is ignored
    EXPECT_EQ(da, plat::PathAttributes(slash.c_str()));

    EXPECT_EQ(plat::kAttrInvalid, plat::PathAttributes(dir.Join("none").c_str()));
    EXPECT_FALSE(plat::PathExists(W16("")));
}

TEST(File, FindFilesMatchesTheLastComponent) {
    TempDir dir;
    dir.Write("a.txt", "1");
    dir.Write("b.TXT", "2");
    dir.Write("c.cfg", "3");
    dir.Write("long.0411", "4");
    ASSERT_TRUE(plat::DirCreate(dir.Join("d.txt").c_str()));

    Listing l;
    ASSERT_TRUE(plat::FindFiles(dir.Join("*.txt").c_str(), Collect, &l));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "b.TXT", "d.txt"}), Names(l));
    for (auto& e : l.entries)
        EXPECT_EQ(e.first == "d.txt", e.second) << e.first;

    Listing q;
    ASSERT_TRUE(plat::FindFiles(dir.Join("?.cfg").c_str(), Collect, &q));
    EXPECT_EQ(std::vector<std::string>{"c.cfg"}, Names(q));

    Listing lang;
    ASSERT_TRUE(plat::FindFiles(dir.Join("long.*").c_str(), Collect, &lang));
    EXPECT_EQ(std::vector<std::string>{"long.0411"}, Names(lang));

    Listing none;
    EXPECT_FALSE(plat::FindFiles(dir.Join("*.none").c_str(), Collect, &none));
    EXPECT_TRUE(none.entries.empty());
    EXPECT_FALSE(plat::FindFiles(dir.Join("missing/*").c_str(), Collect, &none));

    Listing first;
    first.stopAfter = 1;
    EXPECT_TRUE(plat::FindFiles(dir.Join("*.txt").c_str(), Collect, &first));
    EXPECT_EQ(1u, first.entries.size());
}

TEST(File, NonAsciiNamesSurviveTheRoundTrip) {
    TempDir dir;
    const std::string name = "gr\xC3\xB6\xC3\x9F"
                             "e-\xE6\x97\xA5.txt";
    WString path = dir.Write(name, "abc");
    ASSERT_TRUE(plat::PathExists(path.c_str()));
    Listing l;
    ASSERT_TRUE(plat::FindFiles(dir.Join("gr*.txt").c_str(), Collect, &l));
    EXPECT_EQ(std::vector<std::string>{name}, Names(l));
}

TEST(File, FoldersAndRemoval) {
    TempDir dir;
    WString sub = dir.Join("sub");
    ASSERT_TRUE(plat::DirCreate(sub.c_str()));
    EXPECT_FALSE(plat::DirCreate(sub.c_str())); // exists
    WString inner = sub + plat::kPathSep + W16("f.bin");
    const unsigned char bytes[3] = {0, 0xFF, 0x0D};
    ASSERT_TRUE(plat::FileWriteAll(inner.c_str(), bytes, sizeof bytes));
    EXPECT_FALSE(plat::DirRemove(sub.c_str())); // not empty
    EXPECT_TRUE(plat::FileRemove(inner.c_str()));
    EXPECT_FALSE(plat::FileRemove(inner.c_str()));
    EXPECT_TRUE(plat::DirRemove(sub.c_str()));
    EXPECT_FALSE(plat::PathExists(sub.c_str()));
}

TEST(File, TempDirsAreFreshAbsoluteFolders) {
    WChar a[plat::kMaxPath], b[plat::kMaxPath];
    ASSERT_TRUE(plat::MakeTempDir(a, plat::kMaxPath));
    ASSERT_TRUE(plat::MakeTempDir(b, plat::kMaxPath));
    EXPECT_NE(WString(a), WString(b));
    EXPECT_TRUE(plat::PathIsAbsolute(a));
    EXPECT_NE(0u, plat::PathAttributes(a) & plat::kAttrDirectory);
    EXPECT_TRUE(plat::DirRemove(a));
    EXPECT_TRUE(plat::DirRemove(b));
    WChar tiny[4];
    EXPECT_FALSE(plat::MakeTempDir(tiny, 4));
}

TEST(Paths, SeparatorAndAbsolutePaths) {
    EXPECT_TRUE(plat::IsPathSep(plat::kPathSep));
    EXPECT_FALSE(plat::IsPathSep(W16('a')));
    EXPECT_FALSE(plat::PathIsAbsolute(W16("idec.plc")));
    EXPECT_FALSE(plat::PathIsAbsolute(W16("cfg")));
    TempDir dir;
    EXPECT_TRUE(plat::PathIsAbsolute(dir.Path().c_str()));
}

} // namespace
