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
    NumberArray() { Configure(CompareNumbers, kPtr); }
    int Add(intptr_t v) { return Insert(&v); }
    std::vector<intptr_t> Items() const {
        std::vector<intptr_t> out;
        for (uint32_t i = 0; i < Count(); ++i) {
            intptr_t v = 0;
            EXPECT_TRUE(Get(i, &v));
            out.push_back(v);
        }
        return out;
    }
};

const char* NameAt(const CBinArray& a, uint32_t i) {
    const char* p = nullptr;
    EXPECT_TRUE(a.Get(i, &p));
    return p;
}

} // namespace

TEST(BinArray, InsertsInOrderAndReplacesEqualName) {
    CBinArray a;
    ASSERT_TRUE(a.Configure(CompareNames, kPtr));
    const char* b = "b";
    const char* first = "a";
    const char* c = "c";
    uint32_t at = 99;
    EXPECT_EQ(CBinArray::kInserted, a.Insert(&b, &at));
    EXPECT_EQ(0u, at);
    EXPECT_EQ(CBinArray::kInserted, a.Insert(&first, &at));
    EXPECT_EQ(0u, at);
    EXPECT_EQ(CBinArray::kInserted, a.Insert(&c, &at));
    EXPECT_EQ(2u, at);
    ASSERT_EQ(3u, a.Count());
    EXPECT_STREQ("a", NameAt(a, 0));
    EXPECT_STREQ("b", NameAt(a, 1));
    EXPECT_STREQ("c", NameAt(a, 2));

    const char* upper = "B";
    EXPECT_EQ(CBinArray::kReplaced, a.Insert(&upper, &at));
    EXPECT_EQ(1u, at);
    EXPECT_EQ(3u, a.Count());
    // The stored pointer is the new one, not merely an equal name.
    EXPECT_EQ(upper, NameAt(a, 1));

    const char* key = "C";
    EXPECT_TRUE(a.Find(&key, &at));
    EXPECT_EQ(c, key);
    EXPECT_EQ(2u, at);
}

TEST(BinArray, GrowsShrinksAndFreesWhenEmpty) {
    NumberArray a;
    for (intptr_t i = 0; i < 40; ++i)
        ASSERT_EQ(CBinArray::kInserted, a.Add(i * 10 + 5 * (i % 2)));
    EXPECT_GE(a.Capacity(), a.Count());
    const uint32_t grown = a.Capacity();
    while (a.Count() > 3)
        ASSERT_EQ(CBinArray::kRemoved, a.RemoveAt(a.Count() / 2));
    EXPECT_LT(a.Capacity(), grown);
    std::vector<intptr_t> left = a.Items();
    EXPECT_EQ(left, (std::vector<intptr_t>{0, 15, 390 + 5}));
    while (a.Count() > 0)
        ASSERT_EQ(CBinArray::kRemoved, a.RemoveAt(a.Count() - 1));
    EXPECT_EQ(0u, a.Capacity());
    EXPECT_EQ(nullptr, a.At(0));

    // Storage comes back after being freed.
    EXPECT_EQ(CBinArray::kInserted, a.Add(7));
    EXPECT_EQ(std::vector<intptr_t>{7}, a.Items());
}

TEST(BinArray, OutOfRangeEmptyAndUnconfiguredCases) {
    NumberArray a;
    for (intptr_t i = 1; i <= 5; ++i)
        a.Add(i);
    std::vector<intptr_t> before = a.Items();
    EXPECT_EQ(CBinArray::kNotFound, a.RemoveAt(5));
    EXPECT_EQ(CBinArray::kRemoveFailed, a.RemoveIndex(5, nullptr));
    intptr_t out = -1;
    EXPECT_FALSE(a.Get(5, &out));
    EXPECT_EQ(-1, out);
    intptr_t missing = 42;
    EXPECT_EQ(CBinArray::kNotFound, a.Remove(&missing, true));
    EXPECT_EQ(42, missing);
    EXPECT_EQ(before, a.Items());

    NumberArray empty;
    intptr_t key = 3;
    uint32_t at = 77;
    int r = 77;
    EXPECT_FALSE(empty.Find(&key, &at, &r));
    EXPECT_EQ(0u, at);
    EXPECT_EQ(-1, r);

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
    NumberArray a;
    for (intptr_t v : {10, 20, 30})
        a.Add(v);

    intptr_t key = 20; // middle: the next one
    EXPECT_EQ(CBinArray::kRemoved, a.Remove(&key, true));
    EXPECT_EQ(30, key);
    key = 30; // last of several: the one before
    EXPECT_EQ(CBinArray::kRemoved, a.Remove(&key, true));
    EXPECT_EQ(10, key);
    key = 10; // the only one: zeros
    EXPECT_EQ(CBinArray::kRemoved, a.Remove(&key, true));
    EXPECT_EQ(0, key);
    EXPECT_EQ(0u, a.Count());

    for (intptr_t v : {1, 2, 3})
        a.Add(v);
    key = 2; // without the flag the key stays as given
    EXPECT_EQ(CBinArray::kRemoved, a.Remove(&key, false));
    EXPECT_EQ(2, key);
    intptr_t next = -1;
    EXPECT_EQ(CBinArray::kRemoved, a.RemoveIndex(0, &next));
    EXPECT_EQ(3, next);
    EXPECT_EQ(std::vector<intptr_t>{3}, a.Items());
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
        EXPECT_GE(a.Capacity(), a.Count());

        for (intptr_t v = -1; v <= n * 6 + 1; ++v) {
            intptr_t key = v;
            bool present = model.count(v) != 0;
            ASSERT_EQ(present, a.Find(&key)) << "n=" << n << " v=" << v;
            if (!present) {
                // Where the bisection ends is where an insert would go.
                int r = 0;
                uint32_t at = a.Bisect(&v, &r);
                uint32_t insertAt = r > 0 ? at + 1 : at;
                uint32_t expectAt =
                    static_cast<uint32_t>(std::distance(model.begin(), model.lower_bound(v)));
                ASSERT_EQ(expectAt, insertAt) << "n=" << n << " v=" << v;
            }
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
        // Half the elements gone: the block shrank with them.
        EXPECT_LE(a.Capacity(), a.Count() + 32);
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
    Record prev = {0, 0, ""};
    for (uint32_t i = 0; i < a.Count(); ++i) {
        Record r;
        ASSERT_TRUE(a.Get(i, &r));
        EXPECT_GT(r.key, prev.key);
        EXPECT_EQ(-r.key, r.copy);
        EXPECT_STREQ("tag", r.tag);
        prev = r;
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
    for (intptr_t v = 0; v < 2; ++v) {
        intptr_t key = v;
        EXPECT_EQ(CBinArray::kRemoved, a.Remove(&key, false));
    }
    EXPECT_EQ(capacity, a.Capacity());
    EXPECT_EQ(std::vector<intptr_t>(before.begin() + 1, before.end()), a.Items());
}
