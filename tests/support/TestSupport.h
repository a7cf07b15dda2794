// Shared helpers for the tests: the network layer, loopback addresses, captured output and
// bounded waits. Loopback only; ports are always chosen by the system.
#ifndef ZOVNET_TEST_SUPPORT_H
#define ZOVNET_TEST_SUPPORT_H

#include <ZovNet.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <sys/socket.h>
#include <sys/time.h>

namespace zovtest {

// True when this test binary is linked against the debug library ZovNetd.
constexpr bool kDebugLibrary = ZOVNET_TEST_DEBUG != 0;

// 127.0.0.1 in network byte order, whatever the host's byte order.
inline unsigned int Loopback() {
    const unsigned char bytes[4] = {127, 0, 0, 1};
    unsigned int addr;
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}

// Starts the network layer once for the process; tests that need it derive from this.
class NetTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ZovNet::GetInstance()->Init()); }
};

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

// Bounds every blocking receive on `descriptor` so that a lost message fails a test instead of
// hanging it.
inline void SetReceiveTimeout(unsigned int descriptor, int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    ::setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

} // namespace zovtest

#endif // ZOVNET_TEST_SUPPORT_H
