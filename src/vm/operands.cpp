// Operand decoding: one self-describing operand (a type byte and a body) from the running code.
#include <array>
#include <cstring>

#include "vm/heap.h"
#include "vm/vm.h"

namespace T4VM {

namespace {

// Deeper list or dictionary operands than this are refused before they exhaust the C++ stack;
// no program written by hand or by a compiler nests constants this deep.
constexpr int maxoperanddepth = 1000;

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

float decodefloat(std::uint32_t whole, std::uint32_t fraction) {
    double scale = 10.0;  // 10^d, d the number of digits of the fraction (at least one)
    for (std::uint32_t rest = fraction / 10; rest != 0; rest /= 10) scale *= 10.0;
    return static_cast<float>(whole) + static_cast<float>(fraction) / static_cast<float>(scale);
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
    list.listval.mut().assign(elements.rbegin(), elements.rend());
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

bool stackoperandseen = false;

variable* decodestack() {
    stackoperandseen = true;
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
    stackoperandseen = false;
    variable* value = decode(bytes, 0);
    // A decoded number, text, class or function is a fresh object that nothing else refers to, and
    // its copy would be made right after it, leaving every object in the same order: the decoded
    // object itself is the constant. Containers and values taken from the stack are copied, since
    // their copies share or renumber the objects inside.
    const bool container =
        value->identifier == typeident::builtin_list || value->identifier == typeident::builtin_dict;
    return (container || stackoperandseen) ? value->getcopy() : value;
}

namespace {

bool readsonly(byte opcode) {
    return opcode <= op::div || opcode == op::equal || (opcode >= op::greater && opcode <= op::greaterequal);
}

// The length of a number or text operand starting at `at`, or 0 for any other operand.
std::size_t plainoperandsize(const codeblock& code, std::size_t at) {
    if (at >= code.size()) return 0;
    switch (code[at]) {
    case operandtype::integer: return 5;
    case operandtype::floating: return 9;
    case operandtype::string: {
        if (const std::string* name = code.cachedname(at)) return name->size() + 2;
        const byte* start = code.begin() + at + 1;
        const void* terminator = std::memchr(start, 0, static_cast<std::size_t>(code.end() - start));
        return terminator == nullptr ? 0 : static_cast<const byte*>(terminator) - start + 2;
    }
    default: return 0;
    }
}

// Objects that stand for number constants nobody but one arithmetic or comparison instruction
// will see. They are the machine's own, kept alive by the collector, and taken in turn: at most
// two are on a data stack at any time.
std::array<variable*, 4> scratch{};
std::size_t nextscratch = 0;

}  // namespace

namespace {

int findreaderahead(const codeblock& code, std::size_t next) {
    const byte opcode = code[next];
    if (readsonly(opcode)) return 1;
    // One load or constant may come in between: it only pushes.
    if (opcode != op::loadlocal && opcode != op::loadglobal && opcode != op::pushconst) return 0;
    const std::size_t operand = plainoperandsize(code, next + 1);
    if (operand == 0) return 0;
    if (opcode != op::pushconst && code[next + 1] != operandtype::string) return 0;
    const std::size_t after = next + 1 + operand;
    return after < code.size() && readsonly(code[after]) ? 2 : 0;
}

}  // namespace

int readonlyahead(const codeblock& code, std::size_t next) {
    // Another context runs between two steps of this one and could change a shared object.
    if (threads.size() != 1 || next >= code.size()) return 0;
    std::int8_t& cached = code.cachedreaderahead(next);
    if (cached == 0) cached = static_cast<std::int8_t>(findreaderahead(code, next) + 1);
    return cached - 1;
}

variable* scratchnumber() {
    variable*& slot = scratch[nextscratch++ % scratch.size()];
    if (slot == nullptr) {
        slot = getallocvar();
        pinvariable(slot);
    }
    return slot;
}

variable* getreadonlyconstant(codeframe& bytes) {
    const byte type = bytes.empty() ? operandtype::end : bytes.top();
    if ((type != operandtype::integer && type != operandtype::floating) ||
        bytes.remaining() < (type == operandtype::integer ? 5u : 9u))
        return getconstant(bytes);
    variable* slot = scratchnumber();
    bytes.pop();
    if (type == operandtype::integer) {
        slot->identifier = typeident::builtin_int;
        slot->intval = static_cast<std::int32_t>(readword(bytes));
    } else {
        slot->identifier = typeident::builtin_float;
        const std::uint32_t whole = readword(bytes);
        slot->floatval = decodefloat(whole, readword(bytes));
    }
    return slot;
}

void resetoperands() {
    scratch.fill(nullptr);
    nextscratch = 0;
}

const std::string* getname(codeframe& bytes) {
    // Names are nearly always string operands: their text is read once per place in the code.
    if (!bytes.empty() && bytes.top() == operandtype::string) {
        const std::string*& cached = bytes.code.cachedname(bytes.pc);
        if (cached != nullptr) {
            bytes.pc += cached->size() + 2;  // type byte, text, terminator
            return cached;
        }
        bytes.pop();
        const std::string* text = nametext::intern(readstring(bytes));
        cached = text;
        return text;
    }
    return nametext::intern(getop(bytes)->getstring(false));
}

std::int32_t getcount(codeframe& bytes) {
    // Counts are nearly always integer operands: read them without building a value.
    if (bytes.remaining() >= 5 && bytes.top() == operandtype::integer) {
        bytes.pop();
        return static_cast<std::int32_t>(readword(bytes));
    }
    return getop(bytes)->getint();
}

bool inrange(byte min, byte max, byte value) { return min <= value && value < max; }

}  // namespace T4VM
