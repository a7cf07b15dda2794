// Why a call failed (ZovNet::LastError, ZovNet::ErrorText) and where the reports go
// (ZovNet::SetReportHandler): the code after each kind of failure, on both systems, and a handler
// that takes warnings, the packet's mismatch line and the fatal report.
#include "RawSocket.h"
#include "TestSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using zovtest::Loopback;
using zovtest::RawFd;

// A name no resolver answers without asking a name server, and none is asked: a label over 63
// characters is refused before any query.
const std::string kUnresolvable = std::string(64, 'z') + ".invalid";

class LastErrorTest : public zovtest::NetTest {};

// The code a fresh thread sees, and what a failure on one thread leaves on the others.
TEST_F(LastErrorTest, IsPerThreadAndZeroBeforeAnyFailure) {
    int fresh = -1;
    std::thread([&] { fresh = ZovNet::LastError(); }).join();
    EXPECT_EQ(fresh, ZOVNET::ERRCODE_NONE);

    unsigned int addr = 0;
    ASSERT_FALSE(ZovNet::GetInstance()->StringToAddr("not an address", addr));
    ASSERT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_INVALID_ARGUMENT);
    int other = -1;
    std::thread([&] { other = ZovNet::LastError(); }).join();
    EXPECT_EQ(other, ZOVNET::ERRCODE_NONE);
}

// The system's own error of the thread (WSAGetLastError on Windows, errno on POSIX) belongs to the
// application and to the library's next look at it: reading or recording the library's error
// leaves it alone.
TEST_F(LastErrorTest, LeavesTheSystemsErrorAlone) {
    zovtest::SetLastSocketError(12345);
    (void)ZovNet::LastError();
    EXPECT_EQ(zovtest::LastSocketError(), 12345);
    unsigned int addr = 0;
    EXPECT_FALSE(ZovNet::GetInstance()->StringToAddr("not an address", addr));
    EXPECT_EQ(zovtest::LastSocketError(), 12345);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_INVALID_ARGUMENT);
    EXPECT_EQ(zovtest::LastSocketError(), 12345);
}

TEST_F(LastErrorTest, RefusedConnect) {
    // Bound but not listening: every connection is refused while the port stays reserved.
    RawFd refusing = zovtest::RawBound(false);
    ASSERT_TRUE(refusing.Valid());
    const unsigned short anyPort = 0;
    std::unique_ptr<ZovTCPSocketClient> client;
    const std::string warning = zovtest::StderrOf([&] {
        client = std::make_unique<ZovTCPSocketClient>(anyPort, Loopback(),
                                                      zovtest::LocalPort(refusing.Get()));
    });
    // The warning keeps its text; the detail comes from LastError, which the warning's own
    // output did not disturb, nor does deleting the unconnected object.
    EXPECT_EQ(warning, "Warning: Can not connect to remote host\n");
    EXPECT_EQ(client->State(), 0u);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_CONNECTION_REFUSED);
    EXPECT_STREQ(ZovNet::ErrorText(ZovNet::LastError()), "connection refused");
    client.reset();
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_CONNECTION_REFUSED);
}

TEST_F(LastErrorTest, ReceiveTimeOut) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    // The peer sends nothing: both receives run out of their 100 ms.
    zovtest::SetReceiveTimeout(pair.client->Descriptor(), 100);
    unsigned char byte = 0;
    EXPECT_EQ(pair.client->Receive(&byte, 1), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_TIMED_OUT);
    EXPECT_STREQ(ZovNet::ErrorText(ZovNet::LastError()), "timed out");

    unsigned int addr = 0;
    ASSERT_FALSE(ZovNet::GetInstance()->StringToAddr("x", addr)); // another code in between
    ZovNetPacket packet;
    EXPECT_EQ(pair.client->Receive(&packet), -1);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_TIMED_OUT);
}

// Transfers refused by the socket's gate, or for a null packet, before any system call.
TEST_F(LastErrorTest, ClosedGateAndNullPacket) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ZovTCPSocketClient& shut = *pair.client;
    zovtest::StderrOf([&] { shut.ShutDown(ZovSocket::SOCK_RECEIVE); });
    ASSERT_EQ(shut.State(), static_cast<unsigned int>(ZovSocket::SOCK_SEND));

    ZovTCPSocketClient unconnected; // bound, never connected
    ZovUDPSocket udp;
    zovtest::StderrOf([&] { udp.ShutDown(ZovSocket::SOCK_RECEIVE); });
    ASSERT_EQ(udp.State(), static_cast<unsigned int>(ZovSocket::SOCK_SEND));

    ZovNetPacket packet(7, 2);
    unsigned char bytes[4] = {0, 0, 0, 0};
    struct Case {
        const char* name;
        std::function<int()> call;
        int code;
    };
    const Case cases[] = {
        {"unconnected TCP send", [&] { return unconnected.Send(bytes, 4); },
         ZOVNET::ERRCODE_NOT_CONNECTED},
        {"unconnected TCP packet receive", [&] { return unconnected.Receive(&packet); },
         ZOVNET::ERRCODE_NOT_CONNECTED},
        {"TCP send after the receive side was shut", [&] { return shut.Send(&packet); },
         ZOVNET::ERRCODE_SHUT_DOWN},
        {"TCP receive after the receive side was shut", [&] { return shut.Receive(bytes, 4); },
         ZOVNET::ERRCODE_SHUT_DOWN},
        {"UDP send after the receive side was shut",
         [&] { return udp.Send(&packet, Loopback(), udp.Port()); }, ZOVNET::ERRCODE_SHUT_DOWN},
        {"UDP packet receive after the receive side was shut", [&] { return udp.Receive(&packet); },
         ZOVNET::ERRCODE_SHUT_DOWN},
        {"TCP send of a null packet", [&] { return pair.client->Send(nullptr); },
         ZOVNET::ERRCODE_NULL_ARGUMENT},
        {"UDP send of a null packet", [&] { return udp.Send(nullptr, Loopback(), udp.Port()); },
         ZOVNET::ERRCODE_NULL_ARGUMENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(ZovNet::LastError(), c.code);
    }
}

TEST_F(LastErrorTest, BadAddresses) {
    ZovNet* net = ZovNet::GetInstance();
    unsigned int addr = 0;
    EXPECT_FALSE(net->StringToAddr("127.0.0.256", addr));
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_INVALID_ARGUMENT);

    // The address 0 is refused before the system is asked.
    ZovTCPSocketClient client;
    EXPECT_FALSE(client.Connect(0, htons(80)));
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE);

    // A name that does not resolve gives one of the resolver's codes, each with its own text.
    EXPECT_FALSE(net->NameToAddr(kUnresolvable.c_str(), &addr));
    const int lookup = ZovNet::LastError();
    EXPECT_GE(lookup, ZOVNET::ERRCODE_HOST_NOT_FOUND);
    EXPECT_LE(lookup, ZOVNET::ERRCODE_HOST_NOT_FOUND + 3);
    EXPECT_STRNE(ZovNet::ErrorText(lookup), "unknown error");

    char text[16];
    EXPECT_FALSE(net->AddrToString(Loopback(), text, 0));
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_INVALID_ARGUMENT);
}

TEST_F(LastErrorTest, PortInUseIsTheSystemsCode) {
    ZovTCPSocketServer first;
    ASSERT_EQ(first.State(), static_cast<unsigned int>(ZovSocket::SOCK_RECEIVE));
    std::unique_ptr<ZovTCPSocketServer> second;
    const std::string warning =
        zovtest::StderrOf([&] { second = std::make_unique<ZovTCPSocketServer>(first.Port()); });
    EXPECT_EQ(warning, "Warning: Can not bind TCP socket to local port\n");
    EXPECT_EQ(second->Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_ADDRESS_IN_USE);
    EXPECT_STREQ(ZovNet::ErrorText(ZovNet::LastError()), "address already in use");
}

TEST(LastErrorNotStarted, EveryServiceBeforeInit) {
    delete ZovNet::GetInstance();
    ZovNet* net = ZovNet::GetInstance();
    unsigned int addr = 0;
    EXPECT_FALSE(net->StringToAddr("127.0.0.1", addr));
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_NOT_STARTED);
    EXPECT_STREQ(ZovNet::ErrorText(ZOVNET::ERRCODE_NOT_STARTED), "network layer not started");
    ASSERT_TRUE(net->Init());
}

TEST(ErrorText, KnowsEveryDocumentedCode) {
    EXPECT_STREQ(ZovNet::ErrorText(0), "no error");
    EXPECT_STREQ(ZovNet::ErrorText(-1), "unknown error");
    EXPECT_STREQ(ZovNet::ErrorText(424242), "unknown error");
    const int documented[] = {
        ZOVNET::ERRCODE_NOT_STARTED,        ZOVNET::ERRCODE_NULL_ARGUMENT,
        ZOVNET::ERRCODE_INVALID_ARGUMENT,   ZOVNET::ERRCODE_WOULD_BLOCK,
        ZOVNET::ERRCODE_ADDRESS_IN_USE,     ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE,
        ZOVNET::ERRCODE_CONNECTION_RESET,   ZOVNET::ERRCODE_NOT_CONNECTED,
        ZOVNET::ERRCODE_SHUT_DOWN,          ZOVNET::ERRCODE_TIMED_OUT,
        ZOVNET::ERRCODE_CONNECTION_REFUSED, ZOVNET::ERRCODE_CONNECTION_CLOSED,
        ZOVNET::ERRCODE_HOST_NOT_FOUND,
    };
    std::vector<std::string> seen;
    for (int code : documented) {
        SCOPED_TRACE(code);
        const std::string text = ZovNet::ErrorText(code);
        EXPECT_NE(text, "unknown error");
        EXPECT_EQ(std::find(seen.begin(), seen.end(), text), seen.end()) << "text used twice";
        seen.push_back(text);
    }
}

// --------------------------------------------------------------------------------------------
// Report handler
// --------------------------------------------------------------------------------------------

struct Report {
    std::string title;
    std::string text;
    bool operator==(const Report& other) const {
        return title == other.title && text == other.text;
    }
};

std::ostream& operator<<(std::ostream& os, const Report& r) {
    return os << r.title << ": " << r.text;
}

std::mutex g_reportsMutex;
std::vector<Report> g_reports;

void Collect(const char* title, const char* text) {
    std::lock_guard<std::mutex> lock(g_reportsMutex);
    g_reports.push_back({title, text});
}

class ReportHandlerTest : public zovtest::NetTest {
protected:
    void SetUp() override {
        zovtest::NetTest::SetUp();
        std::lock_guard<std::mutex> lock(g_reportsMutex);
        g_reports.clear();
    }
    void TearDown() override { ZovNet::SetReportHandler(nullptr); }

    static std::vector<Report> Reports() {
        std::lock_guard<std::mutex> lock(g_reportsMutex);
        return g_reports;
    }
};

// A warning the library raises: the bind of a second server to a port in use.
void RaiseWarning(const ZovTCPSocketServer& first) {
    ZovTCPSocketServer second(first.Port());
}

TEST_F(ReportHandlerTest, TakesWarningsUntilTheDefaultIsRestored) {
    ZovTCPSocketServer first;
    ZovNet::SetReportHandler(Collect);
    EXPECT_EQ(zovtest::StderrOf([&] { RaiseWarning(first); }), "");
    EXPECT_EQ(Reports(),
              (std::vector<Report>{{"Warning", "Can not bind TCP socket to local port"}}));
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_ADDRESS_IN_USE);

    ZovNet::SetReportHandler(nullptr);
    EXPECT_EQ(zovtest::StderrOf([&] { RaiseWarning(first); }),
              "Warning: Can not bind TCP socket to local port\n");
    EXPECT_EQ(Reports().size(), 1u);
}

TEST_F(ReportHandlerTest, TakesThePacketsMismatchLine) {
    ZovNet::SetReportHandler(Collect);
    const unsigned char bytes[] = {0x00, 0x09, 0x07, 0x02};
    ZovNetPacket packet;
    EXPECT_EQ(zovtest::StdoutOf([&] { packet.WritePacket(bytes, sizeof bytes); }), "");
    EXPECT_EQ(Reports(), (std::vector<Report>{{"Notice", "WritePacket: size(4) != usize(9)\n"}}));

    // By default the line goes to standard output, as it always has.
    ZovNet::SetReportHandler(nullptr);
    EXPECT_EQ(zovtest::StdoutOf([&] { packet.WritePacket(bytes, sizeof bytes); }),
              "WritePacket: size(4) != usize(9)\n");
}

// A handler that fails a library call and raises a warning of its own: that warning takes the
// default way (no recursion), and the failure the application is told about is still the first.
std::atomic<int> g_nestedCalls{0};
ZovTCPSocketServer* g_busyPort = nullptr;

void Reentering(const char* title, const char* text) {
    Collect(title, text);
    if (g_nestedCalls++ == 0)
        RaiseWarning(*g_busyPort);
}

TEST_F(ReportHandlerTest, MayCallTheLibraryWithoutRecursionOrChangingLastError) {
    RawFd refusing = zovtest::RawBound(false);
    ASSERT_TRUE(refusing.Valid());
    ZovTCPSocketServer busy;
    g_busyPort = &busy;
    g_nestedCalls = 0;
    ZovNet::SetReportHandler(Reentering);
    const std::string stderrText = zovtest::StderrOf([&] {
        const unsigned short anyPort = 0;
        ZovTCPSocketClient client(anyPort, Loopback(), zovtest::LocalPort(refusing.Get()));
        EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_CONNECTION_REFUSED);
    });
    EXPECT_EQ(stderrText, "Warning: Can not bind TCP socket to local port\n");
    EXPECT_EQ(Reports(), (std::vector<Report>{{"Warning", "Can not connect to remote host"}}));
    EXPECT_EQ(g_nestedCalls, 1);
    g_busyPort = nullptr;
}

// Each report reaches the handler on the thread that raised it, also when threads report at once.
TEST_F(ReportHandlerTest, RunsOnTheReportingThread) {
    static std::mutex mutex;
    static std::vector<std::pair<std::thread::id, std::string>> seen;
    seen.clear();
    ZovNet::SetReportHandler([](const char*, const char* text) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.emplace_back(std::this_thread::get_id(), text);
    });
    ZovTCPSocketServer first;
    std::vector<std::thread> threads;
    std::vector<std::thread::id> ids;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] { RaiseWarning(first); });
    for (std::thread& t : threads) {
        ids.push_back(t.get_id());
        t.join();
    }
    ASSERT_EQ(seen.size(), 4u);
    for (const auto& s : seen) {
        EXPECT_NE(std::find(ids.begin(), ids.end(), s.first), ids.end());
        EXPECT_EQ(s.second, "Can not bind TCP socket to local port");
    }
}

// The debug library's fatal report reaches the handler, and the process still ends with status 1.
TEST(ReportHandlerDeathTest, FatalReportEndsTheProcessAfterTheHandler) {
    if (!zovtest::kDebugLibrary)
        GTEST_SKIP() << "checks exist only in the debug library";
    EXPECT_EXIT(
        {
            ZovNet::SetReportHandler([](const char* title, const char* text) {
                std::fprintf(stderr, "handled %s: %s\n", title, text);
                std::fflush(stderr);
            });
            ZovNet::GetInstance()->Init();
            ZovNet::GetInstance()->CheckName(nullptr);
        },
        ::testing::ExitedWithCode(1),
        zovtest::Ere("^handled Fatal error: hostname != NULL\n\nFile: src/ZovNet\\.cpp\nLine: "
                     "[1-9][0-9]*\n$"));
}

} // namespace
