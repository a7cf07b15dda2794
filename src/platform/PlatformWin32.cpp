// The platform layer on Windows: thin forwards to Windows Sockets, the user-interface library and
// the kernel. The release library binds the Windows Sockets 2 library, the debug library the
// 1.1-compatible one (ZOVNET_WINSOCK1); both offer every call used here under the same name.
#include "Platform.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>

namespace ZovPlatform {

namespace {

// The library keeps descriptors as `unsigned int`. SOCKET is as wide on 32-bit Windows and twice
// as wide on 64-bit Windows, where the system hands out small handle values all the same; only
// the invalid value needs translating, since it is all bits set in either width.
SOCKET ToSocket(unsigned int s) {
    return s == ZOVNET::BADSOCKET ? INVALID_SOCKET : static_cast<SOCKET>(s);
}

unsigned int FromSocket(SOCKET s) {
    return s == INVALID_SOCKET ? ZOVNET::BADSOCKET : static_cast<unsigned int>(s);
}

// The library's own copy of the last error: the system's value is the thread's last-error slot,
// which the application's calls, a report's box and even successful calls may change before the
// caller asks.
thread_local int t_libraryError = 0;

// A thread_local lives in emulated storage here, whose lookup resets the thread's last-error slot
// (TlsGetValue clears it on success). That slot is what WSAGetLastError() reads, for the library
// right after a failed call and for the application, so every access puts it back.
int ReadLibraryError() {
    const DWORD slot = ::GetLastError();
    const int code = t_libraryError;
    ::SetLastError(slot);
    return code;
}

void WriteLibraryError(int code) {
    const DWORD slot = ::GetLastError();
    t_libraryError = code;
    ::SetLastError(slot);
}

int Capture(int result) {
    if (result == SOCKET_ERROR)
        WriteLibraryError(::WSAGetLastError());
    return result;
}

unsigned int CaptureSocket(SOCKET s) {
    if (s == INVALID_SOCKET)
        WriteLibraryError(::WSAGetLastError());
    return FromSocket(s);
}

bool CaptureEntry(const hostent* h, HostEntry& entry) {
    if (h == nullptr)
        WriteLibraryError(::WSAGetLastError());
    return CopyHostEntry(h, entry);
}

} // namespace

int LibraryError() {
    return ReadLibraryError();
}

void SetLibraryError(int code) {
    WriteLibraryError(code);
}

int WSAStartup(unsigned short version) {
    WSADATA data;
    const int rc = ::WSAStartup(version, &data);
    if (rc != 0)
        WriteLibraryError(rc); // the start-up answers with the code itself
    return rc;
}

int WSACleanup() {
    return ::WSACleanup();
}

int WSAGetLastError() {
    return ::WSAGetLastError();
}

#if defined(ZOVNET_WINSOCK1)
int WSACancelBlockingCall() {
    return ::WSACancelBlockingCall();
}
#else
// Blocking hooks and the calls they could interrupt belong to the 1.1 interface; a process that
// started version 2.2 never has such a call in progress, and the Windows Sockets 2 library
// refuses the cancel for it. Answer that refusal here without binding the retired entry point:
// the caller's cleanup retry then proceeds exactly as it would on the system.
int WSACancelBlockingCall() {
    ::WSASetLastError(WSAEOPNOTSUPP);
    return SOCKET_ERROR;
}
#endif

int gethostname(char* name, int len) {
    return Capture(::gethostname(name, len));
}

// The system's entry lives in a per-thread buffer that the next resolver call on the thread
// overwrites; the caller gets its own copy.
bool gethostbyname(const char* name, HostEntry& entry) {
    return CaptureEntry(::gethostbyname(name), entry);
}

bool gethostbyaddr(const void* addr, int len, int type, HostEntry& entry) {
    return CaptureEntry(::gethostbyaddr(static_cast<const char*>(addr), len, type), entry);
}

unsigned int inet_addr(const char* text) {
    return static_cast<unsigned int>(::inet_addr(text));
}

namespace {

using AddrInfoCall = int(WSAAPI*)(const char*, const char*, const addrinfo*, addrinfo**);
using FreeAddrInfoCall = void(WSAAPI*)(addrinfo*);
using IfNameToIndexCall = ULONG(WINAPI*)(PCSTR);

// An entry point of a system library, looked up once; null when the library or the entry is
// missing.
void* SystemEntry(const char* library, const char* entry) {
    HMODULE module = ::GetModuleHandleA(library);
    if (module == nullptr)
        module = ::LoadLibraryA(library);
    return module == nullptr ? nullptr : reinterpret_cast<void*>(::GetProcAddress(module, entry));
}

// The 1.1 library has no getaddrinfo; as with WSAIoctl, the debug library finds it in the 2.x
// library at run time and keeps its import table to the 1.1 library.
AddrInfoCall AddrInfoEntry() {
#if defined(ZOVNET_WINSOCK1)
    static const AddrInfoCall call =
        reinterpret_cast<AddrInfoCall>(SystemEntry("ws2_32.dll", "getaddrinfo"));
    return call;
#else
    return &::getaddrinfo;
#endif
}

FreeAddrInfoCall FreeAddrInfoEntry() {
#if defined(ZOVNET_WINSOCK1)
    static const FreeAddrInfoCall call =
        reinterpret_cast<FreeAddrInfoCall>(SystemEntry("ws2_32.dll", "freeaddrinfo"));
    return call;
#else
    return &::freeaddrinfo;
#endif
}

} // namespace

bool getaddresses(const char* name, std::vector<ResolvedAddress>& out) {
    const AddrInfoCall lookup = AddrInfoEntry();
    const FreeAddrInfoCall release = FreeAddrInfoEntry();
    if (lookup == nullptr || release == nullptr) {
        WriteLibraryError(WSANO_RECOVERY);
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    // The lookup answers with the Windows Sockets code itself (WSAHOST_NOT_FOUND, ...).
    const int rc = lookup(name, nullptr, &hints, &list);
    if (rc != 0) {
        WriteLibraryError(rc);
        return false;
    }
    CopyAddresses<addrinfo, sockaddr_in, sockaddr_in6>(list, out);
    release(list);
    return true;
}

// The interface names live in the IP helper library, which the socket libraries do not bring;
// looking the entry up keeps it out of the import table of a program that never parses one.
unsigned int ifnametoindex(const char* name) {
    static const IfNameToIndexCall call =
        reinterpret_cast<IfNameToIndexCall>(SystemEntry("iphlpapi.dll", "if_nametoindex"));
    return call == nullptr ? 0 : static_cast<unsigned int>(call(name));
}

const char* inet_ntoa(unsigned int addr) {
    in_addr a;
    a.s_addr = addr;
    return ::inet_ntoa(a); // the system's buffer is per thread already
}

namespace {

using IoctlCall = int(WSAAPI*)(SOCKET, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                               LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE);

// The 1.1 library has no WSAIoctl; it runs on top of the 2.x library, which has it. Looking the
// call up keeps the debug library's import table to the 1.1 library. Null when it is missing.
IoctlCall IoctlEntry() {
#if defined(ZOVNET_WINSOCK1)
    static const IoctlCall call = [] {
        HMODULE sockets2 = ::GetModuleHandleA("ws2_32.dll");
        if (sockets2 == nullptr)
            sockets2 = ::LoadLibraryA("ws2_32.dll");
        return sockets2 == nullptr ? nullptr
                                   : reinterpret_cast<IoctlCall>(reinterpret_cast<void*>(
                                         ::GetProcAddress(sockets2, "WSAIoctl")));
    }();
    return call;
#else
    return &::WSAIoctl;
#endif
}

// Windows reports the port-unreachable answer to an earlier datagram as a failure of the next
// receive (WSAECONNRESET), even on an unconnected socket, whose receive then fails while the
// socket is healthy; Linux says nothing there. The library's datagram sockets are unconnected
// unless the application connects them, so that report is switched off when they are made.
void StopDatagramResets(SOCKET s) {
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif
    BOOL report = FALSE;
    DWORD returned = 0;
    const IoctlCall ioctl = IoctlEntry();
    if (ioctl != nullptr)
        ioctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
              nullptr);
}

} // namespace

unsigned int socket(int af, int type, int protocol) {
    const unsigned int s = CaptureSocket(::socket(af, type, protocol));
    if (s != ZOVNET::BADSOCKET && type == SOCK_DGRAM)
        StopDatagramResets(ToSocket(s));
    return s;
}

int bind(unsigned int s, const sockaddr* addr, int len) {
    return Capture(::bind(ToSocket(s), addr, len));
}

int listen(unsigned int s, int backlog) {
    return Capture(::listen(ToSocket(s), backlog));
}

unsigned int accept(unsigned int s, sockaddr* addr, int* len) {
    return CaptureSocket(::accept(ToSocket(s), addr != nullptr ? addr : nullptr, len));
}

int connect(unsigned int s, const sockaddr* addr, int len) {
    return Capture(::connect(ToSocket(s), addr, len));
}

int getsockname(unsigned int s, sockaddr* addr, int* len) {
    return Capture(::getsockname(ToSocket(s), addr, len));
}

// Windows has no SIGPIPE: a send on a shut connection fails with an error code and nothing more.
int send(unsigned int s, const void* buf, int len, int flags) {
    return Capture(
        ::send(ToSocket(s), static_cast<const char*>(buf), len, flags & ~LAYER_NONBLOCKING));
}

int sendto(unsigned int s, const void* buf, int len, int flags, const sockaddr* to, int tolen) {
    return Capture(::sendto(ToSocket(s), static_cast<const char*>(buf), len,
                            flags & ~LAYER_NONBLOCKING, to, tolen));
}

int recv(unsigned int s, void* buf, int len, int flags) {
    return Capture(::recv(ToSocket(s), static_cast<char*>(buf), len, flags & ~LAYER_NONBLOCKING));
}

int recvdatagram(unsigned int s, void* buf, int len, int flags, sockaddr* from, int* fromlen) {
    return Capture(::recvfrom(ToSocket(s), static_cast<char*>(buf), len, flags & ~LAYER_NONBLOCKING,
                              from != nullptr ? from : nullptr, fromlen));
}

int shutdown(unsigned int s, int how) {
    return Capture(::shutdown(ToSocket(s), how));
}

int closesocket(unsigned int s) {
    return Capture(::closesocket(ToSocket(s)));
}

int getsockopt(unsigned int s, int level, int option, void* value, int* len) {
    return Capture(::getsockopt(ToSocket(s), level, option, static_cast<char*>(value), len));
}

int setsockopt(unsigned int s, int level, int option, const void* value, int len) {
    return Capture(::setsockopt(ToSocket(s), level, option, static_cast<const char*>(value), len));
}

int reuselistenport(unsigned int) {
    return 0;
}

namespace {

using SetOptionCall = int(WSAAPI*)(SOCKET, int, int, const char*, int);

// The 1.1 library's setsockopt translates the options of its own time to today's numbers and
// knows nothing of IPv6 ones, so the debug library sets those through the 2.x library, which it
// finds at run time as it does WSAIoctl. Null when it is missing.
SetOptionCall SetOptionEntry() {
#if defined(ZOVNET_WINSOCK1)
    static const SetOptionCall call =
        reinterpret_cast<SetOptionCall>(SystemEntry("ws2_32.dll", "setsockopt"));
    return call;
#else
    return &::setsockopt;
#endif
}

} // namespace

int setdualstack(unsigned int s, bool dual) {
    const SetOptionCall call = SetOptionEntry();
    if (call == nullptr) {
        WriteLibraryError(WSAEOPNOTSUPP);
        return SOCKET_ERROR;
    }
    const DWORD only = dual ? 0 : 1;
    return Capture(call(ToSocket(s), IPPROTO_IPV6, IPV6_V6ONLY,
                        reinterpret_cast<const char*>(&only), static_cast<int>(sizeof only)));
}

int setblocking(unsigned int s, bool blocking) {
    u_long nonblocking = blocking ? 0 : 1;
    return Capture(::ioctlsocket(ToSocket(s), FIONBIO, &nonblocking));
}

unsigned int accept(unsigned int s, sockaddr* addr, int* len, bool nonblocking) {
    const unsigned int client = ZovPlatform::accept(s, addr, len);
    if (client == ZOVNET::BADSOCKET)
        return client;
    // Windows passes the listener's mode on, and the listener may have been switched behind the
    // library's back: the mode is set, not assumed.
    if (setblocking(client, !nonblocking) != 0) {
        const int error = ::WSAGetLastError();
        ::closesocket(ToSocket(client));
        ::WSASetLastError(error);
        return ZOVNET::BADSOCKET;
    }
    return client;
}

int connectwait(unsigned int s, const sockaddr* addr, int len, int milliseconds) {
    const SOCKET socket = ToSocket(s);
    if (::connect(socket, addr, len) == 0)
        return 0;
    if (::WSAGetLastError() != WSAEWOULDBLOCK)
        return Capture(SOCKET_ERROR);
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
    // A refused connection shows in the exception set, not as writable.
    fd_set failed = writable;
    timeval limit;
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    const int n =
        Capture(::select(0, nullptr, &writable, &failed, milliseconds >= 0 ? &limit : nullptr));
    if (n == SOCKET_ERROR)
        return SOCKET_ERROR;
    if (n == 0) {
        ::WSASetLastError(WSAETIMEDOUT);
        WriteLibraryError(WSAETIMEDOUT);
        return SOCKET_ERROR;
    }
    int error = 0;
    int l = sizeof error;
    if (Capture(::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &l)) !=
        0)
        return SOCKET_ERROR;
    if (error == 0 && FD_ISSET(socket, &failed))
        error = WSAECONNREFUSED; // failed without saying why
    if (error == 0)
        return 0;
    ::WSASetLastError(error);
    WriteLibraryError(error);
    return SOCKET_ERROR;
}

int waitwritable(unsigned int s, int milliseconds) {
    // The system's own descriptor set: the layer's table serves the read set of `select` only.
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(ToSocket(s), &writable);
    fd_set failed = writable;
    timeval limit;
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    // Windows may report a failed connection in the exception set rather than as writable.
    const int n =
        Capture(::select(0, nullptr, &writable, &failed, milliseconds > 0 ? &limit : nullptr));
    if (n == 0) {
        ::WSASetLastError(WSAETIMEDOUT);
        WriteLibraryError(WSAETIMEDOUT);
        return 0;
    }
    return n < 0 ? SOCKET_ERROR : 1;
}

int select(unsigned int nfds, ZovFdSet* readfds, const timeval* timeout) {
    // The system ignores the descriptor bound and waits without limit on a null time-out; it
    // takes the time-out through a non-const pointer but does not write it.
    timeval* wait = const_cast<timeval*>(timeout);
#if defined(_WIN64)
    // SOCKET is 64 bits wide here: the table goes through a real fd_set and back.
    fd_set set;
    set.fd_count = 0;
    for (unsigned int i = 0; i < readfds->fd_count && i < FD_TABLE_SIZE; ++i)
        set.fd_array[set.fd_count++] = ToSocket(readfds->fd_array[i]);
    const int n = Capture(::select(static_cast<int>(nfds), &set, nullptr, nullptr, wait));
    if (n == SOCKET_ERROR)
        return n;
    for (unsigned int i = 0; i < set.fd_count; ++i)
        readfds->fd_array[i] = FromSocket(set.fd_array[i]);
    readfds->fd_count = set.fd_count;
    return n;
#else
    // The table has the very layout of the system's fd_set: it is handed over as it is.
    static_assert(sizeof(SOCKET) == sizeof(unsigned int), "SOCKET must be 32 bits wide");
    static_assert(FD_SETSIZE == FD_TABLE_SIZE, "fd_set must hold as many entries as ZovFdSet");
    static_assert(sizeof(fd_set) == sizeof(ZovFdSet), "fd_set must have ZovFdSet's layout");
    static_assert(offsetof(fd_set, fd_count) == offsetof(ZovFdSet, fd_count),
                  "fd_set must have ZovFdSet's layout");
    static_assert(offsetof(fd_set, fd_array) == offsetof(ZovFdSet, fd_array),
                  "fd_set must have ZovFdSet's layout");
    return Capture(::select(static_cast<int>(nfds), reinterpret_cast<fd_set*>(readfds), nullptr,
                            nullptr, wait));
#endif
}

// Windows has no SIGPIPE: a write to a pipe nobody reads fails and nothing more.
int PrintOut(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vprintf(format, args);
    va_end(args);
    return n;
}

void Sleep(unsigned int milliseconds) {
    ::Sleep(milliseconds);
}

// The poller: one poll request of the network driver (the request the system's own WSAPoll is
// built on) in flight per registered socket, each completing on an I/O completion port. A wait
// costs in proportion to the sockets that became ready, never to the idle ones, which just keep
// their request pending in the driver.
//
// A request answers once. To stay level-triggered, and to report what is true when the wait
// returns rather than when a request happened to complete, a record is in one of two states:
// - in flight: its request is pending in the driver, or its completion waits on the port;
// - set aside (`idle`): it has answered in a wait, and asks again at the start of the next one.
// A request made while the socket is ready answers at once, in the call itself, and queues
// nothing on the port. So a completion taken off the port that was asked before this wait
// began is only a sign that something changed: the record asks again, and reports the answer
// only if the socket is still ready; otherwise it goes on watching. A readiness the application
// consumed between two waits is then never reported from an old completion.
//
// The driver writes a request's status and result into the record while the request is in
// flight, so a record lives until its completion has been taken off the port: a removal cancels
// the request and leaves the record to the wait (or the close) that takes the cancellation off.
//
// The driver's interface is not in the headers: its records and codes are declared here as the
// driver documents them, and its calls are looked up in the system's native library, so that
// neither library imports anything it did not import before.

namespace {

namespace nt {

using Status = LONG;
constexpr Status kSuccess = 0;
constexpr Status kPending = 0x00000103;
constexpr Status kCancelled = static_cast<Status>(0xC0000120);

inline bool Failed(Status s) {
    return (static_cast<ULONG>(s) >> 30) == 3; // the error severity: no completion is queued
}

struct IoStatus {
    union {
        Status status;
        void* pointer;
    };
    ULONG_PTR information;
};

struct UnicodeString {
    USHORT length;
    USHORT maximumLength;
    PWSTR buffer;
};

struct ObjectAttributes {
    ULONG length;
    HANDLE rootDirectory;
    UnicodeString* objectName;
    ULONG attributes;
    void* securityDescriptor;
    void* securityQualityOfService;
};

constexpr ULONG kCaseInsensitive = 0x40;
constexpr ULONG kOpenExisting = 1;

// One socket's poll: what to wait for going in, what happened coming out.
struct PollHandle {
    HANDLE handle;
    ULONG events;
    Status status;
};

struct PollInfo {
    LARGE_INTEGER timeout;
    ULONG handleCount;
    ULONG exclusive;
    PollHandle handles[1];
};

static_assert(offsetof(PollInfo, handles) == 16,
              "the driver's poll record starts its handles at 16");
static_assert(sizeof(PollHandle) == 2 * sizeof(void*) + (sizeof(void*) == 4 ? 4 : 0),
              "the driver's handle record is a handle and two 32-bit fields");
static_assert(sizeof(PollInfo) == 32, "the driver's poll record for one handle is 32 bytes");
static_assert(sizeof(IoStatus) == 2 * sizeof(void*), "the status block is two words");

constexpr ULONG kIoctlPoll = 0x00012024; // the network device, function 9, buffered

constexpr ULONG kPollReceive = 0x0001;
constexpr ULONG kPollReceiveExpedited = 0x0002;
constexpr ULONG kPollSend = 0x0004;
constexpr ULONG kPollDisconnect = 0x0008; // the peer shut its sending side
constexpr ULONG kPollAbort = 0x0010;      // the connection was reset or aborted
constexpr ULONG kPollLocalClose = 0x0020; // the socket was closed under the request
constexpr ULONG kPollAccept = 0x0080;
constexpr ULONG kPollConnectFail = 0x0100;

using ApcRoutine = void(NTAPI*)(void*, IoStatus*, ULONG);
using CreateFileCall = Status(NTAPI*)(HANDLE*, ACCESS_MASK, ObjectAttributes*, IoStatus*,
                                      LARGE_INTEGER*, ULONG, ULONG, ULONG, ULONG, void*, ULONG);
using IoControlCall = Status(NTAPI*)(HANDLE, HANDLE, ApcRoutine, void*, IoStatus*, ULONG, void*,
                                     ULONG, void*, ULONG);
using CancelCall = Status(NTAPI*)(HANDLE, IoStatus*, IoStatus*);
using ErrorCall = ULONG(NTAPI*)(Status);

struct Calls {
    CreateFileCall createFile = nullptr;
    IoControlCall ioControl = nullptr;
    CancelCall cancel = nullptr;
    ErrorCall error = nullptr;
    bool Complete() const {
        return createFile != nullptr && ioControl != nullptr && cancel != nullptr &&
               error != nullptr;
    }
};

template <typename Call> Call Find(HMODULE module, const char* name) {
    return reinterpret_cast<Call>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const Calls& Native() {
    static const Calls calls = [] {
        Calls c;
        HMODULE ntdll = ::GetModuleHandleA("ntdll.dll"); // in every process from its start
        if (ntdll != nullptr) {
            c.createFile = Find<CreateFileCall>(ntdll, "NtCreateFile");
            c.ioControl = Find<IoControlCall>(ntdll, "NtDeviceIoControlFile");
            c.cancel = Find<CancelCall>(ntdll, "NtCancelIoFileEx");
            c.error = Find<ErrorCall>(ntdll, "RtlNtStatusToDosError");
        }
        return c;
    }();
    return calls;
}

} // namespace nt

// The completion keys: the driver's completions carry their record as the context.
constexpr ULONG_PTR kPollKey = 1;
constexpr ULONG_PTR kWakeKey = 2;

// The most completions one call takes off the port; a wait with more ready takes them in turns.
constexpr std::size_t kBatch = 1024;

} // namespace

struct PollRecord {
    nt::IoStatus status{}; // the driver's, while the request is in flight
    nt::PollInfo info{};   // likewise
    SOCKET socket = INVALID_SOCKET;
    HANDLE base = nullptr; // the socket as the driver knows it, under any layered provider
    unsigned long long token = 0;
    unsigned int events = 0;      // the ZOVNET::POLL_ bits asked for
    unsigned long long asked = 0; // the wait during which the request in flight was made
    bool inFlight = false;
    bool live = true;    // false once removed or replaced: it only waits for its completion
    bool closed = false; // the socket was closed under it, or the driver refused it
};

struct SystemPoller {
    HANDLE port = nullptr;
    HANDLE afd = nullptr;
    std::atomic<bool> pending{false};                // a wake's packet is on its way or waiting
    std::unordered_map<SOCKET, PollRecord*> records; // the live registrations
    // Records without a request in flight: those that reported in the last wait, the closed
    // ones, and removed ones that are freed at the next wait.
    std::vector<PollRecord*> idle;
    std::vector<OVERLAPPED_ENTRY> entries;
    unsigned long long serial = 0; // the waits begun
    std::size_t inFlight = 0; // requests the driver may still write into, removed ones included
};

namespace {

int PollerRefuse(int code) {
    ::WSASetLastError(code);
    WriteLibraryError(code);
    return SOCKET_ERROR;
}

int PollerRefuseStatus(nt::Status status) {
    return PollerRefuse(static_cast<int>(nt::Native().error(status)));
}

// The socket the network driver serves under any layered providers; null when there is none.
HANDLE BaseHandle(SOCKET s) {
#ifndef SIO_BASE_HANDLE
#define SIO_BASE_HANDLE _WSAIOR(IOC_WS2, 34)
#endif
#ifndef SIO_BSP_HANDLE_POLL
#define SIO_BSP_HANDLE_POLL _WSAIOR(IOC_WS2, 29)
#endif
    const IoctlCall ioctl = IoctlEntry();
    if (ioctl == nullptr) {
        PollerRefuse(WSAEOPNOTSUPP);
        return nullptr;
    }
    // A provider that does not pass the base handle on may still name the socket it polls.
    for (const DWORD code :
         {static_cast<DWORD>(SIO_BASE_HANDLE), static_cast<DWORD>(SIO_BSP_HANDLE_POLL)}) {
        SOCKET base = INVALID_SOCKET;
        DWORD returned = 0;
        if (ioctl(s, code, nullptr, 0, &base, sizeof base, &returned, nullptr, nullptr) == 0 &&
            base != INVALID_SOCKET)
            return reinterpret_cast<HANDLE>(base);
    }
    WriteLibraryError(::WSAGetLastError());
    return nullptr;
}

// The driver's bits for what a registration asks. A peer's close, a reset, a failed connect
// and the socket's close are always asked: they are reported unasked.
ULONG DriverEvents(unsigned int events) {
    ULONG out = nt::kPollDisconnect | nt::kPollAbort | nt::kPollLocalClose | nt::kPollConnectFail;
    if (events & ZOVNET::POLL_RECEIVE)
        out |= nt::kPollReceive | nt::kPollAccept;
    if (events & ZOVNET::POLL_SEND)
        out |= nt::kPollSend;
    return out;
}

// Whether this side of a stream can still send: a send of nothing fails once it is shut.
bool CanSend(SOCKET s) {
    const int slot = ::WSAGetLastError();
    char none = 0;
    const bool can = ::send(s, &none, 0, 0) != SOCKET_ERROR;
    ::WSASetLastError(slot);
    return can;
}

unsigned int PollBits(const PollRecord& r, ULONG got) {
    unsigned int out = 0;
    if (got & (nt::kPollReceive | nt::kPollReceiveExpedited | nt::kPollAccept))
        out |= ZOVNET::POLL_RECEIVE;
    if (got & nt::kPollSend)
        out |= ZOVNET::POLL_SEND;
    if (got & nt::kPollAbort)
        out |= ZOVNET::POLL_CLOSED | ZOVNET::POLL_ERROR;
    if (got & nt::kPollConnectFail)
        out |= ZOVNET::POLL_ERROR;
    if (got & nt::kPollDisconnect) {
        out |= ZOVNET::POLL_CLOSED;
        // The driver's disconnect is also the peer's close of its sending side only, which is
        // the receive's end of stream while this side can still send. Where receive readiness
        // is not asked for it stays a hang-up: the driver reports it unasked at every wait, and
        // a wait must not spin on it.
        if ((got & (nt::kPollAbort | nt::kPollConnectFail)) == 0 &&
            (r.events & ZOVNET::POLL_RECEIVE) != 0 && CanSend(r.socket))
            out = (out & ~ZOVNET::POLL_CLOSED) | ZOVNET::POLL_RECEIVE;
    }
    return out;
}

enum class Asked { Refused, Pending, Answered };

// Hands the record's request to the driver. Answered: the socket is ready and the answer is in
// the record already, with nothing queued on the port. Refused: the driver turned it down at
// once, which queues nothing either.
Asked Submit(SystemPoller* p, PollRecord* r, nt::Status* refusal = nullptr) {
    r->info.timeout.QuadPart = INT64_MAX; // the request waits for as long as it takes
    r->info.handleCount = 1;
    r->info.exclusive = FALSE;
    r->info.handles[0].handle = r->base;
    r->info.handles[0].events = DriverEvents(r->events);
    r->info.handles[0].status = 0;
    r->status.status = nt::kPending;
    const nt::Status s =
        nt::Native().ioControl(p->afd, nullptr, nullptr, r, &r->status, nt::kIoctlPoll, &r->info,
                               sizeof r->info, &r->info, sizeof r->info);
    if (s == nt::kPending) {
        r->inFlight = true;
        r->asked = p->serial;
        ++p->inFlight;
        return Asked::Pending;
    }
    if (nt::Failed(s)) {
        if (refusal != nullptr)
            *refusal = s;
        return Asked::Refused;
    }
    r->status.status = s; // the call's status is the request's: the block may not say it yet
    return Asked::Answered;
}

// A request that completed already is not found; its completion is on the port all the same.
void Cancel(SystemPoller* p, PollRecord* r) {
    nt::IoStatus cancel{};
    nt::Native().cancel(p->afd, &r->status, &cancel);
}

// What a completed request reports: the driver's bits, an error where the driver failed the
// request, nothing for a cancelled one.
unsigned int Completed(PollRecord* r) {
    if (r->status.status == nt::kCancelled)
        return 0;
    if (r->status.status != nt::kSuccess || r->info.handleCount < 1)
        return ZOVNET::POLL_ERROR;
    const ULONG got = r->info.handles[0].events;
    if (got & nt::kPollLocalClose) {
        // The descriptor was closed while registered: it stays an error until it is removed,
        // and no request is made for a handle that may belong to something else by now.
        r->closed = true;
        return ZOVNET::POLL_ERROR;
    }
    return PollBits(*r, got);
}

void GrowBatch(SystemPoller* p) {
    const std::size_t want = std::min(kBatch, p->records.size() + 2);
    if (p->entries.size() < want)
        p->entries.resize(std::min(kBatch, std::max(want, p->entries.size() * 2)));
}

} // namespace

SystemPoller* pollercreate() {
    const nt::Calls& calls = nt::Native();
    if (!calls.Complete() || IoctlEntry() == nullptr) {
        PollerRefuse(WSAEOPNOTSUPP);
        return nullptr;
    }
    SystemPoller* p = new (std::nothrow) SystemPoller;
    if (p == nullptr) {
        PollerRefuse(WSAENOBUFS);
        return nullptr;
    }
    p->port = ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (p->port == nullptr) {
        PollerRefuse(static_cast<int>(::GetLastError()));
        pollerclose(p);
        return nullptr;
    }
    // The device takes any name under it; this one says whose handle it is.
    wchar_t name[] = L"\\Device\\Afd\\ZovNetPoller";
    nt::UnicodeString path{static_cast<USHORT>(sizeof name - sizeof name[0]),
                           static_cast<USHORT>(sizeof name), name};
    nt::ObjectAttributes attributes{sizeof attributes,    nullptr, &path,
                                    nt::kCaseInsensitive, nullptr, nullptr};
    nt::IoStatus io{};
    HANDLE afd = nullptr;
    const nt::Status s =
        calls.createFile(&afd, SYNCHRONIZE, &attributes, &io, nullptr, 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nt::kOpenExisting, 0, nullptr, 0);
    if (s != nt::kSuccess) {
        PollerRefuseStatus(s);
        pollerclose(p);
        return nullptr;
    }
    p->afd = afd;
    if (::CreateIoCompletionPort(p->afd, p->port, kPollKey, 0) == nullptr) {
        PollerRefuse(static_cast<int>(::GetLastError()));
        pollerclose(p);
        return nullptr;
    }
    // A request answered in the call queues nothing (the wait reads the answer at once), and
    // nobody waits on the device's handle, so the system need not signal it either.
    if (!::SetFileCompletionNotificationModes(p->afd, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS |
                                                          FILE_SKIP_SET_EVENT_ON_HANDLE)) {
        PollerRefuse(static_cast<int>(::GetLastError()));
        pollerclose(p);
        return nullptr;
    }
    GrowBatch(p);
    return p;
}

void pollerclose(SystemPoller* p) {
    for (auto& entry : p->records)
        if (entry.second->inFlight)
            Cancel(p, entry.second);
    for (PollRecord* r : p->idle)
        delete r;
    // Every request in flight is cancelled; its record is freed once the port gives it back. A
    // driver that never gives one back keeps its record: freeing memory the driver may still
    // write is worse than losing it.
    OVERLAPPED_ENTRY taken[64];
    unsigned int quietTurns = 0;
    while (p->inFlight > 0 && p->port != nullptr && quietTurns < 50) {
        ULONG n = 0;
        if (!::GetQueuedCompletionStatusEx(p->port, taken, 64, &n, 100, FALSE)) {
            ++quietTurns;
            continue;
        }
        for (ULONG i = 0; i < n; ++i) {
            if (taken[i].lpCompletionKey != kPollKey)
                continue;
            delete reinterpret_cast<PollRecord*>(taken[i].lpOverlapped);
            --p->inFlight;
        }
    }
    if (p->afd != nullptr)
        ::CloseHandle(p->afd);
    if (p->port != nullptr)
        ::CloseHandle(p->port);
    delete p;
}

int polleradd(SystemPoller* p, unsigned int s, unsigned int events, unsigned long long token) {
    const SOCKET socket = ToSocket(s);
    if (p->records.count(socket) != 0)
        return PollerRefuse(WSAEALREADY);
    int type = 0;
    int len = sizeof type;
    if (::getsockopt(socket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) != 0)
        return Capture(SOCKET_ERROR);
    const HANDLE base = BaseHandle(socket);
    if (base == nullptr)
        return PollerRefuse(ReadLibraryError());
    PollRecord* r = new (std::nothrow) PollRecord;
    if (r == nullptr)
        return PollerRefuse(WSAENOBUFS);
    // Room made now, so that the waits never allocate: a wait sets aside at most every record.
    const std::size_t room = p->records.size() + p->idle.size() + 1;
    if (p->idle.capacity() < room)
        p->idle.reserve(std::max(room, p->idle.capacity() * 2));
    p->records.emplace(socket, r);
    GrowBatch(p);
    r->socket = socket;
    r->base = base;
    r->token = token;
    r->events = events;
    nt::Status refusal = 0;
    switch (Submit(p, r, &refusal)) {
    case Asked::Refused:
        p->records.erase(socket);
        delete r;
        return PollerRefuseStatus(refusal);
    case Asked::Answered:
        p->idle.push_back(r); // the first wait asks again: it reports what is true then
        break;
    case Asked::Pending:
        break;
    }
    return 0;
}

int pollermodify(SystemPoller* p, unsigned int s, unsigned int events, unsigned long long token) {
    const auto it = p->records.find(ToSocket(s));
    if (it == p->records.end())
        return PollerRefuse(WSAENOTSOCK);
    PollRecord* old = it->second;
    if (!old->inFlight) {
        // Set aside since the last wait: the next one asks the new question.
        old->events = events;
        old->token = token;
        return 0;
    }
    // The request in flight asks the old question and the driver owns its record until it
    // completes: a new record asks the new one at once, and the old is cancelled and left to its
    // completion.
    PollRecord* r = new (std::nothrow) PollRecord;
    if (r == nullptr)
        return PollerRefuse(WSAENOBUFS);
    r->socket = old->socket;
    r->base = old->base;
    r->token = token;
    r->events = events;
    nt::Status refusal = 0;
    const Asked asked = Submit(p, r, &refusal);
    if (asked == Asked::Refused) {
        delete r;
        return PollerRefuseStatus(refusal);
    }
    if (asked == Asked::Answered)
        p->idle.push_back(r); // takes the place the old record would have had there
    old->live = false;
    Cancel(p, old);
    it->second = r;
    return 0;
}

int pollerremove(SystemPoller* p, unsigned int s) {
    const auto it = p->records.find(ToSocket(s));
    if (it == p->records.end())
        return PollerRefuse(WSAENOTSOCK);
    PollRecord* r = it->second;
    p->records.erase(it);
    // Freed when the port gives the request back, or, set aside, at the next wait.
    r->live = false;
    if (r->inFlight)
        Cancel(p, r);
    return 0;
}

int pollerwait(SystemPoller* p, PolledEvent* out, int max, int milliseconds, bool* woken) {
    *woken = false;
    ++p->serial;
    int count = 0;
    const auto report = [&](PollRecord* r, unsigned int bits) {
        if (bits != 0 && count < max)
            out[count++] = {r->token, bits};
    };
    // The records set aside ask again; a socket still ready answers at once.
    std::size_t kept = 0;
    for (PollRecord* r : p->idle) {
        if (!r->live) {
            delete r;
            continue;
        }
        if (!r->closed) {
            const Asked asked = Submit(p, r);
            if (asked == Asked::Pending)
                continue;
            if (asked == Asked::Answered) {
                report(r, Completed(r));
                p->idle[kept++] = r;
                continue;
            }
            r->closed = true; // the driver no longer takes the socket
        }
        report(r, ZOVNET::POLL_ERROR);
        p->idle[kept++] = r;
    }
    p->idle.resize(kept);

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        DWORD wait = 0;
        if (count == 0 && !*woken && milliseconds != 0) {
            if (milliseconds < 0) {
                wait = INFINITE;
            } else {
                // Rounded up: a wait that ends early is no time-out.
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - Clock::now() + std::chrono::microseconds(999));
                if (left.count() <= 0)
                    return 0;
                wait = static_cast<DWORD>(left.count());
            }
        }
        // Nothing can be on the port when no request is in flight and no wake was posted: a
        // wait that need not block is done without asking.
        if (wait == 0 && p->inFlight == 0 && !p->pending.load())
            return count;
        ULONG n = 0;
        if (!::GetQueuedCompletionStatusEx(p->port, p->entries.data(),
                                           static_cast<ULONG>(p->entries.size()), &n, wait,
                                           FALSE)) {
            const DWORD code = ::GetLastError();
            if (code == WAIT_TIMEOUT)
                return count;
            return PollerRefuse(static_cast<int>(code));
        }
        for (ULONG i = 0; i < n; ++i) {
            const OVERLAPPED_ENTRY& e = p->entries[i];
            if (e.lpCompletionKey == kWakeKey) {
                // Taken before the flag is cleared: a wake that comes in between finds the flag
                // still set and posts nothing, and this wait, which is returning, stands for it.
                p->pending.store(false);
                *woken = true;
                continue;
            }
            if (e.lpCompletionKey != kPollKey)
                continue;
            PollRecord* r = reinterpret_cast<PollRecord*>(e.lpOverlapped);
            r->inFlight = false;
            --p->inFlight;
            if (!r->live) {
                delete r;
                continue;
            }
            // An answer asked for during this wait is current; an older one is trusted only
            // when it is the socket's close, which does not go away.
            const unsigned int answered = Completed(r);
            unsigned int bits = r->asked == p->serial || r->closed ? answered : 0;
            if (bits == 0 && !r->closed) {
                // Asked before this wait: the socket may have changed since. Ask again.
                const Asked asked = Submit(p, r);
                if (asked == Asked::Pending)
                    continue; // not ready now: it goes on watching
                if (asked == Asked::Answered)
                    bits = Completed(r);
                else
                    r->closed = true;
                if (r->closed)
                    bits = ZOVNET::POLL_ERROR;
            }
            p->idle.push_back(r); // room was made when it was added
            report(r, bits);
        }
        if (n == p->entries.size())
            continue; // more may be waiting: they are taken without waiting
        if (count > 0 || *woken || milliseconds == 0)
            return count;
    }
}

void pollerwake(SystemPoller* p) {
    if (p->pending.exchange(true))
        return; // a wake is on its way already: this one counts with it
    const DWORD slot = ::GetLastError();
    ::PostQueuedCompletionStatus(p->port, 0, kWakeKey, nullptr);
    ::SetLastError(slot);
}

} // namespace ZovPlatform

// Loading and unloading the library do nothing: the application starts the socket system through
// ZovNet::Init().
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
