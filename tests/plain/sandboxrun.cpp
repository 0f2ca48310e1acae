// Runs program images the way the machine fuzz harness does (fuzz/sandboxrun.h) and prints what
// each run did, so that compare.py can set the records of the normal build beside those of the
// plain one. Starting one process per input would cost more than the runs themselves.
//
//   sandboxrun --build        prints "plain" or "fast": which machine this tool was built with
//   sandboxrun IMAGE...       one record per image, in the order given, on standard output
//
// A record is the line "record NAME STATUS OUT ERR\n", the three numbers being the lengths in
// bytes of the image's path and of the run's standard output and standard error, then those
// three byte strings one after another, then "\n". Lengths rather than separators, since a run
// may print any bytes.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sandboxrun.h"
#include "vm/shortcuts.h"
#include "vm/embed.h"

namespace {

void put(const std::string& bytes) { std::fwrite(bytes.data(), 1, bytes.size(), stdout); }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--build") == 0) {
        std::puts(T4VM::plainbuild ? "plain" : "fast");
        return 0;
    }
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: sandboxrun --build | sandboxrun IMAGE...\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        std::ifstream file(name, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "sandboxrun: cannot read %s\n", argv[i]);
            return 2;
        }
        const std::vector<T4VM::byte> image{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        const T4VM::runresult result = t4fuzz::runinsandbox(image);
        put("record " + std::to_string(name.size()) + " " + std::to_string(result.status) + " " +
            std::to_string(result.out.size()) + " " + std::to_string(result.err.size()) + "\n");
        put(name);
        put(result.out);
        put(result.err);
        put("\n");
    }
    return std::fflush(stdout) == 0 ? 0 : 2;
}
