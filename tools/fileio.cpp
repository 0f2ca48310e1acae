#include "fileio.h"

#include <cstdio>

namespace T4VM {

namespace {

// stdio rather than iostreams because ferror tells a read failure (a directory, say) from an
// empty file.
std::optional<std::string> readstream(std::FILE* stream) {
    std::string contents;
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0) contents.append(buffer, got);
    if (std::ferror(stream)) return std::nullopt;
    return contents;
}

}  // namespace

std::optional<std::string> readwhole(const std::string& path) {
    if (path == "-") return readstream(stdin);
    std::FILE* stream = std::fopen(path.c_str(), "rb");
    if (!stream) return std::nullopt;
    auto contents = readstream(stream);
    std::fclose(stream);
    return contents;
}

bool writewhole(const std::string& path, std::span<const std::uint8_t> bytes) {
    const bool tostdout = path == "-";
    std::FILE* stream = tostdout ? stdout : std::fopen(path.c_str(), "wb");
    if (!stream) return false;
    // An empty image has no data pointer, and fwrite must not be handed a null one even for
    // zero bytes.
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
    ok = (tostdout ? std::fflush(stream) : std::fclose(stream)) == 0 && ok;
    return ok;
}

}  // namespace T4VM
