// Running the machine from a host program: a whole run of one image, on a machine of its own,
// with its output captured or handed on as it is written. The public embedding library
// (include/t4vm/t4vm.h) is built over this.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "vm/sandbox.h"

namespace T4VM {

class debughook;

struct runresult {
    std::string out;  // what the run wrote, unless it wrote to a stream of the host's
    std::string err;
    int status = 0;
    std::optional<std::int32_t> code;  // the closing code of a run that ended with status 0
};

struct runoptions {
    std::vector<std::string> args;  // the extra arguments after the image path
    std::string input;              // standard input
    std::string imagepath;          // where the image lies: the descriptor and the map are looked for beside it
    sandboxconfig sandbox;
};

// What a host program gives a run beyond the options.
struct hostsetup {
    // Streams of the host's, used instead of the captured output and `input` when given; output
    // reaches them as the program writes it.
    std::ostream* out = nullptr;
    std::ostream* err = nullptr;
    std::istream* in = nullptr;
    // Runs on the bound machine once the program root and the built-in modules are made, before
    // the first instruction: where a host attaches modules of its own.
    std::function<void()> attach{};
};

// The t4vm executable: the command line, the process's standard streams, an exit status. A hook
// (debughook.h) watches the run when one is given, as t4db's do.
int runmain(int argc, char** argv, debughook* hook = nullptr);
// Runs one image on a new machine bound to the calling thread for the run, and returns what it
// wrote and how it ended. Machines in other threads may run at the same time.
runresult runimage(const std::vector<std::uint8_t>& image, const runoptions& options, const hostsetup& host = {});
runresult runimage(const std::vector<std::uint8_t>& image, const std::vector<std::string>& args = {},
                   const std::string& input = "", const std::string& imagepath = "");
// Reads the image at `path` (options.imagepath is not used) and runs it as runimage does; an
// image that cannot be opened or read ends the run with t4vm's report about it.
runresult runimagefile(const std::string& path, const runoptions& options, const hostsetup& host = {});

}  // namespace T4VM
