// The sandbox's checks. Refusals are ordinary failure reports, so a sandboxed run ends the way
// any failing program does, with a message that names what was refused.
#include "vm/machine.h"

#include <filesystem>
#include <system_error>

#include "vm/machine.h"

namespace T4VM {

namespace fs = std::filesystem;


void budgetexhausted() {
    fail("Instruction budget exhausted: more than " + std::to_string(vm().sandbox.instructionbudget) +
             " instruction steps.",
         false);
}

namespace {

[[noreturn]] void refuse(const std::string& operation, const std::string& path, const char* reason) {
    fail(operation + " refused for \"" + shownpath(path) + "\": " + reason, true);
}

// Component by component, so "/tmp/scratch2" does not pass for a directory inside "/tmp/scratch".
bool inside(const fs::path& directory, const fs::path& root) {
    auto entry = directory.begin();
    for (const fs::path& component : root) {
        if (component.empty()) continue;  // the empty last component of "dir/"
        if (entry == directory.end() || *entry != component) return false;
        ++entry;
    }
    return true;
}

}  // namespace

std::string shownpath(const std::string& path) {
    std::string shown;
    for (char c : path) {
        if (c == '\0')
            shown += "\\0";
        else
            shown += c;
    }
    return shown;
}

void checkpath(const std::string& operation, const std::string& path) {
    if (vm().sandbox.scratchdir.empty()) return;
    // Before anything else: every later check would look at a path the system never sees.
    if (holdsnul(path)) refuse(operation, path, "the path holds a NUL byte.");
    const fs::path target(path);
    if (target.has_root_path()) refuse(operation, path, "the sandbox takes only relative paths.");
    for (const fs::path& component : target)
        if (component == "..") refuse(operation, path, "the sandbox takes no \"..\" in paths.");
    // A relative path is taken from the working directory, so that must not have left the scratch
    // directory either (a program's own `cd` cannot make it leave, but its embedder can).
    std::error_code failure;
    const fs::path root = fs::weakly_canonical(vm().sandbox.scratchdir, failure);
    const fs::path here = failure ? fs::path() : fs::current_path(failure);
    if (failure || !inside(here, root))
        refuse(operation, path, "the working directory is outside the sandbox's scratch directory.");
}

std::size_t textlimit() { return vm().sandbox.textlimit != 0 ? vm().sandbox.textlimit : maxtextsize; }

void checksystem() {
    if (vm().sandbox.nosystem) fail("system is disabled in the sandbox.", true);
}

void checksockets() {
    if (vm().sandbox.nosockets) fail("Sockets are disabled in the sandbox.", true);
}

}  // namespace T4VM
