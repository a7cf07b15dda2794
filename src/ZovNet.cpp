#include "ZovNet.h"
#include "ZovNetInternal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

// --------------------------------------------------------------------------------------------
// Reports
// --------------------------------------------------------------------------------------------

void ZovNetFatal(const char* expression, const char* file, int line) {
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, "%s\n\nFile: %s\nLine: %d", expression, file, line);
    sys::MessageBoxA(nullptr, buffer, "Fatal error", MB_ICONWARNING);
    std::exit(1);
}

namespace {

sockaddr_in MakeAddr(unsigned int addr, unsigned short port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addr;
    a.sin_port = port;
    return a;
}

constexpr int AddrLen = static_cast<int>(sizeof(sockaddr_in));

// Counts travel as `unsigned int` in our interface and as `int` in the system's.
int ClampLen(unsigned int len) {
    return len > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(len);
}

// The loopback address 127.0.0.1 as it lies in memory in network byte order, on any host.
unsigned int LoopbackAddr() {
    const unsigned char bytes[4] = {127, 0, 0, 1};
    unsigned int addr;
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}

bool IsLocalhost(const char* name) {
    return std::strncmp(name, "localhost", 9) == 0;
}

// Copies at most size - 1 characters, zero-pads to size - 1 and terminates at size - 1.
void CopyBounded(char* str, const char* text, unsigned int size) {
    unsigned int n = 0;
    for (; n + 1 < size && text[n] != '\0'; ++n)
        str[n] = text[n];
    std::memset(str + n, 0, size - n);
}

} // namespace

// --------------------------------------------------------------------------------------------
// Network layer
// --------------------------------------------------------------------------------------------

ZovNet* ZovNet::m_instance = nullptr;

ZovNet::ZovNet() : m_initialized(false) {}

ZovNet* ZovNet::GetInstance() {
    if (m_instance == nullptr) {
        m_instance = new (std::nothrow) ZovNet;
        ZOVNET_ASSERT(m_instance != NULL);
    }
    return m_instance;
}

ZovNet::~ZovNet() {
    if (m_instance == nullptr)
        return;
    if (m_initialized) {
        if (sys::WSACleanup() == SOCKET_ERROR && sys::WSAGetLastError() == WSAEINPROGRESS) {
            sys::WSACancelBlockingCall();
            sys::WSACleanup();
        }
    }
    m_instance = nullptr;
}

bool ZovNet::Init() {
    if (m_initialized)
        return true;
    if (sys::WSAStartup(0x0202) != 0) {
        ZovNetWarning("Can not initialize network layer (Winsock).\n");
        return false;
    }
    m_initialized = true;
    return true;
}

bool ZovNet::GetLocalInfo(char* hostname, unsigned int* hostaddr) {
    if (!m_initialized)
        return false;

    char own[128];
    if (sys::gethostname(own, sizeof own) != 0)
        std::strcpy(own, "localhost");
    sys::HostEntry entry;
    if (!sys::gethostbyname(own, entry))
        return false;

    if (hostname != nullptr) {
        const char* name = own;
        if (IsLocalhost(own)) {
            if (!IsLocalhost(entry.h_name.c_str())) {
                name = entry.h_name.c_str();
            } else {
                name = "";
                for (const std::string& alias : entry.h_aliases) {
                    if (!IsLocalhost(alias.c_str())) {
                        name = alias.c_str();
                        break;
                    }
                }
                if (*name == '\0')
                    name = own;
            }
        }
        // The caller's buffer holds 128 bytes: the longest local name and its terminator.
        CopyBounded(hostname, name, 128);
    }

    if (hostaddr != nullptr) {
        unsigned int addr = 0;
        if (entry.h_length == 4) {
            const unsigned int loopback = LoopbackAddr();
            for (const std::vector<unsigned char>& a : entry.h_addr_list) {
                unsigned int candidate;
                std::memcpy(&candidate, a.data(), 4);
                if (candidate != loopback) {
                    addr = candidate;
                    break;
                }
            }
            if (addr == 0)
                addr = loopback;
        }
        *hostaddr = addr;
    }
    return true;
}

bool ZovNet::CheckName(const char* hostname) const {
    ZOVNET_ASSERT(hostname != NULL);
    if (!m_initialized || hostname == nullptr)
        return false;
    sys::HostEntry entry;
    return sys::gethostbyname(hostname, entry);
}

bool ZovNet::CheckAddr(unsigned int hostaddr) const {
    if (!m_initialized)
        return false;
    sys::HostEntry entry;
    return sys::gethostbyaddr(&hostaddr, 4, AF_INET, entry);
}

bool ZovNet::NameToAddr(const char* hostname, unsigned int* hostaddr) const {
    ZOVNET_ASSERT(hostname != NULL);
    ZOVNET_ASSERT(hostaddr != NULL);
    if (!m_initialized || hostname == nullptr || hostaddr == nullptr)
        return false;
    sys::HostEntry entry;
    if (!sys::gethostbyname(hostname, entry))
        return false;
    // Only a 4-byte address fits the result.
    if (entry.h_length != 4 || entry.h_addr_list.empty())
        return false;
    std::memcpy(hostaddr, entry.h_addr_list.front().data(), 4);
    return true;
}

bool ZovNet::AddrToName(unsigned int hostaddr, char* str, unsigned int size) const {
    ZOVNET_ASSERT(str != NULL);
    if (!m_initialized || str == nullptr || size == 0)
        return false;
    sys::HostEntry entry;
    if (!sys::gethostbyaddr(&hostaddr, 4, AF_INET, entry)) {
        str[0] = '\0';
        return false;
    }
    CopyBounded(str, entry.h_name.c_str(), size);
    return true;
}

bool ZovNet::AddrToString(unsigned int hostaddr, char* str, unsigned int size) const {
    ZOVNET_ASSERT(str != NULL);
    if (!m_initialized || str == nullptr || size == 0)
        return false;
    CopyBounded(str, AddrToString(hostaddr), size);
    return true;
}

const char* ZovNet::AddrToString(unsigned int hostaddr) const {
    if (!m_initialized)
        return nullptr;
    return sys::inet_ntoa(hostaddr);
}

bool ZovNet::StringToAddr(const char* str, unsigned int& hostaddr) const {
    ZOVNET_ASSERT(str != NULL);
    if (!m_initialized || str == nullptr)
        return false;
    const unsigned int addr = sys::inet_addr(str);
    if (addr == INADDR_NONE)
        return false;
    hostaddr = addr;
    return true;
}

// --------------------------------------------------------------------------------------------
// Socket base
// --------------------------------------------------------------------------------------------

ZovSocket::ZovSocket() : m_descriptor(ZOVNET::BADSOCKET), m_port(0), m_state(SOCK_CLOSED) {}

ZovSocket::~ZovSocket() {
    sys::closesocket(m_descriptor);
}

bool ZovSocket::GetOption(int option, int& value) {
    int v = 0;
    int len = 4;
    if (sys::getsockopt(m_descriptor, SOL_SOCKET, option, &v, &len) != 0)
        return false;
    value = v;
    return true;
}

bool ZovSocket::SetOption(int option, int value) {
    return sys::setsockopt(m_descriptor, SOL_SOCKET, option, &value, 4) == 0;
}

void ZovSocket::ShutDown(SockState how) {
    if (how == SOCK_CLOSED)
        return;
    if ((how == SOCK_RECEIVE || how == SOCK_SEND) && (m_state & how) == 0)
        return;
    if (sys::shutdown(m_descriptor, static_cast<int>(how) - 1) == 0)
        m_state = static_cast<unsigned short>(m_state & ~static_cast<unsigned int>(how));
    if (m_state == SOCK_CLOSED) {
        sys::closesocket(m_descriptor);
        m_descriptor = ZOVNET::BADSOCKET;
    }
}

// --------------------------------------------------------------------------------------------
// TCP client
// --------------------------------------------------------------------------------------------

namespace {

// Reads exactly `len` bytes, waiting for them. Returns len, 0 when the peer closed first, or -1.
int ReceiveAll(unsigned int s, unsigned char* buffer, int len) {
    int got = 0;
    while (got < len) {
        const int n = sys::recv(s, buffer + got, len - got, 0);
        if (n == 0)
            return 0;
        if (n < 0)
            return -1;
        got += n;
    }
    return len;
}

// The adopting constructor takes any unsigned value, and a plain `unsigned int` variable picks it
// where a port was meant: the debug library makes sure that it adopts an open stream socket.
[[maybe_unused]] bool IsStreamSocket(unsigned int s) {
    int type = 0;
    int len = static_cast<int>(sizeof type);
    return sys::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}

struct FreeDeleter {
    void operator()(unsigned char* p) const { std::free(p); }
};

} // namespace

ZovTCPSocketClient::ZovTCPSocketClient(unsigned short localPort, unsigned int destAddr,
                                       unsigned short destPort)
    : m_destAddr(0), m_destPort(0) {
    m_descriptor = sys::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_descriptor == ZOVNET::BADSOCKET) {
        ZovNetWarning("Can not create TCP socket");
        return;
    }
    sockaddr_in addr = MakeAddr(INADDR_ANY, localPort);
    if (sys::bind(m_descriptor, &addr, AddrLen) == SOCKET_ERROR) {
        ZovNetWarning("Can not bind TCP socket to local port");
        sys::closesocket(m_descriptor);
        m_descriptor = ZOVNET::BADSOCKET;
        return;
    }
    int len = AddrLen;
    sys::getsockname(m_descriptor, &addr, &len);
    m_port = addr.sin_port;

    if (destAddr == 0)
        return;
    addr = MakeAddr(destAddr, destPort);
    if (sys::connect(m_descriptor, &addr, AddrLen) != 0) {
        ZovNetWarning("Can not connect to remote host");
        return;
    }
    m_destAddr = destAddr;
    m_destPort = destPort;
    m_state = SOCK_BOTH;
}

ZovTCPSocketClient::ZovTCPSocketClient(unsigned int descriptor, unsigned int destAddr,
                                       unsigned short destPort)
    : m_destAddr(destAddr), m_destPort(destPort) {
    ZOVNET_ASSERT(IsStreamSocket(descriptor));
    m_descriptor = descriptor;
    m_state = SOCK_BOTH;
    sockaddr_in addr = MakeAddr(0, 0);
    int len = AddrLen;
    if (sys::getsockname(descriptor, &addr, &len) == 0)
        m_port = addr.sin_port;
}

ZovTCPSocketClient::~ZovTCPSocketClient() = default;

unsigned int ZovTCPSocketClient::SocketType() const {
    return SOCKTYPE_TCPCLIENT;
}

bool ZovTCPSocketClient::Connect(unsigned int destAddr, unsigned short destPort) {
    if (destAddr == 0)
        return false;
    sockaddr_in addr = MakeAddr(destAddr, destPort);
    if (sys::connect(m_descriptor, &addr, AddrLen) != 0) {
        ZovNetWarning("Can not connect to remote host");
        return false;
    }
    // A refused connect can cost a socket the port the system chose for it (Linux releases it),
    // so the connection may leave from another one: report the port it really uses.
    int len = AddrLen;
    if (sys::getsockname(m_descriptor, &addr, &len) == 0)
        m_port = addr.sin_port;
    m_destAddr = destAddr;
    m_destPort = destPort;
    m_state = SOCK_BOTH;
    return true;
}

int ZovTCPSocketClient::Send(void* data, unsigned int len) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return -1;
    return sys::send(m_descriptor, data, ClampLen(len), 0);
}

int ZovTCPSocketClient::Send(ZovNetPacket* packet) {
    if (packet == nullptr || (m_state & SOCK_RECEIVE) == 0)
        return -1;
    const unsigned short length = packet->Length();
    unsigned char* bytes = packet->Data();
    // A frame cut short would desynchronise the stream for good: send until all of it is out.
    unsigned int sent = 0;
    while (sent < length) {
        const int n = Send(bytes + sent, length - sent);
        if (n <= 0)
            return -1;
        sent += static_cast<unsigned int>(n);
    }
    return length;
}

int ZovTCPSocketClient::Receive(void* data, unsigned int len) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return -1;
    return sys::recv(m_descriptor, data, ClampLen(len), 0);
}

int ZovTCPSocketClient::Receive(ZovNetPacket* packet) {
    if (packet == nullptr || (m_state & SOCK_RECEIVE) == 0)
        return -1;

    unsigned char head[2] = {0, 0};
    const int peeked = sys::recv(m_descriptor, head, 2, MSG_PEEK);
    if (peeked == SOCKET_ERROR || peeked == 0)
        return -1;

    // Only whole messages leave the stream. A blocking descriptor waits for the rest of a
    // message once it has begun; on a descriptor the application made non-blocking nothing is
    // consumed until the whole message is there to be read.
    const bool nonblocking = sys::isnonblocking(m_descriptor);
    int consumed = 0;
    if (peeked < 2) {
        if (nonblocking)
            return -1;
        const int n = ReceiveAll(m_descriptor, head, 2);
        if (n != 2)
            return n;
        consumed = 2;
    }

    const int length = (head[0] << 8) | head[1];
    if (length < PACKET_HEADER_SIZE) {
        if (consumed == 0)
            sys::recv(m_descriptor, head, 2, 0);
        return 0;
    }

    // Messages of up to 2 KiB, by far the most common, need no buffer from the heap.
    unsigned char local[2048];
    std::unique_ptr<unsigned char, FreeDeleter> heap;
    unsigned char* data = local;
    if (length > static_cast<int>(sizeof local)) {
        heap.reset(static_cast<unsigned char*>(std::malloc(static_cast<size_t>(length))));
        data = heap.get();
        ZOVNET_ASSERT(data != NULL);
        if (data == nullptr)
            return -1;
    }

    if (nonblocking) {
        if (sys::recv(m_descriptor, data, length, MSG_PEEK) != length)
            return -1;
        if (sys::recv(m_descriptor, data, length, 0) != length)
            return -1;
    } else {
        std::memcpy(data, head, static_cast<size_t>(consumed));
        const int n = ReceiveAll(m_descriptor, data + consumed, length - consumed);
        if (n != length - consumed)
            return n;
    }
    packet->WritePacket(data, static_cast<unsigned int>(length));
    return length;
}

// --------------------------------------------------------------------------------------------
// TCP server
// --------------------------------------------------------------------------------------------

ZovTCPSocketServer::ZovTCPSocketServer(unsigned short port, unsigned int backlog) {
    m_descriptor = sys::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_descriptor == ZOVNET::BADSOCKET) {
        ZovNetWarning("Can not create TCP socket");
        return;
    }
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
    const unsigned int s = sys::accept(m_descriptor, &peer, &len);
    if (s == ZOVNET::BADSOCKET) {
        ZovNetWarning("socket accept() failed");
        return nullptr;
    }
    ZovTCPSocketClient* client =
        new (std::nothrow) ZovTCPSocketClient(s, peer.sin_addr.s_addr, peer.sin_port);
    if (client == nullptr)
        sys::closesocket(s); // nobody else would ever close the connection
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

// --------------------------------------------------------------------------------------------
// UDP socket
// --------------------------------------------------------------------------------------------

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
        return -1;
    return sys::send(m_descriptor, data, ClampLen(len), 0);
}

int ZovUDPSocket::Send(void* data, unsigned int len, unsigned int addr, unsigned short port) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return -1;
    const sockaddr_in to = MakeAddr(addr, port);
    return sys::sendto(m_descriptor, data, ClampLen(len), 0, &to, AddrLen);
}

int ZovUDPSocket::Send(ZovNetPacket* packet) {
    if (packet == nullptr)
        return -1;
    const unsigned short length = packet->Length();
    return Send(packet->Data(), length);
}

int ZovUDPSocket::Send(ZovNetPacket* packet, unsigned int addr, unsigned short port) {
    if (packet == nullptr)
        return -1;
    const unsigned short length = packet->Length();
    return ZovUDPSocket::Send(packet->Data(), length, addr, port);
}

int ZovUDPSocket::Receive(void* data, unsigned int len) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return -1;
    return sys::recvdatagram(m_descriptor, data, ClampLen(len), 0, nullptr, nullptr);
}

int ZovUDPSocket::Receive(void* data, unsigned int len, unsigned int* addr, unsigned short* port) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return -1;
    sockaddr_in from = MakeAddr(0, 0);
    int fromlen = AddrLen;
    const int n = sys::recvdatagram(m_descriptor, data, ClampLen(len), 0, &from, &fromlen);
    if (addr != nullptr)
        *addr = from.sin_addr.s_addr;
    if (port != nullptr)
        *port = from.sin_port;
    return n;
}

int ZovUDPSocket::Receive(ZovNetPacket* packet, unsigned int* addr, unsigned short* port) {
    if (packet == nullptr || (m_state & SOCK_RECEIVE) == 0)
        return -1;
    unsigned char buffer[UDP_RECEIVE_BUFFER];
    sockaddr_in from = MakeAddr(0, 0);
    int fromlen = AddrLen;
    int n;
    for (;;) {
        n = sys::recvdatagram(m_descriptor, buffer, UDP_RECEIVE_BUFFER, 0, &from, &fromlen);
        if (n != SOCKET_ERROR)
            break;
        const int error = sys::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
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

// --------------------------------------------------------------------------------------------
// Socket set
// --------------------------------------------------------------------------------------------

ZovSocketSet::ZovSocketSet() : m_set(), m_ready(), m_maxfd(0) {}

void ZovSocketSet::AddSocket(unsigned int s) {
    ZOVNET_ASSERT(s != ZOVNET::BADSOCKET);
    if (s == ZOVNET::BADSOCKET)
        return; // s + 1 would wrap the bound to 0
    if (s >= m_maxfd)
        m_maxfd = s + 1;
    sys::FdSet(s, &m_set);
}

void ZovSocketSet::AddSocket(ZovSocket* s) {
    ZOVNET_ASSERT(s != NULL);
    if (s != nullptr)
        AddSocket(s->Descriptor());
}

void ZovSocketSet::RemoveSocket(unsigned int s) {
    ZOVNET_ASSERT(s != ZOVNET::BADSOCKET);
    sys::FdClr(s, &m_set);
    if (m_maxfd != 0 && s == m_maxfd - 1) {
        // Every registered value lies below the bound, so the next bound is the highest of them
        // plus one: one pass over the table instead of a walk down through every value.
        m_maxfd = 0;
        for (unsigned int i = 0; i < m_set.fd_count; ++i)
            if (m_set.fd_array[i] >= m_maxfd)
                m_maxfd = m_set.fd_array[i] + 1;
    }
}

void ZovSocketSet::RemoveSocket(ZovSocket* s) {
    ZOVNET_ASSERT(s != NULL);
    if (s != nullptr)
        RemoveSocket(s->Descriptor());
}

int ZovSocketSet::CheckSockets() {
    if (m_maxfd == 0)
        return 0;
    int result;
    do {
        errno = 0;
        m_ready = m_set;
        const timeval poll = {0, 0};
        result = sys::select(m_maxfd, &m_ready, &poll);
    } while (errno == EINTR);
    return result;
}

int ZovSocketSet::WaitSockets(unsigned int timeout) {
    if (m_maxfd == 0)
        return 0;
    // A signal interrupts the wait; the retry waits only for what is left of the time-out, so
    // that a steady stream of signals cannot hold the caller for ever. Once it has run out, one
    // last poll still reports what is ready.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    std::chrono::microseconds left = std::chrono::milliseconds(timeout);
    int result;
    for (;;) {
        errno = 0;
        m_ready = m_set;
        timeval wait;
        wait.tv_sec = static_cast<long>(left.count() / 1000000);
        wait.tv_usec = static_cast<long>(left.count() % 1000000);
        result = sys::select(m_maxfd, &m_ready, timeout != 0 ? &wait : nullptr);
        if (errno != EINTR)
            return result;
        if (timeout != 0) {
            left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (left.count() < 0)
                left = std::chrono::microseconds(0);
        }
    }
}

bool ZovSocketSet::CheckSocket(unsigned int s) const {
    ZOVNET_ASSERT(s != ZOVNET::BADSOCKET);
    return sys::FdIsSet(s, &m_ready);
}

bool ZovSocketSet::CheckSocket(ZovSocket* s) const {
    ZOVNET_ASSERT(s != NULL);
    return s != nullptr && sys::FdIsSet(s->Descriptor(), &m_ready);
}

void ZovSocketSet::PrintInfo() const {
    if (m_maxfd == 0) {
        sys::PrintOut("Empty socket set.\n");
        return;
    }
    // Ascending order of value; every registered value lies below the bound, so sorting the
    // table lists exactly the values a walk from 0 to the bound would find.
    unsigned int values[sys::FD_TABLE_SIZE];
    const unsigned int count = m_set.fd_count;
    std::copy(m_set.fd_array, m_set.fd_array + count, values);
    std::sort(values, values + count);
    sys::PrintOut("Socket set: ");
    for (unsigned int i = 0; i < count; ++i)
        if (values[i] < m_maxfd)
            sys::PrintOut("[%2d] ", static_cast<int>(values[i]));
    sys::PrintOut("\n");
}
