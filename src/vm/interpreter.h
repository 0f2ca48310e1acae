// The interpreter's own interface: running instructions from their decoded form, reading operands
// from the bytes, and the calls, blocks and continuations that frames are opened and closed by.
// Natives do not see any of this.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "vm/decode.h"
#include "vm/machine.h"

namespace T4VM {

// One instruction of the bound context on its top frame.
void execinstruction(codeframe& frame);
// One instruction step of the bound context (budget, hook and the work its closed frames leave
// included), its reports and failures to allocate handled.
void step(machine& m);
// Visits, in ascending id order, every context of the table from `entry` on, one step each.
void walkcycle(std::map<int, context*>::iterator entry);
// A frame running `body` from its start.
codeframe openedframe(codeblock body);

// Operands read from the bytes, at the frame's position: for the operands that can only be read
// when their instruction runs.
variable* getop(codeframe& bytes);
// The value `pushconst` pushes: a heap copy of the decoded operand. Blocks are taken the same way.
variable* getconstant(codeframe& bytes);
// Reads a name operand: the (interned) text of whatever operand follows.
const std::string* getname(codeframe& bytes);
// The argument count of `call`: the integer of whatever operand follows.
std::int32_t getcount(codeframe& bytes);

// The constant of an instruction whose operand was read ahead, made as reading it would make it.
variable* makeconstant(const codeframe& frame, const instruction& in);
// One of the machine's scratch objects, for a number only one reader will see. Each is made the
// first time it is needed, out of line so that its callers stay small.
[[gnu::noinline]] variable* makescratch(variable*& slot);
inline variable* scratchnumber() {
    machine& m = vm();
    variable*& slot = m.scratch[m.nextscratch++ % m.scratch.size()];
    return slot != nullptr ? slot : makescratch(slot);
}
// A scratch object holding the number constant of `in`.
variable* scratchconstant(const instruction& in);
// A scratch object holding the text constant of `in`, a text with unmade methods as the constant's
// own object would be. Two take turns: a reader reads two operands at most.
variable* scratchtext(const codeframe& frame, const instruction& in);
// A scratch object for an arithmetic result, taking the creation number the result's own object
// would have had, so every object made later is numbered as it would be.
inline variable* scratchresult(machine& m) {
    ++m.nextseq;
    return scratchnumber();
}

float doarithmetic(float a, float b, char op);
bool docomparisment(double a, double b, int mode);
template <typename T>
T logical_nor(T a, T b) {
    return (a == 0 && b == 0) ? 1 : 0;
}

// Calls and blocks
void callfunc(int argnum, argmap&& targs);
void exitoutoffunc();
// Calls `target` with `args` as its frame, recording the work (of kind `what`, building `instance`
// for a constructor) that finishes when the frame closes.
void standalonefunccall(variable* target, argmap&& args, variable* self, continuation::kind what,
                        variable* instance = nullptr);
void resumepending();
// The body of the innermost loop has run off its end and the loop goes on: the next iteration
// reuses the body's frames in place (false when the usual close and reopen must run). A program
// sees exactly what closing the frame and opening the next iteration gives.
bool repeatloop(context& c);
void callinstruction(codeframe& frame, const instruction& in);
void returninstruction();
void ifblock(codeframe& frame, const instruction& in);
void whileblock(codeframe& frame, const instruction& in);
void foreachblock(codeframe& frame, const instruction& in);
void enterattr(codeframe& frame, const instruction& in);
void leaveall();
// The value of a block operand: its function.
variable* blockof(codeframe& frame, const instruction& in);
// Pops a value an instruction only reads.
variable* popread();

namespace moduleapi {
// Pops the top entry for an instruction that only reads it (arithmetic, comparisons, conditions):
// the copy gettopvar would make for a value type could never be seen, so none is made.
variable* popvalue();
// getlocalvar for a name interned by nametext (every name read from code is).
variable* getinternedlocalvar(const std::string& interned);
// Where the program root keeps its attribute of an interned name, or null when it has none.
variable** getrootslot(const std::string& interned);
// The current variable frame's binding of an interned name, which the program root does not have.
variable* getframelocal(const std::string& interned);
}  // namespace moduleapi

// Reads the name operand of `in`.
inline const std::string& nameof(codeframe& frame, const instruction& in) {
    return in.form == operandform::name ? *in.name : *getname(frame);
}

}  // namespace T4VM
