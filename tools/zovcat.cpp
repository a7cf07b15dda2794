// zovcat: sends, receives and decodes the library's framed messages from the command line.
//
//   zovcat listen [--udp] [--raw] [--echo] [--count N] [--max-seconds S] PORT
//   zovcat send [--udp] HOST PORT --type N [--count K] [--interval MS] [--wait-reply MS] [FIELD...]
//   zovcat decode [--binary]
//
// Built on the library's public header only. Ports on the command line are in host order; the
// library takes them in network order. Exit status: 0 success, 1 a network failure (or, for
// decode, bytes that are not well framed), 2 a usage error.
//
// Everything a peer sends is untrusted: the tool never lets a length field, a cut message or an
// empty datagram decide how much it reads, and one misbehaving connection cannot stall the others.
#include <ZovNet.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
// Standard input must deliver bytes unchanged for `decode --binary`.
#include <fcntl.h>
#include <io.h>
// The socket-level option names (SO_SNDTIMEO) are the system's own.
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr std::size_t kMaxMessage = 65535;
// The largest IPv4 datagram's payload fits; a receive never cuts one.
constexpr unsigned int kDatagramBuffer = 65536;
// A socket set holds 64 descriptors: the server and its connections.
constexpr std::size_t kMaxConnections = 63;
// The longest an echo to one peer may hold up the others: a peer that never reads its answers
// fills its buffers, the echo then fails and the peer is dropped.
constexpr int kEchoTimeoutMs = 2000;

using Bytes = std::vector<unsigned char>;

const char* const kUsage =
    "usage:\n"
    "  zovcat listen [--udp] [--raw] [--echo] [--count N] [--max-seconds S] PORT\n"
    "  zovcat send [--udp] HOST PORT --type N [--count K] [--interval MS] [--wait-reply MS]\n"
    "              [FIELD...]\n"
    "  zovcat decode [--binary]\n"
    "  zovcat --help\n"
    "\n"
    "Messages are framed as a 2-byte big-endian length (header included), a type byte, then\n"
    "the content. Ports are written as usual (host order); PORT 0 lets the system choose.\n"
    "\n"
    "listen    accepts TCP connections (or, with --udp, receives datagrams) and prints each\n"
    "          message on one line: time, peer, length, type, the bytes in hex and as text.\n"
    "          The first line (on standard error with --raw) names the port listened on.\n"
    "  --raw            print only the hex of each message; other lines go to standard error\n"
    "  --echo           answer each message with itself\n"
    "  --count N        exit after N messages\n"
    "  --max-seconds S  exit after S seconds\n"
    "send      sends one message to HOST:PORT over TCP (or, with --udp, as a datagram).\n"
    "  --type N         the type byte, 0 to 255 (required)\n"
    "  --count K        send the message K times (default 1)\n"
    "  --interval MS    wait MS milliseconds between two sends\n"
    "  --wait-reply MS  after each send wait up to MS milliseconds for an answer, print it\n"
    "  FIELD            the content, in order: u8:V, u16:V, u32:V (big-endian; V decimal or\n"
    "                   0x hex), hex:BYTES (hex digits), str:TEXT (the bytes, no terminator)\n"
    "decode    reads hex (whitespace and colons ignored, # starts a comment) on standard\n"
    "          input and prints each message of the stream, and where the bytes are not well\n"
    "          framed. Exits 1 when they are not.\n"
    "  --binary         read the bytes themselves instead of hex\n"
    "\n"
    "Exit status: 0 success, 1 network failure (or badly framed input for decode), 2 usage.\n";

// ---------------------------------------------------------------------------------------------
// Output

// Lines are flushed one by one: a script or a test reads them while the tool runs.
void PrintLine(std::FILE* to, const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

int Fail(const std::string& reason) {
    PrintLine(stderr, "zovcat: " + reason);
    return kExitFailure;
}

int UsageError(const std::string& reason) {
    PrintLine(stderr, "zovcat: " + reason);
    std::fputs("Try 'zovcat --help'.\n", stderr);
    return kExitUsage;
}

std::string Hex(const unsigned char* data, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 3);
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0)
            out += ' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

std::string Printable(const unsigned char* data, std::size_t n) {
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        out += (data[i] >= 0x20 && data[i] < 0x7F) ? static_cast<char>(data[i]) : '.';
    return out;
}

// "length 9 type 7: 00 09 07 ... |.........|" for one well-framed message.
std::string DescribeMessage(const unsigned char* data, std::size_t n) {
    return "length " + std::to_string(n) + " type " + std::to_string(data[2]) + ": " +
           Hex(data, n) + "  |" + Printable(data, n) + "|";
}

std::string Now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    char text[32] = "??:??:??";
    if (const std::tm* local = std::localtime(&seconds))
        std::strftime(text, sizeof text, "%H:%M:%S", local);
    char line[48];
    std::snprintf(line, sizeof line, "%s.%03d", text, static_cast<int>(millis));
    return line;
}

// ---------------------------------------------------------------------------------------------
// Addresses and numbers

// Ports cross the library's interface in network byte order, whatever the host's order.
unsigned short ToNetworkOrder(unsigned int port) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8),
                                    static_cast<unsigned char>(port & 0xFF)};
    unsigned short value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

unsigned int ToHostOrder(unsigned short networkOrder) {
    unsigned char bytes[2];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    return bytes[0] * 256u + bytes[1];
}

std::string Endpoint(unsigned int addr, unsigned short port) {
    char text[16] = "?";
    ZovNet::GetInstance()->AddrToString(addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ToHostOrder(port));
}

// Decimal, or hexadecimal after 0x; no sign, no spaces, nothing after the digits.
bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long& value) {
    std::size_t i = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i == text.size())
        return false;
    unsigned long long v = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        v = v * base + digit;
        if (v > max)
            return false;
    }
    value = v;
    return true;
}

int HexDigit(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Framing

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

std::string BadLength(std::size_t field) {
    return "malformed: length field " + std::to_string(field) +
           " is below 3 (its 2 bytes are skipped)";
}

// One datagram carries one message. What is wrong with it, or an empty string when the
// datagram holds exactly one message; `messageSize` is then its size (and also when only bytes
// after the message are wrong).
std::string CheckDatagram(const unsigned char* data, std::size_t n, std::size_t& messageSize) {
    messageSize = 0;
    if (n == 0)
        return "empty datagram";
    if (n == 1)
        return "malformed: 1-byte datagram, no room for a length field";
    const std::size_t field = data[0] * 256u + data[1];
    if (field < PACKET_HEADER_SIZE)
        return "malformed: length field " + std::to_string(field) + " is below 3";
    if (field > n)
        return "cut short: length field " + std::to_string(field) + ", only " + std::to_string(n) +
               " bytes";
    messageSize = field;
    if (field < n)
        return "malformed: " + std::to_string(n - field) + " bytes after the message";
    return std::string();
}

// ---------------------------------------------------------------------------------------------
// Command lines

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
               std::vector<std::pair<std::string, std::string>>& options) {
    Args args;
    for (int i = first; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            args.help = true;
            continue;
        }
        if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
            args.positional.push_back(word);
            continue;
        }
        const Option* option = nullptr;
        for (const Option& o : known)
            if (word == o.name)
                option = &o;
        if (option == nullptr) {
            args.error = "unknown option " + word;
            return args;
        }
        if (option->takesValue) {
            if (i + 1 >= argc) {
                args.error = word + " needs a value";
                return args;
            }
            options.emplace_back(word, argv[++i]);
        } else {
            options.emplace_back(word, std::string());
        }
    }
    return args;
}

bool ParsePort(const std::string& text, bool zeroAllowed, unsigned int& port) {
    unsigned long long value = 0;
    if (!ParseNumber(text, 65535, value) || (value == 0 && !zeroAllowed))
        return false;
    port = static_cast<unsigned int>(value);
    return true;
}

bool ResolveHost(const std::string& host, unsigned int& addr) {
    ZovNet* net = ZovNet::GetInstance();
    return net->StringToAddr(host.c_str(), addr) || net->NameToAddr(host.c_str(), &addr);
}

// ---------------------------------------------------------------------------------------------
// listen

struct ListenOptions {
    bool udp = false;
    bool raw = false;
    bool echo = false;
    unsigned long long count = 0;      // 0: no limit
    unsigned long long maxSeconds = 0; // 0: no limit
    unsigned int port = 0;
};

// The time left before `--max-seconds` runs out, for the next wait: 0 when it has run out. A
// listener without the limit waits in slices, since a wait of 0 would have no limit.
class Lifetime {
public:
    explicit Lifetime(unsigned long long seconds)
        : m_limited(seconds > 0),
          m_end(std::chrono::steady_clock::now() + std::chrono::seconds(seconds)) {}

    unsigned int NextWaitMs() const {
        if (!m_limited)
            return 60000;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              m_end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return 0;
        return static_cast<unsigned int>(left < 60000 ? left : 60000);
    }

private:
    bool m_limited;
    std::chrono::steady_clock::time_point m_end;
};

class Printer {
public:
    explicit Printer(bool raw) : m_raw(raw) {}

    void Message(const std::string& peer, const unsigned char* data, std::size_t n) {
        if (m_raw)
            PrintLine(stdout, Hex(data, n));
        else
            PrintLine(stdout, Now() + " " + peer + " " + DescribeMessage(data, n));
    }

    // Anything but a message: the connection's life and what is wrong with the bytes.
    void Note(const std::string& peer, const std::string& what) {
        PrintLine(m_raw ? stderr : stdout, Now() + " " + peer + " " + what);
    }

private:
    bool m_raw;
};

struct Connection {
    std::unique_ptr<ZovTCPSocketClient> socket;
    std::string peer;
    StreamFramer framer;
};

int ListenTcp(const ListenOptions& opt) {
    ZovTCPSocketServer server(ToNetworkOrder(opt.port));
    if (server.Descriptor() == ZOVNET::BADSOCKET)
        return Fail("cannot listen on TCP port " + std::to_string(opt.port));
    Printer printer(opt.raw);
    PrintLine(opt.raw ? stderr : stdout,
              "listening on TCP port " + std::to_string(ToHostOrder(server.Port())));

    ZovSocketSet set;
    set.AddSocket(&server);
    std::vector<std::unique_ptr<Connection>> connections;
    Bytes chunk(kDatagramBuffer);
    ZovNetPacket echo;
    unsigned long long messages = 0;
    const Lifetime lifetime(opt.maxSeconds);

    for (;;) {
        const unsigned int waitMs = lifetime.NextWaitMs();
        if (waitMs == 0)
            return kExitOk;
        if (set.WaitSockets(waitMs) < 0)
            return Fail("waiting for the sockets failed");
        if (set.CheckSocket(&server)) {
            std::unique_ptr<ZovTCPSocketClient> client(server.Accept());
            if (client) {
                const std::string peer = Endpoint(client->GetDestAddr(), client->GetDestPort());
                if (connections.size() >= kMaxConnections) {
                    printer.Note(peer, "refused: " + std::to_string(kMaxConnections) +
                                           " connections are open");
                } else {
                    printer.Note(peer, "connected");
                    client->SetOption(SO_SNDTIMEO, kEchoTimeoutMs);
                    auto c = std::make_unique<Connection>();
                    c->socket = std::move(client);
                    c->peer = peer;
                    set.AddSocket(c->socket.get());
                    connections.push_back(std::move(c));
                }
            }
        }
        for (std::size_t i = 0; i < connections.size();) {
            Connection& c = *connections[i];
            bool open = true;
            if (set.CheckSocket(c.socket.get())) {
                // One receive per round: a peer that floods the listener cannot starve others.
                const int got = c.socket->Receive(chunk.data(), kDatagramBuffer);
                if (got > 0) {
                    c.framer.Feed(chunk.data(), static_cast<std::size_t>(got));
                    const unsigned char* message = nullptr;
                    std::size_t size = 0;
                    std::uint64_t offset = 0;
                    for (;;) {
                        const StreamFramer::Item item = c.framer.Next(message, size, offset);
                        if (item == StreamFramer::Item::None)
                            break;
                        if (item == StreamFramer::Item::BadLength) {
                            printer.Note(c.peer, BadLength(size));
                            continue;
                        }
                        printer.Message(c.peer, message, size);
                        if (opt.echo) {
                            echo.WritePacket(message, static_cast<unsigned int>(size));
                            if (c.socket->Send(&echo) != static_cast<int>(size)) {
                                printer.Note(c.peer, "echo failed");
                                open = false;
                                break;
                            }
                        }
                        if (opt.count != 0 && ++messages >= opt.count)
                            return kExitOk;
                    }
                } else {
                    const std::string left = c.framer.Leftover();
                    if (!left.empty())
                        printer.Note(c.peer, left);
                    printer.Note(c.peer, got == 0 ? "closed" : "connection lost");
                    open = false;
                }
            }
            if (open) {
                ++i;
            } else {
                set.RemoveSocket(c.socket.get());
                connections.erase(connections.begin() + static_cast<long>(i));
            }
        }
    }
}

int ListenUdp(const ListenOptions& opt) {
    ZovUDPSocket socket(ToNetworkOrder(opt.port));
    if (socket.Descriptor() == ZOVNET::BADSOCKET)
        return Fail("cannot listen on UDP port " + std::to_string(opt.port));
    Printer printer(opt.raw);
    PrintLine(opt.raw ? stderr : stdout,
              "listening on UDP port " + std::to_string(ToHostOrder(socket.Port())));

    Bytes datagram(kDatagramBuffer);
    ZovNetPacket echo;
    unsigned long long messages = 0;
    int failures = 0;
    const Lifetime lifetime(opt.maxSeconds);
    ZovSocketSet set;
    set.AddSocket(&socket);
    for (;;) {
        const unsigned int waitMs = lifetime.NextWaitMs();
        if (waitMs == 0)
            return kExitOk;
        const int ready = set.WaitSockets(waitMs);
        if (ready < 0)
            return Fail("waiting for the socket failed");
        if (ready == 0)
            continue;
        unsigned int addr = 0;
        unsigned short port = 0;
        const int got = socket.Receive(datagram.data(), kDatagramBuffer, &addr, &port);
        if (got < 0) {
            // Some systems report here that an earlier echo found nobody listening; only a
            // socket that keeps failing is given up.
            if (++failures >= 10)
                return Fail("receiving failed");
            continue;
        }
        failures = 0;
        const std::string peer = Endpoint(addr, port);
        std::size_t size = 0;
        const std::string fault =
            CheckDatagram(datagram.data(), static_cast<std::size_t>(got), size);
        if (size > 0) {
            printer.Message(peer, datagram.data(), size);
            if (opt.echo) {
                echo.WritePacket(datagram.data(), static_cast<unsigned int>(size));
                if (socket.Send(&echo, addr, port) != static_cast<int>(size))
                    printer.Note(peer, "echo failed");
            }
        }
        if (!fault.empty())
            printer.Note(peer, fault);
        if (size > 0 && opt.count != 0 && ++messages >= opt.count)
            return kExitOk;
    }
}

int Listen(int argc, char** argv) {
    std::vector<std::pair<std::string, std::string>> options;
    const Args args = SplitArgs(argc, argv, 2,
                                {{"--udp", false},
                                 {"--raw", false},
                                 {"--echo", false},
                                 {"--count", true},
                                 {"--max-seconds", true}},
                                options);
    if (args.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (!args.error.empty())
        return UsageError(args.error);
    ListenOptions opt;
    for (const auto& [name, value] : options) {
        if (name == "--udp")
            opt.udp = true;
        else if (name == "--raw")
            opt.raw = true;
        else if (name == "--echo")
            opt.echo = true;
        else if (name == "--count" &&
                 (!ParseNumber(value, UINT32_MAX, opt.count) || opt.count == 0))
            return UsageError("--count needs a number from 1");
        else if (name == "--max-seconds" &&
                 (!ParseNumber(value, 1000000000, opt.maxSeconds) || opt.maxSeconds == 0))
            return UsageError("--max-seconds needs a number from 1");
    }
    if (args.positional.size() != 1)
        return UsageError("listen needs one PORT");
    if (!ParsePort(args.positional[0], true, opt.port))
        return UsageError("not a port: " + args.positional[0]);
    return opt.udp ? ListenUdp(opt) : ListenTcp(opt);
}

// ---------------------------------------------------------------------------------------------
// send

// Appends one FIELD word to `content`; an empty result means it was understood.
std::string AddField(const std::string& word, Bytes& content) {
    const std::size_t colon = word.find(':');
    if (colon == std::string::npos)
        return "not a field: " + word + " (u8:V, u16:V, u32:V, hex:BYTES or str:TEXT)";
    const std::string kind = word.substr(0, colon);
    const std::string value = word.substr(colon + 1);
    unsigned long long number = 0;
    if (kind == "u8" || kind == "u16" || kind == "u32") {
        const unsigned width = kind == "u8" ? 1 : kind == "u16" ? 2 : 4;
        const unsigned long long max = width == 1 ? 0xFF : width == 2 ? 0xFFFF : 0xFFFFFFFF;
        if (!ParseNumber(value, max, number))
            return "not a " + std::to_string(width * 8) + "-bit unsigned value: " + word;
        for (unsigned i = width; i-- > 0;)
            content.push_back(static_cast<unsigned char>(number >> (8 * i)));
        return std::string();
    }
    if (kind == "hex") {
        if (value.size() % 2 != 0)
            return "odd number of hex digits: " + word;
        for (std::size_t i = 0; i < value.size(); i += 2) {
            const int high = HexDigit(value[i]);
            const int low = HexDigit(value[i + 1]);
            if (high < 0 || low < 0)
                return "not hex: " + word;
            content.push_back(static_cast<unsigned char>(high * 16 + low));
        }
        return std::string();
    }
    if (kind == "str") {
        content.insert(content.end(), value.begin(), value.end());
        return std::string();
    }
    return "unknown field kind '" + kind + "' in " + word;
}

// Waits up to `milliseconds` for one message from `socket` and prints it. Exit status.
int AwaitTcpReply(ZovTCPSocketClient& socket, const std::string& peer, unsigned long long ms,
                  StreamFramer& framer) {
    Printer printer(false);
    ZovSocketSet set;
    set.AddSocket(&socket);
    Bytes chunk(kDatagramBuffer);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const unsigned char* message = nullptr;
        std::size_t size = 0;
        std::uint64_t offset = 0;
        const StreamFramer::Item item = framer.Next(message, size, offset);
        if (item == StreamFramer::Item::Message) {
            printer.Message(peer, message, size);
            return kExitOk;
        }
        if (item == StreamFramer::Item::BadLength) {
            printer.Note(peer, BadLength(size));
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        // A wait of 0 would have no limit.
        if (left <= 0 || set.WaitSockets(static_cast<unsigned int>(left < 1 ? 1 : left)) <= 0)
            return Fail("no reply from " + peer + " within " + std::to_string(ms) + " ms");
        const int got = socket.Receive(chunk.data(), kDatagramBuffer);
        if (got <= 0) {
            const std::string cut = framer.Leftover();
            if (!cut.empty())
                printer.Note(peer, cut);
            return Fail(peer + " closed the connection before replying");
        }
        framer.Feed(chunk.data(), static_cast<std::size_t>(got));
    }
}

int AwaitUdpReply(ZovUDPSocket& socket, const std::string& peer, unsigned long long ms) {
    Printer printer(false);
    ZovSocketSet set;
    set.AddSocket(&socket);
    if (set.WaitSockets(static_cast<unsigned int>(ms)) <= 0)
        return Fail("no reply from " + peer + " within " + std::to_string(ms) + " ms");
    Bytes datagram(kDatagramBuffer);
    unsigned int addr = 0;
    unsigned short port = 0;
    const int got = socket.Receive(datagram.data(), kDatagramBuffer, &addr, &port);
    if (got < 0)
        return Fail("no reply: nothing listens at " + peer);
    const std::string from = Endpoint(addr, port);
    std::size_t size = 0;
    const std::string fault = CheckDatagram(datagram.data(), static_cast<std::size_t>(got), size);
    if (size > 0)
        printer.Message(from, datagram.data(), size);
    if (!fault.empty())
        printer.Note(from, fault);
    return kExitOk;
}

int Send(int argc, char** argv) {
    std::vector<std::pair<std::string, std::string>> options;
    const Args args = SplitArgs(argc, argv, 2,
                                {{"--udp", false},
                                 {"--type", true},
                                 {"--count", true},
                                 {"--interval", true},
                                 {"--wait-reply", true}},
                                options);
    if (args.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (!args.error.empty())
        return UsageError(args.error);
    bool udp = false;
    bool typed = false;
    unsigned long long type = 0, count = 1, interval = 0, waitReply = 0;
    for (const auto& [name, value] : options) {
        if (name == "--udp") {
            udp = true;
        } else if (name == "--type") {
            if (!ParseNumber(value, 255, type))
                return UsageError("--type needs a number from 0 to 255");
            typed = true;
        } else if (name == "--count") {
            if (!ParseNumber(value, UINT32_MAX, count) || count == 0)
                return UsageError("--count needs a number from 1");
        } else if (name == "--interval") {
            if (!ParseNumber(value, 3600000, interval))
                return UsageError("--interval needs milliseconds (0 to 3600000)");
        } else if (name == "--wait-reply") {
            if (!ParseNumber(value, 3600000, waitReply) || waitReply == 0)
                return UsageError("--wait-reply needs milliseconds (1 to 3600000)");
        }
    }
    if (args.positional.size() < 2)
        return UsageError("send needs HOST and PORT");
    if (!typed)
        return UsageError("send needs --type N");
    const std::string& host = args.positional[0];
    unsigned int port = 0;
    if (!ParsePort(args.positional[1], false, port))
        return UsageError("not a port: " + args.positional[1]);
    Bytes content;
    for (std::size_t i = 2; i < args.positional.size(); ++i) {
        const std::string error = AddField(args.positional[i], content);
        if (!error.empty())
            return UsageError(error);
        if (content.size() > kMaxMessage - PACKET_HEADER_SIZE)
            return UsageError("the message would exceed " + std::to_string(kMaxMessage) + " bytes");
    }

    ZovNetPacket packet(static_cast<unsigned char>(type),
                        static_cast<unsigned short>(content.size()));
    if (!content.empty())
        packet.AddBin(content.data(), static_cast<unsigned int>(content.size()));
    const int length = packet.Length();

    unsigned int addr = 0;
    if (!ResolveHost(host, addr))
        return Fail("cannot resolve " + host);
    const std::string peer = Endpoint(addr, ToNetworkOrder(port));

    std::unique_ptr<ZovTCPSocketClient> tcp;
    std::unique_ptr<ZovUDPSocket> udpSocket;
    if (udp) {
        udpSocket = std::make_unique<ZovUDPSocket>();
        if (udpSocket->Descriptor() == ZOVNET::BADSOCKET)
            return Fail("cannot create a UDP socket");
    } else {
        const unsigned short anyPort = 0;
        tcp = std::make_unique<ZovTCPSocketClient>(anyPort, addr, ToNetworkOrder(port));
        if (tcp->State() != ZovSocket::SOCK_BOTH)
            return Fail("cannot connect to " + peer);
    }
    StreamFramer replies;
    for (unsigned long long i = 0; i < count; ++i) {
        if (i > 0 && interval > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(interval));
        const int sent =
            udp ? udpSocket->Send(&packet, addr, ToNetworkOrder(port)) : tcp->Send(&packet);
        if (sent != length)
            return Fail("sending to " + peer + " failed");
        if (waitReply > 0) {
            const int rc = udp ? AwaitUdpReply(*udpSocket, peer, waitReply)
                               : AwaitTcpReply(*tcp, peer, waitReply, replies);
            if (rc != kExitOk)
                return rc;
        }
    }
    return kExitOk;
}

// ---------------------------------------------------------------------------------------------
// decode

// Reads hex text: digits in pairs, whitespace and colons between them ignored, '#' to the end
// of the line a comment. Returns an error message, or an empty string.
std::string ReadHex(std::FILE* in, Bytes& bytes) {
    unsigned long line = 1, column = 0;
    int high = -1;
    bool comment = false;
    for (int c; (c = std::fgetc(in)) != EOF;) {
        ++column;
        if (c == '\n') {
            ++line;
            column = 0;
            comment = false;
            continue;
        }
        if (comment || c == ' ' || c == '\t' || c == '\r' || c == ':')
            continue;
        if (c == '#') {
            comment = true;
            continue;
        }
        const int digit = HexDigit(c);
        if (digit < 0)
            return "not a hex digit at line " + std::to_string(line) + ", column " +
                   std::to_string(column);
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<unsigned char>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0)
        return "odd number of hex digits";
    return std::string();
}

int Decode(int argc, char** argv) {
    std::vector<std::pair<std::string, std::string>> options;
    const Args args = SplitArgs(argc, argv, 2, {{"--binary", false}}, options);
    if (args.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (!args.error.empty())
        return UsageError(args.error);
    if (!args.positional.empty())
        return UsageError("decode reads standard input and takes no operand");
    const bool binary = !options.empty();

    Bytes bytes;
    if (binary) {
#if defined(_WIN32)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        unsigned char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0;)
            bytes.insert(bytes.end(), chunk, chunk + n);
    } else {
        const std::string error = ReadHex(stdin, bytes);
        if (!error.empty())
            return UsageError("decode: " + error);
    }

    StreamFramer framer;
    framer.Feed(bytes.data(), bytes.size());
    bool wellFramed = true;
    const unsigned char* message = nullptr;
    std::size_t size = 0;
    std::uint64_t offset = 0;
    for (;;) {
        const StreamFramer::Item item = framer.Next(message, size, offset);
        if (item == StreamFramer::Item::None)
            break;
        const std::string at = "offset " + std::to_string(offset) + ": ";
        if (item == StreamFramer::Item::BadLength) {
            wellFramed = false;
            PrintLine(stdout, at + BadLength(size));
        } else {
            PrintLine(stdout, at + DescribeMessage(message, size));
        }
    }
    const std::string left = framer.Leftover();
    if (!left.empty()) {
        wellFramed = false;
        PrintLine(stdout, "offset " + std::to_string(framer.Offset()) + ": " + left);
    }
    return wellFramed ? kExitOk : kExitFailure;
}

int Run(int argc, char** argv) {
    if (argc < 2)
        return UsageError("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "decode")
        return Decode(argc, argv);
    if (command != "listen" && command != "send")
        return UsageError("unknown command " + command);
    ZovNet* net = ZovNet::GetInstance();
    if (net == nullptr || !net->Init())
        return Fail("cannot start the network layer");
    return command == "listen" ? Listen(argc, argv) : Send(argc, argv);
}

} // namespace

int main(int argc, char** argv) {
    const int rc = Run(argc, argv);
    // Every socket is gone by now; stopping the network layer comes last.
    delete ZovNet::GetInstance();
    return rc;
}
