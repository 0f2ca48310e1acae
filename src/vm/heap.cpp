// Where variables live: a pool of equal-sized slots, and the sweep that frees every variable the
// collector did not reach.
//
// Slots come in large chunks. Each chunk begins with a bitmap of the slots that hold a variable, so
// neither a free slot nor the list of live objects takes any room of its own: making a variable
// takes the first free slot in address order, and the sweep walks the bitmaps, touching only
// objects that were alive. The objects made next therefore lie side by side, and the sweep reads
// memory as a stream instead of jumping from object to object. Sanitizer builds give every
// variable its own allocation instead (so every use after a free is caught) and keep a list of them
// to sweep.
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "vm/heap.h"

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

struct chunk {
    std::uint64_t live[bitmapwords];  // bit i of word w: slot 64 * w + i holds a variable
    alignas(headerbytes) unsigned char slots[chunkslots][sizeof(variable)];
};
static_assert(sizeof(chunk) <= chunkbytes);

std::vector<chunk*> chunks;
std::size_t livevariables = 0;
// Where the search for a free slot stands: the bitmap word under the cursor, and which of its free
// slots are still to be taken. Every slot before the cursor holds a variable.
std::size_t cursorchunk = 0;
std::size_t cursorword = 0;
std::uint64_t* cursorbits = nullptr;
std::uint64_t untaken = 0;
unsigned char* cursorslots = nullptr;  // the word's first slot

void resetcursor() {
    cursorchunk = 0;
    cursorword = 0;
    cursorbits = nullptr;
    untaken = 0;
}

// Sanitizer builds: every live variable. The list is never destroyed, so the objects stay reachable
// (and are not reported as leaks) while the process exits.
[[maybe_unused]] std::vector<variable*>& unpooledlist() {
    static auto* list = new std::vector<variable*>();
    return *list;
}

// The slots past the end of the last bitmap word do not exist: they count as taken.
constexpr std::uint64_t existing(std::size_t word) {
    const std::size_t slotsinword = word + 1 < bitmapwords ? 64 : chunkslots - 64 * word;
    return slotsinword == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << slotsinword) - 1;
}

// Aligned for huge pages too: a heap of millions of objects then costs the process a few hundred
// page faults rather than hundreds of thousands.
void refill() {
    void* memory = std::aligned_alloc(chunkbytes, chunkbytes);
    if (memory == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(memory, chunkbytes, MADV_HUGEPAGE);
#endif
    auto* block = static_cast<chunk*>(memory);
    std::fill(std::begin(block->live), std::end(block->live), std::uint64_t{0});
    chunks.push_back(block);
}

// Moves the cursor to the next bitmap word with a free slot, adding a chunk when there is none.
void advancecursor() {
    for (;;) {
        if (cursorbits != nullptr) ++cursorword;  // the word under the cursor is used up
        if (cursorword == bitmapwords) {
            ++cursorchunk;
            cursorword = 0;
        }
        if (cursorchunk == chunks.size()) refill();
        chunk& block = *chunks[cursorchunk];
        cursorbits = &block.live[cursorword];
        cursorslots = block.slots[64 * cursorword];
        untaken = ~*cursorbits & existing(cursorword);
        if (untaken != 0) return;
    }
}

void* takeslot() {
    if (untaken == 0) advancecursor();
    const unsigned bit = static_cast<unsigned>(__builtin_ctzll(untaken));
    untaken &= untaken - 1;
    *cursorbits |= std::uint64_t{1} << bit;
    // The slot after it is the one taken next: have it at hand by then.
    if (untaken != 0) __builtin_prefetch(cursorslots + sizeof(variable) * __builtin_ctzll(untaken), 1);
    return cursorslots + sizeof(variable) * bit;
}

}  // namespace

void* variable::operator new(std::size_t size) {
    ++livevariables;
    if constexpr (!pooled) {
        void* memory = ::operator new(size);
        unpooledlist().push_back(static_cast<variable*>(memory));
        return memory;
    }
    return takeslot();
}

void variable::operator delete(void* memory) noexcept {
    --livevariables;
    if constexpr (!pooled) {
        ::operator delete(memory);  // its entry in the list is dropped by the sweep or freeheap
        return;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(memory);
    auto* block = reinterpret_cast<chunk*>(address & ~(chunkbytes - 1));
    const std::size_t index = (address - reinterpret_cast<std::uintptr_t>(block->slots)) / sizeof(variable);
    block->live[index / 64] &= ~(std::uint64_t{1} << (index % 64));
    // Only the sweep and the reset delete variables; both start the search for free slots over.
}

std::size_t sweepheap() {
    if constexpr (!pooled) {
        auto& unpooled = unpooledlist();
        std::size_t kept = 0;
        for (variable* value : unpooled) {
            if (value->gcmarked) {
                value->gcmarked = false;
                unpooled[kept++] = value;
            } else {
                delete value;
            }
        }
        unpooled.resize(kept);
        return kept;
    }
    for (chunk* block : chunks) {
        for (std::size_t word = 0; word < bitmapwords; ++word) {
            std::uint64_t bits = block->live[word];
            std::uint64_t kept = bits;
            while (bits != 0) {
                const unsigned bit = static_cast<unsigned>(__builtin_ctzll(bits));
                bits &= bits - 1;
                auto* value = reinterpret_cast<variable*>(block->slots[64 * word + bit]);
                if (value->gcmarked) {
                    value->gcmarked = false;
                } else {
                    value->~variable();
                    kept &= ~(std::uint64_t{1} << bit);
                    --livevariables;
                }
            }
            block->live[word] = kept;
        }
    }
    resetcursor();
    return livevariables;
}

void freeheap() {
    if constexpr (!pooled) {
        auto& unpooled = unpooledlist();
        for (variable* value : unpooled) delete value;
        unpooled.clear();
        unpooled.shrink_to_fit();
        return;
    }
    for (chunk* block : chunks) {
        for (std::size_t word = 0; word < bitmapwords; ++word)
            for (std::uint64_t bits = block->live[word]; bits != 0; bits &= bits - 1)
                reinterpret_cast<variable*>(block->slots[64 * word + static_cast<unsigned>(__builtin_ctzll(bits))])
                    ->~variable();
        std::free(block);
    }
    chunks.clear();
    chunks.shrink_to_fit();
    livevariables = 0;
    resetcursor();
}

std::size_t heapsize() { return livevariables; }

}  // namespace T4VM
