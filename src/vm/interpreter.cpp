// One instruction step: the preamble every instruction goes through, then a switch over the
// opcodes of the decoded code, and the loop that runs steps while one context is runnable. Data
// instructions live here; calls, blocks and scopes in calls.cpp.
#include <bit>
#include <new>
#include <optional>
#include <ostream>

#include "vm/builtins.h"
#include "vm/debughook.h"
#include "vm/decode.h"
#include "vm/heap.h"
#include "vm/interpreter.h"
#include "vm/machine.h"
#include "vm/shortcuts.h"

namespace T4VM {

using namespace moduleapi;

namespace {

// What an instruction works on: its machine, the context bound to the thread, the frame it runs in,
// its decoded form, and the object the previous step made and pushed (`fresh`). Reached once per
// step, so the instructions do not look for the bound machine again and again; steps run one
// after another in a frame share one and only move its instruction along.
struct work {
    machine& m;
    context& c;
    codeframe& frame;
    const instruction* in;
    variable* fresh;
};

void push(work& w, variable* value) { w.c.datastack.push_back(value); }

// Pushes an object the step made, referred to by nothing but the top of the data stack (an
// arithmetic result, a constant, the copy a load made): the machine remembers it as fresh until
// the next step.
void pushfresh(work& w, variable* value) {
    w.c.datastack.push_back(value);
    w.m.freshresult = value;
}

// The value a store to a local binds: the top entry itself when it is fresh, else its copy as
// usual. A number an arithmetic left for the store becomes the object the frame holds for the name
// when that may take it (shortcut::reusebinding), else a new object, numbered as the arithmetic's
// own would have been. A plain number that nothing else holds is marked as such a binding.
variable* boundvalue(work& w, variable* entry, variable* held) {
    if (entry == w.m.storescratch && entry == w.fresh) {
        variable* value = held != nullptr && shortcut::reusebinding(w.m, *held) ? held : getallocvar(w.m);
        entry->copyplainfields(*value);
        value->seq = w.m.storeseq;
        value->framebound = true;
        return value;
    }
    variable* value = shortcut::bindfresh(entry, w.fresh) ? entry : entry->getvar();
    if (value != entry || w.fresh == entry) value->framebound = value->isplainnumber();
    return value;
}

// The value other stores bind: the top entry itself when it is fresh, else its copy as usual.
variable* storedvalue(variable* entry, variable* fresh) { return shortcut::bindfresh(entry, fresh) ? entry : entry->getvar(); }

// The instructions that use the top entry as it is (no copy) still need one to be there.
variable* topentry(work& w) {
    if (w.c.datastack.empty()) fail("datastack empty!", true);
    return w.c.datastack.back();
}

// Pops a value the instruction only reads.
variable* popread(work& w) {
    if (w.c.datastack.empty()) fail("datastack empty!", true);
    variable* top = w.c.datastack.back();
    w.c.datastack.pop_back();
    return shortcut::readuncopied() ? top : top->getvar();
}

void descriptorcountdown(work& w) {
    auto& records = w.c._FDESC;
    while (!records.empty() && records.front().count <= 0) records.pop_front();
    if (records.empty()) return;
    --records.front().count;
    *w.m.out << "\r-CURRENT TASK: " << records.front().name << "-\r";
}

[[noreturn]] void integeroverflow() { fail("Integer overflow.", false); }

// Integer arithmetic is exact: the result, or none when there is none in the int range, or when
// the division is by zero (`byzero` then says so).
std::optional<std::int32_t> exactint(std::int32_t left, std::int32_t right, opcode op, bool& byzero) {
    std::int64_t result = 0;
    switch (op) {
    case opcode::add: result = std::int64_t{left} + right; break;
    case opcode::sub: result = std::int64_t{left} - right; break;
    case opcode::mul: result = std::int64_t{left} * right; break;
    default:
        byzero = right == 0;
        if (byzero) return std::nullopt;
        result = std::int64_t{left} / right;  // truncates toward zero
        break;
    }
    if (result < INT32_MIN || result > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(result);
}

// A result outside the int range is an error, never a wrap.
std::int32_t integerarithmetic(std::int32_t left, std::int32_t right, opcode op) {
    bool byzero = false;
    if (const auto result = exactint(left, right, op, byzero)) return *result;
    if (byzero) fail("Division by zero.", false);
    integeroverflow();
}

// The scratch object a number waits in for the store that follows (shortcut::resultforstore). It
// takes the creation number of the object it stands for, and nothing of an earlier number.
variable* resultforstore(machine& m) {
    if (m.storescratch == nullptr) makescratch(m.storescratch);
    variable* result = m.storescratch;
    m.storeseq = m.nextseq++;
    result->intval = 0;
    result->floatval = 0.0f;
    return result;
}

// Where an arithmetic's result goes: a scratch object when only a reader will see it, the store's
// scratch when a store to a local comes next, otherwise an object of its own.
struct resultplace {
    variable* object;
    bool inscratch;
};

resultplace placeresult(work& w, bool joinstexts) {
    const bool inscratch = !joinstexts && shortcut::resultinscratch(*w.in);
    const bool forstore = !joinstexts && !inscratch && shortcut::resultforstore(*w.in);
    return {inscratch ? scratchresult(w.m) : forstore ? resultforstore(w.m) : getallocvar(w.m), inscratch};
}

void pushresult(work& w, const resultplace& place) {
    if (place.inscratch)
        push(w, place.object);
    else
        pushfresh(w, place.object);
}

void arithmetic(work& w) {
    const opcode op = w.in->op;
    variable* left = popread(w);
    variable* right = popread(w);
    const bool joinstexts = op == opcode::add && left->identifier == typeident::builtin_string &&
                            right->identifier == typeident::builtin_string;
    const resultplace place = placeresult(w, joinstexts);
    variable* result = place.object;
    if (joinstexts) {
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
    pushresult(w, place);
}

// Ordering compares exact values: an int as itself, a float as its single-precision value and a
// string as its numeric reading.
double numericvalue(variable* value) {
    if (value->identifier == typeident::builtin_int) return value->intval;
    return value->getfloat();
}

// A truth value as 1 or 0: one of the machine's scratch numbers when nothing but a read follows.
void pushtruth(work& w, bool value) {
    const bool atend = w.frame.empty();
    bool loopends = false;
    if (atend) {
        // The body of a while loop ends here: the loop takes the value as its next condition.
        const auto& pending = w.c.pending;
        loopends = !pending.empty() && pending.back().what == continuation::kind::whileblock &&
                   pending.back().depth + 1 == w.c.codestack.size();
    }
    if (shortcut::truthinscratch(*w.in, atend, loopends)) {
        variable* truth = scratchnumber();
        truth->identifier = typeident::builtin_int;
        truth->intval = value ? 1 : 0;
        push(w, truth);
        return;
    }
    variable* truth = getallocvar(w.m);
    truth->identifier = typeident::builtin_int;
    truth->intval = value ? 1 : 0;
    pushfresh(w, truth);
}

void comparison(work& w) {
    variable* left = popread(w);
    variable* right = popread(w);
    const double r = numericvalue(right);
    const double l = numericvalue(left);
    pushtruth(w, docomparisment(l, r, byteof(w.in->op) - byteof(opcode::greater)));
}

void equality(work& w) {
    variable* right = popread(w);
    variable* left = popread(w);
    pushtruth(w, *left == *right);
}

// The logic instructions write their result into the first value popped (for the value types the
// fresh copy the pop made, any other object in place) and push that object.
void setlogic(work& w, variable* target, std::int32_t value) {
    target->changingvalue();
    target->intval = value;
    target->identifier = typeident::builtin_int;
    push(w, target);
}

void logic(work& w) {
    if (w.in->op == opcode::lognot) {
        variable* value = gettopvar();
        setlogic(w, value, value->getint() == 0 ? 1 : 0);
        return;
    }
    variable* left = gettopvar();
    variable* right = popread(w);
    switch (w.in->op) {
    case opcode::logand: setlogic(w, left, left->getint() != 0 && right->getint() != 0); break;
    case opcode::logor: setlogic(w, left, left->getint() != 0 || right->getint() != 0); break;
    case opcode::bitxor: {
        const std::int32_t l = left->getint();
        setlogic(w, left, l ^ right->getint());
        break;
    }
    default: {  // lognor
        const std::int32_t r = right->getint();
        setlogic(w, left, logical_nor(left->getint(), r));
        break;
    }
    }
}

// The lookup rootslotof makes when the answer remembered in the instruction does not serve: out
// of line, so that the check before it is inlined into every load and store of a local.
[[gnu::noinline]] variable** rootslotnow(work& w, const std::string& name) {
    if (w.in->form != operandform::name) return getrootslot(name);
    w.in->rootslot = getrootslot(name);
    w.in->rootshape = w.m.shapechanges;
    return w.in->rootslot;
}

// Where the program root keeps the attribute of the instruction's name: names read from the code
// remember the answer in their instruction until some attribute map gains or loses a name. A miss
// is not trusted while the root has methods attached and unmade: they are names it has.
[[gnu::always_inline]] inline variable** rootslotof(work& w, const std::string& name) {
    const instruction& in = *w.in;
    if (in.form != operandform::name || in.rootshape != w.m.shapechanges ||
        (in.rootslot == nullptr && w.m.progroot->attributes.hasunmade())) [[unlikely]]
        return rootslotnow(w, name);
    return in.rootslot;
}

// The lookup attributeslotof makes when the slot remembered in the instruction does not serve:
// out of line, so that the check before it stays small enough to inline.
[[gnu::noinline]] variable** attributeslotnow(work& w, variable* owner, const std::string& name) {
    const instruction& in = *w.in;
    const bool named = in.form == operandform::name;
    variable** found = owner->attributes.findmethod(name);
    if (found == nullptr) return nullptr;
    if (named) {
        in.slotowner = owner;
        in.rootshape = w.m.shapechanges;
        in.slotcollections = w.m.collections;
        in.rootslot = found;
    }
    return found;
}

// Where `owner` keeps its attribute of the instruction's name (null: it has none). Names read
// from the code remember a slot found in their instruction. Only found slots are remembered: an
// object without the attribute may still gain it without any map gaining a name (methods attached
// to an object with no attributes are made on first lookup).
[[gnu::always_inline]] inline variable** attributeslotof(work& w, variable* owner, const std::string& name) {
    const instruction& in = *w.in;
    if (in.form == operandform::name && in.slotowner == owner && in.rootshape == w.m.shapechanges &&
        in.slotcollections == w.m.collections) [[likely]]
        return in.rootslot;
    return attributeslotnow(w, owner, name);
}

// The attribute `name` of `owner`, which must have it.
variable* attributeof(work& w, variable* owner, const std::string& name) {
    if (variable** slot = attributeslotof(w, owner, name)) return *slot;
    return getattribute(owner, name);  // reports the missing attribute
}

// The object a local name stands for: the program root's attribute before the frame's variable.
variable* localvar(work& w, const std::string& name) {
    if (variable** slot = rootslotof(w, name)) return *slot;
    return getframelocal(name);
}

// The instruction after this one, a load or constant that only pushes, runs without a report: a
// number constant, or a load of a name that is there (the load of a number, text or pointer read
// next is pushed as it is, and anything else is never copied, so the load makes nothing).
bool nextcannotreport(work& w) {
    const instruction& next = w.frame.body->code[w.frame.ip];
    if (next.op == opcode::pushconst) return next.form == operandform::integer || next.form == operandform::floating;
    if (next.op != opcode::loadlocal || next.form != operandform::name) return false;
    // The next load's own remembered answer serves, as it will when that load runs.
    const instruction* current = w.in;
    w.in = &next;
    const bool inroot = rootslotof(w, *next.name) != nullptr;
    w.in = current;
    if (inroot) return true;
    const framemap& frame = w.c.databasestack.back();
    const auto found = frame.find(*next.name);
    return found != frame.end() && found->second != nullptr;
}

// Pushes what a load of `found` under `name` pushes: a copy of a number, text or pointer, named.
void pushloaded(work& w, variable* found, const std::string& name) {
    if (shortcut::loaduncopied(*w.in, *found, name, [&] { return nextcannotreport(w); })) {
        push(w, found);
        return;
    }
    variable* value = found->getvar();
    value->name.set(&name);
    if (value != found)
        pushfresh(w, value);
    else
        push(w, value);
}

// The copy of a stored value the program root takes. Copying a plain number is its fields alone
// (getcopy does the same, after checks a top-level store of a number need not repeat). The copy
// the root holds for the name already is made into the new one instead when nothing but the root
// can refer to it (shortcut::reuserootcopy): it then becomes what the new copy would be, creation
// number included.
variable* copyforroot(work& w, variable* entry, variable* held, bool plainnumber) {
    if (!plainnumber || w.m.copydepth != 0) return entry->getvar();
    const bool reuse = held != nullptr && held != entry && shortcut::reuserootcopy(w.m, *held);
    variable* copy = reuse ? held : getallocvar(w.m);
    if (reuse) copy->seq = w.m.nextseq++;
    entry->copyplainfields(*copy);
    copy->rootcopy = true;
    return copy;
}

void storelocal(work& w) {
    const std::string& name = nameof(w.frame, *w.in);
    variable* entry = topentry(w);
    framemap& frame = w.c.databasestack.back();
    const auto held = frame.findinterned(name);  // the name gains no entry if the copy fails
    variable* value = boundvalue(w, entry, held != frame.end() ? held->second : nullptr);
    if (held != frame.end())
        held->second = value;
    else
        frame.slot(name) = value;
    // With no object scope open the program root is the current object: the name becomes one of
    // its attributes too, which every later lookup of the name finds first. That copy is taken
    // before the entry is named, as it always has been.
    if (w.c.callstack.size() == 1) {
        variable** slot = rootslotof(w, name);
        // The number an arithmetic left for this store is plain: only arithmetics on numbers put it there.
        const bool plainnumber = (entry == w.m.storescratch && entry == w.fresh) || entry->isplainnumber();
        variable* rootvalue = copyforroot(w, entry, slot != nullptr ? *slot : nullptr, plainnumber);
        if (slot != nullptr)
            *slot = rootvalue;
        else
            w.m.progroot->attributes[name] = rootvalue;
    }
    value->name.set(&name);
    w.c.datastack.pop_back();
}

void storeglobal(work& w) {
    const std::string& name = nameof(w.frame, *w.in);
    variable* entry = topentry(w);
    variable* value = storedvalue(entry, w.fresh);
    w.m.globalvars[name] = value;
    value->name.set(&name);
    w.c.datastack.pop_back();
}

void loadattr(work& w) {
    const std::string& name = nameof(w.frame, *w.in);
    variable* current = w.c.callstack.back();
    variable* found = attributeof(w, current, name);
    // A number that an arithmetic or comparison only reads needs no copy, as for a local. The
    // receiver the copy would carry is never read of a number.
    if (found->isnumber() && shortcut::loaduncopied(*w.in, *found, name, [&] { return nextcannotreport(w); })) {
        push(w, found);
        return;
    }
    variable* value = found->getvar();
    value->self = current;  // a method loaded here knows the object it came from
    value->name.set(&name);
    push(w, value);
}

void storeattr(work& w) {
    const std::string& name = nameof(w.frame, *w.in);
    variable* entry = topentry(w);
    variable* value = storedvalue(entry, w.fresh);
    variable* owner = w.c.callstack.back();
    if (variable** slot = attributeslotof(w, owner, name))
        *slot = value;
    else
        owner->attributes[name] = value;
    value->name.set(&name);
    w.c.datastack.pop_back();
}

// Names passed to these helpers are interned texts (from getname), so they are set without a lookup.
void pointto(work& w, variable* target, const std::string& name, variable* self) {
    notereached();  // the target may be one of the root's objects, which the pointer now holds
    variable* pointer = target->getpointer();
    pointer->name.set(&name);
    if (self != nullptr) pointer->self = self;
    push(w, pointer);
}

void assign(work& w) {
    variable* target = topentry(w);
    w.c.datastack.pop_back();
    variable* value = gettopvar();
    *target = *value;
}

void unstash(work& w) {
    if (w.c.memory.empty()) fail("memory empty!", false);
    push(w, w.c.memory.back());
    w.c.memory.pop_back();
}

// Opens the scope of the value on top of the data stack: a copy of it as usual, or the entry itself
// when it is fresh (a load's copy of a text, say, which nothing else refers to).
void enterscope(work& w) {
    variable* top = topentry(w);
    w.c.datastack.pop_back();
    gointo(shortcut::bindfresh(top, w.fresh) ? top : top->getvar());
}

// The saved copy holds the frame's objects as they are: later stores must leave them as they were.
void savelocals(work& w) {
    notereached();
    w.c.savlvar.push_back(w.c.databasestack.back());
}

void restorelocals(work& w) {
    if (w.c.savlvar.empty()) fail("No saved locals to restore.", false);
    w.c.databasestack.back() = w.c.savlvar.back();
}

// Inlined into the loop that runs steps, as most of its work is a few stores: the commonest step.
[[gnu::always_inline]] inline void pushconstant(work& w) {
    if (w.in->form == operandform::atruntime) {
        pushfresh(w, getconstant(w.frame));
        return;
    }
    if (shortcut::constantinscratch(*w.in)) {
        push(w, scratchconstant(*w.in));
        return;
    }
    if (shortcut::textinscratch(*w.in)) {
        push(w, scratchtext(w.frame, *w.in));
        return;
    }
    pushfresh(w, makeconstant(w.frame, *w.in));
}

void loadlocal(work& w) {
    const std::string& name = nameof(w.frame, *w.in);
    pushloaded(w, localvar(w, name), name);
}

void loadglobal(work& w) {
    const std::string& name = nameof(w.frame, *w.in);
    pushloaded(w, getglobalvar(name), name);
}

void pointlocal(work& w) {
    const std::string& name = nameof(w.frame, *w.in);
    pointto(w, localvar(w, name), name, nullptr);
}

void pointattr(work& w) {
    const std::string& name = nameof(w.frame, *w.in);
    variable* current = w.c.callstack.back();
    pointto(w, attributeof(w, current, name), name, current);
}

void pointglobal(work& w) {
    const std::string& name = nameof(w.frame, *w.in);
    pointto(w, getglobalvar(name), name, nullptr);
}

void pop(work& w) {
    topentry(w);
    w.c.datastack.pop_back();
}

// The frame has run off its end: the next iteration of its loop, or the end of its function.
void frameended() {
    if (repeatloop(*boundcontext())) return;
    exitoutoffunc();
}

// The instruction `*w.in`, its operand read (or to be read from the bytes by the instruction).
[[gnu::always_inline]] inline void dispatch(work& w) {
    switch (w.in->op) {
    case opcode::add:
    case opcode::sub:
    case opcode::mul:
    case opcode::div: arithmetic(w); break;
    case opcode::loadlocal: loadlocal(w); break;
    case opcode::storelocal: storelocal(w); break;
    case opcode::loadattr: loadattr(w); break;
    case opcode::storeattr: storeattr(w); break;
    case opcode::loadglobal: loadglobal(w); break;
    case opcode::storeglobal: storeglobal(w); break;
    case opcode::pushconst: pushconstant(w); break;
    case opcode::dupcopy: push(w, topentry(w)->getcopy()); break;
    case opcode::dup: push(w, topentry(w)); break;
    case opcode::pop: pop(w); break;
    case opcode::equal: equality(w); break;
    case opcode::greater:
    case opcode::less:
    case opcode::lessequal:
    case opcode::greaterequal: comparison(w); break;
    case opcode::lognot:
    case opcode::logand:
    case opcode::logor:
    case opcode::bitxor:
    case opcode::lognor: logic(w); break;
    case opcode::stash: w.c.memory.push_back(gettopvar()); break;
    case opcode::unstash: unstash(w); break;
    case opcode::pointlocal: pointlocal(w); break;
    case opcode::pointattr: pointattr(w); break;
    case opcode::pointglobal: pointglobal(w); break;
    case opcode::pointtop: push(w, gettopvar()->getpointer()); break;
    case opcode::savelocals: savelocals(w); break;
    case opcode::restorelocals: restorelocals(w); break;
    case opcode::assign: assign(w); break;
    case opcode::call: callinstruction(w.frame, *w.in); break;
    case opcode::ret: returninstruction(); break;
    case opcode::ifblock: ifblock(w.frame, *w.in); break;
    case opcode::whileblock: whileblock(w.frame, *w.in); break;
    case opcode::foreachblock: foreachblock(w.frame, *w.in); break;
    case opcode::leave: goout(); break;
    case opcode::enterattr: enterattr(w.frame, *w.in); break;
    case opcode::leaveall: leaveall(); break;
    case opcode::enter: enterscope(w); break;
    }
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

namespace {

void reportoutofmemory() {
    try {
        error("Out of memory.", false);
    } catch (const std::bad_alloc&) {
        // Not even the report fits: end the run without it.
        throw machinestop{1};
    }
}

// Runs the work the frames the step closed leave, if any.
inline void resumeclosed() {
    // Most steps close no frame that work is waiting for.
    const context& bound = *boundcontext();
    if (!bound.pending.empty() && bound.pending.back().depth == bound.codestack.size()) resumepending();
}

// The preamble every instruction goes through, then the instruction. Inlined into the loop that
// runs the steps, so an ordinary step costs no call before its instruction's own work. Says
// whether the instruction was one that stays in its frame (opflag::inframe).
[[gnu::always_inline]] inline bool runinstruction(machine& m, context& c, codeframe& frame) {
    variable* const fresh = m.freshresult;
    m.freshresult = nullptr;
    c.returned = false;
    // The caller has seen the code stack is not empty.
    if (c.callstack.empty() || c.databasestack.empty() || c.calltrace.empty()) [[unlikely]]
        integrityfailure();
    if (frame.empty()) {
        frameended();
        return false;
    }
    const instruction& in = frame.body->code[frame.ip++];
    const bool inframe = in.inframe;
    work w{m, c, frame, &in, fresh};
    if (!c._FDESC.empty()) descriptorcountdown(w);
    // The position moves past the operand before the instruction runs, as reading the operand
    // would move it, so a report shows the code that follows; operands read only now start right
    // after the opcode.
    frame.pc = in.runpc;
    if (in.form == operandform::unknown) fail("Unknown instruction.", false);
    dispatch(w);
    return inframe;
}

// What the operand step `in` (a number constant or a load of a local, at index `at` of its frame's
// code) would push, when it makes no object and cannot fail; null otherwise.
// The object a load of a local by name (`in`) would find, or null: the lookup a load makes, without
// its report.
[[gnu::always_inline]] inline variable* localnow(work& w, const instruction& in) {
    w.in = &in;
    if (variable** slot = rootslotof(w, *in.name)) return *slot;
    const framemap& frame = w.c.databasestack.back();
    const auto entry = frame.findinterned(*in.name);
    return entry == frame.end() ? nullptr : entry->second;
}

// An attribute of the current object as an operand: what loadattr pushes of a number a reader reads.
[[gnu::noinline]] variable* attributeoperand(work& w, const instruction& in, std::uint32_t at) {
    if (in.op != opcode::loadattr || in.form != operandform::name) return nullptr;
    const std::string& name = *in.name;
    w.in = &in;
    w.frame.ip = at + 1;
    variable** slot = attributeslotof(w, w.c.callstack.back(), name);
    if (slot == nullptr || !(*slot)->isnumber()) return nullptr;
    variable* found = *slot;
    return shortcut::loaduncopied(in, *found, name, [&] { return nextcannotreport(w); }) ? found : nullptr;
}

variable* operandnow(work& w, const instruction& in, std::uint32_t at) {
    if (in.op == opcode::pushconst) return shortcut::constantinscratch(in) ? scratchconstant(in) : nullptr;
    if (in.op != opcode::loadlocal || in.form != operandform::name) return attributeoperand(w, in, at);
    const std::string& name = *in.name;
    w.frame.ip = at + 1;
    variable* found = localnow(w, in);
    if (found == nullptr || !shortcut::loaduncopied(in, *found, name, [&] { return nextcannotreport(w); })) return nullptr;
    return found;
}

// The readers of an operand group (every instruction flagged readsonly) are the four arithmetics,
// which are the first four opcodes, equality and the four orderings.
constexpr std::size_t readsonlyopcodes() {
    std::size_t count = 0;
    for (const opcodeinfo& info : opcodetable) count += (info.flags & opflag::readsonly) != 0 ? 1 : 0;
    return count;
}
static_assert(readsonlyopcodes() == 9 && byteof(opcode::add) == 0 && byteof(opcode::div) == 3 &&
                  hasflag(0, opflag::readsonly) && hasflag(1, opflag::readsonly) && hasflag(2, opflag::readsonly) &&
                  hasflag(3, opflag::readsonly) && hasflag(byteof(opcode::equal), opflag::readsonly) && hasflag(byteof(opcode::greater), opflag::readsonly) &&
                  hasflag(byteof(opcode::less), opflag::readsonly) && hasflag(byteof(opcode::lessequal), opflag::readsonly) &&
                  hasflag(byteof(opcode::greaterequal), opflag::readsonly),
              "a new reader: teach runreader to run it");

// The steps of a group up to and including the one at `ip + steps - 1`, about to run it: counted,
// and the frame where running them one at a time would leave it, nothing made fresh.
void stepto(work& w, const instruction* code, std::uint32_t& ip, std::uint32_t steps) {
    w.m.stepstaken += steps;
    ip += steps;
    w.frame.ip = ip;
    const instruction& in = code[ip - 1];
    w.in = &in;
    w.fresh = nullptr;
    w.m.freshresult = nullptr;
    w.frame.pc = in.runpc;
}

// What an arithmetic or ordering (`*w.in`) makes of two ints, read as it would pop them: false,
// with nothing done, where it would report (an overflow, a division by zero), or for equality.
bool readints(work& w, std::int32_t left, std::int32_t right) {
    const opcode op = w.in->op;
    if (byteof(op) <= byteof(opcode::div)) {
        bool byzero = false;
        const auto result = exactint(left, right, op, byzero);
        if (!result) return false;
        const resultplace place = placeresult(w, false);
        place.object->identifier = typeident::builtin_int;
        place.object->intval = *result;
        pushresult(w, place);
        return true;
    }
    if (op == opcode::equal) return false;
    pushtruth(w, docomparisment(left, right, byteof(op) - byteof(opcode::greater)));
    return true;
}

// Runs the reader of an operand group, its operands pushed, as its step runs it.
void runreader(work& w, const instruction& reader) {
    if (byteof(reader.op) <= byteof(opcode::div))
        arithmetic(w);
    else if (reader.op == opcode::equal)
        equality(w);
    else
        comparison(w);
}

// Two operand steps and the arithmetic or comparison that reads what they push, run as the three
// steps they are when the operands make no object and cannot fail: nothing but the reader can
// then be seen, and it runs as it always does. Says whether it ran them.
bool runoperandpair(work& w, const instruction* code, std::uint32_t& ip) {
    const instruction& reader = code[ip + 2];
    variable* first = operandnow(w, code[ip], ip);
    if (first == nullptr) return false;
    variable* second = operandnow(w, code[ip + 1], ip + 1);
    if (second == nullptr) return false;
    stepto(w, code, ip, 3);
    // Two ints need not be pushed only to be popped again: the reader reads the second as its left
    // operand, as popping them would hand them over.
    if (first->identifier == typeident::builtin_int && second->identifier == typeident::builtin_int &&
        readints(w, second->intval, first->intval))
        return true;
    w.c.datastack.push_back(first);
    w.c.datastack.push_back(second);
    runreader(w, reader);
    return true;
}

// One operand step and the arithmetic or comparison that reads what it pushes and what an earlier
// step left on the data stack, run as the two steps they are when the operand makes no object and
// cannot fail, as runoperandpair runs three. Says whether it ran them.
bool runhalfpair(work& w, const instruction* code, std::uint32_t& ip) {
    if (w.c.datastack.empty()) return false;
    const instruction& reader = code[ip + 1];
    variable* second = operandnow(w, code[ip], ip);
    if (second == nullptr) return false;
    stepto(w, code, ip, 2);
    variable* first = w.c.datastack.back();
    if (first->identifier == typeident::builtin_int && second->identifier == typeident::builtin_int) {
        w.c.datastack.pop_back();
        if (readints(w, second->intval, first->intval)) return true;
        w.c.datastack.push_back(first);
    }
    w.c.datastack.push_back(second);
    runreader(w, reader);
    return true;
}

// A method called on a local (instruction::methodahead): `loadlocal X; enter; loadattr M; call K;
// leave`, run as the five steps they are, without what each step checks again of the one before.
// It runs only when every step would stay in its frame and none could report before the call: X is
// there, M is a native working on data alone, and the data stack holds its arguments. X is a list
// or dictionary, whose load pushes it as it is and whose scope is it, or a text whose method may
// run on it rather than on the copy its load would make (shortcut::callontext). Each step leaves
// what it always leaves, the call sees the frame, the steps taken and the position it always sees,
// and a collection that comes due with the call waits for no more than the `leave`, which is then
// left to the next step. Returns the steps it took: none when it ran nothing.
std::size_t runmethodcall(work& w, const instruction* code, std::uint32_t& ip) {
    const instruction& load = code[ip];
    const instruction& attr = code[ip + 2];
    const instruction& call = code[ip + 3];
    const std::string& name = *load.name;
    if (call.integer < 0 || w.c.datastack.size() < static_cast<std::size_t>(call.integer)) return 0;
    variable* receiver = localnow(w, load);
    if (receiver == nullptr) return 0;
    variable* method = nullptr;
    const bool container =
        receiver->identifier == typeident::builtin_list || receiver->identifier == typeident::builtin_dict;
    if (container) {
        w.in = &attr;
        variable** found = attributeslotof(w, receiver, *attr.name);  // may make the method, as loadattr would
        if (found == nullptr || collectiondue(w.m)) return 0;
        method = *found;
    } else if (shortcut::callontext(*receiver)) {
        method = standinmethod(methodkind::string, *attr.name);
        if (method == nullptr) return 0;  // reported by the lookup
    } else {
        if (receiver->identifier != typeident::builtin_string) load.methodmissed = true;
        return 0;
    }
    if (!method->ismodule || !method->parts.get().dataonly) return 0;

    if (container)
        receiver->name.set(&name);  // the load names what it pushes
    else
        w.m.nextseq += 1 + methodcount(methodkind::string);  // the copy's number, and its table's
    gointo(receiver);  // the scope opened on it
    method->self = receiver;  // the attribute loaded knows the object it came from
    method->name.set(attr.name);
    w.c.datastack.push_back(method);
    stepto(w, code, ip, 4);
    callfunc(call.integer, argmap{});
    if (collectiondue(w.m)) return 4;

    // What the call made and pushed stays fresh across the leave, which changes no data stack.
    variable* const made = w.m.freshresult;
    stepto(w, code, ip, 1);
    if (made != nullptr && !w.c.datastack.empty() && w.c.datastack.back() == made) w.m.freshresult = made;
    goout();
    return 5;
}

// What `loadlocal X; loadattr M` leave of a receiver X that a load pushes as it is and of its
// native method M, for a group that then calls M: X named by its load, and M knowing the object it
// was loaded through, under its name.
void namemethod(variable* receiver, const instruction& load, variable* method, const instruction& attr) {
    receiver->name.set(load.name);
    method->self = receiver;
    method->name.set(attr.name);
}

// The same with the `enter` between them: X's scope opened too.
void openmethod(variable* receiver, const instruction& load, variable* method, const instruction& attr) {
    namemethod(receiver, load, method, attr);
    gointo(receiver);
}

// The steps from the receiver's load to the `leave` of a one-argument group (runappendnumber,
// runlookup) whose native's work `native` does: the receiver's scope opened and its method
// named, the steps up to the call counted, the call traced while the native works, and the
// `leave`, which is left to the next step when a collection comes due. Returns the steps taken.
template <typename work_of_native>
std::size_t callnative(work& w, const instruction* code, std::uint32_t& ip, variable* receiver, variable* method,
                       work_of_native native) {
    openmethod(receiver, code[ip + 1], method, code[ip + 3]);
    stepto(w, code, ip, 5);
    w.c.calltrace.push_back(method);
    native();
    w.c.calltrace.pop_back();
    if (collectiondue(w.m)) return 5;

    stepto(w, code, ip, 1);
    goout();
    return 6;
}

// A number appended to a list by a method call on a local (instruction::argahead): `pushconst N`
// or `loadlocal Y` of a plain number, then `loadlocal X; enter; loadattr append; call 1; leave`,
// with X a list whose append is the list's own native. The list keeps the number as the element
// its object would become (shortcut::appendnumber), and the object, which nothing else would ever
// see, is not made; it still takes its creation number, and every other step leaves what it always
// leaves, as runmethodcall runs them. Returns the steps it took: none when it ran nothing.
std::size_t runappendnumber(work& w, const instruction* code, std::uint32_t& ip) {
    if (!shortcut::appendnumber()) return 0;
    const instruction& arg = code[ip];
    const instruction& load = code[ip + 1];
    const instruction& attr = code[ip + 3];
    // The number the first step pushes, and the name its object would carry.
    bool isfloat = false;
    std::uint32_t bits = 0;
    const std::string* numbername = &nametext::defaulttext();
    if (arg.op == opcode::pushconst) {
        isfloat = arg.form == operandform::floating;
        bits = isfloat ? std::bit_cast<std::uint32_t>(arg.floating) : static_cast<std::uint32_t>(arg.integer);
    } else {
        const variable* found = localnow(w, arg);
        if (found == nullptr || !found->isplainnumber() || !listelements::keepable(*found)) return 0;
        isfloat = found->identifier == typeident::builtin_float;
        bits = isfloat ? std::bit_cast<std::uint32_t>(found->floatval) : static_cast<std::uint32_t>(found->intval);
        numbername = arg.name;
    }
    variable* list = localnow(w, load);
    if (list == nullptr || list->identifier != typeident::builtin_list) return 0;
    w.in = &attr;
    variable** found = attributeslotof(w, list, *attr.name);  // may make the method, as loadattr would
    if (found == nullptr || collectiondue(w.m)) return 0;
    variable* method = *found;
    if (!method->ismodule || method->parts.get().modulefunc != builtin::Lappend) return 0;

    const auto kept = listelements::keptnumber(w.m.nextseq++, isfloat, bits, listelements::nameid(numbername));
    return callnative(w, code, ip, list, method, [&] { builtin::appendkept(*list, kept); });
}

// A scratch object standing in for the number a dictionary keeps (shortcut::valueinscratch).
variable* standinvalue(machine& m, const listelements::element& kept) {
    if (m.valuescratch == nullptr) makescratch(m.valuescratch);
    listelements::standin(kept, *m.valuescratch);
    return m.valuescratch;
}

// A dictionary looked up by a local's number or text through a method call on a local
// (instruction::lookupahead): `loadlocal K`, then `loadlocal D; enter; loadattr get|contains;
// call 1; leave`, with D a dictionary whose method is its own native (a receiver that is no
// dictionary is not tried again at that site). The key is looked up as the local holds it
// (shortcut::lookupuncopied): the copy the first step would push, which only the native would see,
// is not made, but takes its creation numbers. The native's answer is pushed as the native pushes
// it, and every other step leaves what it always leaves, as runmethodcall runs them. A key `get`
// does not find takes the steps one at a time, for the report the call makes. Returns the steps it
// took: none when it ran nothing.
std::size_t runlookup(work& w, const instruction* code, std::uint32_t& ip) {
    const instruction& arg = code[ip];
    const instruction& load = code[ip + 1];
    const instruction& attr = code[ip + 3];
    const variable* key = localnow(w, arg);
    if (key == nullptr || !shortcut::lookupuncopied(*key)) return 0;
    variable* dict = localnow(w, load);
    if (dict == nullptr) return 0;
    if (dict->identifier != typeident::builtin_dict) {
        arg.methodmissed = true;  // a list's or a text's get: not tried again here
        return 0;
    }
    w.in = &attr;
    variable** found = attributeslotof(w, dict, *attr.name);  // may make the method, as loadattr would
    if (found == nullptr || collectiondue(w.m)) return 0;
    variable* method = *found;
    if (!method->ismodule) return 0;
    const mfuncptr native = method->modulefunc();
    const bool get = native == builtin::Dgetindex;
    if (!get && native != builtin::Dcontains) return 0;
    const dictmap::value_type* entry = dict->dictval.get().findequal(*key);
    if (get && entry == nullptr) return 0;

    w.m.nextseq += key->isnumber() ? 1 : 1 + methodcount(methodkind::string);  // the copy's numbers
    if (get && entry->second.raw().kept() && shortcut::valueinscratch(code[ip + 5])) {
        // Nothing from the load to the leave can then report or make an object, and nothing reads
        // the scope the enter opens and the leave closes, nor the call's entry in the trace.
        namemethod(dict, load, method, attr);
        stepto(w, code, ip, 6);
        w.c.datastack.push_back(standinvalue(w.m, entry->second.raw()));
        return 6;
    }
    return callnative(w, code, ip, dict, method, [&] {
        w.c.datastack.push_back(get ? entry->second.object() : newint(entry != nullptr ? 1 : 0));
    });
}

// An ifblock whose block returns a local (instruction::returnsalocal), met with a condition that
// is a non-zero int: the three steps it takes (the ifblock, the block's load, its `ret`) and what
// closing the block then does (the function returns), without the block's frame: the block's frame
// would be a copy of the function's, and nothing sees it before its `ret` closes it. The block's
// function object, which nothing would see either, is not made, but takes its creation number. It
// runs only when none of the steps could report: the local is there and the block's frame could be
// opened. Returns the steps it took: none when it ran nothing. After it, the function's frame is
// closed, and the work waiting for that is left to the step's end, as after any `ret`.
std::size_t runreturnlocal(work& w, const instruction& in) {
    const variable* condition = w.c.datastack.empty() ? nullptr : w.c.datastack.back();
    if (condition == nullptr || condition->identifier != typeident::builtin_int || condition->intval == 0) return 0;
    // The function's frame must not be the program's, and the block's must fit under the limit.
    if (w.c.codestack.size() < 2 || w.c.codestack.size() >= maxcodedepth || !in.functionbody.made()) return 0;
    const decodedbody* block = in.functionbody.get().funccode.decoded();
    if (block == nullptr || block->code.size() != 2) return 0;
    const instruction& load = block->code[0];
    variable* found = localnow(w, load);
    if (found == nullptr) return 0;

    w.c.datastack.pop_back();  // the condition
    ++w.m.nextseq;             // the block's function object
    w.m.stepstaken += 2;       // the ifblock's step is counted already
    // The block's frame would hold "self" as the function's frame does, or unbound where the
    // function's frame has none, and closing it would leave the function's frame holding it too.
    w.c.databasestack.back().slot(*w.m.selfname);
    w.fresh = nullptr;
    w.m.freshresult = nullptr;
    pushloaded(w, found, *load.name);
    w.m.freshresult = nullptr;
    w.c.returned = true;
    exitoutoffunc();
    return 3;
}

// Instructions that stay in their frame only as things stand (instruction::mayrunnow): opening an
// object scope (which leaves no stack empty), closing one that is not the last, calling a native
// that works on data alone, and an ifblock whose block does not run. Steps run together meet them
// in every method call on a value and every condition that fails.
[[gnu::noinline]] bool staysinframenow(const context& c, const instruction& in) {
    switch (in.op) {
    case opcode::enter:
    case opcode::enterattr: return true;
    case opcode::leave: return c.callstack.size() > 1 && c.databasestack.size() > 1;
    case opcode::call: {
        if (in.form != operandform::count) return false;
        const variable* callee = c.datastack.empty() ? nullptr : c.datastack.back();
        return callee != nullptr && callee->ismodule && callee->parts.get().dataonly;
    }
    case opcode::ifblock: return shortcut::skipunrunblock(in, c.datastack);
    default: return false;
    }
}

// The group of steps starting at `ip` (instruction::grouped), if it runs as one within `room`
// steps: returns the steps it took, none when each step is left to run alone.
[[gnu::always_inline]] inline std::size_t rungroup(work& w, const instruction* code, std::uint32_t& ip,
                                                  std::size_t room) {
    const instruction& in = code[ip];
    if (in.pairahead) return room >= 3 && runoperandpair(w, code, ip) ? 3 : 0;
    if (in.halfpairahead) return room >= 2 && runhalfpair(w, code, ip) ? 2 : 0;
    if (in.argahead) {
        if (code[ip + 1].methodmissed || in.methodmissed || room < 6) return 0;
        // None: the load of the receiver may run its method call as a group next.
        return in.lookupahead ? runlookup(w, code, ip) : runappendnumber(w, code, ip);
    }
    if (in.methodmissed || room < 5) return 0;
    return runmethodcall(w, code, ip);
}

// Runs the instructions that follow one that stayed in its frame, for as long as they stay in it
// too (always, or as things stand: staysinframenow), up to `room` of them. What the full preamble
// and the checks after a step look at (the stacks being there, the return flag, the descriptor
// records, work waiting for a frame to close, the table of contexts) such instructions leave as it
// was, so each of these steps is only the instruction itself, with the count of steps and the
// collection's pace checked before it as for any step. So is the step that finds the frame at its
// end when its loop runs the body again in the same frame: no frame closes and no work waiting is
// due. Returns how many steps it took.
[[gnu::always_inline]] inline std::size_t runinframe(machine& m, context& c, codeframe& frame, std::size_t room) {
    // Never past the room given nor past the last unwatched step.
    const std::size_t limit = std::min<std::uint64_t>(room, m.unwatchedsteps - m.stepstaken);
    std::size_t taken = 0;
    work w{m, c, frame, nullptr, nullptr};
    // Nothing but the loop repeating its body moves the frame to another instruction (the steps run
    // here never jump), and no step changes its code: the next instruction is found from copies
    // held here, without waiting for what the last step stored.
    const instruction* code = frame.body->code.data();
    std::uint32_t ip = frame.ip;
    while (taken < limit && !collectiondue(m)) {
        if (frame.empty()) {
            // The step counts before it runs, as any step does; one that does not repeat the loop
            // changed nothing and is left, uncounted, to the full step.
            ++m.stepstaken;
            m.freshresult = nullptr;
            if (!repeatloop(c)) {
                --m.stepstaken;
                break;
            }
            ++taken;
            ip = frame.ip;
            continue;
        }
        const instruction& in = code[ip];
        if (in.grouped && shortcut::runinframe()) {
            if (const std::size_t steps = rungroup(w, code, ip, limit - taken); steps != 0) {
                taken += steps;
                continue;
            }
        }
        if (!in.inframe && !(in.mayrunnow && staysinframenow(c, in))) {
            if (in.returnsalocal && taken + 3 <= limit && shortcut::runinframe()) {
                // Positioned as the ifblock's step would be; put back when it does not run.
                const std::size_t pc = frame.pc;
                ++m.stepstaken;
                frame.ip = ip + 1;
                frame.pc = in.runpc;
                w.in = &in;
                if (const std::size_t steps = runreturnlocal(w, in); steps != 0) return taken + steps;
                --m.stepstaken;
                frame.ip = ip;
                frame.pc = pc;
            }
            break;
        }
        ++m.stepstaken;
        frame.ip = ++ip;
        ++taken;
        w.in = &in;
        w.fresh = m.freshresult;
        m.freshresult = nullptr;
        frame.pc = in.runpc;
        dispatch(w);
    }
    return taken;
}

// A step with a hook watching. The hook hears of the step's end also when the step ends the run
// or is reported.
void watchedinstruction(debughook& hook) {
    hook.beforeinstruction(codestack->back());
    try {
        execinstruction(codestack->back());
        resumeclosed();
    } catch (...) {
        hook.afterinstruction();
        throw;
    }
    hook.afterinstruction();
}

// A step past the machine's unwatched steps: the budget may be spent, a hook may be watching. Out
// of line, so the ordinary step stays small.
[[gnu::noinline]] void watchedstep() {
    machine& m = vm();
    if (m.sandbox.instructionbudget != 0 && m.stepstaken > m.sandbox.instructionbudget) budgetexhausted();
    if (codestack->empty())
        integritycheck();  // reports the panic: there is no frame to run
    else if (m.hook != nullptr)
        watchedinstruction(*m.hook);
    else
        execinstruction(codestack->back());
}

// One instruction step of the bound context and the work its closed frames leave; with `room` for
// more than one, also the steps runinframe may run after it. Returns how many steps it took.
[[gnu::always_inline]] inline std::size_t runstep(machine& m, std::size_t room) {
    std::size_t taken = 1;
    try {
        if (++m.stepstaken > m.unwatchedsteps) [[unlikely]] {
            watchedstep();
        } else {
            context& bound = *thisthread.bound;
            if (bound.codestack.empty()) {
                integritycheck();  // reports the panic: there is no frame to run
            } else {
                codeframe& frame = bound.codestack.back();
                if (runinstruction(m, bound, frame) && room > 1 && bound._FDESC.empty() && shortcut::runinframe())
                    taken += runinframe(m, bound, frame, room - 1);
            }
        }
        resumeclosed();
    } catch (const instructionabort&) {
        // A report returned (noterminate): the instruction ends where it failed.
    } catch (const std::bad_alloc&) {
        reportoutofmemory();
    }
    return taken;
}

}  // namespace

void execinstruction(codeframe& frame) { runinstruction(vm(), *thisthread.bound, frame); }

void step(machine& m) { runstep(m, 1); }

void runsinglecontext(std::size_t steps) {
    // With one context in the table every cycle is one step of it: no walk, no switch.
    machine& m = vm();
    auto& threads = m.threads;
    const int id = threads.begin()->first;
    swapcontext(threads.begin()->second);
    const std::uint64_t table = m.schedulechanges;
    for (std::size_t n = 0; n < steps;) {
        n += runstep(m, steps - n);
        if (collectiondue(m)) collectgarbage();
        if (m.schedulechanges != table) {
            // The step changed the table: the rest of this cycle visits the greater ids.
            walkcycle(threads.upper_bound(id));
            return;
        }
        if (thisthread.bound->codestack.empty()) return;
    }
}

}  // namespace T4VM
