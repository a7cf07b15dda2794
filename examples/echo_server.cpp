// A packet echo server: accepts TCP connections and answers every packet with the same packet.
//
//   echo_server [port] [--once | --max-connections N] [--max-clients N] [--quiet]
//
// The port is given as people write it (0 or none: the system chooses one). The first line of
// output names the port, so that a script can start the server and then find it. With --once or
// --max-connections the server stops taking connections after that many and exits once they
// have all closed; otherwise it runs until it is stopped. --max-clients bounds the clients served
// at once (by default only the descriptors do); --quiet leaves out the line per client and per
// packet, which thousands of clients would turn into a flood.
//
// It listens for IPv4 and IPv6 clients on one socket (IPv4 alone, with a line on standard error,
// where the system has no IPv6).
//
// One thread serves every client through one ZovSocketPoller, all sockets non-blocking
// (ServerLimits.h): an echo the client cannot take yet waits in its queue while the others are
// served; a client whose queue passes the library's send limit (it does not read) is dropped; a
// client that stops in the middle of a packet is dropped after half a second; a client beyond
// --max-clients is turned away (closed at once); and when the process runs out of descriptors,
// newcomers are turned away without the loop spinning, with one line in the log for the whole
// episode.
#include "ServerLimits.h"

#include <ZovNet.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

namespace {

// Ports cross the library's interface in network byte order; the command line is in host order.
unsigned short ToNetworkOrder(unsigned int port) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8),
                                    static_cast<unsigned char>(port & 0xFF)};
    unsigned short value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

unsigned int PortNumber(unsigned short networkOrder) {
    unsigned char bytes[2];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    return bytes[0] * 256u + bytes[1];
}

bool ParseNumber(const char* text, unsigned long max, unsigned long& value) {
    char* end = nullptr;
    value = std::strtoul(text, &end, 10);
    return *text != '\0' && *end == '\0' && value <= max;
}

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line of the log, prefixed with the program's name and flushed at once: the log usually
// goes to a pipe.
void Say(const char* format, ...) {
    std::fputs("echo_server: ", stdout);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

int Usage() {
    std::fprintf(stderr, "usage: echo_server [port] [--once | --max-connections N] "
                         "[--max-clients N] [--quiet]\n");
    return 2;
}

struct Connection {
    std::unique_ptr<ZovTCPSocketClient> socket;
    std::string peer;
};

class EchoServer {
public:
    EchoServer(const ZovNet* net, ZovTCPSocketServer& server, unsigned long maxConnections,
               unsigned long maxClients, bool quiet)
        : m_net(net), m_server(server), m_admission(server, m_poller, Say),
          m_maxConnections(maxConnections), m_maxClients(maxClients), m_quiet(quiet) {}

    ~EchoServer() {
        // Each socket leaves the poller as it is deleted.
        m_connections.clear();
    }

    bool Listen() {
        return m_poller.Valid() && m_server.SetBlocking(false) &&
               m_poller.AddSocket(&m_server, ZOVNET::POLL_RECEIVE, &m_server);
    }

    // Serves until every connection allowed has come and gone. Returns false when the wait
    // failed.
    bool Run() {
        while (m_accepting || !m_connections.empty()) {
            if (m_accepting)
                m_admission.Tick();
            const int ready = m_poller.WaitSockets(serverlimits::kTickMs);
            if (ready < 0) {
                std::fprintf(stderr, "echo_server: waiting on the sockets failed\n");
                return false;
            }
            for (int i = 0; i < ready; ++i) {
                const ZovPollEvent e = m_poller.Ready(i);
                if (e.events == 0)
                    continue; // its connection was dropped while this batch was handled
                if (e.tag == &m_server)
                    Admit();
                else
                    Serve(static_cast<Connection*>(e.tag), e.events);
            }
            m_stalls.Sweep([this](Connection* c) {
                Log("%s: stalled in the middle of a packet: dropped\n", c->peer.c_str());
                Drop(c);
            });
            std::fflush(stdout);
        }
        return true;
    }

private:
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (m_quiet)
            return;
        std::fputs("echo_server: ", stdout);
        va_list args;
        va_start(args, format);
        std::vprintf(format, args);
        va_end(args);
    }

    void Serve(Connection* c, unsigned int events) {
        ZovTCPSocketClient& socket = *c->socket;
        if ((events & ZOVNET::POLL_SEND) != 0 && socket.Flush() < 0) {
            Log("%s: connection failed\n", c->peer.c_str());
            Drop(c);
            return;
        }
        if ((events & (ZOVNET::POLL_RECEIVE | ZOVNET::POLL_CLOSED | ZOVNET::POLL_ERROR)) != 0) {
            for (int turn = 0; turn < serverlimits::kPacketsPerTurn; ++turn) {
                // A non-blocking receive hands out whole packets only; the part of one that has
                // come waits in the object for the rest.
                ZovNetPacket packet;
                const int received = socket.Receive(&packet);
                if (received < 0 && ZovNet::LastError() == ZOVNET::ERRCODE_WOULD_BLOCK) {
                    // Nothing more for now; part of a packet may be waiting for its rest.
                    m_stalls.Update(c, socket.Pending() > 0);
                    break;
                }
                if (received < 0 ||
                    (received == 0 && (socket.State() & ZovSocket::SOCK_RECEIVE) == 0)) {
                    Log("%s: connection closed\n", c->peer.c_str());
                    Drop(c);
                    return;
                }
                m_stalls.Update(c, false);
                if (received == 0) {
                    Log("%s: dropped a frame too short to be a packet\n", c->peer.c_str());
                    continue;
                }
                const unsigned int type = packet.Type();
                if (socket.Send(&packet) != received) {
                    // Its queue is past the limit: it does not read its echoes.
                    Log("%s: does not read its echoes: dropped\n", c->peer.c_str());
                    Drop(c);
                    return;
                }
                Log("%s: echoed a packet of type %u, %d bytes\n", c->peer.c_str(), type, received);
            }
        }
        m_poller.ModifySocket(&socket, serverlimits::WantedEvents(socket));
    }

    void Admit() {
        for (int turn = 0; turn < serverlimits::kAcceptsPerTurn && m_accepting; ++turn) {
            bool more = false;
            std::unique_ptr<Connection> c(new Connection);
            c->socket = m_admission.Take(more);
            if (c->socket == nullptr) {
                if (!more)
                    return;
                continue;
            }
            if (m_maxClients != 0 && m_connections.size() >= m_maxClients) {
                // A connection left waiting would keep the listening socket ready and the loop
                // spinning, and its client waiting for ever: turn it away.
                Say("turned a client away: %u connected already\n",
                    static_cast<unsigned>(m_connections.size()));
                continue;
            }
            if (!serverlimits::PrepareClient(*c->socket) ||
                !m_poller.AddSocket(c->socket.get(), ZOVNET::POLL_RECEIVE, c.get()))
                continue;
            if (!m_quiet)
                c->peer = serverlimits::PeerText(*m_net, *c->socket);
            Log("%s: connected\n", c->peer.c_str());
            Connection* key = c.get();
            m_connections.emplace(key, std::move(c));
            ++m_accepted;
            if (m_maxConnections != 0 && m_accepted >= m_maxConnections) {
                m_poller.RemoveSocket(&m_server);
                m_accepting = false;
            }
        }
    }

    void Drop(Connection* c) {
        m_stalls.Forget(c);
        m_connections.erase(c); // the socket leaves the poller as it is deleted
        m_admission.Released();
    }

    const ZovNet* m_net;
    ZovTCPSocketServer& m_server;
    ZovSocketPoller m_poller;
    serverlimits::Admission m_admission;
    serverlimits::Stalls<Connection*> m_stalls;
    std::unordered_map<Connection*, std::unique_ptr<Connection>> m_connections;
    unsigned long m_maxConnections;
    unsigned long m_maxClients;
    bool m_quiet;
    bool m_accepting = true;
    unsigned long m_accepted = 0;
};

} // namespace

int main(int argc, char** argv) {
    unsigned long port = 0;
    unsigned long maxConnections = 0; // 0: no limit
    unsigned long maxClients = 0;     // 0: as many as there are descriptors
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--once") == 0) {
            maxConnections = 1;
        } else if (std::strcmp(argv[i], "--quiet") == 0) {
            quiet = true;
        } else if (std::strcmp(argv[i], "--max-connections") == 0 && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 1000000, maxConnections) || maxConnections == 0)
                return Usage();
        } else if (std::strcmp(argv[i], "--max-clients") == 0 && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 1000000, maxClients) || maxClients == 0)
                return Usage();
        } else if (!ParseNumber(argv[i], 65535, port)) {
            return Usage();
        }
    }

    serverlimits::RaiseDescriptorLimit();
    ZovNet* net = ZovNet::GetInstance();
    if (net == nullptr || !net->Init())
        return 1;

    int status = 0;
    {
        const std::unique_ptr<ZovTCPSocketServer> server =
            serverlimits::Listen(ToNetworkOrder(static_cast<unsigned int>(port)), "echo_server");
        EchoServer echo(net, *server, maxConnections, maxClients, quiet);
        if (server->State() != ZovSocket::SOCK_RECEIVE || !echo.Listen()) {
            std::fprintf(stderr, "echo_server: cannot listen on port %lu\n", port);
            status = 1;
        } else {
            // Ready to serve before it says where.
            Say("listening on port %u\n", PortNumber(server->Port()));
            status = echo.Run() ? 0 : 1;
            std::printf("echo_server: done\n");
        }
    }
    // The sockets are gone: the network layer stops last.
    delete net;
    return status;
}
