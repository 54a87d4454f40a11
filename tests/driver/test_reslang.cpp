// Choice of the resource language: satellites beside a copy of the module,
// in the system folder, chosen by the registry value or the UI language.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/registry_write.h"
#include "platform/sync.h"
#include "support/ResLang.h"
#include "testutil/testutil.h"

namespace {

using testutil::Narrow;
using testutil::W;
using testutil::WString;

const WChar kLangKey[] = W16("SOFTWARE\\Varnholt\\Nimbro");

class ResLangTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        ASSERT_FALSE(sysDir_.Path().empty());
        // The POSIX backend's stand-ins; the Windows backend ignores them.
        registry_ = dir_.Join("registry.txt");
        plat::FileWriteAll(registry_.c_str(), "", 0);
        envRegistry_.reset(
            new testutil::ScopedEnv("NIMBRO_REGISTRY", Narrow(registry_.c_str()).c_str()));
        envSystem_.reset(
            new testutil::ScopedEnv("NIMBRO_SYSTEM_DIR", Narrow(sysDir_.Path().c_str()).c_str()));
        envUi_.reset(new testutil::ScopedEnv("NIMBRO_UI_LANGUAGE", "0409"));
        ClearLanguage();
    }

    void TearDown() override {
        lang_.Unselect();
        if (module_)
            plat::ModuleFree(module_);
        for (const WString& f : systemFiles_)
            plat::FileRemove(f.c_str());
        ClearLanguage();
    }

    // A copy of the driver module in the test folder, loaded. Its own choice
    // at load finds no satellite: they come after.
    void LoadModuleCopy(const std::string& baseName = "NimbroDrvIDec") {
        modulePath_ = drvtest::ModuleCopyPath(dir_, baseName);
        ASSERT_TRUE(drvtest::CopyFile(W(NIMBRO_TEST_MODULE), modulePath_));
        module_ = plat::ModuleLoad(modulePath_.c_str());
        ASSERT_NE(module_, nullptr);
        baseName_ = baseName;
    }

    static WString Satellite(const std::string& lang) {
        return W(NIMBRO_TEST_SATELLITES) + W16("/NimbroDrvIDec.") + W(lang);
    }

    void Install(const std::string& lang) {
        ASSERT_TRUE(drvtest::CopyFile(Satellite(lang), dir_.Join(baseName_ + "." + lang)));
    }

    // The registry value, as a DWORD in the POSIX stand-in. The real
    // registry gets a one-character text whose first four bytes are the
    // same (character, terminator): the selector reads four bytes of any type.
    bool SetLanguage(uint16_t lang) {
        if (testutil::PosixBackend()) {
            char line[96];
            std::snprintf(line, sizeof line,
                          "HKCU\\SOFTWARE\\Varnholt\\Nimbro\\LanguageID=dword:%08X\n", lang);
            plat::FileWriteAll(registry_.c_str(), line, std::strlen(line));
        } else {
            WChar text[2] = {static_cast<WChar>(lang), 0};
            plat::RegistryWriteText(plat::kHkeyCurrentUser, kLangKey, W16("LanguageID"), text);
        }
        return CResLang::RegistryLanguage() == lang;
    }

    void ClearLanguage() {
        plat::FileWriteAll(registry_.c_str(), "", 0);
        if (!testutil::PosixBackend())
            plat::RegistryDeleteValue(plat::kHkeyCurrentUser, kLangKey, W16("LanguageID"));
    }

    std::string Text(uint32_t id) {
        WChar buf[256];
        buf[0] = 0;
        if (lang_.LoadText(id, buf, 256) <= 0)
            return "<none>";
        return Narrow(buf);
    }

    testutil::TempDir dir_;
    testutil::TempDir sysDir_;
    WString registry_;
    std::unique_ptr<testutil::ScopedEnv> envRegistry_, envSystem_, envUi_;
    std::string baseName_;
    WString modulePath_;
    plat::ModuleHandle module_ = nullptr;
    std::vector<WString> systemFiles_;
    CResLang lang_;
};

TEST_F(ResLangTest, RegistryLanguageWithItsSatelliteBeside) {
    LoadModuleCopy();
    Install("0411");
    Install("040A");
    ASSERT_TRUE(SetLanguage(0x0411));
    EXPECT_TRUE(lang_.Select(module_));
    EXPECT_EQ(lang_.BaseModule(), module_);
    EXPECT_EQ(Text(999),
              "\xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC\xE3\x81\xAA\xE3\x81\x97\xE3\x80\x82");
    // Ids the satellite lacks come from the driver module.
    EXPECT_EQ(Text(1010), "Error, Invalid device! (%s,%s,%s)");
    EXPECT_EQ(Text(4242), "<none>");
}

TEST_F(ResLangTest, SameLanguageSublanguageOneIsPreferred) {
    LoadModuleCopy();
    Install("080A");
    Install("040A");
    Install("0411");
    ASSERT_TRUE(SetLanguage(0x0C0A));
    EXPECT_TRUE(lang_.Select(module_));
    EXPECT_EQ(Text(999), "Sin errores (040A)");
}

TEST_F(ResLangTest, SameLanguageSmallestSublanguageOtherwise) {
    LoadModuleCopy();
    Install("2C0A");
    Install("080A");
    ASSERT_TRUE(SetLanguage(0x0C0A));
    EXPECT_TRUE(lang_.Select(module_));
    EXPECT_EQ(Text(999), "Sin errores (080A)");
}

TEST_F(ResLangTest, NoSatelliteOfTheLanguageMeansTheDriverModule) {
    LoadModuleCopy();
    Install("0411");
    ASSERT_TRUE(SetLanguage(0x0C0A));
    EXPECT_FALSE(lang_.Select(module_));
    EXPECT_EQ(lang_.ResourceModule(), module_);
    EXPECT_EQ(Text(999), "No Error.");
}

TEST_F(ResLangTest, EnglishUiWithoutRegistryValueUsesTheDriverModule) {
    testutil::ScopedEnv ui("NIMBRO_UI_LANGUAGE", "0809");
    if ((plat::UserDefaultUILanguage() & CResLang::kPrimaryMask) != 0x09)
        GTEST_SKIP() << "the user interface language is not English here";
    LoadModuleCopy();
    // Present, but English needs no satellite.
    Install("0809");
    Install("0411");
    EXPECT_FALSE(lang_.Select(module_));
    EXPECT_EQ(Text(999), "No Error.");
}

TEST_F(ResLangTest, UiLanguageWhenTheRegistryHasNone) {
    if (!testutil::PosixBackend())
        GTEST_SKIP() << "the Windows UI language cannot be changed by a test";
    testutil::ScopedEnv ui("NIMBRO_UI_LANGUAGE", "0411");
    LoadModuleCopy();
    Install("0411");
    EXPECT_TRUE(lang_.Select(module_));
    EXPECT_EQ(Text(1000).substr(0, 3), "\xE3\x82\xA8");
}

TEST_F(ResLangTest, SatelliteOnlyInTheSystemFolder) {
    // A name of its own: the system folder may be shared with other runs.
    std::string base = "NimbroLangSys" + std::to_string(plat::TickCount());
    LoadModuleCopy(base);
    WChar sys[plat::kMaxPath];
    ASSERT_GT(plat::SystemDirectory(sys, plat::kMaxPath), 0u);
    WString target = WString(sys) + plat::kPathSep + W(base + ".0411");
    if (!drvtest::CopyFile(Satellite("0411"), target))
        GTEST_SKIP() << "the system folder is not writable here";
    systemFiles_.push_back(target);
    ASSERT_TRUE(SetLanguage(0x0411));
    EXPECT_TRUE(lang_.Select(module_));
    EXPECT_EQ(Text(999).substr(0, 3), "\xE3\x82\xA8");
}

TEST(ResLangNames, SatelliteNames) {
    WChar out[plat::kMaxPath];
    ASSERT_TRUE(CResLang::SatelliteName(W16("C:\\drv\\NimbroDrvIDec.dll"), 0x0411, out, 260));
    EXPECT_EQ(Narrow(out), "C:\\drv\\NimbroDrvIDec.0411");
    ASSERT_TRUE(CResLang::SatelliteName(W16("/opt/a.b/NimbroDrvIDec"), 0x2C0A, out, 260));
    EXPECT_EQ(Narrow(out), "/opt/a.b/NimbroDrvIDec.2C0A") << "a dot in a folder is no extension";
    ASSERT_TRUE(CResLang::SatelliteName(W16("x.y.so"), 0, out, 260));
    EXPECT_EQ(Narrow(out), "x.y.0000");
    // No room for the suffix: no name rather than a cut one.
    EXPECT_FALSE(CResLang::SatelliteName(W16("abcdef.dll"), 0x0411, out, 11));
    EXPECT_TRUE(CResLang::SatelliteName(W16("abcdef.dll"), 0x0411, out, 12));
    EXPECT_EQ(Narrow(out), "abcdef.0411");
}

} // namespace
