// The native interface: what a native function, and a module of natives under additions/, may
// use of the machine. Natives take their arguments from the argument map, work on values, and
// return a result by pushing one value onto the data stack; failures are reported through `fail`.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vm/context.h"
#include "vm/value.h"

namespace T4VM {

// Program end and failures. Both write their text, then end the run: the process under main, the
// embedding entry point otherwise. With `noterminate` set they return instead.
void exitprogram();
void error(const std::string& target, bool ismodule);

// Thrown by exitprogram and error to unwind to whoever runs the machine.
struct machinestop {
    int status;
};
// Thrown after an error report that returned (only with `noterminate`): the instruction that met
// the failure ends there and never uses the value that was missing.
struct instructionabort {};
// Reports through error and never comes back to the caller.
[[noreturn]] void fail(const std::string& target, bool ismodule);
// Reports like fail, but the dump shows only the innermost and outermost code frames and calls,
// with a line saying how many were left out: for failures that come with enormous stacks.
[[noreturn]] void failabridged(const std::string& target);

// The program root of the machine bound to the calling thread: where modules attach themselves.
variable* getprogroot();

// Keeps a native object (an endpoint, a stream) for as long as the machine lives. Values that hold
// it refer to it by a plain pointer, since copies of a value share its native objects; the machine
// releases it when it ends.
void keepnative(std::shared_ptr<void> object);
template <typename T>
T* keepnative(std::unique_ptr<T> object) {
    T* kept = object.get();
    keepnative(std::shared_ptr<void>(std::move(object)));
    return kept;
}

// The checks the host-facing natives make before anything else, against the limits the machine was
// given for images nobody has vetted. Each returns only when the operation is allowed, and
// otherwise reports as a module failure.
void checkpath(const std::string& operation, const std::string& path);
void checksystem();
void checksockets();
// Paths as the system sees them end at their first NUL byte, so one holding such a byte would name
// another file than the program's: the natives refuse them.
inline bool holdsnul(const std::string& path) { return path.find('\0') != std::string::npos; }
// A path as reports show it: a NUL byte is written as \0.
std::string shownpath(const std::string& path);
// The largest text a run may make.
std::size_t textlimit();

namespace moduleapi {

variable* gettopvar();
void goout();
void gointo(variable* target);
variable* getattribute(variable* target, const std::string& name);
variable* getarg(const argmap& args, std::string_view target);
variable* Lgetindex(const listelements& L, std::int32_t index);
void Lsetindex(listelements& L, std::int32_t index, variable* val);
variable* varconv(variable& target, const std::string& newtype);
bool Dcontains(const dictmap& D, const variable& element);
variable* Dgetindex(const dictmap& D, variable& index);
void Dsetindex(dictmap& D, variable* key, variable* val);
variable* Duplicatevar(variable* target);
variable& gettargetpntr(variable* target);
variable* getlocalvar(const std::string& target);
variable* getglobalvar(const std::string& target);

// The kind a native object of type T is stored under; specialised beside each native type.
template <typename T>
struct paramkindof;

template <typename T>
T& getparam(const parammap& params, const std::string& target) {
    auto it = params.find(target);
    if (it == params.end() || it->second.kind != paramkindof<T>::value) {
        fail("No such param: " + target, true);
    }
    return *static_cast<T*>(it->second.pointer);
}

}  // namespace moduleapi

}  // namespace T4VM
