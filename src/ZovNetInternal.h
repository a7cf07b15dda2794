// Private to the library: the precondition check, the reports to the user and the record of why a
// call failed.
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

// A report to the application's handler (ZovNet::SetReportHandler), or by default a box (on
// POSIX standard error). Titles: "Warning", "Fatal error".
void ZovNetReport(const char* title, const char* text);

// The line written when a received length field differs from the bytes received: to the handler
// as a "Notice", or by default to standard output.
void ZovNetNotice(const char* line);

// Shows a warning box; the caller then carries on and returns its failure result.
inline void ZovNetWarning(const char* message) {
    ZovNetReport("Warning", message);
}

// Records a failure that the library finds without asking the system (ZovNet::LastError) and
// passes the caller's failure result on: `return ZovNetFail(ZOVNET::ERRCODE_..., -1);`.
template <typename Result> Result ZovNetFail(int code, Result result) {
    sys::SetLibraryError(code);
    return result;
}

// The address texts (ZovAddress.cpp). ParseAddress takes the strict forms of
// ZovNet::StringToAddress and leaves `out` alone when the text is not one of them.
// FormatAddress writes the recommended form with its terminator into `text`, which holds
// ZOVNET::ADDRESS_STRING_SIZE bytes, and returns its length.
bool ParseAddress(const char* text, ZovAddress& out);
unsigned int FormatAddress(const ZovAddress& a, char* text);

#endif // ZOVNET_INTERNAL_H
