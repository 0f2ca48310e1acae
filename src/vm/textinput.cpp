#include "vm/textinput.h"

#include <new>

namespace T4VM {

namespace {

using traits = std::istream::traits_type;

constexpr std::size_t chunksize = 64 * 1024;

// Past the limit a text is treated as memory that is not there, so it takes the machine's one
// out-of-memory path.
void checksize(std::size_t size, std::size_t limit) {
    if (size > limit) throw std::bad_alloc();
}

// A stream that already met the end (or a file that never opened) gives nothing more, as for
// std::getline; a terminal is not asked again after its end of input.
bool exhausted(std::istream& in) {
    if (in.good()) return false;
    in.setstate(std::ios::failbit);
    return true;
}

}  // namespace

bool readline(std::istream& in, std::string& line, std::size_t limit) {
    line.clear();
    if (exhausted(in)) return false;
    std::streambuf& source = *in.rdbuf();
    bool extracted = false;  // a line feed alone is a line too
    try {
        for (;;) {
            const traits::int_type c = source.sbumpc();
            if (traits::eq_int_type(c, traits::eof())) break;
            extracted = true;
            if (traits::to_char_type(c) == '\n') return true;
            line.push_back(traits::to_char_type(c));
            checksize(line.size(), limit);
        }
    } catch (const std::ios_base::failure&) {
        // The system refused the read (a directory opened as a file): no line, as std::getline
        // has it.
        in.setstate(extracted ? std::ios::badbit : std::ios::badbit | std::ios::failbit);
        line.clear();
        return false;
    }
    in.setstate(extracted ? std::ios::eofbit : std::ios::eofbit | std::ios::failbit);
    return extracted;
}

std::string readrest(std::istream& in, std::size_t limit) {
    std::string text;
    if (exhausted(in)) return text;
    std::streambuf& source = *in.rdbuf();
    for (;;) {
        const std::size_t before = text.size();
        checksize(before, limit);
        text.resize(before + chunksize);
        std::streamsize got = 0;
        try {
            got = source.sgetn(text.data() + before, chunksize);
        } catch (const std::ios_base::failure&) {
            // As a line by line read would: the lines before the refused read, not the piece
            // of one after them.
            in.setstate(std::ios::badbit | std::ios::failbit);
            text.resize(before);
            const std::size_t lastend = text.rfind('\n');
            text.resize(lastend == std::string::npos ? 0 : lastend + 1);
            return text;
        }
        text.resize(before + static_cast<std::size_t>(got));
        // A short piece is the end: asking again would wait for a second end of input on a
        // terminal.
        if (static_cast<std::size_t>(got) < chunksize) break;
    }
    checksize(text.size(), limit);
    in.setstate(std::ios::eofbit | std::ios::failbit);
    if (!text.empty() && text.back() != '\n') text.push_back('\n');
    return text;
}

}  // namespace T4VM
