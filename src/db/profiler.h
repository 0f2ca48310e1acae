// t4db --profile: counts and times every instruction executed by the function it ran in (its
// frame's call-trace name and the offset of its code) and by opcode, and by call path, the paths
// giving folded stacks ("outer;inner;leaf COUNT" per line) for flame graphs.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/inspect.h"
#include "vm/debughook.h"

namespace T4VM::db {

class profiler : public debughook {
public:
    explicit profiler(const programimage& image);
    ~profiler() override;
    profiler(const profiler&) = delete;
    profiler& operator=(const profiler&) = delete;

    void beforeinstruction(const codeframe& frame) override;
    void afterinstruction() override {}
    void beforereport(const std::string&, bool) override {}

    // The run is over: the time since the last instruction goes to it.
    void finish();
    // The tables: per function self and total, then per opcode.
    void report(std::ostream& out) const;
    // One line per call path that ran instructions itself: "outer;inner;leaf COUNT". Paths more
    // than 128 functions deep keep 64 at each end around a frame "...", and share their line.
    void folded(std::ostream& out) const;

    std::uint64_t executed() const { return total; }

private:
    using clock = std::chrono::steady_clock;
    // A function: its call-trace name and where its code starts.
    using functionkey = std::pair<std::string, std::uint64_t>;

    // A call path, one node per function on it; the instructions run with it on top are its own.
    struct pathnode {
        std::size_t function = 0;  // index into `functions`
        pathnode* parent = nullptr;
        std::map<std::size_t, std::unique_ptr<pathnode>> children;
        std::uint64_t count = 0;
        clock::duration time{};
        // With every path below this one, summed when the run is over.
        std::uint64_t subcount = 0;
        clock::duration subtime{};
    };
    // The frames of a context as the profile last saw them, with the path each stands for.
    struct shadowframe {
        const std::uint8_t* code;
        pathnode* node;
    };

    pathnode* pathof(const context& where);
    std::size_t functionof(const context& where, const codeframe& frame);
    void charge(clock::time_point now);

    struct totals {
        std::uint64_t selfcount = 0, totalcount = 0;
        clock::duration selftime{}, totaltime{};
    };
    std::vector<totals> functiontotals() const;
    std::vector<const pathnode*> preorder() const;
    std::string functiontext(std::size_t function) const;
    std::string foldedstack(const std::vector<std::size_t>& path) const;

    const programimage& image;
    std::vector<functionkey> functions;
    std::map<functionkey, std::size_t> functionindex;
    pathnode root;  // stands for no function: the bottom frames of every context hang below it
    std::map<const context*, std::vector<shadowframe>> shadows;
    std::map<std::string, std::pair<std::uint64_t, clock::duration>> opcodes;
    std::uint64_t total = 0;
    // The instruction that ran last, charged with the time until the next one starts.
    pathnode* lastnode = nullptr;
    std::string lastopcode;
    clock::time_point laststart{};
};

}  // namespace T4VM::db
