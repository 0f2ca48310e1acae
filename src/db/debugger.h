// t4db's interactive debugger: breakpoints by offset, by FILE:LINE or on reports, stepping by
// instruction, over calls and blocks and out of frames, and inspection of the stopped context. It
// reads commands from a stream and writes to standard error, so the program keeps its output.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <set>
#include <string>
#include <vector>

#include "db/inspect.h"
#include "vm/debughook.h"

namespace T4VM::db {

struct breakpoint {
    int number = 0;
    std::string location;           // as the command gave it
    std::set<std::uint64_t> offsets;  // the instructions it stops before
    bool onerror = false;           // stops before a report instead
};

class debugger : public debughook {
public:
    debugger(const programimage& image, std::istream& commands, std::ostream& out, bool prompt);

    // Reads commands until `run` (true) or `quit` or the end of the input (false).
    bool beforerun();
    // Whether `quit` ended the session.
    bool quitting() const { return quit; }

    void beforeinstruction(const codeframe& frame) override;
    void afterinstruction() override {}
    void beforereport(const std::string& message, bool ismodule) override;

private:
    enum class resume { run, step, next, finish };

    // Reads and carries out commands while stopped; returns when one resumes the program.
    void commandloop();
    // Carries out one command line; true when it resumes the program (or starts it).
    bool command(const std::string& line);
    bool resuming(resume how);
    bool wantsstop(std::uint64_t offset, std::string& reason) const;
    void showstop(const std::string& reason, const codeframe& frame, bool before);

    void setbreak(const std::string& location);
    void deletebreak(const std::string& number);
    void listbreaks() const;
    void backtrace() const;
    void stack() const;
    void locals() const;
    void globals() const;
    void print(const std::string& name) const;
    void disassemble() const;
    void tasks() const;
    void help() const;

    const programimage& image;
    std::istream& in;
    std::ostream& out;
    bool prompt;
    std::vector<breakpoint> breaks;
    int nextnumber = 1;
    bool running = false;    // the program has started
    bool stopped = false;    // stopped, before an instruction or a report
    bool atreport = false;   // stopped before a report: every frame is inside its instruction
    bool detached = false;   // the input ended: run to the end without stopping
    bool quit = false;
    resume mode = resume::run;
    const context* from = nullptr;  // where a step, next or finish started
    std::size_t fromdepth = 0;
};

}  // namespace T4VM::db
