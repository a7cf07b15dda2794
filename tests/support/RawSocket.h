// Raw loopback sockets for tests: a peer that does not go through the library, so that a
// test can see and shape the exact bytes on the wire. Every wait is bounded by a deadline.
#ifndef ZOVNET_RAW_SOCKET_H
#define ZOVNET_RAW_SOCKET_H

#include "TestSupport.h"

#include <ZovNet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zovtest {

using Bytes = std::vector<unsigned char>;

// Bytes as "00 09 07": failure messages then show the wire the way a person reads it.
inline std::string Hex(const Bytes& bytes) {
    std::string text;
    char cell[4];
    for (unsigned char b : bytes) {
        std::snprintf(cell, sizeof cell, text.empty() ? "%02x" : " %02x", b);
        text += cell;
    }
    return text;
}

// A raw descriptor owned by the test: closed when the object goes, never shared.
class RawFd {
public:
    explicit RawFd(int fd = -1) : m_fd(fd) {}
    RawFd(RawFd&& other) noexcept : m_fd(other.Release()) {}
    RawFd& operator=(RawFd&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    RawFd(const RawFd&) = delete;
    RawFd& operator=(const RawFd&) = delete;
    ~RawFd() { Reset(); }

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release() { return std::exchange(m_fd, -1); }
    void Reset(int fd = -1) {
        if (m_fd >= 0)
            CloseSocket(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// The local port of `fd` in network byte order, as the library reports ports.
inline unsigned short LocalPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 0;
    return addr.sin_port;
}

// A TCP socket bound to 127.0.0.1 on a port the system chooses; listening unless told not to.
// A bound socket that does not listen keeps its port reserved while every connection to it is
// refused: the refused port cannot be taken over by another test meanwhile. A non-zero
// `receiveBuffer` sets SO_RCVBUF before listening, so that accepted connections start with it.
inline RawFd RawBound(bool listening = true, int receiveBuffer = 0) {
    RawFd fd(Socket(AF_INET, SOCK_STREAM | kSockCloexec, 0));
    if (!fd.Valid())
        return fd;
    if (receiveBuffer != 0)
        SetSockOpt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = Loopback();
    addr.sin_port = 0;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (listening && ::listen(fd.Get(), 8) != 0))
        fd.Reset();
    return fd;
}

inline RawFd RawListen() {
    return RawBound(true);
}

// A blocking connection to 127.0.0.1:`port` (network byte order). A non-zero `receiveBuffer` is
// its SO_RCVBUF from the start (a small one makes a peer that never reads fill up soon).
inline RawFd RawConnect(unsigned short port, int receiveBuffer = 0) {
    RawFd fd(Socket(AF_INET, SOCK_STREAM | kSockCloexec, 0));
    if (!fd.Valid())
        return fd;
    if (receiveBuffer > 0)
        SetSockOpt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = Loopback();
    addr.sin_port = port;
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        fd.Reset();
    return fd;
}

// Waits up to `timeoutMs` for `fd` to become readable (data, a connection, a close or an error).
inline bool WaitReadable(int fd, int timeoutMs) {
    int n;
    do
        n = PollOne(fd, POLLIN, timeoutMs);
    while (n < 0 && Interrupted());
    return n == 1;
}

// Takes one connection from a listening socket, waiting at most `timeoutMs`.
inline RawFd RawAccept(int listener, int timeoutMs = 5000) {
    if (!WaitReadable(listener, timeoutMs))
        return RawFd();
    return RawFd(Accept(listener));
}

// Sends all of `bytes`; MSG_NOSIGNAL so that a test peer never kills the test process.
inline bool SendAll(int fd, const Bytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int n =
            Send(fd, bytes.data() + sent, static_cast<int>(bytes.size() - sent), kNoSignal);
        if (n < 0 && Interrupted())
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Receives until `count` bytes have come, the peer closed, or `timeoutMs` passed; returns what
// came (fewer bytes than asked for tell the test what went wrong).
inline Bytes ReceiveBytes(int fd, std::size_t count, int timeoutMs = 5000) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Bytes bytes(count);
    std::size_t got = 0;
    while (got < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || !WaitReadable(fd, static_cast<int>(left)))
            break;
        // The wait said readable, so the receive does not block.
        const int n = Recv(fd, bytes.data() + got, static_cast<int>(count - got), 0);
        if (n < 0 && Interrupted())
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

// The bytes waiting in `fd`'s receive queue, not consumed.
inline Bytes PeekBytes(int fd, std::size_t max = 65536) {
    // Only what is queued already is asked for, so the peek does not block.
    const int queued = PendingBytes(fd);
    if (queued <= 0)
        return Bytes();
    Bytes bytes(std::min(max, static_cast<std::size_t>(queued)));
    const int n = Recv(fd, bytes.data(), static_cast<int>(bytes.size()), MSG_PEEK);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

// Waits up to `timeoutMs` until at least `count` bytes wait in `fd`'s receive queue.
inline bool WaitPending(int fd, std::size_t count, int timeoutMs = 5000) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int pending = PendingBytes(fd);
        if (pending >= 0 && static_cast<std::size_t>(pending) >= count)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Whether `fd` is an open descriptor of this process.
inline bool IsOpen(int fd) {
    return IsOpenSocket(fd);
}

// Closes `fd` with a reset instead of the orderly close: the peer's next send fails.
inline void ResetClose(RawFd& fd) {
    linger l{1, 0};
    SetSockOpt(fd.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    fd.Reset();
}

// A client that sees every raw send: the packet and the read-only forms must send through it.
class CountingClient : public ZovTCPSocketClient {
public:
    using ZovTCPSocketClient::Send;
    using ZovTCPSocketClient::ZovTCPSocketClient;
    int Send(void* data, unsigned int len) override {
        ++calls;
        const int n = ZovTCPSocketClient::Send(data, len);
        bytes += n > 0 ? static_cast<unsigned int>(n) : 0;
        return n;
    }
    int calls = 0;
    unsigned int bytes = 0;
};

// A library client connected to a raw peer on loopback, both with bounded receives; the client is
// null when the connection could not be made. A non-zero `peerReceiveBuffer` is the peer's
// SO_RCVBUF from the start of the connection.
struct ClientAndPeer {
    std::unique_ptr<ZovTCPSocketClient> client;
    RawFd peer;
};

inline ClientAndPeer ConnectedClient(int peerReceiveBuffer = 0) {
    ClientAndPeer pair;
    RawFd listener = RawBound(true, peerReceiveBuffer);
    if (!listener.Valid())
        return pair;
    const unsigned short anyPort = 0;
    pair.client =
        std::make_unique<ZovTCPSocketClient>(anyPort, Loopback(), LocalPort(listener.Get()));
    pair.peer = RawAccept(listener.Get());
    if (pair.client->State() != ZovSocket::SOCK_BOTH || !pair.peer.Valid()) {
        pair.client.reset();
        return pair;
    }
    SetReceiveTimeout(pair.client->Descriptor(), 5000);
    SetReceiveTimeout(static_cast<unsigned int>(pair.peer.Get()), 5000);
    return pair;
}

// A library server with one accepted connection from a raw client.
struct ServerAndRawClient {
    std::unique_ptr<ZovTCPSocketServer> server;
    std::unique_ptr<ZovTCPSocketClient> accepted;
    RawFd raw;
};

inline ServerAndRawClient AcceptedFromRaw() {
    ServerAndRawClient trio;
    trio.server = std::make_unique<ZovTCPSocketServer>();
    trio.raw = RawConnect(trio.server->Port());
    if (!trio.raw.Valid() || !WaitReadable(static_cast<int>(trio.server->Descriptor()), 5000))
        return trio;
    trio.accepted.reset(trio.server->Accept());
    if (trio.accepted != nullptr)
        SetReceiveTimeout(trio.accepted->Descriptor(), 5000);
    SetReceiveTimeout(static_cast<unsigned int>(trio.raw.Get()), 5000);
    return trio;
}

} // namespace zovtest

#endif // ZOVNET_RAW_SOCKET_H
