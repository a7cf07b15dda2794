/**
 * \file ZovNet.h
 * \brief ZovNet: a thin object layer over the system's sockets, IPv4 and IPv6.
 *
 * The one public header of the library. It declares:
 *  - `ZovNet`, the process-wide network layer (start/stop, host name and address services),
 *    `ZovAddress`, an IPv4 or IPv6 address, and `ZovNetAddr`, a plain address/port record;
 *  - `ZovNetPacket`, a message of typed big-endian fields framed by a 2-byte length and a
 *    type byte;
 *  - `ZovSocket` and its three concrete classes `ZovTCPSocketClient`, `ZovTCPSocketServer` and
 *    `ZovUDPSocket`;
 *  - `ZovSocketSet`, a readiness set that polls or waits on up to 64 sockets, and
 *    `ZovSocketPoller`, which waits on any number of sockets for receive and send readiness.
 *
 * Conventions that hold throughout:
 *  - IPv4 addresses (`unsigned int`) and ports (`unsigned short`) cross this interface in network
 *    byte order and are never converted by the library. Use `ZovNet::StringToAddr` to get an
 *    address; write a port as its big-endian value (see the usage example at the end).
 *  - Nothing throws. Services return `bool`; transfers return a byte count, 0 for a closed
 *    connection, or -1 for a refusal or an error; pointer results are null on failure.
 *  - Failures of system calls that a person should see are reported in a warning box (on POSIX:
 *    written to standard error as `Warning: <text>`; an application can take the reports itself
 *    with `ZovNet::SetReportHandler`), and the operation then returns its failure result.
 *    `ZovNet::LastError()` tells why the last failed call of the thread failed. The debug library
 * `ZovNetd` also checks preconditions; a failed check reports `Fatal error: <expression>` with the
 * file and line and ends the process with status 1.
 *  - The library never raises SIGPIPE: not in a send, and not in a report or a line of output
 *    written to a pipe whose reader has gone (that text is lost).
 *  - The library starts no threads and takes no locks: an object is used by one thread at a time
 *    (`ZovSocketPoller::Wake` is the one call made for other threads). A socket blocks unless it
 *    was made non-blocking with `ZovSocket::SetBlocking(false)`: then no call of it waits (a
 *    `Connect` waits for its outcome, bounded by its time-out), and a TCP client queues what the
 *    system cannot take yet. On a blocking socket, connecting, accepting, receiving and the waits
 *    block for as long as the system call does; a TCP packet send, once its frame has begun,
 *    waits until the whole frame is out (see there).
 *  - Call `ZovNet::GetInstance()->Init()` before creating the first socket.
 */
#ifndef ZOVNET_H
#define ZOVNET_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// The version of the library this header belongs to, in semantic versioning: the major number
// changes when a program built against an earlier version may no longer build or run unchanged.
/// Major version: a change breaks programs built against an earlier major version.
#define ZOVNET_VERSION_MAJOR 1
/// Minor version: additions that keep programs built against earlier minor versions working.
#define ZOVNET_VERSION_MINOR 0
/// Patch version: corrections only.
#define ZOVNET_VERSION_PATCH 0
/// The three numbers as text, "MAJOR.MINOR.PATCH".
#define ZOVNET_VERSION_STRING "1.0.0"

// The build of the library defines ZOVNET_API to export the classes; users need nothing.
#ifndef ZOVNET_API
#define ZOVNET_API
#endif

/// Library-wide constants.
namespace ZOVNET {
/// The invalid descriptor value, all 32 bits set. A socket object without an open system socket
/// holds it.
constexpr unsigned int BADSOCKET = 0xFFFFFFFFu;

// Codes of `ZovNet::LastError()`: the numbers of Windows Sockets on every system. These are the
// ones a program most often tests for; `ZovNet::ErrorText()` knows these and the others.

/// No library call on this thread has failed yet.
constexpr int ERRCODE_NONE = 0;
/// A service of `ZovNet` called before `Init()` succeeded (WSANOTINITIALISED).
constexpr int ERRCODE_NOT_STARTED = 10093;
/// A null pointer where the call needs one (the release library refuses it; WSAEFAULT).
constexpr int ERRCODE_NULL_ARGUMENT = 10014;
/// An argument the call cannot use: address text that does not parse, a buffer size of 0
/// (WSAEINVAL).
constexpr int ERRCODE_INVALID_ARGUMENT = 10022;
/// A non-blocking socket has nothing (or not yet a whole message) to give (WSAEWOULDBLOCK).
constexpr int ERRCODE_WOULD_BLOCK = 10035;
/// The local port is taken (WSAEADDRINUSE).
constexpr int ERRCODE_ADDRESS_IN_USE = 10048;
/// The address cannot be used here, among them the address 0 given to `Connect`
/// (WSAEADDRNOTAVAIL).
constexpr int ERRCODE_ADDRESS_NOT_AVAILABLE = 10049;
/// The connection was reset by the peer (WSAECONNRESET).
constexpr int ERRCODE_CONNECTION_RESET = 10054;
/// A transfer refused because the socket holds no open direction: never connected or bound,
/// or closed (WSAENOTCONN).
constexpr int ERRCODE_NOT_CONNECTED = 10057;
/// A transfer refused because its receive direction was shut (`ShutDown(SOCK_RECEIVE)` closes
/// sending too), or a send on a connection the peer or the application shut (WSAESHUTDOWN).
constexpr int ERRCODE_SHUT_DOWN = 10058;
/// A send or receive time-out (SO_SNDTIMEO, SO_RCVTIMEO) or a connect ran out (WSAETIMEDOUT).
constexpr int ERRCODE_TIMED_OUT = 10060;
/// Nobody listens at the address and port connected to (WSAECONNREFUSED).
constexpr int ERRCODE_CONNECTION_REFUSED = 10061;
/// The peer closed the connection before a message began (WSAEDISCON).
constexpr int ERRCODE_CONNECTION_CLOSED = 10101;
/// The name or address has no entry (WSAHOST_NOT_FOUND).
constexpr int ERRCODE_HOST_NOT_FOUND = 11001;
/// The descriptor is already registered in the poller (WSAEALREADY).
constexpr int ERRCODE_ALREADY_REGISTERED = 10037;
/// An IPv6 address given to an IPv4 socket (WSAEAFNOSUPPORT), or a system without IPv6.
constexpr int ERRCODE_FAMILY_NOT_SUPPORTED = 10047;

// Options of `ZovSocket::GetOption` and `SetOption` by the same name on every system: the library
// gives the system its own number for each (the numbers differ between systems, and on POSIX they
// need the system's headers). The system's own SO_ numbers keep working as well; these values
// are chosen to be none of them.

/// Receive time-out in milliseconds, 0: none (SO_RCVTIMEO).
constexpr int OPT_RCVTIMEO = 0x5A4E0001;
/// Send time-out in milliseconds, 0: none (SO_SNDTIMEO).
constexpr int OPT_SNDTIMEO = 0x5A4E0002;
/// Size of the system's receive buffer in bytes (SO_RCVBUF; Linux reads back twice what was set).
constexpr int OPT_RCVBUF = 0x5A4E0003;
/// Size of the system's send buffer in bytes (SO_SNDBUF; Linux reads back twice what was set).
constexpr int OPT_SNDBUF = 0x5A4E0004;
/// Keep-alive probes on an idle connection, 0 or 1 (SO_KEEPALIVE).
constexpr int OPT_KEEPALIVE = 0x5A4E0005;
/// Binding to a local address in use, 0 or 1 (SO_REUSEADDR; its meaning differs between
/// systems: see `ZovTCPSocketServer`).
constexpr int OPT_REUSEADDR = 0x5A4E0006;
/// Sending datagrams to a broadcast address, 0 or 1 (SO_BROADCAST).
constexpr int OPT_BROADCAST = 0x5A4E0007;

// Readiness bits of `ZovSocketPoller`: what a registration asks for and what a ready entry
// reports.

/// Something to receive: data, a connection waiting on a listening server, or the peer's close
/// (a peer that only shut its sending side shows as this; the receive then returns its close).
constexpr unsigned int POLL_RECEIVE = 1;
/// Room to send: a send would take at least one byte without waiting.
constexpr unsigned int POLL_SEND = 2;
/// The connection is closed both ways (hang-up). Reported whether or not it was asked for.
constexpr unsigned int POLL_CLOSED = 4;
/// An error is pending on the socket, a reset included. Reported whether or not it was asked
/// for.
constexpr unsigned int POLL_ERROR = 8;
} // namespace ZOVNET

/// Whether the packet's Adds and Reads do their common case inline, in the caller's code. The
/// debug library's CMake target and pkg-config file define `ZOVNET_CHECKED`, which sends every
/// call into the library as before, where each precondition is checked. A program that links
/// the debug library without it loses no check: the inline forms run only where every
/// precondition holds, and hand everything else to the library.
#if defined(ZOVNET_CHECKED)
#define ZOVNET_PACKET_INLINE false
#else
#define ZOVNET_PACKET_INLINE true
#endif

/// Size of the packet header: 2 bytes of big-endian total length, then 1 type byte. It is also
/// the position of the first content byte.
constexpr unsigned short PACKET_HEADER_SIZE = 3;
/// The smallest buffer a packet ever holds, in bytes.
constexpr unsigned short PACKET_MIN_ALLOC = 8;
/// Size of the buffer into which `ZovUDPSocket` receives one datagram as a packet.
constexpr unsigned int UDP_RECEIVE_BUFFER = 2048;

/// `ZovSocket::SocketType()` of a `ZovTCPSocketServer`.
constexpr unsigned int SOCKTYPE_TCPSERVER = 1;
/// `ZovSocket::SocketType()` of a `ZovTCPSocketClient`.
constexpr unsigned int SOCKTYPE_TCPCLIENT = 2;
/// `ZovSocket::SocketType()` of a `ZovUDPSocket`.
constexpr unsigned int SOCKTYPE_UDP = 4;

/// Reverses the bytes of a 16-bit value (host order <-> network order on little-endian hosts).
inline unsigned short ByteSwap16(unsigned short v) {
    return static_cast<unsigned short>((v >> 8) | (v << 8));
}

/// Reverses the bytes of a 32-bit value (host order <-> network order on little-endian hosts).
inline unsigned int ByteSwap32(unsigned int v) {
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

// --------------------------------------------------------------------------------------------
// Network layer
// --------------------------------------------------------------------------------------------

/**
 * \brief An IPv4 or IPv6 address, with the scope id (interface index) of an IPv6 address: a small
 * value, copied and compared freely.
 *
 * An IPv4 address is always held as itself, never in its IPv4-mapped IPv6 form
 * (<code>::%ffff:a.b.c.d</code>): building an address from the mapped bytes gives the IPv4 address,
 * so `ZovAddress::FromBytes(mapped) == ZovAddress(ipv4)`. Every address the library hands out is in
 * this form, so an address compares equal to the same host however it was learnt.
 *
 * Convert to and from text with `ZovNet::StringToAddress` and `ZovNet::AddressToString`; look
 * names up with `ZovNet::ResolveName`.
 */
class ZOVNET_API ZovAddress {
public:
    /// The IPv4 any address, 0.0.0.0.
    ZovAddress();

    /// The IPv4 address \p ipv4, in network byte order (as `ZovNet::StringToAddr` gives it).
    explicit ZovAddress(unsigned int ipv4);

    /// The IPv6 address of the 16 bytes \p bytes (network order, as written in text from left
    /// to right) with the scope id \p scopeId (an interface index; 0: none). The IPv4-mapped
    /// bytes <code>::%ffff:a.b.c.d</code> give the IPv4 address a.b.c.d instead, whose scope id is
    /// 0 whatever \p scopeId says.
    static ZovAddress FromBytes(const unsigned char bytes[16], unsigned int scopeId = 0);

    /// The IPv6 any address, `::`.
    static ZovAddress Any6();

    /// The IPv6 loopback address, `::1`.
    static ZovAddress Loopback6();

    /// The IPv4 loopback address, 127.0.0.1.
    static ZovAddress Loopback4();

    /// \return true for an IPv4 address.
    bool IsV4() const;

    /// \return true for an IPv6 address (never an IPv4-mapped one, see the class).
    bool IsV6() const;

    /// \return the IPv4 address in network byte order, or 0 for an IPv6 address.
    unsigned int V4() const;

    /// Writes the 16 bytes of the address to \p out: an IPv6 address as it is, an IPv4 address
    /// in its mapped form <code>::%ffff:a.b.c.d</code>.
    void Bytes(unsigned char out[16]) const;

    /// \return the scope id (interface index) of an IPv6 address, 0 when it has none; always 0
    /// for an IPv4 address.
    unsigned int ScopeId() const;

    /// \return true when both are of the same family with the same bytes and scope id.
    bool operator==(const ZovAddress& other) const;

    /// \return the negation of `operator==`.
    bool operator!=(const ZovAddress& other) const;

private:
    unsigned char m_bytes[16]; // an IPv4 address in its mapped form
    unsigned int m_scopeId;
    bool m_v6;
};

namespace ZOVNET {
/// A buffer of this size always holds the text `ZovNet::AddressToString` writes, terminator
/// included: the longest IPv6 text (39 characters), `%` and a scope id of up to 10 digits.
constexpr unsigned int ADDRESS_STRING_SIZE = 51;
} // namespace ZOVNET

/**
 * \brief The process-wide network layer: starts and stops the socket system and offers name and
 * address services.
 *
 * Obtain it with `GetInstance()`, call `Init()` once, use the services, and finally `delete` the
 * pointer to stop the socket system. Every service returns false (or null) and writes nothing
 * while `Init()` has not succeeded. Services never show a box.
 *
 * Every name service may block while the system resolver looks the name or address up.
 */
class ZOVNET_API ZovNet {
public:
    /// Returns the one instance, creating it (not started) on the first call. Returns null only
    /// when the instance cannot be allocated. Not synchronised: the first call must not race
    /// with another.
    static ZovNet* GetInstance();

    /// Stops the socket system if this instance started it and clears the singleton pointer, so
    /// that the next `GetInstance()` creates a new, unstarted instance.
    ~ZovNet();

    /// Starts the socket system (requested version 2.2). Idempotent: once started, returns true
    /// without starting again. On failure shows the warning "Can not initialize network layer
    /// (Winsock).\n" and returns false; a later call tries again.
    bool Init();

    /// The local host's name and its first non-loopback IPv4 address (127.0.0.1 when it has no
    /// other). Either pointer may be null to skip that output.
    /// \param hostname receives the name; it must hold at least 128 bytes. At most 127
    ///        characters are copied, then a terminator.
    /// \param hostaddr receives the address in network byte order (0 if the resolver's entry is
    ///        not IPv4).
    /// \return true when the local host's name resolves; false (nothing written) otherwise.
    bool GetLocalInfo(char* hostname, unsigned int* hostaddr);

    /// \return true when \p hostname resolves to an entry.
    bool CheckName(const char* hostname) const;

    /// \return true when a reverse lookup of \p hostaddr (network byte order) succeeds.
    bool CheckAddr(unsigned int hostaddr) const;

    /// Resolves \p hostname and writes its first address (network byte order, loopback not
    /// skipped) to \p hostaddr. Returns false and leaves \p hostaddr untouched when the name
    /// does not resolve or its entry's addresses are not 4 bytes long.
    bool NameToAddr(const char* hostname, unsigned int* hostaddr) const;

    /// Reverse lookup: writes the official name of \p hostaddr into \p str, cut to \p size - 1
    /// characters and always terminated. On a failed lookup leaves an empty string and returns
    /// false. A \p size of 0 returns false and writes nothing.
    bool AddrToName(unsigned int hostaddr, char* str, unsigned int size) const;

    /// Writes the dotted-decimal text of \p hostaddr into \p str, cut to \p size - 1 characters
    /// and always terminated (16 bytes always hold it whole). Returns false, writing nothing,
    /// before `Init()` or for a \p size of 0.
    bool AddrToString(unsigned int hostaddr, char* str, unsigned int size) const;

    /// \return the dotted-decimal text of \p hostaddr in a buffer that the next conversion on the
    /// same thread overwrites (do not free it), or null before `Init()`.
    const char* AddrToString(unsigned int hostaddr) const;

    /// Parses dotted-decimal text. On success stores the address (network byte order) in
    /// \p hostaddr and returns true; otherwise returns false and leaves \p hostaddr unchanged.
    /// "255.255.255.255" is refused, since its value is the parser's failure value.
    bool StringToAddr(const char* str, unsigned int& hostaddr) const;

    /// Parses the text of an IPv4 or IPv6 address, strictly: the whole of \p text must be
    ///  - IPv4 as exactly four decimal parts 0 to 255, each without leading zeros ("1.2.3.4";
    ///    "01.2.3.4" is refused, since other parsers read it as octal), or
    ///  - IPv6 in any of its text forms: eight groups of one to four hexadecimal digits (either
    ///    case), one `::` standing for one or more zero groups, and the last 32 bits optionally
    ///    written as IPv4 ("::ffff:1.2.3.4", which gives the IPv4 address); an IPv6 address may end
    ///    in `%scope`, an interface name known to the system or a decimal interface index.
    ///
    /// Unlike `StringToAddr`, nothing else is taken: not "1.2.3", not "10.0.0.1 junk", not
    /// surrounding blanks. On success stores the address in \p out and returns true; otherwise
    /// returns false with `LastError()` `ZOVNET::ERRCODE_INVALID_ARGUMENT` (an unknown interface
    /// name and a scope on an address that is IPv4 included) and leaves \p out unchanged.
    bool StringToAddress(const char* text, ZovAddress& out) const;

    /// Writes the text of \p a into \p text: an IPv4 address dotted-decimal, an IPv6 address in
    /// its recommended form (RFC 5952: lower case, no leading zeros, the longest run of two or
    /// more zero groups written `::`, the first of equally long runs), followed by `%` and the
    /// scope id in decimal when it is not 0. `ZOVNET::ADDRESS_STRING_SIZE` bytes always hold it.
    /// \param a the address.
    /// \param text receives the text and its terminator.
    /// \param size the size of \p text in bytes. When the text and its terminator do not fit,
    ///        returns false with `LastError()` `ZOVNET::ERRCODE_INVALID_ARGUMENT` and writes only
    ///        an empty string (nothing at all for a \p size of 0): a text is never cut.
    bool AddressToString(const ZovAddress& a, char* text, unsigned int size) const;

    /// Looks \p name up (a host name, or the text of an address) and writes up to \p max of its
    /// addresses, of both families, into \p out, in the order the system prefers, each address
    /// once, IPv4 addresses as IPv4 (never mapped). A name the hosts file answers is answered
    /// without asking the network.
    /// \return the count written (1 to \p max), or -1 when the lookup fails, with `LastError()`
    ///         the lookup's code as for the other lookups (`ZOVNET::ERRCODE_HOST_NOT_FOUND` for a
    ///         name that does not exist), `ZOVNET::ERRCODE_NULL_ARGUMENT` for a null \p name or
    ///         \p out, or `ZOVNET::ERRCODE_INVALID_ARGUMENT` for a \p max below 1.
    int ResolveName(const char* name, ZovAddress* out, int max) const;

    /// Why a call failed: the error code of the most recent library call that failed on the
    /// calling thread, or 0 (`ZOVNET::ERRCODE_NONE`) when none has.
    ///
    /// Codes are the numbers of Windows Sockets on every system (on POSIX the system's errors are
    /// translated: a refused connection is 10061 everywhere). A call that reaches the system and
    /// fails records the system's code; a call the library refuses by itself records one of the
    /// `ZOVNET::ERRCODE_` codes: a service before `Init()`, a null argument, unusable address text
    /// or a buffer size of 0, a transfer on a socket whose gate is closed, the address 0 given to
    /// `Connect`, a peer that closed before a message began, a non-blocking socket without a
    /// whole message.
    ///
    /// Read it right after the call that reported a failure, as with `errno`: a call that
    /// succeeds does not clear it, and may change it when it tried something that failed on the
    /// way. Each thread has its own; it needs no `Init()` and never blocks. On Windows the
    /// application's own socket calls do not change it (unlike `WSAGetLastError()`).
    static int LastError();

    /// \return a short English text for \p code ("connection refused", "timed out", ...): for 0,
    /// for every code `LastError()` gives, and "unknown error" for any other value. The text is
    /// static: never freed, never changed.
    static const char* ErrorText(int code);

    /// A function that takes the library's reports instead of the default output.
    /// \param title "Warning" for a failed system call (the text is one of the warnings
    ///        listed with the operations, exactly), "Fatal error" for a failed check of the debug
    ///        library (the expression, an empty line, the file and the line), or "Notice" for the
    ///        line `WritePacket` writes when a length field differs from the bytes received (the
    ///        text is that line, ending in a line feed).
    /// \param text the report, never null.
    typedef void (*ReportHandler)(const char* title, const char* text);

    /// Sends every report to \p handler instead of the default: a message box on Windows, standard
    /// error on POSIX (warnings and fatal reports), standard output (the `WritePacket` line).
    /// Null restores the default. Needs no instance and no `Init()`; `ZovSocketSet::PrintInfo`,
    /// which prints on request, is no report and still writes to standard output.
    ///
    /// Rules for the handler:
    ///  - It is called on the thread whose call raised the report, before that call returns, and
    ///    may be called from several threads at once. Setting a handler takes effect for the
    ///    reports that begin afterwards, from any thread.
    ///  - A fatal report still ends the process (exit status 1) once the handler returns.
    ///  - It may call the library. A report raised on a thread while that thread's handler runs
    ///    goes to the default output rather than into the handler again. `LastError()` is the same
    ///    after the handler as before it.
    ///  - It must return normally: it must not throw and must not jump out of the call.
    static void SetReportHandler(ReportHandler handler);

    /// Not copyable: a copy would be a second network layer whose destructor clears the
    /// singleton and stops the socket system under the live instance.
    ZovNet(const ZovNet&) = delete;
    /// Copies the started state. With one instance there is nothing to assign but the instance
    /// itself, which changes nothing.
    ZovNet& operator=(const ZovNet&) = default;

private:
    ZovNet();

    static ZovNet* m_instance;
    bool m_initialized;
};

/// \brief A plain record of one IPv4 address and one port, both in network byte order. No
/// operation of the library takes or returns it.
struct ZovNetAddr {
    unsigned int addr;   ///< IPv4 address, network byte order.
    unsigned short port; ///< Port, network byte order.

    /// Address 0, port 0.
    ZovNetAddr() : addr(0), port(0) {}
    /// Stores \p a and \p p unchanged (no byte-order conversion).
    ZovNetAddr(unsigned int a, unsigned short p) : addr(a), port(p) {}
};

// --------------------------------------------------------------------------------------------
// Packets
// --------------------------------------------------------------------------------------------

/**
 * \brief One message: an owned buffer holding a 3-byte header (big-endian total length, then a
 * type byte) followed by content fields written and read at a cursor.
 *
 * Wire format: `length:16be type:8 content...`, where `length` counts the whole message (3 to
 * 65535) and the content is a sequence of big-endian unsigned integers and raw byte runs with no
 * tags: the reader must know the sequence of fields the writer used.
 *
 * Sizes and positions are 16-bit and count from the start of the packet, header included: the
 * first content byte is at position 3. These always hold:
 * `3 <= Cursor() <= Length() <= Size() <= 65535` and `Size() >= 8`; bytes never written are 0.
 *
 * Limits the library enforces (a packet is fed bytes from the network, so no input can make it
 * read or write outside its buffer):
 *  - An Add whose field would take the packet past 65535 bytes writes nothing and leaves the
 *    packet unchanged.
 *  - An integer read with too few bytes left before `Length()` returns 0 and leaves the cursor
 *    where it was (the debug library stops the process instead).
 *  - `WritePacket` bounds the used size to what the buffer can hold; see there.
 */
class ZOVNET_API ZovNetPacket {
public:
    /// An empty packet of type \p type with room for \p size content bytes (the buffer is
    /// `size + 3` bytes computed in 16 bits, at least 8; a \p size above 65532 wraps).
    ZovNetPacket(unsigned char type, unsigned short size);

    /// An empty packet of type 0 with room for \p size content bytes (default: 8, an 11-byte
    /// buffer).
    ZovNetPacket(unsigned short size = 8);

    /// Copies \p other's used bytes into a buffer of exactly `max(other.Length(), 8)` bytes, with
    /// the same type, length and cursor. The copy never shares \p other's buffer.
    ZovNetPacket(const ZovNetPacket& other);

    /// Replaces this packet by a copy of \p other, with the copy constructor's rules. Safe for
    /// self-assignment.
    ZovNetPacket& operator=(const ZovNetPacket& other);

    ~ZovNetPacket();

    /// Resizes the buffer to exactly \p size bytes (at least 8). A smaller size is taken only
    /// when \p shrink is true. With \p keep the bytes that fit are kept, otherwise the new buffer
    /// is all zero (type included). `Length()` and `Cursor()` are lowered to fit.
    /// \return the allocated size afterwards.
    unsigned short Allocate(unsigned short size, bool keep, bool shrink);

    /// Empties the packet (all bytes zero, `Length()` and `Cursor()` 3), keeping its type and
    /// allocation.
    void Reset();

    /// Stamps `Length()` into the two length bytes (big-endian) and returns the buffer: the
    /// `Length()` bytes to send start here.
    unsigned char* Data() {
        m_buffer[0] = static_cast<unsigned char>(m_usize >> 8);
        m_buffer[1] = static_cast<unsigned char>(m_usize & 0xFF);
        return m_buffer;
    }

    /// Replaces the packet by \p size received bytes and puts the cursor on the first content
    /// byte. The used size is taken from the received length field. When that field differs
    /// from \p size, prints "WritePacket: size(<size>) != usize(<field>)\n" to standard output.
    /// A \p size of 0 or above 65535 leaves the packet unchanged. The buffer grows to \p size
    /// bytes when needed and never shrinks. A length field within the buffer but above \p size
    /// stays the used size, and the used bytes that did not arrive (the type byte included, when
    /// fewer than 3 bytes came) read as 0, never as an earlier message's bytes. A field below 3
    /// makes the used size 3; a field above the buffer makes it the buffer's size. A single
    /// received byte has no second length byte, which counts as 0: the byte `01` announces 256.
    /// \p data may point into this packet's own buffer (the bytes are moved to the front); such
    /// a run that reaches past the buffer's end leaves the packet unchanged.
    void WritePacket(const unsigned char* data, unsigned int size) {
        // The common case inline: one whole message whose length field says what arrived, into
        // a buffer that holds it.
        if (ZOVNET_PACKET_INLINE && data != nullptr && size >= PACKET_HEADER_SIZE &&
            size <= m_asize && ((static_cast<unsigned int>(data[0]) << 8) | data[1]) == size &&
            OutsideBuffer(data, size)) {
            std::memcpy(m_buffer, data, size);
            m_usize = static_cast<unsigned short>(size);
            m_cursor = PACKET_HEADER_SIZE;
            m_valid = true;
            return;
        }
        WritePacketChecked(data, size);
    }

    /// \return the allocated size of the buffer in bytes.
    unsigned short Size() const { return m_asize; }
    /// \return the used size, header included: the number of bytes to send.
    unsigned short Length() const { return m_usize; }
    /// \return the type byte.
    unsigned char Type() const { return m_buffer[2]; }
    /// Sets the type byte; touches neither the length bytes nor the cursor.
    void SetType(unsigned char type) { m_buffer[2] = type; }
    /// \return a pointer to the first content byte (position 3).
    unsigned char* Content() const { return m_buffer + PACKET_HEADER_SIZE; }
    /// \return the cursor: the position where the next field is written or read.
    unsigned short Cursor() const { return m_cursor; }
    /// Moves the cursor by \p delta, clamped to `3 ... Length()`.
    void MoveCursor(short delta) {
        int pos = static_cast<int>(m_cursor) + delta;
        if (pos < PACKET_HEADER_SIZE)
            pos = PACKET_HEADER_SIZE;
        if (pos > m_usize)
            pos = m_usize;
        m_cursor = static_cast<unsigned short>(pos);
    }
    /// Puts the cursor on the first content byte (position 3).
    void GoToStart() { m_cursor = PACKET_HEADER_SIZE; }
    /// Puts the cursor behind the last used byte.
    void GoToEnd() { m_cursor = m_usize; }

    /// Writes one byte at the cursor and moves the cursor behind it; grows the buffer to
    /// `Cursor() + 8` when it does not fit.
    void AddInt8(unsigned char value) {
        if (ZOVNET_PACKET_INLINE && m_cursor + 1u <= m_asize)
            return Put<1>(value);
        AddIntChecked(value, 1);
    }
    /// Writes a big-endian 16-bit value at the cursor (growth as `AddInt8`).
    void AddInt16(unsigned short value) {
        if (ZOVNET_PACKET_INLINE && m_cursor + 2u <= m_asize)
            return Put<2>(value);
        AddIntChecked(value, 2);
    }
    /// Writes a big-endian 32-bit value at the cursor (growth as `AddInt8`).
    void AddInt32(unsigned int value) {
        if (ZOVNET_PACKET_INLINE && m_cursor + 4u <= m_asize)
            return Put<4>(value);
        AddIntChecked(value, 4);
    }
    /// Writes \p n raw bytes at the cursor, with no length prefix; grows the buffer to
    /// `Cursor() + n + 8` when they do not fit. \p n of 0 changes nothing. \p s may point into
    /// this packet's own buffer (for example `Content()`): the bytes are taken as they stood
    /// before the call, even when the buffer grows or the run overlaps where it goes; such a run
    /// that reaches past the buffer's end is not written.
    void AddBin(const void* s, unsigned int n) {
        // Compared as what is left, so that no count wraps the sum.
        if (ZOVNET_PACKET_INLINE && s != nullptr && n != 0 && n <= Left(m_asize) &&
            OutsideBuffer(s, n)) {
            std::memcpy(m_buffer + m_cursor, s, n);
            return Advance(n);
        }
        AddBinChecked(s, n);
    }
    /// Writes a big-endian 64-bit value at the cursor (8 bytes; growth as `AddInt8`).
    void AddInt64(unsigned long long value) {
        if (ZOVNET_PACKET_INLINE && m_cursor + 8u <= m_asize)
            return Put<8>(value);
        AddIntChecked(value, 8);
    }
    /// Writes the IEEE 754 binary32 bit pattern of \p value as a big-endian 32-bit field.
    /// Infinities, signed zeros and NaN payloads are kept bit for bit.
    void AddFloat(float value) {
        static_assert(sizeof(float) == 4, "binary32 floats");
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        AddInt32(bits);
    }
    /// Writes the IEEE 754 binary64 bit pattern of \p value as a big-endian 64-bit field,
    /// bit for bit as `AddFloat`.
    void AddDouble(double value) {
        static_assert(sizeof(double) == 8, "binary64 doubles");
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        AddInt64(bits);
    }
    /// Writes a string field: its byte count as a big-endian 16-bit value, then the bytes of
    /// \p text without the terminator. Grows the buffer to `Cursor()` + the field + 8 when it does
    /// not fit. A field that would end past 65,535 bytes (a text of more than 65,530 bytes at
    /// the start of the content, less further on) is refused whole: nothing is written. A null
    /// \p text stops the debug library (the failed check reads `text != NULL`); the release
    /// library writes nothing.
    void AddString(const char* text) {
        if (ZOVNET_PACKET_INLINE && text != nullptr) {
            const std::size_t n = std::strlen(text);
            if (n <= 0xFFFFu && m_cursor + 2u + n <= m_asize && OutsideBuffer(text, n)) {
                Put<2>(n);
                std::memcpy(m_buffer + m_cursor, text, n);
                return Advance(static_cast<unsigned int>(n));
            }
        }
        AddStringChecked(text);
    }

    /// Reads one byte at the cursor and moves the cursor behind it. Returns 0 and leaves the
    /// cursor when no byte is left before `Length()`.
    unsigned char ReadInt8() {
        if (ZOVNET_PACKET_INLINE && m_cursor + 1u <= m_usize)
            return static_cast<unsigned char>(Get<1>());
        return static_cast<unsigned char>(ReadIntChecked(1));
    }
    /// Reads a big-endian 16-bit value (0 and the cursor unchanged when fewer than 2 bytes are
    /// left).
    unsigned short ReadInt16() {
        if (ZOVNET_PACKET_INLINE && m_cursor + 2u <= m_usize)
            return static_cast<unsigned short>(Get<2>());
        return static_cast<unsigned short>(ReadIntChecked(2));
    }
    /// Reads a big-endian 32-bit value (0 and the cursor unchanged when fewer than 4 bytes are
    /// left).
    unsigned int ReadInt32() {
        if (ZOVNET_PACKET_INLINE && m_cursor + 4u <= m_usize)
            return static_cast<unsigned int>(Get<4>());
        return static_cast<unsigned int>(ReadIntChecked(4));
    }
    /// Copies up to \p n bytes from the cursor to \p dest and moves the cursor behind them.
    /// \return the number of bytes copied: what is left of the content at most; 0 at the end, in
    /// which case \p dest is not touched. \p dest may lie in this packet's own buffer, even
    /// overlapping the bytes read.
    unsigned int ReadBin(void* dest, unsigned int n) {
        if (ZOVNET_PACKET_INLINE && dest != nullptr && n != 0 && n <= Left(m_usize) &&
            OutsideBuffer(dest, n)) {
            std::memcpy(dest, m_buffer + m_cursor, n);
            m_cursor = static_cast<unsigned short>(m_cursor + n);
            return n;
        }
        return ReadBinChecked(dest, n);
    }
    /// Reads a big-endian 64-bit value (0 and the cursor unchanged when fewer than 8 bytes are
    /// left).
    unsigned long long ReadInt64() {
        if (ZOVNET_PACKET_INLINE && m_cursor + 8u <= m_usize)
            return Get<8>();
        return ReadIntChecked(8);
    }
    /// Reads a binary32 field written by `AddFloat`, bit for bit (0.0f and the cursor unchanged
    /// when fewer than 4 bytes are left).
    float ReadFloat() {
        const std::uint32_t bits = ReadInt32();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    /// Reads a binary64 field written by `AddDouble`, bit for bit (0.0 and the cursor unchanged
    /// when fewer than 8 bytes are left).
    double ReadDouble() {
        const std::uint64_t bits = ReadInt64();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    /// Reads one string field written by `AddString`: copies at most \p size - 1 of its bytes to
    /// \p dest, terminates them with a zero byte, moves the cursor behind the whole field (the
    /// bytes that did not fit are skipped) and returns the field's byte count, which may exceed
    /// what was copied. A \p size of 0 copies nothing (\p dest may then be null) and skips the
    /// field. When the 2-byte count is not there, or the count runs past `Length()`, nothing of
    /// the field is read: the debug library stops (its check reads `m_cursor+1 < m_usize` or
    /// `m_cursor+2+count <= m_usize`); the release library returns 0 with \p dest holding an
    /// empty text, the cursor unchanged and `Valid()` false. A null \p dest with a \p size
    /// above 0 stops the debug library; the release library returns 0 and reads nothing.
    unsigned int ReadString(char* dest, unsigned int size) {
        if (ZOVNET_PACKET_INLINE && dest != nullptr && m_cursor + 2u <= m_usize) {
            const unsigned int count =
                (static_cast<unsigned int>(m_buffer[m_cursor]) << 8) | m_buffer[m_cursor + 1];
            if (count < size && m_cursor + 2u + count <= m_usize && OutsideBuffer(dest, size)) {
                std::memcpy(dest, m_buffer + m_cursor + 2, count);
                dest[count] = '\0';
                m_cursor = static_cast<unsigned short>(m_cursor + 2 + count);
                return count;
            }
        }
        return ReadStringChecked(dest, size);
    }

    /// \return the content bytes from the cursor to `Length()`: how much the next reads may
    /// take. Check it before reading the fields of a message that came from the network: a
    /// read past the end stops the debug library, and in the release library its 0 looks like
    /// a real 0.
    unsigned int Remaining() const {
        return m_cursor < m_usize ? static_cast<unsigned int>(m_usize - m_cursor) : 0u;
    }
    /// \return false once a read of the release library found too few bytes left (a `Read`
    /// that returned its 0 for a missing field, or a `ReadString` whose count ran past the
    /// end); true again after `Reset`, `WritePacket` or a new message. `ReadBin`, which reads
    /// what is left by design, never clears it.
    bool Valid() const { return m_valid; }

private:
    void NextPacket();
    unsigned int Missing();

    // The inline forms above do the common case: the field fits, or its bytes are there. All
    // the rest (growth, refusals, reads past the end, and every check of the debug library) is
    // done by these, in the library.
    void WritePacketChecked(const unsigned char* data, unsigned int size);
    void AddIntChecked(unsigned long long value, unsigned int width);
    unsigned long long ReadIntChecked(unsigned int width);
    void AddBinChecked(const void* s, unsigned int n);
    unsigned int ReadBinChecked(void* dest, unsigned int n);
    void AddStringChecked(const char* text);
    unsigned int ReadStringChecked(char* dest, unsigned int size);

    // Whether the `n` bytes at `p` lie wholly outside the buffer, so that a plain copy is right
    // (a run inside the packet's own bytes has rules of its own). Compared as integers: pointers
    // into different blocks have no order in the language.
    bool OutsideBuffer(const void* p, std::size_t n) const {
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(m_buffer);
        return at + n <= start || at >= start + m_asize;
    }
    // The bytes from the cursor up to `end` (the allocated or the used size, never below it).
    unsigned int Left(unsigned short end) const {
        return static_cast<unsigned int>(end - m_cursor);
    }
    void Advance(unsigned int n) {
        m_cursor = static_cast<unsigned short>(m_cursor + n);
        if (m_cursor > m_usize)
            m_usize = m_cursor;
    }
    // A big-endian field of `Width` bytes at the cursor, which the caller made sure fits.
    // The cursor is kept in a local: a byte stored through the buffer may alias the members, so
    // that the compiler would load them again after it.
    template <unsigned int Width> void Put(unsigned long long value) {
        const unsigned int cursor = m_cursor;
        unsigned char* p = m_buffer + cursor;
        for (unsigned int i = 0; i < Width; ++i)
            p[i] = static_cast<unsigned char>(value >> (8 * (Width - 1 - i)));
        const unsigned short end = static_cast<unsigned short>(cursor + Width);
        m_cursor = end;
        if (end > m_usize)
            m_usize = end;
    }
    // Spelt out per width, which compilers turn into one load and a byte swap.
    template <unsigned int Width> unsigned long long Get() {
        const unsigned char* p = m_buffer + m_cursor;
        unsigned long long value;
        if constexpr (Width == 1) {
            value = p[0];
        } else if constexpr (Width == 2) {
            value = (static_cast<unsigned int>(p[0]) << 8) | p[1];
        } else if constexpr (Width == 4) {
            value = (static_cast<std::uint32_t>(p[0]) << 24) |
                    (static_cast<std::uint32_t>(p[1]) << 16) |
                    (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
        } else {
            static_assert(Width == 8, "fields of 1, 2, 4 or 8 bytes");
            value = (static_cast<std::uint64_t>(p[0]) << 56) |
                    (static_cast<std::uint64_t>(p[1]) << 48) |
                    (static_cast<std::uint64_t>(p[2]) << 40) |
                    (static_cast<std::uint64_t>(p[3]) << 32) |
                    (static_cast<std::uint64_t>(p[4]) << 24) |
                    (static_cast<std::uint64_t>(p[5]) << 16) |
                    (static_cast<std::uint64_t>(p[6]) << 8) | p[7];
        }
        m_cursor = static_cast<unsigned short>(m_cursor + Width);
        return value;
    }

    unsigned char* m_buffer;
    unsigned short m_cursor;
    unsigned short m_asize;
    unsigned short m_usize;
    bool m_valid; // no read has run past the used size since the message began
};

// --------------------------------------------------------------------------------------------
// Sockets
// --------------------------------------------------------------------------------------------

class ZovSocketPoller;
struct ZovPollerLinks;

/**
 * \brief Abstract base of the socket classes: owns one system socket descriptor, the local port
 * and the open directions.
 *
 * Socket objects are not copyable: no two objects hold the same descriptor. The destructor closes
 * the descriptor.
 */
class ZOVNET_API ZovSocket {
public:
    /// The open directions of a socket (the bits of `State()`), and the argument of `ShutDown`.
    enum SockState { SOCK_CLOSED = 0, SOCK_RECEIVE = 1, SOCK_SEND = 2, SOCK_BOTH = 3 };

    virtual ~ZovSocket();

    /// \return one of `SOCKTYPE_TCPSERVER`, `SOCKTYPE_TCPCLIENT`, `SOCKTYPE_UDP`.
    virtual unsigned int SocketType() const = 0;
    /// Sends \p len raw bytes; see the concrete class. \return bytes sent, or -1.
    virtual int Send(void* data, unsigned int len) = 0;
    /// The same send from a read-only buffer (`const void*`, `const char*`, ...): the `void*`
    /// form never writes to the bytes. Only pointers to const pick this form: a non-const pointer,
    /// `nullptr`, `NULL` and `0` go to the `void*` form as they always have.
    template <typename T, typename = std::enable_if_t<std::is_const<T>::value>>
    int Send(T* data, unsigned int len) {
        return Send(const_cast<void*>(static_cast<const void*>(data)), len);
    }
    /// Sends one packet; see the concrete class. \return bytes sent, or -1.
    virtual int Send(ZovNetPacket* packet) = 0;
    /// Receives up to \p len raw bytes; see the concrete class. \return bytes received, 0, or -1.
    virtual int Receive(void* data, unsigned int len) = 0;
    /// Receives one packet; see the concrete class. \return its length, 0, or -1.
    virtual int Receive(ZovNetPacket* packet) = 0;

    /// \return the system descriptor, or `ZOVNET::BADSOCKET` when the object holds none.
    unsigned int Descriptor() const { return m_descriptor; }
    /// \return the `SockState` bits of the directions still open (0 to 3).
    unsigned int State() const { return m_state; }
    /// \return the bound local port in network byte order, or 0 when not bound.
    unsigned short Port() const { return m_port; }

    /// Reads a socket-level option (a `ZOVNET::OPT_` name, or the system's SO_ number) as a
    /// 4-byte integer. The time-outs
    /// `SO_RCVTIMEO` and `SO_SNDTIMEO` read as milliseconds on every system (0: none); POSIX
    /// systems keep them in their clock's ticks, so a value that was set may read back rounded
    /// up to the next tick (multiples of 20 ms come back as they were set).
    /// \return true when the system delivered it; \p value is untouched otherwise.
    bool GetOption(int option, int& value);
    /// Sets a socket-level option (a `ZOVNET::OPT_` name, or the system's SO_ number) to a
    /// 4-byte integer. The time-outs
    /// `SO_RCVTIMEO` and `SO_SNDTIMEO` take milliseconds on every system (0: none). A blocking
    /// transfer that runs out of its time-out fails with WSAETIMEDOUT; see the TCP client's
    /// packet transfers for what becomes of a message then. POSIX refuses a negative count.
    /// \return true when the system accepted it.
    bool SetOption(int option, int value);

    /// Shuts the given direction(s) down. A single direction that is already shut, or
    /// `SOCK_CLOSED`, changes nothing. The bits are cleared only when the system accepts; once no
    /// bit is left the descriptor is closed and `Descriptor()` becomes `ZOVNET::BADSOCKET`.
    void ShutDown(SockState how);

    /// Makes the socket blocking (true, as every socket starts) or non-blocking (false), and
    /// remembers the mode: Windows cannot be asked it. On a non-blocking socket no call waits:
    /// a receive with nothing to give and a send the system cannot take return -1 at once with
    /// `LastError()` `ZOVNET::ERRCODE_WOULD_BLOCK` (see each class for what it keeps), and
    /// `ZovTCPSocketServer::Accept` returns null. A TCP client that turns blocking again first
    /// sends what it has queued, blocking until it is out (bounded by its send time-out; a
    /// failure drops the queue as `ZovTCPSocketClient::Flush` says, and the mode is set all the
    /// same).
    /// \return true when the system took the mode; false (mode unchanged) otherwise, for example
    /// for a socket without descriptor.
    bool SetBlocking(bool blocking);
    /// \return the mode last set with `SetBlocking` (true for a new socket). A mode set on the
    /// descriptor behind the library's back is not seen here.
    bool IsBlocking() const { return m_blocking; }

    ZovSocket(const ZovSocket&) = delete;
    ZovSocket& operator=(const ZovSocket&) = delete;

protected:
    ZovSocket();

    /// Takes the socket out of every `ZovSocketPoller` it was added to. Called before the
    /// descriptor is closed or replaced, so that a poller never reports the old descriptor for
    /// this object or its number for a socket that reuses it.
    void LeavePollers();

    unsigned int m_descriptor; ///< The system descriptor, or `ZOVNET::BADSOCKET`.
    unsigned short m_port;     ///< The bound local port, network byte order; 0 when not bound.
    unsigned short m_state;    ///< The `SockState` bits of the open directions.
    bool m_blocking;           ///< The mode last set with `SetBlocking`.
    bool m_ipv6;               ///< The descriptor is, or was made to be, an IPv6 socket.

private:
    friend class ZovSocketPoller;
    ZovPollerLinks* m_pollers; // the pollers this socket was added to; null when none
};

/**
 * \brief One end of a TCP connection: a connection the application opens, or one handed out by
 * `ZovTCPSocketServer::Accept`.
 *
 * Every transfer is refused with -1, before any system call, unless bit 1 (`SOCK_RECEIVE`) of
 * `State()` is set: after `ShutDown(SOCK_RECEIVE)` both sending and receiving are refused.
 * No send raises SIGPIPE: on a shut or reset connection `Send` returns -1.
 *
 * Packets keep the stream's framing in every mode, on every system: no byte is ever taken as a
 * length field that is not one, and no part of a frame is ever followed by anything else. Where
 * a connection cannot go on without breaking that rule, the object stops using it in that
 * direction and `State()` shows it:
 *  - reading: the peer closed or the connection failed in the middle of a message. The receive
 *    side is shut and bit 1 (`SOCK_RECEIVE`) is cleared, so `State()` is 2 (or 0); by the rule
 *    above every later transfer of the object, sending included, returns -1.
 *  - sending: part of a frame went out and the rest cannot (an error, or the send time-out ran
 *    out). The send side is shut, so the peer sees the connection end after the part that went
 *    out and every later send fails; bit 2 (`SOCK_SEND`) is cleared.
 * The descriptor stays open in both cases (remove it from any socket set, then delete the
 * object or call `ShutDown(SOCK_BOTH)`).
 *
 * The IPv4 constructor and the adopting one differ only in the type of their first argument; a
 * plain literal `0` is ambiguous between them and does not compile. Write the local port as
 * `(unsigned short)0` or through a named `unsigned short` variable. (The `ZovAddress` form takes a
 * literal `0` port.)
 */
class ZOVNET_API ZovTCPSocketClient : public ZovSocket {
public:
    /// Creates a TCP socket, binds it to \p localPort (network byte order; 0 lets the system
    /// choose) and, when \p destAddr is not 0, connects to \p destAddr : \p destPort, blocking
    /// until the system answers. Failures show a warning ("Can not create TCP socket", "Can not
    /// bind TCP socket to local port", "Can not connect to remote host"); the object exists all
    /// the same and `State()` tells whether it is connected (`SOCK_BOTH`). After a failed connect
    /// the object can `Connect` again (see there).
    ZovTCPSocketClient(unsigned short localPort = 0, unsigned int destAddr = 0,
                       unsigned short destPort = 0);

    /// The same on either family: creates a TCP socket of the family of \p dest, binds it to
    /// \p localPort on that family's any address and connects to \p dest : \p destPort, with
    /// the same warnings and states as the IPv4 form. An any address (`ZovAddress()` or
    /// `ZovAddress::Any6()`) connects nowhere, as a \p destAddr of 0 does: the socket is created
    /// and bound, ready for `Connect`. A link-local destination keeps its scope id.
    ZovTCPSocketClient(unsigned short localPort, const ZovAddress& dest, unsigned short destPort);

    /// Adopts an already connected \p descriptor; the object closes it when destroyed. The local
    /// port is read back from the system (0 if that fails). `State()` is `SOCK_BOTH`.
    ///
    /// Only an open stream socket is adopted. A port held in an `unsigned int` variable picks
    /// this constructor, so anything else is refused: the debug library stops with its fatal
    /// report (the failed check reads `IsStreamSocket(descriptor)`); the release library shows
    /// no warning, leaves \p descriptor open and untouched, and the object holds nothing:
    /// `State()` 0, `Descriptor()` `ZOVNET::BADSOCKET`, `LastError()` WSAENOTSOCK (10038).
    ZovTCPSocketClient(unsigned int descriptor, unsigned int destAddr, unsigned short destPort);

    ~ZovTCPSocketClient() override;

    /// \return `SOCKTYPE_TCPCLIENT`.
    unsigned int SocketType() const override;

    /// Connects the bound socket to \p destAddr : \p destPort, waiting for the outcome as long as
    /// the system allows. \p destAddr 0 returns false at once. A refusal shows "Can not connect
    /// to remote host" and returns false. The same as `Connect(destAddr, destPort, 0)`.
    bool Connect(unsigned int destAddr, unsigned short destPort);

    /// Connects to \p destAddr : \p destPort and gives up after about \p timeout milliseconds
    /// (0: no limit, as the system allows) with `LastError()` `ZOVNET::ERRCODE_TIMED_OUT`. It
    /// waits for the outcome in either mode and leaves the object in the mode it was in.
    ///
    /// A failure, refused or timed out, shows "Can not connect to remote host" and returns
    /// false; the object can `Connect` again. Some systems cannot connect a socket whose connect
    /// failed, so the next `Connect` after a failure (this one's or the constructor's) takes a
    /// new descriptor, of the same mode, bound to the same local port: the port given to the
    /// constructor, or, when the system chose it, the port it had chosen where that is still free
    /// (else another one; `Port()` tells). `Descriptor()` then shows the new value, and the new
    /// descriptor has the system's default options: set again any option set on the old one. A
    /// socket registered in a `ZovSocketSet` or a `ZovSocketPoller` must be registered again
    /// after a failed `Connect` (a poller lets go of the old descriptor by itself). A `Connect` on
    /// an object that holds a connection fails and leaves the connection and the descriptor as
    /// they are.
    bool Connect(unsigned int destAddr, unsigned short destPort, unsigned int timeout);

    /// Connects to \p dest : \p destPort of either family, as the IPv4 form does; an any address
    /// returns false at once with `ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE`. The descriptor's
    /// family follows the destination: when it differs from the family the object's descriptor
    /// has (an IPv4 object connecting to an IPv6 address, or the reverse, the IPv4 form
    /// included), the object takes a new descriptor of the destination's family first, exactly
    /// as after a failed connect (see there: same mode and local port, default options). An
    /// object that holds a connection keeps it and refuses a destination of the other family
    /// at once, as the system refuses a second connect of the same family: false with the
    /// warning and `LastError()` WSAEISCONN (10056).
    bool Connect(const ZovAddress& dest, unsigned short destPort);
    /// \copydoc Connect(const ZovAddress&, unsigned short)
    /// Gives up after about \p timeout milliseconds as `Connect(unsigned int, unsigned short,
    /// unsigned int)` does (0: no limit).
    bool Connect(const ZovAddress& dest, unsigned short destPort, unsigned int timeout);

    /// \return the peer address of the last connection made, of either family, in the canonical
    /// form (an IPv4 peer of a dual-stack server is its IPv4 address); `ZovAddress()` before any.
    /// For an IPv4 peer it equals `ZovAddress(GetDestAddr())`. An adopted descriptor's peer is
    /// not asked of the system: it is `ZovAddress(destAddr)` as given to that constructor, also
    /// for an IPv6 connection.
    ZovAddress PeerAddress() const { return m_peer; }

    /// \return the IPv4 peer address of the last connection made (network byte order), or 0,
    /// also for an IPv6 peer (see `PeerAddress`).
    unsigned int GetDestAddr() const { return m_destAddr; }
    /// \return the peer port of the last connection made (network byte order), or 0.
    unsigned short GetDestPort() const { return m_destPort; }

    /// One system send of \p len bytes. \return the count sent (possibly short), or -1.
    /// It never overtakes queued bytes (see `Send(ZovNetPacket*)`): with bytes queued it flushes
    /// first and, when the queue does not empty, returns -1 with `ZOVNET::ERRCODE_WOULD_BLOCK`.
    int Send(void* data, unsigned int len) override;
    /// The same send from a read-only buffer (`const void*`, `const char*`, ...): the `void*`
    /// form never writes to the bytes. Only pointers to const pick this form: a non-const pointer,
    /// `nullptr`, `NULL` and `0` go to the `void*` form as they always have.
    template <typename T, typename = std::enable_if_t<std::is_const<T>::value>>
    int Send(T* data, unsigned int len) {
        return Send(const_cast<void*>(static_cast<const void*>(data)), len);
    }
    /// Stamps and sends the whole packet, `packet->Length()` bytes, through the byte form of
    /// `Send` (an override in a derived class does the sending).
    ///
    /// Once the first byte of the frame is out, the rest follows: a blocking descriptor blocks
    /// until it is out; on a descriptor the application made non-blocking the call waits until
    /// the socket can take more, as long as the send time-out (`SO_SNDTIMEO`) allows, or
    /// without limit when none is set. \return `Length()` when the whole frame went out; -1 for
    /// a null packet or a closed gate; -1 when nothing of the frame went out (a full
    /// non-blocking socket says so at once: try again later); and -1 when the frame was cut:
    /// an error after part of it, or a send time-out that ran out (Windows does not say how
    /// much of a send that ran out of time went out, so this holds even when nothing did). A
    /// cut frame ends the sending of the connection: see the class.
    ///
    /// On a socket made non-blocking with `SetBlocking(false)` the call never waits and never
    /// cuts a frame: it sends what the system takes and keeps the rest of the frame in the
    /// object, in order, behind anything queued before (see `Flush`). \return then the packet's
    /// `Length()`, meaning "accepted"; -1 with `ZOVNET::ERRCODE_WOULD_BLOCK` and nothing queued
    /// or sent when bytes are queued already and `Queued()` plus the packet's length would pass
    /// the send limit (`SetSendLimit`); with an empty queue a packet is always accepted. A
    /// message is never half in the queue. -1 when the connection failed. What the system takes at
    /// once goes through the byte form of `Send`, as above; queued bytes go from `Flush` straight
    /// to the system.
    int Send(ZovNetPacket* packet) override;

    /// Sends what is queued (non-blocking sockets, see `Send`) as far as the system takes it,
    /// without waiting. A blocking socket with a queue (it was non-blocking when it queued)
    /// waits until the queue is out.
    /// \return the bytes still queued (0: all is out), or -1 when the connection failed: the
    /// queue is dropped and the send side shut (bit 2 of `State()` cleared), since the peer can
    /// never get the rest of the frame. A queue that may no longer be sent (bit 1 of `State()`
    /// clear) is dropped with -1 as well. A new connection (`Connect`) starts with an empty queue.
    int Flush();
    /// \return the bytes queued and not yet taken by the system, without sending. A poller user
    /// asks for `ZOVNET::POLL_SEND` while this is above 0 and calls `Flush()` when it comes.
    unsigned int Queued() const { return m_queueUsed; }
    /// Bounds the queue of a non-blocking socket to \p bytes (256 KiB by default): see `Send`.
    void SetSendLimit(unsigned int bytes) { m_sendLimit = bytes; }
    /// \return the bound set with `SetSendLimit`.
    unsigned int SendLimit() const { return m_sendLimit; }

    /// Switches Nagle's algorithm off (\p on true: TCP_NODELAY set, each send goes out at once,
    /// as latency-sensitive programs want) or back on (false, as every connection starts).
    /// \return true when the system took it; false, for example, without descriptor.
    bool SetNoDelay(bool on);

    /// One system receive of up to \p len bytes (blocks until data or close).
    /// \return the count received, 0 when the peer has closed, or -1.
    ///
    /// When a packet receive holds the first part of a message (see below), this returns those
    /// bytes first, without a system call: the stream as this form sees it has no gap.
    int Receive(void* data, unsigned int len) override;
    /// Receives exactly one whole message of the stream into \p packet.
    ///
    /// A message already whole in the receive queue costs two system calls: a look at its
    /// length field and one read. A message whose first part has come but not the rest is
    /// kept in the object (the bytes leave the system's queue) until the rest has come; the
    /// same rule holds on every system and in every mode, so the call never needs to know
    /// whether the descriptor blocks (Windows cannot tell).
    ///
    /// A blocking descriptor blocks until a complete message has arrived, or until its receive
    /// time-out (`SO_RCVTIMEO`) runs out. A descriptor the application made non-blocking does not
    /// wait: the call returns -1 (`WSAEWOULDBLOCK`) while the message is incomplete.
    ///
    /// \return
    ///  - the message's length (3 or more) when a whole message came;
    ///  - 0 when its length field is below 3 (those two bytes are consumed, the packet is
    ///    untouched);
    ///  - -1 with nothing lost when the message has not fully come: nothing there yet on a
    ///    non-blocking descriptor, or the receive time-out ran out (`WSAETIMEDOUT`), even in the
    ///    middle of the message. The part that came stays in the object and a later call
    ///    returns the message whole;
    ///  - 0 when the peer closed in the middle of a message, and -1 when the connection failed
    ///    there (a reset, for example): the rest can never come, so the connection is no longer
    ///    read from (see the class); Wine reports a reset that follows data as a close (0);
    ///  - -1 when the peer had closed before a message began (nothing changes: the byte form
    ///    `Receive` then returns 0, and sending goes on, which a peer that only shut its send
    ///    side may still expect), on another error, for a null packet or a closed gate.
    ///
    /// On every result but a length the packet is unchanged. A socket set reports a socket
    /// readable when the system has bytes for it; the part of a message kept in the object needs
    /// more bytes from the system to become a message, so a wait on the set is the right way to
    /// learn when to call again.
    int Receive(ZovNetPacket* packet) override;

    /// \return the bytes of a message that has begun to arrive and is not whole yet, kept in the
    /// object (see `Receive(ZovNetPacket*)`); 0 between messages. A server that must not wait
    /// for ever on a client that stopped in the middle of a message watches how long this stays
    /// above 0.
    unsigned int Pending() const { return m_pendingUsed; }

private:
    friend class ZovTCPSocketServer; // gives an accepted client its listener's mode

    int ReceiveRest(ZovNetPacket* packet);
    bool ReservePending(unsigned int size);
    void ConsumePending(unsigned int count);
    void DropPending();
    void StopReceiving();
    void StopSending();
    int SendQueued(unsigned char* bytes, unsigned int length);
    bool Enqueue(const unsigned char* bytes, unsigned int len);
    void ConsumeQueue(unsigned int count);
    void DropQueue();
    bool FreshDescriptor(bool ipv6);
    bool ConnectTo(const ZovAddress& dest, unsigned short destPort, unsigned int timeout);

    unsigned int m_destAddr;
    unsigned short m_destPort;
    // The local port the constructor was asked for, and whether the last connect failed (the
    // next one then takes a new descriptor).
    unsigned short m_bindPort;
    bool m_connectFailed;
    // Bytes of frames that a non-blocking socket accepted and the system has not taken yet:
    // m_queueUsed bytes from m_queue + m_queueStart.
    unsigned char* m_queue;
    unsigned int m_queueStart;
    unsigned int m_queueUsed;
    unsigned int m_queueSize;
    unsigned int m_sendLimit;
    // The first part of a message whose rest has not arrived yet: bytes taken from the system and
    // not yet handed to the caller (null and 0 while there are none).
    unsigned char* m_pending;
    unsigned int m_pendingUsed;
    unsigned int m_pendingSize;
    // The peer of the last connection, of either family (after the members above, which keep
    // their places).
    ZovAddress m_peer;
};

/**
 * \brief A listening TCP socket. `Accept` hands out each incoming connection as a new
 * `ZovTCPSocketClient` that the caller owns.
 *
 * The four transfers exist only to complete the socket interface: they do nothing and return 0.
 */
class ZOVNET_API ZovTCPSocketServer : public ZovSocket {
public:
    /// Creates a TCP socket, binds it to \p port (network byte order; 0 lets the system choose)
    /// and listens with a queue of \p backlog connections. Failures show a warning ("Can not
    /// create TCP socket", "Can not bind TCP socket to local port", "Can not listen to TCP
    /// socket") and leave an object without descriptor. Listening: `State()` is `SOCK_RECEIVE`.
    ///
    /// A server restarts at once on its port while connections of its last run wait out
    /// TIME-WAIT: on POSIX the socket is given SO_REUSEADDR before the bind (two listeners still
    /// cannot share a port); Windows allows the restart without it, and there the option would
    /// let another process take a port in use, so it is not set.
    ZovTCPSocketServer(unsigned short port = 0, unsigned int backlog = 5);

    /// The same, bound to \p bindAddress, which also chooses the family:
    ///  - `ZovAddress::Any6()` is dual-stack on every system: one socket takes IPv4 and IPv6
    ///    clients (the library clears IPV6_V6ONLY itself, since Windows sets it by default and
    ///    Linux does not). Its IPv4 clients come out of `Accept` with their IPv4 address;
    ///  - any other IPv6 address (`ZovAddress::Loopback6()`, a link-local address with its scope
    ///    id, ...) takes IPv6 clients only;
    ///  - an IPv4 address takes IPv4 clients on that address; `ZovAddress()` is the IPv4 form.
    /// A system without IPv6 fails the creation with the warning "Can not create TCP socket". The
    /// family setting is part of the bind: a system that refuses it shows "Can not bind TCP
    /// socket to local port".
    ZovTCPSocketServer(unsigned short port, unsigned int backlog, const ZovAddress& bindAddress);
    ~ZovTCPSocketServer() override;

    /// Takes one incoming connection, blocking until one comes in. A non-blocking server
    /// (`SetBlocking(false)`) with no connection waiting returns null at once with `LastError()`
    /// `ZOVNET::ERRCODE_WOULD_BLOCK` and no warning. The client starts in the server's mode on
    /// every system.
    /// \return a new client owned by the caller (delete it to close the connection), or null
    /// after the warning "socket accept() failed". Its `PeerAddress()` is the client's address
    /// in the canonical form, and `GetDestAddr()` its IPv4 address (0 for an IPv6 client).
    ZovTCPSocketClient* Accept();

    /// \return `SOCKTYPE_TCPSERVER`.
    unsigned int SocketType() const override;
    /// Does nothing. \return 0.
    int Send(void* data, unsigned int len) override;
    /// The same send from a read-only buffer (`const void*`, `const char*`, ...): the `void*`
    /// form never writes to the bytes. Only pointers to const pick this form: a non-const pointer,
    /// `nullptr`, `NULL` and `0` go to the `void*` form as they always have.
    template <typename T, typename = std::enable_if_t<std::is_const<T>::value>>
    int Send(T* data, unsigned int len) {
        return Send(const_cast<void*>(static_cast<const void*>(data)), len);
    }
    /// Does nothing. \return 0.
    int Send(ZovNetPacket* packet) override;
    /// Does nothing. \return 0.
    int Receive(void* data, unsigned int len) override;
    /// Does nothing. \return 0.
    int Receive(ZovNetPacket* packet) override;
};

/**
 * \brief A bound UDP socket: sends raw bytes or a packet as one datagram to any address and port
 * and receives one datagram at a time, optionally reporting the sender.
 *
 * Every transfer is refused with -1, before any system call, unless bit 1 (`SOCK_RECEIVE`) of
 * `State()` is set (sending included).
 *
 * A datagram sent to a port nobody listens on never makes a later receive of this (unconnected)
 * socket fail: on Windows the library switches that report off when it creates the socket.
 */
class ZOVNET_API ZovUDPSocket : public ZovSocket {
public:
    /// Creates a UDP socket bound to \p port (network byte order; 0 lets the system choose).
    /// Failures show a warning ("Can not create UDP socket", "Can not bind UDP socket to local
    /// port") and leave an object without descriptor. Bound: `State()` is `SOCK_BOTH`.
    ZovUDPSocket(unsigned short port = 0);

    /// The same, bound to \p bindAddress, by the rule of the TCP server: `ZovAddress::Any6()` is
    /// dual-stack on every system, another IPv6 address is IPv6 only, an IPv4 address is IPv4.
    ZovUDPSocket(unsigned short port, const ZovAddress& bindAddress);
    ~ZovUDPSocket() override;

    /// \return `SOCKTYPE_UDP`.
    unsigned int SocketType() const override;

    /// One send on a socket to which the application assigned a peer. \return bytes sent or -1.
    int Send(void* data, unsigned int len) override;
    /// One datagram of \p len bytes to \p addr : \p port. \return bytes sent or -1.
    /// On an IPv6 socket the IPv4 address is sent to in its mapped form, as the `ZovAddress`
    /// form does (a dual-stack socket reaches it, an IPv6-only one does not).
    int Send(void* data, unsigned int len, unsigned int addr, unsigned short port);
    /// One datagram of \p len bytes to \p dest : \p port, of either family. An IPv4 destination
    /// on an IPv6 socket goes in its mapped form, which a dual-stack socket delivers on every
    /// system (Windows takes no other form there); an IPv6-only socket cannot reach it, and the
    /// system's error says so. An IPv6 destination on an IPv4 socket returns -1 with
    /// `ZOVNET::ERRCODE_FAMILY_NOT_SUPPORTED` before any system call. The IPv4 any address
    /// (`ZovAddress()`, 0 in the IPv4 form) on an IPv6 socket returns -1 with
    /// `ZOVNET::ERRCODE_ADDRESS_NOT_AVAILABLE`: it is what the IPv4 receive forms give for an
    /// IPv6 sender, whom only the `ZovAddress` forms can answer. \return bytes sent or -1.
    int Send(void* data, unsigned int len, const ZovAddress& dest, unsigned short port);
    /// The same sends from a read-only buffer (`const void*`, `const char*`, ...): the `void*`
    /// forms never write to the bytes. Only pointers to const pick these forms: a non-const
    /// pointer, `nullptr`, `NULL` and `0` go to the `void*` forms as they always have.
    template <typename T, typename = std::enable_if_t<std::is_const<T>::value>>
    int Send(T* data, unsigned int len) {
        return Send(const_cast<void*>(static_cast<const void*>(data)), len);
    }
    /// \copydoc Send(T*, unsigned int)
    template <typename T, typename = std::enable_if_t<std::is_const<T>::value>>
    int Send(T* data, unsigned int len, unsigned int addr, unsigned short port) {
        return Send(const_cast<void*>(static_cast<const void*>(data)), len, addr, port);
    }
    /// \copydoc Send(T*, unsigned int)
    template <typename T, typename = std::enable_if_t<std::is_const<T>::value>>
    int Send(T* data, unsigned int len, const ZovAddress& dest, unsigned short port) {
        return Send(const_cast<void*>(static_cast<const void*>(data)), len, dest, port);
    }
    /// Stamps the packet and sends it as one datagram through `Send(void*, unsigned int)`.
    /// \return bytes sent, or -1 (null packet included).
    int Send(ZovNetPacket* packet) override;
    /// Stamps the packet and sends it as one datagram to \p addr : \p port.
    /// \return bytes sent, or -1 (null packet included).
    int Send(ZovNetPacket* packet, unsigned int addr, unsigned short port);
    /// Stamps the packet and sends it as one datagram to \p dest : \p port, of either family
    /// (see the raw form). \return bytes sent, or -1 (null packet included).
    int Send(ZovNetPacket* packet, const ZovAddress& dest, unsigned short port);

    /// Receives one datagram of up to \p len bytes (blocking). \return bytes received or -1
    /// (also for a datagram longer than \p len).
    int Receive(void* data, unsigned int len) override;
    /// As above, and stores the sender's address and port through the non-null places (their
    /// values are unspecified after a result of -1). The address is the sender's IPv4 address,
    /// also from a dual-stack socket, or 0 for an IPv6 sender (see the `ZovAddress` form).
    int Receive(void* data, unsigned int len, unsigned int* addr, unsigned short* port);
    /// As above, with the sender's address of either family in the canonical form (an IPv4
    /// sender to a dual-stack socket is its IPv4 address). Only a `ZovAddress*` picks this form:
    /// `nullptr`, `NULL` and `0` for \p from go to the IPv4 form as they always have.
    template <typename A, typename = std::enable_if_t<std::is_same<A, ZovAddress>::value>>
    int Receive(void* data, unsigned int len, A* from, unsigned short* port) {
        return ReceiveFrom(data, len, from, port);
    }
    /// Receives one datagram of up to 2048 bytes into \p packet (blocking) and stores the
    /// sender's address and port through the non-null places. A socket made non-blocking with
    /// `SetBlocking(false)` returns -1 with `ZOVNET::ERRCODE_WOULD_BLOCK` at once when no datagram
    /// waits, as every form of `Receive` does there; on a descriptor made non-blocking behind the
    /// library's back it retries every 100 ms until a datagram comes. A longer datagram shows the
    /// warning "NET: a packet has been truncated !" and its first 2048 bytes are taken. \return the
    /// bytes taken into the packet (0 for an empty datagram, the packet unchanged), or -1 (packet
    /// and places untouched).
    int Receive(ZovNetPacket* packet, unsigned int* addr, unsigned short* port);
    /// As above, with the sender's address of either family in the canonical form. Only a
    /// `ZovAddress*` picks this form: `nullptr`, `NULL` and `0` for \p from go to the IPv4 form.
    template <typename A, typename = std::enable_if_t<std::is_same<A, ZovAddress>::value>>
    int Receive(ZovNetPacket* packet, A* from, unsigned short* port) {
        return ReceiveFrom(packet, from, port);
    }
    /// `Receive(packet, nullptr, nullptr)`.
    int Receive(ZovNetPacket* packet) override;

private:
    int ReceiveFrom(void* data, unsigned int len, ZovAddress* from, unsigned short* port);
    int ReceiveFrom(ZovNetPacket* packet, ZovAddress* from, unsigned short* port);
};

// --------------------------------------------------------------------------------------------
// Readiness
// --------------------------------------------------------------------------------------------

/// \brief A table of up to 64 descriptors: a count, then the entries in registration order.
/// The layout of the socket system's own descriptor set; used by `ZovSocketSet`.
struct ZovFdSet {
    unsigned int fd_count;     ///< Number of entries in use.
    unsigned int fd_array[64]; ///< The descriptors, in registration order.
};

/**
 * \brief Watches up to 64 sockets for readability.
 *
 * Register descriptors, call `CheckSockets()` (no wait) or `WaitSockets()` (with a time-out),
 * then ask `CheckSocket()` per socket. The set holds descriptor values only: it neither owns nor
 * tracks the sockets, so remove a socket from every set before deleting it. A plain value: it
 * allocates nothing and can be copied.
 *
 * A socket counts as readable when data waits, when a listening server has a connection
 * waiting, and when the peer closed or the socket has an error (a read then reports it).
 */
class ZOVNET_API ZovSocketSet {
public:
    /// An empty set.
    ZovSocketSet();

    /// Registers \p s (once; a 65th descriptor is ignored, but still raises the bound that
    /// `PrintInfo` walks).
    void AddSocket(unsigned int s);
    /// Registers the socket's `Descriptor()`.
    void AddSocket(ZovSocket* s);
    /// Unregisters \p s; the later entries keep their order.
    void RemoveSocket(unsigned int s);
    /// Unregisters the socket's `Descriptor()`.
    void RemoveSocket(ZovSocket* s);

    /// Polls the registered descriptors without waiting.
    /// \return the number ready for reading, 0 for none (or an empty set, without polling), or
    /// -1 when the system refuses (for example when a registered descriptor is not open).
    int CheckSockets();
    /// Waits until a registered descriptor is readable or \p timeout milliseconds have passed
    /// (0: no limit). An empty set returns 0 at once. A signal that interrupts the wait does not
    /// end it: the wait goes on for what is left of the time-out, never longer in all.
    /// \return as `CheckSockets()`.
    int WaitSockets(unsigned int timeout);

    /// \return whether \p s was readable at the last poll or wait of this set.
    bool CheckSocket(unsigned int s) const;
    /// \return whether the socket's `Descriptor()` was readable at the last poll or wait.
    bool CheckSocket(ZovSocket* s) const;

    /// Prints the registered descriptors in ascending order to standard output, as
    /// "Socket set: [ 5] [12] \n", or "Empty socket set.\n".
    void PrintInfo() const;

private:
    ZovFdSet m_set;
    ZovFdSet m_ready;
    unsigned int m_maxfd;
};

/// \brief One ready entry of a `ZovSocketPoller` wait.
struct ZovPollEvent {
    unsigned int descriptor; ///< The registered descriptor, `ZOVNET::BADSOCKET` for no entry.
    unsigned int events;     ///< The `ZOVNET::POLL_` bits that are ready; 0 for a removed entry.
    void* tag;               ///< The tag given when the descriptor was added (or modified).
};

struct ZovPollerState;

/**
 * \brief Waits on any number of sockets for receive and send readiness, level-triggered, on the
 * system's scalable mechanism (epoll on Linux; on Windows the network driver's poll requests,
 * completed through an I/O completion port).
 *
 * Register sockets (or descriptors) with the events they want and a tag of the caller's choice,
 * call `WaitSockets`, then read the ready entries with `Ready(0)` to `Ready(n - 1)`: reading
 * them costs in proportion to the ready entries, never to the registered ones. Level-triggered:
 * a socket that is still ready is reported again by the next wait.
 *
 * Safe while handling results: the entries of a wait belong to the registrations that existed
 * when it returned. A socket removed while they are handled, directly or by deleting it, reads
 * `events == 0` in every later entry of that wait, even when its descriptor number is reused at
 * once by a socket that is then added: that socket is reported from the next wait on. A socket
 * added through the `ZovSocket*` forms is taken out of every poller by its destructor, and when
 * its descriptor closes or is replaced (`ShutDown`, a `Connect` after a failed one); a descriptor
 * added by number must be removed by the application before it is closed.
 *
 * Many pollers may exist at once; a socket may be in several pollers and in `ZovSocketSet`s as
 * well. A poller is used by one thread at a time, except for `Wake`. Not copyable.
 *
 * Windows reports a peer's close of its sending side whether or not it was asked for: a socket
 * registered without `ZOVNET::POLL_RECEIVE` sees it there as `ZOVNET::POLL_CLOSED` (where
 * other systems report nothing until this side is shut too), so that no wait is ended by a
 * readiness it cannot report.
 *
 * A wait costs in proportion to the sockets that are ready, not to the idle ones registered.
 */
class ZOVNET_API ZovSocketPoller {
public:
    /// Creates the system's poller. When the system refuses, `Valid()` is false, the warning
    /// "Can not create socket poller" is shown and `LastError()` says why; every other call then
    /// fails.
    ZovSocketPoller();
    /// Releases the system's poller and lets go of every socket still registered (the sockets
    /// stay open).
    ~ZovSocketPoller();

    /// \return whether the system gave the poller.
    bool Valid() const;

    /// Registers socket \p s for \p events (`ZOVNET::POLL_RECEIVE`, `ZOVNET::POLL_SEND`, or
    /// both; 0 asks only for `POLL_CLOSED` and `POLL_ERROR`, which are always reported) with
    /// \p tag, which every entry of the socket carries back. The socket's destructor removes it.
    /// \return false with `LastError()` set, registering nothing, for a null socket
    /// (`ERRCODE_NULL_ARGUMENT`), a socket without descriptor (`BADSOCKET`: WSAENOTSOCK), bits
    /// outside the four (`ERRCODE_INVALID_ARGUMENT`), a descriptor already registered in this
    /// poller (`ERRCODE_ALREADY_REGISTERED`), or a refusal of the system.
    bool AddSocket(ZovSocket* s, unsigned int events, void* tag = nullptr);
    /// The same for a descriptor by number, which the application removes before closing it.
    bool AddSocket(unsigned int descriptor, unsigned int events, void* tag = nullptr);

    /// Changes what \p s is registered for; the tag stays. An entry of the wait being handled
    /// that reports \p s follows the change: it keeps only the bits now asked for (and
    /// `POLL_CLOSED`, `POLL_ERROR`), and reads `events == 0` when none is left.
    /// \return false (nothing changed, with `LastError()`) for a null socket
    /// (`ERRCODE_NULL_ARGUMENT`), one that is not registered (`ERRCODE_INVALID_ARGUMENT`;
    /// `BADSOCKET`: WSAENOTSOCK) or bits outside the four (`ERRCODE_INVALID_ARGUMENT`).
    bool ModifySocket(ZovSocket* s, unsigned int events);
    /// Changes what \p s is registered for and its tag (an entry of the wait being handled
    /// carries the new tag).
    bool ModifySocket(ZovSocket* s, unsigned int events, void* tag);
    /// Descriptor form of `ModifySocket`, keeping the tag.
    bool ModifySocket(unsigned int descriptor, unsigned int events);
    /// Descriptor form of `ModifySocket`, replacing the tag.
    bool ModifySocket(unsigned int descriptor, unsigned int events, void* tag);

    /// Unregisters \p s. Entries of the wait being handled that report it read `events == 0`
    /// from now on. \return false (with `LastError()`, as `ModifySocket`) when it is not
    /// registered. A descriptor added by number that was closed before its removal is removed
    /// all the same.
    bool RemoveSocket(ZovSocket* s);
    /// Descriptor form of `RemoveSocket`.
    bool RemoveSocket(unsigned int descriptor);

    /// \return the number of registered descriptors.
    unsigned int Count() const;

    /// Waits until a registered descriptor is ready, `Wake()` is called or \p timeout
    /// milliseconds have passed (-1, or any negative value: no limit; 0: poll without
    /// waiting). An empty poller waits its whole time-out; a signal does not end the wait
    /// early, it goes on for what is left.
    /// Once a wait has returned as many entries as any wait before it, the waits that follow
    /// allocate no memory.
    /// \return the number of ready entries (read them with `Ready`), 0 on time-out or when
    /// only a wake ended the wait, -1 on an error (`LastError()`). The entries of the previous
    /// wait are gone.
    int WaitSockets(int timeout);
    /// `WaitSockets(0)`: the descriptors ready now.
    int CheckSockets();

    /// \return entry \p i of the last wait, for 0 <= \p i < its result;
    /// `{ZOVNET::BADSOCKET, 0, nullptr}` outside that range. Constant time.
    ZovPollEvent Ready(int i) const;

    /// Ends the `WaitSockets` in progress, or, when none is, makes the next one return at once.
    /// Safe from any thread. Several wakes before a wait count as one, and the wait that they
    /// end consumes them all: the wait after it runs its full time. The wake is never an entry.
    void Wake();

    ZovSocketPoller(const ZovSocketPoller&) = delete;
    ZovSocketPoller& operator=(const ZovSocketPoller&) = delete;

private:
    friend class ZovSocket;
    void Forget(ZovSocket* s);
    bool AddDescriptor(unsigned int descriptor, unsigned int events, void* tag, ZovSocket* s);
    bool Modify(unsigned int descriptor, unsigned int events, bool newTag, void* tag);
    void Unlink(ZovSocket* s);
    void Unregister(unsigned int descriptor);

    ZovPollerState* m_state;
};

/*
 * Usage example: one packet over TCP on loopback.
 *
 *     #include <ZovNet.h>
 *
 *     ZovNet* net = ZovNet::GetInstance();
 *     if (!net->Init()) return 1;
 *
 *     unsigned int loopback = 0;
 *     net->StringToAddr("127.0.0.1", loopback);      // network byte order
 *
 *     {                                               // the sockets live in this block
 *         ZovTCPSocketServer server;                  // system-chosen port, backlog 5
 *         unsigned short anyPort = 0;                 // not a literal 0: see ZovTCPSocketClient
 *         ZovTCPSocketClient client(anyPort, loopback, server.Port());
 *         ZovTCPSocketClient* peer = server.Accept();
 *
 *         ZovNetPacket out(7, 6);                     // type 7, room for 6 content bytes
 *         out.AddInt16(513);
 *         out.AddInt32(65536);
 *         client.Send(&out);                          // 00 09 07 02 01 00 01 00 00
 *
 *         ZovNetPacket in;
 *         // From the network: the fields are read once they are known to be there.
 *         if (peer->Receive(&in) > 0 && in.Type() == 7 && in.Remaining() >= 6) {
 *             unsigned short a = in.ReadInt16();      // 513
 *             unsigned int b = in.ReadInt32();        // 65536
 *         }
 *         delete peer;
 *     }                                               // every socket is closed here
 *     delete net;                                     // then the socket system stops
 */

#endif // ZOVNET_H
