#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/file.h"
#include "testutil/testutil.h"

namespace {

using testutil::Narrow;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WString;

struct Listing {
    std::vector<std::string> names; // a folder's name ends in '/'
    size_t stopAfter = 0;
};

bool Collect(const plat::DirEntry& e, void* p) {
    auto* l = static_cast<Listing*>(p);
    bool folder = (e.attributes & plat::kAttrDirectory) != 0;
    l->names.push_back(testutil::Narrow(e.name) + (folder ? "/" : ""));
    return l->names.size() != l->stopAfter;
}

// The sorted names a pattern finds, "!" first when FindFiles says none.
std::string Find(const TempDir& dir, const std::string& pattern, size_t stopAfter = 0) {
    Listing l;
    l.stopAfter = stopAfter;
    std::string out = plat::FindFiles(dir.Join(pattern).c_str(), Collect, &l) ? "" : "!";
    std::sort(l.names.begin(), l.names.end());
    for (const std::string& n : l.names)
        out += n + " ";
    return out;
}

TEST(File, OpenAlwaysReadInPiecesAndFailures) {
    TempDir dir;
    WString path = dir.Join("a.cfg");
    plat::FileHandle f = plat::FileOpenAlways(path.c_str());
    ASSERT_NE(nullptr, f);
    char buf[32] = {};
    EXPECT_EQ(0, plat::FileSize(f));
    EXPECT_EQ(0, plat::FileRead(f, buf, 1));
    plat::FileClose(f);
    EXPECT_TRUE(plat::PathExists(path.c_str()));

    dir.Write("a.cfg", "hello world");
    f = plat::FileOpenAlways(path.c_str());
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(11, plat::FileSize(f)); // not truncated
    EXPECT_EQ(5, plat::FileRead(f, buf, 5));
    EXPECT_EQ(6, plat::FileRead(f, buf + 5, 16));
    EXPECT_EQ(0, plat::FileRead(f, buf, 16));
    EXPECT_EQ("hello world", std::string(buf));
    plat::FileClose(f);

    EXPECT_EQ(-1, plat::FileSize(nullptr));
    EXPECT_EQ(-1, plat::FileRead(nullptr, buf, 1));
    EXPECT_EQ(nullptr, plat::FileOpenRead(dir.Join("missing.plc").c_str()));
    // A folder is no file.
    EXPECT_EQ(nullptr, plat::FileOpenRead(dir.Path().c_str()));
    EXPECT_EQ(nullptr, plat::FileOpenAlways(dir.Path().c_str()));
    EXPECT_EQ(nullptr, plat::FileOpenAppend(dir.Path().c_str()));
}

TEST(File, AppendWritesAtTheEndAndReplaceRenamesOverAFile) {
    TempDir dir;
    WString log = dir.Join("trace.log");
    // Two handles open at once (as a rotation meets a writer) both append.
    plat::FileHandle a = plat::FileOpenAppend(log.c_str());
    plat::FileHandle b = plat::FileOpenAppend(log.c_str());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(3, plat::FileWrite(a, "one", 3));
    EXPECT_EQ(3, plat::FileWrite(b, "two", 3));
    EXPECT_EQ(5, plat::FileWrite(a, "three", 5));
    plat::FileClose(a);
    plat::FileClose(b);
    EXPECT_EQ("onetwothree", ReadFile(log));

    WString old = dir.Write("trace.log.1", "stale");
    EXPECT_TRUE(plat::FileReplace(log.c_str(), old.c_str()));
    EXPECT_EQ("onetwothree", ReadFile(old));
    EXPECT_FALSE(plat::PathExists(log.c_str()));
    EXPECT_FALSE(plat::FileReplace(log.c_str(), old.c_str())) << "nothing left to rename";
}

TEST(File, AttributesFoldersAndRemoval) {
    TempDir dir;
    WString file = dir.Write("a.txt", "x");
    uint32_t fa = plat::PathAttributes(file.c_str()), da = plat::PathAttributes(dir.Path().c_str());
    ASSERT_NE(plat::kAttrInvalid, fa);
    EXPECT_EQ(0u, fa & plat::kAttrDirectory);
    ASSERT_NE(plat::kAttrInvalid, da);
    EXPECT_NE(0u, da & plat::kAttrDirectory);
    EXPECT_EQ(da, plat::PathAttributes((dir.Path() + plat::kPathSep).c_str()));
    EXPECT_EQ(plat::kAttrInvalid, plat::PathAttributes(dir.Join("none").c_str()));
    EXPECT_FALSE(plat::PathExists(W16("")));

    WString sub = dir.Join("sub"), inner = sub + plat::kPathSep + W16("f.bin");
    ASSERT_TRUE(plat::DirCreate(sub.c_str()));
    EXPECT_FALSE(plat::DirCreate(sub.c_str())); // exists
    const unsigned char bytes[3] = {0, 0xFF, 0x0D};
    ASSERT_TRUE(plat::FileWriteAll(inner.c_str(), bytes, sizeof bytes));
    EXPECT_EQ(std::string("\0\xFF\r", 3), ReadFile(inner));
    EXPECT_FALSE(plat::DirRemove(sub.c_str())); // not empty
    EXPECT_TRUE(plat::FileRemove(inner.c_str()));
    EXPECT_FALSE(plat::FileRemove(inner.c_str()));
    EXPECT_TRUE(plat::DirRemove(sub.c_str()));
    EXPECT_FALSE(plat::PathExists(sub.c_str()));
}

TEST(File, FindFilesMatchesTheLastComponent) {
    TempDir dir;
    for (const char* name : {"a.txt", "b.TXT", "c.cfg", "long.0411"})
        dir.Write(name, "1");
    const std::string utf8 = "gr\xC3\xB6\xC3\x9F"
                             "e-\xE6\x97\xA5.txt";
    ASSERT_TRUE(plat::PathExists(dir.Write(utf8, "abc").c_str()));
    ASSERT_TRUE(plat::DirCreate(dir.Join("d.txt").c_str()));
    const std::pair<const char*, std::string> cases[] = {
        {"*.txt", "a.txt b.TXT d.txt/ " + utf8 + " "},
        {"?.cfg", "c.cfg "},
        {"long.*", "long.0411 "},
        {"gr*.txt", utf8 + " "},
        {"*.none", "!"},
        {"missing/*", "!"}};
    for (const auto& c : cases)
        EXPECT_EQ(c.second, Find(dir, c.first)) << c.first;
    const std::string first = Find(dir, "*.txt", 1); // the callback stops the search
    EXPECT_EQ(1, std::count(first.begin(), first.end(), ' ')) << first;
}

// Absolute: "/" rooted on POSIX; a drive, a share or a scheme on Windows,
// where a rooted name without a drive still joins the configuration folder.
TEST(File, TempDirsAndPathRules) {
    WChar a[plat::kMaxPath], b[plat::kMaxPath], tiny[4];
    ASSERT_TRUE(plat::MakeTempDir(a, plat::kMaxPath));
    ASSERT_TRUE(plat::MakeTempDir(b, plat::kMaxPath));
    EXPECT_NE(WString(a), WString(b));
    EXPECT_TRUE(plat::PathIsAbsolute(a));
    EXPECT_NE(0u, plat::PathAttributes(a) & plat::kAttrDirectory);
    EXPECT_TRUE(plat::DirRemove(a));
    EXPECT_TRUE(plat::DirRemove(b));
    EXPECT_FALSE(plat::MakeTempDir(tiny, 4));

    const bool win = plat::kPathSep == W16('\\');
    // Absolute on Windows only, on POSIX only, on neither.
    const std::vector<const WChar*> rows[3] = {
        {W16("C:\\cfg\\idec.plc"), W16("d:idec.plc"), W16("\\\\server\\share\\idec.plc"),
         W16("http://host/idec.plc")},
        {W16("/opt/idec.plc")},
        {W16("\\idec.plc"), W16("cfg\\idec.plc"), W16("idec.plc"), W16("c"), W16(""), nullptr}};
    for (int r = 0; r < 3; ++r)
        for (const WChar* p : rows[r])
            EXPECT_EQ(r == (win ? 0 : 1), plat::PathIsAbsolute(p)) << (p ? Narrow(p) : "null");
    for (WChar c : {W16('/'), W16('\\'), W16('a'), W16(':')})
        EXPECT_EQ(c == plat::kPathSep || (win && c == W16('/')), plat::IsPathSep(c)) << char(c);
    if (!win)
        return;
    TempDir dir;
    WString file = dir.Write("a.txt", "x");
    const uint32_t da = plat::PathAttributes(dir.Path().c_str());
    ASSERT_NE(plat::kAttrInvalid, da);
    for (const WChar* tail : {W16("\\"), W16("/")}) // either trailing separator
        EXPECT_EQ(da, plat::PathAttributes((dir.Path() + tail).c_str()));
    EXPECT_TRUE(plat::PathExists((file + W16("/")).c_str()));
    EXPECT_FALSE(plat::PathExists((dir.Path() + W16("\\missing\\")).c_str()));
}

} // namespace
