#include "packets/row_array.h"

#include <gtest/gtest.h>

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
        if (round % 7 == 0) ASSERT_EQ(rows[i++], 0xffffffffu - round);
    }
    EXPECT_EQ(rows.size(), i);
    EXPECT_GE(rows.capacity(), rows.size());
}

TEST(RowArray, ResizeZeroesNewEntriesEvenOverPagesKeptByClear) {
    RowArray rows;
    rows.assign(std::vector<std::uint32_t>(5000, 7u));
    rows.clear();
    EXPECT_TRUE(rows.empty());
    rows.push_back(1);
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
    EXPECT_EQ(a.capacity(), 0u);
    a.push_back(9);  // usable again after a release
    EXPECT_TRUE(a == (std::vector<std::uint32_t>{9}));
}

}  // namespace
}  // namespace wirelens
