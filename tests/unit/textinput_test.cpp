// `read` and `getline` take their text in pieces of bounded size; a program must see exactly what
// a line-by-line std::getline gave it, over string and file streams alike, and input without end
// must stop at the limit instead of taking all memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <new>
#include <sstream>

#include "vm/textinput.h"

namespace {

// `read` as it was: std::getline until it fails, a line feed after every line.
std::string getlinerest(std::istream& in) {
    std::string all, line;
    while (std::getline(in, line)) all += line + '\n';
    return all;
}

// Runs a script of reads on `in`, 'l' a line and 'r' the rest, and gives what each returned and
// the stream's state at the end.
std::string runscript(std::istream& in, const std::string& script, bool reference) {
    std::string seen;
    for (char step : script) {
        std::string got;
        if (step == 'r')
            got = reference ? getlinerest(in) : T4VM::readrest(in);
        else if (reference ? !std::getline(in, got) : !T4VM::readline(in, got))
            got = "(none)" + got;  // a failed read must leave the line empty
        seen += got + "|";
    }
    return seen + "state " + std::to_string(in.rdstate());
}

const std::string inputs[] = {
    "", "\n", "\n\n", "a", "a\n", "a\nb", "a\n\nb\n", "\r\n", std::string("x\0y\n\0", 5),
    std::string(200000, 'z') + "\nend",  // lines and texts across several pieces
    "first\n" + std::string(70000, 'y') + "\n",
};
const char* const scripts[] = {"r", "rr", "l", "lll", "lr", "llr", "rl", "lrl", "llll"};

TEST(TextInput, ReadsWhatLineByLineGetlineReadFromStringsAndFiles) {
    const std::string path = ::testing::TempDir() + "t4vm_textinput.txt";
    for (const std::string& input : inputs) {
        std::ofstream(path, std::ios::binary) << input;
        for (const char* script : scripts) {
            std::istringstream mine(input), theirs(input);
            std::ifstream myfile(path), theirfile(path);
            EXPECT_EQ(runscript(mine, script, false), runscript(theirs, script, true))
                << "script " << script << " on " << input.size() << " bytes starting " << input.substr(0, 8);
            EXPECT_EQ(runscript(myfile, script, false), runscript(theirfile, script, true))
                << "file of " << input.size() << " bytes, script " << script;
        }
    }
    std::remove(path.c_str());
    // A directory opens but refuses to be read: no text and no exception, as before.
    for (const char* script : scripts) {
        std::ifstream mine(::testing::TempDir()), theirs(::testing::TempDir());
        EXPECT_EQ(runscript(mine, script, false), runscript(theirs, script, true)) << "script " << script;
    }
}

// Zeros for ever, as /dev/zero gives them.
struct endless : std::streambuf {
    char zeros[4096] = {};
    int_type underflow() override {
        setg(zeros, zeros, zeros + sizeof zeros);
        return 0;
    }
};

TEST(TextInput, TextsPastTheLimitRunOutOfMemory) {
    const std::string hundred(100, 'x');
    std::string line;
    {
        std::istringstream in(hundred);
        EXPECT_THROW(T4VM::readrest(in, 99), std::bad_alloc);
    }
    {
        std::istringstream in(hundred);
        EXPECT_EQ(T4VM::readrest(in, 100), hundred + "\n");
    }
    {
        std::istringstream in(hundred + "\n");
        EXPECT_THROW(T4VM::readline(in, line, 99), std::bad_alloc);
    }
    {
        std::istringstream in(hundred + "\n" + hundred);  // the limit is per line
        EXPECT_TRUE(T4VM::readline(in, line, 100));
        EXPECT_TRUE(T4VM::readline(in, line, 100));
        EXPECT_EQ(line, hundred);
    }
    {
        std::istringstream in(std::string(300000, 'x'));  // found in a later piece
        EXPECT_THROW(T4VM::readrest(in, 200000), std::bad_alloc);
    }
    endless zeros;
    std::istream forever(&zeros);
    EXPECT_THROW(T4VM::readrest(forever, 1 << 20), std::bad_alloc);
    EXPECT_THROW(T4VM::readline(forever, line, 1 << 20), std::bad_alloc);
}

}  // namespace
