// Any bytes at all disassemble into text that assembles back into exactly those bytes.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "assembler.h"
#include "disassembler.h"
#include "finding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> image(data, size);
    const std::string text = T4VM::disassemble(image);
    std::vector<std::uint8_t> again;
    try {
        again = T4VM::assemble(text, "<disassembly>");
    } catch (const T4VM::asmerror& failure) {
        t4fuzz::finding(std::string("the disassembly does not assemble: ") + failure.what());
    }
    if (!std::ranges::equal(image, again))
        t4fuzz::finding("the disassembly assembles into other bytes: " + t4fuzz::firstdifference(image, again));
    return 0;
}
