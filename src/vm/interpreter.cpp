// One instruction step: the preamble every instruction goes through, then a switch over the
// opcode table. Data instructions live here; calls, blocks and scopes in calls.cpp.
#include <ostream>

#include "vm/vm.h"

namespace T4VM {

using namespace moduleapi;

namespace {

void push(variable* value) { datastack->push_back(value); }

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
    variable* result = getallocvar("");
    if (opcode == op::add && left->identifier == typeident::builtin_string &&
        right->identifier == typeident::builtin_string) {
        if (left->stringval.size() + right->stringval.size() > maxtextsize)
            fail("Text too long: more than " + std::to_string(maxtextsize) + " bytes.", false);
        result->identifier = typeident::builtin_string;
        result->stringval = left->stringval + right->stringval;
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
    push(result);
}

// Ordering compares exact values: an int as itself, a float as its single-precision value and a
// string as its numeric reading.
double numericvalue(variable* value) {
    if (value->identifier == typeident::builtin_int) return value->intval;
    return value->getfloat();
}

void comparison(byte opcode) {
    variable* left = popvalue();
    variable* right = popvalue();
    const double r = numericvalue(right);
    const double l = numericvalue(left);
    push(newint(docomparisment(l, r, opcode - op::greater) ? 1 : 0));
}

void equality() {
    variable* right = popvalue();
    variable* left = popvalue();
    push(newint(*left == *right ? 1 : 0));
}

// The logic instructions write their result into the first value popped (for the value types the
// fresh copy the pop made) and push that object.
void setlogic(variable* target, std::int32_t value) {
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

void loadlocal(const std::string& name) {
    variable* value = getlocalvar(name)->getvar();
    value->name.set(&name);
    push(value);
}

void storelocal(const std::string& name) {
    variable* entry = topentry();
    variable* value = entry->getvar();
    databasestack->back().slot(name) = value;
    value->name.set(&name);
    // With no object scope open the program root is the current object: the name becomes one of
    // its attributes too, which every later lookup of the name finds first.
    if (callstack->size() == 1) {
        variable* rootvalue = entry->getvar();
        if (variable** slot = getrootslot(name))
            *slot = rootvalue;
        else
            progroot->attributes[name] = rootvalue;
    }
    datastack->pop_back();
}

void loadglobal(const std::string& name) {
    variable* value = getglobalvar(name)->getvar();
    value->name.set(&name);
    push(value);
}

void storeglobal(const std::string& name) {
    variable* entry = topentry();
    variable* value = entry->getvar();
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

void storeattr(const std::string& name) {
    variable* entry = topentry();
    variable* value = entry->getvar();
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

}  // namespace

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
    returned.get() = false;
    integritycheck();
    if (bytes.empty()) {
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
    case op::loadlocal: loadlocal(*getname(bytes)); break;
    case op::storelocal: storelocal(*getname(bytes)); break;
    case op::loadattr: loadattr(*getname(bytes)); break;
    case op::storeattr: storeattr(*getname(bytes)); break;
    case op::loadglobal: loadglobal(*getname(bytes)); break;
    case op::storeglobal: storeglobal(*getname(bytes)); break;
    case op::pushconst: push(getconstant(bytes)); break;
    case op::dupcopy: push(topentry()->getcopy()); break;
    case op::dup: push(topentry()); break;
    case op::pop:
        topentry();
        datastack->pop_back();
        break;
    case op::equal: equality(); break;
    case op::greater:
    case op::less:
    case op::lessequal:
    case op::greaterequal: comparison(opcode); break;
    case op::lognot:
    case op::logand:
    case op::logor:
    case op::bitxor:
    case op::lognor: logic(opcode); break;
    case op::stash: memory->push_back(gettopvar()); break;
    case op::unstash: unstash(); break;
    case op::pointlocal: {
        const std::string& name = *getname(bytes);
        pointto(getlocalvar(name), name, nullptr);
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
