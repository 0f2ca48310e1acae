// The garbage collector: mark and sweep over the heap behind getallocvar. It runs only between
// execution cycles, when no native and no instruction holds a variable of its own, so the roots
// below are all there is.
#include <algorithm>
#include <span>

#include "vm/heap.h"
#include "vm/machine.h"
#include "vm/shortcuts.h"

namespace T4VM {

namespace {

// Collect when this many objects were made since the last collection: at least a fixed amount,
// and at least one and a half times as many as survived it, so a collection costs in proportion
// to the work done. (With a large live heap, marking it dominates: letting half as many objects
// again accumulate costs that much more memory and saves a third of the collections.) The fixed
// amount is what a program with few live objects runs in: 16 Ki objects take 1.5 MiB, and every
// page the heap reaches for the first time is one the system has to clear, which cost a small
// program more than the collections it saved at four times that.
constexpr std::size_t minimumcollection = 16 * 1024;
// Texts and container storage can be large while their objects are few: their bytes made since
// the last collection count too, against at least a fixed amount and at least what the live
// values took then.
constexpr std::size_t minimumstoragebytes = 64u << 20;

// What the general allocator takes for a block of `size` bytes: its header, rounded to 16.
constexpr std::size_t block(std::size_t size) { return (size + 8 + 15) / 16 * 16; }
// What a text of that capacity occupies beside its value: the string object behind the value's
// pointer, and the characters when they do not fit inside it.
constexpr std::size_t textblock(std::size_t capacity) {
    return block(sizeof(std::string)) + (capacity > 15 ? block(capacity + 1) : 0);
}
constexpr std::size_t attributenode = block(32 + 40);  // a node of an attribute map, with its name

// What a value holds beside its own slot. A cap on memory must count what the program can grow
// without making objects: a list holding one object a billion times, a text of many megabytes.
// A text shared by many values is counted once per collection (`round`).
std::size_t storageof(const variable& value, std::uint32_t round) {
    std::size_t bytes = 0;
    if (auto* text = value.stringval.shared(); text != nullptr && text->counted != round) {
        text->counted = round;
        bytes += textblock(text->value.capacity());
    }
    if (auto* elements = value.listval.shared(); elements != nullptr && elements->counted != round) {
        elements->counted = round;
        bytes += block(sizeof(listelements::holder)) +
                 block(elements->value.items.capacity() * sizeof(listelements::element));
    }
    if (value.dictval.made()) bytes += block(sizeof(dictmap)) + value.dictval.get().storagebytes();
    if (!value.attributes.nonemade()) {
        bytes += block(sizeof(varmap));
        for (const auto& [name, entry] : value.attributes.made())
            bytes += attributenode + (name.size() > 15 ? block(name.size() + 1) : 0);
    }
    if (auto* parts = value.parts.shared(); parts != nullptr && parts->counted != round) {
        parts->counted = round;
        bytes += block(sizeof(functionparts)) + parts->value.moduleparams.size() * attributenode;
    }
    return bytes;
}

class marker {
public:
    marker(std::vector<variable*>& stack, std::vector<listelements::element*>& values, std::uint32_t collection,
           bool keepnumbers)
        : pending(stack), dictvalues(values), round(collection), keepnumbers(keepnumbers) {}

    // An object that refers to nothing (most numbers and texts) is finished here, while its memory
    // is at hand, instead of being read a second time off the stack.
    void mark(variable* value) {
        if (value == nullptr) return;
        if (value->gcmarked) {
            value->gcshared = true;
            return;
        }
        value->gcmarked = true;
        if (value->self == nullptr && value->pntrval == nullptr && value->listval.empty() &&
            value->dictval.empty() && value->attributes.nonemade())
            // A number holds nothing beside its slot.
            bytes += sizeof(variable) + (value->stringval.made() || value->parts.made() || value->listval.made() ||
                                                 value->dictval.made()
                                             ? storageof(*value, round)
                                             : 0);
        else
            pending.push_back(value);
    }
    void mark(const varmap& attributes) {
        for (const auto& [name, value] : attributes) mark(value);
    }
    void mark(const framemap& frame) {
        for (const auto& [name, value] : frame) mark(value);
    }
    void mark(std::span<variable* const> values) {
        for (variable* value : values) mark(value);
    }
    // Elements shared by several lists and loops are marked once: an object they hold is reached
    // once through them.
    void mark(const listelements& elements) {
        listelements::holder* shared = elements.shared();
        if (shared == nullptr || shared->value.marked == round) return;
        listelements::store& held = shared->value;
        held.marked = round;
        if (keepnumbers) lists.push_back(&held);
        // The elements of a long list lie far apart in memory: ask for each a little ahead.
        const auto& items = held.items;
        const std::size_t end = held.boxedto;
        for (std::size_t i = held.boxedfrom; i < end; ++i) {
            if (i + 8 < end && !items[i + 8].kept()) __builtin_prefetch(items[i + 8].object());
            if (!items[i].kept()) mark(items[i].object());
        }
    }

    // Iterative, so a long chain of nested containers cannot exhaust the C++ stack. Also adds up
    // what the reached values occupy: their slots and the texts and storage they own.
    void drain() {
        while (!pending.empty()) {
            variable* value = pending.back();
            pending.pop_back();
            bytes += sizeof(variable) + storageof(*value, round);
            if (!value->attributes.nonemade()) mark(value->attributes.made());
            mark(value->self);
            mark(value->pntrval);
            mark(value->listval);
            if (value->dictval.made()) mark(value->dictval.get());
        }
    }

    // The values that are objects are noted as they are met, so that keeping them afterwards does
    // not walk the whole tree of a large dictionary a second time.
    void mark(const dictmap& entries) {
        // The keys of a large dictionary lie far apart in memory: while its entries are one array,
        // ask for each a little ahead, as for a list's elements.
        const std::span<const dictentry> array = entries.asarray();
        if (!array.empty()) {
            const std::size_t end = array.size();
            for (std::size_t i = 0; i < end; ++i) {
                if (i + 8 < end) __builtin_prefetch(array[i + 8].first);
                markentry(array[i]);
            }
            return;
        }
        for (const dictentry& entry : entries) markentry(entry);
    }
    void markentry(const dictentry& entry) {
        mark(entry.first);
        listelements::element& value = entry.second.raw();
        if (value.kept()) return;
        mark(value.object());
        if (keepnumbers) dictvalues.push_back(&value);
    }

    // Once everything is marked: the numbers in lists and the values of dictionaries that nothing
    // else reached are kept as numbers, and their objects left for the sweep.
    void keepunshared() {
        for (listelements::element* value : dictvalues) keepifalone(*value);
        dictvalues.clear();
        for (listelements::store* held : lists) {
            std::size_t firstboxed = held->boxedto;
            std::size_t lastboxed = held->boxedfrom;
            for (std::size_t i = held->boxedfrom; i < held->boxedto; ++i) {
                if (!keepifalone(held->items[i])) {
                    firstboxed = std::min(firstboxed, i);
                    lastboxed = i + 1;
                }
            }
            held->boxedfrom = firstboxed < lastboxed ? firstboxed : 0;
            held->boxedto = firstboxed < lastboxed ? lastboxed : 0;
        }
        lists.clear();
    }

    std::size_t livebytes() const { return bytes; }

private:
    // Keeps the element's object as a number if nothing else reached it; false when it stays an
    // object.
    bool keepifalone(listelements::element& slot) {
        if (slot.kept()) return true;
        variable* value = slot.object();
        if (value == nullptr || value->gcshared || !listelements::keepable(*value)) return false;
        const std::string* name = &value->name.str();
        if (name != lastname) {
            lastid = listelements::nameid(name);
            lastname = name;
        }
        listelements::keep(slot, *value, lastid);
        value->gcmarked = false;
        bytes -= sizeof(variable);
        return true;
    }

    // The machine's, kept from one collection to the next: a stack of millions of entries is not
    // worth giving back to the system and faulting in again every time.
    std::vector<variable*>& pending;
    std::vector<listelements::element*>& dictvalues;  // the values of dictionaries that are objects
    std::uint32_t round;  // which collection this is
    bool keepnumbers;     // numbers in lists may be kept without their objects
    std::vector<listelements::store*> lists;    // every list's elements marked, when they may
    const std::string* lastname = nullptr;      // the name last numbered, and its number
    std::uint32_t lastid = 0;
    std::size_t bytes = 0;
};

// Every root of the machine: the globals, the program root and everything every context holds.
// Contexts live as long as their machine, whether or not they are scheduled.
void markroots(const machine& m, marker& roots) {
    for (const auto& [name, value] : m.globalvars) roots.mark(value);
    roots.mark(m.progroot);
    roots.mark(m.pinned);
    for (const auto& owned : m.everycontext) {
        const context& each = *owned;
        roots.mark(each.memory);
        for (const framemap& frame : each.savlvar) roots.mark(frame);
        roots.mark(each.calltrace);
        roots.mark(each.datastack);
        roots.mark(each.callstack);
        for (const framemap& frame : each.databasestack) roots.mark(frame);
        roots.mark(each.lastdeldatabase);
        for (const continuation& work : each.pending) {
            roots.mark(work.block);
            roots.mark(work.working);
            roots.mark(work.items);
            roots.mark(work.standin);
            roots.mark(work.instance);
        }
    }
}

}  // namespace

namespace {

// Near the cap, the next collection comes before what is made meanwhile could take memory much
// past it: half of the room left goes to new objects, half to texts and storage.
collectionpace pacefor(std::size_t objects, std::size_t storage, std::size_t live, std::size_t limit) {
    const std::size_t slack = limit + limit / 8;
    const std::size_t room = std::max<std::size_t>(live < slack ? slack - live : 0, 1u << 20);
    return {0, std::min(objects, room / 2 / sizeof(variable)), 0, std::min(storage, room / 2), false};
}

}  // namespace

void collectgarbage() {
    machine& m = vm();
    marker roots(m.markstack, m.markedvalues, ++m.collections, shortcut::keepunsharednumbers());
    markroots(m, roots);
    roots.drain();
    roots.keepunshared();

    const std::size_t kept = sweepheap();
    const std::size_t live = roots.livebytes();
    m.livebytes = live;
    if (live > heaplimit()) heaplimitreached();
    m.pace = pacefor(std::max(minimumcollection, kept + kept / 2), std::max(minimumstoragebytes, live), live,
                     heaplimit());
}

void heaplimitreached() {
    error("Out of memory: the live objects take more than " + std::to_string(heaplimit() >> 20) + " MiB.", false);
}

collectionpace initialpace(std::size_t limit) { return pacefor(minimumcollection, minimumstoragebytes, 0, limit); }

}  // namespace T4VM
