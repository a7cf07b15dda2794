// The two reports to the user as they appear on POSIX (the warning box and the debug library's
// fatal report, both on standard error), the network layer's precondition checks, and what
// loading the library does (nothing).
#include "TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <ostream>
#include <string>

// Allocation failure on demand, for the instance the network layer allocates.
#include "FailingNew.h"

#if !defined(_WIN32)
#include <csignal>
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

// --------------------------------------------------------------------------------------------
// Helpers
// --------------------------------------------------------------------------------------------

// Every test starts without an instance, whatever ran before it in this process.
class FatalReportDeathTest : public ::testing::Test {
protected:
    void SetUp() override { delete ZovNet::GetInstance(); }
};

// Escapes the characters of `text` that an extended regular expression would read as operators.
std::string Literal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos)
            out += '\\';
        out += c;
    }
    return out;
}

// The line of `ZOVNET_ASSERT(expression)` inside the function whose definition begins with
// `definition`, read from the library's source next to this test; 0 when the source is not there
// to read (a copy of the test outside its tree).
int CheckLine(const std::string& definition, const std::string& expression) {
    std::string path = __FILE__;
    const std::string self = "tests/diagnostics_test.cpp";
    if (path.size() < self.size() ||
        path.compare(path.size() - self.size(), self.size(), self) != 0)
        return 0;
    path.replace(path.size() - self.size(), self.size(), "src/ZovNet.cpp");
    std::ifstream source(path);
    if (!source)
        return 0;

    const std::string check = "ZOVNET_ASSERT(" + expression + ");";
    bool inside = false;
    int number = 0;
    for (std::string line; std::getline(source, line);) {
        ++number;
        if (line.compare(0, definition.size(), definition) == 0)
            inside = true;
        else if (inside && line.compare(0, 1, "}") == 0)
            break;
        else if (inside && line.find(check) != std::string::npos)
            return number;
    }
    ADD_FAILURE() << "no " << check << " in " << definition << " of " << path;
    return 0;
}

// The whole of what the debug library writes for a failed check: the expression, an empty line,
// the file and the line.
std::string FatalReport(const std::string& definition, const std::string& expression) {
    const int line = CheckLine(definition, expression);
    return "^Fatal error: " + Literal(expression) + "\n\nFile: src/ZovNet\\.cpp\nLine: " +
           (line > 0 ? std::to_string(line) : std::string("[1-9][0-9]*")) + "\n$";
}

// --------------------------------------------------------------------------------------------
// Warning box
// --------------------------------------------------------------------------------------------

TEST(WarningBox, IsWrittenWholeOnStandardErrorAndTheOperationCarriesOn) {
    ASSERT_TRUE(ZovNet::GetInstance()->Init());
    ZovTCPSocketServer owner;
    ASSERT_NE(owner.Descriptor(), ZOVNET::BADSOCKET);

    const std::string err = zovtest::StderrOf([&] {
        ZovTCPSocketServer second(owner.Port());
        // The box does not end anything: the object exists, without a socket.
        EXPECT_EQ(second.Descriptor(), ZOVNET::BADSOCKET);
        EXPECT_EQ(second.State(), static_cast<unsigned int>(ZovSocket::SOCK_CLOSED));
    });
    EXPECT_EQ(err, "Warning: Can not bind TCP socket to local port\n");
}

// --------------------------------------------------------------------------------------------
// The network layer's checks: fatal in the debug library, refused in the release library
// --------------------------------------------------------------------------------------------

struct NullCase {
    const char* label;
    const char* definition; // how the checked function's definition begins in the source
    const char* expression; // the check that must fail
    bool (*call)(ZovNet*);
};

const NullCase kNullCases[] = {
    {"CheckName", "bool ZovNet::CheckName(", "hostname != NULL",
     [](ZovNet* net) { return net->CheckName(nullptr); }},
    {"NameToAddrNullName", "bool ZovNet::NameToAddr(", "hostname != NULL",
     [](ZovNet* net) {
         unsigned int addr = 0;
         return net->NameToAddr(nullptr, &addr);
     }},
    // The name is checked before the address.
    {"NameToAddrBothNull", "bool ZovNet::NameToAddr(", "hostname != NULL",
     [](ZovNet* net) { return net->NameToAddr(nullptr, nullptr); }},
    {"NameToAddrNullAddress", "bool ZovNet::NameToAddr(", "hostaddr != NULL",
     [](ZovNet* net) { return net->NameToAddr("localhost", nullptr); }},
    {"AddrToName", "bool ZovNet::AddrToName(", "str != NULL",
     [](ZovNet* net) { return net->AddrToName(zovtest::Loopback(), nullptr, 16); }},
    {"AddrToString", "bool ZovNet::AddrToString(", "str != NULL",
     [](ZovNet* net) { return net->AddrToString(zovtest::Loopback(), nullptr, 16); }},
    {"StringToAddr", "bool ZovNet::StringToAddr(", "str != NULL",
     [](ZovNet* net) {
         unsigned int addr = 0;
         return net->StringToAddr(nullptr, addr);
     }},
};

void PrintTo(const NullCase& c, std::ostream* os) {
    *os << c.label;
}

class NetCheckDeathTest : public FatalReportDeathTest,
                          public ::testing::WithParamInterface<NullCase> {};

// The checks come before the started test: an instance that was never started fails them too.
TEST_P(NetCheckDeathTest, DebugLibraryReportsTheCheckAndExits) {
    if (!zovtest::kDebugLibrary)
        GTEST_SKIP() << "checks exist only in the debug library";
    ZovNet* net = ZovNet::GetInstance();
    EXPECT_EXIT(GetParam().call(net), ::testing::ExitedWithCode(1),
                zovtest::Ere(FatalReport(GetParam().definition, GetParam().expression)));
}

TEST_P(NetCheckDeathTest, ReleaseLibraryRefuses) {
    if (zovtest::kDebugLibrary)
        GTEST_SKIP() << "the debug library ends the process instead";
    ZovNet* net = ZovNet::GetInstance();
    ASSERT_TRUE(net->Init());
    std::string err = zovtest::StderrOf([&] { EXPECT_FALSE(GetParam().call(net)); });
    EXPECT_EQ(err, "");
    EXPECT_EQ(ZovNet::LastError(), ZOVNET::ERRCODE_NULL_ARGUMENT);
}

INSTANTIATE_TEST_SUITE_P(NetworkLayer, NetCheckDeathTest, ::testing::ValuesIn(kNullCases),
                         [](const ::testing::TestParamInfo<NullCase>& info) {
                             return std::string(info.param.label);
                         });

void ReportExitHandler() {
    std::fputs("exit handlers ran\n", stderr);
}

TEST_F(FatalReportDeathTest, LeavesThroughTheOrdinaryExitPath) {
    if (!zovtest::kDebugLibrary)
        GTEST_SKIP() << "checks exist only in the debug library";
    EXPECT_EXIT(
        {
            std::atexit(ReportExitHandler);
            ZovNet::GetInstance()->CheckName(nullptr);
        },
        ::testing::ExitedWithCode(1), zovtest::Ere("\nLine: [0-9]+\nexit handlers ran\n$"));
}

TEST_F(FatalReportDeathTest, FailedAllocationOfTheInstance) {
    if (!zovtest::kAllocatorReplacementReachesLibrary)
        GTEST_SKIP() << "a Windows DLL allocates with its own runtime's operator new, which the "
                        "test program cannot replace";
    if (zovtest::kDebugLibrary) {
        EXPECT_EXIT(
            {
                zovtest::g_failNothrowNew = true;
                ZovNet::GetInstance();
            },
            ::testing::ExitedWithCode(1),
            zovtest::Ere(FatalReport("ZovNet* ZovNet::GetInstance(", "m_instance != NULL")));
        return;
    }
    zovtest::g_failNothrowNew = true;
    ZovNet* none = ZovNet::GetInstance();
    zovtest::g_failNothrowNew = false;
    EXPECT_EQ(none, nullptr);
    // Nothing was stored: the next call tries again.
    ZovNet* net = ZovNet::GetInstance();
    ASSERT_NE(net, nullptr);
    EXPECT_TRUE(net->Init());
}

// --------------------------------------------------------------------------------------------
// Reports into a pipe whose reader has gone
// --------------------------------------------------------------------------------------------

#if !defined(_WIN32)
// Points descriptor `fd` at a pipe whose read end is closed already.
bool PointAtDeadPipe(int fd) {
    int ends[2];
    if (::pipe(ends) != 0)
        return false;
    ::close(ends[0]);
    const bool ok = ::dup2(ends[1], fd) == fd;
    ::close(ends[1]);
    return ok;
}

bool SigpipeBlocked() {
    sigset_t mask;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGPIPE) == 1;
}

bool SigpipePending() {
    sigset_t pending;
    ::sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

// A warning: a second UDP socket on the port of the first cannot bind.
void Warn() {
    ZovUDPSocket first;
    ZovUDPSocket second(first.Port());
}

// A line on standard output, written at once.
void PrintMismatch() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const unsigned char bytes[] = {0x00, 0x09, 0x07};
    ZovNetPacket().WritePacket(bytes, sizeof bytes);
}

// The child's exit status: 0 when the process lived through `output` into a dead pipe with the
// thread's signal mask as it was and (`pendingBefore`) a SIGPIPE the application had pending
// still pending; 2 and 4 say which of those failed.
int OutputIntoDeadPipe(int fd, void (*output)(), bool pendingBefore) {
    ZovNet::GetInstance()->Init();
    if (pendingBefore) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        ::raise(SIGPIPE);
    }
    if (!PointAtDeadPipe(fd))
        return 5;
    output();
    if (SigpipeBlocked() != pendingBefore)
        return 2;
    if (SigpipePending() != pendingBefore)
        return 4;
    return 0;
}
#endif

TEST(ReportIntoDeadPipe, WarningOrLineLosesItsTextNotTheProcess) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no SIGPIPE";
#else
    const struct {
        const char* name;
        int fd;
        void (*output)();
        bool pendingBefore;
    } cases[] = {
        {"warning on standard error", 2, Warn, false},
        {"warning, the application's own SIGPIPE pending", 2, Warn, true},
        {"mismatch line on standard output", 1, PrintMismatch, false},
        {"socket set listing on standard output", 1,
         [] {
             std::setvbuf(stdout, nullptr, _IONBF, 0);
             ZovSocketSet().PrintInfo();
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(std::exit(OutputIntoDeadPipe(c.fd, c.output, c.pendingBefore)),
                    ::testing::ExitedWithCode(0), "");
    }
#endif
}

// The debug library's fatal report into a dead pipe still ends the process with status 1.
TEST_F(FatalReportDeathTest, FatalReportIntoDeadPipeStillExitsWithStatusOne) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no SIGPIPE";
#else
    if (!zovtest::kDebugLibrary)
        GTEST_SKIP() << "checks exist only in the debug library";
    EXPECT_EXIT(
        {
            PointAtDeadPipe(2);
            ZovNet::GetInstance()->CheckName(nullptr);
        },
        ::testing::ExitedWithCode(1), "");
#endif
}

// --------------------------------------------------------------------------------------------
// Loading the library
// --------------------------------------------------------------------------------------------

// A process of its own, started afresh, in which nothing but the loading has happened: the
// library said nothing, started no thread, and left no started network layer behind. (The
// "threadsafe" style runs the statement in a newly executed copy of this program, not a fork.)
TEST(LibraryLoad, LoadingTheLibraryDoesNothing) {
    if (zovtest::Emulated())
        GTEST_SKIP() << zovtest::kNoFreshStart;
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const int threads = zovtest::ThreadCount();
            unsigned int addr = 0;
            const bool started = ZovNet::GetInstance()->StringToAddr("127.0.0.1", addr);
            std::exit(threads == 1 && !started ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), zovtest::Ere("^$"));
    GTEST_FLAG_SET(death_test_style, style);
}

} // namespace
