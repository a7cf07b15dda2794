// ZovNet beside raw sockets, one workload at a time, in one program.
//
// Every workload exists twice: once through the library ("ZovNet") and once by hand on the
// system's calls ("raw"), doing the same work with the same framing (peek the 2-byte length, then
// read that message) and the same big-endian encoding with plain shifts. Both run in the same
// process one after the other, so each result is read as a ratio that the run's load affects on
// both sides alike. At the end the console output gets a table of those ratios.
//
// Everything stays on loopback with system-chosen ports. Every blocking call has a bound: sockets
// carry send and receive time-outs, threads are joined after their peer has shut its end, and the
// UDP sender wakes a waiting receiver with a marker datagram, so no run can hang.
#include <ZovNet.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// Shared pieces
// ---------------------------------------------------------------------------------------------

// Longest time any single socket call of this program may block.
constexpr int kIoTimeoutSeconds = 5;

unsigned int g_loopback = 0; // 127.0.0.1 in network byte order, from ZovNet::StringToAddr

// Inputs of the no-I/O workloads; written once in main and read through a compiler barrier on
// every iteration, so that neither side can fold them into constants.
unsigned int g_ints[16];
unsigned char g_bin[32];

void SetTimeouts(unsigned int fd) {
    timeval tv{kIoTimeoutSeconds, 0};
    setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void SetNoDelay(unsigned int fd) {
    int one = 1;
    setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Big-endian fields by hand, with plain shifts.
inline unsigned char* Put16(unsigned char* p, unsigned int v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
    return p + 2;
}
inline unsigned char* Put32(unsigned char* p, unsigned int v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
    return p + 4;
}
inline unsigned int Get16(const unsigned char* p) {
    return (static_cast<unsigned int>(p[0]) << 8) | p[1];
}
inline unsigned int Get32(const unsigned char* p) {
    return (static_cast<unsigned int>(p[0]) << 24) | (static_cast<unsigned int>(p[1]) << 16) |
           (static_cast<unsigned int>(p[2]) << 8) | p[3];
}

// Makes the bytes behind `p` count as read by someone else: they must really be written.
inline void Escape(const void* p) {
    benchmark::DoNotOptimize(p);
    benchmark::ClobberMemory();
}

// ---------------------------------------------------------------------------------------------
// Raw sockets by hand
// ---------------------------------------------------------------------------------------------

sockaddr_in LoopbackAddr(unsigned short port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = g_loopback;
    a.sin_port = port;
    return a;
}

bool RawSendAll(int fd, const unsigned char* p, size_t len) {
    while (len > 0) {
        const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool RawRecvAll(int fd, unsigned char* p, size_t len) {
    while (len > 0) {
        const ssize_t n = ::recv(fd, p, len, 0);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// One framed message from a blocking stream: peek the 2-byte length, then read that many bytes.
// Returns the length, or -1 on close, error, time-out, or a message that does not fit.
int RawRecvMessage(int fd, unsigned char* buf, size_t cap) {
    unsigned char head[2];
    const ssize_t peeked = ::recv(fd, head, 2, MSG_PEEK);
    if (peeked <= 0)
        return -1;
    size_t have = 0;
    if (peeked < 2) {
        if (!RawRecvAll(fd, head, 2))
            return -1;
        have = 2;
    }
    const size_t length = Get16(head);
    if (length < 3 || length > cap)
        return -1;
    buf[0] = head[0];
    buf[1] = head[1];
    if (!RawRecvAll(fd, buf + have, length - have))
        return -1;
    return static_cast<int>(length);
}

// A connected pair of TCP descriptors on loopback.
struct RawTcpPair {
    int a = -1; // the benchmark thread's end
    int b = -1; // the helper thread's end
    bool ok = false;

    RawTcpPair() {
        const int l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = LoopbackAddr(0);
        socklen_t len = sizeof addr;
        if (l < 0 || ::bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(l, 5) != 0 ||
            ::getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            if (l >= 0)
                ::close(l);
            return;
        }
        SetTimeouts(static_cast<unsigned int>(l));
        a = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (a >= 0 && ::connect(a, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            b = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(l);
        ok = a >= 0 && b >= 0;
        if (ok) {
            SetTimeouts(static_cast<unsigned int>(a));
            SetTimeouts(static_cast<unsigned int>(b));
        }
    }
    ~RawTcpPair() {
        if (a >= 0)
            ::close(a);
        if (b >= 0)
            ::close(b);
    }
    RawTcpPair(const RawTcpPair&) = delete;
    RawTcpPair& operator=(const RawTcpPair&) = delete;

    unsigned int DescA() const { return static_cast<unsigned int>(a); }
    unsigned int DescB() const { return static_cast<unsigned int>(b); }
    void EndA() { ::shutdown(a, SHUT_RDWR); }
};

// The same pair through the library.
struct LibTcpPair {
    ZovTCPSocketServer server;
    std::unique_ptr<ZovTCPSocketClient> client;
    std::unique_ptr<ZovTCPSocketClient> peer;
    bool ok = false;

    LibTcpPair() : server(0, 5) {
        if (server.State() != ZovSocket::SOCK_RECEIVE)
            return;
        SetTimeouts(server.Descriptor()); // bounds Accept as well
        client.reset(
            new ZovTCPSocketClient(static_cast<unsigned short>(0), g_loopback, server.Port()));
        if (client->State() != ZovSocket::SOCK_BOTH)
            return;
        peer.reset(server.Accept());
        ok = peer != nullptr;
        if (ok) {
            SetTimeouts(client->Descriptor());
            SetTimeouts(peer->Descriptor());
        }
    }
    unsigned int DescA() const { return client->Descriptor(); }
    unsigned int DescB() const { return peer->Descriptor(); }
    void EndA() { ::shutdown(static_cast<int>(client->Descriptor()), SHUT_RDWR); }
};

// Keeps the benchmark thread and its helper thread on one CPU for the length of a run. Left to the
// scheduler, a run lands either on one CPU (a wake-up is a context switch) or on two (a wake-up
// is a cross-CPU interrupt, several times dearer in a virtual machine), at random per run: the
// spread between runs then swamps the difference between the library and the baseline. On one
// CPU every run measures the same thing, the CPU cost of both ends per message.
class OneCpu {
public:
    OneCpu() {
        m_saved = sched_getaffinity(0, sizeof m_old, &m_old) == 0;
        const int cpu = sched_getcpu();
        CPU_ZERO(&m_one);
        if (cpu >= 0)
            CPU_SET(cpu, &m_one);
        m_pinned = m_saved && cpu >= 0 && sched_setaffinity(0, sizeof m_one, &m_one) == 0;
    }
    ~OneCpu() {
        if (m_pinned)
            sched_setaffinity(0, sizeof m_old, &m_old);
    }
    // Called first thing in the helper thread.
    void Join() const {
        if (m_pinned)
            pthread_setaffinity_np(pthread_self(), sizeof m_one, &m_one);
    }
    OneCpu(const OneCpu&) = delete;
    OneCpu& operator=(const OneCpu&) = delete;

private:
    cpu_set_t m_old;
    cpu_set_t m_one;
    bool m_saved = false;
    bool m_pinned = false;
};

// A one-shot gate with a bounded wait, for starting and acknowledging between threads.
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    }
    bool Wait(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, limit, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
};

// ---------------------------------------------------------------------------------------------
// W1: packet build and parse, no I/O
// ---------------------------------------------------------------------------------------------

constexpr unsigned char kW1Type = 0x21;
constexpr unsigned short kW1Content = 16 * 4 + 32; // 96 content bytes, a 99-byte message

inline unsigned int W1LibBody(ZovNetPacket& out, ZovNetPacket& in) {
    for (unsigned int v : g_ints)
        out.AddInt32(v);
    out.AddBin(g_bin, sizeof g_bin);
    const unsigned short length = out.Length();
    in.WritePacket(out.Data(), length);
    unsigned int sum = in.Type();
    for (int i = 0; i < 16; ++i)
        sum += in.ReadInt32();
    unsigned char bin[32];
    sum += in.ReadBin(bin, sizeof bin);
    Escape(bin);
    return sum;
}

template <bool Presized> void W1_Lib(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::ClobberMemory();
        unsigned int sum;
        if constexpr (Presized) {
            ZovNetPacket out(kW1Type, kW1Content);
            ZovNetPacket in(kW1Content);
            sum = W1LibBody(out, in);
        } else {
            ZovNetPacket out;
            out.SetType(kW1Type);
            ZovNetPacket in;
            sum = W1LibBody(out, in);
        }
        benchmark::DoNotOptimize(sum);
    }
}

inline unsigned int W1RawBody(unsigned char* out, unsigned char* in) {
    unsigned char* p = out + 3;
    out[2] = kW1Type;
    for (unsigned int v : g_ints)
        p = Put32(p, v);
    std::memcpy(p, g_bin, sizeof g_bin);
    p += sizeof g_bin;
    const unsigned int length = static_cast<unsigned int>(p - out);
    Put16(out, length);
    // The hand-over: the receiver gets its own copy of the message.
    std::memcpy(in, out, length);
    Escape(in);
    if (Get16(in) != length)
        std::abort();
    unsigned int sum = in[2];
    const unsigned char* q = in + 3;
    for (int i = 0; i < 16; ++i, q += 4)
        sum += Get32(q);
    unsigned char bin[32];
    std::memcpy(bin, q, sizeof bin);
    sum += sizeof bin;
    Escape(bin);
    return sum;
}

// Raw with stack arrays (the plain baseline), or with one zeroed heap buffer per message on each
// side, which isolates what the packet's owned buffers cost.
template <bool Heap> void W1_Raw(benchmark::State& state) {
    constexpr size_t size = 3 + kW1Content;
    for (auto _ : state) {
        benchmark::ClobberMemory();
        unsigned int sum;
        if constexpr (Heap) {
            unsigned char* out = static_cast<unsigned char*>(std::calloc(size, 1));
            unsigned char* in = static_cast<unsigned char*>(std::calloc(size, 1));
            sum = W1RawBody(out, in);
            std::free(in);
            std::free(out);
        } else {
            unsigned char out[size];
            unsigned char in[size];
            sum = W1RawBody(out, in);
        }
        benchmark::DoNotOptimize(sum);
    }
}

// ---------------------------------------------------------------------------------------------
// W2: TCP ping-pong, the 9-byte packet each way
// ---------------------------------------------------------------------------------------------

constexpr int kPingLength = 9;

struct LibSide {
    using Pair = LibTcpPair;
    using Conn = ZovTCPSocketClient;
    struct Inbox {
        ZovNetPacket packet;
    };
    static Conn& A(Pair& p) { return *p.client; }
    static Conn& B(Pair& p) { return *p.peer; }

    static bool SendPing(Conn& c) {
        ZovNetPacket out(7, 6);
        out.AddInt16(513);
        out.AddInt32(65536);
        return c.Send(&out) == kPingLength;
    }
    static bool RecvPing(Conn& c, Inbox& box) {
        ZovNetPacket& in = box.packet;
        if (c.Receive(&in) != kPingLength || in.Type() != 7)
            return false;
        const unsigned int a = in.ReadInt16();
        const unsigned int b = in.ReadInt32();
        return a == 513 && b == 65536;
    }

    static bool SendStream(Conn& c, unsigned int seq) {
        ZovNetPacket out(9, 64);
        for (unsigned int k = 0; k < 16; ++k)
            out.AddInt32(seq + k);
        return c.Send(&out) == 67;
    }
    static bool RecvStream(Conn& c, Inbox& box, unsigned int& seq) {
        ZovNetPacket& in = box.packet;
        if (c.Receive(&in) != 67 || in.Type() != 9)
            return false;
        seq = in.ReadInt32();
        unsigned int last = seq;
        for (int k = 1; k < 16; ++k)
            last = in.ReadInt32();
        return last == seq + 15;
    }
};

struct RawSide {
    using Pair = RawTcpPair;
    using Conn = int;
    struct Inbox {
        unsigned char buf[128];
    };
    static Conn& A(Pair& p) { return p.a; }
    static Conn& B(Pair& p) { return p.b; }

    static bool SendPing(Conn& fd) {
        unsigned char out[kPingLength];
        out[2] = 7;
        unsigned char* p = Put16(out + 3, 513);
        Put32(p, 65536);
        Put16(out, kPingLength);
        return RawSendAll(fd, out, kPingLength);
    }
    static bool RecvPing(Conn& fd, Inbox& box) {
        const unsigned char* in = box.buf;
        if (RawRecvMessage(fd, box.buf, sizeof box.buf) != kPingLength || in[2] != 7)
            return false;
        const unsigned int a = Get16(in + 3);
        const unsigned int b = Get32(in + 5);
        return a == 513 && b == 65536;
    }

    static bool SendStream(Conn& fd, unsigned int seq) {
        unsigned char out[67];
        out[2] = 9;
        unsigned char* p = out + 3;
        for (unsigned int k = 0; k < 16; ++k)
            p = Put32(p, seq + k);
        Put16(out, 67);
        return RawSendAll(fd, out, sizeof out);
    }
    static bool RecvStream(Conn& fd, Inbox& box, unsigned int& seq) {
        const unsigned char* in = box.buf;
        if (RawRecvMessage(fd, box.buf, sizeof box.buf) != 67 || in[2] != 9)
            return false;
        seq = Get32(in + 3);
        unsigned int last = seq;
        for (int k = 1; k < 16; ++k)
            last = Get32(in + 3 + 4 * k);
        return last == seq + 15;
    }
};

template <class Side> void W2_PingPong(benchmark::State& state) {
    typename Side::Pair pair;
    if (!pair.ok) {
        state.SkipWithError("could not connect on loopback");
        return;
    }
    SetNoDelay(pair.DescA());
    SetNoDelay(pair.DescB());
    OneCpu cpu;
    // The echo ends when the benchmark thread shuts its end (or after the receive time-out).
    std::thread echo([&pair, &cpu] {
        cpu.Join();
        typename Side::Inbox box;
        while (Side::RecvPing(Side::B(pair), box))
            if (!Side::SendPing(Side::B(pair)))
                break;
    });
    typename Side::Inbox box;
    for (auto _ : state) {
        if (!Side::SendPing(Side::A(pair)) || !Side::RecvPing(Side::A(pair), box)) {
            state.SkipWithError("ping-pong failed");
            break;
        }
    }
    pair.EndA();
    echo.join();
    state.SetItemsProcessed(state.iterations());
}

// ---------------------------------------------------------------------------------------------
// W3: TCP one-way stream of 64-content-byte packets
// ---------------------------------------------------------------------------------------------

template <class Side> void W3_Stream(benchmark::State& state) {
    typename Side::Pair pair;
    if (!pair.ok) {
        state.SkipWithError("could not connect on loopback");
        return;
    }
    // The sender sends exactly as many messages as this run will receive.
    const auto total = static_cast<unsigned int>(state.max_iterations);
    Gate go;
    OneCpu cpu;
    std::thread sender([&pair, &go, &cpu, total] {
        cpu.Join();
        if (!go.Wait(std::chrono::seconds(kIoTimeoutSeconds)))
            return;
        for (unsigned int i = 0; i < total; ++i)
            if (!Side::SendStream(Side::B(pair), i))
                break;
    });
    typename Side::Inbox box;
    unsigned int expected = 0;
    go.Open();
    for (auto _ : state) {
        unsigned int seq = 0;
        if (!Side::RecvStream(Side::A(pair), box, seq) || seq != expected) {
            state.SkipWithError("stream receive failed");
            break;
        }
        ++expected;
    }
    pair.EndA(); // a sender still blocked in send then fails at once
    sender.join();
    state.SetItemsProcessed(state.iterations());
}

// ---------------------------------------------------------------------------------------------
// W4: UDP one-way, 64-content-byte datagrams in acknowledged batches
// ---------------------------------------------------------------------------------------------

// The sender sends a batch, then waits for the receiver's acknowledgement before the next one,
// so at most one batch (64 small datagrams, far below the default receive buffer) is ever queued.
// When an acknowledgement does not come within 100 ms (a datagram was lost, so the receiver is
// still waiting), the sender sends a marker datagram that ends the batch at the receiver.
constexpr unsigned int kBatch = 64;
constexpr unsigned char kDataType = 9;
constexpr unsigned char kMarkerType = 0xEE;

class AckLine {
public:
    void Ack(unsigned int batch) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_acked = batch + 1;
        m_cv.notify_all();
    }
    void Stop() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_cv.notify_all();
    }
    // True when `batch` was acknowledged, false after `limit` without; `stop` says to give up.
    bool Wait(unsigned int batch, std::chrono::milliseconds limit, bool& stop) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool acked = m_cv.wait_for(lock, limit, [&] { return m_acked > batch || m_stop; });
        stop = m_stop;
        return acked && m_acked > batch;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    unsigned int m_acked = 0; // batches acknowledged so far
    bool m_stop = false;
};

struct UdpMessage {
    unsigned char type;
    unsigned int batch;
    unsigned int seq;
};

struct LibUdp {
    ZovUDPSocket rx;
    ZovUDPSocket tx;
    ZovNetPacket in;
    bool ok = false;
    LibUdp() {
        ok = rx.State() == ZovSocket::SOCK_BOTH && tx.State() == ZovSocket::SOCK_BOTH;
        SetTimeouts(tx.Descriptor()); // the receive side is woken by markers instead
    }
    bool Send(unsigned char type, unsigned int batch, unsigned int seq) {
        ZovNetPacket out(type, 64);
        out.AddInt32(batch);
        out.AddInt32(seq);
        for (unsigned int k = 2; k < 16; ++k)
            out.AddInt32(seq + k);
        return tx.Send(&out, g_loopback, rx.Port()) == 67;
    }
    bool Receive(UdpMessage& m) {
        if (rx.Receive(&in) != 67)
            return false;
        m.type = in.Type();
        m.batch = in.ReadInt32();
        m.seq = in.ReadInt32();
        unsigned int last = 0;
        for (int k = 2; k < 16; ++k)
            last = in.ReadInt32();
        return last == m.seq + 15;
    }
};

struct RawUdp {
    int rx = -1;
    int tx = -1;
    unsigned short port = 0;
    unsigned char buf[UDP_RECEIVE_BUFFER];
    bool ok = false;
    RawUdp() {
        rx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = LoopbackAddr(0);
        socklen_t len = sizeof addr;
        if (rx < 0 || tx < 0 || ::bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port = addr.sin_port;
        SetTimeouts(static_cast<unsigned int>(tx));
        ok = true;
    }
    ~RawUdp() {
        if (rx >= 0)
            ::close(rx);
        if (tx >= 0)
            ::close(tx);
    }
    bool Send(unsigned char type, unsigned int batch, unsigned int seq) {
        unsigned char out[67];
        out[2] = type;
        unsigned char* p = Put32(out + 3, batch);
        p = Put32(p, seq);
        for (unsigned int k = 2; k < 16; ++k)
            p = Put32(p, seq + k);
        Put16(out, 67);
        const sockaddr_in to = LoopbackAddr(port);
        return ::sendto(tx, out, sizeof out, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                        sizeof to) == 67;
    }
    bool Receive(UdpMessage& m) {
        if (::recv(rx, buf, sizeof buf, 0) != 67 || Get16(buf) != 67)
            return false;
        m.type = buf[2];
        m.batch = Get32(buf + 3);
        m.seq = Get32(buf + 7);
        unsigned int last = 0;
        for (int k = 2; k < 16; ++k)
            last = Get32(buf + 3 + 4 * k);
        return last == m.seq + 15;
    }
};

template <class Udp> void W4_Udp(benchmark::State& state) {
    Udp udp;
    if (!udp.ok) {
        state.SkipWithError("could not open UDP sockets on loopback");
        return;
    }
    const auto batches = static_cast<unsigned int>(state.max_iterations);
    AckLine acks;
    OneCpu cpu;
    std::thread sender([&] {
        cpu.Join();
        for (unsigned int b = 0; b < batches; ++b) {
            for (unsigned int k = 0; k < kBatch; ++k)
                udp.Send(kDataType, b, k); // a failed send is a loss, counted by the receiver
            // Markers until acknowledged; after 10 s the receiver is beyond help.
            for (int round = 0;; ++round) {
                bool stop = false;
                if (acks.Wait(b, std::chrono::milliseconds(100), stop))
                    break;
                if (stop)
                    return;
                if (round == 100) {
                    std::fprintf(stderr, "W4: receiver does not answer; giving up\n");
                    std::_Exit(3); // the receiver waits in a call without time-out
                }
                udp.Send(kMarkerType, b, 0);
            }
        }
    });
    std::int64_t received = 0;
    std::int64_t lost = 0;
    unsigned int batch = 0;
    for (auto _ : state) {
        unsigned int got = 0;
        while (got < kBatch) {
            UdpMessage m;
            if (!udp.Receive(m)) {
                state.SkipWithError("UDP receive failed");
                break;
            }
            if (m.batch != batch)
                continue; // a late marker of an earlier batch
            if (m.type == kMarkerType)
                break;
            ++got;
        }
        if (state.error_occurred())
            break;
        received += got;
        lost += kBatch - got;
        acks.Ack(batch);
        ++batch;
    }
    acks.Stop();
    sender.join();
    state.SetItemsProcessed(received);
    state.counters["lost"] = benchmark::Counter(static_cast<double>(lost));
}

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
// W6: a 4 KiB packet of 1024 AddInt32, grown from a default packet or built pre-sized
// ---------------------------------------------------------------------------------------------

constexpr unsigned int kW6Ints = 1024;

inline void W6Fill(ZovNetPacket& p) {
    const unsigned int base = g_ints[0];
    for (unsigned int i = 0; i < kW6Ints; ++i)
        p.AddInt32(base + i);
    Escape(p.Data());
}

template <bool Presized> void W6_Lib(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::ClobberMemory();
        if constexpr (Presized) {
            ZovNetPacket p(0, kW6Ints * 4);
            W6Fill(p);
        } else {
            ZovNetPacket p;
            W6Fill(p);
        }
    }
}

void W6_Raw(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::ClobberMemory();
        unsigned char out[3 + kW6Ints * 4];
        out[2] = 0;
        unsigned char* p = out + 3;
        const unsigned int base = g_ints[0];
        for (unsigned int i = 0; i < kW6Ints; ++i)
            p = Put32(p, base + i);
        Put16(out, static_cast<unsigned int>(p - out));
        Escape(out);
    }
}

// ---------------------------------------------------------------------------------------------
// W4 drain: UDP one-way, the receiver waits for readiness, then drains a non-blocking socket
// ---------------------------------------------------------------------------------------------

// The event loop's way of receiving: take datagrams until the socket has none, and only then
// wait on the poller. The baseline does the same with epoll and recv on a non-blocking socket.
struct LibUdpDrain : LibUdp {
    ZovSocketPoller poller;
    LibUdpDrain() {
        ok = ok && rx.SetBlocking(false) && poller.AddSocket(&rx, ZOVNET::POLL_RECEIVE);
    }
    bool Receive(UdpMessage& m) {
        for (;;) {
            if (LibUdp::Receive(m))
                return true;
            if (ZovNet::LastError() != ZOVNET::ERRCODE_WOULD_BLOCK)
                return false;
            if (poller.WaitSockets(kIoTimeoutSeconds * 1000) <= 0)
                return false;
        }
    }
};

struct RawUdpDrain : RawUdp {
    int ep = -1;
    RawUdpDrain() {
        ep = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = rx;
        ok = ok && ep >= 0 && ::fcntl(rx, F_SETFL, ::fcntl(rx, F_GETFL) | O_NONBLOCK) == 0 &&
             ::epoll_ctl(ep, EPOLL_CTL_ADD, rx, &e) == 0;
    }
    ~RawUdpDrain() {
        if (ep >= 0)
            ::close(ep);
    }
    bool Receive(UdpMessage& m) {
        for (;;) {
            if (RawUdp::Receive(m))
                return true;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            epoll_event e{};
            if (::epoll_wait(ep, &e, 1, kIoTimeoutSeconds * 1000) <= 0)
                return false;
        }
    }
};

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

// ---------------------------------------------------------------------------------------------
// The ratio table
// ---------------------------------------------------------------------------------------------

enum class Measure { Time, Throughput };

struct Pairing {
    const char* workload;
    const char* subject;  // benchmark name of the measured side
    const char* baseline; // benchmark name of its baseline
    Measure measure;
    double target; // 0: no target, the ratio is only shown
};

const Pairing kPairings[] = {
    {"W1 build+parse, pre-sized", "W1_build_parse/presized/ZovNet", "W1_build_parse/raw",
     Measure::Time, 1.3},
    {"W1 build+parse, default-constructed", "W1_build_parse/default/ZovNet", "W1_build_parse/raw",
     Measure::Time, 1.3},
    {"W1 pre-sized vs raw with 2 heap buffers", "W1_build_parse/presized/ZovNet",
     "W1_build_parse/raw_heap", Measure::Time, 0},
    {"W2 TCP ping-pong (round trips/s)", "W2_tcp_pingpong/ZovNet", "W2_tcp_pingpong/raw",
     Measure::Throughput, 0.97},
    {"W3 TCP stream (messages/s)", "W3_tcp_stream/ZovNet", "W3_tcp_stream/raw", Measure::Throughput,
     0.95},
    {"W4 UDP one-way (messages/s)", "W4_udp_oneway/ZovNet", "W4_udp_oneway/raw",
     Measure::Throughput, 0.95},
    {"W4 drain: poller + non-blocking receives", "W4_udp_drain/ZovNet", "W4_udp_drain/raw_epoll",
     Measure::Throughput, 0.95},
    {"W7 echo x64 beside 0 idle, vs epoll", "W7_poller_echo/0/ZovNet", "W7_poller_echo/0/raw_epoll",
     Measure::Time, 1.05},
    {"W7 echo x64 beside 1000 idle, vs epoll", "W7_poller_echo/1000/ZovNet",
     "W7_poller_echo/1000/raw_epoll", Measure::Time, 1.05},
    {"W7 echo x64 beside 10000 idle, vs epoll", "W7_poller_echo/10000/ZovNet",
     "W7_poller_echo/10000/raw_epoll", Measure::Time, 1.05},
    {"W7 ZovNet, 10000 idle vs 0 idle", "W7_poller_echo/10000/ZovNet", "W7_poller_echo/0/ZovNet",
     Measure::Time, 1.2},
    {"W5 CheckSockets+CheckSocket x64 vs poll()", "W5_readiness/ZovNet", "W5_readiness/raw_poll",
     Measure::Time, 1.2},
    {"W6 4 KiB, default-constructed vs pre-sized", "W6_growth/default/ZovNet",
     "W6_growth/presized/ZovNet", Measure::Time, 0},
    {"W6 4 KiB pre-sized vs raw", "W6_growth/presized/ZovNet", "W6_growth/raw", Measure::Time, 0},
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            Result& r = m_results[run.run_name.function_name];
            if (run.error_occurred) {
                r.error = run.error_message;
                continue;
            }
            const bool median = run.run_type == Run::RT_Aggregate;
            if (median && run.aggregate_name != "median")
                continue;
            // Wall-clock time where the benchmark asked for it (threads and waits), otherwise the
            // thread's CPU time, which other processes on a busy machine disturb less.
            const double unit = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const double cpu = run.GetAdjustedCPUTime() * unit;
            const double real = run.GetAdjustedRealTime() * unit;
            const auto rate = run.counters.find("items_per_second");
            Sample s;
            s.ns = run.run_name.time_type.empty() ? cpu : real;
            s.rate = rate != run.counters.end() ? rate->second.value : 0.0;
            // Process CPU time per item: both ends of an exchange, whatever else the machine runs.
            s.cpuPerItem = s.rate > 0 ? cpu / (s.rate * real * 1e-9) : 0.0;
            if (median) {
                r.median = s;
                r.hasMedian = true;
            } else {
                r.runs.push_back(s);
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::ostream& out = GetOutputStream();
        out << "\nRatios to the baselines (medians where repetitions ran).\n"
               "time: ZovNet CPU time / baseline CPU time per operation (lower is better).\n"
               "rate: ZovNet messages per second / baseline messages per second, wall clock "
               "(higher is\n"
               "better); CPU/msg: process CPU time per message of both ends, ZovNet / baseline "
               "(lower is\n"
               "better, and the least disturbed by other load on the machine).\n\n";
        out << "| Workload | ZovNet | Baseline | Ratio | Target | Met | CPU/msg |\n";
        out << "|---|---|---|---|---|---|---|\n";
        for (const Pairing& p : kPairings) {
            const Result* a = Find(p.subject);
            const Result* b = Find(p.baseline);
            out << "| " << p.workload << " | ";
            if (a == nullptr || b == nullptr) {
                out << "not run | | | | | |\n";
                continue;
            }
            if (!a->error.empty() || !b->error.empty()) {
                out << "error: " << (a->error.empty() ? b->error : a->error) << " | | | | | |\n";
                continue;
            }
            const Sample x = a->Value();
            const Sample y = b->Value();
            double ratio;
            std::string target = "-";
            std::string met = "-";
            std::string cpu = "-";
            if (p.measure == Measure::Time) {
                ratio = x.ns / y.ns;
                out << Time(x.ns) << " | " << Time(y.ns) << " | " << Fixed(ratio) << "x time | ";
                if (p.target > 0) {
                    target = "<= " + Fixed(p.target, 2) + "x";
                    met = ratio <= p.target ? "yes" : "no";
                }
            } else {
                ratio = x.rate / y.rate;
                out << Rate(x.rate) << " | " << Rate(y.rate) << " | " << Fixed(ratio)
                    << "x rate | ";
                if (p.target > 0) {
                    target = ">= " + Fixed(p.target, 2) + "x";
                    met = ratio >= p.target ? "yes" : "no";
                }
                if (x.cpuPerItem > 0 && y.cpuPerItem > 0)
                    cpu = Fixed(x.cpuPerItem / y.cpuPerItem) + "x";
            }
            out << target << " | " << met << " | " << cpu << " |\n";
        }
        out.flush();
    }

private:
    struct Sample {
        double ns = 0;
        double rate = 0;
        double cpuPerItem = 0;
    };
    struct Result {
        std::vector<Sample> runs;
        Sample median;
        bool hasMedian = false;
        std::string error;
        Sample Value() const {
            if (hasMedian || runs.empty())
                return median;
            std::vector<Sample> v = runs;
            std::sort(v.begin(), v.end(),
                      [](const Sample& l, const Sample& r) { return l.ns < r.ns; });
            return v[v.size() / 2];
        }
    };

    const Result* Find(const char* name) const {
        const auto it = m_results.find(name);
        return it == m_results.end() ? nullptr : &it->second;
    }
    static std::string Fixed(double v, int digits = 3) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", digits, v);
        return text;
    }
    static std::string Time(double ns) {
        return ns >= 10000 ? Fixed(ns / 1000, 2) + " us" : Fixed(ns, 1) + " ns";
    }
    static std::string Rate(double perSecond) { return Fixed(perSecond / 1000, 1) + " k/s"; }

    std::map<std::string, Result> m_results;
};

void RegisterAll() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("W1_build_parse/presized/ZovNet", W1_Lib<true>);
    RegisterBenchmark("W1_build_parse/default/ZovNet", W1_Lib<false>);
    RegisterBenchmark("W1_build_parse/raw", W1_Raw<false>);
    RegisterBenchmark("W1_build_parse/raw_heap", W1_Raw<true>);

    RegisterBenchmark("W2_tcp_pingpong/ZovNet", W2_PingPong<LibSide>)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("W2_tcp_pingpong/raw", W2_PingPong<RawSide>)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);

    RegisterBenchmark("W3_tcp_stream/ZovNet", W3_Stream<LibSide>)
        ->UseRealTime()
        ->MeasureProcessCPUTime();
    RegisterBenchmark("W3_tcp_stream/raw", W3_Stream<RawSide>)
        ->UseRealTime()
        ->MeasureProcessCPUTime();

    RegisterBenchmark("W4_udp_oneway/ZovNet", W4_Udp<LibUdp>)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("W4_udp_oneway/raw", W4_Udp<RawUdp>)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);

    RegisterBenchmark("W4_udp_drain/ZovNet", W4_Udp<LibUdpDrain>)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("W4_udp_drain/raw_epoll", W4_Udp<RawUdpDrain>)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);

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

    RegisterBenchmark("W5_readiness/ZovNet", W5_Lib);
    RegisterBenchmark("W5_readiness/raw_poll", W5_Raw);

    RegisterBenchmark("W6_growth/default/ZovNet", W6_Lib<false>)->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("W6_growth/presized/ZovNet", W6_Lib<true>)->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("W6_growth/raw", W6_Raw)->Unit(benchmark::kMicrosecond);
}

} // namespace

int main(int argc, char** argv) {
    ZovNet* net = ZovNet::GetInstance();
    if (net == nullptr || !net->Init() || !net->StringToAddr("127.0.0.1", g_loopback))
        return 1;
    for (unsigned int i = 0; i < 16; ++i)
        g_ints[i] = 0x01020304u * (i + 1);
    for (unsigned int i = 0; i < sizeof g_bin; ++i)
        g_bin[i] = static_cast<unsigned char>(0xA0 + i);

    // The ratio table belongs to console output; any other format is left as the library makes it.
    bool console = true;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_format=", 19) == 0 &&
            std::strcmp(argv[i] + 19, "console") != 0)
            console = false;

    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (console) {
        int options = benchmark::ConsoleReporter::OO_Tabular;
        if (isatty(STDOUT_FILENO))
            options |= benchmark::ConsoleReporter::OO_Color;
        RatioReporter reporter(static_cast<benchmark::ConsoleReporter::OutputOptions>(options));
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    g_readiness.reset();
    g_crowds.clear();
    delete net;
    return 0;
}
