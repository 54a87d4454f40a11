#include "comm/Buf.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
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

TEST(Buf, ConstructionAndRefusedAppends) {
    CBuf sized(100);
    EXPECT_NE(nullptr, sized.Data());
    EXPECT_EQ(100, sized.Capacity());

    CBuf none;
    uint8_t byte = 1;
    EXPECT_EQ(0, none.Append(&byte, 0));
    EXPECT_EQ(0, none.Append(&byte, -5));
    EXPECT_EQ(0, none.Append(nullptr, 3));
    EXPECT_EQ(nullptr, none.Data());
    EXPECT_EQ(0, none.Position());
    EXPECT_EQ(0, none.Length());
    EXPECT_EQ(0, none.Capacity());
}

TEST(Buf, GrowthKeepsTheBytesInOrder) {
    // Past a block given at construction, past one grown, and by more than
    // one growth step at once.
    CBuf b(10);
    std::vector<uint8_t> all;
    for (int32_t n : {10, 1, 300, 255, 1}) {
        auto more = Pattern(n, static_cast<uint8_t>(n));
        EXPECT_EQ(n, b.Append(more.data(), n));
        all.insert(all.end(), more.begin(), more.end());
        EXPECT_EQ(all, Content(b));
        EXPECT_EQ(static_cast<int32_t>(all.size()), b.Position());
        EXPECT_GE(b.Capacity(), b.Length());
    }
}

TEST(Buf, ResetEmptiesAndAcceptsAppendsAgain) {
    CBuf b(64);
    auto data = Pattern(40, 5);
    b.Append(data.data(), 40);
    b.Reset();
    EXPECT_EQ(nullptr, b.Data());
    EXPECT_EQ(0, b.Capacity());
    EXPECT_EQ(0, b.Position());
    EXPECT_EQ(0, b.Length());
    EXPECT_TRUE(b.OwnsBlock());

    const std::string frame = "\x05"
                              "01"
                              "0RD";
    EXPECT_EQ(static_cast<int32_t>(frame.size()),
              b.Append(frame.data(), static_cast<int32_t>(frame.size())));
    EXPECT_EQ(static_cast<int32_t>(frame.size()), b.Position());
    EXPECT_EQ(frame, std::string(reinterpret_cast<const char*>(b.Data()),
                                 static_cast<size_t>(b.Length())));
}

TEST(Buf, AppendingItsOwnContentSurvivesGrowth) {
    CBuf b;
    auto data = Pattern(256, 6);
    b.Append(data.data(), 256);
    // The source lies in the block that the growth moves.
    EXPECT_EQ(256, b.Append(b.Data(), b.Length()));
    auto twice = data;
    twice.insert(twice.end(), data.begin(), data.end());
    EXPECT_EQ(twice, Content(b));
}

TEST(Buf, SizesBeyondTheRangeFailWithoutChange) {
    CBuf b;
    uint8_t byte = 9;
    // Refused on size alone, before a byte is read.
    EXPECT_EQ(0, b.Append(&byte, INT32_MAX));
    EXPECT_EQ(0, b.Capacity());
    EXPECT_EQ(1, b.Append(&byte, 1));
    EXPECT_EQ(0, b.Append(&byte, INT32_MAX));
    EXPECT_EQ(1, b.Length());
    EXPECT_EQ(9, b.Data()[0]);
}
