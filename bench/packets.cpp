// Packet build and parse, no I/O: W1 (a mixed message handed from one packet to another and read
// back) and W6 (a 4 KiB packet grown or pre-sized).
#include "driver.h"

#include <ZovNet.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

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
}

void RegisterW1() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("W1_build_parse/presized/ZovNet", W1_Lib<true>);
    RegisterBenchmark("W1_build_parse/default/ZovNet", W1_Lib<false>);
    RegisterBenchmark("W1_build_parse/raw", W1_Raw<false>);
    RegisterBenchmark("W1_build_parse/raw_heap", W1_Raw<true>);
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
                 {{"W1 build+parse, pre-sized", "W1_build_parse/presized/ZovNet",
                   "W1_build_parse/raw", Measure::Time, 1.3},
                  {"W1 build+parse, default-constructed", "W1_build_parse/default/ZovNet",
                   "W1_build_parse/raw", Measure::Time, 1.3},
                  {"W1 pre-sized vs raw with 2 heap buffers", "W1_build_parse/presized/ZovNet",
                   "W1_build_parse/raw_heap", Measure::Time, 0}}});
    AddWorkload({Slot::W6,
                 RegisterW6,
                 {{"W6 4 KiB, default-constructed vs pre-sized", "W6_growth/default/ZovNet",
                   "W6_growth/presized/ZovNet", Measure::Time, 0},
                  {"W6 4 KiB pre-sized vs raw", "W6_growth/presized/ZovNet", "W6_growth/raw",
                   Measure::Time, 0}}});
}

} // namespace zovbench
