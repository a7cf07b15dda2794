// The system's own socket calls for test code that works beside the library (raw peers, handles
// made non-blocking, readiness checks). Windows Sockets and POSIX name these calls alike but
// differ in details; the helpers here give the tests one spelling. The library itself is never
// reached through this header.
#ifndef ZOVNET_SOCKET_API_H
#define ZOVNET_SOCKET_API_H

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <tlhelp32.h>

#include <sys/types.h>

#define SHUT_RD SD_RECEIVE
#define SHUT_WR SD_SEND
#define SHUT_RDWR SD_BOTH
#else
#include <arpa/inet.h>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace zovtest {

#if defined(_WIN32)
// Windows has no SIGPIPE and no close-on-exec flag for sockets (handles are not inherited by
// default).
constexpr int kSockCloexec = 0;
constexpr int kNoSignal = 0;

// Windows Sockets must be started before the first raw socket of a test; the count of starts
// is kept by the system, so this start also keeps the system up while a test stops and restarts
// the library's network layer.
inline const bool kSocketsStarted = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

inline int CloseSocket(int fd) {
    return ::closesocket(static_cast<SOCKET>(fd));
}

inline int CaseInsensitiveCompare(const char* a, const char* b) {
    return ::_stricmp(a, b);
}

// A network interface of this machine, by name and index, for scope ids written as names. The
// interface names of Windows live in the IP helper library, which the tests do not link: its
// entry is looked up, and the first index that has a name is taken.
inline bool SomeInterface(std::string* name, unsigned int* index) {
    using IndexToName = char*(WINAPI*)(ULONG, char*);
    HMODULE helper = ::LoadLibraryA("iphlpapi.dll");
    if (helper == nullptr)
        return false;
    const IndexToName toName = reinterpret_cast<IndexToName>(
        reinterpret_cast<void*>(::GetProcAddress(helper, "if_indextoname")));
    bool found = false;
    for (ULONG i = 1; toName != nullptr && i <= 256 && !found; ++i) {
        char text[256] = {};
        if (toName(i, text) != nullptr && text[0] != '\0') {
            *name = text;
            *index = i;
            found = true;
        }
    }
    return found;
}

// The hosts file the resolver reads. Wine resolves through the host system, whose file it shows
// under the drive that maps the root directory (Z:); Windows keeps its own under the system
// directory.
inline std::string HostsFilePath() {
    if (std::ifstream("Z:\\etc\\hosts").good())
        return "Z:\\etc\\hosts";
    char dir[MAX_PATH] = {};
    const UINT n = ::GetSystemDirectoryA(dir, MAX_PATH);
    return std::string(dir, n < MAX_PATH ? n : 0) + "\\drivers\\etc\\hosts";
}

inline int LastSocketError() {
    return ::WSAGetLastError();
}

inline void SetLastSocketError(int code) {
    ::WSASetLastError(code);
}

inline bool Interrupted() {
    return ::WSAGetLastError() == WSAEINTR;
}

inline bool WouldBlock() {
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
}

inline int PollOne(int fd, short events, int milliseconds) {
    WSAPOLLFD p{};
    p.fd = static_cast<SOCKET>(fd);
    p.events = events;
    return ::WSAPoll(&p, 1, milliseconds);
}

inline bool SetNonBlocking(int fd) {
    u_long on = 1;
    return ::ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &on) == 0;
}

inline int PendingBytes(int fd) {
    u_long pending = 0;
    if (::ioctlsocket(static_cast<SOCKET>(fd), FIONREAD, &pending) != 0)
        return -1;
    return static_cast<int>(pending);
}

// Whether `fd` is an open socket of this process.
inline bool IsOpenSocket(int fd) {
    int type = 0;
    int len = sizeof type;
    return fd >= 0 && ::getsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_TYPE,
                                   reinterpret_cast<char*>(&type), &len) == 0;
}

inline int Recv(int fd, void* buf, int len, int flags) {
    return ::recv(static_cast<SOCKET>(fd), static_cast<char*>(buf), len, flags);
}

inline int Send(int fd, const void* buf, int len, int flags) {
    return ::send(static_cast<SOCKET>(fd), static_cast<const char*>(buf), len, flags);
}

inline int SetSockOpt(int fd, int level, int option, const void* value, int len) {
    return ::setsockopt(static_cast<SOCKET>(fd), level, option, static_cast<const char*>(value),
                        len);
}

// An integer option as the system holds it, asked without the library; -1 when refused.
inline int GetSockOptInt(unsigned int fd, int level, int option) {
    int value = 0;
    int len = sizeof value;
    return ::getsockopt(static_cast<SOCKET>(fd), level, option, reinterpret_cast<char*>(&value),
                        &len) == 0
               ? value
               : -1;
}

inline int Accept(int listener) {
    const SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

inline int Socket(int af, int type, int protocol) {
    const SOCKET s = ::socket(af, type, protocol);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

// Whether the system can tell a socket's blocking mode.
constexpr bool kBlockingModeReadable = false;

// Windows answers a lookup of the machine's own name with the addresses of its network
// interfaces, not from the hosts file. The IPv4 ones (network byte order), asked of the system.
constexpr bool kOwnNameFromInterfaces = true;

inline std::vector<unsigned int> OwnNameAddresses(const std::string& name) {
    std::vector<unsigned int> addrs;
    const hostent* entry = ::gethostbyname(name.c_str());
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4)
        return addrs;
    for (char** a = entry->h_addr_list; *a != nullptr; ++a) {
        unsigned int addr;
        std::memcpy(&addr, *a, sizeof addr);
        addrs.push_back(addr);
    }
    return addrs;
}

// Whether this Windows is Wine, which CI runs the tests on. Where Wine departs from Windows
// Sockets in a way a test notices, the test says so and skips there.
inline bool RunningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The threads of this process.
inline int ThreadCount() {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more;
         more = ::Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId())
            ++count;
    ::CloseHandle(snapshot);
    return count;
}

// Each Windows module binds its own allocation functions: a program's replacement of the global
// operator new does not reach a DLL that carries its own C++ runtime.
constexpr bool kAllocatorReplacementReachesLibrary = false;

// Windows has no SIGPIPE: a send on a closed connection fails with an error and nothing more, so
// nothing is ever raised.
class SigpipeWatch {
public:
    bool Raised() const { return false; }
};

// An open handle of the process that is not a socket (an event), for the object to adopt; the
// adopting object's close fails on it, so it is closed here afterwards.
class NotASocket {
public:
    NotASocket() : m_handle(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~NotASocket() {
        if (m_handle != nullptr)
            ::CloseHandle(m_handle);
    }
    NotASocket(const NotASocket&) = delete;
    NotASocket& operator=(const NotASocket&) = delete;
    bool Valid() const { return m_handle != nullptr; }
    unsigned int Handle() const {
        return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(m_handle));
    }
    // Whether the handle is still open and still the event made here.
    bool StillOpen() const { return ::WaitForSingleObject(m_handle, 0) == WAIT_TIMEOUT; }

private:
    HANDLE m_handle;
};

// Windows takes a receive time-out as a count of milliseconds.
inline void SetReceiveTimeoutMs(int fd, int milliseconds) {
    const DWORD ms = static_cast<DWORD>(milliseconds);
    SetSockOpt(fd, SOL_SOCKET, SO_RCVTIMEO, &ms, sizeof ms);
}
#else
constexpr int kSockCloexec = SOCK_CLOEXEC;
constexpr int kNoSignal = MSG_NOSIGNAL;

inline int CloseSocket(int fd) {
    return ::close(fd);
}

inline int CaseInsensitiveCompare(const char* a, const char* b) {
    return ::strcasecmp(a, b);
}

// A network interface of this machine, by name and index, for scope ids written as names.
inline bool SomeInterface(std::string* name, unsigned int* index) {
    struct if_nameindex* list = ::if_nameindex();
    if (list == nullptr)
        return false;
    const bool found = list[0].if_index != 0;
    if (found) {
        *name = list[0].if_name;
        *index = list[0].if_index;
    }
    ::if_freenameindex(list);
    return found;
}

inline std::string HostsFilePath() {
    return "/etc/hosts";
}

inline int LastSocketError() {
    return errno;
}

inline void SetLastSocketError(int code) {
    errno = code;
}

inline bool Interrupted() {
    return errno == EINTR;
}

inline bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

inline int PollOne(int fd, short events, int milliseconds) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, milliseconds);
}

inline bool SetNonBlocking(int fd) {
    return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

inline int PendingBytes(int fd) {
    int pending = 0;
    if (::ioctl(fd, FIONREAD, &pending) != 0)
        return -1;
    return pending;
}

// Whether `fd` is an open descriptor of this process.
inline bool IsOpenSocket(int fd) {
    return fd >= 0 && ::fcntl(fd, F_GETFD) != -1;
}

inline int Recv(int fd, void* buf, int len, int flags) {
    return static_cast<int>(::recv(fd, buf, static_cast<size_t>(len), flags));
}

inline int Send(int fd, const void* buf, int len, int flags) {
    return static_cast<int>(::send(fd, buf, static_cast<size_t>(len), flags));
}

inline int SetSockOpt(int fd, int level, int option, const void* value, int len) {
    return ::setsockopt(fd, level, option, value, static_cast<socklen_t>(len));
}

// An integer option as the system holds it, asked without the library; -1 when refused.
inline int GetSockOptInt(unsigned int fd, int level, int option) {
    int value = 0;
    socklen_t len = sizeof value;
    return ::getsockopt(static_cast<int>(fd), level, option, &value, &len) == 0 ? value : -1;
}

inline int Accept(int listener) {
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

inline int Socket(int af, int type, int protocol) {
    return ::socket(af, type, protocol);
}

constexpr bool kBlockingModeReadable = true;

// POSIX resolves the machine's own name like any other, from the hosts file.
constexpr bool kOwnNameFromInterfaces = false;

inline std::vector<unsigned int> OwnNameAddresses(const std::string&) {
    return {};
}

inline bool RunningUnderWine() {
    return false;
}

// The threads of this process.
inline int ThreadCount() {
    int count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(tasks))
            if (entry->d_name[0] != '.')
                ++count;
        ::closedir(tasks);
    }
    return count;
}

// A program's replacement of the global operator new serves every shared library of the process.
constexpr bool kAllocatorReplacementReachesLibrary = true;

// Blocks SIGPIPE on this thread for its lifetime, so that a send which raises it leaves the
// signal pending (and the test able to say so) instead of killing the test process.
class SigpipeWatch {
public:
    SigpipeWatch() {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
    }
    ~SigpipeWatch() {
        if (Raised()) {
            const timespec now{0, 0};
            sigtimedwait(&m_pipe, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    bool Raised() const {
        sigset_t pending;
        sigpending(&pending);
        return sigismember(&pending, SIGPIPE) == 1;
    }

private:
    sigset_t m_pipe;
    sigset_t m_old;
};

// An open descriptor that is not a socket (a pipe's read end, as standard input may be), offered
// to the adopting constructor, which must leave it alone.
class NotASocket {
public:
    NotASocket() {
        if (::pipe2(m_fds, O_CLOEXEC) != 0)
            m_fds[0] = m_fds[1] = -1;
    }
    ~NotASocket() {
        for (int fd : m_fds)
            if (fd >= 0)
                ::close(fd);
    }
    NotASocket(const NotASocket&) = delete;
    NotASocket& operator=(const NotASocket&) = delete;
    bool Valid() const { return m_fds[0] >= 0; }
    unsigned int Handle() const { return static_cast<unsigned int>(m_fds[0]); }
    // Whether the read end is still open and still the pipe made here: a byte written to the
    // other end comes out of it.
    bool StillOpen() const {
        const char byte = 'z';
        char back = 0;
        return ::fcntl(m_fds[0], F_GETFD) != -1 && ::write(m_fds[1], &byte, 1) == 1 &&
               ::read(m_fds[0], &back, 1) == 1 && back == byte;
    }

private:
    int m_fds[2];
};

inline void SetReceiveTimeoutMs(int fd, int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}
#endif

} // namespace zovtest

#endif // ZOVNET_SOCKET_API_H
