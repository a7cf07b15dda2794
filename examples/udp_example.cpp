// One packet as one UDP datagram, in one process over loopback.
//
// A receiving socket and a sending socket are bound to ports of the system's choice. The sender
// addresses a packet to 127.0.0.1 and the receiver's port; the receiver waits for it (at most two
// seconds, through a socket set), takes it into a packet and reports who sent it. Every step is
// printed. The exit status is 0 when the packet arrived as it was sent, from the sender's port.
#include <ZovNet.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned char kType = 42;
constexpr unsigned short kNumber = 2024;
const char kText[] = "hello over UDP";

// Ports cross the library's interface in network byte order; people read them in host order.
unsigned int PortNumber(unsigned short networkOrder) {
    unsigned char bytes[2];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    return bytes[0] * 256u + bytes[1];
}

bool Exchange(const ZovNet* net, unsigned int loopback) {
    ZovUDPSocket receiver;
    ZovUDPSocket sender;
    if (receiver.State() != ZovSocket::SOCK_BOTH || sender.State() != ZovSocket::SOCK_BOTH) {
        std::printf("could not bind the two sockets\n");
        return false;
    }
    std::printf("receiver bound to port %u, sender to port %u\n", PortNumber(receiver.Port()),
                PortNumber(sender.Port()));

    ZovNetPacket out(kType, static_cast<unsigned short>(sizeof kText + 2));
    out.AddInt16(kNumber);
    out.AddBin(kText, sizeof kText - 1);
    const int sent = sender.Send(&out, loopback, receiver.Port());
    std::printf("sent %d bytes of type %u to %s:%u\n", sent, static_cast<unsigned int>(out.Type()),
                net->AddrToString(loopback), PortNumber(receiver.Port()));
    if (sent != out.Length())
        return false;

    // A datagram can be lost; waiting in a set first keeps the program from blocking for ever in
    // the receive.
    ZovSocketSet set;
    set.AddSocket(&receiver);
    const bool arrived = set.WaitSockets(2000) == 1 && set.CheckSocket(&receiver);
    set.RemoveSocket(&receiver);
    if (!arrived) {
        std::printf("nothing arrived within 2 seconds\n");
        return false;
    }

    ZovNetPacket in;
    unsigned int from = 0;
    unsigned short fromPort = 0;
    const int received = receiver.Receive(&in, &from, &fromPort);
    // Anyone may send a datagram to the port: the number is read only when it is there.
    if (received <= 0 || in.Remaining() < 2) {
        std::printf("the datagram is too short for its fields\n");
        return false;
    }
    const unsigned short number = in.ReadInt16();
    char text[sizeof kText] = {};
    in.ReadBin(text, sizeof text - 1);
    std::printf("received %d bytes of type %u from %s:%u: number %u, text \"%s\"\n", received,
                static_cast<unsigned int>(in.Type()), net->AddrToString(from), PortNumber(fromPort),
                static_cast<unsigned int>(number), text);

    return received == sent && in.Type() == kType && number == kNumber &&
           std::strcmp(text, kText) == 0 && from == loopback && fromPort == sender.Port();
}

} // namespace

int main() {
    ZovNet* net = ZovNet::GetInstance();
    if (net == nullptr || !net->Init()) {
        std::fprintf(stderr, "udp_example: cannot start the network layer\n");
        return 1;
    }
    unsigned int loopback = 0;
    const bool ok = net->StringToAddr("127.0.0.1", loopback) && Exchange(net, loopback);
    std::printf(ok ? "ok\n" : "FAILED\n");
    delete net;
    return ok ? 0 : 1;
}
