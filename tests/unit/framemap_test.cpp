// Variable frames keep a few entries inside themselves and move to storage of their own past that:
// copies and moves in either direction leave each frame exactly its own entries.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "vm/value.h"

namespace {

using T4VM::framemap;
using T4VM::variable;

// Distinct addresses stand for the variables: the frame only stores and compares them.
variable* fake(std::size_t index) { return reinterpret_cast<variable*>(0x1000 + 16 * index); }

framemap frameof(std::size_t count, const std::string& prefix, std::size_t first) {
    framemap frame;
    for (std::size_t i = 0; i < count; ++i) frame[prefix + std::to_string(i)] = fake(first + i);
    return frame;
}

std::vector<std::pair<std::string, variable*>> entriesof(const framemap& frame) {
    std::vector<std::pair<std::string, variable*>> out;
    for (const auto& [name, value] : frame) out.emplace_back(*name, value);
    return out;
}

TEST(framemap, CopiesAndMovesAcrossTheInlineRoomKeepExactlyTheirEntries) {
    for (std::size_t small : {0u, 1u, 3u, 4u}) {
        for (std::size_t large : {5u, 9u}) {
            const framemap a = frameof(small, "a", 0);
            const framemap b = frameof(large, "b", 50);
            SCOPED_TRACE("small " + std::to_string(small) + ", large " + std::to_string(large));

            framemap copy = a;
            EXPECT_EQ(entriesof(copy), entriesof(a));
            copy = b;  // grows out of its own room
            EXPECT_EQ(entriesof(copy), entriesof(b));
            copy = a;  // back to a few entries in the storage it grew
            EXPECT_EQ(entriesof(copy), entriesof(a));
            copy["extra"] = fake(99);
            EXPECT_EQ(copy.size(), small + 1);
            EXPECT_EQ(entriesof(a).size(), small);  // the source is untouched

            framemap moved = std::move(copy);
            EXPECT_EQ(moved.size(), small + 1);
            EXPECT_EQ(moved.at("extra"), fake(99));
            framemap target = frameof(large, "t", 70);
            target = std::move(moved);
            EXPECT_EQ(target.size(), small + 1);
            if (small > 0) {
                EXPECT_EQ(target.at("a0"), fake(0));
            }

            framemap grown = a;
            grown.merge(b);  // adds the names it lacks, replaces the others
            EXPECT_EQ(grown.size(), small + large);
            EXPECT_EQ(grown.at("b0"), fake(50));
        }
    }
}

}  // namespace
