// The value model: assignment, copies, pointers, conversions, text forms and equality of `variable`.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_set>
#include <cctype>

#include "vm/heap.h"
#include "vm/machine.h"

namespace T4VM {

namespace {
// Containers that hold each other (without a cycle) can still describe an exponentially long text
// or nest deeper than the C++ stack allows; both are refused with a report. No ordinary program
// comes near these limits.
constexpr int maxnesting = 2000;
}  // namespace

namespace {

// Values every machine reads and none changes: the texts of the type identifiers, and the empty
// value of each kind that an unmade part of a variable reads as.
struct constants {
    const std::string identifiers[13] = {
        "",           "BUILTIN_INT",    "BUILTIN_FLOAT", "BUILTIN_STRING", "BUILTIN_PNTR",
        "BUILTIN_LIST", "BUILTIN_DICT", "CUSTOM_FUNC",   "BUILTIN_MODULE", "CUSTOM_CLASS",
        "BUILTIN_CLASS", "MODULE_CLASS", "BUILTIN_FUNC",
    };
    const std::string text;
    const std::vector<variable*> list;
    const dictmap dict;
    const functionparts parts;
    const varmap attributes;
};

const constants& shared() {
    static const constants values{};  // value-initialised: clang wants every const member set
    return values;
}

}  // namespace

const std::string& identname(typeident id) { return shared().identifiers[static_cast<int>(id)]; }

template <>
const std::string& emptyof<std::string>() { return shared().text; }
template <>
const std::vector<variable*>& emptyof<std::vector<variable*>>() { return shared().list; }
template <>
const dictmap& emptyof<dictmap>() { return shared().dict; }
template <>
const functionparts& emptyof<functionparts>() { return shared().parts; }
template <>
const varmap& emptyof<varmap>() { return shared().attributes; }

namespace {

// Interned names live until the process ends, shared by every machine in it: a name is a pointer
// into this set. Machines on other threads intern names too, so the set takes one at a time.
struct internedset {
    std::mutex lock;
    std::unordered_set<std::string> names;
};

internedset& interned() {
    static auto* set = new internedset();  // never destroyed: names outlive every machine
    return *set;
}

}  // namespace

const std::string nametext::unnamed = "Unnamed Variable";

const std::string* nametext::intern(const std::string& value) {
    if (value == unnamed) return &unnamed;
    internedset& set = interned();
    const std::lock_guard<std::mutex> hold(set.lock);
    return &*set.names.insert(value).first;
}

std::ostream& operator<<(std::ostream& out, const nametext& name) { return out << name.str(); }

codeblock::codeblock(std::vector<byte> bytes) {
    auto owned = std::make_shared<codebuffer>();
    owned->bytes = std::move(bytes);
    start = owned->bytes.data();
    length = owned->bytes.size();
    buffer = std::move(owned);
}

codeblock::codeblock(const std::shared_ptr<const std::vector<byte>>& bytes)
    : codeblock(bytes ? *bytes : std::vector<byte>{}) {}

void framemap::mergefrom(const framemap& source, std::size_t first) {
    for (std::size_t i = first; i < source.entries.size(); ++i) slot(*source.entries[i].first) = source.entries[i].second;
}

bool operator==(const codeblock& a, const codeblock& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool creationorder::operator()(const variable* a, const variable* b) const { return a->seq < b->seq; }

variable& variable::operator=(const variable& other) {
    if (this == &other) return *this;
    attributes = other.attributes;
    assignvalues(other);
    return *this;
}

void variable::assignvalues(const variable& other) {
    changingvalue();
    identifier = other.identifier;
    name = other.name;
    ismodule = other.ismodule;
    self = other.self;
    intval = other.intval;
    floatval = other.floatval;
    stringval = other.stringval;  // shares the bytes: nothing new to count
    // Most values hold no containers: skip the container assignments when both sides are empty.
    if (!dictval.empty() || !other.dictval.empty()) dictval = other.dictval;
    if (!listval.empty() || !other.listval.empty()) {
        listval = other.listval;  // shares the elements until one of the lists changes
        notestoragebytes(listval.size() * sizeof(listelements::element));
    }
    if (parts.made() || other.parts.made()) parts = other.parts;
    pntrval = other.pntrval;
}

variable* variable::getpointer() {
    variable* pointer = getallocvar();
    pointer->identifier = typeident::builtin_pntr;
    initpntrvar(*pointer);
    pointer->pntrval = this;
    return pointer;
}

variable* variable::getvar() { return isvaluetype() ? getcopy() : this; }

namespace {

// The machine counts the copy marks currently set. Marks are only ever added along the chain of
// copies in progress, so a copy that meets itself again with the same number of marks would repeat
// itself forever.
void setmark(variable* target, std::vector<variable*>& marked) {
    target->alreadycopied = true;
    ++vm().markcount;
    marked.push_back(target);
}

}  // namespace

namespace {
// The machine counts how deep copies are nested right now (an object reaching ever new objects
// through attributes, dictionary values or receivers is refused before it exhausts the C++ stack)
// and the objects made by the copy in progress (a dictionary holding the same dictionary under two
// keys, nested a few dozen times, would otherwise copy into billions of objects within one
// instruction).
constexpr std::size_t maxcopiedobjects = 2'000'000;
struct copydepthguard {
    machine& m;
    explicit copydepthguard(machine& bound) : m(bound) {
        if (m.copydepth >= maxnesting) fail("Objects nested too deep to copy.", false);
        if (m.copydepth == 0) m.copiedobjects = 0;
        if (++m.copiedobjects > maxcopiedobjects)
            fail("Copy too large: more than " + std::to_string(maxcopiedobjects) + " objects.", false);
        ++m.copydepth;
    }
    ~copydepthguard() { --m.copydepth; }
};

// A copy that needs no guard of its own still counts against the limits of the copy it is part of.
void countnestedcopy(machine& m) {
    if (m.copydepth == 0) return;
    if (m.copydepth >= maxnesting) fail("Objects nested too deep to copy.", false);
    if (++m.copiedobjects > maxcopiedobjects)
        fail("Copy too large: more than " + std::to_string(maxcopiedobjects) + " objects.", false);
}
}  // namespace

variable* variable::getcopy() {
    // The common case: no attributes, no dictionary entries and no receiver to copy. There is
    // nothing inside such a value to copy, share or mark; only the limits still count it.
    if (dictval.empty() && attributes.nonemade() && !attributes.ispending() &&
        (self == nullptr || isvaluetype())) {
        countnestedcopy(vm());
        variable* copy = getallocvar();
        if (stringval.empty() && !listval.made() && !parts.made()) {
            // A number (or any value owning no text, code or native objects): the fields the
            // assignment would copy that hold anything are these.
            copyplainfields(*copy);
        } else {
            copy->assignvalues(*this);
        }
        return copy;
    }
    if (isvaluetype() && dictval.empty() && attributes.ispending() && !attributes.copymark && copyentry == 0) {
        // A text or pointer whose methods nobody has looked at: its copy is a copy of the fields
        // with an untouched table of its own. Nothing inside it is copied or marked.
        countnestedcopy(vm());
        variable* copy = getallocvar();
        copy->assignvalues(*this);
        copy->attributes.attachcopiedmethods(attributes.pendingkind());
        return copy;
    }
    machine& m = vm();
    const copydepthguard depthguard(m);
    // An object reached again while its own copy is in progress, with nothing marked since, would
    // be copied without end (an instance stored as its own attribute): it is shared instead, as
    // marked objects are.
    if (copyentry != 0 && copyentry == m.markcount + 1) return this;
    const std::uint32_t outerentry = copyentry;
    copyentry = m.markcount + 1;

    std::vector<variable*> marked;
    variable* copy = getallocvar();
    copy->assignvalues(*this);

    std::size_t virtualmarks = 0;
    if (attributes.ispending() && !attributes.copymark) {
        // Untouched methods: their copies would be untouched methods too, so the copy gets its
        // own unmade table. They count as marked while this copy runs, as made ones would.
        copy->attributes.attachcopiedmethods(attributes.pendingkind());
        virtualmarks = methodcount(attributes.pendingkind());
        m.markcount += static_cast<std::uint32_t>(virtualmarks);
        attributes.copymark = true;
    } else {
        copy->attributes = attributes;
        for (auto& [attrname, value] : attributes) {
            if (value->alreadycopied) continue;  // the copy keeps sharing it
            copy->attributes[attrname] = value->getcopy();
            setmark(value, marked);
        }
    }

    copy->dictval.clear();
    for (auto& [key, value] : dictval) {
        variable* valuecopy = value->getcopy();
        variable* keycopy = key->getcopy();
        copy->dictval[keycopy] = valuecopy;
    }

    // listval was taken over by the assignment: a new list holding the same element objects.

    // Nothing ever reads the receiver of a number, text or pointer (calling one takes the class
    // path, which ignores it), so their copies share it rather than deep-copy the receiver, which
    // at the top level would be the whole program root on every load.
    if (self != nullptr && !alreadycopied && !isvaluetype()) {
        setmark(this, marked);
        copy->self = self->getcopy();
    }

    for (variable* target : marked) {
        target->alreadycopied = false;
        --m.markcount;
    }
    if (virtualmarks != 0) {
        m.markcount -= static_cast<std::uint32_t>(virtualmarks);
        attributes.copymark = false;
        // Methods made while the copy ran were made marked.
        if (!attributes.ispending())
            for (auto& [attrname, value] : attributes.made()) value->alreadycopied = false;
    }
    copyentry = outerentry;
    return copy;
}

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Reads the number at the start of a text the way the standard library's string-to-number
// conversions do (leading white space, optional sign), but reports instead of throwing.
std::int32_t parseint(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(start, &end, 10);
    if (end == start) fail("Text is not an integer: " + quoted(text), false);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        fail("Integer out of range: " + quoted(text), false);
    return static_cast<std::int32_t>(value);
}

float parsefloat(const std::string& text) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    float value = std::strtof(start, &end);
    if (end == start) fail("Text is not a number: " + quoted(text), false);
    if (errno == ERANGE) fail("Number out of range: " + quoted(text), false);
    return value;
}

std::string floattext(float value) {
    char buffer[64];
    int length = std::snprintf(buffer, sizeof buffer, "%f", static_cast<double>(value));
    if (length < static_cast<int>(sizeof buffer)) return std::string(buffer, length);
    std::string big(length + 1, '\0');  // very large magnitudes print every digit
    std::snprintf(big.data(), big.size(), "%f", static_cast<double>(value));
    big.resize(length);
    return big;
}

}  // namespace

std::int32_t variable::convertedint() {
    switch (identifier) {
    case typeident::builtin_int:
        return intval;
    case typeident::builtin_float:
        // Truncation toward zero is only defined for values that fit an int.
        if (!(floatval >= -2147483648.0f && floatval < 2147483648.0f))
            fail("Float out of integer range: " + floattext(floatval), false);
        return static_cast<std::int32_t>(floatval);
    case typeident::builtin_string:
        return parseint(stringval);
    default:
        fail("Unsupported type: " + identname(identifier), false);
    }
}

float variable::convertedfloat() {
    switch (identifier) {
    case typeident::builtin_int:
        return static_cast<float>(intval);
    case typeident::builtin_float:
        return floatval;
    case typeident::builtin_string:
        return parsefloat(stringval);
    default:
        fail("Unsupported type: " + identname(identifier), false);
    }
}

namespace {

// Marks a container as being printed, so that an occurrence of it further down the same nesting
// path prints as "[...]" instead of recursing for ever.
struct printguard {
    variable& target;
    explicit printguard(variable& t) : target(t) { target.printing = true; }
    ~printguard() { target.printing = false; }
};

void checktextsize(const std::string& text) {
    if (text.size() > textlimit())
        fail("Text form too long: more than " + std::to_string(textlimit()) + " bytes.", false);
}

void appendtext(variable& value, bool quot, std::string& text, int depth);

// An element of a list or a value of a dictionary: a kept number reads as its object would.
void appendelement(const listelements::element& element, std::string& text, int depth) {
    if (!element.kept()) return appendtext(*element.object(), true, text, depth);
    variable number = listelements::valueof(element);
    appendtext(number, true, text, depth);
}

void appendtext(variable& value, bool quot, std::string& text, int depth) {
    switch (value.identifier) {
    case typeident::builtin_list:
    case typeident::builtin_dict: {
        if (value.printing) {
            text += "[...]";
            return;
        }
        if (depth > maxnesting) fail("Containers nested too deep to convert to text.", false);
        printguard guard(value);
        text += '[';
        bool first = true;
        auto separate = [&] {
            if (!first) text += ", ";
            first = false;
        };
        if (value.identifier == typeident::builtin_list) {
            const listelements& elements = value.listval;
            for (std::size_t i = 0; i < elements.size(); ++i) {
                separate();
                appendelement(elements.raw(i), text, depth + 1);
                checktextsize(text);
            }
        } else {
            for (auto& [key, entry] : value.dictval) {
                separate();
                appendtext(*key, true, text, depth + 1);
                text += ": ";
                appendelement(entry.raw(), text, depth + 1);
                checktextsize(text);
            }
        }
        text += ']';
        return;
    }
    case typeident::builtin_string:
        if (quot) text += '"';
        text += value.stringval;
        if (quot) text += '"';
        return;
    case typeident::builtin_int:
        text += std::to_string(value.intval);
        return;
    case typeident::builtin_float:
        text += floattext(value.floatval);
        return;
    default:
        text += "None";
        return;
    }
}

}  // namespace

std::string variable::getstring(bool quot) {
    if (identifier == typeident::builtin_string && !quot) return stringval;
    std::string text;
    appendtext(*this, quot, text, 0);
    return text;
}

bool variable::operator==(const variable& other) const {
    const bool numeric = identifier == typeident::builtin_int || identifier == typeident::builtin_float;
    const bool othernumeric =
        other.identifier == typeident::builtin_int || other.identifier == typeident::builtin_float;
    if (numeric && othernumeric) {
        // Integer equality is exact; an int and a float compare by exact value.
        const double left = identifier == typeident::builtin_int ? static_cast<double>(intval)
                                                                 : static_cast<double>(floatval);
        const double right = other.identifier == typeident::builtin_int
                                 ? static_cast<double>(other.intval)
                                 : static_cast<double>(other.floatval);
        return left == right;
    }
    if (identifier != other.identifier) return false;
    switch (identifier) {
    case typeident::builtin_string:
        return stringval == other.stringval;
    case typeident::builtin_list:
        return listval == other.listval;  // the same element objects in the same order
    case typeident::builtin_dict:
        return dictval == other.dictval;  // the same (key object, value object) pairs
    case typeident::custom_func:
        return funccode() == other.funccode();  // the same bytes
    default:
        return true;  // pointers, instances, native functions, modules: always equal
    }
}

}  // namespace T4VM

