#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "assembler.h"
#include "vm/additions/hashing.h"
#include "vm/vm.h"

namespace {

std::uint32_t crc(const std::string& text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    return T4VMHASHING::crc32func(0, bytes, text.size());
}

std::uint32_t crc(const std::vector<std::uint8_t>& bytes) {
    return T4VMHASHING::crc32func(0, bytes.data(), bytes.size());
}

TEST(Crc32c, PublishedCheckValues) {
    EXPECT_EQ(crc(""), 0u);
    EXPECT_EQ(crc("123456789"), 3808858755u);
    EXPECT_EQ(crc("abc"), 910901175u);
}

// The iSCSI test patterns: zero bytes and bytes 0x80..0xFF count like any other.
TEST(Crc32c, IscsiPatterns) {
    std::vector<std::uint8_t> zeros(32, 0x00), ones(32, 0xFF), up(32), down(32);
    for (int i = 0; i < 32; ++i) {
        up[i] = static_cast<std::uint8_t>(i);
        down[i] = static_cast<std::uint8_t>(31 - i);
    }
    EXPECT_EQ(crc(zeros), 0x8A9136AAu);
    EXPECT_EQ(crc(ones), 0x62A8AB43u);
    EXPECT_EQ(crc(up), 0x46DD794Eu);
    EXPECT_EQ(crc(down), 0x113FDB5Cu);
}

TEST(Crc32c, ChainsOverPieces) {
    std::string text = "The quick brown fox jumps over the lazy dog";
    text.push_back('\0');
    text += "\x80\xff tail";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{20}, text.size()}) {
        const std::uint32_t first = T4VMHASHING::crc32func(0, bytes, cut);
        EXPECT_EQ(T4VMHASHING::crc32func(first, bytes + cut, text.size() - cut), crc(text)) << cut;
    }
}

TEST(HashingModule, ProgramPrintsChecksumsAsUnsignedDecimalText) {
    std::string source;
    for (const char* value : {"\"123456789\"", "42", "\"42\"", "\"\""}) {
        source += "pushconst " + std::string(value) +
                  "\nenterattr hashing\nloadattr crc32\nleave\ncall 1\n"
                  "enterattr stdout\nloadattr write\ncall 1\n"
                  "pushconst \" \"\nloadattr write\ncall 1\nleave\n";
    }
    const T4VM::runresult run = T4VM::runimage(T4VM::assemble(source), {"silent"});
    const std::string fortytwo = std::to_string(crc("42"));
    EXPECT_EQ(run.out, "3808858755 " + fortytwo + " " + fortytwo + " 0 ");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST(HashingModule, MissingArgumentIsAModuleError) {
    const T4VM::runresult run = T4VM::runimage(T4VM::assemble(R"(
        enterattr hashing
        loadattr crc32
        call 0
    )"), {"silent"});
    EXPECT_EQ(run.err, "TARN 4 VM error within module: No such arg: arg0\n");
    EXPECT_EQ(run.status, 1);
}

}  // namespace
