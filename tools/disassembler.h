// Program image to assembly text that t4asm turns back into the identical bytes, whatever the bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace T4VM {

std::string disassemble(std::span<const std::uint8_t> image);

}  // namespace T4VM
