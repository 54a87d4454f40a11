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

TEST(Buf, GrowsToCapacityPlusNRoundedTo256) {
    CBuf b;
    auto first = Pattern(256, 1);
    EXPECT_EQ(256, b.Append(first.data(), 256));
    EXPECT_EQ(256, b.Capacity());
    uint8_t one = 0xEE;
    EXPECT_EQ(1, b.Append(&one, 1));
    EXPECT_EQ(512, b.Capacity());
    first.push_back(one);
    EXPECT_EQ(first, Content(b));
    EXPECT_EQ(257, b.Position());

    CBuf c;
    auto small = Pattern(19, 2);
    auto big = Pattern(300, 3);
    EXPECT_EQ(19, c.Append(small.data(), 19));
    EXPECT_EQ(256, c.Capacity());
    EXPECT_EQ(300, c.Append(big.data(), 300));
    EXPECT_EQ(768, c.Capacity()); // 256 + 300 rounded up
    small.insert(small.end(), big.begin(), big.end());
    EXPECT_EQ(small, Content(c));

    // An initial block is used before any growth.
    CBuf d(10);
    auto ten = Pattern(10, 4);
    EXPECT_EQ(10, d.Append(ten.data(), 10));
    EXPECT_EQ(10, d.Capacity());
    EXPECT_EQ(1, d.Append(&one, 1));
    EXPECT_EQ(256, d.Capacity());
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
    EXPECT_EQ(512, b.Capacity());
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
    EXPECT_EQ(256, b.Capacity());
    EXPECT_EQ(9, b.Data()[0]);
}
