// A packet echo server: accepts TCP connections and answers every packet with the same packet.
//
//   echo_server [port] [--once | --max-connections N]
//
// The port is given as people write it (0 or none: the system chooses one). The first line of
// output names the port, so that a script can start the server and then find it. With --once or
// --max-connections the server stops taking connections after that many and exits once they
// have all closed; otherwise it runs until it is stopped.
#include <ZovNet.h>

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
        ZovTCPSocketServer server(ToNetworkOrder(static_cast<unsigned int>(port)));
        if (server.State() != ZovSocket::SOCK_RECEIVE) {
            std::fprintf(stderr, "echo_server: cannot listen on port %lu\n", port);
            delete net;
            return 1;
        }
        std::printf("echo_server: listening on port %u\n", PortNumber(server.Port()));
        std::fflush(stdout);

        ZovSocketSet set;
        set.AddSocket(&server);
        bool accepting = true;
        unsigned long accepted = 0;
        std::vector<Connection> connections;

        while (accepting || !connections.empty()) {
            if (set.WaitSockets(0) < 0) { // 0: wait without limit
                std::fprintf(stderr, "echo_server: waiting on the sockets failed\n");
                status = 1;
                break;
            }

            // Take the readable connections first: the list grows below.
            for (auto it = connections.begin(); it != connections.end();) {
                if (!set.CheckSocket(it->socket.get())) {
                    ++it;
                    continue;
                }
                // Once a message has begun, Receive waits for the rest of it: a peer that stops
                // in the middle of one holds this loop up, which an example can live with.
                ZovNetPacket packet;
                const int received = it->socket->Receive(&packet);
                if (received > 0) {
                    const unsigned int type = packet.Type();
                    if (it->socket->Send(&packet) == received)
                        std::printf("echo_server: %s: echoed a packet of type %u, %d bytes\n",
                                    it->peer.c_str(), type, received);
                    else
                        std::printf("echo_server: %s: could not echo a packet of type %u\n",
                                    it->peer.c_str(), type);
                } else if (received == 0) {
                    std::printf("echo_server: %s: dropped a frame too short to be a packet\n",
                                it->peer.c_str());
                } else {
                    std::printf("echo_server: %s: connection closed\n", it->peer.c_str());
                    set.RemoveSocket(it->socket.get());
                    it = connections.erase(it);
                    continue;
                }
                ++it;
            }

            if (accepting && set.CheckSocket(&server)) {
                Connection c;
                c.socket.reset(server.Accept());
                if (c.socket != nullptr) {
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
