// Host functions inside the machine.
//
// Every host function is the same native, `callhost`. The machine pushes the function object it
// calls onto `calltrace` right before running the object's native, so callhost reads the top of
// calltrace and finds there the native parameter "host" that attachmodule put on the object: a
// pointer to the host function's entry, which the embedding library keeps for longer than any run.
// Copies of a function object keep its native parameters, so a host function a program stores
// away or passes around still finds its entry, and programs cannot make or change parameters.
#include "embed/hostcalls.h"

#include <optional>
#include <vector>

#include "vm/machine.h"

namespace T4VMEMBED {

using namespace T4VM;

namespace {

// Deeper lists than this fail the call rather than the C++ stack.
constexpr int deepestlist = 1000;

// The lists being copied, outermost first, and the bytes the copy has taken so far. A list the
// program holds in many places is copied once for every place, so lists that each hold the last
// one twice make a copy that doubles with every list while the program's own heap hardly grows:
// the copy may take no more than the program's live values may.
struct copying {
    std::vector<const variable*> open;
    std::size_t bytes = 0;
};

void takes(const hostentry& entry, const std::string& where, copying& copy, std::size_t bytes) {
    copy.bytes += bytes;
    if (copy.bytes > heaplimit())
        fail(entry.shown + ": " + where + " takes more than " + std::to_string(heaplimit() >> 20) +
                 " MiB as the host sees it.",
             true);
}

// What the program passed, as the host sees it; `where` names the argument for reports.
t4vm::value tohost(const hostentry& entry, const std::string& where, variable* given, copying& copy) {
    std::vector<const variable*>& open = copy.open;
    switch (given->identifier) {
    case typeident::builtin_int:
        return given->intval;
    case typeident::builtin_float:
        return static_cast<double>(given->floatval);
    case typeident::builtin_string:
        takes(entry, where, copy, given->stringval.get().size());
        return given->stringval.get();
    case typeident::builtin_list: {
        for (const variable* outer : open)
            if (outer == given) fail(entry.shown + ": " + where + " is a list that holds itself.", true);
        if (open.size() >= deepestlist)
            fail(entry.shown + ": " + where + " nests lists more than " + std::to_string(deepestlist) + " deep.", true);
        takes(entry, where, copy, given->listval.size() * sizeof(t4vm::value));
        open.push_back(given);
        t4vm::value::list items;
        items.reserve(given->listval.size());
        const listelements& elements = given->listval;
        for (std::size_t i = 0; i < elements.size(); ++i) {
            // A kept number is read as it is: the host only ever sees values.
            const listelements::element& item = elements.raw(i);
            if (item.kept()) {
                variable number = listelements::valueof(item);
                items.push_back(tohost(entry, where, &number, copy));
            } else {
                items.push_back(tohost(entry, where, item.object(), copy));
            }
        }
        open.pop_back();
        return items;
    }
    default:
        fail(entry.shown + ": " + where + " is a " + identname(given->identifier) +
                 "; host functions take integers, floats, texts and lists of them.",
             true);
    }
}

variable* tomachine(const hostentry& entry, const t4vm::value& answer) {
    switch (answer.type()) {
    case t4vm::value::kind::integer:
        return newint(answer.asint());
    case t4vm::value::kind::floating:
        return newfloat(static_cast<float>(answer.asfloat()));
    case t4vm::value::kind::text:
        return newstring(answer.astext());
    case t4vm::value::kind::list: {
        variable* list = newlist();
        for (const t4vm::value& item : answer.aslist()) {
            // The machine has no value for nothing: a list cannot hold it.
            if (item.isnothing()) fail(entry.shown + " returned a list that holds nothing.", true);
            list->listval.push_back(tomachine(entry, item));
        }
        return list;
    }
    case t4vm::value::kind::nothing:
        break;
    }
    return nullptr;
}

void callhost(variable*, const argmap& args) {
    const hostentry& entry = moduleapi::getparam<hostentry>(calltrace->back()->moduleparams(), "host");
    t4vm::arguments given;
    copying copy;
    for (std::size_t index = 0;; ++index) {
        const std::string name = "arg" + std::to_string(index);
        auto found = args.find(name);
        if (found == args.end() || found->second == nullptr) break;
        given.push_back(tohost(entry, name, found->second, copy));
    }
    // The host's exceptions end here; the report is made outside the handlers, since it unwinds
    // the machine with an exception of its own.
    std::optional<t4vm::value> answer;
    std::string failed;
    try {
        answer = entry.function(given);
    } catch (const t4vm::failure& refused) {
        failed = refused.what();
    } catch (const std::exception& thrown) {
        failed = entry.shown + " failed: " + thrown.what();
    } catch (...) {
        failed = entry.shown + " failed with an exception that is no std::exception.";
    }
    if (!answer) fail(failed, true);
    if (!answer->isnothing()) datastack->push_back(tomachine(entry, *answer));
}

}  // namespace

void attachmodule(const std::string& name, hostmodule& functions) {
    variable* module = getallocvar();
    module->identifier = typeident::module_class;
    module->name = name;
    for (auto& [functionname, entry] : functions) {
        variable* function = getmodulevar(callhost);
        function->parts.mut().moduleparams["host"] = nativeparam{paramkind::host, &entry};
        module->attributes[functionname] = function;
    }
    getprogroot()->attributes[name] = module;
}

}  // namespace T4VMEMBED
