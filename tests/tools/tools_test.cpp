// The assembler's messages and the round trip t4asm(t4dis(image)) == image over generated images; docs/
// assembly.md and docs/bytecode.md show and check the encodings, t4dis's text and a few more messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "assembler.h"
#include "disassembler.h"
#include "fileio.h"
#include "vm/opcodes.h"

namespace {

using image = std::vector<std::uint8_t>;
namespace type = T4VM::operandtype;

TEST(Assembler, ErrorsNameLineAndColumn) {
    const std::tuple<std::string, const char*> cases[] = {
        {"add\n  add 5", "2:7: 'add' takes no operand"},
        {"ifblock { loadlocal }", "1:21: missing operand for 'loadlocal'"},
        {"pushconst \"a\\qb\"", "1:13: unknown escape '\\q'"},
        {"pushconst \"\\x00\"", "1:12: a string cannot contain the byte 00"},
        {"pushconst \"\\x4\"", "1:12: \\x needs two hex digits"},
        {"pushconst \"abc\ndef\"", "1:11: unterminated string"},
        {"pushconst 4294967296.0", "1:11: float whole part does not fit in 32 bits"},
        {"pushconst 1.4294967296", "1:11: float fraction digits do not fit in 32 bits"},
        {"pushconst -2147483649", "1:11: integer out of range for 32 bits signed"},
        {"pushconst 12ab", "1:11: malformed number"},
        {"pushconst [1, 2\n", "1:11: unterminated list"},
        {"pushconst [1 2]", "1:14: expected ',' or ']' in list"},
        {"pushconst {1: 2", "1:11: unterminated dictionary"},
        {"pushconst {1 2}", "1:14: expected ':' after dictionary key"},
        {"pushconst [1,\n\n   )]", "3:4: expected an operand"},
        {"pushconst func", "1:15: expected '{' after func"},
        {"pushconst 1 2", "1:13: unexpected text after instruction"},
        {"ret\n}", "2:1: unexpected '}'"},
        {"42", "1:1: expected an instruction"},
        {".bytes 0e 0", "1:11: expected hex byte pairs after .bytes"},
        {".frob 00", "1:1: unknown directive '.frob'"},
        {"pushconst " + std::string(1001, '['), "1:1011: nesting deeper than 1000 levels"},
    };
    for (const auto& [source, message] : cases) {
        try {
            T4VM::assemble(source, "prog.tasm");
            ADD_FAILURE() << "accepted: " << source;
        } catch (const T4VM::asmerror& error) {
            EXPECT_EQ(std::string(error.what()), std::string("prog.tasm:") + message);
        }
    }
    EXPECT_EQ(T4VM::assemble("pushconst " + std::string(1000, '[') + std::string(1000, ']')).size(), 2001u);
    std::string blocks;  // far deeper than the limit fails cleanly rather than exhaust the stack
    for (int i = 0; i < 100000; ++i) blocks += "ifblock { ";
    EXPECT_THROW(T4VM::assemble(blocks), T4VM::asmerror);
}

TEST(FileIO, EmptyImageEmptiesTheOutput) {
    EXPECT_TRUE(T4VM::assemble("; only a comment\n\n").empty());
    const std::string path = ::testing::TempDir() + "t4asm_fileio.t4b";
    ASSERT_TRUE(T4VM::writewhole(path, image{1, 2, 3}));
    EXPECT_EQ(T4VM::readwhole(path), std::string("\x01\x02\x03"));
    ASSERT_TRUE(T4VM::writewhole(path, image{}));
    EXPECT_EQ(T4VM::readwhole(path), std::string());
    std::remove(path.c_str());
}

std::mt19937 rng(20240611);

std::size_t below(std::size_t n) { return rng() % n; }

std::string program(int depth);

// An operand of any kind as assembly text; nested ones only to a few levels.
std::string operand(int depth) {
    const char* const strings[] = {"x_1", "\"1x\"", "\"class\"", "\"a b\\r\\\"\\\\\\x01\\xff\"", "\"\xc3\xa9\""};
    switch (below(depth < 3 ? 8 : 5)) {
        case 0: return std::to_string(std::int32_t(rng()));
        case 1: return std::to_string(rng()) + "." + std::to_string(below(2) ? rng() : below(100));
        case 2: return strings[below(std::size(strings))];
        case 3: return below(2) ? "class" : "stack";
        case 4: return "[]";
        case 5: return "[" + operand(depth + 1) + ", " + operand(depth + 1) + "]";
        case 6: return "dict {" + operand(depth + 1) + ": " + operand(depth + 1) + "}";
        default: return "func {\n" + program(depth + 1) + "}";
    }
}

// Random instructions, function bodies nested, as assembly text.
std::string program(int depth) {
    std::string text;
    for (std::size_t n = below(depth == 0 ? 12 : 4); n > 0; --n) {
        const auto& info = T4VM::opcodetable[below(T4VM::opcodetable.size())];
        text += std::string(info.name) + (info.operand == T4VM::operandkind::none ? "" : " " + operand(depth)) + "\n";
    }
    return text;
}

// Mostly the bytes that matter: opcodes, type bytes, terminators, the parts of odd lengths.
image randombytes() {
    const std::uint8_t common[] = {0x0E, 0x09, 0x21, 0x2A, 0x00, 0x01, 0x02, 0x04, 0x05, 0x06, 0x07, 0x7F, 0xFF};
    image out(below(48));
    for (std::uint8_t& byte : out) byte = below(3) ? common[below(sizeof common)] : std::uint8_t(rng());
    return out;
}

TEST(RoundTrip, GeneratedImagesComeBackByteForByte) {
    image deep(100001, type::list);  // far deeper than any limit: raw bytes, and no stack exhausted
    deep.front() = T4VM::op::pushconst;
    deep.insert(deep.end(), 100000, type::end);
    EXPECT_EQ(T4VM::assemble(T4VM::disassemble(deep)), deep);
    for (int i = 0; i < 9000; ++i) {
        image bytes = i < 3000 || i >= 6000 ? T4VM::assemble(program(0)) : randombytes();
        const std::size_t at = below(bytes.size() + 1);
        if (i >= 6000 && i % 3 == 0) bytes.resize(at);  // damaged: cut short, a byte changed or inserted
        if (i >= 6000 && i % 3 == 1 && at < bytes.size()) bytes[at] = std::uint8_t(rng());
        if (i >= 6000 && i % 3 == 2) bytes.insert(bytes.begin() + std::ptrdiff_t(at), std::uint8_t(rng()));
        const std::string text = T4VM::disassemble(bytes);
        ASSERT_TRUE(i >= 3000 || text.find(".bytes") == std::string::npos) << "well-formed #" << i << ":\n" << text;
        ASSERT_EQ(T4VM::assemble(text), bytes) << "#" << i << ":\n" << text;  // an asmerror fails the test too
    }
}

}  // namespace
