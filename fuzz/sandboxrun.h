// How the machine harness runs one input: in the sandbox, with a bounded number of steps, files
// only inside a scratch directory, no shell commands, no sockets and empty standard input. Kept
// apart from the harness so that the comparison of the normal and the plain build
// (tests/plain/sandboxrun.cpp) runs the corpus under exactly these settings.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "finding.h"
#include "vm/sandbox.h"
#include "vm/embed.h"

namespace t4fuzz {

// Enough steps for every seed program; a program that loops ends with a report instead. A build
// that collects garbage every few steps (T4VM_GC_STRESS) marks the whole heap each time, so a
// program growing its heap up to the budget costs steps times heap there: its replay stops
// sooner to stay within the time a test may take.
#ifdef T4VM_GC_STRESS
inline constexpr std::uint64_t budget = 8'000;
#else
inline constexpr std::uint64_t budget = 100'000;
#endif
// Texts past this size end the run with a report: a text doubled every few steps would
// otherwise make each step copy megabytes, and a run take seconds.
inline constexpr std::size_t largesttext = 4096;
// A program writing in a loop could fill the disk; past this size its writes just fail.
inline constexpr rlim_t largestfile = 1 << 20;

namespace sandboxdetail {

namespace fs = std::filesystem;

inline fs::path home;     // the working directory the process had, restored after every input
inline fs::path scratch;  // emptied after every input, removed at exit

inline void removescratch() {
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
}

inline void prepare() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    home = fs::current_path();
    char pattern[] = "/tmp/t4vm-fuzz-XXXXXX";  // one per process: replays may run side by side
    if (::mkdtemp(pattern) == nullptr) finding("cannot make a scratch directory in /tmp");
    scratch = pattern;
    std::atexit(removescratch);
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing the process
}

// Only the soft limit moves, so it can be lifted again after the run.
inline void limitfilesize(bool on) {
    static rlimit original = [] {
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        return limit;
    }();
    rlimit limit = original;
    if (on && (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > largestfile)) limit.rlim_cur = largestfile;
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

inline void emptyscratch() {
    std::error_code failure;
    for (const auto& entry : fs::directory_iterator(scratch, failure)) fs::remove_all(entry.path(), failure);
}

}  // namespace sandboxdetail

// Runs one image to its end in the sandbox; the first call sets the sandbox up for the process.
inline T4VM::runresult runinsandbox(const std::vector<std::uint8_t>& image) {
    namespace detail = sandboxdetail;
    detail::prepare();
    T4VM::runoptions options;
    options.sandbox.instructionbudget = budget;
    options.sandbox.scratchdir = detail::scratch.string();
    options.sandbox.textlimit = largesttext;
    options.sandbox.nosystem = true;
    options.sandbox.nosockets = true;
    // A program's `cd` moves the process; every input starts in the empty scratch directory.
    detail::fs::current_path(detail::scratch);
    detail::limitfilesize(true);
    T4VM::runresult result = T4VM::runimage(image, options);
    detail::limitfilesize(false);
    detail::fs::current_path(detail::home);
    detail::emptyscratch();
    return result;
}

}  // namespace t4fuzz
