// The hashing module: the CRC-32C checksum of a value's text, as unsigned decimal text (the
// checksum exceeds the machine's signed 32-bit integers).
#include "vm/additions/hashing.h"

#include <string>

#include "vm/additions/modules.h"

namespace T4VMHASHING {

using namespace T4VM;

// Bit by bit over the reflected polynomial: no table to build or keep, and the texts programs
// checksum are short.
std::uint32_t crc32func(std::uint32_t crc, const std::uint8_t* data, std::uint64_t length) {
    crc = ~crc;
    for (std::uint64_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
    }
    return ~crc;
}

namespace tarnfuncs {

void crc32(variable*, const argmap& args) {
    const std::string text = moduleapi::getarg(args, "arg0")->getstring(false);
    variable* result = getallocvar("BUILTIN_STRING");
    result->identifier = typeident::builtin_string;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    result->stringval = std::to_string(crc32func(0, bytes, text.size()));
    datastack->push_back(result);
}

}  // namespace tarnfuncs

void init() {
    variable* root = getallocvar();
    root->identifier = typeident::module_class;
    root->name = "HASHING ROOT";
    getprogroot()->attributes["hashing"] = root;
    root->attributes["crc32"] = getmodulevar(tarnfuncs::crc32);
}

}  // namespace T4VMHASHING
