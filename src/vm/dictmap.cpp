// Dictionary entries and their index by value. Entries are filed by key object; `get` and
// `contains` need the first key, in key order, that equals a value. For numbers and texts an
// open-addressing table finds it without comparing every key: it holds, for each value some key
// has, the earliest entry whose key has that value.
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <functional>
#include <new>
#include <string_view>

#include "vm/value.h"

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
        // -0.0 equals 0.0 but has other bits, and a number is filed by its bits.
        return {lookupform::kind::number, number == 0.0 ? 0.0 : number, {}};
    }
    case typeident::builtin_string: return {lookupform::kind::text, 0.0, value.stringval.get()};
    default: return {};
    }
}

bool indexed(const lookupform& form) {
    return form.what == lookupform::kind::number || form.what == lookupform::kind::text;
}

// A slot holds a 64-bit print of the value its key had when it was filed. A number's print is its
// exact value's bits: equal prints are equal numbers, so a probe for a number never has to read the
// key object. A text's print is its hash with a NaN's exponent and quiet bit, which no number's
// print has (a NaN is never filed), so texts and numbers never meet; equal text prints are then
// checked byte for byte.
constexpr std::uint64_t textprint = 0x7FF8000000000000ull;

std::uint64_t printof(const lookupform& form) {
    if (form.what == lookupform::kind::number) return std::bit_cast<std::uint64_t>(form.number);
    return (std::hash<std::string_view>{}(form.text) & 0x8007FFFFFFFFFFFFull) | textprint;
}

// Where a print's probe starts. An integral number starts at its own value, as a list index
// would: keys counted up are filed side by side and read in the order they are looked up in. Other
// prints are mixed, so that their low bits, which pick the slot, depend on all of them.
std::uint64_t startof(std::uint64_t print) {
    if ((print & textprint) != textprint) {
        const double number = std::bit_cast<double>(print);
        if (number >= -9.2e18 && number <= 9.2e18 && number == static_cast<double>(static_cast<std::int64_t>(number)))
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(number));
    }
    print ^= print >> 30;
    print *= 0xbf58476d1ce4e5b9ull;
    print ^= print >> 27;
    print *= 0x94d049bb133111ebull;
    print ^= print >> 31;
    return print;
}

// The slots a probe visits: the start, then jumps that bring in ever higher bits of the start
// value, so that values filed at the same slot part ways at once; once those bits run out the
// steps visit every slot of the table.
class probeorder {
public:
    probeorder(std::uint64_t start, std::size_t mask) : at(start & mask), mask(mask), perturb(start) {}
    std::size_t slot() const { return at; }
    void next() {
        perturb >>= 5;
        at = (at * 5 + perturb + 1) & mask;
    }

private:
    std::size_t at;
    std::size_t mask;
    std::uint64_t perturb;
};

// Large tables are read at random: on huge pages a lookup costs a cache miss, not a cache miss and
// a walk through the page tables besides.
template <typename T>
struct tableallocator {
    using value_type = T;
    static constexpr std::size_t hugepage = 2u << 20;

    tableallocator() = default;
    template <typename U>
    tableallocator(const tableallocator<U>&) {}  // NOLINT: rebinding is implicit

    T* allocate(std::size_t count) {
        const std::size_t bytes = count * sizeof(T);
        if (bytes < hugepage) return std::allocator<T>{}.allocate(count);
        void* memory = std::aligned_alloc(hugepage, (bytes + hugepage - 1) / hugepage * hugepage);
        if (memory == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        ::madvise(memory, bytes, MADV_HUGEPAGE);
#endif
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, std::size_t count) {
        if (count * sizeof(T) < hugepage)
            std::allocator<T>{}.deallocate(memory, count);
        else
            std::free(memory);
    }
    friend bool operator==(const tableallocator&, const tableallocator&) { return true; }
};

}  // namespace

// Slots point at the dictionary's own entries, so the index owns nothing and the collector keeps
// finding every key and value through the entries alone. Entries in a tree never move; entries in
// the array move when it grows, and the slots move with them (rebase).
class keyindex {
public:
    using entry = dictmap::value_type;

    keyindex(const dictmap& entries, std::uint64_t revision) { rebuild(entries, revision); }

    // Refiles every entry as the keys' values are now.
    void rebuild(const dictmap& entries, std::uint64_t revision) {
        made = revision;
        used = 0;
        std::size_t capacity = 16;
        while (2 * entries.size() > capacity) capacity *= 2;
        slots.assign(capacity, slot{});
        // Filing reads every key object, and a large dictionary's keys lie far apart in memory:
        // while the entries are one array, ask for each key a little ahead (its type and its
        // number, which may lie in different cache lines).
        const std::span<const entry> array = entries.asarray();
        for (std::size_t i = 0; i < array.size(); ++i) {
            if (i + 8 < array.size()) {
                const variable* ahead = array[i + 8].first;
                __builtin_prefetch(ahead);
                __builtin_prefetch(&ahead->intval);
            }
            add(&array[i]);
        }
        if (array.empty())
            for (const entry& each : entries) add(&each);
    }

    bool current() const { return made == keychangecount(); }

    const entry* find(const lookupform& form) const { return slots[probe(form, printof(form))].filed; }

    // The same for an int, the commonest key: its print and where its probe starts follow from it
    // alone (printof and startof of its form).
    const entry* findint(std::int32_t value) const {
        const std::uint64_t print = std::bit_cast<std::uint64_t>(static_cast<double>(value));
        const auto start = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
        for (probeorder order(start, slots.size() - 1);; order.next()) {
            const slot& each = slots[order.slot()];
            if (each.filed == nullptr || each.print == print) return each.filed;
        }
    }

    // The earliest key of a value wins: a key object made before the one filed takes its place.
    void add(const entry* added) {
        const lookupform form = formof(*added->first);
        if (!indexed(form)) return;
        const std::uint64_t print = printof(form);
        std::size_t at = probe(form, print);
        if (slots[at].filed == nullptr) {
            if (4 * (used + 1) > 3 * slots.size()) {
                grow();
                at = probe(form, print);
            }
            slots[at] = slot{print, added};
            ++used;
        } else if (added->first->seq < slots[at].filed->first->seq) {
            slots[at].filed = added;
        }
    }

    // The entries moved as a block from `from` to `to`.
    void rebase(const entry* from, const entry* to) {
        for (slot& each : slots)
            if (each.filed != nullptr) each.filed = to + (each.filed - from);
    }

private:
    struct slot {
        std::uint64_t print = 0;
        const entry* filed = nullptr;  // null: free
    };

    // The slot of the value's entry, or the free slot where it would go. At most three quarters
    // of the slots are used, so there always is one.
    std::size_t probe(const lookupform& form, std::uint64_t print) const {
        for (probeorder order(startof(print), slots.size() - 1);; order.next()) {
            const slot& each = slots[order.slot()];
            if (each.filed == nullptr) return order.slot();
            if (each.print == print &&
                (form.what == lookupform::kind::number || formof(*each.filed->first).text == form.text))
                return order.slot();
        }
    }

    // Nothing is filed twice, so each slot goes to the first free one of its probe.
    void grow() {
        std::vector<slot, tableallocator<slot>> previous = std::move(slots);
        slots.assign(previous.size() * 2, slot{});
        for (const slot& each : previous) {
            if (each.filed == nullptr) continue;
            probeorder order(startof(each.print), slots.size() - 1);
            while (slots[order.slot()].filed != nullptr) order.next();
            slots[order.slot()] = each;
        }
    }

    std::vector<slot, tableallocator<slot>> slots;  // a power of two of them
    std::size_t used = 0;
    std::uint64_t made = 0;  // keychangecount() when the keys were filed
};

dictmap::dictmap() = default;
dictmap::dictmap(const dictmap& other) {
    other.makevalues();
    ordered = other.ordered;
    if (other.tree) tree = std::make_unique<tree_type>(*other.tree);
}
// The entries move with their storage, so an index into them stays valid.
dictmap::dictmap(dictmap&& other) noexcept = default;
dictmap& dictmap::operator=(const dictmap& other) {
    if (this != &other) {
        other.makevalues();
        ordered = other.ordered;
        tree = other.tree ? std::make_unique<tree_type>(*other.tree) : nullptr;
        index.reset();
    }
    return *this;
}
dictmap& dictmap::operator=(dictmap&& other) noexcept = default;
dictmap::~dictmap() = default;

bool operator==(const dictmap& a, const dictmap& b) {
    if (a.size() != b.size()) return false;
    auto other = b.begin();
    for (const dictentry& entry : a) {
        if (entry.first != other->first || !(entry.second == other->second)) return false;
        ++other;
    }
    return true;
}

void dictmap::makevalues() const {
    listelements::remakeall([this](auto visit) {
        for (const value_type& entry : *this) visit(entry.second.raw());
    });
}

std::size_t dictmap::storagebytes() const {
    // A tree's node holds the entry after the key and the node's four words.
    constexpr std::size_t treenode = 4 * sizeof(void*) + sizeof(tree_type::value_type);
    return tree ? tree->size() * treenode : ordered.capacity() * sizeof(dictentry);
}

namespace {

bool olderkey(const dictentry& entry, const variable* key) { return entry.first->seq < key->seq; }

}  // namespace

dictmap::iterator dictmap::find(variable* key) {
    if (tree) return iterator(tree->find(key));
    auto found = std::lower_bound(ordered.begin(), ordered.end(), key, olderkey);
    if (found == ordered.end() || found->first->seq != key->seq) return end();
    return iterator(&*found);
}

void dictmap::maketree() {
    tree = std::make_unique<tree_type>();
    for (const dictentry& entry : ordered) tree->emplace_hint(tree->end(), entry.first, entry);
    ordered = {};
    index.reset();  // it points into the array
}

valueslot& dictmap::operator[](variable* key) {
    if (!tree) {
        if (ordered.empty() || ordered.back().first->seq < key->seq) {
            const dictentry* before = ordered.data();
            ordered.push_back({key, nullptr});
            key->dictkey = true;
            if (index && index->current()) {
                if (ordered.data() != before) index->rebase(before, ordered.data());
                index->add(&ordered.back());
            } else {
                index.reset();  // out of date anyway: the next lookup files everything again
            }
            return ordered.back().second;
        }
        iterator found = find(key);
        if (found != end()) return found->second;
        maketree();
    }
    auto [where, added] = tree->try_emplace(key, dictentry{key, nullptr});
    if (added) {
        key->dictkey = true;
        if (index && index->current())
            index->add(&where->second);
        else
            index.reset();
    }
    return where->second.second;
}

std::size_t dictmap::erase(variable* key) {
    if (find(key) == end()) return 0;
    if (!tree) maketree();
    index.reset();
    return tree->erase(key);
}

const dictmap::value_type* dictmap::findequal(const variable& value) const {
    if (value.identifier == typeident::builtin_int && index && index->current() && size() > scanlimit)
        return index->findint(value.intval);
    const lookupform form = formof(value);
    if (form.what == lookupform::kind::nothing) return nullptr;
    if (!indexed(form) || size() <= scanlimit) return scan(value);
    if (!index)
        index = std::make_unique<keyindex>(*this, keychangecount());
    else if (!index->current())
        index->rebuild(*this, keychangecount());
    return index->find(form);
}

const dictmap::value_type* dictmap::scan(const variable& value) const {
    for (const value_type& entry : *this)
        if (*entry.first == value) return &entry;
    return nullptr;
}

}  // namespace T4VM
