// A chat server on one thread: every packet a client sends is relayed to all the other clients.
//
//   chat_server [--port N] [--max-seconds S] [--idle-exit-ms MS]
//
//   --port N           TCP port to listen on; 0 (the default) lets the system choose.
//   --max-seconds S    stop after S seconds; 0 (the default) runs without limit.
//   --idle-exit-ms MS  stop once the last client has left and no other has come for MS
//                      milliseconds; 0 (the default) never stops for that. A server that nobody
//                      joins is bounded by --max-seconds alone.
//
// The first line on standard output is "listening on port N", so that a script can start the
// server on port 0 and read which port it got. Every later line reports a client joining, leaving,
// or having a packet relayed. The exit status is 0 after a limit stopped the server, 1 when it
// could not listen or its wait failed, 2 for bad arguments.
//
// The server relays packets as they are, whatever their type and content. It sends one packet of
// its own: a welcome of type 255 to each client it takes in, carrying the 16-bit number of clients
// connected, the new one included. A client that has its welcome is sure to get every packet that
// the others send from then on.
//
// One thread serves everybody: the listening socket and every client are in one socket set, and
// the loop waits on it, at most 100 ms at a time so that the limits are checked. A client that
// sends only part of a packet and then stalls holds the loop for at most half a second, the
// receive time-out of every client, and is then dropped: the others chat on.
//
// Under overload (ServerLimits.h): the listen queue is the system's longest; a client beyond the
// 63 that the set holds is turned away (closed at once); a client that stops reading is dropped
// once a send to it has waited 2 seconds; and when the process runs out of descriptors, newcomers
// are turned away without the loop spinning, with one line in the log for the whole episode.
#include "ServerLimits.h"

#include <ZovNet.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char kWelcomeType = 255;
// The set watches 64 descriptors; one of them is the listening socket.
constexpr std::size_t kMaxClients = 63;
constexpr unsigned int kTickMs = 100;

struct Options {
    unsigned int port = 0;
    unsigned long maxSeconds = 0;
    unsigned long idleExitMs = 0;
};

struct Client {
    std::unique_ptr<ZovTCPSocketClient> socket;
    unsigned int id;
    bool gone;
};

// Ports cross the library's interface in network byte order; people write them in host order.
unsigned short NetworkPort(unsigned int number) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(number >> 8),
                                    static_cast<unsigned char>(number)};
    unsigned short port;
    std::memcpy(&port, bytes, sizeof port);
    return port;
}

unsigned int PortNumber(unsigned short networkOrder) {
    unsigned char bytes[2];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    return bytes[0] * 256u + bytes[1];
}

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line of the log; flushed at once, since the log usually goes to a pipe.
void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

bool ParseNumber(const char* text, unsigned long limit, unsigned long& value) {
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (*end != '\0' || v > limit)
        return false;
    value = v;
    return true;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const char* value = i + 1 < argc ? argv[++i] : nullptr;
        unsigned long number = 0;
        if (name == "--port" && ParseNumber(value, 65535, number))
            options.port = static_cast<unsigned int>(number);
        else if (name == "--max-seconds" && ParseNumber(value, 1000000, number))
            options.maxSeconds = number;
        else if (name == "--idle-exit-ms" && ParseNumber(value, 1000000000, number))
            options.idleExitMs = number;
        else
            return false;
    }
    return true;
}

class ChatServer {
public:
    ChatServer(const ZovNet* net, ZovTCPSocketServer& server)
        : m_net(net), m_server(server), m_admission(server, m_set, Say) {
        m_set.AddSocket(&m_server);
    }

    ~ChatServer() {
        // A set does not track sockets: take every one out before it is closed.
        for (Client& c : m_clients)
            m_set.RemoveSocket(c.socket.get());
        m_clients.clear();
        m_set.RemoveSocket(&m_server);
    }

    // Serves until a limit is reached. Returns false when waiting on the set failed.
    bool Run(const Options& options) {
        const auto start = Clock::now();
        bool joined = false; // idleness counts only once somebody has come
        auto lastBusy = start;
        for (;;) {
            const auto now = Clock::now();
            if (options.maxSeconds != 0 &&
                now - start >= std::chrono::seconds(options.maxSeconds)) {
                Say("time limit reached\n");
                return true;
            }
            if (!m_clients.empty()) {
                joined = true;
                lastBusy = now;
            } else if (joined && options.idleExitMs != 0 &&
                       now - lastBusy >= std::chrono::milliseconds(options.idleExitMs)) {
                Say("no clients for %lu ms\n", options.idleExitMs);
                return true;
            }

            m_admission.Tick();
            const int ready = m_set.WaitSockets(kTickMs);
            if (ready < 0) {
                std::fprintf(stderr, "chat_server: waiting on the sockets failed\n");
                return false;
            }
            if (ready == 0)
                continue;
            // Clients before newcomers: one who left before a newcomer arrived is no longer
            // counted in the newcomer's welcome.
            ServeClients();
            Sweep();
            if (m_set.CheckSocket(&m_server))
                Admit();
        }
    }

private:
    void ServeClients() {
        for (Client& c : m_clients) {
            if (c.gone || !m_set.CheckSocket(c.socket.get()))
                continue;
            ZovNetPacket packet;
            // A readable client with no whole packet to give has closed, failed, or stalled in
            // the middle of a packet for longer than its receive time-out; it is done.
            if (c.socket->Receive(&packet) <= 0) {
                c.gone = true;
                continue;
            }
            unsigned int delivered = 0;
            for (Client& other : m_clients) {
                if (&other == &c || other.gone)
                    continue;
                if (other.socket->Send(&packet) == packet.Length())
                    ++delivered;
                else
                    other.gone = true;
            }
            Say("client %u: relayed %u bytes of type %u to %u clients\n", c.id,
                static_cast<unsigned int>(packet.Length()),
                static_cast<unsigned int>(packet.Type()), delivered);
        }
    }

    // Leaving clients come out of the set first, then are closed.
    void Sweep() {
        for (auto it = m_clients.begin(); it != m_clients.end();) {
            if (!it->gone) {
                ++it;
                continue;
            }
            m_set.RemoveSocket(it->socket.get());
            const unsigned int id = it->id;
            it = m_clients.erase(it);
            m_admission.Released();
            Say("client %u left (%u connected)\n", id, static_cast<unsigned>(m_clients.size()));
        }
    }

    void Admit() {
        std::unique_ptr<ZovTCPSocketClient> socket = m_admission.Take();
        if (socket == nullptr)
            return;
        // Turned away rather than left waiting: a waiting connection would keep the listening
        // socket readable and the loop spinning.
        if (m_clients.size() >= kMaxClients) {
            Say("turned a client away: %u connected already\n",
                static_cast<unsigned>(m_clients.size()));
            return;
        }
        serverlimits::BoundStalls(*socket);
        const char* from = m_net->AddrToString(socket->GetDestAddr());
        const unsigned int peerPort = PortNumber(socket->GetDestPort());
        serverlimits::BoundSends(*socket);
        ZovNetPacket welcome(kWelcomeType, 2);
        welcome.AddInt16(static_cast<unsigned short>(m_clients.size() + 1));
        if (socket->Send(&welcome) != welcome.Length())
            return;
        m_set.AddSocket(socket.get());
        m_clients.push_back(Client{std::move(socket), ++m_lastId, false});
        Say("client %u joined from %s:%u (%u connected)\n", m_lastId, from != nullptr ? from : "?",
            peerPort, static_cast<unsigned>(m_clients.size()));
    }

    const ZovNet* m_net;
    ZovTCPSocketServer& m_server;
    ZovSocketSet m_set;
    serverlimits::Admission m_admission;
    std::vector<Client> m_clients;
    unsigned int m_lastId = 0;
};

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: chat_server [--port N] [--max-seconds S] [--idle-exit-ms MS]\n");
        return 2;
    }
    ZovNet* net = ZovNet::GetInstance();
    if (net == nullptr || !net->Init()) {
        std::fprintf(stderr, "chat_server: cannot start the network layer\n");
        return 1;
    }
    int status = 1;
    {
        ZovTCPSocketServer server(NetworkPort(options.port), serverlimits::kBacklog);
        if (server.State() == ZovSocket::SOCK_RECEIVE) {
            ChatServer chat(net, server); // ready to serve before it says where
            Say("listening on port %u\n", PortNumber(server.Port()));
            status = chat.Run(options) ? 0 : 1;
        } else {
            std::fprintf(stderr, "chat_server: cannot listen on port %u\n", options.port);
        }
    }
    delete net;
    return status;
}
