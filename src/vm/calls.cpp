// Calls, returns, code blocks and object scopes.
//
// Blocks and constructors do not run nested execution cycles: the instruction that starts one
// opens its frame and records a continuation in the current context; after every instruction
// step, the continuations whose frame has closed finish their work (take over the block's
// variables, start the next iteration, push the new instance). Calls and blocks therefore nest as
// deep as memory allows without growing the C++ stack, and every context advances exactly one
// instruction per cycle.
#include "vm/vm.h"

namespace T4VM {

using namespace moduleapi;

namespace {

void openframe(codeblock body, argmap frame) {
    if (codestack->size() >= maxcodedepth)
        fail("Call depth limit reached: more than " + std::to_string(maxcodedepth) + " nested frames.",
             false);
    codestack->push_back(codeframe{std::move(body), 0});
    databasestack->push_back(std::move(frame));
}

variable* selfof(const varmap& frame) {
    auto found = frame.find("self");
    return found == frame.end() ? nullptr : found->second;
}

// Adds or replaces every variable the block's final frame held; nothing is removed.
void takeover(varmap& target) {
    for (auto& [name, value] : lastdeldatabase.get()) target[name] = value;
}

// Opens the next iteration of a loop, or finishes the loop: the current variable frame becomes
// the working frame W, and a `ret` inside the block returns from the enclosing frame too.
void loopstep(continuation loop) {
    if (!returned.get()) {
        if (loop.what == continuation::kind::whileblock) {
            variable* condition = popvalue();
            if (condition->getint() != 0) {
                argmap frame = loop.working;
                variable* self = selfof(loop.working);
                variable* block = loop.block;
                standalonefunccall(block, std::move(frame), self, std::move(loop));
                return;
            }
        } else if (loop.next < loop.items.size()) {
            loop.working["ELEMENT"] = loop.items[loop.next++];
            argmap frame = loop.working;
            variable* self = selfof(loop.working);
            variable* block = loop.block;
            standalonefunccall(block, std::move(frame), self, std::move(loop));
            return;
        }
    }
    databasestack->back() = std::move(loop.working);
    if (returned.get()) exitoutoffunc();
}

void finish(continuation done) {
    switch (done.what) {
    case continuation::kind::ifblock:
        takeover(databasestack->back());
        if (returned.get()) exitoutoffunc();
        break;
    case continuation::kind::whileblock:
    case continuation::kind::foreachblock:
        takeover(done.working);
        loopstep(std::move(done));
        break;
    case continuation::kind::construct:
        if (!calltrace->empty()) calltrace->pop_back();  // the class's own entry
        datastack->push_back(done.instance);
        break;
    }
}

void ifblock(codeframe& bytes) {
    variable* block = getop(bytes)->getcopy();
    variable* condition = popvalue();
    if (condition->getint() == 0) return;
    const varmap& frame = databasestack->back();
    standalonefunccall(block, frame, selfof(frame), continuation(continuation::kind::ifblock));
}

void whileblock(codeframe& bytes) {
    continuation loop(continuation::kind::whileblock);
    loop.block = getop(bytes)->getcopy();
    loop.working = databasestack->back();
    loopstep(std::move(loop));
}

void foreachblock(codeframe& bytes) {
    continuation loop(continuation::kind::foreachblock);
    loop.block = getop(bytes)->getcopy();
    variable* collection = popvalue();
    // The items are collected first, so changing the collection does not change the iterations.
    if (collection->identifier == typeident::builtin_dict)
        for (auto& [key, value] : collection->dictval) loop.items.push_back(key);
    else if (collection->identifier == typeident::builtin_list)
        loop.items.assign(collection->listval.begin(), collection->listval.end());
    loop.working = databasestack->back();
    loopstep(std::move(loop));
}

}  // namespace

void callfunc(int argnum, argmap targs) {
    argmap args = std::move(targs);
    if (datastack->empty()) fail("Nothing to call: datastack empty!", false);
    variable* function = datastack->back();
    datastack->pop_back();
    if (argnum > 0) {
        if (datastack->size() < static_cast<std::size_t>(argnum))
            fail("Not enough arguments on the datastack: call expects " + std::to_string(argnum) + ".",
                 false);
        const std::size_t first = datastack->size() - static_cast<std::size_t>(argnum);
        for (int i = 0; i < argnum; ++i) args["arg" + std::to_string(i)] = datastack.get()[first + i];
        datastack->resize(first);
    }
    variable* self = function->self;
    calltrace->push_back(function);

    if (function->ismodule) {
        function->modulefunc(self, args);
        calltrace->pop_back();
        return;
    }

    args["self"] = self;
    codeblock body;
    if (function->identifier == typeident::custom_func) {
        body = function->funccode;
    } else {
        // Anything else that is called is a class: the instance is a deep copy of it.
        variable* instance = function->getcopy();
        args["self"] = instance;
        auto init = instance->attributes.find("init");
        if (init != instance->attributes.end()) {
            continuation construct(continuation::kind::construct);
            construct.instance = instance;
            standalonefunccall(init->second, std::move(args), instance, std::move(construct));
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

void standalonefunccall(variable* target, argmap args, variable* self, continuation pending) {
    if (self != nullptr) target->self = self;
    datastack->push_back(target);
    pending.depth = codestack->size();
    boundcontext->pending.push_back(std::move(pending));
    callfunc(0, std::move(args));
}

void resumepending() {
    auto& pending = boundcontext->pending;
    while (!pending.empty() && pending.back().depth == codestack->size()) {
        continuation done = std::move(pending.back());
        pending.pop_back();
        finish(std::move(done));
    }
}

void blockinstruction(byte opcode, codeframe& bytes) {
    switch (opcode) {
    case op::call: {
        const std::int32_t count = getop(bytes)->getint();
        callfunc(count, argmap{});
        break;
    }
    case op::ret:
        exitoutoffunc();
        returned.get() = true;
        break;
    case op::ifblock: ifblock(bytes); break;
    case op::whileblock: whileblock(bytes); break;
    default: foreachblock(bytes); break;
    }
}

void scopeinstruction(byte opcode, codeframe& bytes) {
    switch (opcode) {
    case op::leave: goout(); break;
    case op::enterattr: {
        const std::string& name = *getname(bytes);
        gointo(getattribute(callstack->back(), name));
        break;
    }
    case op::leaveall:
        while (callstack->size() > 1) goout();
        break;
    default: gointo(gettopvar()); break;
    }
}

}  // namespace T4VM
