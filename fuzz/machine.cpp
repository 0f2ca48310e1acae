// Arbitrary bytes as a program image, run to the end in the sandbox: a bounded number of steps,
// files only inside a scratch directory, no shell commands, no sockets, empty standard input.
// Every run must end the way a program can end: with the closing line, or with a report.
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
#include "vm/vm.h"

namespace {

namespace fs = std::filesystem;

// Enough steps for every seed program; a program that loops ends with a report instead. A build
// that collects garbage every few steps (T4VM_GC_STRESS) marks the whole heap each time, so a
// program growing its heap up to the budget costs steps times heap there: its replay stops
// sooner to stay within the time a test may take.
#ifdef T4VM_GC_STRESS
constexpr std::uint64_t budget = 8'000;
#else
constexpr std::uint64_t budget = 100'000;
#endif
// Texts past this size end the run with a report: a text doubled every few steps would
// otherwise make each step copy megabytes, and a run take seconds.
constexpr std::size_t largesttext = 4096;
// A program writing in a loop could fill the disk; past this size its writes just fail.
constexpr rlim_t largestfile = 1 << 20;

fs::path home;     // the working directory the process had, restored after every input
fs::path scratch;  // emptied after every input, removed at exit

void removescratch() {
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
}

void prepare() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    home = fs::current_path();
    char pattern[] = "/tmp/t4vm-fuzz-XXXXXX";  // one per process: replays may run side by side
    if (::mkdtemp(pattern) == nullptr) t4fuzz::finding("cannot make a scratch directory in /tmp");
    scratch = pattern;
    std::atexit(removescratch);
    T4VM::sandbox.instructionbudget = budget;
    T4VM::sandbox.scratchdir = scratch.string();
    T4VM::sandbox.textlimit = largesttext;
    T4VM::sandbox.nosystem = true;
    T4VM::sandbox.nosockets = true;
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing the process
}

// Only the soft limit moves, so it can be lifted again after the run.
void limitfilesize(bool on) {
    static rlimit original = [] {
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        return limit;
    }();
    rlimit limit = original;
    if (on && (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > largestfile)) limit.rlim_cur = largestfile;
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

void emptyscratch() {
    std::error_code failure;
    for (const auto& entry : fs::directory_iterator(scratch, failure)) fs::remove_all(entry.path(), failure);
}

void checkending(const T4VM::runresult& result) {
    if (result.status == 0) {
        if (result.out.find("<TARN 4> Program finished") == std::string::npos)
            t4fuzz::finding("status 0 without the closing line");
    } else if (result.status == 1) {
        if (result.err.find("TARN 4 VM error") == std::string::npos)
            t4fuzz::finding("status 1 without an error report");
    } else {
        t4fuzz::finding("status " + std::to_string(result.status) + " is neither 0 nor 1");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    prepare();
    // A program's `cd` moves the process; every input starts in the empty scratch directory.
    fs::current_path(scratch);
    limitfilesize(true);
    const T4VM::runresult result = T4VM::runimage(std::vector<T4VM::byte>(data, data + size));
    limitfilesize(false);
    fs::current_path(home);
    emptyscratch();
    checkending(result);
    return 0;
}
