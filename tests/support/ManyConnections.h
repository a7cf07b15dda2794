// Many loopback connections for the poller's scale test: the descriptor limit that they need, and
// the client ends, which open the connections in batches and exchange numbered messages on each.
// The client ends run in a child process (tests/poller_peer.cpp) where one process could not hold
// both ends, or in a thread beside the server.
#ifndef ZOVNET_MANY_CONNECTIONS_H
#define ZOVNET_MANY_CONNECTIONS_H

#include "SocketApi.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace zovtest {

// Raises this process's soft limit of open descriptors to at least `needed` when the hard limit
// allows it. Returns false, with the reason in `why`, when it cannot; systems without such a
// limit answer true.
inline bool RaiseDescriptorLimit(unsigned long needed, std::string& why) {
#if defined(_WIN32)
    (void)needed;
    (void)why;
    return true;
#else
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        why = "getrlimit(RLIMIT_NOFILE) failed";
        return false;
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= needed)
        return true;
    if (limit.rlim_cur == RLIM_INFINITY)
        return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
        why = "the hard descriptor limit is " + std::to_string(limit.rlim_max) + ", below the " +
              std::to_string(needed) + " this test needs";
        return false;
    }
    limit.rlim_cur = needed;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        why = "setrlimit(RLIMIT_NOFILE, " + std::to_string(needed) + ") failed";
        return false;
    }
    return true;
#endif
}

// One message: the connection's number and the message's number, 4 bytes each, big-endian. The
// answer carries the same numbers with the top bit of the message number set.
constexpr int kMessageSize = 8;
constexpr std::uint32_t kAnswerBit = 0x80000000u;

inline void PutMessage(unsigned char* out, std::uint32_t connection, std::uint32_t number) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(connection >> (24 - 8 * i));
        out[4 + i] = static_cast<unsigned char>(number >> (24 - 8 * i));
    }
}

inline std::uint32_t MessageField(const unsigned char* in, int field) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = v << 8 | in[4 * field + i];
    return v;
}

// The client ends: opens `count` connections to 127.0.0.1:`port` (network byte order) in
// batches of `batch`. Each connection sends message 0 and waits for its answer before the next
// batch opens, so that the server's accept queue never holds more than a batch; then every
// connection sends messages 1 to `messages` - 1, one round at a time, and every answer is checked
// before the next round. Returns "" when every answer came whole, in order and on its own
// connection before `deadline`, otherwise what went wrong. The connections close when it returns.
inline std::string RunClientEnds(unsigned short port, int count, int batch, int messages,
                                 std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    std::vector<int> fds;
    fds.reserve(static_cast<std::size_t>(count));
    struct Closer {
        std::vector<int>& fds;
        ~Closer() {
            for (int fd : fds)
                CloseSocket(fd);
        }
    } closer{fds};

    auto send = [&](int i, std::uint32_t number) -> std::string {
        unsigned char m[kMessageSize];
        PutMessage(m, static_cast<std::uint32_t>(i), number);
        int n;
        do
            n = Send(fds[static_cast<std::size_t>(i)], m, kMessageSize, kNoSignal);
        while (n < 0 && Interrupted());
        if (n != kMessageSize)
            return "connection " + std::to_string(i) + ": send of message " +
                   std::to_string(number) + " failed";
        return "";
    };
    auto answer = [&](int i, std::uint32_t number) -> std::string {
        unsigned char m[kMessageSize];
        int got = 0;
        while (got < kMessageSize) {
            if (Clock::now() > deadline)
                return "deadline passed waiting for the answer of connection " + std::to_string(i);
            const int n = Recv(fds[static_cast<std::size_t>(i)], m + got, kMessageSize - got, 0);
            if (n < 0 && Interrupted())
                continue;
            if (n <= 0)
                return "connection " + std::to_string(i) + ": answer to message " +
                       std::to_string(number) + " missing (receive gave " + std::to_string(n) + ")";
            got += n;
        }
        if (MessageField(m, 0) != static_cast<std::uint32_t>(i) ||
            MessageField(m, 1) != (number | kAnswerBit))
            return "connection " + std::to_string(i) + ": answer to message " +
                   std::to_string(number) + " reads " + std::to_string(MessageField(m, 0)) + "/" +
                   std::to_string(MessageField(m, 1) & ~kAnswerBit);
        return "";
    };

    for (int first = 0; first < count; first += batch) {
        const int last = first + batch < count ? first + batch : count;
        for (int i = first; i < last; ++i) {
            const int fd = Socket(AF_INET, SOCK_STREAM | kSockCloexec, 0);
            if (fd < 0)
                return "socket " + std::to_string(i) + " could not be created (error " +
                       std::to_string(LastSocketError()) + ")";
            fds.push_back(fd);
            SetReceiveTimeoutMs(fd, 20000);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = port;
            if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
                return "connection " + std::to_string(i) + " refused (error " +
                       std::to_string(LastSocketError()) + ")";
            std::string e = send(i, 0);
            if (!e.empty())
                return e;
        }
        for (int i = first; i < last; ++i) {
            std::string e = answer(i, 0);
            if (!e.empty())
                return e;
        }
    }
    for (int number = 1; number < messages; ++number) {
        for (int i = 0; i < count; ++i) {
            std::string e = send(i, static_cast<std::uint32_t>(number));
            if (!e.empty())
                return e;
        }
        for (int i = 0; i < count; ++i) {
            std::string e = answer(i, static_cast<std::uint32_t>(number));
            if (!e.empty())
                return e;
        }
    }
    return "";
}

} // namespace zovtest

#endif // ZOVNET_MANY_CONNECTIONS_H
