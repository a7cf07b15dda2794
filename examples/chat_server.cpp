// A chat server on one thread: every packet a client sends is relayed to all the other clients.
//
//   chat_server [--port N] [--max-seconds S] [--idle-exit-ms MS] [--max-clients N] [--quiet]
//
//   --port N           TCP port to listen on; 0 (the default) lets the system choose.
//   --max-seconds S    stop after S seconds; 0 (the default) runs without limit.
//   --idle-exit-ms MS  stop once the last client has left and no other has come for MS
//                      milliseconds; 0 (the default) never stops for that. A server that nobody
//                      joins is bounded by --max-seconds alone.
//   --max-clients N    serve at most N clients at once, turning the others away; by default only
//                      the descriptors bound it.
//   --quiet            leave out the line per client and per packet.
//
// The server takes IPv4 and IPv6 clients on one socket (IPv4 alone, with a line on standard
// error, where the system has no IPv6), and relays between them alike.
//
// The first line on standard output is "listening on port N", so that a script can start the
// server on port 0 and read which port it got. Every later line reports a client joining, leaving,
// or having a packet relayed. The exit status is 0 after a limit stopped the server, 1 when it
// could not listen or its wait failed, 2 for bad arguments.
//
// The server relays packets as they are, whatever their type and content. It sends one packet of
// its own: a welcome of type 255 to each client it takes in, carrying the 16-bit number of clients
// connected, the new one included (the count stops at 65535). A client that has its welcome is
// sure to get every packet that the others send from then on, in order.
//
// One thread serves everybody through one ZovSocketPoller, all sockets non-blocking
// (ServerLimits.h). A relay the client cannot take yet waits in its queue; a client whose queue
// passes the library's send limit (it does not read) is dropped, and the others are not slowed. A
// client that sends only part of a packet and then stalls is dropped after half a second. A
// client beyond --max-clients is turned away (closed at once), and when the process runs out of
// descriptors, newcomers are turned away without the loop spinning, with one line in the log for
// the whole episode.
#include "ServerLimits.h"

#include <ZovNet.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char kWelcomeType = 255;

struct Options {
    unsigned int port = 0;
    unsigned long maxSeconds = 0;
    unsigned long idleExitMs = 0;
    unsigned long maxClients = 0;
    bool quiet = false;
};

struct Client {
    std::unique_ptr<ZovTCPSocketClient> socket;
    unsigned int id;
    bool gone;
};

bool g_quiet = false;

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
void Tell(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line of the log; flushed at once, since the log usually goes to a pipe.
void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// A line about one client or one packet, left out with --quiet: thousands of clients would turn
// it into a flood that holds the server up when its reader is slow.
void Tell(const char* format, ...) {
    if (g_quiet)
        return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
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
        if (name == "--quiet") {
            options.quiet = true;
            continue;
        }
        const char* value = i + 1 < argc ? argv[++i] : nullptr;
        unsigned long number = 0;
        if (name == "--port" && ParseNumber(value, 65535, number))
            options.port = static_cast<unsigned int>(number);
        else if (name == "--max-seconds" && ParseNumber(value, 1000000, number))
            options.maxSeconds = number;
        else if (name == "--idle-exit-ms" && ParseNumber(value, 1000000000, number))
            options.idleExitMs = number;
        else if (name == "--max-clients" && ParseNumber(value, 1000000, number) && number > 0)
            options.maxClients = number;
        else
            return false;
    }
    return true;
}

class ChatServer {
public:
    ChatServer(const ZovNet* net, ZovTCPSocketServer& server, unsigned long maxClients)
        : m_net(net), m_server(server), m_admission(server, m_poller, Say),
          m_maxClients(maxClients) {}

    ~ChatServer() {
        // Each socket leaves the poller as it is deleted.
        m_clients.clear();
    }

    bool Listen() {
        return m_poller.Valid() && m_server.SetBlocking(false) &&
               m_poller.AddSocket(&m_server, ZOVNET::POLL_RECEIVE, &m_server);
    }

    // Serves until a limit is reached. Returns false when waiting on the poller failed.
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
            const int ready = m_poller.WaitSockets(serverlimits::kTickMs);
            if (ready < 0) {
                std::fprintf(stderr, "chat_server: waiting on the sockets failed\n");
                return false;
            }
            // Clients before newcomers: one who left before a newcomer arrived is no longer
            // counted in the newcomer's welcome.
            bool admit = false;
            for (int i = 0; i < ready; ++i) {
                const ZovPollEvent e = m_poller.Ready(i);
                if (e.events == 0)
                    continue;
                if (e.tag == &m_server)
                    admit = true;
                else
                    Serve(static_cast<Client*>(e.tag), e.events);
            }
            m_stalls.Sweep([](Client* c) { c->gone = true; });
            Sweep();
            if (admit)
                Admit();
            std::fflush(stdout);
        }
    }

private:
    void Serve(Client* c, unsigned int events) {
        if (c->gone)
            return;
        ZovTCPSocketClient& socket = *c->socket;
        if ((events & ZOVNET::POLL_SEND) != 0 && socket.Flush() < 0) {
            c->gone = true;
            return;
        }
        if ((events & (ZOVNET::POLL_RECEIVE | ZOVNET::POLL_CLOSED | ZOVNET::POLL_ERROR)) != 0) {
            for (int turn = 0; turn < serverlimits::kPacketsPerTurn && !c->gone; ++turn) {
                ZovNetPacket packet;
                const int received = socket.Receive(&packet);
                if (received < 0 && ZovNet::LastError() == ZOVNET::ERRCODE_WOULD_BLOCK) {
                    // Nothing more for now; part of a packet may be waiting for its rest.
                    m_stalls.Update(c, socket.Pending() > 0);
                    break;
                }
                m_stalls.Update(c, false);
                // Closed, failed, or a frame too short to be a packet: the client is done.
                if (received <= 0) {
                    c->gone = true;
                    break;
                }
                Relay(*c, packet);
            }
        }
        if (!c->gone)
            Watch(*c);
    }

    void Relay(const Client& from, ZovNetPacket& packet) {
        unsigned int delivered = 0;
        for (auto& entry : m_clients) {
            Client& other = *entry.second;
            if (&other == &from || other.gone)
                continue;
            const bool waiting = other.socket->Queued() > 0;
            // Refused when its queue would pass the limit: it does not read, and is dropped.
            if (other.socket->Send(&packet) != packet.Length()) {
                other.gone = true;
                continue;
            }
            ++delivered;
            if (!waiting && other.socket->Queued() > 0)
                Watch(other);
        }
        Tell("client %u: relayed %u bytes of type %u to %u clients\n", from.id,
             static_cast<unsigned int>(packet.Length()), static_cast<unsigned int>(packet.Type()),
             delivered);
    }

    void Watch(Client& c) {
        m_poller.ModifySocket(c.socket.get(), serverlimits::WantedEvents(*c.socket));
    }

    // Leaving clients are closed, which takes them out of the poller.
    void Sweep() {
        for (auto it = m_clients.begin(); it != m_clients.end();) {
            if (!it->second->gone) {
                ++it;
                continue;
            }
            const unsigned int id = it->second->id;
            m_stalls.Forget(it->first);
            it = m_clients.erase(it);
            m_admission.Released();
            Tell("client %u left (%u connected)\n", id, static_cast<unsigned>(m_clients.size()));
        }
    }

    void Admit() {
        for (int turn = 0; turn < serverlimits::kAcceptsPerTurn; ++turn) {
            bool more = false;
            std::unique_ptr<ZovTCPSocketClient> socket = m_admission.Take(more);
            if (socket == nullptr) {
                if (!more)
                    return;
                continue;
            }
            // Turned away rather than left waiting: a waiting connection would keep the
            // listening socket ready and the loop spinning.
            if (m_maxClients != 0 && m_clients.size() >= m_maxClients) {
                Say("turned a client away: %u connected already\n",
                    static_cast<unsigned>(m_clients.size()));
                continue;
            }
            if (!serverlimits::PrepareClient(*socket))
                continue;
            const std::size_t count = m_clients.size() + 1;
            ZovNetPacket welcome(kWelcomeType, 2);
            welcome.AddInt16(static_cast<unsigned short>(count < 65535 ? count : 65535));
            if (socket->Send(&welcome) != welcome.Length())
                continue;
            std::unique_ptr<Client> client(new Client{std::move(socket), ++m_lastId, false});
            if (!m_poller.AddSocket(client->socket.get(),
                                    serverlimits::WantedEvents(*client->socket), client.get()))
                continue;
            if (!g_quiet) {
                Tell("client %u joined from %s (%u connected)\n", m_lastId,
                     serverlimits::PeerText(*m_net, *client->socket).c_str(),
                     static_cast<unsigned>(count));
            }
            Client* key = client.get();
            m_clients.emplace(key, std::move(client));
        }
    }

    const ZovNet* m_net;
    ZovTCPSocketServer& m_server;
    ZovSocketPoller m_poller;
    serverlimits::Admission m_admission;
    serverlimits::Stalls<Client*> m_stalls;
    std::unordered_map<Client*, std::unique_ptr<Client>> m_clients;
    unsigned long m_maxClients;
    unsigned int m_lastId = 0;
};

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: chat_server [--port N] [--max-seconds S] [--idle-exit-ms MS] "
                             "[--max-clients N] [--quiet]\n");
        return 2;
    }
    g_quiet = options.quiet;
    serverlimits::RaiseDescriptorLimit();
    ZovNet* net = ZovNet::GetInstance();
    if (net == nullptr || !net->Init()) {
        std::fprintf(stderr, "chat_server: cannot start the network layer\n");
        return 1;
    }
    int status = 1;
    {
        const std::unique_ptr<ZovTCPSocketServer> server =
            serverlimits::Listen(NetworkPort(options.port), "chat_server");
        ChatServer chat(net, *server, options.maxClients);
        if (server->State() == ZovSocket::SOCK_RECEIVE && chat.Listen()) {
            // Ready to serve before it says where.
            Say("listening on port %u\n", PortNumber(server->Port()));
            status = chat.Run(options) ? 0 : 1;
        } else {
            std::fprintf(stderr, "chat_server: cannot listen on port %u\n", options.port);
        }
    }
    delete net;
    return status;
}
