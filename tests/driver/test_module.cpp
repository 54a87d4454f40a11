// The built module, loaded the way a host loads it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "NimbroDriver.h"
#include "files.h"
#include "platform/module.h"
#include "platform/socket.h"
#include "platform/variant.h"
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

// A loopback listener that counts the requests it is sent, closing each
// connection after one, so that the link sends its next on a new one.
class CountingPeer {
public:
    CountingPeer() {
        listener_ = plat::SockListen(plat::kInaddrLoopback, 0, 8, &port_);
        if (listener_ != plat::kInvalidSocket)
            thread_ = std::thread([this] { Serve(); });
    }
    ~CountingPeer() {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
        if (listener_ != plat::kInvalidSocket)
            plat::SockClose(listener_);
    }
    CountingPeer(const CountingPeer&) = delete;
    CountingPeer& operator=(const CountingPeer&) = delete;

    uint16_t Port() const { return port_; }
    int Requests() const { return requests_.load(); }

private:
    void Serve() {
        while (!stop_.load()) {
            if (plat::SockWait(listener_, false, 50) != 1)
                continue;
            plat::SocketHandle s = plat::SockAccept(listener_);
            if (s == plat::kInvalidSocket)
                continue;
            char buf[256];
            if (plat::SockWait(s, false, 2000) == 1 && plat::SockRecv(s, buf, sizeof buf) > 0)
                requests_.fetch_add(1);
            plat::SockClose(s);
        }
    }

    plat::SocketHandle listener_ = plat::kInvalidSocket;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// Kept reachable: the host below never releases its driver object.
INimbroDriver* g_neverReleased = nullptr;

// A host that unloads the module without releasing the driver: the link's
// worker goes on running the module's code, which must stay where it is
// (Windows: each worker holds the module; POSIX: its first thread pins it).
TEST(ModuleReload, UnloadWithoutReleaseKeepsTheWorkersCode) {
    ASSERT_EQ(0, plat::NetStartup());
    CountingPeer peer;
    ASSERT_NE(0, peer.Port());
    testutil::TempDir dir;
    WString path = drvtest::ModuleCopyPath(dir, "NimbroDrvIDec");
    ASSERT_TRUE(drvtest::CopyFile(W(NIMBRO_TEST_MODULE), path));
    dir.Write("idec.plc", "CpuName: CPU-A\nVersion: 1.00\nIndex: D\n"
                          "D: D,Word,Dec,1,0,7999,read,write,\n");
    dir.Write("NimbroDrvIDec.cfg", "[PlcConfig]\nOPCScanTiming=10\nReadDeviceTimer=10\n"
                                   "[Link0]\nOpenName=127.0.0.1:" +
                                       std::to_string(peer.Port()) +
                                       "\nDeviceNo=1\n[Link0.Plc0]\nName=P\nTimeout=1\n");
    plat::ModuleHandle module = plat::ModuleLoad(path.c_str());
    ASSERT_NE(nullptr, module);
    NimbroInterfaceFn create = nullptr;
    void* symbol = plat::ModuleSymbol(module, "NimbroInterface");
    std::memcpy(&create, &symbol, sizeof create);
    ASSERT_NE(nullptr, create);
    ASSERT_EQ(NIMBRO_S_OK, create(&g_neverReleased, 0, 0));
    NimbroDevice d = g_neverReleased->ResolveDevice(W16("D"));
    ASSERT_NE(nullptr, d);
    int32_t type = 0, size = 0, access = 0;
    ASSERT_EQ(1, g_neverReleased->RegisterItem(d, W16("D100"), &type, &size, &access));
    ASSERT_TRUE(testutil::WaitUntil([&] { return peer.Requests() >= 2; }, 20000));

    plat::ModuleFree(module);
    const int before = peer.Requests();
    EXPECT_TRUE(testutil::WaitUntil([&] { return peer.Requests() >= before + 3; }, 20000))
        << "the worker stopped, or its code went";
    plat::NetCleanup();
}

} // namespace
