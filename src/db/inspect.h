// What t4db shows of a running machine, shared by the debugger, the tracer and the profiler: the
// image with its map, context ids, values as text, instructions as t4dis prints them, and where a
// frame stands.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sourcemap.h"
#include "vm/decode.h"
#include "vm/machine.h"

namespace T4VM::db {

// The image being run, read once more by the tool, and its map when one fits.
struct programimage {
    std::string path;
    std::vector<std::uint8_t> bytes;
    std::shared_ptr<const sourcemap> map;
    std::string mapproblem;  // why a map beside the image was not used; empty when none was there
    // The lines of the source files the map names, read when a stop first shows one of them.
    mutable std::map<std::string, std::vector<std::string>> sourcecache;

    const sourcemap* mapped() const { return map.get(); }
};

// Reads the image and its map; false (with a message in `why`) when the image cannot be read.
bool loadimage(const std::string& path, programimage& image, std::string& why);

// The id a context runs under in the machine's table, or -1 when it is not scheduled (a stopped
// task).
int contextid(const context* which);

// A value as a person reads it: numbers as numbers, texts quoted with escapes, lists and
// dictionaries as their elements (cut short when long or deep), other objects by their kind.
std::string valuetext(const variable* value);
// "NAME = VALUE (IDENTIFIER)"
std::string bindingtext(const std::string& name, const variable* value);

// The instruction of `bytes` starting at `offset` (its length given) as t4dis prints it, on one
// line: an operand holding function bodies is shown up to the first body's brace.
std::string instructiontext(const programimage& image, std::uint64_t offset, std::uint64_t length);

// The instruction a frame will run next (`before`, the top frame between steps) or is running
// (frames below the top, which wait in a call, or any frame while a report is made).
const instruction* frameinstruction(const codeframe& frame, bool before);
// Its offset in the image.
std::optional<std::uint64_t> frameoffset(const codeframe& frame, bool before);
// "offset N at FILE:LINE:COLUMN" (without the position when the map places nothing), the text of
// the instruction, for a frame.
std::string framewhere(const programimage& image, const codeframe& frame, bool before);
std::string frameinstructiontext(const programimage& image, const codeframe& frame, bool before);

// The source line an offset comes from, read from its file (as the map names it, or beside the
// image), as "LINE | TEXT"; empty when there is no map or the file cannot be read.
std::string sourceline(const programimage& image, std::uint64_t offset);

}  // namespace T4VM::db
