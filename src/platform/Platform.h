// The platform layer: the socket-system operations the library is written against, under their
// Windows Sockets names. The library's sources call the operations as `sys::name` and use the
// system's own constants and records (AF_INET, MSG_PEEK, SOL_SOCKET, sockaddr_in, timeval, ...),
// which carry the same names on every system; the Windows names that POSIX lacks (SOCKET_ERROR,
// the WSAE codes, MB_ICONWARNING) are defined here. Nothing above this layer tests which system
// it runs on. Descriptors are `unsigned int` everywhere, ZOVNET::BADSOCKET when invalid.
//
// Windows (PlatformWin32.cpp): thin forwards to Windows Sockets and the user-interface library.
// POSIX (PlatformPosix.cpp): the same operations over the system's calls, with Windows Sockets'
// results: the error codes below, datagram truncation reported as WSAEMSGSIZE, sends that never
// raise SIGPIPE, a reentrant resolver, and a `select` over the count-and-array descriptor table
// that is built on poll() and so takes descriptor values of any size.
//
// Error codes: every wrapper captures the system's error right where the call failed; a later
// WSAGetLastError() on the same thread returns it, and so does LibraryError() (ZovNet::LastError),
// which only failures of the library's own calls change (see there). On POSIX the errno values map
// as follows (any other errno is returned unchanged; it is always below 10000, so it cannot be
// mistaken for one of these):
//
//   EINTR        -> WSAEINTR         10004      ENOBUFS      -> WSAENOBUFS       10055
//   EBADF        -> WSAEBADF         10009      EISCONN      -> WSAEISCONN       10056
//   EACCES       -> WSAEACCES        10013      ENOTCONN     -> WSAENOTCONN      10057
//   EFAULT       -> WSAEFAULT        10014      ESHUTDOWN    -> WSAESHUTDOWN     10058
//   EINVAL       -> WSAEINVAL        10022      EPIPE        -> WSAESHUTDOWN     10058
//   EMFILE       -> WSAEMFILE        10024      ETIMEDOUT    -> WSAETIMEDOUT     10060
//   EWOULDBLOCK  -> WSAEWOULDBLOCK   10035      ECONNREFUSED -> WSAECONNREFUSED  10061
//   EAGAIN       -> WSAEWOULDBLOCK   10035      EHOSTUNREACH -> WSAEHOSTUNREACH  10065
//   EINPROGRESS  -> WSAEINPROGRESS   10036      EADDRINUSE   -> WSAEADDRINUSE    10048
//   EALREADY     -> WSAEALREADY      10037      EADDRNOTAVAIL-> WSAEADDRNOTAVAIL 10049
//   ENOTSOCK     -> WSAENOTSOCK      10038      ENETDOWN     -> WSAENETDOWN      10050
//   EMSGSIZE     -> WSAEMSGSIZE      10040      ENETUNREACH  -> WSAENETUNREACH   10051
//   EOPNOTSUPP   -> WSAEOPNOTSUPP    10045      ECONNABORTED -> WSAECONNABORTED  10053
//   EAFNOSUPPORT -> WSAEAFNOSUPPORT  10047      ECONNRESET   -> WSAECONNRESET    10054
//   ENODEV       -> WSAEADDRNOTAVAIL 10049
//
// EAGAIN from a send or receive on a blocking descriptor (its SO_SNDTIMEO or SO_RCVTIMEO ran out)
// is WSAETIMEDOUT, as on Windows; WSAEWOULDBLOCK is kept for non-blocking descriptors.
// On POSIX a datagram longer than the receive buffer fails with WSAEMSGSIZE (the buffer holds its
// first bytes), as on Windows; a descriptor that is not open fails with WSAENOTSOCK on Windows and
// WSAEBADF on POSIX.
#ifndef ZOVNET_PLATFORM_H
#define ZOVNET_PLATFORM_H

#include "ZovNet.h"

#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
// The build defines both; they are repeated for any other translation unit that includes the
// layer. NOMINMAX keeps windows.h's min/max macros from breaking the standard library;
// WIN32_LEAN_AND_MEAN keeps out headers the layer does not use, among them the 1.1 socket header
// that clashes with winsock2.h wherever windows.h gets included first.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#define SOCKET_ERROR (-1)
#define MB_ICONWARNING 0x30u

#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEMSGSIZE 10040
#define WSAEOPNOTSUPP 10045
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065
#define WSANOTINITIALISED 10093
#define WSAEDISCON 10101
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004
#endif

namespace ZovPlatform {

// A resolver entry, owned by the caller (the system's own record is not reentrant everywhere).
struct HostEntry {
    std::string h_name;
    std::vector<std::string> h_aliases;
    int h_length = 0;
    std::vector<std::vector<unsigned char>> h_addr_list;
};

// Copies the system's resolver record (`hostent` on every system) into a HostEntry; false for a
// null record.
template <typename SystemEntry> bool CopyHostEntry(const SystemEntry* h, HostEntry& entry) {
    if (h == nullptr)
        return false;
    entry = HostEntry();
    entry.h_name = h->h_name != nullptr ? h->h_name : "";
    for (char** a = h->h_aliases; a != nullptr && *a != nullptr; ++a)
        entry.h_aliases.emplace_back(*a);
    entry.h_length = h->h_length;
    for (char** a = h->h_addr_list; a != nullptr && *a != nullptr; ++a)
        entry.h_addr_list.emplace_back(reinterpret_cast<unsigned char*>(*a),
                                       reinterpret_cast<unsigned char*>(*a) + h->h_length);
    return true;
}

// Start and stop. `version` is the requested version word (0x0202).
int WSAStartup(unsigned short version);
int WSACleanup();
int WSAGetLastError();
int WSACancelBlockingCall();

// The library's last error on the calling thread (ZovNet::LastError): the wrappers record the
// system's code where a call fails (on POSIX mapped as above; a failed lookup as WSAHOST_NOT_FOUND,
// WSATRY_AGAIN, WSANO_RECOVERY or WSANO_DATA), and SetLibraryError records a failure that the
// library finds without asking the system. Successful calls and reports leave it unchanged; on
// Windows the application's own socket calls do not touch it either.
int LibraryError();
void SetLibraryError(int code);

// Resolver and conversions. gethostbyname/gethostbyaddr return false on failure.
int gethostname(char* name, int len);
bool gethostbyname(const char* name, HostEntry& entry);
bool gethostbyaddr(const void* addr, int len, int type, HostEntry& entry);
unsigned int inet_addr(const char* text);
const char* inet_ntoa(unsigned int addr); // per-thread buffer, overwritten by the next call

// One address of a lookup: `family` AF_INET (the address in bytes[0..3]) or AF_INET6 (all 16
// bytes, with its scope id).
struct ResolvedAddress {
    int family;
    unsigned char bytes[16];
    unsigned int scopeId;
};
// The addresses of `name` in the system's order, both families, one per address (stream
// sockets only, so that no address comes once per socket type). False on failure, the error
// recorded in the codes of the other lookups.
bool getaddresses(const char* name, std::vector<ResolvedAddress>& out);
// Copies the system's lookup answers (`addrinfo`, with its socket-address records, whose
// headers differ between the systems) into ResolvedAddress records, skipping other families.
template <typename AddrInfo, typename SockaddrIn, typename SockaddrIn6>
void CopyAddresses(const AddrInfo* list, std::vector<ResolvedAddress>& out) {
    out.clear();
    for (const AddrInfo* a = list; a != nullptr; a = a->ai_next) {
        ResolvedAddress r{};
        if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(SockaddrIn)) {
            const SockaddrIn* in = reinterpret_cast<const SockaddrIn*>(a->ai_addr);
            r.family = AF_INET;
            std::memcpy(r.bytes, &in->sin_addr, 4);
        } else if (a->ai_family == AF_INET6 && a->ai_addrlen >= sizeof(SockaddrIn6)) {
            const SockaddrIn6* in6 = reinterpret_cast<const SockaddrIn6*>(a->ai_addr);
            r.family = AF_INET6;
            std::memcpy(r.bytes, &in6->sin6_addr, 16);
            r.scopeId = in6->sin6_scope_id;
        } else {
            continue;
        }
        out.push_back(r);
    }
}
// The index of the network interface called `name`, 0 when the system knows no such interface.
unsigned int ifnametoindex(const char* name);

// A flag of send, sendto, recv and recvdatagram beside the system's own: the caller made the
// descriptor non-blocking itself, so a would-block is WSAEWOULDBLOCK without asking the system for
// the descriptor's mode (POSIX asks otherwise, to tell a time-out from it). Never passed on.
constexpr int LAYER_NONBLOCKING = 0x40000000;

// A socket address of either family in the system's own records, large enough for both; the
// calls below take it through its `sa` member with the length of the family's record.
union SocketAddress {
    sockaddr sa;
    sockaddr_in v4;
    sockaddr_in6 v6;
};
constexpr int SOCKET_ADDRESS_SIZE = static_cast<int>(sizeof(SocketAddress));

// Sockets. Sends never raise SIGPIPE.
unsigned int socket(int af, int type, int protocol);
int bind(unsigned int s, const sockaddr* addr, int len);
int listen(unsigned int s, int backlog);
unsigned int accept(unsigned int s, sockaddr* addr, int* len);
// The same, and the new descriptor is non-blocking when `nonblocking` is true, blocking
// otherwise, on every system (Linux does not pass the listener's mode on; Windows does).
unsigned int accept(unsigned int s, sockaddr* addr, int* len, bool nonblocking);
int connect(unsigned int s, const sockaddr* addr, int len);
int getsockname(unsigned int s, sockaddr* addr, int* len);
int send(unsigned int s, const void* buf, int len, int flags);
int sendto(unsigned int s, const void* buf, int len, int flags, const sockaddr* to, int tolen);
// `recv` on a stream socket; datagrams are received with recvdatagram.
int recv(unsigned int s, void* buf, int len, int flags);
// `recvfrom` on a datagram socket (from and fromlen may be null). A datagram longer than `len`
// fails with WSAEMSGSIZE, the buffer holding its first bytes; POSIX learns of it from the full
// length that the system's receive reports with MSG_TRUNC.
int recvdatagram(unsigned int s, void* buf, int len, int flags, sockaddr* from, int* fromlen);
int shutdown(unsigned int s, int how);
int closesocket(unsigned int s);
// The time-outs SO_RCVTIMEO and SO_SNDTIMEO at level SOL_SOCKET are a 4-byte count of
// milliseconds on every system, as Windows Sockets takes them (0: no time-out). POSIX keeps them
// as a `struct timeval`: the layer converts, refuses a negative count with WSAEINVAL and gives
// back a count rounded up to whole milliseconds.
int getsockopt(unsigned int s, int level, int option, void* value, int* len);
int setsockopt(unsigned int s, int level, int option, const void* value, int len);
// Lets the stream socket `s`, not yet bound, take a port that connections of an earlier listener
// still hold in TIME-WAIT, so that a server can restart at once. POSIX refuses such a bind unless
// SO_REUSEADDR is set; Windows allows it already, and there SO_REUSEADDR would let another
// process take a port in use, so nothing is set. 0 or SOCKET_ERROR.
int reuselistenport(unsigned int s);
// Makes the IPv6 socket `s`, not yet bound, take IPv4 peers as well (`dual` true) or IPv6 peers
// only (false): IPV6_V6ONLY cleared or set, which every system can do but whose default differs
// (Linux clears it, Windows sets it). 0 or SOCKET_ERROR.
int setdualstack(unsigned int s, bool dual);
// Switches `s` between blocking (true) and non-blocking (false) mode. 0 or SOCKET_ERROR.
int setblocking(unsigned int s, bool blocking);
// Connects the stream socket `s`, which the caller made non-blocking, and waits for the outcome
// at most `milliseconds` (-1: no limit; a signal does not end the wait early). 0 when connected;
// SOCKET_ERROR otherwise, with the connection's own error (WSAECONNREFUSED, ...) or WSAETIMEDOUT
// when the time ran out.
int connectwait(unsigned int s, const sockaddr* addr, int len, int milliseconds);
// Waits until the stream socket `s` can take more bytes: at most `milliseconds` (0: no limit).
// Returns 1 when it can, 0 when the time ran out (WSAETIMEDOUT), SOCKET_ERROR on an error. A
// socket whose connection failed counts as writable: the next send reports the failure.
int waitwritable(unsigned int s, int milliseconds);

// Readiness over the count-and-array table. Leaves in `readfds` exactly the readable entries, in
// their order; a descriptor whose peer closed or that has an error counts as readable; a
// registered descriptor that is not open fails the call. A null `timeout` waits without limit.
// Leaves errno as the system set it.
int select(unsigned int nfds, ZovFdSet* readfds, const timeval* timeout);

// The system's readiness mechanism for many descriptors (epoll on Linux; on Windows the network
// driver's poll requests, one per registered socket, completed through an I/O completion port),
// with a wake that another thread may trigger. Events are the
// ZOVNET::POLL_ bits both ways: a registration asks for POLL_RECEIVE and POLL_SEND, and a result
// reports those among them that are ready, plus POLL_CLOSED and POLL_ERROR whether asked for or
// not. Each registration carries a 64-bit token that its results carry back. A hang-up is
// POLL_CLOSED when both directions are shut (or the connection is gone); a peer's close of its
// sending side alone is POLL_RECEIVE. Windows reports the latter unasked: where POLL_RECEIVE is
// not asked for, it comes as POLL_CLOSED there.
struct SystemPoller;
struct PolledEvent {
    unsigned long long token;
    unsigned int events;
};
// Null when the system refuses (the error is recorded).
SystemPoller* pollercreate();
void pollerclose(SystemPoller* p);
// 0 or SOCKET_ERROR. A descriptor already registered is refused.
int polleradd(SystemPoller* p, unsigned int s, unsigned int events, unsigned long long token);
int pollermodify(SystemPoller* p, unsigned int s, unsigned int events, unsigned long long token);
int pollerremove(SystemPoller* p, unsigned int s);
// One wait of at most `milliseconds` (-1: no limit, 0: none) for at most `max` results. Returns
// the number of results (the wake is never one; `*woken` tells whether a wake was consumed), or
// SOCKET_ERROR: WSAEINTR when a signal interrupted it (the caller waits again for what is left).
int pollerwait(SystemPoller* p, PolledEvent* out, int max, int milliseconds, bool* woken);
// Ends the wait in progress or the next one. Safe from any thread; wakes before a wait count as
// one.
void pollerwake(SystemPoller* p);

// The table's rules, the same on every system: entries in registration order without gaps or
// duplicates; a value offered to a full table is dropped; removal closes the gap.
constexpr unsigned int FD_TABLE_SIZE = sizeof(ZovFdSet::fd_array) / sizeof(ZovFdSet::fd_array[0]);

inline bool FdIsSet(unsigned int s, const ZovFdSet* set) {
    for (unsigned int i = 0; i < set->fd_count; ++i)
        if (set->fd_array[i] == s)
            return true;
    return false;
}

inline void FdSet(unsigned int s, ZovFdSet* set) {
    if (FdIsSet(s, set) || set->fd_count >= FD_TABLE_SIZE)
        return;
    set->fd_array[set->fd_count++] = s;
}

inline void FdClr(unsigned int s, ZovFdSet* set) {
    for (unsigned int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == s) {
            for (; i + 1 < set->fd_count; ++i)
                set->fd_array[i] = set->fd_array[i + 1];
            --set->fd_count;
            return;
        }
    }
}

// The user's reports: a box in the shipped Windows libraries (ReportBox.cpp); standard error as
// "title: text" (ReportStream.h) on POSIX (PlatformPosix.cpp) and in the Windows libraries built
// for the tests (ReportStream.cpp), where a box would wait for a click that never comes. Exactly
// one definition is linked into each library.
void MessageBoxA(void* owner, const char* text, const char* title, unsigned int style);

// The library's lines on standard output, formatted as by printf. Standard output may be a pipe
// whose reader has gone: on POSIX the write then fails without raising SIGPIPE.
int PrintOut(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The kernel's sleep.
void Sleep(unsigned int milliseconds);

} // namespace ZovPlatform

namespace sys = ZovPlatform;

#endif // ZOVNET_PLATFORM_H
