// zovcat's pieces, one file per part of the tool: the command lines (options.cpp), the
// framing and how messages are printed (framing.cpp), and one file per command (listen.cpp,
// send.cpp, decode.cpp). main.cpp chooses the command.
//
// Built on the library's public header only. Ports on the command line are in host order; the
// library takes them in network order.
#pragma once

#include <ZovNet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace zovcat {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr std::size_t kMaxMessage = 65535;
// The largest payload of an IPv4 or IPv6 datagram fits; a receive never cuts one.
constexpr unsigned int kDatagramBuffer = 65536;

using Bytes = std::vector<unsigned char>;

// The text of `zovcat --help`.
extern const char* const kUsage;

// ---------------------------------------------------------------------------------------------
// Output (framing.cpp)

// Writes one line and flushes it: a script or a test reads the lines while the tool runs.
void PrintLine(std::FILE* to, const std::string& line);
std::string Hex(const unsigned char* data, std::size_t n);
std::string Printable(const unsigned char* data, std::size_t n);
// "length 9 type 7: 00 09 07 ... |.........|" for one well-framed message.
std::string DescribeMessage(const unsigned char* data, std::size_t n);
// The local time of day with milliseconds, "12:34:56.789".
std::string Now();

// Prints what a listener or a reply wait sees: messages on standard output, and the rest (the
// connection's life and what is wrong with the bytes), on standard error with --raw.
class Printer {
public:
    explicit Printer(bool raw) : m_raw(raw) {}
    void Message(const std::string& peer, const unsigned char* data, std::size_t n);
    void Note(const std::string& peer, const std::string& what);

private:
    bool m_raw;
};

// ---------------------------------------------------------------------------------------------
// Framing (framing.cpp)

// Splits a byte stream into messages as the library's TCP receiver does: a length field below 3
// costs its two bytes and the next message starts behind them. Nothing here trusts a length
// field beyond the bytes at hand.
class StreamFramer {
public:
    enum class Item { None, Message, BadLength };

    void Feed(const unsigned char* data, std::size_t n) {
        if (m_start > 0 && m_start >= m_buffer.size() / 2) {
            m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<long>(m_start));
            m_start = 0;
        }
        m_buffer.insert(m_buffer.end(), data, data + n);
    }

    // The next whole item of the stream, or None when more bytes are needed. For a message,
    // `message` and `size` describe its bytes (valid until the next Feed); for a bad length
    // field, `size` is the field. `offset` counts from the start of the stream.
    Item Next(const unsigned char*& message, std::size_t& size, std::uint64_t& offset) {
        const std::size_t have = m_buffer.size() - m_start;
        if (have < 2)
            return Item::None;
        const unsigned char* p = m_buffer.data() + m_start;
        const std::size_t field = p[0] * 256u + p[1];
        offset = m_offset;
        if (field < PACKET_HEADER_SIZE) {
            Consume(2);
            size = field;
            return Item::BadLength;
        }
        if (field > have)
            return Item::None;
        message = p;
        size = field;
        Consume(field);
        return Item::Message;
    }

    // What the bytes left over say when the stream ends there; empty when none are left.
    std::string Leftover() const {
        const std::size_t have = m_buffer.size() - m_start;
        if (have == 0)
            return std::string();
        const unsigned char* p = m_buffer.data() + m_start;
        if (have == 1)
            return "cut short: 1 byte, no room for a length field";
        return "cut short: length field " + std::to_string(p[0] * 256u + p[1]) + ", only " +
               std::to_string(have) + " bytes";
    }

    std::uint64_t Offset() const { return m_offset; }
    bool Empty() const { return m_start == m_buffer.size(); }

private:
    void Consume(std::size_t n) {
        m_start += n;
        m_offset += n;
    }

    Bytes m_buffer;
    std::size_t m_start = 0;
    std::uint64_t m_offset = 0;
};

// The note for a length field below the header's size.
std::string BadLength(std::size_t field);

// One datagram carries one message. What is wrong with it, or an empty string when the
// datagram holds exactly one message; `messageSize` is then its size (and also when only bytes
// after the message are wrong).
std::string CheckDatagram(const unsigned char* data, std::size_t n, std::size_t& messageSize);

// ---------------------------------------------------------------------------------------------
// Command lines, numbers and addresses (options.cpp)

// Report a failure (exit status 1) or a usage error (exit status 2) on standard error.
int Fail(const std::string& reason);
int UsageError(const std::string& reason);
// A failure of a library call: the line ends with the library's reason (ZovNet::LastError).
int FailWithReason(const std::string& what);

// The library's reports, taken from its default (a warning of its own, then zovcat's line): a
// report prints one line with the reason, except within a QuietReports scope, where zovcat
// reports the failing call itself with FailWithReason.
void InstallReportHandler();
class QuietReports {
public:
    QuietReports();
    ~QuietReports();
    QuietReports(const QuietReports&) = delete;
    QuietReports& operator=(const QuietReports&) = delete;

private:
    bool m_was;
};

struct Args {
    std::vector<std::string> positional;
    bool help = false;
    std::string error;
};

struct Option {
    const char* name;
    bool takesValue;
};

// Splits the words after the command into options (with their values, given as the next word)
// and the rest, in order. Options may come anywhere: `send HOST PORT --type 7 u8:1` reads as
// written.
Args SplitArgs(int argc, char** argv, int first, const std::vector<Option>& known,
               std::vector<std::pair<std::string, std::string>>& options);

// Decimal, or hexadecimal after 0x; no sign, no spaces, nothing after the digits.
bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long& value);
// A decimal or hexadecimal floating-point value, "inf" and "nan" included; the whole text must
// parse.
bool ParseReal(const std::string& text, double& value);
int HexDigit(int c);
bool ParsePort(const std::string& text, bool zeroAllowed, unsigned int& port);

// Where a command sends to, as its first words give it: `HOST PORT`, `[IPV6]:PORT`,
// `[IPV6] PORT` or `HOST:PORT` (one colon only: an IPv6 address has several, and takes brackets
// before a port). `words` is the number of words it took, 1 or 2; `host` keeps its brackets.
// An empty result means the words were understood; otherwise it is the usage error.
std::string SplitTarget(const std::vector<std::string>& positional, std::string& host,
                        std::string& port, std::size_t& words);

// An address written as text: dotted IPv4, or IPv6 in any of its forms (with %scope), bare or in
// brackets. Strict: the whole text must be the address. Never asks a resolver.
bool ParseAddress(const std::string& text, ZovAddress& out);

// What looking a host up gave.
enum class Lookup {
    Found,    // `out` holds the addresses, in the order to try them
    BadText,  // not an address and not a name: a usage error
    NotFound, // a name the resolver did not find; ZovNet::LastError() says why
};

// The addresses of `host`: an address literal gives itself (IPv4 also in the lenient forms
// zovcat always took, "127.1" among them); text with a colon or brackets must be an IPv6
// address and a name of digits and dots cannot be a host name, so neither reaches the resolver;
// any other name is looked up, both families, in the system's order.
Lookup ResolveHost(const std::string& host, std::vector<ZovAddress>& out);

// The system's failures that mean it has no IPv6 at all (rather than a problem with a port).
bool NoIPv6(int errorCode);

// Ports cross the library's interface in network byte order, whatever the host's order.
unsigned short ToNetworkOrder(unsigned int port);
unsigned int ToHostOrder(unsigned short networkOrder);
// "a.b.c.d:port" for IPv4 and "[v6]:port" for IPv6, the port in host order.
std::string Endpoint(const ZovAddress& addr, unsigned short port);
// The text of an address alone, without brackets.
std::string AddressText(const ZovAddress& addr);

// ---------------------------------------------------------------------------------------------
// The commands; each takes the whole command line and returns the exit status.

int Listen(int argc, char** argv);
int Send(int argc, char** argv);
int Decode(int argc, char** argv);

} // namespace zovcat
