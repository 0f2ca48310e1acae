// Whatever the bytes, assembling the disassembly must give them back. Generated images cover
// well-formed programs, random bytes drawn mostly from the values that matter (opcodes, type bytes,
// terminators, function lengths) and damaged copies of well-formed programs.
#include <gtest/gtest.h>

#include <random>

#include "assembler.h"
#include "disassembler.h"
#include "vm/opcodes.h"

namespace {

using image = std::vector<std::uint8_t>;
namespace type = T4VM::operandtype;

class generator {
public:
    explicit generator(std::uint32_t seed) : rng(seed) {}

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
    std::uint32_t any32() { return std::uniform_int_distribution<std::uint32_t>()(rng); }

    image program(int depth) {
        image out;
        for (int n = below(depth == 0 ? 12 : 5); n > 0; --n) {
            const auto& info = T4VM::opcodetable[std::size_t(below(int(T4VM::opcodetable.size())))];
            out.push_back(info.number);
            if (info.operand != T4VM::operandkind::none) operand(out, depth);
        }
        return out;
    }

    image randombytes() {
        image out;
        for (int n = below(48); n > 0; --n) {
            int pick = below(20);
            if (pick < 8) {
                out.push_back(std::uint8_t(below(0x2B)));
            } else if (pick < 12) {
                out.push_back(std::uint8_t(below(9)));
            } else if (pick < 14) {
                out.push_back(type::end);
            } else if (pick < 16) {
                out.push_back(type::function);
                const std::uint32_t lengths[] = {0, 1, 3, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, any32()};
                u32(out, lengths[below(7)]);
            } else {
                out.push_back(std::uint8_t(below(256)));
            }
        }
        return out;
    }

    image damaged(image out) {
        if (out.empty()) return out;
        switch (below(3)) {
            case 0: out.resize(std::size_t(below(int(out.size())))); break;
            case 1: out[std::size_t(below(int(out.size())))] = std::uint8_t(below(256)); break;
            default: out.insert(out.begin() + below(int(out.size())), std::uint8_t(below(256))); break;
        }
        return out;
    }

private:
    std::mt19937 rng;

    static void u32(image& out, std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(std::uint8_t(value >> shift));
    }

    void operand(image& out, int depth) {
        const int kinds = depth >= 4 ? 5 : 8;  // keep the trees small
        switch (below(kinds)) {
            case 0:
                out.push_back(type::integer);
                u32(out, below(2) ? any32() : std::uint32_t(below(10)));
                break;
            case 1: {
                out.push_back(type::floating);
                u32(out, below(2) ? any32() : std::uint32_t(below(10)));
                const std::uint32_t fractions[] = {0, 5, 50, 125, 100, any32()};
                u32(out, fractions[below(6)]);
                break;
            }
            case 2:
                out.push_back(type::string);
                for (int n = below(6); n > 0; --n) out.push_back(std::uint8_t(1 + below(255)));
                out.push_back(0);
                break;
            case 3: out.push_back(type::klass); break;
            case 4: out.push_back(type::stack); break;
            case 5:
            case 6:
                out.push_back(below(2) ? type::list : type::dict);
                for (int n = below(4) * (out.back() == type::dict ? 2 : 1); n > 0; --n) operand(out, depth + 1);
                out.push_back(type::end);
                break;
            default: {
                out.push_back(type::function);
                image body = program(depth + 1);
                u32(out, std::uint32_t(body.size()));
                out.insert(out.end(), body.begin(), body.end());
            }
        }
    }
};

void expectroundtrip(const image& bytes, const char* what, int index) {
    std::string text = T4VM::disassemble(bytes);
    try {
        ASSERT_EQ(T4VM::assemble(text), bytes) << what << " #" << index << ":\n" << text;
    } catch (const T4VM::asmerror& error) {
        FAIL() << what << " #" << index << ": " << error.what() << "\n" << text;
    }
}

TEST(RoundTrip, WellFormedProgramsDecodeCleanly) {
    generator gen(20240611);
    for (int i = 0; i < 3000; ++i) {
        image bytes = gen.program(0);
        ASSERT_EQ(T4VM::disassemble(bytes).find(".bytes"), std::string::npos) << "program #" << i;
        expectroundtrip(bytes, "program", i);
    }
}

TEST(RoundTrip, ArbitraryBytesSurvive) {
    generator gen(77);
    for (int i = 0; i < 3000; ++i) expectroundtrip(gen.randombytes(), "random", i);
    for (int i = 0; i < 3000; ++i) expectroundtrip(gen.damaged(gen.program(0)), "damaged", i);
}

}  // namespace
