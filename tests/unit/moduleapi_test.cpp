// Support operations for natives: arguments, list and dictionary access, conversions, pointer
// targets, native parameters, name lookup and the data stack.
#include "fixture.h"
#include "vm/builtins.h"

namespace t4test {
namespace {

using namespace T4VM::moduleapi;
using moduleapi = machine;

TEST_F(moduleapi, Getarg) {
    variable* value = num(1);
    argmap args{{"arg0", value}};
    EXPECT_EQ(getarg(args, "arg0"), value);
    EXPECT_EQ(reportline([&] { getarg(args, "arg1"); }), "TARN 4 VM error within module: No such arg: arg1");
}

TEST_F(moduleapi, ListIndexing) {
    variable* last = num(30);
    variable* list = listof({num(10), num(20), last});
    EXPECT_EQ(Lgetindex(list->listval, 2), last);
    EXPECT_EQ(reportline([&] { Lgetindex(list->listval, 3); }),
              "TARN 4 VM error within module: Out of bounds. Tried getting index 3 at list with length of 3");
    EXPECT_EQ(reportline([&] { Lgetindex(list->listval, -1); }),
              "TARN 4 VM error within module: Out of bounds. Tried getting index -1 at list with length of 3");

    variable* replacement = str("x");
    Lsetindex(list->listval, 1, replacement);
    EXPECT_EQ(list->getstring(false), "[10, \"x\", 30]");
    EXPECT_EQ(Lgetindex(list->listval, 1), replacement);
    EXPECT_EQ(reportline([&] { Lsetindex(list->listval, 3, num(0)); }),
              "TARN 4 VM error within module: Out of bounds. Tried setting index 3 at list with length of 3");
    EXPECT_EQ(reportline([&] { Lsetindex(list->listval, -2147483647 - 1, num(0)); }),
              "TARN 4 VM error within module: Out of bounds. Tried setting index -2147483648 at list with length of 3");
    EXPECT_EQ(list->listval.size(), 3u);
}

TEST_F(moduleapi, Varconv) {
    variable* five = num(5);
    variable* text = varconv(*five, "BUILTIN_STRING");
    EXPECT_EQ(text->identifier, typeident::builtin_string);
    EXPECT_EQ(text->stringval, "5");
    EXPECT_EQ(text->attributes.size(), 2u);
    EXPECT_EQ(text->name, "Unnamed Variable");
    EXPECT_EQ(five->identifier, typeident::builtin_int);

    variable* truncated = varconv(*flt(2.5f), "BUILTIN_INT");
    EXPECT_EQ(truncated->identifier, typeident::builtin_int);
    EXPECT_EQ(truncated->intval, 2);
    variable* parsed = varconv(*str("7"), "BUILTIN_FLOAT");
    EXPECT_EQ(parsed->identifier, typeident::builtin_float);
    EXPECT_EQ(parsed->floatval, 7.0f);
    EXPECT_EQ(varconv(*listof({str("a")}), "BUILTIN_STRING")->stringval, "[\"a\"]");

    EXPECT_EQ(reportline([&] { varconv(*five, "BUILTIN_LIST"); }),
              "TARN 4 VM error within module: Unsupported convert type: BUILTIN_LIST");
    EXPECT_EQ(reportline([&] { varconv(*str("abc"), "BUILTIN_INT"); }),
              "TARN 4 VM error: Text is not an integer: \"abc\"");
}

TEST_F(moduleapi, DictionaryLookupByValue) {
    variable* valuea = num(1);
    variable* dict = dictof({{str("a"), valuea}, {str("b"), num(2)}});
    EXPECT_EQ(Dgetindex(dict->dictval, *str("a")), valuea);
    EXPECT_TRUE(Dcontains(dict->dictval, *str("b")));
    EXPECT_FALSE(Dcontains(dict->dictval, *str("c")));
    EXPECT_EQ(reportline([&] { Dgetindex(dict->dictval, *str("c")); }),
              "TARN 4 VM error within module: Dict does not contain key: c");
    EXPECT_EQ(reportline([&] { Dgetindex(dict->dictval, *num(4)); }),
              "TARN 4 VM error within module: Dict does not contain key: 4");

    variable* floatvalue = str("float key");
    variable* numbers = dictof({{flt(1.0f), floatvalue}});
    EXPECT_EQ(Dgetindex(numbers->dictval, *num(1)), floatvalue);
    EXPECT_FALSE(Dcontains(numbers->dictval, *num(2)));

    variable* key = str("a");
    Dsetindex(dict->dictval, key, num(3));
    Dsetindex(dict->dictval, key, num(4));
    EXPECT_EQ(dict->dictval.size(), 3u);
    EXPECT_EQ(dict->dictval.at(key)->intval, 4);
    EXPECT_EQ(Dgetindex(dict->dictval, *str("a")), valuea);  // the older equal key comes first
}

TEST_F(moduleapi, DuplicatevarSharesMembersAndNeverTheCopyMark) {
    variable* element = num(1);
    variable* list = listof({element});
    list->name = "l";
    list->alreadycopied = true;
    variable* duplicate = Duplicatevar(list);
    list->alreadycopied = false;
    EXPECT_NE(duplicate, list);
    EXPECT_EQ(duplicate->identifier, typeident::builtin_list);
    EXPECT_EQ(duplicate->name, "l");
    EXPECT_EQ(duplicate->listval.front(), element);
    EXPECT_FALSE(duplicate->alreadycopied);
    EXPECT_GT(duplicate->seq, list->seq);
}

TEST_F(moduleapi, Gettargetpntr) {
    variable* target = num(3);
    EXPECT_EQ(&gettargetpntr(target->getpointer()), target);
    variable* dangling = T4VM::getallocvar("");
    dangling->identifier = typeident::builtin_pntr;
    EXPECT_EQ(reportline([&] { gettargetpntr(dangling); }),
              "TARN 4 VM error within module: Attempted to get pointer target even tho it is not defined.");
}

TEST_F(moduleapi, GetparamChecksTheKindOfTheEntry) {
    T4VM::outstream stream;
    T4VM::parammap params{{"file", T4VM::nativeparam{T4VM::paramkind::outstream, &stream}}};
    EXPECT_EQ(&getparam<T4VM::outstream>(params, "file"), &stream);
    EXPECT_EQ(reportline([&] { getparam<T4VM::instream>(params, "file"); }),
              "TARN 4 VM error within module: No such param: file");
    EXPECT_EQ(reportline([&] { getparam<T4VM::outstream>(params, "client"); }),
              "TARN 4 VM error within module: No such param: client");

    // The standard streams of the root carry their stream under "file", of the matching kind.
    variable* standardout = T4VM::progroot->attributes.at("stdout");
    EXPECT_EQ(getparam<T4VM::outstream>(standardout->moduleparams, "file").stream, &out);
    EXPECT_EQ(reportline([&] { getparam<T4VM::instream>(standardout->moduleparams, "file"); }),
              "TARN 4 VM error within module: No such param: file");
}

TEST_F(moduleapi, LocalLookupPrefersTheRootsAttributes) {
    variable* rootvalue = num(1);
    variable* localvalue = num(2);
    T4VM::progroot->attributes["x"] = rootvalue;
    T4VM::databasestack->back()["x"] = localvalue;
    EXPECT_EQ(getlocalvar("x"), rootvalue);

    variable* onlylocal = str("local");
    T4VM::databasestack->back()["y"] = onlylocal;
    EXPECT_EQ(getlocalvar("y"), onlylocal);
    EXPECT_EQ(getlocalvar("stdout"), T4VM::progroot->attributes.at("stdout"));

    // Only the current frame is searched, never the frames below it.
    gointo(instance());
    EXPECT_EQ(T4VM::databasestack->size(), 2u);
    EXPECT_EQ(T4VM::callstack->size(), 2u);
    EXPECT_EQ(reportline([&] { getlocalvar("y"); }), "TARN 4 VM error: Local variable not found: y");
    goout();
    EXPECT_EQ(T4VM::databasestack->size(), 1u);
    EXPECT_EQ(T4VM::callstack->size(), 1u);
    EXPECT_EQ(getlocalvar("y"), onlylocal);

    T4VM::databasestack->back()["self"] = nullptr;
    EXPECT_EQ(reportline([&] { getlocalvar("self"); }), "TARN 4 VM error: Local variable is bound to no object: self");
}

TEST_F(moduleapi, GlobalAndAttributeLookup) {
    EXPECT_EQ(getglobalvar("progroot"), T4VM::progroot);
    EXPECT_EQ(reportline([&] { getglobalvar("nope"); }), "TARN 4 VM error: Global variable not found: nope");

    variable* object = instance();
    variable* member = num(1);
    object->attributes["m"] = member;
    EXPECT_EQ(getattribute(object, "m"), member);
    EXPECT_EQ(reportline([&] { getattribute(object, "q"); }),
              "TARN 4 VM error: Attempted to get attribute of class even tho it does not exist: q");
}

TEST_F(moduleapi, Gettopvar) {
    EXPECT_EQ(reportline([&] { gettopvar(); }), "TARN 4 VM error within module: datastack empty!");

    variable* list = listof({});
    variable* number = num(4);
    T4VM::datastack->push_back(list);
    T4VM::datastack->push_back(number);
    variable* top = gettopvar();
    EXPECT_NE(top, number);
    EXPECT_EQ(top->intval, 4);
    EXPECT_EQ(gettopvar(), list);
    EXPECT_TRUE(T4VM::datastack->empty());
}

}  // namespace
}  // namespace t4test
