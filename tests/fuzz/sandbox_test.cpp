// The sandbox the fuzz target turns on: an instruction budget, the file natives kept inside a scratch
// directory, shell commands and sockets switched off; and every run starting from a fresh machine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "assembler.h"
#include "vm/sandbox.h"
#include "vm/embed.h"

namespace {

namespace fs = std::filesystem;
const std::string failed = "TARN 4 VM error within module: ";

// The limits each run of the tests below is given.
T4VM::sandboxconfig sandbox;

T4VM::runresult runwith(const std::string& source, const std::vector<std::string>& args = {}) {
    return T4VM::runimage(T4VM::assemble(source), T4VM::runoptions{args, "", "", sandbox});
}

std::string run(const std::string& source) { return runwith(source, {"silent"}).err; }

// Calls `method` of the root's attribute `object`, or of the root itself, with text arguments.
std::string call(const std::string& object, const std::string& method, const std::vector<std::string>& arguments) {
    std::string source;
    for (const auto& argument : arguments) source += "pushconst \"" + argument + "\"\n";
    source += object.empty() ? "loadglobal progroot\nenter\n" : "enterattr " + object + "\n";
    return source + "loadattr " + method + "\ncall " + std::to_string(arguments.size()) + "\nleave\n";
}

std::string writefile(const std::string& path) {
    return call("", "open", {path, "write"}) + "enter\npushconst 1\nloadattr write\ncall 1\nleave\n";
}

class sandboxed : public ::testing::Test {
protected:
    fs::path home = fs::current_path();
    fs::path scratch;

    void SetUp() override {
        char pattern[] = "/tmp/t4vm-sandbox-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        scratch = pattern;
        fs::create_directories(scratch / "a" / "b");
        fs::current_path(scratch / "a");
    }

    void TearDown() override {
        sandbox = T4VM::sandboxconfig{};
        fs::current_path(home);
        fs::remove_all(scratch);
    }
};

TEST_F(sandboxed, BudgetEndsEndlessLoopsAndEveryRunStartsAfresh) {
    const std::string exhausted = "TARN 4 VM error: Instruction budget exhausted: more than ";
    sandbox.instructionbudget = 4;
    for (int round = 0; round < 3; ++round) EXPECT_EQ(run("pushconst 1\npushconst 2\nadd\n"), "");  // 3 steps, 1 to end
    sandbox.instructionbudget = 3;
    EXPECT_EQ(run("pushconst 1\npushconst 2\nadd\n"), exhausted + "3 instruction steps.\n");
    sandbox.instructionbudget = 1000;
    EXPECT_EQ(run("pushconst 1\nwhileblock {\n    pushconst 1\n}\n"), exhausted + "1000 instruction steps.\n");
    EXPECT_EQ(run("pushconst 1\nstoreglobal kept\n"), "");
    EXPECT_EQ(run("loadglobal kept\n"), "TARN 4 VM error: Global variable not found: kept\n");
}

TEST_F(sandboxed, FilesStayInsideTheScratchDirectory) {
    const std::string absolute = "\": the sandbox takes only relative paths.\n";
    const std::string parent = "\": the sandbox takes no \"..\" in paths.\n";
    const std::string outside = (scratch / "outside").string();
    sandbox.scratchdir = (scratch / "a").string() + "/";
    const std::pair<std::string, std::string> cases[] = {
        {writefile(outside), "open refused for \"" + outside + absolute},
        {call("", "open", {"../outside", "read"}), "open refused for \"../outside" + parent},
        {call("filesystem", "createdir", {"/"}), "filesystem.createdir refused for \"/" + absolute},
        {call("filesystem", "listdir", {"b/../.."}), "filesystem.listdir refused for \"b/../.." + parent},
        {call("filesystem", "cd", {".."}), "filesystem.cd refused for \".." + parent},
    };
    for (const auto& [source, message] : cases) EXPECT_EQ(run(source), failed + message);
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_EQ(run(call("filesystem", "cd", {"b"}) + writefile("deep")), "");  // any depth below is inside
    EXPECT_TRUE(fs::exists(scratch / "a" / "b" / "deep"));
    // A working directory outside is refused, also one whose name merely begins like the scratch one.
    fs::create_directories(scratch / "a2");
    fs::current_path(scratch / "a2");
    EXPECT_EQ(run(writefile("stray")), failed + "open refused for \"stray\": the working directory is outside the "
                                                "sandbox's scratch directory.\n");
}

// A program holding `before`, a NUL byte and `after` in the local "path" (the character with code 0
// is what a string's "get" gives at the index of its length).
std::string nulpath(const std::string& before, const std::string& after) {
    return "pushconst 0\npushconst \"\"\nenter\nloadattr get\ncall 1\nleave\nstorelocal nul\n"
           "pushconst \"" + after + "\"\nloadlocal nul\npushconst \"" + before + "\"\nadd\nadd\nstorelocal path\n";
}

std::string callwithpath(const std::string& operation) {
    return "loadlocal path\nenterattr filesystem\nloadattr " + operation + "\ncall 1\nleave\n";
}

TEST_F(sandboxed, PathsHoldingNulBytesNeverReachTheSystem) {
    // Each path, cut at its NUL byte, names something that exists: the operation would succeed on it.
    { std::ofstream("nul_a.txt") << "x"; }
    const std::pair<std::string, std::string> cases[] = {{"exists", "nul_a.txt"}, {"isdir", "b"}, {"delete", "nul_a.txt"},
                                                         {"createdir", "new"}, {"listdir", "b"},   {"cd", "b"}};
    for (const auto& [operation, before] : cases)
        EXPECT_EQ(run(nulpath(before, ".evil") + callwithpath(operation)),
                  failed + "filesystem." + operation + " failed for \"" + before + "\\0.evil\": the path holds a NUL byte\n");
    EXPECT_TRUE(fs::exists("nul_a.txt"));
    EXPECT_FALSE(fs::exists("new"));
    EXPECT_EQ(fs::current_path(), scratch / "a");
    // The sandbox refuses them before any other check, so ".." with a NUL byte cannot climb out.
    sandbox.scratchdir = (scratch / "a").string();
    EXPECT_EQ(run(nulpath("..", "") + callwithpath("cd")),
              failed + "filesystem.cd refused for \"..\\0\": the path holds a NUL byte.\n");
    EXPECT_EQ(run(nulpath("..", "") + callwithpath("listdir")),
              failed + "filesystem.listdir refused for \"..\\0\": the path holds a NUL byte.\n");
    EXPECT_EQ(fs::current_path(), scratch / "a");
}

TEST_F(sandboxed, SocketsAndSystemCanBeSwitchedOff) {
    const std::string client = call("socket", "client", {"localhost", "0"});
    const std::string server = call("socket", "server", {"0"});
    const std::string system = call("", "system", {"touch ran"});
    sandbox = T4VM::sandboxconfig{0, "", true, true};
    EXPECT_EQ(run(client) + run(server), failed + "Sockets are disabled in the sandbox.\n" + failed +
                                             "Sockets are disabled in the sandbox.\n");
    EXPECT_EQ(run(system), failed + "system is disabled in the sandbox.\n");
    EXPECT_FALSE(fs::exists("ran"));
    sandbox = T4VM::sandboxconfig{};  // the same programs do their work otherwise
    EXPECT_EQ(run(server + system), "");
    EXPECT_TRUE(fs::exists("ran"));
}

}  // namespace

namespace {

// Shortcuts that skip a copy rest on what runs next. These programs would tell if they were taken
// where something else can come in between (the twenty tasks computing truths are in
// tests/unit/machines_test.cpp).
TEST(shortcuts, ALoopWhoseBlockIsNoFunctionCallsItEveryIteration) {
    // The block 5 is called as a class: each iteration pushes a copy of it, the next condition, so
    // the loop never ends. Reusing the body frame would skip that call and empty the data stack.
    sandbox.instructionbudget = 1000;
    const T4VM::runresult result = runwith("pushconst 1\npushconst 5\nwhileblock stack\n", {"silent"});
    sandbox = T4VM::sandboxconfig{};
    EXPECT_EQ(result.err, "TARN 4 VM error: Instruction budget exhausted: more than 1000 instruction steps.\n");
}

TEST(shortcuts, ALoadShowsItsNameWhenTheBudgetRunsOutBeforeItsReader) {
    // The argument object still carries the caller's name; the loaded entry is named arg0.
    const std::string source = "pushconst func {\n    pushconst 1\n    loadlocal arg0\n    add\n}\nstorelocal f\n"
                               "pushconst 5\nloadlocal f\ncall 1\n";
    sandbox.instructionbudget = 7;
    const T4VM::runresult result = runwith(source);
    sandbox = T4VM::sandboxconfig{};
    EXPECT_EQ(result.err, "TARN 4 VM error: Instruction budget exhausted: more than 7 instruction steps.\n"
                          "Codestack: \n0 \n-------------------------\n\n-------------------------\n\n"
                          "Calltrace: \n  > f\n  < PROGRAM_ROOT of identifier: BUILTIN_FUNC\n"
                          "Datastack is as follows:\narg0 with identifier BUILTIN_INT\n"
                          "Unnamed Variable with identifier BUILTIN_INT\n");
}

}  // namespace
