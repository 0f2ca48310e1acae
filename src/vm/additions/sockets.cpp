// The socket module: the client and server classes on "socket" and their natives, which forward
// to the TCP endpoints and report the endpoints' failures as module errors.
#include "vm/additions/sockets.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "vm/additions/modules.h"

namespace TARN4SOCKETS {

using namespace T4VM;
using namespace T4VM::moduleapi;

namespace {

// An endpoint failure becomes a module error carrying the endpoint's message unchanged.
template <typename Operation>
decltype(auto) guarded(Operation&& operation) {
    std::string message;
    try {
        return operation();
    } catch (const std::exception& failure) {
        message = failure.what();
    }
    fail(message, true);
}

// A receiver that is missing holds no endpoint either.
template <typename T>
T& endpoint(variable* self, const std::string& key) {
    if (self == nullptr) fail("No such param: " + key, true);
    return getparam<T>(self->moduleparams(), key);
}

variable& receiver(variable* self) {
    if (self == nullptr) fail("Method called without a receiver.", true);
    return *self;
}

std::uint16_t portof(variable* argument) { return static_cast<std::uint16_t>(argument->getint()); }

variable* moduleclass(const char* name) {
    variable* object = getallocvar();
    object->identifier = typeident::module_class;
    object->name = name;
    return object;
}

}  // namespace

// Instances and all their copies share one endpoint through a plain pointer, so no instance can
// own it. The machine keeps it: a closed endpoint stays there, harmless, for copies that still
// point at it, and the machine's end closes and frees them all.

namespace TARN4funcs {

void cinit(variable* self, const argmap& args) {
    checksockets();
    const std::uint16_t port = portof(getarg(args, "arg1"));
    const std::string host = getarg(args, "arg0")->getstring(false);
    variable& instance = receiver(self);
    TCPClient* client =
        guarded([&] { return keepnative(std::make_unique<TCPClient>(host, port)); });
    instance.parts.mut().moduleparams["client"] = nativeparam{paramkind::client, client};
}

void csend(variable* self, const argmap& args) {
    TCPClient& client = endpoint<TCPClient>(self, "client");
    const std::string text = getarg(args, "arg0")->getstring(false);
    guarded([&] { client.send_message(text); });
}

void crecv(variable* self, const argmap&) {
    TCPClient& client = endpoint<TCPClient>(self, "client");
    std::string text = guarded([&] { return client.receive_message(); });
    datastack->push_back(newstring(std::move(text)));
}

// The entry goes with the connection, so a later call on this instance is reported instead of
// reaching a finished endpoint.
void cclose(variable* self, const argmap&) {
    endpoint<TCPClient>(self, "client").close();
    self->parts.mut().moduleparams.erase("client");
}

void sinit(variable* self, const argmap& args) {
    checksockets();
    const std::uint16_t port = portof(getarg(args, "arg0"));
    variable& instance = receiver(self);
    TCPServer* server = guarded([&] { return keepnative(std::make_unique<TCPServer>(port)); });
    instance.parts.mut().moduleparams["server"] = nativeparam{paramkind::server, server};
}

void ssend(variable* self, const argmap& args) {
    TCPServer& server = endpoint<TCPServer>(self, "server");
    const std::string text = getarg(args, "arg0")->getstring(false);
    guarded([&] { server.send_message(text); });
}

void srecv(variable* self, const argmap&) {
    TCPServer& server = endpoint<TCPServer>(self, "server");
    std::string text = guarded([&] { return server.receive_message(); });
    datastack->push_back(newstring(std::move(text)));
}

void saccept(variable* self, const argmap&) {
    TCPServer& server = endpoint<TCPServer>(self, "server");
    guarded([&] { server.accept_client(); });
}

void sclose(variable* self, const argmap&) {
    endpoint<TCPServer>(self, "server").close();
    self->parts.mut().moduleparams.erase("server");
}

void sdisconnect(variable* self, const argmap&) {
    endpoint<TCPServer>(self, "server").disconnect_client();
}

}  // namespace TARN4funcs

variable* getclientvar() {
    variable* client = moduleclass("Socket client");
    client->attributes["init"] = getmodulevar(TARN4funcs::cinit);
    client->attributes["send"] = getmodulevar(TARN4funcs::csend);
    client->attributes["receive"] = getmodulevar(TARN4funcs::crecv);
    client->attributes["close"] = getmodulevar(TARN4funcs::cclose);
    return client;
}

variable* getservervar() {
    variable* server = moduleclass("Socket server");
    server->attributes["init"] = getmodulevar(TARN4funcs::sinit);
    server->attributes["send"] = getmodulevar(TARN4funcs::ssend);
    server->attributes["receive"] = getmodulevar(TARN4funcs::srecv);
    server->attributes["accept"] = getmodulevar(TARN4funcs::saccept);
    server->attributes["close"] = getmodulevar(TARN4funcs::sclose);
    server->attributes["disconnect"] = getmodulevar(TARN4funcs::sdisconnect);
    return server;
}

void init() {
    variable* root = moduleclass("Socket module root");
    getprogroot()->attributes["socket"] = root;
    root->attributes["client"] = getclientvar();
    root->attributes["server"] = getservervar();
}


}  // namespace TARN4SOCKETS
