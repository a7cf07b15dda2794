// The client of echo_server: sends one packet of type 7 with the 16-bit value 513 and the 32-bit
// value 65536 to the server and prints what comes back.
//
//   echo_client [address] port
//
// The address is IPv4 (127.0.0.1, the default) or IPv6 (::1, or fe80::1%eth0 with its
// interface).
//
// Exits 0 when the echo is the packet that was sent, 1 otherwise.
#include <ZovNet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Ports cross the library's interface in network byte order; the command line is in host order.
unsigned short ToNetworkOrder(unsigned int port) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8),
                                    static_cast<unsigned char>(port & 0xFF)};
    unsigned short value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

std::string Hex(const unsigned char* bytes, unsigned int count) {
    std::string text;
    char cell[4];
    for (unsigned int i = 0; i < count; ++i) {
        std::snprintf(cell, sizeof cell, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += cell;
    }
    return text;
}

// A server that never answers must not keep the client waiting for ever.
constexpr unsigned int kAnswerTimeoutMs = 5000;

int Exchange(const ZovAddress& server, const char* serverText, unsigned short port) {
    const unsigned short anyPort = 0;
    ZovTCPSocketClient client(anyPort, server, port);
    if (client.State() != ZovSocket::SOCK_BOTH) {
        std::printf("echo_client: no connection to %s\n", serverText);
        return 1;
    }

    ZovNetPacket out(7, 6);
    out.AddInt16(513);
    out.AddInt32(65536);
    const int sent = client.Send(&out);
    std::printf("sent     %d bytes: %s\n", sent, Hex(out.Data(), out.Length()).c_str());
    if (sent != out.Length())
        return 1;

    ZovSocketSet set;
    set.AddSocket(&client);
    const int ready = set.WaitSockets(kAnswerTimeoutMs);
    set.RemoveSocket(&client);
    if (ready != 1) {
        std::printf("echo_client: no answer within %u ms\n", kAnswerTimeoutMs);
        return 1;
    }

    ZovNetPacket in;
    const int received = client.Receive(&in);
    if (received <= 0) {
        std::printf("echo_client: the connection ended without an answer\n");
        return 1;
    }
    std::printf("received %d bytes: %s\n", received, Hex(in.Data(), in.Length()).c_str());
    const bool same =
        in.Length() == out.Length() && std::memcmp(in.Data(), out.Data(), out.Length()) == 0;
    // The answer came from the network: its fields are read only once they are known to be
    // there (a read past the end gives 0 in the release library, a fatal report in the debug
    // one).
    if (in.Remaining() < 2 + 4) {
        std::printf("echo_client: the answer is too short for its fields\n");
        return 1;
    }
    const unsigned int type = in.Type();
    const unsigned int first = in.ReadInt16();
    const unsigned int second = in.ReadInt32();
    std::printf("decoded: type %u, Int16 %u, Int32 %u\n", type, first, second);
    std::printf(same ? "the echo matches what was sent\n"
                     : "the echo DIFFERS from what was sent\n");
    return same ? 0 : 1;
}

int Usage() {
    std::fprintf(stderr, "usage: echo_client [address] port\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3)
        return Usage();
    const char* portText = argv[argc - 1];
    const char* serverText = argc == 3 ? argv[1] : "127.0.0.1";
    char* end = nullptr;
    const unsigned long port = std::strtoul(portText, &end, 10);
    if (*portText == '\0' || *end != '\0' || port == 0 || port > 65535)
        return Usage();
    ZovNet* net = ZovNet::GetInstance();
    if (net == nullptr || !net->Init())
        return 1;
    int status = 2;
    ZovAddress server;
    if (net->StringToAddress(serverText, server))
        status = Exchange(server, serverText, ToNetworkOrder(static_cast<unsigned int>(port)));
    else
        std::fprintf(stderr, "echo_client: not an IPv4 or IPv6 address: %s\n", serverText);
    delete net;
    return status;
}
