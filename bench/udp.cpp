// UDP over loopback: W4 (one-way datagrams in acknowledged batches, a blocking receive per
// datagram) and W4 drain (the same traffic taken as an event loop takes it: a non-blocking socket
// drained until it is empty, then a wait for readiness). The drain lives here rather than with
// the other readiness workloads because it is W4's harness with another receive.
#include "driver.h"

#include <ZovNet.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace zovbench {
namespace {

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

void RegisterW4() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("W4_udp_oneway/ZovNet", W4_Udp<LibUdp>)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("W4_udp_oneway/raw", W4_Udp<RawUdp>)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);
}

void RegisterW4Drain() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("W4_udp_drain/ZovNet", W4_Udp<LibUdpDrain>)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("W4_udp_drain/raw_epoll", W4_Udp<RawUdpDrain>)
        ->UseRealTime()
        ->MeasureProcessCPUTime()
        ->Unit(benchmark::kMicrosecond);
}

} // namespace

void AddUdpWorkloads() {
    AddWorkload({Slot::W4,
                 RegisterW4,
                 {{"W4 UDP one-way (messages/s)", "W4_udp_oneway/ZovNet", "W4_udp_oneway/raw",
                   Measure::Throughput, 0.95}}});
    AddWorkload({Slot::W4Drain,
                 RegisterW4Drain,
                 {{"W4 drain: poller + non-blocking receives", "W4_udp_drain/ZovNet",
                   "W4_udp_drain/raw_epoll", Measure::Throughput, 0.95}}});
}

} // namespace zovbench
