// The value factory: the one door every variable is made through, native function objects, the
// method tables of strings, pointers, lists and dictionaries, and small constructors for natives.
#include <algorithm>

#include "vm/heap.h"
#include "vm/vm.h"

namespace T4VM {

namespace {

std::uint64_t nextseq = 1;

std::uint64_t reserveseqs(std::size_t count) {
    const std::uint64_t first = nextseq;
    nextseq += count;
    return first;
}

}  // namespace

variable* allocatevariable(std::uint64_t seq) {
    auto* value = new variable;  // every field has its initial value in the class
    value->seq = seq;
    noteallocation();
    return value;
}

variable* getallocvar() { return allocatevariable(reserveseqs(1)); }

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

namespace {
std::vector<variable*> pinned;
}

void pinvariable(variable* value) { pinned.push_back(value); }
const std::vector<variable*>& pinnedvariables() { return pinned; }

void resetfactory() {
    pinned.clear();
    nextseq = 1;
}

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

// The method tables, in the order the methods are attached.
const std::vector<methodentry>& methodtable(methodkind kind) {
    static const std::vector<methodentry> strings{{"get", builtin::strget, false}, {"substr", builtin::strsub, false}};
    static const std::vector<methodentry> pointers{{"get", builtin::pntrget, false}, {"set", builtin::pntrset, false}};
    static const std::vector<methodentry> lists{
        {"get", builtin::Lgetatindex, true}, {"set", builtin::Lsetatindex, true},
        {"append", builtin::Lappend, true},  {"contains", builtin::Lcontains, true},
        {"find", builtin::Lfind, true},      {"remove", builtin::Lerase, true},
        {"size", builtin::Lsize, false}};
    static const std::vector<methodentry> dicts{
        {"get", builtin::Dgetindex, true},   {"set", builtin::Dsetindex, true},
        {"contains", builtin::Dcontains, true}, {"keys", builtin::Dgetkeys, true},
        {"values", builtin::Dgetvalues, true},  {"size", builtin::Dsize, false}};
    static const std::vector<methodentry> none;
    switch (kind) {
    case methodkind::string: return strings;
    case methodkind::pntr: return pointers;
    case methodkind::list: return lists;
    case methodkind::dict: return dicts;
    default: return none;
    }
}

variable* makemethod(const methodentry& entry, std::uint64_t seq) {
    variable* function = allocatevariable(seq);
    function->identifier = entry.custom ? typeident::custom_func : typeident::builtin_module;
    function->ismodule = true;
    function->parts.mut().modulefunc = entry.native;
    return function;
}

}  // namespace

std::size_t methodcount(methodkind kind) { return methodtable(kind).size(); }

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
}

void attrmap::attachcopiedmethods(methodkind kind) {
    entries.reset();
    pending = kind;
    nameorder = true;
    firstseq = reserveseqs(methodtable(kind).size());
}

void attrmap::makemethods() const {
    ++shapechanges;
    const auto& table = methodtable(pending);
    pending = methodkind::none;
    std::vector<std::size_t> order(table.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    // Copies of methods were made in the order of the attribute names.
    if (nameorder)
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return std::string(table[a].name) < table[b].name; });
    std::uint64_t seq = firstseq;
    for (std::size_t index : order) {
        variable* method = makemethod(table[index], seq++);
        method->alreadycopied = copymark;
        stored()[table[index].name] = method;
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
