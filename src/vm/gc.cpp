// The garbage collector: mark and sweep over the heap behind getallocvar. It runs only between
// execution cycles, when no native and no instruction holds a variable of its own, so the roots
// below are all there is.
#include <algorithm>

#include "vm/heap.h"

namespace T4VM {

namespace {

// Collect when this many objects were made since the last collection: at least a fixed amount,
// and at least one and a half times as many as survived it, so a collection costs in proportion
// to the work done. (With a large live heap, marking it dominates: letting half as many objects
// again accumulate costs that much more memory and saves a third of the collections.)
constexpr std::size_t minimumcollection = 64 * 1024;
// Texts can be large while their objects are few: bytes of text made since the last collection
// count too, against at least a fixed amount and at least what the live objects took then.
constexpr std::size_t minimumtextbytes = 64u << 20;

// What a value's text occupies beside the value.
std::size_t textbytesof(const variable& value) {
    return value.stringval.made() ? sizeof(std::string) + value.stringval.get().capacity() : 0;
}

class marker {
public:
    // An object that refers to nothing (most numbers and texts) is finished here, while its memory
    // is at hand, instead of being read a second time off the stack.
    void mark(variable* value) {
        if (value == nullptr || value->gcmarked) return;
        value->gcmarked = true;
        if (value->self == nullptr && value->pntrval == nullptr && value->listval.empty() &&
            value->dictval.empty() && value->attributes.made().empty())
            bytes += sizeof(variable) + textbytesof(*value);
        else
            pending.push_back(value);
    }
    void mark(const varmap& attributes) {
        for (const auto& [name, value] : attributes) mark(value);
    }
    void mark(const framemap& frame) {
        for (const auto& [name, value] : frame) mark(value);
    }
    void mark(const varstack& values) {
        for (variable* value : values) mark(value);
    }

    // Iterative, so a long chain of nested containers cannot exhaust the C++ stack. Also adds up
    // roughly what the reached objects occupy: the objects and the texts and entries they own.
    void drain() {
        while (!pending.empty()) {
            variable* value = pending.back();
            pending.pop_back();
            bytes += sizeof(variable) + textbytesof(*value) +
                     (value->listval.size() + value->dictval.size() + value->attributes.made().size()) * 48;
            mark(value->attributes.made());
            mark(value->self);
            mark(value->pntrval);
            // The elements of a long list lie far apart in memory: ask for each a little ahead.
            const std::vector<variable*>& elements = value->listval;
            for (std::size_t i = 0; i < elements.size(); ++i) {
                if (i + 8 < elements.size()) __builtin_prefetch(elements[i + 8]);
                mark(elements[i]);
            }
            for (const auto& [key, entry] : value->dictval) {
                mark(key);
                mark(entry);
            }
        }
    }

    std::size_t livebytes() const { return bytes; }

private:
    // Kept from one collection to the next: a stack of millions of entries is not worth giving
    // back to the system and faulting in again every time.
    static inline std::vector<variable*> pending;
    std::size_t bytes = 0;
};

// Every root of the machine: the globals, the program root and everything every context holds.
// Contexts live until the machine is reset, whether or not they are scheduled.
void markroots(marker& roots) {
    for (const auto& [name, value] : globalvars) roots.mark(value);
    roots.mark(progroot);
    roots.mark(pinnedvariables());
    for (const auto& owned : allcontexts()) {
        const context& each = *owned;
        roots.mark(*each.memory);
        for (const framemap& frame : *each.savlvar) roots.mark(frame);
        roots.mark(*each.calltrace);
        roots.mark(*each.datastack);
        roots.mark(*each.callstack);
        for (const framemap& frame : *each.databasestack) roots.mark(frame);
        roots.mark(*each.lastdeldatabase);
        for (const continuation& work : each.pending) {
            roots.mark(work.block);
            roots.mark(work.working);
            roots.mark(work.items);
            roots.mark(work.instance);
        }
    }
}

}  // namespace

collectionpace pace{0, minimumcollection, 0, minimumtextbytes};

void collectgarbage() {
    marker roots;
    markroots(roots);
    roots.drain();

    const std::size_t kept = sweepheap();
    const std::size_t live = roots.livebytes();
    pace = {0, std::max(minimumcollection, kept + kept / 2), 0, std::max(minimumtextbytes, live)};
    if (live > maxheapbytes)
        error("Out of memory: the live objects take more than " + std::to_string(maxheapbytes >> 20) + " MiB.",
              false);
}

void resetcollector() { pace = {0, minimumcollection, 0, minimumtextbytes}; }

}  // namespace T4VM
