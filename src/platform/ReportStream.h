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
#include <unistd.h>
#endif

namespace ZovPlatform {
namespace detail {

// Descriptor 2 of the C runtime rather than the stdio stream: a test that redirects descriptor 2
// sees the report even when the library and the program hold separate stdio buffers.
inline int WriteError(const char* p, std::size_t left) {
#if defined(_WIN32)
    return ::_write(2, p, static_cast<unsigned int>(left));
#else
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
