// The platform layer on POSIX: Windows Sockets' operations and results over the system's calls.
#include "Platform.h"
#include "ReportStream.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <new>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

namespace ZovPlatform {

namespace {

// Windows Sockets keeps its last error per thread; so do we, captured where each call failed.
thread_local int t_lastError = 0;

int MapErrno(int e) {
    switch (e) {
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAEBADF;
    case EACCES:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
        return WSAEMFILE;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
    case EPIPE:
        return WSAESHUTDOWN;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    // A link-local address whose scope names no interface: Windows Sockets has no code of its
    // own for it and says the address is not available.
    case ENODEV:
        return WSAEADDRNOTAVAIL;
    default:
        return e;
    }
}

// Records the failure of the call that just returned `result` (when it failed) and passes the
// result on; errno stays as the system set it.
int Capture(int result) {
    if (result < 0)
        t_lastError = MapErrno(errno);
    return result;
}

// Fails a call where the layer finds the fault itself, as the system would have with `error`.
int Fail(int error) {
    errno = error;
    return Capture(SOCKET_ERROR);
}

// A transfer on a blocking descriptor that ends with EAGAIN ran out of its SO_RCVTIMEO or
// SO_SNDTIMEO: Windows Sockets calls that WSAETIMEDOUT and keeps WSAEWOULDBLOCK for descriptors
// the application made non-blocking (which a caller may retry at once).
bool NonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

int CaptureTransfer(int fd, int result, int flags) {
    if (result >= 0)
        return result;
    const int error = errno;
    t_lastError = MapErrno(error);
    if ((error == EAGAIN || error == EWOULDBLOCK) && (flags & LAYER_NONBLOCKING) == 0 &&
        !NonBlocking(fd)) {
        t_lastError = WSAETIMEDOUT;
        errno = error;
    }
    return result;
}

unsigned int CaptureSocket(int fd) {
    if (fd < 0) {
        t_lastError = MapErrno(errno);
        return ZOVNET::BADSOCKET;
    }
    return static_cast<unsigned int>(fd);
}

// A descriptor value that does not fit a POSIX descriptor (ZOVNET::BADSOCKET among them) is
// passed as -1, which every call refuses with EBADF.
int Fd(unsigned int s) {
    return s > static_cast<unsigned int>(INT_MAX) ? -1 : static_cast<int>(s);
}

int Flags(int flags) {
    int out = 0;
    if (flags & MSG_PEEK)
        out |= MSG_PEEK;
    return out;
}

// The reentrant resolver: its scratch buffer grows until the entry fits.
template <typename Lookup> bool Resolve(HostEntry& entry, Lookup lookup) {
    std::vector<char> scratch(1024);
    for (;;) {
        hostent h{};
        hostent* result = nullptr;
        int herr = 0;
        int rc = lookup(&h, scratch.data(), scratch.size(), &result, &herr);
        if (rc == ERANGE && scratch.size() < (1u << 20)) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        if (rc == 0 && CopyHostEntry(result, entry))
            return true;
        // The resolver's answer, in the codes Windows Sockets gives for the same lookups.
        switch (herr) {
        case TRY_AGAIN:
            t_lastError = WSATRY_AGAIN;
            break;
        case NO_RECOVERY:
            t_lastError = WSANO_RECOVERY;
            break;
        case NO_DATA:
            t_lastError = WSANO_DATA;
            break;
        default:
            t_lastError = rc != 0 && rc != ENOENT ? MapErrno(rc) : WSAHOST_NOT_FOUND;
            break;
        }
        return false;
    }
}

} // namespace

// There is nothing to start on POSIX: the layer answers as Windows Sockets does once started.
int WSAStartup(unsigned short) {
    return 0;
}
int WSACleanup() {
    return 0;
}
int WSAGetLastError() {
    return t_lastError;
}
int WSACancelBlockingCall() {
    return 0;
}

// Only the layer's own calls set it, so it is the library's last error as it stands.
int LibraryError() {
    return t_lastError;
}
void SetLibraryError(int code) {
    t_lastError = code;
}

int gethostname(char* name, int len) {
    if (len <= 0)
        return SOCKET_ERROR;
    int rc = Capture(::gethostname(name, static_cast<size_t>(len)));
    name[len - 1] = '\0'; // POSIX leaves a cut name unterminated
    return rc;
}

bool gethostbyname(const char* name, HostEntry& entry) {
    return Resolve(entry, [name](hostent* h, char* buf, size_t len, hostent** res, int* herr) {
        return ::gethostbyname_r(name, h, buf, len, res, herr);
    });
}

bool gethostbyaddr(const void* addr, int len, int type, HostEntry& entry) {
    return Resolve(entry, [=](hostent* h, char* buf, size_t blen, hostent** res, int* herr) {
        return ::gethostbyaddr_r(addr, static_cast<socklen_t>(len), type, h, buf, blen, res, herr);
    });
}

unsigned int inet_addr(const char* text) {
    return ::inet_addr(text);
}

bool getaddresses(const char* name, std::vector<ResolvedAddress>& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name, nullptr, &hints, &list);
    if (rc != 0) {
        // The codes Windows Sockets gives for the same answers.
        switch (rc) {
        case EAI_AGAIN:
            t_lastError = WSATRY_AGAIN;
            break;
        case EAI_FAIL:
            t_lastError = WSANO_RECOVERY;
            break;
#if defined(EAI_NODATA)
        case EAI_NODATA:
#endif
#if defined(EAI_ADDRFAMILY)
        case EAI_ADDRFAMILY:
#endif
            t_lastError = WSANO_DATA;
            break;
        case EAI_MEMORY:
            t_lastError = WSAENOBUFS;
            break;
        case EAI_SYSTEM:
            t_lastError = errno != 0 ? MapErrno(errno) : WSANO_RECOVERY;
            break;
        default: // EAI_NONAME and the rest: no such host
            t_lastError = WSAHOST_NOT_FOUND;
            break;
        }
        return false;
    }
    CopyAddresses<addrinfo, sockaddr_in, sockaddr_in6>(list, out);
    ::freeaddrinfo(list);
    return true;
}

unsigned int ifnametoindex(const char* name) {
    return ::if_nametoindex(name);
}

const char* inet_ntoa(unsigned int addr) {
    thread_local char text[16];
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

unsigned int socket(int af, int type, int protocol) {
    return CaptureSocket(::socket(af, type | SOCK_CLOEXEC, protocol));
}

int bind(unsigned int s, const sockaddr* addr, int len) {
    return Capture(::bind(Fd(s), addr, static_cast<socklen_t>(len)));
}

int listen(unsigned int s, int backlog) {
    return Capture(::listen(Fd(s), backlog));
}

unsigned int accept(unsigned int s, sockaddr* addr, int* len) {
    return accept(s, addr, len, false);
}

int connect(unsigned int s, const sockaddr* addr, int len) {
    return Capture(::connect(Fd(s), addr, static_cast<socklen_t>(len)));
}

int getsockname(unsigned int s, sockaddr* addr, int* len) {
    socklen_t l = static_cast<socklen_t>(*len);
    int rc = Capture(::getsockname(Fd(s), addr, &l));
    if (rc == 0)
        *len = static_cast<int>(l);
    return rc;
}

int send(unsigned int s, const void* buf, int len, int flags) {
    ssize_t n;
    do
        n = ::send(Fd(s), buf, len < 0 ? 0 : static_cast<size_t>(len), Flags(flags) | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return CaptureTransfer(Fd(s), static_cast<int>(n), flags);
}

int sendto(unsigned int s, const void* buf, int len, int flags, const sockaddr* to, int tolen) {
    ssize_t n;
    do
        n = ::sendto(Fd(s), buf, len < 0 ? 0 : static_cast<size_t>(len),
                     Flags(flags) | MSG_NOSIGNAL, to, static_cast<socklen_t>(tolen));
    while (n < 0 && errno == EINTR);
    return CaptureTransfer(Fd(s), static_cast<int>(n), flags);
}

int recv(unsigned int s, void* buf, int len, int flags) {
    ssize_t n;
    do
        n = ::recv(Fd(s), buf, len < 0 ? 0 : static_cast<size_t>(len), Flags(flags));
    while (n < 0 && errno == EINTR);
    return CaptureTransfer(Fd(s), static_cast<int>(n), flags);
}

int recvdatagram(unsigned int s, void* buf, int len, int flags, sockaddr* from, int* fromlen) {
    const size_t cap = len < 0 ? 0 : static_cast<size_t>(len);
    const bool named = from != nullptr && fromlen != nullptr;
    socklen_t namelen = named ? static_cast<socklen_t>(*fromlen) : 0;
    ssize_t n;
    do
        n = ::recvfrom(Fd(s), buf, cap, Flags(flags) | MSG_TRUNC, named ? from : nullptr,
                       named ? &namelen : nullptr);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return CaptureTransfer(Fd(s), -1, flags);
    if (named)
        *fromlen = static_cast<int>(namelen);
    if (static_cast<size_t>(n) > cap)
        return Fail(EMSGSIZE);
    return static_cast<int>(n);
}

int shutdown(unsigned int s, int how) {
    // Windows Sockets accepts shutting a direction of an unconnected datagram socket; Linux
    // answers ENOTCONN. The library's state follows the Windows answer, so the layer gives it.
    int rc = ::shutdown(Fd(s), how);
    if (rc < 0 && errno == ENOTCONN) {
        int type = 0;
        socklen_t l = sizeof type;
        if (::getsockopt(Fd(s), SOL_SOCKET, SO_TYPE, &type, &l) == 0 && type == SOCK_DGRAM)
            return 0;
    }
    return Capture(rc);
}

int closesocket(unsigned int s) {
    return Capture(::close(Fd(s)));
}

namespace {

// The time-outs that Windows Sockets takes as a count of milliseconds, given in that form.
bool IsTimeout(int level, int option, int len) {
    return level == SOL_SOCKET && (option == SO_RCVTIMEO || option == SO_SNDTIMEO) && len == 4;
}

} // namespace

int getsockopt(unsigned int s, int level, int option, void* value, int* len) {
    if (IsTimeout(level, option, *len)) {
        timeval tv{};
        socklen_t l = sizeof tv;
        if (Capture(::getsockopt(Fd(s), level, option, &tv, &l)) != 0)
            return SOCKET_ERROR;
        // Rounded up, so that a time-out below a millisecond does not read as none at all.
        const long long ms = static_cast<long long>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
        const int out = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
        std::memcpy(value, &out, sizeof out);
        return 0;
    }
    socklen_t l = static_cast<socklen_t>(*len);
    int rc = Capture(::getsockopt(Fd(s), level, option, value, &l));
    if (rc == 0)
        *len = static_cast<int>(l);
    return rc;
}

int setsockopt(unsigned int s, int level, int option, const void* value, int len) {
    if (IsTimeout(level, option, len)) {
        int ms = 0;
        std::memcpy(&ms, value, sizeof ms);
        if (ms < 0)
            return Fail(EINVAL);
        timeval tv{};
        tv.tv_sec = ms / 1000;
        tv.tv_usec = (ms % 1000) * 1000;
        return Capture(::setsockopt(Fd(s), level, option, &tv, sizeof tv));
    }
    return Capture(::setsockopt(Fd(s), level, option, value, static_cast<socklen_t>(len)));
}

int reuselistenport(unsigned int s) {
    const int on = 1;
    return Capture(::setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
}

int setdualstack(unsigned int s, bool dual) {
    const int only = dual ? 0 : 1;
    return Capture(::setsockopt(Fd(s), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only));
}

int setblocking(unsigned int s, bool blocking) {
    const int flags = ::fcntl(Fd(s), F_GETFL);
    if (flags < 0)
        return Capture(SOCKET_ERROR);
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags ? 0 : Capture(::fcntl(Fd(s), F_SETFL, wanted));
}

unsigned int accept(unsigned int s, sockaddr* addr, int* len, bool nonblocking) {
    socklen_t l = len != nullptr ? static_cast<socklen_t>(*len) : 0;
    // Linux never passes the listener's mode on; the flag sets it without a second call.
    const int flags = SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0);
    int fd;
    do
        fd = ::accept4(Fd(s), addr != nullptr ? addr : nullptr, len != nullptr ? &l : nullptr,
                       flags);
    while (fd < 0 && errno == EINTR);
    if (len != nullptr)
        *len = static_cast<int>(l);
    return CaptureSocket(fd);
}

namespace {

long long MillisecondsSince(const timespec& start) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// Waits until `p` is ready, at most `milliseconds` (negative: no limit), going on for what is
// left when a signal interrupts. The result of poll(): 1, 0 when the time ran out, or -1.
int PollFor(pollfd& p, int milliseconds) {
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int wait = -1;
        if (milliseconds >= 0) {
            const long long elapsed = MillisecondsSince(start);
            wait = elapsed >= milliseconds ? 0 : static_cast<int>(milliseconds - elapsed);
        }
        const int n = ::poll(&p, 1, wait);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

} // namespace

int connectwait(unsigned int s, const sockaddr* addr, int len, int milliseconds) {
    const int fd = Fd(s);
    if (::connect(fd, addr, static_cast<socklen_t>(len)) == 0)
        return 0;
    // An interrupted connect goes on in the background, as one in progress does.
    if (errno != EINPROGRESS && errno != EINTR)
        return Capture(SOCKET_ERROR);
    pollfd p{fd, POLLOUT, 0};
    const int n = PollFor(p, milliseconds);
    if (n < 0)
        return Capture(SOCKET_ERROR);
    if (n == 0)
        return Fail(ETIMEDOUT);
    int error = 0;
    socklen_t l = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &l) != 0)
        return Capture(SOCKET_ERROR);
    return error == 0 ? 0 : Fail(error);
}

int waitwritable(unsigned int s, int milliseconds) {
    pollfd p{Fd(s), POLLOUT, 0};
    if (p.fd < 0) // poll() would skip it and wait out the time
        return Fail(EBADF);
    const int n = PollFor(p, milliseconds > 0 ? milliseconds : -1);
    if (n < 0)
        return Capture(SOCKET_ERROR);
    if (n == 0) {
        Fail(ETIMEDOUT);
        return 0;
    }
    if (p.revents & POLLNVAL)
        return Fail(EBADF);
    return 1;
}

int select(unsigned int, ZovFdSet* readfds, const timeval* timeout) {
    // poll() rather than the system's select: its fd_set is a bitmap of 1024 bits that FD_SET
    // overruns for larger descriptor values, while the table holds values of any size.
    pollfd fds[FD_TABLE_SIZE];
    const unsigned int count =
        readfds->fd_count < FD_TABLE_SIZE ? readfds->fd_count : FD_TABLE_SIZE;
    if (count == 0) {
        // Windows Sockets refuses a select with nothing to watch rather than block for ever.
        return Fail(EINVAL);
    }
    for (unsigned int i = 0; i < count; ++i) {
        fds[i].fd = Fd(readfds->fd_array[i]);
        fds[i].events = POLLIN;
        fds[i].revents = 0;
        if (fds[i].fd < 0)
            return Fail(EBADF);
    }

    // The wait is given in whole milliseconds, rounded up so that a short time-out still waits;
    // waits longer than poll() takes in one call are made in several.
    long long remaining = -1;
    if (timeout != nullptr)
        remaining =
            static_cast<long long>(timeout->tv_sec) * 1000 + (timeout->tv_usec + 999) / 1000;
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    int n;
    for (;;) {
        int wait = remaining < 0 ? -1 : remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining);
        n = ::poll(fds, count, wait);
        if (n != 0 || remaining <= INT_MAX)
            break;
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        long long elapsed =
            (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        remaining = static_cast<long long>(timeout->tv_sec) * 1000 +
                    (timeout->tv_usec + 999) / 1000 - elapsed;
        if (remaining <= 0)
            break;
    }
    if (n < 0)
        return Capture(SOCKET_ERROR);

    unsigned int ready = 0;
    for (unsigned int i = 0; i < count; ++i) {
        if (fds[i].revents & POLLNVAL)
            return Fail(EBADF);
        if (fds[i].revents & (POLLIN | POLLPRI | POLLHUP | POLLERR))
            readfds->fd_array[ready++] = readfds->fd_array[i];
    }
    readfds->fd_count = ready;
    return static_cast<int>(ready);
}

// No message boxes here: the box goes to standard error.
void MessageBoxA(void*, const char* text, const char* title, unsigned int) {
    detail::WriteReport(text, title);
}

int PrintOut(const char* format, ...) {
    detail::SigpipeShield shield;
    va_list args;
    va_start(args, format);
    const int n = std::vprintf(format, args);
    va_end(args);
    return n;
}

void Sleep(unsigned int milliseconds) {
    timespec t{static_cast<time_t>(milliseconds / 1000),
               static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&t, &t) < 0 && errno == EINTR) {
    }
}

// The poller: an epoll instance, and an eventfd registered in it for the wake. The wake's token
// is all bits set, which no registration carries (its low half would be ZOVNET::BADSOCKET).
struct SystemPoller {
    int epoll = -1;
    int wake = -1;
    std::vector<epoll_event> buffer;
};

namespace {

constexpr unsigned long long kWakeToken = ~0ull;

unsigned int EpollEvents(unsigned int events) {
    // EPOLLRDHUP: a peer that shut only its sending side wakes a receive-waiter, as a
    // readable end of stream does anyway; it is reported as POLL_RECEIVE.
    unsigned int out = 0;
    if (events & ZOVNET::POLL_RECEIVE)
        out |= EPOLLIN | EPOLLRDHUP;
    if (events & ZOVNET::POLL_SEND)
        out |= EPOLLOUT;
    return out;
}

unsigned int PollBits(unsigned int epoll) {
    unsigned int out = 0;
    if (epoll & (EPOLLIN | EPOLLRDHUP | EPOLLPRI))
        out |= ZOVNET::POLL_RECEIVE;
    if (epoll & EPOLLOUT)
        out |= ZOVNET::POLL_SEND;
    if (epoll & EPOLLHUP)
        out |= ZOVNET::POLL_CLOSED;
    if (epoll & EPOLLERR)
        out |= ZOVNET::POLL_ERROR;
    return out;
}

int PollerControl(SystemPoller* p, int op, unsigned int s, unsigned int events,
                  unsigned long long token) {
    epoll_event e{};
    e.events = EpollEvents(events);
    e.data.u64 = token;
    return Capture(::epoll_ctl(p->epoll, op, Fd(s), &e));
}

} // namespace

SystemPoller* pollercreate() {
    SystemPoller* p = new (std::nothrow) SystemPoller;
    if (p == nullptr) {
        Fail(ENOBUFS);
        return nullptr;
    }
    p->epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (p->epoll >= 0)
        p->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = kWakeToken;
    if (p->epoll < 0 || p->wake < 0 || ::epoll_ctl(p->epoll, EPOLL_CTL_ADD, p->wake, &e) != 0) {
        Capture(SOCKET_ERROR);
        pollerclose(p);
        return nullptr;
    }
    return p;
}

void pollerclose(SystemPoller* p) {
    if (p->wake >= 0)
        ::close(p->wake);
    if (p->epoll >= 0)
        ::close(p->epoll);
    delete p;
}

int polleradd(SystemPoller* p, unsigned int s, unsigned int events, unsigned long long token) {
    return PollerControl(p, EPOLL_CTL_ADD, s, events, token);
}

int pollermodify(SystemPoller* p, unsigned int s, unsigned int events, unsigned long long token) {
    return PollerControl(p, EPOLL_CTL_MOD, s, events, token);
}

int pollerremove(SystemPoller* p, unsigned int s) {
    epoll_event e{}; // kernels before 2.6.9 want one even here
    return Capture(::epoll_ctl(p->epoll, EPOLL_CTL_DEL, Fd(s), &e));
}

int pollerwait(SystemPoller* p, PolledEvent* out, int max, int milliseconds, bool* woken) {
    *woken = false;
    // One more than the caller takes: the wake may be among the results.
    const std::size_t room = static_cast<std::size_t>(max < 1 ? 1 : max) + 1;
    if (p->buffer.size() < room)
        p->buffer.resize(room);
    const int n = ::epoll_wait(p->epoll, p->buffer.data(), static_cast<int>(room),
                               milliseconds < 0 ? -1 : milliseconds);
    if (n < 0)
        return Capture(SOCKET_ERROR);
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const epoll_event& e = p->buffer[static_cast<std::size_t>(i)];
        if (e.data.u64 == kWakeToken) {
            // The counter is read whole: every wake so far is consumed by this one wait.
            unsigned long long wakes = 0;
            while (::read(p->wake, &wakes, sizeof wakes) < 0 && errno == EINTR) {
            }
            *woken = true;
            continue;
        }
        if (count < max)
            out[count++] = {e.data.u64, PollBits(e.events)};
    }
    return count;
}

void pollerwake(SystemPoller* p) {
    // The counter is added to; a counter at its bound (never reached) refuses, still woken.
    const unsigned long long one = 1;
    const int saved = errno;
    while (::write(p->wake, &one, sizeof one) < 0 && errno == EINTR) {
    }
    errno = saved;
}

} // namespace ZovPlatform
