// Private to the library: the precondition check and the two reports to the user.
#ifndef ZOVNET_INTERNAL_H
#define ZOVNET_INTERNAL_H

#include "platform/Platform.h"

// Shows the "Fatal error" box for a failed check and ends the process with status 1.
[[noreturn]] void ZovNetFatal(const char* expression, const char* file, int line);

// The debug library checks preconditions; the release library compiles the check out without
// evaluating the expression, so every checked expression must be free of side effects.
#if defined(ZOVNET_DEBUG)
#define ZOVNET_ASSERT(expression)                                                                  \
    ((expression) ? static_cast<void>(0) : ZovNetFatal(#expression, __FILE__, __LINE__))
#else
#define ZOVNET_ASSERT(expression) static_cast<void>(0)
#endif

// Shows a warning box; the caller then carries on and returns its failure result.
inline void ZovNetWarning(const char* message) {
    sys::MessageBoxA(nullptr, message, "Warning", MB_ICONWARNING);
}

#endif // ZOVNET_INTERNAL_H
