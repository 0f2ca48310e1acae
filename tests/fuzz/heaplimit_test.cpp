// The cap on the memory a run's values may take: a program that grows without end is reported
// before the process holds much more than the cap, whatever it grows (objects, storage that makes
// no objects, large texts, dictionary entries).
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "assembler.h"
#include "vm/embed.h"
#include "vm/heap.h"

namespace {

constexpr std::size_t cap = 128u << 20;

// Runs `body` forever inside a while loop after `setup`, in a child process with the cap set.
// Returns the child's peak resident size in bytes, or 0 when it did not end with the report.
std::size_t peakof(const std::string& setup, const std::string& body) {
    const std::string source = setup + "pushconst 1\nwhileblock {\n" + body + "    pushconst 1\n}\n";
    const std::vector<std::uint8_t> image = T4VM::assemble(source);
    const pid_t child = ::fork();
    if (child == 0) {
        T4VM::runoptions options{{"silent"}, "", "", {}};
        options.sandbox.heaplimit = cap;
        const T4VM::runresult result = T4VM::runimage(image, options);
        const bool reported = result.status == 1 &&
                              result.err == "TARN 4 VM error: Out of memory: the live objects take more than 128 MiB.\n";
        ::_exit(reported ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 0;
    return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
}

TEST(heaplimit, ResidentMemoryStaysNearTheCapWhenItReports) {
#if !T4VM_POOLED_HEAP || defined(T4VM_GC_STRESS)
    GTEST_SKIP() << "sanitizer and forced-collection builds hold memory differently";
#endif
    rusage self{};
    ::getrusage(RUSAGE_SELF, &self);
    const std::size_t before = static_cast<std::size_t>(self.ru_maxrss) * 1024;
    const std::size_t bound = before + cap + cap / 4;
    const std::string append = "    loadlocal item\n    loadlocal list\n    enter\n    loadattr append\n    call 1\n    leave\n";
    const struct {
        const char* what;
        std::string setup;
        std::string body;
    } growers[] = {
        {"new numbers appended to a list", "pushconst []\nstorelocal list\npushconst 0\nstorelocal item\n",
         "    pushconst 1\n    loadlocal item\n    add\n    storelocal item\n" + append},
        {"one list appended to another without end", "pushconst []\nstorelocal list\npushconst []\nstorelocal item\n",
         append},
        {"texts of a megabyte each",
         "pushconst []\nstorelocal list\npushconst \"xxxxxxxxxxxxxxxx\"\nstorelocal item\npushconst 16\nstorelocal n\n"
         "pushconst 1\nwhileblock {\n    loadlocal item\n    loadlocal item\n    add\n    storelocal item\n"
         "    pushconst 1\n    loadlocal n\n    sub\n    storelocal n\n    pushconst 0\n    loadlocal n\n    greater\n}\n",
         "    loadlocal item\n    pushconst \"\"\n    add\n    storelocal copy\n"
         "    loadlocal copy\n    loadlocal list\n    enter\n    loadattr append\n    call 1\n    leave\n"},
        {"dictionary entries", "pushconst {}\nstorelocal dict\npushconst 0\nstorelocal key\n",
         "    pushconst 1\n    loadlocal key\n    add\n    storelocal key\n    loadlocal key\n    loadlocal key\n"
         "    loadlocal dict\n    enter\n    loadattr set\n    call 2\n    leave\n"},
    };
    for (const auto& grower : growers) {
        const std::size_t peak = peakof(grower.setup, grower.body);
        EXPECT_NE(peak, 0u) << grower.what << ": no out-of-memory report";
        EXPECT_LE(peak, bound) << grower.what << ": peak " << (peak >> 20) << " MiB";
    }
}

TEST(heaplimit, ATextSharedByManyValuesCountsOnce) {
    // A megabyte text, and a thousand copies of it in a list: a thousand megabytes if each copy
    // counted its own bytes, one megabyte as they share them. Counting down from 100000 afterwards,
    // with an empty list made each time, makes objects enough for collections to come and weigh what
    // is live.
    const std::string source =
        "pushconst \"xxxxxxxxxxxxxxxx\"\nstorelocal text\npushconst 16\nstorelocal n\npushconst 1\nwhileblock {\n"
        "    loadlocal text\n    loadlocal text\n    add\n    storelocal text\n    pushconst 1\n    loadlocal n\n"
        "    sub\n    storelocal n\n    pushconst 0\n    loadlocal n\n    greater\n}\n"
        "pushconst []\nstorelocal list\npushconst 1000\nstorelocal n\npushconst 1\nwhileblock {\n"
        "    loadlocal text\n    loadlocal list\n    enter\n    loadattr append\n    call 1\n    leave\n"
        "    pushconst 1\n    loadlocal n\n    sub\n    storelocal n\n    pushconst 0\n    loadlocal n\n    greater\n}\n"
        "pushconst 100000\nstorelocal n\npushconst 1\nwhileblock {\n"
        "    pushconst []\n    pop\n"
        "    pushconst 1\n    loadlocal n\n    sub\n    storelocal n\n    pushconst 0\n    loadlocal n\n    greater\n}\n"
        "loadlocal list\nloadlocal sizeof\ncall 1\n";
    T4VM::runoptions options{{}, "", "", {}};
    options.sandbox.heaplimit = 64u << 20;
    const T4VM::runresult result = T4VM::runimage(T4VM::assemble(source), options);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "\n<TARN 4> Program finished with code 1000\n");
}

}  // namespace
