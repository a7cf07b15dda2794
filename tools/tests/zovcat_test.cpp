// zovcat driven end to end: the tool runs as child processes on loopback, on ports chosen by the
// system, and this test plays the well-behaved and the hostile peers with the library's sockets.
#include "ChildProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifndef ZOVCAT_PATH
#error "ZOVCAT_PATH names the program under test"
#endif

namespace {

using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;

constexpr int kWaitMs = 10000;

const std::string kNine = "00 09 07 02 01 00 01 00 00";
// Time, peer, then the message: what every message line of `listen` looks like.
const std::string kLinePrefix = R"(^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} 127\.0\.0\.1:[0-9]+ )";

unsigned short NetworkPort(unsigned int port) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8),
                                    static_cast<unsigned char>(port)};
    unsigned short value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

unsigned int HostPort(unsigned short networkOrder) {
    unsigned char bytes[2];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    return bytes[0] * 256u + bytes[1];
}

// `text` as an extended regular expression that matches exactly it (a closing bracket or brace
// is plain text there, and escaping it is an error).
std::string Literal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string(".[()*+?{|^$\\").find(c) != std::string::npos)
            out += '\\';
        out += c;
    }
    return out;
}

// Only the start of a line is matched: the standard library's matcher recurses once per
// character and a line of the longest message would exhaust the stack.
bool Matches(const std::string& line, const std::string& pattern) {
    return std::regex_search(line.substr(0, 400), std::regex(pattern, std::regex::extended));
}

std::string Joined(const Lines& lines) {
    std::string all;
    for (const std::string& l : lines)
        all += "  " + (l.size() > 200 ? l.substr(0, 200) + "..." : l) + "\n";
    return all;
}

// One run of the tool to its end: its output lines (standard error merged when asked) and how
// it ended.
struct Outcome {
    Lines lines;
    zovtest::ExitStatus status;
};

Outcome RunZovcat(std::vector<std::string> args, zovtest::ChildOptions options = {}) {
    Outcome out;
    zovtest::ChildProcess child;
    args.insert(args.begin(), ZOVCAT_PATH);
    options.mergeErrors = true;
    if (!child.Start(args, options)) {
        ADD_FAILURE() << "cannot start " << ZOVCAT_PATH;
        return out;
    }
    std::string line;
    while (child.ReadLine(line, kWaitMs))
        out.lines.push_back(line);
    EXPECT_TRUE(child.WaitExit(kWaitMs, out.status)) << "zovcat did not end";
    return out;
}

// A listening zovcat: started with its output on a pipe, and always gone with this object.
class Listener {
public:
    // Starts `zovcat listen ARGS 0` and reads the port from its first line. The listener ends
    // by itself should this test die without stopping it.
    bool Start(std::vector<std::string> args, bool errorsToo = false) {
        args.insert(args.begin(), {ZOVCAT_PATH, "listen", "--max-seconds", "100"});
        args.push_back("0");
        zovtest::ChildOptions options;
        options.mergeErrors = errorsToo;
        if (!m_child.Start(args, options)) {
            ADD_FAILURE() << "cannot start " << ZOVCAT_PATH;
            return false;
        }
        std::string line;
        if (!m_child.ReadLine(line, kWaitMs)) {
            ADD_FAILURE() << "the listener named no port";
            return false;
        }
        std::smatch m;
        if (!std::regex_match(line, m, std::regex("listening on (TCP|UDP) port ([0-9]+)"))) {
            ADD_FAILURE() << "unexpected first line: " << line;
            return false;
        }
        m_port = static_cast<unsigned int>(std::stoul(m[2]));
        return m_port > 0 && m_port < 65536;
    }

    unsigned int Port() const { return m_port; }
    std::string PortText() const { return std::to_string(m_port); }

    // The next line, or an empty string after the wait (a failure of the test).
    std::string Next() {
        std::string line;
        if (!m_child.ReadLine(line, kWaitMs)) {
            ADD_FAILURE() << "the listener printed nothing more";
            return std::string();
        }
        return line;
    }

    // Reads lines until one matches `pattern`; fails the test when none does in time.
    std::string Await(const std::string& pattern) {
        Lines seen;
        std::string line;
        while (m_child.ReadLine(line, kWaitMs)) {
            if (Matches(line, pattern))
                return line;
            seen.push_back(line);
        }
        ADD_FAILURE() << "no line matches " << pattern << "; seen:\n" << Joined(seen);
        return std::string();
    }

    bool WaitExit(zovtest::ExitStatus& status) { return m_child.WaitExit(kWaitMs, status); }

private:
    zovtest::ChildProcess m_child;
    unsigned int m_port = 0;
};

// A file in the test's working directory, named after the test, gone with the object.
class InputFile {
public:
    explicit InputFile(const std::string& suffix) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_path = std::string("zovcat_") + info->test_suite_name() + "_" + info->name() + suffix;
        for (char& c : m_path)
            if (c == '/')
                c = '_';
    }
    ~InputFile() { std::remove(m_path.c_str()); }

    bool Write(const std::string& content) {
        std::FILE* f = std::fopen(m_path.c_str(), "wb");
        if (f == nullptr)
            return false;
        const bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
        return std::fclose(f) == 0 && ok;
    }

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

class ZovcatTest : public zovtest::NetTest {};

// --------------------------------------------------------------------------------------------
// The command line

struct UsageCase {
    std::vector<std::string> args;
    int exitCode;
    const char* output; // an extended regular expression some output line must match
};

TEST_F(ZovcatTest, CommandLinesAreCheckedBeforeAnythingIsSent) {
    const std::vector<UsageCase> cases = {
        {{}, 2, "no command"},
        {{"--help"}, 0, "^usage:"},
        {{"help"}, 0, "^usage:"},
        {{"send", "--help"}, 0, "zovcat send"},
        {{"listen", "--help"}, 0, "zovcat listen"},
        {{"decode", "--help"}, 0, "zovcat decode"},
        {{"frobnicate"}, 2, "unknown command frobnicate"},
        {{"listen"}, 2, "listen needs one PORT"},
        {{"listen", "1", "2"}, 2, "listen needs one PORT"},
        {{"listen", "65536"}, 2, "not a port: 65536"},
        {{"listen", "-5"}, 2, "not a port"},
        {{"listen", "--bogus", "0"}, 2, "unknown option --bogus"},
        {{"listen", "--count", "0", "0"}, 2, "--count"},
        {{"send", "127.0.0.1"}, 2, "HOST and PORT"},
        {{"send", "127.0.0.1", "9"}, 2, "needs --type"},
        {{"send", "127.0.0.1", "0", "--type", "1"}, 2, "not a port: 0"},
        {{"send", "127.0.0.1", "9", "--type", "256"}, 2, "--type"},
        {{"send", "127.0.0.1", "9", "--type"}, 2, "--type needs a value"},
        {{"send", "127.0.0.1", "9", "--type", "1", "u8:256"}, 2, "8-bit"},
        {{"send", "127.0.0.1", "9", "--type", "1", "u16:65536"}, 2, "16-bit"},
        {{"send", "127.0.0.1", "9", "--type", "1", "u16:-1"}, 2, "16-bit"},
        {{"send", "127.0.0.1", "9", "--type", "1", "u32:4294967296"}, 2, "32-bit"},
        {{"send", "127.0.0.1", "9", "--type", "1", "u32:"}, 2, "32-bit"},
        {{"send", "127.0.0.1", "9", "--type", "1", "hex:abc"}, 2, "odd number"},
        {{"send", "127.0.0.1", "9", "--type", "1", "hex:zz"}, 2, "not hex"},
        {{"send", "127.0.0.1", "9", "--type", "1", "i64:1"}, 2, "unknown field kind"},
        {{"send", "127.0.0.1", "9", "--type", "1", "u64:18446744073709551616"}, 2, "64-bit"},
        {{"send", "127.0.0.1", "9", "--type", "1", "f32:1.5x"}, 2, "floating-point"},
        {{"send", "127.0.0.1", "9", "--type", "1", "f64:"}, 2, "floating-point"},
        {{"decode", "--fields", "u8,u9"}, 2, "not a field kind: 'u9'"},
        {{"decode", "--fields", "bin:0"}, 2, "bin:N needs a count"},
        {{"send", "127.0.0.1", "9", "--type", "1", "513"}, 2, "not a field"},
        {{"send", "127.0.0.1", "9", "--type", "1", "--count", "0"}, 2, "--count"},
        {{"send", "127.0.0.1", "9", "--type", "1", "--wait-reply", "0"}, 2, "--wait-reply"},
        {{"send", "127.0.0.1", "9", "--type", "1", "--interval", "x"}, 2, "--interval"},
        {{"decode", "file.txt"}, 2, "no operand"},
        // Address text that can be no address is refused before any lookup.
        {{"send", "[::1", "9", "--type", "1"},
         2,
         R"(not an address: \[::1 \(no closing bracket\)$)"},
        {{"send", "[::1]9", "--type", "1"}, 2, R"(not an address: \[::1]9 \(after ']')"},
        {{"send", "::g", "9", "--type", "1"}, 2, "not an address or host name: ::g$"},
        {{"send", "1:2:3:4:5:6:7:8:9", "9", "--type", "1"}, 2, "not an address or host name"},
        {{"send", "1.2.3.4.5", "9", "--type", "1"},
         2,
         R"(not an address or host name: 1\.2\.3\.4\.5$)"},
        {{"send", "256.1.1.1", "9", "--type", "1"}, 2, "not an address or host name"},
        {{"send", "[127.0.0.1]:9", "--type", "1"}, 2, R"(not an address or host name: \[127)"},
        {{"send", "fe80::1%no-such-interface", "9", "--type", "1"}, 2, "not an address or host"},
        {{"send", "::1%", "9", "--type", "1"}, 2, "not an address or host name"},
        {{"send", ":9", "--type", "1"}, 2, "no host before the port in :9$"},
        {{"send", "[::1]:", "--type", "1"}, 2, "not a port: $"},
        {{"send", "[::1]:65536", "--type", "1"}, 2, "not a port: 65536$"},
        {{"send", "127.0.0.1:0", "--type", "1"}, 2, "not a port: 0$"},
        {{"send", "[::1]", "--type", "1"}, 2, "HOST and PORT"},
        {{"listen", "--bind", "1.2.3", "0"}, 2, "--bind needs an IPv4 or IPv6 address"},
        {{"listen", "--bind", "localhost", "0"}, 2, "--bind needs an IPv4 or IPv6 address"},
        {{"listen", "--bind", "[10.0.0.1]", "0"}, 2, "--bind needs an IPv4 or IPv6 address"},
        {{"listen", "0", "--bind"}, 2, "--bind needs a value"},
    };
    for (const UsageCase& c : cases) {
        std::string shown = "zovcat";
        for (const std::string& a : c.args)
            shown += " " + a;
        SCOPED_TRACE(shown);
        const Outcome out = RunZovcat(c.args);
        EXPECT_TRUE(out.status.exited);
        EXPECT_EQ(out.status.code, c.exitCode);
        bool found = false;
        for (const std::string& line : out.lines)
            found = found || Matches(line, c.output);
        EXPECT_TRUE(found) << "no line matches " << c.output << ":\n" << Joined(out.lines);
    }
}

// The largest message is 65535 bytes: 65532 content bytes fit, one more is refused before
// anything is sent (the library would leave such a field out without a word).
TEST_F(ZovcatTest, ContentBeyondTheLargestMessageIsAUsageError) {
#if defined(_WIN32)
    GTEST_SKIP() << "a Windows command line holds at most 32767 characters";
#endif
    Listener listener;
    ASSERT_TRUE(listener.Start({}));
    std::vector<std::string> args = {"send",   "127.0.0.1", listener.PortText(),
                                     "--type", "1",         "str:" + std::string(65531, 'a'),
                                     "u8:98"};
    EXPECT_EQ(RunZovcat(args).status.code, 0);
    listener.Await("length 65535 type 1: ff ff 01 61 61 ");

    args.push_back("u8:99");
    const Outcome out = RunZovcat(args);
    EXPECT_EQ(out.status.code, 2) << Joined(out.lines);
    ASSERT_FALSE(out.lines.empty());
    EXPECT_TRUE(Matches(out.lines[0], "exceed 65535 bytes")) << out.lines[0];
}

TEST_F(ZovcatTest, NetworkFailuresExitWithOneAndTheReason) {
    // A port that nothing listens on any more.
    unsigned int closedPort = 0;
    {
        ZovTCPSocketServer server;
        closedPort = HostPort(server.Port());
    }
    ASSERT_NE(closedPort, 0u);
    const std::string unresolvable = std::string(70, 'x') + ".invalid";
    ZovTCPSocketServer taken;
    ASSERT_NE(taken.Port(), 0);
    const std::string takenPort = std::to_string(HostPort(taken.Port()));
    // One line for each failure, with the library's reason where a library call failed (the
    // library's own warning is not repeated before it).
    struct Case {
        std::vector<std::string> args;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{"send", "127.0.0.1", std::to_string(closedPort), "--type", "7"},
         "^zovcat: cannot connect to 127\\.0\\.0\\.1:" + std::to_string(closedPort) +
             ": connection refused$"},
        {{"send", unresolvable, "9", "--type", "7"}, "^zovcat: cannot resolve x+\\.invalid: .+$"},
        {{"listen", takenPort, "--max-seconds", "1"},
         "^zovcat: cannot listen on TCP port " + takenPort + ": address already in use$"},
        {{"send", "--udp", "127.0.0.1", std::to_string(closedPort), "--type", "7", "--wait-reply",
          "300"},
         "^zovcat: no reply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const Outcome out = RunZovcat(c.args);
        EXPECT_TRUE(out.status.exited);
        EXPECT_EQ(out.status.code, 1);
        ASSERT_EQ(out.lines.size(), 1u) << Joined(out.lines);
        EXPECT_TRUE(Matches(out.lines[0], c.line)) << out.lines[0];
    }
}

// --------------------------------------------------------------------------------------------
// send -> listen

class ZovcatTransportTest : public ZovcatTest, public ::testing::WithParamInterface<bool> {
protected:
    bool Udp() const { return GetParam(); }
    std::vector<std::string> Transport() const {
        return Udp() ? std::vector<std::string>{"--udp"} : std::vector<std::string>{};
    }
};

TEST_P(ZovcatTransportTest, TheDemoMessageArrivesAsNineBytesOfType7) {
    Listener listener;
    ASSERT_TRUE(listener.Start(Transport()));
    std::vector<std::string> send = {"send", "127.0.0.1", listener.PortText(), "--type",
                                     "7",    "u16:513",   "u32:65536"};
    if (Udp())
        send.push_back("--udp");
    const Outcome out = RunZovcat(send);
    EXPECT_EQ(out.status.code, 0) << Joined(out.lines);
    EXPECT_TRUE(out.lines.empty()) << Joined(out.lines);

    if (!Udp()) {
        EXPECT_TRUE(Matches(listener.Next(), kLinePrefix + "connected$"));
    }
    const std::string line = listener.Next();
    EXPECT_TRUE(Matches(line, kLinePrefix + "length 9 type 7: " + kNine + R"(  \|\.{9}\|$)"))
        << line;
    if (!Udp()) {
        EXPECT_TRUE(Matches(listener.Next(), kLinePrefix + "closed$"));
    }
}

// Each kind of field on the wire, in order, big-endian.
TEST_P(ZovcatTransportTest, FieldsAreWrittenInOrderBigEndian) {
    struct Case {
        std::vector<std::string> fields;
        std::string wire;
    };
    const std::vector<Case> cases = {
        {{}, "00 03 2a  |..*|"},
        {{"u8:255", "u8:0x7f"}, "00 05 2a ff 7f  |..*..|"},
        {{"u16:0x8001", "u32:4294967294"}, "00 09 2a 80 01 ff ff ff fe  |..*......|"},
        {{"hex:", "hex:DEADbeef"}, "00 07 2a de ad be ef  |..*....|"},
        {{"str:Hi there", "u8:0"}, "00 0c 2a 48 69 20 74 68 65 72 65 00  |..*Hi there.|"},
        {{"str:a:b"}, "00 06 2a 61 3a 62  |..*a:b|"},
        {{"u64:0x0102030405060708"}, "00 0b 2a 01 02 03 04 05 06 07 08  |..*........|"},
        {{"f32:1.5", "f64:-2.25"},
         "00 0f 2a 3f c0 00 00 c0 02 00 00 00 00 00 00  |..*?...........|"},
        {{"f32:-inf", "f32:-0"}, "00 0b 2a ff 80 00 00 80 00 00 00  |..*........|"},
        {{"string:zov", "string:"}, "00 0a 2a 00 03 7a 6f 76 00 00  |..*..zov..|"},
    };
    Listener listener;
    ASSERT_TRUE(listener.Start(Transport()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wire);
        std::vector<std::string> args = {"send", "127.0.0.1", listener.PortText(), "--type", "42"};
        if (Udp())
            args.push_back("--udp");
        args.insert(args.end(), c.fields.begin(), c.fields.end());
        EXPECT_EQ(RunZovcat(args).status.code, 0);
        listener.Await(Literal(" type 42: " + c.wire) + "$");
    }
}

TEST_P(ZovcatTransportTest, CountAndIntervalSendSeveralMessagesAndListenStopsAfterCount) {
    Listener listener;
    std::vector<std::string> options = Transport();
    options.insert(options.end(), {"--count", "3"});
    ASSERT_TRUE(listener.Start(options));
    std::vector<std::string> args = {"send",    "127.0.0.1", listener.PortText(), "--type", "1",
                                     "--count", "3",         "--interval",        "20",     "u8:9"};
    if (Udp())
        args.push_back("--udp");
    const Outcome out = RunZovcat(args);
    EXPECT_EQ(out.status.code, 0) << Joined(out.lines);
    for (int i = 0; i < 3; ++i)
        listener.Await("length 4 type 1: 00 04 01 09 ");
    zovtest::ExitStatus status;
    ASSERT_TRUE(listener.WaitExit(status)) << "the listener did not stop after 3 messages";
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);
}

TEST_P(ZovcatTransportTest, EchoAnswersEachMessageAndWaitReplyPrintsTheAnswers) {
    Listener listener;
    std::vector<std::string> options = Transport();
    options.push_back("--echo");
    ASSERT_TRUE(listener.Start(options));
    std::vector<std::string> args = {
        "send",         "127.0.0.1", listener.PortText(), "--type",   "7", "--count", "2",
        "--wait-reply", "10000",     "u16:513",           "u32:65536"};
    if (Udp())
        args.push_back("--udp");
    const Outcome out = RunZovcat(args);
    EXPECT_EQ(out.status.code, 0) << Joined(out.lines);
    ASSERT_EQ(out.lines.size(), 2u) << Joined(out.lines);
    const std::string from = R"( 127\.0\.0\.1:)" + listener.PortText() + " ";
    for (const std::string& line : out.lines)
        EXPECT_TRUE(Matches(line, from + "length 9 type 7: " + kNine + "  ")) << line;
}

TEST_P(ZovcatTransportTest, RawPrintsOnlyTheHexAndTheRestOnStandardError) {
    Listener listener;
    std::vector<std::string> options = Transport();
    options.push_back("--raw");
    ASSERT_TRUE(listener.Start(options, true));
    std::vector<std::string> args = {"send", "127.0.0.1", listener.PortText(), "--type",
                                     "7",    "u16:513",   "u32:65536"};
    if (Udp())
        args.push_back("--udp");
    EXPECT_EQ(RunZovcat(args).status.code, 0);
    // Only the hex: the lines about the connection, on standard error, have a time first.
    listener.Await("^" + kNine + "$");
}

// Every way of writing where to send reaches a listener that takes both families, and the
// listener names each peer in its family's form: an IPv4 sender (the mapped form included) as
// a.b.c.d:port, an IPv6 one as [v6]:port.
TEST_P(ZovcatTransportTest, EveryTargetFormReachesTheDualStackListener) {
    Listener listener;
    ASSERT_TRUE(listener.Start(Transport()));
    const std::string port = listener.PortText();
    const std::string v4 = R"(127\.0\.0\.1:[0-9]+)";
    const std::string v6 = R"(\[::1]:[0-9]+)";
    // A name's first address takes the connection (or the datagram, when it is IPv4 or the
    // name has no IPv4 address); with several, the first the system prefers.
    ZovAddress names[8];
    const int named = ZovNet::GetInstance()->ResolveName("localhost", names, 8);
    ASSERT_GT(named, 0);
    const ZovAddress* chosen = &names[0];
    for (int i = 0; Udp() && i < named; ++i) {
        if (names[i].IsV4()) {
            chosen = &names[i];
            break;
        }
    }
    char text[ZOVNET::ADDRESS_STRING_SIZE] = "";
    ASSERT_TRUE(ZovNet::GetInstance()->AddressToString(*chosen, text, sizeof text));
    const std::string localhost =
        chosen->IsV6() ? R"(\[)" + Literal(text) + R"(]:[0-9]+)" : Literal(text) + ":[0-9]+";
    struct Case {
        std::vector<std::string> target;
        std::string peer;
    };
    const std::vector<Case> cases = {
        {{"127.0.0.1", port}, v4},
        {{"127.0.0.1:" + port}, v4},
        {{"::1", port}, v6},
        {{"[::1]:" + port}, v6},
        {{"[::1]", port}, v6},
        {{"0:0:0:0:0:0:0:1", port}, v6},
        {{"[::ffff:127.0.0.1]:" + port}, v4},
        {{"localhost:" + port}, localhost},
        {{"localhost", port}, localhost},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.target.front());
        std::vector<std::string> args = {"send"};
        args.insert(args.end(), c.target.begin(), c.target.end());
        args.insert(args.end(), {"--type", "42", "u8:" + std::to_string(i)});
        if (Udp())
            args.push_back("--udp");
        const Outcome out = RunZovcat(args);
        EXPECT_EQ(out.status.code, 0) << Joined(out.lines);
        char hex[9];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(i & 0xFF));
        listener.Await(R"(^[0-9:.]{12} )" + c.peer + " length 4 type 42: 00 04 2a " + hex + "  ");
    }
}

// An echo to an IPv6 peer goes back to it, and the reply names the listener in brackets.
TEST_P(ZovcatTransportTest, EchoAndReplyWorkOverIPv6) {
    Listener listener;
    std::vector<std::string> options = Transport();
    options.push_back("--echo");
    ASSERT_TRUE(listener.Start(options));
    std::vector<std::string> args = {"send",         "[::1]:" + listener.PortText(),
                                     "--type",       "7",
                                     "--wait-reply", "10000",
                                     "u16:513",      "u32:65536"};
    if (Udp())
        args.push_back("--udp");
    const Outcome out = RunZovcat(args);
    EXPECT_EQ(out.status.code, 0) << Joined(out.lines);
    ASSERT_EQ(out.lines.size(), 1u) << Joined(out.lines);
    EXPECT_TRUE(Matches(out.lines[0],
                        R"( \[::1]:)" + listener.PortText() + " length 9 type 7: " + kNine + "  "))
        << out.lines[0];
}

// --bind takes one address, and so one family: a sender of the other family never reaches the
// listener. (Whether such a connection is refused depends on what else holds that port on the
// other family, so only what the listener sees is checked.)
TEST_P(ZovcatTransportTest, BindChoosesTheFamily) {
    struct Case {
        const char* bind;
        const char* reaches;
        const char* misses;
        std::string peer;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1", "127.0.0.1", "::1", R"(127\.0\.0\.1:[0-9]+)"},
        {"::1", "::1", "127.0.0.1", R"(\[::1]:[0-9]+)"},
        {"[::1]", "[::1]", "[::ffff:127.0.0.1]", R"(\[::1]:[0-9]+)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bind);
        Listener listener;
        std::vector<std::string> options = Transport();
        options.insert(options.end(), {"--bind", c.bind});
        ASSERT_TRUE(listener.Start(options));
        const auto send = [&](const char* host, const char* value) {
            std::vector<std::string> args = {"send",   host, listener.PortText(),
                                             "--type", "5",  value};
            if (Udp())
                args.push_back("--udp");
            return RunZovcat(args).status.code;
        };
        (void)send(c.misses, "u8:1");
        EXPECT_EQ(send(c.reaches, "u8:2"), 0);
        // The first message line is the second send's: the first never came in.
        const std::string line = listener.Await(" length 4 type 5: ");
        EXPECT_TRUE(Matches(line, "^[0-9:.]{12} " + c.peer + " length 4 type 5: 00 04 05 02  "))
            << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, ZovcatTransportTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Udp" : "Tcp");
                         });

// --------------------------------------------------------------------------------------------
// Peers that misbehave

class ZovcatHostileTest : public ZovcatTest {
protected:
    std::unique_ptr<ZovTCPSocketClient> Connect(const Listener& listener) {
        const unsigned short anyPort = 0;
        auto client = std::make_unique<ZovTCPSocketClient>(anyPort, zovtest::Loopback(),
                                                           NetworkPort(listener.Port()));
        EXPECT_EQ(client->State(), static_cast<unsigned int>(ZovSocket::SOCK_BOTH));
        return client;
    }
    static void SendAll(ZovTCPSocketClient& c, const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const int n = c.Send(const_cast<unsigned char*>(bytes.data() + done),
                                 static_cast<unsigned int>(bytes.size() - done));
            ASSERT_GT(n, 0);
            done += static_cast<std::size_t>(n);
        }
    }
};

// A stalled half message, a length field below 3, a message in three pieces, the longest
// message and one cut short by a close: the listener reports each and keeps serving the others.
TEST_F(ZovcatHostileTest, TcpListenerSurvivesEveryKindOfBadStream) {
    Listener listener;
    ASSERT_TRUE(listener.Start({}));
    const std::string connected = "connected$";

    auto stalled = Connect(listener);
    listener.Await(connected);
    SendAll(*stalled, {0x00}); // and then nothing: no one may wait for the rest

    auto badLength = Connect(listener);
    listener.Await(connected);
    SendAll(*badLength, {0x00, 0x01, 0x00, 0x04, 0x05, 0xAB});
    listener.Await("malformed: length field 1 is below 3 \\(its 2 bytes are skipped\\)$");
    listener.Await("length 4 type 5: 00 04 05 ab  ");

    auto pieces = Connect(listener);
    listener.Await(connected);
    const Bytes nine = {0x00, 0x09, 0x07, 0x02, 0x01, 0x00, 0x01, 0x00, 0x00};
    for (const Bytes& piece :
         {Bytes(nine.begin(), nine.begin() + 1), Bytes(nine.begin() + 1, nine.begin() + 5),
          Bytes(nine.begin() + 5, nine.end())}) {
        SendAll(*pieces, piece);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    listener.Await("length 9 type 7: " + kNine + "  ");

    auto longest = Connect(listener);
    listener.Await(connected);
    Bytes big(65535, 'z');
    big[0] = 0xFF;
    big[1] = 0xFF;
    big[2] = 0x10;
    SendAll(*longest, big);
    listener.Await("length 65535 type 16: ff ff 10 7a 7a ");

    auto cut = Connect(listener);
    listener.Await(connected);
    SendAll(*cut, {0x00, 0x09, 0x07, 0x02});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cut.reset();
    listener.Await("cut short: length field 9, only 4 bytes$");
    listener.Await("closed$");

    stalled.reset();
    listener.Await("cut short: 1 byte, no room for a length field$");

    // Still serving.
    auto good = Connect(listener);
    listener.Await(connected);
    SendAll(*good, nine);
    listener.Await("length 9 type 7: " + kNine + "  ");
}

// The socket set holds 64 descriptors: the listener and 63 connections. One more connection is
// turned away and the others keep working.
TEST_F(ZovcatHostileTest, TcpListenerTurnsAwayConnectionsBeyondItsSet) {
    Listener listener;
    ASSERT_TRUE(listener.Start({}));
    std::vector<std::unique_ptr<ZovTCPSocketClient>> clients;
    for (int i = 0; i < 63; ++i) {
        clients.push_back(Connect(listener));
        listener.Await("connected$");
    }
    auto extra = Connect(listener);
    listener.Await("refused: 63 connections are open$");
    SendAll(*clients.back(), {0x00, 0x03, 0x63});
    listener.Await("length 3 type 99: 00 03 63  ");
}

TEST_F(ZovcatHostileTest, UdpListenerReportsEveryBadDatagramAndKeepsListening) {
    Listener listener;
    ASSERT_TRUE(listener.Start({"--udp"}));
    ZovUDPSocket peer;
    const auto send = [&](Bytes bytes) {
        unsigned char none = 0;
        ASSERT_EQ(peer.Send(bytes.empty() ? &none : bytes.data(),
                            static_cast<unsigned int>(bytes.size()), zovtest::Loopback(),
                            NetworkPort(listener.Port())),
                  static_cast<int>(bytes.size()));
    };
    struct Case {
        Bytes datagram;
        Lines lines; // extended regular expressions, one for each line printed
    };
    Bytes largest(65507, 'q'); // the largest IPv4 datagram
    largest[0] = 0xFF;
    largest[1] = 0xE3;
    largest[2] = 0x01;
    const std::vector<Case> cases = {
        {{}, {"empty datagram$"}},
        {{0x00}, {"malformed: 1-byte datagram, no room for a length field$"}},
        {{0x00, 0x01, 0x07}, {"malformed: length field 1 is below 3$"}},
        {{0x00, 0x09, 0x07, 0x02}, {"cut short: length field 9, only 4 bytes$"}},
        {{0xFF, 0xFF, 0x07}, {"cut short: length field 65535, only 3 bytes$"}},
        {{0x00, 0x04, 0x07, 0x01, 0xEE, 0xEE},
         {"length 4 type 7: 00 04 07 01  ", "malformed: 2 bytes after the message$"}},
        {largest, {"length 65507 type 1: ff e3 01 71 71 "}},
        {{0x00, 0x03, 0x08}, {"length 3 type 8: 00 03 08  "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.front());
        send(c.datagram);
        // Datagrams of one sender on loopback arrive in order: each line is the next one.
        for (const std::string& pattern : c.lines) {
            const std::string line = listener.Next();
            EXPECT_TRUE(Matches(line, kLinePrefix + ".*" + pattern)) << line.substr(0, 200);
        }
    }
}

// --------------------------------------------------------------------------------------------
// decode

struct DecodeCase {
    const char* name;
    std::string input;
    Lines expected;
    int exitCode;
};

TEST_F(ZovcatTest, DecodeFramesHexAndSaysWhatIsWrong) {
    const std::string nineLine = "length 9 type 7: " + kNine + "  |.........|";
    const std::vector<DecodeCase> cases = {
        {"the demo's message", kNine + "\n", {"offset 0: " + nineLine}, 0},
        {"two messages, comments, colons and no spaces",
         "# two in a row\n00:09:07:02:01:00:01:00:00 0004 0541  # and one more\n",
         {"offset 0: " + nineLine, "offset 9: length 4 type 5: 00 04 05 41  |...A|"},
         0},
        {"nothing", "", {}, 0},
        {"a length field of 1 costs its two bytes",
         "00 01 00 03 07",
         {"offset 0: malformed: length field 1 is below 3 (its 2 bytes are skipped)",
          "offset 2: length 3 type 7: 00 03 07  |...|"},
         1},
        {"a message cut short",
         kNine + " 00 09 07 02",
         {"offset 0: " + nineLine, "offset 9: cut short: length field 9, only 4 bytes"},
         1},
        {"a single byte", "00", {"offset 0: cut short: 1 byte, no room for a length field"}, 1},
        {"a length of 65535 with three bytes",
         "ff ff 07",
         {"offset 0: cut short: length field 65535, only 3 bytes"},
         1},
        {"not hex",
         "00 09 zz",
         {"zovcat: decode: not a hex digit at line 1, column 7", "Try 'zovcat --help'."},
         2},
        {"odd digits",
         "00 0",
         {"zovcat: decode: odd number of hex digits", "Try 'zovcat --help'."},
         2},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        InputFile in(".hex");
        ASSERT_TRUE(in.Write(c.input));
        zovtest::ChildOptions options;
        options.input = in.Path();
        const Outcome out = RunZovcat({"decode"}, options);
        EXPECT_EQ(out.lines, c.expected);
        EXPECT_EQ(out.status.code, c.exitCode);
    }
}

// With a layout, each message is read field by field, and a layout that does not fit is said.
TEST_F(ZovcatTest, DecodeWithALayoutPrintsEachField) {
    struct Case {
        const char* layout;
        std::string input;
        std::string fields;
        int exitCode;
    };
    const std::vector<Case> cases = {
        {"u8,u16,u32,u64,f32,f64,string,bin:1",
         "00 23 05 ff 00 01 00 00 00 02 00 00 00 00 00 00 00 03 3f c0 00 00 "
         "c0 02 00 00 00 00 00 00 00 02 68 69 ab",
         "  fields: u8 255 u16 1 u32 2 u64 3 f32 1.5 f64 -2.25 string \"hi\" bin ab", 0},
        {"u16,u32", kNine, "  fields: u16 513 u32 65536", 0},
        {"u16", kNine, "  fields: u16 513 (4 bytes left over)", 1},
        {"u16,u64", kNine, "  fields: u16 513 u64 missing (4 bytes left)", 1},
        {"string", "00 07 05 00 09 61 62", "  fields: string missing (count 9, 2 bytes left)", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        InputFile in(".hex");
        ASSERT_TRUE(in.Write(c.input));
        zovtest::ChildOptions options;
        options.input = in.Path();
        const Outcome out = RunZovcat({"decode", "--fields", c.layout}, options);
        ASSERT_EQ(out.lines.size(), 2u) << Joined(out.lines);
        EXPECT_EQ(out.lines[1], c.fields);
        EXPECT_EQ(out.status.code, c.exitCode);
    }
}

// Bytes a text stream would change (CR LF, a Windows end-of-file mark) pass unchanged, and the
// longest message is one line.
TEST_F(ZovcatTest, DecodeBinaryReadsTheBytesThemselves) {
    std::string bytes = {0x00, 0x07, 0x0D, 0x0A, 0x1A, 0x0D, 0x0A};
    std::string longest(65535, 'x');
    longest[0] = '\xFF';
    longest[1] = '\xFF';
    longest[2] = '\x01';
    bytes += longest;
    InputFile in(".bin");
    ASSERT_TRUE(in.Write(bytes));
    zovtest::ChildOptions options;
    options.input = in.Path();
    const Outcome out = RunZovcat({"decode", "--binary"}, options);
    EXPECT_EQ(out.status.code, 0);
    ASSERT_EQ(out.lines.size(), 2u) << Joined(out.lines);
    EXPECT_EQ(out.lines[0], "offset 0: length 7 type 13: 00 07 0d 0a 1a 0d 0a  |.......|");
    EXPECT_EQ(
        out.lines[1], "offset 7: length 65535 type 1: ff ff 01 " +
                          [] {
                              std::string hex;
                              for (int i = 3; i < 65535; ++i)
                                  hex += i == 3 ? "78" : " 78";
                              return hex;
                          }() +
                          "  |..." + std::string(65532, 'x') + "|");
}

// What `listen --raw` prints, `decode` reads back.
TEST_F(ZovcatTest, RawOutputDecodesBack) {
    Listener listener;
    ASSERT_TRUE(listener.Start({"--raw"}, true));
    ASSERT_EQ(
        RunZovcat({"send", "127.0.0.1", listener.PortText(), "--type", "7", "u16:513", "u32:65536"})
            .status.code,
        0);
    const std::string raw = listener.Await("^" + kNine + "$");
    InputFile in(".hex");
    ASSERT_TRUE(in.Write(raw + "\n"));
    zovtest::ChildOptions options;
    options.input = in.Path();
    const Outcome out = RunZovcat({"decode"}, options);
    EXPECT_EQ(out.status.code, 0);
    EXPECT_EQ(out.lines, Lines{"offset 0: length 9 type 7: " + kNine + "  |.........|"});
}

} // namespace
