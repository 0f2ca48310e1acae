// Kept numbers in lists and dictionaries: what makes their objects again, and what may be kept.
#include "vm/listelements.h"

#include <bit>

#include "vm/heap.h"
#include "vm/machine.h"

namespace T4VM {

namespace {

// Creation numbers stay far below 2^56, but one that did not fit would not be kept.
constexpr std::uint64_t largestkeptseq = (std::uint64_t{1} << 56) - 1;

// keepable() and remake() between them know every field of a variable. A field added to it must be
// checked by the one and set by the other, or a kept number made again would have lost it.
static_assert(sizeof(variable) == 96, "a new field of variable: teach keepable() and remake() about it");

}  // namespace

bool listelements::keepable(const variable& value) {
    // Exactly what a number made from the kept fields would be: the field of the other type
    // unset (some natives read it as it stands), nothing attached, nothing shared, no copy or
    // printing in progress, never a dictionary key (that mark stays).
    if (value.identifier == typeident::builtin_int) {
        if (std::bit_cast<std::uint32_t>(value.floatval) != 0) return false;
    } else if (value.identifier == typeident::builtin_float) {
        if (value.intval != 0) return false;
    } else {
        return false;
    }
    return !value.ismodule && !value.alreadycopied && !value.printing && !value.dictkey && value.copyentry == 0 &&
           value.self == nullptr && value.pntrval == nullptr && !value.listval.made() && !value.dictval.made() &&
           value.attributes.nonemade() && !value.attributes.ispending() && !value.attributes.copymark &&
           !value.stringval.made() && !value.parts.made() && value.seq <= largestkeptseq;
}

std::uint32_t listelements::nameid(const std::string* name) {
    machine& m = vm();
    auto [found, added] = m.keptnameids.try_emplace(name, static_cast<std::uint32_t>(m.keptnames.size()));
    if (added) m.keptnames.push_back(name);
    return found->second;
}

void listelements::keep(element& slot, const variable& number, std::uint32_t nameid) {
    const bool isfloat = number.identifier == typeident::builtin_float;
    slot = keptnumber(number.seq, isfloat,
                      isfloat ? std::bit_cast<std::uint32_t>(number.floatval) : static_cast<std::uint32_t>(number.intval),
                      nameid);
}

namespace {

// The type and value a kept number's object has.
void setnumber(variable& target, const listelements::element& slot) {
    if (slot.keptfloat()) {
        target.identifier = typeident::builtin_float;
        target.floatval = std::bit_cast<float>(slot.bits);
    } else {
        target.identifier = typeident::builtin_int;
        target.intval = static_cast<std::int32_t>(slot.bits);
    }
}

}  // namespace

void listelements::remake(element& slot) {
    variable* value = allocatevariable(slot.keptseq());
    setnumber(*value, slot);
    value->name.set(vm().keptnames[slot.nameid]);
    slot = boxed(value);
}

void listelements::standin(const element& slot, variable& target) {
    target.intval = 0;
    target.floatval = 0.0f;
    setnumber(target, slot);
    target.name.set(vm().keptnames[slot.nameid]);
    target.seq = slot.keptseq();
}

variable listelements::valueof(const element& slot) {
    variable number;
    setnumber(number, slot);
    return number;
}

bool listelements::equals(const element& slot, const variable& value) {
    if (!slot.kept()) return *slot.object() == value;
    return valueof(slot) == value;
}

void listelements::makeroomfor(std::size_t objects) {
    // What was made since the last collection is not counted: most of it is garbage, and with
    // every number an object the last collection would have counted these objects as live.
    if (objects != 0 && objects * sizeof(variable) + vm().livebytes > heaplimit()) heaplimitreached();
}

listelements::store& listelements::writable() {
    holder* current = elements.shared();
    if (current != nullptr && current->refs > 1) {
        store& shared = current->value;
        remakeall([&](auto visit) {
            for (element& slot : shared.items) visit(slot);
        });
        shared.boxedfrom = 0;
        shared.boxedto = shared.items.size();
    }
    return elements.mut();  // copied when shared
}

bool operator==(const listelements& a, const listelements& b) {
    if (a.shared() == b.shared()) return true;
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const listelements::element& left = a.raw(i);
        if (left.kept() || left.word != b.raw(i).word) return false;
    }
    return true;
}

}  // namespace T4VM
