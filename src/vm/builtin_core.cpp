// Core built-ins: conversions, sizes, shell commands and attribute reflection.
#include <ostream>
#include <sys/wait.h>

#include "vm/builtins.h"
#include "vm/process.h"
#include "vm/machine.h"

namespace T4VM::builtin {

using namespace moduleapi;

namespace {

void push(variable* value) { datastack->push_back(value); }

std::string textof(const argmap& args, const std::string& key) { return getarg(args, key)->getstring(false); }

// The shell reports a command killed by a signal as 128 plus the signal number; a command that
// could not be run at all gives -1.
std::int32_t commandstatus(int status) {
    if (status == -1) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return status;
}

}  // namespace

void varconv(variable*, const argmap& args) {
    const std::string type = textof(args, "arg0");
    variable* value = getarg(args, "arg1");
    push(moduleapi::varconv(*value, type));
}

void asstr(variable*, const argmap& args) { push(moduleapi::varconv(*getarg(args, "arg0"), "BUILTIN_STRING")); }
void asint(variable*, const argmap& args) { push(moduleapi::varconv(*getarg(args, "arg0"), "BUILTIN_INT")); }
void asfloat(variable*, const argmap& args) { push(moduleapi::varconv(*getarg(args, "arg0"), "BUILTIN_FLOAT")); }

void sizeoffunc(variable*, const argmap& args) {
    variable* target = getarg(args, "arg0");
    std::int32_t size = 0;
    switch (target->identifier) {
    case typeident::builtin_string:
        // One less than the number of characters: compiled programs count on it.
        size = static_cast<std::int32_t>(target->stringval.size()) - 1;
        break;
    case typeident::builtin_list: size = static_cast<std::int32_t>(target->listval.size()); break;
    case typeident::builtin_dict: size = static_cast<std::int32_t>(target->dictval.size()); break;
    default: fail("Can't get size of target with identifier: " + identname(target->identifier), true);
    }
    push(newint(size));
}

void execcmd(variable*, const argmap& args) {
    checksystem();
    variable* result = newint(0);
    const std::string command = textof(args, "arg0");
    // What the program printed so far lands before the command's own output.
    flushstreams();
    result->intval = commandstatus(runshell(command, vm().pipesignalignored));
    push(result);
}

void getattr(variable*, const argmap& args) {
    const std::string name = textof(args, "arg1");
    variable* target = getarg(args, "arg0");
    push(getattribute(target, name)->getvar());
}

void setattr(variable*, const argmap& args) {
    variable* value = getarg(args, "arg2")->getvar();
    variable* target = getarg(args, "arg0");
    const std::string name = textof(args, "arg1");
    target->attributes[name] = value;
}

void hasattr(variable*, const argmap& args) {
    variable* result = newint(0);
    variable* target = getarg(args, "arg0");
    // The name is fetched once per attribute, so an object without attributes never asks for it.
    for (const auto& [name, value] : target->attributes)
        if (textof(args, "arg1") == name) result->intval = 1;
    push(result);
}

}  // namespace T4VM::builtin
