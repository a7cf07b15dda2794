// The chat server example driven over loopback: the program runs as a child process on a port of
// the system's choice, and several clients of this test talk through it.
#include "ChildProcess.h"
#include "TestSupport.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char kWelcomeType = 255;
constexpr int kWaitMs = 5000;

// The server process: started with its output on a pipe, and always gone when this object is.
class ChatServer {
public:
    // Starts the program and reads the port from its first line.
    void Start(std::vector<std::string> options) {
#ifdef CHAT_SERVER_PATH
        std::vector<std::string> args{CHAT_SERVER_PATH};
        args.insert(args.end(), options.begin(), options.end());
        ASSERT_TRUE(m_process.Start(args)) << "cannot start " << args[0];

        std::string line;
        ASSERT_TRUE(m_process.ReadLine(line, kWaitMs)) << "the server printed no port";
        unsigned int number = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "listening on port %u", &number), 1) << line;
        ASSERT_GT(number, 0u);
        ASSERT_LT(number, 65536u);
        const unsigned char bytes[2] = {static_cast<unsigned char>(number >> 8),
                                        static_cast<unsigned char>(number)};
        std::memcpy(&m_port, bytes, sizeof m_port);
#else
        (void)options;
        FAIL() << "the path of the chat server is unknown";
#endif
    }

    unsigned short Port() const {
        return m_port;
    }

    // The next line of the server's log, or an empty string after the wait (a failure).
    std::string NextLine() {
        std::string line;
        EXPECT_TRUE(m_process.ReadLine(line, kWaitMs)) << "the server printed nothing more";
        return line;
    }

    // Waits at most `milliseconds` for the process to end.
    bool WaitExit(int milliseconds, zovtest::ExitStatus& status) {
        return m_process.WaitExit(milliseconds, status);
    }

private:
    zovtest::ChildProcess m_process;
    unsigned short m_port = 0;
};

class ChatTest : public zovtest::NetTest {
protected:
    void SetUp() override {
#ifndef CHAT_SERVER_PATH
        GTEST_SKIP() << "built without the examples";
#endif
        NetTest::SetUp();
    }

    // Connects a client (to 127.0.0.1 unless told) and waits for its welcome, which says how
    // many are connected now.
    std::unique_ptr<ZovTCPSocketClient> Join(unsigned int expectedCount) {
        return Join(expectedCount, ZovAddress(zovtest::Loopback()));
    }
    std::unique_ptr<ZovTCPSocketClient> Join(unsigned int expectedCount, const ZovAddress& to) {
        unsigned short anyPort = 0;
        auto client = std::make_unique<ZovTCPSocketClient>(anyPort, to, server.Port());
        EXPECT_EQ(client->State(), static_cast<unsigned int>(ZovSocket::SOCK_BOTH));
        zovtest::SetReceiveTimeout(client->Descriptor(), kWaitMs);
        ZovNetPacket welcome;
        const int got = client->Receive(&welcome);
        if (got != 5) {
            ADD_FAILURE() << "no welcome: " << got;
            return client;
        }
        EXPECT_EQ(welcome.Type(), kWelcomeType);
        EXPECT_EQ(welcome.ReadInt16(), expectedCount);
        return client;
    }

    ChatServer server;
};

ZovNetPacket Message(unsigned char type, unsigned int value, const char* text) {
    ZovNetPacket p(type, 16);
    p.AddInt32(value);
    p.AddBin(text, static_cast<unsigned int>(std::strlen(text)));
    return p;
}

// The next packet `client` receives must be `expected`, byte for byte.
void ExpectNext(ZovTCPSocketClient& client, ZovNetPacket expected, const char* who) {
    ZovNetPacket got;
    ASSERT_EQ(client.Receive(&got), expected.Length()) << who;
    const unsigned char* want = expected.Data();
    const unsigned char* have = got.Data();
    EXPECT_EQ(std::vector<unsigned char>(have, have + got.Length()),
              std::vector<unsigned char>(want, want + expected.Length()))
        << who;
}

TEST_F(ChatTest, PacketReachesEveryOtherClientButNotItsSender) {
    ASSERT_NO_FATAL_FAILURE(server.Start({"--max-seconds", "60"}));
    auto a = Join(1);
    auto b = Join(2);
    auto c = Join(3);
    ASSERT_FALSE(HasFailure());

    ZovNetPacket fromA = Message(7, 0xC0FFEE, "hello from a");
    ASSERT_EQ(a->Send(&fromA), fromA.Length());
    ExpectNext(*b, fromA, "b");
    ExpectNext(*c, fromA, "c");

    // Had a's own packet come back to it, it would arrive before b's.
    ZovNetPacket fromB = Message(8, 2, "b here");
    ASSERT_EQ(b->Send(&fromB), fromB.Length());
    ExpectNext(*a, fromB, "a");
    ExpectNext(*c, fromB, "c");

    ZovNetPacket fromC = Message(9, 3, "");
    ASSERT_EQ(c->Send(&fromC), fromC.Length());
    ExpectNext(*a, fromC, "a");
    ExpectNext(*b, fromC, "b");
}

// One listening socket takes both families, and packets cross between them both ways; the log
// names each client in its family's form, the IPv4 one by its IPv4 address.
TEST_F(ChatTest, DualStackServerRelaysBetweenIPv4AndIPv6Clients) {
    ASSERT_NO_FATAL_FAILURE(server.Start({"--max-seconds", "60"}));
    auto v4 = Join(1, ZovAddress::Loopback4());
    auto v6 = Join(2, ZovAddress::Loopback6());
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(v4->PeerAddress(), ZovAddress::Loopback4());
    EXPECT_EQ(v6->PeerAddress(), ZovAddress::Loopback6());

    ZovNetPacket fromV4 = Message(7, 4, "over IPv4");
    ASSERT_EQ(v4->Send(&fromV4), fromV4.Length());
    ExpectNext(*v6, fromV4, "the IPv6 client");
    ZovNetPacket fromV6 = Message(8, 6, "over IPv6");
    ASSERT_EQ(v6->Send(&fromV6), fromV6.Length());
    ExpectNext(*v4, fromV6, "the IPv4 client");

    const auto port = [](const ZovTCPSocketClient& c) {
        unsigned char bytes[2];
        const unsigned short p = c.Port();
        std::memcpy(bytes, &p, sizeof bytes);
        return std::to_string(bytes[0] * 256u + bytes[1]);
    };
    EXPECT_EQ(server.NextLine(), "client 1 joined from 127.0.0.1:" + port(*v4) + " (1 connected)");
    EXPECT_EQ(server.NextLine(), "client 2 joined from [::1]:" + port(*v6) + " (2 connected)");
}

TEST_F(ChatTest, LeavingClientIsDroppedAndTheServerCarriesOn) {
    ASSERT_NO_FATAL_FAILURE(server.Start({"--max-seconds", "60", "--idle-exit-ms", "200"}));
    auto a = Join(1);
    auto b = Join(2);
    auto c = Join(3);
    ASSERT_FALSE(HasFailure());

    c.reset();
    ZovNetPacket fromA = Message(7, 1, "c has gone");
    ASSERT_EQ(a->Send(&fromA), fromA.Length());
    ExpectNext(*b, fromA, "b");

    // The newcomer is counted with a and b only.
    auto d = Join(3);
    ASSERT_FALSE(HasFailure());
    ZovNetPacket fromD = Message(10, 4, "d joined");
    ASSERT_EQ(d->Send(&fromD), fromD.Length());
    ExpectNext(*a, fromD, "a");
    ExpectNext(*b, fromD, "b");

    // Once everybody has left, the idle limit ends the server normally.
    a.reset();
    b.reset();
    d.reset();
    zovtest::ExitStatus status;
    ASSERT_TRUE(server.WaitExit(kWaitMs * 2, status)) << "the server did not stop when idle";
    ASSERT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);
}

TEST_F(ChatTest, ClientStalledInMidPacketHoldsNobodyUp) {
    ASSERT_NO_FATAL_FAILURE(server.Start({"--max-seconds", "3"}));
    auto a = Join(1);
    auto b = Join(2);
    auto stalled = Join(3);
    ASSERT_FALSE(HasFailure());

    // One byte of a length field, and then nothing.
    unsigned char first = 0x00;
    ASSERT_EQ(stalled->Send(&first, 1), 1);

    const auto start = Clock::now();
    ZovNetPacket fromA = Message(7, 1, "still there?");
    ASSERT_EQ(a->Send(&fromA), fromA.Length());
    ExpectNext(*b, fromA, "b");
    ZovNetPacket fromB = Message(8, 2, "yes");
    ASSERT_EQ(b->Send(&fromB), fromB.Length());
    ExpectNext(*a, fromB, "a");
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kWaitMs));

    // The stalled client was dropped (after the packets relayed to it before that), and the time
    // limit still ends the server.
    int result = 1;
    for (int i = 0; i < 4 && result > 0; ++i) {
        ZovNetPacket packet;
        result = stalled->Receive(&packet);
    }
    EXPECT_LE(result, 0) << "the stalled client is still served";
    zovtest::ExitStatus status;
    ASSERT_TRUE(server.WaitExit(kWaitMs * 2, status)) << "the server outlived its time limit";
    ASSERT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);
}

TEST_F(ChatTest, ServerStopsAtItsTimeLimit) {
    ASSERT_NO_FATAL_FAILURE(server.Start({"--max-seconds", "1"}));
    zovtest::ExitStatus status;
    ASSERT_TRUE(server.WaitExit(kWaitMs * 2, status)) << "the server outlived its time limit";
    ASSERT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);
}

} // namespace
