#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/registry_write.h"
#include "testutil/testutil.h"

namespace {

using testutil::WString;

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Module, PathsOfTheExecutableAndThisModule) {
    WChar exe[plat::kMaxPath] = {};
    uint32_t n = plat::ModulePath(nullptr, exe, plat::kMaxPath);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n, plat::WStrLen(exe));
    EXPECT_TRUE(plat::PathIsAbsolute(exe));
    std::string exe8 = testutil::Narrow(exe);
    EXPECT_TRUE(EndsWith(exe8, "test_platform") || EndsWith(exe8, "test_platform.exe")) << exe8;

    // Linked into the executable here, so this module is the executable.
    plat::ModuleHandle self = plat::ThisModule();
    ASSERT_NE(nullptr, self);
    WChar mine[plat::kMaxPath] = {};
    ASSERT_GT(plat::ModulePath(self, mine, plat::kMaxPath), 0u);
    EXPECT_EQ(0, plat::WStrICmp(exe, mine));

    WChar tiny[4];
    EXPECT_EQ(0u, plat::ModulePath(nullptr, tiny, 4)); // does not fit
}

TEST(Module, LongPathNamesTheSameFile) {
    testutil::TempDir dir;
    WString file = dir.Write("NimbroDrvIDec.0411", "x");
    WChar lp[plat::kMaxPath] = {};
    uint32_t n = plat::LongPath(file.c_str(), lp, plat::kMaxPath);
    ASSERT_GT(n, 0u);
    EXPECT_TRUE(plat::PathExists(lp));
    EXPECT_TRUE(EndsWith(testutil::Narrow(lp), "NimbroDrvIDec.0411"));
    WChar tiny[4];
    EXPECT_EQ(0u, plat::LongPath(file.c_str(), tiny, 4));
}

TEST(Module, SystemDirectoryIsAbsolute) {
    WChar dir[plat::kMaxPath] = {};
    ASSERT_GT(plat::SystemDirectory(dir, plat::kMaxPath), 0u);
    EXPECT_TRUE(plat::PathIsAbsolute(dir));
    if (testutil::PosixBackend()) {
        {
            testutil::ScopedEnv env("NIMBRO_SYSTEM_DIR", "/opt/nimbro/sys");
            ASSERT_GT(plat::SystemDirectory(dir, plat::kMaxPath), 0u);
            EXPECT_EQ("/opt/nimbro/sys", testutil::Narrow(dir));
        }
        testutil::ScopedEnv none("NIMBRO_SYSTEM_DIR", nullptr);
        ASSERT_GT(plat::SystemDirectory(dir, plat::kMaxPath), 0u);
        EXPECT_EQ("/usr/lib/nimbro", testutil::Narrow(dir));
    }
}

TEST(Module, LoadingWhatIsNotAModuleFails) {
    testutil::TempDir dir;
    WString text = dir.Write("NimbroDrvIDec.0411", "not a module");
    EXPECT_EQ(nullptr, plat::ModuleLoad(dir.Join("missing.0411").c_str()));
    EXPECT_EQ(nullptr, plat::ModuleLoadResources(text.c_str()));
    EXPECT_EQ(nullptr, plat::ModuleLoadResources(dir.Path().c_str())); // a folder
    plat::ModuleFree(nullptr);                                         // harmless
    EXPECT_EQ(nullptr, plat::ModuleSymbol(plat::ThisModule(), "NoSuchExportHere"));
}

TEST(Module, MissingStringsLoadNothing) {
    WChar buf[16] = {};
    // The test program carries no string table.
    EXPECT_EQ(0, plat::LoadStringResource(plat::ThisModule(), 102, buf, 16));
    EXPECT_EQ(0, plat::LoadStringResource(plat::ThisModule(), 102, nullptr, 16));
    EXPECT_STREQ("NimbroStringTable", plat::kStringTableSymbol);
}

TEST(Environment, SetAndRemoveVariables) {
    {
        // ASCII: the C runtime's narrow environment is in the ANSI code page.
        testutil::ScopedEnv env("NIMBRO_PLATFORM_TEST", "/opt/plc dir");
        const char* v = std::getenv("NIMBRO_PLATFORM_TEST");
        ASSERT_NE(nullptr, v);
        EXPECT_STREQ("/opt/plc dir", v);
        EXPECT_TRUE(plat::SetEnvVar("NIMBRO_PLATFORM_TEST", "second"));
        EXPECT_STREQ("second", std::getenv("NIMBRO_PLATFORM_TEST"));
    }
    EXPECT_EQ(nullptr, std::getenv("NIMBRO_PLATFORM_TEST"));
    EXPECT_FALSE(plat::SetEnvVar("", "x"));
    EXPECT_FALSE(plat::SetEnvVar(nullptr, "x"));
}

TEST(Environment, UserInterfaceLanguage) {
    if (!testutil::PosixBackend()) {
        EXPECT_NE(0, plat::UserDefaultUILanguage());
        return;
    }
    {
        testutil::ScopedEnv env("NIMBRO_UI_LANGUAGE", "0411");
        EXPECT_EQ(0x0411, plat::UserDefaultUILanguage());
    }
    {
        testutil::ScopedEnv env("NIMBRO_UI_LANGUAGE", "0x0C0A");
        EXPECT_EQ(0x0C0A, plat::UserDefaultUILanguage());
    }
    {
        testutil::ScopedEnv env("NIMBRO_UI_LANGUAGE", "german");
        EXPECT_EQ(0x0409, plat::UserDefaultUILanguage());
    }
    testutil::ScopedEnv none("NIMBRO_UI_LANGUAGE", nullptr);
    EXPECT_EQ(0x0409, plat::UserDefaultUILanguage());
}

// The registry stand-in: a text file named by NIMBRO_REGISTRY.
class RegistryFile : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testutil::PosixBackend())
            GTEST_SKIP() << "Windows reads the real registry";
        path_ = testutil::Narrow(
            dir_.Write("registry.txt",
                       "; settings for the tests\n"
                       "\n"
                       "HKCU\\SOFTWARE\\Varnholt\\Nimbro\\LanguageID=dword:00000411\r\n"
                       "HKLM\\SOFTWARE\\Varnholt\\Ondrel\\PLCDir=/opt/plc dir\n"
                       "HKLM\\SOFTWARE\\Varnholt\\Ondrel\\Title=Gr\xC3\xBC\xC3\x9F"
                       "e\n"
                       "HKCU\\SOFTWARE\\Other\\Broken\n"
                       "HKCU\\SOFTWARE\\Varnholt\\Nimbro\\Mixed=dword:zz\n")
                .c_str());
        env_.reset(new testutil::ScopedEnv("NIMBRO_REGISTRY", path_.c_str()));
    }

    testutil::TempDir dir_;
    std::string path_;
    std::unique_ptr<testutil::ScopedEnv> env_;
};

TEST_F(RegistryFile, DwordValueWithKeyAndNameInAnyCase) {
    unsigned char data[4] = {};
    uint32_t size = sizeof data;
    ASSERT_TRUE(plat::RegistryReadValue(plat::kHkeyCurrentUser, W16("software\\varnholt\\NIMBRO"),
                                        W16("languageid"), data, &size));
    EXPECT_EQ(4u, size);
    EXPECT_EQ(0x11, data[0]);
    EXPECT_EQ(0x04, data[1]);
    EXPECT_EQ(0, data[2]);
    EXPECT_EQ(0, data[3]);
    // The same key under the other hive is another key.
    size = sizeof data;
    EXPECT_FALSE(plat::RegistryReadValue(plat::kHkeyLocalMachine, W16("SOFTWARE\\Varnholt\\Nimbro"),
                                         W16("LanguageID"), data, &size));
}

TEST_F(RegistryFile, TextValueIsUtf16WithTerminator) {
    WChar buf[64] = {};
    uint32_t size = sizeof buf;
    ASSERT_TRUE(plat::RegistryReadValue(plat::kHkeyLocalMachine, W16("SOFTWARE\\Varnholt\\Ondrel"),
                                        W16("PLCDir"), buf, &size));
    EXPECT_EQ(WString(W16("/opt/plc dir")), WString(buf));
    EXPECT_EQ((12u + 1u) * sizeof(WChar), size);

    size = sizeof buf;
    ASSERT_TRUE(plat::RegistryReadValue(plat::kHkeyLocalMachine, W16("SOFTWARE\\Varnholt\\Ondrel"),
                                        W16("Title"), buf, &size));
    EXPECT_EQ(testutil::W("Gr\xC3\xBC\xC3\x9F"
                          "e"),
              WString(buf));
}

TEST_F(RegistryFile, MissingKeysValuesAndFiles) {
    unsigned char data[64];
    uint32_t size = sizeof data;
    EXPECT_FALSE(plat::RegistryReadValue(plat::kHkeyCurrentUser, W16("SOFTWARE\\Varnholt\\Nimbro"),
                                         W16("Missing"), data, &size));
    EXPECT_FALSE(plat::RegistryReadValue(plat::kHkeyCurrentUser, W16("SOFTWARE\\Varnholt"),
                                         W16("LanguageID"), data, &size));
    EXPECT_FALSE(plat::RegistryReadValue(plat::kHkeyCurrentUser, W16("SOFTWARE\\Other"),
                                         W16("Broken"), data, &size));
    // Not a dword after all: kept as the text it is.
    size = sizeof data;
    ASSERT_TRUE(plat::RegistryReadValue(plat::kHkeyCurrentUser, W16("SOFTWARE\\Varnholt\\Nimbro"),
                                        W16("Mixed"), data, &size));
    EXPECT_EQ(9u * sizeof(WChar), size);

    testutil::ScopedEnv gone("NIMBRO_REGISTRY", (path_ + ".missing").c_str());
    size = sizeof data;
    EXPECT_FALSE(plat::RegistryReadValue(plat::kHkeyCurrentUser, W16("SOFTWARE\\Varnholt\\Nimbro"),
                                         W16("LanguageID"), data, &size));
}

// Both backends: a value is handed over whole or not at all. Windows keeps
// the probe in the user's registry, POSIX in the file NIMBRO_REGISTRY names.
TEST(Registry, AValueIsReadWholeOrNotAtAll) {
    testutil::TempDir dir;
    testutil::ScopedEnv env("NIMBRO_REGISTRY",
                            testutil::Narrow(dir.Join("registry.txt").c_str()).c_str());
    const WChar* key = W16("SOFTWARE\\Varnholt\\Nimbro");
    const WChar* name = W16("PlatformTestProbe");
    const WChar* text = W16("/opt/plc dir");
    ASSERT_TRUE(plat::RegistryWriteText(plat::kHkeyCurrentUser, key, name, text));
    auto read = [&](void* data, uint32_t* size) {
        return plat::RegistryReadValue(plat::kHkeyCurrentUser, key, name, data, size);
    };
    const uint32_t whole = static_cast<uint32_t>((plat::WStrLen(text) + 1) * sizeof(WChar));

    uint32_t size = 0;
    EXPECT_TRUE(read(nullptr, &size)) << "no buffer asks for the size";
    EXPECT_EQ(whole, size);

    for (uint32_t room : {whole - 1, 4u, 0u}) {
        WChar buf[16];
        for (WChar& c : buf)
            c = 0x7777;
        size = room;
        EXPECT_FALSE(read(buf, &size)) << room;
        EXPECT_EQ(whole, size) << room;
        for (WChar c : buf)
            EXPECT_EQ(static_cast<WChar>(0x7777), c) << room;
    }

    WChar exact[13]; // the text and its terminator
    size = sizeof exact;
    ASSERT_TRUE(read(exact, &size));
    EXPECT_EQ(whole, size);
    EXPECT_EQ(WString(text), WString(exact));

    EXPECT_TRUE(plat::RegistryDeleteValue(plat::kHkeyCurrentUser, key, name));
    size = sizeof exact;
    EXPECT_FALSE(read(exact, &size));
}

} // namespace
