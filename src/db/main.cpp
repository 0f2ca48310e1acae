// t4db: runs a program image on the machine with a hook attached, as a debugger reading commands,
// as a tracer or as a profiler. Its own output goes to standard error; the program's standard
// output, standard error and exit status are those t4vm would give.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "db/debugger.h"
#include "db/profiler.h"
#include "db/tracer.h"
#include "vm/embed.h"
#include "vm/version.h"

namespace {

using namespace T4VM;
using namespace T4VM::db;

// t4db's own failures, told apart from the program's statuses 0 and 1.
constexpr int usagestatus = 2;

const char usage[] =
    "usage: t4db [-x COMMANDS] IMAGE                debug: commands from standard input or COMMANDS\n"
    "       t4db --trace IMAGE                      a line per instruction executed\n"
    "       t4db --profile [--profile-out FILE] IMAGE\n"
    "                                               counts and times per function and opcode; FILE\n"
    "                                               gets folded stacks\n"
    "       t4db --help | -h | --version\n"
    "While a program runs, everything t4db writes goes to standard error; 'help' inside the debugger\n"
    "lists its commands. Exit status: the program's, or 2 for a bad command line or an unreadable image.\n";

struct options {
    enum class mode { debug, trace, profile } what = mode::debug;
    std::string image;
    std::string commands;  // a file of debugger commands, instead of standard input
    std::string foldedout;
};

bool parse(int argc, char** argv, options& chosen) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasvalue = i + 1 < args.size();
        if (arg == "--trace") {
            chosen.what = options::mode::trace;
        } else if (arg == "--profile") {
            chosen.what = options::mode::profile;
        } else if (arg == "--profile-out" && hasvalue) {
            chosen.what = options::mode::profile;
            chosen.foldedout = args[++i];
        } else if (arg == "-x" && hasvalue) {
            chosen.commands = args[++i];
        } else if (arg.starts_with("-") || !chosen.image.empty()) {
            return false;
        } else {
            chosen.image = arg;
        }
    }
    return !chosen.image.empty() && (chosen.commands.empty() || chosen.what == options::mode::debug);
}

// The run itself, as t4vm makes it.
int runwith(const std::string& image, debughook& hook) {
    std::string program = "t4vm";
    std::string path = image;
    char* argv[] = {program.data(), path.data(), nullptr};
    return runmain(2, argv, &hook);
}

int debug(const programimage& image, const options& chosen) {
    std::ifstream file;
    if (!chosen.commands.empty()) {
        // A directory opens, and reading it would look like an empty list of commands.
        std::error_code failure;
        if (!std::filesystem::is_directory(chosen.commands, failure)) file.open(chosen.commands);
        if (!file.is_open()) {
            std::cerr << "t4db: cannot read " << chosen.commands << "\n";
            return usagestatus;
        }
    }
    std::istream& commands = chosen.commands.empty() ? std::cin : file;
    debugger session(image, commands, std::cerr, chosen.commands.empty() && isatty(STDIN_FILENO) != 0);
    if (!session.beforerun()) return 0;
    const int status = runwith(image.path, session);
    if (!session.quitting()) std::cerr << "The program ended with status " << status << ".\n";
    return status;
}

int profile(const programimage& image, const options& chosen) {
    // Opened before the run, so that a file that cannot be made is told before the program runs;
    // a profile that was asked for and not written is t4db's failure, not the program's success.
    std::ofstream out;
    if (!chosen.foldedout.empty()) {
        out.open(chosen.foldedout);
        if (!out.is_open()) {
            std::cerr << "t4db: cannot write " << chosen.foldedout << "\n";
            return usagestatus;
        }
    }
    profiler counts(image);
    const int status = runwith(image.path, counts);
    counts.finish();
    counts.report(std::cerr);
    if (out.is_open()) {
        counts.folded(out);
        out.close();
        if (!out) {
            std::cerr << "t4db: cannot write " << chosen.foldedout << "\n";
            return usagestatus;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // The machine unties the standard streams from C's when it starts; done later, after commands
    // were read, whatever C had buffered of the input would be lost.
    std::ios::sync_with_stdio(false);
    // Asked for, help and the version go to standard output like the other tools': no program runs.
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << usage;
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "t4db " << versiontext << "\n";
        return 0;
    }
    options chosen;
    if (!parse(argc, argv, chosen)) {
        std::cerr << usage;
        return usagestatus;
    }
    programimage image;
    std::string why;
    if (!loadimage(chosen.image, image, why)) {
        std::cerr << "t4db: " << why << "\n";
        return usagestatus;
    }
    if (!image.mapproblem.empty()) std::cerr << "t4db: the map is left out: " << image.mapproblem << "\n";
    switch (chosen.what) {
    case options::mode::trace: {
        tracer lines(image, std::cerr);
        return runwith(image.path, lines);
    }
    case options::mode::profile: return profile(image, chosen);
    default: return debug(image, chosen);
    }
}
