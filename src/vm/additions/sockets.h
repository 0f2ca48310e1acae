// The socket module: "socket" on the program root, with the client and server classes whose
// instances keep a TCP endpoint among their native parameters.
#pragma once

#include "vm/additions/tcp.h"
#include "vm/native.h"

namespace T4VM::moduleapi {
template <>
struct paramkindof<TARN4SOCKETS::TCPClient> {
    static constexpr paramkind value = paramkind::client;
};
template <>
struct paramkindof<TARN4SOCKETS::TCPServer> {
    static constexpr paramkind value = paramkind::server;
};
}  // namespace T4VM::moduleapi

namespace TARN4SOCKETS {

T4VM::variable* getclientvar();
T4VM::variable* getservervar();

namespace TARN4funcs {

void cinit(T4VM::variable* self, const T4VM::argmap& args);
void csend(T4VM::variable* self, const T4VM::argmap& args);
void crecv(T4VM::variable* self, const T4VM::argmap& args);
void cclose(T4VM::variable* self, const T4VM::argmap& args);
void sinit(T4VM::variable* self, const T4VM::argmap& args);
void ssend(T4VM::variable* self, const T4VM::argmap& args);
void srecv(T4VM::variable* self, const T4VM::argmap& args);
void saccept(T4VM::variable* self, const T4VM::argmap& args);
void sclose(T4VM::variable* self, const T4VM::argmap& args);
void sdisconnect(T4VM::variable* self, const T4VM::argmap& args);

}  // namespace TARN4funcs

}  // namespace TARN4SOCKETS
