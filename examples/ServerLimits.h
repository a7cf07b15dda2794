// What a one-thread server on ZovNet needs in order to serve thousands of clients and live through
// overload, shared by echo_server and chat_server:
//
//  - one ZovSocketPoller for the listening socket and every client, all non-blocking: no call
//    ever waits for one client while the others wait for the server;
//  - queued sends: an answer the system cannot take at once waits in the client's object, the
//    poller is asked for room (POLL_SEND) only while something is queued, and a client whose queue
//    passes its limit (it does not read) is dropped instead of holding memory without bound;
//  - a bound on the wait for the rest of a packet: a client that sends part of one and stops is
//    dropped once kStallMs have passed (Stalls, below);
//  - a listen queue as long as the system allows, so that a burst of connects waits in the queue
//    instead of being spread over seconds of retransmitted connection requests;
//  - the soft descriptor limit raised to the hard one at start (RaiseDescriptorLimit);
//  - Admission, which takes connections from the listening socket and keeps the loop from
//    spinning when the process has run out of descriptors;
//  - one listening socket for IPv4 and IPv6 clients alike (Listen), and peers named in the
//    form of their family (PeerText).
//
// A connection the server cannot hold (beyond --max-clients) is closed at once, never left
// waiting.
#ifndef ZOVNET_EXAMPLE_SERVER_LIMITS_H
#define ZOVNET_EXAMPLE_SERVER_LIMITS_H

#include <ZovNet.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

// The longest listen queue and the descriptor limit are the system's own.
#if defined(_WIN32)
#include <winsock2.h>
#else
#include <sys/resource.h>
#include <sys/socket.h>
#endif

namespace serverlimits {

using Clock = std::chrono::steady_clock;

// The system's longest listen queue; a longer request is cut to it.
constexpr unsigned int kBacklog = static_cast<unsigned int>(SOMAXCONN);

// How long the rest of a packet may take once its first bytes have come.
constexpr int kStallMs = 500;

// The longest wait on the poller, so that stalls and a pause of the listening socket are seen.
constexpr int kTickMs = 100;

// How many packets one client may have answered in one pass before the others get their turn.
constexpr int kPacketsPerTurn = 16;

// How many connections one pass takes from the listening socket.
constexpr int kAcceptsPerTurn = 64;

// Raises the process's soft descriptor limit to its hard limit: every client costs one
// descriptor, and the soft limit is often a small fraction of what the system allows. Returns
// the limit now in force (0 where the system has no such limit).
inline unsigned long RaiseDescriptorLimit() {
#if defined(_WIN32)
    return 0;
#else
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return static_cast<unsigned long>(limit.rlim_cur);
#endif
}

// The listening socket on \p port (network byte order): one socket for IPv4 and IPv6 clients
// (`ZovAddress::Any6()` is dual-stack on every system), so that a client reaches the server
// whichever family its name resolves to first. A system without IPv6 refuses that socket; the
// server then listens on IPv4 alone and says so on standard error. `State()` of the result
// tells whether it listens.
inline std::unique_ptr<ZovTCPSocketServer> Listen(unsigned short port, const char* program) {
    std::unique_ptr<ZovTCPSocketServer> server(
        new ZovTCPSocketServer(port, kBacklog, ZovAddress::Any6()));
    const int error = ZovNet::LastError();
    if (server->State() == ZovSocket::SOCK_RECEIVE ||
        (error != ZOVNET::ERRCODE_FAMILY_NOT_SUPPORTED &&
         error != ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE))
        return server;
    std::fprintf(stderr, "%s: no IPv6 here (%s): listening on IPv4 only\n", program,
                 ZovNet::ErrorText(error));
    server.reset(new ZovTCPSocketServer(port, kBacklog));
    return server;
}

// "a.b.c.d:port" for an IPv4 client (one of a dual-stack server included: the library hands out
// its IPv4 address), "[v6]:port" for an IPv6 one.
inline std::string PeerText(const ZovNet& net, const ZovTCPSocketClient& client) {
    const ZovAddress peer = client.PeerAddress();
    char text[ZOVNET::ADDRESS_STRING_SIZE] = "?";
    net.AddressToString(peer, text, sizeof text);
    const unsigned short networkOrder = client.GetDestPort();
    unsigned char bytes[2];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    const std::string port = std::to_string(bytes[0] * 256u + bytes[1]);
    return peer.IsV6() ? "[" + std::string(text) + "]:" + port : std::string(text) + ":" + port;
}

// Puts a client into the mode the servers serve in: non-blocking (an accepted client has its
// listener's mode already; this makes sure) with the library's bounded send queue.
inline bool PrepareClient(ZovTCPSocketClient& client) {
    return client.IsBlocking() ? client.SetBlocking(false) : true;
}

// The poller events a client needs now: always what it sends us, and room to send while part of
// an answer waits in its queue.
inline unsigned int WantedEvents(const ZovTCPSocketClient& client) {
    return ZOVNET::POLL_RECEIVE | (client.Queued() > 0 ? ZOVNET::POLL_SEND : 0u);
}

// Clients whose packet has begun to arrive and is not whole yet, with the time it began. A client
// in here for longer than kStallMs has stalled. Only the clients in the middle of a packet are in
// here, so a sweep costs nothing for the thousands that are not.
template <typename Key> class Stalls {
public:
    // After a receive: the client has part of a packet (true) or none (false).
    void Update(Key key, bool partial) {
        if (!partial) {
            m_since.erase(key);
            return;
        }
        m_since.emplace(key, Clock::now()); // keeps the time of the first part
    }

    void Forget(Key key) { m_since.erase(key); }

    // Calls drop(key) for every client that has stalled, after taking it out.
    template <typename Drop> void Sweep(Drop drop) {
        const Clock::time_point limit = Clock::now() - std::chrono::milliseconds(kStallMs);
        for (auto it = m_since.begin(); it != m_since.end();) {
            if (it->second > limit) {
                ++it;
                continue;
            }
            const Key key = it->first;
            it = m_since.erase(it);
            drop(key);
        }
    }

private:
    std::unordered_map<Key, Clock::time_point> m_since;
};

// Takes the connections of a non-blocking listening socket that a server loop watches in its
// poller.
//
// When the process runs out of descriptors, an accept fails and leaves the connection queued, so
// the listening socket stays ready and a loop that only retries spins at full speed and logs
// every attempt. Admission keeps one descriptor in reserve (a datagram socket that is never
// used): when an accept fails, it frees the reserve, takes the waiting connection, closes it
// (the client learns at once that it was turned away) and takes the reserve back. Until a client
// of the server has left, or a second has passed, it turns every newcomer away like this without
// trying an ordinary accept. The condition is logged once per episode by the function given.
// Should the reserve be lost, the listening socket is left out of the poller for a moment
// instead.
class Admission {
public:
    using Log = void (*)(const char* format, ...);

    Admission(ZovTCPSocketServer& server, ZovSocketPoller& poller, Log log)
        : m_server(server), m_poller(poller), m_log(log) {
        TakeReserve();
    }

    // Call when the poller reported the listening socket ready, until it returns null. Returns
    // the next connection, or null when there is none waiting or the one waiting had to be
    // turned away (and is closed already).
    std::unique_ptr<ZovTCPSocketClient> Take(bool& more) {
        more = false;
        const Clock::time_point now = Clock::now();
        if (!m_starved || m_released || now >= m_retryAt) {
            std::unique_ptr<ZovTCPSocketClient> client(m_server.Accept());
            if (client != nullptr) {
                if (m_starved)
                    m_log("descriptors are free again: taking clients\n");
                m_starved = false;
                more = true;
                return client;
            }
            if (ZovNet::LastError() == ZOVNET::ERRCODE_WOULD_BLOCK)
                return nullptr; // nobody waiting
            if (!m_starved)
                m_log("out of descriptors: turning clients away until one leaves\n");
            m_starved = true;
            m_released = false;
            m_retryAt = now + std::chrono::seconds(1);
        }
        more = TurnAway();
        return nullptr;
    }

    // Call whenever the server has closed a client: a descriptor is free again.
    void Released() { m_released = true; }

    // Call on every pass of the loop: watches the listening socket again once a pause is over.
    void Tick() {
        if (m_paused && Clock::now() >= m_resumeAt) {
            m_poller.ModifySocket(&m_server, ZOVNET::POLL_RECEIVE);
            m_paused = false;
        }
    }

private:
    void TakeReserve() {
        m_reserve.reset(new ZovUDPSocket);
        if (m_reserve->Descriptor() == ZOVNET::BADSOCKET)
            m_reserve.reset();
    }

    // Returns whether a connection was turned away (another may be waiting behind it).
    bool TurnAway() {
        if (m_reserve != nullptr) {
            m_reserve.reset();
            // The listening socket does not block: with nobody waiting this returns null.
            std::unique_ptr<ZovTCPSocketClient> refused(m_server.Accept());
            const bool closed = refused != nullptr;
            refused.reset();
            TakeReserve();
            if (m_reserve != nullptr)
                return closed;
        }
        // Without a reserve: stop watching the listening socket for a moment (events 0 asks for
        // its errors only).
        if (!m_paused) {
            m_poller.ModifySocket(&m_server, 0);
            m_paused = true;
            m_resumeAt = Clock::now() + std::chrono::milliseconds(250);
        }
        return false;
    }

    ZovTCPSocketServer& m_server;
    ZovSocketPoller& m_poller;
    Log m_log;
    std::unique_ptr<ZovUDPSocket> m_reserve;
    bool m_starved = false;  // in an episode of descriptor shortage
    bool m_released = false; // a client has left since the last failed accept
    bool m_paused = false;   // the listening socket is not watched
    Clock::time_point m_retryAt;
    Clock::time_point m_resumeAt;
};

} // namespace serverlimits

#endif // ZOVNET_EXAMPLE_SERVER_LIMITS_H
