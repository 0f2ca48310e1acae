// Text files and the standard streams: `open`, the file methods, and the "stdout" and "stdin"
// objects of the program root.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <istream>
#include <ostream>
#include <string>

#include "vm/builtins.h"
#include "vm/machine.h"
#include "vm/textinput.h"

namespace T4VM {

using namespace moduleapi;

namespace {

// Streams made by `open` belong to no object (copies of a file object share one): the machine
// keeps them (outstreams, instreams) as long as it lives, and every one is flushed when the
// program ends.

void addmethod(variable& file, const char* name, mfuncptr native) {
    file.attributes[name] = getcustomfuncvar(native);
}

variable& receiver(variable* self) {
    if (self == nullptr) fail("Method called without a receiver.", true);
    return *self;
}

variable* readresult() {
    variable* result = getallocvar();
    result->identifier = typeident::builtin_string;
    initstringvar(*result);
    return result;
}

// A prompt written to the standard output shows before the program waits for input.
std::istream* readable(instream& in) {
    if (in.closed) return nullptr;
    if (in.file == nullptr) vm().out->flush();
    return in.stream;
}

std::string writefailure(const std::string& name, int code) {
    return "Write failed for " + name + ": " + std::strerror(code);
}

// The report of data lost on the way to a file or the standard output, once per failure; "" when
// nothing was lost since the last look.
std::string lostwrite(const outstream& out) {
    if (out.writer == nullptr) return "";
    const int code = out.writer->takefailure();
    return code == 0 ? "" : writefailure(out.name, code);
}

// A native that wrote or closed reports the loss at once, so the program stops where it happened.
void checkwritten(const outstream& out) {
    const std::string lost = lostwrite(out);
    if (!lost.empty()) fail(lost, true);
}

}  // namespace

infile::infile(int fd) : std::istream(nullptr), buffer_(fd, std::ios::in) {
    rdbuf(&buffer_);
    if (buffer_.is_open()) return;
    if (fd >= 0) ::close(fd);
    setstate(std::ios::failbit);
}

void infile::close() {
    if (buffer_.close() == nullptr) setstate(std::ios::failbit);
}

std::string writeoutfiles() {
    for (const auto& out : vm().outstreams) {
        if (out->file == nullptr || out->closed) continue;
        out->stream->flush();
        std::string lost = lostwrite(*out);
        if (!lost.empty()) return lost;
    }
    return "";
}

std::string writeoutstdout() {
    std::ostream& out = *vm().out;
    out.flush();
    fdwriter* writer = writerof(out);
    const int code = writer == nullptr ? 0 : writer->takefailure();
    return code == 0 ? "" : writefailure("stdout", code);
}

variable* initfile(const std::string& type) {
    variable* file = getallocvar();
    file->identifier = typeident::custom_class;
    file->name = "file";
    if (type == "write") {
        addmethod(*file, "write", builtin::writefile);
    } else if (type == "read") {
        addmethod(*file, "read", builtin::readfile);
        addmethod(*file, "getline", builtin::getlinefile);
    }
    addmethod(*file, "close", builtin::closefile);
    return file;
}

namespace builtin {

void openfile(variable*, const argmap& args) {
    const std::string mode = getarg(args, "arg1")->getstring(false);
    const std::string path = getarg(args, "arg0")->getstring(false);
    checkpath("open", path);
    variable* file = initfile(mode);
    // A file that cannot be opened is not reported: writes to it are lost, reads give "". A path
    // holding a NUL byte is one of those: the system would take it for the path cut at the NUL.
    const bool nameable = !holdsnul(path);
    if (mode == "write") {
        auto out = std::make_unique<outstream>();
        const int fd = nameable ? ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666) : -1;
        out->file = std::make_unique<fdstream>(fd, true, false);
        out->stream = out->file.get();
        out->writer = &out->file->writer();
        out->name = "\"" + path + "\"";
        registerstream(out->stream);
        file->parts.mut().moduleparams["file"] = nativeparam{paramkind::outstream, out.get()};
        vm().outstreams.push_back(std::move(out));
    } else if (mode == "read") {
        auto in = std::make_unique<instream>();
        in->file = std::make_unique<infile>(nameable ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1);
        in->stream = in->file.get();
        file->parts.mut().moduleparams["file"] = nativeparam{paramkind::instream, in.get()};
        vm().instreams.push_back(std::move(in));
    }
    datastack->push_back(file);
}

void writefile(variable* self, const argmap& args) {
    const std::string text = getarg(args, "arg0")->getstring(false);
    outstream& out = getparam<outstream>(receiver(self).moduleparams(), "file");
    if (out.closed) return;
    *out.stream << text;
    checkwritten(out);
}

void readfile(variable* self, const argmap&) {
    instream& in = getparam<instream>(receiver(self).moduleparams(), "file");
    std::istream* stream = readable(in);
    // Read before the result is made, so that a text too large for memory is freed on the way to
    // the report.
    std::string text = stream != nullptr ? readrest(*stream, heaplimit()) : "";
    variable* result = readresult();
    result->stringval.mut() = std::move(text);
    datastack->push_back(result);
}

void getlinefile(variable* self, const argmap&) {
    instream& in = getparam<instream>(receiver(self).moduleparams(), "file");
    std::istream* stream = readable(in);
    std::string line;
    if (stream != nullptr) readline(*stream, line, heaplimit());
    variable* result = readresult();
    result->stringval.mut() = std::move(line);
    datastack->push_back(result);
}

void closefile(variable* self, const argmap&) {
    const parammap& params = receiver(self).moduleparams();
    auto entry = params.find("file");
    if (entry != params.end() && entry->second.kind == paramkind::instream) {
        instream& in = getparam<instream>(params, "file");
        if (in.file) in.file->close();
        in.closed = true;  // the standard input stays open for the machine; the object reads ""
        return;
    }
    outstream& out = getparam<outstream>(params, "file");
    if (out.file) {
        out.file->writer().close();
        unregisterstream(out.stream);
    } else {
        out.stream->flush();
    }
    out.closed = true;
    checkwritten(out);
}

}  // namespace builtin

namespace {

variable* standardobject(const std::string& mode, const char* name) {
    variable* file = initfile(mode);
    file->name = name;
    if (mode == "write") {
        auto out = std::make_unique<outstream>();
        out->stream = vm().out;
        out->writer = writerof(*vm().out);
        out->name = "stdout";
        file->parts.mut().moduleparams["file"] = nativeparam{paramkind::outstream, out.get()};
        vm().outstreams.push_back(std::move(out));
    } else {
        auto in = std::make_unique<instream>();
        in->stream = vm().in;
        file->parts.mut().moduleparams["file"] = nativeparam{paramkind::instream, in.get()};
        vm().instreams.push_back(std::move(in));
    }
    return file;
}

}  // namespace

void attachfiles(variable& root) {
    root.attributes["stdout"] = standardobject("write", "stdout");
    root.attributes["stdin"] = standardobject("read", "stdin");
    root.attributes["open"] = getcustomfuncvar(builtin::openfile);
}

}  // namespace T4VM
