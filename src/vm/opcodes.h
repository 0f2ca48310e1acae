// The instruction set in one list: number, name, the operand that follows each opcode and what the
// machine may assume of it. The enumeration, the table that t4asm parses names through and t4dis
// prints through, and the properties the machine's decoder reads are all generated from the list,
// so adding or renaming an instruction is a one-line change here.
#pragma once

#include <array>
#include <cstdint>
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

// What an instruction does with the data stack, as far as the machine's shortcuts care.
namespace opflag {
inline constexpr std::uint8_t none = 0;
// Pops its operands, reads them and drops them: nothing it popped can be seen afterwards.
inline constexpr std::uint8_t readsonly = 1;
// Only pushes one value (a load or a constant) and can change nothing another value shows.
inline constexpr std::uint8_t pushesonly = 2;
// Pushes a truth value (1 or 0) that it computed.
inline constexpr std::uint8_t truth = 4;
// Works on the data stack, the current frame's variables and objects only: it opens and closes no
// frame or object scope, ends nothing, records no pending work and touches no context, descriptor
// record or return flag, so whatever the machine checked before it still holds after it.
inline constexpr std::uint8_t inframe = 8;
// May stay in its frame as things stand when it runs: it opens or closes an object scope, calls
// something or runs a block only conditionally (see staysinframenow in the interpreter).
inline constexpr std::uint8_t inframenow = 16;
}  // namespace opflag

// X(number, name, operand kind, flags)
#define T4VM_OPCODES(X)                                                              \
    X(0x00, add, none, opflag::readsonly | opflag::inframe)                          \
    X(0x01, sub, none, opflag::readsonly | opflag::inframe)                          \
    X(0x02, mul, none, opflag::readsonly | opflag::inframe)                          \
    X(0x03, div, none, opflag::readsonly | opflag::inframe)                          \
    X(0x04, loadlocal, name, opflag::pushesonly | opflag::inframe)                   \
    X(0x05, storelocal, name, opflag::inframe)                                       \
    X(0x06, leave, none, opflag::inframenow)                                         \
    X(0x07, enterattr, name, opflag::inframenow)                                     \
    X(0x08, leaveall, none, opflag::none)                                            \
    X(0x09, call, count, opflag::inframenow)                                         \
    X(0x0A, loadattr, name, opflag::inframe)                                         \
    X(0x0B, storeattr, name, opflag::inframe)                                        \
    X(0x0C, loadglobal, name, opflag::pushesonly | opflag::inframe)                  \
    X(0x0D, storeglobal, name, opflag::inframe)                                      \
    X(0x0E, pushconst, any, opflag::pushesonly | opflag::inframe)                    \
    X(0x0F, dupcopy, none, opflag::inframe)                                          \
    X(0x10, ret, none, opflag::none)                                                 \
    X(0x11, equal, none, opflag::readsonly | opflag::truth | opflag::inframe)        \
    X(0x12, greater, none, opflag::readsonly | opflag::truth | opflag::inframe)      \
    X(0x13, less, none, opflag::readsonly | opflag::truth | opflag::inframe)         \
    X(0x14, lessequal, none, opflag::readsonly | opflag::truth | opflag::inframe)    \
    X(0x15, greaterequal, none, opflag::readsonly | opflag::truth | opflag::inframe) \
    X(0x16, lognot, none, opflag::inframe)                                           \
    X(0x17, logand, none, opflag::inframe)                                           \
    X(0x18, logor, none, opflag::inframe)                                            \
    X(0x19, bitxor, none, opflag::inframe)                                           \
    X(0x1A, stash, none, opflag::inframe)                                            \
    X(0x1B, unstash, none, opflag::inframe)                                          \
    X(0x1C, pointlocal, name, opflag::inframe)                                       \
    X(0x1D, pointattr, name, opflag::inframe)                                        \
    X(0x1E, pointglobal, name, opflag::inframe)                                      \
    X(0x1F, pointtop, none, opflag::inframe)                                         \
    X(0x20, lognor, none, opflag::inframe)                                           \
    X(0x21, ifblock, block, opflag::inframenow)                                      \
    X(0x22, pop, none, opflag::inframe)                                              \
    X(0x23, whileblock, block, opflag::none)                                         \
    X(0x24, foreachblock, block, opflag::none)                                       \
    X(0x25, savelocals, none, opflag::inframe)                                       \
    X(0x26, restorelocals, none, opflag::none)                                       \
    X(0x27, assign, none, opflag::inframe)                                           \
    X(0x28, dup, none, opflag::inframe)                                              \
    X(0x29, enter, none, opflag::inframenow)

enum class opcode : std::uint8_t {
#define T4VM_OPCODE_ENUM(number, name, operand, flags) name = number,
    T4VM_OPCODES(T4VM_OPCODE_ENUM)
#undef T4VM_OPCODE_ENUM
};

struct opcodeinfo {
    std::uint8_t number;
    std::string_view name;
    operandkind operand;
    std::uint8_t flags;
};

constexpr std::array opcodetable{
#define T4VM_OPCODE_INFO(number, name, operand, flags) opcodeinfo{number, #name, operandkind::operand, flags},
    T4VM_OPCODES(T4VM_OPCODE_INFO)
#undef T4VM_OPCODE_INFO
};

// The table is indexed by opcode number: the list must give the numbers from 0 in order.
constexpr bool opcodetableisdense() {
    for (std::size_t i = 0; i < opcodetable.size(); ++i)
        if (opcodetable[i].number != i) return false;
    return true;
}
static_assert(opcodetableisdense(), "the opcode list must give the numbers 0x00, 0x01, ... in order");

inline constexpr std::size_t opcodecount = opcodetable.size();

// The byte of an opcode, for code that builds or inspects images.
constexpr std::uint8_t byteof(opcode op) { return static_cast<std::uint8_t>(op); }

inline constexpr const opcodeinfo* findopcode(std::uint8_t number) {
    return number < opcodetable.size() ? &opcodetable[number] : nullptr;
}

inline constexpr const opcodeinfo* findopcode(std::string_view name) {
    for (const auto& info : opcodetable)
        if (info.name == name) return &info;
    return nullptr;
}

constexpr bool hasflag(std::uint8_t number, std::uint8_t flag) {
    return number < opcodetable.size() && (opcodetable[number].flags & flag) != 0;
}

// Operand type bytes.
namespace operandtype {
inline constexpr std::uint8_t integer = 0x00, floating = 0x01, string = 0x02, klass = 0x03,
    list = 0x04, dict = 0x05, function = 0x06, stack = 0x07;
inline constexpr std::uint8_t end = 0xFF;  // closes a list or dictionary operand
}  // namespace operandtype

}  // namespace T4VM
