// The list elements' array: growth keeps what it holds, erase closes the gap, and copies and moves
// leave each array its own block.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "vm/plainarray.h"

namespace {

struct pair {
    long first;
    int second;
};

std::vector<long> firsts(const T4VM::plainarray<pair>& array) {
    std::vector<long> out;
    for (const pair& item : array) out.push_back(item.first);
    return out;
}

TEST(plainarray, GrowsEraseCopiesAndMoves) {
    T4VM::plainarray<pair> array;
    for (long i = 0; i < 1000; ++i) array.push_back({i, static_cast<int>(-i)});
    ASSERT_EQ(array.size(), 1000u);
    EXPECT_GE(array.capacity(), 1000u);
    EXPECT_EQ(array[999].first, 999);
    EXPECT_EQ(array[999].second, -999);

    array.erase(0);    // first
    array.erase(500);  // middle: was 501
    array.erase(array.size() - 1);  // last: was 999
    ASSERT_EQ(array.size(), 997u);
    EXPECT_EQ(array[0].first, 1);
    EXPECT_EQ(array[499].first, 500);
    EXPECT_EQ(array[500].first, 502);
    EXPECT_EQ(array[996].first, 998);

    T4VM::plainarray<pair> copy = array;
    copy[0].first = 42;
    copy.push_back({7, 7});
    EXPECT_EQ(array[0].first, 1);
    EXPECT_EQ(array.size(), 997u);
    EXPECT_EQ(copy.size(), 998u);

    T4VM::plainarray<pair> moved = std::move(copy);
    EXPECT_EQ(moved.size(), 998u);
    EXPECT_EQ(moved[0].first, 42);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from array is empty
    copy = moved;
    moved = T4VM::plainarray<pair>{};
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ(firsts(copy).back(), 7);

    T4VM::plainarray<pair> small;
    small.reserve(3);
    EXPECT_EQ(small.capacity(), 3u);
    small.push_back({1, 1});
    const T4VM::plainarray<pair>& same = small;
    small = same;  // assigning an array to itself keeps it
    EXPECT_EQ(firsts(small), std::vector<long>{1});
}

}  // namespace
