// The assembler, the disassembler and the machine's decoder all go through the one opcode list;
// this checks that they agree on every opcode, its number and its operand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "assembler.h"
#include "disassembler.h"
#include "vm/code.h"
#include "vm/decode.h"
#include "vm/opcodes.h"
#include "vm/embed.h"

namespace {

// A well-formed operand of each kind, as assembly text.
std::string operandtext(T4VM::operandkind kind) {
    switch (kind) {
    case T4VM::operandkind::none: return "";
    case T4VM::operandkind::name: return " x";
    case T4VM::operandkind::count: return " 2";
    case T4VM::operandkind::any: return " 7";
    case T4VM::operandkind::block: return " {\n    pop\n}";
    }
    return "";
}

TEST(opcodes, AssemblerDisassemblerAndMachineAgreeOnEveryOpcode) {
    for (const T4VM::opcodeinfo& info : T4VM::opcodetable) {
        const std::string name(info.name);
        const std::vector<std::uint8_t> image = T4VM::assemble(name + operandtext(info.operand) + "\n");
        ASSERT_FALSE(image.empty()) << name;
        EXPECT_EQ(image[0], info.number) << name;
        EXPECT_EQ(T4VM::disassemble(image).rfind(name + (info.operand == T4VM::operandkind::none ? "\n" : " "), 0), 0u)
            << name;
        const T4VM::codeblock code(image);  // owns what it decodes
        const T4VM::decodedbody& decoded = *code.decoded();
        ASSERT_EQ(decoded.code.size(), 1u) << name;
        const T4VM::instruction& in = decoded.code[0];
        EXPECT_EQ(T4VM::byteof(in.op), info.number) << name;
        EXPECT_EQ(in.next, image.size()) << name << ": the operand is read to its end";
        const bool operandread = in.form != T4VM::operandform::none && in.form != T4VM::operandform::unknown;
        EXPECT_EQ(operandread, info.operand != T4VM::operandkind::none) << name;
    }
    // The first number past the list names no instruction for any of them.
    const std::vector<std::uint8_t> unknown{static_cast<std::uint8_t>(T4VM::opcodecount)};
    const T4VM::codeblock code(unknown);
    EXPECT_EQ(code.decoded()->code.at(0).form, T4VM::operandform::unknown);
    EXPECT_EQ(T4VM::findopcode(static_cast<std::uint8_t>(T4VM::opcodecount)), nullptr);
    EXPECT_EQ(T4VM::disassemble(unknown).rfind(".bytes", 0), 0u);
}

}  // namespace
