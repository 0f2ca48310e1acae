// Machine state: the machine and its binding to a thread, the contexts, the table of runnable
// contexts, the cycle over several contexts and the integrity check run before every instruction.
#include <iostream>
#include <ostream>

#include "vm/heap.h"
#include "vm/builtins.h"
#include "vm/interpreter.h"
#include "vm/machine.h"

namespace T4VM {

constinit thread_local threadbinding thisthread;

machine::machine(const sandboxconfig& limits) : out(&std::cout), err(&std::cerr), in(&std::cin), sandbox(limits) {
    pace = initialpace(sandbox.heaplimit != 0 ? sandbox.heaplimit : maxheapbytes);
    attach(nullptr);
    everycontext.push_back(std::make_unique<context>());
    maincontext = everycontext.back().get();
    boundcontext = maincontext;
    schedule(0, maincontext);
    selfname = nametext::intern("self");
    elementname = nametext::intern("ELEMENT");
}

// Files still open are written out by their streams; the variables go with the heap, last.
machine::~machine() { image.forgetdecoded(); }

void machine::attach(debughook* watcher) {
    hook = watcher;
    notealone();
    if (hook != nullptr)
        unwatchedsteps = 0;
    else
        unwatchedsteps = sandbox.instructionbudget != 0 ? sandbox.instructionbudget : UINT64_MAX;
}

machinebinding::machinebinding(machine& bound) : previous(thisthread) {
    thisthread = {&bound, bound.boundcontext};
}

machinebinding::~machinebinding() {
    if (thisthread.vm != nullptr) thisthread.vm->boundcontext = thisthread.bound;
    thisthread = previous;
}

context* newcontext() {
    machine& m = vm();
    m.everycontext.push_back(std::make_unique<context>());
    return m.everycontext.back().get();
}

void swapcontext(context* newcontext) {
    // Each context has its own return flag, so a task's instructions never clear the flag that a
    // `ret` of another context has just set for its blocks.
    thisthread.bound = newcontext;
}

void noteshapechange() { ++vm().shapechanges; }
void notekeychange() { ++vm().keychanges; }
// Maps of a machine are looked at with its machine bound, but for the ones destroyed with it.
void notereached() {
    if (machine* m = thisthread.vm) m->reachedmark = m->nextseq;
}
std::uint64_t keychangecount() { return vm().keychanges; }

variable* getprogroot() { return vm().progroot; }

void keepnative(std::shared_ptr<void> object) { vm().natives.push_back(std::move(object)); }

// The next id is looked up afresh after every step, so tasks stopped or started by the step never
// break the walk: a task started with a greater id runs in this very cycle.
void walkcycle(std::map<int, context*>::iterator entry) {
    machine& m = vm();
    auto& threads = m.threads;
    while (entry != threads.end()) {
        const int id = entry->first;
        swapcontext(entry->second);
        step(m);
        if (collectiondue(m)) collectgarbage();
        entry = threads.upper_bound(id);
    }
}

void execcycle() { walkcycle(vm().threads.begin()); }

void integrityfailure() {
    const context& bound = *boundcontext();  // the aliases point into it
    if (bound.codestack.empty())
        error("\nVM panic!\nCodestack size = 0, this is not supposed to happen.      \n", false);
    if (bound.callstack.empty())
        error("\nVM panic!\nCallstack size = 0, did you go out of root?                \n", false);
    if (bound.databasestack.empty())
        error("\nVM panic!\nDatabasestack size = 0, did you go out of root?                \n",
              false);
    if (bound.calltrace.empty()) {
        std::ostream& err = *vm().err;
        err << "-----------------------------" << std::endl;
        err << "Calltrace stack size is 0." << std::endl;
        err << "The vm will keep running tho." << std::endl;
        err << "This is just a warning." << std::endl;
        err << "-----------------------------" << std::endl;
    }
    if (bound.codestack.empty() || bound.callstack.empty() || bound.databasestack.empty())
        throw instructionabort{};  // only after a report that returned
}

void registerstream(std::ostream* stream) { vm().openstreams.push_back(stream); }

void unregisterstream(std::ostream* stream) { std::erase(vm().openstreams, stream); }

void flushstreams() {
    machine& m = vm();
    for (std::ostream* stream : m.openstreams) stream->flush();
    m.out->flush();
    m.err->flush();
}

}  // namespace T4VM
