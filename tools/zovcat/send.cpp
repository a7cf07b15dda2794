// zovcat send: builds one message from field words and sends it, and waits for replies.
#include "zovcat.h"

#include <chrono>
#include <memory>
#include <thread>

namespace zovcat {
namespace {

// Appends one FIELD word to `content`; an empty result means it was understood.
std::string AddField(const std::string& word, Bytes& content) {
    const std::size_t colon = word.find(':');
    if (colon == std::string::npos)
        return "not a field: " + word +
               " (u8:V, u16:V, u32:V, u64:V, f32:X, f64:X, hex:BYTES, str:TEXT or string:TEXT)";
    const std::string kind = word.substr(0, colon);
    const std::string value = word.substr(colon + 1);
    unsigned long long number = 0;
    if (kind == "u8" || kind == "u16" || kind == "u32" || kind == "u64") {
        const unsigned width = kind == "u8" ? 1 : kind == "u16" ? 2 : kind == "u32" ? 4 : 8;
        const unsigned long long max = width == 1   ? 0xFF
                                       : width == 2 ? 0xFFFF
                                       : width == 4 ? 0xFFFFFFFF
                                                    : ~0ull;
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
    if (kind == "f32" || kind == "f64") {
        double real = 0;
        if (!ParseReal(value, real))
            return "not a floating-point value: " + word;
        // The library's own encoding, so that the tool and a program agree bit for bit.
        ZovNetPacket field;
        if (kind == "f32")
            field.AddFloat(static_cast<float>(real));
        else
            field.AddDouble(real);
        content.insert(content.end(), field.Content(),
                       field.Content() + (field.Length() - PACKET_HEADER_SIZE));
        return std::string();
    }
    if (kind == "str") {
        content.insert(content.end(), value.begin(), value.end());
        return std::string();
    }
    if (kind == "string") {
        if (value.size() > 0xFFFF)
            return "a string field holds at most 65535 bytes: " + kind + ":...";
        content.push_back(static_cast<unsigned char>(value.size() >> 8));
        content.push_back(static_cast<unsigned char>(value.size()));
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
    ZovAddress addr;
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

} // namespace

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
    std::string host, portText;
    std::size_t targetWords = 0;
    const std::string targetError = SplitTarget(args.positional, host, portText, targetWords);
    if (!targetError.empty())
        return UsageError(targetError);
    if (!typed)
        return UsageError("send needs --type N");
    unsigned int port = 0;
    if (!ParsePort(portText, false, port))
        return UsageError("not a port: " + portText);
    Bytes content;
    for (std::size_t i = targetWords; i < args.positional.size(); ++i) {
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

    std::vector<ZovAddress> addresses;
    const Lookup lookup = ResolveHost(host, addresses);
    if (lookup == Lookup::BadText)
        return UsageError("not an address or host name: " + host);
    if (lookup == Lookup::NotFound)
        return FailWithReason("cannot resolve " + host);
    const unsigned short networkPort = ToNetworkOrder(port);

    ZovAddress addr;
    std::string peer;
    std::unique_ptr<ZovTCPSocketClient> tcp;
    std::unique_ptr<ZovUDPSocket> udpSocket;
    if (udp) {
        // A datagram never learns whether anybody listens, so one address is chosen: a name's
        // IPv4 address, as zovcat always sent to, or its first where it has none.
        addr = addresses.front();
        for (const ZovAddress& a : addresses) {
            if (a.IsV4()) {
                addr = a;
                break;
            }
        }
        peer = Endpoint(addr, networkPort);
        const QuietReports quiet;
        const unsigned short anyPort = 0;
        udpSocket = addr.IsV4() ? std::make_unique<ZovUDPSocket>(anyPort)
                                : std::make_unique<ZovUDPSocket>(anyPort, ZovAddress::Any6());
        if (udpSocket->Descriptor() == ZOVNET::BADSOCKET)
            return FailWithReason("cannot create a UDP socket");
    } else {
        // Each address in turn, as the system orders them, until one takes the connection.
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            addr = addresses[i];
            peer = Endpoint(addr, networkPort);
            const QuietReports quiet;
            const unsigned short anyPort = 0;
            tcp = std::make_unique<ZovTCPSocketClient>(anyPort, addr, networkPort);
            if (tcp->State() == ZovSocket::SOCK_BOTH)
                break;
            if (i + 1 == addresses.size())
                return FailWithReason("cannot connect to " + peer);
            PrintLine(stderr, "zovcat: cannot connect to " + peer + ": " +
                                  ZovNet::ErrorText(ZovNet::LastError()) + "; trying " +
                                  Endpoint(addresses[i + 1], networkPort));
        }
    }
    StreamFramer replies;
    for (unsigned long long i = 0; i < count; ++i) {
        if (i > 0 && interval > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(interval));
        const int sent = udp ? udpSocket->Send(&packet, addr, networkPort) : tcp->Send(&packet);
        if (sent != length)
            return FailWithReason("sending to " + peer + " failed");
        if (waitReply > 0) {
            const int rc = udp ? AwaitUdpReply(*udpSocket, peer, waitReply)
                               : AwaitTcpReply(*tcp, peer, waitReply, replies);
            if (rc != kExitOk)
                return rc;
        }
    }
    return kExitOk;
}

} // namespace zovcat
