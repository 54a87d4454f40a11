#include "model/BinArray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <set>
#include <vector>

#include "testutil/fault_alloc.h"

namespace {

// Elements are pointers to names, compared case-insensitively as the model does.
int CompareNames(const void* key, const void* element) {
    const char* a = *static_cast<const char* const*>(key);
    const char* b = *static_cast<const char* const*>(element);
    for (;; ++a, ++b) {
        int ca = std::tolower(static_cast<unsigned char>(*a));
        int cb = std::tolower(static_cast<unsigned char>(*b));
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}

// Elements are pointer-sized numbers.
int CompareNumbers(const void* key, const void* element) {
    intptr_t a = *static_cast<const intptr_t*>(key);
    intptr_t b = *static_cast<const intptr_t*>(element);
    return a < b ? -1 : (a > b ? 1 : 0);
}

const uint16_t kPtr = static_cast<uint16_t>(sizeof(void*));

struct NumberArray : CBinArray {
    explicit NumberArray(std::vector<intptr_t> values = {}) {
        Configure(CompareNumbers, kPtr);
        for (intptr_t v : values)
            Add(v);
    }
    int Add(intptr_t v) { return Insert(&v); }
    std::vector<intptr_t> Items() const {
        std::vector<intptr_t> out(Count());
        for (uint32_t i = 0; i < Count(); ++i)
            EXPECT_TRUE(Get(i, &out[i]));
        return out;
    }
};

} // namespace

TEST(BinArray, InsertsInOrderAndReplacesEqualName) {
    CBinArray a;
    ASSERT_TRUE(a.Configure(CompareNames, kPtr));
    const char* names[] = {"b", "a", "c", "B"};
    const struct {
        int status;
        uint32_t at;
    } want[] = {{CBinArray::kInserted, 0},
                {CBinArray::kInserted, 0},
                {CBinArray::kInserted, 2},
                {CBinArray::kReplaced, 1}};
    for (int i = 0; i < 4; ++i) {
        uint32_t at = 99;
        EXPECT_EQ(want[i].status, a.Insert(&names[i], &at)) << names[i];
        EXPECT_EQ(want[i].at, at) << names[i];
    }
    // In order; the stored pointer is the new one, not merely an equal name.
    const char* got[3] = {};
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_TRUE(a.Get(i, &got[i]));
    EXPECT_EQ(3u, a.Count());
    EXPECT_TRUE(got[0] == names[1] && got[1] == names[3] && got[2] == names[2]);
    const char* key = "C";
    uint32_t at = 0;
    EXPECT_TRUE(a.Find(&key, &at));
    EXPECT_EQ(names[2], key);
    EXPECT_EQ(2u, at);
}

TEST(BinArray, ShrinksWithItsElementsAndFreesWhenEmpty) {
    NumberArray a;
    for (intptr_t i = 0; i < 40; ++i)
        ASSERT_EQ(CBinArray::kInserted, a.Add(i * 10 + 5 * (i % 2)));
    const uint32_t grown = a.Capacity();
    while (a.Count() > 3)
        ASSERT_EQ(CBinArray::kRemoved, a.RemoveAt(a.Count() / 2));
    EXPECT_LT(a.Capacity(), grown);
    EXPECT_EQ(a.Items(), (std::vector<intptr_t>{0, 15, 395}));
    while (a.Count() > 0)
        ASSERT_EQ(CBinArray::kRemoved, a.RemoveAt(a.Count() - 1));
    EXPECT_EQ(0u, a.Capacity());
    EXPECT_EQ(nullptr, a.At(0));
    // Storage comes back after being freed.
    EXPECT_EQ(CBinArray::kInserted, a.Add(7));
    EXPECT_EQ(std::vector<intptr_t>{7}, a.Items());
}

TEST(BinArray, OutOfRangeEmptyAndUnconfiguredCases) {
    NumberArray a({1, 2, 3, 4, 5}), empty;
    intptr_t out = -1, missing = 42, key = 3;
    EXPECT_EQ(CBinArray::kNotFound, a.RemoveAt(5));
    EXPECT_EQ(CBinArray::kRemoveFailed, a.RemoveIndex(5, nullptr));
    EXPECT_FALSE(a.Get(5, &out));
    EXPECT_EQ(CBinArray::kNotFound, a.Remove(&missing, true));
    EXPECT_TRUE(out == -1 && missing == 42);
    EXPECT_EQ((std::vector<intptr_t>{1, 2, 3, 4, 5}), a.Items());
    uint32_t at = 77;
    int r = 77;
    EXPECT_FALSE(empty.Find(&key, &at, &r));
    EXPECT_TRUE(at == 0 && r == -1);

    CBinArray raw;
    EXPECT_FALSE(raw.Configure(nullptr, kPtr));
    EXPECT_FALSE(raw.Configure(CompareNumbers, 0));
    EXPECT_FALSE(raw.Configured());
    EXPECT_EQ(CBinArray::kInsertFailed, raw.Insert(&key));
    EXPECT_EQ(0u, raw.Count());
    EXPECT_FALSE(raw.Find(&key));
    EXPECT_EQ(CBinArray::kRemoveFailed, raw.Remove(&key, false));
    EXPECT_EQ(CBinArray::kRemoveFailed, raw.RemoveIndex(0, nullptr));
}

TEST(BinArray, RemoveCopiesTheNeighbour) {
    // The next one, else the one before, else zeros; without the flag the key stays.
    NumberArray a({10, 20, 30});
    const struct {
        intptr_t key;
        bool copy;
        intptr_t after;
    } steps[] = {{20, true, 30}, {30, true, 10}, {10, true, 0}};
    for (const auto& s : steps) {
        intptr_t key = s.key;
        EXPECT_EQ(CBinArray::kRemoved, a.Remove(&key, s.copy)) << s.key;
        EXPECT_EQ(s.after, key) << s.key;
    }
    EXPECT_EQ(0u, a.Count());
    NumberArray b({1, 2, 3});
    intptr_t key = 2, next = -1;
    EXPECT_EQ(CBinArray::kRemoved, b.Remove(&key, false));
    EXPECT_EQ(2, key);
    EXPECT_EQ(CBinArray::kRemoved, b.RemoveIndex(0, &next));
    EXPECT_EQ(3, next);
    EXPECT_EQ(std::vector<intptr_t>{3}, b.Items());
}

TEST(BinArray, StaysSortedAndFindsEverythingAcrossSizes) {
    // Sizes around the powers of two exercise the bisection's step limit.
    for (int n : {1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100}) {
        NumberArray a;
        std::set<intptr_t> model;
        uint32_t seed = 12345u + static_cast<uint32_t>(n);
        for (int i = 0; i < n * 2; ++i) {
            seed = seed * 1103515245u + 12345u;
            intptr_t v = static_cast<intptr_t>((seed >> 8) % static_cast<uint32_t>(n * 3)) * 2;
            int expect = model.insert(v).second ? CBinArray::kInserted : CBinArray::kReplaced;
            ASSERT_EQ(expect, a.Add(v)) << "n=" << n << " v=" << v;
        }
        ASSERT_EQ(std::vector<intptr_t>(model.begin(), model.end()), a.Items()) << "n=" << n;

        for (intptr_t v = -1; v <= n * 6 + 1; ++v) {
            intptr_t key = v;
            bool present = model.count(v) != 0;
            ASSERT_EQ(present, a.Find(&key)) << "n=" << n << " v=" << v;
            // Where the bisection ends is where an insert would go.
            int r = 0;
            uint32_t at = a.Bisect(&v, &r);
            uint32_t expectAt =
                static_cast<uint32_t>(std::distance(model.begin(), model.lower_bound(v)));
            ASSERT_TRUE(present || expectAt == (r > 0 ? at + 1 : at)) << "n=" << n << " v=" << v;
        }

        // Remove every other element by key; the rest stay sorted and findable.
        bool odd = false;
        for (intptr_t v : std::vector<intptr_t>(model.begin(), model.end())) {
            if ((odd = !odd)) {
                intptr_t key = v;
                ASSERT_EQ(CBinArray::kRemoved, a.Remove(&key, false));
                model.erase(v);
            }
        }
        ASSERT_EQ(std::vector<intptr_t>(model.begin(), model.end()), a.Items());
    }
}

namespace {

struct Record {
    int32_t key;
    int32_t copy; // travels with its key through every move
    char tag[8];
};

int CompareRecords(const void* key, const void* element) {
    int32_t a = static_cast<const Record*>(key)->key;
    int32_t b = static_cast<const Record*>(element)->key;
    return a < b ? -1 : (a > b ? 1 : 0);
}

} // namespace

TEST(BinArray, MovesWholeElementsOfOtherSizes) {
    CBinArray a;
    ASSERT_TRUE(a.Configure(CompareRecords, sizeof(Record)));
    for (int32_t k = 40; k > 0; --k) {
        Record r = {k, -k, "tag"};
        ASSERT_EQ(CBinArray::kInserted, a.Insert(&r));
    }
    for (uint32_t i = 0; i < a.Count(); i += 3)
        ASSERT_EQ(CBinArray::kRemoved, a.RemoveAt(i));
    Record prev = {0, 0, ""}, r;
    for (uint32_t i = 0; i < a.Count(); prev = r, ++i) {
        ASSERT_TRUE(a.Get(i, &r));
        EXPECT_TRUE(r.key > prev.key && r.copy == -r.key && !std::strcmp("tag", r.tag)) << i;
    }
    // Elements in place would be misread with another size.
    EXPECT_FALSE(a.Configure(CompareRecords, kPtr));
    EXPECT_EQ(sizeof(Record), a.ElementSize());
}

TEST(BinArray, WithoutMemoryAnInsertChangesNothing) {
    NumberArray a;
    for (intptr_t v = 1; v <= static_cast<intptr_t>(CBinArray::kGrowStep); ++v)
        ASSERT_EQ(CBinArray::kInserted, a.Add(v));
    std::vector<intptr_t> before = a.Items();
    testutil::FaultAlloc faults;
    faults.FailAll();
    EXPECT_EQ(CBinArray::kInsertFailed, a.Add(0)); // sorts first: everything would move
    EXPECT_GT(faults.Fired(), 0);
    EXPECT_EQ(before, a.Items());
    // An equal element is replaced in place: no memory needed.
    EXPECT_EQ(CBinArray::kReplaced, a.Add(5));
    faults.Pass();
    ASSERT_EQ(CBinArray::kInserted, a.Add(0));
    // A shrink that finds no memory keeps the larger block and the elements.
    faults.FailAll();
    const uint32_t capacity = a.Capacity();
    for (intptr_t key : {0, 1})
        EXPECT_EQ(CBinArray::kRemoved, a.Remove(&key, false));
    EXPECT_EQ(capacity, a.Capacity());
    EXPECT_EQ(std::vector<intptr_t>(before.begin() + 1, before.end()), a.Items());
}
