// Whole runs: the argument count, silent runs, the closing line, error reports with their state
// dump, integrity panics, and the environment the program starts in.
#include <iostream>

#include "assembler.h"
#include "fixture.h"

namespace t4test {
namespace {

const std::string dashes = "-------------------------\n";

std::vector<byte> image(std::string_view text) { return T4VM::assemble(text, "test.tasm"); }

const char* const writehi = R"(
    pushconst "hi"
    enterattr stdout
    loadattr write
    call 1
    leave
)";

class runs : public ::testing::Test {
protected:
    void SetUp() override { T4VM::resetmachine(); }
    void TearDown() override {
        T4VM::resetmachine();
        T4VM::vmout = &std::cout;
        T4VM::vmerr = &std::cerr;
        T4VM::vmin = &std::cin;
    }
};

TEST_F(runs, WrongArgumentCountsAreReportedWithAnEmptyDump) {
    const std::string expected = "TARN 4 VM error: Too many or not enough arguments.\nCodestack: \n\n";
    T4VM::runresult result = T4VM::runimage(image(writehi), {"a", "b", "c"});
    EXPECT_EQ(result.err, expected);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1);

    // The command line itself: runmain sees the program name as its first argument.
    std::ios::sync_with_stdio(false);  // runmain does this too; done first it keeps the capture
    for (int argc : {1, 6}) {
        char program[] = "t4vm", image[] = "none.t4", extra[] = "x";
        char* argv[] = {program, image, extra, extra, extra, extra, nullptr};
        std::ostringstream captured;
        std::streambuf* previous = std::cerr.rdbuf(captured.rdbuf());
        const int status = T4VM::runmain(argc, argv);
        std::cerr.rdbuf(previous);
        EXPECT_EQ(captured.str(), expected) << argc << " arguments";
        EXPECT_EQ(status, 1);
        T4VM::resetmachine();
    }
}

TEST_F(runs, OneExtraArgumentMakesTheRunSilent) {
    T4VM::runresult result = T4VM::runimage(image(writehi), {"anything"});
    EXPECT_EQ(result.out, "hi");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);

    result = T4VM::runimage(image("pushconst 1\n.bytes 2a 01 02"), {""});
    EXPECT_EQ(result.err, "TARN 4 VM error: Unknown instruction.\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1);
}

TEST_F(runs, NoneOrTwoExtraArgumentsAreNotSilent) {
    EXPECT_EQ(T4VM::runimage(image(writehi)).out, "hi\n<TARN 4> Program finished.\n");
    T4VM::runresult result = T4VM::runimage(image(writehi), {"a", "b"});
    EXPECT_EQ(result.out, "hi\n<TARN 4> Program finished.\n");
    EXPECT_EQ(result.status, 0);
}

TEST_F(runs, EmptyOrMissingImageEndsAtOnce) {
    T4VM::runresult result = T4VM::runimage({});
    EXPECT_EQ(result.out, "\n<TARN 4> Program finished.\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(T4VM::runimage({}, {}, "", "/nonexistent/dir/program.t4").out, "\n<TARN 4> Program finished.\n");
}

TEST_F(runs, ClosingLineShowsAnIntegerLeftOnTop) {
    EXPECT_EQ(T4VM::runimage(image("pushconst 7")).out, "\n<TARN 4> Program finished with code 7\n");
    EXPECT_EQ(T4VM::runimage(image("pushconst \"x\"\npushconst -3")).out,
              "\n<TARN 4> Program finished with code -3\n");
    EXPECT_EQ(T4VM::runimage(image("pushconst 7\npushconst \"x\"")).out, "\n<TARN 4> Program finished.\n");
    EXPECT_EQ(T4VM::runimage(image("pushconst 7.5")).out, "\n<TARN 4> Program finished.\n");
    EXPECT_EQ(T4VM::runimage(image("pushconst 4\nstorelocal named\nloadlocal named")).out,
              "\n<TARN 4> Program finished with code 4\n");
}

TEST_F(runs, ReportDumpsTheRemainingCodeInHex) {
    T4VM::runresult result = T4VM::runimage(image("pushconst 1\n.bytes 2a 01 00 ff 0a 10"));
    EXPECT_EQ(result.err, "TARN 4 VM error: Unknown instruction.\n"
                          "Codestack: \n"
                          "1 0 ff a 10 \n" + dashes + "\n"
                          "Calltrace: \n"
                          "  > PROGRAM_ROOT\n"
                          "Datastack is as follows:\n"
                          "Unnamed Variable with identifier BUILTIN_INT\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1);

    EXPECT_EQ(T4VM::runimage({0xFF}).err,
              "TARN 4 VM error: Unknown instruction.\nCodestack: \n\n" + dashes + "\nCalltrace: \n  > PROGRAM_ROOT\n");
}

TEST_F(runs, ReportListsTheCallTraceAndDataStack) {
    T4VM::runresult result = T4VM::runimage(image(R"(
        pushconst func {
            pushconst func {
                pushconst 5
                storelocal x
                loadlocal x
                pushconst "s"
                .bytes 2a
            }
            storelocal g
            loadlocal g
            call 0
        }
        storelocal f
        loadlocal f
        call 0
    )"));
    EXPECT_EQ(result.err, "TARN 4 VM error: Unknown instruction.\n"
                          "Codestack: \n"
                          "\n" + dashes + "\n" + dashes + "\n" + dashes + "\n"
                          "Calltrace: \n"
                          "  > g\n"
                          "/\\ f of identifier: CUSTOM_FUNC\n"
                          "  < PROGRAM_ROOT of identifier: BUILTIN_FUNC\n"
                          "Datastack is as follows:\n"
                          "Unnamed Variable with identifier BUILTIN_STRING\n"
                          "x with identifier BUILTIN_INT\n");
    EXPECT_EQ(result.status, 1);
}

TEST_F(runs, OutputBeforeAReportIsKept) {
    T4VM::runresult result = T4VM::runimage(image(std::string(writehi) + ".bytes 2a"));
    EXPECT_EQ(result.out, "hi");
    EXPECT_EQ(firstline(result.err), "TARN 4 VM error: Unknown instruction.");
}

TEST_F(runs, LeavingTheRootIsCaughtBeforeTheNextInstruction) {
    T4VM::runresult result = T4VM::runimage(image("leave"));
    EXPECT_EQ(result.err, "TARN 4 VM error: \nVM panic!\nCallstack size = 0, did you go out of root?" +
                              std::string(16, ' ') + "\n\nCodestack: \n\n" + dashes +
                              "\nCalltrace: \n  > PROGRAM_ROOT\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
}

TEST_F(runs, EachRunStartsFromAFreshMachine) {
    T4VM::runresult first = T4VM::runimage(image("pushconst 1\nstoreglobal kept\nloadglobal kept"));
    EXPECT_EQ(first.out, "\n<TARN 4> Program finished with code 1\n");
    EXPECT_TRUE(T4VM::globalvars.empty());
    EXPECT_EQ(T4VM::progroot, nullptr);

    T4VM::runresult second = T4VM::runimage(image("loadglobal kept"));
    EXPECT_EQ(firstline(second.err), "TARN 4 VM error: Global variable not found: kept");
    EXPECT_EQ(second.status, 1);
}

using started = machine;

TEST_F(started, TheRootIsReadyBeforeTheFirstInstruction) {
    start({0x0E, 0x00, 0x00, 0x00, 0x00, 0x07});
    ASSERT_EQ(T4VM::globalvars.size(), 1u);
    EXPECT_EQ(T4VM::globalvars.at("progroot"), T4VM::progroot);
    variable* root = T4VM::progroot;
    EXPECT_EQ(root->identifier, typeident::builtin_func);
    EXPECT_EQ(root->name, "PROGRAM_ROOT");
    EXPECT_EQ(std::vector<byte>(root->funccode.begin(), root->funccode.end()),
              (std::vector<byte>{0x0E, 0x00, 0x00, 0x00, 0x00, 0x07}));

    EXPECT_EQ(T4VM::codestack->size(), 1u);
    ASSERT_EQ(T4VM::databasestack->size(), 1u);
    EXPECT_TRUE(T4VM::databasestack->back().empty());
    EXPECT_EQ(T4VM::callstack.get(), T4VM::varstack{root});
    EXPECT_EQ(T4VM::calltrace.get(), T4VM::varstack{root});
    EXPECT_TRUE(T4VM::datastack->empty());

    EXPECT_EQ(root->attributes.at("stdout")->name, "stdout");
    EXPECT_EQ(root->attributes.at("stdin")->name, "stdin");
    variable* open = root->attributes.at("open");
    EXPECT_EQ(open->identifier, typeident::custom_func);
    EXPECT_TRUE(open->ismodule);
    EXPECT_EQ(open->name, "Unnamed Variable");
}

TEST_F(started, AReportConsumesWhatItDumps) {
    start({0x22, 0x01, 0x00, 0xFF});
    T4VM::codestack->back().pc = 1;
    T4VM::codestack->push_back(framefrom({}));
    T4VM::datastack->push_back(num(1));
    EXPECT_EQ(report([] { T4VM::error("m", false); }), "TARN 4 VM error: m\nCodestack: \n\n" + dashes + "1 0 ff \n" +
                                                            dashes + "\nCalltrace: \n  > PROGRAM_ROOT\n" +
                                                            "Datastack is as follows:\n"
                                                            "Unnamed Variable with identifier BUILTIN_INT\n");

    T4VM::silent = true;
    T4VM::datastack->push_back(num(1));
    err.str("");
    try {
        T4VM::error("quiet", true);
        ADD_FAILURE() << "error returned";
    } catch (const T4VM::machinestop& stop) {
        EXPECT_EQ(stop.status, 1);
    }
    EXPECT_EQ(err.str(), "TARN 4 VM error within module: quiet\n");
    EXPECT_TRUE(T4VM::codestack->empty());
    EXPECT_EQ(T4VM::datastack->size(), 1u);  // only a dump consumes the stacks
    EXPECT_EQ(T4VM::calltrace->size(), 1u);
}

TEST_F(started, IntegrityCheck) {
    err.str("");
    T4VM::calltrace->clear();
    T4VM::integritycheck();  // only a warning
    const std::string rule = "-----------------------------\n";
    EXPECT_EQ(err.str(), rule + "Calltrace stack size is 0.\nThe vm will keep running tho.\nThis is just a warning.\n" + rule);
    T4VM::calltrace->push_back(T4VM::progroot);

    // The panic is the whole message; the dump follows it.
    auto panic = [&](const std::string& line) {
        const std::string text = report([] { T4VM::integritycheck(); });
        const std::string expected = "TARN 4 VM error: \nVM panic!\n" + line + "\n\nCodestack: \n";
        return text.substr(0, expected.size()) == expected ? "" : text;
    };
    T4VM::databasestack->clear();
    EXPECT_EQ(panic("Databasestack size = 0, did you go out of root?" + std::string(16, ' ')), "");
    T4VM::codestack->clear();
    EXPECT_EQ(panic("Codestack size = 0, this is not supposed to happen." + std::string(6, ' ')), "");
}

}  // namespace
}  // namespace t4test
