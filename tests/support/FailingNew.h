// Allocation failure on demand. Include this in exactly one source file of a test program: the
// definition below replaces the runtime's nothrow allocation for the whole process, the library's
// included where the library shares the program's runtime (a Windows DLL has its own).
#ifndef ZOVNET_TEST_FAILING_NEW_H
#define ZOVNET_TEST_FAILING_NEW_H

#include <atomic>
#include <cstddef>
#include <new>

namespace zovtest {

// While true, every nothrow allocation fails; otherwise it behaves as the runtime's own.
inline std::atomic<bool> g_failNothrowNew{false};

} // namespace zovtest

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (zovtest::g_failNothrowNew)
        return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

#endif // ZOVNET_TEST_FAILING_NEW_H
