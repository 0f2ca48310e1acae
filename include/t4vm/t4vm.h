// The T4VM embedding library: run program images inside a host program, give them modules of
// host functions, and keep images the host does not trust within limits.
//
// This header is the whole interface; it includes nothing of the machine's own sources. With
// CMake: find_package(T4VM REQUIRED) and target_link_libraries(host PRIVATE T4VM::t4vm).
//
//     t4vm::machine vm;
//     vm.addmodule("greet", {{"hello", [](const t4vm::arguments& args) -> t4vm::value {
//         return "Hello, " + args.at(0).astext() + "!";
//     }}});
//     t4vm::result run = vm.runfile("prog.t4b");
//     std::cout << run.out;   // what the program wrote, closing line included
//     return run.status;      // 0 after the closing line, 1 after an error report
//
// A program calls a host function as it calls any module's: `enterattr greet`, `loadattr hello`,
// `call 1`, `leave`. Every run starts on a fresh machine and gives the same output bytes and exit
// status as `t4vm IMAGE` with the same extra arguments, input and limits. docs/embedding.md says
// more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace t4vm {

// The version of the library, "MAJOR.MINOR.PATCH": the one `t4vm --version` prints.
const char* version();

// Thrown by a host function to fail the program's call: the run ends with the machine's module
// error report, "TARN 4 VM error within module: " and the message, and exit status 1. Also thrown
// by the accessors of `value` when a value is of another kind, so a host function that takes
// what it expects without checking fails the same way on anything else.
class failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value passed between a program and a host function: nothing, an integer, a float, a text or a
// list of values. Integers are the machine's 32-bit ones. The machine keeps floats in single
// precision, so a float a host returns loses what a `float` cannot hold.
class value {
public:
    enum class kind { nothing, integer, floating, text, list };
    using list = std::vector<value>;

    value() = default;  // nothing: as a result, the call leaves nothing on the data stack
    value(std::int32_t number) : data(number) {}
    value(double number) : data(number) {}
    value(std::string text) : data(std::move(text)) {}
    value(const char* text) : data(std::string(text)) {}
    value(list items) : data(std::move(items)) {}

    kind type() const { return static_cast<kind>(data.index()); }
    bool isnothing() const { return type() == kind::nothing; }
    bool isint() const { return type() == kind::integer; }
    bool isfloat() const { return type() == kind::floating; }
    bool istext() const { return type() == kind::text; }
    bool islist() const { return type() == kind::list; }

    // Each throws `failure` naming the kind it found when the value is of another kind; asfloat
    // takes an integer too.
    std::int32_t asint() const;
    double asfloat() const;
    const std::string& astext() const;
    const list& aslist() const;

    friend bool operator==(const value& a, const value& b) = default;

private:
    std::variant<std::monostate, std::int32_t, double, std::string, list> data;
};

// The arguments of a call, arg0 first. A program's argument that is no integer, float, text or
// list of those (a dictionary, a pointer, an object, a function) fails the call before the host
// function runs.
using arguments = std::vector<value>;
// A host function: its result, or nothing. Throwing `failure` (or any other exception) fails the
// program's call with a module error report.
using hostfunction = std::function<value(const arguments& args)>;
// Where output goes as the program writes it, a piece at a time. It must not throw.
using textsink = std::function<void(std::string_view text)>;

// Limits for images the host does not trust. Every one is off (0, empty, false) by default.
struct limits {
    std::uint64_t instructions = 0;  // instruction steps a run may take, over all its tasks
    std::size_t textbytes = 0;       // bytes one text made by `add` or a text form may have
    std::size_t heapbytes = 0;       // bytes the program's live values may take, and a host
                                     // function's copy of one of its arguments
    // Files and the filesystem module take only relative paths without "..", and only while the
    // process's working directory lies inside this directory. The working directory is the
    // process's, shared by every machine: a host running machines in several threads with this
    // limit keeps the working directory inside every one of their directories.
    std::string scratchdir{};
    bool nosystem = false;   // `system` fails instead of running a shell command
    bool nosockets = false;  // socket clients and servers fail instead of connecting or listening
};

// How a run ended.
struct result {
    int status = 0;  // 0: the program ended (after the closing line); 1: after an error report
    // The closing code: the integer on top of the data stack when the program ended, when there
    // is one (also in a silent run, which does not print it). Empty after a report.
    std::optional<std::int32_t> code{};
    std::string out{};  // standard output, when no sink or stream was given for it
    std::string err{};  // standard error (error reports), likewise
};

// A machine: the modules, limits and streams that each of its runs is given. Each run takes place
// on the calling thread, on a fresh machine state, so nothing of one run is seen by the next.
// Several machines may run at the same time, each in its own thread; one machine runs one image at
// a time, and is changed only between runs (either, tried during a run, throws std::logic_error).
class machine {
public:
    machine();
    ~machine();
    // A machine moved from holds nothing: it may only be destroyed or assigned to.
    machine(machine&& other) noexcept;
    machine& operator=(machine&& other) noexcept;
    machine(const machine&) = delete;
    machine& operator=(const machine&) = delete;

    // Adds a module: programs see it as the program root's attribute `name` (like `socket` and
    // `hashing`), and its functions as that attribute's attributes. A function added again under
    // its name replaces the earlier one; a module named like a built-in global replaces it.
    machine& addmodule(const std::string& name, const std::map<std::string, hostfunction>& functions);
    machine& setlimits(const limits& given);
    // The extra arguments after the image path, as t4vm takes them: one (any text) makes the run
    // silent, two are ignored, three or more end the run with the argument-count report.
    machine& setarguments(std::vector<std::string> extra);
    // Standard input: a text each run reads from its start, or a stream of the host's.
    machine& setinput(std::string text);
    machine& setinput(std::istream& stream);
    // Standard output and error, handed on as they are written, to a sink or a stream of the
    // host's; an empty sink captures them in the result again (the default).
    machine& setoutput(textsink sink);
    machine& setoutput(std::ostream& stream);
    machine& seterror(textsink sink);
    machine& seterror(std::ostream& stream);

    // Runs an image given as bytes (no debug descriptor is looked for).
    result run(const std::vector<std::uint8_t>& image);
    // Reads the image at `path` and runs it, with the debug descriptor desc.tndc when one lies in
    // its directory. An image that cannot be opened or read ends the run as t4vm ends it: the
    // report `Cannot open program image "PATH": REASON` and status 1.
    result runfile(const std::string& path);

private:
    struct state;
    // Shared with the runs: a machine destroyed or assigned to by its own host function or sink
    // leaves its run the state to finish on.
    std::shared_ptr<state> self;
};

}  // namespace t4vm
