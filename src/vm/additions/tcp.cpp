// TCP endpoints over POSIX sockets. POSIX needs no socket library start-up or release, so the
// endpoints have none.
#include "vm/additions/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // such systems get SO_NOSIGPIPE on the socket instead
#endif

namespace TARN4SOCKETS {

namespace {

// Payload bytes are read in steps of at most this much more than has already arrived, so a
// frame announcing a huge length costs memory only as its bytes really come in.
constexpr std::size_t receivestep = 64 * 1024;

// Shell commands run by programs must not inherit connections and listening sockets, which
// would keep them open after the machine has closed them.
void closeonexec(int fd) { ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC); }

std::int32_t opensocket() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("Socket creation failed");
    closeonexec(fd);
#ifdef SO_NOSIGPIPE
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return fd;
}

void closehandle(std::int32_t& fd) {
    if (fd == -1) return;
    ::close(fd);  // not retried on EINTR: the descriptor is released either way
    fd = -1;
}

// A connect interrupted by a signal goes on in the background; wait for its outcome.
int connectto(int fd, const sockaddr_in& address) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    if (errno != EINTR) return -1;
    pollfd waiting{fd, POLLOUT, 0};
    while (::poll(&waiting, 1, -1) < 0)
        if (errno != EINTR) return -1;
    int failure = 0;
    socklen_t size = sizeof failure;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) < 0 || failure != 0) return -1;
    return 0;
}

// The prefix and the payload go out in one gather write, so a small message leaves as one
// segment instead of two that Nagle's algorithm would hold apart.
void sendframe(std::int32_t fd, const std::string& message) {
    if (fd == -1 || message.size() > UINT32_MAX) throw std::runtime_error("Send failed");
    const std::uint32_t length = htonl(static_cast<std::uint32_t>(message.size()));
    unsigned char prefix[4];
    std::memcpy(prefix, &length, sizeof prefix);
    const std::size_t total = sizeof prefix + message.size();
    std::size_t sent = 0;
    while (sent < total) {
        iovec parts[2];
        int count = 0;
        if (sent < sizeof prefix) parts[count++] = {prefix + sent, sizeof prefix - sent};
        const std::size_t payloadsent = sent > sizeof prefix ? sent - sizeof prefix : 0;
        if (payloadsent < message.size())
            parts[count++] = {const_cast<char*>(message.data()) + payloadsent,
                              message.size() - payloadsent};
        msghdr packet{};
        packet.msg_iov = parts;
        packet.msg_iovlen = count;
        const ssize_t done = ::sendmsg(fd, &packet, MSG_NOSIGNAL);
        if (done < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("Send failed");
        }
        sent += static_cast<std::size_t>(done);
    }
}

// Bytes read, or 0 when the connection has ended or failed.
std::size_t receivesome(std::int32_t fd, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, size, 0);
        if (got > 0) return static_cast<std::size_t>(got);
        if (got < 0 && errno == EINTR) continue;
        return 0;
    }
}

std::string receiveframe(std::int32_t fd) {
    if (fd == -1) return {};
    unsigned char prefix[4];
    for (std::size_t got = 0; got < sizeof prefix;) {
        const std::size_t more = receivesome(fd, prefix + got, sizeof prefix - got);
        if (more == 0) return {};
        got += more;
    }
    const std::size_t length = (std::size_t{prefix[0]} << 24) | (std::size_t{prefix[1]} << 16) |
                               (std::size_t{prefix[2]} << 8) | std::size_t{prefix[3]};
    std::string payload;
    for (std::size_t got = 0; got < length;) {
        const std::size_t room = std::min(length - got, std::max(receivestep, got));
        payload.resize(got + room);
        const std::size_t more = receivesome(fd, payload.data() + got, room);
        if (more == 0) return {};
        got += more;
        payload.resize(got);
    }
    return payload;
}

}  // namespace

TCPClient::TCPClient(const std::string& host, std::uint16_t port) : host_(host), port_(port) {
    sockfd_ = opensocket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = ::inet_addr(host_.c_str());
    // A text that is no numeric address reads as the broadcast address, which no TCP connection
    // can reach: it fails without an attempt.
    if (address.sin_addr.s_addr == INADDR_NONE || connectto(sockfd_, address) < 0) {
        close();  // the destructor does not run for a constructor that throws
        throw std::runtime_error("Connection failed");
    }
}

TCPClient::~TCPClient() { close(); }

void TCPClient::send_message(const std::string& message) { sendframe(sockfd_, message); }

std::string TCPClient::receive_message() { return receiveframe(sockfd_); }

void TCPClient::close() { closehandle(sockfd_); }

TCPServer::TCPServer(std::uint16_t port, const std::string& address) : port_(port) {
    server_fd_ = opensocket();
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port_);
    // No address-reuse option: a port that is in use must fail to bind, not be shared.
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        ::bind(server_fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
        close();
        throw std::runtime_error("Bind failed");
    }
    socklen_t size = sizeof local;
    if (::getsockname(server_fd_, reinterpret_cast<sockaddr*>(&local), &size) == 0)
        port_ = ntohs(local.sin_port);
    if (::listen(server_fd_, INT_MAX) < 0) {
        close();
        throw std::runtime_error("Listen failed");
    }
}

TCPServer::~TCPServer() { close(); }

void TCPServer::accept_client() {
    if (client_fd_ != -1) replaced_.push_back(client_fd_);
    int fd;
    do {
        fd = ::accept(server_fd_, nullptr, nullptr);
    } while (fd < 0 && errno == EINTR);
    client_fd_ = fd < 0 ? -1 : fd;
    if (client_fd_ < 0) throw std::runtime_error("Accept failed:" + std::to_string(client_fd_));
    closeonexec(client_fd_);
}

void TCPServer::send_message(const std::string& message) { sendframe(client_fd_, message); }

std::string TCPServer::receive_message() { return receiveframe(client_fd_); }

void TCPServer::disconnect_client() { closehandle(client_fd_); }

void TCPServer::close() {
    closehandle(client_fd_);
    for (std::int32_t& fd : replaced_) closehandle(fd);
    replaced_.clear();
    closehandle(server_fd_);
}

}  // namespace TARN4SOCKETS
