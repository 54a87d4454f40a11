// Helpers of the driver tests: copies of the built module and its
// satellites, and the module's texts.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/LinkModel.h"
#include "platform/file.h"
#include "platform/module.h"
#include "support/ErrorString.h"
#include "support/ResLang.h"
#include "testutil/testutil.h"

namespace drvtest {

inline bool CopyFile(const testutil::WString& from, const testutil::WString& to) {
    plat::FileHandle f = plat::FileOpenRead(from.c_str());
    if (!f)
        return false;
    int64_t size = plat::FileSize(f);
    std::vector<char> data(size > 0 ? static_cast<size_t>(size) : 0);
    bool ok = size >= 0 && (size == 0 || plat::FileRead(f, data.data(), data.size()) == size);
    plat::FileClose(f);
    return ok && plat::FileWriteAll(to.c_str(), data.data(), data.size());
}

// "NimbroDrvIDec" and the built module's extension, in folder dir.
inline testutil::WString ModuleCopyPath(const testutil::TempDir& dir, const std::string& base) {
    testutil::WString built = testutil::W(NIMBRO_TEST_MODULE);
    return dir.Join(base) + built.substr(built.rfind(W16('.')));
}

// The built module's texts, and a chain of link, PLC and block whose
// messages come from them.
class ModuleTexts : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = plat::ModuleLoad(testutil::W(NIMBRO_TEST_MODULE).c_str());
        ASSERT_NE(module_, nullptr);
        // Satellites are built elsewhere: the module itself serves.
        EXPECT_FALSE(lang_.Select(module_));
        ASSERT_EQ(lang_.ResourceModule(), module_);
    }
    void TearDown() override {
        lang_.Unselect();
        if (module_)
            plat::ModuleFree(module_);
    }
    std::string Load(uint32_t id) {
        WChar buf[CErrorString::kCapacity];
        buf[0] = 0;
        if (lang_.LoadText(id, buf, CErrorString::kCapacity) <= 0)
            return "<none>";
        return testutil::Narrow(buf);
    }

    // Link "Link0", its PLC "P1" and their block "D", on the table.
    CPlcDevice* Chain(CLinkTable& table) {
        table.SetResLang(&lang_);
        auto* link = new CPlcDrvLink(&table);
        link->SetName(W16("Link0"));
        auto* plc = new CPlc(link);
        plc->SetName(W16("P1"));
        auto* device = new CPlcDevice(plc);
        device->SetName(W16("D"));
        const bool ok = table.InsertLink(link) && link->InsertPlc(plc) && plc->InsertDevice(device);
        return ok ? device : nullptr;
    }

    plat::ModuleHandle module_ = nullptr;
    CResLang lang_;
};

} // namespace drvtest
