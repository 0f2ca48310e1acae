// The assembler's messages and the round trip t4asm(t4dis(image)) == image over generated images; docs/
// assembly.md and docs/bytecode.md show and check the encodings, t4dis's text and a few more messages.
// Source maps: their text form and its checks.
#include <gtest/gtest.h>

#include <random>

#include "assembler.h"
#include "disassembler.h"
#include "sourcemap.h"
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


TEST(SourceMap, TextFormRoundTripsAndAcceptsAnyOrder) {
    T4VM::sourcemap map;
    map.imagesize = 30;
    map.files = {"a file.tasm", "lib/b.tasm"};
    map.code = {{0, 20, {0, 1, 1}, false}, {6, 3, {1, 4, 2}, true}, {9, 1, {1, 7, 100}, false}, {25, 5, {0, 3, 4294967295u}, false}};
    map.bodies = {{6, 14, {0, 1, 16}, false}, {20, 0, {1, 2, 3}, false}};
    const std::string text = T4VM::writesourcemap(map);
    EXPECT_EQ(text, "t4map 1\nimage 30\nfile 0 a file.tasm\nfile 1 lib/b.tasm\ninstr 0 20 0 1 1\nbody 6 14 0 1 16\n"
                    "raw 6 3 1 4 2\ninstr 9 1 1 7 100\nbody 20 0 1 2 3\ninstr 25 5 0 3 4294967295\n");
    EXPECT_EQ(T4VM::parsesourcemap(text), map);
    // Records in another order, without the final line break, and one of a later kind to skip.
    EXPECT_EQ(T4VM::parsesourcemap("t4map 1\nimage 30\nfile 0 a file.tasm\nfile 1 lib/b.tasm\ninstr 25 5 0 3 4294967295\n"
                                   "body 20 0 1 2 3\nname 6 square\ninstr 9 1 1 7 100\nraw 6 3 1 4 2\nbody 6 14 0 1 16\n"
                                   "instr 0 20 0 1 1"),
              map);
    map.files[1] = "two\nlines";
    EXPECT_THROW(T4VM::writesourcemap(map), std::invalid_argument);
}

TEST(SourceMap, MalformedMapsAreRefusedWithTheLineAtFault) {
    const std::string head = "t4map 1\nimage 20\nfile 0 p.tasm\n";
    const std::tuple<std::string, const char*> cases[] = {
        {"", "m.map: empty file, not a source map"},
        {"t4map 1\n", "m.map: no 'image' record"},
        {"T4B\x01\x00", "m.map:1: not a source map: the first line must be 't4map VERSION'"},
        {"t4map 2\nimage 0\n", "m.map:1: map format version 2 is not supported (this reader knows version 1)"},
        {"t4map 1\nimage 20\nimage 20\n", "m.map:3: a second 'image' record (the first is on line 2)"},
        {"t4map 1\nimage -1\n", "m.map:2: 'image' takes 1 number, and '-1' is not a decimal number"},
        {"t4map 1\nimage 18446744073709551616\n", "m.map:2: the number 18446744073709551616 is too large"},
        {head + "\ninstr 0 1 0 1 1\n", "m.map:4: empty line"},
        {head + "instr 0 1 0 1\n", "m.map:4: 'instr' takes 5 numbers"},
        {head + "instr 0 1 0 1 1 1\n", "m.map:4: 'instr' takes 5 numbers, and there is more on the line"},
        {head + "instr 0 1 0 1 1\r\n", "m.map:4: 'instr' takes 5 numbers, and '1\r' is not a decimal number"},
        {head + "instr 0  1 0 1 1\n", "m.map:4: fields are separated by single spaces, with none at either end"},
        {head + "instr 0 1 0 4294967296 1\n", "m.map:4: the number 4294967296 is too large"},
        {head + "instr 0 1 0 0 1\n", "m.map:4: lines and columns count from 1"},
        {head + "file 2 q.tasm\n", "m.map:4: file 2 where file 1 comes next (files are numbered from 0 in order)"},
        {head + "file 1\n", "m.map:4: 'file' needs a name after its number"},
        {head + "instr 0 1 1 1 1\n", "m.map:4: file 1 is not listed in the map"},
        {head + "instr 19 2 0 1 1\n", "m.map:4: the instruction at byte 19 runs past the end of the image (20 bytes)"},
        {head + "instr 18446744073709551615 2 0 1 1\n",
         "m.map:4: the instruction at byte 18446744073709551615 runs past the end of the image (20 bytes)"},
        {head + "raw 3 0 0 1 1\n", "m.map:4: an empty raw span"},
        {head + "instr 0 5 0 1 1\ninstr 0 1 0 2 1\n", "m.map:5: the instruction at byte 0 starts where the one on line 4 does"},
        {head + "instr 0 5 0 1 1\ninstr 4 3 0 2 1\n",
         "m.map:5: the instruction at byte 4 overlaps the end of the one at byte 0 (line 4)"},
        {head + "raw 0 5 0 1 1\ninstr 2 1 0 2 1\n", "m.map:5: the raw bytes at byte 0 (line 4) cannot hold the instruction at byte 2"},
        {head + "body 5 10 0 1 1\nbody 3 4 0 2 1\n", "m.map:4: the function body at byte 5 overlaps the end of the one at byte 3 (line 5)"},
        {head + "42 0 1 0 1 1\n", "m.map:4: expected a record: a lower-case keyword and its fields"},
    };
    for (const auto& [text, message] : cases) {
        try {
            T4VM::parsesourcemap(text, "m.map");
            ADD_FAILURE() << "accepted: " << text;
        } catch (const T4VM::sourcemaperror& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }
}

}  // namespace
