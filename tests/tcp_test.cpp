// TCP client and server: construction and its warnings, the transfer gate, whole-frame sends,
// whole-message receives, messages and frames that do not cross whole (split, non-blocking, timed
// out, cut by the peer, a send buffer that fills), time-outs in milliseconds, Accept, and the
// packet exchange end to end.
#include "RawSocket.h"
#include "TestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

// The library allocates an accepted client with the non-throwing new; failing it on demand shows
// what Accept does with a connection it cannot wrap.
#include "FailingNew.h"

namespace {

using zovtest::Bytes;
using zovtest::Hex;
using zovtest::Loopback;
using zovtest::RawFd;

// The two constructors differ only in their first argument: a literal 0 there must not compile,
// so that a descriptor is never taken for a port or the other way round.
static_assert(!std::is_constructible<ZovTCPSocketClient, int, unsigned int, unsigned short>::value,
              "a literal 0 as first argument must be ambiguous");
static_assert(
    std::is_constructible<ZovTCPSocketClient, unsigned short, unsigned int, unsigned short>::value,
    "a local port selects the connecting constructor");
static_assert(
    std::is_constructible<ZovTCPSocketClient, unsigned int, unsigned int, unsigned short>::value,
    "a descriptor selects the adopting constructor");
static_assert(!std::is_copy_constructible<ZovTCPSocketClient>::value &&
                  !std::is_copy_assignable<ZovTCPSocketClient>::value &&
                  !std::is_copy_constructible<ZovTCPSocketServer>::value &&
                  !std::is_copy_assignable<ZovTCPSocketServer>::value,
              "no two socket objects may hold the same descriptor");

// The packet of the step-by-step exchange: type 7, the 16-bit value 513 and the 32-bit value
// 65536.
const Bytes kExchangeBytes = {0x00, 0x09, 0x07, 0x02, 0x01, 0x00, 0x01, 0x00, 0x00};

ZovNetPacket ExchangePacket() {
    ZovNetPacket packet(7, 6);
    packet.AddInt16(513);
    packet.AddInt32(65536);
    return packet;
}

void ExpectExchangePacket(ZovNetPacket& packet) {
    EXPECT_EQ(packet.Type(), 7);
    EXPECT_EQ(packet.Length(), 9);
    EXPECT_EQ(packet.ReadInt16(), 513);
    EXPECT_EQ(packet.ReadInt32(), 65536u);
    EXPECT_EQ(packet.Cursor(), packet.Length());
}

using zovtest::SigpipeWatch;

class TcpTest : public zovtest::NetTest {};

// --------------------------------------------------------------------------------------------
// Client construction and Connect
// --------------------------------------------------------------------------------------------

TEST_F(TcpTest, DefaultClientIsBoundUnconnectedAndRefusesTransfers) {
    ZovTCPSocketClient client;
    EXPECT_EQ(client.SocketType(), SOCKTYPE_TCPCLIENT);
    ASSERT_NE(client.Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_NE(client.Port(), 0);
    EXPECT_EQ(client.Port(), zovtest::LocalPort(static_cast<int>(client.Descriptor())));
    EXPECT_EQ(client.State(), 0u);
    EXPECT_EQ(client.GetDestAddr(), 0u);
    EXPECT_EQ(client.GetDestPort(), 0);

    unsigned char buffer[4] = {1, 2, 3, 4};
    ZovNetPacket packet = ExchangePacket();
    EXPECT_EQ(client.Send(buffer, sizeof buffer), -1);
    EXPECT_EQ(client.Send(&packet), -1);
    EXPECT_EQ(client.Receive(buffer, sizeof buffer), -1);
    EXPECT_EQ(client.Receive(&packet), -1);
    EXPECT_EQ(client.Send(static_cast<ZovNetPacket*>(nullptr)), -1);
    EXPECT_EQ(client.Receive(static_cast<ZovNetPacket*>(nullptr)), -1);
    packet.GoToStart();
    ExpectExchangePacket(packet);
}

TEST_F(TcpTest, UnsignedShortZeroSelectsTheConnectingConstructor) {
    ZovTCPSocketClient bound((unsigned short)0);
    EXPECT_EQ(bound.State(), 0u); // bound only: the adopting form would claim a connection
    EXPECT_NE(bound.Port(), 0);
    EXPECT_EQ(bound.GetDestAddr(), 0u);

    ZovTCPSocketServer server;
    ZovTCPSocketClient connected((unsigned short)0, Loopback(), server.Port());
    EXPECT_EQ(connected.State(), 3u);
    EXPECT_EQ(connected.GetDestAddr(), Loopback());
    EXPECT_EQ(connected.GetDestPort(), server.Port());
}

TEST_F(TcpTest, RefusedConnectWarnsOnceAndConnectCanBeTriedAgain) {
    // Bound but not listening: every connection is refused, and the port stays reserved.
    RawFd refusing = zovtest::RawBound(false);
    ASSERT_TRUE(refusing.Valid());
    const unsigned short refusedPort = zovtest::LocalPort(refusing.Get());

    std::unique_ptr<ZovTCPSocketClient> client;
    const std::string warnings = zovtest::StderrOf([&] {
        const unsigned short anyPort = 0;
        client = std::make_unique<ZovTCPSocketClient>(anyPort, Loopback(), refusedPort);
    });
    EXPECT_EQ(warnings, "Warning: Can not connect to remote host\n");
    EXPECT_EQ(client->State(), 0u);
    ASSERT_NE(client->Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_TRUE(zovtest::IsOpen(static_cast<int>(client->Descriptor())));
    EXPECT_EQ(client->GetDestAddr(), 0u);
    EXPECT_EQ(client->GetDestPort(), 0);

    ZovTCPSocketServer server;
    bool connected = false;
    EXPECT_EQ(zovtest::StderrOf([&] { connected = client->Connect(Loopback(), server.Port()); }),
              "");
    ASSERT_TRUE(connected);
    EXPECT_EQ(client->State(), 3u);
    EXPECT_EQ(client->GetDestAddr(), Loopback());
    EXPECT_EQ(client->GetDestPort(), server.Port());

    ASSERT_TRUE(zovtest::WaitReadable(static_cast<int>(server.Descriptor()), 5000));
    std::unique_ptr<ZovTCPSocketClient> accepted(server.Accept());
    ASSERT_NE(accepted, nullptr);
    ZovNetPacket out = ExchangePacket();
    ASSERT_EQ(client->Send(&out), 9);
    ZovNetPacket in;
    EXPECT_EQ(accepted->Receive(&in), 9);
    ExpectExchangePacket(in);
}

TEST_F(TcpTest, PortIsTheConnectionsLocalPortAfterARefusedConnect) {
    // A refused connect may cost the socket the port it was bound to (Linux gives a port that
    // the system chose back), and the retry takes a new descriptor: where it cannot have the same
    // port it leaves from another one, and Port() must say which.
    RawFd refusing = zovtest::RawBound(false);
    ASSERT_TRUE(refusing.Valid());
    ZovTCPSocketClient client;
    zovtest::StderrOf([&] { client.Connect(Loopback(), zovtest::LocalPort(refusing.Get())); });
    ZovTCPSocketServer server;
    ASSERT_TRUE(client.Connect(Loopback(), server.Port()));
    ASSERT_TRUE(zovtest::WaitReadable(static_cast<int>(server.Descriptor()), 5000));
    std::unique_ptr<ZovTCPSocketClient> accepted(server.Accept());
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(client.Port(), zovtest::LocalPort(static_cast<int>(client.Descriptor())));
    EXPECT_EQ(client.Port(), accepted->GetDestPort());
}

TEST_F(TcpTest, ConnectFailuresLeaveTheClientAsItWas) {
    RawFd refusing = zovtest::RawBound(false);
    ASSERT_TRUE(refusing.Valid());
    ZovTCPSocketClient client;
    const unsigned int descriptor = client.Descriptor();

    bool result = true;
    EXPECT_EQ(zovtest::StderrOf([&] { result = client.Connect(0, client.Port()); }), "");
    EXPECT_FALSE(result);

    result = true;
    EXPECT_EQ(zovtest::StderrOf(
                  [&] { result = client.Connect(Loopback(), zovtest::LocalPort(refusing.Get())); }),
              "Warning: Can not connect to remote host\n");
    EXPECT_FALSE(result);

    EXPECT_EQ(client.State(), 0u);
    EXPECT_EQ(client.Descriptor(), descriptor);
    EXPECT_EQ(client.GetDestAddr(), 0u);
    EXPECT_EQ(client.GetDestPort(), 0);
}

TEST_F(TcpTest, ClientOnAPortInUseWarnsOnceAndHoldsNothing) {
    ZovTCPSocketServer server;
    ASSERT_NE(server.Port(), 0);
    std::unique_ptr<ZovTCPSocketClient> client;
    // The bind fails first, so no connect is even tried: one warning only.
    EXPECT_EQ(zovtest::StderrOf([&] {
                  client = std::make_unique<ZovTCPSocketClient>(server.Port(), Loopback(),
                                                                server.Port());
              }),
              "Warning: Can not bind TCP socket to local port\n");
    EXPECT_EQ(client->Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_EQ(client->Port(), 0);
    EXPECT_EQ(client->State(), 0u);
    EXPECT_EQ(client->GetDestAddr(), 0u);

    // Connect is passed to the system all the same, which refuses it.
    bool result = true;
    EXPECT_EQ(zovtest::StderrOf([&] { result = client->Connect(Loopback(), server.Port()); }),
              "Warning: Can not connect to remote host\n");
    EXPECT_FALSE(result);
}

TEST_F(TcpTest, AdoptingConstructorTakesOverAConnection) {
    RawFd listener = zovtest::RawListen();
    ASSERT_TRUE(listener.Valid());
    RawFd raw = zovtest::RawConnect(zovtest::LocalPort(listener.Get()));
    ASSERT_TRUE(raw.Valid());
    RawFd remote = zovtest::RawAccept(listener.Get());
    ASSERT_TRUE(remote.Valid());

    const unsigned short localPort = zovtest::LocalPort(raw.Get());
    const unsigned short peerPort = zovtest::LocalPort(listener.Get());
    const int fd = raw.Get();
    {
        ZovTCPSocketClient adopted(static_cast<unsigned int>(raw.Release()), Loopback(), peerPort);
        EXPECT_EQ(adopted.Descriptor(), static_cast<unsigned int>(fd));
        EXPECT_EQ(adopted.State(), 3u);
        EXPECT_EQ(adopted.Port(), localPort);
        EXPECT_EQ(adopted.GetDestAddr(), Loopback());
        EXPECT_EQ(adopted.GetDestPort(), peerPort);
        ZovNetPacket packet = ExchangePacket();
        EXPECT_EQ(adopted.Send(&packet), 9);
        EXPECT_EQ(Hex(zovtest::ReceiveBytes(remote.Get(), 9)), Hex(kExchangeBytes));
    }
    EXPECT_FALSE(zovtest::IsOpen(fd)); // the object owned it
}

// A port held in an `unsigned int` picks the adopting constructor: the release library refuses
// what is not an open stream socket and leaves it as it was.
TEST_F(TcpTest, ReleaseLibraryRefusesToAdoptAnythingButAStreamSocket) {
    if (zovtest::kDebugLibrary)
        GTEST_SKIP() << "the debug library stops the process instead";
    auto expectRefused = [](const ZovTCPSocketClient& adopted) {
        EXPECT_EQ(ZovNet::LastError(), 10038); // WSAENOTSOCK
        EXPECT_EQ(adopted.State(), 0u);
        EXPECT_EQ(adopted.Descriptor(), ZOVNET::BADSOCKET);
        EXPECT_EQ(adopted.Port(), 0);
        EXPECT_EQ(adopted.GetDestAddr(), 0u);
    };

    zovtest::NotASocket other;
    ASSERT_TRUE(other.Valid());
    {
        ZovTCPSocketClient adopted(other.Handle(), Loopback(), 1);
        expectRefused(adopted);
        unsigned char byte = 0;
        EXPECT_EQ(adopted.Send(&byte, 1), -1);
    }
    EXPECT_TRUE(other.StillOpen());

    ZovUDPSocket datagrams;
    ASSERT_NE(datagrams.Descriptor(), ZOVNET::BADSOCKET);
    {
        ZovTCPSocketClient adopted(datagrams.Descriptor(), Loopback(), 1);
        expectRefused(adopted);
    }
    EXPECT_TRUE(zovtest::IsOpen(static_cast<int>(datagrams.Descriptor())));
    ZovNetPacket packet = ExchangePacket();
    EXPECT_EQ(datagrams.Send(&packet, Loopback(), datagrams.Port()), 9);

    EXPECT_EQ(zovtest::StderrOf([&] {
                  ZovTCPSocketClient adopted(ZOVNET::BADSOCKET, Loopback(), 1);
                  expectRefused(adopted);
              }),
              "")
        << "a refusal shows no warning";
}

// --------------------------------------------------------------------------------------------
// The gate and sends that must not raise SIGPIPE
// --------------------------------------------------------------------------------------------

TEST_F(TcpTest, AfterShutDownReceiveBothDirectionsAreRefused) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_TRUE(pair.peer.Valid());
    ASSERT_TRUE(zovtest::SendAll(pair.peer.Get(), kExchangeBytes));
    ASSERT_TRUE(zovtest::WaitPending(static_cast<int>(pair.client->Descriptor()), 9));

    pair.client->ShutDown(ZovSocket::SOCK_RECEIVE);
    ASSERT_EQ(pair.client->State(), 2u);

    unsigned char buffer[16] = {};
    ZovNetPacket packet = ExchangePacket();
    EXPECT_EQ(pair.client->Send(buffer, sizeof buffer), -1);
    EXPECT_EQ(pair.client->Send(&packet), -1);
    EXPECT_EQ(pair.client->Receive(buffer, sizeof buffer), -1);
    EXPECT_EQ(pair.client->Receive(&packet), -1);
    EXPECT_EQ(Hex(zovtest::ReceiveBytes(pair.peer.Get(), 1, 200)), "")
        << "a refused send reached the system";
}

TEST_F(TcpTest, AfterShutDownSendSendingFailsQuietlyAndReceivingGoesOn) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_TRUE(pair.peer.Valid());
    pair.client->ShutDown(ZovSocket::SOCK_SEND);
    ASSERT_EQ(pair.client->State(), 1u);

    {
        SigpipeWatch sigpipe;
        unsigned char buffer[4] = {1, 2, 3, 4};
        ZovNetPacket packet = ExchangePacket();
        EXPECT_EQ(pair.client->Send(&packet), -1);
        EXPECT_EQ(pair.client->Send(buffer, sizeof buffer), -1);
        EXPECT_FALSE(sigpipe.Raised());
    }

    ASSERT_TRUE(zovtest::SendAll(pair.peer.Get(), kExchangeBytes));
    ZovNetPacket in;
    EXPECT_EQ(pair.client->Receive(&in), 9);
    ExpectExchangePacket(in);
}

TEST_F(TcpTest, SendAfterThePeerResetFailsAndTheProcessLives) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_TRUE(pair.peer.Valid());
    zovtest::ResetClose(pair.peer);
    ASSERT_TRUE(zovtest::WaitReadable(static_cast<int>(pair.client->Descriptor()), 5000));

    SigpipeWatch sigpipe;
    ZovNetPacket packet = ExchangePacket();
    unsigned char buffer[4] = {1, 2, 3, 4};
    EXPECT_EQ(pair.client->Send(&packet), -1); // the reset itself
    EXPECT_EQ(pair.client->Send(&packet), -1); // a connection that is gone
    EXPECT_EQ(pair.client->Send(buffer, sizeof buffer), -1);
    EXPECT_FALSE(sigpipe.Raised());
    EXPECT_EQ(pair.client->Receive(&packet), -1);
}

// --------------------------------------------------------------------------------------------
// Whole frames out, whole messages in
// --------------------------------------------------------------------------------------------

TEST_F(TcpTest, HeaderOnlyPacketSendsThreeBytes) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_TRUE(pair.peer.Valid());
    ZovNetPacket ping(0x5A, 0);
    EXPECT_EQ(pair.client->Send(&ping), 3);
    EXPECT_EQ(Hex(zovtest::ReceiveBytes(pair.peer.Get(), 3)), "00 03 5a");
    EXPECT_EQ(Hex(zovtest::ReceiveBytes(pair.peer.Get(), 1, 100)), "");
}

using zovtest::CountingClient;

TEST_F(TcpTest, PacketSendGoesThroughTheRawSendOfADerivedClass) {
    RawFd listener = zovtest::RawListen();
    ASSERT_TRUE(listener.Valid());
    const unsigned short anyPort = 0;
    CountingClient client(anyPort, Loopback(), zovtest::LocalPort(listener.Get()));
    RawFd peer = zovtest::RawAccept(listener.Get());
    ASSERT_TRUE(peer.Valid());

    ZovNetPacket packet = ExchangePacket();
    EXPECT_EQ(client.Send(&packet), 9);
    EXPECT_GE(client.calls, 1);
    EXPECT_EQ(client.bytes, 9u);
    EXPECT_EQ(Hex(zovtest::ReceiveBytes(peer.Get(), 9)), Hex(kExchangeBytes));
}

TEST_F(TcpTest, LargestMessageCrossesWholeInBothDirections) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_TRUE(pair.peer.Valid());

    // 65535 bytes: more than the socket buffers take at once, so the frame leaves in pieces.
    Bytes content(65532);
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<unsigned char>(i * 7 + 1);
    ZovNetPacket big(0x33, static_cast<unsigned short>(content.size()));
    big.AddBin(content.data(), static_cast<unsigned int>(content.size()));
    ASSERT_EQ(big.Length(), 65535);
    Bytes frame(3 + content.size());
    frame[0] = 0xFF;
    frame[1] = 0xFF;
    frame[2] = 0x33;
    std::copy(content.begin(), content.end(), frame.begin() + 3);

    Bytes received;
    std::thread reader([&] { received = zovtest::ReceiveBytes(pair.peer.Get(), 65535, 10000); });
    const int sent = pair.client->Send(&big);
    reader.join();
    EXPECT_EQ(sent, 65535);
    EXPECT_TRUE(received == frame) << "the peer got " << received.size() << " bytes";

    bool written = false;
    std::thread writer([&] { written = zovtest::SendAll(pair.peer.Get(), frame); });
    ZovNetPacket in;
    const int got = pair.client->Receive(&in);
    writer.join();
    ASSERT_TRUE(written);
    EXPECT_EQ(got, 65535);
    EXPECT_EQ(in.Length(), 65535);
    EXPECT_EQ(in.Type(), 0x33);
    Bytes back(content.size());
    EXPECT_EQ(in.ReadBin(back.data(), static_cast<unsigned int>(back.size())), content.size());
    EXPECT_TRUE(back == content);
}

struct SplitCase {
    const char* name;
    std::vector<std::size_t> cuts; // offsets in the 9-byte message where a pause falls
};

class ReceiveInPieces : public zovtest::NetTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(ReceiveInPieces, OneReceiveReturnsTheWholeMessageAndTheNextStillDecodes) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_TRUE(pair.peer.Valid());

    const Bytes next = {0x00, 0x04, 0x42, 0x99};
    bool sent = true;
    std::thread sender([&] {
        std::size_t from = 0;
        std::vector<std::size_t> cuts = GetParam().cuts;
        cuts.push_back(kExchangeBytes.size());
        for (std::size_t to : cuts) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            sent = sent && zovtest::SendAll(pair.peer.Get(), Bytes(kExchangeBytes.begin() + from,
                                                                   kExchangeBytes.begin() + to));
            from = to;
        }
        sent = sent && zovtest::SendAll(pair.peer.Get(), next);
    });

    ZovNetPacket first;
    ZovNetPacket second;
    const int firstResult = pair.client->Receive(&first);
    const int secondResult = pair.client->Receive(&second);
    sender.join();
    ASSERT_TRUE(sent);

    EXPECT_EQ(firstResult, 9);
    ExpectExchangePacket(first);
    EXPECT_EQ(secondResult, 4);
    EXPECT_EQ(second.Type(), 0x42);
    EXPECT_EQ(second.ReadInt8(), 0x99);
}

INSTANTIATE_TEST_SUITE_P(
    Tcp, ReceiveInPieces,
    ::testing::Values(SplitCase{"InsideLengthField", {1}}, SplitCase{"AfterLengthField", {2}},
                      SplitCase{"AfterHeader", {3}}, SplitCase{"InsideContent", {6}},
                      SplitCase{"EverywhereAtOnce", {1, 2, 5, 8}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return info.param.name; });

// --------------------------------------------------------------------------------------------
// Messages that do not arrive whole: nothing lost, nothing misframed, in every mode
// --------------------------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes Part(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

// A message of type 0x42 with no fields: sent behind the first one, it shows that the stream is
// still framed.
const Bytes kShortMessage = {0x00, 0x03, 0x42};

// The rest of the exchange message and then the short one arrive; two receives must return
// them in order.
void ExpectRestThenShortMessage(zovtest::ClientAndPeer& pair, std::size_t prefix) {
    Bytes rest = Part(kExchangeBytes, prefix, kExchangeBytes.size());
    rest.insert(rest.end(), kShortMessage.begin(), kShortMessage.end());
    ASSERT_TRUE(zovtest::SendAll(pair.peer.Get(), rest));
    ASSERT_TRUE(zovtest::WaitPending(static_cast<int>(pair.client->Descriptor()), rest.size()));
    ZovNetPacket in;
    EXPECT_EQ(pair.client->Receive(&in), 9);
    ExpectExchangePacket(in);
    ZovNetPacket next;
    EXPECT_EQ(pair.client->Receive(&next), 3);
    EXPECT_EQ(next.Type(), 0x42);
    EXPECT_EQ(next.Length(), 3);
    EXPECT_EQ(pair.client->State(), 3u);
}

// A descriptor the application made non-blocking: until the whole message is there each receive
// returns -1 and the packet stays as it was; the part that came is never lost. Windows cannot
// tell the library a descriptor's mode, so this must hold without knowing it.
class NonBlockingReceive : public zovtest::NetTest,
                           public ::testing::WithParamInterface<std::size_t> {};

TEST_P(NonBlockingReceive, LosesNothingOfAMessageThatArrivesInParts) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_TRUE(pair.peer.Valid());
    const int fd = static_cast<int>(pair.client->Descriptor());
    ASSERT_TRUE(zovtest::SetNonBlocking(fd));

    ZovNetPacket packet(0x11, 4);
    packet.AddInt32(0xCAFEF00D);
    EXPECT_EQ(pair.client->Receive(&packet), -1); // nothing there yet

    const std::size_t prefix = GetParam();
    ASSERT_TRUE(zovtest::SendAll(pair.peer.Get(), Part(kExchangeBytes, 0, prefix)));
    ASSERT_TRUE(zovtest::WaitPending(fd, prefix));
    EXPECT_EQ(pair.client->Receive(&packet), -1);
    EXPECT_EQ(pair.client->Receive(&packet), -1);
    EXPECT_EQ(packet.Type(), 0x11);
    EXPECT_EQ(packet.Length(), 7);
    EXPECT_EQ(pair.client->State(), 3u);

    ExpectRestThenShortMessage(pair, prefix);
}

INSTANTIATE_TEST_SUITE_P(Tcp, NonBlockingReceive, ::testing::Values(1, 2, 3, 4, 8),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return "Prefix" + std::to_string(info.param);
                         });

TEST_F(TcpTest, RawReceiveAfterAnUnfinishedMessageGetsItsBytesFirst) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_TRUE(pair.peer.Valid());
    const int fd = static_cast<int>(pair.client->Descriptor());
    ASSERT_TRUE(zovtest::SetNonBlocking(fd));
    ASSERT_TRUE(zovtest::SendAll(pair.peer.Get(), Part(kExchangeBytes, 0, 5)));
    ASSERT_TRUE(zovtest::WaitPending(fd, 5));
    ZovNetPacket packet;
    ASSERT_EQ(pair.client->Receive(&packet), -1);

    // The stream as the byte form sees it has no gap: the five bytes, then what follows.
    unsigned char buffer[16] = {};
    ASSERT_EQ(pair.client->Receive(buffer, 3), 3);
    EXPECT_EQ(Hex(Bytes(buffer, buffer + 3)), "00 09 07");
    ASSERT_EQ(pair.client->Receive(buffer, sizeof buffer), 2);
    EXPECT_EQ(Hex(Bytes(buffer, buffer + 2)), "02 01");
    ASSERT_TRUE(zovtest::SendAll(pair.peer.Get(), kShortMessage));
    ASSERT_TRUE(zovtest::WaitPending(fd, 3));
    EXPECT_EQ(pair.client->Receive(&packet), 3);
    EXPECT_EQ(packet.Type(), 0x42);
}

// A receive time-out that runs out in the middle of a message costs nothing of it: the call
// returns -1 after about the time-out, and a later call returns the message whole.
class TimeOutInMidMessage : public zovtest::NetTest,
                            public ::testing::WithParamInterface<std::size_t> {};

TEST_P(TimeOutInMidMessage, ReturnsMinusOneAndTheNextReceiveGetsTheMessage) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_TRUE(pair.peer.Valid());
    ASSERT_TRUE(pair.client->SetOption(SO_RCVTIMEO, 200));

    const std::size_t prefix = GetParam();
    ASSERT_TRUE(zovtest::SendAll(pair.peer.Get(), Part(kExchangeBytes, 0, prefix)));
    ASSERT_TRUE(zovtest::WaitPending(static_cast<int>(pair.client->Descriptor()), prefix));
    ZovNetPacket packet;
    const auto start = Clock::now();
    EXPECT_EQ(pair.client->Receive(&packet), -1);
    const long long waited = MillisecondsSince(start);
    EXPECT_TRUE(zovtest::ReceiveTimedOut());
    EXPECT_GE(waited, 100);
    EXPECT_LT(waited, 4000);
    EXPECT_EQ(pair.client->State(), 3u);

    ExpectRestThenShortMessage(pair, prefix);
}

INSTANTIATE_TEST_SUITE_P(Tcp, TimeOutInMidMessage, ::testing::Values(1, 2, 4),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return "Prefix" + std::to_string(info.param);
                         });

TEST_F(TcpTest, TimeOutsAreSetAndReadInMilliseconds) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        for (const int ms : {300, 20, 2500, 86400000, 0}) {
            SCOPED_TRACE(std::to_string(option) + ": " + std::to_string(ms) + " ms");
            ASSERT_TRUE(pair.client->SetOption(option, ms));
            int value = -1;
            ASSERT_TRUE(pair.client->GetOption(option, value));
            EXPECT_EQ(value, ms);
        }
    }

    // The time-out is the one the system applies: nothing arrives, so the receive ends after it.
    ASSERT_TRUE(pair.client->SetOption(SO_RCVTIMEO, 200));
    ZovNetPacket packet;
    unsigned char byte = 0;
    for (int form = 0; form < 2; ++form) {
        SCOPED_TRACE(form == 0 ? "packet" : "bytes");
        const auto start = Clock::now();
        EXPECT_EQ(form == 0 ? pair.client->Receive(&packet) : pair.client->Receive(&byte, 1), -1);
        const long long waited = MillisecondsSince(start);
        EXPECT_TRUE(zovtest::ReceiveTimedOut());
        EXPECT_GE(waited, 100);
        EXPECT_LT(waited, 4000);
    }
}

// The peer goes away in the middle of a message: the rest can never come. The call says so
// (0 for an orderly close, -1 for a reset) and the connection is no longer read from, so that no
// later call takes what is left for framing.
struct MidMessageEnd {
    const char* name;
    bool nonBlocking;
    bool reset;
    std::size_t prefix;
};

void PrintTo(const MidMessageEnd& c, std::ostream* os) {
    *os << c.name;
}

class PeerEndsInMidMessage : public zovtest::NetTest,
                             public ::testing::WithParamInterface<MidMessageEnd> {};

TEST_P(PeerEndsInMidMessage, ReceiveSaysSoOnceAndReadsNothingMore) {
    const MidMessageEnd& c = GetParam();
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_TRUE(pair.peer.Valid());
    const int fd = static_cast<int>(pair.client->Descriptor());
    if (c.nonBlocking) {
        ASSERT_TRUE(zovtest::SetNonBlocking(fd));
    }

    ASSERT_TRUE(zovtest::SendAll(pair.peer.Get(), Part(kExchangeBytes, 0, c.prefix)));
    ASSERT_TRUE(zovtest::WaitPending(fd, c.prefix));
    if (c.reset)
        zovtest::ResetClose(pair.peer);
    else
        pair.peer.Reset();

    // A non-blocking receive may come before the end has arrived; it must then say "not yet",
    // and the end must be reported as soon as it is there, never -1 for ever.
    ZovNetPacket packet(0x11, 4);
    int result = -1;
    const auto start = Clock::now();
    do {
        result = pair.client->Receive(&packet);
        if (result != -1 || pair.client->State() != 3u)
            break;
        ASSERT_TRUE(c.nonBlocking) << "a blocking receive returned -1 with the connection open";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (MillisecondsSince(start) < 5000);

    // Wine reports a reset that follows data as an orderly close once the data has been read.
    EXPECT_EQ(result, c.reset && !zovtest::RunningUnderWine() ? -1 : 0);
    EXPECT_EQ(pair.client->State(), 2u) << "the connection is still read from";
    EXPECT_NE(pair.client->Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_EQ(packet.Type(), 0x11);
    EXPECT_EQ(packet.Length(), 3);
    unsigned char buffer[16];
    EXPECT_EQ(pair.client->Receive(&packet), -1);
    EXPECT_EQ(pair.client->Receive(buffer, sizeof buffer), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Tcp, PeerEndsInMidMessage,
    ::testing::Values(MidMessageEnd{"BlockingCloseInLengthField", false, false, 1},
                      MidMessageEnd{"BlockingCloseInContent", false, false, 4},
                      MidMessageEnd{"BlockingResetInContent", false, true, 4},
                      MidMessageEnd{"NonBlockingCloseInLengthField", true, false, 1},
                      MidMessageEnd{"NonBlockingCloseInContent", true, false, 4},
                      MidMessageEnd{"NonBlockingResetInContent", true, true, 4}),
    [](const ::testing::TestParamInfo<MidMessageEnd>& info) { return info.param.name; });

// A send buffer that fills in the middle of a frame: the frame goes out whole, or the connection
// sends nothing more and the peer sees it end after the part that went out.
class SendBufferFillsInMidFrame : public zovtest::NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        // Small buffers on both sides, so that a frame of 65535 bytes cannot go out at once.
        pair = zovtest::ConnectedClient(4096);
        ASSERT_NE(pair.client, nullptr);
        ASSERT_TRUE(pair.peer.Valid());
        ASSERT_TRUE(pair.client->SetOption(SO_SNDBUF, 4096));
        Bytes content(65532);
        for (std::size_t i = 0; i < content.size(); ++i)
            content[i] = static_cast<unsigned char>(i * 13 + 5);
        big = ZovNetPacket(0x44, static_cast<unsigned short>(content.size()));
        big.AddBin(content.data(), static_cast<unsigned int>(content.size()));
        frame.assign(big.Data(), big.Data() + big.Length());
    }

    // The frame went out in part only, then nothing more: the peer reads a true prefix of it and
    // then the end of the connection, and the client refuses to send again.
    void ExpectCutFrameAndConnectionEnd() {
        EXPECT_EQ(pair.client->State() & ZovSocket::SOCK_SEND, 0u)
            << "the connection still sends after a cut frame";
        ZovNetPacket ping(0x5A, 0);
        EXPECT_EQ(pair.client->Send(&ping), -1);
        const Bytes received = zovtest::ReceiveBytes(pair.peer.Get(), frame.size() + 3, 10000);
        ASSERT_LT(received.size(), frame.size());
        EXPECT_TRUE(received == Part(frame, 0, received.size())) << "not a prefix of the frame";
        unsigned char byte;
        EXPECT_EQ(zovtest::Recv(pair.peer.Get(), &byte, 1, 0), 0) << "the peer did not see the end";
    }

    zovtest::ClientAndPeer pair;
    ZovNetPacket big;
    Bytes frame;
};

TEST_F(SendBufferFillsInMidFrame, NonBlockingSendWaitsForRoomAndFinishesTheFrame) {
    ASSERT_TRUE(zovtest::SetNonBlocking(static_cast<int>(pair.client->Descriptor())));
    Bytes received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        received = zovtest::ReceiveBytes(pair.peer.Get(), frame.size(), 10000);
    });
    const int sent = pair.client->Send(&big);
    reader.join();
    EXPECT_EQ(sent, 65535);
    EXPECT_TRUE(received == frame) << "the peer got " << received.size() << " bytes";
    EXPECT_EQ(pair.client->State(), 3u);
}

TEST_F(SendBufferFillsInMidFrame, NonBlockingSendThatRunsOutOfTimeEndsTheConnection) {
    ASSERT_TRUE(zovtest::SetNonBlocking(static_cast<int>(pair.client->Descriptor())));
    ASSERT_TRUE(pair.client->SetOption(SO_SNDTIMEO, 300));
    const auto start = Clock::now();
    EXPECT_EQ(pair.client->Send(&big), -1);
    EXPECT_LT(MillisecondsSince(start), 5000);
    ExpectCutFrameAndConnectionEnd();
}

TEST_F(SendBufferFillsInMidFrame, BlockingSendThatRunsOutOfTimeEndsTheConnection) {
    ASSERT_TRUE(pair.client->SetOption(SO_SNDTIMEO, 300));
    const auto start = Clock::now();
    EXPECT_EQ(pair.client->Send(&big), -1);
    EXPECT_LT(MillisecondsSince(start), 5000);
    ExpectCutFrameAndConnectionEnd();
}

// --------------------------------------------------------------------------------------------
// Server
// --------------------------------------------------------------------------------------------

TEST_F(TcpTest, DefaultServerListensOnAPortOfTheSystemsChoice) {
    ZovTCPSocketServer server;
    EXPECT_EQ(server.SocketType(), SOCKTYPE_TCPSERVER);
    EXPECT_EQ(server.State(), 1u);
    ASSERT_NE(server.Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_NE(server.Port(), 0);
    EXPECT_EQ(server.Port(), zovtest::LocalPort(static_cast<int>(server.Descriptor())));
    RawFd raw = zovtest::RawConnect(server.Port());
    EXPECT_TRUE(raw.Valid());
}

TEST_F(TcpTest, ServerTransfersDoNothing) {
    ZovTCPSocketServer server;
    ZovSocket* socket = &server; // the calls go through the socket interface
    const unsigned int descriptor = server.Descriptor();
    const unsigned short port = server.Port();
    unsigned char buffer[4] = {9, 8, 7, 6};
    ZovNetPacket packet = ExchangePacket();

    EXPECT_EQ(socket->Send(nullptr, 4), 0);
    EXPECT_EQ(socket->Send(buffer, sizeof buffer), 0);
    EXPECT_EQ(socket->Send(static_cast<ZovNetPacket*>(nullptr)), 0);
    EXPECT_EQ(socket->Send(&packet), 0);
    EXPECT_EQ(socket->Receive(nullptr, 4), 0);
    EXPECT_EQ(socket->Receive(buffer, sizeof buffer), 0);
    EXPECT_EQ(socket->Receive(static_cast<ZovNetPacket*>(nullptr)), 0);
    EXPECT_EQ(socket->Receive(&packet), 0);

    EXPECT_EQ(Hex(Bytes(buffer, buffer + 4)), "09 08 07 06");
    EXPECT_EQ(packet.Cursor(), 9);
    packet.GoToStart();
    ExpectExchangePacket(packet);
    EXPECT_EQ(server.Descriptor(), descriptor);
    EXPECT_EQ(server.Port(), port);
    EXPECT_EQ(server.State(), 1u);
}

// The server's end closes first, so its port stays held in TIME-WAIT after both listener and
// connection are gone; a new server must get the port all the same.
TEST_F(TcpTest, ServerRestartsOnAPortHeldInTimeWait) {
    auto server = std::make_unique<ZovTCPSocketServer>();
    const unsigned short port = server->Port();
    ASSERT_NE(port, 0);
    RawFd raw = zovtest::RawConnect(port);
    ASSERT_TRUE(raw.Valid());
    std::unique_ptr<ZovTCPSocketClient> accepted(server->Accept());
    ASSERT_NE(accepted, nullptr);
    accepted.reset();
    EXPECT_EQ(Hex(zovtest::ReceiveBytes(raw.Get(), 1, 5000)), "") << "the server's end closed";
    raw.Reset();
    server.reset();

    std::string reports =
        zovtest::StderrOf([&] { server = std::make_unique<ZovTCPSocketServer>(port); });
    EXPECT_EQ(reports, "");
    ASSERT_EQ(server->State(), 1u);
    EXPECT_EQ(server->Port(), port);
    RawFd again = zovtest::RawConnect(port);
    ASSERT_TRUE(again.Valid());
    std::unique_ptr<ZovTCPSocketClient> next(server->Accept());
    EXPECT_NE(next, nullptr);
}

TEST_F(TcpTest, ServerOnAPortInUseWarnsAndCannotAccept) {
    ZovTCPSocketServer first;
    ASSERT_NE(first.Port(), 0);
    std::unique_ptr<ZovTCPSocketServer> second;
    EXPECT_EQ(
        zovtest::StderrOf([&] { second = std::make_unique<ZovTCPSocketServer>(first.Port()); }),
        "Warning: Can not bind TCP socket to local port\n");
    EXPECT_EQ(second->Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_EQ(second->Port(), 0);
    EXPECT_EQ(second->State(), 0u);

    std::unique_ptr<ZovTCPSocketClient> accepted;
    EXPECT_EQ(zovtest::StderrOf([&] { accepted.reset(second->Accept()); }),
              "Warning: socket accept() failed\n");
    EXPECT_EQ(accepted, nullptr);

    // The first server is untouched by the failed one.
    EXPECT_EQ(first.State(), 1u);
    EXPECT_TRUE(zovtest::RawConnect(first.Port()).Valid());
}

TEST_F(TcpTest, AcceptThatCannotCreateTheClientClosesTheConnection) {
    if (!zovtest::kAllocatorReplacementReachesLibrary)
        GTEST_SKIP() << "a Windows DLL allocates with its own runtime's operator new, which the "
                        "test program cannot replace";
    ZovTCPSocketServer server;
    RawFd raw = zovtest::RawConnect(server.Port());
    ASSERT_TRUE(raw.Valid());
    ASSERT_TRUE(zovtest::WaitReadable(static_cast<int>(server.Descriptor()), 5000));

    ZovTCPSocketClient* accepted = nullptr;
    const std::string warnings = zovtest::StderrOf([&] {
        zovtest::g_failNothrowNew = true;
        accepted = server.Accept();
        zovtest::g_failNothrowNew = false;
    });
    EXPECT_EQ(accepted, nullptr);
    delete accepted;
    EXPECT_EQ(warnings, "");

    // Nobody holds the connection any more: the raw client sees it end.
    ASSERT_TRUE(zovtest::WaitReadable(raw.Get(), 5000));
    unsigned char byte;
    EXPECT_EQ(zovtest::Recv(raw.Get(), &byte, 1, 0), 0);
    EXPECT_EQ(server.State(), 1u);
}

TEST_F(TcpTest, AcceptedClientKnowsItsPeerAndTheServerListensOn) {
    ZovTCPSocketServer server;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const unsigned short anyPort = 0;
        ZovTCPSocketClient client(anyPort, Loopback(), server.Port());
        ASSERT_EQ(client.State(), 3u);
        ASSERT_TRUE(zovtest::WaitReadable(static_cast<int>(server.Descriptor()), 5000));
        std::unique_ptr<ZovTCPSocketClient> accepted(server.Accept());
        ASSERT_NE(accepted, nullptr);
        EXPECT_EQ(accepted->SocketType(), SOCKTYPE_TCPCLIENT);
        EXPECT_EQ(accepted->State(), 3u);
        EXPECT_EQ(accepted->GetDestAddr(), Loopback());
        EXPECT_EQ(accepted->GetDestPort(), client.Port());
        EXPECT_EQ(accepted->Port(), server.Port());
        EXPECT_EQ(server.State(), 1u);
    }
}

// --------------------------------------------------------------------------------------------
// One packet from a TCP client to a TCP server, step by step
// --------------------------------------------------------------------------------------------

TEST_F(TcpTest, OnePacketFromClientToServerStepByStep) {
    ZovTCPSocketServer server;
    ASSERT_EQ(server.State(), ZovSocket::SOCK_RECEIVE);
    ZovSocketSet set;
    set.AddSocket(&server);

    const unsigned short anyPort = 0;
    ZovTCPSocketClient client(anyPort, Loopback(), server.Port());
    ASSERT_EQ(client.State(), ZovSocket::SOCK_BOTH);
    EXPECT_NE(client.Port(), 0);

    ASSERT_EQ(set.WaitSockets(1000), 1);
    ASSERT_TRUE(set.CheckSocket(&server));
    std::unique_ptr<ZovTCPSocketClient> accepted(server.Accept());
    ASSERT_NE(accepted, nullptr);
    zovtest::SetReceiveTimeout(accepted->Descriptor(), 5000);
    set.AddSocket(accepted.get());

    ZovNetPacket out(7, 6);
    out.AddInt16(513);
    out.AddInt32(65536);
    EXPECT_EQ(client.Send(&out), 9);

    ASSERT_EQ(set.WaitSockets(1000), 1);
    EXPECT_TRUE(set.CheckSocket(accepted.get()));
    EXPECT_FALSE(set.CheckSocket(&server));
    const int fd = static_cast<int>(accepted->Descriptor());
    ASSERT_TRUE(zovtest::WaitPending(fd, 9));
    EXPECT_EQ(Hex(zovtest::PeekBytes(fd)), "00 09 07 02 01 00 01 00 00");

    ZovNetPacket in;
    int received = 0;
    EXPECT_EQ(zovtest::StdoutOf([&] { received = accepted->Receive(&in); }), "");
    EXPECT_EQ(received, 9);
    ExpectExchangePacket(in);

    set.RemoveSocket(accepted.get());
    set.RemoveSocket(&server);
    EXPECT_EQ(set.WaitSockets(1000), 0);
}

// --------------------------------------------------------------------------------------------
// Checks of the debug library and what the release library does instead
// --------------------------------------------------------------------------------------------

class TcpDeathTest : public zovtest::NetTest {};

TEST_F(TcpDeathTest, NullBufferIsFatalBeforeTheGate) {
    if (!zovtest::kDebugLibrary)
        GTEST_SKIP() << "the checks exist only in the debug library";
    zovtest::UseThreadsafeDeathTests();
    const char* report =
        "Fatal error: data != NULL\n\nFile: src/ZovTCPSocketClient\\.cpp\nLine: [0-9]+\n";
    // An unconnected client: its gate would refuse, so only the check can end the process.
    EXPECT_EXIT(
        {
            ZovTCPSocketClient client;
            client.Send(nullptr, 4);
        },
        ::testing::ExitedWithCode(1), zovtest::Ere(report));
    EXPECT_EXIT(
        {
            ZovTCPSocketClient client;
            client.Receive(nullptr, 4);
        },
        ::testing::ExitedWithCode(1), zovtest::Ere(report));
}

// Only an open stream socket may be adopted: a plain `unsigned int` variable picks the adopting
// constructor where a port was meant, and the object would close whatever it names.
TEST_F(TcpDeathTest, AdoptingAnythingButAStreamSocketIsFatal) {
    if (!zovtest::kDebugLibrary)
        GTEST_SKIP() << "the checks exist only in the debug library";
    zovtest::UseThreadsafeDeathTests();
    const char* report = "Fatal error: IsStreamSocket\\(descriptor\\)\n\nFile: "
                         "src/ZovTCPSocketClient\\.cpp\nLine: [0-9]+\n";
    EXPECT_EXIT(
        {
            zovtest::NotASocket other;
            ZovTCPSocketClient adopted(other.Handle(), Loopback(), 1);
        },
        ::testing::ExitedWithCode(1), zovtest::Ere(report));
    EXPECT_EXIT(
        {
            ZovUDPSocket datagrams;
            ZovTCPSocketClient adopted(datagrams.Descriptor(), Loopback(), 1);
        },
        ::testing::ExitedWithCode(1), zovtest::Ere(report));
    EXPECT_EXIT({ ZovTCPSocketClient adopted(ZOVNET::BADSOCKET, Loopback(), 1); },
                ::testing::ExitedWithCode(1), zovtest::Ere(report));
}

TEST_F(TcpTest, ReleaseLibraryHandsANullBufferToTheSystem) {
    if (zovtest::kDebugLibrary)
        GTEST_SKIP() << "the debug library stops the process instead";
    ZovTCPSocketClient unconnected;
    EXPECT_EQ(unconnected.Send(nullptr, 4), -1);
    EXPECT_EQ(unconnected.Receive(nullptr, 4), -1);

    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_TRUE(zovtest::SendAll(pair.peer.Get(), kExchangeBytes));
    ASSERT_TRUE(zovtest::WaitPending(static_cast<int>(pair.client->Descriptor()), 9));
    EXPECT_EQ(pair.client->Send(nullptr, 4), -1);
    EXPECT_EQ(pair.client->Receive(nullptr, 4), -1);
    ZovNetPacket in;
    EXPECT_EQ(pair.client->Receive(&in), 9); // the refused calls cost the stream nothing
    ExpectExchangePacket(in);
}

} // namespace
