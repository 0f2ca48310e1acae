// t4db --trace: one line on standard error per instruction executed,
//   CONTEXT | OFFSET | FILE:LINE:COLUMN | INSTRUCTION | TOP
// with "-" for a position the map does not give, and TOP the value on top of the data stack after
// the instruction ("(empty)", or "(report)" when the instruction was reported).
#pragma once

#include <iosfwd>
#include <string>

#include "db/inspect.h"
#include "vm/debughook.h"

namespace T4VM::db {

class tracer : public debughook {
public:
    tracer(const programimage& image, std::ostream& out) : image(image), out(out) {}

    void beforeinstruction(const codeframe& frame) override;
    void afterinstruction() override;
    void beforereport(const std::string& message, bool ismodule) override;

    std::uint64_t lines() const { return written; }

private:
    void finishline(const std::string& top);

    const programimage& image;
    std::ostream& out;
    std::string pending;  // the line of the instruction running, until its result is known
    std::uint64_t written = 0;
};

}  // namespace T4VM::db
