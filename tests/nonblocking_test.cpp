// Sockets made non-blocking through the library: Accept and the UDP receives that return at
// once, the TCP client's send queue (frames whole and in order, the send limit, raw sends that
// never overtake it), Connect with a time-out, and connecting again after a failure.
#include "RawSocket.h"
#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using zovtest::Bytes;
using zovtest::Loopback;
using zovtest::RawFd;
using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs `call` on another thread and tells whether it returned within 5 seconds. A call that
// blocks instead is released by `unblock` (which gives it what it waits for), so that the test
// fails rather than hangs. `call` reads the thread's ZovNet::LastError itself.
bool ReturnsAtOnce(const std::function<void()>& call, const std::function<void()>& unblock) {
    std::atomic<bool> done(false);
    std::thread worker([&] {
        call();
        done = true;
    });
    const auto start = Clock::now();
    while (!done && MillisecondsSince(start) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool returned = done;
    if (!returned)
        unblock();
    worker.join();
    return returned;
}

// The mode the descriptor really is in, asked of the system the same way on every system: a
// receive with nothing to take ends in WSAETIMEDOUT on a blocking descriptor (after its receive
// time-out) and in WSAEWOULDBLOCK at once on a non-blocking one.
bool DescriptorBlocks(ZovSocket& s) {
    zovtest::SetReceiveTimeout(s.Descriptor(), 100);
    unsigned char byte = 0;
    EXPECT_EQ(s.Receive(&byte, 1), -1) << "the probe found data";
    const int error = ZovNet::LastError();
    EXPECT_TRUE(error == ZOVNET::ERRCODE_TIMED_OUT || error == ZOVNET::ERRCODE_WOULD_BLOCK)
        << error;
    return error == ZOVNET::ERRCODE_TIMED_OUT;
}

// A frame whose content tells its place in the stream: the sequence number, then a pattern.
ZovNetPacket Frame(unsigned int seq, unsigned short contentSize) {
    ZovNetPacket p(0x21, contentSize);
    p.AddInt32(seq);
    for (unsigned int i = 4; i < contentSize; ++i)
        p.AddInt8(static_cast<unsigned char>(seq * 31 + i));
    return p;
}

void Append(Bytes& stream, ZovNetPacket& p) {
    stream.insert(stream.end(), p.Data(), p.Data() + p.Length());
}

const char* kConnectWarning = "Warning: Can not connect to remote host\n";

// --------------------------------------------------------------------------------------------
// Accept
// --------------------------------------------------------------------------------------------

class NonBlockingTest : public zovtest::NetTest {};

TEST_F(NonBlockingTest, AcceptWithNothingWaitingReturnsNullAtOnceWithoutAWarning) {
    ZovTCPSocketServer server;
    ASSERT_TRUE(server.SetBlocking(false));
    EXPECT_FALSE(server.IsBlocking());
    ZovTCPSocketClient* accepted = nullptr;
    int error = 0;
    RawFd late;
    std::string warnings;
    EXPECT_TRUE(ReturnsAtOnce(
        [&] {
            warnings = zovtest::StderrOf([&] { accepted = server.Accept(); });
            error = ZovNet::LastError();
        },
        [&] { late = zovtest::RawConnect(server.Port()); }))
        << "Accept waited for a connection";
    delete accepted;
    EXPECT_EQ(accepted, nullptr);
    EXPECT_EQ(error, ZOVNET::ERRCODE_WOULD_BLOCK);
    EXPECT_EQ(warnings, "");
    EXPECT_EQ(server.State(), 1u);
}

TEST_F(NonBlockingTest, AcceptedClientStartsInItsListenersMode) {
    for (const bool blocking : {true, false}) {
        SCOPED_TRACE(blocking ? "blocking server" : "non-blocking server");
        ZovTCPSocketServer server;
        ASSERT_TRUE(server.SetBlocking(blocking));
        RawFd raw = zovtest::RawConnect(server.Port());
        ASSERT_TRUE(raw.Valid());
        ASSERT_TRUE(zovtest::WaitReadable(static_cast<int>(server.Descriptor()), 5000));
        std::unique_ptr<ZovTCPSocketClient> accepted(server.Accept());
        ASSERT_NE(accepted, nullptr);
        EXPECT_EQ(accepted->IsBlocking(), blocking);
        EXPECT_EQ(DescriptorBlocks(*accepted), blocking);
        EXPECT_EQ(accepted->GetDestPort(), zovtest::LocalPort(raw.Get()));
    }
}

// --------------------------------------------------------------------------------------------
// UDP
// --------------------------------------------------------------------------------------------

TEST_F(NonBlockingTest, EveryUdpReceiveReturnsAtOnceWhenNoDatagramWaits) {
    ZovUDPSocket rx;
    ZovUDPSocket tx;
    ASSERT_TRUE(rx.SetBlocking(false));
    unsigned char buffer[UDP_RECEIVE_BUFFER];
    ZovNetPacket packet(0x33, 0);
    unsigned int addr = 0;
    unsigned short port = 0;
    struct Form {
        const char* name;
        std::function<int()> receive;
    };
    const Form forms[] = {
        {"raw", [&] { return rx.Receive(buffer, sizeof buffer); }},
        {"raw with sender", [&] { return rx.Receive(buffer, sizeof buffer, &addr, &port); }},
        {"packet", [&] { return rx.Receive(&packet); }},
        {"packet with sender", [&] { return rx.Receive(&packet, &addr, &port); }},
    };
    for (const Form& form : forms) {
        SCOPED_TRACE(form.name);
        const unsigned char typeBefore = packet.Type();
        int result = 0;
        int error = 0;
        EXPECT_TRUE(ReturnsAtOnce(
            [&] {
                result = form.receive();
                error = ZovNet::LastError();
            },
            [&] {
                unsigned char d[3] = {0, 3, 0x44};
                tx.Send(d, sizeof d, Loopback(), rx.Port());
            }))
            << "the receive waited for a datagram";
        EXPECT_EQ(result, -1);
        EXPECT_EQ(error, ZOVNET::ERRCODE_WOULD_BLOCK);
        EXPECT_EQ(packet.Type(), typeBefore);

        // A datagram that waits is taken as on a blocking socket.
        unsigned char d[5] = {0, 5, 0x21, 1, 2};
        ASSERT_EQ(tx.Send(d, sizeof d, Loopback(), rx.Port()), 5);
        ASSERT_TRUE(zovtest::WaitReadable(static_cast<int>(rx.Descriptor()), 3000));
        EXPECT_EQ(form.receive(), 5);
    }
    EXPECT_EQ(packet.Type(), 0x21);
    EXPECT_EQ(addr, Loopback());
    EXPECT_EQ(port, tx.Port());
}

// --------------------------------------------------------------------------------------------
// The TCP client's send queue
// --------------------------------------------------------------------------------------------

// A non-blocking client whose peer does not read yet; both buffers are small, so that a few
// frames fill them.
class SendQueue : public zovtest::NetTest {
protected:
    void SetUp() override {
        NetTest::SetUp();
        pair = zovtest::ConnectedClient(4096);
        ASSERT_NE(pair.client, nullptr);
        ASSERT_TRUE(pair.peer.Valid());
        ASSERT_TRUE(pair.client->SetOption(SO_SNDBUF, 4096));
        ASSERT_TRUE(pair.client->SetBlocking(false));
        EXPECT_EQ(pair.client->SendLimit(), 256u * 1024u);
    }

    // Sends frames until the system stops taking them and the queue holds far more than the
    // small buffers can take meanwhile, so that no flush in the test can empty it. Every frame is
    // accepted whole.
    void FillQueue() {
        for (int i = 0; i < 10000 && pair.client->Queued() < kFull; ++i)
            SendFrame(1000);
        ASSERT_GE(pair.client->Queued(), kFull) << "the system took every frame";
    }

    static constexpr unsigned int kFull = 64 * 1024;

    void SendFrame(unsigned short contentSize) {
        ZovNetPacket p = Frame(seq++, contentSize);
        ASSERT_EQ(pair.client->Send(&p), p.Length());
        Append(expected, p);
    }

    // The peer reads everything expected while the client flushes until the queue is empty,
    // waiting for room in between; every frame must come whole and in order, and nothing else.
    void DrainAndCheck() {
        Bytes received;
        std::thread reader(
            [&] { received = zovtest::ReceiveBytes(pair.peer.Get(), expected.size() + 1, 10000); });
        // As an event loop does it: room to send asked for while something is queued.
        ZovSocketPoller poller;
        ASSERT_TRUE(poller.AddSocket(pair.client.get(), ZOVNET::POLL_SEND));
        const auto start = Clock::now();
        int left = pair.client->Flush();
        while (left > 0 && MillisecondsSince(start) < 10000) {
            if (poller.WaitSockets(100) == 1) {
                EXPECT_NE(poller.Ready(0).events & ZOVNET::POLL_SEND, 0u);
            }
            left = pair.client->Flush();
        }
        EXPECT_EQ(left, 0);
        EXPECT_EQ(pair.client->Queued(), 0u);
        // Nothing more is coming: the peer sees the end once everything expected is in.
        pair.client->ShutDown(ZovSocket::SOCK_SEND);
        reader.join();
        ASSERT_EQ(received.size(), expected.size());
        EXPECT_TRUE(received == expected) << "frames cut, reordered or mixed";
    }

    zovtest::ClientAndPeer pair;
    Bytes expected;
    unsigned int seq = 0;
};

TEST_F(SendQueue, FramesQueuedAgainstAPeerThatDoesNotReadArriveWholeAndInOrder) {
    FillQueue();
    const unsigned int queued = pair.client->Queued();
    for (int i = 0; i < 40; ++i)
        SendFrame(1000);
    EXPECT_GT(pair.client->Queued(), queued);
    EXPECT_EQ(pair.client->Flush(), static_cast<int>(pair.client->Queued()))
        << "a peer that does not read took more";
    DrainAndCheck();
    EXPECT_EQ(pair.client->State(), 1u);
}

TEST_F(SendQueue, PacketThatWouldPassTheLimitIsRefusedWhole) {
    FillQueue();
    // The send flushes first, which may move a few bytes of the queue, never 30000.
    const unsigned int queued = pair.client->Queued();
    pair.client->SetSendLimit(queued);
    EXPECT_EQ(pair.client->SendLimit(), queued);
    ZovNetPacket tooBig = Frame(9999, 30000);
    EXPECT_EQ(pair.client->Send(&tooBig), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_WOULD_BLOCK);
    EXPECT_LE(pair.client->Queued(), queued) << "part of the refused packet was queued";

    pair.client->SetSendLimit(pair.client->Queued() + 1000);
    SendFrame(50);   // fits under the limit
    DrainAndCheck(); // the refused frame is nowhere in the stream
}

TEST_F(SendQueue, EmptyQueueTakesAPacketLargerThanTheLimit) {
    pair.client->SetSendLimit(10);
    SendFrame(65532); // larger than the buffers: most of it waits in the queue
    const unsigned int queued = pair.client->Queued();
    ASSERT_GT(queued, 10u);
    ZovNetPacket small = Frame(9999, 4);
    EXPECT_EQ(pair.client->Send(&small), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_WOULD_BLOCK);
    EXPECT_LE(pair.client->Queued(), queued);
    DrainAndCheck();
}

TEST_F(SendQueue, RawSendNeverOvertakesQueuedBytes) {
    FillQueue();
    unsigned char raw[3] = {0, 3, 0x77};
    EXPECT_EQ(pair.client->Send(raw, sizeof raw), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_WOULD_BLOCK);
    EXPECT_GT(pair.client->Queued(), 0u);

    // Once the queue is out, the raw bytes follow it.
    Bytes received;
    std::thread reader(
        [&] { received = zovtest::ReceiveBytes(pair.peer.Get(), expected.size(), 10000); });
    int result = -1;
    const auto start = Clock::now();
    while (MillisecondsSince(start) < 10000) {
        result = pair.client->Send(raw, sizeof raw);
        if (result != -1 || ZovNet::LastError() != ZOVNET::ERRCODE_WOULD_BLOCK)
            break;
        zovtest::PollOne(static_cast<int>(pair.client->Descriptor()), POLLOUT, 100);
    }
    reader.join();
    EXPECT_EQ(result, 3);
    EXPECT_TRUE(received == expected);
    EXPECT_EQ(zovtest::Hex(zovtest::ReceiveBytes(pair.peer.Get(), 3)), "00 03 77");
}

TEST_F(SendQueue, TurningBlockingSendsTheQueueFirst) {
    FillQueue();
    Bytes received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        received = zovtest::ReceiveBytes(pair.peer.Get(), expected.size(), 10000);
    });
    EXPECT_TRUE(pair.client->SetBlocking(true));
    EXPECT_EQ(pair.client->Queued(), 0u);
    reader.join();
    EXPECT_TRUE(received == expected);
    EXPECT_TRUE(pair.client->IsBlocking());
    EXPECT_TRUE(DescriptorBlocks(*pair.client));
    EXPECT_EQ(pair.client->State(), 3u);
}

TEST_F(SendQueue, FlushAfterAResetDropsTheQueueAndEndsSending) {
    FillQueue();
    zovtest::ResetClose(pair.peer);
    int left = 1;
    const auto start = Clock::now();
    while (left > 0 && MillisecondsSince(start) < 5000) {
        zovtest::PollOne(static_cast<int>(pair.client->Descriptor()), POLLOUT, 100);
        left = pair.client->Flush();
    }
    EXPECT_EQ(left, -1);
    EXPECT_EQ(pair.client->Queued(), 0u);
    EXPECT_EQ(pair.client->State() & ZovSocket::SOCK_SEND, 0u);
    ZovNetPacket p = Frame(1, 4);
    EXPECT_EQ(pair.client->Send(&p), -1);
    EXPECT_EQ(pair.client->Queued(), 0u);
}

// --------------------------------------------------------------------------------------------
// Connect with a time-out, and again after a failure
// --------------------------------------------------------------------------------------------

// A loopback listener that never accepts and whose queue of connections is full, so that the
// system drops a new connection request instead of answering it. The fillers hold the queue.
struct FullListener {
    RawFd listener;
    std::vector<RawFd> fillers;
    unsigned short port = 0;
};

FullListener FillBacklog() {
    FullListener full;
    full.listener = zovtest::RawBound(false);
    if (!full.listener.Valid() || ::listen(full.listener.Get(), 0) != 0)
        return FullListener();
    full.port = zovtest::LocalPort(full.listener.Get());
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = Loopback();
    addr.sin_port = full.port;
    for (int i = 0; i < 64; ++i) {
        RawFd fd(zovtest::Socket(AF_INET, SOCK_STREAM | zovtest::kSockCloexec, 0));
        if (!fd.Valid() || !zovtest::SetNonBlocking(fd.Get()))
            return FullListener();
        ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        const bool answered = zovtest::PollOne(fd.Get(), POLLOUT, 300) == 1;
        full.fillers.push_back(std::move(fd));
        if (!answered)
            return full; // this request went unanswered: the queue is full
    }
    return FullListener(); // the system answers every request
}

struct ModeCase {
    const char* name;
    bool blocking;
    unsigned int timeout;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << c.name;
}

class ConnectInMode : public zovtest::NetTest, public ::testing::WithParamInterface<ModeCase> {
protected:
    // Connects `client` to a listening server and checks the connection and the mode.
    void ExpectConnects(ZovTCPSocketClient& client, unsigned int timeout) {
        ZovTCPSocketServer server;
        bool connected = false;
        EXPECT_EQ(zovtest::StderrOf(
                      [&] { connected = client.Connect(Loopback(), server.Port(), timeout); }),
                  "");
        ASSERT_TRUE(connected);
        EXPECT_EQ(client.State(), 3u);
        EXPECT_EQ(client.GetDestPort(), server.Port());
        EXPECT_EQ(client.IsBlocking(), GetParam().blocking);
        EXPECT_EQ(DescriptorBlocks(client), GetParam().blocking);
        ASSERT_TRUE(zovtest::WaitReadable(static_cast<int>(server.Descriptor()), 5000));
        std::unique_ptr<ZovTCPSocketClient> accepted(server.Accept());
        ASSERT_NE(accepted, nullptr);
        EXPECT_EQ(accepted->GetDestPort(), client.Port());
        EXPECT_EQ(client.Port(), zovtest::LocalPort(static_cast<int>(client.Descriptor())));
        ZovNetPacket out = Frame(7, 8);
        EXPECT_EQ(client.Send(&out), out.Length());
        ZovNetPacket in;
        zovtest::SetReceiveTimeout(accepted->Descriptor(), 5000);
        EXPECT_EQ(accepted->Receive(&in), out.Length());
    }
};

TEST_P(ConnectInMode, ConnectsAndKeepsTheMode) {
    ZovTCPSocketClient client;
    ASSERT_TRUE(client.SetBlocking(GetParam().blocking));
    const unsigned int descriptor = client.Descriptor();
    ExpectConnects(client, GetParam().timeout);
    EXPECT_EQ(client.Descriptor(), descriptor) << "a first connect needs no new descriptor";
}

TEST_P(ConnectInMode, ConnectsAgainAfterARefusal) {
    RawFd refusing = zovtest::RawBound(false);
    ASSERT_TRUE(refusing.Valid());
    ZovTCPSocketClient client;
    ASSERT_TRUE(client.SetBlocking(GetParam().blocking));
    const unsigned int descriptor = client.Descriptor();
    const unsigned short port = client.Port();

    bool connected = true;
    EXPECT_EQ(zovtest::StderrOf([&] {
                  connected = client.Connect(Loopback(), zovtest::LocalPort(refusing.Get()),
                                             GetParam().timeout);
              }),
              kConnectWarning);
    EXPECT_FALSE(connected);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_CONNECTION_REFUSED);
    EXPECT_EQ(client.State(), 0u);
    EXPECT_EQ(client.Descriptor(), descriptor) << "the failure itself replaced the descriptor";
    EXPECT_EQ(client.IsBlocking(), GetParam().blocking);

    ExpectConnects(client, GetParam().timeout);
    EXPECT_NE(client.Descriptor(), descriptor);
    EXPECT_EQ(client.Port(), port) << "the new descriptor left from another port";
}

TEST_P(ConnectInMode, GivesUpAfterTheTimeOutAndConnectsAgain) {
    const unsigned int timeout = GetParam().timeout == 0 ? 300 : GetParam().timeout;
    FullListener full = FillBacklog();
    if (full.port == 0)
        GTEST_SKIP() << "the system answers every connection request to a listener that does not "
                        "accept, so no connect can run out of time on loopback";
    ZovTCPSocketClient client;
    ASSERT_TRUE(client.SetBlocking(GetParam().blocking));
    bool connected = true;
    const auto start = Clock::now();
    EXPECT_EQ(
        zovtest::StderrOf([&] { connected = client.Connect(Loopback(), full.port, timeout); }),
        kConnectWarning);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_FALSE(connected);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_TIMED_OUT);
    EXPECT_GE(elapsed, static_cast<long long>(timeout) - 50) << "gave up before the time-out";
    EXPECT_LT(elapsed, 10000) << "did not give up";
    EXPECT_EQ(client.State(), 0u);
    EXPECT_EQ(client.IsBlocking(), GetParam().blocking);
    ExpectConnects(client, GetParam().timeout);
}

INSTANTIATE_TEST_SUITE_P(Modes, ConnectInMode,
                         ::testing::Values(ModeCase{"Blocking", true, 0},
                                           ModeCase{"BlockingWithTimeOut", true, 2000},
                                           ModeCase{"NonBlocking", false, 0},
                                           ModeCase{"NonBlockingWithTimeOut", false, 2000}),
                         [](const ::testing::TestParamInfo<ModeCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(NonBlockingTest, ConnectOnAConnectedClientKeepsItsConnection) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ZovTCPSocketServer other;
    const unsigned int descriptor = pair.client->Descriptor();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        bool connected = true;
        EXPECT_EQ(zovtest::StderrOf(
                      [&] { connected = pair.client->Connect(Loopback(), other.Port(), 1000); }),
                  kConnectWarning);
        EXPECT_FALSE(connected);
        EXPECT_EQ(pair.client->Descriptor(), descriptor);
        EXPECT_EQ(pair.client->State(), 3u);
    }
    ZovNetPacket out = Frame(3, 4);
    EXPECT_EQ(pair.client->Send(&out), out.Length());
    EXPECT_EQ(zovtest::ReceiveBytes(pair.peer.Get(), out.Length()).size(), out.Length());
}

} // namespace
