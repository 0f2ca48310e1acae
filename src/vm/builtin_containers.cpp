// Methods of strings, pointers, lists and dictionaries. Each works on its receiver, the value it
// was loaded through.
#include <algorithm>

#include "vm/heap.h"
#include "vm/machine.h"

namespace T4VM::builtin {

using namespace moduleapi;

namespace {

// A method fetched with getattr, or taken out of its value some other way, has no receiver.
variable& receiver(variable* self) {
    if (self == nullptr) fail("Method called without a receiver.", true);
    return *self;
}

void push(variable* value) { datastack->push_back(value); }

// Pushes an object the native made, which nothing else refers to: the machine may treat it as the
// step's fresh result (a store after the call's scope closes takes it as it is).
void pushmade(variable* value) {
    push(value);
    vm().freshresult = value;
}

variable* stringresult(std::string text) {
    variable* result = getallocvar("BUILTIN_STRING");
    result->identifier = typeident::builtin_string;
    notetextbytes(text.size());
    result->stringval = std::move(text);
    return result;
}

}  // namespace

void strget(variable* self, const argmap& args) {
    const std::int32_t index = getarg(args, "arg0")->getint();
    const std::string& text = receiver(self).stringval;
    // The index equal to the length reads the terminating character, code 0.
    if (index < 0 || static_cast<std::size_t>(index) > text.size())
        fail("Out of bounds. Tried getting index " + std::to_string(index) + " at string with length of " +
                 std::to_string(text.size()),
             true);
    pushmade(stringresult(std::string(1, static_cast<std::size_t>(index) < text.size() ? text[index] : '\0')));
}

void strsub(variable* self, const argmap& args) {
    const std::int32_t count = getarg(args, "arg1")->getint();
    const std::int32_t start = getarg(args, "arg0")->getint();
    const std::string& text = receiver(self).stringval;
    if (start < 0 || static_cast<std::size_t>(start) > text.size())
        fail("Out of bounds. Tried getting substring at index " + std::to_string(start) +
                 " at string with length of " + std::to_string(text.size()),
             true);
    // A negative count, widened with its sign to an unsigned size, takes everything to the end.
    const auto length = static_cast<std::size_t>(static_cast<std::int64_t>(count));
    pushmade(stringresult(text.substr(static_cast<std::size_t>(start), length)));
}

void pntrget(variable* self, const argmap&) { push(gettargetpntr(&receiver(self)).getvar()); }

void pntrset(variable* self, const argmap& args) {
    variable* value = getarg(args, "arg0")->getvar();
    gettargetpntr(&receiver(self)) = *value;
}

void Lgetatindex(variable* self, const argmap& args) {
    const std::int32_t index = getarg(args, "arg0")->getint();
    push(Lgetindex(receiver(self).listval, index));
}

void Lsetatindex(variable* self, const argmap& args) {
    variable* value = getarg(args, "arg1");
    const std::int32_t index = getarg(args, "arg0")->getint();
    Lsetindex(receiver(self).listval, index, value);
}

namespace {

// Appending one object again and again makes no objects, only storage.
void noteappending(const listelements& list) {
    if (list.size() == list.capacity())
        notestoragebytes(std::max<std::size_t>(list.capacity(), 1) * 2 * sizeof(listelements::element));
}

}  // namespace

void Lappend(variable* self, const argmap& args) {
    variable* value = getarg(args, "arg0");
    listelements& list = receiver(self).listval;
    noteappending(list);
    list.push_back(value);
}

void appendkept(variable& list, const listelements::element& kept) {
    noteappending(list.listval);
    list.listval.pushkept(kept);
}

void Lcontains(variable* self, const argmap& args) {
    variable* value = getarg(args, "arg0");
    const listelements& list = receiver(self).listval;
    // Identity, not value: an equal element that is another object does not count. A kept number's
    // object is referred to by nothing else, so it is never the argument.
    bool found = false;
    for (std::size_t i = 0; i < list.size() && !found; ++i) found = list.raw(i).object() == value;
    push(newint(found ? 1 : 0));
}

void Lfind(variable* self, const argmap& args) {
    variable* value = getarg(args, "arg0");
    const listelements& list = receiver(self).listval;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (listelements::equals(list.raw(i), *value)) {
            push(newint(static_cast<std::int32_t>(i)));
            return;
        }
    }
    push(newint(-1));
}

void Lerase(variable* self, const argmap& args) {
    // The index is the argument's integer field as it stands, without conversion.
    const std::int32_t index = getarg(args, "arg0")->intval;
    listelements& list = receiver(self).listval;
    if (static_cast<std::uint64_t>(static_cast<std::int64_t>(index)) >= list.size())
        fail("Out of bounds. Tried erasing lement at index: " + std::to_string(index) +
                 " even tho length is: " + std::to_string(list.size()),
             true);
    list.erase(static_cast<std::size_t>(index));
}

void Lsize(variable* self, const argmap&) {
    push(newint(static_cast<std::int32_t>(receiver(self).listval.size())));
}

void Dgetindex(variable* self, const argmap& args) {
    variable* key = getarg(args, "arg0");
    push(moduleapi::Dgetindex(receiver(self).dictval, *key));
}

void Dsetindex(variable* self, const argmap& args) {
    variable* value = getarg(args, "arg1");
    variable* key = getarg(args, "arg0");
    // Keyed by the key object itself: an equal key made elsewhere adds a second entry.
    notestoragebytes(64);
    moduleapi::Dsetindex(receiver(self).dictval.mut(), key, value);
}

void Dcontains(variable* self, const argmap& args) {
    variable* key = getarg(args, "arg0");
    push(newint(moduleapi::Dcontains(receiver(self).dictval, *key) ? 1 : 0));
}

void Dgetkeys(variable* self, const argmap&) {
    auto& dict = receiver(self).dictval;
    variable* result = newlist();
    for (auto& [key, value] : dict) result->listval.push_back(Duplicatevar(key));
    push(result);
}

void Dgetvalues(variable* self, const argmap&) {
    auto& dict = receiver(self).dictval;
    variable* result = newlist();
    for (auto& [key, value] : dict) result->listval.push_back(Duplicatevar(value));
    push(result);
}

void Dsize(variable* self, const argmap&) {
    push(newint(static_cast<std::int32_t>(receiver(self).dictval.size())));
}

}  // namespace T4VM::builtin
