// Calls, returns, code blocks and object scopes.
//
// Blocks and constructors do not run nested execution cycles: the instruction that starts one
// opens its frame and records a continuation in the current context; after every instruction
// step, the continuations whose frame has closed finish their work (take over the block's
// variables, start the next iteration, push the new instance). Calls and blocks therefore nest as
// deep as memory allows without growing the C++ stack, and every context advances exactly one
// instruction per cycle.
#include "vm/heap.h"
#include "vm/interpreter.h"
#include "vm/shortcuts.h"
#include "vm/machine.h"

namespace T4VM {

using namespace moduleapi;

namespace {

void openframe(codeblock body, argmap&& frame) {
    if (codestack->size() >= maxcodedepth)
        failabridged("Call depth limit reached: more than " + std::to_string(maxcodedepth) + " nested frames.");
    codestack->push_back(openedframe(std::move(body)));
    databasestack->push_back(std::move(frame));
}

const std::string& selfname() { return *vm().selfname; }

const std::string& elementname() { return *vm().elementname; }

// "arg0", "arg1", ... interned once each.
const std::string& argname(int index) {
    auto& names = vm().argnames;
    while (names.size() <= static_cast<std::size_t>(index))
        names.push_back(nametext::intern("arg" + std::to_string(names.size())));
    return *names[static_cast<std::size_t>(index)];
}

// Binds "ELEMENT" to the next item of a for-each loop, and returns what it bound: the item's object,
// or the loop's stand-in filled with the item when the item is a kept number and the loop has one.
// The items of a long list lie far apart in memory, and the body is about to read this one: the
// one a few iterations ahead is asked for now.
variable* bindelement(continuation& loop) {
    if (loop.next + 4 < loop.items.size()) {
        const listelements::element& ahead = loop.items.raw(loop.next + 4);
        if (!ahead.kept()) {
            __builtin_prefetch(ahead.object());
            __builtin_prefetch(&ahead.object()->name);  // a load compares it, and it lies on the next line
        }
    }
    const listelements::element& item = loop.items.raw(loop.next);
    variable* bound = nullptr;
    if (item.kept() && loop.standin != nullptr && shortcut::standinelement()) {
        listelements::standin(item, *loop.standin);
        bound = loop.standin;
    } else {
        bound = loop.items[loop.next];
    }
    ++loop.next;
    loop.working.slot(elementname(), loop.elementhint) = bound;
    return bound;
}

// A loop that ends leaves the item it bound last bound as its object: from here on anything may
// take hold of it.
void unbindstandin(continuation& loop) {
    if (loop.standin == nullptr || loop.next == 0) return;
    auto bound = loop.working.findinterned(elementname());
    if (bound != loop.working.end() && bound->second == loop.standin) bound->second = loop.items[loop.next - 1];
}

variable* selfof(const framemap& frame) {
    auto found = frame.findinterned(selfname());
    return found == frame.end() ? nullptr : found->second;
}

// Adds or replaces every variable the block's final frame held; nothing is removed.
void takeover(framemap& target) { target.merge(lastdeldatabase.get()); }

// Runs `block` with `frame` as its variables; when its frame closes, the work recorded in `pending`
// (already in place at the top of the context's records) resumes.
void openblock(variable* block, framemap frame, variable* self, continuation& pending) {
    if (self != nullptr) block->self = self;
    datastack->push_back(block);
    pending.depth = codestack->size();
    callfunc(0, std::move(frame));  // may record more work: `pending` must not be touched after
}

// Opens the next iteration of the loop on top of the context's records, if there is one: the
// condition says so (while), or an item is left (for-each), and no `ret` has ended the loop.
bool nextiteration(continuation& loop) {
    if (returned.get()) return false;
    if (loop.what == continuation::kind::whileblock) {
        variable* condition = popread();
        if (condition->getint() == 0) return false;
    } else {
        if (loop.next >= loop.items.size()) return false;
        bindelement(loop);
    }
    openblock(loop.block, loop.working, selfof(loop.working), loop);
    return true;
}

// The loop is over: its working frame W becomes the current variable frame, and a `ret` inside
// the block returns from the enclosing frame too.
void finishloop() {
    auto& pending = boundcontext()->pending;
    unbindstandin(pending.back());
    framemap working = std::move(pending.back().working);
    pending.pop_back();
    databasestack->back() = std::move(working);
    if (returned.get()) exitoutoffunc();
}

void startloop(continuation loop) {
    auto& pending = boundcontext()->pending;
    pending.push_back(std::move(loop));
    if (!nextiteration(pending.back())) finishloop();
}

// The frame the top record waits for has closed: finish what opened it.
void finishtop() {
    auto& pending = boundcontext()->pending;
    continuation& done = pending.back();
    switch (done.what) {
    case continuation::kind::ifblock:
        pending.pop_back();
        takeover(databasestack->back());
        if (returned.get()) exitoutoffunc();
        break;
    case continuation::kind::whileblock:
    case continuation::kind::foreachblock:
        takeover(done.working);
        if (!nextiteration(done)) finishloop();
        break;
    case continuation::kind::construct: {
        variable* instance = done.instance;
        pending.pop_back();
        if (!calltrace->empty()) calltrace->pop_back();  // the class's own entry
        datastack->push_back(instance);
        break;
    }
    }
}

}  // namespace

variable* blockof(codeframe& frame, const instruction& in) {
    return in.form == operandform::function ? makeconstant(frame, in) : getconstant(frame);
}

void ifblock(codeframe& frame, const instruction& in) {
    if (shortcut::skipunrunblock(in, datastack)) {
        datastack->pop_back();
        ++vm().nextseq;
        return;
    }
    variable* block = blockof(frame, in);
    variable* condition = popread();
    if (condition->getint() == 0) return;
    const framemap& variables = databasestack->back();
    standalonefunccall(block, argmap(variables), selfof(variables), continuation::kind::ifblock);
}

void whileblock(codeframe& frame, const instruction& in) {
    continuation loop(continuation::kind::whileblock);
    loop.block = blockof(frame, in);
    loop.working = databasestack->back();
    startloop(std::move(loop));
}

void foreachblock(codeframe& frame, const instruction& in) {
    continuation loop(continuation::kind::foreachblock);
    loop.block = blockof(frame, in);
    variable* collection = popread();
    // The items are collected first, so changing the collection does not change the iterations:
    // a list's elements are shared with the loop until the list changes.
    if (collection->identifier == typeident::builtin_dict) {
        loop.items.reserve(collection->dictval.size());
        for (auto& [key, value] : collection->dictval) loop.items.push_back(key);
    } else if (collection->identifier == typeident::builtin_list) {
        loop.items = collection->listval;
        if (!loop.items.empty() && shortcut::standinelement() && loop.block->identifier == typeident::custom_func &&
            !loop.block->ismodule && sealsframe(loop.block->funccode()))
            loop.standin = allocatevariable(0);
    }
    loop.working = databasestack->back();
    startloop(std::move(loop));
}

void callfunc(int argnum, argmap&& targs) {
    // Every caller hands over a frame it has no further use for: it is filled and moved on in place.
    argmap& args = targs;
    if (datastack->empty()) fail("Nothing to call: datastack empty!", false);
    variable* function = datastack->back();
    datastack->pop_back();
    if (argnum > 0) {
        if (datastack->size() < static_cast<std::size_t>(argnum))
            fail("Not enough arguments on the datastack: call expects " + std::to_string(argnum) + ".",
                 false);
        // Room for the arguments and "self", reserved only once the count is known to be real.
        args.reserve(args.size() + static_cast<std::size_t>(argnum) + 1);
        const std::size_t first = datastack->size() - static_cast<std::size_t>(argnum);
        for (int i = 0; i < argnum; ++i) args.slot(argname(i)) = datastack.get()[first + i];
        datastack->resize(first);
    }
    variable* self = function->self;
    calltrace->push_back(function);

    if (function->ismodule) {
        function->modulefunc()(self, args);
        calltrace->pop_back();
        return;
    }

    args.slot(selfname()) = self;
    codeblock body;
    if (function->identifier == typeident::custom_func) {
        function->funccode().decoded();  // decoded once for every copy of the function's code
        body = function->funccode();
    } else {
        // Anything else that is called is a class: the instance is a deep copy of it.
        variable* instance = function->getcopy();
        args.slot(selfname()) = instance;
        auto init = instance->attributes.find("init");
        if (init != instance->attributes.end()) {
            standalonefunccall(init->second, std::move(args), instance, continuation::kind::construct, instance);
            return;
        }
        datastack->push_back(instance);
    }
    openframe(std::move(body), std::move(args));
}

void exitoutoffunc() {
    if (codestack->size() == 1) {
        exitprogram();
        codestack->clear();  // only reached with noterminate: the program has finished
        return;
    }
    codestack->pop_back();
    if (!calltrace->empty()) calltrace->pop_back();
    if (!databasestack->empty()) {
        lastdeldatabase.get() = std::move(databasestack->back());
        databasestack->pop_back();
    }
}

void standalonefunccall(variable* target, argmap&& args, variable* self, continuation::kind what, variable* instance) {
    if (self != nullptr) target->self = self;
    datastack->push_back(target);
    continuation& pending = boundcontext()->pending.emplace_back(what);
    pending.depth = codestack->size();
    pending.instance = instance;
    callfunc(0, std::move(args));
}

bool repeatloop(context& c) {
    if (c.pending.empty() || !shortcut::reuseloopframes()) return false;
    continuation& loop = c.pending.back();
    const bool whileloop = loop.what == continuation::kind::whileblock;
    if (!whileloop && loop.what != continuation::kind::foreachblock) return false;
    // Only the loop's own body frame, as the loop opened it, is reused. A block that is no bytecode
    // function was called as a class: each iteration pushes a new instance, which reusing the
    // frame would skip.
    variable* const block = loop.block;
    if (block->identifier != typeident::custom_func || block->ismodule) return false;
    if (loop.depth + 1 != c.codestack.size() || c.calltrace.empty() || c.calltrace.back() != block) return false;
    codeframe& frame = c.codestack.back();
    const codeblock& code = block->funccode();
    if (frame.code.begin() != code.begin() || frame.code.size() != code.size()) return false;
    if (whileloop) {
        // A condition that is not a plain non-zero int takes the usual way (it may end the loop or
        // fail to convert, and a report must show the frame closed).
        if (c.datastack.empty()) return false;
        const variable* condition = c.datastack.back();
        if (condition->identifier != typeident::builtin_int || condition->intval == 0) return false;
        c.datastack.pop_back();
    } else if (loop.next >= loop.items.size()) {
        return false;
    }
    framemap& body = c.databasestack.back();
    framemap& working = loop.working;
    working.merge(body);
    variable* bound = whileloop ? nullptr : bindelement(loop);
    // After the merge W holds every name of the body's frame. With as many names, the two hold the
    // same bindings but for the element just bound, so the frame needs no new copy of W.
    if (body.size() != working.size())
        body = working;
    else if (!whileloop)
        body.slot(elementname(), loop.elementhint) = bound;
    const std::string& selfkey = selfname();
    const auto self = working.findinterned(selfkey, loop.selfhint);
    if (self != working.end() && self->second != nullptr) block->self = self->second;
    // The two frames nearly always hold their names in the same places (the body's frame began as
    // a copy of W): "self" is then found where it is in W without a second search.
    const auto at = static_cast<std::size_t>(self - working.begin());
    if (at < body.size() && body.begin()[at].first == &selfkey)
        body.begin()[at].second = block->self;
    else
        body.slot(selfkey) = block->self;
    frame.pc = 0;
    frame.ip = 0;
    return true;
}

void resumepending() {
    auto& pending = boundcontext()->pending;
    while (!pending.empty() && pending.back().depth == codestack->size()) finishtop();
}

void callinstruction(codeframe& frame, const instruction& in) {
    const std::int32_t count = in.form == operandform::count ? in.integer : getcount(frame);
    callfunc(count, argmap{});
}

void returninstruction() {
    exitoutoffunc();
    returned.get() = true;
}

void enterattr(codeframe& frame, const instruction& in) {
    const std::string& name = nameof(frame, in);
    gointo(getattribute(callstack->back(), name));
}

void leaveall() {
    while (callstack->size() > 1) goout();
}

}  // namespace T4VM
