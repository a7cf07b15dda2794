// The platform layer on Windows: thin forwards to Windows Sockets, the user-interface library and
// the kernel. The release library binds the Windows Sockets 2 library, the debug library the
// 1.1-compatible one (ZOVNET_WINSOCK1); both offer every call used here under the same name.
#include "Platform.h"

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
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

const sockaddr* Addr(const sockaddr_in* a) {
    return reinterpret_cast<const sockaddr*>(a);
}
sockaddr* Addr(sockaddr_in* a) {
    return reinterpret_cast<sockaddr*>(a);
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

const char* inet_ntoa(unsigned int addr) {
    in_addr a;
    a.s_addr = addr;
    return ::inet_ntoa(a); // the system's buffer is per thread already
}

namespace {

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
#if defined(ZOVNET_WINSOCK1)
    // The 1.1 library has no WSAIoctl; it runs on top of the 2.x library, which has it. Looking
    // the call up keeps the debug library's import table to the 1.1 library.
    using Ioctl = int(WSAAPI*)(SOCKET, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                               LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE);
    HMODULE sockets2 = ::GetModuleHandleA("ws2_32.dll");
    if (sockets2 == nullptr)
        sockets2 = ::LoadLibraryA("ws2_32.dll");
    if (sockets2 == nullptr)
        return;
    const Ioctl ioctl =
        reinterpret_cast<Ioctl>(reinterpret_cast<void*>(::GetProcAddress(sockets2, "WSAIoctl")));
    if (ioctl != nullptr)
        ioctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
              nullptr);
#else
    ::WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
               nullptr);
#endif
}

} // namespace

unsigned int socket(int af, int type, int protocol) {
    const unsigned int s = CaptureSocket(::socket(af, type, protocol));
    if (s != ZOVNET::BADSOCKET && type == SOCK_DGRAM)
        StopDatagramResets(ToSocket(s));
    return s;
}

int bind(unsigned int s, const sockaddr_in* addr, int len) {
    return Capture(::bind(ToSocket(s), Addr(addr), len));
}

int listen(unsigned int s, int backlog) {
    return Capture(::listen(ToSocket(s), backlog));
}

unsigned int accept(unsigned int s, sockaddr_in* addr, int* len) {
    return CaptureSocket(::accept(ToSocket(s), addr != nullptr ? Addr(addr) : nullptr, len));
}

int connect(unsigned int s, const sockaddr_in* addr, int len) {
    return Capture(::connect(ToSocket(s), Addr(addr), len));
}

int getsockname(unsigned int s, sockaddr_in* addr, int* len) {
    return Capture(::getsockname(ToSocket(s), Addr(addr), len));
}

// Windows has no SIGPIPE: a send on a shut connection fails with an error code and nothing more.
int send(unsigned int s, const void* buf, int len, int flags) {
    return Capture(
        ::send(ToSocket(s), static_cast<const char*>(buf), len, flags & ~LAYER_NONBLOCKING));
}

int sendto(unsigned int s, const void* buf, int len, int flags, const sockaddr_in* to, int tolen) {
    return Capture(::sendto(ToSocket(s), static_cast<const char*>(buf), len,
                            flags & ~LAYER_NONBLOCKING, Addr(to), tolen));
}

int recv(unsigned int s, void* buf, int len, int flags) {
    return Capture(::recv(ToSocket(s), static_cast<char*>(buf), len, flags & ~LAYER_NONBLOCKING));
}

int recvdatagram(unsigned int s, void* buf, int len, int flags, sockaddr_in* from, int* fromlen) {
    return Capture(::recvfrom(ToSocket(s), static_cast<char*>(buf), len, flags & ~LAYER_NONBLOCKING,
                              from != nullptr ? Addr(from) : nullptr, fromlen));
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

int setblocking(unsigned int s, bool blocking) {
    u_long nonblocking = blocking ? 0 : 1;
    return Capture(::ioctlsocket(ToSocket(s), FIONBIO, &nonblocking));
}

unsigned int accept(unsigned int s, sockaddr_in* addr, int* len, bool nonblocking) {
    const unsigned int client = accept(s, addr, len);
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

int connectwait(unsigned int s, const sockaddr_in* addr, int len, int milliseconds) {
    const SOCKET socket = ToSocket(s);
    if (::connect(socket, Addr(addr), len) == 0)
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

// The poller: the registered sockets in one array that each wait hands to WSAPoll, the wake's
// socket first. The wake is a loopback datagram socket connected to itself: a wake sends it a
// datagram, which makes it readable. WSAPoll looks at every entry in every wait, so a wait costs
// in proportion to the registered sockets, idle ones included.
struct SystemPoller {
    SOCKET wake = INVALID_SOCKET;
    std::atomic<bool> pending{false}; // a wake's datagram is on its way or waiting
    std::vector<WSAPOLLFD> fds;       // [0] is the wake
    std::vector<unsigned long long> tokens;
    std::unordered_map<SOCKET, std::size_t> where; // a socket's index in fds
};

namespace {

using PollCall = int(WSAAPI*)(LPWSAPOLLFD, ULONG, INT);

// The 1.1 library has no WSAPoll; the 2.x library under it has. As for WSAIoctl, the call is
// looked up so that the debug library's import table keeps to the 1.1 library.
PollCall PollEntry() {
#if defined(ZOVNET_WINSOCK1)
    static const PollCall call = [] {
        HMODULE sockets2 = ::GetModuleHandleA("ws2_32.dll");
        if (sockets2 == nullptr)
            sockets2 = ::LoadLibraryA("ws2_32.dll");
        return sockets2 == nullptr ? nullptr
                                   : reinterpret_cast<PollCall>(reinterpret_cast<void*>(
                                         ::GetProcAddress(sockets2, "WSAPoll")));
    }();
    return call;
#else
    return &::WSAPoll;
#endif
}

SHORT PollRequest(unsigned int events) {
    SHORT out = 0;
    if (events & ZOVNET::POLL_RECEIVE)
        out |= POLLRDNORM;
    if (events & ZOVNET::POLL_SEND)
        out |= POLLWRNORM;
    return out;
}

unsigned int PollBits(SHORT revents) {
    unsigned int out = 0;
    if (revents & (POLLRDNORM | POLLRDBAND))
        out |= ZOVNET::POLL_RECEIVE;
    if (revents & POLLWRNORM)
        out |= ZOVNET::POLL_SEND;
    if (revents & POLLHUP)
        out |= ZOVNET::POLL_CLOSED;
    if (revents & (POLLERR | POLLNVAL))
        out |= ZOVNET::POLL_ERROR;
    return out;
}

int PollerRefuse(int code) {
    ::WSASetLastError(code);
    WriteLibraryError(code);
    return SOCKET_ERROR;
}

// Whether this side of a stream can still send: a send of nothing fails once it is shut.
bool CanSend(SOCKET s) {
    const int slot = ::WSAGetLastError();
    char none = 0;
    const bool can = ::send(s, &none, 0, 0) != SOCKET_ERROR;
    ::WSASetLastError(slot);
    return can;
}

void DrainWake(SystemPoller* p) {
    char datagram[16];
    while (::recv(p->wake, datagram, sizeof datagram, 0) >= 0) {
    }
}

} // namespace

SystemPoller* pollercreate() {
    if (PollEntry() == nullptr) {
        PollerRefuse(WSAEOPNOTSUPP);
        return nullptr;
    }
    SystemPoller* p = new (std::nothrow) SystemPoller;
    if (p == nullptr) {
        PollerRefuse(WSAENOBUFS);
        return nullptr;
    }
    p->wake = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int len = sizeof self;
    u_long nonblocking = 1;
    if (p->wake == INVALID_SOCKET || ::bind(p->wake, Addr(&self), len) != 0 ||
        ::getsockname(p->wake, Addr(&self), &len) != 0 ||
        ::connect(p->wake, Addr(&self), len) != 0 ||
        ::ioctlsocket(p->wake, FIONBIO, &nonblocking) != 0) {
        WriteLibraryError(::WSAGetLastError());
        pollerclose(p);
        return nullptr;
    }
    StopDatagramResets(p->wake);
    WSAPOLLFD wake{};
    wake.fd = p->wake;
    wake.events = POLLRDNORM;
    p->fds.push_back(wake);
    p->tokens.push_back(0);
    return p;
}

void pollerclose(SystemPoller* p) {
    if (p->wake != INVALID_SOCKET)
        ::closesocket(p->wake);
    delete p;
}

int polleradd(SystemPoller* p, unsigned int s, unsigned int events, unsigned long long token) {
    const SOCKET socket = ToSocket(s);
    if (p->where.count(socket) != 0)
        return PollerRefuse(WSAEALREADY);
    // WSAPoll would refuse the whole wait for one entry that is not a socket; it is refused here.
    int type = 0;
    int len = sizeof type;
    if (::getsockopt(socket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) != 0)
        return Capture(SOCKET_ERROR);
    WSAPOLLFD entry{};
    entry.fd = socket;
    entry.events = PollRequest(events);
    p->where[socket] = p->fds.size();
    p->fds.push_back(entry);
    p->tokens.push_back(token);
    return 0;
}

int pollermodify(SystemPoller* p, unsigned int s, unsigned int events, unsigned long long token) {
    const auto it = p->where.find(ToSocket(s));
    if (it == p->where.end())
        return PollerRefuse(WSAENOTSOCK);
    p->fds[it->second].events = PollRequest(events);
    p->tokens[it->second] = token;
    return 0;
}

int pollerremove(SystemPoller* p, unsigned int s) {
    const auto it = p->where.find(ToSocket(s));
    if (it == p->where.end())
        return PollerRefuse(WSAENOTSOCK);
    // The last entry takes the gap: the array stays without holes.
    const std::size_t i = it->second;
    const std::size_t last = p->fds.size() - 1;
    p->where.erase(it);
    if (i != last) {
        p->fds[i] = p->fds[last];
        p->tokens[i] = p->tokens[last];
        p->where[p->fds[i].fd] = i;
    }
    p->fds.pop_back();
    p->tokens.pop_back();
    return 0;
}

int pollerwait(SystemPoller* p, PolledEvent* out, int max, int milliseconds, bool* woken) {
    *woken = false;
    const int n = PollEntry()(p->fds.data(), static_cast<ULONG>(p->fds.size()),
                              milliseconds < 0 ? -1 : milliseconds);
    if (n == SOCKET_ERROR)
        return Capture(SOCKET_ERROR);
    int count = 0;
    if (n > 0) {
        if (p->fds[0].revents != 0) {
            // Drained before the flag is cleared: a wake that comes in between finds the flag
            // still set and sends nothing, and this wait, which is returning, stands for it. The
            // other order would leave its datagram drained and the flag set for good.
            DrainWake(p);
            p->pending.store(false);
            *woken = true;
        }
        for (std::size_t i = 1; i < p->fds.size() && count < max; ++i) {
            const WSAPOLLFD& f = p->fds[i];
            if (f.revents == 0)
                continue;
            unsigned int bits = PollBits(f.revents);
            if ((f.revents & POLLHUP) != 0 && (f.revents & POLLERR) == 0 && CanSend(f.fd)) {
                // The system's hang-up is also the peer's close of its sending side only, which
                // is the receive's end of stream while this side can still send. Where receive
                // readiness is not asked for it stays a hang-up: the system reports it unasked
                // at every wait, and a wait must not spin on it.
                if ((f.events & POLLRDNORM) != 0)
                    bits = (bits & ~ZOVNET::POLL_CLOSED) | ZOVNET::POLL_RECEIVE;
            }
            out[count++] = {p->tokens[i], bits};
        }
    }
    return count;
}

void pollerwake(SystemPoller* p) {
    if (p->pending.exchange(true))
        return; // a wake is on its way already: this one counts with it
    const int slot = ::WSAGetLastError();
    const char datagram = 1;
    ::send(p->wake, &datagram, 1, 0);
    ::WSASetLastError(slot);
}

} // namespace ZovPlatform

// Loading and unloading the library do nothing: the application starts the socket system through
// ZovNet::Init().
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
