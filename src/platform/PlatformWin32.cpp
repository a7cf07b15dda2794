// The platform layer on Windows: thin forwards to Windows Sockets, the user-interface library and
// the kernel. The release library binds the Windows Sockets 2 library, the debug library the
// 1.1-compatible one (ZOVNET_WINSOCK1); both offer every call used here under the same name.
#include "Platform.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>

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

} // namespace

int WSAStartup(unsigned short version) {
    WSADATA data;
    return ::WSAStartup(version, &data);
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
    return ::gethostname(name, len);
}

// The system's entry lives in a per-thread buffer that the next resolver call on the thread
// overwrites; the caller gets its own copy.
bool gethostbyname(const char* name, HostEntry& entry) {
    return CopyHostEntry(::gethostbyname(name), entry);
}

bool gethostbyaddr(const void* addr, int len, int type, HostEntry& entry) {
    return CopyHostEntry(::gethostbyaddr(static_cast<const char*>(addr), len, type), entry);
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
    const SOCKET s = ::socket(af, type, protocol);
    if (s != INVALID_SOCKET && type == SOCK_DGRAM)
        StopDatagramResets(s);
    return FromSocket(s);
}

int bind(unsigned int s, const sockaddr_in* addr, int len) {
    return ::bind(ToSocket(s), Addr(addr), len);
}

int listen(unsigned int s, int backlog) {
    return ::listen(ToSocket(s), backlog);
}

unsigned int accept(unsigned int s, sockaddr_in* addr, int* len) {
    return FromSocket(::accept(ToSocket(s), addr != nullptr ? Addr(addr) : nullptr, len));
}

int connect(unsigned int s, const sockaddr_in* addr, int len) {
    return ::connect(ToSocket(s), Addr(addr), len);
}

int getsockname(unsigned int s, sockaddr_in* addr, int* len) {
    return ::getsockname(ToSocket(s), Addr(addr), len);
}

// Windows has no SIGPIPE: a send on a shut connection fails with an error code and nothing more.
int send(unsigned int s, const void* buf, int len, int flags) {
    return ::send(ToSocket(s), static_cast<const char*>(buf), len, flags);
}

int sendto(unsigned int s, const void* buf, int len, int flags, const sockaddr_in* to, int tolen) {
    return ::sendto(ToSocket(s), static_cast<const char*>(buf), len, flags, Addr(to), tolen);
}

int recv(unsigned int s, void* buf, int len, int flags) {
    return ::recv(ToSocket(s), static_cast<char*>(buf), len, flags);
}

int recvdatagram(unsigned int s, void* buf, int len, int flags, sockaddr_in* from, int* fromlen) {
    return ::recvfrom(ToSocket(s), static_cast<char*>(buf), len, flags,
                      from != nullptr ? Addr(from) : nullptr, fromlen);
}

int shutdown(unsigned int s, int how) {
    return ::shutdown(ToSocket(s), how);
}

int closesocket(unsigned int s) {
    return ::closesocket(ToSocket(s));
}

int getsockopt(unsigned int s, int level, int option, void* value, int* len) {
    return ::getsockopt(ToSocket(s), level, option, static_cast<char*>(value), len);
}

int setsockopt(unsigned int s, int level, int option, const void* value, int len) {
    return ::setsockopt(ToSocket(s), level, option, static_cast<const char*>(value), len);
}

// Windows Sockets can switch a socket to non-blocking mode (FIONBIO) but offers no way to read the
// mode back, so the layer cannot tell and answers as for a blocking socket.
bool isnonblocking(unsigned int) {
    return false;
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
    const int n = ::select(static_cast<int>(nfds), &set, nullptr, nullptr, wait);
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
    return ::select(static_cast<int>(nfds), reinterpret_cast<fd_set*>(readfds), nullptr, nullptr,
                    wait);
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

} // namespace ZovPlatform

// Loading and unloading the library do nothing: the application starts the socket system through
// ZovNet::Init().
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
