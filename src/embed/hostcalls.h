// Host functions inside the machine: the modules a host adds through the embedding library,
// attached to the program root of the machine bound to the calling thread.
#pragma once

#include <map>
#include <string>

#include "t4vm/t4vm.h"
#include "vm/native.h"

namespace T4VMEMBED {

// One host function as the machine keeps it: the function, and its name as reports show it
// ("greet.hello"). The embedding library owns the entries; they outlive every run.
struct hostentry {
    std::string shown;
    t4vm::hostfunction function;
};

using hostmodule = std::map<std::string, hostentry>;

// Attaches `functions` as the program root's attribute `name`, a module whose attributes are the
// functions.
void attachmodule(const std::string& name, hostmodule& functions);

}  // namespace T4VMEMBED

namespace T4VM::moduleapi {
template <>
struct paramkindof<T4VMEMBED::hostentry> {
    static constexpr paramkind value = paramkind::host;
};
}  // namespace T4VM::moduleapi
