// The TCP server: a listening socket that hands out its connections as clients.
#include "ZovNet.h"
#include "ZovSocketSupport.h"

#include <cstring>
#include <new>

ZovTCPSocketServer::ZovTCPSocketServer(unsigned short port, unsigned int backlog)
    : ZovTCPSocketServer(port, backlog, ZovAddress()) {}

ZovTCPSocketServer::ZovTCPSocketServer(unsigned short port, unsigned int backlog,
                                       const ZovAddress& bindAddress) {
    bool failedBind = false;
    // A server that restarts must get its port back while the last run's connections wait out
    // TIME-WAIT; where the system needs an option for it, it is set before the bind. Failing to
    // set it only brings back the old behaviour.
    m_descriptor = OpenBound(SOCK_STREAM, IPPROTO_TCP, bindAddress, port, true, failedBind);
    if (m_descriptor == ZOVNET::BADSOCKET) {
        ZovNetWarning(failedBind ? "Can not bind TCP socket to local port"
                                 : "Can not create TCP socket");
        return;
    }
    m_ipv6 = bindAddress.IsV6();
    if (sys::listen(m_descriptor, ClampLen(backlog)) == SOCKET_ERROR) {
        ZovNetWarning("Can not listen to TCP socket");
        sys::closesocket(m_descriptor);
        m_descriptor = ZOVNET::BADSOCKET;
        m_ipv6 = false;
        return;
    }
    sys::SocketAddress addr;
    if (LocalAddress(m_descriptor, addr))
        m_port = PortOf(addr);
    m_state = SOCK_RECEIVE;
}

ZovTCPSocketServer::~ZovTCPSocketServer() = default;

ZovTCPSocketClient* ZovTCPSocketServer::Accept() {
    sys::SocketAddress peer;
    std::memset(&peer, 0, sizeof peer);
    int len = sys::SOCKET_ADDRESS_SIZE;
    // A blocking server leaves the new descriptor's mode to the system, as it always has: a
    // listener made non-blocking behind the library's back then passes its mode on where the
    // system does so.
    const unsigned int s = m_blocking ? sys::accept(m_descriptor, &peer.sa, &len)
                                      : sys::accept(m_descriptor, &peer.sa, &len, true);
    if (s == ZOVNET::BADSOCKET) {
        // Nothing waiting is the normal answer of a server that was asked not to wait.
        if (!m_blocking && sys::LibraryError() == WSAEWOULDBLOCK)
            return nullptr;
        ZovNetWarning("socket accept() failed");
        return nullptr;
    }
    const ZovAddress from = AddressOf(peer);
    ZovTCPSocketClient* client = new (std::nothrow) ZovTCPSocketClient(s, from.V4(), PortOf(peer));
    if (client == nullptr) {
        sys::closesocket(s); // nobody else would ever close the connection
        return ZovNetFail(WSAENOBUFS, client);
    }
    client->m_blocking = m_blocking;
    client->m_peer = from;
    return client;
}

unsigned int ZovTCPSocketServer::SocketType() const {
    return SOCKTYPE_TCPSERVER;
}
int ZovTCPSocketServer::Send(void*, unsigned int) {
    return 0;
}
int ZovTCPSocketServer::Send(ZovNetPacket*) {
    return 0;
}
int ZovTCPSocketServer::Receive(void*, unsigned int) {
    return 0;
}
int ZovTCPSocketServer::Receive(ZovNetPacket*) {
    return 0;
}
