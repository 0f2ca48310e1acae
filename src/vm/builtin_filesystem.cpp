// The filesystem module: the "FILESYSTEM" object and its six methods over the host's file system.
#include <filesystem>
#include <system_error>

#include "vm/builtins.h"
#include "vm/machine.h"

namespace T4VM {

using namespace moduleapi;
namespace fs = std::filesystem;

namespace {

// Failures of the host's operations end the program with a report naming the operation and path.
[[noreturn]] void fsfailure(const char* operation, const std::string& path, const std::string& reason) {
    fail(std::string("filesystem.") + operation + " failed for \"" + shownpath(path) + "\": " + reason, true);
}

[[noreturn]] void fsfailure(const char* operation, const fs::path& path, const std::error_code& failure) {
    fsfailure(operation, path.string(), failure.message());
}

// The path argument of an operation, once the sandbox allows it. The system takes a path up to
// its first NUL byte, so a path holding one would name another file: it never reaches the system.
fs::path pathof(const char* operation, const argmap& args) {
    const std::string path = getarg(args, "arg0")->getstring(false);
    checkpath(std::string("filesystem.") + operation, path);
    if (holdsnul(path)) fsfailure(operation, path, "the path holds a NUL byte");
    return fs::path(path);
}

// The kind of entry a path names, following symbolic links; a missing entry is not a failure.
fs::file_status statusof(const char* operation, const fs::path& path) {
    std::error_code failure;
    fs::file_status status = fs::status(path, failure);
    if (failure && status.type() != fs::file_type::not_found) fsfailure(operation, path, failure);
    return status;
}

}  // namespace

namespace builtin {

void Fexists(variable*, const argmap& args) {
    const fs::path path = pathof("exists", args);
    datastack->push_back(newint(fs::exists(statusof("exists", path)) ? 1 : 0));
}

void Fisdir(variable*, const argmap& args) {
    const fs::path path = pathof("isdir", args);
    datastack->push_back(newint(fs::is_directory(statusof("isdir", path)) ? 1 : 0));
}

void Fdelete(variable*, const argmap& args) {
    const fs::path path = pathof("delete", args);
    std::error_code failure;
    fs::remove(path, failure);
    // A missing path is not a failure, nor is a path below a file, which cannot exist either.
    if (failure && failure != std::errc::not_a_directory) fsfailure("delete", path, failure);
}

void Fcreatedir(variable*, const argmap& args) {
    const fs::path path = pathof("createdir", args);
    std::error_code failure;
    fs::create_directory(path, failure);  // an existing directory is not a failure
    if (failure) fsfailure("createdir", path, failure);
}

void Flistdir(variable*, const argmap& args) {
    const fs::path path = pathof("listdir", args);
    variable* result = newlist();
    std::error_code failure;
    fs::directory_iterator entry(path, failure);
    if (failure) fsfailure("listdir", path, failure);
    for (; entry != fs::directory_iterator(); entry.increment(failure)) {
        if (failure) fsfailure("listdir", path, failure);
        result->listval.push_back(newstring(entry->path().filename().string()));
    }
    if (failure) fsfailure("listdir", path, failure);
    datastack->push_back(result);
}

void Fcd(variable*, const argmap& args) {
    const fs::path path = pathof("cd", args);
    std::error_code failure;
    fs::current_path(path, failure);
    if (failure) fsfailure("cd", path, failure);
}

}  // namespace builtin

variable* getfilesys() {
    variable* filesystem = getallocvar();
    filesystem->identifier = typeident::builtin_class;
    filesystem->name = "FILESYSTEM";
    filesystem->attributes["exists"] = getmodulevar(builtin::Fexists);
    filesystem->attributes["isdir"] = getmodulevar(builtin::Fisdir);
    filesystem->attributes["delete"] = getmodulevar(builtin::Fdelete);
    filesystem->attributes["createdir"] = getmodulevar(builtin::Fcreatedir);
    filesystem->attributes["listdir"] = getmodulevar(builtin::Flistdir);
    filesystem->attributes["cd"] = getmodulevar(builtin::Fcd);
    return filesystem;
}

}  // namespace T4VM
