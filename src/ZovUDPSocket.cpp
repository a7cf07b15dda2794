// The UDP socket: one datagram per transfer, a packet per datagram.
#include "ZovNet.h"
#include "ZovSocketSupport.h"

ZovUDPSocket::ZovUDPSocket(unsigned short port) {
    m_descriptor = sys::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (m_descriptor == ZOVNET::BADSOCKET) {
        ZovNetWarning("Can not create UDP socket");
        return;
    }
    sockaddr_in addr = MakeAddr(INADDR_ANY, port);
    if (sys::bind(m_descriptor, &addr, AddrLen) == SOCKET_ERROR) {
        ZovNetWarning("Can not bind UDP socket to local port");
        sys::closesocket(m_descriptor);
        m_port = 0;
        m_descriptor = ZOVNET::BADSOCKET;
        return;
    }
    int len = AddrLen;
    sys::getsockname(m_descriptor, &addr, &len);
    m_port = addr.sin_port;
    m_state = SOCK_BOTH;
}

ZovUDPSocket::~ZovUDPSocket() = default;

unsigned int ZovUDPSocket::SocketType() const {
    return SOCKTYPE_UDP;
}

int ZovUDPSocket::Send(void* data, unsigned int len) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    return sys::send(m_descriptor, data, ClampLen(len), ModeFlags(m_blocking));
}

int ZovUDPSocket::Send(void* data, unsigned int len, unsigned int addr, unsigned short port) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    const sockaddr_in to = MakeAddr(addr, port);
    return sys::sendto(m_descriptor, data, ClampLen(len), ModeFlags(m_blocking), &to, AddrLen);
}

int ZovUDPSocket::Send(ZovNetPacket* packet) {
    if (packet == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, -1);
    const unsigned short length = packet->Length();
    return Send(packet->Data(), length);
}

int ZovUDPSocket::Send(ZovNetPacket* packet, unsigned int addr, unsigned short port) {
    if (packet == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, -1);
    const unsigned short length = packet->Length();
    return ZovUDPSocket::Send(packet->Data(), length, addr, port);
}

int ZovUDPSocket::Receive(void* data, unsigned int len) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    return sys::recvdatagram(m_descriptor, data, ClampLen(len), ModeFlags(m_blocking), nullptr,
                             nullptr);
}

int ZovUDPSocket::Receive(void* data, unsigned int len, unsigned int* addr, unsigned short* port) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    sockaddr_in from = MakeAddr(0, 0);
    int fromlen = AddrLen;
    const int n = sys::recvdatagram(m_descriptor, data, ClampLen(len), ModeFlags(m_blocking), &from,
                                    &fromlen);
    if (addr != nullptr)
        *addr = from.sin_addr.s_addr;
    if (port != nullptr)
        *port = from.sin_port;
    return n;
}

int ZovUDPSocket::Receive(ZovNetPacket* packet, unsigned int* addr, unsigned short* port) {
    if (packet == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, -1);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    unsigned char buffer[UDP_RECEIVE_BUFFER];
    sockaddr_in from = MakeAddr(0, 0);
    int fromlen = AddrLen;
    int n;
    for (;;) {
        n = sys::recvdatagram(m_descriptor, buffer, UDP_RECEIVE_BUFFER, ModeFlags(m_blocking),
                              &from, &fromlen);
        if (n != SOCKET_ERROR)
            break;
        const int error = sys::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            if (!m_blocking)
                return -1; // asked not to wait: nothing is there now
            // A descriptor made non-blocking behind the library's back: the packet receive
            // waits for a datagram all the same.
            sys::Sleep(100);
            continue;
        }
        if (error != WSAEMSGSIZE)
            return -1;
        ZovNetWarning("NET: a packet has been truncated !");
        n = UDP_RECEIVE_BUFFER;
        break;
    }
    packet->WritePacket(buffer, static_cast<unsigned int>(n));
    if (addr != nullptr)
        *addr = from.sin_addr.s_addr;
    if (port != nullptr)
        *port = from.sin_port;
    return n;
}

int ZovUDPSocket::Receive(ZovNetPacket* packet) {
    return Receive(packet, nullptr, nullptr);
}
