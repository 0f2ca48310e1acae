// The value model: text forms, equality, copies, pointers and numeric conversions.
#include <cmath>
#include <limits>

#include "fixture.h"

namespace t4test {
namespace {

using values = machine;

TEST_F(values, ScalarTextForms) {
    EXPECT_EQ(num(-7)->getstring(false), "-7");
    EXPECT_EQ(num(0)->getstring(true), "0");
    EXPECT_EQ(flt(3.0f)->getstring(false), "3.000000");
    EXPECT_EQ(flt(2.5f)->getstring(true), "2.500000");
    EXPECT_EQ(flt(-0.5f)->getstring(false), "-0.500000");
    EXPECT_EQ(flt(0.1f)->getstring(false), "0.100000");
    // Large magnitudes print every digit of the single-precision value.
    EXPECT_EQ(flt(1e20f)->getstring(false), "100000002004087734272.000000");
    EXPECT_EQ(str("abc")->getstring(false), "abc");
    EXPECT_EQ(str("abc")->getstring(true), "\"abc\"");
    EXPECT_EQ(str("a\"b")->getstring(true), "\"a\"b\"");  // quotes inside are not escaped
    EXPECT_EQ(str("")->getstring(true), "\"\"");
}

TEST_F(values, NonDataTypesPrintNone) {
    variable* fresh = T4VM::getallocvar("");
    EXPECT_EQ(fresh->identifier, typeident::none);
    EXPECT_EQ(fresh->name, "Unnamed Variable");
    EXPECT_EQ(fresh->getstring(false), "None");
    EXPECT_EQ(num(1)->getpointer()->getstring(false), "None");
    EXPECT_EQ(instance()->getstring(true), "None");
    EXPECT_EQ(T4VM::getmodulevar(T4VM::builtin::Lsize)->getstring(false), "None");
    EXPECT_EQ(T4VM::progroot->getstring(false), "None");
}

TEST_F(values, ContainerTextForms) {
    EXPECT_EQ(listof({num(1), num(2)})->getstring(false), "[1, 2]");
    EXPECT_EQ(listof({str("a")})->getstring(false), "[\"a\"]");
    EXPECT_EQ(listof({})->getstring(false), "[]");
    EXPECT_EQ(dictof({})->getstring(false), "[]");
    EXPECT_EQ(dictof({{num(1), num(2)}})->getstring(false), "[1: 2]");
    variable* nested = listof({flt(1.5f), listof({str("x"), dictof({{str("k"), listof({})}})}), num(-1)});
    EXPECT_EQ(nested->getstring(false), "[1.500000, [\"x\", [\"k\": []]], -1]");
}

TEST_F(values, DictionariesPrintInKeyCreationOrder) {
    variable* first = str("made first");
    variable* second = str("made second");
    variable* third = num(3);
    variable* dict = dictof({});
    dict->dictval[third] = num(30);
    dict->dictval[second] = num(20);
    dict->dictval[first] = num(10);
    EXPECT_EQ(dict->getstring(false), "[\"made first\": 10, \"made second\": 20, 3: 30]");
}

TEST_F(values, ContainersAlreadyOnThePrintPathPrintAsEllipsis) {
    variable* self = listof({num(1)});
    self->listval.push_back(self);
    EXPECT_EQ(self->getstring(false), "[1, [...]]");
    EXPECT_EQ(self->getstring(false), "[1, [...]]");  // the guard is lifted after each print
    EXPECT_FALSE(self->printing);

    variable* shared = listof({num(1)});
    EXPECT_EQ(listof({shared, shared})->getstring(false), "[[1], [1]]");

    variable* a = listof({});
    variable* b = listof({a});
    a->listval.push_back(b);
    EXPECT_EQ(a->getstring(false), "[[[...]]]");
    EXPECT_EQ(b->getstring(false), "[[[...]]]");

    variable* dict = dictof({});
    dict->dictval[str("me")] = dict;
    EXPECT_EQ(dict->getstring(false), "[\"me\": [...]]");
    EXPECT_EQ(listof({dict, dict})->getstring(false), "[[\"me\": [...]], [\"me\": [...]]]");
}

TEST_F(values, NumbersCompareByExactValue) {
    EXPECT_TRUE(*num(2) == *flt(2.0f));
    EXPECT_TRUE(*flt(2.0f) == *num(2));
    EXPECT_FALSE(*num(1) == *num(2));
    EXPECT_FALSE(*flt(2.5f) == *num(2));
    // Beyond 2^24 single precision cannot tell neighbouring integers apart; equality still can.
    EXPECT_FALSE(*num(16777217) == *num(16777216));
    EXPECT_FALSE(*num(16777217) == *flt(16777216.0f));
    EXPECT_TRUE(*num(16777216) == *flt(16777216.0f));
    EXPECT_FALSE(*num(2147483647) == *flt(2147483648.0f));
    EXPECT_TRUE(*num(2147483647) == *num(2147483647));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(*flt(nan) == *flt(nan));
    EXPECT_FALSE(*flt(nan) == *num(0));
}

TEST_F(values, EqualityOfOtherTypes) {
    EXPECT_FALSE(*str("1") == *num(1));
    EXPECT_FALSE(*num(1) == *str("1"));
    EXPECT_TRUE(*str("abc") == *str("abc"));
    EXPECT_FALSE(*str("abc") == *str("abd"));

    variable* one = num(1);
    variable* two = num(2);
    variable* list = listof({one, two});
    EXPECT_TRUE(*list == *list);
    EXPECT_TRUE(*list == *listof({one, two}));   // the very same element objects
    EXPECT_FALSE(*list == *listof({two, one}));  // same objects, other order
    EXPECT_FALSE(*list == *listof({num(1), num(2)}));
    EXPECT_FALSE(*list == *listof({one}));

    variable* key = str("k");
    variable* value = num(1);
    EXPECT_TRUE(*dictof({{key, value}}) == *dictof({{key, value}}));
    EXPECT_FALSE(*dictof({{key, value}}) == *dictof({{key, num(1)}}));

    // Pointers, instances and native functions of one kind are always equal.
    EXPECT_TRUE(*num(1)->getpointer() == *str("x")->getpointer());
    EXPECT_TRUE(*instance() == *instance());
    EXPECT_TRUE(*T4VM::getmodulevar(T4VM::builtin::Lsize) == *T4VM::getmodulevar(T4VM::builtin::strget));
    variable* builtinclass = T4VM::getallocvar("");
    builtinclass->identifier = typeident::builtin_class;
    EXPECT_FALSE(*instance() == *builtinclass);
}

TEST_F(values, FunctionsCompareByBody) {
    auto function = [](std::vector<byte> body) {
        variable* f = T4VM::getallocvar("");
        f->identifier = typeident::custom_func;
        if (!body.empty()) f->funccode = std::make_shared<const std::vector<byte>>(std::move(body));
        return f;
    };
    EXPECT_TRUE(*function({0x22, 0x10}) == *function({0x22, 0x10}));
    EXPECT_FALSE(*function({0x22, 0x10}) == *function({0x22, 0x11}));
    EXPECT_FALSE(*function({0x22}) == *function({0x22, 0x10}));
    EXPECT_FALSE(*function({}) == *function({0x22}));
    EXPECT_TRUE(*function({}) == *T4VM::getcustomfuncvar(T4VM::builtin::Lsize));
}

TEST_F(values, GetvarCopiesValueTypesAndSharesTheRest) {
    variable* number = num(5);
    variable* copy = number->getvar();
    EXPECT_NE(copy, number);
    EXPECT_EQ(copy->intval, 5);
    copy->intval = 6;
    EXPECT_EQ(number->intval, 5);

    variable* text = str("t");
    EXPECT_NE(text->getvar(), text);
    EXPECT_EQ(text->getvar()->stringval, "t");

    variable* target = num(1);
    variable* pointer = target->getpointer();
    variable* pointercopy = pointer->getvar();
    EXPECT_NE(pointercopy, pointer);
    EXPECT_EQ(pointercopy->pntrval, target);

    variable* list = listof({num(1)});
    EXPECT_EQ(list->getvar(), list);
    variable* dict = dictof({});
    EXPECT_EQ(dict->getvar(), dict);
    variable* object = instance();
    EXPECT_EQ(object->getvar(), object);
}

TEST_F(values, GetpointerMakesAPointerWithMethods) {
    variable* target = str("x");
    variable* pointer = target->getpointer();
    EXPECT_EQ(pointer->identifier, typeident::builtin_pntr);
    EXPECT_EQ(pointer->pntrval, target);
    EXPECT_EQ(pointer->name, "Unnamed Variable");
    ASSERT_EQ(pointer->attributes.size(), 2u);
    EXPECT_EQ(pointer->attributes.at("get")->modulefunc, &T4VM::builtin::pntrget);
    EXPECT_EQ(pointer->attributes.at("set")->modulefunc, &T4VM::builtin::pntrset);
}

TEST_F(values, CopiedListSharesElementsButNotItsOwnList) {
    variable* one = num(1);
    variable* list = listof({one, str("two")});
    variable* copy = list->getcopy();
    EXPECT_NE(copy, list);
    EXPECT_EQ(copy->identifier, typeident::builtin_list);
    EXPECT_EQ(copy->listval, list->listval);
    copy->listval.push_back(num(3));
    EXPECT_EQ(list->listval.size(), 2u);
    EXPECT_EQ(list->listval.front(), one);
    // The copy has method objects of its own.
    ASSERT_EQ(copy->attributes.size(), 7u);
    EXPECT_NE(copy->attributes.at("get"), list->attributes.at("get"));
    EXPECT_EQ(copy->attributes.at("get")->modulefunc, &T4VM::builtin::Lgetatindex);
}

TEST_F(values, CopiedDictionaryHasNewKeysAndValuesInTheSameOrder) {
    variable* a = str("a");
    variable* b = str("b");
    variable* one = num(1);
    variable* two = listof({});
    variable* dict = dictof({{a, one}, {b, two}});
    variable* copy = dict->getcopy();
    ASSERT_EQ(copy->dictval.size(), 2u);
    auto entry = copy->dictval.begin();
    EXPECT_NE(entry->first, a);
    EXPECT_EQ(entry->first->stringval, "a");
    EXPECT_NE(entry->second, one);
    EXPECT_EQ(entry->second->intval, 1);
    ++entry;
    EXPECT_NE(entry->first, b);
    EXPECT_EQ(entry->first->stringval, "b");
    EXPECT_NE(entry->second, two);  // even reference-type values are copied
    EXPECT_EQ(copy->getstring(false), "[\"a\": 1, \"b\": []]");
    EXPECT_EQ(dict->dictval.size(), 2u);
    EXPECT_EQ(dict->dictval.at(a), one);
}

TEST_F(values, CopyingAMethodWhoseReceiverIsTheObjectTerminates) {
    variable* object = instance();
    variable* method = T4VM::getcustomfuncvar(T4VM::builtin::Lsize);
    method->self = object;
    object->attributes["m"] = method;

    variable* copy = object->getcopy();
    variable* methodcopy = copy->attributes.at("m");
    EXPECT_NE(methodcopy, method);
    ASSERT_NE(methodcopy->self, nullptr);
    EXPECT_NE(methodcopy->self, object);
    EXPECT_NE(methodcopy->self, copy);
    // The receiver was copied while the method was marked, so that copy shares the method.
    EXPECT_EQ(methodcopy->self->attributes.at("m"), method);
    EXPECT_FALSE(object->alreadycopied);
    EXPECT_FALSE(method->alreadycopied);
    EXPECT_EQ(object->copyentry, 0u);
    EXPECT_EQ(method->copyentry, 0u);
}

TEST_F(values, CopyingAnObjectThatReachesItselfThroughValuesTerminates) {
    variable* object = instance();
    object->attributes["me"] = object;
    variable* copy = object->getcopy();
    EXPECT_NE(copy, object);
    EXPECT_EQ(copy->attributes.at("me"), object);

    variable* a = instance();
    variable* b = instance();
    a->attributes["b"] = b;
    b->attributes["a"] = a;
    variable* acopy = a->getcopy();
    variable* bcopy = acopy->attributes.at("b");
    EXPECT_NE(bcopy, b);
    EXPECT_EQ(bcopy->attributes.at("a"), a);

    // A dictionary holding itself: the copy's chain of values comes back to the original.
    variable* dict = dictof({});
    dict->dictval[str("me")] = dict;
    variable* dictcopy = dict->getcopy();
    EXPECT_NE(dictcopy, dict);
    variable* level = dictcopy;
    for (int step = 0; step < 3 && level != dict; ++step) {
        ASSERT_EQ(level->dictval.size(), 1u);
        level = level->dictval.begin()->second;
    }
    EXPECT_EQ(level, dict);

    for (variable* v : {object, a, b, dict}) {
        EXPECT_FALSE(v->alreadycopied);
        EXPECT_EQ(v->copyentry, 0u);
    }
}

TEST_F(values, AnAttributeObjectHeldTwiceIsCopiedOnlyOnce) {
    // The first copy marks the value, so the second attribute keeps sharing the original.
    variable* object = instance();
    variable* shared = instance();
    object->attributes["a"] = shared;
    object->attributes["b"] = shared;
    variable* copy = object->getcopy();
    EXPECT_NE(copy->attributes.at("a"), shared);
    EXPECT_EQ(copy->attributes.at("b"), shared);
    EXPECT_FALSE(shared->alreadycopied);
    // A later copy starts without marks.
    variable* again = object->getcopy();
    EXPECT_NE(again->attributes.at("a"), shared);
}

TEST_F(values, GetintConversions) {
    EXPECT_EQ(num(-5)->getint(), -5);
    EXPECT_EQ(flt(2.9f)->getint(), 2);
    EXPECT_EQ(flt(-2.9f)->getint(), -2);
    EXPECT_EQ(flt(2147483520.0f)->getint(), 2147483520);
    EXPECT_EQ(str("42abc")->getint(), 42);
    EXPECT_EQ(str(" 7")->getint(), 7);
    EXPECT_EQ(str("-2147483648")->getint(), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(str("2147483647")->getint(), 2147483647);
}

TEST_F(values, GetintOfTheSmallestIntegerAsFloat) {
    // -2^31 is exactly representable and truncates to the smallest int.
    try {
        EXPECT_EQ(flt(-2147483648.0f)->getint(), std::numeric_limits<std::int32_t>::min());
    } catch (const T4VM::machinestop&) {
        ADD_FAILURE() << "reported: " << err.str();
    }
}

TEST_F(values, GetfloatConversions) {
    EXPECT_EQ(num(3)->getfloat(), 3.0f);
    EXPECT_EQ(flt(0.25f)->getfloat(), 0.25f);
    EXPECT_EQ(str("2.5e1")->getfloat(), 25.0f);
    EXPECT_EQ(str(" 1.5x")->getfloat(), 1.5f);
    EXPECT_EQ(str("-3")->getfloat(), -3.0f);
}

TEST_F(values, ConversionFailures) {
    EXPECT_EQ(reportline([&] { str("abc")->getint(); }), "TARN 4 VM error: Text is not an integer: \"abc\"");
    EXPECT_EQ(reportline([&] { str("")->getint(); }), "TARN 4 VM error: Text is not an integer: \"\"");
    EXPECT_EQ(reportline([&] { str("abc")->getfloat(); }), "TARN 4 VM error: Text is not a number: \"abc\"");
    EXPECT_EQ(reportline([&] { str("99999999999")->getint(); }),
              "TARN 4 VM error: Integer out of range: \"99999999999\"");
    EXPECT_EQ(reportline([&] { str("-2147483649")->getint(); }),
              "TARN 4 VM error: Integer out of range: \"-2147483649\"");
    EXPECT_EQ(reportline([&] { str("1e99")->getfloat(); }), "TARN 4 VM error: Number out of range: \"1e99\"");
    EXPECT_EQ(reportline([&] { flt(3e9f)->getint(); }),
              "TARN 4 VM error: Float out of integer range: 3000000000.000000");
    EXPECT_EQ(reportline([&] { flt(2147483648.0f)->getint(); }),
              "TARN 4 VM error: Float out of integer range: 2147483648.000000");
    EXPECT_EQ(reportline([&] { flt(std::numeric_limits<float>::quiet_NaN())->getint(); }),
              "TARN 4 VM error: Float out of integer range: nan");
    EXPECT_EQ(reportline([&] { flt(-std::numeric_limits<float>::infinity())->getint(); }),
              "TARN 4 VM error: Float out of integer range: -inf");
    EXPECT_EQ(reportline([&] { listof({})->getint(); }), "TARN 4 VM error: Unsupported type: BUILTIN_LIST");
    EXPECT_EQ(reportline([&] { instance()->getfloat(); }), "TARN 4 VM error: Unsupported type: CUSTOM_CLASS");
}

}  // namespace
}  // namespace t4test
