// ZovSocketSet: its bookkeeping (seen through PrintInfo and the poll results), readiness of real
// loopback sockets, failures of the wait, and descriptor values beyond the system's select limit.
#include "TestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kArrivalMs = 3000;

std::string Listing(const ZovSocketSet& set) {
    return zovtest::StdoutOf([&] { set.PrintInfo(); });
}

std::string ListingOf(std::vector<unsigned int> values) {
    std::string s = "Socket set: ";
    for (unsigned int v : values) {
        char entry[16];
        std::snprintf(entry, sizeof entry, "[%2d] ", static_cast<int>(v));
        s += entry;
    }
    return s + "\n";
}

bool Readable(unsigned int descriptor, int milliseconds) {
    return zovtest::PollOne(static_cast<int>(descriptor), POLLIN, milliseconds) == 1;
}

// --------------------------------------------------------------------------------------------
// Bookkeeping. These descriptor values are only registered and listed, never polled.
// --------------------------------------------------------------------------------------------

struct BookCase {
    const char* name;
    std::vector<int> ops; // a positive value is added, a negative one removed
    std::string listing;
};

TEST(SocketSetBook, ListsRegisteredValuesInAscendingOrder) {
    const BookCase cases[] = {
        {"new set", {}, "Empty socket set.\n"},
        {"ascending, not in registration order", {12, 5}, "Socket set: [ 5] [12] \n"},
        {"removing the top value", {5, 12, 9, -12}, "Socket set: [ 5] [ 9] \n"},
        {"removing the first value closes the gap", {5, 12, 9, -5}, "Socket set: [ 9] [12] \n"},
        {"wider values", {100, 3}, "Socket set: [ 3] [100] \n"},
        {"a duplicate is registered once", {7, 7}, "Socket set: [ 7] \n"},
        {"one removal undoes a duplicate registration", {7, 3, 7, -7}, "Socket set: [ 3] \n"},
        {"removing a value never registered", {5, -3, -6}, "Socket set: [ 5] \n"},
        {"removing the last value, top first", {5, 9, -9, -5}, "Empty socket set.\n"},
        {"removing the last value, bottom first", {5, 9, -5, -9}, "Empty socket set.\n"},
        {"registering again after emptying", {5, -5, 8}, "Socket set: [ 8] \n"},
    };
    for (const BookCase& c : cases) {
        ZovSocketSet set;
        for (int op : c.ops) {
            if (op > 0)
                set.AddSocket(static_cast<unsigned int>(op));
            else
                set.RemoveSocket(static_cast<unsigned int>(-op));
        }
        EXPECT_EQ(Listing(set), c.listing) << c.name;
    }
}

// Registers 10, 11, ..., 73: a full set.
void Fill(ZovSocketSet& set, std::vector<unsigned int>& values) {
    for (unsigned int v = 10; v < 74; ++v) {
        set.AddSocket(v);
        values.push_back(v);
    }
}

TEST(SocketSetBook, HoldsAtMost64Descriptors) {
    ZovSocketSet set;
    std::vector<unsigned int> values;
    Fill(set, values);
    const std::string full = ListingOf(values);
    EXPECT_EQ(Listing(set), full);

    set.AddSocket(80u); // a 65th, above all others
    set.AddSocket(5u);  // and one below
    EXPECT_EQ(Listing(set), full);

    // A removal makes room again, and only for one.
    set.RemoveSocket(40u);
    set.AddSocket(80u);
    set.AddSocket(5u);
    values.erase(values.begin() + 30);
    values.push_back(80);
    EXPECT_EQ(Listing(set), ListingOf(values));
}

// A 65th value above all others is not registered but raises the bound the set polls and lists
// up to; once every registered value is gone, that bound alone is left, and removing the value
// that raised it empties the set.
TEST(SocketSetBook, Rejected65thValueStillRaisesTheBound) {
    ZovSocketSet set;
    std::vector<unsigned int> values;
    Fill(set, values);
    set.AddSocket(1000u);
    for (unsigned int v : values)
        set.RemoveSocket(v);

    EXPECT_EQ(Listing(set), "Socket set: \n");
    // Nothing to watch: the wait fails rather than block or report a time-out.
    EXPECT_EQ(set.CheckSockets(), -1);
    EXPECT_EQ(set.WaitSockets(100), -1);

    set.RemoveSocket(1000u);
    EXPECT_EQ(Listing(set), "Empty socket set.\n");
    EXPECT_EQ(set.CheckSockets(), 0);
}

// --------------------------------------------------------------------------------------------
// Readiness of real sockets
// --------------------------------------------------------------------------------------------

class SocketSetTest : public zovtest::NetTest {
protected:
    // Sends one small datagram to `to` and waits until it can be read there.
    void Poke(const ZovUDPSocket& to) {
        unsigned char bytes[3] = {0, 3, 1};
        ASSERT_EQ(sender.Send(bytes, sizeof bytes, zovtest::Loopback(), to.Port()), 3);
        ASSERT_TRUE(Readable(to.Descriptor(), kArrivalMs)) << "datagram lost";
    }

    ZovUDPSocket sender;
};

TEST_F(SocketSetTest, NewSetReturnsAtOnceWithoutWaiting) {
    ZovSocketSet set;
    EXPECT_EQ(set.CheckSockets(), 0);
    EXPECT_EQ(set.WaitSockets(0), 0);
    EXPECT_EQ(Listing(set), "Empty socket set.\n");
}

TEST_F(SocketSetTest, ReportsExactlyTheReadySockets) {
    ZovUDPSocket a, b, c, outside;
    ZovSocketSet set;
    set.AddSocket(&a);
    set.AddSocket(&b);
    set.AddSocket(c.Descriptor());
    EXPECT_EQ(set.CheckSockets(), 0);

    ASSERT_NO_FATAL_FAILURE(Poke(b));
    ASSERT_NO_FATAL_FAILURE(Poke(outside));
    EXPECT_EQ(set.WaitSockets(kArrivalMs), 1);
    EXPECT_FALSE(set.CheckSocket(&a));
    EXPECT_TRUE(set.CheckSocket(&b));
    EXPECT_TRUE(set.CheckSocket(b.Descriptor()));
    EXPECT_FALSE(set.CheckSocket(c.Descriptor()));
    EXPECT_FALSE(set.CheckSocket(&outside)) << "never registered";

    ASSERT_NO_FATAL_FAILURE(Poke(a));
    ASSERT_NO_FATAL_FAILURE(Poke(c));
    EXPECT_EQ(set.CheckSockets(), 3);
    EXPECT_TRUE(set.CheckSocket(&a));
    EXPECT_TRUE(set.CheckSocket(&b));
    EXPECT_TRUE(set.CheckSocket(&c));

    ZovNetPacket in;
    ASSERT_EQ(b.Receive(&in), 3);
    EXPECT_EQ(set.CheckSockets(), 2);
    EXPECT_FALSE(set.CheckSocket(&b));
    EXPECT_TRUE(set.CheckSocket(&a));
    EXPECT_TRUE(set.CheckSocket(&c));
}

TEST_F(SocketSetTest, ListeningServerIsReadableWhileAConnectionWaits) {
    ZovTCPSocketServer server;
    ZovSocketSet set;
    set.AddSocket(&server);
    EXPECT_EQ(set.CheckSockets(), 0);
    EXPECT_FALSE(set.CheckSocket(&server));

    unsigned short anyPort = 0;
    ZovTCPSocketClient client(anyPort, zovtest::Loopback(), server.Port());
    ASSERT_EQ(client.State(), static_cast<unsigned int>(ZovSocket::SOCK_BOTH));
    EXPECT_EQ(set.WaitSockets(kArrivalMs), 1);
    EXPECT_TRUE(set.CheckSocket(&server));

    std::unique_ptr<ZovTCPSocketClient> peer(server.Accept());
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(set.CheckSockets(), 0);
    EXPECT_FALSE(set.CheckSocket(&server));
}

TEST_F(SocketSetTest, ConnectionIsReadableOnDataAndOnThePeersClose) {
    ZovTCPSocketServer server;
    unsigned short anyPort = 0;
    auto client = std::make_unique<ZovTCPSocketClient>(anyPort, zovtest::Loopback(), server.Port());
    std::unique_ptr<ZovTCPSocketClient> peer(server.Accept());
    ASSERT_NE(peer, nullptr);
    zovtest::SetReceiveTimeout(peer->Descriptor(), kArrivalMs);
    ZovSocketSet set;
    set.AddSocket(peer.get());
    EXPECT_EQ(set.CheckSockets(), 0);

    ZovNetPacket out(7, 2);
    out.AddInt16(513);
    ASSERT_EQ(client->Send(&out), 5);
    EXPECT_EQ(set.WaitSockets(kArrivalMs), 1);
    EXPECT_TRUE(set.CheckSocket(peer.get()));
    ZovNetPacket in;
    ASSERT_EQ(peer->Receive(&in), 5);
    EXPECT_EQ(set.CheckSockets(), 0);

    client.reset();
    EXPECT_EQ(set.WaitSockets(kArrivalMs), 1);
    EXPECT_TRUE(set.CheckSocket(peer.get()));
    unsigned char byte;
    EXPECT_EQ(peer->Receive(&byte, 1), 0);
    set.RemoveSocket(peer.get());
}

TEST_F(SocketSetTest, SocketWithAnErrorIsReadable) {
    if (zovtest::RunningUnderWine())
        GTEST_SKIP() << "Wine does not pass the port-unreachable answer on to a connected datagram "
                        "socket, which Windows reports as readable with WSAECONNRESET";
    unsigned short nobody;
    {
        ZovUDPSocket gone;
        nobody = gone.Port();
    }
    ZovUDPSocket u;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = zovtest::Loopback();
    to.sin_port = nobody;
    ASSERT_EQ(
        ::connect(static_cast<int>(u.Descriptor()), reinterpret_cast<sockaddr*>(&to), sizeof to),
        0);
    ZovSocketSet set;
    set.AddSocket(&u);
    unsigned char bytes[3] = {0, 3, 1};
    ASSERT_EQ(u.Send(bytes, sizeof bytes), 3);

    EXPECT_EQ(set.WaitSockets(kArrivalMs), 1);
    EXPECT_TRUE(set.CheckSocket(&u));
    zovtest::SetReceiveTimeout(u.Descriptor(), kArrivalMs);
    EXPECT_EQ(u.Receive(bytes, sizeof bytes), -1) << "the refusal is reported by the read";
}

TEST_F(SocketSetTest, WaitWithNothingReadyLastsItsTimeOut) {
    struct Case {
        unsigned int timeout;
        std::chrono::milliseconds atLeast;
    };
    const Case cases[] = {{200, std::chrono::milliseconds(150)},
                          {1100, std::chrono::milliseconds(1050)}};
    ZovUDPSocket quiet;
    ZovSocketSet set;
    set.AddSocket(&quiet);
    for (const Case& c : cases) {
        const auto start = Clock::now();
        EXPECT_EQ(set.WaitSockets(c.timeout), 0) << c.timeout;
        EXPECT_GE(Clock::now() - start, c.atLeast) << c.timeout;
        EXPECT_FALSE(set.CheckSocket(&quiet));
    }
}

#if !defined(_WIN32)
void IgnoreAlarm(int) {}

// The body of the child below: 0 when every wait kept its time-out, 2 otherwise.
int WaitsUnderAnEndlessIntervalTimer() {
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::_Exit(3);
    }).detach();
    struct sigaction action {};
    action.sa_handler = IgnoreAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: every signal interrupts the wait
    ::sigaction(SIGALRM, &action, nullptr);
    const itimerval every50ms{{0, 50000}, {0, 50000}};
    ::setitimer(ITIMER_REAL, &every50ms, nullptr);

    ZovUDPSocket quiet;
    ZovSocketSet set;
    set.AddSocket(&quiet);
    int status = 0;
    for (const long long timeout : {200LL, 1100LL}) {
        const auto start = Clock::now();
        const int result = set.WaitSockets(static_cast<unsigned int>(timeout));
        const long long took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        std::fprintf(stderr, "WaitSockets(%lld): %d after %lld ms\n", timeout, result, took);
        // Generous bounds: most of the time-out at least, and far short of what restarting the
        // whole wait on each signal costs.
        if (result != 0 || took < timeout - 50 || took > timeout + 2000)
            status = 2;
    }
    return status;
}
#endif

// An interval timer interrupts the wait every 50 ms, without SA_RESTART, and never stops: each
// retry must wait only for what is left, or the call never returns. It runs in a child process
// of its own (the timer and the handler belong to the whole process); a watchdog there ends it
// with status 3 if the wait outlives every reasonable bound.
TEST_F(SocketSetTest, WaitUnderSignalsKeepsItsTimeOut) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no interval timer that interrupts a wait";
#else
    EXPECT_EXIT(std::exit(WaitsUnderAnEndlessIntervalTimer()), ::testing::ExitedWithCode(0), "");
#endif
}

// Once the last registration is gone the set stops polling: its answers are those of the last
// real poll, whatever has happened to the sockets since.
TEST_F(SocketSetTest, EmptiedSetKeepsTheLastResult) {
    ZovUDPSocket u;
    ZovSocketSet set;
    set.AddSocket(&u);
    ASSERT_NO_FATAL_FAILURE(Poke(u));
    ASSERT_EQ(set.CheckSockets(), 1);

    set.RemoveSocket(&u);
    EXPECT_EQ(Listing(set), "Empty socket set.\n");
    EXPECT_EQ(set.CheckSockets(), 0);
    EXPECT_EQ(set.WaitSockets(0), 0);
    EXPECT_TRUE(set.CheckSocket(&u));
}

TEST_F(SocketSetTest, AssignmentCopiesRegistrationsAndTheLastResult) {
    ZovUDPSocket ready, quiet, other;
    ZovSocketSet a;
    a.AddSocket(&ready);
    a.AddSocket(&quiet);
    ASSERT_NO_FATAL_FAILURE(Poke(ready));
    ASSERT_EQ(a.CheckSockets(), 1);

    ZovSocketSet b;
    b.AddSocket(&other);
    b = a;
    EXPECT_EQ(Listing(b), Listing(a));
    EXPECT_TRUE(b.CheckSocket(&ready));
    EXPECT_FALSE(b.CheckSocket(&quiet));
    EXPECT_FALSE(b.CheckSocket(&other));

    // Two independent values from now on.
    b.RemoveSocket(&ready);
    EXPECT_EQ(Listing(a), ListingOf({std::min(ready.Descriptor(), quiet.Descriptor()),
                                     std::max(ready.Descriptor(), quiet.Descriptor())}));
    EXPECT_EQ(b.CheckSockets(), 0);
    EXPECT_TRUE(a.CheckSocket(&ready));

    b = ZovSocketSet();
    EXPECT_EQ(Listing(b), "Empty socket set.\n");
}

TEST_F(SocketSetTest, RegisteredDescriptorThatIsNotOpenFailsTheWait) {
    ZovUDPSocket live, gone;
    const unsigned int stale = gone.Descriptor();
    ZovSocketSet set;
    set.AddSocket(&live);
    set.AddSocket(stale);
    gone.ShutDown(ZovSocket::SOCK_BOTH);
    ASSERT_EQ(gone.Descriptor(), ZOVNET::BADSOCKET);
    ASSERT_NO_FATAL_FAILURE(Poke(live));

    EXPECT_EQ(set.CheckSockets(), -1);
    EXPECT_EQ(set.WaitSockets(100), -1);

    set.RemoveSocket(stale);
    EXPECT_EQ(set.CheckSockets(), 1);
}

// Descriptor values at and above 1024 do not fit the system's own select map; the set must take
// them like any other.
TEST_F(SocketSetTest, DescriptorAbove1024IsWatchedSafely) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no descriptor numbers to duplicate a socket onto, and its fd_set "
                    "is a count and an array of handles, not a map indexed by the value";
#else
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit raised = saved;
    if (raised.rlim_cur < 2048) {
        raised.rlim_cur =
            raised.rlim_max == RLIM_INFINITY || raised.rlim_max >= 2048 ? 2048 : raised.rlim_max;
        if (raised.rlim_cur < 2048 || ::setrlimit(RLIMIT_NOFILE, &raised) != 0)
            GTEST_SKIP() << "cannot raise the descriptor limit to 2048";
    }
    int high = 1500;
    while (high < 2040 && ::fcntl(high, F_GETFD) != -1)
        ++high;

    ZovUDPSocket u, low;
    ASSERT_EQ(::dup2(static_cast<int>(u.Descriptor()), high), high);
    const unsigned int h = static_cast<unsigned int>(high);
    ZovSocketSet set;
    set.AddSocket(&low);
    set.AddSocket(h);
    EXPECT_EQ(Listing(set), ListingOf({low.Descriptor(), h}));
    EXPECT_EQ(set.CheckSockets(), 0);

    ASSERT_NO_FATAL_FAILURE(Poke(u)); // the same socket as `high`
    EXPECT_EQ(set.WaitSockets(kArrivalMs), 1);
    EXPECT_TRUE(set.CheckSocket(h));
    EXPECT_FALSE(set.CheckSocket(&low));

    set.RemoveSocket(h);
    EXPECT_EQ(Listing(set), ListingOf({low.Descriptor()}));
    ::close(high);
    ::setrlimit(RLIMIT_NOFILE, &saved);
#endif
}

// --------------------------------------------------------------------------------------------
// Checks of the debug library
// --------------------------------------------------------------------------------------------

// The pointer form of CheckSocket tests the descriptor directly, so a socket without one is
// simply not ready, in both libraries.
TEST_F(SocketSetTest, CheckSocketOfASocketWithoutDescriptorIsFalse) {
    ZovUDPSocket u;
    ZovSocketSet set;
    set.AddSocket(&u);
    ASSERT_EQ(set.CheckSockets(), 0);
    set.RemoveSocket(&u);
    u.ShutDown(ZovSocket::SOCK_BOTH);
    ASSERT_EQ(u.Descriptor(), ZOVNET::BADSOCKET);
    EXPECT_FALSE(set.CheckSocket(&u));
}

std::string FatalReport(const char* expression) {
    return std::string("^Fatal error: ") + expression +
           "\n\nFile: src/ZovSocketSet\\.cpp\nLine: [0-9]+\n$";
}

TEST(SocketSetDeathTest, InvalidArgumentsStopTheDebugLibrary) {
    if (!zovtest::kDebugLibrary)
        GTEST_SKIP() << "only the debug library checks";
    struct Case {
        const char* name;
        std::function<void(ZovSocketSet&, ZovSocket*)> call;
        const char* expression;
    };
    ZovSocket* none = nullptr;
    const Case cases[] = {
        {"AddSocket(BADSOCKET)",
         [](ZovSocketSet& s, ZovSocket*) { s.AddSocket(ZOVNET::BADSOCKET); },
         "s != ZOVNET::BADSOCKET"},
        {"RemoveSocket(BADSOCKET)",
         [](ZovSocketSet& s, ZovSocket*) { s.RemoveSocket(ZOVNET::BADSOCKET); },
         "s != ZOVNET::BADSOCKET"},
        {"CheckSocket(BADSOCKET)",
         [](ZovSocketSet& s, ZovSocket*) { s.CheckSocket(ZOVNET::BADSOCKET); },
         "s != ZOVNET::BADSOCKET"},
        {"AddSocket(null)", [none](ZovSocketSet& s, ZovSocket*) { s.AddSocket(none); },
         "s != NULL"},
        {"RemoveSocket(null)", [none](ZovSocketSet& s, ZovSocket*) { s.RemoveSocket(none); },
         "s != NULL"},
        {"CheckSocket(null)", [none](ZovSocketSet& s, ZovSocket*) { s.CheckSocket(none); },
         "s != NULL"},
        // The pointer forms of AddSocket and RemoveSocket go on to the check of the value.
        {"AddSocket(socket without descriptor)",
         [](ZovSocketSet& s, ZovSocket* closed) { s.AddSocket(closed); }, "s != ZOVNET::BADSOCKET"},
        {"RemoveSocket(socket without descriptor)",
         [](ZovSocketSet& s, ZovSocket* closed) { s.RemoveSocket(closed); },
         "s != ZOVNET::BADSOCKET"},
    };
    for (const Case& c : cases) {
        EXPECT_EXIT(
            {
                ZovNet::GetInstance()->Init();
                ZovUDPSocket closed;
                closed.ShutDown(ZovSocket::SOCK_BOTH);
                ZovSocketSet set;
                c.call(set, &closed);
            },
            ::testing::ExitedWithCode(1), zovtest::Ere(FatalReport(c.expression)))
            << c.name;
    }
}

} // namespace
