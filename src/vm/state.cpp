// Machine state: the contexts, the table of runnable contexts, the aliases bound to one context,
// the execution cycle and the integrity check run before every instruction.
#include <iostream>
#include <new>
#include <ostream>

#include "vm/heap.h"
#include "vm/sandbox.h"
#include "vm/interpreter.h"
#include "vm/vm.h"

namespace T4VM {

std::map<std::string, variable*> globalvars;
variable* progroot = nullptr;

namespace {
std::vector<std::unique_ptr<context>> everycontext;  // contexts live until the machine is reset
}

context* newcontext() {
    everycontext.push_back(std::make_unique<context>());
    return everycontext.back().get();
}

const std::vector<std::unique_ptr<context>>& allcontexts() { return everycontext; }

context* maincontext = newcontext();
context* boundcontext = maincontext;
std::map<int, context*> threads{{0, maincontext}};
bool silent = false;
bool noterminate = false;

ref_wrapper<varstack> memory(*maincontext->memory);
ref_wrapper<std::vector<framemap>> savlvar(*maincontext->savlvar);
ref_wrapper<codestacktype> codestack(*maincontext->codestack);
ref_wrapper<varstack> calltrace(*maincontext->calltrace);
ref_wrapper<varstack> datastack(*maincontext->datastack);
ref_wrapper<varstack> callstack(*maincontext->callstack);
ref_wrapper<framestack> databasestack(*maincontext->databasestack);
ref_wrapper<framemap> lastdeldatabase(*maincontext->lastdeldatabase);
ref_wrapper<bool> hasdescriptor(maincontext->hasdescriptor);
ref_wrapper<bytestack> descriptor(*maincontext->descriptor);
ref_wrapper<descriptorlist> _FDESC(*maincontext->_FDESC);
ref_wrapper<bool> returned(maincontext->returned);

std::ostream* vmout = &std::cout;
std::ostream* vmerr = &std::cerr;
std::istream* vmin = &std::cin;

void swapcontext(context* newcontext) {
    memory.set(*newcontext->memory);
    savlvar.set(*newcontext->savlvar);
    codestack.set(*newcontext->codestack);
    calltrace.set(*newcontext->calltrace);
    datastack.set(*newcontext->datastack);
    callstack.set(*newcontext->callstack);
    databasestack.set(*newcontext->databasestack);
    lastdeldatabase.set(*newcontext->lastdeldatabase);
    hasdescriptor.set(newcontext->hasdescriptor);
    descriptor.set(*newcontext->descriptor);
    _FDESC.set(*newcontext->_FDESC);
    // Each context has its own return flag, so a task's instructions never clear the flag that a
    // `ret` of another context has just set for its blocks.
    returned.set(newcontext->returned);
    boundcontext = newcontext;
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

// One instruction step of the bound context and the work its closed frames leave.
void step() {
    try {
        chargestep();
        if (codestack->empty())
            integritycheck();  // reports the panic: there is no frame to run
        else
            execinstruction(codestack->back());
        // Most steps close no frame that work is waiting for.
        const auto& pending = boundcontext->pending;
        if (!pending.empty() && pending.back().depth == boundcontext->codestack->size()) resumepending();
    } catch (const instructionabort&) {
        // A report returned (noterminate): the instruction ends where it failed.
    } catch (const std::bad_alloc&) {
        reportoutofmemory();
    }
}

}  // namespace

namespace {

// Visits, in ascending id order, every context of the table from `entry` on, one step each. The
// next id is looked up afresh after every step, so tasks stopped or started by the step never
// break the walk: a task started with a greater id runs in this very cycle.
void walkcycle(std::map<int, context*>::iterator entry) {
    while (entry != threads.end()) {
        const int id = entry->first;
        swapcontext(entry->second);
        step();
        if (collectiondue()) collectgarbage();
        entry = threads.upper_bound(id);
    }
}

}  // namespace

void runsinglecontext(std::size_t steps) {
    // With one context in the table every cycle is one step of it: no walk, no switch.
    const int id = threads.begin()->first;
    context* only = threads.begin()->second;
    swapcontext(only);
    for (std::size_t n = 0; n < steps; ++n) {
        step();
        if (collectiondue()) collectgarbage();
        if (threads.size() != 1 || threads.begin()->second != only) {
            // The step changed the table: the rest of this cycle visits the greater ids.
            walkcycle(threads.upper_bound(id));
            return;
        }
        if (codestack->empty()) return;
    }
}

void execcycle() { walkcycle(threads.begin()); }

void integrityfailure() {
    const context& bound = *boundcontext;  // the aliases point into it
    if (bound.codestack->empty())
        error("\nVM panic!\nCodestack size = 0, this is not supposed to happen.      \n", false);
    if (bound.callstack->empty())
        error("\nVM panic!\nCallstack size = 0, did you go out of root?                \n", false);
    if (bound.databasestack->empty())
        error("\nVM panic!\nDatabasestack size = 0, did you go out of root?                \n",
              false);
    if (bound.calltrace->empty()) {
        std::ostream& err = *vmerr;
        err << "-----------------------------" << std::endl;
        err << "Calltrace stack size is 0." << std::endl;
        err << "The vm will keep running tho." << std::endl;
        err << "This is just a warning." << std::endl;
        err << "-----------------------------" << std::endl;
    }
    if (bound.codestack->empty() || bound.callstack->empty() || bound.databasestack->empty())
        throw instructionabort{};  // only after a report that returned
}

namespace {
std::vector<std::ostream*> openstreams;
}

void registerstream(std::ostream* stream) { openstreams.push_back(stream); }

void unregisterstream(std::ostream* stream) {
    std::erase(openstreams, stream);
}

void flushstreams() {
    for (std::ostream* stream : openstreams) stream->flush();
    vmout->flush();
    vmerr->flush();
}

void resetvalues();
void resetbuiltins();

void resetmachine() {
    flushstreams();
    openstreams.clear();
    resetbuiltins();
    globalvars.clear();
    progroot = nullptr;
    threads.clear();
    everycontext.clear();
    freeheap();
    resetfactory();
    resetcollector();
    resetvalues();
    resetoperands();
    resetinterpreter();
    maincontext = newcontext();
    threads[0] = maincontext;
    swapcontext(maincontext);
    silent = false;
    noterminate = false;
    stepstaken = 0;
}

}  // namespace T4VM
