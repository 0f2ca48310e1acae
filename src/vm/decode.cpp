// Decoding a body of code into instructions, and the facts about each that the shortcuts use.
// Everything here depends on the bytes alone, which never change once loaded, so each body is
// decoded once, the first time it runs.
#include "vm/decode.h"

#include <cstring>

#include "vm/value.h"

namespace T4VM {

namespace {

std::uint32_t wordat(const byte* at) {
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 | at[3];
}

// The length of the operand starting at `at`, or 0 when reading it would fail: it runs past
// `end`, nests too deep or holds a byte that is no operand type. The same rules as the reader of
// operands at run time, so both agree on where every instruction begins.
std::size_t operandsize(const byte* code, std::size_t at, std::size_t end, int depth) {
    if (depth > maxoperanddepth || at >= end) return 0;
    const std::size_t start = at;
    const byte type = code[at++];
    switch (type) {
    case operandtype::integer: return end - at >= 4 ? 5 : 0;
    case operandtype::floating: return end - at >= 8 ? 9 : 0;
    case operandtype::string: {
        const void* terminator = std::memchr(code + at, 0, end - at);
        return terminator == nullptr ? 0 : static_cast<const byte*>(terminator) - (code + start) + 1;
    }
    case operandtype::klass:
    case operandtype::stack: return 1;
    case operandtype::list:
    case operandtype::dict: {
        const int parts = type == operandtype::list ? 1 : 2;
        for (;;) {
            if (at >= end) return 0;
            if (code[at] == operandtype::end) return at + 1 - start;
            for (int part = 0; part < parts; ++part) {
                const std::size_t size = operandsize(code, at, end, depth + 1);
                if (size == 0) return 0;
                at += size;
            }
        }
    }
    case operandtype::function: {
        if (end - at < 4) return 0;
        const auto length = static_cast<std::int32_t>(wordat(code + at));
        at += 4;
        if (length <= 0) return 5;
        return end - at >= static_cast<std::size_t>(length) ? 5 + static_cast<std::size_t>(length) : 0;
    }
    default: return 0;
    }
}

// Reads the operand of `in`, which starts at `at`, into the instruction where it can be read
// ahead. Returns false when the operand cannot be read at all: nothing after it can run.
bool readoperand(const byte* code, std::size_t at, std::size_t end, instruction& in, decodedbody& body) {
    const std::size_t size = operandsize(code, at, end, 0);
    in.form = operandform::atruntime;
    in.next = static_cast<std::uint32_t>(at + size);
    if (size == 0) {
        in.next = static_cast<std::uint32_t>(at);
        return false;
    }
    const operandkind kind = opcodetable[byteof(in.op)].operand;
    const byte type = code[at];
    if (kind == operandkind::name) {
        if (type == operandtype::string) {
            in.form = operandform::name;
            in.name = nametext::intern(std::string(reinterpret_cast<const char*>(code + at + 1), size - 2));
        }
    } else if (kind == operandkind::count) {
        if (type == operandtype::integer) {
            in.form = operandform::count;
            in.integer = static_cast<std::int32_t>(wordat(code + at + 1));
        }
    } else {
        switch (type) {
        case operandtype::integer:
            in.form = operandform::integer;
            in.integer = static_cast<std::int32_t>(wordat(code + at + 1));
            break;
        case operandtype::floating:
            in.form = operandform::floating;
            in.floating = decodefloat(wordat(code + at + 1), wordat(code + at + 5));
            break;
        case operandtype::string:
            in.form = operandform::text;
            in.textindex = static_cast<std::uint32_t>(body.texts.size());
            body.texts.emplace_back() = std::string(reinterpret_cast<const char*>(code + at + 1), size - 2);
            break;
        case operandtype::klass: in.form = operandform::klass; break;
        case operandtype::function:
            in.form = operandform::function;
            in.bodystart = static_cast<std::uint32_t>(at + 5);
            in.bodylength = static_cast<std::uint32_t>(size - 5);
            break;
        default: break;  // containers and stack operands make their objects when they run
        }
    }
    return true;
}

bool readsonly(const instruction* in) { return in != nullptr && hasflag(byteof(in->op), opflag::readsonly) && in->form != operandform::unknown; }

// A load or constant whose operand is read ahead: it only pushes (an attribute's copy carries
// its receiver, but that is the pushed value's own).
bool plainpush(const instruction* in) {
    if (in == nullptr) return false;
    switch (in->op) {
    case opcode::loadlocal:
    case opcode::loadglobal:
    case opcode::loadattr: return in->form == operandform::name;
    case opcode::pushconst:
        return in->form == operandform::integer || in->form == operandform::floating || in->form == operandform::text;
    default: return false;
    }
}

// A number constant, or a load of a local or of an attribute of the current object by name.
bool plainoperand(const instruction* in) {
    if (in == nullptr) return false;
    if (in->op == opcode::pushconst) return in->form == operandform::integer || in->form == operandform::floating;
    return (in->op == opcode::loadlocal || in->op == opcode::loadattr) && in->form == operandform::name;
}

// A number constant or a load of a local by name.
bool constantorlocal(const instruction* in) {
    return plainoperand(in) && in->op != opcode::loadattr;
}

// `loadlocal X; enter; loadattr M; call K; leave` starts at `i`: a method called on a local.
bool methodcallat(const std::vector<instruction>& code, std::size_t i) {
    if (i + 4 >= code.size()) return false;
    const instruction* in = &code[i];
    return in[0].op == opcode::loadlocal && in[0].form == operandform::name && in[1].op == opcode::enter &&
           in[1].form == operandform::none && in[2].op == opcode::loadattr && in[2].form == operandform::name &&
           in[3].op == opcode::call && in[3].form == operandform::count && in[4].op == opcode::leave &&
           in[4].form == operandform::none;
}

// The block operand's code is `loadlocal` of a name given as a string, then `ret`, and nothing else.
bool blockreturnsalocal(const instruction& in, const byte* bytes, std::size_t length) {
    if (in.op != opcode::ifblock || in.form != operandform::function) return false;
    const std::size_t start = in.bodystart, end = start + in.bodylength;
    if (in.bodylength < 4 || end > length) return false;
    if (bytes[start] != byteof(opcode::loadlocal) || bytes[start + 1] != operandtype::string) return false;
    std::size_t at = start + 2;
    while (at < end && bytes[at] != 0) ++at;
    return at + 2 == end && bytes[at + 1] == byteof(opcode::ret);
}

void notefacts(std::vector<instruction>& code, const byte* bytes, std::size_t length) {
    auto at = [&](std::size_t i) { return i < code.size() ? &code[i] : nullptr; };
    for (std::size_t i = 0; i < code.size(); ++i) {
        instruction& in = code[i];
        in.runpc = in.form == operandform::atruntime || in.form == operandform::unknown ? in.offset + 1 : in.next;
        in.inframe = hasflag(byteof(in.op), opflag::inframe) && in.form != operandform::unknown;
        in.mayrunnow = hasflag(byteof(in.op), opflag::inframenow) && in.form != operandform::unknown;
        const instruction* next = at(i + 1);
        if (readsonly(next))
            in.readerahead = 1;
        else if (plainpush(next) && readsonly(at(i + 2)))
            in.readerahead = 2;
        in.pairahead = plainoperand(&in) && plainoperand(next) && readsonly(at(i + 2));
        in.halfpairahead = plainoperand(&in) && readsonly(next);
        in.storeahead = next != nullptr && next->op == opcode::storelocal && next->form == operandform::name;
        in.methodahead = methodcallat(code, i);
        in.returnsalocal = blockreturnsalocal(in, bytes, length);
        const bool onearg = constantorlocal(&in) && methodcallat(code, i + 1) && code[i + 4].integer == 1;
        const std::string* method = onearg ? code[i + 3].name : nullptr;
        in.lookupahead = method != nullptr && in.op == opcode::loadlocal && (*method == "get" || *method == "contains");
        in.argahead = in.lookupahead || (method != nullptr && *method == "append");
        in.grouped = in.pairahead || in.halfpairahead || in.methodahead || in.argahead;
        in.blockahead = next != nullptr && (next->op == opcode::ifblock || next->op == opcode::whileblock) &&
                        next->form != operandform::unknown && next->offset + 1 < length &&
                        bytes[next->offset + 1] == operandtype::function;
    }
}

std::unique_ptr<decodedbody> decode(const byte* code, std::size_t length) {
    auto body = std::make_unique<decodedbody>();
    std::size_t at = 0;
    while (at < length) {
        instruction in;
        in.offset = static_cast<std::uint32_t>(at);
        const byte number = code[at];
        if (number >= opcodecount) {
            in.form = operandform::unknown;
            in.next = static_cast<std::uint32_t>(at + 1);
            body->code.push_back(in);
            break;  // it ends the run
        }
        in.op = static_cast<opcode>(number);
        if (opcodetable[number].operand == operandkind::none) {
            in.next = static_cast<std::uint32_t>(at + 1);
        } else if (!readoperand(code, at + 1, length, in, *body)) {
            body->code.push_back(in);
            break;  // reading its operand fails and ends the run
        }
        body->code.push_back(in);
        at = in.next;
    }
    notefacts(body->code, code, length);
    return body;
}

}  // namespace

float decodefloat(std::uint32_t whole, std::uint32_t fraction) {
    double scale = 10.0;  // 10^d, d the number of digits of the fraction (at least one)
    for (std::uint32_t rest = fraction / 10; rest != 0; rest /= 10) scale *= 10.0;
    return static_cast<float>(whole) + static_cast<float>(fraction) / static_cast<float>(scale);
}

const decodedbody* codeblock::decodefirst() const {
    if (!buffer) return nullptr;  // code of no buffer is empty
    const std::size_t offset = static_cast<std::size_t>(start - buffer->bytes.data());
    std::unique_ptr<decodedbody>& found = buffer->bodies[offset];
    if (!found) found = decode(start, length);
    decodedcache = found.get();
    return decodedcache;
}

void codeblock::forgetdecoded() const {
    if (buffer) buffer->bodies.clear();
    decodedcache = nullptr;
}

bool sealsframe(const codeblock& code) {
    const decodedbody* body = code.decoded();
    if (body == nullptr) return true;
    if (body->sealed >= 0) return body->sealed == 1;
    // The blocks inside are looked at from a list rather than by recursion: blocks may nest as deep
    // as an image is long.
    bool sealed = true;
    std::vector<codeblock> pending{code};
    while (sealed && !pending.empty()) {
        const codeblock current = std::move(pending.back());
        pending.pop_back();
        const decodedbody* decoded = current.decoded();
        if (decoded == nullptr) continue;
        for (const instruction& in : decoded->code) {
            const bool block = in.op == opcode::ifblock || in.op == opcode::whileblock || in.op == opcode::foreachblock;
            if (in.form == operandform::unknown || in.op == opcode::call || in.op == opcode::pointlocal ||
                in.op == opcode::savelocals || (block && in.form != operandform::function)) {
                sealed = false;
                break;
            }
            if (block) pending.emplace_back(current, in.bodystart, in.bodylength);
        }
    }
    body->sealed = sealed ? 1 : 0;
    return sealed;
}

codebuffer::codebuffer() = default;
codebuffer::~codebuffer() = default;

}  // namespace T4VM
