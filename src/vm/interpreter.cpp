// One instruction step: the preamble every instruction goes through, then a switch over the
// opcodes of the decoded code. Data instructions live here; calls, blocks and scopes in calls.cpp.
#include <ostream>

#include "vm/decode.h"
#include "vm/heap.h"
#include "vm/interpreter.h"
#include "vm/machine.h"
#include "vm/shortcuts.h"
#include "vm/machine.h"

namespace T4VM {

using namespace moduleapi;

namespace {

void push(variable* value) { datastack->push_back(value); }

// Pushes an object the step made, referred to by nothing but the top of the data stack (an
// arithmetic result, a constant, the copy a load made): the machine remembers it as fresh until
// the next step.
void pushfresh(variable* value) {
    datastack->push_back(value);
    vm().freshresult = value;
}

// The value a store binds: the top entry itself when it is fresh, else its copy as usual.
variable* storedvalue(variable* entry, variable* fresh) { return shortcut::bindfresh(entry, fresh) ? entry : entry->getvar(); }

// The instructions that use the top entry as it is (no copy) still need one to be there.
variable* topentry() {
    if (datastack->empty()) fail("datastack empty!", true);
    return datastack->back();
}

void descriptorcountdown() {
    auto& records = _FDESC.get();
    while (!records.empty() && records.front().count <= 0) records.pop_front();
    if (records.empty()) return;
    --records.front().count;
    *vm().out << "\r-CURRENT TASK: " << records.front().name << "-\r";
}

[[noreturn]] void integeroverflow() { fail("Integer overflow.", false); }

std::int32_t integerarithmetic(std::int32_t left, std::int32_t right, opcode op) {
    // Integer arithmetic is exact: a result outside the int range is an error, never a wrap.
    std::int64_t result = 0;
    switch (op) {
    case opcode::add: result = std::int64_t{left} + right; break;
    case opcode::sub: result = std::int64_t{left} - right; break;
    case opcode::mul: result = std::int64_t{left} * right; break;
    default:
        if (right == 0) fail("Division by zero.", false);
        result = std::int64_t{left} / right;  // truncates toward zero
        break;
    }
    if (result < INT32_MIN || result > INT32_MAX) integeroverflow();
    return static_cast<std::int32_t>(result);
}

void arithmetic(opcode op) {
    variable* left = popread();
    variable* right = popread();
    variable* result = getallocvar();
    if (op == opcode::add && left->identifier == typeident::builtin_string &&
        right->identifier == typeident::builtin_string) {
        if (left->stringval.size() + right->stringval.size() > textlimit())
            fail("Text too long: more than " + std::to_string(textlimit()) + " bytes.", false);
        result->identifier = typeident::builtin_string;
        result->stringval = left->stringval.get() + right->stringval.get();
        notetextbytes(result->stringval.size());
        initstringvar(*result);
    } else if (left->identifier == typeident::builtin_float || right->identifier == typeident::builtin_float) {
        static const char operators[] = "+-*/";
        const float r = right->getfloat();  // the right operand is converted first
        const float l = left->getfloat();
        result->identifier = typeident::builtin_float;
        result->floatval = doarithmetic(l, r, operators[byteof(op)]);
    } else {
        const std::int32_t r = right->getint();
        const std::int32_t l = left->getint();
        result->identifier = typeident::builtin_int;
        result->intval = integerarithmetic(l, r, op);
    }
    pushfresh(result);
}

// Ordering compares exact values: an int as itself, a float as its single-precision value and a
// string as its numeric reading.
double numericvalue(variable* value) {
    if (value->identifier == typeident::builtin_int) return value->intval;
    return value->getfloat();
}

// A truth value as 1 or 0: one of the machine's scratch numbers when nothing but a read follows.
void pushtruth(bool value, const codeframe& frame, const instruction& in) {
    const bool atend = frame.empty();
    bool loopends = false;
    if (atend) {
        // The body of a while loop ends here: the loop takes the value as its next condition.
        const auto& pending = boundcontext()->pending;
        loopends = !pending.empty() && pending.back().what == continuation::kind::whileblock &&
                   pending.back().depth + 1 == codestack->size();
    }
    if (shortcut::truthinscratch(in, atend, loopends)) {
        variable* truth = scratchnumber();
        truth->identifier = typeident::builtin_int;
        truth->intval = value ? 1 : 0;
        push(truth);
        return;
    }
    pushfresh(newint(value ? 1 : 0));
}

void comparison(const codeframe& frame, const instruction& in) {
    variable* left = popread();
    variable* right = popread();
    const double r = numericvalue(right);
    const double l = numericvalue(left);
    pushtruth(docomparisment(l, r, byteof(in.op) - byteof(opcode::greater)), frame, in);
}

void equality(const codeframe& frame, const instruction& in) {
    variable* right = popread();
    variable* left = popread();
    pushtruth(*left == *right, frame, in);
}

// The logic instructions write their result into the first value popped (for the value types the
// fresh copy the pop made, any other object in place) and push that object.
void setlogic(variable* target, std::int32_t value) {
    target->changingvalue();
    target->intval = value;
    target->identifier = typeident::builtin_int;
    push(target);
}

void logic(opcode op) {
    if (op == opcode::lognot) {
        variable* value = gettopvar();
        setlogic(value, value->getint() == 0 ? 1 : 0);
        return;
    }
    variable* left = gettopvar();
    variable* right = popread();
    switch (op) {
    case opcode::logand: setlogic(left, left->getint() != 0 && right->getint() != 0); break;
    case opcode::logor: setlogic(left, left->getint() != 0 || right->getint() != 0); break;
    case opcode::bitxor: {
        const std::int32_t l = left->getint();
        setlogic(left, l ^ right->getint());
        break;
    }
    default: {  // lognor
        const std::int32_t r = right->getint();
        setlogic(left, logical_nor(left->getint(), r));
        break;
    }
    }
}

// Pushes what a load of `found` under `name` pushes: a copy of a number, text or pointer, named.
void pushloaded(variable* found, const std::string& name, const instruction& in) {
    if (shortcut::loaduncopied(in, *found, name)) {
        push(found);
        return;
    }
    variable* value = found->getvar();
    value->name.set(&name);
    if (value != found)
        pushfresh(value);
    else
        push(value);
}

void storelocal(const std::string& name, variable* fresh) {
    variable* entry = topentry();
    variable* value = storedvalue(entry, fresh);
    databasestack->back().slot(name) = value;
    // With no object scope open the program root is the current object: the name becomes one of
    // its attributes too, which every later lookup of the name finds first. That copy is taken
    // before the entry is named, as it always has been.
    if (callstack->size() == 1) {
        variable* rootvalue = entry->getvar();
        if (variable** slot = getrootslot(name))
            *slot = rootvalue;
        else
            vm().progroot->attributes[name] = rootvalue;
    }
    value->name.set(&name);
    datastack->pop_back();
}

void storeglobal(const std::string& name, variable* fresh) {
    variable* entry = topentry();
    variable* value = storedvalue(entry, fresh);
    vm().globalvars[name] = value;
    value->name.set(&name);
    datastack->pop_back();
}

void loadattr(const std::string& name) {
    variable* current = callstack->back();
    variable* value = getattribute(current, name)->getvar();
    value->self = current;  // a method loaded here knows the object it came from
    value->name.set(&name);
    push(value);
}

void storeattr(const std::string& name, variable* fresh) {
    variable* entry = topentry();
    variable* value = storedvalue(entry, fresh);
    callstack->back()->attributes[name] = value;
    value->name.set(&name);
    datastack->pop_back();
}

// Names passed to these helpers are interned texts (from getname), so they are set without a lookup.
void pointto(variable* target, const std::string& name, variable* self) {
    variable* pointer = target->getpointer();
    pointer->name.set(&name);
    if (self != nullptr) pointer->self = self;
    push(pointer);
}

void assign() {
    variable* target = topentry();
    datastack->pop_back();
    variable* value = gettopvar();
    *target = *value;
}

void unstash() {
    if (memory->empty()) fail("memory empty!", false);
    push(memory->back());
    memory->pop_back();
}

void restorelocals() {
    if (savlvar->empty()) fail("No saved locals to restore.", false);
    databasestack->back() = savlvar->back();
}

void pushconstant(codeframe& frame, const instruction& in) {
    if (in.form == operandform::atruntime) {
        pushfresh(getconstant(frame));
        return;
    }
    if (shortcut::constantinscratch(in)) {
        push(scratchconstant(in));
        return;
    }
    pushfresh(makeconstant(frame, in));
}

void loadlocal(codeframe& frame, const instruction& in) {
    const std::string& name = nameof(frame, in);
    pushloaded(getinternedlocalvar(name), name, in);
}

void loadglobal(codeframe& frame, const instruction& in) {
    const std::string& name = nameof(frame, in);
    pushloaded(getglobalvar(name), name, in);
}

void pointlocal(codeframe& frame, const instruction& in) {
    const std::string& name = nameof(frame, in);
    pointto(getinternedlocalvar(name), name, nullptr);
}

void pointattr(codeframe& frame, const instruction& in) {
    const std::string& name = nameof(frame, in);
    variable* current = callstack->back();
    pointto(getattribute(current, name), name, current);
}

void pointglobal(codeframe& frame, const instruction& in) {
    const std::string& name = nameof(frame, in);
    pointto(getglobalvar(name), name, nullptr);
}

void pop() {
    topentry();
    datastack->pop_back();
}

// The frame has run off its end: the next iteration of its loop, or the end of its function.
void frameended() {
    if (repeatloop()) return;
    exitoutoffunc();
}

}  // namespace

// A run that ended in a report may leave a fresh result behind; the next run starts without one.

float doarithmetic(float a, float b, char op) {
    switch (op) {
    case '+': return a + b;
    case '-': return a - b;
    case '*': return a * b;
    default: return a / b;
    }
}

bool docomparisment(double a, double b, int mode) {
    switch (mode) {
    case 0: return a > b;
    case 1: return a < b;
    case 2: return a <= b;
    default: return a >= b;
    }
}

variable* popread() {
    if (shortcut::readuncopied()) return popvalue();
    return gettopvar();
}

codeframe openedframe(codeblock body) {
    codeframe frame{std::move(body), 0};
    frame.tracedepth = static_cast<std::uint32_t>(calltrace->size());
    frame.body = frame.code.decoded();
    return frame;
}

void execinstruction(codeframe& frame) {
    machine& m = vm();
    variable* const fresh = m.freshresult;
    m.freshresult = nullptr;
    returned.get() = false;
    integritycheck();
    if (frame.empty()) {
        frameended();
        return;
    }
    if (!_FDESC->empty()) descriptorcountdown();

    const instruction& in = frame.body->code[frame.ip++];
    // The position moves past the operand before the instruction runs, as reading the operand
    // would move it, so a report shows the code that follows; operands read only now start right
    // after the opcode.
    frame.pc = in.form == operandform::atruntime || in.form == operandform::unknown ? in.offset + 1 : in.next;
    if (in.form == operandform::unknown) fail("Unknown instruction.", false);
    switch (in.op) {
    case opcode::add:
    case opcode::sub:
    case opcode::mul:
    case opcode::div: arithmetic(in.op); break;
    case opcode::loadlocal: loadlocal(frame, in); break;
    case opcode::storelocal: storelocal(nameof(frame, in), fresh); break;
    case opcode::loadattr: loadattr(nameof(frame, in)); break;
    case opcode::storeattr: storeattr(nameof(frame, in), fresh); break;
    case opcode::loadglobal: loadglobal(frame, in); break;
    case opcode::storeglobal: storeglobal(nameof(frame, in), fresh); break;
    case opcode::pushconst: pushconstant(frame, in); break;
    case opcode::dupcopy: push(topentry()->getcopy()); break;
    case opcode::dup: push(topentry()); break;
    case opcode::pop: pop(); break;
    case opcode::equal: equality(frame, in); break;
    case opcode::greater:
    case opcode::less:
    case opcode::lessequal:
    case opcode::greaterequal: comparison(frame, in); break;
    case opcode::lognot:
    case opcode::logand:
    case opcode::logor:
    case opcode::bitxor:
    case opcode::lognor: logic(in.op); break;
    case opcode::stash: memory->push_back(gettopvar()); break;
    case opcode::unstash: unstash(); break;
    case opcode::pointlocal: pointlocal(frame, in); break;
    case opcode::pointattr: pointattr(frame, in); break;
    case opcode::pointglobal: pointglobal(frame, in); break;
    case opcode::pointtop: push(gettopvar()->getpointer()); break;
    case opcode::savelocals: savlvar->push_back(databasestack->back()); break;
    case opcode::restorelocals: restorelocals(); break;
    case opcode::assign: assign(); break;
    case opcode::call: callinstruction(frame, in); break;
    case opcode::ret: returninstruction(); break;
    case opcode::ifblock: ifblock(frame, in); break;
    case opcode::whileblock: whileblock(frame, in); break;
    case opcode::foreachblock: foreachblock(frame, in); break;
    case opcode::leave: goout(); break;
    case opcode::enterattr: enterattr(frame, in); break;
    case opcode::leaveall: leaveall(); break;
    case opcode::enter: gointo(gettopvar()); break;
    }
}

}  // namespace T4VM
