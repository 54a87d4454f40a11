#include "comm/Buf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace {

std::vector<uint8_t> Pattern(int n, int seed) {
    std::vector<uint8_t> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        v[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7 + seed);
    return v;
}

std::vector<uint8_t> Content(const CBuf& b) {
    return std::vector<uint8_t>(b.Data(), b.Data() + b.Length());
}

} // namespace

TEST(Buf, RefusedAppendsChangeNothing) {
    EXPECT_NE(nullptr, CBuf(100).Data());
    CBuf b;
    uint8_t byte = 9;
    // INT32_MAX is refused on size alone, before a byte is read.
    for (int32_t n : {0, -5, INT32_MAX})
        EXPECT_EQ(0, b.Append(&byte, n)) << n;
    EXPECT_EQ(0, b.Append(nullptr, 3));
    EXPECT_EQ(nullptr, b.Data());
    EXPECT_EQ(0, b.Capacity());
    EXPECT_EQ(1, b.Append(&byte, 1));
    EXPECT_EQ(0, b.Append(&byte, INT32_MAX));
    EXPECT_EQ(std::vector<uint8_t>{9}, Content(b));
}

TEST(Buf, GrowsInOrderResetsAndAppendsItsOwnBytes) {
    // Past a block given at construction, past one grown, and by more than
    // one growth step at once.
    CBuf b(10);
    std::vector<uint8_t> all;
    for (int32_t n : {10, 1, 300, 255, 1}) {
        auto more = Pattern(n, n);
        EXPECT_EQ(n, b.Append(more.data(), n));
        all.insert(all.end(), more.begin(), more.end());
        EXPECT_EQ(all, Content(b));
        EXPECT_EQ(b.Length(), b.Position());
        EXPECT_GE(b.Capacity(), b.Length());
    }
    b.Reset();
    EXPECT_EQ(nullptr, b.Data());
    EXPECT_EQ(0, b.Capacity() + b.Position() + b.Length());
    EXPECT_TRUE(b.OwnsBlock());

    all = Pattern(256, 6);
    EXPECT_EQ(256, b.Append(all.data(), 256));
    // The source lies in the block that the growth moves.
    EXPECT_EQ(256, b.Append(b.Data(), b.Length()));
    all.resize(512);
    std::copy(all.begin(), all.begin() + 256, all.begin() + 256);
    EXPECT_EQ(all, Content(b));
}
