// Limits for running program images nobody has vetted (the fuzzers, a service running uploads):
// a cap on instruction steps, a scratch directory that the file and filesystem natives cannot
// leave, and switches for the natives that reach beyond the process. Everything is off by
// default, so a normal run never notices the sandbox. Each machine is given its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>


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

}  // namespace T4VM
