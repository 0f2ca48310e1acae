// The instruction set in one table: number, name and the operand that follows each opcode.
// The machine dispatches on these numbers, t4asm parses names through the table and t4dis prints
// through it, so adding or renaming an instruction is a one-line change here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace T4VM {

// What follows an opcode in the code. Every operand is self-describing (a type byte and a body), so
// the kind only says what a well-formed program puts there; the machine decodes any operand kind.
enum class operandkind : std::uint8_t {
    none,   // no operand
    name,   // a name, normally a string operand
    count,  // an argument count, normally an integer operand
    any,    // any operand (a constant)
    block,  // a code block, normally a function operand
};

struct opcodeinfo {
    std::uint8_t number;
    std::string_view name;
    operandkind operand;
};

inline constexpr std::array<opcodeinfo, 42> opcodetable{{
    {0x00, "add", operandkind::none},
    {0x01, "sub", operandkind::none},
    {0x02, "mul", operandkind::none},
    {0x03, "div", operandkind::none},
    {0x04, "loadlocal", operandkind::name},
    {0x05, "storelocal", operandkind::name},
    {0x06, "leave", operandkind::none},
    {0x07, "enterattr", operandkind::name},
    {0x08, "leaveall", operandkind::none},
    {0x09, "call", operandkind::count},
    {0x0A, "loadattr", operandkind::name},
    {0x0B, "storeattr", operandkind::name},
    {0x0C, "loadglobal", operandkind::name},
    {0x0D, "storeglobal", operandkind::name},
    {0x0E, "pushconst", operandkind::any},
    {0x0F, "dupcopy", operandkind::none},
    {0x10, "ret", operandkind::none},
    {0x11, "equal", operandkind::none},
    {0x12, "greater", operandkind::none},
    {0x13, "less", operandkind::none},
    {0x14, "lessequal", operandkind::none},
    {0x15, "greaterequal", operandkind::none},
    {0x16, "lognot", operandkind::none},
    {0x17, "logand", operandkind::none},
    {0x18, "logor", operandkind::none},
    {0x19, "bitxor", operandkind::none},
    {0x1A, "stash", operandkind::none},
    {0x1B, "unstash", operandkind::none},
    {0x1C, "pointlocal", operandkind::name},
    {0x1D, "pointattr", operandkind::name},
    {0x1E, "pointglobal", operandkind::name},
    {0x1F, "pointtop", operandkind::none},
    {0x20, "lognor", operandkind::none},
    {0x21, "ifblock", operandkind::block},
    {0x22, "pop", operandkind::none},
    {0x23, "whileblock", operandkind::block},
    {0x24, "foreachblock", operandkind::block},
    {0x25, "savelocals", operandkind::none},
    {0x26, "restorelocals", operandkind::none},
    {0x27, "assign", operandkind::none},
    {0x28, "dup", operandkind::none},
    {0x29, "enter", operandkind::none},
}};

// Opcode numbers by name, for the dispatcher's switch.
namespace op {
inline constexpr std::uint8_t add = 0x00, sub = 0x01, mul = 0x02, div = 0x03, loadlocal = 0x04,
    storelocal = 0x05, leave = 0x06, enterattr = 0x07, leaveall = 0x08, call = 0x09,
    loadattr = 0x0A, storeattr = 0x0B, loadglobal = 0x0C, storeglobal = 0x0D, pushconst = 0x0E,
    dupcopy = 0x0F, ret = 0x10, equal = 0x11, greater = 0x12, less = 0x13, lessequal = 0x14,
    greaterequal = 0x15, lognot = 0x16, logand = 0x17, logor = 0x18, bitxor = 0x19, stash = 0x1A,
    unstash = 0x1B, pointlocal = 0x1C, pointattr = 0x1D, pointglobal = 0x1E, pointtop = 0x1F,
    lognor = 0x20, ifblock = 0x21, pop = 0x22, whileblock = 0x23, foreachblock = 0x24,
    savelocals = 0x25, restorelocals = 0x26, assign = 0x27, dup = 0x28, enter = 0x29;
inline constexpr std::uint8_t last = 0x29;
}  // namespace op

// The table is indexed by opcode number.
constexpr bool opcodetableisdense() {
    for (std::size_t i = 0; i < opcodetable.size(); ++i)
        if (opcodetable[i].number != i) return false;
    return true;
}
static_assert(opcodetableisdense(), "opcodetable must list opcodes 0x00..0x29 in order");
static_assert(opcodetable.size() == op::last + 1u);

inline constexpr const opcodeinfo* findopcode(std::uint8_t number) {
    return number < opcodetable.size() ? &opcodetable[number] : nullptr;
}

inline constexpr const opcodeinfo* findopcode(std::string_view name) {
    for (const auto& info : opcodetable)
        if (info.name == name) return &info;
    return nullptr;
}

// Operand type bytes.
namespace operandtype {
inline constexpr std::uint8_t integer = 0x00, floating = 0x01, string = 0x02, klass = 0x03,
    list = 0x04, dict = 0x05, function = 0x06, stack = 0x07;
inline constexpr std::uint8_t end = 0xFF;  // closes a list or dictionary operand
}  // namespace operandtype

}  // namespace T4VM
