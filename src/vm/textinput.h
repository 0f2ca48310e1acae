// Reading text for `read` and `getline`, in pieces of bounded size. Input without end (/dev/zero)
// must end in the machine's out-of-memory report: a file stream would swallow the std::bad_alloc
// of a growing line and hand back the empty string, and nothing would stop a text long before
// the process's memory is gone.
#pragma once

#include <cstddef>
#include <istream>
#include <string>

#include "vm/machine.h"

namespace T4VM {

// The next line without its line feed, as std::getline takes it, in `line`; false (and `line`
// empty) when no line is left or the system refused the read. A line longer than `limit` bytes
// throws std::bad_alloc.
bool readline(std::istream& in, std::string& line, std::size_t limit = maxheapbytes);
// Everything up to the end of the input, every line ended by one line feed: a last line without
// one gets one, and nothing left gives the empty string. More than `limit` bytes throw
// std::bad_alloc.
std::string readrest(std::istream& in, std::size_t limit = maxheapbytes);

}  // namespace T4VM
