// A machine: everything a run of a program changes, in one object. The heap and the collector's
// pace, the contexts and the table of runnable ones, the globals and the program root, the streams
// and files, the limits it was given and the caches of the interpreter all live here, so several
// machines can run in one process, each on the thread it is bound to.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vm/context.h"
#include "vm/heap.h"
#include "vm/native.h"
#include "vm/sandbox.h"
#include "vm/value.h"

namespace T4VM {

struct outstream;
struct instream;
struct sourcemap;
class debughook;

// Limits no ordinary program reaches but a hostile one would: each is reported through `error`
// rather than left to exhaust the C++ stack or the process's memory.
inline constexpr std::size_t maxcodedepth = 1'000'000;  // nested code frames (calls and blocks)
inline constexpr std::size_t maxtextsize = 64u << 20;    // bytes of one text made by `add` or `str`
inline constexpr std::size_t maxheapbytes = 4ull << 30;  // live values after a collection

// The program root's attribute of a name, as last looked up: every load of a name looks at the
// root first. Names read from code are interned, so one place holds each; the result stands until
// some attribute map gains or loses a name.
struct rootlookup {
    const std::string* address = nullptr;
    std::string name;
    std::uint64_t shape = 0;
    const variable* root = nullptr;
    variable** slot = nullptr;  // null: the root has no attribute of that name
    bool interned = false;      // the name was interned: its address alone identifies it
};

struct machine {
    explicit machine(const sandboxconfig& limits = {});
    ~machine();
    machine(const machine&) = delete;
    machine& operator=(const machine&) = delete;

    // The heap, the factory and the collector.
    heapstate heap;
    collectionpace pace{};
    std::vector<variable*> markstack;  // kept between collections, as it can grow to millions
    std::vector<listelements::element*> markedvalues;  // likewise: dictionary values met as objects
    std::uint32_t collections = 0;
    std::size_t livebytes = 0;  // what the live values took at the last collection
    std::uint64_t nextseq = 1;         // the creation number of the next variable
    std::vector<variable*> pinned;
    std::vector<variable*> standinmethods;  // by method table entry (standinmethod), pinned
    // Copies in progress: the marks set, how deep they nest, how many objects they made.
    std::uint32_t markcount = 0;
    int copydepth = 0;
    std::size_t copiedobjects = 0;
    std::uint64_t shapechanges = 0;  // see noteshapechange
    std::uint64_t keychanges = 0;    // see notekeychange
    std::uint64_t reachedmark = 0;  // nextseq when the root's attributes or a frame's variables were last reached (notereached)

    // Contexts, the table of runnable ones, and what all of them share.
    std::vector<std::unique_ptr<context>> everycontext;
    context* maincontext = nullptr;
    context* boundcontext = nullptr;  // the context bound when the machine is not on a thread
    std::map<int, context*> threads;  // change it only through schedule and unschedule
    std::uint64_t schedulechanges = 0;  // how often the table has changed
    void schedule(int id, context* runnable) {
        threads[id] = runnable;
        ++schedulechanges;
        notealone();
    }
    void unschedule(int id) {
        threads.erase(id);
        ++schedulechanges;
        notealone();
    }
    // One context is runnable and no tool watches: the next step of this context comes right after
    // this one (see shortcutsallowed). Kept up to date by schedule, unschedule and attach.
    bool alone = false;
    void notealone() {
        alone = threads.size() == 1 && hook == nullptr;
        // Another context or a tool may hold any object from now on.
        reachedmark = nextseq;
    }
    std::map<std::string, variable*> globalvars;
    variable* progroot = nullptr;
    // The program image's code. Decoded instructions keep the function parts of the constants they
    // make, and those hold the code they come from, so the decoded bodies and the image's buffer
    // hold each other: the machine lets go of the bodies when it ends, and the buffer then goes too.
    codeblock image;
    std::uint32_t taskseed = 1;  // the generator of task ids

    // The end of a run.
    bool silent = false;
    bool noterminate = false;
    bool finished = false;  // the closing line has been written (matters only with noterminate)
    // The integer on top of the data stack when the program ended, shown or not by the closing line.
    std::optional<std::int32_t> closingcode;

    // The streams the machine and its programs talk through, and the files programs opened.
    // The process's standard streams unless whoever runs the machine gives it others.
    std::ostream* out;
    std::ostream* err;
    std::istream* in;
    std::vector<std::ostream*> openstreams;
    std::vector<std::unique_ptr<outstream>> outstreams;
    std::vector<std::unique_ptr<instream>> instreams;
    bool pipesignalignored = false;  // by the t4vm executable for this machine, not by a host

    // The limits for images nobody has vetted, and the steps taken against the budget.
    sandboxconfig sandbox;
    std::uint64_t stepstaken = 0;
    // Steps past this count take the watched way, which checks the budget and calls the hook: the
    // budget when there is one, no step while a hook is attached. So an ordinary step tests one
    // number for both.
    std::uint64_t unwatchedsteps = UINT64_MAX;

    // The interpreter's own: the object the last step made and pushed, the scratch numbers, and
    // names looked up or interned once.
    variable* freshresult = nullptr;
    std::array<variable*, 4> scratch{};
    std::size_t nextscratch = 0;
    std::array<variable*, 2> textscratch{};  // the same for text constants
    std::size_t nexttextscratch = 0;
    // The scratch object an arithmetic leaves its result in for the store to a local that follows,
    // and the creation number it took for the result's object (see resultforstore).
    variable* storescratch = nullptr;
    std::uint64_t storeseq = 0;
    // The scratch object a dictionary's value kept as a number is pushed in for a reader (see
    // shortcut::valueinscratch).
    variable* valuescratch = nullptr;
    bool stackoperandseen = false;
    std::array<rootlookup, 512> rootlookups{};
    const std::string* selfname = nullptr;
    const std::string* elementname = nullptr;
    std::vector<const std::string*> argnames;  // "arg0", "arg1", ...
    // The names of numbers kept in lists, by the number an element holds for its name
    // (src/vm/listelements.cpp); the first is the default name.
    std::vector<const std::string*> keptnames{&nametext::defaulttext()};
    std::unordered_map<const std::string*, std::uint32_t> keptnameids{{&nametext::defaulttext(), 0}};

    // The parts of the built-in methods' objects, one for each method of every table, shared by
    // every object made from it (src/vm/factory.cpp).
    std::vector<sharedvalue<functionparts>> methodparts;

    // Native objects kept for the machine's life (socket endpoints).
    std::vector<std::shared_ptr<void>> natives;

    // The image's source map, when one that fits lies beside it: reports then give the source
    // position of every call-trace entry. And the tool watching the run, if any (debughook.h).
    std::shared_ptr<const sourcemap> imagemap;
    debughook* hook = nullptr;  // set by attach
    // Attaches a hook to watch every step from now on (null detaches it).
    void attach(debughook* watcher);
};

// The machine bound to the calling thread.
inline machine& vm() { return *thisthread.vm; }

// Binds a machine to the calling thread for the binding's life, and gives the thread back what it
// was bound to before.
class machinebinding {
public:
    explicit machinebinding(machine& bound);
    ~machinebinding();
    machinebinding(const machinebinding&) = delete;
    machinebinding& operator=(const machinebinding&) = delete;

private:
    threadbinding previous;
};

inline void noteallocation() { vm().pace.noteobject(); }  // counts towards the next collection
// getallocvar on a machine the caller has at hand. Inline: arithmetic and copies make an object at
// nearly every step, and a call would cost a tenth of what the making does.
inline variable* getallocvar(machine& m) {
    auto* value = ::new (takevariableslot(m.heap)) variable;  // every field has its initial value in the class
    value->seq = m.nextseq++;
    m.pace.noteobject();
    return value;
}
// So do the bytes of texts and of the storage of lists and dictionaries, which may be large while
// their objects are few.
inline void notetextbytes(std::size_t bytes) { vm().pace.notestorage(bytes); }
inline void notestoragebytes(std::size_t bytes) { vm().pace.notestorage(bytes); }
#ifdef T4VM_GC_STRESS
// Test builds collect at every Nth safe point, so a root the collector misses shows up at once.
inline bool collectiondue(const machine& m) { return m.stepstaken % T4VM_GC_STRESS == 0; }
#else
inline bool collectiondue(const machine& m) { return m.pace.due; }
#endif

// The most bytes the live values of a run may take.
inline std::size_t heaplimit() { return vm().sandbox.heaplimit != 0 ? vm().sandbox.heaplimit : maxheapbytes; }

// Ends the run with a report: the step past the budget.
[[noreturn]] void budgetexhausted();

context* newcontext();
void execcycle();
// Runs up to `steps` cycles while the main program is the only runnable context.
void runsinglecontext(std::size_t steps);
// Reports a context missing a code frame, an object scope or a variable frame (and warns about an
// empty call trace) before an instruction runs.
void integrityfailure();
inline void integritycheck() {
    const context& bound = *boundcontext();
    if (bound.codestack.empty() || bound.callstack.empty() || bound.databasestack.empty() ||
        bound.calltrace.empty())
        integrityfailure();
}

// Start-up: the program root and its built-in globals on the bound machine.
void init();

// Open files registered so that every one still open is flushed when the program ends.
void registerstream(std::ostream* stream);
void unregisterstream(std::ostream* stream);
void flushstreams();
// Write out the files the program still has open, or the standard output, and give the report of
// the first write found to have failed since the last look ("" when none did). Each failure is
// given once.
std::string writeoutfiles();
std::string writeoutstdout();

}  // namespace T4VM
