// Whole programs using the socket and hashing modules, run by the machine against a peer written
// here with plain sockets. The machine runs in a thread of its own while the peer talks to it, so
// what a program sends is checked byte for byte on the wire and what it receives is whatever the
// peer chose to send, zero bytes and split frames included.
//
// Where the machine listens, its port is chosen here (bound to port 0 and released) and written
// into the program; a program that then meets "Bind failed" on that port is run once more on a new
// one. Every wait is bounded: the peer's waits by poll timeouts, a test as a whole by an alarm.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "assembler.h"
#include "vm/vm.h"

namespace {

using namespace std::chrono_literals;

const std::string report = "TARN 4 VM error within module: ";

// A program left waiting (for a connection that never comes, say) cannot be interrupted, so a test
// that has not ended after 45 seconds ends the test process, saying why.
void timedout(int) {
    const char message[] = "\nTest timed out: a program or its peer is still waiting.\n";
    [[maybe_unused]] const ssize_t written = ::write(2, message, sizeof message - 1);
    ::_exit(1);
}

class Programs : public ::testing::Test {
protected:
    void SetUp() override {
        struct sigaction action {};
        action.sa_handler = timedout;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGALRM, &action, &previous_);
        ::alarm(45);
    }
    void TearDown() override {
        ::alarm(0);
        ::sigaction(SIGALRM, &previous_, nullptr);
    }

private:
    struct sigaction previous_ {};
};

// ---------------------------------------------------------------------------------------------
// The peer's side: plain loopback sockets

struct rawsocket {
    int fd = -1;
    rawsocket() = default;
    explicit rawsocket(int descriptor) : fd(descriptor) {}
    rawsocket(rawsocket&& other) noexcept : fd(other.fd) { other.fd = -1; }
    rawsocket& operator=(rawsocket&& other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    rawsocket(const rawsocket&) = delete;
    ~rawsocket() {
        if (fd >= 0) ::close(fd);
    }
    bool valid() const { return fd >= 0; }
};

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return where;
}

std::uint16_t localport(int fd) {
    sockaddr_in where{};
    socklen_t size = sizeof where;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size);
    return ntohs(where.sin_port);
}

// A listening socket of the test's own on 127.0.0.1, on a port the system picks.
rawsocket listener(std::uint16_t& port) {
    rawsocket s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in where = loopback(0);
    if (!s.valid() || ::bind(s.fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(s.fd, 8) != 0)
        return rawsocket();
    port = localport(s.fd);
    return s;
}

// A port that was free a moment ago, for the machine to listen on.
std::uint16_t freeport() {
    rawsocket s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in where = loopback(0);
    if (::bind(s.fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) return 0;
    return localport(s.fd);
}

// Waits up to five seconds for the next connection on `server`.
rawsocket acceptwithin(const rawsocket& server) {
    pollfd waiting{server.fd, POLLIN, 0};
    if (::poll(&waiting, 1, 5000) != 1) return rawsocket();
    return rawsocket(::accept(server.fd, nullptr, nullptr));
}

// Whether a connection waits on `server` or arrives within `milliseconds`.
bool pendingconnection(const rawsocket& server, int milliseconds) {
    pollfd waiting{server.fd, POLLIN, 0};
    return ::poll(&waiting, 1, milliseconds) == 1;
}

void nodelay(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool sendall(const rawsocket& s, const std::string& bytes) {
    return ::send(s.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

// Everything the other side sends until it closes the connection, or until it has been quiet for
// five seconds.
std::string untilclosed(const rawsocket& s) {
    std::string bytes;
    for (;;) {
        pollfd waiting{s.fd, POLLIN, 0};
        if (::poll(&waiting, 1, 5000) != 1) return bytes + "(no end of stream)";
        char buffer[4096];
        const ssize_t got = ::recv(s.fd, buffer, sizeof buffer, 0);
        if (got <= 0) return bytes;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string frame(const std::string& payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + payload;
}

// ---------------------------------------------------------------------------------------------
// The machine's side

// Runs a program on the machine in a thread of its own, silently (no closing line, one-line error
// reports).
class machine {
public:
    explicit machine(const std::string& source) : image_(T4VM::assemble(source)) {
        thread_ = std::thread([this] {
            result_ = T4VM::runimage(image_, {"silent"});
            finished_ = true;
        });
    }
    ~machine() {
        if (thread_.joinable()) thread_.join();
    }
    machine(const machine&) = delete;
    machine& operator=(const machine&) = delete;

    bool finished() const { return finished_; }
    T4VM::runresult finish() {
        thread_.join();
        return result_;
    }

private:
    std::vector<std::uint8_t> image_;
    T4VM::runresult result_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// Connects to a server the program is about to open: tries until the program listens, at most
// ten seconds, and gives up early when the program has ended without listening.
rawsocket connectto(std::uint16_t port, const machine& program) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!program.finished() && std::chrono::steady_clock::now() < deadline) {
        rawsocket s(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in where = loopback(port);
        // A socket whose own port equals the one it connects to has connected to itself, which
        // TCP allows while nothing listens there; that is no connection to the program.
        if (::connect(s.fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
            localport(s.fd) != port) {
            nodelay(s.fd);
            return s;
        }
        std::this_thread::sleep_for(5ms);
    }
    return rawsocket();
}

// Runs the program that `source` writes for a port while `peer` talks to it on that port. The
// port is picked here; when the program reports "Bind failed" and `boundfirst` says the failure
// came before it listened, the whole run is repeated once on another port. `peer` starts afresh
// each time and records what it sees for the test to check afterwards.
T4VM::runresult serve(const std::function<std::string(long)>& source,
                      const std::function<void(std::uint16_t, const machine&)>& peer,
                      const std::function<bool(const T4VM::runresult&)>& boundfirst =
                          [](const T4VM::runresult& r) { return r.out.empty(); }) {
    T4VM::runresult result;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::uint16_t port = freeport();
        machine program(source(port));
        peer(port, program);
        result = program.finish();
        if (result.err != report + "Bind failed\n" || !boundfirst(result)) break;
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Program text

// A string operand; a line feed in `text` is written as its escape.
std::string operand(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) quoted += c == '\n' ? std::string("\\n") : std::string(1, c);
    return quoted + "\"";
}

std::string newserver(const std::string& name, long port) {
    return "pushconst " + std::to_string(port) +
           "\nenterattr socket\nloadattr server\ncall 1\nleave\nstoreglobal " + name + "\n";
}

std::string newclient(const std::string& name, const std::string& host, long port) {
    return "pushconst " + operand(host) + "\npushconst " + std::to_string(port) +
           "\nenterattr socket\nloadattr client\ncall 2\nleave\nstoreglobal " + name + "\n";
}

// Calls `method` on the object in the global `object`; `arguments` are instructions that push the
// arguments. A result stays on the data stack.
std::string call(const std::string& object, const std::string& method,
                 const std::vector<std::string>& arguments = {}) {
    std::string text = "loadglobal " + object + "\nenter\n";
    for (const auto& argument : arguments) text += argument + "\n";
    return text + "loadattr " + method + "\ncall " + std::to_string(arguments.size()) +
           "\nleave\n";
}

std::string constant(const std::string& text) { return "pushconst " + operand(text); }
std::string global(const std::string& name) { return "loadglobal " + name; }

std::string receiveinto(const std::string& object, const std::string& target) {
    return call(object, "receive") + "storeglobal " + target + "\n";
}

// Writes values to standard output; each item is an instruction that pushes one.
std::string write(const std::vector<std::string>& items) {
    std::string text = "enterattr stdout\n";
    for (const auto& item : items) text += item + "\nloadattr write\ncall 1\n";
    return text + "leave\n";
}

std::string crc32into(const std::string& value, const std::string& target) {
    return "enterattr hashing\n" + value + "\nloadattr crc32\ncall 1\nleave\nstoreglobal " +
           target + "\n";
}

T4VM::runresult run(const std::string& source) {
    return T4VM::runimage(T4VM::assemble(source), {"silent"});
}

// ---------------------------------------------------------------------------------------------
// Servers in programs

TEST_F(Programs, ServerReceivesFramesWhateverPiecesTheyArriveIn) {
    std::string echoed;
    const auto result = serve(
        [](long port) {
            return newserver("s", port) + call("s", "accept") + receiveinto("s", "a") +
                   receiveinto("s", "b") + receiveinto("s", "c") +
                   write({constant("["), global("a"), constant("]["), global("b"),
                          constant("]["), global("c"), constant("]")}) +
                   call("s", "send", {global("a")}) + call("s", "send", {global("b")}) +
                   call("s", "send", {global("c")}) + call("s", "disconnect") +
                   call("s", "close");
        },
        [&](std::uint16_t port, const machine& program) {
            echoed.clear();
            rawsocket peer = connectto(port, program);
            if (!peer.valid()) return;
            // The prefix and the first two payload bytes one by one, then the rest; then a frame
            // and an empty frame together in one piece.
            const std::string first = frame("split message");
            for (std::size_t i = 0; i < 6; ++i) {
                sendall(peer, first.substr(i, 1));
                std::this_thread::sleep_for(15ms);
            }
            sendall(peer, first.substr(6, 3));
            std::this_thread::sleep_for(15ms);
            sendall(peer, first.substr(9));
            sendall(peer, frame("second") + frame(""));
            echoed = untilclosed(peer);
        });
    EXPECT_EQ(result.out, "[split message][second][]");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(echoed, frame("split message") + frame("second") + frame(""));
}

TEST_F(Programs, SecondServerOnTheSamePortFailsToBind) {
    const auto result = serve(
        [](long port) {
            return newserver("first", port) + write({constant("listening\n")}) +
                   newserver("second", port) + write({constant("not reached\n")});
        },
        [](std::uint16_t, const machine&) {});
    EXPECT_EQ(result.out, "listening\n");
    EXPECT_EQ(result.err, report + "Bind failed\n");
    EXPECT_EQ(result.status, 1);
}

TEST_F(Programs, ServerOnAPortInUseFailsToBind) {
    std::uint16_t port = 0;
    rawsocket taken = listener(port);
    ASSERT_TRUE(taken.valid());
    const auto result = run(newserver("s", port) + write({constant("not reached\n")}));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, report + "Bind failed\n");
    EXPECT_EQ(result.status, 1);
}

TEST_F(Programs, ServerWithoutClientReceivesNothingAndCannotSend) {
    const auto result = serve(
        [](long port) {
            return newserver("s", port) + receiveinto("s", "r") +
                   write({constant("["), global("r"), constant("]")}) + call("s", "disconnect") +
                   call("s", "send", {constant("x")}) + write({constant("not reached")});
        },
        [](std::uint16_t, const machine&) {});
    EXPECT_EQ(result.out, "[]");
    EXPECT_EQ(result.err, report + "Send failed\n");
    EXPECT_EQ(result.status, 1);
}

TEST_F(Programs, DisconnectThenAcceptServesASecondClient) {
    bool firstended = false;
    std::string second;
    const auto result = serve(
        [](long port) {
            return newserver("s", port) + call("s", "accept") + receiveinto("s", "one") +
                   call("s", "disconnect") + call("s", "accept") + receiveinto("s", "two") +
                   call("s", "send", {global("one")}) +
                   write({global("one"), constant(" "), global("two")}) +
                   call("s", "disconnect") + call("s", "send", {constant("late")});
        },
        [&](std::uint16_t port, const machine& program) {
            firstended = false;
            second.clear();
            rawsocket first = connectto(port, program);
            if (!first.valid()) return;
            sendall(first, frame("one"));
            firstended = untilclosed(first).empty();  // the program disconnects it
            rawsocket next = connectto(port, program);
            if (!next.valid()) return;
            sendall(next, frame("two"));
            second = untilclosed(next);
        });
    EXPECT_EQ(result.out, "one two");
    EXPECT_EQ(result.err, report + "Send failed\n");  // no client after the second disconnect
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(firstended);
    EXPECT_EQ(second, frame("one"));
}

TEST_F(Programs, PeerClosingMidFrameGivesTheServerEmptyReceives) {
    const auto result = serve(
        [](long port) {
            return newserver("s", port) + call("s", "accept") + receiveinto("s", "a") +
                   receiveinto("s", "b") +
                   write({constant("["), global("a"), constant("]["), global("b"),
                          constant("] still running")});
        },
        [](std::uint16_t port, const machine& program) {
            rawsocket peer = connectto(port, program);
            if (!peer.valid()) return;
            sendall(peer, std::string("\0\0\0\5ab", 6));  // announces five bytes, sends two
        });
    EXPECT_EQ(result.out, "[][] still running");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
}

TEST_F(Programs, ClosedServerReleasesItsPortAndAnswersNoMore) {
    const std::vector<std::vector<std::string>> uses{
        {"accept"}, {"send", constant("x")}, {"receive"}, {"disconnect"}, {"close"}};
    for (const auto& use : uses) {
        const std::vector<std::string> arguments(use.begin() + 1, use.end());
        const auto result = serve(
            [&](long port) {
                return newserver("s", port) + call("s", "close") + write({constant("closed\n")}) +
                       newserver("again", port) + write({constant("listening again\n")}) +
                       call("again", "close") + call("s", use[0], arguments) +
                       write({constant("not reached\n")});
            },
            [](std::uint16_t, const machine&) {});
        EXPECT_EQ(result.out, "closed\nlistening again\n") << use[0];
        EXPECT_EQ(result.err, report + "No such param: server\n") << use[0];
        EXPECT_EQ(result.status, 1) << use[0];
    }
}

TEST_F(Programs, ServerPortIsCutTo16Bits) {
    std::string reply;
    const auto result = serve(
        [](long port) {
            return newserver("s", port + 65536) + call("s", "accept") + receiveinto("s", "m") +
                   write({global("m")}) + call("s", "send", {constant("seen")});
        },
        [&](std::uint16_t port, const machine& program) {
            reply.clear();
            rawsocket peer = connectto(port, program);
            if (!peer.valid()) return;
            sendall(peer, frame("reached on the low 16 bits"));
            reply = untilclosed(peer);
        });
    EXPECT_EQ(result.out, "reached on the low 16 bits");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(reply, frame("seen"));
}

// ---------------------------------------------------------------------------------------------
// Clients in programs

TEST_F(Programs, ClientSendPutsExactFramesOnTheWire) {
    std::uint16_t port = 0;
    rawsocket server = listener(port);
    ASSERT_TRUE(server.valid());
    // The connection waits in the listener's queue, and the few bytes in the system's buffers,
    // so the program can run to its end before the peer accepts.
    const auto result = run(newclient("c", "127.0.0.1", port) + call("c", "send", {constant("hi")}) +
                            call("c", "send", {constant("")}) + call("c", "close"));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    rawsocket peer = acceptwithin(server);
    ASSERT_TRUE(peer.valid());
    EXPECT_EQ(untilclosed(peer), std::string("\x00\x00\x00\x02\x68\x69\x00\x00\x00\x00", 10));
}

TEST_F(Programs, ZeroBytesInPayloadsReachTheProgramWhole) {
    std::uint16_t port = 0;
    rawsocket server = listener(port);
    ASSERT_TRUE(server.valid());
    std::string zeros(32, '\x00'), ones(32, '\xff'), up(32, ' '), down(32, ' ');
    for (int i = 0; i < 32; ++i) {
        up[i] = char(i);
        down[i] = char(31 - i);
    }
    const std::string mixed("zero\0inside\0", 12);

    // Each message is written out, then checksummed (the four 32-byte iSCSI test patterns) and
    // sent back.
    std::string source = newclient("c", "127.0.0.1", port) + receiveinto("c", "m") +
                         write({global("m"), constant("|")}) + call("c", "send", {global("m")});
    for (int i = 0; i < 4; ++i)
        source += receiveinto("c", "m") + crc32into(global("m"), "h") +
                  write({global("h"), constant(" ")}) + call("c", "send", {global("m")});
    source += receiveinto("c", "m") + write({constant("["), global("m"), constant("]")});
    machine program(source);

    std::string echoed;
    rawsocket peer = acceptwithin(server);
    if (peer.valid()) {
        nodelay(peer.fd);
        sendall(peer, frame(mixed) + frame(zeros) + frame(ones) + frame(up) + frame(down) +
                          frame(""));
        echoed = untilclosed(peer);
    }
    const auto result = program.finish();
    ASSERT_TRUE(peer.valid());
    EXPECT_EQ(result.out, mixed + "|2324772522 1655221059 1188919630 289397596 []");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(echoed == frame(mixed) + frame(zeros) + frame(ones) + frame(up) + frame(down))
        << "echoed " << echoed.size() << " bytes";
}

TEST_F(Programs, PeerClosingMidFrameGivesTheClientAnEmptyReceive) {
    std::uint16_t port = 0;
    rawsocket server = listener(port);
    ASSERT_TRUE(server.valid());
    machine program(newclient("c", "127.0.0.1", port) + receiveinto("c", "a") +
                    receiveinto("c", "b") +
                    write({constant("["), global("a"), constant("]["), global("b"),
                           constant("] still running")}));
    {
        rawsocket peer = acceptwithin(server);
        if (peer.valid()) sendall(peer, std::string("\0\0", 2));  // half a length prefix
    }  // closed here
    const auto result = program.finish();
    EXPECT_EQ(result.out, "[][] still running");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
}

TEST_F(Programs, HostNamesAreNotLookedUpEvenWhereAServerListens) {
    std::uint16_t port = 0;
    rawsocket server = listener(port);
    ASSERT_TRUE(server.valid());
    const auto named = run(newclient("c", "localhost", port) + write({constant("not reached")}));
    EXPECT_EQ(named.out, "");
    EXPECT_EQ(named.err, report + "Connection failed\n");
    EXPECT_EQ(named.status, 1);
    // An attempt on the loopback interface would be queued at once; a fifth of a second is ample.
    EXPECT_FALSE(pendingconnection(server, 200));

    const auto numeric = run(newclient("c", "127.0.0.1", port) + write({constant("connected")}));
    EXPECT_EQ(numeric.out, "connected");
    EXPECT_EQ(numeric.err, "");
    EXPECT_TRUE(pendingconnection(server, 5000));
}

TEST_F(Programs, ClientPortIsCutTo16Bits) {
    std::uint16_t port = 0;
    rawsocket server = listener(port);
    ASSERT_TRUE(server.valid());
    const long above = long{port} + 65536, below = long{port} - 65536;
    const auto result = run(newclient("up", "127.0.0.1", above) +
                            call("up", "send", {constant("from above")}) +
                            newclient("down", "127.0.0.1", below) +
                            call("down", "send", {constant("from below")}));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    rawsocket first = acceptwithin(server);
    rawsocket second = acceptwithin(server);
    ASSERT_TRUE(first.valid() && second.valid());
    EXPECT_EQ(untilclosed(first), frame("from above"));
    EXPECT_EQ(untilclosed(second), frame("from below"));
}

TEST_F(Programs, ClosedClientAnswersNoMore) {
    std::uint16_t port = 0;
    rawsocket server = listener(port);
    ASSERT_TRUE(server.valid());
    const std::vector<std::vector<std::string>> uses{
        {"send", constant("x")}, {"receive"}, {"close"}};
    for (const auto& use : uses) {
        const std::vector<std::string> arguments(use.begin() + 1, use.end());
        const auto result =
            run(newclient("c", "127.0.0.1", port) + call("c", "close") +
                write({constant("closed\n")}) + call("c", use[0], arguments) +
                write({constant("not reached\n")}));
        EXPECT_EQ(result.out, "closed\n") << use[0];
        EXPECT_EQ(result.err, report + "No such param: client\n") << use[0];
        EXPECT_EQ(result.status, 1) << use[0];
        rawsocket peer = acceptwithin(server);
        ASSERT_TRUE(peer.valid()) << use[0];
        EXPECT_EQ(untilclosed(peer), "") << use[0];  // closed without a byte sent
    }
}

// ---------------------------------------------------------------------------------------------
// Checksums in programs

TEST_F(Programs, ChecksumsOfTextsWrittenInThePrograms) {
    std::string ones;
    for (int i = 0; i < 32; ++i) ones += "\\xFF";
    const auto result = run(crc32into(constant("abc"), "a") + crc32into(constant(ones), "b") +
                            crc32into("pushconst 42", "c") + crc32into(constant("42"), "d") +
                            "loadglobal c\nloadglobal d\nequal\nstoreglobal same\n" +
                            write({global("a"), constant(" "), global("b"), constant(" "),
                                   global("same")}));
    EXPECT_EQ(result.out, "910901175 1655221059 1");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
}

}  // namespace
