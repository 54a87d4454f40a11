// The built module, loaded the way a host loads it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "NimbroDriver.h"
#include "files.h"
#include "platform/module.h"
#include "platform/socket.h"
#include "platform/variant.h"
#include "testutil/testutil.h"

namespace {

using testutil::W;
using testutil::WString;

// A copy of the built module in a folder of its own, with its configuration
// (by default one that names no link). The POSIX timer service keeps a
// registry for the life of the module's code; a module that ran a link and
// was unloaded would leave it unreachable, which the leak checker reports.
class ModuleCopy {
public:
    explicit ModuleCopy(const std::string& cfg = "[FileVersion]\r\nPlcFileVersion=3001\r\n") {
        const WString path = drvtest::ModuleCopyPath(dir_, "NimbroDrvIDec");
        if (!drvtest::CopyFile(W(NIMBRO_TEST_MODULE), path))
            return;
        dir_.Write("NimbroDrvIDec.cfg", cfg);
        dir_.Write("idec.plc", "CpuName: CPU-A\nVersion: 1.00\nIndex: D\n"
                               "D: D,Word,Dec,1,0,7999,read,write,\n");
        module_ = plat::ModuleLoad(path.c_str());
        void* symbol = module_ ? plat::ModuleSymbol(module_, "NimbroInterface") : nullptr;
        std::memcpy(&create_, &symbol, sizeof create_);
    }
    ~ModuleCopy() { Free(); }
    ModuleCopy(const ModuleCopy&) = delete;
    ModuleCopy& operator=(const ModuleCopy&) = delete;

    void Free() {
        if (module_)
            plat::ModuleFree(module_);
        module_ = nullptr;
    }
    plat::ModuleHandle Module() const { return module_; }
    NimbroInterfaceFn Create() const { return create_; }

private:
    testutil::TempDir dir_;
    plat::ModuleHandle module_ = nullptr;
    NimbroInterfaceFn create_ = nullptr;
};

const NimbroGuid kOtherIid = {
    0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(copy_.Module(), nullptr) << NIMBRO_TEST_MODULE;
        ASSERT_NE(copy_.Create(), nullptr);
    }
    INimbroDriver* Create() {
        INimbroDriver* driver = nullptr;
        EXPECT_EQ(copy_.Create()(&driver, 0, 0), NIMBRO_S_OK);
        EXPECT_NE(driver, nullptr);
        return driver;
    }

    ModuleCopy copy_;
};

TEST_F(ModuleTest, ReferencesAndInterfaces) {
    EXPECT_EQ(copy_.Create()(nullptr, 0, 0), NIMBRO_E_INVALIDARG);
    INimbroDriver* driver = Create();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->AddRef(), 2u) << "the count starts at one";
    EXPECT_EQ(driver->Release(), 1u);
    void* out = nullptr;
    EXPECT_EQ(driver->QueryInterface(&NimbroIID_IUnknown, &out), NIMBRO_S_OK);
    EXPECT_EQ(out, static_cast<void*>(driver));
    out = nullptr;
    EXPECT_EQ(driver->QueryInterface(&IID_INimbroDriver, &out), NIMBRO_S_OK);
    EXPECT_EQ(out, static_cast<void*>(driver));
    out = driver;
    EXPECT_EQ(driver->QueryInterface(&kOtherIid, &out), NIMBRO_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr) << "a refused query clears the out pointer";
    EXPECT_EQ(driver->QueryInterface(&IID_INimbroDriver, nullptr), NIMBRO_E_INVALIDARG);
    // The creation and the two granted queries hold one each: the refused
    // queries took none, and the last release destroys.
    for (uint32_t left : {2u, 1u, 0u})
        EXPECT_EQ(driver->Release(), left);
}

TEST_F(ModuleTest, TwoObjectsCanBeReleasedInEitherOrder) {
    for (int firstGoes = 0; firstGoes < 2; ++firstGoes) {
        INimbroDriver* a = Create();
        INimbroDriver* b = Create();
        ASSERT_TRUE(a && b && a != b);
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
        ASSERT_NE(copy.Create(), nullptr) << "round " << round;
        INimbroDriver* a = nullptr;
        INimbroDriver* b = nullptr;
        ASSERT_EQ(copy.Create()(&a, 0, 1), NIMBRO_S_OK);
        ASSERT_EQ(copy.Create()(&b, 2101, 0), NIMBRO_S_OK);
        EXPECT_EQ(b->Release(), 0u);
        EXPECT_EQ(a->Release(), 0u);
    }
}

// Kept reachable: the host below never releases its driver object.
INimbroDriver* g_neverReleased = nullptr;

// A host that unloads the module without releasing the driver: the link's
// worker goes on running the module's code, which must stay where it is
// (Windows: each worker holds the module; POSIX: its first thread pins it).
TEST(ModuleReload, UnloadWithoutReleaseKeepsTheWorkersCode) {
    ASSERT_EQ(0, plat::NetStartup());
    uint16_t port = 0;
    const plat::SocketHandle listener = plat::SockListen(plat::kInaddrLoopback, 0, 8, &port);
    ASSERT_NE(plat::kInvalidSocket, listener);
    // The requests the link sends, each connection closed after one so that
    // the next comes on a new one.
    int requests = 0;
    const auto served = [&](int n) {
        return testutil::WaitUntil(
            [&] {
                char buf[256];
                if (plat::SockWait(listener, false, 50) != 1)
                    return requests >= n;
                const plat::SocketHandle s = plat::SockAccept(listener);
                if (s != plat::kInvalidSocket && plat::SockWait(s, false, 2000) == 1 &&
                    plat::SockRecv(s, buf, sizeof buf) > 0)
                    ++requests;
                if (s != plat::kInvalidSocket)
                    plat::SockClose(s);
                return requests >= n;
            },
            20000);
    };
    ModuleCopy copy("[PlcConfig]\nOPCScanTiming=10\nReadDeviceTimer=10\n[Link0]\n"
                    "OpenName=127.0.0.1:" +
                    std::to_string(port) + "\nDeviceNo=1\n[Link0.Plc0]\nName=P\nTimeout=1\n");
    ASSERT_NE(nullptr, copy.Create());
    ASSERT_EQ(NIMBRO_S_OK, copy.Create()(&g_neverReleased, 0, 0));
    NimbroDevice d = g_neverReleased->ResolveDevice(W16("D"));
    ASSERT_NE(nullptr, d);
    int32_t type = 0, size = 0, access = 0;
    ASSERT_EQ(1, g_neverReleased->RegisterItem(d, W16("D100"), &type, &size, &access));
    ASSERT_TRUE(served(2));

    copy.Free();
    EXPECT_TRUE(served(requests + 3)) << "the worker stopped, or its code went";
    plat::SockClose(listener);
    plat::NetCleanup();
}

} // namespace
