// A list's elements, and a dictionary's values. Lists and dictionaries of numbers are the
// commonest large values a program makes, and an object per number costs a hundred bytes: an
// element or value that is a plain number and that nothing but its place there refers to is kept
// as the number alone, with the creation number and the name its object had, and is made into that
// very object again the moment anything asks for it as an object.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include "vm/plainarray.h"
#include "vm/sharing.h"

namespace T4VM {

class variable;

class listelements {
public:
    // An object, or a kept number: bit 0 of `word` tells which. A kept number holds its creation
    // number above the low byte, its type in bit 1 (set for a float), its value's bits and the
    // machine's number for its name.
    struct element {
        std::uint64_t word = 0;
        std::uint32_t bits = 0;
        std::uint32_t nameid = 0;
        bool kept() const { return (word & 1) != 0; }
        bool keptfloat() const { return (word & 2) != 0; }
        std::uint64_t keptseq() const { return word >> 8; }
        variable* object() const { return reinterpret_cast<variable*>(word); }
    };
    // The elements are shared by the copies of a list and by the loops running over it, until one
    // of them changes them. A kept number stands for one object, so the elements are shared only
    // while the same objects are in them: its objects are made before shared elements are copied.
    struct store {
        plainarray<element> items;
        std::uint32_t marked = 0;  // the collection that last marked the elements
        // Every object among the elements lies in [boxedfrom, boxedto); the rest are kept numbers,
        // which the collector has nothing to do with. So a collection looks only at what was
        // added or made since the last one, not at a whole long list of numbers again.
        std::size_t boxedfrom = 0;
        std::size_t boxedto = 0;
        void noteboxed(std::size_t index) {
            if (boxedfrom == boxedto) {
                boxedfrom = index;
                boxedto = index + 1;
            } else {
                boxedfrom = std::min(boxedfrom, index);
                boxedto = std::max(boxedto, index + 1);
            }
        }
    };
    using holder = sharedvalue<store>::holder;

    bool made() const { return elements.made(); }
    std::size_t size() const { return made() ? held().items.size() : 0; }
    bool empty() const { return !made() || held().items.empty(); }
    std::size_t capacity() const { return made() ? held().items.capacity() : 0; }
    // The element's object, made now if the element is a kept number.
    variable* operator[](std::size_t index) const {
        element& found = held().items[index];
        if (found.kept()) [[unlikely]] {
            remake(found);
            held().noteboxed(index);
        }
        return found.object();
    }
    // The element as it is held, for what can read a kept number without its object.
    const element& raw(std::size_t index) const { return held().items[index]; }

    void push_back(variable* value) {
        store& changed = writable();
        changed.noteboxed(changed.items.size());
        changed.items.push_back(boxed(value));
    }
    // Appends an element that keeps a number (keep): nothing else refers to the number's object.
    void pushkept(const element& kept) { writable().items.push_back(kept); }
    void set(std::size_t index, variable* value) {
        store& changed = writable();
        changed.items[index] = boxed(value);
        changed.noteboxed(index);
    }
    // The elements after it move down by one, and the objects among them with them.
    void erase(std::size_t index) {
        store& changed = writable();
        changed.items.erase(index);
        if (changed.boxedfrom != changed.boxedto) {
            changed.boxedfrom = std::min(changed.boxedfrom, index);
            changed.boxedto = std::min(changed.boxedto, changed.items.size());
        }
    }
    void reserve(std::size_t count) { writable().items.reserve(count); }
    void clear() { elements = sharedvalue<store>(); }

    // Objects in order, each made as it is reached.
    class iterator {
    public:
        iterator(const listelements* list, std::size_t index) : list(list), index(index) {}
        variable* operator*() const { return (*list)[index]; }
        iterator& operator++() {
            ++index;
            return *this;
        }
        bool operator!=(const iterator& other) const { return index != other.index; }

    private:
        const listelements* list;
        std::size_t index;
    };
    iterator begin() const { return {this, 0}; }
    iterator end() const { return {this, size()}; }

    // For the collector, which marks and counts shared elements once.
    holder* shared() const { return elements.shared(); }
    // Keeps the element's object as a number; the collector has found that only this element
    // refers to it, and that it is nothing but a number.
    static void keep(element& slot, const variable& number, std::uint32_t nameid);
    // The element that keeps a number of that creation number, type, bits and name.
    static element keptnumber(std::uint64_t seq, bool isfloat, std::uint32_t bits, std::uint32_t nameid) {
        return {seq << 8 | (isfloat ? 2u : 0u) | 1u, bits, nameid};
    }
    static bool keepable(const variable& value);
    // The number kept elements know a name by.
    static std::uint32_t nameid(const std::string* name);

    // Whether the element equals `value` by the machine's equality, made or not.
    static bool equals(const element& slot, const variable& value);
    // A kept number's value as an object of its own, never seen by a program (it has no creation
    // number), for what reads the value only.
    static variable valueof(const element& slot);

    // The same element objects in the same order. Elements of different storage never hold the
    // same kept number, so only objects need comparing.
    friend bool operator==(const listelements& a, const listelements& b);

    static element boxed(variable* value) { return {reinterpret_cast<std::uint64_t>(value), 0, 0}; }
    // Makes a kept number's object again and puts it in the element's place.
    static void remake(element& slot);
    // Makes `target` what remake would make of the kept number, in every field a number's object
    // uses, leaving the element as it is.
    static void standin(const element& slot, variable& target);
    // Makes the objects of every kept number among the elements `eachslot` visits (it calls its
    // argument with each one), before they are shared no more. They are all made in one
    // instruction, before the next collection could see them: a list or dictionary that fits
    // under the cap only because its numbers are kept must not take several times the cap at
    // once, so what does not fit is reported first.
    template <typename Visitor>
    static void remakeall(Visitor eachslot) {
        std::size_t kept = 0;
        eachslot([&](element& slot) { kept += slot.kept() ? 1 : 0; });
        if (kept == 0) return;
        makeroomfor(kept);
        eachslot([](element& slot) {
            if (slot.kept()) remake(slot);
        });
    }

private:
    // The elements, made when there are none; a list that shares them gets its own copy first,
    // with the objects of its kept numbers made.
    store& writable();
    store& held() const { return elements.shared()->value; }
    // Reports when making that many objects at once would take the live values past the cap.
    static void makeroomfor(std::size_t objects);
    sharedvalue<store> elements;
};

// A dictionary's value: an object, or a number kept as in a list. It reads as the object, made
// again when the value was kept; the collector reads it as it is held.
class valueslot {
public:
    valueslot(variable* value = nullptr) : slot(listelements::boxed(value)) {}  // NOLINT: set as an object
    valueslot& operator=(variable* value) {
        slot = listelements::boxed(value);
        return *this;
    }
    variable* object() const {
        if (slot.kept()) [[unlikely]]
            listelements::remake(slot);
        return slot.object();
    }
    operator variable*() const { return object(); }  // NOLINT: reads take the object
    variable* operator->() const { return object(); }
    variable& operator*() const { return *object(); }
    listelements::element& raw() const { return slot; }
    // The same object: a kept number is held in one place only, so its creation number tells it.
    friend bool operator==(const valueslot& a, const valueslot& b) { return a.slot.word == b.slot.word; }

private:
    mutable listelements::element slot;
};

}  // namespace T4VM
