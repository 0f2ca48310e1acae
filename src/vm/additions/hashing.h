// The hashing module: "hashing" on the program root, with the CRC-32C checksum of a value's text.
#pragma once

#include <cstdint>

#include "vm/native.h"

namespace T4VMHASHING {

// CRC-32C (Castagnoli). `crc` is the checksum of the data before this piece, 0 for none, so a
// checksum over several pieces chains through the calls.
std::uint32_t crc32func(std::uint32_t crc, const std::uint8_t* data, std::uint64_t length);

namespace tarnfuncs {
void crc32(T4VM::variable* self, const T4VM::argmap& args);
}

}  // namespace T4VMHASHING
