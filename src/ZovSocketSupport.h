// Private to the socket classes: the system's address records and the rules every transfer
// shares.
#ifndef ZOVNET_SOCKET_SUPPORT_H
#define ZOVNET_SOCKET_SUPPORT_H

#include "ZovNetInternal.h"

#include <climits>
#include <cstring>

// The system's record of `a` : `port` for a socket of the family `ipv6` says. An IPv4 address
// given to an IPv6 socket takes its mapped form, the one form in which a dual-stack socket reaches
// IPv4 peers on every system. Returns the record's length, or 0 for an IPv6 address and an IPv4
// socket, which cannot reach it.
inline int MakeSocketAddress(const ZovAddress& a, unsigned short port, bool ipv6,
                             sys::SocketAddress& out) {
    std::memset(&out, 0, sizeof out);
    if (!ipv6) {
        if (!a.IsV4())
            return 0;
        out.v4.sin_family = AF_INET;
        out.v4.sin_addr.s_addr = a.V4();
        out.v4.sin_port = port;
        return static_cast<int>(sizeof out.v4);
    }
    unsigned char bytes[16];
    a.Bytes(bytes);
    out.v6.sin6_family = AF_INET6;
    std::memcpy(&out.v6.sin6_addr, bytes, sizeof bytes);
    out.v6.sin6_scope_id = a.ScopeId();
    out.v6.sin6_port = port;
    return static_cast<int>(sizeof out.v6);
}

// The any address of a family, to bind a socket that has no address of its own.
inline ZovAddress AnyAddress(bool ipv6) {
    return ipv6 ? ZovAddress::Any6() : ZovAddress();
}

// The address in a record the system filled in, in the one form the library hands out: an IPv4
// peer of a dual-stack socket, which the system gives in its mapped form, becomes its IPv4
// address, so that it compares equal however it came in.
inline ZovAddress AddressOf(const sys::SocketAddress& a) {
    if (a.sa.sa_family == AF_INET6) {
        unsigned char bytes[16];
        std::memcpy(bytes, &a.v6.sin6_addr, sizeof bytes);
        return ZovAddress::FromBytes(bytes, a.v6.sin6_scope_id);
    }
    return a.sa.sa_family == AF_INET ? ZovAddress(a.v4.sin_addr.s_addr) : ZovAddress();
}

// The port in such a record, network byte order (0 for another family).
inline unsigned short PortOf(const sys::SocketAddress& a) {
    if (a.sa.sa_family == AF_INET6)
        return a.v6.sin6_port;
    return a.sa.sa_family == AF_INET ? a.v4.sin_port : 0;
}

// The socket's own address, as the system reports it; false when it does not.
inline bool LocalAddress(unsigned int s, sys::SocketAddress& out) {
    std::memset(&out, 0, sizeof out);
    int len = sys::SOCKET_ADDRESS_SIZE;
    return sys::getsockname(s, &out.sa, &len) == 0;
}

// A new socket of the family of `bindAddress` bound to it and `port`, for a listener or a datagram
// socket: BADSOCKET with the failing step in `failedBind` (false: the socket could not be made).
// The any IPv6 address is dual-stack and any other IPv6 address IPv6 only on every system, whose
// defaults differ, so the library says which it wants. A listener asks for `reuseListenPort`
// (see sys::reuselistenport), which only helps: failing to set it keeps the old behaviour.
inline unsigned int OpenBound(int type, int protocol, const ZovAddress& bindAddress,
                              unsigned short port, bool reuseListenPort, bool& failedBind) {
    failedBind = false;
    const bool ipv6 = bindAddress.IsV6();
    const unsigned int s = sys::socket(ipv6 ? AF_INET6 : AF_INET, type, protocol);
    if (s == ZOVNET::BADSOCKET)
        return s;
    if (reuseListenPort)
        sys::reuselistenport(s);
    sys::SocketAddress addr;
    const int len = MakeSocketAddress(bindAddress, port, ipv6, addr);
    if ((ipv6 && sys::setdualstack(s, bindAddress == ZovAddress::Any6()) == SOCKET_ERROR) ||
        sys::bind(s, &addr.sa, len) == SOCKET_ERROR) {
        const int error = sys::LibraryError();
        sys::closesocket(s);
        sys::SetLibraryError(error);
        failedBind = true;
        return ZOVNET::BADSOCKET;
    }
    return s;
}

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
