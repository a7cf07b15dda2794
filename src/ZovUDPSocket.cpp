// The UDP socket: one datagram per transfer, a packet per datagram.
#include "ZovNet.h"
#include "ZovSocketSupport.h"

#include <cstring>

ZovUDPSocket::ZovUDPSocket(unsigned short port) : ZovUDPSocket(port, ZovAddress()) {}

ZovUDPSocket::ZovUDPSocket(unsigned short port, const ZovAddress& bindAddress) {
    bool failedBind = false;
    m_descriptor = OpenBound(SOCK_DGRAM, IPPROTO_UDP, bindAddress, port, false, failedBind);
    if (m_descriptor == ZOVNET::BADSOCKET) {
        ZovNetWarning(failedBind ? "Can not bind UDP socket to local port"
                                 : "Can not create UDP socket");
        return;
    }
    m_ipv6 = bindAddress.IsV6();
    sys::SocketAddress addr;
    if (LocalAddress(m_descriptor, addr))
        m_port = PortOf(addr);
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
    return Send(data, len, ZovAddress(addr), port);
}

int ZovUDPSocket::Send(void* data, unsigned int len, const ZovAddress& dest, unsigned short port) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    // The IPv4 any address is what the IPv4 receive forms give for an IPv6 sender: a reply to it
    // from an IPv6 socket would reach some local IPv4 socket on Linux, and nothing on Windows.
    if (m_ipv6 && dest == ZovAddress())
        return ZovNetFail(ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE, -1);
    sys::SocketAddress to;
    const int tolen = MakeSocketAddress(dest, port, m_ipv6, to);
    if (tolen == 0)
        return ZovNetFail(ZOVNET::ERRCODE_FAMILY_NOT_SUPPORTED, -1);
    return sys::sendto(m_descriptor, data, ClampLen(len), ModeFlags(m_blocking), &to.sa, tolen);
}

int ZovUDPSocket::Send(ZovNetPacket* packet) {
    if (packet == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, -1);
    const unsigned short length = packet->Length();
    return Send(packet->Data(), length);
}

int ZovUDPSocket::Send(ZovNetPacket* packet, unsigned int addr, unsigned short port) {
    return ZovUDPSocket::Send(packet, ZovAddress(addr), port);
}

int ZovUDPSocket::Send(ZovNetPacket* packet, const ZovAddress& dest, unsigned short port) {
    if (packet == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, -1);
    const unsigned short length = packet->Length();
    return ZovUDPSocket::Send(packet->Data(), length, dest, port);
}

int ZovUDPSocket::Receive(void* data, unsigned int len) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    return sys::recvdatagram(m_descriptor, data, ClampLen(len), ModeFlags(m_blocking), nullptr,
                             nullptr);
}

int ZovUDPSocket::Receive(void* data, unsigned int len, unsigned int* addr, unsigned short* port) {
    ZovAddress from;
    const int n = ReceiveFrom(data, len, &from, port);
    if (addr != nullptr)
        *addr = from.V4();
    return n;
}

int ZovUDPSocket::ReceiveFrom(void* data, unsigned int len, ZovAddress* from,
                              unsigned short* port) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    sys::SocketAddress sender;
    std::memset(&sender, 0, sizeof sender);
    int senderlen = sys::SOCKET_ADDRESS_SIZE;
    const int n = sys::recvdatagram(m_descriptor, data, ClampLen(len), ModeFlags(m_blocking),
                                    &sender.sa, &senderlen);
    if (from != nullptr)
        *from = AddressOf(sender);
    if (port != nullptr)
        *port = PortOf(sender);
    return n;
}

int ZovUDPSocket::Receive(ZovNetPacket* packet, unsigned int* addr, unsigned short* port) {
    ZovAddress from;
    const int n = ReceiveFrom(packet, addr != nullptr ? &from : nullptr, port);
    if (addr != nullptr && n >= 0)
        *addr = from.V4();
    return n;
}

int ZovUDPSocket::ReceiveFrom(ZovNetPacket* packet, ZovAddress* from, unsigned short* port) {
    if (packet == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, -1);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    unsigned char buffer[UDP_RECEIVE_BUFFER];
    sys::SocketAddress sender;
    std::memset(&sender, 0, sizeof sender);
    int senderlen = sys::SOCKET_ADDRESS_SIZE;
    int n;
    for (;;) {
        n = sys::recvdatagram(m_descriptor, buffer, UDP_RECEIVE_BUFFER, ModeFlags(m_blocking),
                              &sender.sa, &senderlen);
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
    if (from != nullptr)
        *from = AddressOf(sender);
    if (port != nullptr)
        *port = PortOf(sender);
    return n;
}

int ZovUDPSocket::Receive(ZovNetPacket* packet) {
    return Receive(packet, nullptr, nullptr);
}
