// zovcat: sends, receives and decodes the library's framed messages from the command line.
//
//   zovcat listen [--udp] [--raw] [--echo] [--count N] [--max-seconds S] [--bind ADDR] PORT
//   zovcat send [--udp] HOST PORT --type N [--count K] [--interval MS] [--wait-reply MS] [FIELD...]
//   (HOST PORT also as [IPV6]:PORT or HOST:PORT)
//   zovcat decode [--binary] [--fields LAYOUT]
//
// Built on the library's public header only (zovcat.h lists its parts). Ports on the command
// line are in host order; the library takes them in network order. Exit status: 0 success, 1 a
// network failure (or, for decode, bytes that are not well framed), 2 a usage error.
//
// Everything a peer sends is untrusted: the tool never lets a length field, a cut message or an
// empty datagram decide how much it reads, and one misbehaving connection cannot stall the others.
#include "zovcat.h"

namespace zovcat {

const char* const kUsage =
    "usage:\n"
    "  zovcat listen [--udp] [--raw] [--echo] [--count N] [--max-seconds S] [--bind ADDR]\n"
    "                PORT\n"
    "  zovcat send [--udp] HOST PORT --type N [--count K] [--interval MS] [--wait-reply MS]\n"
    "              [FIELD...]\n"
    "  zovcat decode [--binary] [--fields LAYOUT]\n"
    "  zovcat --help\n"
    "\n"
    "Messages are framed as a 2-byte big-endian length (header included), a type byte, then\n"
    "the content. Ports are written as usual (host order); PORT 0 lets the system choose.\n"
    "Addresses are IPv4 (127.0.0.1) or IPv6 (::1, fe80::1%eth0); peers are printed as\n"
    "a.b.c.d:port and [v6]:port.\n"
    "\n"
    "listen    accepts TCP connections (or, with --udp, receives datagrams) and prints each\n"
    "          message on one line: time, peer, length, type, the bytes in hex and as text.\n"
    "          The first line (on standard error with --raw) names the port listened on.\n"
    "          It listens on IPv4 and IPv6 at once (on IPv4 alone, with a note, where the\n"
    "          system has no IPv6).\n"
    "  --raw            print only the hex of each message; other lines go to standard error\n"
    "  --echo           answer each message with itself\n"
    "  --count N        exit after N messages\n"
    "  --max-seconds S  exit after S seconds\n"
    "  --bind ADDR      listen on the address ADDR only, and so on its family only\n"
    "                   (:: is both families, as without --bind)\n"
    "send      sends one message to HOST PORT over TCP (or, with --udp, as a datagram).\n"
    "          HOST PORT may also be written [IPV6]:PORT or HOST:PORT. HOST is an address\n"
    "          or a name; a connection tries each address of a name in turn, a datagram\n"
    "          goes to the name's IPv4 address (its first address when it has none).\n"
    "  --type N         the type byte, 0 to 255 (required)\n"
    "  --count K        send the message K times (default 1)\n"
    "  --interval MS    wait MS milliseconds between two sends\n"
    "  --wait-reply MS  after each send wait up to MS milliseconds for an answer, print it\n"
    "  FIELD            the content, in order: u8:V, u16:V, u32:V, u64:V (big-endian; V\n"
    "                   decimal or 0x hex), f32:X, f64:X (IEEE 754, big-endian; X as in C,\n"
    "                   inf and nan too), hex:BYTES (hex digits), str:TEXT (the bytes, no\n"
    "                   count, no terminator), string:TEXT (a 16-bit count, then the bytes)\n"
    "decode    reads hex (whitespace and colons ignored, # starts a comment) on standard\n"
    "          input and prints each message of the stream, and where the bytes are not well\n"
    "          framed. Exits 1 when they are not.\n"
    "  --binary         read the bytes themselves instead of hex\n"
    "  --fields LAYOUT  also print each message field by field, as LAYOUT says: kinds\n"
    "                   separated by commas (u8, u16, u32, u64, f32, f64, string, bin:N);\n"
    "                   a message the layout does not fit makes the exit status 1\n"
    "\n"
    "Exit status: 0 success, 1 network failure (or badly framed input for decode), 2 usage.\n";

namespace {

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
    InstallReportHandler();
    ZovNet* net = ZovNet::GetInstance();
    if (net == nullptr || !net->Init())
        return FailWithReason("cannot start the network layer");
    return command == "listen" ? Listen(argc, argv) : Send(argc, argv);
}

} // namespace
} // namespace zovcat

int main(int argc, char** argv) {
    const int rc = zovcat::Run(argc, argv);
    // Every socket is gone by now; stopping the network layer comes last.
    delete ZovNet::GetInstance();
    return rc;
}
