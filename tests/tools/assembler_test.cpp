#include <gtest/gtest.h>

#include "assembler.h"
#include "hexbytes.h"

using T4VM::asmerror;
using T4VM::assemble;

namespace {

struct encoding {
    const char* source;
    const char* image;
};

void expectencodings(std::initializer_list<encoding> cases) {
    for (const auto& c : cases) EXPECT_EQ(assemble(c.source), hexbytes(c.image)) << c.source;
}

TEST(AssemblerEncoding, Integers) {
    expectencodings({
        {"pushconst -2", "0e 00 ff ff ff fe"},
        {"pushconst 0", "0e 00 00 00 00 00"},
        {"pushconst 0x1F", "0e 00 00 00 00 1f"},
        {"pushconst -0x10", "0e 00 ff ff ff f0"},
        {"pushconst 2147483647", "0e 00 7f ff ff ff"},
        {"pushconst -2147483648", "0e 00 80 00 00 00"},
        {"pushconst -0x80000000", "0e 00 80 00 00 00"},
        {"call 2", "09 00 00 00 00 02"},
    });
}

TEST(AssemblerEncoding, FloatsKeepWholePartAndFractionDigitsApart) {
    expectencodings({
        {"pushconst 1.5", "0e 01 00 00 00 01 00 00 00 05"},
        {"pushconst 300.125", "0e 01 00 00 01 2c 00 00 00 7d"},
        {"pushconst 1.50", "0e 01 00 00 00 01 00 00 00 32"},
        {"pushconst 7.0", "0e 01 00 00 00 07 00 00 00 00"},
        {"pushconst 7.00", "0e 01 00 00 00 07 00 00 00 00"},
        {"pushconst 0.5", "0e 01 00 00 00 00 00 00 00 05"},
        {"pushconst 4294967295.4294967295", "0e 01 ff ff ff ff ff ff ff ff"},
    });
}

TEST(AssemblerEncoding, StringsAndNames) {
    expectencodings({
        {R"(pushconst "hi\n")", "0e 02 68 69 0a 00"},
        {R"(pushconst "")", "0e 02 00"},
        {R"(pushconst "\t\r\\\"\x7f\xFF")", "0e 02 09 0d 5c 22 7f ff 00"},
        {"pushconst \"caf\xc3\xa9\"", "0e 02 63 61 66 c3 a9 00"},
        {"loadlocal x", "04 02 78 00"},
        {"storelocal \"odd name\"", "05 02 6f 64 64 20 6e 61 6d 65 00"},
        {"loadglobal dict", "0c 02 64 69 63 74 00"},
        {"loadattr add", "0a 02 61 64 64 00"},
    });
}

TEST(AssemblerEncoding, ClassStackAndContainers) {
    expectencodings({
        {"pushconst class", "0e 03"},
        {"pushconst stack", "0e 07"},
        {"pushconst []", "0e 04 ff"},
        {"pushconst {}", "0e 05 ff"},
        // The machine reverses list elements, so they are written last first.
        {"pushconst [1, 2]", "0e 04 00 00 00 00 02 00 00 00 00 01 ff"},
        {"pushconst [\"a\", \"b\",]", "0e 04 02 62 00 02 61 00 ff"},
        {"pushconst [[1, 2], 3]", "0e 04 00 00 00 00 03 04 00 00 00 00 02 00 00 00 00 01 ff ff"},
        {"pushconst [stack, stack]", "0e 04 07 07 ff"},
        {"pushconst {\"k\": 1, 2: [3]}",
         "0e 05 02 6b 00 00 00 00 00 01 00 00 00 00 02 04 00 00 00 00 03 ff ff"},
        {"pushconst {a: b}", "0e 05 02 61 00 02 62 00 ff"},
        {"pushconst [\n  1,   ; first\n  2\n]", "0e 04 00 00 00 00 02 00 00 00 00 01 ff"},
        {"loadlocal [1]", "04 04 00 00 00 00 01 ff"},
        {"call \"x\"", "09 02 78 00"},
    });
}

TEST(AssemblerEncoding, FunctionsAndBlocks) {
    expectencodings({
        {"pushconst func {\n    pushconst 5\n    ret\n}", "0e 06 00 00 00 07 0e 00 00 00 00 05 10"},
        {"pushconst func {}", "0e 06 00 00 00 00"},
        {"ifblock {}", "21 06 00 00 00 00"},
        {"ifblock func { ret }", "21 06 00 00 00 01 10"},
        {"whileblock {\n  foreachblock {\n    pop\n  }\n}", "23 06 00 00 00 07 24 06 00 00 00 01 22"},
        {"ifblock 5", "21 00 00 00 00 05"},
        {"ifblock dict {1: 2}", "21 05 00 00 00 00 01 00 00 00 00 02 ff"},
        {"pushconst [func { ret }, 1]", "0e 04 00 00 00 00 01 06 00 00 00 01 10 ff"},
        {"pushconst func {\n  .bytes 2a ff\n}", "0e 06 00 00 00 02 2a ff"},
    });
}

TEST(AssemblerEncoding, LayoutCommentsAndRawBytes) {
    expectencodings({
        {"; only a comment\n\n# another\n", ""},
        {"add\r\nsub ; trailing\r\n  mul # again", "00 01 02"},
        {".bytes 0e 00 00\n.bytes 00000007 FF", "0e 00 00 00 00 00 07 ff"},
        {".bytes", ""},
        {"pushconst \"a;b#c\"", "0e 02 61 3b 62 23 63 00"},
    });
}

struct failure {
    const char* source;
    int line;
    int column;
    const char* message;
};

TEST(AssemblerErrors, ReportLineColumnAndCause) {
    const failure cases[] = {
        {"frob", 1, 1, "unknown opcode 'frob'"},
        {"add\n  add 5", 2, 7, "'add' takes no operand"},
        {"loadlocal", 1, 10, "missing operand for 'loadlocal'"},
        {"ifblock { loadlocal }", 1, 21, "missing operand for 'loadlocal'"},
        {"loadlocal   ; none", 1, 19, "missing operand for 'loadlocal'"},
        {"pushconst \"a\\qb\"", 1, 13, "unknown escape '\\q'"},
        {"pushconst \"\\x00\"", 1, 12, "a string cannot contain the byte 00"},
        {"pushconst \"\\x4\"", 1, 12, "\\x needs two hex digits"},
        {"pushconst \"abc", 1, 11, "unterminated string"},
        {"pushconst \"abc\ndef\"", 1, 11, "unterminated string"},
        {"pushconst -1.5", 1, 11, "negative floats cannot be encoded"},
        {"pushconst 0.05", 1, 11, "fraction digits with a leading zero cannot be encoded"},
        {"pushconst 4294967296.0", 1, 11, "float whole part does not fit in 32 bits"},
        {"pushconst 1.4294967296", 1, 11, "float fraction digits do not fit in 32 bits"},
        {"pushconst 2147483648", 1, 11, "integer out of range for 32 bits signed"},
        {"pushconst -2147483649", 1, 11, "integer out of range for 32 bits signed"},
        {"pushconst 0x80000000", 1, 11, "integer out of range for 32 bits signed"},
        {"pushconst 12ab", 1, 11, "malformed number"},
        {"pushconst 5.", 1, 11, "malformed number"},
        {"pushconst -", 1, 11, "malformed number"},
        {"pushconst 0x", 1, 11, "malformed number"},
        {"pushconst [1, 2\n", 1, 11, "unterminated list"},
        {"pushconst [1 2]", 1, 14, "expected ',' or ']' in list"},
        {"pushconst {1: 2", 1, 11, "unterminated dictionary"},
        {"pushconst {1 2}", 1, 14, "expected ':' after dictionary key"},
        {"pushconst [1,\n\n   )]", 3, 4, "expected an operand"},
        {"ifblock {\n  ret\n", 1, 9, "unterminated function body"},
        {"pushconst func", 1, 15, "expected '{' after func"},
        {"pushconst 1 2", 1, 13, "unexpected text after instruction"},
        {"ret\n}", 2, 1, "unexpected '}'"},
        {"42", 1, 1, "expected an instruction"},
        {".bytes 0e 0", 1, 11, "expected hex byte pairs after .bytes"},
        {".bytes 0g", 1, 8, "expected hex byte pairs after .bytes"},
        {".frob 00", 1, 1, "unknown directive '.frob'"},
    };
    for (const auto& c : cases) {
        try {
            assemble(c.source, "prog.tasm");
            ADD_FAILURE() << "accepted: " << c.source;
        } catch (const asmerror& error) {
            EXPECT_EQ(error.line, c.line) << c.source;
            EXPECT_EQ(error.column, c.column) << c.source;
            EXPECT_EQ(error.message, c.message) << c.source;
            EXPECT_EQ(std::string(error.what()), "prog.tasm:" + std::to_string(c.line) + ":" +
                                                     std::to_string(c.column) + ": " + c.message);
        }
    }
}

TEST(AssemblerErrors, NestingIsLimitedToAThousandLevels) {
    auto nested = [](int levels) {
        return "pushconst " + std::string(std::size_t(levels), '[') + std::string(std::size_t(levels), ']');
    };
    EXPECT_EQ(assemble(nested(1000)).size(), 1u + 2 * 1000);
    try {
        assemble(nested(1001));
        ADD_FAILURE() << "1001 levels accepted";
    } catch (const asmerror& error) {
        EXPECT_EQ(error.column, 11 + 1000);
        EXPECT_EQ(error.message, "nesting deeper than 1000 levels");
    }
    // Far deeper than the limit must still fail cleanly rather than exhaust the stack.
    EXPECT_THROW(assemble("pushconst " + std::string(1000000, '[')), asmerror);
    std::string blocks;
    for (int i = 0; i < 100000; ++i) blocks += "ifblock { ";
    EXPECT_THROW(assemble(blocks), asmerror);
}

}  // namespace
