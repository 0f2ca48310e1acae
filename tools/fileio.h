// File handling shared by t4asm and t4dis, where "-" names the standard streams.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace T4VM {

std::optional<std::string> readwhole(const std::string& path);
bool writewhole(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace T4VM
