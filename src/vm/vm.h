// The machine's chief header: the value class `variable`, the execution context, the machine-state
// aliases through which all code reaches the bound context, and the namespaces of the machine
// (T4VM), of the support operations for natives (T4VM::moduleapi) and of the core natives
// (T4VM::builtin).
#pragma once

#include <cstdint>
#include <deque>
#include <iosfwd>
#include <list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "vm/opcodes.h"

namespace T4VM {

using byte = std::uint8_t;

// ---------------------------------------------------------------------------------------------
// Rebindable reference. The twelve machine-state aliases are of this type: switching contexts
// rebinds them, nothing is copied.
template <typename T>
class ref_wrapper {
public:
    T* refpointer = nullptr;

    ref_wrapper() = default;
    explicit ref_wrapper(T& target) : refpointer(&target) {}

    void set(T& target) { refpointer = &target; }
    ref_wrapper& operator=(const T& value) {
        get() = value;
        return *this;
    }
    T& get() const {
        if (refpointer == nullptr) throw std::runtime_error("refpointer is NULL!");
        return *refpointer;
    }
    operator T&() const { return get(); }
    T* operator->() const { return &get(); }
};

// ---------------------------------------------------------------------------------------------
// Values

// The type identifiers. They are compared and shown as their texts ("BUILTIN_INT" ...); holding
// them as a small enumeration keeps every type test a single comparison.
enum class typeident : std::uint8_t {
    none,  // "" — a fresh value whose creator has not set the identifier yet
    builtin_int,
    builtin_float,
    builtin_string,
    builtin_pntr,
    builtin_list,
    builtin_dict,
    custom_func,
    builtin_module,
    custom_class,
    builtin_class,
    module_class,
    builtin_func,
};
const std::string& identname(typeident id);

class variable;
using varmap = std::map<std::string, variable*>;  // attributes and variable frames
using argmap = std::map<std::string, variable*>;  // "arg0", "arg1", ... and "self"

// Dictionary order follows the creation of the key objects (each object gets a sequence number
// when it is allocated), so every run of a program prints its dictionaries in the same order.
struct creationorder {
    bool operator()(const variable* a, const variable* b) const;
};
using dictmap = std::map<variable*, variable*, creationorder>;

// Code is immutable once decoded, so function values, their copies and the frames running them
// share one buffer of bytes in file order.
using codeblock = std::shared_ptr<const std::vector<byte>>;

// A native function: the receiver and the argument map.
using mfuncptr = void (*)(variable* self, const argmap& args);

// Native parameters remember what kind of native object they hold, so a method moved onto
// another object can never reinterpret one kind of native object as another.
enum class paramkind : std::uint8_t { instream, outstream, context, client, server };
struct nativeparam {
    paramkind kind;
    void* pointer;
};
using parammap = std::map<std::string, nativeparam>;

class variable {
public:
    typeident identifier = typeident::none;
    std::string name = "Unnamed Variable";
    bool ismodule = false;
    varmap attributes;
    variable* self = nullptr;
    std::int32_t intval = 0;
    float floatval = 0.0f;
    std::string stringval;
    dictmap dictval;
    std::list<variable*> listval;
    codeblock funccode;  // null for an empty body
    mfuncptr modulefunc = nullptr;
    parammap moduleparams;
    variable* pntrval = nullptr;
    bool alreadycopied = false;

    // Machine bookkeeping, never copied by assignment.
    std::uint64_t seq = 0;        // creation order, assigned by getallocvar
    std::uint32_t copyentry = 0;  // non-zero while this object's getcopy is in progress
    bool printing = false;        // true while getstring is inside this container

    variable() = default;
    variable(const variable&) = default;
    variable& operator=(const variable& other);

    variable* getpointer();
    variable* getcopy();
    variable* getvar();
    bool operator==(const variable& other) const;
    std::int32_t getint();
    float getfloat();
    std::string getstring(bool quot);

    bool isvaluetype() const {
        return identifier == typeident::builtin_int || identifier == typeident::builtin_float ||
               identifier == typeident::builtin_string || identifier == typeident::builtin_pntr;
    }
    std::size_t codesize() const { return funccode ? funccode->size() : 0; }
};

template <typename I>
bool contains(const std::vector<I>& target, const I& element) {
    for (const auto& e : target)
        if (e == element) return true;
    return false;
}

// The one door through which every variable is made (copies included).
variable* getallocvar(const std::string& type);
variable* getmodulevar(mfuncptr target);
variable* getcustomfuncvar(mfuncptr target);  // "CUSTOM_FUNC" native function object
void initstringvar(variable& target);
void initpntrvar(variable& target);
void initlistvar(variable& target);
void initdictvar(variable& target);
// Helpers for natives: new values of the common types.
variable* newint(std::int32_t value);
variable* newfloat(float value);
variable* newstring(std::string value);
variable* newlist();

// ---------------------------------------------------------------------------------------------
// Code frames and execution contexts

// A code frame: the code being run and the position of its next byte. Reading a byte advances
// the position; the remaining bytes are the frame's content.
struct codeframe {
    codeblock code;
    std::size_t pc = 0;

    bool empty() const { return !code || pc >= code->size(); }
    std::size_t remaining() const { return code ? code->size() - pc : 0; }
    byte top() const { return (*code)[pc]; }
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
    varmap working;  // W of a while or for-each loop
    std::vector<variable*> items;  // for-each items, collected before the first iteration
    std::size_t next = 0;
    variable* instance = nullptr;  // the instance a constructor call builds
};

using bytestack = std::vector<byte>;  // back() is the top
using varstack = std::vector<variable*>;
using framestack = std::deque<varmap>;
using codestacktype = std::deque<codeframe>;  // frames keep their address while others are pushed
using descriptorlist = std::deque<descrecord>;

struct context {
    bool hasdescriptor = false;
    bool returned = false;
    std::unique_ptr<bytestack> descriptor = std::make_unique<bytestack>();
    std::unique_ptr<descriptorlist> _FDESC = std::make_unique<descriptorlist>();
    std::unique_ptr<varstack> memory = std::make_unique<varstack>();
    std::unique_ptr<std::vector<varmap>> savlvar = std::make_unique<std::vector<varmap>>();
    std::unique_ptr<codestacktype> codestack = std::make_unique<codestacktype>();
    std::unique_ptr<varstack> calltrace = std::make_unique<varstack>();
    std::unique_ptr<varstack> datastack = std::make_unique<varstack>();
    std::unique_ptr<varstack> callstack = std::make_unique<varstack>();
    std::unique_ptr<framestack> databasestack = std::make_unique<framestack>();
    std::unique_ptr<varmap> lastdeldatabase = std::make_unique<varmap>();
    std::vector<continuation> pending;  // innermost last
};

// ---------------------------------------------------------------------------------------------
// Process-wide machine state

extern std::map<std::string, variable*> globalvars;
extern variable* progroot;
extern context* maincontext;
extern context* boundcontext;  // the context the aliases point into
extern std::map<int, context*> threads;
extern bool silent;
extern bool noterminate;

extern ref_wrapper<varstack> memory;
extern ref_wrapper<std::vector<varmap>> savlvar;
extern ref_wrapper<codestacktype> codestack;
extern ref_wrapper<varstack> calltrace;
extern ref_wrapper<varstack> datastack;
extern ref_wrapper<varstack> callstack;
extern ref_wrapper<framestack> databasestack;
extern ref_wrapper<varmap> lastdeldatabase;
extern ref_wrapper<bool> hasdescriptor;
extern ref_wrapper<bytestack> descriptor;
extern ref_wrapper<descriptorlist> _FDESC;
extern ref_wrapper<bool> returned;

// The streams the machine and its programs talk through: the process's standard streams, or
// string streams when the machine runs embedded.
extern std::ostream* vmout;
extern std::ostream* vmerr;
extern std::istream* vmin;

// How deep calls, blocks and constructors may nest before the program is stopped.
inline constexpr std::size_t maxcodedepth = 1'000'000;

context* newcontext();
void swapcontext(context* newcontext);
void execcycle();
void integritycheck();
void resetmachine();

// Program end and failures. Both write their text, then end the run: the process under main, the
// embedding entry point otherwise. With `noterminate` set they return instead.
void exitprogram();
void error(const std::string& target, bool ismodule);

// Thrown by exitprogram and error to unwind to whoever runs the machine.
struct machinestop {
    int status;
};
// Thrown after an error report that returned (only with `noterminate`): the instruction that met
// the failure ends there and never uses the value that was missing.
struct instructionabort {};
// Reports through error and never comes back to the caller.
[[noreturn]] void fail(const std::string& target, bool ismodule);

// Operands and instructions
variable* getop(codeframe& bytes);
bool inrange(byte min, byte max, byte value);
void execinstruction(codeframe& bytes);
float doarithmetic(float a, float b, char op);
// Reads a name operand: the text of whatever operand follows.
std::string getname(codeframe& bytes);
bool docomparisment(double a, double b, int mode);
template <typename T>
T logical_nor(T a, T b) {
    return (a == 0 && b == 0) ? 1 : 0;
}

// Calls and blocks
void callfunc(int argnum, argmap targs);
void exitoutoffunc();
void standalonefunccall(variable* target, argmap args, variable* self, continuation pending);
void resumepending();

// Start-up
void init();
struct runresult {
    std::string out;
    std::string err;
    int status = 0;
};
int runmain(int argc, char** argv);
// Embedding entry point: runs one image with the given extra arguments (after the image path)
// and standard input, capturing its output; the machine is reset before and after.
runresult runimage(const std::vector<byte>& image, const std::vector<std::string>& args = {},
                   const std::string& input = "", const std::string& imagepath = "");

// Open files registered so that every one still open is flushed when the program ends.
void registerstream(std::ostream* stream);
void unregisterstream(std::ostream* stream);
void flushstreams();

// ---------------------------------------------------------------------------------------------
namespace moduleapi {

variable* gettopvar();
void goout();
void gointo(variable* target);
variable* getattribute(variable* target, const std::string& name);
variable* getarg(const argmap& args, const std::string& target);
variable* Lgetindex(std::list<variable*>& L, std::int32_t index);
void Lsetindex(std::list<variable*>& L, std::int32_t index, variable* val);
variable* varconv(variable& target, const std::string& newtype);
bool Dcontains(const dictmap& D, const variable& element);
variable* Dgetindex(const dictmap& D, variable& index);
void Dsetindex(dictmap& D, variable* key, variable* val);
variable* Duplicatevar(variable* target);
variable& gettargetpntr(variable* target);
variable* getlocalvar(const std::string& target);
variable* getglobalvar(const std::string& target);

// The kind a native object of type T is stored under; specialised beside each native type.
template <typename T>
struct paramkindof;

template <typename T>
T& getparam(const parammap& params, const std::string& target) {
    auto it = params.find(target);
    if (it == params.end() || it->second.kind != paramkindof<T>::value) {
        fail("No such param: " + target, true);
    }
    return *static_cast<T*>(it->second.pointer);
}

}  // namespace moduleapi

// ---------------------------------------------------------------------------------------------
namespace builtin {

// strings, pointers, lists, dictionaries
void strget(variable* self, const argmap& args);
void strsub(variable* self, const argmap& args);
void pntrget(variable* self, const argmap& args);
void pntrset(variable* self, const argmap& args);
void Lgetatindex(variable* self, const argmap& args);
void Lsetatindex(variable* self, const argmap& args);
void Lappend(variable* self, const argmap& args);
void Lcontains(variable* self, const argmap& args);
void Lfind(variable* self, const argmap& args);
void Lerase(variable* self, const argmap& args);
void Lsize(variable* self, const argmap& args);
void Dgetindex(variable* self, const argmap& args);
void Dsetindex(variable* self, const argmap& args);
void Dcontains(variable* self, const argmap& args);
void Dgetkeys(variable* self, const argmap& args);
void Dgetvalues(variable* self, const argmap& args);
void Dsize(variable* self, const argmap& args);

}  // namespace builtin

}  // namespace T4VM
