#include "disassembler.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "sourcemap.h"
#include "syntax.h"
#include "vm/opcodes.h"

namespace T4VM {

namespace {

// Where an operand stands decides how it prints: names may go bare, and after a block opcode a
// '{' means a body, so a dictionary there needs its keyword.
enum class place { name, block, plain };

const char hexdigits[] = "0123456789abcdef";

// Source positions start in this column when the line leaves room, so that they line up.
constexpr std::size_t commentcolumn = 41;

// Decoding and printing go together: text for an instruction is appended as it is decoded and cut
// off again when the instruction turns out not to decode, so nothing is decoded twice.
class printer {
public:
    printer(std::span<const std::uint8_t> image, const sourcemap* map, decoding* found)
        : image(image), map(map), found(found) {}

    std::string run() {
        body(0, image.size(), 0, 0);
        return std::move(out);
    }

private:
    std::span<const std::uint8_t> image;
    const sourcemap* map;
    decoding* found;
    std::string out;

    // The source position of the byte at offset as a comment at the end of the first line printed
    // from out[linestart] on. Comments are blanks to t4asm, so the text still assembles the same.
    void annotate(std::size_t linestart, std::size_t offset) {
        if (!map) return;
        const sourcespan* span = map->at(offset);
        if (!span) return;
        std::size_t lineend = std::min(out.find('\n', linestart), out.size());
        std::size_t width = lineend - linestart;
        std::string comment(width + 2 < commentcolumn ? commentcolumn - 1 - width : 2, ' ');
        comment += "; ";
        comment += map->describe(span->where);
        out.insert(lineend, comment);
    }

    void indent(int level) { out.append(std::size_t(level) * 4, ' '); }

    void hexbyte(std::uint8_t b) {
        out += hexdigits[b >> 4];
        out += hexdigits[b & 15];
    }

    // Instructions in [pos, end); the first one that does not decode and everything after it are
    // kept as raw bytes, because after a bad byte there is no telling where instructions begin.
    void body(std::size_t pos, std::size_t end, int level, int depth) {
        while (pos < end) {
            const std::size_t mark = out.size();
            const std::size_t instructionsmark = found ? found->instructions.size() : 0;
            const std::size_t bodiesmark = found ? found->bodies.size() : 0;
            const opcodeinfo* info = findopcode(image[pos]);
            if (info) {
                indent(level);
                out += info->name;
                std::optional<std::size_t> next = pos + 1;
                if (info->operand != operandkind::none) {
                    out += ' ';
                    place where = info->operand == operandkind::name    ? place::name
                                  : info->operand == operandkind::block ? place::block
                                                                        : place::plain;
                    next = operand(pos + 1, end, level, depth, where);
                }
                if (next) {
                    annotate(mark, pos);
                    out += '\n';
                    if (found) found->instructions.push_back({pos, *next - pos});
                    pos = *next;
                    continue;
                }
                out.resize(mark);
                if (found) {
                    found->instructions.resize(instructionsmark);
                    found->bodies.resize(bodiesmark);
                }
            }
            rawbytes(pos, end, level);
            return;
        }
    }

    void rawbytes(std::size_t pos, std::size_t end, int level) {
        for (std::size_t line = pos; line < end; line += 16) {
            const std::size_t linestart = out.size();
            indent(level);
            out += ".bytes";
            for (std::size_t i = line; i < end && i < line + 16; ++i) {
                out += ' ';
                hexbyte(image[i]);
            }
            annotate(linestart, line);
            out += '\n';
        }
    }

    std::optional<std::uint32_t> u32(std::size_t pos, std::size_t end) const {
        if (pos > end || end - pos < 4) return std::nullopt;
        return std::uint32_t(image[pos]) << 24 | std::uint32_t(image[pos + 1]) << 16 |
               std::uint32_t(image[pos + 2]) << 8 | std::uint32_t(image[pos + 3]);
    }

    // One operand starting at pos; returns where it ends, or nothing if it does not decode.
    std::optional<std::size_t> operand(std::size_t pos, std::size_t end, int level, int depth, place where) {
        if (pos >= end) return std::nullopt;
        switch (image[pos++]) {
            case operandtype::integer: {
                auto value = u32(pos, end);
                if (!value) return std::nullopt;
                out += std::to_string(std::int32_t(*value));
                return pos + 4;
            }
            case operandtype::floating: {
                auto whole = u32(pos, end);
                auto fraction = u32(pos + 4, end);
                if (!whole || !fraction) return std::nullopt;
                // The fraction prints as its integer, so trailing zeros (F = 50 as "1.50") survive.
                out += std::to_string(*whole) + "." + std::to_string(*fraction);
                return pos + 8;
            }
            case operandtype::string: return string(pos, end, where);
            case operandtype::klass: out += "class"; return pos;
            case operandtype::stack: out += "stack"; return pos;
            case operandtype::list: return list(pos, end, level, depth);
            case operandtype::dict: return dict(pos, end, level, depth, where);
            case operandtype::function: return function(pos, end, level, depth, where);
            default: return std::nullopt;
        }
    }

    std::optional<std::size_t> string(std::size_t pos, std::size_t end, place where) {
        std::size_t terminator = pos;
        while (terminator < end && image[terminator] != 0) ++terminator;
        if (terminator == end) return std::nullopt;
        std::string_view text(reinterpret_cast<const char*>(image.data()) + pos, terminator - pos);
        if (where == place::name && isbarename(text)) {
            out += text;
            return terminator + 1;
        }
        out += '"';
        for (char c : text) {
            switch (c) {
                case '\n': out += "\\n"; break;
                case '\t': out += "\\t"; break;
                case '\r': out += "\\r"; break;
                case '\\': out += "\\\\"; break;
                case '"': out += "\\\""; break;
                default:
                    if (c >= 0x20 && c < 0x7F) {
                        out += c;
                    } else {
                        out += "\\x";
                        hexbyte(std::uint8_t(c));
                    }
            }
        }
        out += '"';
        return terminator + 1;
    }

    std::optional<std::size_t> list(std::size_t pos, std::size_t end, int level, int depth) {
        if (depth + 1 > maxnesting) return std::nullopt;
        // Elements are decoded in code order but printed in list order, which is the reverse.
        const std::size_t mark = out.size();
        std::vector<std::pair<std::size_t, std::size_t>> elements;
        for (;;) {
            if (pos >= end) return std::nullopt;
            if (image[pos] == operandtype::end) break;
            std::size_t start = out.size();
            auto next = operand(pos, end, level, depth + 1, place::plain);
            if (!next) return std::nullopt;
            elements.emplace_back(start - mark, out.size() - start);
            pos = *next;
        }
        std::string decoded = out.substr(mark);
        out.resize(mark);
        out += '[';
        for (std::size_t i = elements.size(); i-- > 0;) {
            out.append(decoded, elements[i].first, elements[i].second);
            if (i > 0) out += ", ";
        }
        out += ']';
        return pos + 1;
    }

    std::optional<std::size_t> dict(std::size_t pos, std::size_t end, int level, int depth, place where) {
        if (depth + 1 > maxnesting) return std::nullopt;
        out += where == place::block ? "dict {" : "{";
        for (bool first = true;; first = false) {
            if (pos >= end) return std::nullopt;
            if (image[pos] == operandtype::end) break;
            if (!first) out += ", ";
            auto afterkey = operand(pos, end, level, depth + 1, place::plain);
            if (!afterkey) return std::nullopt;
            out += ": ";
            auto aftervalue = operand(*afterkey, end, level, depth + 1, place::plain);
            if (!aftervalue) return std::nullopt;
            pos = *aftervalue;
        }
        out += '}';
        return pos + 1;
    }

    std::optional<std::size_t> function(std::size_t pos, std::size_t end, int level, int depth, place where) {
        if (depth + 1 > maxnesting) return std::nullopt;
        auto length = u32(pos, end);
        if (!length) return std::nullopt;
        pos += 4;
        // The assembler measures bodies itself, so it can only reproduce lengths that match.
        const std::int32_t signedlength = std::int32_t(*length);
        if (signedlength < 0 || std::size_t(signedlength) > end - pos) return std::nullopt;
        const std::size_t bodyend = pos + std::size_t(signedlength);
        if (found) found->bodies.push_back({pos, bodyend - pos});
        out += where == place::block ? "{" : "func {";
        if (bodyend > pos) {
            out += '\n';
            body(pos, bodyend, level + 1, depth + 1);
            indent(level);
        }
        out += '}';
        return bodyend;
    }
};

}  // namespace

std::string disassemble(std::span<const std::uint8_t> image, const sourcemap* map) {
    return printer(image, map, nullptr).run();
}

decoding decode(std::span<const std::uint8_t> image) {
    decoding decoded;
    printer(image, nullptr, &decoded).run();
    auto byoffset = [](const decodedspan& a, const decodedspan& b) { return a.offset < b.offset; };
    std::sort(decoded.instructions.begin(), decoded.instructions.end(), byoffset);
    std::sort(decoded.bodies.begin(), decoded.bodies.end(), byoffset);
    return decoded;
}

}  // namespace T4VM
