// What a one-thread server on ZovNet needs in order to live through overload, shared by
// echo_server and chat_server:
//
//  - a listen queue as long as the system allows, so that a burst of connects waits in the queue
//    instead of being spread over seconds of retransmitted connection requests;
//  - a bound on the wait for the rest of a packet, so that a client that stops in the middle of
//    one is dropped instead of holding the one thread up;
//  - a bound on every send, so that a client that stops reading is dropped once its buffers are
//    full, instead of holding the one thread in a send for as long as it lives;
//  - Admission, which takes connections from the listening socket and keeps the loop from
//    spinning when the process has run out of descriptors.
//
// The server's own limit (the 63 clients that fit in a socket set beside the listening socket) is
// the server's business: a connection it cannot hold is closed at once, never left waiting.
#ifndef ZOVNET_EXAMPLE_SERVER_LIMITS_H
#define ZOVNET_EXAMPLE_SERVER_LIMITS_H

#include <ZovNet.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <memory>

// The socket-level option names and the longest listen queue are the system's own.
#if defined(_WIN32)
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace serverlimits {

using Clock = std::chrono::steady_clock;

// The system's longest listen queue; a longer request is cut to it.
constexpr unsigned int kBacklog = static_cast<unsigned int>(SOMAXCONN);

// The longest a send to one client may hold the whole server up.
constexpr int kSendTimeoutMs = 2000;

// How long the rest of a packet may take once its first bytes have come.
constexpr int kStallMs = 500;

// Bounds the wait for the rest of a packet that has begun to arrive: a client that sends part of
// one and stops holds the one thread up for at most kStallMs, after which its receive fails and
// the server drops it. Returns whether the bound is set.
inline bool BoundStalls(ZovTCPSocketClient& client) {
    return client.SetOption(SO_RCVTIMEO, kStallMs);
}

// Bounds every send to `client` by kSendTimeoutMs: a client that does not read fills its buffers,
// and a send to it then fails, so that the server drops it. Returns whether the bound is set.
inline bool BoundSends(ZovTCPSocketClient& client) {
    return client.SetOption(SO_SNDTIMEO, kSendTimeoutMs);
}

// Takes the connections of a listening socket that a server loop watches in its socket set.
//
// When the process runs out of descriptors, an accept fails and leaves the connection queued, so
// the listening socket stays readable and a loop that only retries spins at full speed and logs
// every attempt. Admission keeps one descriptor in reserve (a datagram socket that is never
// used): when an accept fails, it frees the reserve, takes the waiting connection, closes it
// (the client learns at once that it was turned away) and takes the reserve back. Until a client
// of the server has left, or a second has passed, it turns every newcomer away like this without
// trying an ordinary accept. The condition is logged once per episode, on standard output, by
// the function given. Should the reserve be lost, the listening socket is left out of the set
// for a moment instead.
class Admission {
public:
    using Log = void (*)(const char* format, ...);

    Admission(ZovTCPSocketServer& server, ZovSocketSet& set, Log log)
        : m_server(server), m_set(set), m_log(log) {
        TakeReserve();
    }

    // Call when the set reported the listening socket readable. Returns the new connection, or
    // null when there was none to take or it had to be turned away (and is closed already).
    std::unique_ptr<ZovTCPSocketClient> Take() {
        const Clock::time_point now = Clock::now();
        if (!m_starved || m_released || now >= m_retryAt) {
            std::unique_ptr<ZovTCPSocketClient> client(m_server.Accept());
            if (client != nullptr) {
                if (m_starved)
                    m_log("descriptors are free again: taking clients\n");
                m_starved = false;
                return client;
            }
            if (!m_starved)
                m_log("out of descriptors: turning clients away until one leaves\n");
            m_starved = true;
            m_released = false;
            m_retryAt = now + std::chrono::seconds(1);
        }
        TurnAway();
        return nullptr;
    }

    // Call whenever the server has closed a client: a descriptor is free again.
    void Released() { m_released = true; }

    // Call on every pass of the loop: watches the listening socket again once a pause is over.
    void Tick() {
        if (m_paused && Clock::now() >= m_resumeAt) {
            m_set.AddSocket(&m_server);
            m_paused = false;
        }
    }

private:
    void TakeReserve() {
        m_reserve.reset(new ZovUDPSocket);
        if (m_reserve->Descriptor() == ZOVNET::BADSOCKET)
            m_reserve.reset();
    }

    void TurnAway() {
        if (m_reserve != nullptr) {
            m_reserve.reset();
            // Only a connection that is still waiting: an accept on an empty queue would block.
            ZovSocketSet listener;
            listener.AddSocket(&m_server);
            const bool waiting = listener.CheckSockets() == 1;
            listener.RemoveSocket(&m_server);
            bool closed = !waiting;
            if (waiting) {
                std::unique_ptr<ZovTCPSocketClient> refused(m_server.Accept());
                closed = refused != nullptr;
            }
            TakeReserve();
            if (closed && m_reserve != nullptr)
                return;
        }
        // Without a reserve, or when even the reserve did not help: stop watching for a moment.
        if (!m_paused) {
            m_set.RemoveSocket(&m_server);
            m_paused = true;
            m_resumeAt = Clock::now() + std::chrono::milliseconds(250);
        }
    }

    ZovTCPSocketServer& m_server;
    ZovSocketSet& m_set;
    Log m_log;
    std::unique_ptr<ZovUDPSocket> m_reserve;
    bool m_starved = false;  // in an episode of descriptor shortage
    bool m_released = false; // a client has left since the last failed accept
    bool m_paused = false;   // the listening socket is out of the set
    Clock::time_point m_retryAt;
    Clock::time_point m_resumeAt;
};

} // namespace serverlimits

#endif // ZOVNET_EXAMPLE_SERVER_LIMITS_H
