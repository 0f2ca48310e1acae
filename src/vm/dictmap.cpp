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
#include <type_traits>
#include <utility>

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

// A value's print: a number's is its exact value's bits, so equal prints are equal numbers; a
// text's is its hash with a NaN's exponent and quiet bit, which no number's print has (a NaN is
// never filed), so texts and numbers never meet. A slot keeps a mark made from the print its key
// had when it was filed (see keymark).
constexpr std::uint64_t textprint = 0x7FF8000000000000ull;

std::uint64_t printof(const lookupform& form) {
    if (form.what == lookupform::kind::number) return std::bit_cast<std::uint64_t>(form.number);
    return (std::hash<std::string_view>{}(form.text) & 0x8007FFFFFFFFFFFFull) | textprint;
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

// Zeroed slot storage. Large tables are read at random: on huge pages a lookup costs a cache
// miss, not a cache miss and a walk through the page tables besides. They are mapped straight from
// the system, whose pages come zeroed, so a table is not cleared twice.
template <typename T>
class zeroedtable {
public:
    static constexpr std::size_t hugepage = 2u << 20;

    zeroedtable() = default;
    explicit zeroedtable(std::size_t count) : count(count) {
        static_assert(std::is_trivially_copyable_v<T>);
        const std::size_t bytes = count * sizeof(T);
        if (bytes < hugepage) {
            memory = static_cast<T*>(std::calloc(count, sizeof(T)));
            if (memory == nullptr) throw std::bad_alloc();
            return;
        }
        // Mapped with room to start on a huge page's boundary; what lies outside it is given back.
        const std::size_t rounded = mapped(count);
        void* whole = ::mmap(nullptr, rounded + hugepage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (whole == MAP_FAILED) throw std::bad_alloc();
        const auto start = reinterpret_cast<std::uintptr_t>(whole);
        const std::uintptr_t aligned = (start + hugepage - 1) / hugepage * hugepage;
        if (aligned != start) ::munmap(whole, aligned - start);
        if (aligned + rounded != start + rounded + hugepage)
            ::munmap(reinterpret_cast<void*>(aligned + rounded), start + hugepage - aligned);
        memory = reinterpret_cast<T*>(aligned);
#ifdef MADV_HUGEPAGE
        ::madvise(memory, rounded, MADV_HUGEPAGE);
#endif
    }
    zeroedtable(zeroedtable&& other) noexcept
        : memory(std::exchange(other.memory, nullptr)), count(std::exchange(other.count, 0)) {}
    zeroedtable& operator=(zeroedtable&& other) noexcept {
        if (this != &other) {
            release();
            memory = std::exchange(other.memory, nullptr);
            count = std::exchange(other.count, 0);
        }
        return *this;
    }
    ~zeroedtable() { release(); }

    std::size_t size() const { return count; }
    T& operator[](std::size_t at) { return memory[at]; }
    const T& operator[](std::size_t at) const { return memory[at]; }
    T* begin() { return memory; }
    T* end() { return memory + count; }
    std::size_t bytes() const { return memory == nullptr ? 0 : count * sizeof(T) < hugepage ? count * sizeof(T) : mapped(count); }

private:
    static std::size_t mapped(std::size_t count) { return (count * sizeof(T) + hugepage - 1) / hugepage * hugepage; }
    void release() {
        if (memory == nullptr) return;
        if (count * sizeof(T) < hugepage)
            std::free(memory);
        else
            ::munmap(memory, mapped(count));
        memory = nullptr;
    }

    T* memory = nullptr;
    std::size_t count = 0;
};

// A text key equals a text looked up by its bytes.
bool sametext(const variable& key, std::string_view text) {
    return key.identifier == typeident::builtin_string && key.stringval.get() == text;
}

// What a slot keeps of its key besides the entry's place: half the size of a whole print and a
// pointer, so that a large table, new memory touched for the first time, is made in half the time.
// Every number is kept whole, so that a probe for one never reads a key object, which lies far off
// in memory: a number of int value as that int, any other as its single-precision bits (a number
// not of int value is always a float's own value). A text keeps 32 bits of its print, and a probe
// that meets them compares the text itself.
struct keymark {
    enum class kind : std::uint32_t { text, integer, floating };
    std::uint32_t check = 0;
    kind what = kind::text;
};

// A slot's place keeps the kind of its key's mark in its two highest bits.
constexpr unsigned kindshift = 30;
constexpr std::uint32_t positionbits = (1u << kindshift) - 1;

// A number's mark is whole only while ints and floats are 32 bits wide.
static_assert(std::is_same_v<decltype(variable::intval), std::int32_t> &&
                  std::is_same_v<decltype(variable::floatval), float>,
              "wider numbers need wider marks: two numbers would share one and be found for each other");

keymark markof(std::uint64_t print) {
    if ((print & textprint) == textprint)
        return {static_cast<std::uint32_t>(print) ^ static_cast<std::uint32_t>(print >> 32), keymark::kind::text};
    const double number = std::bit_cast<double>(print);
    if (number >= -2147483648.0 && number <= 2147483647.0 && number == static_cast<double>(static_cast<std::int32_t>(number)))
        return {static_cast<std::uint32_t>(static_cast<std::int32_t>(number)), keymark::kind::integer};
    return {std::bit_cast<std::uint32_t>(static_cast<float>(number)), keymark::kind::floating};
}

// Where a key's probe starts, from its mark alone, so that a table grows without reading any key
// again. An int value starts at itself, as a list index would: keys counted up are filed side by
// side and read in the order they are looked up in. Other marks are mixed, so that the low bits,
// which pick the slot, depend on all of theirs.
std::uint64_t startof(const keymark& mark) {
    if (mark.what == keymark::kind::integer)
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(mark.check)));
    std::uint64_t mixed = mark.check | (std::uint64_t{static_cast<std::uint32_t>(mark.what)} << 32);
    mixed ^= mixed >> 30;
    mixed *= 0xbf58476d1ce4e5b9ull;
    mixed ^= mixed >> 27;
    mixed *= 0x94d049bb133111ebull;
    mixed ^= mixed >> 31;
    return mixed;
}

}  // namespace

// Slots point at the dictionary's own entries, so the index owns nothing and the collector keeps
// finding every key and value through the entries alone. Entries in a tree never move; entries in
// the array move when it grows, and the index follows its start (rebase).
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
        slots = zeroedtable<slot>(capacity);
        nodes.clear();
        // Filing reads every key object, and a large dictionary's keys lie far apart in memory:
        // while the entries are one array, ask for each key a little ahead (its type and its
        // number, which may lie in different cache lines).
        const std::span<const entry> array = entries.asarray();
        base = array.data();
        intree = array.size() != entries.size();
        for (std::size_t i = 0; i < array.size(); ++i) {
            if (i + 8 < array.size()) {
                const variable* ahead = array[i + 8].first;
                __builtin_prefetch(ahead);
                __builtin_prefetch(&ahead->intval);
            }
            file(*array[i].first, static_cast<std::uint32_t>(i));
        }
        if (intree)
            for (const entry& each : entries) add(&each);
    }

    bool current() const { return made == keychangecount(); }

    const entry* find(const lookupform& form) const {
        const slot& found = slots[probe(form, markof(printof(form)))];
        return found.free() ? nullptr : entryat(found);
    }

    // The same for an int, the commonest key.
    const entry* findint(std::int32_t value) const {
        const slot& found = slots[intslot(value)];
        return found.free() ? nullptr : entryat(found);
    }

    // Files an entry just added: the last of the array, or a new one of the tree.
    void add(const entry* added) {
        if (!intree) {
            file(*added->first, static_cast<std::uint32_t>(added - base));
            return;
        }
        nodes.push_back(added);
        file(*added->first, static_cast<std::uint32_t>(nodes.size() - 1));
    }

    // The array of entries moved as a block to `to`.
    void rebase(const entry* to) { base = to; }

    std::size_t bytes() const { return slots.bytes() + nodes.capacity() * sizeof(const entry*); }

    // The most entries an index files: their places must fit below the kind's bits. The live-heap
    // cap ends a program long before a dictionary has so many; past it, keys are compared in turn.
    static constexpr std::size_t largest = positionbits - 1;

private:
    struct slot {
        std::uint32_t place;  // 1 + the entry's place, and the mark's kind above it; 0: free
        std::uint32_t check;  // the key's mark

        bool free() const { return place == 0; }
        keymark::kind what() const { return static_cast<keymark::kind>(place >> kindshift); }
        std::uint32_t position() const { return (place & positionbits) - 1; }
    };

    const entry* entryat(const slot& filed) const { return intree ? nodes[filed.position()] : base + filed.position(); }

    // Files a key under its entry's position.
    void file(const variable& key, std::uint32_t position) {
        if (4 * (used + 1) > 3 * slots.size()) grow();
        if (key.identifier == typeident::builtin_int) {
            settle(intslot(key.intval), key, position, {static_cast<std::uint32_t>(key.intval), keymark::kind::integer});
            return;
        }
        const lookupform form = formof(key);
        if (!indexed(form)) return;
        const keymark mark = markof(printof(form));
        settle(probe(form, mark), key, position, mark);
    }

    // The earliest key of a value wins: a key object made before the one filed takes its place.
    void settle(std::size_t at, const variable& key, std::uint32_t position, keymark mark) {
        slot& each = slots[at];
        const std::uint32_t place = (position + 1) | (static_cast<std::uint32_t>(mark.what) << kindshift);
        if (each.free()) {
            each = slot{place, mark.check};
            ++used;
        } else if (key.seq < entryat(each)->first->seq) {
            each.place = place;
        }
    }

    // The slot of an int's entry, or the free slot where it would go: its mark and the start of
    // its probe are the int itself (markof and startof), so nothing else is computed.
    std::size_t intslot(std::int32_t value) const {
        const auto check = static_cast<std::uint32_t>(value);
        for (probeorder order(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)), slots.size() - 1);; order.next()) {
            const slot& each = slots[order.slot()];
            if (each.free() || (each.check == check && each.what() == keymark::kind::integer)) return order.slot();
        }
    }

    // The slot of the value's entry, or the free slot where it would go. At most three quarters
    // of the slots are used (a table grows before it could be more), so there always is one.
    std::size_t probe(const lookupform& form, const keymark& wanted) const {
        for (probeorder order(startof(wanted), slots.size() - 1);; order.next()) {
            const slot& each = slots[order.slot()];
            if (each.free()) return order.slot();
            if (each.check != wanted.check || each.what() != wanted.what) continue;
            if (wanted.what != keymark::kind::text || sametext(*entryat(each)->first, form.text)) return order.slot();
        }
    }

    // Nothing is filed twice, so each slot goes to the first free one of its probe, which starts
    // where its mark says: no key object is read.
    void grow() {
        zeroedtable<slot> previous = std::move(slots);
        slots = zeroedtable<slot>(previous.size() * 2);
        for (const slot& each : previous) {
            if (each.free()) continue;
            probeorder order(startof(keymark{each.check, each.what()}), slots.size() - 1);
            while (!slots[order.slot()].free()) order.next();
            slots[order.slot()] = each;
        }
    }

    zeroedtable<slot> slots;  // a power of two of them
    std::size_t used = 0;
    std::uint64_t made = 0;  // keychangecount() when the keys were filed
    const entry* base = nullptr;  // the array's first entry, while the entries are one
    bool intree = false;
    std::vector<const entry*> nodes;  // the tree's entries, in the order they were filed
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
    const std::size_t entries = tree ? tree->size() * treenode : ordered.capacity() * sizeof(dictentry);
    return entries + (index ? index->bytes() : 0);
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
            if (index && index->current() && ordered.data() != before) index->rebase(ordered.data());
            fileadded(&ordered.back());
            return ordered.back().second;
        }
        iterator found = find(key);
        if (found != end()) return found->second;
        maketree();
    }
    auto [where, added] = tree->try_emplace(key, dictentry{key, nullptr});
    if (added) {
        key->dictkey = true;
        fileadded(&where->second);
    }
    return where->second.second;
}

// A dictionary this large is there to be searched: its index is kept from then on, each key filed
// as it is added, while it is still near in memory, rather than all at the first lookup, read back
// from far off. So each time the entries reach a power of two from this size on, a dictionary
// without a current index is filed whole. Smaller dictionaries, most of them never searched, wait
// for their first lookup.
constexpr std::size_t indexedfrom = 4096;

void dictmap::fileadded(const dictentry* added) {
    if (index && index->current() && size() <= keyindex::largest) {
        index->add(added);
        return;
    }
    index.reset();  // out of date anyway
    if (size() >= indexedfrom && size() <= keyindex::largest && std::has_single_bit(size())) index = std::make_unique<keyindex>(*this, keychangecount());
}

std::size_t dictmap::erase(variable* key) {
    if (find(key) == end()) return 0;
    if (!tree) maketree();
    index.reset();
    return tree->erase(key);
}

// An int looked up in an index that is up to date, the commonest lookup, takes a few steps; the
// rest is out of line, so that those few need no more than they use.
const dictmap::value_type* dictmap::findequal(const variable& value) const {
    if (value.identifier == typeident::builtin_int && index && index->current() && size() > scanlimit)
        return index->findint(value.intval);
    return findother(value);
}

const dictmap::value_type* dictmap::findother(const variable& value) const {
    const lookupform form = formof(value);
    if (form.what == lookupform::kind::nothing) return nullptr;
    if (!indexed(form) || size() <= scanlimit || size() > keyindex::largest) return scan(value);
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
