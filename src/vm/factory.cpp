// The value factory: the one door every variable is made through, native function objects, the
// method tables of strings, pointers, lists and dictionaries, and small constructors for natives.
#include <algorithm>
#include <span>
#include <string_view>

#include "vm/builtins.h"
#include "vm/heap.h"
#include "vm/machine.h"
#include "vm/shortcuts.h"

namespace T4VM {

namespace {

std::uint64_t reserveseqs(std::size_t count) {
    machine& m = vm();
    const std::uint64_t first = m.nextseq;
    m.nextseq += count;
    return first;
}

}  // namespace

variable* allocatevariable(std::uint64_t seq) {
    auto* value = new variable;  // every field has its initial value in the class
    value->seq = seq;
    noteallocation();
    return value;
}

variable* getallocvar() { return getallocvar(vm()); }


variable* getallocvar(const std::string& type) {
    variable* value = getallocvar();
    if (type == "BUILTIN_STRING")
        initstringvar(*value);
    else if (type == "BUILTIN_PNTR")
        initpntrvar(*value);
    else if (type == "BUILTIN_LIST")
        initlistvar(*value);
    else if (type == "BUILTIN_DICT")
        initdictvar(*value);
    return value;
}

void pinvariable(variable* value) { vm().pinned.push_back(value); }

variable* getmodulevar(mfuncptr target) {
    variable* function = getallocvar();
    function->identifier = typeident::builtin_module;
    function->ismodule = true;
    function->parts.mut().modulefunc = target;
    return function;
}

variable* getcustomfuncvar(mfuncptr target) {
    variable* function = getallocvar();
    function->identifier = typeident::custom_func;
    function->ismodule = true;
    function->parts.mut().modulefunc = target;
    return function;
}

namespace {

struct methodentry {
    const char* name;
    mfuncptr native;
    bool custom;  // a "CUSTOM_FUNC" native object rather than a "BUILTIN_MODULE" one
};

// The method tables one after the other, each in the order its methods are attached. Every one of
// these natives works on its receiver, its arguments and the data stack alone (dataonly).
constexpr methodentry methods[]{
    // strings: 0, 2
    {"get", builtin::strget, false}, {"substr", builtin::strsub, false},
    // pointers: 2, 2
    {"get", builtin::pntrget, false}, {"set", builtin::pntrset, false},
    // lists: 4, 7
    {"get", builtin::Lgetatindex, true}, {"set", builtin::Lsetatindex, true}, {"append", builtin::Lappend, true},
    {"contains", builtin::Lcontains, true}, {"find", builtin::Lfind, true}, {"remove", builtin::Lerase, true},
    {"size", builtin::Lsize, false},
    // dictionaries: 11, 6
    {"get", builtin::Dgetindex, true}, {"set", builtin::Dsetindex, true}, {"contains", builtin::Dcontains, true},
    {"keys", builtin::Dgetkeys, true}, {"values", builtin::Dgetvalues, true}, {"size", builtin::Dsize, false},
};

std::span<const methodentry> methodtable(methodkind kind) {
    const std::span<const methodentry> all(methods);
    switch (kind) {
    case methodkind::string: return all.subspan(0, 2);
    case methodkind::pntr: return all.subspan(2, 2);
    case methodkind::list: return all.subspan(4, 7);
    case methodkind::dict: return all.subspan(11, 6);
    default: return {};
    }
}

variable* makemethod(const methodentry& entry, std::uint64_t seq) {
    variable* function = allocatevariable(seq);
    function->identifier = entry.custom ? typeident::custom_func : typeident::builtin_module;
    function->ismodule = true;
    // Every method object made from one entry shares the entry's parts until one of them is
    // written: methods are made for every string, list or dictionary whose methods are looked at.
    auto& shared = vm().methodparts;
    if (shared.empty()) shared.resize(std::size(methods));
    sharedvalue<functionparts>& parts = shared[static_cast<std::size_t>(&entry - methods)];
    if (!parts.made()) {
        parts.mut().modulefunc = entry.native;
        parts.mut().dataonly = true;
    }
    function->parts = parts;
    return function;
}

}  // namespace

std::size_t methodcount(methodkind kind) { return methodtable(kind).size(); }

variable* standinmethod(methodkind kind, const std::string& name) {
    for (const methodentry& entry : methodtable(kind)) {
        if (name != entry.name) continue;
        auto& standins = vm().standinmethods;
        if (standins.empty()) standins.resize(std::size(methods));
        variable*& standin = standins[static_cast<std::size_t>(&entry - methods)];
        if (standin == nullptr) {
            standin = makemethod(entry, 0);  // never seen by a program: its number is nobody's
            pinvariable(standin);
        }
        return standin;
    }
    return nullptr;
}

void attrmap::attachmethods(methodkind kind) {
    const auto& table = methodtable(kind);
    if (made().empty() && pending == methodkind::none) {
        pending = kind;
        nameorder = false;
        firstseq = reserveseqs(table.size());
        return;
    }
    materialize();
    for (const auto& entry : table) stored()[entry.name] = makemethod(entry, reserveseqs(1));
    noteshapechange();
}

void attrmap::attachcopiedmethods(methodkind kind) {
    entries.reset();
    pending = kind;
    nameorder = true;
    firstseq = reserveseqs(methodtable(kind).size());
}

// Where a method's creation number lies among those its table reserved: its place in the order
// the methods are made, which for copied methods is the order of their names.
std::uint64_t makingplace(std::span<const methodentry> table, std::size_t index, bool nameorder) {
    if (!nameorder) return index;
    std::uint64_t before = 0;
    for (const auto& entry : table) before += std::string_view(entry.name) < table[index].name ? 1 : 0;
    return before;
}

variable** attrmap::findmethod(const std::string& key) {
    if (watched) notereached();
    if (pending != methodkind::none && shortcut::makeonemethod()) {
        const auto table = methodtable(pending);
        for (std::size_t index = 0; index < table.size(); ++index) {
            if (key != table[index].name) continue;
            map_type& made = stored();
            if (auto found = made.find(key); found != made.end()) return &found->second;
            variable* method = makemethod(table[index], firstseq + makingplace(table, index, nameorder));
            method->alreadycopied = copymark;
            return &made.emplace(key, method).first->second;
        }
    }
    map_type& all = view();
    auto found = all.find(key);
    return found == all.end() ? nullptr : &found->second;
}

// Making the methods changes no shape anyone remembers: a slot is remembered only once a lookup
// has found it, which made the method first, and a remembered miss on the program root is looked
// up again while the root has unmade methods (see rootslotof).
void attrmap::makemethods() const {
    const auto table = methodtable(pending);
    pending = methodkind::none;
    map_type& made = stored();
    for (std::size_t index = 0; index < table.size(); ++index) {
        if (made.contains(table[index].name)) continue;  // findmethod made it on its own
        variable* method = makemethod(table[index], firstseq + makingplace(table, index, nameorder));
        method->alreadycopied = copymark;
        made.emplace(table[index].name, method);
    }
}

void initstringvar(variable& target) { target.attributes.attachmethods(methodkind::string); }
void initpntrvar(variable& target) { target.attributes.attachmethods(methodkind::pntr); }
void initlistvar(variable& target) { target.attributes.attachmethods(methodkind::list); }
void initdictvar(variable& target) { target.attributes.attachmethods(methodkind::dict); }

variable* newint(std::int32_t value) {
    variable* result = getallocvar();
    result->identifier = typeident::builtin_int;
    result->intval = value;
    return result;
}

variable* newfloat(float value) {
    variable* result = getallocvar();
    result->identifier = typeident::builtin_float;
    result->floatval = value;
    return result;
}

variable* newstring(std::string value) {
    variable* result = getallocvar();
    result->identifier = typeident::builtin_string;
    initstringvar(*result);
    notetextbytes(value.size());
    result->stringval = std::move(value);
    return result;
}

variable* newlist() {
    variable* result = getallocvar();
    result->identifier = typeident::builtin_list;
    initlistvar(*result);
    return result;
}

}  // namespace T4VM
