// Where variables live: a pool of equal-sized slots, and the sweep that frees every variable the
// collector did not reach.
//
// Slots come in large chunks. Each chunk begins with a bitmap of the slots that hold a variable, so
// neither a free slot nor the list of live objects takes any room of its own: making a variable
// takes the first free slot in address order, and the sweep walks the bitmaps, touching only
// objects that were alive. The objects made next therefore lie side by side, and the sweep reads
// memory as a stream instead of jumping from object to object. Sanitizer builds give every
// variable its own allocation instead (so every use after a free is caught) and keep a list of them
// to sweep. Each machine has a heap of its own.
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "vm/heap.h"
#include "vm/machine.h"

namespace T4VM {

// Every object of a program is one of these: keep them small.
static_assert(sizeof(attrmap) == 16);
static_assert(sizeof(variable) <= 96);

namespace {

constexpr bool pooled = T4VM_POOLED_HEAP;

// A chunk is aligned to its own size, so the chunk of any slot is found from its address alone.
constexpr std::size_t chunkbytes = 8u << 20;
constexpr std::size_t headerbytes = 16384;
constexpr std::size_t chunkslots = (chunkbytes - headerbytes) / sizeof(variable);
constexpr std::size_t bitmapwords = (chunkslots + 63) / 64;
static_assert(bitmapwords * sizeof(std::uint64_t) <= headerbytes);

}  // namespace

struct chunk {
    std::uint64_t live[bitmapwords];  // bit i of word w: slot 64 * w + i holds a variable
    alignas(headerbytes) unsigned char slots[chunkslots][sizeof(variable)];
};
static_assert(sizeof(chunk) <= chunkbytes);

namespace {

// The slots past the end of the last bitmap word do not exist: they count as taken.
constexpr std::uint64_t existing(std::size_t word) {
    const std::size_t slotsinword = word + 1 < bitmapwords ? 64 : chunkslots - 64 * word;
    return slotsinword == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << slotsinword) - 1;
}

// Aligned for huge pages too: a heap of millions of objects then costs the process a few hundred
// page faults rather than hundreds of thousands.
void refill(heapstate& heap) {
    void* memory = std::aligned_alloc(chunkbytes, chunkbytes);
    if (memory == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(memory, chunkbytes, MADV_HUGEPAGE);
#endif
    auto* block = static_cast<chunk*>(memory);
    std::fill(std::begin(block->live), std::end(block->live), std::uint64_t{0});
    heap.chunks.push_back(block);
}

// Moves the cursor to the next bitmap word with a free slot, adding a chunk when there is none.
void advancecursor(heapstate& heap) {
    for (;;) {
        if (heap.cursorbits != nullptr) ++heap.cursorword;  // the word under the cursor is used up
        if (heap.cursorword == bitmapwords) {
            ++heap.cursorchunk;
            heap.cursorword = 0;
        }
        if (heap.cursorchunk == heap.chunks.size()) refill(heap);
        chunk& block = *heap.chunks[heap.cursorchunk];
        heap.cursorbits = &block.live[heap.cursorword];
        heap.cursorslots = block.slots[64 * heap.cursorword];
        heap.untaken = ~*heap.cursorbits & existing(heap.cursorword);
        if (heap.untaken != 0) return;
    }
}

void* takeslot(heapstate& heap) {
    if (heap.untaken == 0) advancecursor(heap);
    return takevariableslot(heap);  // a slot is now free under the cursor
}

// After a sweep every slot may be free again: the search starts over.
void resetcursor(heapstate& heap) {
    heap.cursorchunk = 0;
    heap.cursorword = 0;
    heap.cursorbits = nullptr;
    heap.untaken = 0;
}

}  // namespace

void* takevariableslotslow(heapstate& heap) {
    if constexpr (!pooled) {
        ++heap.livevariables;
        void* memory = ::operator new(sizeof(variable));
        heap.unpooled.push_back(static_cast<variable*>(memory));
        return memory;
    }
    return takeslot(heap);
}

void* variable::operator new(std::size_t) { return takevariableslot(vm().heap); }

void variable::operator delete(void* memory) noexcept {
    --vm().heap.livevariables;
    if constexpr (!pooled) {
        ::operator delete(memory);  // its entry in the list is dropped by the sweep
        return;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(memory);
    auto* block = reinterpret_cast<chunk*>(address & ~(chunkbytes - 1));
    const std::size_t index = (address - reinterpret_cast<std::uintptr_t>(block->slots)) / sizeof(variable);
    block->live[index / 64] &= ~(std::uint64_t{1} << (index % 64));
    // Only the sweep deletes variables, and it starts the search for free slots over.
}

std::size_t sweepheap() {
    heapstate& heap = vm().heap;
    if constexpr (!pooled) {
        std::size_t kept = 0;
        for (variable* value : heap.unpooled) {
            if (value->gcmarked) {
                value->gcmarked = false;
                value->gcshared = false;
                heap.unpooled[kept++] = value;
            } else {
                delete value;
            }
        }
        heap.unpooled.resize(kept);
        return kept;
    }
    for (chunk* block : heap.chunks) {
        for (std::size_t word = 0; word < bitmapwords; ++word) {
            std::uint64_t bits = block->live[word];
            std::uint64_t kept = bits;
            while (bits != 0) {
                const unsigned bit = static_cast<unsigned>(__builtin_ctzll(bits));
                bits &= bits - 1;
                auto* value = reinterpret_cast<variable*>(block->slots[64 * word + bit]);
                if (value->gcmarked) {
                    value->gcmarked = false;
                    value->gcshared = false;
                } else {
                    value->~variable();
                    kept &= ~(std::uint64_t{1} << bit);
                    --heap.livevariables;
                }
            }
            block->live[word] = kept;
        }
    }
    resetcursor(heap);
    return heap.livevariables;
}

// Runs as its machine goes away, maybe bound to no thread: nothing here may look for the bound
// machine, so the variables are destroyed and their memory given back directly.
heapstate::~heapstate() {
    if constexpr (!pooled) {
        for (variable* value : unpooled) {
            value->~variable();
            ::operator delete(value);
        }
        return;
    }
    for (chunk* block : chunks) {
        for (std::size_t word = 0; word < bitmapwords; ++word)
            for (std::uint64_t bits = block->live[word]; bits != 0; bits &= bits - 1)
                reinterpret_cast<variable*>(block->slots[64 * word + static_cast<unsigned>(__builtin_ctzll(bits))])
                    ->~variable();
        std::free(block);
    }
}

std::size_t heapsize() { return vm().heap.livevariables; }

}  // namespace T4VM
