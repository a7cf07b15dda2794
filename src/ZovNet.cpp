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
    ZovNetReport("Fatal error", buffer);
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

// Whether a service may go on; otherwise records why not (ZovNet::LastError).
bool Ready(bool initialized, const void* a = "", const void* b = "") {
    if (!initialized)
        return ZovNetFail(ZOVNET::ERRCODE_NOT_STARTED, false);
    if (a == nullptr || b == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, false);
    return true;
}

// The code of a transfer refused because bit 1 (SOCK_RECEIVE) of the state is clear.
int GateError(unsigned int state) {
    return (state & ZovSocket::SOCK_SEND) != 0 ? ZOVNET::ERRCODE_SHUT_DOWN
                                               : ZOVNET::ERRCODE_NOT_CONNECTED;
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
    if (!Ready(m_initialized))
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
    if (!Ready(m_initialized, hostname))
        return false;
    sys::HostEntry entry;
    return sys::gethostbyname(hostname, entry);
}

bool ZovNet::CheckAddr(unsigned int hostaddr) const {
    if (!Ready(m_initialized))
        return false;
    sys::HostEntry entry;
    return sys::gethostbyaddr(&hostaddr, 4, AF_INET, entry);
}

bool ZovNet::NameToAddr(const char* hostname, unsigned int* hostaddr) const {
    ZOVNET_ASSERT(hostname != NULL);
    ZOVNET_ASSERT(hostaddr != NULL);
    if (!Ready(m_initialized, hostname, hostaddr))
        return false;
    sys::HostEntry entry;
    if (!sys::gethostbyname(hostname, entry))
        return false;
    // Only a 4-byte address fits the result.
    if (entry.h_length != 4 || entry.h_addr_list.empty())
        return ZovNetFail(WSAEAFNOSUPPORT, false);
    std::memcpy(hostaddr, entry.h_addr_list.front().data(), 4);
    return true;
}

bool ZovNet::AddrToName(unsigned int hostaddr, char* str, unsigned int size) const {
    ZOVNET_ASSERT(str != NULL);
    if (!Ready(m_initialized, str))
        return false;
    if (size == 0)
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, false);
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
    if (!Ready(m_initialized, str))
        return false;
    if (size == 0)
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, false);
    CopyBounded(str, AddrToString(hostaddr), size);
    return true;
}

const char* ZovNet::AddrToString(unsigned int hostaddr) const {
    if (!Ready(m_initialized))
        return nullptr;
    return sys::inet_ntoa(hostaddr);
}

bool ZovNet::StringToAddr(const char* str, unsigned int& hostaddr) const {
    ZOVNET_ASSERT(str != NULL);
    if (!Ready(m_initialized, str))
        return false;
    const unsigned int addr = sys::inet_addr(str);
    if (addr == INADDR_NONE)
        return ZovNetFail(ZOVNET::ERRCODE_INVALID_ARGUMENT, false);
    hostaddr = addr;
    return true;
}

// --------------------------------------------------------------------------------------------
// Socket base
// --------------------------------------------------------------------------------------------

ZovSocket::ZovSocket() : m_descriptor(ZOVNET::BADSOCKET), m_port(0), m_state(SOCK_CLOSED) {}

ZovSocket::~ZovSocket() {
    // A socket that never opened has nothing to close, and the failed close would be taken for
    // the thread's last error.
    if (m_descriptor != ZOVNET::BADSOCKET)
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

// The system's answers to a receive that mean "not now" rather than "never": a non-blocking
// descriptor with nothing more to give, or the socket's own receive time-out.
bool CanWaitLonger(int error) {
    return error == WSAEWOULDBLOCK || error == WSAETIMEDOUT;
}

unsigned int LengthField(const unsigned char* head) {
    return (static_cast<unsigned int>(head[0]) << 8) | head[1];
}

} // namespace

ZovTCPSocketClient::ZovTCPSocketClient(unsigned short localPort, unsigned int destAddr,
                                       unsigned short destPort)
    : m_destAddr(0), m_destPort(0), m_pending(nullptr), m_pendingUsed(0), m_pendingSize(0) {
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
    : m_destAddr(destAddr), m_destPort(destPort), m_pending(nullptr), m_pendingUsed(0),
      m_pendingSize(0) {
    ZOVNET_ASSERT(IsStreamSocket(descriptor));
    m_descriptor = descriptor;
    m_state = SOCK_BOTH;
    sockaddr_in addr = MakeAddr(0, 0);
    int len = AddrLen;
    if (sys::getsockname(descriptor, &addr, &len) == 0)
        m_port = addr.sin_port;
}

ZovTCPSocketClient::~ZovTCPSocketClient() {
    DropPending();
}

unsigned int ZovTCPSocketClient::SocketType() const {
    return SOCKTYPE_TCPCLIENT;
}

bool ZovTCPSocketClient::Connect(unsigned int destAddr, unsigned short destPort) {
    if (destAddr == 0)
        return ZovNetFail(ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE, false);
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
    DropPending(); // bytes of an earlier connection are no part of this one
    return true;
}

int ZovTCPSocketClient::Send(void* data, unsigned int len) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    return sys::send(m_descriptor, data, ClampLen(len), 0);
}

int ZovTCPSocketClient::Send(ZovNetPacket* packet) {
    if (packet == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, -1);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    const unsigned short length = packet->Length();
    unsigned char* bytes = packet->Data();
    // A frame cut short would desynchronise the stream for good: once its first byte is out, the
    // rest follows, or nothing more goes out on this connection.
    unsigned int sent = 0;
    while (sent < length) {
        const int n = Send(bytes + sent, length - sent);
        if (n > 0) {
            sent += static_cast<unsigned int>(n);
            continue;
        }
        const int error = n < 0 ? sys::WSAGetLastError() : 0;
        // Nothing of the frame left, and the system says so for certain: the caller may try
        // again. A send time-out is not certain: Windows does not say how much of a send that
        // ran out of time went out.
        if (sent == 0 && error != WSAETIMEDOUT)
            return -1;
        if (error == WSAEWOULDBLOCK) {
            // A descriptor the application made non-blocking: wait for room, as long as the
            // socket's own send time-out allows.
            int limit = 0;
            if (!GetOption(SO_SNDTIMEO, limit))
                limit = 0;
            if (sys::waitwritable(m_descriptor, limit) == 1)
                continue;
        }
        StopSending();
        return -1;
    }
    return length;
}

int ZovTCPSocketClient::Receive(void* data, unsigned int len) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    if (m_pendingUsed != 0 && data != nullptr) {
        // Bytes the packet receive took from the system come first: the stream stays whole.
        const unsigned int n =
            std::min(std::min(len, m_pendingUsed), static_cast<unsigned int>(INT_MAX));
        std::memcpy(data, m_pending, n);
        ConsumePending(n);
        return static_cast<int>(n);
    }
    return sys::recv(m_descriptor, data, ClampLen(len), 0);
}

int ZovTCPSocketClient::Receive(ZovNetPacket* packet) {
    if (packet == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, -1);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);

    if (m_pendingUsed == 0) {
        // The common case costs what a hand-written receive costs: a look at the length field,
        // then one read of the message, which is normally whole in the queue by then.
        unsigned char head[2] = {0, 0};
        const int peeked = sys::recv(m_descriptor, head, 2, MSG_PEEK);
        if (peeked == SOCKET_ERROR)
            return -1;
        if (peeked == 0)
            return ZovNetFail(ZOVNET::ERRCODE_CONNECTION_CLOSED, -1);
        if (peeked == 2) {
            const unsigned int length = LengthField(head);
            if (length < PACKET_HEADER_SIZE) {
                sys::recv(m_descriptor, head, 2, 0);
                return 0;
            }
            // Messages of up to 2 KiB, by far the most common, need no buffer from the heap.
            unsigned char local[2048];
            std::unique_ptr<unsigned char, FreeDeleter> heap;
            unsigned char* data = local;
            if (length > sizeof local) {
                heap.reset(static_cast<unsigned char*>(std::malloc(length)));
                data = heap.get();
                ZOVNET_ASSERT(data != NULL);
                if (data == nullptr)
                    return ZovNetFail(WSAENOBUFS, -1);
            }
            const int n = sys::recv(m_descriptor, data, static_cast<int>(length), 0);
            if (n == static_cast<int>(length)) {
                packet->WritePacket(data, length);
                return n;
            }
            if (n <= 0)
                return -1; // nothing was taken
            // Part of the message: the object keeps it until the rest has come.
            if (!ReservePending(length)) {
                StopReceiving();
                return -1;
            }
            std::memcpy(m_pending, data, static_cast<size_t>(n));
            m_pendingUsed = static_cast<unsigned int>(n);
        }
    }
    return ReceiveRest(packet);
}

// The slow way, one message that has not fully arrived: what has come is kept in the object, so
// that neither a non-blocking descriptor nor a time-out ever costs a byte of it, and the system
// never needs to say in which mode the descriptor is (Windows cannot).
int ZovTCPSocketClient::ReceiveRest(ZovNetPacket* packet) {
    for (;;) {
        const unsigned int need = m_pendingUsed < 2 ? 2u : std::max(LengthField(m_pending), 2u);
        if (m_pendingUsed >= 2 && need < PACKET_HEADER_SIZE) {
            ConsumePending(2);
            return 0;
        }
        if (m_pendingUsed >= need) {
            packet->WritePacket(m_pending, need);
            ConsumePending(need);
            return static_cast<int>(need);
        }
        if (!ReservePending(need))
            return -1; // a later call may find the memory; nothing is lost
        const int n = sys::recv(m_descriptor, m_pending + m_pendingUsed,
                                static_cast<int>(need - m_pendingUsed), 0);
        if (n > 0) {
            m_pendingUsed += static_cast<unsigned int>(n);
            continue;
        }
        if (n < 0 && CanWaitLonger(sys::WSAGetLastError()))
            return -1; // the part that came stays here for the next call
        // The peer closed or the connection failed in the middle of a message: the rest will
        // never come, and nothing more may be read as if it were framing.
        StopReceiving();
        return n == 0 ? 0 : -1;
    }
}

bool ZovTCPSocketClient::ReservePending(unsigned int size) {
    if (size <= m_pendingSize)
        return true;
    void* grown = std::realloc(m_pending, size);
    ZOVNET_ASSERT(grown != NULL);
    if (grown == nullptr)
        return ZovNetFail(WSAENOBUFS, false);
    m_pending = static_cast<unsigned char*>(grown);
    m_pendingSize = size;
    return true;
}

void ZovTCPSocketClient::ConsumePending(unsigned int count) {
    m_pendingUsed -= count;
    if (m_pendingUsed == 0)
        DropPending(); // an idle connection holds no memory
    else
        std::memmove(m_pending, m_pending + count, m_pendingUsed);
}

void ZovTCPSocketClient::DropPending() {
    std::free(m_pending);
    m_pending = nullptr;
    m_pendingUsed = 0;
    m_pendingSize = 0;
}

// The receive side is shut at the system as well, which refuses or resets what the peer still
// sends; the descriptor stays open (it may still be registered in a socket set).
void ZovTCPSocketClient::StopReceiving() {
    DropPending();
    sys::shutdown(m_descriptor, SOCK_RECEIVE - 1);
    m_state = static_cast<unsigned short>(m_state & ~static_cast<unsigned int>(SOCK_RECEIVE));
}

// Shutting the send side at the system makes every later send fail there: nothing can follow
// the part of a frame that went out, and the peer sees the connection end.
void ZovTCPSocketClient::StopSending() {
    sys::shutdown(m_descriptor, SOCK_SEND - 1);
    m_state = static_cast<unsigned short>(m_state & ~static_cast<unsigned int>(SOCK_SEND));
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
    if (client == nullptr) {
        sys::closesocket(s); // nobody else would ever close the connection
        return ZovNetFail(WSAENOBUFS, client);
    }
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
        return ZovNetFail(GateError(m_state), -1);
    return sys::send(m_descriptor, data, ClampLen(len), 0);
}

int ZovUDPSocket::Send(void* data, unsigned int len, unsigned int addr, unsigned short port) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    const sockaddr_in to = MakeAddr(addr, port);
    return sys::sendto(m_descriptor, data, ClampLen(len), 0, &to, AddrLen);
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
    return sys::recvdatagram(m_descriptor, data, ClampLen(len), 0, nullptr, nullptr);
}

int ZovUDPSocket::Receive(void* data, unsigned int len, unsigned int* addr, unsigned short* port) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
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
    if (packet == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, -1);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
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
