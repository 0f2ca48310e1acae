// The heap behind getallocvar: every variable lives in a pool the collector sweeps and the
// machine's reset frees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vm/vm.h"

// Sanitizer builds give every variable an allocation of its own, so that every use after a free
// is caught; other builds take slots of the pool.
#if defined(__SANITIZE_ADDRESS__)
#define T4VM_POOLED_HEAP 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define T4VM_POOLED_HEAP 0
#endif
#endif
#ifndef T4VM_POOLED_HEAP
#define T4VM_POOLED_HEAP 1
#endif

namespace T4VM {

variable* allocatevariable(std::uint64_t seq);  // a default variable with the given creation number
// Deletes every variable the collector did not mark and clears the marks of the others; returns
// how many are left.
std::size_t sweepheap();
void freeheap();         // deletes every variable; only between runs
void resetfactory();     // creation numbers start again, nothing is pinned; only between runs
std::size_t heapsize();  // number of live variables
std::size_t methodcount(methodkind kind);
// Objects of the machine's own that the collector keeps whether or not anything refers to them.
void pinvariable(variable* value);
const std::vector<variable*>& pinnedvariables();

// What has been made since the last collection, and how much of it makes the next one due. Read
// after every instruction step, so it is kept where the check inlines.
struct collectionpace {
    std::size_t allocations;
    std::size_t threshold;
    std::size_t storagebytes;  // texts and container storage
    std::size_t storagethreshold;
};
extern collectionpace pace;

inline void noteallocation() { ++pace.allocations; }  // counts towards the next collection
// So do the bytes of texts and of the storage of lists and dictionaries, which may be large while
// their objects are few.
inline void notetextbytes(std::size_t bytes) { pace.storagebytes += bytes; }
inline void notestoragebytes(std::size_t bytes) { pace.storagebytes += bytes; }
#ifdef T4VM_GC_STRESS
// Test builds collect at every Nth safe point, so a root the collector misses shows up at once.
inline bool collectiondue() {
    static unsigned safepoints = 0;
    return ++safepoints % T4VM_GC_STRESS == 0;
}
#else
inline bool collectiondue() { return pace.allocations >= pace.threshold || pace.storagebytes >= pace.storagethreshold; }
#endif
void collectgarbage();      // only at a safe point between instruction steps
void resetcollector();

}  // namespace T4VM
