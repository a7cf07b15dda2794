// ZovUDPSocket over loopback: construction, datagram sizes around the 2048-byte packet buffer,
// sender reporting, the gate on the receive bit, and the retry on a non-blocking descriptor.
#include "TestSupport.h"

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// Every wait of these tests is bounded; a datagram that has not arrived by then is lost.
constexpr int kArrivalMs = 3000;

bool Readable(const ZovSocket& s, int milliseconds) {
    return zovtest::PollOne(static_cast<int>(s.Descriptor()), POLLIN, milliseconds) == 1;
}

// A datagram that starts with a packet header announcing its own size, then a byte pattern.
Bytes Datagram(unsigned int size, unsigned char type = 0x42) {
    Bytes d(size);
    for (unsigned int i = 0; i < size; ++i)
        d[i] = static_cast<unsigned char>(i * 7 + 1);
    if (size >= 1)
        d[0] = static_cast<unsigned char>(size >> 8);
    if (size >= 2)
        d[1] = static_cast<unsigned char>(size);
    if (size >= 3)
        d[2] = type;
    return d;
}

Bytes ContentOf(const ZovNetPacket& p) {
    return Bytes(p.Content(), p.Content() + (p.Length() - PACKET_HEADER_SIZE));
}

class UdpTest : public zovtest::NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        ASSERT_NE(rx.Descriptor(), ZOVNET::BADSOCKET);
        ASSERT_NE(tx.Descriptor(), ZOVNET::BADSOCKET);
        zovtest::SetReceiveTimeout(rx.Descriptor(), kArrivalMs);
    }

    // Sends `d` from tx to rx and waits until it can be read.
    void Deliver(Bytes d) {
        unsigned char none = 0;
        void* data = d.empty() ? &none : d.data();
        ASSERT_EQ(
            tx.Send(data, static_cast<unsigned int>(d.size()), zovtest::Loopback(), rx.Port()),
            static_cast<int>(d.size()));
        ASSERT_TRUE(Readable(rx, kArrivalMs)) << "datagram of " << d.size() << " bytes lost";
    }

    ZovUDPSocket rx;
    ZovUDPSocket tx;
};

TEST_F(UdpTest, DefaultSocketIsBoundToASystemChosenPort) {
    EXPECT_NE(rx.Port(), 0);
    EXPECT_NE(rx.Port(), tx.Port());
    EXPECT_EQ(rx.State(), static_cast<unsigned int>(ZovSocket::SOCK_BOTH));
    EXPECT_EQ(rx.SocketType(), SOCKTYPE_UDP);
}

// The eight transfers, each given a real buffer and a real destination, so that only the gate or
// the system can refuse them.
std::vector<std::pair<const char*, std::function<int(ZovUDPSocket&, unsigned short)>>>
AllTransfers() {
    static unsigned char buffer[64] = {0, 3, 9};
    static ZovNetPacket packet(9, 0);
    static unsigned int addr;
    static unsigned short port;
    const unsigned int to = zovtest::Loopback();
    return {
        {"Send(data, len)", [](ZovUDPSocket& s, unsigned short) { return s.Send(buffer, 3); }},
        {"Send(data, len, addr, port)",
         [to](ZovUDPSocket& s, unsigned short p) { return s.Send(buffer, 3, to, p); }},
        {"Send(packet)", [](ZovUDPSocket& s, unsigned short) { return s.Send(&packet); }},
        {"Send(packet, addr, port)",
         [to](ZovUDPSocket& s, unsigned short p) { return s.Send(&packet, to, p); }},
        {"Receive(data, len)",
         [](ZovUDPSocket& s, unsigned short) { return s.Receive(buffer, sizeof buffer); }},
        {"Receive(data, len, addr, port)",
         [](ZovUDPSocket& s, unsigned short) {
             return s.Receive(buffer, sizeof buffer, &addr, &port);
         }},
        {"Receive(packet)", [](ZovUDPSocket& s, unsigned short) { return s.Receive(&packet); }},
        {"Receive(packet, addr, port)",
         [](ZovUDPSocket& s, unsigned short) { return s.Receive(&packet, &addr, &port); }},
    };
}

TEST_F(UdpTest, BindConflictLeavesASocketThatRefusesEveryTransfer) {
    std::string err;
    std::unique_ptr<ZovUDPSocket> second;
    err = zovtest::StderrOf([&] { second = std::make_unique<ZovUDPSocket>(rx.Port()); });
    EXPECT_EQ(err, "Warning: Can not bind UDP socket to local port\n");
    EXPECT_EQ(second->Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_EQ(second->Port(), 0);
    EXPECT_EQ(second->State(), 0u);
    for (auto& [name, transfer] : AllTransfers())
        EXPECT_EQ(transfer(*second, rx.Port()), -1) << name;
    EXPECT_FALSE(Readable(rx, 100)) << "a refused send reached the peer";
}

TEST_F(UdpTest, PacketTravelsAsOneDatagramAndReportsItsSender) {
    ZovNetPacket empty(9, 0);
    ASSERT_EQ(tx.Send(&empty, zovtest::Loopback(), rx.Port()), 3);
    ASSERT_TRUE(Readable(rx, kArrivalMs));
    unsigned char raw[16] = {};
    unsigned int addr = 0;
    unsigned short port = 0;
    ASSERT_EQ(rx.Receive(raw, sizeof raw, &addr, &port), 3);
    EXPECT_EQ(Bytes(raw, raw + 3), (Bytes{0, 3, 9}));
    EXPECT_EQ(addr, zovtest::Loopback());
    EXPECT_EQ(port, tx.Port());

    ZovNetPacket out(7, 6);
    out.AddInt16(513);
    out.AddInt32(65536);
    ASSERT_EQ(tx.Send(&out, zovtest::Loopback(), rx.Port()), 9);
    ASSERT_TRUE(Readable(rx, kArrivalMs));
    ZovNetPacket in;
    addr = 0;
    port = 0;
    ASSERT_EQ(rx.Receive(&in, &addr, &port), 9);
    EXPECT_EQ(in.Type(), 7);
    EXPECT_EQ(in.ReadInt16(), 513);
    EXPECT_EQ(in.ReadInt32(), 65536u);
    EXPECT_EQ(addr, zovtest::Loopback());
    EXPECT_EQ(port, tx.Port());
}

// A socket to which the application assigned a peer sends with the plain forms.
TEST_F(UdpTest, PlainSendGoesToThePeerTheApplicationAssigned) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = zovtest::Loopback();
    peer.sin_port = rx.Port();
    ASSERT_EQ(::connect(static_cast<int>(tx.Descriptor()), reinterpret_cast<sockaddr*>(&peer),
                        sizeof peer),
              0);
    ZovNetPacket out(3, 1);
    out.AddInt8(0xAB);
    ASSERT_EQ(tx.Send(&out), 4);
    ASSERT_TRUE(Readable(rx, kArrivalMs));
    ZovNetPacket in;
    ASSERT_EQ(rx.Receive(&in), 4);
    EXPECT_EQ(in.Type(), 3);
    EXPECT_EQ(in.ReadInt8(), 0xAB);
}

struct SizeCase {
    unsigned int size;
    bool truncated;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << c.size << " bytes";
}

class UdpSizeTest : public UdpTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(UdpSizeTest, PacketReceiveTakesAtMostTheFirst2048Bytes) {
    const SizeCase c = GetParam();
    const Bytes sent = Datagram(c.size);
    ASSERT_NO_FATAL_FAILURE(Deliver(sent));

    ZovNetPacket in;
    unsigned int addr = 0;
    unsigned short port = 0;
    int result = 0;
    std::string out;
    const std::string err = zovtest::StderrOf(
        [&] { out = zovtest::StdoutOf([&] { result = rx.Receive(&in, &addr, &port); }); });

    EXPECT_EQ(result, 2048);
    EXPECT_EQ(in.Length(), 2048);
    EXPECT_EQ(in.Type(), sent[2]);
    EXPECT_EQ(ContentOf(in), Bytes(sent.begin() + 3, sent.begin() + 2048));
    EXPECT_EQ(addr, zovtest::Loopback());
    EXPECT_EQ(port, tx.Port());
    if (c.truncated) {
        EXPECT_EQ(err, "Warning: NET: a packet has been truncated !\n");
        EXPECT_EQ(out, "WritePacket: size(2048) != usize(" + std::to_string(c.size) + ")\n");
    } else {
        EXPECT_EQ(err, "");
        EXPECT_EQ(out, "");
    }

    // The rest of a cut datagram is gone: the next datagram arrives on its own.
    ASSERT_NO_FATAL_FAILURE(Deliver(Datagram(5, 0x11)));
    ZovNetPacket next;
    EXPECT_EQ(rx.Receive(&next), 5);
    EXPECT_EQ(next.Type(), 0x11);
}

INSTANTIATE_TEST_SUITE_P(Sizes, UdpSizeTest,
                         ::testing::Values(SizeCase{2048, false}, SizeCase{2049, true},
                                           SizeCase{9000, true}, SizeCase{65507, true}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) {
                             return std::to_string(info.param.size);
                         });

// The raw forms take what fits in the caller's buffer or fail, as Windows Sockets does.
TEST_F(UdpTest, RawReceiveRefusesADatagramLongerThanItsBuffer) {
    unsigned char buffer[16];
    ASSERT_NO_FATAL_FAILURE(Deliver(Datagram(17)));
    EXPECT_EQ(rx.Receive(buffer, sizeof buffer), -1);
    ASSERT_NO_FATAL_FAILURE(Deliver(Datagram(17)));
    EXPECT_EQ(rx.Receive(buffer, sizeof buffer, nullptr, nullptr), -1);
    ASSERT_NO_FATAL_FAILURE(Deliver(Datagram(16)));
    EXPECT_EQ(rx.Receive(buffer, sizeof buffer), 16);
}

TEST_F(UdpTest, EmptyDatagramLeavesThePacketButReportsTheSender) {
    ZovNetPacket in(5, 4);
    in.AddInt16(0x1234);
    ASSERT_NO_FATAL_FAILURE(Deliver({}));
    unsigned int addr = 0;
    unsigned short port = 0;
    std::string out = zovtest::StdoutOf([&] { EXPECT_EQ(rx.Receive(&in, &addr, &port), 0); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(in.Type(), 5);
    EXPECT_EQ(in.Length(), 5);
    EXPECT_EQ(in.Cursor(), 5);
    EXPECT_EQ(ContentOf(in), (Bytes{0x12, 0x34}));
    EXPECT_EQ(addr, zovtest::Loopback());
    EXPECT_EQ(port, tx.Port());
}

// A datagram shorter than a header: the packet takes what arrived and nothing else, however the
// bytes behind it looked before. The two receives follow each other directly, so that the packet
// (and the receive buffer, unless the compiler reused its place) still hold the length 5 of the
// datagram before.
TEST_F(UdpTest, DatagramShorterThanAHeaderReadsOnlyWhatArrived) {
    struct Case {
        Bytes datagram;
        std::string report;
    };
    const Case cases[] = {
        {{0x00}, "WritePacket: size(1) != usize(0)\n"},
        {{0x00, 0x00}, "WritePacket: size(2) != usize(0)\n"},
        {{0x00, 0x02}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.datagram));
        ASSERT_NO_FATAL_FAILURE(Deliver(Datagram(5, 0x33)));
        ASSERT_NO_FATAL_FAILURE(Deliver(c.datagram));
        ZovNetPacket in;
        int before = 0;
        int result = 0;
        std::string out = zovtest::StdoutOf([&] {
            before = rx.Receive(&in);
            result = rx.Receive(&in);
        });
        EXPECT_EQ(before, 5);
        EXPECT_EQ(result, static_cast<int>(c.datagram.size()));
        EXPECT_EQ(out, c.report);
        EXPECT_EQ(in.Length(), PACKET_HEADER_SIZE);
        EXPECT_EQ(in.Cursor(), PACKET_HEADER_SIZE);
    }
}

TEST_F(UdpTest, MismatchedHeaderLengthIsTakenWholeAndReported) {
    struct Case {
        Bytes datagram;
        unsigned short length;
        std::string report;
    };
    const Case cases[] = {
        {{0x00, 0x09, 0x04, 1, 2}, 9, "WritePacket: size(5) != usize(9)\n"},
        {{0x00, 0x03, 0x04, 1, 2}, 3, "WritePacket: size(5) != usize(3)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.datagram));
        ASSERT_NO_FATAL_FAILURE(Deliver(c.datagram));
        ZovNetPacket in;
        std::string out = zovtest::StdoutOf([&] { EXPECT_EQ(rx.Receive(&in), 5); });
        EXPECT_EQ(out, c.report);
        EXPECT_EQ(in.Type(), 4);
        EXPECT_EQ(in.Length(), c.length);
        EXPECT_EQ(in.Content()[0], 1);
        EXPECT_EQ(in.Content()[1], 2);
    }
}

// A datagram sent to a port nobody listens on draws a port-unreachable answer. Windows would
// report it as a failure of the socket's next receive (WSAECONNRESET) although the socket is
// unconnected and healthy; on every system the next datagram must simply arrive.
TEST_F(UdpTest, SendingToAClosedPortCostsTheNextReceiveNothing) {
    unsigned short closedPort = 0;
    {
        ZovUDPSocket gone;
        closedPort = gone.Port();
    }
    ZovNetPacket probe(9, 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(rx.Send(&probe, zovtest::Loopback(), closedPort), 3);
    // Let the answers come back before the next receive.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const Bytes d = Datagram(12);
    ASSERT_NO_FATAL_FAILURE(Deliver(d));
    ZovNetPacket packet;
    EXPECT_EQ(rx.Receive(&packet), 12);
    EXPECT_EQ(packet.Length(), 12);
    unsigned char raw[16];
    ASSERT_NO_FATAL_FAILURE(Deliver(d));
    EXPECT_EQ(rx.Receive(raw, sizeof raw), 12);
}

TEST_F(UdpTest, SenderIsStoredOnlyThroughNonNullPlaces) {
    struct Places {
        bool addr;
        bool port;
    };
    const Places places[] = {{true, true}, {true, false}, {false, true}, {false, false}};
    for (bool packetForm : {false, true}) {
        for (const Places& p : places) {
            SCOPED_TRACE(::testing::Message() << "packet form " << packetForm << ", addr " << p.addr
                                              << ", port " << p.port);
            ASSERT_NO_FATAL_FAILURE(Deliver(Datagram(4)));
            unsigned int addr = 0xDEADBEEF;
            unsigned short port = 0xBEEF;
            unsigned int* a = p.addr ? &addr : nullptr;
            unsigned short* o = p.port ? &port : nullptr;
            unsigned char buffer[8];
            ZovNetPacket in;
            EXPECT_EQ(packetForm ? rx.Receive(&in, a, o) : rx.Receive(buffer, sizeof buffer, a, o),
                      4);
            EXPECT_EQ(addr, p.addr ? zovtest::Loopback() : 0xDEADBEEF);
            EXPECT_EQ(port, p.port ? tx.Port() : 0xBEEF);
        }
    }
}

TEST_F(UdpTest, NullPacketIsRefused) {
    ZovNetPacket* none = nullptr;
    EXPECT_EQ(tx.Send(none), -1);
    EXPECT_EQ(tx.Send(none, zovtest::Loopback(), rx.Port()), -1);
    EXPECT_EQ(tx.Receive(none), -1);
    EXPECT_EQ(tx.Receive(none, nullptr, nullptr), -1);
    EXPECT_FALSE(Readable(rx, 100)) << "a null packet produced a datagram";
}

// The gate is the receive bit, for sending as for receiving.
TEST_F(UdpTest, ShutDownReceiveClosesTheGateForEveryTransfer) {
    const unsigned int descriptor = rx.Descriptor();
    rx.ShutDown(ZovSocket::SOCK_RECEIVE);
    EXPECT_EQ(rx.State(), static_cast<unsigned int>(ZovSocket::SOCK_SEND));
    EXPECT_EQ(rx.Descriptor(), descriptor);

    // Past the gate a receive would get this datagram or the 0 of the shut direction, never -1.
    ASSERT_NO_FATAL_FAILURE(Deliver(Datagram(4)));
    for (auto& [name, transfer] : AllTransfers())
        EXPECT_EQ(transfer(rx, tx.Port()), -1) << name;
    EXPECT_FALSE(Readable(tx, 100)) << "a send passed the closed gate";

    rx.ShutDown(ZovSocket::SOCK_SEND);
    EXPECT_EQ(rx.State(), 0u);
    EXPECT_EQ(rx.Descriptor(), ZOVNET::BADSOCKET);
}

TEST_F(UdpTest, ShutDownSendKeepsTheGateOpen) {
    rx.ShutDown(ZovSocket::SOCK_SEND);
    EXPECT_EQ(rx.State(), static_cast<unsigned int>(ZovSocket::SOCK_RECEIVE));
    ASSERT_NO_FATAL_FAILURE(Deliver(Datagram(4)));
    ZovNetPacket in;
    EXPECT_EQ(rx.Receive(&in), 4);
}

// Runs `receive` on this thread while a helper sends one datagram after `delay`. Should the
// receive still be waiting long after that, the helper unblocks it, so that a fault fails the
// test instead of hanging it.
template <typename Receive>
void WithLateDatagram(ZovUDPSocket& rx, ZovUDPSocket& tx, std::chrono::milliseconds delay,
                      Receive receive) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread helper([&] {
        if (finished.wait_for(delay) == std::future_status::timeout) {
            Bytes d = Datagram(5, 0x21);
            tx.Send(d.data(), 5, zovtest::Loopback(), rx.Port());
        }
        if (finished.wait_for(std::chrono::seconds(8)) == std::future_status::timeout)
            ::shutdown(static_cast<int>(rx.Descriptor()), SHUT_RD); // receives return 0 now
    });
    receive();
    done.set_value();
    helper.join();
}

TEST_F(UdpTest, PacketReceiveOnANonBlockingDescriptorWaitsForADatagram) {
    if (!zovtest::kBlockingModeReadable)
        GTEST_SKIP() << "Windows Sockets can set a socket non-blocking but cannot report the mode, "
                        "so the library treats every socket as blocking there";
    const int fd = static_cast<int>(rx.Descriptor());
    ASSERT_TRUE(zovtest::SetNonBlocking(fd));
    ZovNetPacket in;
    unsigned int addr = 0;
    unsigned short port = 0;
    int result = 0;
    const auto start = Clock::now();
    WithLateDatagram(rx, tx, std::chrono::milliseconds(250),
                     [&] { result = rx.Receive(&in, &addr, &port); });
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(result, 5);
    EXPECT_EQ(in.Type(), 0x21);
    EXPECT_EQ(addr, zovtest::Loopback());
    EXPECT_EQ(port, tx.Port());
}

// An expired receive time-out is an error of its own, not a would-block to retry: the packet
// receive gives up with -1 like the raw one.
TEST_F(UdpTest, ReceiveTimeoutEndsThePacketReceive) {
    zovtest::SetReceiveTimeout(rx.Descriptor(), 200);
    ZovNetPacket in(5, 0);
    int result = 0;
    const auto start = Clock::now();
    WithLateDatagram(rx, tx, std::chrono::seconds(5), [&] { result = rx.Receive(&in); });
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(in.Type(), 5);
    EXPECT_EQ(in.Length(), PACKET_HEADER_SIZE);
}

TEST(UdpRelease, NullBufferGoesToTheSystemUnchanged) {
    if (zovtest::kDebugLibrary)
        GTEST_SKIP() << "the debug library stops on a null buffer";
    ASSERT_TRUE(ZovNet::GetInstance()->Init());
    ZovUDPSocket rx;
    ZovUDPSocket tx;
    EXPECT_EQ(tx.Send(nullptr, 0, zovtest::Loopback(), rx.Port()), 0);
    ASSERT_TRUE(Readable(rx, kArrivalMs));
    unsigned int addr = 0;
    EXPECT_EQ(rx.Receive(nullptr, 0, &addr, nullptr), 0);
    EXPECT_EQ(addr, zovtest::Loopback());
}

TEST(UdpDeathTest, RawFormsStopOnANullBuffer) {
    if (!zovtest::kDebugLibrary)
        GTEST_SKIP() << "only the debug library checks";
    const std::function<void(ZovUDPSocket&)> calls[] = {
        [](ZovUDPSocket& s) { s.Send(nullptr, 1); },
        [](ZovUDPSocket& s) { s.Send(nullptr, 1, zovtest::Loopback(), s.Port()); },
        [](ZovUDPSocket& s) { s.Receive(nullptr, 1); },
        [](ZovUDPSocket& s) { s.Receive(nullptr, 1, nullptr, nullptr); },
    };
    for (const auto& call : calls) {
        EXPECT_EXIT(
            {
                ZovNet::GetInstance()->Init();
                ZovUDPSocket s;
                s.ShutDown(ZovSocket::SOCK_RECEIVE); // the check comes before the gate
                call(s);
            },
            ::testing::ExitedWithCode(1),
            zovtest::Ere(
                "^Fatal error: data != NULL\n\nFile: src/ZovUDPSocket\\.cpp\nLine: [0-9]+\n$"));
    }
}

} // namespace
