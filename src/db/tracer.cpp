// The trace: each line is begun before its instruction and ended with the top of the data stack
// after it, so a report or the end of the run can end it too.
#include "db/tracer.h"

#include <ostream>

#include "vm/positions.h"

namespace T4VM::db {

void tracer::beforeinstruction(const codeframe& frame) {
    // The close of a frame runs no instruction of the program.
    if (frame.empty()) return;
    const std::optional<std::uint64_t> offset = frameoffset(frame, true);
    if (!offset) return;
    const std::string position = sourceposition(image.mapped(), *offset);
    pending = std::to_string(contextid(boundcontext())) + " | " + std::to_string(*offset) + " | " +
              (position.empty() ? "-" : position) + " | " + frameinstructiontext(image, frame, true) + " | ";
}

void tracer::afterinstruction() {
    if (pending.empty()) return;
    const varstack& data = boundcontext()->datastack;
    finishline(data.empty() ? "(empty)" : valuetext(data.back()));
}

void tracer::beforereport(const std::string&, bool) {
    // The report writes next: the line goes first, and the state it would show is about to go.
    if (!pending.empty()) finishline("(report)");
}

void tracer::finishline(const std::string& top) {
    out << (pending + top + '\n');  // one write a line: standard error is unbuffered
    pending.clear();
    ++written;
}

}  // namespace T4VM::db
