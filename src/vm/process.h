// What the t4vm executable settles with the process it runs in before a program starts: the
// standard descriptors, the signal a closed pipe raises, and the standard output the machine
// writes through. The embedding entry point leaves all of this to its host.
#pragma once

#include <ostream>
#include <string>

namespace T4VM {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so no file a program
// opens can take one of them and receive the machine's output or reports.
void guardstandarddescriptors();
// A reader that has gone away no longer ends the process: writes to it fail with EPIPE, and the
// machine stops writing there and runs on.
void ignorebrokenpipes();
// std::system with the default action for SIGPIPE in the command when the machine ignored the
// signal for itself (`pipesignalignored`); a host's own setting is left alone.
int runshell(const std::string& command, bool pipesignalignored);

}  // namespace T4VM
