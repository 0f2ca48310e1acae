// One instruction step: the preamble every instruction goes through, then a switch over the
// opcode table. Data instructions live here; calls, blocks and scopes in calls.cpp.
#include <ostream>

#include "vm/heap.h"
#include "vm/sandbox.h"
#include "vm/vm.h"

namespace T4VM {

using namespace moduleapi;

namespace {

void push(variable* value) { datastack->push_back(value); }

// The object the previous instruction step made and pushed, referred to by nothing but the top of
// the data stack (an arithmetic result, a constant, the copy a load made), or null. A store can
// bind that object itself where it would otherwise bind a copy of it: nobody could ever tell the
// two apart, and no object is made in between, so creation order stays the same.
variable* freshresult = nullptr;

void pushfresh(variable* value) {
    datastack->push_back(value);
    freshresult = value;
}

// The value a store binds: the top entry itself when it is fresh, else its copy as usual.
variable* storedvalue(variable* entry, variable* fresh) { return entry == fresh ? entry : entry->getvar(); }

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
    *vmout << "\r-CURRENT TASK: " << records.front().name << "-\r";
}

[[noreturn]] void integeroverflow() { fail("Integer overflow.", false); }

std::int32_t integerarithmetic(std::int32_t left, std::int32_t right, byte opcode) {
    // Integer arithmetic is exact: a result outside the int range is an error, never a wrap.
    std::int64_t result = 0;
    switch (opcode) {
    case op::add: result = std::int64_t{left} + right; break;
    case op::sub: result = std::int64_t{left} - right; break;
    case op::mul: result = std::int64_t{left} * right; break;
    default:
        if (right == 0) fail("Division by zero.", false);
        result = std::int64_t{left} / right;  // truncates toward zero
        break;
    }
    if (result < INT32_MIN || result > INT32_MAX) integeroverflow();
    return static_cast<std::int32_t>(result);
}

void arithmetic(byte opcode) {
    variable* left = popvalue();
    variable* right = popvalue();
    variable* result = getallocvar();
    if (opcode == op::add && left->identifier == typeident::builtin_string &&
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
        result->floatval = doarithmetic(l, r, operators[opcode]);
    } else {
        const std::int32_t r = right->getint();
        const std::int32_t l = left->getint();
        result->identifier = typeident::builtin_int;
        result->intval = integerarithmetic(l, r, opcode);
    }
    pushfresh(result);
}

// Ordering compares exact values: an int as itself, a float as its single-precision value and a
// string as its numeric reading.
double numericvalue(variable* value) {
    if (value->identifier == typeident::builtin_int) return value->intval;
    return value->getfloat();
}

// Whether the truth value about to be pushed is only read as a condition or an operand: by the
// loop whose body ends right here, by the block instruction that follows, or by arithmetic.
bool conditionahead(const codeframe& bytes) {
    if (threads.size() != 1) return false;
    if (bytes.empty()) {
        const auto& pending = boundcontext->pending;
        return !pending.empty() && pending.back().what == continuation::kind::whileblock &&
               pending.back().depth + 1 == codestack->size();
    }
    const byte next = bytes.top();
    if (next == op::ifblock || next == op::whileblock)
        return bytes.remaining() > 1 && bytes.code[bytes.pc + 1] == operandtype::function;
    return readonlyahead(bytes.code, bytes.pc) != 0;
}

// A truth value as 1 or 0: one of the machine's scratch numbers when nothing but a read follows.
void pushtruth(bool value, const codeframe& bytes) {
    if (conditionahead(bytes)) {
        variable* truth = scratchnumber();
        truth->identifier = typeident::builtin_int;
        truth->intval = value ? 1 : 0;
        push(truth);
        return;
    }
    pushfresh(newint(value ? 1 : 0));
}

void comparison(byte opcode, const codeframe& bytes) {
    variable* left = popvalue();
    variable* right = popvalue();
    const double r = numericvalue(right);
    const double l = numericvalue(left);
    pushtruth(docomparisment(l, r, opcode - op::greater), bytes);
}

void equality(const codeframe& bytes) {
    variable* right = popvalue();
    variable* left = popvalue();
    pushtruth(*left == *right, bytes);
}

// The logic instructions write their result into the first value popped (for the value types the
// fresh copy the pop made, any other object in place) and push that object.
void setlogic(variable* target, std::int32_t value) {
    target->changingvalue();
    target->intval = value;
    target->identifier = typeident::builtin_int;
    push(target);
}

void logic(byte opcode) {
    if (opcode == op::lognot) {
        variable* value = gettopvar();
        setlogic(value, value->getint() == 0 ? 1 : 0);
        return;
    }
    variable* left = gettopvar();
    variable* right = popvalue();
    switch (opcode) {
    case op::logand: setlogic(left, left->getint() != 0 && right->getint() != 0); break;
    case op::logor: setlogic(left, left->getint() != 0 || right->getint() != 0); break;
    case op::bitxor: {
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
// When an arithmetic or comparison will read that copy and drop it, the object itself serves, as
// long as no report could show the entry under another name before then. A reader right after the
// load leaves room only for the report of an instruction budget running out; a load or constant
// in between could fail too, so then the object must already carry the name.
void pushloaded(variable* found, const std::string& name, const codeframe& bytes) {
    if (found->isvaluetype()) {
        const int reader = readonlyahead(bytes.code, bytes.pc);
        const bool samename = &found->name.str() == &name;
        if ((reader == 1 && (samename || sandbox.instructionbudget == 0)) || (reader == 2 && samename)) {
            push(found);
            return;
        }
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
            progroot->attributes[name] = rootvalue;
    }
    value->name.set(&name);
    datastack->pop_back();
}

void storeglobal(const std::string& name, variable* fresh) {
    variable* entry = topentry();
    variable* value = storedvalue(entry, fresh);
    globalvars[name] = value;
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

void pushconstant(codeframe& bytes) {
    // A number read only by what follows needs no object of its own.
    if (!bytes.empty() && (bytes.top() == operandtype::integer || bytes.top() == operandtype::floating)) {
        const std::size_t next = bytes.pc + (bytes.top() == operandtype::integer ? 5 : 9);
        if (next <= bytes.code.size() && readonlyahead(bytes.code, next) != 0) {
            push(getreadonlyconstant(bytes));
            return;
        }
    }
    pushfresh(getconstant(bytes));
}

}  // namespace

// A run that ended in a report may leave a fresh result behind; the next run starts without one.
void resetinterpreter() { freshresult = nullptr; }

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

void blockinstruction(byte opcode, codeframe& bytes);
void scopeinstruction(byte opcode, codeframe& bytes);

void execinstruction(codeframe& bytes) {
    variable* const fresh = freshresult;
    freshresult = nullptr;
    returned.get() = false;
    integritycheck();
    if (bytes.empty()) {
        if (repeatloop()) return;
        exitoutoffunc();  // the function or block ran off its end
        return;
    }
    if (!_FDESC->empty()) descriptorcountdown();

    const byte opcode = bytes.top();
    bytes.pop();
    switch (opcode) {
    case op::add:
    case op::sub:
    case op::mul:
    case op::div: arithmetic(opcode); break;
    case op::loadlocal: {
        const std::string& name = *getname(bytes);
        pushloaded(getinternedlocalvar(name), name, bytes);
        break;
    }
    case op::storelocal: storelocal(*getname(bytes), fresh); break;
    case op::loadattr: loadattr(*getname(bytes)); break;
    case op::storeattr: storeattr(*getname(bytes), fresh); break;
    case op::loadglobal: {
        const std::string& name = *getname(bytes);
        pushloaded(getglobalvar(name), name, bytes);
        break;
    }
    case op::storeglobal: storeglobal(*getname(bytes), fresh); break;
    case op::pushconst: pushconstant(bytes); break;
    case op::dupcopy: push(topentry()->getcopy()); break;
    case op::dup: push(topentry()); break;
    case op::pop:
        topentry();
        datastack->pop_back();
        break;
    case op::equal: equality(bytes); break;
    case op::greater:
    case op::less:
    case op::lessequal:
    case op::greaterequal: comparison(opcode, bytes); break;
    case op::lognot:
    case op::logand:
    case op::logor:
    case op::bitxor:
    case op::lognor: logic(opcode); break;
    case op::stash: memory->push_back(gettopvar()); break;
    case op::unstash: unstash(); break;
    case op::pointlocal: {
        const std::string& name = *getname(bytes);
        pointto(getinternedlocalvar(name), name, nullptr);
        break;
    }
    case op::pointattr: {
        const std::string& name = *getname(bytes);
        variable* current = callstack->back();
        pointto(getattribute(current, name), name, current);
        break;
    }
    case op::pointglobal: {
        const std::string& name = *getname(bytes);
        pointto(getglobalvar(name), name, nullptr);
        break;
    }
    case op::pointtop: push(gettopvar()->getpointer()); break;
    case op::savelocals: savlvar->push_back(databasestack->back()); break;
    case op::restorelocals: restorelocals(); break;
    case op::assign: assign(); break;
    case op::call:
    case op::ret:
    case op::ifblock:
    case op::whileblock:
    case op::foreachblock: blockinstruction(opcode, bytes); break;
    case op::leave:
    case op::enterattr:
    case op::leaveall:
    case op::enter: scopeinstruction(opcode, bytes); break;
    default: fail("Unknown instruction.", false);
    }
}

}  // namespace T4VM
