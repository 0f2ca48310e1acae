// Text forms of what t4db shows: values, instructions, positions and source lines.
#include "db/inspect.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <span>

#include "disassembler.h"
#include "vm/decode.h"
#include "vm/positions.h"

namespace T4VM::db {

namespace {

// Values are shown on one line: long texts and containers are cut, nesting stops early, and a
// container that holds itself is not followed.
constexpr std::size_t longesttext = 60;
constexpr std::size_t mostelements = 8;
constexpr int deepest = 3;

void appendquoted(std::string& out, const std::string& text) {
    out += '"';
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < text.size() && i < longesttext; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                out += "\\x";
                out += digits[c >> 4];
                out += digits[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    if (text.size() > longesttext) out += "...";
}

void appendvalue(std::string& out, const variable& value, int depth);

void appendelements(std::string& out, const variable& value, int depth) {
    if (depth >= deepest) {
        out += "[...]";
        return;
    }
    out += '[';
    std::size_t shown = 0;
    auto separate = [&] {
        if (shown++ != 0) out += ", ";
        return shown <= mostelements;
    };
    if (value.identifier == typeident::builtin_list) {
        for (const variable* element : value.listval) {
            if (!separate()) break;
            appendvalue(out, *element, depth + 1);
        }
    } else {
        for (const auto& [key, entry] : value.dictval) {
            if (!separate()) break;
            appendvalue(out, *key, depth + 1);
            out += ": ";
            appendvalue(out, *entry, depth + 1);
        }
    }
    if (shown > mostelements) out += "...";
    out += ']';
}

void appendvalue(std::string& out, const variable& value, int depth) {
    switch (value.identifier) {
    case typeident::builtin_int: out += std::to_string(value.intval); return;
    case typeident::builtin_float: out += const_cast<variable&>(value).getstring(false); return;
    case typeident::builtin_string: appendquoted(out, value.stringval); return;
    case typeident::builtin_list:
    case typeident::builtin_dict: appendelements(out, value, depth); return;
    case typeident::builtin_pntr:
        out += value.pntrval == nullptr ? std::string("pointer to nothing") : "pointer to " + value.pntrval->name.str();
        return;
    case typeident::custom_func:
        if (value.ismodule) break;
        out += "function at " + std::to_string(value.funccode().imageoffset()) + ", " +
               std::to_string(value.codesize()) + " bytes";
        return;
    case typeident::none: out += "no value yet"; return;
    default: break;
    }
    out += value.ismodule ? "native " + identname(value.identifier) : identname(value.identifier);
    const std::size_t attributes = value.attributes.size();
    if (attributes != 0) out += " with " + std::to_string(attributes) + " attributes";
}

std::string firstline(const std::string& text) {
    const std::size_t end = text.find('\n');
    std::string line = text.substr(0, end);
    // A body follows the brace on the lines after: say so rather than list it.
    if (end != std::string::npos && end + 1 < text.size()) line += " ... }";
    return line;
}

const std::vector<std::string>* sourcelines(const programimage& image, const std::string& file) {
    auto& cache = image.sourcecache;
    auto found = cache.find(file);
    if (found != cache.end()) return found->second.empty() ? nullptr : &found->second;
    // Only regular files: a map may name a pipe, a device or standard input, which would block,
    // never end, or take the program's input.
    auto regular = [](const std::filesystem::path& path) {
        std::error_code failure;
        return std::filesystem::is_regular_file(path, failure);
    };
    std::filesystem::path path = file;
    if (!regular(path)) path = std::filesystem::path(image.path).parent_path() / file;
    std::vector<std::string>& lines = cache[file];
    if (!regular(path)) return nullptr;
    std::ifstream in(path);
    try {
        for (std::string line; std::getline(in, line);) lines.push_back(line);
    } catch (const std::ios_base::failure&) {
        lines.clear();
    }
    return lines.empty() ? nullptr : &lines;
}

}  // namespace

bool loadimage(const std::string& path, programimage& image, std::string& why) {
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        why = "cannot read " + path;
        return false;
    }
    image.path = path;
    try {
        image.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        // A directory opens, and only reading it fails.
        why = "cannot read " + path;
        return false;
    }
    image.map = readsourcemap(path, image.bytes.size(), image.mapproblem);
    return true;
}

int contextid(const context* which) {
    for (const auto& [id, scheduled] : vm().threads)
        if (scheduled == which) return id;
    return -1;
}

std::string valuetext(const variable* value) {
    if (value == nullptr) return "no object";
    std::string out;
    appendvalue(out, *value, 0);
    return out;
}

std::string bindingtext(const std::string& name, const variable* value) {
    return name + " = " + valuetext(value) + (value == nullptr ? "" : " (" + identname(value->identifier) + ")");
}

std::string instructiontext(const programimage& image, std::uint64_t offset, std::uint64_t length) {
    if (offset >= image.bytes.size()) return "?";
    length = std::min<std::uint64_t>(length, image.bytes.size() - offset);
    const std::span<const std::uint8_t> bytes(image.bytes.data() + offset, length);
    return firstline(disassemble(bytes));
}

const instruction* frameinstruction(const codeframe& frame, bool before) {
    if (!before) return currentinstruction(frame);
    if (frame.body == nullptr || frame.ip >= frame.body->code.size()) return nullptr;
    return &frame.body->code[frame.ip];
}

std::optional<std::uint64_t> frameoffset(const codeframe& frame, bool before) {
    const instruction* in = frameinstruction(frame, before);
    if (in == nullptr) return std::nullopt;
    return frame.code.imageoffset() + in->offset;
}

std::string framewhere(const programimage& image, const codeframe& frame, bool before) {
    const std::optional<std::uint64_t> offset = frameoffset(frame, before);
    if (!offset) return "the end of its code";
    const std::string position = sourceposition(image.mapped(), *offset);
    return "offset " + std::to_string(*offset) + (position.empty() ? "" : " at " + position);
}

std::string frameinstructiontext(const programimage& image, const codeframe& frame, bool before) {
    const instruction* in = frameinstruction(frame, before);
    if (in == nullptr) return "";
    return instructiontext(image, frame.code.imageoffset() + in->offset, in->next - in->offset);
}

std::string sourceline(const programimage& image, std::uint64_t offset) {
    const sourcemap* map = image.mapped();
    const sourcespan* span = map == nullptr ? nullptr : map->at(offset);
    if (span == nullptr || span->where.file >= map->files.size()) return "";
    const std::vector<std::string>* lines = sourcelines(image, map->files[span->where.file]);
    if (lines == nullptr || span->where.line == 0 || span->where.line > lines->size()) return "";
    return std::to_string(span->where.line) + " | " + (*lines)[span->where.line - 1];
}

}  // namespace T4VM::db
