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
const std::string kJapanese =
    "\xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC\xE3\x81\xAA\xE3\x81\x97\xE3\x80\x82";

WString Satellite(const std::string& lang) {
    return W(NIMBRO_TEST_SATELLITES) + W16("/NimbroDrvIDec.") + W(lang);
}

// A copy of the driver module in a folder of its own, loaded, and then the
// given satellites beside it: its own choice at load found none of them.
struct ModuleCopy {
    ModuleCopy(const std::string& base, const std::vector<std::string>& langs) {
        const WString path = drvtest::ModuleCopyPath(dir, base);
        module = drvtest::CopyFile(W(NIMBRO_TEST_MODULE), path) ? plat::ModuleLoad(path.c_str())
                                                                : nullptr;
        for (const std::string& lang : langs)
            ok = ok && drvtest::CopyFile(Satellite(lang), dir.Join(base + "." + lang));
        ok = ok && module != nullptr;
    }
    ~ModuleCopy() {
        lang.Unselect();
        if (module)
            plat::ModuleFree(module);
    }
    std::string Text(uint32_t id) {
        WChar buf[256] = {};
        return lang.LoadText(id, buf, 256) <= 0 ? "<none>" : Narrow(buf);
    }

    testutil::TempDir dir;
    plat::ModuleHandle module = nullptr;
    bool ok = true;
    CResLang lang;
};

class ResLangTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        ASSERT_FALSE(sysDir_.Path().empty());
        // The POSIX backend's stand-ins; the Windows backend ignores them.
        registry_ = dir_.Join("registry.txt");
        envRegistry_.reset(
            new testutil::ScopedEnv("NIMBRO_REGISTRY", Narrow(registry_.c_str()).c_str()));
        envSystem_.reset(
            new testutil::ScopedEnv("NIMBRO_SYSTEM_DIR", Narrow(sysDir_.Path().c_str()).c_str()));
        SetLanguage(0);
    }
    void TearDown() override {
        for (const WString& f : systemFiles_)
            plat::FileRemove(f.c_str());
        SetLanguage(0);
    }

    // The registry value (0: none), as a DWORD in the POSIX stand-in. The
    // real registry gets a one-character text whose first four bytes are the
    // same (character, terminator): the selector reads four bytes of any type.
    bool SetLanguage(uint16_t lang) {
        char line[96] = "";
        if (lang != 0)
            std::snprintf(line, sizeof line,
                          "HKCU\\SOFTWARE\\Varnholt\\Nimbro\\LanguageID=dword:%08X\n", lang);
        plat::FileWriteAll(registry_.c_str(), line, std::strlen(line));
        const WChar text[2] = {static_cast<WChar>(lang), 0};
        if (!testutil::PosixBackend() && lang != 0)
            plat::RegistryWriteText(plat::kHkeyCurrentUser, kLangKey, W16("LanguageID"), text);
        else if (!testutil::PosixBackend())
            plat::RegistryDeleteValue(plat::kHkeyCurrentUser, kLangKey, W16("LanguageID"));
        return CResLang::RegistryLanguage() == lang;
    }

    testutil::TempDir dir_, sysDir_;
    WString registry_;
    std::unique_ptr<testutil::ScopedEnv> envRegistry_, envSystem_;
    std::vector<WString> systemFiles_;
};

TEST_F(ResLangTest, SatelliteChosenByRegistryOrUiLanguage) {
    const struct {
        const char* what;
        std::vector<std::string> installed;
        uint16_t registry;
        const char* ui;
        bool chosen;
        std::string text; // of id 999
    } rows[] = {
        // clang-format off
        {"registry language beside", {"0411", "040A"}, 0x0411, "0409", true, kJapanese},
        {"sublanguage 1 first", {"080A", "040A", "0411"}, 0x0C0A, "0409", true,
         "Sin errores (040A)"},
        {"else the smallest one", {"2C0A", "080A"}, 0x0C0A, "0409", true, "Sin errores (080A)"},
        {"none of the language", {"0411"}, 0x0C0A, "0409", false, "No Error."},
        // English is the module's own: present, but no satellite is needed.
        {"English UI, no registry value", {"0809", "0411"}, 0, "0809", false, "No Error."},
        {"UI language, no registry value", {"0411"}, 0, "0411", true, kJapanese},
        // clang-format on
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        testutil::ScopedEnv ui("NIMBRO_UI_LANGUAGE", r.ui);
        // The Windows UI language cannot be changed by a test.
        if (r.registry == 0 &&
            (plat::UserDefaultUILanguage() ^ std::stoul(r.ui, 0, 16)) & CResLang::kPrimaryMask)
            continue;
        ModuleCopy copy("NimbroDrvIDec", r.installed);
        ASSERT_TRUE(copy.ok);
        ASSERT_TRUE(SetLanguage(r.registry));
        EXPECT_EQ(copy.lang.Select(copy.module), r.chosen);
        EXPECT_EQ(copy.lang.BaseModule(), copy.module);
        EXPECT_EQ(copy.lang.ResourceModule() == copy.module, !r.chosen);
        EXPECT_EQ(copy.Text(999), r.text);
        // Ids a satellite lacks come from the driver module.
        EXPECT_EQ(copy.Text(1010), "Error, Invalid device! (%s,%s,%s)");
        EXPECT_EQ(copy.Text(4242), "<none>");
    }
}

TEST_F(ResLangTest, SatelliteOnlyInTheSystemFolder) {
    // A name of its own: the system folder may be shared with other runs.
    std::string base = "NimbroLangSys" + std::to_string(plat::TickCount());
    ModuleCopy copy(base, {});
    ASSERT_TRUE(copy.ok);
    WChar sys[plat::kMaxPath];
    ASSERT_GT(plat::SystemDirectory(sys, plat::kMaxPath), 0u);
    WString target = WString(sys) + plat::kPathSep + W(base + ".0411");
    if (!drvtest::CopyFile(Satellite("0411"), target))
        GTEST_SKIP() << "the system folder is not writable here";
    systemFiles_.push_back(target);
    ASSERT_TRUE(SetLanguage(0x0411));
    EXPECT_TRUE(copy.lang.Select(copy.module));
    EXPECT_EQ(copy.Text(999), kJapanese);
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
