// Packet build and parse, no I/O: W1 (a mixed message handed from one packet to another and read
// back), W1c (the same with 64-bit, double and string fields) and W6 (a 4 KiB packet grown or
// pre-sized).
#include "driver.h"

#include <ZovNet.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

// One message's build and parse is a function of its own on both sides, so that callgrind can
// count the instructions of one message (see docs/benchmarks.md); the call costs both alike.
#define ZOVBENCH_BODY __attribute__((noinline))

namespace zovbench {
namespace {

// Inputs of the no-I/O workloads; written once before the benchmarks run and read through a
// compiler barrier on every iteration, so that neither side can fold them into constants.
unsigned int g_ints[16];
unsigned char g_bin[32];

// ---------------------------------------------------------------------------------------------
// W1: packet build and parse, no I/O
// ---------------------------------------------------------------------------------------------

constexpr unsigned char kW1Type = 0x21;
constexpr unsigned short kW1Content = 16 * 4 + 32; // 96 content bytes, a 99-byte message

ZOVBENCH_BODY unsigned int W1LibBody(ZovNetPacket& out, ZovNetPacket& in) {
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

ZOVBENCH_BODY unsigned int W1RawBody(unsigned char* out, unsigned char* in) {
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

// The packets kept from message to message, as a sender and a receiver keep theirs (W1a): the
// sender empties its packet for each message.
ZOVBENCH_BODY unsigned int W1aLibBody(ZovNetPacket& out, ZovNetPacket& in) {
    out.Reset();
    return W1LibBody(out, in);
}

void W1_LibReused(benchmark::State& state) {
    ZovNetPacket out(kW1Type, kW1Content);
    ZovNetPacket in(kW1Content);
    for (auto _ : state) {
        benchmark::ClobberMemory();
        const unsigned int sum = W1aLibBody(out, in);
        benchmark::DoNotOptimize(sum);
    }
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
// W1c: W1's message and 64-bit, double and string fields, the packets kept from message to
// message as a sender and a receiver keep theirs
// ---------------------------------------------------------------------------------------------

constexpr unsigned int kW1cWide = 4;  // 64-bit integers, and as many doubles
constexpr unsigned int kW1cText = 16; // bytes of the string field
// W1's 96 content bytes, then 4 x 8 and 4 x 8, then the string's 2-byte count and its bytes.
constexpr unsigned short kW1cContent = kW1Content + 2 * kW1cWide * 8 + 2 + kW1cText;

unsigned long long g_wide[kW1cWide];
double g_doubles[kW1cWide];
char g_text[kW1cText + 1];

// What a reader of the message adds up; both sides must reach the sum made from the inputs.
struct W1cSum {
    unsigned long long ints = 0;
    double reals = 0;
    bool operator==(const W1cSum& o) const { return ints == o.ints && reals == o.reals; }
};

W1cSum W1cExpected() {
    W1cSum s;
    s.ints = kW1Type + sizeof g_bin + kW1cText;
    for (unsigned int v : g_ints)
        s.ints += v;
    for (unsigned long long v : g_wide)
        s.ints += v;
    for (double v : g_doubles)
        s.reals += v;
    return s;
}

ZOVBENCH_BODY W1cSum W1cLibBody(ZovNetPacket& out, ZovNetPacket& in) {
    out.Reset();
    for (unsigned int v : g_ints)
        out.AddInt32(v);
    out.AddBin(g_bin, sizeof g_bin);
    for (unsigned long long v : g_wide)
        out.AddInt64(v);
    for (double v : g_doubles)
        out.AddDouble(v);
    out.AddString(g_text);
    const unsigned short length = out.Length();
    in.WritePacket(out.Data(), length);
    W1cSum sum;
    sum.ints = in.Type();
    for (int i = 0; i < 16; ++i)
        sum.ints += in.ReadInt32();
    unsigned char bin[32];
    sum.ints += in.ReadBin(bin, sizeof bin);
    for (unsigned int i = 0; i < kW1cWide; ++i)
        sum.ints += in.ReadInt64();
    for (unsigned int i = 0; i < kW1cWide; ++i)
        sum.reals += in.ReadDouble();
    char text[kW1cText + 1];
    sum.ints += in.ReadString(text, sizeof text);
    Escape(bin);
    Escape(text);
    return sum;
}

void W1c_Lib(benchmark::State& state) {
    ZovNetPacket out(kW1Type, kW1cContent);
    ZovNetPacket in(kW1cContent);
    W1cSum sum;
    for (auto _ : state) {
        benchmark::ClobberMemory();
        sum = W1cLibBody(out, in);
        benchmark::DoNotOptimize(sum);
    }
    if (!(sum == W1cExpected()))
        state.SkipWithError("the fields read back differ from those written");
}

ZOVBENCH_BODY W1cSum W1cRawBody(unsigned char* out, unsigned char* in) {
    unsigned char* p = out + 3;
    out[2] = kW1Type;
    for (unsigned int v : g_ints)
        p = Put32(p, v);
    std::memcpy(p, g_bin, sizeof g_bin);
    p += sizeof g_bin;
    for (unsigned long long v : g_wide)
        p = Put64(p, v);
    for (double v : g_doubles) {
        unsigned long long bits;
        std::memcpy(&bits, &v, sizeof bits);
        p = Put64(p, bits);
    }
    const size_t count = std::strlen(g_text);
    p = Put16(p, static_cast<unsigned int>(count));
    std::memcpy(p, g_text, count);
    p += count;
    const unsigned int length = static_cast<unsigned int>(p - out);
    Put16(out, length);
    // The hand-over: the receiver gets its own copy of the message.
    std::memcpy(in, out, length);
    Escape(in);
    if (Get16(in) != length)
        std::abort();
    W1cSum sum;
    sum.ints = in[2];
    const unsigned char* q = in + 3;
    for (int i = 0; i < 16; ++i, q += 4)
        sum.ints += Get32(q);
    unsigned char bin[32];
    std::memcpy(bin, q, sizeof bin);
    q += sizeof bin;
    sum.ints += sizeof bin;
    for (unsigned int i = 0; i < kW1cWide; ++i, q += 8)
        sum.ints += Get64(q);
    for (unsigned int i = 0; i < kW1cWide; ++i, q += 8) {
        const unsigned long long bits = Get64(q);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        sum.reals += v;
    }
    char text[kW1cText + 1];
    const unsigned int stated = Get16(q);
    const unsigned int copied = std::min(stated, static_cast<unsigned int>(sizeof text - 1));
    std::memcpy(text, q + 2, copied);
    text[copied] = '\0';
    sum.ints += stated;
    Escape(bin);
    Escape(text);
    return sum;
}

// Plain buffers kept from message to message, like the packets on the other side.
void W1c_Raw(benchmark::State& state) {
    unsigned char out[3 + kW1cContent];
    unsigned char in[3 + kW1cContent];
    W1cSum sum;
    for (auto _ : state) {
        benchmark::ClobberMemory();
        sum = W1cRawBody(out, in);
        benchmark::DoNotOptimize(sum);
    }
    if (!(sum == W1cExpected()))
        state.SkipWithError("the fields read back differ from those written");
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

void SetInputs() {
    for (unsigned int i = 0; i < 16; ++i)
        g_ints[i] = 0x01020304u * (i + 1);
    for (unsigned int i = 0; i < sizeof g_bin; ++i)
        g_bin[i] = static_cast<unsigned char>(0xA0 + i);
    for (unsigned int i = 0; i < kW1cWide; ++i) {
        // Every byte of the fields in use: the top bit of the integers, the sign and a long
        // fraction of the doubles.
        g_wide[i] = 0x0102030405060708ull * (i + 1) | 0x8000000000000000ull;
        g_doubles[i] = -(i + 1.0) / 3.0;
    }
    for (unsigned int i = 0; i < kW1cText; ++i)
        g_text[i] = static_cast<char>('a' + i);
    g_text[kW1cText] = '\0';
}

void RegisterW1() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("W1_build_parse/reused/ZovNet", W1_LibReused);
    RegisterBenchmark("W1_build_parse/presized/ZovNet", W1_Lib<true>);
    RegisterBenchmark("W1_build_parse/default/ZovNet", W1_Lib<false>);
    RegisterBenchmark("W1_build_parse/raw", W1_Raw<false>);
    RegisterBenchmark("W1_build_parse/raw_heap", W1_Raw<true>);
}

void RegisterW1c() {
    benchmark::RegisterBenchmark("W1c_build_parse/reused/ZovNet", W1c_Lib);
    benchmark::RegisterBenchmark("W1c_build_parse/raw", W1c_Raw);
}

void RegisterW6() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("W6_growth/default/ZovNet", W6_Lib<false>)->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("W6_growth/presized/ZovNet", W6_Lib<true>)->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("W6_growth/raw", W6_Raw)->Unit(benchmark::kMicrosecond);
}

} // namespace

void AddPacketWorkloads() {
    SetInputs();
    AddWorkload({Slot::W1,
                 RegisterW1,
                 {{"W1a build+parse, reused", "W1_build_parse/reused/ZovNet", "W1_build_parse/raw",
                   Measure::Time, 1.3},
                  {"W1 build+parse, pre-sized", "W1_build_parse/presized/ZovNet",
                   "W1_build_parse/raw", Measure::Time, 1.3},
                  {"W1 build+parse, default-constructed", "W1_build_parse/default/ZovNet",
                   "W1_build_parse/raw", Measure::Time, 1.3},
                  {"W1 pre-sized vs raw with 2 heap buffers", "W1_build_parse/presized/ZovNet",
                   "W1_build_parse/raw_heap", Measure::Time, 0}}});
    AddWorkload({Slot::W1c,
                 RegisterW1c,
                 {{"W1c build+parse, + 64-bit/double/string, reused",
                   "W1c_build_parse/reused/ZovNet", "W1c_build_parse/raw", Measure::Time, 1.5}}});
    AddWorkload({Slot::W6,
                 RegisterW6,
                 {{"W6 4 KiB, default-constructed vs pre-sized", "W6_growth/default/ZovNet",
                   "W6_growth/presized/ZovNet", Measure::Time, 0},
                  {"W6 4 KiB pre-sized vs raw", "W6_growth/presized/ZovNet", "W6_growth/raw",
                   Measure::Time, 0}}});
}

} // namespace zovbench
