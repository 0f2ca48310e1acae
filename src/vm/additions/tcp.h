// TCP endpoints exchanging whole text messages. Every message travels as a frame: its byte length
// as 4 bytes big-endian, then the bytes themselves. The endpoints know nothing of the machine;
// failures are std::runtime_error with a fixed message, so the caller decides how to report them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace TARN4SOCKETS {

class TCPClient {
public:
    // Connects at once to a numeric IPv4 address; no name lookup is made.
    TCPClient(const std::string& host, std::uint16_t port);
    ~TCPClient();
    // Copies would close the one connection twice.
    TCPClient(const TCPClient&) = delete;
    TCPClient& operator=(const TCPClient&) = delete;

    void send_message(const std::string& message);
    // The empty string when the connection ends or fails before a whole frame has arrived.
    std::string receive_message();
    // Safe to repeat: later calls and later sends or receives find no connection.
    void close();

private:
    std::string host_;
    std::uint16_t port_;
    std::int32_t sockfd_ = -1;
};

class TCPServer {
public:
    // Listens on `address`, all interfaces by default. Port 0 lets the system choose; port() then
    // tells which.
    explicit TCPServer(std::uint16_t port, const std::string& address = "0.0.0.0");
    ~TCPServer();
    TCPServer(const TCPServer&) = delete;
    TCPServer& operator=(const TCPServer&) = delete;

    std::uint16_t port() const { return port_; }
    // Waits for the next client. A client already held is replaced; its connection stays open
    // until the server is closed.
    void accept_client();
    void send_message(const std::string& message);
    std::string receive_message();
    // Does nothing when no client is held.
    void disconnect_client();
    // Closes the clients and the listening socket. Safe to repeat.
    void close();

private:
    std::uint16_t port_;
    std::int32_t server_fd_ = -1;
    std::int32_t client_fd_ = -1;
    std::vector<std::int32_t> replaced_;  // clients replaced by a later accept, still open
};

}  // namespace TARN4SOCKETS
