// The driver object on a link table of the test's own.
#include <gtest/gtest.h>

#include <atomic>

#include "driver/DrvIDec.h"
#include "model/LinkModel.h"
#include "testutil/testutil.h"

namespace {

// A link whose turn only counts, and which reports its destruction.
class CountingLink : public CPlcDrvLink {
public:
    CountingLink(CLinkTable* owner, std::atomic<int>* ticks, std::atomic<bool>* destroyed)
        : CPlcDrvLink(owner), ticks_(ticks), destroyed_(destroyed) {}
    ~CountingLink() override {
        // The worker must be gone before the link goes.
        StopWorker(plat::kInfinite);
        destroyed_->store(true);
    }
    void OnTick() override { ticks_->fetch_add(1); }

private:
    std::atomic<int>* ticks_;
    std::atomic<bool>* destroyed_;
};

CDrvIDec* Make(CLinkTable& table, uint32_t port, int32_t wordOrder) {
    INimbroDriver* out = nullptr;
    EXPECT_EQ(CreateDriver(table, nullptr, &out, port, wordOrder), NIMBRO_S_OK);
    return static_cast<CDrvIDec*>(out);
}

TEST(DriverObject, ReleaseAtCountZeroDoesNothing) {
    CLinkTable table;
    CDrvIDec* driver = new CDrvIDec(table);
    EXPECT_EQ(driver->RefCount(), 0);
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(driver->Release(), 0u);
    // Still alive: the count goes up from 0, and the release to 0 destroys
    // it once (a second destruction would be a double free).
    EXPECT_EQ(driver->AddRef(), 1u);
    EXPECT_EQ(driver->RefCount(), 1);
    EXPECT_EQ(driver->Release(), 0u);
}

TEST(DriverObject, WordOrderModeOnlyOneOrZero) {
    CLinkTable table;
    const struct {
        int32_t given;
        int32_t mode;
    } cases[] = {{0, 0}, {1, 1}, {2, 0}, {-1, 0}, {0x10001, 0}};
    for (const auto& c : cases) {
        CDrvIDec* driver = Make(table, 5000, c.given);
        ASSERT_NE(driver, nullptr);
        EXPECT_EQ(driver->WordOrder(), c.mode) << "given " << c.given;
        EXPECT_EQ(table.HostPort(), 5000u);
        EXPECT_TRUE(table.Started()) << "started whatever the configuration held";
        EXPECT_EQ(driver->RefCount(), 1);
        driver->Release();
    }
}

TEST(DriverObject, SecondCreationReloadsAndReleasingEitherStopsAndEmptiesTheTable) {
    CLinkTable table;
    CDrvIDec* first = Make(table, 0, 0);
    ASSERT_NE(first, nullptr);
    std::atomic<int> ticks(0);
    std::atomic<bool> destroyed(false);
    ASSERT_TRUE(table.InsertLink(new CountingLink(&table, &ticks, &destroyed)));

    // Every creation reloads the table: the earlier links go.
    CDrvIDec* second = Make(table, 0, 1);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(destroyed.load());
    EXPECT_TRUE(table.Started());

    std::atomic<bool> destroyed2(false);
    auto* link = new CountingLink(&table, &ticks, &destroyed2);
    ASSERT_TRUE(table.InsertLink(link));
    ASSERT_TRUE(link->StartLink());
    ASSERT_TRUE(testutil::WaitUntil([&] { return ticks.load() > 0; }, 5000));
    // The table is process-wide: releasing the older object stops and
    // removes its running links although the newer one lives on.
    EXPECT_EQ(first->Release(), 0u);
    EXPECT_TRUE(destroyed2.load());
    EXPECT_EQ(table.LinkCount(), 0u);
    EXPECT_FALSE(table.Started());
    EXPECT_EQ(second->RefCount(), 1);
    EXPECT_EQ(second->Release(), 0u);
}

} // namespace
