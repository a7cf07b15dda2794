// zovcat listen: accepts TCP connections or receives datagrams and prints each message.
//
// Everything a peer sends is untrusted: the listener never lets a length field, a cut message
// or an empty datagram decide how much it reads, and one misbehaving connection cannot stall
// the others.
#include "zovcat.h"

#include <chrono>
#include <memory>

namespace zovcat {
namespace {

// A socket set holds 64 descriptors: the server and its connections.
constexpr std::size_t kMaxConnections = 63;
// The longest an echo to one peer may hold up the others: a peer that never reads its answers
// fills its buffers, the echo then fails and the peer is dropped.
constexpr int kEchoTimeoutMs = 2000;

struct ListenOptions {
    bool udp = false;
    bool raw = false;
    bool echo = false;
    unsigned long long count = 0;      // 0: no limit
    unsigned long long maxSeconds = 0; // 0: no limit
    unsigned int port = 0;
    bool bound = false; // --bind given: `bindAddress` alone, of its family
    ZovAddress bindAddress;
};

// Makes the listening socket: on the address of --bind, or else on both families at once, or,
// where the system has no IPv6, on IPv4 alone. `Socket` is the server or the UDP socket.
template <typename Socket, typename Make>
std::unique_ptr<Socket> Bind(const ListenOptions& opt, const char* transport, Make make) {
    const QuietReports quiet;
    if (opt.bound)
        return make(opt.bindAddress);
    std::unique_ptr<Socket> socket = make(ZovAddress::Any6());
    if (socket->Descriptor() != ZOVNET::BADSOCKET || !NoIPv6(ZovNet::LastError()))
        return socket;
    PrintLine(stderr, std::string("zovcat: no IPv6 on this system (") +
                          ZovNet::ErrorText(ZovNet::LastError()) + "): " + transport +
                          " on IPv4 only");
    return make(ZovAddress());
}

// "TCP port 9000", and the address where --bind chose one.
std::string Where(const ListenOptions& opt, const char* transport) {
    std::string where = std::string(transport) + " port " + std::to_string(opt.port);
    if (opt.bound)
        where += " at " + AddressText(opt.bindAddress);
    return where;
}

// The time left before `--max-seconds` runs out, for the next wait: 0 when it has run out. A
// listener without the limit waits in slices, since a wait of 0 would have no limit.
class Lifetime {
public:
    explicit Lifetime(unsigned long long seconds)
        : m_limited(seconds > 0),
          m_end(std::chrono::steady_clock::now() + std::chrono::seconds(seconds)) {}

    unsigned int NextWaitMs() const {
        if (!m_limited)
            return 60000;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              m_end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return 0;
        return static_cast<unsigned int>(left < 60000 ? left : 60000);
    }

private:
    bool m_limited;
    std::chrono::steady_clock::time_point m_end;
};

struct Connection {
    std::unique_ptr<ZovTCPSocketClient> socket;
    std::string peer;
    StreamFramer framer;
};

int ListenTcp(const ListenOptions& opt) {
    const unsigned short port = ToNetworkOrder(opt.port);
    std::unique_ptr<ZovTCPSocketServer> listener =
        Bind<ZovTCPSocketServer>(opt, "TCP", [port](const ZovAddress& at) {
            return std::make_unique<ZovTCPSocketServer>(port, 5, at);
        });
    ZovTCPSocketServer& server = *listener;
    if (server.Descriptor() == ZOVNET::BADSOCKET)
        return FailWithReason("cannot listen on " + Where(opt, "TCP"));
    Printer printer(opt.raw);
    PrintLine(opt.raw ? stderr : stdout,
              "listening on TCP port " + std::to_string(ToHostOrder(server.Port())));

    ZovSocketSet set;
    set.AddSocket(&server);
    std::vector<std::unique_ptr<Connection>> connections;
    Bytes chunk(kDatagramBuffer);
    ZovNetPacket echo;
    unsigned long long messages = 0;
    const Lifetime lifetime(opt.maxSeconds);

    for (;;) {
        const unsigned int waitMs = lifetime.NextWaitMs();
        if (waitMs == 0)
            return kExitOk;
        if (set.WaitSockets(waitMs) < 0)
            return FailWithReason("waiting for the sockets failed");
        if (set.CheckSocket(&server)) {
            std::unique_ptr<ZovTCPSocketClient> client(server.Accept());
            if (client) {
                const std::string peer = Endpoint(client->PeerAddress(), client->GetDestPort());
                if (connections.size() >= kMaxConnections) {
                    printer.Note(peer, "refused: " + std::to_string(kMaxConnections) +
                                           " connections are open");
                } else {
                    printer.Note(peer, "connected");
                    client->SetOption(ZOVNET::OPT_SNDTIMEO, kEchoTimeoutMs);
                    auto c = std::make_unique<Connection>();
                    c->socket = std::move(client);
                    c->peer = peer;
                    set.AddSocket(c->socket.get());
                    connections.push_back(std::move(c));
                }
            }
        }
        for (std::size_t i = 0; i < connections.size();) {
            Connection& c = *connections[i];
            bool open = true;
            if (set.CheckSocket(c.socket.get())) {
                // One receive per round: a peer that floods the listener cannot starve others.
                const int got = c.socket->Receive(chunk.data(), kDatagramBuffer);
                if (got > 0) {
                    c.framer.Feed(chunk.data(), static_cast<std::size_t>(got));
                    const unsigned char* message = nullptr;
                    std::size_t size = 0;
                    std::uint64_t offset = 0;
                    for (;;) {
                        const StreamFramer::Item item = c.framer.Next(message, size, offset);
                        if (item == StreamFramer::Item::None)
                            break;
                        if (item == StreamFramer::Item::BadLength) {
                            printer.Note(c.peer, BadLength(size));
                            continue;
                        }
                        printer.Message(c.peer, message, size);
                        if (opt.echo) {
                            echo.WritePacket(message, static_cast<unsigned int>(size));
                            if (c.socket->Send(&echo) != static_cast<int>(size)) {
                                printer.Note(c.peer, "echo failed");
                                open = false;
                                break;
                            }
                        }
                        if (opt.count != 0 && ++messages >= opt.count)
                            return kExitOk;
                    }
                } else {
                    const std::string left = c.framer.Leftover();
                    if (!left.empty())
                        printer.Note(c.peer, left);
                    printer.Note(c.peer, got == 0 ? "closed" : "connection lost");
                    open = false;
                }
            }
            if (open) {
                ++i;
            } else {
                set.RemoveSocket(c.socket.get());
                connections.erase(connections.begin() + static_cast<long>(i));
            }
        }
    }
}

int ListenUdp(const ListenOptions& opt) {
    const unsigned short port = ToNetworkOrder(opt.port);
    std::unique_ptr<ZovUDPSocket> bound =
        Bind<ZovUDPSocket>(opt, "UDP", [port](const ZovAddress& at) {
            return std::make_unique<ZovUDPSocket>(port, at);
        });
    ZovUDPSocket& socket = *bound;
    if (socket.Descriptor() == ZOVNET::BADSOCKET)
        return FailWithReason("cannot listen on " + Where(opt, "UDP"));
    Printer printer(opt.raw);
    PrintLine(opt.raw ? stderr : stdout,
              "listening on UDP port " + std::to_string(ToHostOrder(socket.Port())));

    Bytes datagram(kDatagramBuffer);
    ZovNetPacket echo;
    unsigned long long messages = 0;
    int failures = 0;
    const Lifetime lifetime(opt.maxSeconds);
    ZovSocketSet set;
    set.AddSocket(&socket);
    for (;;) {
        const unsigned int waitMs = lifetime.NextWaitMs();
        if (waitMs == 0)
            return kExitOk;
        const int ready = set.WaitSockets(waitMs);
        if (ready < 0)
            return FailWithReason("waiting for the socket failed");
        if (ready == 0)
            continue;
        ZovAddress addr;
        unsigned short from = 0;
        const int got = socket.Receive(datagram.data(), kDatagramBuffer, &addr, &from);
        if (got < 0) {
            // Some systems report here that an earlier echo found nobody listening; only a
            // socket that keeps failing is given up.
            if (++failures >= 10)
                return FailWithReason("receiving failed");
            continue;
        }
        failures = 0;
        const std::string peer = Endpoint(addr, from);
        std::size_t size = 0;
        const std::string fault =
            CheckDatagram(datagram.data(), static_cast<std::size_t>(got), size);
        if (size > 0) {
            printer.Message(peer, datagram.data(), size);
            if (opt.echo) {
                echo.WritePacket(datagram.data(), static_cast<unsigned int>(size));
                if (socket.Send(&echo, addr, from) != static_cast<int>(size))
                    printer.Note(peer, "echo failed");
            }
        }
        if (!fault.empty())
            printer.Note(peer, fault);
        if (size > 0 && opt.count != 0 && ++messages >= opt.count)
            return kExitOk;
    }
}

} // namespace

int Listen(int argc, char** argv) {
    std::vector<std::pair<std::string, std::string>> options;
    const Args args = SplitArgs(argc, argv, 2,
                                {{"--udp", false},
                                 {"--raw", false},
                                 {"--echo", false},
                                 {"--count", true},
                                 {"--max-seconds", true},
                                 {"--bind", true}},
                                options);
    if (args.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (!args.error.empty())
        return UsageError(args.error);
    ListenOptions opt;
    for (const auto& [name, value] : options) {
        if (name == "--udp")
            opt.udp = true;
        else if (name == "--raw")
            opt.raw = true;
        else if (name == "--echo")
            opt.echo = true;
        else if (name == "--count" &&
                 (!ParseNumber(value, UINT32_MAX, opt.count) || opt.count == 0))
            return UsageError("--count needs a number from 1");
        else if (name == "--max-seconds" &&
                 (!ParseNumber(value, 1000000000, opt.maxSeconds) || opt.maxSeconds == 0))
            return UsageError("--max-seconds needs a number from 1");
        else if (name == "--bind") {
            if (!ParseAddress(value, opt.bindAddress))
                return UsageError("--bind needs an IPv4 or IPv6 address (no host name): " + value);
            opt.bound = true;
        }
    }
    if (args.positional.size() != 1)
        return UsageError("listen needs one PORT");
    if (!ParsePort(args.positional[0], true, opt.port))
        return UsageError("not a port: " + args.positional[0]);
    return opt.udp ? ListenUdp(opt) : ListenTcp(opt);
}

} // namespace zovcat
