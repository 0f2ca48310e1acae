// The embedding library's machine: what a host sets up once (modules, limits, streams, arguments)
// and gives to every run, each run being an image run on a machine state of its own.
#include <atomic>
#include <istream>
#include <ostream>
#include <streambuf>

#include "embed/hostcalls.h"
#include "t4vm/t4vm.h"
#include "vm/embed.h"
#include "vm/version.h"

namespace t4vm {

namespace {

const char* kindname(value::kind kind) {
    switch (kind) {
    case value::kind::nothing:
        return "nothing";
    case value::kind::integer:
        return "an integer";
    case value::kind::floating:
        return "a float";
    case value::kind::text:
        return "a text";
    case value::kind::list:
        return "a list";
    }
    return "?";
}

[[noreturn]] void wrongkind(const char* wanted, value::kind found) {
    throw failure(std::string("expected ") + wanted + ", got " + kindname(found));
}

// Hands every piece the machine writes to a host's sink at once: it keeps no buffer, so the sink
// sees output as the program writes it.
class sinkbuffer : public std::streambuf {
public:
    explicit sinkbuffer(const textsink& sink) : sink(sink) {}

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char one = traits_type::to_char_type(c);
        sink(std::string_view(&one, 1));
        return c;
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        sink(std::string_view(text, static_cast<std::size_t>(count)));
        return count;
    }

private:
    const textsink& sink;
};

// Where one of the run's output streams goes: captured (neither given), a sink, or a stream.
struct outputroute {
    textsink sink;
    std::ostream* stream = nullptr;
};

}  // namespace

const char* version() { return T4VM::versiontext; }

std::int32_t value::asint() const {
    if (!isint()) wrongkind("an integer", type());
    return std::get<std::int32_t>(data);
}

double value::asfloat() const {
    if (isint()) return std::get<std::int32_t>(data);
    if (!isfloat()) wrongkind("a float", type());
    return std::get<double>(data);
}

const std::string& value::astext() const {
    if (!istext()) wrongkind("a text", type());
    return std::get<std::string>(data);
}

const value::list& value::aslist() const {
    if (!islist()) wrongkind("a list", type());
    return std::get<list>(data);
}

struct machine::state {
    // Host functions by module; map nodes stay put, so the machine may point at their entries.
    std::map<std::string, T4VMEMBED::hostmodule> modules;
    T4VM::runoptions options;
    std::istream* input = nullptr;
    outputroute out;
    outputroute err;
    std::atomic<bool> running{false};

    void changing() const {
        if (running) throw std::logic_error("t4vm::machine changed during a run");
    }

    template <typename Run>
    result start(Run run);
};

template <typename Run>
result machine::state::start(Run run) {
    if (running.exchange(true)) throw std::logic_error("t4vm::machine is already running an image");
    struct release {
        std::atomic<bool>& flag;
        ~release() { flag = false; }
    } released{running};

    sinkbuffer outbuffer(out.sink);
    sinkbuffer errbuffer(err.sink);
    std::ostream outsink(&outbuffer);
    std::ostream errsink(&errbuffer);
    T4VM::hostsetup host;
    host.out = out.sink ? &outsink : out.stream;
    host.err = err.sink ? &errsink : err.stream;
    host.in = input;
    host.attach = [this] {
        for (auto& [name, functions] : modules) T4VMEMBED::attachmodule(name, functions);
    };
    T4VM::runresult ran = run(host);
    return result{ran.status, ran.code, std::move(ran.out), std::move(ran.err)};
}

machine::machine() : self(std::make_shared<state>()) {}
machine::~machine() = default;
machine::machine(machine&& other) noexcept = default;
machine& machine::operator=(machine&& other) noexcept = default;

machine& machine::addmodule(const std::string& name, const std::map<std::string, hostfunction>& functions) {
    self->changing();
    T4VMEMBED::hostmodule& module = self->modules[name];
    for (const auto& [functionname, function] : functions)
        module[functionname] = T4VMEMBED::hostentry{name + "." + functionname, function};
    return *this;
}

machine& machine::setlimits(const limits& given) {
    self->changing();
    T4VM::sandboxconfig& sandbox = self->options.sandbox;
    sandbox.instructionbudget = given.instructions;
    sandbox.textlimit = given.textbytes;
    sandbox.heaplimit = given.heapbytes;
    sandbox.scratchdir = given.scratchdir;
    sandbox.nosystem = given.nosystem;
    sandbox.nosockets = given.nosockets;
    return *this;
}

machine& machine::setarguments(std::vector<std::string> extra) {
    self->changing();
    self->options.args = std::move(extra);
    return *this;
}

machine& machine::setinput(std::string text) {
    self->changing();
    self->options.input = std::move(text);
    self->input = nullptr;
    return *this;
}

machine& machine::setinput(std::istream& stream) {
    self->changing();
    self->input = &stream;
    return *this;
}

machine& machine::setoutput(textsink sink) {
    self->changing();
    self->out = {std::move(sink), nullptr};
    return *this;
}

machine& machine::setoutput(std::ostream& stream) {
    self->changing();
    self->out = {{}, &stream};
    return *this;
}

machine& machine::seterror(textsink sink) {
    self->changing();
    self->err = {std::move(sink), nullptr};
    return *this;
}

machine& machine::seterror(std::ostream& stream) {
    self->changing();
    self->err = {{}, &stream};
    return *this;
}

result machine::run(const std::vector<std::uint8_t>& image) {
    const std::shared_ptr<state> running = self;
    return running->start([&](const T4VM::hostsetup& host) { return T4VM::runimage(image, running->options, host); });
}

result machine::runfile(const std::string& path) {
    const std::shared_ptr<state> running = self;
    return running->start([&](const T4VM::hostsetup& host) { return T4VM::runimagefile(path, running->options, host); });
}

}  // namespace t4vm
