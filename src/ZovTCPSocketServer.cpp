// The TCP server: a listening socket that hands out its connections as clients.
#include "ZovNet.h"
#include "ZovSocketSupport.h"

#include <new>

ZovTCPSocketServer::ZovTCPSocketServer(unsigned short port, unsigned int backlog) {
    m_descriptor = sys::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_descriptor == ZOVNET::BADSOCKET) {
        ZovNetWarning("Can not create TCP socket");
        return;
    }
    // A server that restarts must get its port back while the last run's connections wait out
    // TIME-WAIT; where the system needs an option for it, it is set before the bind. Failing to
    // set it only brings back the old behaviour.
    sys::reuselistenport(m_descriptor);
    sockaddr_in addr = MakeAddr(INADDR_ANY, port);
    if (sys::bind(m_descriptor, &addr, AddrLen) == SOCKET_ERROR) {
        ZovNetWarning("Can not bind TCP socket to local port");
        sys::closesocket(m_descriptor);
        m_descriptor = ZOVNET::BADSOCKET;
        return;
    }
    if (sys::listen(m_descriptor, ClampLen(backlog)) == SOCKET_ERROR) {
        ZovNetWarning("Can not listen to TCP socket");
        sys::closesocket(m_descriptor);
        m_descriptor = ZOVNET::BADSOCKET;
        return;
    }
    int len = AddrLen;
    sys::getsockname(m_descriptor, &addr, &len);
    m_port = addr.sin_port;
    m_state = SOCK_RECEIVE;
}

ZovTCPSocketServer::~ZovTCPSocketServer() = default;

ZovTCPSocketClient* ZovTCPSocketServer::Accept() {
    sockaddr_in peer = MakeAddr(0, 0);
    int len = AddrLen;
    // A blocking server leaves the new descriptor's mode to the system, as it always has: a
    // listener made non-blocking behind the library's back then passes its mode on where the
    // system does so.
    const unsigned int s = m_blocking ? sys::accept(m_descriptor, &peer, &len)
                                      : sys::accept(m_descriptor, &peer, &len, true);
    if (s == ZOVNET::BADSOCKET) {
        // Nothing waiting is the normal answer of a server that was asked not to wait.
        if (!m_blocking && sys::LibraryError() == WSAEWOULDBLOCK)
            return nullptr;
        ZovNetWarning("socket accept() failed");
        return nullptr;
    }
    ZovTCPSocketClient* client =
        new (std::nothrow) ZovTCPSocketClient(s, peer.sin_addr.s_addr, peer.sin_port);
    if (client == nullptr) {
        sys::closesocket(s); // nobody else would ever close the connection
        return ZovNetFail(WSAENOBUFS, client);
    }
    client->m_blocking = m_blocking;
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
