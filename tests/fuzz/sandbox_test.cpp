// The sandbox: the instruction budget, the scratch directory the file natives are kept in, and the
// switches for shell commands and sockets; all of it off unless an embedder turns it on.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "assembler.h"
#include "vm/sandbox.h"
#include "vm/vm.h"

namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Calls a built-in global with string arguments; the result, if any, stays on the data stack.
std::string callglobal(const std::string& function, const std::vector<std::string>& arguments) {
    std::string source;
    for (const auto& argument : arguments) source += "pushconst \"" + argument + "\"\n";
    return source + "loadlocal " + function + "\ncall " + std::to_string(arguments.size()) + "\n";
}

std::string callfilesystem(const std::string& method, const std::string& path) {
    return "pushconst \"" + path + "\"\nenterattr filesystem\nloadattr " + method + "\ncall 1\nleave\n";
}

std::string writefile(const std::string& path, const std::string& text) {
    return callglobal("open", {path, "write"}) + "enter\npushconst \"" + text +
           "\"\nloadattr write\ncall 1\nloadattr close\ncall 0\nleave\n";
}

const std::string printtop = "enterattr stdout\nloadattr write\ncall 1\nleave\n";

class sandboxed : public ::testing::Test {
protected:
    fs::path home;
    fs::path scratch;

    void SetUp() override {
        home = fs::current_path();
        char pattern[] = "/tmp/t4vm-sandbox-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        scratch = pattern;
        fs::current_path(scratch);
        T4VM::resetmachine();
    }

    void TearDown() override {
        T4VM::sandbox = T4VM::sandboxconfig{};
        T4VM::resetmachine();
        fs::current_path(home);
        fs::remove_all(scratch);
    }

    void confine() { T4VM::sandbox.scratchdir = scratch.string(); }

    // Silent runs: a report is its first line only, and there is no closing line.
    static T4VM::runresult run(const std::string& source) {
        return T4VM::runimage(T4VM::assemble(source, "sandbox.tasm"), {"silent"});
    }
};

// ---------------------------------------------------------------------------------------------
// Off by default

TEST_F(sandboxed, NothingIsLimitedUntilAnEmbedderAsks) {
    const T4VM::sandboxconfig defaults;
    EXPECT_EQ(defaults.instructionbudget, 0u);
    EXPECT_EQ(defaults.scratchdir, "");
    EXPECT_FALSE(defaults.nosystem);
    EXPECT_FALSE(defaults.nosockets);

    // Absolute paths and ".." work, and a loop of many thousand steps runs to its end.
    fs::create_directory("inner");
    fs::current_path("inner");
    const std::string source = writefile((scratch / "absolute.txt").string(), "a") +
                               writefile("../parent.txt", "p") +
                               "pushconst 0\nstorelocal i\npushconst 1\nwhileblock {\n"
                               "    pushconst 1\n    loadlocal i\n    add\n    storelocal i\n"
                               "    pushconst 5000\n    loadlocal i\n    less\n}\nloadlocal i\n" +
                               printtop;
    const T4VM::runresult result = run(source);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "5000");
    EXPECT_EQ(contents(scratch / "absolute.txt"), "a");
    EXPECT_EQ(contents(scratch / "parent.txt"), "p");
}

// ---------------------------------------------------------------------------------------------
// The instruction budget

// Three instructions, and running off the end of the code is a step of its own.
const char* const foursteps = "pushconst \"x\"\npushconst \"y\"\nadd\n";

TEST_F(sandboxed, BudgetAllowsExactlyItsNumberOfSteps) {
    T4VM::sandbox.instructionbudget = 4;
    T4VM::runresult result = T4VM::runimage(T4VM::assemble(foursteps));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");

    T4VM::sandbox.instructionbudget = 3;
    result = run(foursteps);
    EXPECT_EQ(result.status, 1);
    // The machine's own limit, not a module failure.
    EXPECT_EQ(result.err, "TARN 4 VM error: Instruction budget exhausted: more than 3 instruction steps.\n");
}

TEST_F(sandboxed, BudgetEndsAnEndlessLoopKeepingWhatItPrinted) {
    T4VM::sandbox.instructionbudget = 1000;
    const T4VM::runresult result = run("pushconst 1\nwhileblock {\n    pushconst \".\"\n" + printtop +
                                       "    pushconst 1\n}\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "TARN 4 VM error: Instruction budget exhausted: more than 1000 instruction steps.\n");
    // Two steps before the loop, then seven a round (six instructions and the end of the block),
    // the dot written by the round's fourth: step 6 + 7r is still within 1000 for r up to 142.
    EXPECT_EQ(result.out, std::string(143, '.'));
}

TEST_F(sandboxed, BudgetStartsAfreshWithEveryRun) {
    T4VM::sandbox.instructionbudget = 4;
    for (int round = 0; round < 3; ++round) EXPECT_EQ(run(foursteps).status, 0) << "run " << round;

    T4VM::stepstaken = 99;
    T4VM::resetmachine();
    EXPECT_EQ(T4VM::stepstaken, 0u);
}

TEST_F(sandboxed, ResetLeavesTheConfigurationAlone) {
    T4VM::sandbox = T4VM::sandboxconfig{123, scratch.string(), true, true};
    T4VM::resetmachine();
    EXPECT_EQ(T4VM::sandbox.instructionbudget, 123u);
    EXPECT_EQ(T4VM::sandbox.scratchdir, scratch.string());
    EXPECT_TRUE(T4VM::sandbox.nosystem);
    EXPECT_TRUE(T4VM::sandbox.nosockets);
}

// The main program takes about 110 steps; a task looping beside it takes about as many again.
std::string withtask(bool start) {
    std::string source = "pushconst func {\n    pushconst 1\n    whileblock {\n        pushconst 1\n    }\n}\n"
                         "loadlocal _taskcreate\ncall 1\n";
    source += start ? "loadlocal _taskstart\ncall 1\n" : "pop\n";
    for (int i = 0; i < 50; ++i) source += "pushconst 1\npop\n";
    return source;
}

TEST_F(sandboxed, BudgetCountsTheStepsOfEveryTask) {
    T4VM::sandbox.instructionbudget = 150;
    EXPECT_EQ(run(withtask(false)).status, 0);  // the main program alone stays under the budget
    const T4VM::runresult result = run(withtask(true));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "TARN 4 VM error: Instruction budget exhausted: more than 150 instruction steps.\n");

    T4VM::sandbox.instructionbudget = 1000;  // both together finish well under this
    EXPECT_EQ(run(withtask(true)).status, 0);
}

// ---------------------------------------------------------------------------------------------
// The scratch directory

std::string refusal(const std::string& operation, const std::string& path, const std::string& reason) {
    return "TARN 4 VM error within module: " + operation + " refused for \"" + path + "\": " + reason + "\n";
}

const std::string absolute = "the sandbox takes only relative paths.";
const std::string parent = "the sandbox takes no \"..\" in paths.";
const std::string outside = "the working directory is outside the sandbox's scratch directory.";

TEST_F(sandboxed, OpenRefusesAbsolutePathsAndParentComponents) {
    confine();
    const fs::path escape = scratch.parent_path() / (scratch.filename().string() + "-escape.txt");
    struct attempt {
        std::string path, reason;
    };
    for (const attempt& a : {attempt{escape.string(), absolute}, attempt{"../" + escape.filename().string(), parent},
                             attempt{"sub/../../" + escape.filename().string(), parent},
                             attempt{"sub/..", parent}}) {
        for (const char* mode : {"write", "read"}) {
            const T4VM::runresult result = run(callglobal("open", {a.path, mode}));
            EXPECT_EQ(result.err, refusal("open", a.path, a.reason)) << mode;
            EXPECT_EQ(result.status, 1);
        }
    }
    EXPECT_FALSE(fs::exists(escape));
}

TEST_F(sandboxed, FilesystemMethodsRefuseEscapingPaths) {
    confine();
    fs::create_directory(scratch / "keep");
    for (const char* method : {"exists", "isdir", "delete", "createdir", "listdir", "cd"}) {
        const std::string operation = std::string("filesystem.") + method;
        T4VM::runresult result = run(callfilesystem(method, "/"));
        EXPECT_EQ(result.err, refusal(operation, "/", absolute));
        result = run(callfilesystem(method, "keep/../.."));
        EXPECT_EQ(result.err, refusal(operation, "keep/../..", parent));
        result = run(callfilesystem(method, ".."));
        EXPECT_EQ(result.err, refusal(operation, "..", parent));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(fs::current_path(), scratch) << method;
    }
    EXPECT_TRUE(fs::is_directory(scratch / "keep"));
}

TEST_F(sandboxed, RelativePathsInsideTheScratchDirectoryWork) {
    confine();
    const std::string source = callfilesystem("createdir", "sub") + callfilesystem("cd", "sub") +
                               writefile("note.txt", "hello") + callfilesystem("createdir", "deeper") +
                               callfilesystem("listdir", ".") + printtop +
                               callfilesystem("exists", "note.txt") + printtop +
                               callfilesystem("isdir", "deeper") + printtop +
                               callfilesystem("delete", "deeper") + callfilesystem("exists", "deeper") +
                               printtop + callglobal("open", {"note.txt", "read"}) +
                               "enter\nloadattr read\ncall 0\nleave\n" + printtop;
    const T4VM::runresult result = run(source);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.out == "[\"deeper\", \"note.txt\"]110hello\n" ||
                result.out == "[\"note.txt\", \"deeper\"]110hello\n")
        << result.out;
    EXPECT_EQ(contents(scratch / "sub" / "note.txt"), "hello");
}

TEST_F(sandboxed, AWorkingDirectoryOutsideTheScratchDirectoryIsRefused) {
    confine();
    // A directory whose name merely starts with the scratch directory's name is outside it.
    const fs::path sibling = scratch.string() + "2";
    fs::create_directory(sibling);
    for (const fs::path& elsewhere : {scratch.parent_path(), sibling}) {
        fs::current_path(elsewhere);
        const T4VM::runresult result = run(writefile("stray.txt", "x"));
        EXPECT_EQ(result.err, refusal("open", "stray.txt", outside)) << elsewhere;
        EXPECT_FALSE(fs::exists(elsewhere / "stray.txt"));
    }
    fs::current_path(scratch);
    fs::remove_all(sibling);

    // Any depth below the scratch directory is inside it, also when it was named with a slash.
    T4VM::sandbox.scratchdir = scratch.string() + "/";
    fs::create_directories(scratch / "a" / "b");
    fs::current_path(scratch / "a" / "b");
    EXPECT_EQ(run(writefile("deep.txt", "d")).err, "");
    EXPECT_EQ(contents(scratch / "a" / "b" / "deep.txt"), "d");
}

// ---------------------------------------------------------------------------------------------
// Shell commands and sockets

TEST_F(sandboxed, SystemCanBeSwitchedOff) {
    const std::string source = callglobal("system", {"touch ran"});
    T4VM::sandbox.nosystem = true;
    T4VM::runresult result = run(source);
    EXPECT_EQ(result.err, "TARN 4 VM error within module: system is disabled in the sandbox.\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(fs::exists(scratch / "ran"));

    T4VM::sandbox.nosystem = false;  // the same program does run the command otherwise
    result = run(source);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(fs::exists(scratch / "ran"));
}

struct listener {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::uint16_t port = 0;

    listener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 4) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            ADD_FAILURE() << "no listening socket on the loopback interface";
        port = ntohs(address.sin_port);
    }
    ~listener() { ::close(fd); }

    bool connectionwaiting() const {
        pollfd waiting{fd, POLLIN, 0};
        return ::poll(&waiting, 1, 500) == 1;
    }
};

std::string connectto(std::uint16_t port) {
    return "pushconst \"127.0.0.1\"\npushconst " + std::to_string(port) +
           "\nenterattr socket\nloadattr client\nleave\ncall 2\n";
}

TEST_F(sandboxed, SocketClientsCanBeSwitchedOff) {
    T4VM::sandbox.nosockets = true;
    {
        const listener peer;
        const T4VM::runresult result = run(connectto(peer.port));
        EXPECT_EQ(result.err, "TARN 4 VM error within module: Sockets are disabled in the sandbox.\n");
        EXPECT_FALSE(peer.connectionwaiting());
    }
    T4VM::sandbox.nosockets = false;  // the same program does connect otherwise
    const listener peer;
    EXPECT_EQ(run(connectto(peer.port)).err, "");
    EXPECT_TRUE(peer.connectionwaiting());
}

TEST_F(sandboxed, SocketServersCanBeSwitchedOff) {
    T4VM::sandbox.nosockets = true;
    const T4VM::runresult result = run("pushconst 0\nenterattr socket\nloadattr server\nleave\ncall 1\n");
    EXPECT_EQ(result.err, "TARN 4 VM error within module: Sockets are disabled in the sandbox.\n");
    EXPECT_EQ(result.status, 1);
}

}  // namespace
