// Runs a harness over saved inputs without libFuzzer: each file named on the command line, or
// found below a directory named there, goes once through LLVMFuzzerTestOneInput. A harness
// aborts on a finding, so the run fails on any input that breaks it again. An input that runs too
// long or takes too much memory fails it too: under libFuzzer those are findings as well.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define T4VM_REPLAY_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define T4VM_REPLAY_ASAN 1
#endif
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

// Generous next to the slowest saved input in a sanitizer build that collects every few steps
// (about 10 s: a copy refused only at its two millionth object).
constexpr unsigned secondsperinput = 30;
constexpr rlim_t memorylimit = rlim_t{4} << 30;

char current[4096];  // the input being replayed, for the report of one that overruns its time

void overtime(int) {
    const char message[] = "replay: input ran longer than the time allowed: ";
    [[maybe_unused]] auto written = ::write(2, message, sizeof message - 1);
    written = ::write(2, current, std::strlen(current));
    written = ::write(2, "\n", 1);
    ::_exit(1);
}

// The sanitizer runtime reserves terabytes of address space, so there it watches the memory
// actually used instead.
void limitmemory() {
#ifndef T4VM_REPLAY_ASAN
    rlimit limit{memorylimit, memorylimit};
    ::setrlimit(RLIMIT_AS, &limit);
#endif
}

}  // namespace

#ifdef T4VM_REPLAY_ASAN
extern "C" const char* __asan_default_options() { return "hard_rss_limit_mb=4096"; }
#endif

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path named(argv[i]);
        if (fs::is_directory(named)) {
            for (const auto& entry : fs::recursive_directory_iterator(named))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        } else if (fs::is_regular_file(named)) {
            inputs.push_back(named);
        } else {
            std::fprintf(stderr, "replay: no such file or directory: %s\n", argv[i]);
            return 2;
        }
    }
    // An empty corpus would make the replay pass without checking anything.
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 2;
    }
    std::sort(inputs.begin(), inputs.end());
    limitmemory();
    std::signal(SIGALRM, overtime);
    for (const fs::path& input : inputs) {
        std::fprintf(stderr, "replay: %s\n", input.c_str());
        std::ifstream file(input, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        std::snprintf(current, sizeof current, "%s", input.c_str());
        ::alarm(secondsperinput);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ::alarm(0);
    }
    std::fprintf(stderr, "replay: %zu inputs, no findings\n", inputs.size());
    return 0;
}
