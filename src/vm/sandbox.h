// Limits for running program images nobody has vetted (the fuzzers, a service running uploads):
// a cap on instruction steps, a scratch directory that the file and filesystem natives cannot
// leave, and switches for the natives that reach beyond the process. Everything is off by
// default, so a normal run never notices the sandbox.
#pragma once

#include <cstdint>
#include <string>

#include "vm/vm.h"

namespace T4VM {

struct sandboxconfig {
    // Instruction steps a run may take, counted over all its contexts; 0 means no limit.
    std::uint64_t instructionbudget = 0;
    // When set, `open` and the filesystem methods take only relative paths without a ".."
    // component, and only while the working directory lies inside this directory, so every path
    // they touch stays below it. Programs cannot make symbolic links, so none lead out unless the
    // embedder put them there.
    std::string scratchdir;
    bool nosystem = false;   // `system` reports instead of running a shell command
    bool nosockets = false;  // socket clients and servers report instead of connecting or listening
    // Bytes one text made by `add` or a text form may have; 0 means the machine's own limit.
    // Untrusted programs doubling a text every few steps would otherwise spend their whole
    // budget copying tens of megabytes.
    std::size_t textlimit = 0;
    // Bytes the live values of a run may take (their objects, texts and container storage); 0
    // means the machine's own limit.
    std::size_t heaplimit = 0;
};

// Set once by whoever embeds the machine; a machine reset leaves it as it is.
extern sandboxconfig sandbox;

// The largest text a run may make.
inline std::size_t textlimit() { return sandbox.textlimit != 0 ? sandbox.textlimit : maxtextsize; }

// The most bytes the live values of a run may take.
inline std::size_t heaplimit() { return sandbox.heaplimit != 0 ? sandbox.heaplimit : maxheapbytes; }

// Steps taken since the last machine reset.
extern std::uint64_t stepstaken;

[[noreturn]] void budgetexhausted();

// Charged once per instruction step; the step past the budget ends the run with a report.
inline void chargestep() {
    if (sandbox.instructionbudget != 0 && ++stepstaken > sandbox.instructionbudget) budgetexhausted();
}

// Paths as the system sees them end at their first NUL byte, so one holding such a byte would name
// another file than the program's: the natives refuse them.
inline bool holdsnul(const std::string& path) { return path.find('\0') != std::string::npos; }
// A path as reports show it: a NUL byte is written as \0.
std::string shownpath(const std::string& path);

// The checks the host-facing natives make before anything else. Each returns only when the
// operation is allowed, and otherwise reports as a module failure.
void checkpath(const std::string& operation, const std::string& path);
void checksystem();
void checksockets();

}  // namespace T4VM
