// A packet echo server: accepts TCP connections and answers every packet with the same packet.
//
//   echo_server [port] [--once | --max-connections N]
//
// The port is given as people write it (0 or none: the system chooses one). The first line of
// output names the port, so that a script can start the server and then find it. With --once or
// --max-connections the server stops taking connections after that many and exits once they
// have all closed; otherwise it runs until it is stopped.
//
// Under overload (ServerLimits.h): the listen queue is the system's longest; a client beyond the
// 63 that the socket set holds beside the listening socket is turned away (closed at once); a
// client that does not read its echoes is dropped once a send to it has waited 2 seconds; and
// when the process runs out of descriptors, newcomers are turned away without the loop spinning,
// with one line in the log for the whole episode.
#include "ServerLimits.h"

#include <ZovNet.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

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

// The set watches 64 descriptors; one of them is the listening socket.
constexpr std::size_t kMaxConnections = 63;
// The longest wait on the set, so that a pause of the listening socket can end.
constexpr unsigned int kTickMs = 100;

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
    std::fprintf(stderr, "usage: echo_server [port] [--once | --max-connections N]\n");
    return 2;
}

struct Connection {
    std::unique_ptr<ZovTCPSocketClient> socket;
    std::string peer;
};

} // namespace

int main(int argc, char** argv) {
    unsigned long port = 0;
    unsigned long maxConnections = 0; // 0: no limit
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--once") == 0) {
            maxConnections = 1;
        } else if (std::strcmp(argv[i], "--max-connections") == 0 && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 1000000, maxConnections) || maxConnections == 0)
                return Usage();
        } else if (!ParseNumber(argv[i], 65535, port)) {
            return Usage();
        }
    }

    ZovNet* net = ZovNet::GetInstance();
    if (net == nullptr || !net->Init())
        return 1;

    int status = 0;
    {
        ZovTCPSocketServer server(ToNetworkOrder(static_cast<unsigned int>(port)),
                                  serverlimits::kBacklog);
        if (server.State() != ZovSocket::SOCK_RECEIVE) {
            std::fprintf(stderr, "echo_server: cannot listen on port %lu\n", port);
            delete net;
            return 1;
        }
        ZovSocketSet set;
        set.AddSocket(&server);
        serverlimits::Admission admission(server, set, Say);
        // Ready to serve before it says where.
        Say("listening on port %u\n", PortNumber(server.Port()));
        bool accepting = true;
        unsigned long accepted = 0;
        std::vector<Connection> connections;

        while (accepting || !connections.empty()) {
            if (accepting)
                admission.Tick();
            const int ready = set.WaitSockets(kTickMs);
            if (ready < 0) {
                std::fprintf(stderr, "echo_server: waiting on the sockets failed\n");
                status = 1;
                break;
            }
            if (ready == 0)
                continue;

            // Take the readable connections first: the list grows below.
            for (auto it = connections.begin(); it != connections.end();) {
                if (!set.CheckSocket(it->socket.get())) {
                    ++it;
                    continue;
                }
                // Once a message has begun, Receive waits for the rest of it, up to the receive
                // time-out: a peer that stops in the middle of one fails here and is dropped.
                ZovNetPacket packet;
                const int received = it->socket->Receive(&packet);
                bool done = received < 0;
                if (received > 0) {
                    const unsigned int type = packet.Type();
                    if (it->socket->Send(&packet) == received) {
                        std::printf("echo_server: %s: echoed a packet of type %u, %d bytes\n",
                                    it->peer.c_str(), type, received);
                    } else {
                        // It does not read its echoes (or has gone): part of a frame may be out,
                        // so the stream cannot go on.
                        std::printf("echo_server: %s: could not echo a packet of type %u: "
                                    "dropped\n",
                                    it->peer.c_str(), type);
                        done = true;
                    }
                } else if (received == 0) {
                    std::printf("echo_server: %s: dropped a frame too short to be a packet\n",
                                it->peer.c_str());
                } else {
                    std::printf("echo_server: %s: connection closed\n", it->peer.c_str());
                }
                if (done) {
                    set.RemoveSocket(it->socket.get());
                    it = connections.erase(it);
                    admission.Released();
                    continue;
                }
                ++it;
            }

            if (accepting && set.CheckSocket(&server)) {
                Connection c;
                c.socket = admission.Take();
                if (c.socket != nullptr && connections.size() >= kMaxConnections) {
                    // A connection left waiting would keep the listening socket readable and the
                    // loop spinning, and its client waiting for ever: turn it away.
                    Say("turned a client away: %u connected already\n",
                        static_cast<unsigned>(connections.size()));
                    c.socket.reset();
                }
                if (c.socket != nullptr) {
                    serverlimits::BoundStalls(*c.socket);
                    serverlimits::BoundSends(*c.socket);
                    const char* addr = net->AddrToString(c.socket->GetDestAddr());
                    c.peer = std::string(addr != nullptr ? addr : "?") + ":" +
                             std::to_string(PortNumber(c.socket->GetDestPort()));
                    std::printf("echo_server: %s: connected\n", c.peer.c_str());
                    set.AddSocket(c.socket.get());
                    connections.push_back(std::move(c));
                    ++accepted;
                }
                if (maxConnections != 0 && accepted >= maxConnections) {
                    set.RemoveSocket(&server);
                    accepting = false;
                }
            }
            std::fflush(stdout);
        }
        for (Connection& c : connections)
            set.RemoveSocket(c.socket.get());
    }
    std::printf("echo_server: done\n");
    delete net;
    return status;
}
