// The machine's door for tools that watch a run: a debugger, a tracer, a profiler. A hook attached
// to a machine is called from the execution cycle around every step and before every report; with
// none attached the cycle pays one test of a pointer per step. An attached hook also turns off the
// shortcuts of shortcuts.h, so what it sees is exactly what the plain copy rules give.
#pragma once

#include <string>

#include "vm/context.h"

namespace T4VM {

class debughook {
public:
    virtual ~debughook() = default;
    // The bound context is about to take a step on `frame`, its top code frame: the instruction at
    // frame.ip, or the close of the frame when it is empty. The hook may read anything the machine
    // holds, but changes nothing.
    virtual void beforeinstruction(const codeframe& frame) = 0;
    // That step is over, with the work its closed frames left done; also when the step ended the
    // run or made a report (which consumed the state it dumped), before the run unwinds.
    virtual void afterinstruction() = 0;
    // A report is about to be written: the state it will dump, and consume, is still whole.
    virtual void beforereport(const std::string& message, bool ismodule) = 0;
};

}  // namespace T4VM
