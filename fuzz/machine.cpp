// Arbitrary bytes as a program image, run to the end in the sandbox (sandboxrun.h): a bounded
// number of steps, files only inside a scratch directory, no shell commands, no sockets, empty
// standard input. Every run must end the way a program can end: with the closing line, or with a
// report.
#include <cstdint>
#include <string>
#include <vector>

#include "finding.h"
#include "sandboxrun.h"
#include "vm/embed.h"

namespace {

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
    checkending(t4fuzz::runinsandbox(std::vector<std::uint8_t>(data, data + size)));
    return 0;
}
