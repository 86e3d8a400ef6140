#include "packets/row_array.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <numeric>
#include <vector>

namespace wirelens {
namespace {

// Growth remaps the pages: everything stored before must still be there,
// in order, after many growths.
TEST(RowArray, KeepsEveryEntryThroughManyGrowths) {
    RowArray rows;
    std::vector<std::uint32_t> batch(1000);
    for (std::uint32_t round = 0; round < 3000; ++round) {
        std::iota(batch.begin(), batch.end(), round * 1000u);
        rows.append(batch);
        if (round % 7 == 0) rows.push_back(0xffffffffu - round);
    }
    std::size_t i = 0;
    for (std::uint32_t round = 0; round < 3000; ++round) {
        for (std::uint32_t k = 0; k < 1000; ++k, ++i) ASSERT_EQ(rows[i], round * 1000u + k) << i;
        if (round % 7 == 0) {
            ASSERT_EQ(rows[i++], 0xffffffffu - round);
        }
    }
    EXPECT_EQ(rows.size(), i);
    EXPECT_FALSE(rows.IsRun());
}

// Rows 1..N in order are held as a run with a bit a row; reading them, with
// their outgoing bits, must give what the array would hold, and nothing that
// only reads may write the run out.
TEST(RowArray, ARunOfKeysReadsLikeTheArrayAndStaysARunWhileOnlyRead) {
    RowArray rows;
    std::vector<std::uint32_t> expected;
    for (std::uint32_t key = 1; key <= 1000; ++key) {
        const std::uint32_t entry = key | (key % 3 == 0 ? RowArray::kOutgoingBit : 0u);
        expected.push_back(entry);
        if (key <= 500) rows.push_back(entry);
    }
    rows.append(std::span<const std::uint32_t>(expected).subspan(500));
    ASSERT_TRUE(rows.IsRun());
    EXPECT_TRUE(rows == expected);
    const RowArray& view = rows;
    for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(view[i], expected[i]) << i;
    EXPECT_TRUE(rows.IsRun());
    // A run may start at any key: a list rebuilt after packets were cleared.
    RowArray later;
    later.assign(std::vector<std::uint32_t>{41, 42 | RowArray::kOutgoingBit, 43});
    EXPECT_TRUE(later.IsRun());
    EXPECT_TRUE(later == (std::vector<std::uint32_t>{41, 42 | RowArray::kOutgoingBit, 43}));
}

// A run of millions of rows keeps its outgoing bits in many blocks: every
// bit must come back across the blocks' edges, after a write-out and a
// Compact, and none may outlive a clear.
TEST(RowArray, ARunOverManyBlocksOfBitsKeepsEachRowsBit) {
    constexpr std::uint32_t kRows = 200'003;  // three blocks and part of a fourth
    const auto entry = [](std::uint32_t key) {
        return key | ((key % 7 == 0 || key % 65'536 == 0) ? RowArray::kOutgoingBit : 0u);
    };
    RowArray rows;
    std::vector<std::uint32_t> expected;
    for (std::uint32_t key = 1; key <= kRows; ++key) {
        expected.push_back(entry(key));
        rows.push_back(entry(key));
    }
    ASSERT_TRUE(rows.IsRun());
    const RowArray& view = rows;
    for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(view[i], expected[i]) << i;
    std::reverse(rows.begin(), rows.end());
    std::reverse(rows.begin(), rows.end());
    rows.Compact();
    ASSERT_TRUE(rows.IsRun());
    EXPECT_TRUE(rows == expected);

    rows.clear();
    for (std::uint32_t key = 1; key <= kRows; ++key) rows.push_back(key);
    for (std::size_t i = 0; i < kRows; ++i) ASSERT_EQ(view[i], i + 1) << "no bit of the cleared rows: " << i;
}

struct BreakCase {
    const char* name;
    std::vector<std::uint32_t> entries;
};

TEST(RowArray, AnEntryOutOfSequenceWritesTheRunOutWhole) {
    const BreakCase cases[] = {
        {"a gap", {1, 2, 3 | RowArray::kOutgoingBit, 7, 8}},
        {"a repeat", {5, 6, 6}},
        {"going back", {10, 11 | RowArray::kOutgoingBit, 3}},
        {"the outgoing bit does not make a key", {1, RowArray::kOutgoingBit | 1}},
    };
    for (const BreakCase& c : cases) {
        RowArray rows;
        rows.append(c.entries);
        EXPECT_FALSE(rows.IsRun()) << c.name;
        EXPECT_TRUE(rows == c.entries) << c.name;
        RowArray oneByOne;
        for (const std::uint32_t e : c.entries) oneByOne.push_back(e);
        EXPECT_TRUE(oneByOne == c.entries) << c.name;
    }
}

// Sorting needs the array; sorting back to capture order makes the run again.
TEST(RowArray, CompactTurnsRowsInOrderBackIntoARun) {
    RowArray rows;
    std::vector<std::uint32_t> inOrder;
    for (std::uint32_t key = 3; key < 3003; ++key) inOrder.push_back(key | (key % 5 == 0 ? RowArray::kOutgoingBit : 0u));
    rows.assign(inOrder);
    std::sort(rows.begin(), rows.end(), std::greater<>());
    EXPECT_FALSE(rows.IsRun());
    rows.Compact();
    EXPECT_FALSE(rows.IsRun()) << "descending keys are no run";
    std::sort(rows.begin(), rows.end(), [](std::uint32_t a, std::uint32_t b) {
        return (a & ~RowArray::kOutgoingBit) < (b & ~RowArray::kOutgoingBit);
    });
    rows.Compact();
    EXPECT_TRUE(rows.IsRun());
    EXPECT_TRUE(rows == inOrder);
    rows.push_back(3003);  // and it grows as a run again
    EXPECT_TRUE(rows.IsRun());
    EXPECT_EQ(rows[3000], 3003u);
}

TEST(RowArray, ResizeZeroesNewEntriesEvenOverPagesKeptByClear) {
    RowArray rows;
    rows.assign(std::vector<std::uint32_t>(5000, 7u));
    EXPECT_FALSE(rows.IsRun());
    rows.clear();
    EXPECT_TRUE(rows.empty());
    rows.push_back(1);
    EXPECT_TRUE(rows.IsRun());
    rows.resize(4000);
    EXPECT_EQ(rows[0], 1u);
    for (std::size_t i = 1; i < rows.size(); ++i) ASSERT_EQ(rows[i], 0u) << i;
    rows.resize(2);
    EXPECT_EQ(rows.size(), 2u);
}

TEST(RowArray, MovesAndReleasesItsMapping) {
    RowArray a;
    a.assign(std::vector<std::uint32_t>{3, 1, 2});
    RowArray b(std::move(a));
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(a.data(), nullptr);
    EXPECT_TRUE(b == (std::vector<std::uint32_t>{3, 1, 2}));
    a = std::move(b);
    EXPECT_TRUE(a == (std::vector<std::uint32_t>{3, 1, 2}));
    EXPECT_FALSE(a == (std::vector<std::uint32_t>{3, 1}));
    a.release();
    EXPECT_TRUE(a.empty());
    a.push_back(9);  // usable again after a release
    EXPECT_TRUE(a == (std::vector<std::uint32_t>{9}));
}

// Room before the first entry comes from moving the mapping's pages behind
// new ones: entries taken at the front and at the end, in turns and across
// many growths of both, keep their order, and the array still moves, clears
// and is released whole.
TEST(RowArray, GrowsAtTheFrontAndTheEndAlikeKeepingEveryEntry) {
    RowArray rows;
    std::vector<std::uint32_t> expected;  // front entries, reversed
    std::vector<std::uint32_t> back;
    std::uint32_t next = 1;
    for (int round = 0; round < 400; ++round) {
        const std::size_t count = 1 + static_cast<std::size_t>(round) * 37 % 3000;
        rows.GrowFront(count);
        for (std::size_t i = 0; i < count; ++i) {
            rows[count - 1 - i] = next;
            expected.push_back(next++);
        }
        if (round % 3 == 0) {
            rows.push_back(0x40000000u + next);
            back.push_back(0x40000000u + next++);
        }
    }
    std::vector<std::uint32_t> all(expected.rbegin(), expected.rend());
    all.insert(all.end(), back.begin(), back.end());
    ASSERT_EQ(rows.size(), all.size());
    EXPECT_TRUE(rows == all);

    RowArray moved(std::move(rows));
    EXPECT_TRUE(moved == all);
    moved.resize(moved.size() + 5000);  // the end grows after the front did
    for (std::size_t i = all.size(); i < moved.size(); ++i) ASSERT_EQ(moved[i], 0u) << i;
    moved.clear();
    moved.GrowFront(3);
    moved[0] = 7;
    moved[1] = 8;
    moved[2] = 9;
    EXPECT_TRUE(moved == (std::vector<std::uint32_t>{7, 8, 9}));
    moved.release();
    EXPECT_TRUE(moved.empty());
    moved.GrowFront(1);  // from nothing
    moved[0] = 5;
    EXPECT_TRUE(moved == (std::vector<std::uint32_t>{5}));
}

// A sorted list takes a capture's rows at both ends, batch after batch: room
// made at the front sits beside the pages moved behind it, and the end must
// still grow past them, as must the front again, many times over, without
// losing or reordering an entry.
TEST(RowArray, GrowsAtTheEndAfterTakingRowsAtTheFront) {
    RowArray rows;
    std::deque<std::uint32_t> expected;
    std::uint32_t next = 1;
    std::vector<std::uint32_t> batch(300);
    for (int round = 0; round < 2000; ++round) {
        rows.GrowFront(batch.size());
        for (std::size_t i = 0; i < batch.size(); ++i) {
            rows[batch.size() - 1 - i] = next;
            expected.push_front(next++);
        }
        for (std::uint32_t& entry : batch) {
            entry = 0x40000000u | next++;
            expected.push_back(entry);
        }
        ASSERT_NO_THROW(rows.append(batch)) << "round " << round;
    }
    ASSERT_EQ(rows.size(), expected.size());
    EXPECT_TRUE(rows == std::vector<std::uint32_t>(expected.begin(), expected.end()));

    RowArray moved(std::move(rows));
    moved.resize(moved.size() + (std::size_t{1} << 20));  // the end again, far past its room
    EXPECT_EQ(moved[expected.size() - 1], expected.back());
    EXPECT_EQ(moved[moved.size() - 1], 0u);
    moved.release();
    EXPECT_TRUE(moved.empty());
}

// A run (rows in capture order) is written out before it takes rows at the front.
TEST(RowArray, ARunTakingRowsAtTheFrontIsWrittenOutFirst) {
    RowArray rows;
    for (std::uint32_t key = 1; key <= 100; ++key) rows.push_back(key | (key % 2 == 0 ? RowArray::kOutgoingBit : 0u));
    ASSERT_TRUE(rows.IsRun());
    rows.GrowFront(2);
    rows[0] = 500;
    rows[1] = 501;
    EXPECT_FALSE(rows.IsRun());
    std::vector<std::uint32_t> expected{500, 501};
    for (std::uint32_t key = 1; key <= 100; ++key) expected.push_back(key | (key % 2 == 0 ? RowArray::kOutgoingBit : 0u));
    EXPECT_TRUE(rows == expected);
}

}  // namespace
}  // namespace wirelens
