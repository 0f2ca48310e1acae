// Assembly text to a program image. The language is documented by the text below, which is also
// what t4asm --help prints, so the two cannot drift apart.
#include "assembler.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "syntax.h"
#include "vm/opcodes.h"

namespace T4VM {

const char* const assemblysyntax = R"(t4asm source syntax

One instruction per line: an opcode name, then its operand if the opcode takes one.
Comments run from ';' or '#' to the end of the line.

Operands (any opcode that takes an operand accepts any of them: call "x", ifblock 5):
  5  -12  0x1F  -0x10      integer, must fit in 32 bits signed
  3.25  7.0  1.50          float; the whole part and the fraction digits are stored apart, so
                           1.50 and 1.5 encode differently (both mean 1.5); negative floats and
                           fractions with a leading zero (0.05) cannot be encoded
  "text"                   string; escapes \n \t \r \\ \" \xNN (any byte but 00)
  name                     a bare identifier [A-Za-z_][A-Za-z0-9_]* is a string, used for names;
                           keywords (class, stack, func) and odd names are quoted: "class"
  class                    class operand
  stack                    the value on top of the data stack when the instruction runs
  [1, "a", [2]]            list, elements in the order the resulting list has
  {"k": 1, 2: [3]}         dictionary
  dict {"k": 1}            dictionary; needed after ifblock, whileblock and foreachblock
  func {                   function; the body is assembly, one instruction per line,
      pushconst 5          or a single instruction on the brace line: func { ret }
      ret
  }
  ifblock {                ifblock, whileblock and foreachblock take a function body
      ...                  directly; func { ... } works there too
  }
Lists, dictionaries and bodies may span lines; a trailing comma is allowed; nesting is
limited to 1000 levels.

Raw bytes, at top level or inside a body, for images that need not be well-formed:
  .bytes 0e 00 ff ff ff fe
)";

namespace {

// Built by appending: GCC 12 warns falsely (-Wrestrict) about chains of string operator+ at -O3.
std::string quotedmessage(std::string_view before, std::string_view word, std::string_view after) {
    std::string text(before);
    text += '\'';
    text += word;
    text += '\'';
    text += after;
    return text;
}

std::string describe(std::string_view file, int line, int column, const std::string& message) {
    return std::string(file) + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
           message;
}

int hexvalue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isdecimal(char c) { return c >= '0' && c <= '9'; }

void putu32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(std::uint8_t(value >> shift));
}

class parser {
public:
    // With a map, the parser also notes where each instruction, raw run and body came from.
    parser(std::string_view text, std::string_view file, sourcemap* map) : text(text), file(file), map(map) {
        if (!map) return;
        linestarts.push_back(0);
        for (std::size_t i = 0; i < text.size(); ++i)
            if (text[i] == '\n') linestarts.push_back(i + 1);
    }

    std::vector<std::uint8_t> program() {
        std::vector<std::uint8_t> out;
        statements(out, std::nullopt);
        if (map) {
            // Lists emit their elements last to first, so the spans were noted out of image order.
            auto byoffset = [](const sourcespan& a, const sourcespan& b) { return a.offset < b.offset; };
            std::sort(code.begin(), code.end(), byoffset);
            std::sort(bodies.begin(), bodies.end(), byoffset);
            *map = sourcemap{out.size(), {std::string(file)}, std::move(code), std::move(bodies)};
        }
        return out;
    }

private:
    std::string_view text;
    std::string_view file;
    std::size_t pos = 0;
    int depth = 0;
    sourcemap* map;
    std::vector<std::size_t> linestarts;
    // Offsets here are relative to the buffer the span was written to: the image, or a list
    // element until list() places it.
    std::vector<sourcespan> code;
    std::vector<sourcespan> bodies;

    sourceposition position(std::size_t at) const {
        const auto next = std::upper_bound(linestarts.begin(), linestarts.end(), at);
        const std::size_t line = std::size_t(next - linestarts.begin());
        return {0, std::uint32_t(line), std::uint32_t(at - *(next - 1) + 1)};
    }

    [[noreturn]] void fail(std::size_t at, const std::string& message) const {
        int line = 1;
        std::size_t linestart = 0;
        for (std::size_t i = 0; i < at && i < text.size(); ++i)
            if (text[i] == '\n') ++line, linestart = i + 1;
        throw asmerror(file, line, int(at - linestart) + 1, message);
    }

    bool atend() const { return pos >= text.size(); }
    char peek() const { return atend() ? '\0' : text[pos]; }

    // Blanks and comments, stopping at a newline: newlines end instructions.
    void skipblank() {
        while (!atend()) {
            char c = text[pos];
            if (c == ' ' || c == '\t' || c == '\r') {
                ++pos;
            } else if (c == ';' || c == '#') {
                while (!atend() && text[pos] != '\n') ++pos;
            } else {
                return;
            }
        }
    }

    // Inside brackets a newline is only layout.
    void skipspace() {
        for (skipblank(); peek() == '\n'; skipblank()) ++pos;
    }

    bool atstatementend(bool inbody) const {
        return atend() || peek() == '\n' || (inbody && peek() == '}');
    }

    std::string_view identifier() {
        std::size_t start = pos;
        while (!atend() && isidentchar(text[pos])) ++pos;
        return text.substr(start, pos - start);
    }

    void enter(std::size_t at) {
        if (++depth > maxnesting)
            fail(at, "nesting deeper than " + std::to_string(maxnesting) + " levels");
    }

    // A body is the text between '{' and its '}', openedat being the '{'; top level has none.
    void statements(std::vector<std::uint8_t>& out, std::optional<std::size_t> openedat) {
        const bool inbody = openedat.has_value();
        for (;;) {
            skipblank();
            if (atend()) {
                if (inbody) fail(*openedat, "unterminated function body");
                return;
            }
            if (peek() == '\n') {
                ++pos;
                continue;
            }
            if (peek() == '}') {
                if (!inbody) fail(pos, "unexpected '}'");
                ++pos;
                return;
            }
            statement(out, inbody);
            skipblank();
            if (!atstatementend(inbody)) fail(pos, "unexpected text after instruction");
        }
    }

    void statement(std::vector<std::uint8_t>& out, bool inbody) {
        if (!map) {
            instruction(out, inbody);
            return;
        }
        const std::size_t record = code.size();
        code.push_back({out.size(), 0, position(pos), peek() == '.'});
        instruction(out, inbody);
        code[record].length = out.size() - code[record].offset;
        if (code[record].length == 0) code.pop_back();  // a .bytes line with no bytes puts nothing in the image
    }

    void instruction(std::vector<std::uint8_t>& out, bool inbody) {
        std::size_t start = pos;
        if (peek() == '.') {
            ++pos;
            std::string_view directive = identifier();
            if (directive != "bytes") fail(start, quotedmessage("unknown directive ", std::string(".").append(directive), ""));
            rawbytes(out, inbody);
            return;
        }
        if (!isidentstart(peek())) fail(pos, "expected an instruction");
        std::string_view name = identifier();
        const opcodeinfo* info = findopcode(name);
        if (!info) fail(start, quotedmessage("unknown opcode ", name, ""));
        out.push_back(info->number);
        skipblank();
        if (info->operand == operandkind::none) {
            if (!atstatementend(inbody)) fail(pos, quotedmessage("", name, " takes no operand"));
            return;
        }
        if (atstatementend(inbody)) fail(pos, quotedmessage("missing operand for ", name, ""));
        operand(out, info->operand == operandkind::block);
    }

    void rawbytes(std::vector<std::uint8_t>& out, bool inbody) {
        for (skipblank(); !atstatementend(inbody); skipblank()) {
            std::size_t start = pos;
            while (!atend() && hexvalue(text[pos]) >= 0) ++pos;
            std::size_t length = pos - start;
            if (length == 0 || length % 2 != 0) fail(start, "expected hex byte pairs after .bytes");
            for (std::size_t i = start; i < pos; i += 2)
                out.push_back(std::uint8_t(hexvalue(text[i]) * 16 + hexvalue(text[i + 1])));
        }
    }

    // After a block opcode a '{' opens a body rather than a dictionary.
    void operand(std::vector<std::uint8_t>& out, bool blockcontext) {
        std::size_t start = pos;
        char c = peek();
        if (c == '"') {
            out.push_back(operandtype::string);
            quoted(out);
            out.push_back(0x00);
        } else if (c == '[') {
            list(out);
        } else if (c == '{') {
            if (blockcontext)
                function(out);
            else
                dict(out);
        } else if (c == '-' || isdecimal(c)) {
            number(out);
        } else if (isidentstart(c)) {
            std::string_view word = identifier();
            if (word == "class") {
                out.push_back(operandtype::klass);
            } else if (word == "stack") {
                out.push_back(operandtype::stack);
            } else if (word == "func") {
                skipblank();
                if (peek() != '{') fail(pos, "expected '{' after func");
                function(out);
            } else if (word == "dict" && (skipblank(), peek() == '{')) {
                dict(out);
            } else {
                out.push_back(operandtype::string);
                out.insert(out.end(), word.begin(), word.end());
                out.push_back(0x00);
            }
        } else {
            fail(start, "expected an operand");
        }
    }

    void quoted(std::vector<std::uint8_t>& out) {
        std::size_t open = pos++;
        for (;;) {
            if (atend() || peek() == '\n') fail(open, "unterminated string");
            std::size_t at = pos;
            char c = text[pos++];
            if (c == '"') return;
            if (c != '\\') {
                if (c == '\0') fail(at, "a string cannot contain the byte 00");
                out.push_back(std::uint8_t(c));
                continue;
            }
            if (atend() || peek() == '\n') fail(open, "unterminated string");
            char e = text[pos++];
            switch (e) {
                case 'n': out.push_back('\n'); break;
                case 't': out.push_back('\t'); break;
                case 'r': out.push_back('\r'); break;
                case '\\': out.push_back('\\'); break;
                case '"': out.push_back('"'); break;
                case 'x': {
                    int high = hexvalue(peek());
                    int low = high < 0 ? -1 : hexvalue(pos + 1 < text.size() ? text[pos + 1] : '\0');
                    if (low < 0) fail(at, "\\x needs two hex digits");
                    pos += 2;
                    if (high == 0 && low == 0) fail(at, "a string cannot contain the byte 00");
                    out.push_back(std::uint8_t(high * 16 + low));
                    break;
                }
                default:
                    fail(at, std::string("unknown escape '\\") + e + "'");
            }
        }
    }

    void list(std::vector<std::uint8_t>& out) {
        std::size_t open = pos++;
        enter(open);
        // The machine reverses the decoded elements, so they are emitted last to first.
        std::vector<std::vector<std::uint8_t>> elements;
        // Where each element's spans begin in code and bodies; they end where the next one's begin.
        std::vector<std::pair<std::size_t, std::size_t>> spansfrom;
        items(open, ']', "list", [&] {
            elements.emplace_back();
            spansfrom.emplace_back(code.size(), bodies.size());
            operand(elements.back(), false);
        });
        spansfrom.emplace_back(code.size(), bodies.size());
        out.push_back(operandtype::list);
        for (std::size_t i = elements.size(); i-- > 0;) {
            for (std::size_t j = spansfrom[i].first; j < spansfrom[i + 1].first; ++j) code[j].offset += out.size();
            for (std::size_t j = spansfrom[i].second; j < spansfrom[i + 1].second; ++j) bodies[j].offset += out.size();
            out.insert(out.end(), elements[i].begin(), elements[i].end());
        }
        out.push_back(operandtype::end);
        --depth;
    }

    void dict(std::vector<std::uint8_t>& out) {
        std::size_t open = pos++;
        enter(open);
        out.push_back(operandtype::dict);
        items(open, '}', "dictionary", [&] {
            operand(out, false);
            skipspace();
            if (atend()) fail(open, "unterminated dictionary");
            if (peek() != ':') fail(pos, "expected ':' after dictionary key");
            ++pos;
            skipspace();
            if (atend()) fail(open, "unterminated dictionary");
            operand(out, false);
        });
        out.push_back(operandtype::end);
        --depth;
    }

    // Comma-separated items up to the closing bracket; the opening one is already consumed.
    template <typename parseitem>
    void items(std::size_t open, char close, const char* what, parseitem item) {
        const std::string unterminated = std::string("unterminated ") + what;
        for (;;) {
            skipspace();
            if (atend()) fail(open, unterminated);
            if (peek() == close) {
                ++pos;
                return;
            }
            item();
            skipspace();
            if (atend()) fail(open, unterminated);
            if (peek() == close) {
                ++pos;
                return;
            }
            if (peek() != ',') fail(pos, std::string("expected ',' or '") + close + "' in " + what);
            ++pos;
        }
    }

    void function(std::vector<std::uint8_t>& out) {
        std::size_t open = pos++;
        enter(open);
        out.push_back(operandtype::function);
        std::size_t lengthat = out.size();
        putu32(out, 0);
        const std::size_t record = bodies.size();
        if (map) bodies.push_back({out.size(), 0, position(open), false});
        statements(out, open);
        std::size_t length = out.size() - lengthat - 4;
        if (map) bodies[record].length = length;
        if (length > std::size_t(std::numeric_limits<std::int32_t>::max()))
            fail(open, "function body too long");
        for (int i = 0; i < 4; ++i) out[lengthat + i] = std::uint8_t(length >> (24 - 8 * i));
        --depth;
    }

    // Digits in the given base as an unsigned value, or nothing once it passes the limit.
    std::optional<std::uint64_t> digits(std::size_t start, std::size_t end, int base, std::uint64_t limit) const {
        std::uint64_t value = 0;
        for (std::size_t i = start; i < end; ++i) {
            value = value * std::uint64_t(base) + std::uint64_t(hexvalue(text[i]));
            if (value > limit) return std::nullopt;
        }
        return value;
    }

    // The whole token is scanned before anything is encoded, so "12ab" or "1.5.3" is reported as
    // one bad number rather than a number followed by stray text.
    void number(std::vector<std::uint8_t>& out) {
        const std::size_t start = pos;
        const bool negative = peek() == '-';
        if (negative) ++pos;
        const bool hex = peek() == '0' && pos + 1 < text.size() && (text[pos + 1] == 'x' || text[pos + 1] == 'X');
        if (hex) pos += 2;
        const std::size_t digitsstart = pos;
        while (hex ? hexvalue(peek()) >= 0 : isdecimal(peek())) ++pos;
        const std::size_t digitsend = pos;
        std::optional<std::size_t> fractionstart;
        if (!hex && digitsend > digitsstart && peek() == '.') {
            fractionstart = ++pos;
            while (isdecimal(peek())) ++pos;
        }
        const char next = peek();
        if (digitsend == digitsstart || (fractionstart && pos == *fractionstart) || isidentchar(next) ||
            next == '.' || next == '"')
            fail(start, "malformed number");
        if (fractionstart) {
            floating(out, start, negative, digitsstart, digitsend, *fractionstart);
            return;
        }
        auto magnitude = digits(digitsstart, digitsend, hex ? 16 : 10, negative ? 0x80000000u : 0x7FFFFFFFu);
        if (!magnitude) fail(start, "integer out of range for 32 bits signed");
        const std::int64_t value = negative ? -std::int64_t(*magnitude) : std::int64_t(*magnitude);
        out.push_back(operandtype::integer);
        putu32(out, std::uint32_t(std::int32_t(value)));
    }

    void floating(std::vector<std::uint8_t>& out, std::size_t start, bool negative, std::size_t wholestart,
                  std::size_t wholeend, std::size_t fractionstart) {
        if (negative) fail(start, "negative floats cannot be encoded");
        auto whole = digits(wholestart, wholeend, 10, 0xFFFFFFFFu);
        if (!whole) fail(start, "float whole part does not fit in 32 bits");
        auto fraction = digits(fractionstart, pos, 10, 0xFFFFFFFFu);
        if (!fraction) fail(start, "float fraction digits do not fit in 32 bits");
        // The fraction is stored as an integer whose digit count sets the scale, so a leading zero
        // would be lost: 0.05 would come back as 0.5.
        if (text[fractionstart] == '0' && *fraction != 0)
            fail(start, "fraction digits with a leading zero cannot be encoded");
        out.push_back(operandtype::floating);
        putu32(out, std::uint32_t(*whole));
        putu32(out, std::uint32_t(*fraction));
    }
};

}  // namespace

asmerror::asmerror(std::string_view file, int line, int column, const std::string& message)
    : std::runtime_error(describe(file, line, column, message)), line(line), column(column), message(message) {}

std::vector<std::uint8_t> assemble(std::string_view text, std::string_view filename) {
    return parser(text, filename, nullptr).program();
}

std::vector<std::uint8_t> assemble(std::string_view text, std::string_view filename, sourcemap& map) {
    return parser(text, filename, &map).program();
}

}  // namespace T4VM
