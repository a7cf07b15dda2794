// Readiness: W5 (the 64-socket set swept beside poll()) and W7 (one thread and one poller serving
// 64 echo connections beside N idle ones, beside the same server on raw epoll).
#include "driver.h"

#include <ZovNet.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zovbench {
namespace {

// ---------------------------------------------------------------------------------------------
// W5: readiness of 64 connected sockets, one readable
// ---------------------------------------------------------------------------------------------

constexpr int kSetSize = 64;
constexpr int kReadable = 17;

// Built once and shared by both sides, so that both watch the very same 64 descriptors.
struct ReadinessFixture {
    ZovTCPSocketServer server{0, 5};
    std::vector<std::unique_ptr<ZovTCPSocketClient>> clients; // the watched ends
    std::vector<std::unique_ptr<ZovTCPSocketClient>> peers;
    bool ok = false;

    ReadinessFixture() {
        if (server.State() != ZovSocket::SOCK_RECEIVE)
            return;
        SetTimeouts(server.Descriptor());
        for (int i = 0; i < kSetSize; ++i) {
            // One at a time: the listen queue holds only a few connections.
            clients.emplace_back(
                new ZovTCPSocketClient(static_cast<unsigned short>(0), g_loopback, server.Port()));
            if (clients.back()->State() != ZovSocket::SOCK_BOTH)
                return;
            peers.emplace_back(server.Accept());
            if (peers.back() == nullptr)
                return;
        }
        unsigned char byte = 1;
        if (peers[kReadable]->Send(&byte, 1) != 1)
            return;
        // Wait until the byte has arrived, so that every sweep sees exactly one readable socket.
        ZovSocketSet one;
        one.AddSocket(clients[kReadable].get());
        ok = one.WaitSockets(kIoTimeoutSeconds * 1000) == 1;
    }
};

std::unique_ptr<ReadinessFixture> g_readiness;

ReadinessFixture* Readiness() {
    if (!g_readiness)
        g_readiness.reset(new ReadinessFixture);
    return g_readiness->ok ? g_readiness.get() : nullptr;
}

void W5_Lib(benchmark::State& state) {
    ReadinessFixture* f = Readiness();
    if (f == nullptr) {
        state.SkipWithError("could not set up 64 connections");
        return;
    }
    ZovSocketSet set;
    for (auto& c : f->clients)
        set.AddSocket(c.get());
    int readable = 0;
    for (auto _ : state) {
        if (set.CheckSockets() != 1) {
            state.SkipWithError("CheckSockets did not report one readable socket");
            break;
        }
        readable = 0;
        for (auto& c : f->clients)
            readable += set.CheckSocket(c.get());
        benchmark::DoNotOptimize(readable);
    }
    if (!state.error_occurred() && readable != 1)
        state.SkipWithError("the sweep did not find the readable socket");
}

void W5_Raw(benchmark::State& state) {
    ReadinessFixture* f = Readiness();
    if (f == nullptr) {
        state.SkipWithError("could not set up 64 connections");
        return;
    }
    pollfd fds[kSetSize];
    for (int i = 0; i < kSetSize; ++i) {
        fds[i].fd = static_cast<int>(f->clients[i]->Descriptor());
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    int readable = 0;
    for (auto _ : state) {
        if (::poll(fds, kSetSize, 0) != 1) {
            state.SkipWithError("poll did not report one readable socket");
            break;
        }
        readable = 0;
        for (const pollfd& p : fds)
            readable += (p.revents & (POLLIN | POLLPRI | POLLHUP | POLLERR)) != 0;
        benchmark::DoNotOptimize(readable);
    }
    if (!state.error_occurred() && readable != 1)
        state.SkipWithError("the sweep did not find the readable socket");
}

// ---------------------------------------------------------------------------------------------
// W7: one thread serves N idle connections and 64 active echo connections
// ---------------------------------------------------------------------------------------------

// Every iteration sends the 9-byte packet on each of the 64 active connections and reads the 64
// echoes back; the server thread waits on one poller holding all N + 64 connections and echoes
// what comes. The baseline's server is an epoll loop on non-blocking descriptors with the same
// framing (peek the length, read the message, send it back), until the socket has nothing more.
constexpr int kActiveConnections = 64;

// Raises the soft descriptor limit to the hard one: 10,000 idle connections need 10,000
// descriptors in this process.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// N idle connections whose client ends live in a child process, so that neither process needs
// more than about N descriptors. The child connects, reports, then waits until this process
// closes the pipe (or ends), and exits.
class IdleCrowd {
public:
    explicit IdleCrowd(int count) {
        if (count == 0) {
            ok = true;
            return;
        }
        RaiseDescriptorLimit();
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = LoopbackAddr(0);
        socklen_t len = sizeof addr;
        int ready[2] = {-1, -1};
        int hold[2] = {-1, -1};
        if (listener < 0 ||
            ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener, SOMAXCONN) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            ::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(hold, O_CLOEXEC) != 0) {
            Close(listener);
            return;
        }
        m_child = ::fork();
        if (m_child == 0) {
            ::close(ready[0]);
            ::close(hold[1]);
            std::vector<int> ends;
            for (int i = 0; i < count; ++i) {
                const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
                    ::_exit(1);
                ends.push_back(fd);
            }
            const char done = 1;
            if (::write(ready[1], &done, 1) != 1)
                ::_exit(1);
            char byte;
            while (::read(hold[0], &byte, 1) < 0 && errno == EINTR) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        m_hold = hold[1];
        if (m_child > 0) {
            // Accept while the child connects, so that the listen queue never overflows.
            while (static_cast<int>(m_ends.size()) < count) {
                pollfd p{listener, POLLIN, 0};
                if (::poll(&p, 1, kIoTimeoutSeconds * 1000) != 1)
                    break;
                const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0)
                    break;
                m_ends.push_back(fd);
            }
            char done = 0;
            ok = static_cast<int>(m_ends.size()) == count && ::read(ready[0], &done, 1) == 1;
        }
        ::close(ready[0]);
        ::close(listener);
    }
    ~IdleCrowd() {
        for (int fd : m_ends)
            ::close(fd);
        Close(m_hold);
        if (m_child > 0)
            ::waitpid(m_child, nullptr, 0);
    }
    IdleCrowd(const IdleCrowd&) = delete;
    IdleCrowd& operator=(const IdleCrowd&) = delete;

    const std::vector<int>& Ends() const { return m_ends; }
    bool ok = false;

private:
    static void Close(int fd) {
        if (fd >= 0)
            ::close(fd);
    }
    std::vector<int> m_ends; // the server ends, non-blocking
    int m_hold = -1;
    pid_t m_child = -1;
};

// One crowd per N for the whole program: both sides of a pairing run with the same one.
std::map<int, std::unique_ptr<IdleCrowd>> g_crowds;

IdleCrowd& Crowd(int count) {
    std::unique_ptr<IdleCrowd>& crowd = g_crowds[count];
    if (crowd == nullptr)
        crowd.reset(new IdleCrowd(count));
    return *crowd;
}

// The server through the library: the active connections adopted into non-blocking clients.
struct LibEchoServer {
    ZovSocketPoller poller;
    std::vector<std::unique_ptr<ZovTCPSocketClient>> conns;
    bool ok = true;

    LibEchoServer(const IdleCrowd& crowd, std::vector<std::unique_ptr<RawTcpPair>>& pairs) {
        ok = poller.Valid();
        for (int fd : crowd.Ends())
            ok = ok && poller.AddSocket(static_cast<unsigned int>(fd), ZOVNET::POLL_RECEIVE);
        for (auto& pair : pairs) {
            conns.emplace_back(new ZovTCPSocketClient(pair->DescB(), 0, 0));
            pair->b = -1; // the client owns it now
            ZovTCPSocketClient* c = conns.back().get();
            ok = ok && c->SetBlocking(false) && poller.AddSocket(c, ZOVNET::POLL_RECEIVE, c);
        }
    }
    void Serve(const std::atomic<bool>& stop) {
        ZovNetPacket packet;
        while (!stop) {
            const int n = poller.WaitSockets(kIoTimeoutSeconds * 1000);
            if (n < 0)
                return;
            for (int i = 0; i < n; ++i) {
                auto* c = static_cast<ZovTCPSocketClient*>(poller.Ready(i).tag);
                if (c == nullptr)
                    continue;
                while (c->Receive(&packet) > 0)
                    c->Send(&packet);
            }
        }
    }
    void Wake() { poller.Wake(); }
};

// The same server by hand on epoll.
struct RawEchoServer {
    int ep = -1;
    int wake = -1;
    std::vector<int> fds;
    bool ok = false;

    RawEchoServer(const IdleCrowd& crowd, std::vector<std::unique_ptr<RawTcpPair>>& pairs) {
        ep = ::epoll_create1(EPOLL_CLOEXEC);
        wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ok = ep >= 0 && wake >= 0 && Add(wake, 0);
        for (int fd : crowd.Ends())
            ok = ok && Add(fd, 0);
        for (auto& pair : pairs) {
            fds.push_back(pair->b);
            ok = ok && ::fcntl(pair->b, F_SETFL, ::fcntl(pair->b, F_GETFL) | O_NONBLOCK) == 0 &&
                 Add(pair->b, fds.size());
        }
    }
    ~RawEchoServer() {
        if (ep >= 0)
            ::close(ep);
        if (wake >= 0)
            ::close(wake);
    }
    bool Add(int fd, std::size_t index) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = index;
        return ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e) == 0;
    }
    void Serve(const std::atomic<bool>& stop) {
        epoll_event events[kActiveConnections + 1];
        unsigned char buf[2048];
        while (!stop) {
            const int n =
                ::epoll_wait(ep, events, kActiveConnections + 1, kIoTimeoutSeconds * 1000);
            if (n < 0 && errno != EINTR)
                return;
            for (int i = 0; i < n; ++i) {
                if (events[i].data.u64 == 0)
                    continue; // the wake, or an idle connection
                const int fd = fds[events[i].data.u64 - 1];
                for (;;) {
                    unsigned char head[2];
                    if (::recv(fd, head, 2, MSG_PEEK) != 2)
                        break;
                    const unsigned int length = Get16(head);
                    if (length < 3 || ::recv(fd, buf, length, 0) != static_cast<ssize_t>(length))
                        break;
                    ::send(fd, buf, length, MSG_NOSIGNAL);
                }
            }
        }
    }
    void Wake() {
        const std::uint64_t one = 1;
        if (::write(wake, &one, sizeof one) != sizeof one)
            std::fprintf(stderr, "W7: could not wake the server\n");
    }
};

template <class Server> void W7_PollerEcho(benchmark::State& state, int idle) {
    IdleCrowd& crowd = Crowd(idle);
    if (!crowd.ok) {
        state.SkipWithError("could not open the idle connections");
        return;
    }
    std::vector<std::unique_ptr<RawTcpPair>> pairs;
    for (int i = 0; i < kActiveConnections; ++i) {
        pairs.emplace_back(new RawTcpPair);
        if (!pairs.back()->ok) {
            state.SkipWithError("could not connect on loopback");
            return;
        }
        SetNoDelay(pairs.back()->DescA());
        SetNoDelay(pairs.back()->DescB());
    }
    Server server(crowd, pairs);
    if (!server.ok) {
        state.SkipWithError("could not register the connections");
        return;
    }
    OneCpu cpu;
    std::atomic<bool> stop{false};
    std::thread thread([&] {
        cpu.Join();
        server.Serve(stop);
    });
    unsigned char out[kPingLength];
    out[2] = 7;
    Put32(Put16(out + 3, 513), 65536);
    Put16(out, kPingLength);
    unsigned char in[128];
    for (auto _ : state) {
        bool ok = true;
        for (auto& pair : pairs)
            ok = ok && RawSendAll(pair->a, out, sizeof out);
        for (auto& pair : pairs)
            ok = ok && RawRecvMessage(pair->a, in, sizeof in) == kPingLength && in[2] == 7;
        if (!ok) {
            state.SkipWithError("echo failed");
            break;
        }
    }
    stop = true;
    server.Wake();
    thread.join();
    state.SetItemsProcessed(state.iterations() * kActiveConnections);
}

void RegisterW7() {
    using benchmark::RegisterBenchmark;
    for (const int idle : {0, 1000, 10000}) {
        const std::string prefix = "W7_poller_echo/" + std::to_string(idle);
        RegisterBenchmark(
            (prefix + "/ZovNet").c_str(),
            [idle](benchmark::State& state) { W7_PollerEcho<LibEchoServer>(state, idle); })
            ->UseRealTime()
            ->MeasureProcessCPUTime()
            ->Unit(benchmark::kMicrosecond);
        RegisterBenchmark(
            (prefix + "/raw_epoll").c_str(),
            [idle](benchmark::State& state) { W7_PollerEcho<RawEchoServer>(state, idle); })
            ->UseRealTime()
            ->MeasureProcessCPUTime()
            ->Unit(benchmark::kMicrosecond);
    }
}

void RegisterW5() {
    benchmark::RegisterBenchmark("W5_readiness/ZovNet", W5_Lib);
    benchmark::RegisterBenchmark("W5_readiness/raw_poll", W5_Raw);
}

} // namespace

void AddReadinessWorkloads() {
    AddWorkload({Slot::W7,
                 RegisterW7,
                 {{"W7 echo x64 beside 0 idle, vs epoll", "W7_poller_echo/0/ZovNet",
                   "W7_poller_echo/0/raw_epoll", Measure::Time, 1.05},
                  {"W7 echo x64 beside 1000 idle, vs epoll", "W7_poller_echo/1000/ZovNet",
                   "W7_poller_echo/1000/raw_epoll", Measure::Time, 1.05},
                  {"W7 echo x64 beside 10000 idle, vs epoll", "W7_poller_echo/10000/ZovNet",
                   "W7_poller_echo/10000/raw_epoll", Measure::Time, 1.05},
                  {"W7 ZovNet, 10000 idle vs 0 idle", "W7_poller_echo/10000/ZovNet",
                   "W7_poller_echo/0/ZovNet", Measure::Time, 1.2}},
                 [] { g_crowds.clear(); }});
    AddWorkload({Slot::W5,
                 RegisterW5,
                 {{"W5 CheckSockets+CheckSocket x64 vs poll()", "W5_readiness/ZovNet",
                   "W5_readiness/raw_poll", Measure::Time, 1.2}},
                 [] { g_readiness.reset(); }});
}

} // namespace zovbench
