// One packet from a TCP client to a TCP server, step by step, in one process over loopback.
//
// Both ends live in this program: the server listens, the client connects, the server accepts,
// the client sends a packet of type 7 carrying the 16-bit value 513 and the 32-bit value 65536,
// and the server receives and decodes it. Every step is printed, with the nine bytes that cross
// the wire. The exit status is 0 when everything happened exactly as expected, 1 otherwise.
#include <ZovNet.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// What the wire must carry: length 9, type 7, 513 = 02 01, 65536 = 00 01 00 00.
const unsigned char kExpected[9] = {0x00, 0x09, 0x07, 0x02, 0x01, 0x00, 0x01, 0x00, 0x00};

int g_failures = 0;

// Records a check; a failed one is printed where it happened, so the output shows which step
// went wrong.
bool Expect(bool ok, const std::string& what) {
    if (!ok) {
        ++g_failures;
        std::printf("   !! expected %s\n", what.c_str());
    }
    return ok;
}

// Ports cross the library's interface in network byte order; people read them in host order.
unsigned int PortNumber(unsigned short networkOrder) {
    unsigned char bytes[2];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    return bytes[0] * 256u + bytes[1];
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

bool SameAsExpected(const unsigned char* bytes, unsigned int count) {
    return count == sizeof kExpected && std::memcmp(bytes, kExpected, sizeof kExpected) == 0;
}

const char* StateName(unsigned int state) {
    static const char* const names[] = {"SOCK_CLOSED", "SOCK_RECEIVE", "SOCK_SEND", "SOCK_BOTH"};
    return state < 4 ? names[state] : "?";
}

std::string Endpoint(const ZovNet* net, unsigned int addr, unsigned short port) {
    const char* text = net->AddrToString(addr);
    return std::string(text != nullptr ? text : "?") + ":" + std::to_string(PortNumber(port));
}

// The nine bytes laid out under the fields they encode.
void PrintWireLayout(const unsigned char* bytes) {
    struct Field {
        unsigned int from, count;
        const char* name;
        std::string value;
    };
    const Field fields[] = {{0, 2, "length", "9"},
                            {2, 1, "type", "7"},
                            {3, 2, "Int16", "513"},
                            {5, 4, "Int32", "65536"}};
    std::string rows[3] = {"       bytes   ", "       field   ", "       value   "};
    for (const Field& f : fields) {
        const std::string cells[3] = {Hex(bytes + f.from, f.count), f.name, f.value};
        std::size_t width = 0;
        for (const std::string& cell : cells)
            width = cell.size() > width ? cell.size() : width;
        for (int row = 0; row < 3; ++row)
            rows[row] += cells[row] + std::string(width - cells[row].size() + 4, ' ');
    }
    for (std::string& row : rows) {
        row.erase(row.find_last_not_of(' ') + 1);
        std::printf("%s\n", row.c_str());
    }
}

void Step(int number, const char* title) {
    std::printf("\n%d. %s\n", number, title);
}

int Run() {
    std::printf("ZovNet demo: one packet from a TCP client to a TCP server, step by step\n");
    std::printf("(both ends in this process, over loopback 127.0.0.1)\n");

    Step(1, "Start the network layer");
    ZovNet* net = ZovNet::GetInstance();
    if (!Expect(net != nullptr && net->Init(), "Init() to succeed"))
        return 1;
    std::printf("   ZovNet::GetInstance()->Init() = true\n");
    unsigned int loopback = 0;
    if (!Expect(net->StringToAddr("127.0.0.1", loopback), "127.0.0.1 to parse"))
        return 1;

    {
        Step(2, "The server listens");
        ZovTCPSocketServer server; // port chosen by the system, backlog 5
        std::printf("   ZovTCPSocketServer on port %u, backlog 5, state %s\n",
                    PortNumber(server.Port()), StateName(server.State()));
        if (!Expect(server.State() == ZovSocket::SOCK_RECEIVE, "the server to listen"))
            return 1;
        ZovSocketSet set;
        set.AddSocket(&server);
        std::printf("   added to a ZovSocketSet\n");

        Step(3, "The client connects");
        const unsigned short anyPort = 0; // not a literal 0: that would also fit a descriptor
        ZovTCPSocketClient client(anyPort, loopback, server.Port());
        std::printf("   ZovTCPSocketClient on port %u, connected to %s, state %s\n",
                    PortNumber(client.Port()), Endpoint(net, loopback, server.Port()).c_str(),
                    StateName(client.State()));
        if (!Expect(client.State() == ZovSocket::SOCK_BOTH, "the client to connect"))
            return 1;

        Step(4, "The server accepts the connection");
        int ready = set.WaitSockets(1000);
        const bool serverReady = set.CheckSocket(&server);
        std::printf("   WaitSockets(1000) = %d, CheckSocket(server) = %s\n", ready,
                    serverReady ? "true" : "false");
        if (!Expect(ready == 1 && serverReady, "a connection to be waiting"))
            return 1;
        std::unique_ptr<ZovTCPSocketClient> accepted(server.Accept());
        if (!Expect(accepted != nullptr, "Accept() to return the connection"))
            return 1;
        std::printf("   Accept() = connection from %s, state %s\n",
                    Endpoint(net, accepted->GetDestAddr(), accepted->GetDestPort()).c_str(),
                    StateName(accepted->State()));
        Expect(accepted->GetDestAddr() == loopback && accepted->GetDestPort() == client.Port(),
               "the peer to be the client");
        set.AddSocket(accepted.get());
        std::printf("   the accepted client joins the set\n");

        Step(5, "The client sends a packet of type 7 with Int16 513 and Int32 65536");
        ZovNetPacket out(7, 6); // room for 6 content bytes
        out.AddInt16(513);
        out.AddInt32(65536);
        const int sent = client.Send(&out);
        std::printf("   Send() = %d; on the wire: %s\n\n", sent,
                    Hex(out.Data(), out.Length()).c_str());
        PrintWireLayout(out.Data());
        Expect(sent == 9, "Send() = 9");
        Expect(SameAsExpected(out.Data(), out.Length()), "the bytes 00 09 07 02 01 00 01 00 00");

        Step(6, "The server receives and decodes it");
        ready = set.WaitSockets(1000);
        const bool clientReady = set.CheckSocket(accepted.get());
        std::printf("   WaitSockets(1000) = %d, CheckSocket(accepted client) = %s\n", ready,
                    clientReady ? "true" : "false");
        if (!Expect(ready == 1 && clientReady, "the packet to be waiting"))
            return 1;
        ZovNetPacket in; // default-constructed: it takes whatever size arrives
        const int received = accepted->Receive(&in);
        std::printf("   Receive() = %d; bytes received: %s\n", received,
                    Hex(in.Data(), in.Length()).c_str());
        Expect(received == 9, "Receive() = 9");
        Expect(SameAsExpected(in.Data(), in.Length()), "the bytes that were sent");
        const unsigned int type = in.Type();
        const unsigned int first = in.ReadInt16();
        const unsigned int second = in.ReadInt32();
        std::printf("   Type() = %u, ReadInt16() = %u, ReadInt32() = %u\n", type, first, second);
        Expect(type == 7, "Type() = 7");
        Expect(first == 513, "ReadInt16() = 513");
        Expect(second == 65536, "ReadInt32() = 65536");

        Step(7, "Clean up");
        set.RemoveSocket(accepted.get());
        set.RemoveSocket(&server);
        accepted.reset();
        std::printf("   sockets removed from the set; the accepted client deleted\n");
    }
    std::printf("   client and server destroyed, their descriptors closed\n");
    delete net;
    std::printf("   ZovNet instance deleted: the network layer is stopped\n");
    return 0;
}

} // namespace

int main() {
    const int early = Run();
    if (early != 0 || g_failures != 0) {
        std::printf("\nThe demo FAILED: %d check%s did not hold.\n", g_failures,
                    g_failures == 1 ? "" : "s");
        return 1;
    }
    std::printf("\nEvery step went as expected.\n");
    return 0;
}
