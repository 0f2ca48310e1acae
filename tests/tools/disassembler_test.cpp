#include <gtest/gtest.h>

#include "assembler.h"
#include "disassembler.h"
#include "hexbytes.h"
#include "vm/opcodes.h"

using T4VM::assemble;
using T4VM::disassemble;

namespace {

std::string dis(std::string_view hex) { return disassemble(hexbytes(hex)); }

TEST(Disassembler, PrintsOperandsAsWritten) {
    EXPECT_EQ(dis("0e 00 ff ff ff fe"), "pushconst -2\n");
    EXPECT_EQ(dis("0e 01 00 00 00 01 00 00 00 32"), "pushconst 1.50\n");
    EXPECT_EQ(dis("0e 01 00 00 00 07 00 00 00 00"), "pushconst 7.0\n");
    EXPECT_EQ(dis("0e 04 00 00 00 00 01 00 00 00 00 02 ff"), "pushconst [2, 1]\n");
    EXPECT_EQ(dis("0e 05 02 6b 00 03 07 02 76 00 ff"), "pushconst {\"k\": class, stack: \"v\"}\n");
    EXPECT_EQ(dis("0e 02 09 0d 0a 5c 22 7f c3 20 00"), "pushconst \"\\t\\r\\n\\\\\\\"\\x7f\\xc3 \"\n");
    EXPECT_EQ(dis("09 00 00 00 00 02 28"), "call 2\ndup\n");
}

TEST(Disassembler, NamesGoBareOnlyWhereTheyReadBackAsTheSameName) {
    EXPECT_EQ(dis("04 02 78 5f 31 00"), "loadlocal x_1\n");
    EXPECT_EQ(dis("04 02 63 6c 61 73 73 00"), "loadlocal \"class\"\n");
    EXPECT_EQ(dis("04 02 31 78 00"), "loadlocal \"1x\"\n");
    EXPECT_EQ(dis("04 02 00"), "loadlocal \"\"\n");
    EXPECT_EQ(dis("0c 02 64 69 63 74 00"), "loadglobal dict\n");
    // A constant string stays quoted so it does not read like a name.
    EXPECT_EQ(dis("0e 02 78 00"), "pushconst \"x\"\n");
}

TEST(Disassembler, BodiesNestWithIndentation) {
    EXPECT_EQ(dis("21 06 00 00 00 07 0e 00 00 00 00 05 10"), "ifblock {\n    pushconst 5\n    ret\n}\n");
    EXPECT_EQ(dis("0e 06 00 00 00 07 23 06 00 00 00 01 22"),
              "pushconst func {\n    whileblock {\n        pop\n    }\n}\n");
    EXPECT_EQ(dis("21 06 00 00 00 00 21 05 ff"), "ifblock {}\nifblock dict {}\n");
    // A body that stops decoding ends in raw bytes without spoiling what follows it.
    EXPECT_EQ(dis("0e 06 00 00 00 02 10 2a 22"), "pushconst func {\n    ret\n    .bytes 2a\n}\npop\n");
}

TEST(Disassembler, RestAfterTheFirstUndecodableInstructionIsRaw) {
    EXPECT_EQ(dis("00 2a 00 00"), "add\n.bytes 2a 00 00\n");                  // unknown opcode
    EXPECT_EQ(dis("10 0e 08 00"), "ret\n.bytes 0e 08 00\n");                  // bad type byte
    EXPECT_EQ(dis("0e 00 00 00"), ".bytes 0e 00 00 00\n");                    // integer cut off
    EXPECT_EQ(dis("0e 02 61 62"), ".bytes 0e 02 61 62\n");                    // string unterminated
    EXPECT_EQ(dis("0e 04 00 00 00 00 01"), ".bytes 0e 04 00 00 00 00 01\n");  // list unterminated
    EXPECT_EQ(dis("0e 05 03 ff"), ".bytes 0e 05 03 ff\n");                    // key without value
    EXPECT_EQ(dis("0e 06 ff ff ff ff 10"), ".bytes 0e 06 ff ff ff ff 10\n");  // negative length
    EXPECT_EQ(dis("0e 06 00 00 00 02 10"), ".bytes 0e 06 00 00 00 02 10\n");  // body too long
    EXPECT_EQ(dis("0e"), ".bytes 0e\n");                                      // operand missing
    EXPECT_EQ(disassemble(std::vector<std::uint8_t>(20, 0xFF)),
              ".bytes ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff\n.bytes ff ff ff ff\n");
    EXPECT_EQ(dis(""), "");
}

TEST(Disassembler, DeepNestingFallsBackToRawBytes) {
    for (int levels : {999, 1000, 1001, 100000}) {
        std::vector<std::uint8_t> image{T4VM::op::pushconst};
        image.insert(image.end(), std::size_t(levels), T4VM::operandtype::list);
        image.insert(image.end(), std::size_t(levels), T4VM::operandtype::end);
        std::string text = disassemble(image);
        EXPECT_EQ(text.starts_with(".bytes"), levels > 1000) << levels;
        EXPECT_EQ(assemble(text), image) << levels;
    }
}

TEST(OpcodeTable, EveryOpcodeAssemblesToItsNumberAndPrintsBack) {
    for (const auto& info : T4VM::opcodetable) {
        std::string source(info.name);
        std::vector<std::uint8_t> expected{info.number};
        switch (info.operand) {
            case T4VM::operandkind::none: break;
            case T4VM::operandkind::name:
                source += " x";
                expected.insert(expected.end(), {0x02, 'x', 0x00});
                break;
            case T4VM::operandkind::count:
            case T4VM::operandkind::any:
                source += " 3";
                expected.insert(expected.end(), {0x00, 0, 0, 0, 3});
                break;
            case T4VM::operandkind::block:
                source += " {}";
                expected.insert(expected.end(), {0x06, 0, 0, 0, 0});
                break;
        }
        EXPECT_EQ(assemble(source), expected) << source;
        EXPECT_EQ(disassemble(expected), source + "\n");
    }
    EXPECT_EQ(dis("29 2a"), "enter\n.bytes 2a\n");
}

}  // namespace
