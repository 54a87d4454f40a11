// The built module, loaded the way a host loads it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "NimbroDriver.h"
#include "files.h"
#include "platform/module.h"
#include "testutil/testutil.h"

namespace {

using testutil::W;
using testutil::WString;

// A copy of the built module in a folder of its own, whose configuration
// names no link. The POSIX timer service keeps a registry for the life of
// the module's code; a module that ran a link and was unloaded would leave it
// unreachable, which the leak checker reports.
class ModuleCopy {
public:
    ModuleCopy() {
        path_ = drvtest::ModuleCopyPath(dir_, "NimbroDrvIDec");
        if (!drvtest::CopyFile(W(NIMBRO_TEST_MODULE), path_))
            return;
        dir_.Write("NimbroDrvIDec.cfg", "[FileVersion]\r\nPlcFileVersion=3001\r\n");
        module_ = plat::ModuleLoad(path_.c_str());
        void* symbol = module_ ? plat::ModuleSymbol(module_, "NimbroInterface") : nullptr;
        std::memcpy(&create_, &symbol, sizeof create_);
    }
    ~ModuleCopy() {
        if (module_)
            plat::ModuleFree(module_);
    }
    ModuleCopy(const ModuleCopy&) = delete;
    ModuleCopy& operator=(const ModuleCopy&) = delete;

    plat::ModuleHandle Module() const { return module_; }
    NimbroInterfaceFn Create() const { return create_; }

private:
    testutil::TempDir dir_;
    WString path_;
    plat::ModuleHandle module_ = nullptr;
    NimbroInterfaceFn create_ = nullptr;
};

const NimbroGuid kOtherIid = {
    0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        copy_.reset(new ModuleCopy);
        module_ = copy_->Module();
        ASSERT_NE(module_, nullptr) << NIMBRO_TEST_MODULE;
        create_ = copy_->Create();
        ASSERT_NE(create_, nullptr);
    }
    void TearDown() override { copy_.reset(); }

    INimbroDriver* Create() {
        INimbroDriver* driver = nullptr;
        EXPECT_EQ(create_(&driver, 0, 0), NIMBRO_S_OK);
        EXPECT_NE(driver, nullptr);
        return driver;
    }

    std::unique_ptr<ModuleCopy> copy_;
    plat::ModuleHandle module_ = nullptr;
    NimbroInterfaceFn create_ = nullptr;
};

TEST_F(ModuleTest, NullOutAddressIsRefused) {
    EXPECT_EQ(create_(nullptr, 0, 0), NIMBRO_E_INVALIDARG);
}

TEST_F(ModuleTest, ReferenceCountStartsAtOneAndLastReleaseDestroys) {
    INimbroDriver* driver = Create();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->AddRef(), 2u);
    EXPECT_EQ(driver->AddRef(), 3u);
    EXPECT_EQ(driver->Release(), 2u);
    EXPECT_EQ(driver->Release(), 1u);
    EXPECT_EQ(driver->Release(), 0u);
}

TEST_F(ModuleTest, QueryInterface) {
    INimbroDriver* driver = Create();
    ASSERT_NE(driver, nullptr);

    void* out = nullptr;
    EXPECT_EQ(driver->QueryInterface(&NimbroIID_IUnknown, &out), NIMBRO_S_OK);
    EXPECT_EQ(out, static_cast<void*>(driver));
    EXPECT_EQ(driver->AddRef(), 3u) << "IUnknown query takes a reference";
    driver->Release();

    out = nullptr;
    EXPECT_EQ(driver->QueryInterface(&IID_INimbroDriver, &out), NIMBRO_S_OK);
    EXPECT_EQ(out, static_cast<void*>(driver));

    out = driver;
    EXPECT_EQ(driver->QueryInterface(&kOtherIid, &out), NIMBRO_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr) << "a refused query clears the out pointer";

    EXPECT_EQ(driver->QueryInterface(&IID_INimbroDriver, nullptr), NIMBRO_E_INVALIDARG);
    // Three references (create and the two granted queries): the refused
    // queries took none.
    EXPECT_EQ(driver->Release(), 2u);
    EXPECT_EQ(driver->Release(), 1u);
    EXPECT_EQ(driver->Release(), 0u);
}

TEST_F(ModuleTest, TwoObjectsCanBeReleasedInEitherOrder) {
    for (int firstGoes = 0; firstGoes < 2; ++firstGoes) {
        INimbroDriver* a = Create();
        INimbroDriver* b = Create();
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_NE(a, b);
        INimbroDriver* first = firstGoes ? b : a;
        INimbroDriver* second = firstGoes ? a : b;
        EXPECT_EQ(first->Release(), 0u);
        // The other object lives on with its own count.
        EXPECT_EQ(second->AddRef(), 2u);
        EXPECT_EQ(second->Release(), 1u);
        EXPECT_EQ(second->Release(), 0u);
    }
}

// Load, create, release and unload, again and again in one process: the
// process-wide objects come and go with the module each time.
TEST(ModuleReload, RepeatedLoadCreateReleaseUnload) {
    for (int round = 0; round < 5; ++round) {
        ModuleCopy copy;
        ASSERT_NE(copy.Module(), nullptr) << "round " << round;
        NimbroInterfaceFn create = copy.Create();
        ASSERT_NE(create, nullptr);
        INimbroDriver* a = nullptr;
        INimbroDriver* b = nullptr;
        ASSERT_EQ(create(&a, 0, 1), NIMBRO_S_OK);
        ASSERT_EQ(create(&b, 2101, 0), NIMBRO_S_OK);
        EXPECT_EQ(b->Release(), 0u);
        EXPECT_EQ(a->Release(), 0u);
    }
}

} // namespace
