// t4asm: assembly text to a program image.
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

#include "assembler.h"
#include "fileio.h"

namespace {

const char usage[] =
    "usage: t4asm [-o OUTPUT] INPUT\n"
    "Assembles INPUT (- for standard input) into a program image written to OUTPUT\n"
    "(- for standard output). Without -o the image goes beside INPUT with the\n"
    "extension .t4b.\n\n";

std::string defaultoutput(const std::string& input) {
    std::size_t slash = input.find_last_of('/');
    std::size_t dot = input.find_last_of('.');
    std::string stem = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? input.substr(0, dot) : input;
    return stem + ".t4b";
}

}  // namespace

int main(int argc, char** argv) {
    std::string input, output;
    bool haveinput = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usage << T4VM::assemblysyntax;
            return 0;
        }
        if (arg == "-o") {
            if (++i == argc) {
                std::cerr << "t4asm: -o needs a file name\n";
                return 1;
            }
            output = argv[i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::cerr << "t4asm: unknown option " << arg << "\n" << usage;
            return 1;
        } else if (haveinput) {
            std::cerr << "t4asm: only one input file is accepted\n";
            return 1;
        } else {
            input = arg;
            haveinput = true;
        }
    }
    if (!haveinput) {
        std::cerr << usage;
        return 1;
    }
    if (output.empty()) {
        if (input == "-") {
            std::cerr << "t4asm: reading standard input needs -o\n";
            return 1;
        }
        output = defaultoutput(input);
    }

    auto text = T4VM::readwhole(input);
    if (!text) {
        std::cerr << "t4asm: cannot read " << input << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    try {
        auto image = T4VM::assemble(*text, input == "-" ? "<stdin>" : input);
        if (!T4VM::writewhole(output, image)) {
            std::cerr << "t4asm: cannot write " << output << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    } catch (const T4VM::asmerror& error) {
        std::cerr << error.what() << "\n";
        return 1;
    }
    return 0;
}
