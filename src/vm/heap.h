// The heap behind getallocvar: every variable lives in a pool the collector sweeps, owned by its
// machine and freed with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vm/value.h"

namespace T4VM {

struct chunk;

// Where a machine's variables live: chunks of slots with a bitmap of the live ones at the head of
// each, and where the search for a free slot stands.
struct heapstate {
    std::vector<chunk*> chunks;
    std::size_t livevariables = 0;
    // The bitmap word under the cursor, and which of its free slots are still to be taken. Every
    // slot before the cursor holds a variable.
    std::size_t cursorchunk = 0;
    std::size_t cursorword = 0;
    std::uint64_t* cursorbits = nullptr;
    std::uint64_t untaken = 0;
    unsigned char* cursorslots = nullptr;  // the word's first slot
    std::vector<variable*> unpooled;       // sanitizer builds: every live variable
    heapstate() = default;
    heapstate(const heapstate&) = delete;
    heapstate& operator=(const heapstate&) = delete;
    ~heapstate();  // deletes every variable
};

// What has been made since the last collection, and how much of it makes the next one due. Whether
// it is due is read before every instruction step, and objects are made far less often than
// steps are taken, so making one that reaches a threshold is what sets `due`.
struct collectionpace {
    std::size_t allocations;
    std::size_t threshold;
    std::size_t storagebytes;  // texts and container storage
    std::size_t storagethreshold;
    bool due;
    void noteobject() {
        if (++allocations >= threshold) due = true;
    }
    void notestorage(std::size_t bytes) {
        storagebytes += bytes;
        if (storagebytes >= storagethreshold) due = true;
    }
};

variable* allocatevariable(std::uint64_t seq);  // a default variable with the given creation number
// Memory for one variable from the heap (for the factory, which knows its machine already). The
// common case, a free slot left in the bitmap word under the cursor, is inlined into the factory.
void* takevariableslotslow(heapstate& heap);
inline void* takevariableslot(heapstate& heap) {
    if (T4VM_POOLED_HEAP && heap.untaken != 0) {
        ++heap.livevariables;
        const unsigned bit = static_cast<unsigned>(__builtin_ctzll(heap.untaken));
        heap.untaken &= heap.untaken - 1;
        *heap.cursorbits |= std::uint64_t{1} << bit;
        // The slot after it is the one taken next: have it at hand by then.
        if (heap.untaken != 0)
            __builtin_prefetch(heap.cursorslots + sizeof(variable) * __builtin_ctzll(heap.untaken), 1);
        return heap.cursorslots + sizeof(variable) * bit;
    }
    return takevariableslotslow(heap);
}
// Deletes every variable the collector did not mark and clears the marks of the others; returns
// how many are left.
std::size_t sweepheap();
std::size_t heapsize();  // number of live variables
std::size_t methodcount(methodkind kind);
// An object of the machine's own that stands in for the method `name` a value's unmade table of
// `kind` would make on its lookup: the same native, kind and parts. Its receiver and name are set
// by its user. Null when the table has no such method.
variable* standinmethod(methodkind kind, const std::string& name);
// Objects of the machine's own that the collector keeps whether or not anything refers to them.
void pinvariable(variable* value);

void collectgarbage();  // only at a safe point between instruction steps
void heaplimitreached();  // reports that the live values take more than the cap
// The pace of a machine that has collected nothing yet.
collectionpace initialpace(std::size_t heaplimit);

}  // namespace T4VM
