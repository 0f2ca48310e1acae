// Where a context stands: current instructions of frames, the frames of call-trace entries, and
// source positions through the image's map.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sourcemap.h"
#include "vm/decode.h"
#include "vm/positions.h"

namespace T4VM {

std::shared_ptr<const sourcemap> readsourcemap(const std::string& imagepath, std::size_t imagesize, std::string& why) {
    why.clear();
    const std::string path = imagepath + ".map";
    std::error_code failure;
    const std::filesystem::file_type kind = std::filesystem::status(path, failure).type();
    if (failure || kind == std::filesystem::file_type::not_found) return nullptr;
    // A directory opens and only fails on reading; a pipe or a device may never end.
    if (kind != std::filesystem::file_type::regular) {
        why = path + " is not a regular file";
        return nullptr;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) return nullptr;
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        why = "cannot read " + path;
        return nullptr;
    }
    try {
        auto map = std::make_shared<sourcemap>(parsesourcemap(text, path));
        if (map->imagesize == imagesize) return map;
        why = path + " describes an image of " + std::to_string(map->imagesize) + " bytes, but " + imagepath +
              " has " + std::to_string(imagesize) + ": the map belongs to another build";
    } catch (const sourcemaperror& malformed) {
        why = malformed.what();
    }
    return nullptr;
}

const instruction* currentinstruction(const codeframe& frame) {
    if (frame.body == nullptr || frame.body->code.empty()) return nullptr;
    const std::size_t index = frame.ip == 0 ? 0 : frame.ip - 1;
    return &frame.body->code[std::min<std::size_t>(index, frame.body->code.size() - 1)];
}

std::optional<std::uint64_t> currentoffset(const codeframe& frame) {
    const instruction* in = currentinstruction(frame);
    if (in == nullptr) return std::nullopt;
    return frame.code.imageoffset() + in->offset;
}

std::vector<const codeframe*> traceframes(const context& where) {
    const auto& frames = where.codestack;
    std::vector<const codeframe*> found;
    found.reserve(where.calltrace.size());
    // Both stacks are walked once from the top: the frame for an entry is the innermost one opened
    // at or below the entry's depth, and depths only fall going out.
    std::size_t below = frames.size();
    for (std::size_t depth = where.calltrace.size(); depth > 0; --depth) {
        while (below > 0 && frames[below - 1].tracedepth > depth) --below;
        found.push_back(below > 0 ? &frames[below - 1] : nullptr);
    }
    return found;
}

std::string sourceposition(const sourcemap* map, std::uint64_t offset) {
    if (map == nullptr) return "";
    const sourcespan* span = map->at(offset);
    return span == nullptr ? "" : map->describe(span->where);
}

std::vector<std::string> tracepositions(const context& where, const sourcemap* map) {
    std::vector<std::string> positions;
    for (const codeframe* frame : traceframes(where)) {
        const std::optional<std::uint64_t> offset = frame == nullptr ? std::nullopt : currentoffset(*frame);
        std::string text = offset ? sourceposition(map, *offset) : "nowhere";
        if (text.empty()) text = "offset " + std::to_string(*offset);
        positions.push_back(std::move(text));
    }
    return positions;
}

}  // namespace T4VM
