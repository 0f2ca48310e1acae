// What every harness does when an input breaks a property: say what broke, then abort, so
// libFuzzer saves the input and the replay test fails on it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace t4fuzz {

[[noreturn]] inline void finding(const std::string& what) {
    std::fprintf(stderr, "finding: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// Where two byte strings first differ, for a report that can be checked by eye.
inline std::string firstdifference(std::span<const std::uint8_t> expected, std::span<const std::uint8_t> actual) {
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    return "lengths " + std::to_string(expected.size()) + " and " + std::to_string(actual.size()) +
           ", first difference at byte " + std::to_string(at);
}

}  // namespace t4fuzz
