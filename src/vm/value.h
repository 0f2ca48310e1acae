// The value model: the one class of every value and object, `variable`, with the containers it
// holds (attributes, dictionaries, frames, names) and the factory every variable is made through.
#pragma once

#include <cstdint>
#include <cstddef>
#include <iosfwd>
#include <iterator>
#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "vm/code.h"
#include "vm/listelements.h"
#include "vm/sharing.h"

namespace T4VM {

// ---------------------------------------------------------------------------------------------
// Values

// The type identifiers. They are compared and shown as their texts ("BUILTIN_INT" ...); holding
// them as a small enumeration keeps every type test a single comparison.
enum class typeident : std::uint8_t {
    none,  // "" — a fresh value whose creator has not set the identifier yet
    builtin_int,
    builtin_float,
    builtin_string,
    builtin_pntr,
    builtin_list,
    builtin_dict,
    custom_func,
    builtin_module,
    custom_class,
    builtin_class,
    module_class,
    builtin_func,
};
const std::string& identname(typeident id);

class variable;

// Changes the machine bound to the calling thread counts, so that what is looked up and kept
// elsewhere can tell when it is out of date.
void noteshapechange();  // some attribute map gained or lost a name
void notekeychange();    // an object that is a dictionary key changed its value in place
// Something other than the machine's own loads reached the program root's attributes or a frame's
// variables (a pointer, a native, a saved frame): the objects made before now that the root or a
// frame holds may be referred to from elsewhere (see reuserootcopy and reusebinding).
void notereached();
// The changes of value in place of objects that are (or were) keys: a dictionary's index made
// before the last one may file a key under a value it no longer has.
std::uint64_t keychangecount();

// An allocator of single objects from a blockpool: the nodes of attribute maps are made for the
// methods of every string, list and dictionary whose attributes are looked at.
template <typename T>
struct poolallocator {
    using value_type = T;
    poolallocator() = default;
    template <typename U>
    poolallocator(const poolallocator<U>&) {}  // NOLINT: rebinding, as containers do
    T* allocate(std::size_t count) {
        if (count != 1) return static_cast<T*>(::operator new(count * sizeof(T)));
        return static_cast<T*>(pool::take());
    }
    void deallocate(T* block, std::size_t count) noexcept {
        if (count != 1) return ::operator delete(block);
        pool::give(block);
    }
    friend bool operator==(const poolallocator&, const poolallocator&) { return true; }

private:
    using pool = blockpool<std::max(sizeof(T), sizeof(void*))>;
};

using varmap = std::map<std::string, variable*, std::less<std::string>,
                        poolallocator<std::pair<const std::string, variable*>>>;  // attributes: ordered by name
class framemap;
using argmap = framemap;  // "arg0", "arg1", ... and "self"


// Dictionary order follows the creation of the key objects (each object gets a sequence number
// when it is allocated), so every run of a program prints its dictionaries in the same order.
struct creationorder {
    bool operator()(const variable* a, const variable* b) const;
};

class keyindex;

// One entry of a dictionary: its key object and its value.
struct dictentry {
    variable* first;
    valueslot second;
};

// A dictionary's entries, in key order. `get` and `contains` look keys up by value: a number or a
// text is found through an index by value, made on the first such lookup (most small dictionaries
// are never searched) or as a large one grows, and kept up to date as entries are added; any other
// kind of value is compared with every key in turn.
//
// Keys nearly always come in creation order (a load's copy is the newest object there is), so the
// entries are an array filled at its end: adding one costs no search, and the collector walks them
// as one block. A key older than the last one, or a removal, turns the array into a tree once, so
// that no order of adding keys costs more than the tree's logarithm per key.
class dictmap {
    using tree_type = std::map<variable*, dictentry, creationorder>;

    template <bool readonly>
    class basiciterator {
        using entryref = std::conditional_t<readonly, const dictentry&, dictentry&>;
        using node = std::conditional_t<readonly, tree_type::const_iterator, tree_type::iterator>;

    public:
        using value_type = dictentry;
        using reference = entryref;
        using pointer = std::remove_reference_t<entryref>*;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::bidirectional_iterator_tag;

        basiciterator() = default;
        explicit basiciterator(pointer at) : at(at) {}
        explicit basiciterator(node at) : at(nullptr), innode(at), intree(true) {}
        template <bool other, typename = std::enable_if_t<readonly && !other>>
        basiciterator(const basiciterator<other>& from)  // NOLINT: as a map's iterators convert
            : at(from.at), innode(from.innode), intree(from.intree) {}

        reference operator*() const { return intree ? innode->second : *at; }
        pointer operator->() const { return &**this; }
        basiciterator& operator++() {
            if (intree)
                ++innode;
            else
                ++at;
            return *this;
        }
        basiciterator operator++(int) {
            basiciterator before = *this;
            ++*this;
            return before;
        }
        basiciterator& operator--() {
            if (intree)
                --innode;
            else
                --at;
            return *this;
        }
        friend bool operator==(const basiciterator& a, const basiciterator& b) {
            return a.intree ? a.innode == b.innode : a.at == b.at;
        }

    private:
        template <bool>
        friend class basiciterator;
        pointer at = nullptr;
        node innode{};
        bool intree = false;
    };

public:
    using key_type = variable*;
    using mapped_type = valueslot;
    using value_type = dictentry;
    using iterator = basiciterator<false>;
    using const_iterator = basiciterator<true>;

    dictmap();
    // A copy has the same entries; it makes its own index when it is first searched.
    dictmap(const dictmap& other);
    dictmap(dictmap&& other) noexcept;
    dictmap& operator=(const dictmap& other);
    dictmap& operator=(dictmap&& other) noexcept;
    ~dictmap();

    iterator begin() { return tree ? iterator(tree->begin()) : iterator(ordered.data()); }
    iterator end() { return tree ? iterator(tree->end()) : iterator(ordered.data() + ordered.size()); }
    const_iterator begin() const { return const_cast<dictmap&>(*this).begin(); }
    const_iterator end() const { return const_cast<dictmap&>(*this).end(); }
    std::size_t size() const { return tree ? tree->size() : ordered.size(); }
    bool empty() const { return size() == 0; }
    iterator find(variable* key);
    const_iterator find(variable* key) const { return const_cast<dictmap&>(*this).find(key); }
    // The entry of that very key object, made when it is new: an equal key that is another object
    // gets an entry of its own.
    valueslot& operator[](variable* key);
    std::size_t erase(variable* key);
    // The first entry in key order whose key equals `value` by the machine's equality, or null.
    const value_type* findequal(const variable& value) const;
    // The same (key object, value) pairs in the same order.
    friend bool operator==(const dictmap& a, const dictmap& b);

    // Makes the objects of the kept numbers among the values: before the entries are copied, as a
    // copy holds the same value objects.
    void makevalues() const;
    // The bytes the entries and their index take.
    std::size_t storagebytes() const;
    // The entries as one array, while they are one (no tree): empty otherwise.
    std::span<const dictentry> asarray() const {
        return tree ? std::span<const dictentry>{} : std::span<const dictentry>{ordered};
    }

private:
    [[gnu::noinline]] const value_type* findother(const variable& value) const;  // findequal's other lookups
    const value_type* scan(const variable& value) const;
    void fileadded(const dictentry* added);  // keeps the index up to date with a new entry
    void maketree();  // files every entry in a tree from now on

    std::vector<dictentry> ordered;  // in key order, while there is no tree
    std::unique_ptr<tree_type> tree;
    mutable std::unique_ptr<keyindex> index;
};

struct functionparts;

// The empty value an unmade part of a variable reads as: one of each kind, shared by every
// machine and never changed.
template <typename T>
const T& emptyof();
template <>
const std::string& emptyof<std::string>();
template <>
const std::vector<variable*>& emptyof<std::vector<variable*>>();
template <>
const dictmap& emptyof<dictmap>();
template <>
const functionparts& emptyof<functionparts>();
template <>
const varmap& emptyof<varmap>();

// A value most variables never hold (a text, a list's elements, a function's parts): held behind a pointer,
// made on the first write, so a variable without one pays a single pointer. Reads of an unmade
// value see an empty one; copies copy the value.
template <typename T>
class lazyvalue {
public:
    lazyvalue() = default;
    lazyvalue(const lazyvalue& other) : value(other.made() ? std::make_unique<T>(*other.value) : nullptr) {}
    lazyvalue& operator=(const lazyvalue& other) {
        if (this == &other) return *this;
        if (!other.made())
            value.reset();
        else if (value)
            *value = *other.value;
        else
            value = std::make_unique<T>(*other.value);
        return *this;
    }
    lazyvalue& operator=(T other) {
        mut() = std::move(other);
        return *this;
    }

    bool made() const { return value != nullptr; }
    void reset() { value.reset(); }
    const T& get() const { return value ? *value : unmade(); }
    T& mut() {
        if (!value) value = std::make_unique<T>();
        return *value;
    }
    operator const T&() const { return get(); }  // NOLINT: reads take the value as it is

    auto begin() const { return get().begin(); }
    auto end() const { return get().end(); }
    std::size_t size() const { return get().size(); }
    bool empty() const { return !value || value->empty(); }
    template <typename V>
    void push_back(V&& element) {
        mut().push_back(std::forward<V>(element));
    }
    friend bool operator==(const lazyvalue& a, const lazyvalue& b) { return a.get() == b.get(); }

private:
    static const T& unmade() { return emptyof<T>(); }
    std::unique_ptr<T> value;
};

using sharedtext = sharedvalue<std::string>;

// A map most values never use (a dictionary's entries, native parameters): a lazy value that also
// reads and writes like the map itself. Lookups in an unmade map find nothing and make nothing.
template <typename Map>
class lazymap : public lazyvalue<Map> {
    using base = lazyvalue<Map>;

public:
    using iterator = typename Map::iterator;
    using const_iterator = typename Map::const_iterator;
    using key_type = typename Map::key_type;
    using base::begin;
    using base::end;

    iterator begin() { return this->made() ? this->mut().begin() : unmade().begin(); }
    iterator end() { return this->made() ? this->mut().end() : unmade().end(); }
    iterator find(const key_type& key) { return this->made() ? this->mut().find(key) : unmade().end(); }
    const_iterator find(const key_type& key) const { return this->get().find(key); }
    typename Map::mapped_type& operator[](const key_type& key) { return this->mut()[key]; }
    std::size_t erase(const key_type& key) { return this->made() ? this->mut().erase(key) : 0; }
    void clear() { this->reset(); }

private:
    // Always empty: nothing is ever inserted through its iterators, which only need it not const.
    static Map& unmade() { return const_cast<Map&>(emptyof<Map>()); }
};

// A native function: the receiver and the argument map.
using mfuncptr = void (*)(variable* self, const argmap& args);

// Native parameters remember what kind of native object they hold, so a method moved onto
// another object can never reinterpret one kind of native object as another. `host` is a function
// an embedding host gave the machine (src/embed/hostcalls.h).
enum class paramkind : std::uint8_t { instream, outstream, context, client, server, host };
struct nativeparam {
    paramkind kind;
    void* pointer;
};
using parammap = std::map<std::string, nativeparam>;

// What only functions and native objects hold: the code a bytecode function runs, the native
// function a native one calls, and the native objects (streams, sockets, contexts) a native object
// works through.
struct functionparts {
    codeblock funccode;
    mfuncptr modulefunc = nullptr;
    parammap moduleparams;
    // The native works on its receiver, its arguments and the data stack alone: it opens, closes
    // and ends nothing and touches no context, so a call of it may run among the steps run
    // together in a frame. The methods of strings, pointers, lists and dictionaries are such.
    bool dataonly = false;
};

// The name a value was last loaded, stored or attached under. Names are interned: a value holds a
// pointer to one shared copy of its name's text, so setting a name on every load costs no
// allocation and the default name costs nothing at all.
class nametext {
public:
    nametext() : text(&unnamed) {}
    nametext(const std::string& value) : text(intern(value)) {}  // NOLINT: names convert freely
    nametext(const char* value) : text(intern(value)) {}         // NOLINT
    nametext& operator=(const std::string& value) {
        text = intern(value);
        return *this;
    }
    nametext& operator=(const char* value) {
        text = intern(value);
        return *this;
    }
    void set(const std::string* interned) { text = interned; }
    const std::string& str() const { return *text; }
    operator const std::string&() const { return *text; }  // NOLINT

    friend bool operator==(const nametext& a, const nametext& b) { return a.text == b.text; }
    friend bool operator==(const nametext& a, const std::string& b) { return *a.text == b; }
    friend bool operator==(const nametext& a, const char* b) { return *a.text == b; }
    friend std::string operator+(const std::string& a, const nametext& b) { return a + *b.text; }
    friend std::string operator+(const nametext& a, const std::string& b) { return *a.text + b; }
    friend std::string operator+(const char* a, const nametext& b) { return a + *b.text; }
    friend std::string operator+(const nametext& a, const char* b) { return *a.text + b; }
    friend std::ostream& operator<<(std::ostream& out, const nametext& name);

    static const std::string* intern(const std::string& value);
    static const std::string& defaulttext() { return unnamed; }

private:
    // The default name, interned like the others but a static object of its own, so that making a
    // variable costs no lookup for its name. Only read once static initialisation is over.
    static const std::string unnamed;
    const std::string* text;
};

// A variable frame (and an argument map): the few names a function, block or scope binds. Names
// are interned, so a name read from the code finds its entry by address; frames are small flat
// arrays, cheap to copy for every block iteration, and their order means nothing.
// A short list of entries kept inside its owner: the frames of most calls and blocks bind a few
// names, and a call should not cost an allocation for them.
template <typename T, std::size_t inlined>
class smallvector {
public:
    smallvector() = default;
    smallvector(const smallvector& other) { append(other); }
    smallvector(smallvector&& other) noexcept {
        if (other.items == other.local)
            append(other);
        else
            takestorage(other);
    }
    smallvector& operator=(const smallvector& other) {
        if (this != &other) {
            count = 0;
            append(other);
        }
        return *this;
    }
    smallvector& operator=(smallvector&& other) noexcept {
        if (this == &other) return *this;
        if (other.items == other.local) {
            count = 0;
            append(other);
        } else {
            if (items != local) delete[] items;
            takestorage(other);
        }
        return *this;
    }
    ~smallvector() {
        if (items != local) delete[] items;
    }

    T* begin() { return items; }
    T* end() { return items + count; }
    const T* begin() const { return items; }
    const T* end() const { return items + count; }
    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    void clear() { count = 0; }
    T& operator[](std::size_t index) { return items[index]; }
    const T& operator[](std::size_t index) const { return items[index]; }
    void reserve(std::size_t wanted) {
        if (wanted <= room) return;
        T* bigger = new T[wanted];
        std::copy(items, items + count, bigger);
        if (items != local) delete[] items;
        items = bigger;
        room = wanted;
    }
    T& push_back(const T& item) {
        if (count == room) reserve(room * 2);
        items[count] = item;
        return items[count++];
    }

private:
    // Takes over the storage `other` has outside itself; `other` is left empty, on its own room.
    void takestorage(smallvector& other) noexcept {
        items = other.items;
        count = other.count;
        room = other.room;
        other.items = other.local;
        other.count = 0;
        other.room = inlined;
    }
    void append(const smallvector& other) {
        if (count == 0 && items == local && other.count <= inlined) {
            // Into empty inline room, as every move and copy of a small frame goes: the whole room
            // at once is a few register moves, where a copy of `count` entries is a call. Storage
            // outside an owner is never smaller than the inline room, so all of it may be read.
            std::copy(other.items, other.items + inlined, local);
            count = other.count;
            return;
        }
        reserve(count + other.count);
        std::copy(other.items, other.items + other.count, items + count);
        count += other.count;
    }

    T* items = local;
    std::size_t count = 0;
    std::size_t room = inlined;
    T local[inlined];
};

class framemap {
public:
    using entry = std::pair<const std::string*, variable*>;
    using iterator = entry*;
    using const_iterator = const entry*;

    framemap() = default;
    framemap(std::initializer_list<std::pair<std::string_view, variable*>> init) {
        for (const auto& [name, value] : init) (*this)[std::string(name)] = value;
    }

    iterator begin() { return entries.begin(); }
    iterator end() { return entries.end(); }
    const_iterator begin() const { return entries.begin(); }
    const_iterator end() const { return entries.end(); }
    std::size_t size() const { return entries.size(); }
    bool empty() const { return entries.empty(); }
    void clear() { entries.clear(); }
    void reserve(std::size_t count) { entries.reserve(count); }

    iterator find(const std::string& name) {
        for (auto it = entries.begin(); it != entries.end(); ++it)
            if (it->first == &name || *it->first == name) return it;
        return entries.end();
    }
    const_iterator find(const std::string& name) const { return const_cast<framemap*>(this)->find(name); }
    bool contains(const std::string& name) const { return find(name) != end(); }
    variable* at(const std::string& name) const {
        auto found = find(name);
        if (found == end()) throw std::out_of_range("framemap::at");
        return found->second;
    }
    variable*& operator[](const std::string& name) {
        auto found = find(name);
        if (found != entries.end()) return found->second;
        return entries.push_back({nametext::intern(name), nullptr}).second;
    }
    // Every key is interned, so a name known to be interned (read from code, or one of the
    // machine's own) is found by its address alone.
    iterator findinterned(const std::string& interned) {
        for (auto it = entries.begin(); it != entries.end(); ++it)
            if (it->first == &interned) return it;
        return entries.end();
    }
    const_iterator findinterned(const std::string& interned) const {
        return const_cast<framemap*>(this)->findinterned(interned);
    }
    // The same, looked for first where `hint` says it was found last: frames made at one place in
    // the code hold their names in the same places.
    iterator findinterned(const std::string& interned, std::uint32_t& hint) {
        if (hint < entries.size() && entries[hint].first == &interned) return entries.begin() + hint;
        const auto found = findinterned(interned);
        if (found != entries.end()) hint = static_cast<std::uint32_t>(found - entries.begin());
        return found;
    }
    // The entry of an interned name.
    variable*& slot(const std::string& interned) {
        auto found = findinterned(interned);
        if (found != entries.end()) return found->second;
        return entries.push_back({&interned, nullptr}).second;
    }
    variable*& slot(const std::string& interned, std::uint32_t& hint) {
        auto found = findinterned(interned, hint);
        if (found != entries.end()) return found->second;
        hint = static_cast<std::uint32_t>(entries.size());
        return entries.push_back({&interned, nullptr}).second;
    }
    // Adds or replaces every entry of `source`. A block's final frame usually starts as a copy of
    // the frame it is merged into, with the same names in the same places: both are walked
    // together, and names are looked up only from where they differ.
    void merge(const framemap& source) {
        const std::size_t shared = std::min(entries.size(), source.entries.size());
        std::size_t i = 0;
        for (; i < shared && entries[i].first == source.entries[i].first; ++i) entries[i].second = source.entries[i].second;
        if (i < source.entries.size()) mergefrom(source, i);
    }

private:
    void mergefrom(const framemap& source, std::size_t first);  // the rest, from `first` on

    smallvector<entry, 4> entries;
};

// The built-in method tables a value can carry.
enum class methodkind : std::uint8_t { none, string, pntr, list, dict };

// Attributes of a value. A string, pointer, list or dictionary carries method objects of its own;
// they are made only when something first looks at the attributes, with the creation numbers they
// would have had if made with the value, so nothing a program sees changes, while a value nobody
// asks for methods costs a single object.
class attrmap {
public:
    using map_type = varmap;
    using iterator = map_type::iterator;
    using const_iterator = map_type::const_iterator;

    attrmap() = default;
    attrmap(const attrmap& other) {
        const map_type& source = other.view();
        if (!source.empty()) entries = std::make_unique<map_type>(source);
    }
    attrmap& operator=(const attrmap& other) {
        if (this != &other) {
            const map_type& source = other.view();
            pending = methodkind::none;  // replaced methods that were never made need no objects
            if (made().empty() && source.empty()) return *this;
            stored() = source;
            noteshapechange();
        }
        return *this;
    }

    iterator begin() { return view().begin(); }
    iterator end() { return view().end(); }
    const_iterator begin() const { return view().begin(); }
    const_iterator end() const { return view().end(); }
    iterator find(const std::string& key) { return view().find(key); }
    const_iterator find(const std::string& key) const { return view().find(key); }
    bool contains(const std::string& key) const { return view().contains(key); }
    variable* at(const std::string& key) const { return view().at(key); }
    std::size_t count(const std::string& key) const { return view().count(key); }
    std::size_t size() const { return view().size(); }
    bool empty() const { return view().empty(); }
    variable*& operator[](const std::string& key) {
        auto [entry, inserted] = view().try_emplace(key, nullptr);
        if (inserted) noteshapechange();
        return entry->second;
    }
    std::size_t erase(const std::string& key) {
        noteshapechange();
        return view().erase(key);
    }
    void clear() {
        materialize();
        entries.reset();
        noteshapechange();
    }

    // Attaches a method table (made now, or on first use when nothing else is attached yet).
    void attachmethods(methodkind kind);
    // Where the attribute `key` is kept (null: there is none). When the methods are unmade and
    // `key` names one of them, only that one is made: the others are made, with the creation
    // numbers they were given, as soon as anything looks at the map as a whole.
    variable** findmethod(const std::string& key);
    // The methods are still unmade: the value's methods are untouched since they were attached.
    bool ispending() const { return pending != methodkind::none && nonemade(); }
    // Some of the attached methods are unmade (all of them, or all but those findmethod made).
    bool hasunmade() const { return pending != methodkind::none; }
    methodkind pendingkind() const { return pending; }
    // A copy's methods are copies of untouched methods, numbered in name order at copy time.
    void attachcopiedmethods(methodkind kind);
    // The collector looks at the made attributes only; unmade methods refer to nothing.
    const map_type& made() const {
        if (watched) notereached();
        return entries ? *entries : nothing();
    }
    // No attribute is made: the test of every copy and every object the collector reaches, so it
    // does not go through the shared empty map.
    bool nonemade() const { return !entries || entries->empty(); }

private:
    map_type& view() const {
        materialize();
        return stored();
    }
    // Most values never have attributes: their map is made when something looks at it.
    map_type& stored() const {
        if (watched) notereached();
        if (!entries) entries = std::make_unique<map_type>();
        return *entries;
    }
    static const map_type& nothing() { return emptyof<map_type>(); }
    void materialize() const {
        if (pending != methodkind::none) makemethods();
    }
    void makemethods() const;

    mutable std::unique_ptr<map_type> entries;
    // The creation number of the first unmade method and how the table is ordered, in one word
    // (creation numbers stay far below 2^56).
    mutable std::uint64_t firstseq : 56 = 0;
    mutable methodkind pending : 4 = methodkind::none;
    mutable bool nameorder : 1 = false;

public:
    // While set, methods made from this table start marked as copied (a copy is in progress).
    bool copymark : 1 = false;
    // The program root's own: every look at its entries is noted (notereached). Never copied.
    bool watched : 1 = false;
};

// The fields are ordered so that what the collector reads of every object comes first, and the
// text, containers, code and native parameters most values never hold sit behind pointers made on
// first write: a number takes 96 bytes instead of the 216 it would with every field in place.
class variable {
public:
    typeident identifier = typeident::none;
    bool ismodule : 1 = false;
    bool alreadycopied : 1 = false;
    // Machine bookkeeping, never copied by assignment.
    bool printing : 1 = false;  // true while getstring is inside this container
    bool gcmarked : 1 = false;  // reached in the current collection
    bool dictkey : 1 = false;   // has been entered as a dictionary key (and stays marked)
    bool rootcopy : 1 = false;  // made as the program root's copy of a top-level store
    bool gcshared : 1 = false;  // reached more than once in the current collection
    bool framebound : 1 = false;  // bound by a store to a local as an object nothing else held
    std::uint32_t copyentry = 0;  // non-zero while this object's getcopy is in progress
    variable* self = nullptr;
    variable* pntrval = nullptr;
    listelements listval;  // elements in order; indexing is constant-time
    lazymap<dictmap> dictval;
    attrmap attributes;
    sharedtext stringval;
    nametext name;  // "Unnamed Variable" until the value is loaded, stored or attached
    std::int32_t intval = 0;
    float floatval = 0.0f;
    std::uint64_t seq = 0;  // creation order, assigned by getallocvar; never copied by assignment
    sharedvalue<functionparts> parts;  // made when code, a native function or a native object is set

    variable() = default;
    variable(const variable&) = default;
    // Variables come from a pool of equal-sized slots: the machine makes and drops them by the
    // million, and a slot is reused without a trip through the general allocator.
    static void* operator new(std::size_t size);
    static void operator delete(void* slot) noexcept;
    variable& operator=(const variable& other);
    void assignvalues(const variable& other);  // every field assignment copies but the attributes
    // Whatever writes a new value into an object that already exists calls this first: when the
    // object is a dictionary key, the dictionaries' indexes by value are out of date.
    void changingvalue() {
        if (dictkey) notekeychange();
        rootcopy = false;  // what changes it in place has reached it
        framebound = false;
    }

    variable* getpointer();
    variable* getcopy();
    variable* getvar();
    // A number with nothing attached, inside or shared: its copy is these fields and nothing else,
    // so it needs none of the general copy's bookkeeping.
    bool isplainnumber() const {
        return isnumber() && dictval.empty() && attributes.nonemade() && !attributes.hasunmade() &&
               stringval.empty() && !listval.made() && !parts.made();
    }
    // The fields a copy of a value owning no text, code, containers or native objects takes.
    void copyplainfields(variable& copy) const {
        copy.identifier = identifier;
        copy.name = name;
        copy.ismodule = ismodule;
        copy.self = self;
        copy.intval = intval;
        copy.floatval = floatval;
        copy.pntrval = pntrval;
    }
    bool operator==(const variable& other) const;
    // Most numbers read are ints already: only the others go out of line to be converted.
    std::int32_t getint() { return identifier == typeident::builtin_int ? intval : convertedint(); }
    float getfloat() { return identifier == typeident::builtin_float ? floatval : convertedfloat(); }
    std::int32_t convertedint();
    float convertedfloat();
    std::string getstring(bool quot);

    bool isnumber() const { return identifier == typeident::builtin_int || identifier == typeident::builtin_float; }
    bool isvaluetype() const {
        return identifier == typeident::builtin_int || identifier == typeident::builtin_float ||
               identifier == typeident::builtin_string || identifier == typeident::builtin_pntr;
    }
    const codeblock& funccode() const { return parts.get().funccode; }
    mfuncptr modulefunc() const { return parts.get().modulefunc; }
    const parammap& moduleparams() const { return parts.get().moduleparams; }
    std::size_t codesize() const { return funccode().size(); }
};

template <typename I>
bool contains(const std::vector<I>& target, const I& element) {
    for (const auto& e : target)
        if (e == element) return true;
    return false;
}

// The one door through which every variable is made (copies included): a plain new value, or
// one of the given built-in type with its methods attached.
variable* getallocvar();
variable* getallocvar(const std::string& type);
variable* getmodulevar(mfuncptr target);
variable* getcustomfuncvar(mfuncptr target);  // "CUSTOM_FUNC" native function object
void initstringvar(variable& target);
void initpntrvar(variable& target);
void initlistvar(variable& target);
void initdictvar(variable& target);
// Helpers for natives: new values of the common types.
variable* newint(std::int32_t value);
variable* newfloat(float value);
variable* newstring(std::string value);
variable* newlist();

}  // namespace T4VM
