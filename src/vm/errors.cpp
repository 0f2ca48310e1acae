// Error reports and the end of a program. Both end the run by unwinding to whoever runs the
// machine (main or the embedding entry point) after flushing every stream, so no written data is
// lost and the process ends with a plain exit status: 0 after the closing line, 1 after a report.
#include <optional>
#include <ostream>

#include "vm/debughook.h"
#include "vm/machine.h"
#include "vm/positions.h"

namespace T4VM {

namespace {

void hexbyte(std::string& out, byte value) {
    static const char digits[] = "0123456789abcdef";
    if (value >= 16) out.push_back(digits[value >> 4]);
    out.push_back(digits[value & 15]);
    out.push_back(' ');
}

// How many entries of a section a dump shows, at each end, when a report asks for only the ends:
// a report about a million nested frames is read at its innermost and outermost frames, and
// writing the rest would only bury them.
constexpr std::size_t shownends = 50;

// Whether the entry `index` from the top (0 the innermost) of a section of `size` entries is
// shown; with `abridged`, the line saying how many were left out stands in for the middle.
bool shown(std::size_t index, std::size_t size, bool abridged) {
    return !abridged || size <= 2 * shownends || index < shownends || index >= size - shownends;
}

void leftout(std::string& out, std::size_t index, std::size_t size, bool abridged, const char* what) {
    if (abridged && size > 2 * shownends && index == shownends)
        out += "... " + std::to_string(size - 2 * shownends) + " " + what + " left out ...\n";
}

// The state dump consumes what it prints: the code frames, the call trace and the data stack.
std::string statedump(bool abridged) {
    std::string out = "Codestack: \n";
    auto& frames = codestack.get();
    const std::size_t framecount = frames.size();
    for (std::size_t index = 0; !frames.empty(); ++index) {
        leftout(out, index, framecount, abridged, "frames");
        if (shown(index, framecount, abridged)) {
            const codeframe& frame = frames.back();
            for (std::size_t i = frame.pc; i < frame.code.size(); ++i) hexbyte(out, frame.code[i]);
            out += "\n-------------------------\n";
        }
        frames.pop_back();
    }
    out += "\n";

    auto& trace = calltrace.get();
    if (!trace.empty()) {
        out += "Calltrace: \n  > " + trace.back()->name + "\n";
        trace.pop_back();
        const std::size_t entrycount = trace.size();
        for (std::size_t index = 0; !trace.empty(); ++index) {
            leftout(out, index, entrycount, abridged, "calls");
            if (shown(index, entrycount, abridged)) {
                out += trace.size() == 1 ? "  < " : "/\\ ";
                out += trace.back()->name + " of identifier: " + identname(trace.back()->identifier) + "\n";
            }
            trace.pop_back();
        }
    }

    auto& data = datastack.get();
    if (!data.empty()) {
        out += "Datastack is as follows:\n";
        while (!data.empty()) {
            out += data.back()->name + " with identifier " + identname(data.back()->identifier) + "\n";
            data.pop_back();
        }
    }
    return out;
}

// With a source map, the lines after the dump that say where each call-trace entry stands in the
// source, innermost first. Read before the dump consumes the frames and the call trace; abridged
// as the dump's call trace is.
std::string positionlines(bool abridged) {
    const machine& m = vm();
    if (!m.imagemap) return "";
    const std::vector<std::string> positions = tracepositions(*boundcontext(), m.imagemap.get());
    std::string out;
    for (std::size_t index = 0; index < positions.size(); ++index) {
        leftout(out, index, positions.size(), abridged, "positions");
        if (shown(index, positions.size(), abridged)) out += "  at " + positions[index] + "\n";
    }
    return out;
}

// The run ends with a report anyway; data that could not be written still gets a line of its own,
// so nobody takes the files for complete.
void reportlostwrites() {
    std::ostream& err = *vm().err;
    for (std::string lost = writeoutfiles(); !lost.empty(); lost = writeoutfiles())
        err << "TARN 4 VM error: " << lost << std::endl;
    const std::string lost = writeoutstdout();
    if (!lost.empty()) err << "TARN 4 VM error: " << lost << std::endl;
}

void report(const std::string& target, bool ismodule, bool abridged) {
    machine& m = vm();
    if (m.hook != nullptr) m.hook->beforereport(target, ismodule);
    m.out->flush();  // what the program printed comes before the report on a shared terminal
    std::ostream& err = *m.err;
    err << "TARN 4 VM error" << (ismodule ? " within module" : "") << ": " << target << std::endl;
    if (!m.silent) {
        const std::string positions = positionlines(abridged);
        err << statedump(abridged) << positions << std::flush;
    }
    codestack->clear();
    if (!m.noterminate) {
        reportlostwrites();
        flushstreams();
        throw machinestop{1};
    }
}

}  // namespace

void error(const std::string& target, bool ismodule) { report(target, ismodule, false); }

void fail(const std::string& target, bool ismodule) {
    error(target, ismodule);
    throw instructionabort{};
}

void failabridged(const std::string& target) {
    report(target, false, true);
    throw instructionabort{};
}

void exitprogram() {
    // A program whose data did not reach its files has not finished: the report takes the place
    // of the closing line. (error returns only with noterminate.)
    if (!vm().finished) {
        const std::string lost = writeoutfiles();
        if (!lost.empty()) {
            error(lost, false);
            return;
        }
    }
    std::optional<std::int32_t>& code = vm().closingcode;
    if (!vm().finished && !datastack->empty() && datastack->back()->identifier == typeident::builtin_int)
        code = datastack->back()->intval;
    if (!vm().silent && !vm().finished) {
        std::ostream& out = *vm().out;
        out << std::endl;
        if (code)
            out << "<TARN 4> Program finished with code " << *code << "\n";
        else
            out << "<TARN 4> Program finished.\n";
    }
    // The closing line itself may be what does not fit: that is reported on the standard error.
    const std::string lost = writeoutstdout();
    if (!lost.empty()) {
        error(lost, false);
        return;
    }
    if (!vm().noterminate) {
        flushstreams();
        throw machinestop{0};
    }
    vm().finished = true;
}


}  // namespace T4VM
