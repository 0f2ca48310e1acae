// A growable array of plain data (values copied by their bytes), kept in one block that grows with
// realloc. A long list of numbers grows in place wherever the allocator can extend its block (for
// large blocks it remaps the pages), so its growth copies nothing it already holds and touches no
// page twice; a vector would copy every element into fresh memory at each doubling.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace T4VM {

template <typename T>
class plainarray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "the array moves its elements by their bytes");

public:
    plainarray() = default;
    plainarray(const plainarray& other) {
        reserve(other.count);
        if (other.count != 0) std::memcpy(items, other.items, other.count * sizeof(T));
        count = other.count;
    }
    plainarray& operator=(const plainarray& other) {
        if (this != &other) {
            count = 0;
            reserve(other.count);
            if (other.count != 0) std::memcpy(items, other.items, other.count * sizeof(T));
            count = other.count;
        }
        return *this;
    }
    plainarray(plainarray&& other) noexcept : items(other.items), count(other.count), room(other.room) {
        other.items = nullptr;
        other.count = other.room = 0;
    }
    plainarray& operator=(plainarray&& other) noexcept {
        if (this != &other) {
            std::free(items);
            items = other.items;
            count = other.count;
            room = other.room;
            other.items = nullptr;
            other.count = other.room = 0;
        }
        return *this;
    }
    ~plainarray() { std::free(items); }

    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    std::size_t capacity() const { return room; }
    T& operator[](std::size_t index) { return items[index]; }
    const T& operator[](std::size_t index) const { return items[index]; }
    T* begin() { return items; }
    T* end() { return items + count; }
    const T* begin() const { return items; }
    const T* end() const { return items + count; }

    void push_back(const T& value) {
        if (count == room) [[unlikely]]
            resizeto(std::max<std::size_t>({count + 1, 2 * room, 4}));
        items[count++] = value;
    }
    void reserve(std::size_t wanted) {
        if (wanted > room) resizeto(wanted);
    }
    // The elements after `index` move down by one.
    void erase(std::size_t index) {
        std::memmove(items + index, items + index + 1, (count - index - 1) * sizeof(T));
        --count;
    }

private:
    void resizeto(std::size_t wanted) {
        void* grown = std::realloc(items, wanted * sizeof(T));
        if (grown == nullptr) throw std::bad_alloc();
        items = static_cast<T*>(grown);
        room = wanted;
    }

    T* items = nullptr;
    std::size_t count = 0;
    std::size_t room = 0;
};

}  // namespace T4VM
