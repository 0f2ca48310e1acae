// Arbitrary text through the assembler. Rejecting it with an asmerror is fine, as long as the
// error points into the text; whatever it accepts must survive the disassembler unchanged, and its
// source map must be one the map reader accepts and reads back the same.
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "assembler.h"
#include "disassembler.h"
#include "finding.h"
#include "sourcemap.h"

namespace {

// The line and column of an error name a position inside the text or just past its end.
void checkposition(std::string_view text, const T4VM::asmerror& failure) {
    std::size_t linestart = 0;
    for (int line = 1; line < failure.line; ++line) {
        const std::size_t newline = text.find('\n', linestart);
        if (newline == std::string_view::npos)
            t4fuzz::finding(std::string("error beyond the last line: ") + failure.what());
        linestart = newline + 1;
    }
    const std::size_t lineend = std::min(text.find('\n', linestart), text.size());
    if (failure.line < 1 || failure.column < 1 || std::size_t(failure.column - 1) > lineend - linestart)
        t4fuzz::finding(std::string("error column outside its line: ") + failure.what());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::uint8_t> image;
    try {
        image = T4VM::assemble(text, "<fuzz>");
    } catch (const T4VM::asmerror& failure) {
        checkposition(text, failure);
        return 0;
    }
    const std::string listing = T4VM::disassemble(image);
    std::vector<std::uint8_t> again;
    try {
        again = T4VM::assemble(listing, "<disassembly>");
    } catch (const T4VM::asmerror& failure) {
        t4fuzz::finding(std::string("the disassembly of an assembled image does not assemble: ") + failure.what());
    }
    if (image != again)
        t4fuzz::finding("the disassembly of an assembled image assembles into other bytes: " +
                        t4fuzz::firstdifference(image, again));
    T4VM::sourcemap map;
    if (T4VM::assemble(text, "<fuzz>", map) != image) t4fuzz::finding("assembling with a source map changes the image");
    try {
        if (T4VM::parsesourcemap(T4VM::writesourcemap(map)) != map) t4fuzz::finding("the source map reads back otherwise");
    } catch (const T4VM::sourcemaperror& failure) {
        t4fuzz::finding(std::string("the assembler's source map is refused: ") + failure.what());
    }
    return 0;
}
