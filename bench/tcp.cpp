// TCP between two threads over loopback: W2 (ping-pong of the 9-byte packet) and W3 (a one-way
// stream of 64-content-byte packets).
#include "driver.h"

#include <ZovNet.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace zovbench {
namespace {

// A connected pair like RawTcpPair, through the library.
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
// W2: TCP ping-pong, the 9-byte packet each way
// ---------------------------------------------------------------------------------------------

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

void RegisterW2() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("W2_tcp_pingpong/ZovNet", W2_PingPong<LibSide>)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("W2_tcp_pingpong/raw", W2_PingPong<RawSide>)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);
}

void RegisterW3() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("W3_tcp_stream/ZovNet", W3_Stream<LibSide>)
        ->UseRealTime()
        ->MeasureProcessCPUTime();
    RegisterBenchmark("W3_tcp_stream/raw", W3_Stream<RawSide>)
        ->UseRealTime()
        ->MeasureProcessCPUTime();
}

} // namespace

void AddTcpWorkloads() {
    AddWorkload({Slot::W2,
                 RegisterW2,
                 {{"W2 TCP ping-pong (round trips/s)", "W2_tcp_pingpong/ZovNet",
                   "W2_tcp_pingpong/raw", Measure::Throughput, 0.97}}});
    AddWorkload({Slot::W3,
                 RegisterW3,
                 {{"W3 TCP stream (messages/s)", "W3_tcp_stream/ZovNet", "W3_tcp_stream/raw",
                   Measure::Throughput, 0.95}}});
}

} // namespace zovbench
