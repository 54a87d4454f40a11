// Behaviour the Windows backend adds on top of the system calls it wraps:
// backslash path rules, environment changes the C runtime sees, a timer kill
// that waits for its callback, zero-filled BSTRs.
// Checks that only make sense with backslash paths skip elsewhere.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "platform/file.h"
#include "platform/mmtimer.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "platform/types.h"
#include "platform/variant.h"
#include "testutil/testutil.h"

namespace {

using testutil::WString;

bool BackslashPaths() {
    return plat::kPathSep == W16('\\');
}

TEST(BackendPaths, DriveUncAndUrlAreAbsolute) {
    if (!BackslashPaths())
        GTEST_SKIP() << "backslash path rules only";
    EXPECT_TRUE(plat::IsPathSep(W16('\\')));
    EXPECT_TRUE(plat::IsPathSep(W16('/')));
    EXPECT_FALSE(plat::IsPathSep(W16(':')));

    EXPECT_TRUE(plat::PathIsAbsolute(W16("C:\\cfg\\idec.plc")));
    EXPECT_TRUE(plat::PathIsAbsolute(W16("d:idec.plc")));
    EXPECT_TRUE(plat::PathIsAbsolute(W16("\\\\server\\share\\idec.plc")));
    EXPECT_TRUE(plat::PathIsAbsolute(W16("http://host/idec.plc")));
    // Rooted but without a drive: still joined to the configuration folder.
    EXPECT_FALSE(plat::PathIsAbsolute(W16("\\idec.plc")));
    EXPECT_FALSE(plat::PathIsAbsolute(W16("cfg\\idec.plc")));
    EXPECT_FALSE(plat::PathIsAbsolute(W16("c")));
    EXPECT_FALSE(plat::PathIsAbsolute(W16("")));
    EXPECT_FALSE(plat::PathIsAbsolute(nullptr));
}

TEST(BackendPaths, EitherTrailingSeparatorIsIgnored) {
    if (!BackslashPaths())
        GTEST_SKIP() << "backslash path rules only";
    testutil::TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    WString file = dir.Write("a.txt", "x");
    for (WString p : {dir.Path() + W16("\\"), dir.Path() + W16("/")}) {
        uint32_t attr = plat::PathAttributes(p.c_str());
        ASSERT_NE(attr, plat::kAttrInvalid);
        EXPECT_NE(attr & plat::kAttrDirectory, 0u);
    }
    EXPECT_TRUE(plat::PathExists((file + W16("/")).c_str()));
    EXPECT_FALSE(plat::PathExists((dir.Path() + W16("\\missing\\")).c_str()));
}

TEST(BackendEnvironment, ChangesReachTheCRuntime) {
    const char* name = "NIMBRO_NOTES_ENV_PROBE";
    ASSERT_TRUE(plat::SetEnvVar(name, "0411"));
    const char* v = std::getenv(name);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "0411");
    ASSERT_TRUE(plat::SetEnvVar(name, "0C0A"));
    v = std::getenv(name);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "0C0A");
    EXPECT_TRUE(plat::SetEnvVar(name, nullptr));
    EXPECT_EQ(std::getenv(name), nullptr);
    EXPECT_FALSE(plat::SetEnvVar("", "x"));
}

struct SlowTick {
    std::atomic<int> calls{0};
    std::atomic<bool> inside{false};
    std::atomic<bool> killedInside{false};
};

TEST(BackendTimer, KillWaitsForARunningCallback) {
    SlowTick t;
    uint32_t id = plat::TimerSetPeriodic(
        10, 1,
        [](void* p) {
            auto* s = static_cast<SlowTick*>(p);
            s->inside = true;
            s->calls++;
            plat::SleepMs(150);
            s->inside = false;
        },
        &t);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(testutil::WaitUntil([&] { return t.inside.load(); }, 5000));
    EXPECT_TRUE(plat::TimerKill(id));
    EXPECT_FALSE(t.inside.load());
    int after = t.calls.load();
    plat::SleepMs(100);
    EXPECT_EQ(t.calls.load(), after);
    EXPECT_FALSE(plat::TimerKill(id));
}

TEST(BackendTimer, KillFromItsOwnCallbackEndsTheTimer) {
    struct Ctx {
        std::atomic<uint32_t> id{0};
        std::atomic<int> calls{0};
        std::atomic<bool> killed{false};
    } c;
    uint32_t id = plat::TimerSetPeriodic(
        5, 1,
        [](void* p) {
            auto* s = static_cast<Ctx*>(p);
            s->calls++;
            uint32_t mine = s->id.load();
            if (mine && !s->killed)
                s->killed = plat::TimerKill(mine);
        },
        &c);
    ASSERT_NE(id, 0u);
    c.id = id;
    ASSERT_TRUE(testutil::WaitUntil([&] { return c.killed.load(); }, 5000));
    plat::SleepMs(50);
    int after = c.calls.load();
    plat::SleepMs(100);
    EXPECT_EQ(c.calls.load(), after);
    EXPECT_FALSE(plat::TimerKill(id));
}

TEST(BackendBstr, AllocatedWithoutTextIsZeroFilled) {
    for (uint32_t len : {1u, 7u, 300u}) {
        plat::Bstr b = plat::BstrAllocLen(nullptr, len);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(plat::BstrLen(b), len);
        for (uint32_t i = 0; i <= len; ++i)
            EXPECT_EQ(b[i], 0) << "unit " << i << " of " << len;
        plat::BstrFree(b);
    }
}

} // namespace
