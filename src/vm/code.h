// Code as the machine holds it: one immutable buffer of bytes per program image, shared by every
// function value, copy and frame that runs a part of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace T4VM {

using byte = std::uint8_t;

struct decodedbody;

// Code is immutable once loaded, so function values, their copies, the function operands decoded
// from a body and the frames running them all share one buffer of bytes in file order: decoding a
// function operand or calling a function never copies code.
struct codebuffer {
    std::vector<byte> bytes;
    // The decoded form of each body of code in the buffer that has run, by the offset it starts at
    // (the image itself at 0, function bodies further on).
    mutable std::unordered_map<std::size_t, std::unique_ptr<decodedbody>> bodies;
    codebuffer();
    ~codebuffer();
};

class codeblock {
public:
    codeblock() = default;
    codeblock(std::vector<byte> bytes);                              // NOLINT: the whole buffer
    codeblock(const std::shared_ptr<const std::vector<byte>>& bytes);  // NOLINT
    codeblock(const codeblock& whole, std::size_t offset, std::size_t count)
        : buffer(whole.buffer), start(whole.start + offset), length(count) {}

    std::size_t size() const { return length; }
    bool empty() const { return length == 0; }
    const byte* begin() const { return start; }
    const byte* end() const { return start + length; }
    // Where this code starts in its buffer: the offset in the program image, which source maps
    // and debuggers speak of.
    std::size_t imageoffset() const { return buffer ? static_cast<std::size_t>(start - buffer->bytes.data()) : 0; }
    byte operator[](std::size_t index) const { return start[index]; }
    // The instructions of this code, decoded the first time it runs; null for empty code that
    // belongs to no buffer.
    const decodedbody* decoded() const { return decodedcache != nullptr ? decodedcache : decodefirst(); }
    // Drops the decoded form of every body of the buffer, which breaks the loop between the
    // buffer and the constants its instructions keep. Only for the end of a machine: any codeblock
    // of this buffer that still runs would decode its body again, but one that has decoded it
    // keeps a pointer to the old form.
    void forgetdecoded() const;
    friend bool operator==(const codeblock& a, const codeblock& b);

private:
    // Decodes this body, or finds the form another codeblock of it decoded. Every call looks for
    // the decoded form, so what a copy already holds is read inline.
    const decodedbody* decodefirst() const;
    std::shared_ptr<const codebuffer> buffer;
    const byte* start = nullptr;
    std::size_t length = 0;
    mutable const decodedbody* decodedcache = nullptr;
};

}  // namespace T4VM
