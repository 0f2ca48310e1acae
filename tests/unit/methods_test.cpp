// Methods of strings, pointers, lists and dictionaries, called directly with a receiver.
#include "fixture.h"

namespace t4test {
namespace {

using namespace T4VM::builtin;

class methods : public machine {
protected:
    static argmap args(std::initializer_list<variable*> values) {
        argmap map;
        int i = 0;
        for (variable* value : values) map["arg" + std::to_string(i++)] = value;
        return map;
    }

    std::string text(T4VM::mfuncptr native, variable* self, argmap arguments) {
        variable* result = callnative(native, self, arguments);
        if (result == nullptr) return "<nothing>";
        EXPECT_EQ(result->identifier, typeident::builtin_string);
        EXPECT_EQ(result->attributes.size(), 2u) << "string results carry the string methods";
        return result->stringval;
    }

    std::int32_t integer(T4VM::mfuncptr native, variable* self, argmap arguments = {}) {
        variable* result = callnative(native, self, arguments);
        if (result == nullptr) {
            ADD_FAILURE() << "no result";
            return -1000;
        }
        EXPECT_EQ(result->identifier, typeident::builtin_int);
        EXPECT_EQ(result->name, "Unnamed Variable");
        return result->intval;
    }

    variable* tens() { return listof({num(10), num(20), num(30)}); }
};

TEST_F(methods, StringGet) {
    variable* hello = str("hello");
    EXPECT_EQ(text(strget, hello, args({num(1)})), "e");
    EXPECT_EQ(text(strget, hello, args({str("4")})), "o");
    EXPECT_EQ(text(strget, hello, args({flt(0.9f)})), "h");
    EXPECT_EQ(text(strget, hello, args({num(5)})), std::string(1, '\0'));
    EXPECT_EQ(hello->stringval, "hello");
    EXPECT_EQ(reportline([&] { callnative(strget, hello, args({num(6)})); }),
              "TARN 4 VM error within module: Out of bounds. Tried getting index 6 at string with length of 5");
    EXPECT_EQ(reportline([&] { callnative(strget, hello, args({num(-1)})); }),
              "TARN 4 VM error within module: Out of bounds. Tried getting index -1 at string with length of 5");
    EXPECT_EQ(reportline([&] { callnative(strget, hello, {}); }), "TARN 4 VM error within module: No such arg: arg0");
    EXPECT_EQ(reportline([&] { callnative(strget, hello, args({listof({})})); }),
              "TARN 4 VM error: Unsupported type: BUILTIN_LIST");
}

TEST_F(methods, StringSubstr) {
    variable* hello = str("hello");
    EXPECT_EQ(text(strsub, hello, args({num(1), num(3)})), "ell");
    EXPECT_EQ(text(strsub, hello, args({num(2), num(-1)})), "llo");
    EXPECT_EQ(text(strsub, hello, args({num(5), num(1)})), "");
    EXPECT_EQ(text(strsub, hello, args({num(0), num(100)})), "hello");
    EXPECT_EQ(text(strsub, hello, args({num(0), num(0)})), "");
    EXPECT_EQ(reportline([&] { callnative(strsub, hello, args({num(6), num(1)})); }),
              "TARN 4 VM error within module: Out of bounds. Tried getting substring at index 6 at string with length of 5");
    EXPECT_EQ(reportline([&] { callnative(strsub, hello, args({num(-1), num(1)})); }),
              "TARN 4 VM error within module: Out of bounds. Tried getting substring at index -1 at string with length of 5");
    // The count is fetched before the start.
    EXPECT_EQ(reportline([&] { callnative(strsub, hello, {}); }), "TARN 4 VM error within module: No such arg: arg1");
    EXPECT_EQ(reportline([&] { callnative(strsub, hello, {{"arg1", num(1)}}); }),
              "TARN 4 VM error within module: No such arg: arg0");
}

TEST_F(methods, PointerGetAndSet) {
    variable* target = num(1);
    variable* pointer = target->getpointer();
    variable* got = callnative(pntrget, pointer);
    ASSERT_NE(got, nullptr);
    EXPECT_NE(got, target);  // value types come back as copies
    EXPECT_EQ(got->intval, 1);

    variable* five = num(5);
    EXPECT_EQ(callnative(pntrset, pointer, args({five})), nullptr);
    EXPECT_EQ(pointer->pntrval, target);
    EXPECT_EQ(target->intval, 5);
    five->intval = 6;  // the target took a copy of the value
    EXPECT_EQ(target->intval, 5);
    EXPECT_EQ(callnative(pntrget, pointer)->intval, 5);

    // Assignment through a pointer may change the target's type.
    callnative(pntrset, pointer, args({str("now text")}));
    EXPECT_EQ(target->identifier, typeident::builtin_string);
    EXPECT_EQ(target->stringval, "now text");

    variable* list = listof({});
    EXPECT_EQ(callnative(pntrget, list->getpointer()), list);

    variable* dangling = T4VM::getallocvar("BUILTIN_PNTR");
    dangling->identifier = typeident::builtin_pntr;
    EXPECT_EQ(reportline([&] { callnative(pntrget, dangling); }),
              "TARN 4 VM error within module: Attempted to get pointer target even tho it is not defined.");
    EXPECT_EQ(reportline([&] { callnative(pntrset, dangling, args({num(1)})); }),
              "TARN 4 VM error within module: Attempted to get pointer target even tho it is not defined.");
    EXPECT_EQ(reportline([&] { callnative(pntrset, dangling, {}); }),
              "TARN 4 VM error within module: No such arg: arg0");
}

TEST_F(methods, ListGetSetAppendSize) {
    variable* list = tens();
    variable* twenty = *std::next(list->listval.begin());
    EXPECT_EQ(callnative(Lgetatindex, list, args({num(1)})), twenty);
    EXPECT_EQ(callnative(Lgetatindex, list, args({str("1")})), twenty);
    EXPECT_EQ(integer(Lsize, list), 3);

    variable* replacement = str("x");
    EXPECT_EQ(callnative(Lsetatindex, list, args({num(1), replacement})), nullptr);
    EXPECT_EQ(list->getstring(false), "[10, \"x\", 30]");
    EXPECT_EQ(*std::next(list->listval.begin()), replacement);

    variable* appended = listof({});
    EXPECT_EQ(callnative(Lappend, list, args({appended})), nullptr);
    EXPECT_EQ(list->listval.back(), appended);
    EXPECT_EQ(integer(Lsize, list), 4);
    EXPECT_EQ(integer(Lsize, listof({})), 0);

    EXPECT_EQ(reportline([&] { callnative(Lgetatindex, tens(), args({num(3)})); }),
              "TARN 4 VM error within module: Out of bounds. Tried getting index 3 at list with length of 3");
    EXPECT_EQ(reportline([&] { callnative(Lsetatindex, tens(), args({num(3), num(0)})); }),
              "TARN 4 VM error within module: Out of bounds. Tried setting index 3 at list with length of 3");
    EXPECT_EQ(reportline([&] { callnative(Lsetatindex, tens(), args({num(0)})); }),
              "TARN 4 VM error within module: No such arg: arg1");
    EXPECT_EQ(reportline([&] { callnative(Lappend, tens(), {}); }), "TARN 4 VM error within module: No such arg: arg0");
}

TEST_F(methods, ListContainsIsIdentityAndFindIsEquality) {
    variable* list = tens();
    variable* twenty = *std::next(list->listval.begin());
    EXPECT_EQ(integer(Lcontains, list, args({num(20)})), 0);
    EXPECT_EQ(integer(Lcontains, list, args({twenty})), 1);

    EXPECT_EQ(integer(Lfind, list, args({num(20)})), 1);
    EXPECT_EQ(integer(Lfind, list, args({flt(20.0f)})), 1);
    EXPECT_EQ(integer(Lfind, list, args({str("20")})), -1);
    EXPECT_EQ(integer(Lfind, list, args({num(40)})), -1);
    EXPECT_EQ(integer(Lfind, listof({}), args({num(1)})), -1);
    EXPECT_EQ(integer(Lfind, listof({str("a"), num(7), num(7)}), args({num(7)})), 1);
    // Lists compare by their element objects, so only a list holding the same objects is found.
    variable* one = num(1);
    variable* inner = listof({one});
    EXPECT_EQ(integer(Lfind, listof({listof({num(1)}), inner}), args({listof({one})})), 1);
}

TEST_F(methods, ListRemove) {
    variable* list = tens();
    EXPECT_EQ(callnative(Lerase, list, args({num(1)})), nullptr);
    EXPECT_EQ(list->getstring(false), "[10, 30]");

    // The index is the argument's integer field as it stands: a text "1" holds 0 there.
    variable* other = tens();
    callnative(Lerase, other, args({str("1")}));
    EXPECT_EQ(other->getstring(false), "[20, 30]");

    EXPECT_EQ(reportline([&] { callnative(Lerase, tens(), args({num(3)})); }),
              "TARN 4 VM error within module: Out of bounds. Tried erasing lement at index: 3 even tho length is: 3");
    EXPECT_EQ(reportline([&] { callnative(Lerase, tens(), args({num(-1)})); }),
              "TARN 4 VM error within module: Out of bounds. Tried erasing lement at index: -1 even tho length is: 3");
    EXPECT_EQ(reportline([&] { callnative(Lerase, listof({}), args({num(0)})); }),
              "TARN 4 VM error within module: Out of bounds. Tried erasing lement at index: 0 even tho length is: 0");
}

TEST_F(methods, DictionarySetIsIdentityGetIsEquality) {
    variable* dict = dictof({});
    variable* key = str("a");
    variable* one = num(1);
    EXPECT_EQ(callnative(Dsetindex, dict, args({key, one})), nullptr);
    EXPECT_EQ(callnative(Dgetindex, dict, args({str("a")})), one);
    EXPECT_EQ(integer(Dcontains, dict, args({str("a")})), 1);
    EXPECT_EQ(integer(Dcontains, dict, args({str("b")})), 0);

    // The same key object replaces; an equal key made elsewhere adds an entry.
    variable* replaced = num(9);
    callnative(Dsetindex, dict, args({key, replaced}));
    EXPECT_EQ(integer(Dsize, dict), 1);
    EXPECT_EQ(dict->dictval.at(key), replaced);
    callnative(Dsetindex, dict, args({str("a"), num(2)}));
    EXPECT_EQ(integer(Dsize, dict), 2);
    // The key made first wins among equal keys.
    EXPECT_EQ(callnative(Dgetindex, dict, args({str("a")})), replaced);

    variable* floats = dictof({{flt(1.0f), str("one")}});
    EXPECT_EQ(callnative(Dgetindex, floats, args({num(1)}))->stringval, "one");
    EXPECT_EQ(integer(Dcontains, floats, args({num(1)})), 1);

    EXPECT_EQ(reportline([&] { callnative(Dgetindex, dict, args({str("c")})); }),
              "TARN 4 VM error within module: Dict does not contain key: c");
    EXPECT_EQ(reportline([&] { callnative(Dsetindex, dict, args({str("c")})); }),
              "TARN 4 VM error within module: No such arg: arg1");
    EXPECT_EQ(reportline([&] { callnative(Dcontains, dict, {}); }), "TARN 4 VM error within module: No such arg: arg0");
}

TEST_F(methods, DictionaryKeysAndValuesAreDuplicatesInKeyOrder) {
    variable* b = str("b");
    variable* a = num(1);
    variable* valueb = listof({num(2)});
    variable* valuea = flt(0.5f);
    variable* dict = dictof({{b, valueb}, {a, valuea}});

    variable* keys = callnative(Dgetkeys, dict);
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(keys->identifier, typeident::builtin_list);
    EXPECT_EQ(keys->attributes.size(), 7u);
    EXPECT_EQ(keys->getstring(false), "[\"b\", 1]");
    EXPECT_NE(keys->listval.front(), b);
    EXPECT_EQ(keys->listval.front()->identifier, typeident::builtin_string);

    variable* values = callnative(Dgetvalues, dict);
    ASSERT_NE(values, nullptr);
    EXPECT_EQ(values->getstring(false), "[[2], 0.500000]");
    variable* firstvalue = values->listval.front();
    EXPECT_NE(firstvalue, valueb);
    EXPECT_EQ(firstvalue->listval, valueb->listval);  // a duplicate shares the members

    EXPECT_EQ(integer(Dsize, dict), 2);
    variable* nokeys = callnative(Dgetkeys, dictof({}));
    EXPECT_EQ(nokeys->getstring(false), "[]");
    EXPECT_EQ(nokeys->attributes.count("append"), 1u);
    EXPECT_EQ(integer(Dsize, dictof({})), 0);
}

TEST_F(methods, MethodsWithoutReceiverAreReported) {
    const std::string expected = "TARN 4 VM error within module: Method called without a receiver.";
    EXPECT_EQ(reportline([&] { callnative(strget, nullptr, args({num(0)})); }), expected);
    EXPECT_EQ(reportline([&] { callnative(strsub, nullptr, args({num(0), num(0)})); }), expected);
    EXPECT_EQ(reportline([&] { callnative(pntrget, nullptr); }), expected);
    EXPECT_EQ(reportline([&] { callnative(Lsize, nullptr); }), expected);
    EXPECT_EQ(reportline([&] { callnative(Lappend, nullptr, args({num(0)})); }), expected);
    EXPECT_EQ(reportline([&] { callnative(Lerase, nullptr, args({num(0)})); }), expected);
    EXPECT_EQ(reportline([&] { callnative(Dgetkeys, nullptr); }), expected);
    EXPECT_EQ(reportline([&] { callnative(Dsize, nullptr); }), expected);
}

TEST_F(methods, EveryValueOwnsItsMethodObjects) {
    variable* list = T4VM::getallocvar("BUILTIN_LIST");
    EXPECT_EQ(list->identifier, typeident::none);
    std::string names;
    for (auto& [name, method] : list->attributes) names += name + " ";
    EXPECT_EQ(names, "append contains find get remove set size ");
    EXPECT_EQ(list->attributes.at("size")->identifier, typeident::builtin_module);
    EXPECT_EQ(list->attributes.at("get")->identifier, typeident::custom_func);
    EXPECT_TRUE(list->attributes.at("get")->ismodule);
    EXPECT_NE(T4VM::newlist()->attributes.at("get"), T4VM::newlist()->attributes.at("get"));

    variable* dict = T4VM::getallocvar("BUILTIN_DICT");
    EXPECT_EQ(dict->attributes.at("size")->modulefunc, &Dsize);
    EXPECT_EQ(dict->attributes.at("keys")->identifier, typeident::custom_func);
    EXPECT_EQ(str("s")->attributes.at("substr")->identifier, typeident::builtin_module);

    EXPECT_TRUE(T4VM::getallocvar("BUILTIN_INT")->attributes.empty());
    EXPECT_TRUE(T4VM::getallocvar("CUSTOM_CLASS")->attributes.empty());

    variable* twice = str("s");
    variable* old = twice->attributes.at("get");
    T4VM::initstringvar(*twice);
    EXPECT_EQ(twice->attributes.size(), 2u);
    EXPECT_NE(twice->attributes.at("get"), old);
}

}  // namespace
}  // namespace t4test
