// The assembler's messages and the round trip t4asm(t4dis(image)) == image over generated images; docs/
// assembly.md and docs/bytecode.md show and check the encodings, t4dis's text and a few more messages.
// Source maps: t4asm's against t4dis's decoding and the source, their text form, lookups, and the two
// tools' command lines around them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "assembler.h"
#include "disassembler.h"
#include "fileio.h"
#include "sourcemap.h"
#include "syntax.h"
#include "vm/opcodes.h"

namespace {

using image = std::vector<std::uint8_t>;
namespace type = T4VM::operandtype;

TEST(Assembler, ErrorsNameLineAndColumn) {
    const std::tuple<std::string, const char*> cases[] = {
        {"add\n  add 5", "2:7: 'add' takes no operand"},
        {"ifblock { loadlocal }", "1:21: missing operand for 'loadlocal'"},
        {"pushconst \"a\\qb\"", "1:13: unknown escape '\\q'"},
        {"pushconst \"\\x00\"", "1:12: a string cannot contain the byte 00"},
        {"pushconst \"\\x4\"", "1:12: \\x needs two hex digits"},
        {"pushconst \"abc\ndef\"", "1:11: unterminated string"},
        {"pushconst 4294967296.0", "1:11: float whole part does not fit in 32 bits"},
        {"pushconst 1.4294967296", "1:11: float fraction digits do not fit in 32 bits"},
        {"pushconst -2147483649", "1:11: integer out of range for 32 bits signed"},
        {"pushconst 12ab", "1:11: malformed number"},
        {"pushconst [1, 2\n", "1:11: unterminated list"},
        {"pushconst [1 2]", "1:14: expected ',' or ']' in list"},
        {"pushconst {1: 2", "1:11: unterminated dictionary"},
        {"pushconst {1 2}", "1:14: expected ':' after dictionary key"},
        {"pushconst [1,\n\n   )]", "3:4: expected an operand"},
        {"pushconst func", "1:15: expected '{' after func"},
        {"pushconst 1 2", "1:13: unexpected text after instruction"},
        {"ret\n}", "2:1: unexpected '}'"},
        {"42", "1:1: expected an instruction"},
        {".bytes 0e 0", "1:11: expected hex byte pairs after .bytes"},
        {".frob 00", "1:1: unknown directive '.frob'"},
        {"pushconst " + std::string(1001, '['), "1:1011: nesting deeper than 1000 levels"},
    };
    for (const auto& [source, message] : cases) {
        try {
            T4VM::assemble(source, "prog.tasm");
            ADD_FAILURE() << "accepted: " << source;
        } catch (const T4VM::asmerror& error) {
            EXPECT_EQ(std::string(error.what()), std::string("prog.tasm:") + message);
        }
    }
    EXPECT_EQ(T4VM::assemble("pushconst " + std::string(1000, '[') + std::string(1000, ']')).size(), 2001u);
    std::string blocks;  // far deeper than the limit fails cleanly rather than exhaust the stack
    for (int i = 0; i < 100000; ++i) blocks += "ifblock { ";
    EXPECT_THROW(T4VM::assemble(blocks), T4VM::asmerror);
}

std::mt19937 rng(20240611);

std::size_t below(std::size_t n) { return rng() % n; }

std::string program(int depth);

// An operand of any kind as assembly text; nested ones only to a few levels.
std::string operand(int depth) {
    const char* const strings[] = {"x_1", "\"1x\"", "\"class\"", "\"a b\\r\\\"\\\\\\x01\\xff\"", "\"\xc3\xa9\""};
    switch (below(depth < 3 ? 8 : 5)) {
        case 0: return std::to_string(std::int32_t(rng()));
        case 1: return std::to_string(rng()) + "." + std::to_string(below(2) ? rng() : below(100));
        case 2: return strings[below(std::size(strings))];
        case 3: return below(2) ? "class" : "stack";
        case 4: return "[]";
        case 5: return "[" + operand(depth + 1) + ", " + operand(depth + 1) + "]";
        case 6: return "dict {" + operand(depth + 1) + ": " + operand(depth + 1) + "}";
        default: return "func {\n" + program(depth + 1) + "}";
    }
}

// Random instructions, function bodies nested, as assembly text.
std::string program(int depth) {
    std::string text;
    for (std::size_t n = below(depth == 0 ? 12 : 4); n > 0; --n) {
        const auto& info = T4VM::opcodetable[below(T4VM::opcodetable.size())];
        text += std::string(info.name) + (info.operand == T4VM::operandkind::none ? "" : " " + operand(depth)) + "\n";
    }
    return text;
}

// Mostly the bytes that matter: opcodes, type bytes, terminators, the parts of odd lengths.
image randombytes() {
    const std::uint8_t common[] = {0x0E, 0x09, 0x21, 0x2A, 0x00, 0x01, 0x02, 0x04, 0x05, 0x06, 0x07, 0x7F, 0xFF};
    image out(below(48));
    for (std::uint8_t& byte : out) byte = below(3) ? common[below(sizeof common)] : std::uint8_t(rng());
    return out;
}

TEST(RoundTrip, GeneratedImagesComeBackByteForByte) {
    image deep(100001, type::list);  // far deeper than any limit: raw bytes, and no stack exhausted
    deep.front() = T4VM::byteof(T4VM::opcode::pushconst);
    deep.insert(deep.end(), 100000, type::end);
    EXPECT_EQ(T4VM::assemble(T4VM::disassemble(deep)), deep);
    for (int i = 0; i < 9000; ++i) {
        image bytes = i < 3000 || i >= 6000 ? T4VM::assemble(program(0)) : randombytes();
        const std::size_t at = below(bytes.size() + 1);
        if (i >= 6000 && i % 3 == 0) bytes.resize(at);  // damaged: cut short, a byte changed or inserted
        if (i >= 6000 && i % 3 == 1 && at < bytes.size()) bytes[at] = std::uint8_t(rng());
        if (i >= 6000 && i % 3 == 2) bytes.insert(bytes.begin() + std::ptrdiff_t(at), std::uint8_t(rng()));
        const std::string text = T4VM::disassemble(bytes);
        ASSERT_TRUE(i >= 3000 || text.find(".bytes") == std::string::npos) << "well-formed #" << i << ":\n" << text;
        ASSERT_EQ(T4VM::assemble(text), bytes) << "#" << i << ":\n" << text;  // an asmerror fails the test too
    }
}


TEST(SourceMap, TextFormRoundTripsAndAcceptsAnyOrder) {
    T4VM::sourcemap map;
    map.imagesize = 30;
    map.files = {"a file.tasm", "lib/b.tasm"};
    map.code = {{0, 20, {0, 1, 1}, false}, {6, 3, {1, 4, 2}, true}, {9, 1, {1, 7, 100}, false}, {25, 5, {0, 3, 4294967295u}, false}};
    map.bodies = {{6, 14, {0, 1, 16}, false}, {20, 0, {1, 2, 3}, false}};
    const std::string text = T4VM::writesourcemap(map);
    EXPECT_EQ(text, "t4map 1\nimage 30\nfile 0 a file.tasm\nfile 1 lib/b.tasm\ninstr 0 20 0 1 1\nbody 6 14 0 1 16\n"
                    "raw 6 3 1 4 2\ninstr 9 1 1 7 100\nbody 20 0 1 2 3\ninstr 25 5 0 3 4294967295\n");
    EXPECT_EQ(T4VM::parsesourcemap(text), map);
    // Records in another order, without the final line break, and one of a later kind to skip.
    EXPECT_EQ(T4VM::parsesourcemap("t4map 1\nimage 30\nfile 0 a file.tasm\nfile 1 lib/b.tasm\ninstr 25 5 0 3 4294967295\n"
                                   "body 20 0 1 2 3\nname 6 square\ninstr 9 1 1 7 100\nraw 6 3 1 4 2\nbody 6 14 0 1 16\n"
                                   "instr 0 20 0 1 1"),
              map);
    map.files[1] = "two\nlines";
    EXPECT_THROW(T4VM::writesourcemap(map), std::invalid_argument);
}

TEST(SourceMap, MalformedMapsAreRefusedWithTheLineAtFault) {
    const std::string head = "t4map 1\nimage 20\nfile 0 p.tasm\n";
    const std::tuple<std::string, const char*> cases[] = {
        {"", "m.map: empty file, not a source map"},
        {"t4map 1\n", "m.map: no 'image' record"},
        {"T4B\x01\x00", "m.map:1: not a source map: the first line must be 't4map VERSION'"},
        {"t4map 2\nimage 0\n", "m.map:1: map format version 2 is not supported (this reader knows version 1)"},
        {"t4map 1\nimage 20\nimage 20\n", "m.map:3: a second 'image' record (the first is on line 2)"},
        {"t4map 1\nimage -1\n", "m.map:2: 'image' takes 1 number, and '-1' is not a decimal number"},
        {"t4map 1\nimage 18446744073709551616\n", "m.map:2: the number 18446744073709551616 is too large"},
        {head + "\ninstr 0 1 0 1 1\n", "m.map:4: empty line"},
        {head + "instr 0 1 0 1\n", "m.map:4: 'instr' takes 5 numbers"},
        {head + "instr 0 1 0 1 1 1\n", "m.map:4: 'instr' takes 5 numbers, and there is more on the line"},
        {head + "instr 0 1 0 1 1\r\n", "m.map:4: 'instr' takes 5 numbers, and '1\r' is not a decimal number"},
        {head + "instr 0  1 0 1 1\n", "m.map:4: fields are separated by single spaces, with none at either end"},
        {head + "instr 0 1 0 4294967296 1\n", "m.map:4: the number 4294967296 is too large"},
        {head + "instr 0 1 0 0 1\n", "m.map:4: lines and columns count from 1"},
        {head + "file 2 q.tasm\n", "m.map:4: file 2 where file 1 comes next (files are numbered from 0 in order)"},
        {head + "file 1\n", "m.map:4: 'file' needs a name after its number"},
        {head + "instr 0 1 1 1 1\n", "m.map:4: file 1 is not listed in the map"},
        {head + "instr 19 2 0 1 1\n", "m.map:4: the instruction at byte 19 runs past the end of the image (20 bytes)"},
        {head + "instr 18446744073709551615 2 0 1 1\n",
         "m.map:4: the instruction at byte 18446744073709551615 runs past the end of the image (20 bytes)"},
        {head + "raw 3 0 0 1 1\n", "m.map:4: an empty raw span"},
        {head + "instr 0 5 0 1 1\ninstr 0 1 0 2 1\n", "m.map:5: the instruction at byte 0 starts where the one on line 4 does"},
        {head + "instr 0 5 0 1 1\ninstr 4 3 0 2 1\n",
         "m.map:5: the instruction at byte 4 overlaps the end of the one at byte 0 (line 4)"},
        {head + "raw 0 5 0 1 1\ninstr 2 1 0 2 1\n", "m.map:5: the raw bytes at byte 0 (line 4) cannot hold the instruction at byte 2"},
        {head + "body 5 10 0 1 1\nbody 3 4 0 2 1\n", "m.map:4: the function body at byte 5 overlaps the end of the one at byte 3 (line 5)"},
        {head + "42 0 1 0 1 1\n", "m.map:4: expected a record: a lower-case keyword and its fields"},
    };
    for (const auto& [text, message] : cases) {
        try {
            T4VM::parsesourcemap(text, "m.map");
            ADD_FAILURE() << "accepted: " << text;
        } catch (const T4VM::sourcemaperror& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }
}

// Nested bodies, a list whose function elements the image holds last to first, one-line bodies, a
// tab before an instruction.
const std::string nested = R"(; square(n), then a list of functions
pushconst func {            ; square
    loadlocal arg0
    loadlocal arg0
    mul
}
storelocal square
pushconst [func { ret }, 5, func {
    pushconst 1
    whileblock { pushconst 0 }
}]
	pop
pushconst 12
loadlocal square
call 1
)";

std::string sourceat(const std::string& source, const T4VM::sourceposition& where) {
    std::size_t at = 0;
    for (std::uint32_t line = 1; line < where.line; ++line) at = source.find('\n', at) + 1;
    return source.substr(at + where.column - 1, source.find('\n', at) - (at + where.column - 1));
}

// The map of an assembled source: its instructions and bodies are where the disassembler finds them,
// and each points at the instruction's name or the body's brace in the source.
void checkmap(const std::string& source, const image& bytes, const T4VM::sourcemap& map) {
    ASSERT_EQ(map.imagesize, bytes.size());
    const T4VM::decoding decoded = T4VM::decode(bytes);
    std::vector<T4VM::decodedspan> instructions, bodies;
    for (const auto& span : map.code) {
        ASSERT_FALSE(span.raw);
        instructions.push_back({span.offset, span.length});
        ASSERT_LT(span.offset, bytes.size());
        const T4VM::opcodeinfo* info = T4VM::findopcode(bytes[span.offset]);
        ASSERT_NE(info, nullptr) << "no instruction at byte " << span.offset;
        const std::string_view name = info->name;
        const std::string text = sourceat(source, span.where);
        EXPECT_TRUE(text.starts_with(name) && (text.size() == name.size() || !T4VM::isidentchar(text[name.size()])))
            << "byte " << span.offset << " is " << name << ", the map points at: " << text;
    }
    for (const auto& span : map.bodies) {
        bodies.push_back({span.offset, span.length});
        EXPECT_EQ(sourceat(source, span.where)[0], '{') << "body at byte " << span.offset;
    }
    EXPECT_EQ(instructions, decoded.instructions);
    EXPECT_EQ(bodies, decoded.bodies);
}

TEST(SourceMap, AssemblerPlacesEveryInstructionAndBody) {
    T4VM::sourcemap map;
    const image bytes = T4VM::assemble(nested, "prog.tasm", map);
    EXPECT_EQ(bytes, T4VM::assemble(nested, "prog.tasm"));
    EXPECT_EQ(map.files, std::vector<std::string>{"prog.tasm"});
    EXPECT_EQ(map.code.size(), 14u);
    EXPECT_EQ(map.bodies.size(), 4u);
    checkmap(nested, bytes, map);
    auto on = [&](std::uint32_t line) {
        std::vector<std::string> found;
        for (auto offset : map.offsetsof(0, line)) found.push_back(map.describe(map.at(offset)->where));
        return found;
    };
    EXPECT_EQ(on(8), (std::vector<std::string>{"prog.tasm:8:1", "prog.tasm:8:19"}));  // pushconst, ret
    EXPECT_EQ(on(10), (std::vector<std::string>{"prog.tasm:10:5", "prog.tasm:10:18"}));
    EXPECT_EQ(on(12), std::vector<std::string>{"prog.tasm:12:2"});  // the tab counts as one column
    EXPECT_TRUE(on(6).empty());
    EXPECT_EQ(map.describe(map.bodies.back().where), "prog.tasm:8:17");  // the ret body, last in the image
}

TEST(SourceMap, GeneratedSourcesMapAsTheyDisassemble) {
    T4VM::sourcemap map;
    rng.seed(5);  // generated sources nest functions in lists and dictionaries
    for (int i = 0; i < 1500; ++i) {
        const std::string source = program(0);
        const image generated = T4VM::assemble(source, "gen.tasm", map);
        checkmap(source, generated, map);
        ASSERT_EQ(T4VM::parsesourcemap(T4VM::writesourcemap(map)), map) << source;
        ASSERT_FALSE(HasFailure()) << source;
    }
}

TEST(SourceMap, RawBytesAreSpansOfTheirOwn) {
    const std::string source = "pushconst func {\n    .bytes 28 28\n    .bytes\n    add\n}\n.bytes 0e 00 00 00 00 2a\n";
    T4VM::sourcemap map;
    const image bytes = T4VM::assemble(source, "raw.tasm", map);
    const std::vector<T4VM::sourcespan> code = {
        {0, 9, {0, 1, 1}, false}, {6, 2, {0, 2, 5}, true}, {8, 1, {0, 4, 5}, false}, {9, 6, {0, 6, 1}, true}};
    EXPECT_EQ(map.code, code);  // the empty .bytes line puts nothing in the image and has no span
    EXPECT_EQ(map.at(7), &map.code[1]);
    EXPECT_EQ(map.at(14), &map.code[3]);
    EXPECT_TRUE(map.offsetsof(0, 2).empty());  // raw bytes are no instructions to stop at
}

TEST(SourceMap, LookupsFindTheInnermostSpan) {
    T4VM::sourcemap map;
    const image bytes = T4VM::assemble(nested, "src/prog.tasm", map);
    auto line = [&](std::uint64_t offset) { return map.at(offset) ? int(map.at(offset)->where.line) : 0; };
    for (std::uint64_t offset = 0; offset < 6; ++offset) EXPECT_EQ(line(offset), 2);  // opcode, type, length
    EXPECT_EQ(line(6), 3);
    EXPECT_EQ(line(bytes.size() - 1), 15);
    EXPECT_EQ(line(bytes.size()), 0);
    // The 5 between the two functions lies after the last instruction of one body and before the
    // other: it belongs to the pushconst holding the list, not to the nearest instruction before it.
    const image five = {type::integer, 0, 0, 0, 5};
    const auto at = std::search(bytes.begin(), bytes.end(), five.begin(), five.end()) - bytes.begin();
    EXPECT_EQ(line(at), 8);
    EXPECT_EQ(line(at - 1), 10);
    EXPECT_EQ(map.bodyat(0), nullptr);
    EXPECT_EQ(map.bodyat(6), &map.bodies[0]);
    EXPECT_EQ(map.bodyat(at), nullptr);  // inside the list operand, not inside a body
    const auto zero = map.offsetsof(0, 10).back();
    ASSERT_EQ(map.bodyat(zero)->where.line, 10u);           // whileblock's body
    EXPECT_EQ(map.bodyat(zero - 6)->where.line, 8u);        // whileblock itself, in the list's second function

    map.files = {"src/prog.tasm", "lib/util.tasm", "other/util.tasm", "prog.tasm"};
    EXPECT_EQ(map.findfile("prog.tasm"), 3u);  // an exact name comes first
    EXPECT_EQ(map.findfile("src/prog.tasm"), 0u);
    EXPECT_EQ(map.findfile("lib/util.tasm"), 1u);
    EXPECT_EQ(map.findfile("util.tasm"), std::nullopt);  // two files end so
    EXPECT_EQ(map.findfile("og.tasm"), std::nullopt);    // not at a path boundary
}

// Drops the comments t4dis adds for a map: two or more spaces, then "; " to the end of the line.
std::string withoutpositions(const std::string& text) {
    std::string out;
    for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        if (const std::size_t comment = line.find("  ; "); comment != std::string::npos)
            line.resize(line.find_last_not_of(' ', comment) + 1);
        out += line + "\n";
    }
    return out;
}

TEST(SourceMap, DisassemblyShowsPositionsAndStillAssemblesTheSame) {
    T4VM::sourcemap map;
    const image bytes = T4VM::assemble(nested, "prog.tasm", map);
    const std::string plain = T4VM::disassemble(bytes);
    const std::string annotated = T4VM::disassemble(bytes, &map);
    EXPECT_EQ(T4VM::assemble(annotated), bytes);
    EXPECT_EQ(withoutpositions(annotated), plain);
    EXPECT_NE(annotated.find("pushconst [func {                       ; prog.tasm:8:1\n"
                             "    ret                                 ; prog.tasm:8:19\n"
                             "}, 5, func {\n"
                             "    pushconst 1                         ; prog.tasm:9:5\n"
                             "    whileblock {                        ; prog.tasm:10:5\n"
                             "        pushconst 0                     ; prog.tasm:10:18\n"
                             "    }\n"
                             "}]\n"
                             "pop                                     ; prog.tasm:12:2\n"),
              std::string::npos)
        << annotated;
    // Lines the map does not place get no comment: here it knows only the first instruction.
    map.code.resize(1);
    const std::string partial = T4VM::disassemble(bytes, &map);
    EXPECT_EQ(std::count(partial.begin(), partial.end(), ';'), 4);  // the first line and the three in its body
    EXPECT_EQ(T4VM::assemble(partial), bytes);

    rng.seed(6);
    for (int i = 0; i < 1500; ++i) {
        const std::string source = program(0);
        image generated = T4VM::assemble(source, "gen \"x\".tasm", map);
        generated.resize(below(generated.size() + 1));  // a cut image has .bytes lines with positions too
        const std::string text = T4VM::disassemble(generated, &map);
        ASSERT_EQ(T4VM::assemble(text), generated) << text;
        ASSERT_EQ(withoutpositions(text), T4VM::disassemble(generated)) << text;
    }
}

// The two command lines as a user runs them, in a scratch directory.
class Commands : public ::testing::Test {
protected:
    std::filesystem::path dir;

    void SetUp() override {
        char name[] = "/tmp/t4maps-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        std::ofstream(dir / "prog.tasm", std::ios::binary) << nested;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string get(const std::string& name) const {
        auto text = T4VM::readwhole((dir / name).string());
        return text ? *text : "<missing>";
    }
    // Standard output and error end up in the files out and err.
    int run(const std::string& command) const {
        const int status = std::system(("cd '" + dir.string() + "' && " + command + " >out 2>err").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

const std::string t4asm = std::string("'") + T4ASM + "' ", t4dis = std::string("'") + T4DIS + "' ";

// The map written beside -o and found by t4dis is pinned by the examples of docs/tools.md.
TEST_F(Commands, AssemblerWritesTheMapThatTheDisassemblerFinds) {
    const image bytes = T4VM::assemble(nested, "prog.tasm");
    const std::string image(bytes.begin(), bytes.end());
    ASSERT_EQ(run(t4asm + "-g prog.tasm -o prog.t4b"), 0) << get("err");
    ASSERT_EQ(run(t4dis + "--no-map prog.t4b"), 0);
    EXPECT_EQ(get("out"), T4VM::disassemble(bytes));
    ASSERT_EQ(run(t4dis + "- <prog.t4b"), 0);  // standard input has nothing beside it
    EXPECT_EQ(get("out"), T4VM::disassemble(bytes));

    std::filesystem::create_directory(dir / "sub");  // -g without -o: both beside the input
    std::filesystem::copy_file(dir / "prog.tasm", dir / "sub/p.tasm");
    ASSERT_EQ(run(t4asm + "-g sub/p.tasm"), 0) << get("err");
    EXPECT_EQ(get("sub/p.t4b"), image);
    EXPECT_EQ(T4VM::parsesourcemap(get("sub/p.t4b.map")).files, std::vector<std::string>{"sub/p.tasm"});
    ASSERT_EQ(run(t4asm + "prog.tasm -o plain.t4b"), 0);
    EXPECT_EQ(get("plain.t4b"), image);
    EXPECT_FALSE(std::filesystem::exists(dir / "plain.t4b.map"));
}

TEST_F(Commands, MapsThatCannotBeWrittenOrUsedAreRefused) {
    EXPECT_EQ(run(t4asm + "-g prog.tasm -o -"), 1);
    EXPECT_EQ(get("err"), "t4asm: -g writes the map beside the image, so it needs -o FILE, not standard output\n");
    EXPECT_EQ(get("out"), "");

    ASSERT_EQ(run(t4asm + "prog.tasm -o prog.t4b"), 0);
    std::ofstream(dir / "prog.t4b.map") << "t4map 1\nimage 99\nfile 0 prog.tasm\ninstr 0 1 0 1\n";
    EXPECT_EQ(run(t4dis + "prog.t4b"), 1);
    EXPECT_EQ(get("err"), "t4dis: prog.t4b.map:4: 'instr' takes 5 numbers\nt4dis: --no-map disassembles without the map\n");
    EXPECT_EQ(get("out"), "");
    EXPECT_EQ(run(t4dis + "--no-map prog.t4b"), 0);

    std::ofstream(dir / "prog.t4b.map") << "t4map 1\nimage 99\nfile 0 prog.tasm\n";
    EXPECT_EQ(run(t4dis + "prog.t4b"), 1);
    EXPECT_EQ(get("err"), "t4dis: prog.t4b.map describes an image of 99 bytes, but prog.t4b has " +
                              std::to_string(get("prog.t4b").size()) +
                              ": the map belongs to another build\nt4dis: --no-map disassembles without the map\n");
}

}  // namespace
