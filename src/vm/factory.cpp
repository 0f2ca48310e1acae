// The value factory: the one door every variable is made through, native function objects, the
// method tables of strings, pointers, lists and dictionaries, and small constructors for natives.
#include "vm/heap.h"
#include "vm/vm.h"

namespace T4VM {

namespace {

std::uint64_t nextseq = 1;
std::vector<variable*> everyvariable;  // the heap, so a reset can free it

}  // namespace

variable* getallocvar(const std::string& type) {
    auto* value = new variable();
    value->seq = nextseq++;
    everyvariable.push_back(value);
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

void freeheap() {
    for (variable* value : everyvariable) delete value;
    everyvariable.clear();
    everyvariable.shrink_to_fit();
    nextseq = 1;
}

std::size_t heapsize() { return everyvariable.size(); }

variable* getmodulevar(mfuncptr target) {
    variable* function = getallocvar("");
    function->identifier = typeident::builtin_module;
    function->ismodule = true;
    function->modulefunc = target;
    return function;
}

variable* getcustomfuncvar(mfuncptr target) {
    variable* function = getallocvar("");
    function->identifier = typeident::custom_func;
    function->ismodule = true;
    function->modulefunc = target;
    return function;
}

// Every value gets method objects of its own, so loading a method through one value (which sets
// the method's receiver) never disturbs another value's methods.
void initstringvar(variable& target) {
    target.attributes["get"] = getmodulevar(builtin::strget);
    target.attributes["substr"] = getmodulevar(builtin::strsub);
}

void initpntrvar(variable& target) {
    target.attributes["get"] = getmodulevar(builtin::pntrget);
    target.attributes["set"] = getmodulevar(builtin::pntrset);
}

void initlistvar(variable& target) {
    target.attributes["get"] = getcustomfuncvar(builtin::Lgetatindex);
    target.attributes["set"] = getcustomfuncvar(builtin::Lsetatindex);
    target.attributes["append"] = getcustomfuncvar(builtin::Lappend);
    target.attributes["contains"] = getcustomfuncvar(builtin::Lcontains);
    target.attributes["find"] = getcustomfuncvar(builtin::Lfind);
    target.attributes["remove"] = getcustomfuncvar(builtin::Lerase);
    target.attributes["size"] = getmodulevar(builtin::Lsize);
}

void initdictvar(variable& target) {
    target.attributes["get"] = getcustomfuncvar(builtin::Dgetindex);
    target.attributes["set"] = getcustomfuncvar(builtin::Dsetindex);
    target.attributes["contains"] = getcustomfuncvar(builtin::Dcontains);
    target.attributes["keys"] = getcustomfuncvar(builtin::Dgetkeys);
    target.attributes["values"] = getcustomfuncvar(builtin::Dgetvalues);
    target.attributes["size"] = getmodulevar(builtin::Dsize);
}

variable* newint(std::int32_t value) {
    variable* result = getallocvar("");
    result->identifier = typeident::builtin_int;
    result->intval = value;
    return result;
}

variable* newfloat(float value) {
    variable* result = getallocvar("");
    result->identifier = typeident::builtin_float;
    result->floatval = value;
    return result;
}

variable* newstring(std::string value) {
    variable* result = getallocvar("");
    result->identifier = typeident::builtin_string;
    initstringvar(*result);
    result->stringval = std::move(value);
    return result;
}

variable* newlist() {
    variable* result = getallocvar("");
    result->identifier = typeident::builtin_list;
    initlistvar(*result);
    return result;
}

}  // namespace T4VM
