// ZovSocketPoller: readiness bits of real loopback sockets, refusals, registrations changed and
// removed while the results of a wait are handled (descriptor numbers reused among them), the
// waits' time-outs, the wake, and ten thousand connections served on one thread.
#include "ManyConnections.h"
#include "RawSocket.h"
#include "TestSupport.h"

#include <ZovNet.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include "ChildProcess.h"

#include <csignal>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using zovtest::Loopback;
using zovtest::RawFd;

constexpr unsigned int R = ZOVNET::POLL_RECEIVE;
constexpr unsigned int S = ZOVNET::POLL_SEND;
constexpr unsigned int C = ZOVNET::POLL_CLOSED;
constexpr unsigned int E = ZOVNET::POLL_ERROR;

constexpr int kArrivalMs = 3000;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<ZovPollEvent> Entries(const ZovSocketPoller& poller, int n) {
    std::vector<ZovPollEvent> entries;
    for (int i = 0; i < n; ++i)
        entries.push_back(poller.Ready(i));
    return entries;
}

// Waits (bounded) until a wait reports `descriptor`; its entry, or {BADSOCKET, 0, null}.
ZovPollEvent WaitFor(ZovSocketPoller& poller, unsigned int descriptor,
                     int milliseconds = kArrivalMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return {ZOVNET::BADSOCKET, 0, nullptr};
        const int n = poller.WaitSockets(static_cast<int>(left));
        for (const ZovPollEvent& e : Entries(poller, n))
            if (e.descriptor == descriptor)
                return e;
    }
}

bool SendByte(const RawFd& fd) {
    return zovtest::SendAll(fd.Get(), {0x42});
}

#if !defined(_WIN32)
// The lowest free descriptor number is `wanted` from now until the returned holders go: every
// lower free number is taken, so that the next socket the library creates gets `wanted`
// (POSIX hands out the lowest free number).
std::vector<RawFd> MakeLowestFree(int wanted) {
    std::vector<RawFd> held;
    for (;;) {
        RawFd fd(zovtest::Socket(AF_INET, SOCK_STREAM | zovtest::kSockCloexec, 0));
        if (!fd.Valid() || fd.Get() == wanted || fd.Get() > wanted)
            return held;
        held.push_back(std::move(fd));
    }
}
#endif

class PollerTest : public zovtest::NetTest {};

// --------------------------------------------------------------------------------------------
// Readiness bits
// --------------------------------------------------------------------------------------------

struct ReadinessCase {
    const char* name;
    unsigned int asked;
    std::function<void(zovtest::ClientAndPeer&)> stimulus;
    unsigned int all;   // every one of these is reported
    unsigned int anyOf; // at least one of these (0: no such rule)
    unsigned int none;  // none of these
    bool receiveSaysClosed;
};

TEST_F(PollerTest, ReportsTheBitsOfAConnection) {
    const auto sendByte = [](zovtest::ClientAndPeer& p) { ASSERT_TRUE(SendByte(p.peer)); };
    const auto halfClose = [](zovtest::ClientAndPeer& p) {
        ASSERT_EQ(::shutdown(p.peer.Get(), SHUT_WR), 0);
    };
    const auto reset = [](zovtest::ClientAndPeer& p) { zovtest::ResetClose(p.peer); };
    const auto closedBothWays = [](zovtest::ClientAndPeer& p) {
        p.peer.Reset();
        p.client->ShutDown(ZovSocket::SOCK_SEND);
    };
    const ReadinessCase cases[] = {
        {"data waiting, receive asked", R, sendByte, R, 0, S | C | E, false},
        {"room to send, send asked", S, nullptr, S, 0, R | C | E, false},
        {"data waiting and room, both asked", R | S, sendByte, R | S, 0, C | E, false},
        {"data waiting, send asked", S, sendByte, S, 0, R | C | E, false},
        {"peer shut its sending side", R, halfClose, R, 0, C | E, true},
        {"peer reset", R, reset, 0, C | E, 0, false},
        {"peer reset, nothing asked", 0, reset, 0, C | E, R | S, false},
        {"closed both ways, nothing asked", 0, closedBothWays, C, 0, R | S, false},
        {"closed both ways, receive asked", R, closedBothWays, C, 0, S | E, false},
    };
    for (const ReadinessCase& c : cases) {
        SCOPED_TRACE(c.name);
        zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
        ASSERT_NE(pair.client, nullptr);
        ZovSocketPoller poller;
        int tag = 0;
        ASSERT_TRUE(poller.AddSocket(pair.client.get(), c.asked, &tag));
        if (c.stimulus)
            c.stimulus(pair);
        const ZovPollEvent e = WaitFor(poller, pair.client->Descriptor());
        EXPECT_EQ(e.events & c.all, c.all) << e.events;
        if (c.anyOf != 0) {
            EXPECT_NE(e.events & c.anyOf, 0u) << e.events;
        }
        EXPECT_EQ(e.events & c.none, 0u) << e.events;
        EXPECT_EQ(e.tag, &tag);
        if (c.receiveSaysClosed) {
            // Receive readiness that is the peer's close: the receive says so.
            char b;
            EXPECT_EQ(pair.client->Receive(&b, 1), 0);
        }
    }
}

TEST_F(PollerTest, ReportsNothingThatWasNotAskedFor) {
    // Asked for nothing, a connection with data waiting and room to send is not ready.
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ZovSocketPoller poller;
    ASSERT_TRUE(poller.AddSocket(pair.client.get(), 0));
    ASSERT_TRUE(SendByte(pair.peer));
    ASSERT_TRUE(zovtest::WaitPending(static_cast<int>(pair.client->Descriptor()), 1));
    EXPECT_EQ(poller.CheckSockets(), 0);
    EXPECT_EQ(poller.Ready(0).descriptor, ZOVNET::BADSOCKET);
}

TEST_F(PollerTest, ReportsAServerWithAConnectionWaiting) {
    ZovTCPSocketServer server;
    ZovSocketPoller poller;
    ASSERT_TRUE(poller.AddSocket(&server, R | S));
    EXPECT_EQ(poller.CheckSockets(), 0) << "nothing waits yet";
    RawFd client = zovtest::RawConnect(server.Port());
    ASSERT_TRUE(client.Valid());
    const ZovPollEvent e = WaitFor(poller, server.Descriptor());
    EXPECT_EQ(e.events, R);
    std::unique_ptr<ZovTCPSocketClient> accepted(server.Accept());
    EXPECT_NE(accepted, nullptr);
    EXPECT_EQ(poller.CheckSockets(), 0) << "level-triggered: nothing waits any more";
}

TEST_F(PollerTest, ReportsAStillReadySocketAgainAndOutOfRangeEntriesAsNone) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ZovSocketPoller poller;
    ASSERT_TRUE(poller.AddSocket(pair.client.get(), R));
    ASSERT_TRUE(SendByte(pair.peer));
    ASSERT_EQ(WaitFor(poller, pair.client->Descriptor()).events, R);
    ASSERT_EQ(poller.CheckSockets(), 1);
    for (int i : {-1, 1, 1000}) {
        const ZovPollEvent none = poller.Ready(i);
        EXPECT_EQ(none.descriptor, ZOVNET::BADSOCKET) << i;
        EXPECT_EQ(none.events, 0u) << i;
        EXPECT_EQ(none.tag, nullptr) << i;
    }
    char b;
    ASSERT_EQ(pair.client->Receive(&b, 1), 1);
    EXPECT_EQ(poller.CheckSockets(), 0);
    EXPECT_EQ(poller.Ready(0).descriptor, ZOVNET::BADSOCKET) << "the earlier entries are gone";
}

// --------------------------------------------------------------------------------------------
// Registrations
// --------------------------------------------------------------------------------------------

using zovtest::BareSocket;

TEST_F(PollerTest, RefusesWhatItCannotRegisterAndChangesNothing) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    zovtest::ClientAndPeer other = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_NE(other.client, nullptr);
    ZovTCPSocketClient* s = pair.client.get();
    ZovTCPSocketClient* o = other.client.get();
    BareSocket bare;
    int closedNumber;
    {
        RawFd closed(zovtest::Socket(AF_INET, SOCK_STREAM, 0));
        closedNumber = closed.Get();
    }
    const int anySystemCode = -1;
    struct Case {
        const char* name;
        std::function<bool(ZovSocketPoller&)> call;
        int error;
    };
    const Case cases[] = {
        {"add null", [](ZovSocketPoller& p) { return p.AddSocket(nullptr, R); },
         ZOVNET::ERRCODE_NULL_ARGUMENT},
        {"add a socket without descriptor",
         [&](ZovSocketPoller& p) { return p.AddSocket(&bare, R); }, 10038},
        {"add BADSOCKET", [](ZovSocketPoller& p) { return p.AddSocket(ZOVNET::BADSOCKET, R); },
         10038},
        {"add with bit 16", [&](ZovSocketPoller& p) { return p.AddSocket(o, R | 16); },
         ZOVNET::ERRCODE_INVALID_ARGUMENT},
        {"add with the top bit", [&](ZovSocketPoller& p) { return p.AddSocket(o, 0x80000000u); },
         ZOVNET::ERRCODE_INVALID_ARGUMENT},
        {"add again", [&](ZovSocketPoller& p) { return p.AddSocket(s, S); },
         ZOVNET::ERRCODE_ALREADY_REGISTERED},
        {"add again by number", [&](ZovSocketPoller& p) { return p.AddSocket(s->Descriptor(), S); },
         ZOVNET::ERRCODE_ALREADY_REGISTERED},
        {"add a closed descriptor",
         [&](ZovSocketPoller& p) {
             return p.AddSocket(static_cast<unsigned int>(closedNumber), R);
         },
         anySystemCode},
        {"modify null", [](ZovSocketPoller& p) { return p.ModifySocket(nullptr, R); },
         ZOVNET::ERRCODE_NULL_ARGUMENT},
        {"modify with bit 16", [&](ZovSocketPoller& p) { return p.ModifySocket(s, S | 16); },
         ZOVNET::ERRCODE_INVALID_ARGUMENT},
        {"modify what is not registered",
         [&](ZovSocketPoller& p) { return p.ModifySocket(o, R, &p); },
         ZOVNET::ERRCODE_INVALID_ARGUMENT},
        {"modify BADSOCKET",
         [](ZovSocketPoller& p) { return p.ModifySocket(ZOVNET::BADSOCKET, R); }, 10038},
        {"remove null", [](ZovSocketPoller& p) { return p.RemoveSocket(nullptr); },
         ZOVNET::ERRCODE_NULL_ARGUMENT},
        {"remove what is not registered", [&](ZovSocketPoller& p) { return p.RemoveSocket(o); },
         ZOVNET::ERRCODE_INVALID_ARGUMENT},
        {"remove BADSOCKET", [](ZovSocketPoller& p) { return p.RemoveSocket(ZOVNET::BADSOCKET); },
         10038},
    };
    ASSERT_TRUE(SendByte(pair.peer));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZovSocketPoller poller;
        int tag = 0;
        ASSERT_TRUE(poller.AddSocket(s, R, &tag));
        EXPECT_FALSE(c.call(poller));
        if (c.error == anySystemCode)
            EXPECT_NE(ZovNet::LastError(), 0);
        else
            EXPECT_EQ(ZovNet::LastError(), c.error);
        EXPECT_EQ(poller.Count(), 1u);
        const ZovPollEvent e = WaitFor(poller, s->Descriptor());
        EXPECT_EQ(e.events, R) << "the registration is as it was";
        EXPECT_EQ(e.tag, &tag);
    }
}

TEST_F(PollerTest, ModifyKeepsOrReplacesTheTag) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ZovTCPSocketClient* s = pair.client.get();
    const unsigned int d = s->Descriptor();
    int a = 0, b = 0, c = 0;
    ZovSocketPoller poller;
    ASSERT_TRUE(poller.AddSocket(s, R, &a));
    ASSERT_TRUE(SendByte(pair.peer));
    struct Step {
        const char* name;
        std::function<bool()> change;
        unsigned int events; // 0: no entry
        void* tag;
    };
    const Step steps[] = {
        {"as added", [] { return true; }, R, &a},
        {"ModifySocket(s, events) keeps it", [&] { return poller.ModifySocket(s, R | S); }, R | S,
         &a},
        {"ModifySocket(s, events, tag) replaces it", [&] { return poller.ModifySocket(s, S, &b); },
         S, &b},
        {"ModifySocket(d, events) keeps it", [&] { return poller.ModifySocket(d, R); }, R, &b},
        {"ModifySocket(d, events, tag) replaces it", [&] { return poller.ModifySocket(d, R, &c); },
         R, &c},
        {"to nothing asked", [&] { return poller.ModifySocket(s, 0); }, 0, nullptr},
        {"and back", [&] { return poller.ModifySocket(s, R, nullptr); }, R, nullptr},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        ASSERT_TRUE(step.change());
        EXPECT_EQ(poller.Count(), 1u);
        if (step.events == 0) {
            EXPECT_EQ(poller.CheckSockets(), 0);
            continue;
        }
        const ZovPollEvent e = WaitFor(poller, d);
        EXPECT_EQ(e.events, step.events);
        EXPECT_EQ(e.tag, step.tag);
    }
}

TEST_F(PollerTest, CountsAndRemovesByEitherForm) {
    zovtest::ClientAndPeer one = zovtest::ConnectedClient();
    zovtest::ClientAndPeer two = zovtest::ConnectedClient();
    ASSERT_NE(one.client, nullptr);
    ASSERT_NE(two.client, nullptr);
    ZovSocketPoller poller;
    EXPECT_EQ(poller.Count(), 0u);
    ASSERT_TRUE(poller.AddSocket(one.client.get(), R));
    ASSERT_TRUE(poller.AddSocket(two.client->Descriptor(), R));
    EXPECT_EQ(poller.Count(), 2u);
    ASSERT_TRUE(SendByte(one.peer));
    ASSERT_TRUE(SendByte(two.peer));
    EXPECT_TRUE(poller.RemoveSocket(one.client->Descriptor()));
    EXPECT_TRUE(poller.RemoveSocket(two.client.get()));
    EXPECT_EQ(poller.Count(), 0u);
    EXPECT_EQ(poller.WaitSockets(100), 0);
    // Removed, the socket can be added again, and its destructor has nothing left to do here.
    EXPECT_TRUE(poller.AddSocket(one.client.get(), R));
    EXPECT_EQ(WaitFor(poller, one.client->Descriptor()).events, R);
    one.client.reset();
    EXPECT_EQ(poller.Count(), 0u);
}

// --------------------------------------------------------------------------------------------
// Removal while the results of a wait are handled
// --------------------------------------------------------------------------------------------

struct Ready3 {
    std::vector<zovtest::ClientAndPeer> pairs;
    int tags[3] = {0, 0, 0};
};

// Three connections with data waiting, all reported by one wait of `poller`.
void ThreeReady(ZovSocketPoller& poller, Ready3& r, int& n) {
    for (int i = 0; i < 3; ++i) {
        r.pairs.push_back(zovtest::ConnectedClient());
        ASSERT_NE(r.pairs.back().client, nullptr);
        ASSERT_TRUE(poller.AddSocket(r.pairs.back().client.get(), R, &r.tags[i]));
        ASSERT_TRUE(SendByte(r.pairs.back().peer));
    }
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(zovtest::WaitPending(static_cast<int>(r.pairs[i].client->Descriptor()), 1));
    n = poller.CheckSockets();
    ASSERT_EQ(n, 3);
}

TEST_F(PollerTest, ASocketGoneDuringHandlingIsNotReportedByTheLaterEntries) {
    enum How { Remove, Delete, ShutDownBoth };
    const struct {
        const char* name;
        How how;
    } cases[] = {
        {"RemoveSocket", Remove}, {"deleted", Delete}, {"ShutDown(SOCK_BOTH)", ShutDownBoth}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZovSocketPoller poller;
        Ready3 r;
        int n = 0;
        ASSERT_NO_FATAL_FAILURE(ThreeReady(poller, r, n));
        // The victim is the socket of the last entry, gone while the first is handled.
        const ZovPollEvent last = poller.Ready(2);
        int victim = -1;
        for (int i = 0; i < 3; ++i)
            if (r.pairs[i].client->Descriptor() == last.descriptor)
                victim = i;
        ASSERT_NE(victim, -1);
        const unsigned int number = last.descriptor;
        void* const oldTag = &r.tags[victim];

        RawFd listener = zovtest::RawListen();
        ASSERT_TRUE(listener.Valid());
        std::unique_ptr<ZovTCPSocketClient> newcomer;
        RawFd newcomerPeer;
        int newTag = 0;
        for (int i = 0; i < n; ++i) {
            const ZovPollEvent e = poller.Ready(i);
            if (i == 0) {
                if (c.how == Remove)
                    ASSERT_TRUE(poller.RemoveSocket(r.pairs[victim].client.get()));
                else if (c.how == Delete)
                    r.pairs[victim].client.reset();
                else
                    r.pairs[victim].client->ShutDown(ZovSocket::SOCK_BOTH);
#if !defined(_WIN32)
                if (c.how != Remove) {
                    // The number is free now: a new connection reuses it and is added, ready.
                    std::vector<RawFd> lower = MakeLowestFree(static_cast<int>(number));
                    const unsigned short anyPort = 0;
                    newcomer = std::make_unique<ZovTCPSocketClient>(
                        anyPort, Loopback(), zovtest::LocalPort(listener.Get()));
                    lower.clear();
                    ASSERT_EQ(newcomer->Descriptor(), number) << "POSIX reuses the lowest number";
                    newcomerPeer = zovtest::RawAccept(listener.Get());
                    ASSERT_TRUE(SendByte(newcomerPeer));
                    ASSERT_TRUE(zovtest::WaitPending(static_cast<int>(number), 1));
                    ASSERT_TRUE(poller.AddSocket(newcomer.get(), R, &newTag));
                }
#endif
                continue;
            }
            EXPECT_NE(e.tag, &newTag) << "entry " << i << " reports the newcomer";
            if (e.descriptor == number) {
                EXPECT_EQ(e.events, 0u) << "entry " << i;
                EXPECT_EQ(e.tag, nullptr) << "entry " << i;
            } else {
                EXPECT_EQ(e.events, R) << "entry " << i;
            }
        }
        // From the next wait on the newcomer is reported under its own registration.
        const int again = poller.CheckSockets();
        bool newcomerSeen = false;
        for (const ZovPollEvent& e : Entries(poller, again)) {
            EXPECT_NE(e.tag, oldTag) << "the gone socket is reported again";
            if (e.tag == &newTag) {
                newcomerSeen = true;
                EXPECT_EQ(e.descriptor, number);
                EXPECT_EQ(e.events, R);
            }
        }
        EXPECT_EQ(newcomerSeen, newcomer != nullptr);
        EXPECT_EQ(poller.Count(), newcomer != nullptr ? 3u : 2u);
    }
}

TEST_F(PollerTest, AChangeDuringHandlingReachesTheLaterEntry) {
    ZovSocketPoller poller;
    Ready3 r;
    int n = 0;
    ASSERT_NO_FATAL_FAILURE(ThreeReady(poller, r, n));
    int replaced = 0;
    const ZovPollEvent last = poller.Ready(2);
    ASSERT_TRUE(poller.ModifySocket(last.descriptor, S, &replaced));
    const ZovPollEvent after = poller.Ready(2);
    EXPECT_EQ(after.events, 0u) << "receive readiness is no longer asked for";
    EXPECT_EQ(after.tag, nullptr);
    ASSERT_TRUE(poller.ModifySocket(poller.Ready(1).descriptor, R | S, &replaced));
    EXPECT_EQ(poller.Ready(1).tag, &replaced);
    EXPECT_EQ(poller.Ready(1).events, R);
}

#if !defined(_WIN32)
TEST_F(PollerTest, ADeletedSocketIsNeverReportedWhileACopyOfItsDescriptorStaysOpen) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ZovSocketPoller poller;
    int tag = 0;
    ASSERT_TRUE(poller.AddSocket(pair.client.get(), R | S, &tag));
    RawFd copy(::dup(static_cast<int>(pair.client->Descriptor())));
    ASSERT_TRUE(copy.Valid());
    pair.client.reset();
    ASSERT_TRUE(SendByte(pair.peer));
    ASSERT_TRUE(zovtest::WaitPending(copy.Get(), 1));
    EXPECT_EQ(poller.Count(), 0u);
    EXPECT_EQ(poller.WaitSockets(200), 0);
}

TEST_F(PollerTest, ACopyKeepingAClosedNumbersRegistrationAliveIsNeverReported) {
    // A descriptor added by number and closed before its removal, while a copy keeps the system's
    // registration alive: that registration goes on reporting under the old number, which a new
    // socket then takes.
    RawFd listener = zovtest::RawListen();
    ASSERT_TRUE(listener.Valid());
    RawFd original = zovtest::RawConnect(zovtest::LocalPort(listener.Get()));
    RawFd originalPeer = zovtest::RawAccept(listener.Get());
    ASSERT_TRUE(original.Valid() && originalPeer.Valid());
    const int number = original.Get();
    ZovSocketPoller poller;
    int oldTag = 0;
    ASSERT_TRUE(poller.AddSocket(static_cast<unsigned int>(number), R, &oldTag));
    RawFd copy(::dup(number));
    original.Reset();
    EXPECT_TRUE(poller.RemoveSocket(static_cast<unsigned int>(number)));
    ASSERT_TRUE(SendByte(originalPeer));
    ASSERT_TRUE(zovtest::WaitPending(copy.Get(), 1));
    // Every result of the system is dropped: the wait goes on for its time.
    const auto start = Clock::now();
    EXPECT_EQ(poller.WaitSockets(200), 0);
    EXPECT_GE(MillisecondsSince(start), 199);

    std::vector<RawFd> lower = MakeLowestFree(number);
    RawFd reused = zovtest::RawConnect(zovtest::LocalPort(listener.Get()));
    lower.clear();
    ASSERT_EQ(reused.Get(), number);
    RawFd reusedPeer = zovtest::RawAccept(listener.Get());
    int newTag = 0;
    ASSERT_TRUE(poller.AddSocket(static_cast<unsigned int>(number), R, &newTag));
    EXPECT_EQ(poller.CheckSockets(), 0) << "the old registration's results are dropped";
    ASSERT_TRUE(SendByte(reusedPeer));
    const ZovPollEvent e = WaitFor(poller, static_cast<unsigned int>(number));
    EXPECT_EQ(e.tag, &newTag);
    EXPECT_EQ(e.events, R);
    EXPECT_EQ(poller.CheckSockets(), 1);
    EXPECT_TRUE(poller.RemoveSocket(static_cast<unsigned int>(number)));
}
#endif

// --------------------------------------------------------------------------------------------
// Lifetimes
// --------------------------------------------------------------------------------------------

TEST_F(PollerTest, ASocketInTwoPollersAndASetLeavesThemAllWhenItGoes) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    const unsigned int d = pair.client->Descriptor();
    ZovSocketPoller first, second;
    ZovSocketSet set;
    int a = 0, b = 0;
    ASSERT_TRUE(first.AddSocket(pair.client.get(), R, &a));
    ASSERT_TRUE(second.AddSocket(pair.client.get(), R | S, &b));
    set.AddSocket(pair.client.get());
    ASSERT_TRUE(SendByte(pair.peer));
    EXPECT_EQ(WaitFor(first, d).tag, &a);
    EXPECT_EQ(WaitFor(second, d).events, R | S);
    EXPECT_EQ(set.WaitSockets(kArrivalMs), 1);

    ASSERT_TRUE(first.RemoveSocket(pair.client.get()));
    EXPECT_EQ(first.CheckSockets(), 0);
    EXPECT_EQ(WaitFor(second, d).tag, &b) << "the other poller keeps it";
    ASSERT_TRUE(first.AddSocket(pair.client.get(), R, &a));

    pair.client->ShutDown(ZovSocket::SOCK_BOTH);
    EXPECT_EQ(first.Count(), 0u);
    EXPECT_EQ(second.Count(), 0u);
    set.RemoveSocket(d);
}

TEST_F(PollerTest, APollerThatGoesFirstLetsGoOfItsSockets) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ZovSocketPoller keeper;
    ASSERT_TRUE(keeper.AddSocket(pair.client.get(), R));
    {
        ZovSocketPoller brief;
        ASSERT_TRUE(brief.AddSocket(pair.client.get(), R));
    }
    {
        auto alone = std::make_unique<ZovSocketPoller>();
        zovtest::ClientAndPeer other = zovtest::ConnectedClient();
        ASSERT_TRUE(alone->AddSocket(other.client.get(), R));
        alone.reset();
        // The socket's destructor finds no poller left to leave.
    }
    ASSERT_TRUE(SendByte(pair.peer));
    EXPECT_EQ(WaitFor(keeper, pair.client->Descriptor()).events, R);
    pair.client.reset();
    EXPECT_EQ(keeper.Count(), 0u);
}

// --------------------------------------------------------------------------------------------
// Time-outs, signals and the wake
// --------------------------------------------------------------------------------------------

TEST_F(PollerTest, AWaitWithNothingReadyRunsItsFullTime) {
    zovtest::ClientAndPeer idle = zovtest::ConnectedClient();
    ASSERT_NE(idle.client, nullptr);
    for (bool empty : {true, false}) {
        SCOPED_TRACE(empty ? "empty poller" : "one idle socket");
        ZovSocketPoller poller;
        if (!empty) {
            ASSERT_TRUE(poller.AddSocket(idle.client.get(), R));
        }
        const auto start = Clock::now();
        EXPECT_EQ(poller.WaitSockets(200), 0);
        EXPECT_GE(MillisecondsSince(start), 200);
        EXPECT_EQ(poller.CheckSockets(), 0);
    }
}

#if !defined(_WIN32)
std::atomic<int> g_alarms{0};
void CountAlarm(int) {
    ++g_alarms;
}

TEST_F(PollerTest, ASignalDoesNotEndTheWaitEarly) {
    struct sigaction action {};
    action.sa_handler = CountAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the signal interrupts the system's wait
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);
    itimerval every20ms{{0, 20000}, {0, 20000}};
    ASSERT_EQ(::setitimer(ITIMER_REAL, &every20ms, nullptr), 0);
    g_alarms = 0;

    ZovSocketPoller poller;
    const auto start = Clock::now();
    const int n = poller.WaitSockets(300);
    const long long elapsed = MillisecondsSince(start);

    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(n, 0);
    EXPECT_GE(elapsed, 300);
    EXPECT_GT(g_alarms.load(), 2) << "the signals came during the wait";
}
#endif

TEST_F(PollerTest, AWakeFromAnotherThreadEndsTheWaitAndIsNoEntry) {
    zovtest::ClientAndPeer pair = zovtest::ConnectedClient();
    ASSERT_NE(pair.client, nullptr);
    ZovSocketPoller poller;
    ASSERT_TRUE(poller.AddSocket(pair.client.get(), R));

    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        poller.Wake();
    });
    const auto start = Clock::now();
    EXPECT_EQ(poller.WaitSockets(-1), 0);
    EXPECT_LT(MillisecondsSince(start), 5000);
    waker.join();
    EXPECT_EQ(poller.Ready(0).descriptor, ZOVNET::BADSOCKET);

    // A wake with a socket ready: only the socket is an entry.
    ASSERT_TRUE(SendByte(pair.peer));
    ASSERT_TRUE(zovtest::WaitPending(static_cast<int>(pair.client->Descriptor()), 1));
    poller.Wake();
    EXPECT_EQ(poller.WaitSockets(1000), 1);
    EXPECT_EQ(poller.Ready(0).descriptor, pair.client->Descriptor());
}

TEST_F(PollerTest, SeveralWakesCountAsOneAndTheWaitConsumesThem) {
    ZovSocketPoller poller;
    for (int i = 0; i < 3; ++i)
        poller.Wake();
    auto start = Clock::now();
    EXPECT_EQ(poller.WaitSockets(5000), 0);
    EXPECT_LT(MillisecondsSince(start), 4000) << "the wakes came before the wait";
    start = Clock::now();
    EXPECT_EQ(poller.WaitSockets(200), 0);
    EXPECT_GE(MillisecondsSince(start), 200) << "the next wait runs its full time";
}

TEST_F(PollerTest, NoWakeIsLost) {
    // The wake races the wait's start and its end: each wait must still be ended by its wake.
    ZovSocketPoller poller;
    std::atomic<int> round{0};
    std::atomic<bool> stop{false};
    constexpr int kRounds = 300;
    std::thread waker([&] {
        int done = 0;
        while (!stop && done < kRounds) {
            if (round.load() > done) {
                ++done;
                if (done % 3 == 0)
                    std::this_thread::yield();
                poller.Wake();
                if (done % 2 == 0)
                    poller.Wake();
            }
        }
    });
    int slow = 0;
    for (int i = 1; i <= kRounds; ++i) {
        round = i;
        const auto start = Clock::now();
        poller.WaitSockets(3000);
        if (MillisecondsSince(start) >= 2500)
            ++slow;
    }
    stop = true;
    waker.join();
    EXPECT_EQ(slow, 0) << "waits whose wake was lost";
}

// --------------------------------------------------------------------------------------------
// Memory
// --------------------------------------------------------------------------------------------

#if !defined(_WIN32)
std::atomic<bool> g_countNews{false};
std::atomic<int> g_news{0};
#endif

TEST_F(PollerTest, WaitsAllocateNothingOnceTheyHaveReturnedAsMuch) {
#if defined(_WIN32)
    GTEST_SKIP() << "the library's allocations cannot be seen from a program on Windows";
#else
    std::vector<zovtest::ClientAndPeer> pairs;
    ZovSocketPoller poller;
    for (int i = 0; i < 40; ++i) {
        pairs.push_back(zovtest::ConnectedClient());
        ASSERT_NE(pairs.back().client, nullptr);
        ASSERT_TRUE(poller.AddSocket(pairs.back().client.get(), R | S));
        ASSERT_TRUE(SendByte(pairs.back().peer));
    }
    for (auto& p : pairs)
        ASSERT_TRUE(zovtest::WaitPending(static_cast<int>(p.client->Descriptor()), 1));
    ASSERT_EQ(poller.CheckSockets(), 40);
    g_news = 0;
    g_countNews = true;
    int total = 0;
    for (int w = 0; w < 20; ++w) {
        const int n = poller.CheckSockets();
        for (int i = 0; i < n; ++i)
            total += static_cast<int>(poller.Ready(i).events);
        poller.Wake();
    }
    g_countNews = false;
    EXPECT_EQ(g_news.load(), 0);
    EXPECT_EQ(total, 20 * 40 * static_cast<int>(R | S));
#endif
}

// --------------------------------------------------------------------------------------------
// Many connections on one thread
// --------------------------------------------------------------------------------------------

// An echo server on one thread: every connection's messages must come whole and in order, each
// connection's own, and each is answered. It ends when `count` connections have come and gone,
// or at the deadline. Returns "" or what went wrong.
std::string ServeMany(ZovTCPSocketServer& server, int count, int messages,
                      Clock::time_point deadline) {
    struct Connection {
        std::unique_ptr<ZovTCPSocketClient> socket;
        std::uint32_t id = UINT32_MAX;
        std::uint32_t next = 0;
        unsigned char in[zovtest::kMessageSize];
        int have = 0;
        std::string out;
    };
    ZovSocketPoller poller;
    if (!poller.Valid() || !poller.AddSocket(&server, R, &server))
        return "the poller or its server failed";
    std::vector<bool> seen(static_cast<std::size_t>(count), false);
    std::vector<std::unique_ptr<Connection>> slots;
    int accepted = 0, closed = 0;
    std::string error;
    auto fail = [&](const std::string& what) {
        if (error.empty())
            error = what;
    };
    auto flush = [&](Connection& c) {
        while (!c.out.empty()) {
            const int n = c.socket->Send(&c.out[0], static_cast<unsigned int>(c.out.size()));
            if (n <= 0)
                break;
            c.out.erase(0, static_cast<std::size_t>(n));
        }
        poller.ModifySocket(c.socket.get(), c.out.empty() ? R : R | S);
    };
    while (closed < count && Clock::now() < deadline) {
        const int n = poller.WaitSockets(1000);
        if (n < 0)
            return "the wait failed: " + std::to_string(ZovNet::LastError());
        for (int i = 0; i < n; ++i) {
            const ZovPollEvent e = poller.Ready(i);
            if (e.events == 0)
                continue;
            if (e.tag == &server) {
                ZovTCPSocketClient* s = server.Accept();
                if (s == nullptr)
                    return "accept failed";
                ++accepted;
                auto c = std::make_unique<Connection>();
                c->socket.reset(s);
                if (!s->SetBlocking(false) || !poller.AddSocket(s, R, c.get()))
                    return "a connection could not be registered";
                slots.push_back(std::move(c));
                continue;
            }
            Connection& c = *static_cast<Connection*>(e.tag);
            if (e.events & S)
                flush(c);
            if ((e.events & (R | C | E)) == 0)
                continue;
            bool gone = false;
            for (;;) {
                const int got = c.socket->Receive(
                    c.in + c.have, static_cast<unsigned int>(zovtest::kMessageSize - c.have));
                if (got < 0 && ZovNet::LastError() == ZOVNET::ERRCODE_WOULD_BLOCK)
                    break;
                if (got <= 0) {
                    gone = true;
                    break;
                }
                c.have += got;
                if (c.have < zovtest::kMessageSize)
                    continue;
                c.have = 0;
                const std::uint32_t id = zovtest::MessageField(c.in, 0);
                const std::uint32_t number = zovtest::MessageField(c.in, 1);
                if (c.next == 0) {
                    if (id >= static_cast<std::uint32_t>(count) || seen[id])
                        fail("a first message names connection " + std::to_string(id));
                    else
                        seen[id] = true;
                    c.id = id;
                }
                if (id != c.id || number != c.next)
                    fail("connection " + std::to_string(c.id) + " got message " +
                         std::to_string(id) + "/" + std::to_string(number) + " where " +
                         std::to_string(c.next) + " was due");
                ++c.next;
                unsigned char answer[zovtest::kMessageSize];
                zovtest::PutMessage(answer, id, number | zovtest::kAnswerBit);
                c.out.append(reinterpret_cast<char*>(answer), sizeof answer);
                flush(c);
            }
            if (gone) {
                if (c.next != static_cast<std::uint32_t>(messages) || c.have != 0)
                    fail("connection " + std::to_string(c.id) + " closed after " +
                         std::to_string(c.next) + " messages");
                ++closed;
                // Deleting the socket takes it out of the poller, also when a later entry of
                // this wait would have reported it.
                c.socket.reset();
            }
        }
    }
    if (closed < count)
        fail("deadline passed: " + std::to_string(accepted) + " connections accepted, " +
             std::to_string(closed) + " closed");
    return error;
}

TEST_F(PollerTest, ServesManyConnectionsOnOneThread) {
#if defined(_WIN32)
    // Both ends in this process; a Windows process needs no descriptor limit raised.
    constexpr int kConnections = 1000;
#else
    constexpr int kConnections = 10000;
#endif
    constexpr int kMessages = 2;
    constexpr int kBatch = 100;
    constexpr int kSeconds = 90;
    std::string why;
    if (!zovtest::RaiseDescriptorLimit(kConnections + 100, why))
        GTEST_SKIP() << why;
    const auto deadline = Clock::now() + std::chrono::seconds(kSeconds);
    ZovTCPSocketServer server(0, SOMAXCONN);
    ASSERT_NE(server.Descriptor(), ZOVNET::BADSOCKET);
#if defined(_WIN32)
    std::string clientError = "not run";
    std::thread clients([&] {
        clientError =
            zovtest::RunClientEnds(server.Port(), kConnections, kBatch, kMessages, deadline);
    });
    const std::string serverError = ServeMany(server, kConnections, kMessages, deadline);
    clients.join();
    EXPECT_EQ(serverError, "");
    EXPECT_EQ(clientError, "");
#else
    zovtest::ChildProcess peer;
    ASSERT_TRUE(peer.Start({POLLER_PEER_PATH, std::to_string(ntohs(server.Port())),
                            std::to_string(kConnections), std::to_string(kBatch),
                            std::to_string(kMessages), std::to_string(kSeconds)}));
    const std::string serverError = ServeMany(server, kConnections, kMessages, deadline);
    EXPECT_EQ(serverError, "");
    std::string line;
    EXPECT_TRUE(peer.ReadLine(line, 10000));
    EXPECT_EQ(line, "ok");
    zovtest::ExitStatus status;
    EXPECT_TRUE(peer.WaitExit(10000, status));
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);
#endif
}

} // namespace

#if !defined(_WIN32)
// Counts the allocations of the whole process while a test asks (the library shares this
// program's allocator on POSIX). Every form without an alignment is replaced, so that what one
// form allocates another can free, also where a sanitizer brings forms of its own.
namespace {
void* CountedAllocation(std::size_t size) {
    if (g_countNews)
        ++g_news;
    return std::malloc(size == 0 ? 1 : size);
}
} // namespace

void* operator new(std::size_t size) {
    if (void* p = CountedAllocation(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = CountedAllocation(size))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocation(size);
}
// The compiler cannot see that the allocations above come from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop
#endif
