// Buffered output over a POSIX descriptor, for the files programs write and for the standard
// output of the t4vm executable. A file stream forgets why a write failed; this writer keeps the
// system's error code, so the machine can say why data was lost instead of ending as if it had
// been written.
#pragma once

#include <memory>
#include <ostream>
#include <streambuf>

namespace T4VM {

class fdwriter : public std::streambuf {
public:
    // `fd` -1 stands for a file that could not be opened: what is written there is dropped
    // without a failure, as programs cannot ask whether `open` succeeded. With `quietpipe` a
    // reader that has gone away (EPIPE) is not a failure either: the output just stops.
    fdwriter(int fd, bool ownsfd, bool quietpipe);
    ~fdwriter() override;
    fdwriter(const fdwriter&) = delete;
    fdwriter& operator=(const fdwriter&) = delete;

    // Writes out the buffer and closes the descriptor if the writer owns it; later output is
    // dropped. A failure of the close itself counts like a failed write (some file systems only
    // report a full disk there).
    void close();
    // The error code of the first failed write, handed out once so that each loss is reported
    // once; 0 when nothing failed or the failure was already taken.
    int takefailure();

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

private:
    void makebuffer();
    void drain();
    void send(const char* bytes, std::size_t count);
    void lose(int code);

    int fd_;
    bool ownsfd_;
    bool quietpipe_;
    bool dropping_ = false;  // closed, never opened, or failed: nothing more reaches the descriptor
    int untold_ = 0;         // the failure not yet taken
    std::unique_ptr<char[]> buffer_;  // made at the first write, so files opened and never written cost nothing
};

// An output stream over an fdwriter.
class fdstream : public std::ostream {
public:
    fdstream(int fd, bool ownsfd, bool quietpipe);
    fdwriter& writer() { return writer_; }

private:
    fdwriter writer_;
};

// The writer behind a stream the machine writes through, or null for a stream that cannot fail
// that way (the string streams of an embedded run).
fdwriter* writerof(std::ostream& stream);

}  // namespace T4VM
