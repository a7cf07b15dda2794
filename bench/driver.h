// What the workload families of the benchmark program share: the raw-socket helpers that the
// baselines are written with, the big-endian field encoding by hand, and the ratio table.
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
//
// The small helpers that run inside a measured loop are inline here, so that each family's
// baseline compiles them into its loop as a hand-written program would.
#ifndef ZOVNET_BENCH_DRIVER_H
#define ZOVNET_BENCH_DRIVER_H

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace zovbench {

// Longest time any single socket call of this program may block.
constexpr int kIoTimeoutSeconds = 5;

// The 9-byte ping of W2, which W7 echoes as well.
constexpr int kPingLength = 9;

extern unsigned int g_loopback; // 127.0.0.1 in network byte order, from ZovNet::StringToAddr

void SetTimeouts(unsigned int fd);
void SetNoDelay(unsigned int fd);

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
inline unsigned char* Put64(unsigned char* p, unsigned long long v) {
    Put32(p, static_cast<unsigned int>(v >> 32));
    return Put32(p + 4, static_cast<unsigned int>(v));
}
inline unsigned int Get16(const unsigned char* p) {
    return (static_cast<unsigned int>(p[0]) << 8) | p[1];
}
inline unsigned int Get32(const unsigned char* p) {
    return (static_cast<unsigned int>(p[0]) << 24) | (static_cast<unsigned int>(p[1]) << 16) |
           (static_cast<unsigned int>(p[2]) << 8) | p[3];
}
inline unsigned long long Get64(const unsigned char* p) {
    return (static_cast<unsigned long long>(Get32(p)) << 32) | Get32(p + 4);
}

// Makes the bytes behind `p` count as read by someone else: they must really be written.
inline void Escape(const void* p) {
    benchmark::DoNotOptimize(p);
    benchmark::ClobberMemory();
}

// ---------------------------------------------------------------------------------------------
// Raw sockets by hand
// ---------------------------------------------------------------------------------------------

inline sockaddr_in LoopbackAddr(unsigned short port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = g_loopback;
    a.sin_port = port;
    return a;
}

inline bool RawSendAll(int fd, const unsigned char* p, size_t len) {
    while (len > 0) {
        const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// One framed message from a blocking stream: peek the 2-byte length, then read that many bytes.
// Returns the length, or -1 on close, error, time-out, or a message that does not fit. Out of
// line, as the compiler had always kept it: the baselines' receive paths stay as they were.
int RawRecvMessage(int fd, unsigned char* buf, size_t cap);

// A connected pair of TCP descriptors on loopback.
struct RawTcpPair {
    int a = -1; // the benchmark thread's end
    int b = -1; // the helper thread's end
    bool ok = false;

    RawTcpPair();
    ~RawTcpPair();
    RawTcpPair(const RawTcpPair&) = delete;
    RawTcpPair& operator=(const RawTcpPair&) = delete;

    unsigned int DescA() const { return static_cast<unsigned int>(a); }
    unsigned int DescB() const { return static_cast<unsigned int>(b); }
    void EndA() { ::shutdown(a, SHUT_RDWR); }
};

// Keeps the benchmark thread and its helper thread on one CPU for the length of a run. Left to the
// scheduler, a run lands either on one CPU (a wake-up is a context switch) or on two (a wake-up
// is a cross-CPU interrupt, several times dearer in a virtual machine), at random per run: the
// spread between runs then swamps the difference between the library and the baseline. On one
// CPU every run measures the same thing, the CPU cost of both ends per message.
class OneCpu {
public:
    OneCpu();
    ~OneCpu();
    // Called first thing in the helper thread.
    void Join() const;
    OneCpu(const OneCpu&) = delete;
    OneCpu& operator=(const OneCpu&) = delete;

private:
    cpu_set_t m_old;
    cpu_set_t m_one;
    bool m_saved = false;
    bool m_pinned = false;
};

// ---------------------------------------------------------------------------------------------
// Workloads and the ratio table
// ---------------------------------------------------------------------------------------------

enum class Measure { Time, Throughput };

// One row of the ratio table: a measured benchmark beside its baseline.
struct Pairing {
    const char* workload;
    const char* subject;  // benchmark name of the measured side
    const char* baseline; // benchmark name of its baseline
    Measure measure;
    double target; // 0: no target, the ratio is only shown
};

// Where a workload's benchmarks run and where its rows stand in the table, whichever file it
// lives in. The order is the one the runs have always had, so that a new run lines up with the
// recorded ones; a new workload takes its place in this list.
enum class Slot { W1, W1c, W2, W3, W4, W4Drain, W7, W5, W6 };

struct Workload {
    Slot slot;
    void (*registerBenchmarks)();
    std::vector<Pairing> rows;
    // Frees what the workload's benchmarks keep between runs (sockets, child processes), before
    // the network layer stops; null when they keep nothing.
    void (*release)() = nullptr;
};

// Called by the families' registration functions below, before the benchmarks run.
void AddWorkload(Workload workload);

// One per family file; main calls each once.
void AddPacketWorkloads();    // packets.cpp: W1, W1c, W6
void AddTcpWorkloads();       // tcp.cpp: W2, W3
void AddUdpWorkloads();       // udp.cpp: W4, W4 drain
void AddReadinessWorkloads(); // readiness.cpp: W5, W7

} // namespace zovbench

#endif
