// What values share: parts held once for every value that holds the same until one of them
// writes, and the pools of blocks the commonest small parts come from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

// Sanitizer builds give every variable and every shared part an allocation of its own, so that
// every use after a free is caught; other builds take them from pools.
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

// Blocks of one size, kept for reuse by the thread that freed them. A block freed on another
// thread than it was taken on simply moves to that thread's list. A list grows to the most blocks
// its thread had in use at once, and goes back to the system when the thread ends.
template <std::size_t size>
struct blockpool {
    static_assert(size >= sizeof(void*));
    struct freelist {
        void* first = nullptr;
        ~freelist() {
            while (first != nullptr) {
                void* next = *static_cast<void**>(first);
                ::operator delete(first);
                first = next;
            }
        }
    };
    static inline thread_local freelist freed;
    static void* take() {
        if (!T4VM_POOLED_HEAP || freed.first == nullptr) return ::operator new(size);
        void* block = freed.first;
        freed.first = *static_cast<void**>(block);
        return block;
    }
    static void give(void* block) noexcept {
        if (!T4VM_POOLED_HEAP) return ::operator delete(block);
        *static_cast<void**>(block) = freed.first;
        freed.first = block;
    }
};

// The empty value an unmade part of a value reads as (src/vm/value.cpp).
template <typename T>
const T& emptyof();

// A part of a value shared by every value that holds the same until one of them writes: a load of a
// string (which copies it) costs the same for a megabyte as for a byte, and the function objects a
// block instruction makes each time it runs share one body. Values of one machine only ever share
// it, and a machine runs on one thread at a time, so the count is plain.
template <typename T>
class sharedvalue {
public:
    struct holder {
        std::uint32_t refs = 1;
        std::uint32_t counted = 0;  // the collection that last counted its bytes
        T value;
        // A holder is made for nearly every text a program computes, and dropped with it.
        static void* operator new(std::size_t) { return blockpool<sizeof(holder)>::take(); }
        static void operator delete(void* block) noexcept { blockpool<sizeof(holder)>::give(block); }
    };

    sharedvalue() = default;
    sharedvalue(const sharedvalue& other) : held(other.held) {
        if (held != nullptr) ++held->refs;
    }
    sharedvalue& operator=(const sharedvalue& other) {
        if (other.held != nullptr) ++other.held->refs;
        release();
        held = other.held;
        return *this;
    }
    sharedvalue& operator=(T value) {
        if (held != nullptr && held->refs == 1) {
            held->value = std::move(value);
        } else {
            release();
            held = new holder{1, 0, std::move(value)};
        }
        return *this;
    }
    ~sharedvalue() { release(); }

    bool made() const { return held != nullptr; }
    const T& get() const { return held != nullptr ? held->value : emptyof<T>(); }
    // The value to write: the holder's own, copied first when others share it.
    T& mut() {
        if (held == nullptr) {
            held = new holder;
        } else if (held->refs > 1) {
            --held->refs;
            held = new holder{1, 0, held->value};
        }
        return held->value;
    }
    operator const T&() const { return get(); }  // NOLINT: reads take the value as it is
    std::size_t size() const { return get().size(); }
    bool empty() const { return held == nullptr || held->value.empty(); }
    // For the collector, which counts shared bytes once however many values share them.
    holder* shared() const { return held; }
    friend bool operator==(const sharedvalue& a, const sharedvalue& b) {
        return a.held == b.held || a.get() == b.get();
    }

private:
    void release() {
        if (held != nullptr && --held->refs == 0) delete held;
        held = nullptr;
    }
    holder* held = nullptr;
};

}  // namespace T4VM
