// The embedding library through its public header only, as a host uses it: runs that match the
// t4vm executable's, host modules, streams, limits, and machines in threads.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>

#include "t4vm/t4vm.h"

namespace {

const std::string scratch = [] {
    char pattern[] = "/tmp/t4vm-api-XXXXXX";
    return std::string(::mkdtemp(pattern));
}();
const struct removal {
    ~removal() { std::filesystem::remove_all(scratch); }
} scratchremoval;

std::string readfile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The image of `source`, made by the t4asm tool (the library has no assembler), also left at `path`.
std::vector<std::uint8_t> assemble(const std::string& source, const std::string& path = scratch + "/prog.t4b") {
    std::ofstream(scratch + "/prog.tasm") << source;
    const std::string command = std::string(T4ASM) + " " + scratch + "/prog.tasm -o " + path;
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << "t4asm failed on:\n" << source;
    const std::string bytes = readfile(path);
    return {bytes.begin(), bytes.end()};
}

// `text` written to standard output.
std::string prints(const std::string& text) {
    return "pushconst \"" + text + "\"\nenterattr stdout\nloadattr write\ncall 1\nleave\n";
}

// `greet.FUNCTION` called with the values the lines of `arguments` push, its result left on the stack.
std::string calls(const std::string& function, const std::string& arguments, int count) {
    return arguments + "enterattr greet\nloadattr " + function + "\ncall " + std::to_string(count) + "\nleave\n";
}

// Writes the top of the data stack and a line feed.
const std::string writetop = "enterattr stdout\nloadattr write\ncall 1\npushconst \"\\n\"\nloadattr write\ncall 1\nleave\n";

t4vm::machine greeter() {
    t4vm::machine vm;
    vm.addmodule("greet", {
        {"hello", [](const t4vm::arguments& args) -> t4vm::value { return "Hello, " + args.at(0).astext() + "!"; }},
        {"scale", [](const t4vm::arguments& args) -> t4vm::value { return args.at(0).asfloat() * args.at(1).asint(); }},
        {"sum", [](const t4vm::arguments& args) -> t4vm::value {
             std::int32_t total = 0;
             for (const t4vm::value& item : args.at(0).aslist()) total += item.asint();
             return t4vm::value::list{total, "items", static_cast<std::int32_t>(args.at(0).aslist().size())};
         }},
        {"nothing", [](const t4vm::arguments&) { return t4vm::value(); }},
        {"refuse", [](const t4vm::arguments&) -> t4vm::value { throw t4vm::failure("greet.refuse: not today"); }},
        {"crash", [](const t4vm::arguments& args) -> t4vm::value { return args.at(5); }},
    });
    return vm;
}

TEST(Runs, MatchTheExecutableByteForByte) {
    struct runcase {
        std::string source;
        std::vector<std::string> args;
        std::string input;
    };
    const runcase cases[] = {
        {prints("one\\n") + "pushconst 7\n", {}, ""},
        {prints("quiet\\n") + "pushconst 7\n", {"s"}, ""},
        {prints("ignored\\n"), {"a", "b"}, ""},
        {"pushconst 1\npop\npop\n", {}, ""},
        {"", {"a", "b", "c"}, ""},
        {"enterattr stdin\nloadattr getline\ncall 0\nleave\n" + writetop, {}, "typed line\nrest"},
    };
    for (const runcase& each : cases) {
        const std::vector<std::uint8_t> image = assemble(each.source);
        std::ofstream(scratch + "/in.txt") << each.input;
        std::string command = "cd " + scratch + " && " + T4VM_EXECUTABLE + " prog.t4b";
        for (const std::string& arg : each.args) command += " " + arg;
        const int wait = std::system((command + " <in.txt >out.txt 2>err.txt").c_str());
        t4vm::machine vm;
        vm.setarguments(each.args).setinput(each.input);
        for (const t4vm::result& got : {vm.run(image), vm.runfile(scratch + "/prog.t4b")}) {
            EXPECT_EQ(got.out, readfile(scratch + "/out.txt")) << each.source;
            EXPECT_EQ(got.err, readfile(scratch + "/err.txt")) << each.source;
            EXPECT_EQ(got.status, WEXITSTATUS(wait)) << each.source;
        }
    }
}

TEST(Runs, GiveTheClosingCodeOnlyWhenTheProgramEnds) {
    t4vm::machine vm;
    EXPECT_EQ(vm.run(assemble("pushconst 41\npushconst 1\nadd\n")).code, 42);
    EXPECT_EQ(vm.run(assemble("pushconst \"text\"\n")).code, std::nullopt);
    EXPECT_EQ(vm.setarguments({"silent"}).run(assemble("pushconst -3\n")).code, -3);
    const t4vm::result failed = vm.run(assemble("pushconst 5\nloadlocal missing\n"));
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.code, std::nullopt);
}

TEST(Runs, ImageThatCannotBeReadIsReportedAsTheExecutableDoes) {
    t4vm::machine vm;
    const t4vm::result missing = vm.runfile(scratch + "/absent.t4b");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "TARN 4 VM error: Cannot open program image \"" + scratch +
                               "/absent.t4b\": No such file or directory\nCodestack: \n\n");
    EXPECT_EQ(vm.runfile(scratch).err, "TARN 4 VM error: Cannot read program image \"" + scratch +
                                           "\": Is a directory\nCodestack: \n\n");
    EXPECT_EQ(vm.run({}).out, "\n<TARN 4> Program finished.\n");
}

TEST(HostModules, TakeAndReturnIntegersFloatsTextsAndLists) {
    t4vm::machine vm = greeter();
    const std::string source = calls("hello", "pushconst \"Ada\"\n", 1) + writetop +
                               calls("scale", "pushconst 1.25\npushconst 4\n", 2) + writetop +
                               calls("sum", "pushconst [1, 2, 39]\n", 1) + writetop +
                               calls("nothing", "", 0) + "pushconst 9\n";
    const t4vm::result got = vm.run(assemble(source));
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.out, "Hello, Ada!\n5.000000\n[42, \"items\", 3]\n\n<TARN 4> Program finished with code 9\n");
    // Numbers a collection has kept in the list without their objects reach the host as they are.
    const std::string append = "loadlocal l\nenter\nloadattr append\ncall 1\nleave\n";
    const std::string churn = "pushconst 0\nstorelocal k\npushconst 100000\nloadlocal k\nless\nwhileblock {\n"
                              "pushconst []\npop\npushconst 1\nloadlocal k\nadd\nstorelocal k\npushconst 100000\nloadlocal k\nless\n}\n";
    const std::string kept = "pushconst []\nstorelocal l\npushconst 1\n" + append + "pushconst 2\n" + append +
                             "pushconst 39\n" + append + churn + calls("sum", "loadlocal l\n", 1) + writetop;
    EXPECT_EQ(vm.run(assemble(kept)).out, "[42, \"items\", 3]\n\n<TARN 4> Program finished.\n");
}

TEST(HostModules, FunctionStoredAwayStillFindsItsHostFunction) {
    t4vm::machine vm = greeter();
    const std::string source = "enterattr greet\nloadattr hello\nleave\nstorelocal h\n"
                               "pushconst [0]\nstorelocal keep\nloadlocal h\nloadlocal keep\nenter\nloadattr append\ncall 1\nleave\n"
                               "pushconst \"again\"\npushconst 1\nloadlocal keep\nenter\nloadattr get\ncall 1\nleave\ncall 1\n" +
                               writetop;
    EXPECT_EQ(vm.run(assemble(source)).out, "Hello, again!\n\n<TARN 4> Program finished.\n");
}

TEST(HostModules, FailuresBecomeModuleErrorReports) {
    t4vm::machine vm = greeter();
    vm.setarguments({"silent"});
    const auto report = [&](const std::string& source) {
        const t4vm::result got = vm.run(assemble(source));
        EXPECT_EQ(got.status, 1);
        return got.err;
    };
    EXPECT_EQ(report(prints("before ") + calls("refuse", "", 0) + prints("after")),
              "TARN 4 VM error within module: greet.refuse: not today\n");
    EXPECT_EQ(report(calls("hello", "pushconst 5\n", 1)),
              "TARN 4 VM error within module: expected a text, got an integer\n");
    EXPECT_EQ(report(calls("crash", "pushconst 5\n", 1)).rfind("TARN 4 VM error within module: greet.crash failed: ", 0), 0u);
    EXPECT_EQ(report(calls("hello", "pushconst {}\n", 1)),
              "TARN 4 VM error within module: greet.hello: arg0 is a BUILTIN_DICT; host functions take integers, "
              "floats, texts and lists of them.\n");
    EXPECT_EQ(report("pushconst [1]\nstorelocal l\nloadlocal l\nloadlocal l\nenter\nloadattr append\ncall 1\nleave\n" +
                     calls("sum", "loadlocal l\n", 1)),
              "TARN 4 VM error within module: greet.sum: arg0 is a list that holds itself.\n");
    // Not silent: the report has the usual dump, with the host function on the call trace and the
    // main program's `leave` (6) still to run.
    const t4vm::result loud = greeter().run(assemble(calls("refuse", "", 0)));
    EXPECT_EQ(loud.out, "");
    EXPECT_EQ(loud.err, "TARN 4 VM error within module: greet.refuse: not today\nCodestack: \n6 \n"
                        "-------------------------\n\nCalltrace: \n  > refuse\n  < PROGRAM_ROOT of identifier: BUILTIN_FUNC\n");
}

TEST(Streams, OutputReachesTheSinkAsItIsWrittenAndInputComesFromTheHost) {
    t4vm::machine vm = greeter();
    std::string seen;
    std::vector<std::string> seenbyhost;
    vm.addmodule("probe", {{"look", [&](const t4vm::arguments&) {
                                seenbyhost.push_back(seen);
                                return t4vm::value();
                            }}});
    vm.setoutput([&](std::string_view text) { seen += text; });
    std::ostringstream errors;
    vm.seterror(errors);
    std::istringstream input("from the host\n");
    vm.setinput(input);
    const std::string source = prints("first\\n") + "enterattr probe\nloadattr look\ncall 0\nleave\n" +
                               "enterattr stdin\nloadattr getline\ncall 0\nleave\n" + writetop + "pushconst 1\npop\npop\n";
    const t4vm::result got = vm.run(assemble(source));
    EXPECT_EQ(seenbyhost, std::vector<std::string>{"first\n"});
    EXPECT_EQ(seen, "first\nfrom the host\n");
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(errors.str().rfind("TARN 4 VM error within module: datastack empty!\nCodestack: \n", 0), 0u);
}

TEST(Limits, KeepUntrustedImagesIn) {
    t4vm::machine vm = greeter();
    vm.setarguments({"silent"});
    const std::string forever = "pushconst 1\nwhileblock {\npushconst 1\n}\n";
    vm.setlimits({.instructions = 1000});
    EXPECT_EQ(vm.run(assemble(forever)).err, "TARN 4 VM error: Instruction budget exhausted: more than 1000 instruction steps.\n");
    vm.setlimits({.nosystem = true, .nosockets = true});
    EXPECT_EQ(vm.run(assemble("pushconst \"true\"\nloadlocal system\ncall 1\n")).err,
              "TARN 4 VM error within module: system is disabled in the sandbox.\n");
    EXPECT_EQ(vm.run(assemble("pushconst \"0\"\nenterattr socket\nloadattr server\ncall 1\nleave\n")).err,
              "TARN 4 VM error within module: Sockets are disabled in the sandbox.\n");
    vm.setlimits({.heapbytes = 16u << 20});
    // A text that doubles each time round, every size kept in a list: few objects and steps, so
    // builds that collect every few steps reach the cap as soon.
    const std::string growing = "pushconst []\nstorelocal l\npushconst \"xxxxxxxxxxxxxxxx\"\nstorelocal t\n"
                                "pushconst 1\nwhileblock {\nloadlocal t\nloadlocal l\nenter\nloadattr append\ncall 1\nleave\n"
                                "loadlocal t\nloadlocal t\nadd\nstorelocal t\npushconst 1\n}\n";
    EXPECT_EQ(vm.run(assemble(growing)).err, "TARN 4 VM error: Out of memory: the live objects take more than 16 MiB.\n");
    // Input is held to the same cap: it comes in as one text before any collection sees it.
    vm.setinput(std::string(17u << 20, 'x'));
    for (const char* method : {"read", "getline"})
        EXPECT_EQ(vm.run(assemble(std::string("enterattr stdin\nloadattr ") + method + "\ncall 0\n")).err,
                  "TARN 4 VM error: Out of memory.\n")
            << method;
    vm.setinput("");
    // Each list holds the one before twice: a few hundred steps and a small heap for the program,
    // but 2^40 lists for a host that copies every place a list is held.
    const std::string append = "enter\nloadattr append\ncall 1\nleave\n";
    const std::string doubling = "pushconst [0]\nstorelocal l\npushconst 0\nstorelocal i\npushconst 1\nwhileblock {\n"
                                 "pushconst []\nstorelocal n\nloadlocal l\nloadlocal n\n" + append +
                                 "loadlocal l\nloadlocal n\n" + append + "loadlocal n\nstorelocal l\n"
                                 "pushconst 1\nloadlocal i\nadd\nstorelocal i\npushconst 40\nloadlocal i\nless\n}\n";
    EXPECT_EQ(vm.run(assemble(doubling + calls("sum", "loadlocal l\n", 1))).err,
              "TARN 4 VM error within module: greet.sum: arg0 takes more than 16 MiB as the host sees it.\n");
    vm.setlimits({});
    EXPECT_EQ(vm.run(assemble("pushconst \"true\"\nloadlocal system\ncall 1\n")).code, 0);
}

TEST(Machines, RunInTwoThreadsAtOnceEachWithItsOwnModules) {
    // The same module name does different things on the two machines; each thread's output must
    // be only its own machine's.
    const std::vector<std::uint8_t> image = assemble(
        "pushconst 0\nstorelocal i\npushconst 1\nwhileblock {\n" + calls("hello", "loadlocal i\nloadlocal str\ncall 1\n", 1) +
        "pop\npushconst 1\nloadlocal i\nadd\nstorelocal i\npushconst 20000\nloadlocal i\nless\n}\n" +
        calls("hello", "pushconst \"end\"\n", 1) + writetop);
    std::string outputs[2];
    std::thread threads[2];
    for (int index = 0; index < 2; ++index) {
        threads[index] = std::thread([&, index] {
            t4vm::machine vm;
            const std::string tag = index == 0 ? "one:" : "two:";
            vm.addmodule("greet", {{"hello", [tag](const t4vm::arguments& args) -> t4vm::value { return tag + args.at(0).astext(); }}});
            outputs[index] = vm.run(image).out;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(outputs[0], "one:end\n\n<TARN 4> Program finished.\n");
    EXPECT_EQ(outputs[1], "two:end\n\n<TARN 4> Program finished.\n");
}

TEST(Machines, RefuseChangesAndNestedRunsDuringARun) {
    t4vm::machine vm;
    vm.addmodule("greet", {{"hello", [&](const t4vm::arguments&) -> t4vm::value {
                                vm.run({});
                                return "unreachable";
                            }},
                           {"change", [&](const t4vm::arguments&) -> t4vm::value {
                                vm.setinput("late");
                                return "unreachable";
                            }}});
    vm.setarguments({"silent"});
    EXPECT_EQ(vm.run(assemble(calls("hello", "", 0))).err,
              "TARN 4 VM error within module: greet.hello failed: t4vm::machine is already running an image\n");
    EXPECT_EQ(vm.run(assemble(calls("change", "", 0))).err,
              "TARN 4 VM error within module: greet.change failed: t4vm::machine changed during a run\n");
    // Both runs ended and released the machine.
    EXPECT_EQ(vm.run(assemble("pushconst 3\n")).code, 3);
}

TEST(Machines, DestroyedByTheirOwnHostFunctionFinishTheRun) {
    std::optional<t4vm::machine> vm = greeter();
    vm->addmodule("owner", {{"drop", [&](const t4vm::arguments&) -> t4vm::value {
                                 vm.reset();
                                 return t4vm::value();
                             }}});
    // The module entries of the dropped machine still answer the calls after the drop.
    const t4vm::result got = vm->run(assemble("enterattr owner\nloadattr drop\ncall 0\nleave\n" +
                                              calls("hello", "pushconst \"after\"\n", 1) + writetop));
    EXPECT_FALSE(vm.has_value());
    EXPECT_EQ(got.out, "Hello, after!\n\n<TARN 4> Program finished.\n");
}

TEST(Machines, VersionIsTheExecutables) {
    ASSERT_EQ(std::system((std::string(T4VM_EXECUTABLE) + " --version >" + scratch + "/version.txt").c_str()), 0);
    EXPECT_EQ("t4vm " + std::string(t4vm::version()) + "\n", readfile(scratch + "/version.txt"));
}

}  // namespace
