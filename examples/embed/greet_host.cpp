// A host program with a module of its own. Programs it runs can call greet.hello(name), which
// returns a greeting, and greet.add(a, b), which adds two numbers. What the program writes is
// passed on as it is written; at the end the host says how the run ended.
//
//   greet_host IMAGE
#include <cstdint>
#include <iostream>
#include <limits>

#include <t4vm/t4vm.h>

namespace {

t4vm::value hello(const t4vm::arguments& args) {
    if (args.size() != 1) throw t4vm::failure("greet.hello takes one argument, a name");
    return "Hello, " + args[0].astext() + "!";  // astext fails the call when arg0 is no text
}

t4vm::value add(const t4vm::arguments& args) {
    if (args.size() != 2) throw t4vm::failure("greet.add takes two numbers");
    if (!args[0].isint() || !args[1].isint()) return args[0].asfloat() + args[1].asfloat();
    // The machine's integers have 32 bits: a sum that does not fit fails rather than wraps.
    const std::int64_t sum = std::int64_t{args[0].asint()} + args[1].asint();
    if (sum < std::numeric_limits<std::int32_t>::min() || sum > std::numeric_limits<std::int32_t>::max())
        throw t4vm::failure("greet.add: the sum does not fit in an integer");
    return static_cast<std::int32_t>(sum);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: greet_host IMAGE\n";
        return 2;
    }
    t4vm::machine vm;
    vm.addmodule("greet", {{"hello", hello}, {"add", add}});
    vm.setoutput([](std::string_view text) { std::cout << text; });
    vm.seterror(std::cerr);
    // The image comes from the command line: keep it from running forever or reaching out.
    vm.setlimits({.instructions = 10'000'000, .nosystem = true, .nosockets = true});

    const t4vm::result run = vm.runfile(argv[1]);
    std::cout << "[host] status " << run.status;
    if (run.code) std::cout << ", closing code " << *run.code;
    std::cout << "\n";
    return run.status;
}
