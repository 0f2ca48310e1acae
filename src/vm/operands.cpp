// Operand decoding: one self-describing operand (a type byte and a body) from the running code.
#include <array>
#include <cstring>

#include "vm/decode.h"
#include "vm/heap.h"
#include "vm/interpreter.h"
#include "vm/shortcuts.h"
#include "vm/machine.h"

namespace T4VM {

namespace {

[[noreturn]] void cutoff(codeframe& bytes) {
    bytes.pc = bytes.code.size();
    fail("Operand cut off by the end of its code.", false);
}

byte readbyte(codeframe& bytes) {
    if (bytes.empty()) cutoff(bytes);
    byte value = bytes.top();
    bytes.pop();
    return value;
}

std::uint32_t readword(codeframe& bytes) {
    if (bytes.remaining() >= 4) {
        const byte* at = bytes.code.begin() + bytes.pc;
        bytes.pc += 4;
        return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 | at[3];
    }
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | readbyte(bytes);
    return value;
}

std::string readstring(codeframe& bytes) {
    std::string text;
    for (;;) {
        byte next = readbyte(bytes);
        if (next == 0) return text;
        text.push_back(static_cast<char>(next));
    }
}

variable* decode(codeframe& bytes, int depth);

// The element, key or value objects of containers: the decoded operand itself is a fresh object
// that nothing else refers to, so it serves as the new heap object.
void decodelist(codeframe& bytes, variable& list, int depth) {
    std::vector<variable*> elements;
    for (;;) {
        if (bytes.empty()) cutoff(bytes);
        if (bytes.top() == operandtype::end) {
            bytes.pop();
            break;
        }
        elements.push_back(decode(bytes, depth + 1));
    }
    // The element written first in the code is the last element of the list.
    list.listval.reserve(elements.size());
    for (auto element = elements.rbegin(); element != elements.rend(); ++element) list.listval.push_back(*element);
}

void decodedict(codeframe& bytes, variable& dict, int depth) {
    for (;;) {
        if (bytes.empty()) cutoff(bytes);
        if (bytes.top() == operandtype::end) {
            bytes.pop();
            return;
        }
        variable* key = decode(bytes, depth + 1);
        variable* value = decode(bytes, depth + 1);
        dict.dictval[key] = value;
    }
}

void decodefunction(codeframe& bytes, variable& function) {
    const std::int32_t length = static_cast<std::int32_t>(readword(bytes));
    if (length <= 0) return;
    if (bytes.remaining() < static_cast<std::size_t>(length)) {
        bytes.pc = bytes.code.size();  // every byte there was has been taken into the body
        fail("bytes ran out! Specified: " + std::to_string(length), false);
    }
    function.parts.mut().funccode = codeblock(bytes.code, bytes.pc, static_cast<std::size_t>(length));
    bytes.pc += static_cast<std::size_t>(length);
}

variable* decodestack() {
    vm().stackoperandseen = true;
    if (datastack->empty()) fail("Stack operand met an empty datastack.", false);
    variable* top = datastack->back();
    datastack->pop_back();
    variable* result = getallocvar();
    *result = *top->getvar();
    return result;
}

variable* decode(codeframe& bytes, int depth) {
    if (depth > maxoperanddepth) fail("Operand nesting too deep.", false);
    if (bytes.empty()) fail("Code ended where an operand was expected.", false);
    const byte type = bytes.top();
    bytes.pop();
    if (type == operandtype::stack) return decodestack();
    if (type > operandtype::stack) fail("Bad type when getting operand!" + std::to_string(type), false);

    variable* result = getallocvar();
    switch (type) {
    case operandtype::integer:
        result->identifier = typeident::builtin_int;
        result->intval = static_cast<std::int32_t>(readword(bytes));
        break;
    case operandtype::floating: {
        result->identifier = typeident::builtin_float;
        const std::uint32_t whole = readword(bytes);
        const std::uint32_t fraction = readword(bytes);
        result->floatval = decodefloat(whole, fraction);
        break;
    }
    case operandtype::string:
        result->identifier = typeident::builtin_string;
        initstringvar(*result);
        result->stringval = readstring(bytes);
        break;
    case operandtype::klass:
        result->identifier = typeident::custom_class;
        break;
    case operandtype::list:
        result->identifier = typeident::builtin_list;
        initlistvar(*result);
        decodelist(bytes, *result, depth);
        break;
    case operandtype::dict:
        result->identifier = typeident::builtin_dict;
        initdictvar(*result);
        decodedict(bytes, *result, depth);
        break;
    case operandtype::function:
        result->identifier = typeident::custom_func;
        decodefunction(bytes, *result);
        break;
    }
    return result;
}

}  // namespace

variable* getop(codeframe& bytes) { return decode(bytes, 0); }

variable* getconstant(codeframe& bytes) {
    machine& m = vm();
    m.stackoperandseen = false;
    variable* value = decode(bytes, 0);
    return shortcut::constantuncopied(*value, m.stackoperandseen) ? value : value->getcopy();
}

variable* makeconstant(const codeframe& frame, const instruction& in) {
    // The objects are made in the order reading the operand from the bytes makes them.
    variable* value = getallocvar();
    switch (in.form) {
    case operandform::integer:
        value->identifier = typeident::builtin_int;
        value->intval = in.integer;
        break;
    case operandform::floating:
        value->identifier = typeident::builtin_float;
        value->floatval = in.floating;
        break;
    case operandform::text:
        value->identifier = typeident::builtin_string;
        initstringvar(*value);
        value->stringval = frame.body->texts[in.textindex];
        break;
    case operandform::klass: value->identifier = typeident::custom_class; break;
    default: {  // a function
        value->identifier = typeident::custom_func;
        // An empty or negative length leaves the function without code.
        if (in.bodylength != 0) {
            if (!in.functionbody.made()) in.functionbody.mut().funccode = codeblock(frame.code, in.bodystart, in.bodylength);
            value->parts = in.functionbody;
        }
        break;
    }
    }
    return shortcut::constantuncopied(*value, false) ? value : value->getcopy();
}

// Objects that stand for numbers nobody but one arithmetic, comparison or condition will see.
// They are the machine's own, kept alive by the collector, and taken in turn: at most two are on
// a data stack at any time.
variable* makescratch(variable*& slot) {
    slot = getallocvar();
    pinvariable(slot);
    return slot;
}

variable* scratchconstant(const instruction& in) {
    variable* slot = scratchnumber();
    if (in.form == operandform::integer) {
        slot->identifier = typeident::builtin_int;
        slot->intval = in.integer;
    } else {
        slot->identifier = typeident::builtin_float;
        slot->floatval = in.floating;
    }
    return slot;
}

variable* scratchtext(const codeframe& frame, const instruction& in) {
    machine& m = vm();
    variable*& slot = m.textscratch[m.nexttextscratch++ % m.textscratch.size()];
    if (slot == nullptr) {
        makescratch(slot);
        slot->identifier = typeident::builtin_string;
        initstringvar(*slot);
    }
    slot->stringval = frame.body->texts[in.textindex];  // shares the code's text
    return slot;
}

const std::string* getname(codeframe& bytes) {
    if (!bytes.empty() && bytes.top() == operandtype::string) {
        bytes.pop();
        return nametext::intern(readstring(bytes));
    }
    return nametext::intern(getop(bytes)->getstring(false));
}

std::int32_t getcount(codeframe& bytes) {
    if (bytes.remaining() >= 5 && bytes.top() == operandtype::integer) {
        bytes.pop();
        return static_cast<std::int32_t>(readword(bytes));
    }
    return getop(bytes)->getint();
}

}  // namespace T4VM
