// t4asm: assembly text to a program image.
#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include "assembler.h"
#include "fileio.h"
#include "vm/version.h"

namespace {

const char usage[] =
    "usage: t4asm [-g] [-o OUTPUT] INPUT\n"
    "       t4asm --help | -h | --version\n"
    "Assembles INPUT (- for standard input) into a program image written to OUTPUT\n"
    "(- for standard output). Without -o the image goes beside INPUT with the\n"
    "extension .t4b.\n"
    "  -g  also write a source map to OUTPUT.map: the source line and column of every\n"
    "      instruction, which t4dis shows (format in docs/tools.md). The map goes\n"
    "      beside the image, so -g needs OUTPUT to be a file, not -.\n\n";

bool writetext(const std::string& path, const std::string& text) {
    return T4VM::writewhole(path, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

std::string defaultoutput(const std::string& input) {
    std::size_t slash = input.find_last_of('/');
    std::size_t dot = input.find_last_of('.');
    std::string stem = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? input.substr(0, dot) : input;
    return stem + ".t4b";
}

}  // namespace

int main(int argc, char** argv) {
    std::string input, output;
    bool haveinput = false, withmap = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--version") {
            std::cout << "t4asm " << T4VM::versiontext << "\n";
            return 0;
        }
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
        } else if (arg == "-g") {
            withmap = true;
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
    if (withmap && output == "-") {
        std::cerr << "t4asm: -g writes the map beside the image, so it needs -o FILE, not standard output\n";
        return 1;
    }

    auto text = T4VM::readwhole(input);
    if (!text) {
        std::cerr << "t4asm: cannot read " << input << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    try {
        const std::string source = input == "-" ? "<stdin>" : input;
        T4VM::sourcemap map;
        auto image = withmap ? T4VM::assemble(*text, source, map) : T4VM::assemble(*text, source);
        // Made before anything is written, so that a name the map cannot hold leaves no image behind.
        const std::string maptext = withmap ? T4VM::writesourcemap(map) : std::string();
        if (!T4VM::writewhole(output, image)) {
            std::cerr << "t4asm: cannot write " << output << ": " << std::strerror(errno) << "\n";
            return 1;
        }
        if (withmap && !writetext(output + ".map", maptext)) {
            std::cerr << "t4asm: cannot write " << output << ".map: " << std::strerror(errno) << "\n";
            return 1;
        }
    } catch (const T4VM::asmerror& error) {
        std::cerr << error.what() << "\n";
        return 1;
    } catch (const std::invalid_argument& error) {
        std::cerr << "t4asm: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
