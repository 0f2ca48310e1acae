#include "sourcemap.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace T4VM {

namespace {

constexpr std::string_view magic = "t4map";

std::string describeerror(std::string_view name, std::size_t line, const std::string& message) {
    std::string text(name);
    if (line > 0) text += ":" + std::to_string(line);
    return text + ": " + message;
}

std::string spanline(std::string_view keyword, const sourcespan& span) {
    std::string line(keyword);
    for (std::uint64_t field : {span.offset, span.length, std::uint64_t(span.where.file),
                                std::uint64_t(span.where.line), std::uint64_t(span.where.column)}) {
        line += ' ';
        line += std::to_string(field);
    }
    line += '\n';
    return line;
}

// Contained spans come after their container: by offset, the longer first.
bool inorder(const sourcespan& a, const sourcespan& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.length > b.length;
}

// The innermost span of an ordered, properly nested list holding the byte at offset. The spans
// holding a byte form a chain of nested spans, so the last one starting at or before it that
// holds it is the innermost.
const sourcespan* innermost(const std::vector<sourcespan>& spans, std::uint64_t offset) {
    auto it = std::upper_bound(spans.begin(), spans.end(), offset,
                               [](std::uint64_t at, const sourcespan& span) { return at < span.offset; });
    while (it != spans.begin()) {
        --it;
        if (it->contains(offset)) return &*it;
    }
    return nullptr;
}

class reader {
public:
    reader(std::string_view text, std::string_view name) : text(text), name(name) {}

    sourcemap run() {
        std::optional<std::size_t> imageline;
        while (nextline()) {
            if (lineno == 1) {
                header();
                continue;
            }
            const std::string_view keyword = field();
            if (keyword == "image") {
                if (imageline) fail("a second 'image' record (the first is on line " + std::to_string(*imageline) + ")");
                imageline = lineno;
                map.imagesize = number("image", 1, std::numeric_limits<std::uint64_t>::max());
                finish("image", 1);
            } else if (keyword == "file") {
                file();
            } else if (keyword == "instr" || keyword == "raw") {
                code.push_back({span(keyword, keyword == "raw"), lineno});
            } else if (keyword == "body") {
                bodies.push_back({span(keyword, false), lineno});
            } else if (keyword.empty() || !std::all_of(keyword.begin(), keyword.end(), [](char c) { return c >= 'a' && c <= 'z'; })) {
                fail("expected a record: a lower-case keyword and its fields");
            }
            // Other keywords are records of later additions to the format, which this reader can do without.
        }
        if (lineno == 0) fail("empty file, not a source map");
        if (!imageline) throw sourcemaperror(name, 0, "no 'image' record");
        check(code, "instruction", true);
        check(bodies, "function body", false);
        for (auto& [span, line] : code) map.code.push_back(span);
        for (auto& [span, line] : bodies) map.bodies.push_back(span);
        return std::move(map);
    }

private:
    using located = std::pair<sourcespan, std::size_t>;  // a span and the map line it is on

    std::string_view text;
    std::string_view name;
    std::size_t next = 0;  // where the next line starts
    std::string_view rest;  // what is left of the current line
    std::size_t lineno = 0;
    sourcemap map;
    std::vector<located> code, bodies;

    [[noreturn]] void fail(const std::string& message) const { failat(lineno, message); }
    [[noreturn]] void failat(std::size_t line, const std::string& message) const {
        throw sourcemaperror(name, line, message);
    }

    bool nextline() {
        if (next >= text.size()) return false;
        std::size_t newline = text.find('\n', next);
        if (newline == std::string_view::npos) newline = text.size();
        rest = text.substr(next, newline - next);
        next = newline + 1;
        ++lineno;
        if (rest.empty()) fail("empty line");
        return true;
    }

    // The next space-separated field of the line.
    std::string_view field() {
        const std::size_t space = rest.find(' ');
        const std::string_view word = rest.substr(0, space);
        if (space == std::string_view::npos) {
            rest = {};
        } else {
            rest = rest.substr(space + 1);
            if (word.empty() || rest.empty()) fail("fields are separated by single spaces, with none at either end");
        }
        return word;
    }

    std::uint64_t number(std::string_view keyword, std::size_t count, std::uint64_t limit) {
        const std::string_view word = field();
        const std::string usage = "'" + std::string(keyword) + "' takes " + std::to_string(count) +
                                  (count == 1 ? " number" : " numbers");
        if (word.empty()) fail(usage);
        std::uint64_t value = 0;
        for (char c : word) {
            if (c < '0' || c > '9') fail(usage + ", and '" + std::string(word) + "' is not a decimal number");
            const std::uint64_t digit = std::uint64_t(c - '0');
            if (value > (limit - digit) / 10) fail("the number " + std::string(word) + " is too large");
            value = value * 10 + digit;
        }
        return value;
    }

    void finish(std::string_view keyword, std::size_t count) {
        if (!rest.empty())
            fail("'" + std::string(keyword) + "' takes " + std::to_string(count) +
                 (count == 1 ? " number" : " numbers") + ", and there is more on the line");
    }

    void header() {
        if (field() != magic) fail("not a source map: the first line must be 't4map VERSION'");
        const std::uint64_t version = number(magic, 1, std::numeric_limits<std::uint32_t>::max());
        finish(magic, 1);
        if (version != sourcemapversion)
            fail("map format version " + std::to_string(version) + " is not supported (this reader knows version " +
                 std::to_string(sourcemapversion) + ")");
    }

    void file() {
        const std::uint64_t index = number("file", 1, std::numeric_limits<std::uint32_t>::max());
        if (index != map.files.size())
            fail("file " + std::to_string(index) + " where file " + std::to_string(map.files.size()) +
                 " comes next (files are numbered from 0 in order)");
        if (rest.empty()) fail("'file' needs a name after its number");
        map.files.emplace_back(rest);
    }

    sourcespan span(std::string_view keyword, bool raw) {
        constexpr std::uint64_t maxu32 = std::numeric_limits<std::uint32_t>::max();
        constexpr std::uint64_t maxu64 = std::numeric_limits<std::uint64_t>::max();
        sourcespan span;
        span.raw = raw;
        span.offset = number(keyword, 5, maxu64);
        span.length = number(keyword, 5, maxu64);
        span.where.file = std::uint32_t(number(keyword, 5, maxu32));
        span.where.line = std::uint32_t(number(keyword, 5, maxu32));
        span.where.column = std::uint32_t(number(keyword, 5, maxu32));
        finish(keyword, 5);
        if (span.where.line == 0 || span.where.column == 0) fail("lines and columns count from 1");
        return span;
    }

    // Every span lies in the image, names a file the map lists, and nests properly in the others.
    void check(std::vector<located>& spans, const std::string& kind, bool iscode) {
        auto noun = [&](const sourcespan& span) { return span.raw ? std::string("raw span") : kind; };
        for (const auto& [span, line] : spans) {
            if (span.where.file >= map.files.size())
                failat(line, "file " + std::to_string(span.where.file) + " is not listed in the map");
            if (span.length > map.imagesize || span.offset > map.imagesize - span.length)
                failat(line, "the " + noun(span) + " at byte " + std::to_string(span.offset) +
                                 " runs past the end of the image (" + std::to_string(map.imagesize) + " bytes)");
            if (iscode && span.length == 0) failat(line, "an " + std::string(span.raw ? "empty raw span" : "instruction of length 0"));
        }
        std::stable_sort(spans.begin(), spans.end(), [](const located& a, const located& b) { return inorder(a.first, b.first); });
        std::vector<const located*> open;  // the spans holding the current one, outermost first
        for (std::size_t i = 0; i < spans.size(); ++i) {
            const auto& [span, line] = spans[i];
            if (i > 0 && spans[i - 1].first.offset == span.offset)
                failat(line, "the " + noun(span) + " at byte " + std::to_string(span.offset) + " starts where the one on line " +
                                 std::to_string(spans[i - 1].second) + " does");
            while (!open.empty() && open.back()->first.end() <= span.offset) open.pop_back();
            if (!open.empty()) {
                const auto& [outer, outerline] = *open.back();
                if (span.end() > outer.end())
                    failat(line, "the " + noun(span) + " at byte " + std::to_string(span.offset) + " overlaps the end of the one at byte " +
                                     std::to_string(outer.offset) + " (line " + std::to_string(outerline) + ")");
                if (outer.raw)
                    failat(line, "the raw bytes at byte " + std::to_string(outer.offset) + " (line " + std::to_string(outerline) +
                                     ") cannot hold the " + noun(span) + " at byte " + std::to_string(span.offset));
            }
            open.push_back(&spans[i]);
        }
    }
};

}  // namespace

const sourcespan* sourcemap::at(std::uint64_t offset) const { return innermost(code, offset); }

const sourcespan* sourcemap::bodyat(std::uint64_t offset) const { return innermost(bodies, offset); }

std::vector<std::uint64_t> sourcemap::offsetsof(std::uint32_t file, std::uint32_t line) const {
    std::vector<std::uint64_t> offsets;
    for (const auto& span : code)
        if (!span.raw && span.where.file == file && span.where.line == line) offsets.push_back(span.offset);
    return offsets;
}

std::optional<std::uint32_t> sourcemap::findfile(std::string_view name) const {
    for (std::size_t i = 0; i < files.size(); ++i)
        if (files[i] == name) return std::uint32_t(i);
    std::optional<std::uint32_t> found;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        if (!name.empty() && file.size() > name.size() && file.ends_with(name) && file[file.size() - name.size() - 1] == '/') {
            if (found) return std::nullopt;  // ambiguous
            found = std::uint32_t(i);
        }
    }
    return found;
}

std::string sourcemap::describe(const sourceposition& where) const {
    std::string text = where.file < files.size() ? files[where.file] : "?";
    return text + ":" + std::to_string(where.line) + ":" + std::to_string(where.column);
}

sourcemaperror::sourcemaperror(std::string_view name, std::size_t line, const std::string& message)
    : std::runtime_error(describeerror(name, line, message)), line(line), message(message) {}

std::string writesourcemap(const sourcemap& map) {
    std::string text = std::string(magic) + " " + std::to_string(sourcemapversion) + "\n";
    text += "image " + std::to_string(map.imagesize) + "\n";
    for (std::size_t i = 0; i < map.files.size(); ++i) {
        const std::string& file = map.files[i];
        if (file.empty() || file.find('\n') != std::string::npos)
            throw std::invalid_argument("a source map cannot name a file '" + file + "': names are one line, not empty");
        text += "file " + std::to_string(i) + " " + file + "\n";
    }
    // Bodies among the instructions, each before the first instruction it holds, so that the map
    // reads in image order; readers take the records in any order.
    std::vector<std::pair<const sourcespan*, bool>> records;
    for (const auto& span : map.bodies) records.emplace_back(&span, true);
    for (const auto& span : map.code) records.emplace_back(&span, false);
    std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
        if (a.first->offset != b.first->offset) return a.first->offset < b.first->offset;
        return a.second && !b.second;
    });
    for (const auto& [span, isbody] : records) text += spanline(isbody ? "body" : span->raw ? "raw" : "instr", *span);
    return text;
}

sourcemap parsesourcemap(std::string_view text, std::string_view name) { return reader(text, name).run(); }

}  // namespace T4VM
