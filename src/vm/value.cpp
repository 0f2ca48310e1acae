// The value model: assignment, copies, pointers, conversions, text forms and equality of `variable`.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cctype>

#include "vm/vm.h"

namespace T4VM {

const std::string& identname(typeident id) {
    static const std::string names[] = {
        "",           "BUILTIN_INT",    "BUILTIN_FLOAT", "BUILTIN_STRING", "BUILTIN_PNTR",
        "BUILTIN_LIST", "BUILTIN_DICT", "CUSTOM_FUNC",   "BUILTIN_MODULE", "CUSTOM_CLASS",
        "BUILTIN_CLASS", "MODULE_CLASS", "BUILTIN_FUNC",
    };
    return names[static_cast<int>(id)];
}

bool creationorder::operator()(const variable* a, const variable* b) const { return a->seq < b->seq; }

variable& variable::operator=(const variable& other) {
    if (this == &other) return *this;
    identifier = other.identifier;
    name = other.name;
    ismodule = other.ismodule;
    attributes = other.attributes;
    self = other.self;
    intval = other.intval;
    floatval = other.floatval;
    stringval = other.stringval;
    dictval = other.dictval;
    listval = other.listval;
    funccode = other.funccode;
    modulefunc = other.modulefunc;
    moduleparams = other.moduleparams;
    pntrval = other.pntrval;
    return *this;
}

variable* variable::getpointer() {
    variable* pointer = getallocvar("");
    pointer->identifier = typeident::builtin_pntr;
    initpntrvar(*pointer);
    pointer->pntrval = this;
    return pointer;
}

variable* variable::getvar() { return isvaluetype() ? getcopy() : this; }

namespace {

// Number of copy marks currently set. Marks are only ever added along the chain of copies in
// progress, so a copy that meets itself again with the same number of marks would repeat itself
// forever.
std::uint32_t markcount = 0;

void setmark(variable* target, std::vector<variable*>& marked) {
    target->alreadycopied = true;
    ++markcount;
    marked.push_back(target);
}

}  // namespace

variable* variable::getcopy() {
    // An object reached again while its own copy is in progress, with nothing marked since, would
    // be copied without end (an instance stored as its own attribute): it is shared instead, as
    // marked objects are.
    if (copyentry != 0 && copyentry == markcount + 1) return this;
    const std::uint32_t outerentry = copyentry;
    copyentry = markcount + 1;

    std::vector<variable*> marked;
    variable* copy = getallocvar("");
    *copy = *this;

    for (auto& [attrname, value] : attributes) {
        if (value->alreadycopied) continue;  // the copy keeps sharing it
        copy->attributes[attrname] = value->getcopy();
        setmark(value, marked);
    }

    copy->dictval.clear();
    for (auto& [key, value] : dictval) {
        variable* valuecopy = value->getcopy();
        variable* keycopy = key->getcopy();
        copy->dictval[keycopy] = valuecopy;
    }

    // listval was taken over by the assignment: a new list holding the same element objects.

    if (self != nullptr && !alreadycopied) {
        setmark(this, marked);
        copy->self = self->getcopy();
    }

    for (variable* target : marked) {
        target->alreadycopied = false;
        --markcount;
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

std::int32_t variable::getint() {
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

float variable::getfloat() {
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

}  // namespace

std::string variable::getstring(bool quot) {
    switch (identifier) {
    case typeident::builtin_string:
        return quot ? quoted(stringval) : stringval;
    case typeident::builtin_int:
        return std::to_string(intval);
    case typeident::builtin_float:
        return floattext(floatval);
    case typeident::builtin_list: {
        if (printing) return "[...]";
        printguard guard(*this);
        std::string text = "[";
        bool first = true;
        for (variable* element : listval) {
            if (!first) text += ", ";
            first = false;
            text += element->getstring(true);
        }
        return text + "]";
    }
    case typeident::builtin_dict: {
        if (printing) return "[...]";
        printguard guard(*this);
        std::string text = "[";
        bool first = true;
        for (auto& [key, value] : dictval) {
            if (!first) text += ", ";
            first = false;
            text += key->getstring(true);
            text += ": ";
            text += value->getstring(true);
        }
        return text + "]";
    }
    default:
        return "None";
    }
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
    case typeident::custom_func: {
        if (codesize() != other.codesize()) return false;
        return codesize() == 0 || *funccode == *other.funccode;
    }
    default:
        return true;  // pointers, instances, native functions, modules: always equal
    }
}

}  // namespace T4VM

namespace T4VM {
void resetvalues() { markcount = 0; }
}  // namespace T4VM
