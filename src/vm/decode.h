// Code decoded once: the instructions of a body of code, each with its operand read ahead where
// that can be done without running anything, and the facts the machine's shortcuts rest on. The
// dispatch loop runs this form; the bytes stay as they are for error reports and for the operands
// that can only be read when their instruction runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vm/opcodes.h"
#include "vm/value.h"

namespace T4VM {

class codeblock;
struct decodedbody;

// Deeper list or dictionary operands than this are refused before they exhaust the C++ stack; no
// program written by hand or by a compiler nests constants this deep.
inline constexpr int maxoperanddepth = 1000;

float decodefloat(std::uint32_t whole, std::uint32_t fraction);

// How an instruction gets its operand when it runs.
enum class operandform : std::uint8_t {
    none,       // takes no operand
    name,       // a string operand used as a name: `name` holds its interned text
    count,      // an integer operand used as a count: `integer`
    integer,    // a constant made from `integer`
    floating,   // a constant made from `floating`
    text,       // a constant made from `text`
    klass,      // an empty class constant
    function,   // a function constant over the bytes [bodystart, bodystart + bodylength) of the body
    atruntime,  // read from the bytes when the instruction runs: a stack operand takes the data
                // stack then, containers make new objects each time, and a malformed operand is
                // reported only if its instruction is reached
    unknown,    // the byte names no instruction
};

struct instruction {
    opcode op = opcode::add;
    operandform form = operandform::none;
    // Whether the value this instruction pushes is read only by an arithmetic or comparison: 1
    // when the next instruction is one, 2 when one plain load (of a local, global or attribute)
    // or constant comes in between, 0 otherwise. Until then nothing but an error report can tell a fresh copy from the object.
    std::uint8_t readerahead = 0;
    // The next instruction is an ifblock or whileblock with a function operand, which takes a
    // truth value pushed here as its condition and nothing else.
    bool blockahead : 1 = false;
    // This instruction and the next are each a number constant or a load of a local by name, and
    // the one after them an arithmetic or comparison, which reads what the two push.
    bool pairahead : 1 = false;
    // This instruction is a number constant or a load of a local or attribute by name, and the
    // next an arithmetic or comparison, which reads what it pushes and what is on the data stack
    // before it.
    bool halfpairahead : 1 = false;
    // The next instruction stores the value this one pushes in a local of the name it reads ahead.
    bool storeahead : 1 = false;
    // This load of a local by name and the four instructions after it call a method of what it
    // loads: `enter`, `loadattr` of a name, `call` of a count, `leave`.
    bool methodahead : 1 = false;
    // This number constant or load of a local by name pushes the one argument of a call of a
    // method named "append", "get" or "contains" that the next five instructions make (see
    // methodahead).
    bool argahead : 1 = false;
    // Of those, a load of a local by name whose method is "get" or "contains": a lookup.
    bool lookupahead : 1 = false;
    // An ifblock whose block is `loadlocal` of a name and `ret`: it returns a local when it runs.
    bool returnsalocal : 1 = false;
    // One of pairahead, halfpairahead, methodahead and argahead: the steps from here may run as
    // one group.
    bool grouped : 1 = false;
    // A known instruction that stays in its frame (opflag::inframe).
    bool inframe : 1 = false;
    // A known instruction that may stay in its frame as things stand (opflag::inframenow).
    bool mayrunnow : 1 = false;
    std::uint32_t offset = 0;  // of the opcode byte, from the start of the body
    std::uint32_t next = 0;    // of the byte after the operand
    union {
        const std::string* name;
        std::int32_t integer;
        float floating;
        std::uint32_t textindex;
        std::uint32_t bodystart;
    };
    std::uint32_t bodylength = 0;
    // Where the frame's position stands while the instruction runs: past its operand, or right
    // after the opcode when the instruction reads its operand itself.
    std::uint32_t runpc = 0;
    // The code of a function operand, made when it first runs and shared by every function object
    // the instruction makes.
    mutable sharedvalue<functionparts> functionbody;
    // Where the program root keeps the attribute of this instruction's name, as last looked up
    // (null: it has none), while no attribute map has gained or lost a name since `rootshape`.
    // Instructions of attribute names keep in the same place where `slotowner` keeps the
    // attribute, while in addition no collection has run since `slotcollections` (one could free
    // the owner and give its place to another object).
    mutable std::uint64_t rootshape = ~std::uint64_t{0};
    mutable variable** rootslot = nullptr;
    mutable const variable* slotowner = nullptr;
    mutable std::uint32_t slotcollections = 0;
    // A method call starting here met a receiver other than a list or dictionary, or the lookup
    // whose key this loads (lookupahead) one other than a dictionary: it is not tried as one group
    // again (a receiver nearly always has the same type every time).
    mutable bool methodmissed = false;

    instruction() : name(nullptr) {}
};

struct decodedbody {
    std::vector<instruction> code;
    std::vector<sharedtext> texts;  // the texts of string constants, shared by the values made of them
    // Whether the body lets the objects of its frame out only as copies (see sealsframe): -1 until
    // asked.
    mutable std::int8_t sealed = -1;
};

// Whether the code, with every block inside it, lets the objects its frame binds out only as
// copies: it calls nothing (a native may look up a local), takes no pointer to a local, saves no
// frame, and every block it runs is code written inside it. Loads of numbers copy them or hand
// them to a reader, so such a frame's numbers are never seen as objects of their own.
bool sealsframe(const codeblock& code);


}  // namespace T4VM
