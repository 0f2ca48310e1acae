// Several machines in one process: each owns all of its state, so two threads running two
// different images at the same time each get exactly the output the image gives alone.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "assembler.h"
#include "vm/embed.h"

namespace {

std::string example(const std::string& name) {
    std::ifstream file(std::string(T4VM_SOURCE_DIR) + "/examples/" + name + ".tasm");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Makes enough objects that both machines collect while the other runs, builds texts, lists and
// dictionaries, and prints a summary.
// Builds with a collection every few steps collect constantly with far fewer items, and marking
// 60000 of them every few steps would make the run take hours.
#ifdef T4VM_GC_STRESS
const std::string itemcount = "1000";
#else
const std::string itemcount = "60000";
#endif
const std::string collecting = R"(pushconst []
storelocal items
pushconst {}
storelocal counts
pushconst 0
storelocal i
pushconst 1
whileblock {
    loadlocal i
    loadlocal str
    call 1
    pushconst "item"
    add
    storelocal text
    loadlocal text
    loadlocal items
    enter
    loadattr append
    call 1
    leave
    loadlocal i
    loadlocal text
    loadlocal counts
    enter
    loadattr set
    call 2
    leave
    pushconst 1
    loadlocal i
    add
    storelocal i
    pushconst )" + itemcount + R"(
    loadlocal i
    less
}
pushconst "\n"
loadlocal items
loadlocal sizeof
call 1
loadlocal str
call 1
add
pushconst " "
add
pushconst 777
loadlocal counts
enter
loadattr get
call 1
leave
add
enterattr stdout
loadattr write
call 1
leave
)";

// Twenty tasks compute truths while the main program counts to 3; it prints the sum of the tasks'
// ids, which come from the machine's own generator.
const char* const tasks = R"(pushconst 0
storelocal ids
pushconst func {
    pushconst 1
    whileblock {
        pushconst 2
        pushconst 1
        less
    }
}
storelocal spin
pushconst 20
storelocal n
pushconst 1
whileblock {
    loadlocal spin
    loadlocal _taskcreate
    call 1
    storelocal task
    loadlocal task
    loadlocal _taskstart
    call 1
    loadlocal ids
    loadlocal task
    enter
    loadattr id
    leave
    add
    storelocal ids
    pushconst 1
    loadlocal n
    sub
    storelocal n
    pushconst 0
    loadlocal n
    greater
}
pushconst 0
storelocal i
pushconst 1
whileblock {
    pushconst 1
    loadlocal i
    add
    storelocal i
    pushconst 3
    loadlocal i
    less
}
pushconst "\n"
loadlocal ids
loadlocal str
call 1
add
enterattr stdout
loadattr write
call 1
leave
loadlocal i
)";

struct program {
    std::vector<std::uint8_t> image;
    T4VM::runresult alone;
};

TEST(machines, TwoThreadsRunTwoImagesAtOnceEachWithItsOwnOutput) {
    std::vector<program> programs;
    for (const std::string& source : {std::string(collecting), std::string(tasks), example("class"),
                                      example("function"), example("loop")}) {
        program each{T4VM::assemble(source), {}};
        each.alone = T4VM::runimage(each.image);
        programs.push_back(std::move(each));
    }
    ASSERT_EQ(programs[0].alone.out, "item777 " + itemcount + "\n\n<TARN 4> Program finished.\n");
    ASSERT_EQ(programs[1].alone.out.substr(programs[1].alone.out.find('\n')), "\n\n<TARN 4> Program finished with code 3\n");

    // Each thread runs every program in turn, starting at a different one, so every pair of
    // programs runs side by side at some point.
    std::vector<std::string> failures[2];
    auto worker = [&](std::size_t first, std::vector<std::string>& failed) {
        for (std::size_t round = 0; round < 3 * programs.size(); ++round) {
            const program& each = programs[(first + round) % programs.size()];
            const T4VM::runresult result = T4VM::runimage(each.image);
            if (result.out != each.alone.out || result.err != each.alone.err || result.status != each.alone.status)
                failed.push_back("program " + std::to_string((first + round) % programs.size()) + ": " + result.out +
                                 result.err);
        }
    };
    std::thread one(worker, 0, std::ref(failures[0]));
    std::thread two(worker, 1, std::ref(failures[1]));
    one.join();
    two.join();
    EXPECT_TRUE(failures[0].empty()) << failures[0].front();
    EXPECT_TRUE(failures[1].empty()) << failures[1].front();
}

}  // namespace
