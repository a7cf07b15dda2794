// Sockets of both families over loopback (127.0.0.1 and ::1): the clients a server takes for each
// bind address, the peer addresses handed out, datagrams between the families, a client that
// changes family, and the scope id of a link-local address on its way to the system.
#include "TestSupport.h"

#include <memory>
#include <string>

namespace {

// Every wait of these tests is bounded; what has not come by then is lost.
constexpr int kWaitMs = 3000;

// The local port the system chooses (a plain 0 is ambiguous between the IPv4 constructors).
constexpr unsigned short kAnyPort = 0;

// Whether this system has an IPv6 loopback to bind (some containers have none).
bool HaveIpv6Loopback() {
    const int fd = zovtest::Socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    zovtest::CloseSocket(fd);
    return bound;
}

class Ipv6Test : public zovtest::NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        if (!HaveIpv6Loopback())
            GTEST_SKIP() << "this system has no IPv6 loopback (::1) to test on";
    }
};

bool Readable(const ZovSocket& s) {
    return zovtest::PollOne(static_cast<int>(s.Descriptor()), POLLIN, kWaitMs) == 1;
}

// The next connection of `server`, waiting for it at most kWaitMs in either mode.
std::unique_ptr<ZovTCPSocketClient> AcceptOne(ZovTCPSocketServer& server) {
    if (!Readable(server))
        return nullptr;
    return std::unique_ptr<ZovTCPSocketClient>(server.Accept());
}

// One packet from `from` to `to`, read back whole: the connection carries messages both ways.
::testing::AssertionResult Carries(ZovTCPSocketClient& from, ZovTCPSocketClient& to,
                                   unsigned int value) {
    ZovNetPacket out(0x21, 16);
    out.AddInt32(value);
    if (from.Send(&out) != out.Length())
        return ::testing::AssertionFailure() << "send failed: " << ZovNet::LastError();
    ZovNetPacket in;
    int n = -1;
    for (int tries = 0; tries < 100 && n < 0; ++tries) {
        if (!Readable(to))
            break;
        n = to.Receive(&in);
    }
    if (n != out.Length())
        return ::testing::AssertionFailure() << "received " << n << ": " << ZovNet::LastError();
    in.GoToStart();
    const unsigned int got = in.ReadInt32();
    if (got != value)
        return ::testing::AssertionFailure() << "received " << got << ", sent " << value;
    return ::testing::AssertionSuccess();
}

// The family of the socket's own address, as the system reports it (-1 when it does not).
int LocalFamily(unsigned int descriptor) {
    sockaddr_in6 local{};
    socklen_t len = sizeof local;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return -1;
    return local.sin6_family;
}

// A second connect on a connected socket (WSAEISCONN).
constexpr int kAlreadyConnected = 10056;

std::string Text(const ZovAddress& a) {
    char text[ZOVNET::ADDRESS_STRING_SIZE];
    return ZovNet::GetInstance()->AddressToString(a, text, sizeof text) ? text : "(unwritable)";
}

// The blocking and the non-blocking socket: each dual-stack case runs in both modes.
class DualStackTcp : public Ipv6Test, public ::testing::WithParamInterface<bool> {};

TEST_P(DualStackTcp, OneServerTakesAnIpv4AndAnIpv6ClientAndNamesEachByItsOwnAddress) {
    const bool blocking = GetParam();
    ZovTCPSocketServer server(0, 5, ZovAddress::Any6());
    ASSERT_NE(server.Descriptor(), ZOVNET::BADSOCKET);
    ASSERT_TRUE(server.SetBlocking(blocking));

    ZovTCPSocketClient v4(kAnyPort, zovtest::Loopback(), server.Port());
    ASSERT_EQ(v4.State(), static_cast<unsigned int>(ZovSocket::SOCK_BOTH));
    std::unique_ptr<ZovTCPSocketClient> fromV4 = AcceptOne(server);
    ASSERT_NE(fromV4, nullptr);

    ZovTCPSocketClient v6(0, ZovAddress::Loopback6(), server.Port());
    ASSERT_EQ(v6.State(), static_cast<unsigned int>(ZovSocket::SOCK_BOTH));
    std::unique_ptr<ZovTCPSocketClient> fromV6 = AcceptOne(server);
    ASSERT_NE(fromV6, nullptr);

    // The IPv4 client arrives in the mapped form and is handed out as its IPv4 address.
    EXPECT_EQ(fromV4->PeerAddress(), ZovAddress(zovtest::Loopback()))
        << Text(fromV4->PeerAddress());
    EXPECT_EQ(fromV4->GetDestAddr(), zovtest::Loopback());
    EXPECT_EQ(fromV4->GetDestPort(), v4.Port());
    EXPECT_EQ(fromV6->PeerAddress(), ZovAddress::Loopback6()) << Text(fromV6->PeerAddress());
    EXPECT_EQ(fromV6->GetDestAddr(), 0u);
    EXPECT_EQ(fromV6->GetDestPort(), v6.Port());
    EXPECT_EQ(v4.PeerAddress(), ZovAddress(zovtest::Loopback()));
    EXPECT_EQ(v6.PeerAddress(), ZovAddress::Loopback6());
    EXPECT_EQ(v6.GetDestPort(), server.Port());
    EXPECT_NE(v6.Port(), 0);
    EXPECT_EQ(fromV4->IsBlocking(), blocking);
    EXPECT_EQ(fromV6->IsBlocking(), blocking);

    for (ZovTCPSocketClient* c : {fromV4.get(), fromV6.get()}) {
        ASSERT_TRUE(c->SetBlocking(blocking));
        zovtest::SetReceiveTimeout(c->Descriptor(), kWaitMs);
    }
    zovtest::SetReceiveTimeout(v4.Descriptor(), kWaitMs);
    zovtest::SetReceiveTimeout(v6.Descriptor(), kWaitMs);
    EXPECT_TRUE(Carries(v4, *fromV4, 4));
    EXPECT_TRUE(Carries(*fromV4, v4, 40));
    EXPECT_TRUE(Carries(v6, *fromV6, 6));
    EXPECT_TRUE(Carries(*fromV6, v6, 60));
}

// The poller and the socket set know nothing of families: both report an IPv6 connection's
// message and an IPv6 listener's waiting client.
TEST_P(DualStackTcp, PollerAndSetWatchIpv6SocketsAsAnyOther) {
    const bool blocking = GetParam();
    ZovTCPSocketServer server(0, 5, ZovAddress::Loopback6());
    ASSERT_NE(server.Descriptor(), ZOVNET::BADSOCKET);
    ASSERT_TRUE(server.SetBlocking(blocking));
    ZovSocketPoller poller;
    ASSERT_TRUE(poller.Valid());
    ASSERT_TRUE(poller.AddSocket(&server, ZOVNET::POLL_RECEIVE));

    ZovTCPSocketClient client(0, ZovAddress::Loopback6(), server.Port());
    ASSERT_EQ(poller.WaitSockets(kWaitMs), 1);
    EXPECT_EQ(poller.Ready(0).descriptor, server.Descriptor());
    std::unique_ptr<ZovTCPSocketClient> accepted(server.Accept());
    ASSERT_NE(accepted, nullptr);

    ZovSocketSet set;
    set.AddSocket(accepted.get());
    EXPECT_EQ(set.CheckSockets(), 0);
    ZovNetPacket p(0x30, 8);
    p.AddInt8(1);
    ASSERT_EQ(client.Send(&p), p.Length());
    EXPECT_EQ(set.WaitSockets(kWaitMs), 1);
    EXPECT_TRUE(set.CheckSocket(accepted.get()));
    ASSERT_TRUE(poller.AddSocket(accepted.get(), ZOVNET::POLL_RECEIVE));
    ASSERT_GE(poller.WaitSockets(kWaitMs), 1);
    EXPECT_EQ(poller.Ready(0).descriptor, accepted->Descriptor());
    EXPECT_EQ(poller.Ready(0).events & ZOVNET::POLL_RECEIVE, ZOVNET::POLL_RECEIVE);
}

INSTANTIATE_TEST_SUITE_P(Modes, DualStackTcp, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Blocking" : "NonBlocking";
                         });

// The library says which family a listener takes, since the systems' defaults differ (Linux
// takes IPv4 clients on an IPv6 socket unless told otherwise, Windows refuses them).
TEST_F(Ipv6Test, EachBindAddressGivesTheSystemItsFamilyAndDualStackSetting) {
    struct Case {
        const char* name;
        ZovAddress bind;
        int family;
        int v6only; // -1: not an IPv6 socket
    };
    const Case cases[] = {
        {"Any6", ZovAddress::Any6(), AF_INET6, 0},
        {"Loopback6", ZovAddress::Loopback6(), AF_INET6, 1},
        {"Loopback4", ZovAddress::Loopback4(), AF_INET, -1},
        {"IPv4 any", ZovAddress(), AF_INET, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZovTCPSocketServer tcp(0, 5, c.bind);
        ZovUDPSocket udp(0, c.bind);
        for (ZovSocket* s : {static_cast<ZovSocket*>(&tcp), static_cast<ZovSocket*>(&udp)}) {
            ASSERT_NE(s->Descriptor(), ZOVNET::BADSOCKET);
            EXPECT_NE(s->Port(), 0);
            EXPECT_EQ(LocalFamily(s->Descriptor()), c.family);
            if (c.v6only >= 0) {
                EXPECT_EQ(zovtest::GetSockOptInt(s->Descriptor(), IPPROTO_IPV6, IPV6_V6ONLY),
                          c.v6only);
            }
        }
    }
}

// An IPv6 listener on ::1 leaves the IPv4 port alone: another socket can hold it, and an IPv4
// client finds nobody listening there, while an IPv6 client is taken. (An address other than the
// any address never takes IPv4 clients whatever IPV6_V6ONLY says; the option itself is checked
// in the table above.)
TEST_F(Ipv6Test, Ipv6OnlyServerTakesNoIpv4Client) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        ZovTCPSocketServer server(0, 5, ZovAddress::Loopback6());
        ASSERT_NE(server.Descriptor(), ZOVNET::BADSOCKET);
        // An IPv4 socket bound, not listening, on the same port number keeps every other
        // listener off it, so the refusal below can only be this server's doing. Another test
        // may hold that number on IPv4 already: then try another port.
        const int holder = zovtest::Socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(holder, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = zovtest::Loopback();
        a.sin_port = server.Port();
        if (::bind(holder, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            zovtest::CloseSocket(holder);
            continue;
        }
        ZovTCPSocketClient v4;
        std::string warning = zovtest::StderrOf(
            [&] { EXPECT_FALSE(v4.Connect(zovtest::Loopback(), server.Port(), kWaitMs)); });
        EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_CONNECTION_REFUSED);
        EXPECT_NE(warning.find("Can not connect to remote host"), std::string::npos);
        zovtest::CloseSocket(holder);

        ZovTCPSocketClient v6(0, ZovAddress::Loopback6(), server.Port());
        EXPECT_EQ(v6.State(), static_cast<unsigned int>(ZovSocket::SOCK_BOTH));
        std::unique_ptr<ZovTCPSocketClient> accepted = AcceptOne(server);
        ASSERT_NE(accepted, nullptr);
        EXPECT_EQ(accepted->PeerAddress(), ZovAddress::Loopback6());
        return;
    }
    FAIL() << "no port was free on both families in 20 attempts";
}

// A client's descriptor follows the family of the address it connects to, keeping its mode; one
// that holds a connection keeps it whatever it is asked.
TEST_F(Ipv6Test, ClientTakesTheFamilyOfEachDestination) {
    ZovTCPSocketServer server6(0, 5, ZovAddress::Loopback6());
    ZovTCPSocketServer server4(0, 5, ZovAddress::Loopback4());
    ASSERT_NE(server6.Descriptor(), ZOVNET::BADSOCKET);
    ASSERT_NE(server4.Descriptor(), ZOVNET::BADSOCKET);

    for (const bool blocking : {true, false}) {
        SCOPED_TRACE(blocking ? "blocking" : "non-blocking");
        ZovTCPSocketClient client; // IPv4, unconnected
        ASSERT_TRUE(client.SetBlocking(blocking));
        ASSERT_TRUE(client.Connect(ZovAddress::Loopback6(), server6.Port(), kWaitMs))
            << ZovNet::LastError();
        EXPECT_EQ(client.PeerAddress(), ZovAddress::Loopback6());
        EXPECT_EQ(client.GetDestAddr(), 0u);
        EXPECT_EQ(client.IsBlocking(), blocking);
        std::unique_ptr<ZovTCPSocketClient> a6 = AcceptOne(server6);
        ASSERT_NE(a6, nullptr);
        EXPECT_EQ(a6->GetDestPort(), client.Port());

        // Connected: another family is refused and the connection stays.
        const unsigned int descriptor = client.Descriptor();
        zovtest::StderrOf(
            [&] { EXPECT_FALSE(client.Connect(zovtest::Loopback(), server4.Port())); });
        EXPECT_EQ(ZovNet::LastError(), kAlreadyConnected);
        EXPECT_EQ(client.Descriptor(), descriptor);
        EXPECT_EQ(client.PeerAddress(), ZovAddress::Loopback6());
        ASSERT_TRUE(client.SetBlocking(true));
        zovtest::SetReceiveTimeout(a6->Descriptor(), kWaitMs);
        EXPECT_TRUE(Carries(client, *a6, 7));
    }

    // An unconnected IPv6 object (the any address connects nowhere) turns IPv4 for an IPv4
    // destination, on a new descriptor.
    ZovTCPSocketClient client(0, ZovAddress::Any6(), 0);
    ASSERT_NE(client.Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_EQ(client.State(), static_cast<unsigned int>(ZovSocket::SOCK_CLOSED));
    EXPECT_EQ(LocalFamily(client.Descriptor()), AF_INET6);
    ASSERT_TRUE(client.Connect(zovtest::Loopback(), server4.Port())) << ZovNet::LastError();
    EXPECT_EQ(LocalFamily(client.Descriptor()), AF_INET);
    EXPECT_EQ(client.PeerAddress(), ZovAddress::Loopback4());
    EXPECT_EQ(client.GetDestAddr(), zovtest::Loopback());
    std::unique_ptr<ZovTCPSocketClient> a4 = AcceptOne(server4);
    ASSERT_NE(a4, nullptr);
    zovtest::SetReceiveTimeout(a4->Descriptor(), kWaitMs);
    EXPECT_TRUE(Carries(client, *a4, 4));

    // The any address of either family is no destination.
    ZovTCPSocketClient idle;
    EXPECT_FALSE(idle.Connect(ZovAddress::Any6(), server6.Port()));
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE);
    EXPECT_FALSE(idle.Connect(ZovAddress(), server4.Port(), kWaitMs));
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE);
}

// A client's IPv6 descriptor is IPv6 only on every system, whatever its default: it never reaches
// an IPv4 peer (an IPv4 destination gets an IPv4 descriptor), and so its local port is the IPv6
// port alone, on Linux as on Windows.
TEST_F(Ipv6Test, ClientIpv6DescriptorIsIpv6Only) {
    ZovTCPSocketServer server6(0, 5, ZovAddress::Loopback6());
    ASSERT_NE(server6.Descriptor(), ZOVNET::BADSOCKET);

    ZovTCPSocketClient made(0, ZovAddress::Any6(), 0);
    ASSERT_NE(made.Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_EQ(zovtest::GetSockOptInt(made.Descriptor(), IPPROTO_IPV6, IPV6_V6ONLY), 1);

    ZovTCPSocketClient switched; // IPv4 until it connects to an IPv6 address
    ASSERT_TRUE(switched.Connect(ZovAddress::Loopback6(), server6.Port(), kWaitMs))
        << ZovNet::LastError();
    ASSERT_EQ(LocalFamily(switched.Descriptor()), AF_INET6);
    EXPECT_EQ(zovtest::GetSockOptInt(switched.Descriptor(), IPPROTO_IPV6, IPV6_V6ONLY), 1);
}

// One datagram from `from` to `to`, and what `to` learns of its sender through the three
// addressed receive forms in turn.
struct Arrival {
    int bytes = -1;
    ZovAddress from;
    unsigned int fromV4 = 0xFFFFFFFFu;
    unsigned short port = 0;
};

enum class Form { RawAddress, RawIpv4, PacketAddress, PacketIpv4 };

Arrival ReceiveBy(ZovUDPSocket& to, Form form) {
    Arrival a;
    if (!Readable(to))
        return a;
    ZovNetPacket p;
    unsigned char raw[64];
    switch (form) {
    case Form::RawAddress:
        a.bytes = to.Receive(raw, sizeof raw, &a.from, &a.port);
        break;
    case Form::RawIpv4:
        a.bytes = to.Receive(raw, sizeof raw, &a.fromV4, &a.port);
        break;
    case Form::PacketAddress:
        a.bytes = to.Receive(&p, &a.from, &a.port);
        break;
    case Form::PacketIpv4:
        a.bytes = to.Receive(&p, &a.fromV4, &a.port);
        break;
    }
    return a;
}

// A dual-stack datagram socket talks to both families: it hears each sender by its own address
// (an IPv4 sender as itself, never in the mapped form) and answers each by that address, in the
// ZovAddress forms and the IPv4 ones alike.
TEST_F(Ipv6Test, DualStackUdpSendsToAndReceivesFromBothFamilies) {
    ZovUDPSocket dual(0, ZovAddress::Any6());
    ZovUDPSocket v4(0, ZovAddress::Loopback4());
    ZovUDPSocket v6(0, ZovAddress::Loopback6());
    for (ZovUDPSocket* s : {&dual, &v4, &v6}) {
        ASSERT_EQ(s->State(), static_cast<unsigned int>(ZovSocket::SOCK_BOTH));
        zovtest::SetReceiveTimeout(s->Descriptor(), kWaitMs);
    }
    const char datagram[] = "\x00\x05\x42hi";
    for (const Form form :
         {Form::RawAddress, Form::RawIpv4, Form::PacketAddress, Form::PacketIpv4}) {
        SCOPED_TRACE(static_cast<int>(form));
        const bool addressForm = form == Form::RawAddress || form == Form::PacketAddress;

        ASSERT_EQ(v4.Send(datagram, 5, zovtest::Loopback(), dual.Port()), 5);
        Arrival a = ReceiveBy(dual, form);
        ASSERT_EQ(a.bytes, 5);
        EXPECT_EQ(a.port, v4.Port());
        if (addressForm)
            EXPECT_EQ(a.from, ZovAddress::Loopback4()) << Text(a.from);
        else
            EXPECT_EQ(a.fromV4, zovtest::Loopback());

        ASSERT_EQ(v6.Send(datagram, 5, ZovAddress::Loopback6(), dual.Port()), 5);
        a = ReceiveBy(dual, form);
        ASSERT_EQ(a.bytes, 5);
        EXPECT_EQ(a.port, v6.Port());
        if (addressForm)
            EXPECT_EQ(a.from, ZovAddress::Loopback6()) << Text(a.from);
        else
            EXPECT_EQ(a.fromV4, 0u); // an IPv6 sender has no IPv4 address
    }

    // Answers: an IPv4 destination on the dual-stack socket, by either form, and an IPv6 one.
    ZovNetPacket p(0x43, 8);
    p.AddInt8(9);
    ASSERT_EQ(dual.Send(&p, ZovAddress::Loopback4(), v4.Port()), p.Length());
    ASSERT_EQ(dual.Send(datagram, 5, zovtest::Loopback(), v4.Port()), 5);
    ASSERT_EQ(dual.Send(&p, ZovAddress::Loopback6(), v6.Port()), p.Length());
    for (ZovUDPSocket* s : {&v4, &v4, &v6}) {
        Arrival a = ReceiveBy(*s, Form::RawAddress);
        EXPECT_GT(a.bytes, 0);
        EXPECT_EQ(a.port, dual.Port());
        EXPECT_EQ(a.from, s == &v4 ? ZovAddress::Loopback4() : ZovAddress::Loopback6())
            << Text(a.from);
    }

    // Non-blocking: nothing waiting is said at once, in the ZovAddress forms as in the others.
    ASSERT_TRUE(dual.SetBlocking(false));
    ZovAddress from;
    unsigned short port = 0;
    unsigned char raw[8];
    ZovNetPacket in;
    EXPECT_EQ(dual.Receive(raw, sizeof raw, &from, &port), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_WOULD_BLOCK);
    EXPECT_EQ(dual.Receive(&in, &from, &port), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_WOULD_BLOCK);
    ASSERT_EQ(v6.Send(datagram, 5, ZovAddress::Loopback6(), dual.Port()), 5);
    ASSERT_TRUE(Readable(dual));
    EXPECT_EQ(dual.Receive(&in, &from, &port), 5);
    EXPECT_EQ(from, ZovAddress::Loopback6());
}

// What a socket of one family cannot reach: an IPv6 address from an IPv4 socket is refused before
// the system sees it, an IPv4 one from an IPv6-only socket by the system. A datagram too long for
// the packet is cut on IPv6 as on IPv4.
TEST_F(Ipv6Test, UdpRefusesWhatItsFamilyCannotReachAndCutsLongDatagrams) {
    ZovUDPSocket v4(0, ZovAddress::Loopback4());
    ZovUDPSocket v6(0, ZovAddress::Loopback6());
    ASSERT_EQ(v4.State(), static_cast<unsigned int>(ZovSocket::SOCK_BOTH));
    ASSERT_EQ(v6.State(), static_cast<unsigned int>(ZovSocket::SOCK_BOTH));
    const char datagram[] = "\x00\x03\x01";
    ZovNetPacket p(0x01, 8);
    EXPECT_EQ(v4.Send(datagram, 3, ZovAddress::Loopback6(), v6.Port()), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_FAMILY_NOT_SUPPORTED);
    EXPECT_EQ(v4.Send(&p, ZovAddress::Loopback6(), v6.Port()), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_FAMILY_NOT_SUPPORTED);
    // The system's own answer: a known error first, so that a stale one cannot pass for it, and
    // not the refusal the library gives an IPv4 socket.
    EXPECT_EQ(v6.Send(static_cast<ZovNetPacket*>(nullptr), ZovAddress::Loopback4(), v4.Port()), -1);
    ASSERT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_NULL_ARGUMENT);
    EXPECT_EQ(v6.Send(datagram, 3, ZovAddress::Loopback4(), v4.Port()), -1);
    EXPECT_NE(ZovNet::LastError(), ZOVNET::ERRCODE_NONE);
    EXPECT_NE(ZovNet::LastError(), ZOVNET::ERRCODE_NULL_ARGUMENT);
    EXPECT_NE(ZovNet::LastError(), ZOVNET::ERRCODE_FAMILY_NOT_SUPPORTED);

    // The IPv4 any address, which the IPv4 receive forms give for an IPv6 sender, answers nobody
    // from an IPv6 socket, in any form; on an IPv4 socket it is what it always was.
    ZovUDPSocket dual(0, ZovAddress::Any6());
    EXPECT_EQ(dual.Send(datagram, 3, 0u, v4.Port()), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE);
    EXPECT_EQ(dual.Send(&p, ZovAddress(), v4.Port()), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE);

    std::string big(UDP_RECEIVE_BUFFER + 10, 'x');
    ZovUDPSocket sender(0, ZovAddress::Loopback6());
    zovtest::SetReceiveTimeout(v6.Descriptor(), kWaitMs);
    ASSERT_EQ(sender.Send(big.data(), static_cast<unsigned int>(big.size()),
                          ZovAddress::Loopback6(), v6.Port()),
              static_cast<int>(big.size()));
    ASSERT_TRUE(Readable(v6));
    ZovNetPacket in;
    ZovAddress from;
    unsigned short port = 0;
    int n = 0;
    std::string warnings;
    // The length field of the cut datagram no longer matches it; that notice is not the point.
    zovtest::StdoutOf(
        [&] { warnings = zovtest::StderrOf([&] { n = v6.Receive(&in, &from, &port); }); });
    EXPECT_EQ(n, static_cast<int>(UDP_RECEIVE_BUFFER));
    EXPECT_NE(warnings.find("NET: a packet has been truncated !"), std::string::npos);
    EXPECT_EQ(from, ZovAddress::Loopback6());
    EXPECT_EQ(port, sender.Port());
}

// The scope id of a link-local address reaches the system's address record. Nothing here is
// connected: loopback has no link-local address. Binding one that this machine does not have
// fails in a way that shows whether the scope came along: without a scope the system refuses the
// record itself (a link-local address means nothing without its interface); with one it looks
// for the address on that interface and does not find it.
TEST_F(Ipv6Test, ScopeIdOfTheTextReachesTheSystem) {
    std::string name;
    unsigned int index = 0;
    ASSERT_TRUE(zovtest::SomeInterface(&name, &index));
    ZovAddress scoped;
    ASSERT_TRUE(ZovNet::GetInstance()->StringToAddress(("fe80::1:2:3:4%" + name).c_str(), scoped));
    ASSERT_EQ(scoped.ScopeId(), index);
    const unsigned char bytes[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2, 0, 3, 0, 4};
    ASSERT_EQ(scoped, ZovAddress::FromBytes(bytes, index));

    std::string warning = zovtest::StderrOf([&] {
        ZovUDPSocket s(0, scoped);
        EXPECT_EQ(s.Descriptor(), ZOVNET::BADSOCKET);
    });
    EXPECT_NE(warning.find("Can not bind UDP socket to local port"), std::string::npos);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE);
    zovtest::StderrOf([&] { ZovUDPSocket unscoped(0, ZovAddress::FromBytes(bytes)); });
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_INVALID_ARGUMENT);
    // A scope that names no interface: the address is not available there either (Linux says
    // "no such device", which has no code of its own in Windows Sockets).
    zovtest::StderrOf([&] { ZovUDPSocket nowhere(0, ZovAddress::FromBytes(bytes, 4000000000u)); });
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE);
}

} // namespace
