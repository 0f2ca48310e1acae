// Assembly text to a program image. The syntax is described at the top of assembler.cpp.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sourcemap.h"

namespace T4VM {

// what() is "file:line:col: message", ready to print; the parts stay available for tests and tools.
class asmerror : public std::runtime_error {
public:
    asmerror(std::string_view file, int line, int column, const std::string& message);

    int line;
    int column;
    std::string message;
};

std::vector<std::uint8_t> assemble(std::string_view text, std::string_view filename = "<input>");
// The same image, and in map where each of its instructions, raw runs and function bodies came
// from in text (file 0 of the map is filename).
std::vector<std::uint8_t> assemble(std::string_view text, std::string_view filename, sourcemap& map);

// The syntax summary printed by t4asm --help.
extern const char* const assemblysyntax;

}  // namespace T4VM
