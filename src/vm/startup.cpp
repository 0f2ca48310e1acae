// Start-up: the command line, loading the program image and the debug descriptor, the program
// root with its built-in globals, the run loop, and the embedding entry points.
#include <cerrno>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <system_error>

#include <fcntl.h>
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
#include "vm/version.h"

namespace T4VM {

namespace {

std::vector<byte> readwholefile(const std::string& path, bool& found) {
    std::ifstream file(path, std::ios::binary);
    found = file.is_open();
    return std::vector<byte>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string systemreason(int code) { return std::generic_category().message(code); }

// Reads the whole image into `image`, or gives the report that it could not be had ("" when it
// was read). Opening and reading fail apart: a directory opens, and only reading it fails.
std::string readimage(const std::string& path, std::vector<byte>& image) {
    // The system would open the path only up to the NUL, which names another file.
    if (holdsnul(path)) return "Cannot open program image \"" + shownpath(path) + "\": the path holds a NUL byte.";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "Cannot open program image \"" + path + "\": " + systemreason(errno);
    byte buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            const int code = errno;
            ::close(fd);
            return "Cannot read program image \"" + path + "\": " + systemreason(code);
        }
        image.insert(image.end(), buffer, buffer + got);
    }
    ::close(fd);
    return "";
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
int runprogram(const std::vector<byte>& image, const std::string& imagepath, std::size_t extraargs,
               const std::function<void()>& attach = {}) {
    if (extraargs == 1) vm().silent = true;
    vm().image = codeblock(image);
    codestack->push_back(openedframe(vm().image));
    if (!imagepath.empty()) {
        loaddescriptor(imagepath);
        // A map that does not parse or fits another image changes nothing: reports stay as they are.
        std::string ignored;
        vm().imagemap = readsourcemap(imagepath, image.size(), ignored);
    }
    init();
    TARN4SOCKETS::init();
    T4VMHASHING::init();
    if (attach) attach();
    runloop();
    return 0;
}

bool argumentcountwrong(std::size_t extraargs) { return extraargs > 2; }

const char usage[] =
    "usage: t4vm IMAGE [EXTRA [EXTRA]]\n"
    "       t4vm --help | -h | --version\n"
    "Runs the program image IMAGE, which ends with the line \"<TARN 4> Program finished.\"\n"
    "or \"<TARN 4> Program finished with code N\" on standard output.\n"
    "  EXTRA       one extra argument (any text) makes the run silent: no closing line,\n"
    "              and an error report is only its first line; two extra arguments are\n"
    "              ignored\n"
    "  -h, --help  print this text (only as the one argument)\n"
    "  --version   print the version (only as the one argument)\n"
    "Files read beside the image:\n"
    "  desc.tndc   the program's debug descriptor, in the image's directory\n"
    "  IMAGE.map   source positions in reports when IMAGE.map lies beside it\n"
    "Exit status: 0 when the program ends, 1 after an error report (on standard error,\n"
    "starting \"TARN 4 VM error\"), a missing or unreadable image included.\n";

// Help and the version only when they are the one argument: any other argument list means what
// it always meant, so "t4vm prog.t4b --help" is still a silent run of prog.t4b.
bool answeredalone(int argc, char** argv) {
    if (argc != 2) return false;
    const std::string only = argv[1];
    if (only == "--help" || only == "-h")
        std::cout << usage;
    else if (only == "--version")
        std::cout << "t4vm " << versiontext << "\n";
    else
        return false;
    std::cout.flush();
    return true;
}

}  // namespace

void init() {
    machine& m = vm();
    swapcontext(m.maincontext);
    databasestack->emplace_back();
    variable*& progroot = m.progroot;
    progroot = getallocvar();
    progroot->identifier = typeident::builtin_func;
    progroot->name = "PROGRAM_ROOT";
    progroot->attributes.watched = true;
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
    if (answeredalone(argc, argv)) return 0;
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
        std::vector<byte> image;
        // Reported before the silent flag is set, like a wrong argument count: the dump is always
        // there. An image that is there and empty is still an empty program.
        const std::string unreadable = readimage(imagepath, image);
        if (!unreadable.empty()) error(unreadable, false);
        return runprogram(image, imagepath, static_cast<std::size_t>(argc - 2));
    } catch (const machinestop& stop) {
        flushstreams();
        return stop.status;
    }
}

namespace {

// A run of an embedding host: the image given, or (when `image` is null) read from `imagepath`.
runresult runembedded(const std::vector<byte>* image, const std::string& imagepath, const runoptions& options,
                      const hostsetup& host) {
    std::ostringstream out;
    std::ostringstream err;
    std::istringstream in(options.input);
    runresult result;
    {
        machine m(options.sandbox);
        m.out = host.out != nullptr ? host.out : &out;
        m.err = host.err != nullptr ? host.err : &err;
        m.in = host.in != nullptr ? host.in : &in;
        const machinebinding bound(m);
        try {
            if (argumentcountwrong(options.args.size())) error("Too many or not enough arguments.", false);
            std::vector<byte> read;
            if (image == nullptr) {
                const std::string unreadable = readimage(imagepath, read);
                if (!unreadable.empty()) error(unreadable, false);
            }
            result.status = runprogram(image != nullptr ? *image : read, imagepath, options.args.size(), host.attach);
        } catch (const machinestop& stop) {
            result.status = stop.status;
        }
        flushstreams();
        if (result.status == 0) result.code = m.closingcode;
    }
    result.out = out.str();
    result.err = err.str();
    return result;
}

}  // namespace

runresult runimage(const std::vector<byte>& image, const runoptions& options, const hostsetup& host) {
    return runembedded(&image, options.imagepath, options, host);
}

runresult runimagefile(const std::string& path, const runoptions& options, const hostsetup& host) {
    return runembedded(nullptr, path, options, host);
}

runresult runimage(const std::vector<byte>& image, const std::vector<std::string>& args,
                   const std::string& input, const std::string& imagepath) {
    return runimage(image, runoptions{args, input, imagepath, {}});
}

}  // namespace T4VM
