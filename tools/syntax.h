// Lexical rules that t4asm and t4dis must agree on: whatever the disassembler prints bare, the
// assembler has to read back as the same operand, and neither may nest deeper than the other accepts.
#pragma once

#include <string_view>

namespace T4VM {

// Lists, dictionaries and function bodies each count one level. Both tools recurse per level, so the
// limit keeps a hostile image or source from exhausting the C++ stack.
inline constexpr int maxnesting = 1000;

inline constexpr bool isidentstart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

inline constexpr bool isidentchar(char c) { return isidentstart(c) || (c >= '0' && c <= '9'); }

// Words that stand for an operand of their own and therefore cannot be bare names. "dict" is not
// among them: it only means something when a '{' follows, which a bare name never has.
inline constexpr bool iskeyword(std::string_view word) {
    return word == "class" || word == "stack" || word == "func";
}

inline constexpr bool isbarename(std::string_view text) {
    if (text.empty() || !isidentstart(text[0]) || iskeyword(text)) return false;
    for (char c : text)
        if (!isidentchar(c)) return false;
    return true;
}

}  // namespace T4VM
