// A report written to standard error as "title: text", whole, in one write where the system
// allows, before the call returns. POSIX has no message box; the Windows libraries built for the
// tests must neither open a window nor wait for a click.
#ifndef ZOVNET_REPORT_STREAM_H
#define ZOVNET_REPORT_STREAM_H

#include <cerrno>
#include <cstddef>
#include <string>

#if defined(_WIN32)
#include <io.h>
#else
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <unistd.h>
#endif

namespace ZovPlatform {
namespace detail {

#if !defined(_WIN32)
// A write to a pipe whose reader has gone raises SIGPIPE, which kills a process that kept the
// default action: a report must never do that. While the shield stands, SIGPIPE is blocked for
// the calling thread only (the process's dispositions and the other threads are untouched); one
// that the write raised is taken off again before the thread's mask is restored, while one that
// was pending already stays for the application.
class SigpipeShield {
public:
    SigpipeShield() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        m_pendingBefore = sigismember(&pending, SIGPIPE) == 1;
        m_blocked = ::pthread_sigmask(SIG_BLOCK, &pipe, &m_saved) == 0;
    }
    ~SigpipeShield() {
        if (!m_blocked)
            return;
        const int saved = errno;
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        if (!m_pendingBefore && ::sigpending(&pending) == 0 &&
            sigismember(&pending, SIGPIPE) == 1) {
            const timespec none{0, 0};
            while (::sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &m_saved, nullptr);
        errno = saved;
    }
    SigpipeShield(const SigpipeShield&) = delete;
    SigpipeShield& operator=(const SigpipeShield&) = delete;

private:
    sigset_t m_saved;
    bool m_pendingBefore = false;
    bool m_blocked = false;
};
#endif

// Descriptor 2 of the C runtime rather than the stdio stream: a test that redirects descriptor 2
// sees the report even when the library and the program hold separate stdio buffers. Standard
// error may be a pipe nobody reads any more: the report is then lost, never the process.
inline int WriteError(const char* p, std::size_t left) {
#if defined(_WIN32)
    return ::_write(2, p, static_cast<unsigned int>(left));
#else
    SigpipeShield shield;
    return static_cast<int>(::write(STDERR_FILENO, p, left));
#endif
}

inline void WriteReport(const char* text, const char* title) {
    std::string box = std::string(title) + ": " + text;
    if (box.empty() || box.back() != '\n')
        box += '\n';
    const char* p = box.data();
    std::size_t left = box.size();
    while (left > 0) {
        const int n = WriteError(p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

} // namespace detail
} // namespace ZovPlatform

#endif // ZOVNET_REPORT_STREAM_H
