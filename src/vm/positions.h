// Where a context stands in the program image: the instruction each code frame is running, the
// frame each call-trace entry is waiting in, and their source positions when the image has a
// source map. Reports use them, and so do the tools that watch a run.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vm/decode.h"
#include "vm/machine.h"

namespace T4VM {

// The map beside an image ("IMAGE.map"), when it parses and describes an image of `imagesize`
// bytes; else null, with the reason in `why` (empty when there is no map at all).
std::shared_ptr<const sourcemap> readsourcemap(const std::string& imagepath, std::size_t imagesize, std::string& why);

// The instruction the frame is running: the one before ip, or the body's first when nothing has
// run yet. Null for code with no instructions.
const instruction* currentinstruction(const codeframe& frame);
// Its offset in the image; none for code with no instructions.
std::optional<std::uint64_t> currentoffset(const codeframe& frame);

// For each call-trace entry of the context, innermost first, the frame whose instruction it stands
// at: the frame opened for it, or, for an entry with no frame of its own (a native being called, a
// class whose init runs), the innermost frame opened at or below its depth, which is making the
// call. Null where no frame is left.
std::vector<const codeframe*> traceframes(const context& where);

// "FILE:LINE:COLUMN" of the instruction at an image offset, by the map; empty when the map does
// not place it or there is none.
std::string sourceposition(const sourcemap* map, std::uint64_t offset);

// Where each call-trace entry of the context stands, innermost first: the source position of its
// frame's instruction, "offset N" where the map places nothing, "nowhere" where no frame is left.
std::vector<std::string> tracepositions(const context& where, const sourcemap* map);

}  // namespace T4VM
