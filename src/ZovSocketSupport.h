// Private to the socket classes: the system's IPv4 address record and the rules every transfer
// shares.
#ifndef ZOVNET_SOCKET_SUPPORT_H
#define ZOVNET_SOCKET_SUPPORT_H

#include "ZovNetInternal.h"

#include <climits>
#include <cstring>

inline sockaddr_in MakeAddr(unsigned int addr, unsigned short port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addr;
    a.sin_port = port;
    return a;
}

constexpr int AddrLen = static_cast<int>(sizeof(sockaddr_in));

// Counts travel as `unsigned int` in our interface and as `int` in the system's.
inline int ClampLen(unsigned int len) {
    return len > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(len);
}

// The layer's flag for a transfer of a socket made non-blocking through the library, which then
// needs no look at the descriptor's mode when the system says it would block.
inline int ModeFlags(bool blocking) {
    return blocking ? 0 : sys::LAYER_NONBLOCKING;
}

// The code of a transfer refused because bit 1 (SOCK_RECEIVE) of the state is clear.
inline int GateError(unsigned int state) {
    return (state & ZovSocket::SOCK_SEND) != 0 ? ZOVNET::ERRCODE_SHUT_DOWN
                                               : ZOVNET::ERRCODE_NOT_CONNECTED;
}

#endif // ZOVNET_SOCKET_SUPPORT_H
