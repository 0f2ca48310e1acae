// Start-up: the command line, loading the program image and the debug descriptor, the program
// root with its built-in globals, the run loop, and the embedding entry point.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include <unistd.h>

#include "vm/additions/modules.h"
#include "vm/builtins.h"
#include "vm/embed.h"
#include "vm/fdwriter.h"
#include "vm/heap.h"
#include "vm/interpreter.h"
#include "vm/positions.h"
#include "vm/process.h"
#include "vm/machine.h"

namespace T4VM {

namespace {

std::vector<byte> readwholefile(const std::string& path, bool& found) {
    std::ifstream file(path, std::ios::binary);
    found = file.is_open();
    return std::vector<byte>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The descriptor lies beside the image: "desc.tndc" in the image's directory.
void loaddescriptor(const std::string& imagepath) {
    const std::filesystem::path directory = std::filesystem::path(imagepath).parent_path();
    const std::filesystem::path path = directory / "desc.tndc";
    std::error_code failure;
    if (!std::filesystem::exists(path, failure)) return;
    bool found = false;
    std::vector<byte> bytes = readwholefile(path.string(), found);
    if (!found) return;
    hasdescriptor.get() = true;
    descriptor->assign(bytes.rbegin(), bytes.rend());  // the first byte of the file on top
}

// Records are a zero-terminated name and a 4-byte big-endian count. A record cut off by the end of
// the file is dropped.
void parsedescriptor() {
    auto& bytes = descriptor.get();
    while (!bytes.empty()) {
        std::string name;
        while (!bytes.empty() && bytes.back() != 0) {
            name.push_back(static_cast<char>(bytes.back()));
            bytes.pop_back();
        }
        if (bytes.empty()) break;
        bytes.pop_back();
        if (bytes.size() < 4) {
            bytes.clear();
            break;
        }
        std::uint32_t count = 0;
        for (int i = 0; i < 4; ++i) {
            count = (count << 8) | bytes.back();
            bytes.pop_back();
        }
        _FDESC->push_back(descrecord{static_cast<std::int32_t>(count), std::move(name)});
    }
}

void runloop() {
    const auto& threads = vm().threads;
    while (!codestack->empty() && !threads.empty()) {
        if (threads.size() == 1)
            runsinglecontext(1024);
        else
            execcycle();
    }
    // With every context stopped the program has ended; its code comes from the main context.
    if (threads.empty()) swapcontext(vm().maincontext);
    exitprogram();
}

// Everything after the argument check: load, build the environment, run.
int runprogram(const std::vector<byte>& image, const std::string& imagepath, std::size_t extraargs) {
    if (extraargs == 1) vm().silent = true;
    codestack->push_back(openedframe(codeblock(image)));
    if (!imagepath.empty()) {
        loaddescriptor(imagepath);
        // A map that does not parse or fits another image changes nothing: reports stay as they are.
        std::string ignored;
        vm().imagemap = readsourcemap(imagepath, image.size(), ignored);
    }
    init();
    TARN4SOCKETS::init();
    T4VMHASHING::init();
    runloop();
    return 0;
}

bool argumentcountwrong(std::size_t extraargs) { return extraargs > 2; }

}  // namespace

void init() {
    machine& m = vm();
    swapcontext(m.maincontext);
    databasestack->emplace_back();
    variable*& progroot = m.progroot;
    progroot = getallocvar();
    progroot->identifier = typeident::builtin_func;
    progroot->name = "PROGRAM_ROOT";
    progroot->parts.mut().funccode = codestack->back().code;
    callstack->push_back(progroot);
    calltrace->push_back(progroot);
    m.globalvars["progroot"] = progroot;
    attachbuiltins(*progroot);
    if (hasdescriptor.get()) parsedescriptor();
}

int runmain(int argc, char** argv, debughook* hook) {
    guardstandarddescriptors();
    ignorebrokenpipes();
    std::ios::sync_with_stdio(false);
    fdstream out(STDOUT_FILENO, false, true);  // keeps the reason of a failed write
    machine m;
    m.out = &out;
    m.err = &std::cerr;
    m.in = &std::cin;
    m.pipesignalignored = true;
    m.attach(hook);
    const machinebinding bound(m);
    try {
        if (argc < 2 || argumentcountwrong(static_cast<std::size_t>(argc - 2)))
            error("Too many or not enough arguments.", false);
        const std::string imagepath = argv[1];
        bool found = false;
        // A missing image is not reported: the program is empty and ends at once.
        std::vector<byte> image = readwholefile(imagepath, found);
        return runprogram(image, imagepath, static_cast<std::size_t>(argc - 2));
    } catch (const machinestop& stop) {
        flushstreams();
        return stop.status;
    }
}

runresult runimage(const std::vector<byte>& image, const runoptions& options) {
    std::ostringstream out;
    std::ostringstream err;
    std::istringstream in(options.input);
    runresult result;
    {
        machine m(options.sandbox);
        m.out = &out;
        m.err = &err;
        m.in = &in;
        const machinebinding bound(m);
        try {
            if (argumentcountwrong(options.args.size())) error("Too many or not enough arguments.", false);
            result.status = runprogram(image, options.imagepath, options.args.size());
        } catch (const machinestop& stop) {
            result.status = stop.status;
        }
        flushstreams();
    }
    result.out = out.str();
    result.err = err.str();
    return result;
}

runresult runimage(const std::vector<byte>& image, const std::vector<std::string>& args,
                   const std::string& input, const std::string& imagepath) {
    return runimage(image, runoptions{args, input, imagepath, {}});
}

}  // namespace T4VM
