// The core natives reached through the program root, and the native objects they keep.
#pragma once

#include <ext/stdio_filebuf.h>

#include <istream>
#include <memory>

#include "vm/fdwriter.h"
#include "vm/machine.h"

namespace T4VM {

// Attaches the built-in globals to the program root, in the order they are made.
void attachbuiltins(variable& root);

// The streams behind file objects. A closed stream stays attached: writes to it are dropped and
// reads give the empty string.
struct outstream {
    std::ostream* stream = nullptr;
    std::unique_ptr<fdstream> file;  // null for the standard output
    fdwriter* writer = nullptr;      // null where writes cannot fail (the output of an embedded run)
    std::string name;                // as reports name it: the quoted path, or stdout
    bool closed = false;
};
// A file opened for reading over a descriptor the caller opened, so it can be opened close-on-exec
// (a file stream cannot): commands run by `system` must not inherit the files a program reads.
// `fd` -1 is a file that could not be opened, from which every read gives nothing.
class infile : public std::istream {
public:
    explicit infile(int fd);
    void close();

private:
    __gnu_cxx::stdio_filebuf<char> buffer_;
};
struct instream {
    std::istream* stream = nullptr;
    std::unique_ptr<infile> file;  // null for the standard input
    bool closed = false;
};

namespace moduleapi {
template <>
struct paramkindof<outstream> {
    static constexpr paramkind value = paramkind::outstream;
};
template <>
struct paramkindof<instream> {
    static constexpr paramkind value = paramkind::instream;
};
template <>
struct paramkindof<context> {
    static constexpr paramkind value = paramkind::context;
};
}  // namespace moduleapi

variable* initfile(const std::string& type);
variable* getfilesys();
void attachfiles(variable& root);  // "stdout", "stdin", "open"

namespace builtin {

// strings, pointers, lists, dictionaries
void strget(variable* self, const argmap& args);
void strsub(variable* self, const argmap& args);
void pntrget(variable* self, const argmap& args);
void pntrset(variable* self, const argmap& args);
void Lgetatindex(variable* self, const argmap& args);
void Lsetatindex(variable* self, const argmap& args);
void Lappend(variable* self, const argmap& args);
// What Lappend does with a number it keeps without its object: `kept` is that number as an element.
void appendkept(variable& list, const listelements::element& kept);
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

void openfile(variable* self, const argmap& args);
void writefile(variable* self, const argmap& args);
void readfile(variable* self, const argmap& args);
void getlinefile(variable* self, const argmap& args);
void closefile(variable* self, const argmap& args);

void varconv(variable* self, const argmap& args);
void asstr(variable* self, const argmap& args);
void asint(variable* self, const argmap& args);
void asfloat(variable* self, const argmap& args);
void sizeoffunc(variable* self, const argmap& args);
void execcmd(variable* self, const argmap& args);
void getattr(variable* self, const argmap& args);
void setattr(variable* self, const argmap& args);
void hasattr(variable* self, const argmap& args);

void Fexists(variable* self, const argmap& args);
void Fisdir(variable* self, const argmap& args);
void Fdelete(variable* self, const argmap& args);
void Fcreatedir(variable* self, const argmap& args);
void Flistdir(variable* self, const argmap& args);
void Fcd(variable* self, const argmap& args);

void Tcreate(variable* self, const argmap& args);
void Tstart(variable* self, const argmap& args);
void Tstop(variable* self, const argmap& args);

}  // namespace builtin

}  // namespace T4VM
