// Program image to assembly text that t4asm turns back into the identical bytes, whatever the bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace T4VM {

struct sourcemap;

// With a map, every instruction line and .bytes line whose first byte the map places gets its
// source position as a trailing comment, "; FILE:LINE:COLUMN"; without one the text is the same
// less those comments.
std::string disassemble(std::span<const std::uint8_t> image, const sourcemap* map = nullptr);

struct decodedspan {
    std::size_t offset;
    std::size_t length;

    bool operator==(const decodedspan&) const = default;
};

// What disassemble prints as instructions rather than .bytes, nested ones included, and the
// function bodies in their operands (from the byte after the length field), each by offset.
struct decoding {
    std::vector<decodedspan> instructions;
    std::vector<decodedspan> bodies;
};

decoding decode(std::span<const std::uint8_t> image);

}  // namespace T4VM
