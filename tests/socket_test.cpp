// The socket base: what every socket holds before its own constructor runs, the ShutDown rules
// and the socket-level options.
#include "RawSocket.h"
#include "TestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace {

using zovtest::Hex;
using zovtest::IsOpen;
using zovtest::Loopback;
using zovtest::RawFd;
using SockState = ZovSocket::SockState;

using zovtest::BareSocket;

class SocketBaseTest : public zovtest::NetTest {};

TEST_F(SocketBaseTest, BasePartHoldsNoDescriptorNoPortNoDirection) {
    BareSocket socket;
    EXPECT_EQ(socket.Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_EQ(socket.Port(), 0);
    EXPECT_EQ(socket.State(), 0u);

    // Without a descriptor there is nothing to shut or to ask, and nothing breaks.
    socket.ShutDown(ZovSocket::SOCK_BOTH);
    EXPECT_EQ(socket.Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_EQ(socket.State(), 0u);
    int value = 7;
    EXPECT_FALSE(socket.GetOption(SO_TYPE, value));
    EXPECT_EQ(value, 7);
    EXPECT_FALSE(socket.SetOption(SO_KEEPALIVE, 1));
}

// --------------------------------------------------------------------------------------------
// ShutDown
// --------------------------------------------------------------------------------------------

struct ShutDownCase {
    const char* name;
    bool connected; // a connected client (state 3), or a bound unconnected one (state 0)
    std::vector<SockState> steps;
    unsigned int state;
    bool open; // whether the descriptor is still held and open afterwards
};

class ShutDownRules : public zovtest::NetTest,
                      public ::testing::WithParamInterface<ShutDownCase> {};

TEST_P(ShutDownRules, ClearsDirectionsAndClosesWhenNoneIsLeft) {
    const ShutDownCase& c = GetParam();
    zovtest::ClientAndPeer pair;
    std::unique_ptr<ZovTCPSocketClient> unconnected;
    ZovTCPSocketClient* client;
    if (c.connected) {
        pair = zovtest::ConnectedClient();
        ASSERT_NE(pair.client, nullptr);
        ASSERT_EQ(pair.client->State(), 3u);
        client = pair.client.get();
    } else {
        unconnected = std::make_unique<ZovTCPSocketClient>();
        ASSERT_EQ(unconnected->State(), 0u);
        client = unconnected.get();
    }
    const unsigned int descriptor = client->Descriptor();
    ASSERT_NE(descriptor, ZOVNET::BADSOCKET);

    for (SockState how : c.steps)
        client->ShutDown(how);

    EXPECT_EQ(client->State(), c.state);
    if (c.open) {
        EXPECT_EQ(client->Descriptor(), descriptor);
        EXPECT_TRUE(IsOpen(static_cast<int>(descriptor)));
    } else {
        EXPECT_EQ(client->Descriptor(), ZOVNET::BADSOCKET);
        EXPECT_FALSE(IsOpen(static_cast<int>(descriptor)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Socket, ShutDownRules,
    ::testing::Values(
        ShutDownCase{"ClosedChangesNothing", true, {ZovSocket::SOCK_CLOSED}, 3, true},
        ShutDownCase{"Receive", true, {ZovSocket::SOCK_RECEIVE}, 2, true},
        ShutDownCase{"Send", true, {ZovSocket::SOCK_SEND}, 1, true},
        ShutDownCase{"Both", true, {ZovSocket::SOCK_BOTH}, 0, false},
        ShutDownCase{
            "ReceiveThenSend", true, {ZovSocket::SOCK_RECEIVE, ZovSocket::SOCK_SEND}, 0, false},
        ShutDownCase{
            "SendThenReceive", true, {ZovSocket::SOCK_SEND, ZovSocket::SOCK_RECEIVE}, 0, false},
        ShutDownCase{"SendThenBoth", true, {ZovSocket::SOCK_SEND, ZovSocket::SOCK_BOTH}, 0, false},
        ShutDownCase{
            "ReceiveTwice", true, {ZovSocket::SOCK_RECEIVE, ZovSocket::SOCK_RECEIVE}, 2, true},
        ShutDownCase{"SendTwice", true, {ZovSocket::SOCK_SEND, ZovSocket::SOCK_SEND}, 1, true},
        // State 0 has no direction to shut: a single direction is a no-op (were the system asked,
        // the empty state would make ShutDown close the descriptor), SOCK_BOTH always closes.
        ShutDownCase{"UnconnectedClosed", false, {ZovSocket::SOCK_CLOSED}, 0, true},
        ShutDownCase{"UnconnectedReceive", false, {ZovSocket::SOCK_RECEIVE}, 0, true},
        ShutDownCase{"UnconnectedSend", false, {ZovSocket::SOCK_SEND}, 0, true},
        ShutDownCase{"UnconnectedBoth", false, {ZovSocket::SOCK_BOTH}, 0, false}),
    [](const ::testing::TestParamInfo<ShutDownCase>& info) { return info.param.name; });

TEST_F(SocketBaseTest, ShutDownSendReachesThePeer) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_TRUE(pair.peer.Valid());
    pair.client->ShutDown(ZovSocket::SOCK_SEND);
    ASSERT_TRUE(zovtest::WaitReadable(pair.peer.Get(), 5000));
    unsigned char byte;
    EXPECT_EQ(zovtest::Recv(pair.peer.Get(), &byte, 1, 0),
              0); // the peer sees the end of the stream
}

TEST_F(SocketBaseTest, RefusedShutDownKeepsTheDirectionsAndTheDescriptor) {
    // A TCP socket that never connected, adopted as if it were a connection: state 3, yet the
    // system refuses to shut a direction of it.
    RawFd raw(zovtest::Socket(AF_INET, SOCK_STREAM | zovtest::kSockCloexec, 0));
    ASSERT_TRUE(raw.Valid());
    const int fd = raw.Get();
    ZovTCPSocketClient adopted(static_cast<unsigned int>(raw.Release()), Loopback(), 0);
    ASSERT_EQ(adopted.State(), 3u);

    adopted.ShutDown(ZovSocket::SOCK_SEND);
    EXPECT_EQ(adopted.State(), 3u);
    adopted.ShutDown(ZovSocket::SOCK_RECEIVE);
    EXPECT_EQ(adopted.State(), 3u);
    EXPECT_EQ(adopted.Descriptor(), static_cast<unsigned int>(fd));
    EXPECT_TRUE(IsOpen(fd));
}

TEST_F(SocketBaseTest, DestructorAfterShutDownLeavesTheReusedDescriptorNumberAlone) {
    auto client = std::make_unique<ZovTCPSocketClient>();
    const int old = static_cast<int>(client->Descriptor());
    client->ShutDown(ZovSocket::SOCK_BOTH);
    ASSERT_EQ(client->Descriptor(), ZOVNET::BADSOCKET);

    // The system hands out the lowest free number: most likely the one just closed. Closing it
    // a second time in the destructor would close this unrelated socket.
    RawFd other(zovtest::Socket(AF_INET, SOCK_STREAM | zovtest::kSockCloexec, 0));
    ASSERT_TRUE(other.Valid());
    client.reset();
    EXPECT_TRUE(IsOpen(other.Get())) << "descriptor " << other.Get() << ", was " << old;
}

// --------------------------------------------------------------------------------------------
// Options
// --------------------------------------------------------------------------------------------

TEST_F(SocketBaseTest, OptionsRoundTripAtSocketLevel) {
    ZovTCPSocketClient client;
    ZovTCPSocketServer server;
    int type = 0;
    ASSERT_TRUE(client.GetOption(SO_TYPE, type));
    EXPECT_EQ(type, SOCK_STREAM);
    type = 0;
    ASSERT_TRUE(server.GetOption(SO_ACCEPTCONN, type));
    EXPECT_NE(type, 0);

    for (int value : {1, 0}) {
        ASSERT_TRUE(client.SetOption(SO_KEEPALIVE, value));
        int read = -1;
        ASSERT_TRUE(client.GetOption(SO_KEEPALIVE, read));
        EXPECT_EQ(read != 0, value != 0);
    }
}

// The library's names reach the system's option on each system, and read back through either
// number.
TEST_F(SocketBaseTest, LibraryOptionNamesAreTheSystemsOptions) {
    ZovTCPSocketClient tcp;
    ZovUDPSocket udp;
    struct Case {
        const char* what;
        ZovSocket* socket;
        int name;
        int system;
        int value;
    };
    const Case cases[] = {
        {"keep-alive", &tcp, ZOVNET::OPT_KEEPALIVE, SO_KEEPALIVE, 1},
        {"keep-alive off", &tcp, ZOVNET::OPT_KEEPALIVE, SO_KEEPALIVE, 0},
        {"reuse address", &tcp, ZOVNET::OPT_REUSEADDR, SO_REUSEADDR, 1},
        {"reuse address off", &tcp, ZOVNET::OPT_REUSEADDR, SO_REUSEADDR, 0},
        {"broadcast", &udp, ZOVNET::OPT_BROADCAST, SO_BROADCAST, 1},
        {"broadcast off", &udp, ZOVNET::OPT_BROADCAST, SO_BROADCAST, 0},
        {"receive buffer", &tcp, ZOVNET::OPT_RCVBUF, SO_RCVBUF, 65536},
        {"send buffer", &tcp, ZOVNET::OPT_SNDBUF, SO_SNDBUF, 65536},
        {"receive time-out", &tcp, ZOVNET::OPT_RCVTIMEO, SO_RCVTIMEO, 300},
        {"send time-out", &udp, ZOVNET::OPT_SNDTIMEO, SO_SNDTIMEO, 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.socket->SetOption(c.name, c.value));
        int byName = -1;
        int byNumber = -2;
        ASSERT_TRUE(c.socket->GetOption(c.name, byName));
        ASSERT_TRUE(c.socket->GetOption(c.system, byNumber));
        EXPECT_EQ(byName, byNumber);
        if (c.system == SO_RCVBUF || c.system == SO_SNDBUF) {
            EXPECT_GE(byName, c.value) << "Linux keeps twice the size asked for";
        } else if (c.system == SO_RCVTIMEO || c.system == SO_SNDTIMEO) {
            EXPECT_EQ(byName, c.value); // milliseconds through the library on every system
        } else {
            EXPECT_EQ(byName != 0, c.value != 0);
            EXPECT_EQ(zovtest::GetSockOptInt(c.socket->Descriptor(), SOL_SOCKET, c.system) != 0,
                      c.value != 0);
        }
    }
}

TEST_F(SocketBaseTest, NoDelaySetsTheSystemsOption) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    const unsigned int fd = pair.client->Descriptor();
    EXPECT_EQ(zovtest::GetSockOptInt(fd, IPPROTO_TCP, TCP_NODELAY), 0) << "Nagle on at first";
    ASSERT_TRUE(pair.client->SetNoDelay(true));
    EXPECT_NE(zovtest::GetSockOptInt(fd, IPPROTO_TCP, TCP_NODELAY), 0);
    ASSERT_TRUE(pair.client->SetNoDelay(false));
    EXPECT_EQ(zovtest::GetSockOptInt(fd, IPPROTO_TCP, TCP_NODELAY), 0);

    ZovTCPSocketClient closed;
    closed.ShutDown(ZovSocket::SOCK_BOTH);
    EXPECT_FALSE(closed.SetNoDelay(true));
}

// --------------------------------------------------------------------------------------------
// Sends from read-only buffers
// --------------------------------------------------------------------------------------------

// A pointer to const picks the read-only form; a non-const pointer still the virtual `void*` one
// (an override in a derived class sees both).
using zovtest::CountingClient;

TEST_F(SocketBaseTest, ReadOnlyBuffersSendOnEveryClass) {
    static const unsigned char kBytes[] = {0x00, 0x04, 0x05, 0x66};
    const std::string text = "text";

    RawFd listener = zovtest::RawListen();
    ASSERT_TRUE(listener.Valid());
    const unsigned short anyPort = 0;
    CountingClient client(anyPort, Loopback(), zovtest::LocalPort(listener.Get()));
    RawFd peer = zovtest::RawAccept(listener.Get());
    ASSERT_EQ(client.State(), 3u);
    ASSERT_TRUE(peer.Valid());
    ZovSocket* base = &client;
    EXPECT_EQ(client.Send(kBytes, sizeof kBytes), 4);
    EXPECT_EQ(base->Send(text.data(), static_cast<unsigned int>(text.size())), 4);
    const void* opaque = kBytes;
    EXPECT_EQ(client.Send(opaque, 2), 2);
    EXPECT_EQ(client.calls, 3) << "every form ends in the virtual send";
    EXPECT_EQ(Hex(zovtest::ReceiveBytes(peer.Get(), 10)), "00 04 05 66 74 65 78 74 00 04");

    ZovTCPSocketServer server;
    EXPECT_EQ(server.Send(kBytes, sizeof kBytes), 0);

    ZovUDPSocket tx;
    ZovUDPSocket rx;
    EXPECT_EQ(tx.Send(kBytes, sizeof kBytes, Loopback(), rx.Port()), 4);
    unsigned char got[8] = {};
    EXPECT_EQ(zovtest::PollOne(static_cast<int>(rx.Descriptor()), POLLIN, 5000), 1);
    EXPECT_EQ(rx.Receive(got, sizeof got), 4);
    EXPECT_EQ(Hex(zovtest::Bytes(got, got + 4)), "00 04 05 66");
    EXPECT_EQ(tx.Send(text.c_str(), 4), -1) << "no peer assigned: the system refuses";
}

TEST_F(SocketBaseTest, RejectedOptionLeavesTheCallersVariableAlone) {
    ZovTCPSocketClient open;
    ZovTCPSocketClient closed;
    closed.ShutDown(ZovSocket::SOCK_BOTH);
    ASSERT_EQ(closed.Descriptor(), ZOVNET::BADSOCKET);

    const int unknownOption = 0x7A5A;
    struct Case {
        const char* what;
        ZovSocket* socket;
        int option;
    };
    for (const Case& c :
         {Case{"unknown option", &open, unknownOption}, Case{"no descriptor", &closed, SO_TYPE}}) {
        SCOPED_TRACE(c.what);
        int value = 12345;
        EXPECT_FALSE(c.socket->GetOption(c.option, value));
        EXPECT_EQ(value, 12345);
        EXPECT_FALSE(c.socket->SetOption(c.option, 1));
    }
}

} // namespace
