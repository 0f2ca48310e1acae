// The debugger's stops and its command loop. Breakpoints and stepping are decided before each
// instruction; commands only read the machine.
#include "db/debugger.h"

#include <istream>
#include <limits>
#include <ostream>
#include <sstream>

#include "disassembler.h"
#include "vm/native.h"
#include "vm/positions.h"

namespace T4VM::db {

namespace {

std::string trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool isnumber(const std::string& text) {
    return !text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == std::string::npos;
}

// Whether an instruction starts at the offset, as t4dis decodes the image.
bool instructionstarts(const programimage& image, std::uint64_t offset) {
    for (const decodedspan& span : decode(image.bytes).instructions)
        if (span.offset == offset) return true;
    return false;
}

}  // namespace

debugger::debugger(const programimage& image, std::istream& commands, std::ostream& out, bool prompt)
    : image(image), in(commands), out(out), prompt(prompt) {}

bool debugger::beforerun() {
    for (std::string line; !quit;) {
        if (prompt) out << "(t4db) " << std::flush;
        if (!std::getline(in, line)) {
            // The end of the input before any run: nothing more will be asked, so run to the end.
            detached = true;
            return true;
        }
        if (command(line)) return true;
    }
    return false;
}

void debugger::commandloop() {
    stopped = true;
    for (std::string line;;) {
        if (prompt) out << "(t4db) " << std::flush;
        if (!std::getline(in, line)) {
            detached = true;
            out << "End of commands: the program runs to its end.\n";
            break;
        }
        if (command(line)) break;
        if (quit) {
            out << "Quit: the program stops here.\n";
            throw machinestop{0};
        }
    }
    stopped = false;
}

bool debugger::resuming(resume how) {
    if (!running) {
        out << "The program is not running: 'run' starts it.\n";
        return false;
    }
    mode = how;
    from = boundcontext();
    fromdepth = from->codestack.size();
    return true;
}

bool debugger::command(const std::string& line) {
    std::istringstream words(trim(line));
    std::string verb;
    words >> verb;
    std::string argument;
    std::getline(words >> std::ws, argument);
    const bool needsstop = verb == "backtrace" || verb == "bt" || verb == "stack" || verb == "locals" ||
                           verb == "globals" || verb == "print" || verb == "p" || verb == "disassemble" ||
                           verb == "tasks";
    if (needsstop && !stopped) {
        out << "The program is not running: 'run' starts it.\n";
        return false;
    }
    if (verb.empty() || verb[0] == '#') return false;
    if (verb == "break" || verb == "b") {
        if (argument.empty())
            listbreaks();
        else
            setbreak(argument);
    } else if (verb == "delete" || verb == "d") {
        deletebreak(argument);
    } else if (verb == "run" || verb == "r") {
        if (running) {
            out << "The program is already running.\n";
            return false;
        }
        running = true;
        return true;
    } else if (verb == "continue" || verb == "c") {
        return resuming(resume::run);
    } else if (verb == "step" || verb == "s") {
        return resuming(resume::step);
    } else if (verb == "next" || verb == "n") {
        return resuming(resume::next);
    } else if (verb == "finish") {
        return resuming(resume::finish);
    } else if (verb == "backtrace" || verb == "bt") {
        backtrace();
    } else if (verb == "stack") {
        stack();
    } else if (verb == "locals") {
        locals();
    } else if (verb == "globals") {
        globals();
    } else if (verb == "print" || verb == "p") {
        print(argument);
    } else if (verb == "disassemble") {
        disassemble();
    } else if (verb == "tasks") {
        tasks();
    } else if (verb == "help" || verb == "h") {
        help();
    } else if (verb == "quit" || verb == "q") {
        quit = true;
    } else {
        out << "Unknown command '" << verb << "': 'help' lists the commands.\n";
    }
    return false;
}

bool debugger::wantsstop(std::uint64_t offset, std::string& reason) const {
    for (const breakpoint& b : breaks) {
        if (b.offsets.contains(offset)) {
            reason = "Breakpoint " + std::to_string(b.number);
            return true;
        }
    }
    if (mode == resume::run) return false;
    reason = "Stopped";
    const context* here = boundcontext();
    // A step, next or finish follows the context it started in; once that one is no longer
    // scheduled (a stopped task), the next instruction of any context will do.
    if (here != from && contextid(from) >= 0) return false;
    if (here != from || mode == resume::step) return true;
    const std::size_t depth = here->codestack.size();
    return mode == resume::next ? depth <= fromdepth : depth < fromdepth;
}

void debugger::beforeinstruction(const codeframe& frame) {
    if (detached || frame.empty()) return;
    const std::optional<std::uint64_t> offset = frameoffset(frame, true);
    std::string reason;
    if (!offset || !wantsstop(*offset, reason)) return;
    mode = resume::run;
    showstop(reason, frame, true);
    commandloop();
}

void debugger::beforereport(const std::string& message, bool ismodule) {
    if (detached) return;
    bool wanted = false;
    for (const breakpoint& b : breaks) wanted = wanted || b.onerror;
    if (!wanted) return;
    const context& here = *boundcontext();
    out << "Error " << (ismodule ? "within module " : "") << "about to be reported: " << message << "\n";
    atreport = true;
    if (!here.codestack.empty()) showstop("Stopped at the error", here.codestack.back(), false);
    commandloop();
    atreport = false;
    // Whatever the command, the report follows and ends the run.
    mode = resume::run;
}

void debugger::showstop(const std::string& reason, const codeframe& frame, bool before) {
    out << reason << ", context " << contextid(boundcontext()) << ", " << framewhere(image, frame, before) << "\n";
    if (const std::optional<std::uint64_t> offset = frameoffset(frame, before)) {
        const std::string source = sourceline(image, *offset);
        if (!source.empty()) out << "  " << source << "\n";
    }
    const std::string instruction = frameinstructiontext(image, frame, before);
    if (!instruction.empty()) out << "  => " << instruction << "\n";
}

void debugger::setbreak(const std::string& location) {
    breakpoint b;
    b.location = location;
    const std::size_t colon = location.rfind(':');
    if (location == "error") {
        b.onerror = true;
    } else if (isnumber(location)) {
        const std::uint64_t offset = std::stoull(location);
        if (!instructionstarts(image, offset)) {
            out << "No instruction starts at offset " << location << ".\n";
            return;
        }
        b.offsets.insert(offset);
    } else if (colon != std::string::npos && isnumber(location.substr(colon + 1))) {
        const sourcemap* map = image.mapped();
        if (map == nullptr) {
            out << "No source map for " << image.path << ": break at an offset instead.\n";
            return;
        }
        const std::optional<std::uint32_t> file = map->findfile(location.substr(0, colon));
        const std::uint64_t line = std::stoull(location.substr(colon + 1));
        if (!file) {
            out << "No source file " << location.substr(0, colon) << " in the map.\n";
            return;
        }
        // Lines past what a map can hold have no instructions, rather than those of the line they
        // would wrap to.
        if (line <= std::numeric_limits<std::uint32_t>::max())
            for (std::uint64_t offset : map->offsetsof(*file, static_cast<std::uint32_t>(line))) b.offsets.insert(offset);
        if (b.offsets.empty()) {
            out << "No instruction on line " << line << " of " << map->files[*file] << ".\n";
            return;
        }
    } else {
        out << "A breakpoint goes at an OFFSET, a FILE:LINE or 'error'.\n";
        return;
    }
    b.number = nextnumber++;
    out << "Breakpoint " << b.number;
    if (b.onerror) {
        out << " before any error report\n";
    } else {
        out << " at offset";
        for (std::uint64_t offset : b.offsets) {
            const std::string position = sourceposition(image.mapped(), offset);
            out << " " << offset << (position.empty() ? "" : " (" + position + ")");
        }
        out << "\n";
    }
    breaks.push_back(std::move(b));
}

void debugger::deletebreak(const std::string& number) {
    for (auto it = breaks.begin(); it != breaks.end(); ++it) {
        if (isnumber(number) && std::to_string(it->number) == number) {
            breaks.erase(it);
            out << "Deleted breakpoint " << number << "\n";
            return;
        }
    }
    out << "No breakpoint " << number << ".\n";
}

void debugger::listbreaks() const {
    if (breaks.empty()) out << "No breakpoints.\n";
    for (const breakpoint& b : breaks) out << "  " << b.number << "  " << b.location << "\n";
}

void debugger::backtrace() const {
    const context& here = *boundcontext();
    const std::vector<const codeframe*> frames = traceframes(here);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const variable* entry = here.calltrace[here.calltrace.size() - 1 - i];
        out << "  #" << i << "  " << entry->name.str() << ", ";
        if (frames[i] == nullptr) {
            out << "no frame\n";
            continue;
        }
        // The top frame is about to run its instruction; frames below wait in one.
        const bool before = !atreport && frames[i] == &here.codestack.back();
        out << framewhere(image, *frames[i], before) << "\n";
    }
}

void debugger::stack() const {
    const varstack& data = boundcontext()->datastack;
    if (data.empty()) out << "The data stack is empty.\n";
    for (std::size_t i = 0; i < data.size(); ++i) {
        const variable* value = data[data.size() - 1 - i];
        out << "  #" << i << "  " << bindingtext(value->name.str(), value) << "\n";
    }
}

void debugger::locals() const {
    const context& here = *boundcontext();
    if (here.databasestack.empty() || here.databasestack.back().size() == 0) {
        out << "No local variables.\n";
        return;
    }
    for (const auto& [name, value] : here.databasestack.back()) out << "  " << bindingtext(*name, value) << "\n";
}

void debugger::globals() const {
    for (const auto& [name, value] : vm().globalvars) out << "  " << bindingtext(name, value) << "\n";
}

void debugger::print(const std::string& name) const {
    if (name.empty()) {
        out << "print NAME: a local variable, an attribute of the program root or a global.\n";
        return;
    }
    const context& here = *boundcontext();
    // Looked up as loadlocal looks it up: the program root's attributes first, then the frame.
    const variable* root = vm().progroot;
    auto attribute = root->attributes.find(name);
    if (attribute != root->attributes.end()) {
        out << "  " << bindingtext(name, attribute->second) << "  [program root]\n";
        return;
    }
    if (!here.databasestack.empty()) {
        auto local = here.databasestack.back().find(name);
        if (local != here.databasestack.back().end()) {
            out << "  " << bindingtext(name, local->second) << "  [local]\n";
            return;
        }
    }
    auto global = vm().globalvars.find(name);
    if (global != vm().globalvars.end()) {
        out << "  " << bindingtext(name, global->second) << "  [global]\n";
        return;
    }
    out << "No variable " << name << ".\n";
}

void debugger::disassemble() const {
    const context& here = *boundcontext();
    if (here.codestack.empty() || here.codestack.back().body == nullptr) {
        out << "No code.\n";
        return;
    }
    const codeframe& frame = here.codestack.back();
    const std::vector<instruction>& code = frame.body->code;
    const instruction* current = frameinstruction(frame, !atreport);
    const std::size_t at = current == nullptr ? code.size() : static_cast<std::size_t>(current - code.data());
    const std::size_t first = at < 4 ? 0 : at - 4;
    for (std::size_t i = first; i < code.size() && i < at + 5; ++i) {
        const std::uint64_t offset = frame.code.imageoffset() + code[i].offset;
        const std::string position = sourceposition(image.mapped(), offset);
        const std::string number = std::to_string(offset);
        out << (i == at ? "=> " : "   ") << number << std::string(number.size() < 6 ? 6 - number.size() : 0, ' ')
            << instructiontext(image, offset, code[i].next - code[i].offset)
            << (position.empty() ? "" : "  ; " + position) << "\n";
    }
}

void debugger::tasks() const {
    for (const auto& [id, which] : vm().threads) {
        const bool bound = which == boundcontext();
        out << (bound ? "* " : "  ") << id << (id == 0 && which == vm().maincontext ? " main program" : " task");
        if (which->codestack.empty()) {
            out << ", no code\n";
            continue;
        }
        // Contexts other than the stopped one are between steps: their next instruction.
        out << ", " << which->codestack.size() << " frames, "
            << framewhere(image, which->codestack.back(), !(bound && atreport)) << "\n";
    }
}

void debugger::help() const {
    out << "Commands (before 'run', only break, delete, run, help and quit):\n"
           "  break OFFSET | FILE:LINE | error   stop before that instruction, that line, or a report\n"
           "  break                              list the breakpoints\n"
           "  delete N                           remove breakpoint N\n"
           "  run                                start the program\n"
           "  continue                           run to the next breakpoint or the end\n"
           "  step                               run one instruction of this context\n"
           "  next                               the same, over calls and blocks\n"
           "  finish                             run until the current frame has closed\n"
           "  backtrace                          the call trace with positions\n"
           "  stack                              the data stack, top first, with values\n"
           "  locals                             the variables of the current frame\n"
           "  globals                            the global variables\n"
           "  print NAME                         a variable, found as loadlocal finds it, or a global\n"
           "  disassemble                        the instructions around the current one\n"
           "  tasks                              the running contexts and where each stands\n"
           "  quit                               stop the program and leave\n";
}

}  // namespace T4VM::db
