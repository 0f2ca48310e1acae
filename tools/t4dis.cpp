// t4dis: a program image back to assembly text.
#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "disassembler.h"
#include "fileio.h"
#include "sourcemap.h"
#include "vm/version.h"

namespace {

const char usage[] =
    "usage: t4dis [--no-map] IMAGE\n"
    "       t4dis --help | -h | --version\n"
    "Prints IMAGE (- for standard input) as assembly text that t4asm turns back into\n"
    "the same bytes, for any input. From the first byte that does not decode as an\n"
    "instruction on, the rest of the image (or of a function body) is listed as .bytes.\n"
    "When a source map IMAGE.map (from t4asm -g) lies beside IMAGE, each line ends with\n"
    "a comment giving its source position, FILE:LINE:COLUMN; --no-map leaves them out.\n";

// The map beside the image, if there is one. A map that is there but cannot be used stops t4dis,
// rather than leave the reader wondering why the positions are missing.
bool readmap(const std::string& image, std::size_t imagesize, std::optional<T4VM::sourcemap>& map) {
    const std::string path = image + ".map";
    errno = 0;
    auto text = T4VM::readwhole(path);
    if (!text) {
        if (errno == ENOENT) return true;
        std::cerr << "t4dis: cannot read " << path << ": " << std::strerror(errno) << "\n";
        return false;
    }
    try {
        map = T4VM::parsesourcemap(*text, path);
    } catch (const T4VM::sourcemaperror& error) {
        std::cerr << "t4dis: " << error.what() << "\nt4dis: --no-map disassembles without the map\n";
        return false;
    }
    if (map->imagesize != imagesize) {
        std::cerr << "t4dis: " << path << " describes an image of " << map->imagesize << " bytes, but " << image
                  << " has " << imagesize << ": the map belongs to another build\n"
                  << "t4dis: --no-map disassembles without the map\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string input;
    bool haveinput = false, nomap = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--version") {
            std::cout << "t4dis " << T4VM::versiontext << "\n";
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        }
        if (arg == "--no-map") {
            nomap = true;
            continue;
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
    std::optional<T4VM::sourcemap> map;
    if (input != "-" && !nomap && !readmap(input, image->size(), map)) return 1;
    std::cout << T4VM::disassemble({reinterpret_cast<const std::uint8_t*>(image->data()), image->size()},
                                   map ? &*map : nullptr);
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "t4dis: cannot write standard output\n";
        return 1;
    }
    return 0;
}
