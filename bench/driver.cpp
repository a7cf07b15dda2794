// The benchmark program's driver: the raw-socket helpers that more than one family uses, the
// ratio table and main. The workloads live in one file per family and hand their benchmarks and
// table rows over through AddWorkload.
#include "driver.h"

#include <ZovNet.h>

#include <benchmark/benchmark.h>

#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace zovbench {

unsigned int g_loopback = 0;

void SetTimeouts(unsigned int fd) {
    timeval tv{kIoTimeoutSeconds, 0};
    setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void SetNoDelay(unsigned int fd) {
    int one = 1;
    setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

namespace {

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

} // namespace

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

RawTcpPair::RawTcpPair() {
    const int l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = LoopbackAddr(0);
    socklen_t len = sizeof addr;
    if (l < 0 || ::bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(l, 5) != 0 || ::getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
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

RawTcpPair::~RawTcpPair() {
    if (a >= 0)
        ::close(a);
    if (b >= 0)
        ::close(b);
}

OneCpu::OneCpu() {
    m_saved = sched_getaffinity(0, sizeof m_old, &m_old) == 0;
    const int cpu = sched_getcpu();
    CPU_ZERO(&m_one);
    if (cpu >= 0)
        CPU_SET(cpu, &m_one);
    m_pinned = m_saved && cpu >= 0 && sched_setaffinity(0, sizeof m_one, &m_one) == 0;
}

OneCpu::~OneCpu() {
    if (m_pinned)
        sched_setaffinity(0, sizeof m_old, &m_old);
}

void OneCpu::Join() const {
    if (m_pinned)
        pthread_setaffinity_np(pthread_self(), sizeof m_one, &m_one);
}

namespace {

std::vector<Workload> g_workloads;

} // namespace

void AddWorkload(Workload workload) {
    g_workloads.push_back(std::move(workload));
}

namespace {

// ---------------------------------------------------------------------------------------------
// The ratio table
// ---------------------------------------------------------------------------------------------

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter(OutputOptions options, const std::vector<Pairing>& rows)
        : ConsoleReporter(options), m_rows(rows) {}

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
        for (const Pairing& p : m_rows) {
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

    const std::vector<Pairing>& m_rows;
    std::map<std::string, Result> m_results;
};

// Registers every workload's benchmarks in slot order and returns the table's rows in the same
// order.
std::vector<Pairing> RegisterAll() {
    std::stable_sort(g_workloads.begin(), g_workloads.end(),
                     [](const Workload& l, const Workload& r) { return l.slot < r.slot; });
    std::vector<Pairing> rows;
    for (const Workload& w : g_workloads) {
        w.registerBenchmarks();
        rows.insert(rows.end(), w.rows.begin(), w.rows.end());
    }
    return rows;
}

void ReleaseAll() {
    for (const Workload& w : g_workloads)
        if (w.release != nullptr)
            w.release();
}

} // namespace

} // namespace zovbench

int main(int argc, char** argv) {
    using namespace zovbench;
    ZovNet* net = ZovNet::GetInstance();
    if (net == nullptr || !net->Init() || !net->StringToAddr("127.0.0.1", g_loopback))
        return 1;

    // The ratio table belongs to console output; any other format is left as the library makes it.
    bool console = true;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_format=", 19) == 0 &&
            std::strcmp(argv[i] + 19, "console") != 0)
            console = false;

    AddPacketWorkloads();
    AddTcpWorkloads();
    AddUdpWorkloads();
    AddReadinessWorkloads();
    const std::vector<Pairing> rows = RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (console) {
        int options = benchmark::ConsoleReporter::OO_Tabular;
        if (isatty(STDOUT_FILENO))
            options |= benchmark::ConsoleReporter::OO_Color;
        RatioReporter reporter(static_cast<benchmark::ConsoleReporter::OutputOptions>(options),
                               rows);
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    ReleaseAll();
    delete net;
    return 0;
}
