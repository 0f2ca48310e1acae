// t4dis: a program image back to assembly text.
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

#include "disassembler.h"
#include "fileio.h"

namespace {

const char usage[] =
    "usage: t4dis IMAGE\n"
    "Prints IMAGE (- for standard input) as assembly text that t4asm turns back into\n"
    "the same bytes, for any input. From the first byte that does not decode as an\n"
    "instruction on, the rest of the image (or of a function body) is listed as .bytes.\n";

}  // namespace

int main(int argc, char** argv) {
    std::string input;
    bool haveinput = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        }
        if ((arg.size() > 1 && arg[0] == '-') || haveinput) {
            std::cerr << "t4dis: unexpected argument " << arg << "\n" << usage;
            return 1;
        }
        input = arg;
        haveinput = true;
    }
    if (!haveinput) {
        std::cerr << usage;
        return 1;
    }
    auto image = T4VM::readwhole(input);
    if (!image) {
        std::cerr << "t4dis: cannot read " << input << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    std::cout << T4VM::disassemble({reinterpret_cast<const std::uint8_t*>(image->data()), image->size()});
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "t4dis: cannot write standard output\n";
        return 1;
    }
    return 0;
}
