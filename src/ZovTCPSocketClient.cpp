// The TCP client: one end of a connection, raw bytes and whole framed messages.
#include "ZovNet.h"
#include "ZovSocketSupport.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

// The adopting constructor takes any unsigned value, and a plain `unsigned int` variable picks it
// where a port was meant (a port of 0 then adopts standard input): the debug library stops on
// anything but an open stream socket, and the release library refuses it without touching it.
bool IsStreamSocket(unsigned int s) {
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

// The bound of a non-blocking socket's send queue until SetSendLimit changes it.
constexpr unsigned int kDefaultSendLimit = 256 * 1024;

// The any address of either family names no peer: a constructor given it connects nowhere.
bool IsAnyAddress(const ZovAddress& a) {
    if (a.IsV4())
        return a.V4() == 0;
    unsigned char bytes[16];
    a.Bytes(bytes);
    for (unsigned char b : bytes)
        if (b != 0)
            return false;
    return true;
}

// A new TCP socket of the family `ipv6` says. An IPv6 one is made IPv6 only: it never reaches an
// IPv4 peer (an IPv4 destination gets an IPv4 descriptor), and the systems' defaults differ, so
// without the option its local port would also hold the IPv4 port on Linux and not on Windows.
// Failing to set it only leaves the system's default.
unsigned int NewStreamSocket(bool ipv6) {
    const unsigned int s = sys::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (ipv6 && s != ZOVNET::BADSOCKET) {
        const int error = sys::LibraryError();
        if (sys::setdualstack(s, false) != 0)
            sys::SetLibraryError(error);
    }
    return s;
}

unsigned int LengthField(const unsigned char* head) {
    return (static_cast<unsigned int>(head[0]) << 8) | head[1];
}

} // namespace

ZovTCPSocketClient::ZovTCPSocketClient(unsigned short localPort, unsigned int destAddr,
                                       unsigned short destPort)
    : ZovTCPSocketClient(localPort, ZovAddress(destAddr), destPort) {}

ZovTCPSocketClient::ZovTCPSocketClient(unsigned short localPort, const ZovAddress& dest,
                                       unsigned short destPort)
    : m_destAddr(0), m_destPort(0), m_bindPort(localPort), m_connectFailed(false), m_queue(nullptr),
      m_queueStart(0), m_queueUsed(0), m_queueSize(0), m_sendLimit(kDefaultSendLimit),
      m_pending(nullptr), m_pendingUsed(0), m_pendingSize(0) {
    m_ipv6 = dest.IsV6();
    m_descriptor = NewStreamSocket(m_ipv6);
    if (m_descriptor == ZOVNET::BADSOCKET) {
        ZovNetWarning("Can not create TCP socket");
        return;
    }
    sys::SocketAddress addr;
    int len = MakeSocketAddress(AnyAddress(m_ipv6), localPort, m_ipv6, addr);
    if (sys::bind(m_descriptor, &addr.sa, len) == SOCKET_ERROR) {
        ZovNetWarning("Can not bind TCP socket to local port");
        sys::closesocket(m_descriptor);
        m_descriptor = ZOVNET::BADSOCKET;
        return;
    }
    if (LocalAddress(m_descriptor, addr))
        m_port = PortOf(addr);

    if (IsAnyAddress(dest))
        return;
    len = MakeSocketAddress(dest, destPort, m_ipv6, addr);
    if (sys::connect(m_descriptor, &addr.sa, len) != 0) {
        m_connectFailed = true;
        ZovNetWarning("Can not connect to remote host");
        return;
    }
    m_peer = dest;
    m_destAddr = dest.V4();
    m_destPort = destPort;
    m_state = SOCK_BOTH;
}

ZovTCPSocketClient::ZovTCPSocketClient(unsigned int descriptor, unsigned int destAddr,
                                       unsigned short destPort)
    : m_destAddr(destAddr), m_destPort(destPort), m_bindPort(0), m_connectFailed(false),
      m_queue(nullptr), m_queueStart(0), m_queueUsed(0), m_queueSize(0),
      m_sendLimit(kDefaultSendLimit), m_pending(nullptr), m_pendingUsed(0), m_pendingSize(0),
      m_peer(destAddr) {
    ZOVNET_ASSERT(IsStreamSocket(descriptor));
    if (!IsStreamSocket(descriptor)) {
        // Whatever the descriptor was, it stays the caller's: the object holds none.
        sys::SetLibraryError(WSAENOTSOCK);
        m_peer = ZovAddress();
        m_destAddr = 0;
        m_destPort = 0;
        return;
    }
    m_descriptor = descriptor;
    m_state = SOCK_BOTH;
    sys::SocketAddress addr;
    if (LocalAddress(descriptor, addr)) {
        m_port = PortOf(addr);
        m_ipv6 = addr.sa.sa_family == AF_INET6;
    }
}

ZovTCPSocketClient::~ZovTCPSocketClient() {
    DropPending();
    DropQueue();
}

unsigned int ZovTCPSocketClient::SocketType() const {
    return SOCKTYPE_TCPCLIENT;
}

bool ZovTCPSocketClient::SetNoDelay(bool on) {
    const int value = on ? 1 : 0;
    return sys::setsockopt(m_descriptor, IPPROTO_TCP, TCP_NODELAY, &value, 4) == 0;
}

bool ZovTCPSocketClient::Connect(unsigned int destAddr, unsigned short destPort) {
    return Connect(destAddr, destPort, 0);
}

bool ZovTCPSocketClient::Connect(unsigned int destAddr, unsigned short destPort,
                                 unsigned int timeout) {
    if (destAddr == 0)
        return ZovNetFail(ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE, false);
    return ConnectTo(ZovAddress(destAddr), destPort, timeout);
}

bool ZovTCPSocketClient::Connect(const ZovAddress& dest, unsigned short destPort) {
    return Connect(dest, destPort, 0);
}

bool ZovTCPSocketClient::Connect(const ZovAddress& dest, unsigned short destPort,
                                 unsigned int timeout) {
    if (IsAnyAddress(dest))
        return ZovNetFail(ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE, false);
    return ConnectTo(dest, destPort, timeout);
}

bool ZovTCPSocketClient::ConnectTo(const ZovAddress& dest, unsigned short destPort,
                                   unsigned int timeout) {
    const bool ipv6 = dest.IsV6();
    if (m_descriptor != ZOVNET::BADSOCKET && ipv6 != m_ipv6 && m_state != SOCK_CLOSED) {
        // The connection the object holds stays, as the system keeps it on a second connect.
        sys::SetLibraryError(WSAEISCONN);
        ZovNetWarning("Can not connect to remote host");
        return false;
    }
    if (m_descriptor != ZOVNET::BADSOCKET && (m_connectFailed || ipv6 != m_ipv6) &&
        !FreshDescriptor(ipv6))
        return false;
    sys::SocketAddress addr;
    const int addrlen = MakeSocketAddress(dest, destPort, m_ipv6, addr);
    int rc;
    if (m_blocking && timeout == 0) {
        rc = sys::connect(m_descriptor, &addr.sa, addrlen);
    } else {
        // The wait for the outcome is bounded only on a non-blocking descriptor, so a blocking
        // object is switched for the time of the connect.
        const int wait = timeout == 0 ? -1 : ClampLen(timeout);
        rc = m_blocking ? sys::setblocking(m_descriptor, false) : 0;
        if (rc == 0)
            rc = sys::connectwait(m_descriptor, &addr.sa, addrlen, wait);
        if (m_blocking) {
            const int error = sys::LibraryError();
            sys::setblocking(m_descriptor, true);
            sys::SetLibraryError(error);
        }
    }
    if (rc != 0) {
        // A connection the object still holds is left alone (the system refuses a second
        // connect on it); any other failure leaves a descriptor that some systems cannot
        // connect again.
        if (m_state == SOCK_CLOSED)
            m_connectFailed = true;
        ZovNetWarning("Can not connect to remote host");
        return false;
    }
    // A refused connect can cost a socket the port the system chose for it (Linux releases it),
    // so the connection may leave from another one: report the port it really uses.
    if (LocalAddress(m_descriptor, addr))
        m_port = PortOf(addr);
    m_peer = dest;
    m_destAddr = dest.V4();
    m_destPort = destPort;
    m_state = SOCK_BOTH;
    m_connectFailed = false;
    DropPending(); // bytes of an earlier connection are no part of this one
    DropQueue();
    return true;
}

// A descriptor whose connect failed cannot be connected again everywhere (Wine refuses it), and
// one of the other family cannot reach the destination at all, so the attempt takes a new one in
// the object's mode, on the same local port: the port the application asked for, or else the one
// the system had chosen, where it is still free.
bool ZovTCPSocketClient::FreshDescriptor(bool ipv6) {
    const unsigned int s = NewStreamSocket(ipv6);
    if (s == ZOVNET::BADSOCKET) {
        ZovNetWarning("Can not create TCP socket");
        return false; // the old descriptor stays, and the next Connect tries again
    }
    if (!m_blocking && sys::setblocking(s, false) != 0) {
        const int error = sys::LibraryError();
        sys::closesocket(s);
        sys::SetLibraryError(error);
        ZovNetWarning("Can not create TCP socket");
        return false;
    }
    // Created before the old one is closed, so that the new descriptor has another number: a set
    // that still holds the old number then fails instead of watching a stranger.
    LeavePollers();
    sys::closesocket(m_descriptor);
    m_descriptor = s;
    m_ipv6 = ipv6;
    m_connectFailed = false;
    const unsigned short port = m_bindPort != 0 ? m_bindPort : m_port;
    m_port = 0;
    sys::SocketAddress addr;
    const int len = MakeSocketAddress(AnyAddress(ipv6), port, ipv6, addr);
    if (sys::bind(s, &addr.sa, len) == SOCKET_ERROR) {
        MakeSocketAddress(AnyAddress(ipv6), 0, ipv6, addr);
        if (m_bindPort != 0 || sys::bind(s, &addr.sa, len) == SOCKET_ERROR) {
            m_connectFailed = true; // not bound where it must be: the next Connect starts over
            ZovNetWarning("Can not bind TCP socket to local port");
            return false;
        }
    }
    if (LocalAddress(s, addr))
        m_port = PortOf(addr);
    return true;
}

int ZovTCPSocketClient::Send(void* data, unsigned int len) {
    ZOVNET_ASSERT(data != NULL);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    if (m_queueUsed != 0) {
        // Bytes sent past the queue would land inside a queued frame.
        const int left = Flush();
        if (left < 0)
            return -1;
        if (left > 0)
            return ZovNetFail(ZOVNET::ERRCODE_WOULD_BLOCK, -1);
    }
    return sys::send(m_descriptor, data, ClampLen(len), ModeFlags(m_blocking));
}

int ZovTCPSocketClient::Send(ZovNetPacket* packet) {
    if (packet == nullptr)
        return ZovNetFail(ZOVNET::ERRCODE_NULL_ARGUMENT, -1);
    if ((m_state & SOCK_RECEIVE) == 0)
        return ZovNetFail(GateError(m_state), -1);
    const unsigned short length = packet->Length();
    unsigned char* bytes = packet->Data();
    if (!m_blocking)
        return SendQueued(bytes, length);
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

// A socket the application made non-blocking through the library never waits and never cuts a
// frame: what the system does not take now waits in the object, behind what waits already.
int ZovTCPSocketClient::SendQueued(unsigned char* bytes, unsigned int length) {
    if (m_queueUsed != 0) {
        const int left = Flush();
        if (left < 0)
            return -1;
        if (left > 0) {
            if (static_cast<unsigned long long>(m_queueUsed) + length > m_sendLimit)
                return ZovNetFail(ZOVNET::ERRCODE_WOULD_BLOCK, -1);
            return Enqueue(bytes, length) ? static_cast<int>(length) : -1;
        }
    }
    const int n = Send(bytes, length); // through a derived class's byte form, as a blocking send
    if (n == static_cast<int>(length))
        return n;
    if (n < 0 && sys::LibraryError() != WSAEWOULDBLOCK)
        return -1; // nothing of it went out: the connection failed
    const unsigned int sent = n > 0 ? static_cast<unsigned int>(n) : 0;
    if (!Enqueue(bytes + sent, length - sent)) {
        if (sent != 0) {
            // Without memory for the rest, the part that went out is a cut frame.
            const int error = sys::LibraryError();
            StopSending();
            sys::SetLibraryError(error);
        }
        return -1;
    }
    return static_cast<int>(length);
}

int ZovTCPSocketClient::Flush() {
    if (m_queueUsed == 0)
        return 0;
    if ((m_state & SOCK_RECEIVE) == 0) {
        // Nothing may be sent any more: the rest of the frame can never go out.
        DropQueue();
        return ZovNetFail(GateError(m_state), -1);
    }
    while (m_queueUsed != 0) {
        const int asked = ClampLen(m_queueUsed);
        const int n = sys::send(m_descriptor, m_queue + m_queueStart, asked, ModeFlags(m_blocking));
        if (n > 0) {
            ConsumeQueue(static_cast<unsigned int>(n));
            // A short send on a non-blocking descriptor means the system is full for now.
            if (!m_blocking && n < asked)
                break;
            continue;
        }
        const int error = n < 0 ? sys::LibraryError() : 0;
        if (error == WSAEWOULDBLOCK) {
            if (!m_blocking)
                break;
            // A blocking object whose descriptor was made non-blocking behind the library's
            // back: wait for room, as long as the socket's own send time-out allows.
            int limit = 0;
            if (!GetOption(SO_SNDTIMEO, limit))
                limit = 0;
            if (sys::waitwritable(m_descriptor, limit) == 1)
                continue;
        }
        // Part of a frame may be out already: nothing else may follow it.
        const int failure = sys::LibraryError();
        StopSending();
        sys::SetLibraryError(failure);
        return -1;
    }
    return ClampLen(m_queueUsed);
}

bool ZovTCPSocketClient::Enqueue(const unsigned char* bytes, unsigned int len) {
    if (len == 0)
        return true;
    const unsigned long long need =
        static_cast<unsigned long long>(m_queueStart) + m_queueUsed + len;
    if (need > m_queueSize) {
        // The sent part at the front is reused once it is at least as large as what is left to
        // move, so that each byte is moved a bounded number of times.
        if (m_queueStart != 0 && m_queueStart >= m_queueUsed) {
            std::memmove(m_queue, m_queue + m_queueStart, m_queueUsed);
            m_queueStart = 0;
        }
        const unsigned long long fit =
            static_cast<unsigned long long>(m_queueStart) + m_queueUsed + len;
        if (fit > m_queueSize) {
            const unsigned long long grown =
                std::max(fit, static_cast<unsigned long long>(m_queueSize) * 3 / 2);
            if (grown > UINT_MAX)
                return ZovNetFail(WSAENOBUFS, false);
            void* queue = std::realloc(m_queue, static_cast<size_t>(grown));
            if (queue == nullptr)
                return ZovNetFail(WSAENOBUFS, false);
            m_queue = static_cast<unsigned char*>(queue);
            m_queueSize = static_cast<unsigned int>(grown);
        }
    }
    std::memcpy(m_queue + m_queueStart + m_queueUsed, bytes, len);
    m_queueUsed += len;
    return true;
}

void ZovTCPSocketClient::ConsumeQueue(unsigned int count) {
    m_queueUsed -= count;
    m_queueStart += count;
    if (m_queueUsed == 0)
        DropQueue(); // an idle connection holds no memory
}

void ZovTCPSocketClient::DropQueue() {
    std::free(m_queue);
    m_queue = nullptr;
    m_queueStart = 0;
    m_queueUsed = 0;
    m_queueSize = 0;
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
    return sys::recv(m_descriptor, data, ClampLen(len), ModeFlags(m_blocking));
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
        const int peeked = sys::recv(m_descriptor, head, 2, MSG_PEEK | ModeFlags(m_blocking));
        if (peeked == SOCKET_ERROR)
            return -1;
        if (peeked == 0)
            return ZovNetFail(ZOVNET::ERRCODE_CONNECTION_CLOSED, -1);
        if (peeked == 2) {
            const unsigned int length = LengthField(head);
            if (length < PACKET_HEADER_SIZE) {
                sys::recv(m_descriptor, head, 2, ModeFlags(m_blocking));
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
            const int n =
                sys::recv(m_descriptor, data, static_cast<int>(length), ModeFlags(m_blocking));
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
                                static_cast<int>(need - m_pendingUsed), ModeFlags(m_blocking));
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
    DropQueue();
    sys::shutdown(m_descriptor, SOCK_SEND - 1);
    m_state = static_cast<unsigned short>(m_state & ~static_cast<unsigned int>(SOCK_SEND));
}
