// Shared helpers for the tests: the network layer, loopback addresses, captured output and
// bounded waits. Loopback only; ports are always chosen by the system.
#ifndef ZOVNET_TEST_SUPPORT_H
#define ZOVNET_TEST_SUPPORT_H

#include <ZovNet.h>

#include "Emulator.h"
#include "SocketApi.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <regex>
#include <string>
#include <utility>

namespace zovtest {

// The smallest concrete socket: nothing but what every socket inherits.
class BareSocket : public ZovSocket {
public:
    unsigned int SocketType() const override { return 0; }
    int Send(void*, unsigned int) override { return -1; }
    int Send(ZovNetPacket*) override { return -1; }
    int Receive(void*, unsigned int) override { return -1; }
    int Receive(ZovNetPacket*) override { return -1; }
};

// True when this test binary is linked against the debug library ZovNetd.
constexpr bool kDebugLibrary = ZOVNET_TEST_DEBUG != 0;

// 127.0.0.1 in network byte order, whatever the host's byte order.
inline unsigned int Loopback() {
    const unsigned char bytes[4] = {127, 0, 0, 1};
    unsigned int addr;
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}

// Whether the library's last failed call on this thread (a receive) ran out of the socket's
// receive time-out.
inline bool ReceiveTimedOut() {
    return ZovNet::LastError() == ZOVNET::ERRCODE_TIMED_OUT;
}

// Starts the network layer once for the process; tests that need it derive from this.
class NetTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ZovNet::GetInstance()->Init()); }
};

// GoogleTest's "threadsafe" death tests run the statement in this test program started afresh.
// Under an emulator the program cannot start itself: the system is never taught to run a program
// of the emulated CPU. There the statement runs in a fork of this process instead, the default
// style, which checks the same exit and report; a test that needs the fresh start itself skips
// with kNoFreshStart.
inline void UseThreadsafeDeathTests() {
    GTEST_FLAG_SET(death_test_style, Emulated() ? "fast" : "threadsafe");
}

constexpr const char* kNoFreshStart =
    "under the emulator this program cannot start itself afresh (the system cannot run a program "
    "of the emulated CPU), which this death test needs";

// Runs `body` and returns what it wrote to standard error (warning boxes land there).
template <typename Body> std::string StderrOf(Body body) {
    std::fflush(stderr);
    ::testing::internal::CaptureStderr();
    body();
    std::fflush(stderr);
    return ::testing::internal::GetCapturedStderr();
}

// Runs `body` and returns what it wrote to standard output.
template <typename Body> std::string StdoutOf(Body body) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

// What a death test's child wrote to standard error must match `pattern`, an extended regular
// expression, everywhere in the same way: GoogleTest's own expressions are POSIX ones on POSIX and
// a small subset without brackets or groups on Windows. Line ends are compared as line feeds (a
// Windows program's standard error in text mode writes CR LF).
class EreMatcher : public ::testing::MatcherInterface<const std::string&> {
public:
    explicit EreMatcher(std::string pattern) : m_pattern(std::move(pattern)) {}
    bool MatchAndExplain(const std::string& text, ::testing::MatchResultListener*) const override {
        std::string plain;
        for (std::size_t i = 0; i < text.size(); ++i)
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
                plain += text[i];
        return std::regex_search(plain, std::regex(m_pattern, std::regex::extended));
    }
    void DescribeTo(std::ostream* os) const override {
        *os << "matches the extended regular expression \"" << m_pattern << "\"";
    }
    void DescribeNegationTo(std::ostream* os) const override {
        *os << "does not match the extended regular expression \"" << m_pattern << "\"";
    }

private:
    std::string m_pattern;
};

inline ::testing::Matcher<const std::string&> Ere(const std::string& pattern) {
    return ::testing::MakeMatcher(new EreMatcher(pattern));
}

// Bounds every blocking receive on `descriptor` so that a lost message fails a test instead of
// hanging it.
inline void SetReceiveTimeout(unsigned int descriptor, int milliseconds) {
    SetReceiveTimeoutMs(static_cast<int>(descriptor), milliseconds);
}

} // namespace zovtest

#endif // ZOVNET_TEST_SUPPORT_H
