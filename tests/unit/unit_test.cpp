// Below what programs reach easily: text forms and equality across kinds, copies against sharing,
// and the reports of conversions, undecodable code and the native interface called directly.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "vm/builtins.h"
#include "vm/heap.h"
#include "vm/interpreter.h"
#include "vm/machine.h"
#include "vm/opcodes.h"
#include "vm/shortcuts.h"
#include "assembler.h"
#include "onmachine.h"

namespace {

using T4VM::byte;
using T4VM::typeident;
using T4VM::variable;
namespace api = T4VM::moduleapi;

const std::string vm = "TARN 4 VM error: ";
const std::string mod = "TARN 4 VM error within module: ";

T4VM::codeframe framefrom(std::vector<byte> bytes) {
    return T4VM::codeframe{std::make_shared<const std::vector<byte>>(std::move(bytes)), 0};
}

variable* str(const std::string& text) { return T4VM::newstring(text); }
variable* num(std::int32_t value) { return T4VM::newint(value); }

variable* typed(typeident identifier, std::vector<byte> code = {}) {
    variable* object = T4VM::getallocvar(identifier == typeident::builtin_dict ? "BUILTIN_DICT" : "");
    object->identifier = identifier;
    if (!code.empty()) object->parts.mut().funccode = std::make_shared<const std::vector<byte>>(std::move(code));
    return object;
}

variable* listof(std::initializer_list<variable*> elements) {
    variable* list = T4VM::newlist();
    for (variable* element : elements) list->listval.push_back(element);
    return list;
}

variable* dictof(std::initializer_list<std::pair<variable*, variable*>> entries) {
    variable* dict = typed(typeident::builtin_dict);
    for (auto [key, value] : entries) dict->dictval[key] = value;
    return dict;
}

class machine : public onmachine {
protected:
    // The report's first line; what its dump consumed is put back for the next one.
    std::string report(const std::function<void()>& action) {
        err.str("");
        try {
            action();
        } catch (const T4VM::machinestop& stop) {
            T4VM::codestack->push_back(framefrom({}));
            T4VM::calltrace->push_back(T4VM::vm().progroot);
            T4VM::datastack->clear();
            return err.str().substr(0, err.str().find('\n')) + (stop.status == 1 ? "" : " (status not 1)");
        }
        return "(no report)";
    }
};

TEST_F(machine, TextFormsAndEquality) {
    variable* self = listof({num(1)});
    self->listval.push_back(self);
    variable* shared = listof({num(1)});
    variable* selfdict = dictof({});
    selfdict->dictval[str("me")] = selfdict;
    EXPECT_EQ(self->getstring(false), "[1, [...]]");  // a container already on the print path
    EXPECT_EQ(self->getstring(false), "[1, [...]]");  // the guard is lifted after each print
    EXPECT_EQ(listof({shared, shared})->getstring(false), "[[1], [1]]");
    EXPECT_EQ(listof({selfdict, selfdict})->getstring(false), "[[\"me\": [...]], [\"me\": [...]]]");

    variable* one = num(1);
    const std::tuple<variable*, variable*, bool> cases[] = {
        {num(2147483647), T4VM::newfloat(2147483648.0f), false},  // exact values, not single precision
        {listof({one}), listof({one}), true},  // the same element objects
        {listof({one}), listof({num(1)}), false},
        {dictof({{one, one}}), dictof({{one, one}}), true},
        {dictof({{one, one}}), dictof({{one, num(1)}}), false},
        {num(1)->getpointer(), str("x")->getpointer(), true},
        {typed(typeident::custom_class), typed(typeident::custom_class), true},
        {typed(typeident::custom_func, {0x22, 0x10}), typed(typeident::custom_func, {0x22, 0x10}), true},
        {typed(typeident::custom_func, {0x22}), typed(typeident::custom_func, {0x22, 0x10}), false},
    };
    for (const auto& [left, right, equal] : cases) EXPECT_EQ(*left == *right, equal) << left->getstring(true);
}

TEST_F(machine, CopiesOfATextShareItsBytesUntilOneIsWritten) {
    variable* text = str(std::string(1 << 20, 'x'));
    variable* copy = text->getvar();
    EXPECT_NE(copy, text);
    EXPECT_EQ(copy->stringval.shared(), text->stringval.shared());
    *copy = *str("short");  // assignment gives the copy other bytes; the original keeps its own
    EXPECT_EQ(copy->stringval.get(), "short");
    EXPECT_EQ(text->stringval.size(), 1u << 20);
    variable* written = text->getcopy();
    written->stringval.mut() += "y";  // a write in place makes the writer's bytes its own first
    EXPECT_NE(written->stringval.shared(), text->stringval.shared());
    EXPECT_EQ(written->stringval.size(), (1u << 20) + 1);
    EXPECT_EQ(text->stringval.get(), std::string(1 << 20, 'x'));
    EXPECT_TRUE(*written->getcopy() == *written);
}

TEST_F(machine, CopiesAndSharing) {
    variable* number = num(5);
    number->getvar()->intval = 6;
    EXPECT_EQ(number->intval, 5);
    variable* list = listof({num(1)});
    EXPECT_NE(list->getcopy(), list);
    EXPECT_EQ(list->getcopy()->listval, list->listval);  // the same element objects
    variable* dict = dictof({{str("a"), list}});
    variable* dictcopy = dict->getcopy();  // new keys and values
    EXPECT_NE(dictcopy->dictval.begin()->first, dict->dictval.begin()->first);
    EXPECT_NE(dictcopy->dictval.begin()->second.object(), list);

    // What is met again while its copy is in progress is shared, so such copies end.
    variable* object = typed(typeident::custom_class);
    object->attributes["me"] = object;
    EXPECT_EQ(object->getcopy()->attributes.at("me"), object);
    object->attributes["a"] = list;  // copied, and marked: the next attribute shares it
    object->attributes["b"] = list;
    variable* copy = object->getcopy();
    EXPECT_NE(copy->attributes.at("a"), list);
    EXPECT_EQ(copy->attributes.at("b"), list);
    dict->dictval[str("me")] = dict;
    variable* level = dict->getcopy();
    for (int step = 0; step < 3 && level != dict; ++step) level = std::prev(level->dictval.end())->second;
    EXPECT_EQ(level, dict);
    for (variable* v : {object, list, dict}) EXPECT_FALSE(v->alreadycopied || v->copyentry != 0);
}

// The pool the collector sweeps spans several chunks here: what nothing reaches is freed with
// whatever it owns, what is reached keeps its place and contents, and freed slots are taken again.
TEST_F(machine, CollectorKeepsWhatIsReachedAndReusesTheRest) {
    T4VM::collectgarbage();
    const std::size_t base = T4VM::heapsize();
    variable* kept = listof({});
    T4VM::vm().globalvars["kept"] = kept;
    // Texts: numbers a list alone refers to are kept without their objects.
    auto fill = [&](int count) {
        for (int i = 0; i < count; ++i) {
            variable* text = str(std::to_string(i));
            str("a text long enough to need a buffer of its own, number " + std::to_string(i));
            if (i % 10 == 0) kept->listval.push_back(text);
        }
    };
    fill(400000);
    const variable* first = kept->listval[0];
    T4VM::collectgarbage();
    EXPECT_EQ(T4VM::heapsize(), base + 1 + 40000);
    EXPECT_EQ(kept->listval[0], first);
    for (int i = 0; i < 40000; ++i) ASSERT_EQ(kept->listval[i]->stringval.get(), std::to_string(i * 10));

    // As many again, and the same collected: the heap is back where it was.
    kept->listval.clear();
    fill(400000);
    kept->listval.clear();
    T4VM::collectgarbage();
    EXPECT_EQ(T4VM::heapsize(), base + 1);
    EXPECT_TRUE(kept->listval.empty());
#if T4VM_POOLED_HEAP
    // Free slots are taken lowest first: the next value lands where the first number was.
    EXPECT_EQ(num(1), first);
#endif
}

// A number only its list refers to is kept without its object by a collection, and its object is
// made again, once, with its creation number, name and value. A number that anything else could
// tell apart from a fresh one stays an object. Shared elements become objects before they part.
TEST_F(machine, CollectorKeepsNumbersOnlyTheirListHolds) {
    variable* list = listof({});
    T4VM::vm().globalvars["numbers"] = list;
    variable* named = num(-7);
    named->name = "seven";
    variable* twice = num(2);
    variable* elsewhere = num(3);
    T4VM::vm().globalvars["three"] = elsewhere;
    variable* withattribute = num(4);
    withattribute->attributes["tag"] = num(0);
    variable* staleint = T4VM::newfloat(1.0f);
    staleint->intval = 9;  // a native may read an object's int field as it stands
    variable* key = num(5);
    key->dictkey = true;
    for (variable* element : {named, T4VM::newfloat(2.5f), twice, twice, elsewhere, withattribute, staleint, key})
        list->listval.push_back(element);
    const std::uint64_t namedseq = named->seq;
    T4VM::collectgarbage();

    const T4VM::listelements& elements = list->listval;
    const bool keeps = T4VM::shortcut::keepunsharednumbers();
    EXPECT_EQ(elements.raw(0).kept(), keeps);
    EXPECT_EQ(elements.raw(1).kept(), keeps);
    for (std::size_t i = 2; i < elements.size(); ++i) EXPECT_FALSE(elements.raw(i).kept()) << i;
    EXPECT_EQ(list->getstring(false), "[-7, 2.500000, 2, 2, 3, 4, 1.000000, 5]");
    variable* again = elements[0];
    EXPECT_EQ(elements[0], again);
    EXPECT_EQ(again->seq, namedseq);
    EXPECT_EQ(again->name, "seven");
    EXPECT_EQ(again->identifier, typeident::builtin_int);
    EXPECT_EQ(again->intval, -7);
    EXPECT_EQ(elements[1]->floatval, 2.5f);
    EXPECT_EQ(elements[1]->intval, 0);

    // A copy shares the elements; once it changes, both hold the same objects.
    variable* copy = list->getcopy();
    T4VM::vm().globalvars["copy"] = copy;
    T4VM::collectgarbage();
    EXPECT_EQ(elements.raw(0).kept(), keeps);
    copy->listval.push_back(num(1));
    EXPECT_FALSE(elements.raw(0).kept());
    EXPECT_EQ(copy->listval[0], list->listval[0]);
    EXPECT_EQ(copy->listval[1], list->listval[1]);
    EXPECT_EQ(list->listval.size(), 8u);
}

// Changing a list whose elements are shared makes the objects of all its kept numbers at once: a
// list that fits under the cap only as kept numbers is reported instead of taking six times it.
TEST_F(machine, SharedKeptNumbersMadeAtOnceStayUnderTheCap) {
    variable* list = listof({});
    T4VM::vm().globalvars["numbers"] = list;
    for (int i = 0; i < 200000; ++i) list->listval.push_back(num(i));
    T4VM::collectgarbage();
    T4VM::vm().sandbox.heaplimit = 8u << 20;  // the kept numbers take 3 MiB, their objects 18
    variable* copy = list->getcopy();
    const std::string expected =
        T4VM::shortcut::keepunsharednumbers() ? vm + "Out of memory: the live objects take more than 8 MiB." : "(no report)";
    EXPECT_EQ(report([&] { copy->listval.push_back(num(1)); }), expected);
}

TEST_F(machine, ReportsAndTheIntegrityCheck) {
    T4VM::calltrace->clear();
    T4VM::integritycheck();  // only a warning
    const std::string rule = "-----------------------------\n";
    EXPECT_EQ(err.str(),
              rule + "Calltrace stack size is 0.\nThe vm will keep running tho.\nThis is just a warning.\n" + rule);
    T4VM::calltrace->push_back(T4VM::vm().progroot);
    variable* tens = listof({num(10), num(20), num(30)});
    variable* dangling = typed(typeident::builtin_pntr);
    T4VM::outstream stream;
    T4VM::parammap params{{"file", T4VM::nativeparam{T4VM::paramkind::outstream, &stream}}};
    auto decode = [](std::size_t levels, std::vector<byte> bytes) {
        bytes.insert(bytes.begin(), levels, 0x04);
        bytes.insert(bytes.end(), levels, 0xFF);
        T4VM::codeframe frame = framefrom(std::move(bytes));
        T4VM::getname(frame);
    };
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { str("1e99")->getfloat(); }, vm + "Number out of range: \"1e99\""},
        {[&] { decode(1001, {}); }, "(no report)"},  // the deepest nesting decoded
        {[&] { decode(1002, {}); }, vm + "Operand nesting too deep."},
        {[&] { decode(0, {0x06, 0xFF, 0xFF, 0xFF, 0xFF}); }, "(no report)"},  // a negative length: an empty body
        {[&] { decode(0, {0x01, 0, 0, 0, 1, 0, 0}); }, vm + "Operand cut off by the end of its code."},
        {[&] { decode(0, {0x05, 0x02, 'k', 0x00}); }, vm + "Code ended where an operand was expected."},
        {[&] { decode(0, {0x04, 0x07, 0xFF}); }, vm + "Stack operand met an empty datastack."},
        {[&] { decode(0, {0x06, 0x00, 0x00, 0x00, 0x05, 0xAA, 0xBB}); }, vm + "bytes ran out! Specified: 5"},
        // The terminator ends a list or dictionary only where an element or a key would begin.
        {[&] { decode(0, {0x05, 0x02, 'k', 0x00, 0xFF}); }, vm + "Bad type when getting operand!255"},
        {[&] { api::Lsetindex(tens->listval, -2147483647 - 1, num(0)); },
         mod + "Out of bounds. Tried setting index -2147483648 at list with length of 3"},
        {[&] { api::gettargetpntr(dangling); }, mod + "Attempted to get pointer target even tho it is not defined."},
        {[&] { api::getparam<T4VM::instream>(params, "file"); }, mod + "No such param: file"},  // of another kind
        {[&] { T4VM::builtin::strsub(str("hello"), {{"arg0", num(-1)}, {"arg1", num(1)}}); },
         mod + "Out of bounds. Tried getting substring at index -1 at string with length of 5"},
    };
    for (const auto& [action, message] : cases) EXPECT_EQ(report(action), message);

    // A panic is the whole message, its lines padded as they always were; the dump follows.
    const std::string panic = vm + "\nVM panic!\n";
    T4VM::databasestack->clear();
    report(T4VM::integritycheck);
    EXPECT_TRUE(err.str().starts_with(panic + "Databasestack size = 0, did you go out of root?                \n\n"));
    T4VM::codestack->clear();
    report(T4VM::integritycheck);
    EXPECT_TRUE(err.str().starts_with(panic + "Codestack size = 0, this is not supposed to happen.      \n\n"));
}

// The machine runs the instructions flagged opflag::inframe one after another without the checks
// around each step. That holds only while each of them leaves what those checks look at as it was:
// run alone, with every operand it needs at hand, none may change it.
TEST_F(machine, InFrameInstructionsLeaveWhatAStepChecksAsItWas) {
    T4VM::machine& m = T4VM::vm();
    T4VM::context& c = *T4VM::boundcontext();
    std::size_t flagged = 0;
    for (const T4VM::opcodeinfo& info : T4VM::opcodetable) {
        if ((info.flags & T4VM::opflag::inframe) == 0) continue;
        ++flagged;
        const std::string name(info.name);
        const char* operand = info.operand == T4VM::operandkind::name ? " x\n" : info.operand == T4VM::operandkind::none ? "\n" : " 7\n";
        // x is an attribute of the program root, a variable of the frame and a global.
        m.progroot->attributes["x"] = num(3);
        c.databasestack.back()["x"] = num(4);
        m.globalvars["x"] = num(5);
        c.memory.push_back(num(6));
        for (std::int32_t i = 1; i <= 4; ++i) c.datastack.push_back(num(i));
        c.codestack.push_back(T4VM::openedframe(T4VM::codeblock(T4VM::assemble(name + operand))));
        const auto sizes = [&] {
            return std::vector<std::size_t>{c.codestack.size(), c.callstack.size(), c.databasestack.size(),
                                            c.calltrace.size(), c.pending.size(), c._FDESC.size(),
                                            m.threads.size(), c.returned ? 1u : 0u};
        };
        const std::vector<std::size_t> before = sizes();
        T4VM::step(m);
        EXPECT_EQ(sizes(), before) << name;
        EXPECT_EQ(c.codestack.back().ip, 1u) << name << " ran in its frame";
        EXPECT_EQ(err.str(), "") << name;
        c.codestack.pop_back();
        c.datastack.clear();
        c.memory.clear();
    }
    EXPECT_GT(flagged, 20u);
}

// A for-each loop may bind a stand-in for a number its list keeps only when its block lets the
// objects of its frame out as copies alone (sealsframe). Only a call, a pointer to a local, a saved
// frame and a block that is not written in place can let them out otherwise, at any depth of
// blocks; a new instruction has to be put on one side or the other.
TEST_F(machine, OnlyCallsPointersToLocalsSavedFramesAndOutsideBlocksUnsealAFrame) {
    const std::set<std::string> unsealing{"call", "pointlocal", "savelocals"};
    const auto sealed = [](const std::string& source) {
        return T4VM::sealsframe(T4VM::codeblock(T4VM::assemble(source)));
    };
    for (const T4VM::opcodeinfo& info : T4VM::opcodetable) {
        const std::string name(info.name);
        const bool block = info.operand == T4VM::operandkind::block;
        const std::string operand = info.operand == T4VM::operandkind::name   ? " x\n"
                                    : info.operand == T4VM::operandkind::none ? "\n"
                                    : block                                   ? " {\n    pushconst 1\n}\n"
                                                                              : " 7\n";
        const bool expected = !unsealing.contains(name);
        EXPECT_EQ(sealed(name + operand), expected) << name;
        EXPECT_EQ(sealed("ifblock {\n    whileblock {\n" + name + operand + "    }\n}\n"), expected) << name << " in blocks";
        if (block) {
            EXPECT_FALSE(sealed(name + " 7\n")) << name << " of a constant";
        }
    }
    EXPECT_EQ(T4VM::opcodecount, 42u) << "a new instruction: can it let the objects of a frame out?";
}

// A store may make the root's copy of a variable, or a frame's own number for a name, into the new
// value only while nothing but the machine's loads can have reached it. Every way into the root's
// attributes, and the ways of natives and tools into a frame's variables, note that they were
// reached, which moves the mark the objects made before it fail.
TEST_F(machine, EveryLookAtTheRootsAttributesIsNoted) {
    T4VM::machine& m = T4VM::vm();
    T4VM::attrmap& root = m.progroot->attributes;
    root["x"] = num(1);
    T4VM::databasestack->back()["y"] = num(2);
    const std::vector<std::pair<std::string, std::function<void()>>> looks{
        {"find", [&] { root.find("x"); }},          {"begin", [&] { root.begin(); }},
        {"at", [&] { root.at("x"); }},              {"contains", [&] { root.contains("x"); }},
        {"size", [&] { root.size(); }},             {"index", [&] { root["x"]; }},
        {"made", [&] { root.made(); }},             {"findmethod", [&] { root.findmethod("x"); }},
        {"a copy", [&] { T4VM::attrmap copy(root); }},
        {"a native's lookup", [&] { T4VM::moduleapi::getlocalvar("x"); }},
        {"a native's lookup in the frame", [&] { T4VM::moduleapi::getlocalvar("y"); }},
        {"a tool attached", [&] { m.attach(nullptr); }},
    };
    for (const auto& [name, look] : looks) {
        num(0);  // the mark stands before this object
        ASSERT_LT(m.reachedmark, m.nextseq);
        look();
        EXPECT_EQ(m.reachedmark, m.nextseq) << name;
    }
}

// Calls of the natives marked dataonly (the methods of texts, pointers, lists and dictionaries) run
// among the steps run together in a frame as well. That holds only while each leaves what the
// checks around a step look at as it was: called on a value of its kind, none may change it.
TEST_F(machine, DataOnlyNativesLeaveWhatAStepChecksAsItWas) {
    T4VM::machine& m = T4VM::vm();
    T4VM::context& c = *T4VM::boundcontext();
    const auto sizes = [&] {
        return std::vector<std::size_t>{c.codestack.size(), c.callstack.size(), c.databasestack.size(),
                                        c.calltrace.size(), c.pending.size(), c._FDESC.size(),
                                        m.threads.size(), c.returned ? 1u : 0u,
                                        static_cast<std::size_t>(m.schedulechanges)};
    };
    std::size_t called = 0;
    for (variable* receiver : {str("text"), num(5)->getpointer(), listof({num(1), num(2), num(3)}),
                               dictof({{num(1), num(2)}})}) {
        T4VM::pinvariable(receiver);
        std::vector<std::string> names;
        for (const auto& [name, method] : receiver->attributes) names.push_back(name);
        for (const std::string& name : names) {
            variable* method = receiver->attributes.at(name)->getvar();
            ASSERT_TRUE(method->ismodule && method->parts.get().dataonly) << name;
            method->self = receiver;
            // Every method finds what it reads among these: index 1, value 1.
            c.datastack.push_back(num(1));
            c.datastack.push_back(num(1));
            c.datastack.push_back(method);
            c.codestack.push_back(T4VM::openedframe(T4VM::codeblock(T4VM::assemble("call 2\n"))));
            const std::vector<std::size_t> before = sizes();
            T4VM::step(m);
            EXPECT_EQ(sizes(), before) << name;
            EXPECT_EQ(err.str(), "") << name;
            c.codestack.pop_back();
            c.datastack.clear();
            ++called;
        }
    }
    EXPECT_EQ(called, 17u);  // every method of the four kinds
}

// A text's method called on a local runs on the local's own text rather than on a copy
// (shortcut::callontext): that holds only while every method of texts reads its receiver's bytes
// and changes nothing of it. A new method of texts fails here until it is looked at.
TEST_F(machine, TextMethodsOnlyReadTheirReceiver) {
    T4VM::machine& m = T4VM::vm();
    T4VM::context& c = *T4VM::boundcontext();
    variable* text = str("text");
    T4VM::pinvariable(text);
    std::vector<std::string> names;
    for (const auto& [name, method] : text->attributes) names.push_back(name);
    ASSERT_EQ(names, (std::vector<std::string>{"get", "substr"}));
    for (const std::string& name : names) {
        variable* method = text->attributes.at(name)->getvar();
        method->self = text;
        c.datastack.push_back(num(1));
        c.datastack.push_back(num(1));
        c.datastack.push_back(method);
        c.codestack.push_back(T4VM::openedframe(T4VM::codeblock(T4VM::assemble("call 2\n"))));
        T4VM::step(m);
        EXPECT_EQ(err.str(), "") << name;
        EXPECT_EQ(text->identifier, typeident::builtin_string) << name;
        EXPECT_EQ(text->stringval.get(), "text") << name;
        EXPECT_EQ(text->attributes.made().size(), 2u) << name;
        c.codestack.pop_back();
        c.datastack.clear();
    }
}

// A dictionary's get and contains called with a local's number or text as the key look it up as the
// local holds it, and a get read by an arithmetic next may push a stand-in for a value kept as a
// number (runlookup): that holds only while the two natives read their key and change nothing of
// it, and get pushes the value's own object.
TEST_F(machine, DictionaryLookupsOnlyReadTheirKey) {
    T4VM::machine& m = T4VM::vm();
    T4VM::context& c = *T4VM::boundcontext();
    variable* value = num(30);
    variable* dict = dictof({{num(3), value}, {str("three"), num(31)}});
    T4VM::pinvariable(dict);
    for (variable* key : {num(3), str("three"), num(4)}) {
        T4VM::pinvariable(key);
        const auto identifier = key->identifier;
        const std::int32_t number = key->intval;
        const std::string text = key->stringval.get();
        const std::string* keyname = &key->name.str();
        for (const char* name : {"get", "contains"}) {
            if (key->intval == 4 && std::string(name) == "get") continue;  // reported: not there
            variable* method = dict->attributes.at(name)->getvar();
            method->self = dict;
            c.datastack.push_back(key);
            c.datastack.push_back(method);
            c.codestack.push_back(T4VM::openedframe(T4VM::codeblock(T4VM::assemble("call 1\n"))));
            T4VM::step(m);
            EXPECT_EQ(err.str(), "") << name;
            ASSERT_EQ(c.datastack.size(), 1u) << name;
            if (std::string(name) == "get" && key->identifier == typeident::builtin_int) {
                EXPECT_EQ(c.datastack.back(), value);
            }
            if (std::string(name) == "contains") {
                EXPECT_EQ(c.datastack.back()->intval, key->intval == 4 ? 0 : 1);
            }
            EXPECT_EQ(key->identifier, identifier) << name;
            EXPECT_EQ(key->intval, number) << name;
            EXPECT_EQ(key->stringval.get(), text) << name;
            EXPECT_EQ(&key->name.str(), keyname) << name;
            EXPECT_TRUE(key->attributes.nonemade()) << name;
            c.codestack.pop_back();
            c.datastack.clear();
        }
    }
}

// Steps run together in a frame take the very steps that running one at a time takes, the end of a
// loop body that runs again in its frame, the method calls in it, a block that does not run, a
// block that returns a local and dictionary lookups (one of a value the collector keeps as a
// number, read by the arithmetic after it) included: a budget of exactly those steps ends the
// program's frame, not a step before or after, with the same results.
TEST_F(machine, LoopsRunTogetherTakeTheStepsTheyTakeOneAtATime) {
    T4VM::machine& m = T4VM::vm();
    T4VM::context& c = *T4VM::boundcontext();
    const T4VM::codeblock program(T4VM::assemble(R"(
pushconst func {
    pushconst 2
    loadlocal arg0
    less
    ifblock {
        loadlocal arg0
        ret
    }
    pushconst 2
}
storelocal small
pushconst {}
storelocal table
pushconst 3
pushconst 40
loadlocal table
enter
loadattr set
call 2
leave
pushconst 3
storelocal three
pushconst 0
storelocal k
pushconst 20000
loadlocal k
less
whileblock {
    pushconst []
    pop
    pushconst 1
    loadlocal k
    add
    storelocal k
    pushconst 20000
    loadlocal k
    less
}
pushconst 0
storelocal i
pushconst 0
storelocal total
pushconst []
storelocal log
pushconst 5
loadlocal i
less
whileblock {
    loadlocal i
    loadlocal log
    enter
    loadattr append
    call 1
    leave
    enterattr log
    loadattr size
    call 0
    leave
    storelocal count
    loadlocal count
    pushconst 9
    less
    ifblock {
        pushconst 1
        storelocal count
    }
    pushconst [1, 2, 3]
    foreachblock {
        loadlocal ELEMENT
        loadlocal total
        add
        storelocal total
    }
    loadlocal i
    loadlocal small
    call 1
    storelocal least
    loadlocal three
    loadlocal table
    enter
    loadattr get
    call 1
    leave
    pushconst 2
    add
    storelocal got
    loadlocal i
    loadlocal table
    enter
    loadattr contains
    call 1
    leave
    storelocal found
    pushconst 1
    loadlocal i
    add
    storelocal i
    pushconst 5
    loadlocal i
    less
}
)"));
#ifndef T4VM_PLAIN
    ASSERT_TRUE(T4VM::shortcut::runinframe());  // the plain build runs every step alone
#endif
    const auto results = [&] {
        return std::vector<std::int32_t>{m.progroot->attributes["i"]->intval,
                                         m.progroot->attributes["total"]->intval,
                                         m.progroot->attributes["count"]->intval,
                                         m.progroot->attributes["least"]->intval,
                                         m.progroot->attributes["got"]->intval,
                                         m.progroot->attributes["found"]->intval};
    };
    // The program runs as a function called from the root frame would: its frame ending closes
    // its variables and its entry of the call trace too.
    const auto open = [&] {
        c.codestack.push_back(T4VM::openedframe(program));
        c.databasestack.emplace_back();
        c.calltrace.push_back(m.progroot);
    };
    const std::size_t frames = c.databasestack.size(), traced = c.calltrace.size();

    open();
    const std::uint64_t start = m.stepstaken;
    while (c.codestack.size() > 1) T4VM::step(m);
    const std::uint64_t steps = m.stepstaken - start;
    EXPECT_EQ(results(), (std::vector<std::int32_t>{5, 30, 5, 2, 42, 0}));

    for (const std::uint64_t budget : {steps - 1, steps}) {
        open();
        c.datastack.clear();
        const std::uint64_t before = m.stepstaken;
        T4VM::runsinglecontext(budget);
        EXPECT_EQ(m.stepstaken - before, budget) << "the machine's count of steps";
        const bool finished = c.codestack.size() == 1;
        EXPECT_EQ(finished, budget == steps) << budget << " of " << steps << " steps";
        if (finished) {
            EXPECT_EQ(results(), (std::vector<std::int32_t>{5, 30, 5, 2, 42, 0}));
        }
        c.codestack.resize(1);
        c.databasestack.resize(frames);
        c.calltrace.resize(traced);
        c.pending.clear();
    }
    EXPECT_EQ(err.str(), "");
    // The blocks' function constants hold the code they come from, and its decoded form holds
    // them: the machine breaks that loop for its own image only.
    program.forgetdecoded();
}

}  // namespace
