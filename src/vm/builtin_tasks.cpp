// Tasks: create, start and stop execution contexts that the execution cycle interleaves with the
// main program, one instruction each per cycle.
#include "vm/builtins.h"
#include "vm/interpreter.h"

namespace T4VM {

using namespace moduleapi;

namespace {

// Task ids come from the machine's own generator, so scheduling order and output are the same on
// every platform: 41, 18467, 6334, 26500, 19169, ...
std::int32_t nexttaskid() {
    std::uint32_t& seed = vm().taskseed;
    seed = seed * 214013u + 2531011u;
    return static_cast<std::int32_t>((seed >> 16) & 0x7FFF);
}

variable* taskint(std::int32_t value) {
    variable* result = getallocvar("BUILTIN_INT");
    result->identifier = typeident::builtin_int;
    result->intval = value;
    return result;
}

bool istaskobject(variable* task) {
    auto& attributes = task->attributes;
    auto param = task->moduleparams().find("context");
    return attributes.contains("alive") && attributes.contains("id") && attributes.contains("target") &&
           param != task->moduleparams().end() && param->second.kind == paramkind::context;
}

}  // namespace

namespace builtin {

void Tcreate(variable*, const argmap& args) {
    variable* task = getallocvar();
    task->identifier = typeident::builtin_class;
    task->name = "Thread";
    task->attributes["alive"] = taskint(0);
    task->attributes["id"] = taskint(-1);
    task->attributes["target"] = getarg(args, "arg0");
    task->parts.mut().moduleparams["context"] = nativeparam{paramkind::context, newcontext()};
    datastack->push_back(task);
}

void Tstart(variable*, const argmap& args) {
    variable* task = getarg(args, "arg0");
    if (!istaskobject(task)) fail("_taskstart needs a task object made by _taskcreate.", true);
    variable* target = task->attributes["target"];
    // Only a bytecode function gives the task code to run; anything else would leave a context
    // without frames in the table.
    if (target->identifier != typeident::custom_func || target->ismodule)
        fail("A task can only run a bytecode function, not " + identname(target->identifier) + ".", true);

    // Both are written in place: were either ever a dictionary key too, its indexes must know.
    variable* id = task->attributes["id"];
    id->changingvalue();
    id->intval = nexttaskid();
    variable* alive = task->attributes["alive"];
    alive->changingvalue();
    alive->intval = 1;
    context* taskcontext = &getparam<context>(task->moduleparams(), "context");

    context* caller = boundcontext();
    swapcontext(taskcontext);
    callstack->push_back(vm().progroot);
    datastack->push_back(target);
    callfunc(0, argmap{});
    vm().schedule(id->getint(), taskcontext);
    swapcontext(caller);
}

void Tstop(variable*, const argmap& args) { vm().unschedule(getarg(args, "arg0")->getint()); }

}  // namespace builtin

}  // namespace T4VM
