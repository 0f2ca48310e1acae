// Support operations for natives (and for the interpreter): popping values, scopes, name lookup,
// arguments, list and dictionary access, conversions and pointer targets.
#include <cstring>

#include "vm/heap.h"
#include "vm/interpreter.h"
#include "vm/machine.h"

namespace T4VM::moduleapi {

variable* gettopvar() {
    if (datastack->empty()) fail("datastack empty!", true);
    variable* top = datastack->back();
    datastack->pop_back();
    return top->getvar();
}

variable* popvalue() {
    if (datastack->empty()) fail("datastack empty!", true);
    variable* top = datastack->back();
    datastack->pop_back();
    return top;
}

void goout() {
    // Leaving the root's own scope is caught by the integrity check before the next instruction.
    if (!callstack->empty()) callstack->pop_back();
    if (!databasestack->empty()) databasestack->pop_back();
}

void gointo(variable* target) {
    callstack->push_back(target);
    databasestack->emplace_back();
}

variable* getattribute(variable* target, const std::string& name) {
    auto found = target->attributes.find(name);
    if (found == target->attributes.end())
        fail("Attempted to get attribute of class even tho it does not exist: " + name, false);
    return found->second;
}

// Natives name their arguments with literals: they are compared as they stand, no text is made.
variable* getarg(const argmap& args, std::string_view target) {
    // A call files "arg0", "arg1", ... first and in order: "argN" is nearly always entry N.
    if (target.size() == 4 && target[0] == 'a' && target[1] == 'r' && target[2] == 'g') {
        const auto index = static_cast<std::size_t>(target[3] - '0');
        if (index < args.size()) {
            const auto& [name, value] = args.begin()[index];
            if (name->size() == 4 && std::memcmp(name->data(), target.data(), 4) == 0) return value;
        }
    }
    for (const auto& [name, value] : args)
        if (*name == target) return value;
    fail("No such arg: " + std::string(target), true);
}

namespace {

// Every negative index counts as out of bounds: the index is widened with its sign and then
// compared as an unsigned size.
bool outofbounds(const listelements& L, std::int32_t index) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(index)) >= L.size();
}

}  // namespace

variable* Lgetindex(const listelements& L, std::int32_t index) {
    if (outofbounds(L, index))
        fail("Out of bounds. Tried getting index " + std::to_string(index) + " at list with length of " +
                 std::to_string(L.size()),
             true);
    return L[static_cast<std::size_t>(index)];
}

void Lsetindex(listelements& L, std::int32_t index, variable* val) {
    if (outofbounds(L, index))
        fail("Out of bounds. Tried setting index " + std::to_string(index) + " at list with length of " +
                 std::to_string(L.size()),
             true);
    L.set(static_cast<std::size_t>(index), val);
}

variable* varconv(variable& target, const std::string& newtype) {
    variable* result = getallocvar();
    if (newtype == "BUILTIN_STRING") {
        result->stringval = target.getstring(false);
        notetextbytes(result->stringval.size());
        initstringvar(*result);
        result->identifier = typeident::builtin_string;
    } else if (newtype == "BUILTIN_INT") {
        result->intval = target.getint();
        result->identifier = typeident::builtin_int;
    } else if (newtype == "BUILTIN_FLOAT") {
        result->floatval = target.getfloat();
        result->identifier = typeident::builtin_float;
    } else {
        fail("Unsupported convert type: " + newtype, true);
    }
    return result;
}

bool Dcontains(const dictmap& D, const variable& element) { return D.findequal(element) != nullptr; }

variable* Dgetindex(const dictmap& D, variable& index) {
    if (const auto* entry = D.findequal(index)) return entry->second;
    fail("Dict does not contain key: " + index.getstring(false), true);
}

void Dsetindex(dictmap& D, variable* key, variable* val) { D[key] = val; }

variable* Duplicatevar(variable* target) {
    variable* duplicate = getallocvar();
    *duplicate = *target;
    return duplicate;
}

variable& gettargetpntr(variable* target) {
    if (target->pntrval == nullptr)
        fail("Attempted to get pointer target even tho it is not defined.", true);
    return *target->pntrval;
}

namespace {

// The program root's attributes are looked up by every load of a name: the machine remembers the
// result by the name's address and text, until some attribute map gains or loses a name (a miss
// also while the root has methods attached and unmade, which are names it has). An interned name
// lives as long as the process, so no other text ever has its address.
variable** rootslot(const std::string& name, bool interned) {
    machine& m = vm();
    rootlookup& cached = m.rootlookups[(reinterpret_cast<std::uintptr_t>(&name) >> 4) & (m.rootlookups.size() - 1)];
    if (cached.address == &name && cached.shape == m.shapechanges && cached.root == m.progroot &&
        ((interned && cached.interned) || cached.name == name) &&
        (cached.slot != nullptr || !m.progroot->attributes.hasunmade()))
        return cached.slot;
    auto found = m.progroot->attributes.find(name);
    cached.interned = interned;
    cached.address = &name;
    cached.name = name;
    cached.shape = m.shapechanges;
    cached.root = m.progroot;
    cached.slot = found == m.progroot->attributes.end() ? nullptr : &found->second;
    return cached.slot;
}

}  // namespace

variable** getrootslot(const std::string& interned) { return rootslot(interned, true); }

namespace {

variable* framelocal(const std::string& target, bool interned) {
    auto& frame = databasestack->back();
    auto inframe = interned ? frame.findinterned(target) : frame.find(target);
    if (inframe == frame.end()) fail("Local variable not found: " + target, false);
    // A block run at the top level binds "self" to no object.
    if (inframe->second == nullptr) fail("Local variable is bound to no object: " + target, false);
    return inframe->second;
}

variable* findlocal(const std::string& target, bool interned) {
    // The program root's attributes are found before the current frame's variables.
    if (variable** slot = rootslot(target, interned)) {
        notereached();  // the native now holds the root's object
        return *slot;
    }
    variable* found = framelocal(target, interned);
    notereached();  // or the frame's
    return found;
}

}  // namespace

variable* getframelocal(const std::string& interned) { return framelocal(interned, true); }

variable* getlocalvar(const std::string& target) { return findlocal(target, false); }
variable* getinternedlocalvar(const std::string& interned) { return findlocal(interned, true); }

variable* getglobalvar(const std::string& target) {
    auto& globalvars = vm().globalvars;
    auto found = globalvars.find(target);
    if (found == globalvars.end()) fail("Global variable not found: " + target, false);
    return found->second;
}

}  // namespace T4VM::moduleapi
