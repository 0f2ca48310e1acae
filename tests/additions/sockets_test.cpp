// Real TCP on 127.0.0.1 between programs run by the machine and a peer written here, and CRC-32C.
// Ports are never fixed: where the test listens it binds port 0; where a program listens the test
// picks a port that was free a moment ago and runs once more on "Bind failed". The peer's waits are
// bounded by poll timeouts, each test as a whole by its ctest timeout.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <future>
#include <numeric>

#include "assembler.h"
#include "vm/additions/hashing.h"
#include "vm/additions/tcp.h"
#include "vm/embed.h"

namespace {

const std::string failed = "TARN 4 VM error within module: ";

struct fd {
    int n = ::socket(AF_INET, SOCK_STREAM, 0);
    ~fd() { ::close(n); }
};

std::uint16_t localport(const fd& s) {
    sockaddr_in where{};
    socklen_t size = sizeof where;
    ::getsockname(s.n, reinterpret_cast<sockaddr*>(&where), &size);
    return ntohs(where.sin_port);
}

// Binds s to a port of the system's choosing on 127.0.0.1, listens if asked, and gives the port.
std::uint16_t bound(const fd& s, bool listening = true) {
    const sockaddr_in where{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(::bind(s.n, reinterpret_cast<const sockaddr*>(&where), sizeof where), 0);
    EXPECT_EQ(listening ? ::listen(s.n, 8) : 0, 0);
    return localport(s);
}

bool waiting(int n, int milliseconds = 5000) {
    pollfd one{n, POLLIN, 0};
    return ::poll(&one, 1, milliseconds) == 1;
}

// Connects to the port a program is about to listen on, within five seconds. A socket that got the
// very port it connects to has connected to itself, which is no connection.
void connectsoon(fd& s, std::uint16_t port) {
    const sockaddr_in where{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (::connect(s.n, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0 && localport(s) != port)
            return;
        ::close(s.n);
        s.n = ::socket(AF_INET, SOCK_STREAM, 0);
        ::usleep(5000);
    }
}

void sendall(const fd& s, const std::string& bytes) { ::send(s.n, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

// What the other side sends until it closes, "(quiet)" added when it is silent for five seconds.
std::string untilclosed(const fd& s) {
    std::string bytes;
    char buffer[4096];
    while (waiting(s.n)) {
        const ssize_t got = ::recv(s.n, buffer, sizeof buffer, 0);
        if (got <= 0) return bytes;
        bytes.append(buffer, std::size_t(got));
    }
    return bytes + "(quiet)";
}

std::string frame(const std::string& payload) {
    const auto n = std::uint32_t(payload.size());
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + payload;
}

// Program text calling a method of a global object, or of the socket or hashing module; each
// argument is an instruction that pushes one.
std::string call(const std::string& object, const std::string& method,
                 const std::vector<std::string>& arguments = {}) {
    std::string text;
    for (const auto& argument : arguments) text += argument + "\n";
    text += object == "socket" || object == "hashing" ? "enterattr " + object : "loadglobal " + object + "\nenter";
    return text + "\nloadattr " + method + "\ncall " + std::to_string(arguments.size()) + "\nleave\n";
}

std::string newclient(const std::string& host, long port) {
    const std::vector<std::string> arguments{"pushconst \"" + host + "\"", "pushconst " + std::to_string(port)};
    return call("socket", "client", arguments) + "storeglobal c\n";
}

std::string receive(const std::string& object, const std::string& global) {
    return call(object, "receive") + "storeglobal " + global + "\n";
}

// Writes the value of each global followed by "|".
std::string write(const std::vector<std::string>& globals) {
    std::string text = "enterattr stdout\n";
    for (const auto& global : globals)
        text += "loadglobal " + global + "\nloadattr write\ncall 1\npushconst \"|\"\nloadattr write\ncall 1\n";
    return text + "leave\n";
}

T4VM::runresult run(const std::string& source) { return T4VM::runimage(T4VM::assemble(source), {"silent"}); }

TEST(Sockets, ProgramServerTakesFramesInPiecesAndServesASecondClient) {
    const std::string payload("split\0message", 13);
    T4VM::runresult result;
    std::string echoed;
    for (int attempt = 0; attempt < 2 && (attempt == 0 || result.err == failed + "Bind failed\n"); ++attempt) {
        const std::uint16_t port = bound(fd(), false);  // free a moment ago; the program adds 65536
        const std::string source =
            call("socket", "server", {"pushconst " + std::to_string(port + 65536)}) + "storeglobal s\n" +
            call("s", "accept") + receive("s", "a") + receive("s", "b") + receive("s", "c") + write({"a", "b", "c"}) +
            call("s", "send", {"loadglobal a"}) + call("s", "disconnect") + call("s", "accept") + receive("s", "d") +
            write({"d"}) + call("s", "disconnect") + call("s", "send", {"pushconst 1"});
        auto program = std::async(std::launch::async, run, source);
        {
            fd first, second;
            connectsoon(first, port);
            // The prefix and two payload bytes one at a time, then the rest and two more frames at once.
            for (std::size_t i = 0; i < 6; ++i) {
                sendall(first, frame(payload).substr(i, 1));
                ::usleep(10000);
            }
            sendall(first, frame(payload).substr(6) + frame("second") + frame(""));
            echoed = untilclosed(first);  // until the program disconnects it
            connectsoon(second, port);
            sendall(second, "\xff\xff\xff\xff" "ab");  // announces 4 GiB, sends two bytes and closes
        }
        result = program.get();
    }
    EXPECT_EQ(result.out, payload + "|second|||");
    EXPECT_EQ(result.err, failed + "Send failed\n");  // no client after the second disconnect
    EXPECT_EQ(echoed, frame(payload));
}

TEST(Sockets, ProgramClientPutsExactFramesOnTheWire) {
    fd listener;
    const std::uint16_t port = bound(listener);
    const std::string payload("zero\0inside", 11);
    // The port is cut to 16 bits. Sending on after the peer has gone ends in "Send failed", never in SIGPIPE.
    const std::string source = newclient("127.0.0.1", port - 65536) + call("c", "send", {"pushconst \"hi\""}) +
                               call("c", "send", {"pushconst \"\""}) + receive("c", "r") + write({"r"}) +
                               receive("c", "r") + "pushconst 1\nwhileblock {\n" + call("c", "send", {"pushconst 1"}) +
                               "pushconst 1\n}\n";
    auto program = std::async(std::launch::async, run, source);
    {
        ASSERT_TRUE(waiting(listener.n));
        fd peer{::accept(listener.n, nullptr, nullptr)};
        sendall(peer, frame(payload));
        std::string wire(10, '?');
        ::recv(peer.n, wire.data(), wire.size(), MSG_WAITALL);
        EXPECT_EQ(wire, std::string("\x00\x00\x00\x02" "hi" "\x00\x00\x00\x00", 10));
    }
    const T4VM::runresult result = program.get();
    EXPECT_EQ(result.out, payload + "|");
    EXPECT_EQ(result.err, failed + "Send failed\n");
}

TEST(Sockets, Failures) {
    fd listener, closed;
    const std::uint16_t port = bound(listener);
    const std::pair<std::string, std::string> cases[] = {
        {newclient("localhost", port), "Connection failed"},  // a host name is not looked up
        {newclient("127.0.0.1", bound(closed, false)), "Connection failed"},
        {call("socket", "server", {"pushconst " + std::to_string(port)}), "Bind failed"},
        {newclient("127.0.0.1", port) + call("c", "close") + call("c", "receive"), "No such param: client"},
    };
    for (const auto& [source, message] : cases) EXPECT_EQ(run(source).err, failed + message + "\n") << source;

    TARN4SOCKETS::TCPServer endpoint(0, "127.0.0.1");  // closed: a later accept fails cleanly
    endpoint.close();
    try {
        endpoint.accept_client();
        ADD_FAILURE() << "accepted after close";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), "Accept failed:-1");
    }
}

TEST(Crc32c, CheckValuesOverSplitInput) {
    std::string up(32, '\0');
    std::iota(up.begin(), up.end(), '\0');
    const std::pair<std::string, std::uint32_t> cases[] = {
        {"", 0},
        {"123456789", 3808858755u},
        {"abc", 910901175u},
        {std::string(32, '\x00'), 0x8A9136AAu},  // the iSCSI test patterns
        {std::string(32, '\xff'), 0x62A8AB43u},
        {up, 0x46DD794Eu},
        {std::string(up.rbegin(), up.rend()), 0x113FDB5Cu},
    };
    for (const auto& [text, expected] : cases) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        for (std::size_t cut : {std::size_t{0}, text.size() / 3, text.size()}) {
            const std::uint32_t first = T4VMHASHING::crc32func(0, bytes, cut);
            EXPECT_EQ(T4VMHASHING::crc32func(first, bytes + cut, text.size() - cut), expected) << cut;
        }
    }
    // In programs the integer 42 gives what the text 42 gives.
    const std::string crc = call("hashing", "crc32", {"pushconst 42"}) + call("hashing", "crc32", {"pushconst \"42\""});
    EXPECT_EQ(T4VM::runimage(T4VM::assemble(crc + "equal")).out, "\n<TARN 4> Program finished with code 1\n");
}

}  // namespace
