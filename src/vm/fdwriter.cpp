#include "vm/fdwriter.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace T4VM {

namespace {

constexpr std::size_t buffersize = 64 * 1024;

}  // namespace

fdwriter::fdwriter(int fd, bool ownsfd, bool quietpipe)
    : fd_(fd), ownsfd_(ownsfd), quietpipe_(quietpipe), dropping_(fd < 0) {}

fdwriter::~fdwriter() { close(); }

void fdwriter::close() {
    drain();
    if (fd_ >= 0 && ownsfd_ && ::close(fd_) != 0 && errno != EINTR && !dropping_) lose(errno);
    fd_ = -1;
    dropping_ = true;
    buffer_.reset();
    setp(nullptr, nullptr);
}

int fdwriter::takefailure() {
    const int code = untold_;
    untold_ = 0;
    return code;
}

void fdwriter::lose(int code) {
    dropping_ = true;
    if (code != EPIPE || !quietpipe_) untold_ = code;
}

void fdwriter::send(const char* bytes, std::size_t count) {
    while (count > 0 && !dropping_) {
        const ssize_t done = ::write(fd_, bytes, count);
        if (done >= 0) {
            bytes += done;
            count -= static_cast<std::size_t>(done);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A descriptor someone else made non-blocking (a shared terminal or pipe): wait until
            // it takes more rather than count it as lost.
            pollfd ready{fd_, POLLOUT, 0};
            ::poll(&ready, 1, -1);
        } else if (errno != EINTR) {
            lose(errno);
        }
    }
}

void fdwriter::drain() {
    if (pbase() == nullptr) return;
    send(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(pbase(), epptr());
}

void fdwriter::makebuffer() {
    if (buffer_ != nullptr) return;
    buffer_ = std::make_unique<char[]>(buffersize);
    setp(buffer_.get(), buffer_.get() + buffersize);
}

fdwriter::int_type fdwriter::overflow(int_type c) {
    drain();
    if (dropping_) {
        setp(nullptr, nullptr);  // every later write comes here and is dropped at once
        return traits_type::not_eof(c);
    }
    makebuffer();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize fdwriter::xsputn(const char* text, std::streamsize count) {
    const auto size = static_cast<std::size_t>(count);
    if (size > static_cast<std::size_t>(epptr() - pptr())) {
        drain();
        // A text as large as the buffer would only be copied through it.
        if (size >= buffersize) {
            send(text, size);
            return count;
        }
        if (!dropping_) makebuffer();
    }
    if (dropping_ || size == 0) return count;
    std::memcpy(pptr(), text, size);
    pbump(static_cast<int>(size));
    return count;
}

int fdwriter::sync() {
    drain();
    return 0;
}

fdstream::fdstream(int fd, bool ownsfd, bool quietpipe) : std::ostream(nullptr), writer_(fd, ownsfd, quietpipe) {
    rdbuf(&writer_);
}

fdwriter* writerof(std::ostream& stream) { return dynamic_cast<fdwriter*>(stream.rdbuf()); }

}  // namespace T4VM
