// Dictionary entries and their index by value. Entries are filed by key object; `get` and
// `contains` need the first key, in key order, that equals a value. For numbers and texts an
// open-addressing table finds it without comparing every key: it holds, for each value some key
// has, the earliest entry whose key has that value.
#include <bit>
#include <functional>
#include <string_view>

#include "vm/vm.h"

namespace T4VM {

namespace {

// Small dictionaries are compared key by key: an index would cost more than it saves.
constexpr std::size_t scanlimit = 8;

// The form in which keys that the machine's equality holds equal meet: a number as its exact value
// (an int and a float of the same value alike), a text as its bytes. Every other kind of value
// (`other`) is compared with each key in turn, and nothing equals a NaN (`nothing`).
struct lookupform {
    enum class kind : std::uint8_t { other, nothing, number, text };
    kind what = kind::other;
    double number = 0.0;
    std::string_view text;
};

lookupform formof(const variable& value) {
    switch (value.identifier) {
    case typeident::builtin_int: return {lookupform::kind::number, static_cast<double>(value.intval), {}};
    case typeident::builtin_float: {
        const double number = value.floatval;
        if (number != number) return {lookupform::kind::nothing, 0.0, {}};
        // -0.0 equals 0.0 but has other bits, and the hash reads the bits.
        return {lookupform::kind::number, number == 0.0 ? 0.0 : number, {}};
    }
    case typeident::builtin_string: return {lookupform::kind::text, 0.0, value.stringval.get()};
    default: return {};
    }
}

bool indexed(const lookupform& form) {
    return form.what == lookupform::kind::number || form.what == lookupform::kind::text;
}

bool sameform(const lookupform& a, const lookupform& b) {
    if (a.what != b.what) return false;
    return a.what == lookupform::kind::number ? a.number == b.number : a.text == b.text;
}

std::size_t hashof(const lookupform& form) {
    if (form.what == lookupform::kind::text) return std::hash<std::string_view>{}(form.text);
    // Keys are often consecutive integers, whose bits differ high in the mantissa: mix them all
    // into the low bits the table uses.
    std::uint64_t bits = std::bit_cast<std::uint64_t>(form.number);
    bits ^= bits >> 30;
    bits *= 0xbf58476d1ce4e5b9ull;
    bits ^= bits >> 27;
    bits *= 0x94d049bb133111ebull;
    bits ^= bits >> 31;
    return static_cast<std::size_t>(bits);
}

}  // namespace

// Slots hold pointers to the map's own entries (nodes of a map never move), so the index owns
// nothing and the collector keeps finding every key and value through the map alone.
class keyindex {
public:
    using entry = dictmap::value_type;

    keyindex(const dictmap::map_type& entries, std::uint64_t revision) { rebuild(entries, revision); }

    // Refiles every entry as the keys' values are now.
    void rebuild(const dictmap::map_type& entries, std::uint64_t revision) {
        made = revision;
        used = 0;
        std::size_t capacity = 16;
        while (capacity < 2 * entries.size()) capacity *= 2;
        slots.assign(capacity, nullptr);
        for (const entry& each : entries) add(&each);
    }

    bool current() const { return made == dictmap::keychanges; }

    const entry* find(const lookupform& form) const { return slots[probe(form, hashof(form))]; }

    // The earliest key of a value wins: a key object made before the one filed takes its place.
    void add(const entry* added) {
        const lookupform form = formof(*added->first);
        if (!indexed(form)) return;
        std::size_t slot = probe(form, hashof(form));
        if (slots[slot] == nullptr) {
            if (2 * (used + 1) > slots.size()) {
                grow();
                slot = probe(form, hashof(form));
            }
            slots[slot] = added;
            ++used;
        } else if (added->first->seq < slots[slot]->first->seq) {
            slots[slot] = added;
        }
    }

private:
    // The slot of the value's entry, or the free slot where it would go. At most half the slots are
    // used, so there always is one.
    std::size_t probe(const lookupform& form, std::size_t hash) const {
        const std::size_t mask = slots.size() - 1;
        for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            const entry* filed = slots[slot];
            if (filed == nullptr || sameform(formof(*filed->first), form)) return slot;
        }
    }

    void grow() {
        std::vector<const entry*> previous = std::move(slots);
        slots.assign(previous.size() * 2, nullptr);
        for (const entry* filed : previous)
            if (filed != nullptr) slots[probe(formof(*filed->first), hashof(formof(*filed->first)))] = filed;
    }

    std::vector<const entry*> slots;  // a power of two of them; null: free
    std::size_t used = 0;
    std::uint64_t made = 0;  // dictmap::keychanges when the keys were filed
};

dictmap::dictmap() = default;
dictmap::dictmap(const dictmap& other) : entries(other.entries) {}
// The entries move with their nodes, so an index into them stays valid.
dictmap::dictmap(dictmap&& other) noexcept = default;
dictmap& dictmap::operator=(const dictmap& other) {
    if (this != &other) {
        entries = other.entries;
        index.reset();
    }
    return *this;
}
dictmap& dictmap::operator=(dictmap&& other) noexcept = default;
dictmap::~dictmap() = default;

variable*& dictmap::operator[](variable* key) {
    auto [where, added] = entries.try_emplace(key, nullptr);
    if (added) {
        key->dictkey = true;
        if (index && index->current())
            index->add(&*where);
        else
            index.reset();  // out of date anyway: the next lookup files everything again
    }
    return where->second;
}

std::size_t dictmap::erase(variable* key) {
    index.reset();
    return entries.erase(key);
}

const dictmap::value_type* dictmap::findequal(const variable& value) const {
    const lookupform form = formof(value);
    if (form.what == lookupform::kind::nothing) return nullptr;
    if (!indexed(form) || entries.size() <= scanlimit) return scan(value);
    if (!index)
        index = std::make_unique<keyindex>(entries, keychanges);
    else if (!index->current())
        index->rebuild(entries, keychanges);
    return index->find(form);
}

const dictmap::value_type* dictmap::scan(const variable& value) const {
    for (const value_type& entry : entries)
        if (*entry.first == value) return &entry;
    return nullptr;
}

}  // namespace T4VM
