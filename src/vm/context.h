// Execution contexts: the stacks and frames of the main program or of a task, and the machine-state
// aliases through which all code reaches the context the calling thread is bound to.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "vm/value.h"

namespace T4VM {

struct decodedbody;

// A code frame: the code being run and the position of its next byte. Reading a byte advances
// the position; the remaining bytes are the frame's content, which error reports show. The machine
// runs the decoded form of the code and keeps the position in step with it.
struct codeframe {
    codeblock code;
    std::size_t pc = 0;
    // The instruction that starts at pc, in the decoded form of the code (when there is one).
    std::uint32_t ip = 0;
    // How deep the call trace was when the frame opened, its own entry included: the entries above
    // it belong to calls this frame is making (a native, a class whose init runs).
    std::uint32_t tracedepth = 0;
    const decodedbody* body = nullptr;

    bool empty() const { return pc >= code.size(); }
    std::size_t remaining() const { return code.size() - pc; }
    byte top() const { return code[pc]; }
    void pop() { ++pc; }
};

struct descrecord {
    std::int32_t count;
    std::string name;
};

// Work a block instruction or a constructor call left to do when the frame it opened closes.
// Recorded in the context instead of running nested execution cycles, so the C++ stack never
// grows with the program's depth and no context runs past an unfinished instruction of its own.
struct continuation {
    enum class kind : std::uint8_t { ifblock, whileblock, foreachblock, construct };
    explicit continuation(kind k) : what(k) {}
    kind what;
    std::size_t depth = 0;  // the code stack depth at which the opened frame has closed
    variable* block = nullptr;
    framemap working;  // W of a while or for-each loop
    listelements items;  // for-each items, collected before the first iteration
    std::size_t next = 0;
    // The object a for-each loop binds in place of the item when the item is a kept number (see
    // shortcut::standinelement); null when the loop makes the items' objects.
    variable* standin = nullptr;
    variable* instance = nullptr;  // the instance a constructor call builds
    // Where the loop's frames hold "self" and "ELEMENT", as last found there.
    std::uint32_t selfhint = 0;
    std::uint32_t elementhint = 0;
};

using bytestack = std::vector<byte>;  // back() is the top
// A stack of objects: the data stack, the object scopes, the call trace, the stash. Pushing is the
// commonest thing the machine does, so a push is a store and a count kept small enough to inline
// everywhere; growing is out of line. The storage is always filled to its end, so only the count
// moves, and the entries past it are stale (nothing looks at them).
class varstack {
public:
    using value_type = variable*;
    using iterator = variable**;
    using const_iterator = variable* const*;

    void push_back(variable* value) {
        if (count == store.size()) [[unlikely]]
            grow(count + 1);
        store[count++] = value;
    }
    void pop_back() { --count; }
    variable*& back() { return store[count - 1]; }
    variable* back() const { return store[count - 1]; }
    bool empty() const { return count == 0; }
    std::size_t size() const { return count; }
    void clear() { count = 0; }
    void resize(std::size_t wanted) {
        if (wanted > store.size()) grow(wanted);
        for (std::size_t i = count; i < wanted; ++i) store[i] = nullptr;
        count = wanted;
    }
    variable*& operator[](std::size_t index) { return store[index]; }
    variable* operator[](std::size_t index) const { return store[index]; }
    iterator begin() { return store.data(); }
    iterator end() { return store.data() + count; }
    const_iterator begin() const { return store.data(); }
    const_iterator end() const { return store.data() + count; }

private:
    [[gnu::noinline]] void grow(std::size_t wanted) { store.resize(std::max<std::size_t>({wanted, 2 * store.size(), 16})); }

    std::vector<variable*> store;
    std::size_t count = 0;
};
// No instruction touches its own code frame or variable frame after it has opened another, so
// frames may move when their stack grows.
using framestack = std::vector<framemap>;
using codestacktype = std::vector<codeframe>;
using descriptorlist = std::deque<descrecord>;

// One execution context: the main program's or a task's. Contexts live as long as their machine,
// at a fixed address, whether or not they are scheduled.
struct context {
    bool hasdescriptor = false;
    bool returned = false;
    bytestack descriptor;
    descriptorlist _FDESC;
    varstack memory;
    std::vector<framemap> savlvar;
    codestacktype codestack;
    varstack calltrace;
    varstack datastack;
    varstack callstack;
    framestack databasestack;
    framemap lastdeldatabase;
    std::vector<continuation> pending;  // innermost last
};

struct machine;

// What the calling thread works on: a machine, and the context of it that the machine-state
// aliases name. Every thread that runs a machine binds it first (machinebinding); several
// machines can so live in one process, each thread running its own.
struct threadbinding {
    machine* vm = nullptr;
    context* bound = nullptr;
};
extern thread_local constinit threadbinding thisthread;

inline context* boundcontext() { return thisthread.bound; }

// A machine-state alias: the field of that name of the context bound on the calling thread.
// Switching contexts rebinds them all at once; nothing is copied.
template <typename T, T context::*field>
struct contextalias {
    T& get() const { return thisthread.bound->*field; }
    operator T&() const { return get(); }  // NOLINT: an alias reads like the field itself
    T* operator->() const { return &get(); }
    const contextalias& operator=(const T& value) const {
        get() = value;
        return *this;
    }
};

inline constexpr contextalias<varstack, &context::memory> memory{};
inline constexpr contextalias<std::vector<framemap>, &context::savlvar> savlvar{};
inline constexpr contextalias<codestacktype, &context::codestack> codestack{};
inline constexpr contextalias<varstack, &context::calltrace> calltrace{};
inline constexpr contextalias<varstack, &context::datastack> datastack{};
inline constexpr contextalias<varstack, &context::callstack> callstack{};
inline constexpr contextalias<framestack, &context::databasestack> databasestack{};
inline constexpr contextalias<framemap, &context::lastdeldatabase> lastdeldatabase{};
inline constexpr contextalias<bool, &context::hasdescriptor> hasdescriptor{};
inline constexpr contextalias<bytestack, &context::descriptor> descriptor{};
inline constexpr contextalias<descriptorlist, &context::_FDESC> _FDESC{};
inline constexpr contextalias<bool, &context::returned> returned{};

// Makes `newcontext` the context the aliases name.
void swapcontext(context* newcontext);


}  // namespace T4VM
