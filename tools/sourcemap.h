// Source maps: where each instruction of a program image came from in its source text. t4asm -g
// writes them, t4dis shows them, and anything that reports on an image by byte offset can read
// them. The text format is described in docs/tools.md; this library only needs the standard
// library, so the machine itself can link it.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace T4VM {

// The format version this library writes and the only one it reads.
inline constexpr unsigned sourcemapversion = 1;

struct sourceposition {
    std::uint32_t file = 0;    // index into sourcemap::files
    std::uint32_t line = 0;    // from 1
    std::uint32_t column = 0;  // from 1, counted in bytes as the assembler's messages count it

    bool operator==(const sourceposition&) const = default;
};

// A run of image bytes and the source text it was made from. Offsets are absolute in the image.
struct sourcespan {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    sourceposition where;
    // Bytes the source gave as they are (.bytes), rather than an instruction the compiler made.
    bool raw = false;

    std::uint64_t end() const { return offset + length; }
    bool contains(std::uint64_t at) const { return at >= offset && at - offset < length; }
    bool operator==(const sourcespan&) const = default;
};

struct sourcemap {
    std::uint64_t imagesize = 0;
    std::vector<std::string> files;
    // Instructions (operands, and so nested function bodies, included in their length) and raw
    // bytes, ordered by offset. Two spans are either disjoint or one lies inside the other, and
    // raw spans contain nothing.
    std::vector<sourcespan> code;
    // Function bodies: offset is the body's first byte (after its length field), length is the
    // length field; where is the body's opening brace. Ordered by offset, nested or disjoint.
    std::vector<sourcespan> bodies;

    // The innermost instruction or raw span holding the byte at offset, or null.
    const sourcespan* at(std::uint64_t offset) const;
    // The innermost function body holding the byte at offset; null at the top level.
    const sourcespan* bodyat(std::uint64_t offset) const;
    // Offsets of the instructions (not raw spans) that start on the line, in ascending order.
    std::vector<std::uint64_t> offsetsof(std::uint32_t file, std::uint32_t line) const;
    // The index of a file named exactly so, or else of the only file whose name ends in "/" and
    // then this name, so that "prog.tasm" finds "src/prog.tasm".
    std::optional<std::uint32_t> findfile(std::string_view name) const;
    // "FILE:LINE:COLUMN", as the assembler writes its messages.
    std::string describe(const sourceposition& where) const;

    bool operator==(const sourcemap&) const = default;
};

// what() is "NAME:LINE: message" (just "NAME: message" when no single line is at fault).
class sourcemaperror : public std::runtime_error {
public:
    sourcemaperror(std::string_view name, std::size_t line, const std::string& message);

    std::size_t line;  // from 1; 0 when the map as a whole is at fault
    std::string message;
};

// The map in its text form, records in image order; the spans may come in any order. Throws
// std::invalid_argument for a file name the format cannot hold (empty, or with a line break).
// Nothing else is checked: parsesourcemap refuses spans that lie outside the image or cross.
std::string writesourcemap(const sourcemap& map);

// Reads and checks a map (name is used in messages); throws sourcemaperror when it is malformed,
// inconsistent, or of another format version.
sourcemap parsesourcemap(std::string_view text, std::string_view name = "<map>");

}  // namespace T4VM
