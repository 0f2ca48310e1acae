// Running the machine from a host program: a whole run of one image, on a machine of its own,
// with its output captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vm/sandbox.h"

namespace T4VM {

class debughook;

struct runresult {
    std::string out;
    std::string err;
    int status = 0;
};

struct runoptions {
    std::vector<std::string> args;  // the extra arguments after the image path
    std::string input;              // standard input
    std::string imagepath;          // where the image lies: the descriptor and the map are looked for beside it
    sandboxconfig sandbox;
};

// The t4vm executable: the command line, the process's standard streams, an exit status. A hook
// (debughook.h) watches the run when one is given, as t4db's do.
int runmain(int argc, char** argv, debughook* hook = nullptr);
// Runs one image on a new machine bound to the calling thread for the run, and returns what it
// wrote and how it ended. Machines in other threads may run at the same time.
runresult runimage(const std::vector<std::uint8_t>& image, const runoptions& options);
runresult runimage(const std::vector<std::uint8_t>& image, const std::vector<std::string>& args = {},
                   const std::string& input = "", const std::string& imagepath = "");

}  // namespace T4VM
