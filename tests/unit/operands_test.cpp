// Operand decoding from code frames, and the reports for code that cannot be decoded.
#include <limits>

#include "fixture.h"

namespace t4test {
namespace {

class operands : public machine {
protected:
    T4VM::codeframe frame;

    variable* decode(std::vector<byte> bytes) {
        frame = framefrom(std::move(bytes));
        return T4VM::getop(frame);
    }

    std::string decodefailure(std::vector<byte> bytes) {
        return reportline([&] { decode(std::move(bytes)); });
    }

    static std::vector<byte> integer(std::uint32_t value) {
        return {0x00, byte(value >> 24), byte(value >> 16), byte(value >> 8), byte(value)};
    }

    static std::vector<byte> floating(std::uint32_t whole, std::uint32_t fraction) {
        std::vector<byte> bytes = integer(whole);
        bytes[0] = 0x01;
        std::vector<byte> tail = integer(fraction);
        bytes.insert(bytes.end(), tail.begin() + 1, tail.end());
        return bytes;
    }

    static std::vector<byte> join(std::initializer_list<std::vector<byte>> parts) {
        std::vector<byte> bytes;
        for (const auto& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
        return bytes;
    }
};

TEST_F(operands, Integers) {
    variable* value = decode({0x00, 0xFF, 0xFF, 0xFF, 0xFE, 0x22});
    EXPECT_EQ(value->identifier, typeident::builtin_int);
    EXPECT_EQ(value->intval, -2);
    EXPECT_EQ(frame.pc, 5u);
    EXPECT_EQ(value->name, "Unnamed Variable");
    EXPECT_EQ(value->self, nullptr);
    EXPECT_TRUE(value->attributes.empty());
    EXPECT_EQ(decode(integer(0x80000000))->intval, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(decode(integer(0x01020304))->intval, 0x01020304);
}

TEST_F(operands, FloatsAreWholePartPlusFractionDigits) {
    variable* value = decode(floating(1, 5));
    EXPECT_EQ(value->identifier, typeident::builtin_float);
    EXPECT_EQ(value->floatval, 1.5f);
    EXPECT_EQ(frame.pc, 9u);
    EXPECT_EQ(decode(floating(300, 125))->floatval, 300.125f);
    EXPECT_EQ(decode(floating(0, 1))->floatval, 0.1f);
    EXPECT_EQ(decode(floating(3, 25))->floatval, 3.25f);
    EXPECT_EQ(decode(floating(7, 0))->floatval, 7.0f);
    EXPECT_EQ(decode(floating(0, 5))->floatval, 0.5f);
    EXPECT_FLOAT_EQ(decode(floating(0, 4294967295u))->floatval, 0.4294967295f);
    EXPECT_EQ(decode(floating(4294967295u, 0))->floatval, 4294967296.0f);
}

TEST_F(operands, StringsAndClasses) {
    variable* text = decode({0x02, 'h', 'i', 0x00, 0x22});
    EXPECT_EQ(text->identifier, typeident::builtin_string);
    EXPECT_EQ(text->stringval, "hi");
    EXPECT_EQ(frame.pc, 4u);
    EXPECT_EQ(text->attributes.size(), 2u);
    EXPECT_EQ(text->attributes.count("substr"), 1u);
    EXPECT_EQ(decode({0x02, 0x00})->stringval, "");
    EXPECT_EQ(decode({0x02, 0xC3, 0xA9, 0x01, 0x00})->stringval, "\xC3\xA9\x01");

    variable* klass = decode({0x03, 0x22});
    EXPECT_EQ(klass->identifier, typeident::custom_class);
    EXPECT_TRUE(klass->attributes.empty());
    EXPECT_EQ(frame.pc, 1u);
}

TEST_F(operands, ListsReverseTheirElements) {
    variable* list = decode(join({{0x04}, integer(1), integer(2), {0xFF}}));
    EXPECT_EQ(list->identifier, typeident::builtin_list);
    EXPECT_EQ(list->getstring(false), "[2, 1]");
    EXPECT_EQ(list->attributes.size(), 7u);
    EXPECT_EQ(frame.remaining(), 0u);

    EXPECT_EQ(decode({0x04, 0xFF})->getstring(false), "[]");
    variable* nested = decode(join({{0x04, 0x04}, integer(1), integer(3), {0xFF}, integer(2), {0x02, 'a', 0x00, 0xFF}}));
    EXPECT_EQ(nested->getstring(false), "[\"a\", 2, [3, 1]]");
}

TEST_F(operands, DictionariesKeyByFreshObjects) {
    variable* empty = decode({0x05, 0xFF});
    EXPECT_EQ(empty->identifier, typeident::builtin_dict);
    EXPECT_TRUE(empty->dictval.empty());
    EXPECT_EQ(empty->attributes.size(), 6u);

    variable* dict = decode(join({{0x05, 0x02, 'a', 0x00}, integer(1), {0x02, 'a', 0x00}, integer(2),
                                  {0x04, 0xFF}, {0x05, 0xFF}, {0xFF}}));
    EXPECT_EQ(dict->dictval.size(), 3u);
    EXPECT_EQ(dict->getstring(false), "[\"a\": 1, \"a\": 2, []: []]");
}

TEST_F(operands, FunctionsTakeTheirBodyVerbatim) {
    variable* function = decode({0x06, 0x00, 0x00, 0x00, 0x03, 0xAA, 0x06, 0xFF, 0xDD});
    EXPECT_EQ(function->identifier, typeident::custom_func);
    ASSERT_EQ(function->codesize(), 3u);
    EXPECT_EQ(std::vector<byte>(function->funccode.begin(), function->funccode.end()), (std::vector<byte>{0xAA, 0x06, 0xFF}));
    EXPECT_EQ(frame.pc, 8u);
    EXPECT_FALSE(function->ismodule);
    EXPECT_EQ(function->self, nullptr);

    EXPECT_EQ(decode({0x06, 0x00, 0x00, 0x00, 0x00, 0x22})->codesize(), 0u);
    EXPECT_EQ(frame.pc, 5u);
    // A negative length is an empty body; the bytes after it are left for the next instruction.
    EXPECT_EQ(decode({0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0x22})->codesize(), 0u);
    EXPECT_EQ(frame.pc, 5u);
}

TEST_F(operands, StackOperandsTakeCopiesFromTheDataStack) {
    T4VM::datastack->push_back(num(10));
    T4VM::datastack->push_back(num(20));
    EXPECT_EQ(decode({0x04, 0x07, 0x07, 0xFF})->getstring(false), "[10, 20]");
    EXPECT_TRUE(T4VM::datastack->empty());

    variable* number = num(5);
    number->name = "n";
    T4VM::datastack->push_back(number);
    variable* numbercopy = decode({0x07});
    EXPECT_NE(numbercopy, number);
    EXPECT_EQ(numbercopy->intval, 5);
    EXPECT_EQ(numbercopy->name, "n");

    variable* list = listof({num(1)});
    T4VM::datastack->push_back(list);
    variable* listcopy = decode({0x07});
    EXPECT_NE(listcopy, list);
    EXPECT_EQ(listcopy->identifier, typeident::builtin_list);
    EXPECT_EQ(listcopy->listval, list->listval);
}

TEST_F(operands, DeepNestingUpToTheLimitDecodes) {
    std::vector<byte> bytes(1001, 0x04);
    bytes.insert(bytes.end(), 1001, 0xFF);
    variable* outer = decode(bytes);
    int depth = 0;
    for (variable* level = outer; !level->listval.empty(); level = level->listval.front()) ++depth;
    EXPECT_EQ(depth, 1000);
}

TEST_F(operands, UndecodableCodeIsReported) {
    EXPECT_EQ(decodefailure({0x00, 0x01, 0x02}), "TARN 4 VM error: Operand cut off by the end of its code.");
    EXPECT_EQ(frame.remaining(), 0u);
    EXPECT_EQ(decodefailure({0x01, 0, 0, 0, 1, 0, 0}), "TARN 4 VM error: Operand cut off by the end of its code.");
    EXPECT_EQ(decodefailure({0x02, 'a', 'b'}), "TARN 4 VM error: Operand cut off by the end of its code.");
    EXPECT_EQ(decodefailure({0x04, 0x03, 0x03}), "TARN 4 VM error: Operand cut off by the end of its code.");
    EXPECT_EQ(decodefailure({0x05}), "TARN 4 VM error: Operand cut off by the end of its code.");
    EXPECT_EQ(decodefailure({0x06, 0x00, 0x00}), "TARN 4 VM error: Operand cut off by the end of its code.");

    EXPECT_EQ(decodefailure({}), "TARN 4 VM error: Code ended where an operand was expected.");
    EXPECT_EQ(reportline([&] {
                  T4VM::codeframe nocode;
                  T4VM::getop(nocode);
              }),
              "TARN 4 VM error: Code ended where an operand was expected.");
    EXPECT_EQ(decodefailure({0x05, 0x02, 'k', 0x00}), "TARN 4 VM error: Code ended where an operand was expected.");

    EXPECT_EQ(decodefailure({0x07}), "TARN 4 VM error: Stack operand met an empty datastack.");
    EXPECT_EQ(decodefailure({0x04, 0x07, 0xFF}), "TARN 4 VM error: Stack operand met an empty datastack.");

    std::vector<byte> deep(1002, 0x04);
    deep.insert(deep.end(), 1002, 0xFF);
    EXPECT_EQ(decodefailure(deep), "TARN 4 VM error: Operand nesting too deep.");

    EXPECT_EQ(decodefailure({0x06, 0x00, 0x00, 0x00, 0x05, 0xAA, 0xBB}), "TARN 4 VM error: bytes ran out! Specified: 5");
    EXPECT_EQ(frame.remaining(), 0u);

    EXPECT_EQ(decodefailure({0x08}), "TARN 4 VM error: Bad type when getting operand!8");
    EXPECT_EQ(decodefailure({0xFF}), "TARN 4 VM error: Bad type when getting operand!255");
    // The terminator only ends a list or dictionary where an element or key would begin.
    EXPECT_EQ(decodefailure({0x05, 0x02, 'k', 0x00, 0xFF}), "TARN 4 VM error: Bad type when getting operand!255");
}

TEST_F(operands, NamesAreTheTextOfAnyOperand) {
    frame = framefrom({0x02, 'x', 'y', 0x00, 0x22});
    EXPECT_EQ(*T4VM::getname(frame), "xy");
    EXPECT_EQ(frame.pc, 4u);
    frame = framefrom(integer(12));
    EXPECT_EQ(*T4VM::getname(frame), "12");
    frame = framefrom({0x04, 0x02, 'a', 0x00, 0xFF});
    EXPECT_EQ(*T4VM::getname(frame), "[\"a\"]");
    EXPECT_EQ(reportline([&] {
                  frame = framefrom({0x02, 'x'});
                  T4VM::getname(frame);
              }),
              "TARN 4 VM error: Operand cut off by the end of its code.");
}

}  // namespace
}  // namespace t4test
