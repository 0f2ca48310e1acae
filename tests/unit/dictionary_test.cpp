// Dictionary lookups by value must give what comparing every key in key order gives, whatever
// happens to the keys: duplicates, keys entered out of creation order, keys changed in place (even
// to another type), whole dictionaries replaced or copied, collections in between.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "vm/builtins.h"
#include "vm/embed.h"
#include "vm/heap.h"
#include "vm/interpreter.h"
#include "vm/machine.h"
#include "vm/shortcuts.h"
#include "onmachine.h"

namespace {

using T4VM::dictmap;
using T4VM::typeident;
using T4VM::variable;
namespace api = T4VM::moduleapi;

using dictionary = onmachine;

variable* num(std::int32_t value) { return T4VM::newint(value); }
variable* flt(float value) { return T4VM::newfloat(value); }
variable* str(const std::string& text) { return T4VM::newstring(text); }

variable* newdict() {
    variable* dict = T4VM::getallocvar("BUILTIN_DICT");
    dict->identifier = typeident::builtin_dict;
    return dict;
}

void set(variable* dict, variable* key, variable* value) { api::Dsetindex(dict->dictval.mut(), key, value); }

// What a lookup must find: the first entry in key order whose key equals the value.
const dictmap::value_type* firstequal(const dictmap& dict, const variable& value) {
    for (const auto& entry : dict)
        if (*entry.first == value) return &entry;
    return nullptr;
}

const dictmap::value_type* lookup(variable* dict, const variable& value) {
    return dict->dictval.get().findequal(value);
}

// The key object a lookup finds, or null.
variable* keyfound(variable* dict, const variable& value) {
    const auto* found = lookup(dict, value);
    return found ? found->first : nullptr;
}

// The text of the value `get` finds through the natives' interface, or "not found" when it reports.
std::string textfound(variable* dict, variable& value) {
    try {
        return api::Dgetindex(dict->dictval, value)->getstring(false);
    } catch (const T4VM::machinestop&) {
        T4VM::codestack->push_back(T4VM::codeframe{std::make_shared<const std::vector<T4VM::byte>>(), 0});
        T4VM::datastack->clear();
        return "not found";
    }
}

// Writes a new value into an existing object the way `set` through a pointer does.
void overwrite(variable* target, variable* value) {
    T4VM::builtin::pntrset(target->getpointer(), {{"arg0", value}});
}

TEST_F(dictionary, NumbersAndTextsMatchByTheMachinesEquality) {
    variable* dict = newdict();
    variable* zero = num(0);
    variable* negativezero = flt(-0.0f);
    variable* nan = flt(std::nanf(""));
    variable* beyondfloat = num(16777217);  // no float has this value
    variable* floatneighbour = flt(16777216.0f);
    variable* largest = num(2147483647);
    variable* text20 = str("20");
    variable* int20 = num(20);
    variable* float20 = flt(20.0f);
    variable* half = flt(2.5f);
    variable* empty = str("");
    for (variable* key : {zero, negativezero, nan, beyondfloat, floatneighbour, largest, text20, int20, float20, half, empty})
        set(dict, key, str(key->getstring(true)));

    const std::pair<variable*, variable*> cases[] = {
        {flt(0.0f), zero},
        {flt(-0.0f), zero},
        {num(0), zero},
        {flt(16777216.0f), floatneighbour},
        {num(16777216), floatneighbour},
        {num(16777217), beyondfloat},
        {flt(2147483648.0f), nullptr},  // compared exactly, not as single precision
        {num(2147483647), largest},
        {str("20"), text20},
        {num(20), int20},
        {flt(20.0f), int20},
        {flt(2.5f), half},
        {num(2), nullptr},
        {str(""), empty},
        {str("20.0"), nullptr},
        {flt(std::nanf("")), nullptr},  // a NaN equals nothing, not even the NaN key
    };
    for (const auto& [probe, key] : cases) {
        EXPECT_EQ(keyfound(dict, *probe), key) << probe->getstring(true);
        EXPECT_EQ(lookup(dict, *probe), firstequal(dict->dictval, *probe)) << probe->getstring(true);
        EXPECT_EQ(api::Dcontains(dict->dictval, *probe), key != nullptr);
    }
    EXPECT_EQ(lookup(dict, *nan), nullptr);
    // Setting a key object that is already there replaces its value and adds nothing.
    set(dict, int20, str("again"));
    EXPECT_EQ(dict->dictval.size(), 11u);
    EXPECT_EQ(textfound(dict, *flt(20.0f)), "again");
}

TEST_F(dictionary, KeysChangedInPlaceAreFoundByTheirNewValue) {
    variable* dict = newdict();
    std::vector<variable*> keys;
    for (int i = 0; i < 16; ++i) {
        keys.push_back(num(i));
        set(dict, keys.back(), num(i));
    }
    variable* listkey = T4VM::newlist();
    set(dict, listkey, str("list"));
    variable* textkey = str("name");
    set(dict, textkey, str("text"));
    ASSERT_NE(lookup(dict, *num(5)), nullptr);  // the index is made

    overwrite(keys[5], num(50));
    EXPECT_FALSE(api::Dcontains(dict->dictval, *num(5)));
    EXPECT_EQ(keyfound(dict, *num(50)), keys[5]);

    // A key that was never indexed turns into a number that an index would have to know.
    *listkey = *num(7);
    EXPECT_EQ(keyfound(dict, *num(7)), keys[7]);  // keys[7] was made first
    overwrite(keys[7], str("seven"));
    EXPECT_EQ(keyfound(dict, *num(7)), listkey);
    EXPECT_EQ(keyfound(dict, *str("seven")), keys[7]);

    // And a text turns into a list, which no number or text equals.
    *textkey = *T4VM::newlist();
    EXPECT_EQ(lookup(dict, *str("name")), nullptr);

    // A key shared by two dictionaries is changed for both.
    variable* other = newdict();
    for (int i = 20; i < 40; ++i) set(other, num(i), num(i));
    set(other, keys[9], str("shared"));
    ASSERT_EQ(keyfound(other, *num(9)), keys[9]);
    ASSERT_EQ(keyfound(dict, *num(9)), keys[9]);
    overwrite(keys[9], flt(20.0f));
    EXPECT_EQ(keyfound(dict, *num(20)), keys[9]);
    EXPECT_EQ(keyfound(other, *num(20)), keys[9]);  // made before the other 20
    EXPECT_EQ(lookup(other, *num(9)), nullptr);
}

// Keys nearly always arrive in creation order, and the entries then grow at their end, the index
// following them as they move; a key older than the last one, or a removal, files them anew. Either
// way the entries read in creation order, a key set again keeps its one entry, and every lookup
// finds what the walk through the entries finds.
TEST_F(dictionary, EntriesStayInCreationOrderHoweverTheKeysArrive) {
    std::vector<variable*> keys;
    for (int i = 0; i < 300; ++i) keys.push_back(num(i % 100));  // each value three times
    auto entries = [](variable* dict) {
        std::vector<variable*> seen;
        for (const auto& entry : dict->dictval) seen.push_back(entry.first);
        return seen;
    };
    auto agrees = [](variable* dict) {
        for (int value = -1; value <= 100; ++value) {
            variable* probe = num(value);
            if (lookup(dict, *probe) != firstequal(dict->dictval, *probe)) return false;
        }
        return true;
    };

    variable* inorder = newdict();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        set(inorder, keys[i], num(static_cast<std::int32_t>(i)));
        ASSERT_TRUE(agrees(inorder)) << i;
        ASSERT_EQ(keyfound(inorder, *num(static_cast<std::int32_t>(i % 100))), keys[i % 100]) << i;
    }
    set(inorder, keys[150], str("again"));
    EXPECT_EQ(entries(inorder), keys);
    EXPECT_TRUE(agrees(inorder));

    variable* reversed = newdict();
    for (std::size_t i = keys.size(); i-- > 0;) {
        set(reversed, keys[i], num(static_cast<std::int32_t>(i)));
        if (i % 37 == 0) {
            ASSERT_TRUE(agrees(reversed)) << i;
        }
    }
    set(reversed, keys[150], str("again"));
    EXPECT_EQ(entries(reversed), keys);
    EXPECT_TRUE(agrees(reversed));
    EXPECT_EQ(textfound(reversed, *num(50)), "50");

    EXPECT_EQ(inorder->dictval.mut().erase(keys[0]), 1u);
    EXPECT_EQ(inorder->dictval.mut().erase(keys[0]), 0u);
    EXPECT_EQ(keyfound(inorder, *num(0)), keys[100]);
    set(inorder, keys[0], num(0));  // back in, older than every other key
    EXPECT_EQ(entries(inorder), keys);
    EXPECT_TRUE(agrees(inorder));

    // A copy holds copies of the keys, in the same order.
    std::vector<std::int32_t> copied;
    for (variable* key : entries(reversed->getcopy())) copied.push_back(key->getint());
    ASSERT_EQ(copied.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(copied[i], keys[i]->getint());
}

// A collection between lookups keeps every key and value the dictionary holds, and the index
// keeps nothing else alive.
TEST_F(dictionary, TheCollectorSeesThroughTheIndex) {
    T4VM::collectgarbage();
    const std::size_t base = T4VM::heapsize();
    variable* kept = newdict();
    variable* dropped = newdict();
    T4VM::vm().globalvars["kept"] = kept;
    for (int i = 0; i < 1000; ++i) {
        set(kept, str("k" + std::to_string(i)), num(i));
        set(dropped, num(i), num(i));
    }
    ASSERT_TRUE(api::Dcontains(kept->dictval, *str("k1")));
    ASSERT_TRUE(api::Dcontains(dropped->dictval, *num(1)));
    T4VM::collectgarbage();
    // The kept dictionary and its keys; its values are numbers nothing else refers to, kept
    // without their objects where the build does that.
    const std::size_t values = T4VM::shortcut::keepunsharednumbers() ? 0 : 1000;
    EXPECT_EQ(T4VM::heapsize(), base + 1001 + values);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(textfound(kept, *str("k" + std::to_string(i))), std::to_string(i));
    T4VM::collectgarbage();
    EXPECT_EQ(T4VM::heapsize(), base + 1001 + values);
}

// Large indexes live in memory of their own and grow while lookups use them, with the entries
// moving under them and, later, filed in a tree. A large dictionary files its keys as they come,
// without waiting for a lookup. A slot keeps a number of int value whole, whether
// an int or a float is its key, and anything else by part of its print.
TEST_F(dictionary, LargeIndexesAgreeWithTheScanAsTheyGrow) {
    variable* older = num(-3);  // made before every key, so it cannot join the array at its end
    variable* dict = newdict();
    std::vector<variable*> keys;
    auto add = [&](variable* key) {
        keys.push_back(key);
        set(dict, key, num(static_cast<std::int32_t>(keys.size())));
    };
    auto agrees = [&](int step) {
        std::vector<std::size_t> probed{keys.size() - 1};  // the newest, and the keys that made a size a power of two
        for (std::size_t i = 0; i < keys.size(); i += 4099) probed.push_back(i);
        for (std::size_t size = 4096; size <= keys.size(); size *= 2) probed.push_back(size - 1);
        for (const std::size_t i : probed) {
            variable& key = *keys[i];
            ASSERT_EQ(lookup(dict, key), firstequal(dict->dictval, key)) << key.getstring(true);
        }
        for (variable* probe : {num(-3), num(12), flt(12.0f), flt(7.5f), str("k12"), str("k"), num(2000000), flt(-1.0f)})
            ASSERT_EQ(lookup(dict, *probe), firstequal(dict->dictval, *probe)) << step << " " << probe->getstring(true);
    };
    for (int i = 0; i < 100000; ++i) add(i % 3 == 0 ? flt(static_cast<float>(i)) : num(i));
    agrees(1);  // the index is made here
    for (int i = 0; i < 140000; ++i) {  // past three quarters of the slots
        switch (i % 4) {
        case 0: add(num(-i)); break;
        case 1: add(flt(static_cast<float>(i) + 0.5f)); break;
        case 2: add(str("k" + std::to_string(i))); break;
        default: add(i % 8 == 3 ? num(i / 8) : flt(static_cast<float>(i / 8))); break;  // values already there
        }
    }
    agrees(2);
    set(dict, older, str("older"));
    agrees(3);  // filed anew, from the tree
    for (int i = 0; i < 2000; ++i) add(i % 2 == 0 ? num(-3) : str("k12"));
    agrees(4);
    EXPECT_EQ(textfound(dict, *num(-3)), "older");
    EXPECT_EQ(keyfound(dict, *flt(12.0f)), keys[12]);
}

// Random programs of entering, changing, replacing, copying and looking up keys of every kind,
// many of them equal to each other: every lookup agrees with the plain walk through the keys.
TEST_F(dictionary, LookupsAgreeWithTheScanUnderRandomChanges) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        std::mt19937 random(seed);
        auto pick = [&](std::size_t count) { return static_cast<std::size_t>(random() % count); };
        auto value = [&]() -> variable* {
            const auto small = static_cast<std::int32_t>(pick(12)) - 2;
            // Multiples of a large power of two start their probes in the same few slots.
            const auto spread = static_cast<std::int32_t>(pick(64) - 32) * 1048576;
            switch (pick(12)) {
            case 10: return num(spread);
            case 11: return flt(static_cast<float>(spread) * (pick(2) ? 1.0f : 4096.0f));
            case 0: return flt(static_cast<float>(small));
            case 1: return flt(static_cast<float>(small) + 0.5f);
            case 2: return str(std::to_string(small));
            case 3: return str(pick(2) ? "a" : "");
            case 4: return pick(2) ? flt(-0.0f) : flt(std::nanf(""));
            case 5: return num(static_cast<std::int32_t>(pick(1000)));
            case 6: return pick(2) ? T4VM::newlist() : num(1)->getpointer();
            default: return num(small);
            }
        };
        std::vector<variable*> made;  // key objects, made in an order of their own
        for (int i = 0; i < 100; ++i) made.push_back(value());
        variable* dict = newdict();
        auto anykey = [&]() { return std::next(dict->dictval.begin(), static_cast<long>(pick(dict->dictval.size())))->first; };

        for (int step = 0; step < 4000; ++step) {
            const std::size_t what = pick(100);
            if (what < 35) {
                variable* key = pick(4) == 0 ? value() : made[pick(made.size())];
                set(dict, key, num(step));
            } else if (what < 80 || dict->dictval.empty()) {
                variable* probe = pick(5) == 0 && !dict->dictval.empty() ? anykey() : value();
                ASSERT_EQ(lookup(dict, *probe), firstequal(dict->dictval, *probe))
                    << "seed " << seed << " step " << step << " probe " << probe->getstring(true);
            } else if (what < 90) {
                overwrite(anykey(), value());
            } else if (what < 95) {
                *anykey() = *value();
            } else if (what < 97) {
                variable* other = newdict();
                for (int i = 0; i < 20; ++i) set(other, made[pick(made.size())], value());
                *dict = *other;
            } else if (what < 99) {
                dict = dict->getcopy();
            } else {
                dict->dictval.clear();
            }
        }
    }
}

}  // namespace
