#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/registry_write.h"
#include "testutil/testutil.h"

namespace {

using testutil::Narrow;
using testutil::WString;

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Module, PathsOfTheExecutableThisModuleAndAFile) {
    WChar exe[plat::kMaxPath] = {}, mine[plat::kMaxPath] = {}, tiny[4];
    uint32_t n = plat::ModulePath(nullptr, exe, plat::kMaxPath);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n, plat::WStrLen(exe));
    EXPECT_TRUE(plat::PathIsAbsolute(exe));
    const std::string exe8 = Narrow(exe);
    EXPECT_TRUE(EndsWith(exe8, "test_platform") || EndsWith(exe8, "test_platform.exe")) << exe8;
    // Linked into the executable here, so this module is the executable.
    ASSERT_GT(plat::ModulePath(plat::ThisModule(), mine, plat::kMaxPath), 0u);
    EXPECT_EQ(0, plat::WStrICmp(exe, mine));
    EXPECT_EQ(0u, plat::ModulePath(nullptr, tiny, 4)); // does not fit

    testutil::TempDir dir;
    WString file = dir.Write("NimbroDrvIDec.0411", "not a module");
    ASSERT_GT(plat::LongPath(file.c_str(), mine, plat::kMaxPath), 0u);
    EXPECT_TRUE(plat::PathExists(mine));
    EXPECT_TRUE(EndsWith(Narrow(mine), "NimbroDrvIDec.0411"));
    EXPECT_EQ(0u, plat::LongPath(file.c_str(), tiny, 4));

    EXPECT_EQ(nullptr, plat::ModuleLoad(dir.Join("missing.0411").c_str()));
    EXPECT_EQ(nullptr, plat::ModuleLoadResources(file.c_str()));
    EXPECT_EQ(nullptr, plat::ModuleLoadResources(dir.Path().c_str())); // a folder
    plat::ModuleFree(nullptr);                                         // harmless
    EXPECT_EQ(nullptr, plat::ModuleSymbol(plat::ThisModule(), "NoSuchExportHere"));
    // The test program carries no string table.
    EXPECT_EQ(0, plat::LoadStringResource(plat::ThisModule(), 102, mine, 16));
    EXPECT_EQ(0, plat::LoadStringResource(plat::ThisModule(), 102, nullptr, 16));
}

TEST(Environment, VariablesSystemDirectoryAndLanguage) {
    const char* name = "NIMBRO_PLATFORM_TEST";
    {
        // ASCII: the C runtime's narrow environment is in the ANSI code page.
        testutil::ScopedEnv env(name, "/opt/plc dir");
        EXPECT_STREQ("/opt/plc dir", std::getenv(name));
        EXPECT_TRUE(plat::SetEnvVar(name, "second"));
        EXPECT_STREQ("second", std::getenv(name));
    }
    EXPECT_EQ(nullptr, std::getenv(name));
    EXPECT_FALSE(plat::SetEnvVar("", "x"));
    EXPECT_FALSE(plat::SetEnvVar(nullptr, "x"));

    WChar dir[plat::kMaxPath] = {};
    ASSERT_GT(plat::SystemDirectory(dir, plat::kMaxPath), 0u);
    EXPECT_TRUE(plat::PathIsAbsolute(dir));
    if (!testutil::PosixBackend()) {
        EXPECT_NE(0, plat::UserDefaultUILanguage());
        return;
    }
    const std::pair<const char*, const char*> sysDirs[] = {{"/opt/nimbro/sys", "/opt/nimbro/sys"},
                                                           {nullptr, "/usr/lib/nimbro"}};
    for (const auto& c : sysDirs) {
        testutil::ScopedEnv env("NIMBRO_SYSTEM_DIR", c.first);
        ASSERT_GT(plat::SystemDirectory(dir, plat::kMaxPath), 0u);
        EXPECT_EQ(c.second, Narrow(dir));
    }
    const std::pair<const char*, uint16_t> languages[] = {
        {"0411", 0x0411}, {"0x0C0A", 0x0C0A}, {"german", 0x0409}, {nullptr, 0x0409}};
    for (const auto& c : languages) {
        testutil::ScopedEnv env("NIMBRO_UI_LANGUAGE", c.first);
        EXPECT_EQ(c.second, plat::UserDefaultUILanguage()) << (c.first ? c.first : "unset");
    }
}

// The registry stand-in: a text file named by NIMBRO_REGISTRY.
TEST(RegistryFile, DwordAndTextValuesKeysInAnyCaseAndMissingOnes) {
    if (!testutil::PosixBackend())
        GTEST_SKIP() << "Windows reads the real registry";
    testutil::TempDir dir;
    std::string path = Narrow(
        dir.Write("registry.txt", "; settings for the tests\n\n"
                                  "HKCU\\SOFTWARE\\Varnholt\\Nimbro\\LanguageID=dword:00000411\r\n"
                                  "HKLM\\SOFTWARE\\Varnholt\\Ondrel\\PLCDir=/opt/plc dir\n"
                                  "HKLM\\SOFTWARE\\Varnholt\\Ondrel\\Title=Gr\xC3\xBC\xC3\x9F"
                                  "e\n"
                                  "HKCU\\SOFTWARE\\Other\\Broken\n"
                                  "HKCU\\SOFTWARE\\Varnholt\\Nimbro\\Mixed=dword:zz\n")
            .c_str());
    testutil::ScopedEnv env("NIMBRO_REGISTRY", path.c_str());
    // The bytes of a value, "<none>" when it is not read.
    auto read = [](plat::RegistryHive hive, const char* key, const char* name) {
        char data[64];
        uint32_t size = sizeof data;
        bool ok = plat::RegistryReadValue(hive, testutil::W(key).c_str(), testutil::W(name).c_str(),
                                          data, &size);
        return ok ? std::string(data, size) : "<none>";
    };
    const plat::RegistryHive cu = plat::kHkeyCurrentUser, lm = plat::kHkeyLocalMachine;
    EXPECT_EQ(std::string("\x11\x04\0\0", 4), read(cu, "software\\varnholt\\NIMBRO", "languageid"));
    // The same key under the other hive is another key.
    EXPECT_EQ("<none>", read(lm, "SOFTWARE\\Varnholt\\Nimbro", "LanguageID"));
    auto utf16 = [](const char* utf8) {
        WString w = testutil::W(utf8);
        return std::string(reinterpret_cast<const char*>(w.c_str()),
                           (w.size() + 1) * sizeof(WChar));
    };
    EXPECT_EQ(utf16("/opt/plc dir"), read(lm, "SOFTWARE\\Varnholt\\Ondrel", "PLCDir"));
    EXPECT_EQ(utf16("Gr\xC3\xBC\xC3\x9F"
                    "e"),
              read(lm, "SOFTWARE\\Varnholt\\Ondrel", "Title"));
    // Not a dword after all: kept as the text it is.
    EXPECT_EQ(utf16("dword:zz"), read(cu, "SOFTWARE\\Varnholt\\Nimbro", "Mixed"));
    EXPECT_EQ("<none>", read(cu, "SOFTWARE\\Varnholt\\Nimbro", "Missing"));
    EXPECT_EQ("<none>", read(cu, "SOFTWARE\\Varnholt", "LanguageID"));
    EXPECT_EQ("<none>", read(cu, "SOFTWARE\\Other", "Broken"));
    testutil::ScopedEnv gone("NIMBRO_REGISTRY", (path + ".missing").c_str());
    EXPECT_EQ("<none>", read(cu, "SOFTWARE\\Varnholt\\Nimbro", "LanguageID"));
}

// Both backends: a value is handed over whole or not at all. Windows keeps
// the probe in the user's registry, POSIX in the file NIMBRO_REGISTRY names.
TEST(Registry, AValueIsReadWholeOrNotAtAll) {
    testutil::TempDir dir;
    testutil::ScopedEnv env("NIMBRO_REGISTRY", Narrow(dir.Join("registry.txt").c_str()).c_str());
    const WChar *key = W16("SOFTWARE\\Varnholt\\Nimbro"), *name = W16("PlatformTestProbe"),
                *text = W16("/opt/plc dir");
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
