// Why a call failed (ZovNet::LastError, ZovNet::ErrorText) and where the library's reports go
// (ZovNet::SetReportHandler).
#include "ZovNet.h"
#include "ZovNetInternal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

// --------------------------------------------------------------------------------------------
// Error codes
// --------------------------------------------------------------------------------------------

int ZovNet::LastError() {
    return sys::LibraryError();
}

const char* ZovNet::ErrorText(int code) {
    // The codes of Windows Sockets by number, so that every system gives the same text.
    switch (code) {
    case 0:
        return "no error";
    case 10004:
        return "interrupted by a signal";
    case 10009:
        return "bad descriptor";
    case 10013:
        return "permission denied";
    case 10014:
        return "bad address (null pointer)";
    case 10022:
        return "invalid argument";
    case 10024:
        return "too many open sockets";
    case 10035:
        return "operation would block";
    case 10036:
        return "operation in progress";
    case 10037:
        return "operation already in progress";
    case 10038:
        return "not a socket";
    case 10039:
        return "destination address required";
    case 10040:
        return "message too long";
    case 10041:
        return "wrong protocol type for socket";
    case 10042:
        return "bad protocol option";
    case 10043:
        return "protocol not supported";
    case 10044:
        return "socket type not supported";
    case 10045:
        return "operation not supported";
    case 10046:
        return "protocol family not supported";
    case 10047:
        return "address family not supported";
    case 10048:
        return "address already in use";
    case 10049:
        return "address not available";
    case 10050:
        return "network is down";
    case 10051:
        return "network unreachable";
    case 10052:
        return "network dropped connection on reset";
    case 10053:
        return "connection aborted";
    case 10054:
        return "connection reset by peer";
    case 10055:
        return "no buffer space available";
    case 10056:
        return "socket is already connected";
    case 10057:
        return "socket is not connected";
    case 10058:
        return "socket has been shut down";
    case 10060:
        return "timed out";
    case 10061:
        return "connection refused";
    case 10064:
        return "host is down";
    case 10065:
        return "no route to host";
    case 10067:
        return "too many processes";
    case 10091:
        return "network subsystem unavailable";
    case 10092:
        return "socket system version not supported";
    case 10093:
        return "network layer not started";
    case 10101:
        return "connection closed by peer";
    case 11001:
        return "host not found";
    case 11002:
        return "name server temporarily unavailable, try again";
    case 11003:
        return "name server failure";
    case 11004:
        return "name has no address";
    default:
        return "unknown error";
    }
}

// --------------------------------------------------------------------------------------------
// Reports
// --------------------------------------------------------------------------------------------

namespace {

// Process-wide, set and read from any thread.
std::atomic<ZovNet::ReportHandler> g_handler{nullptr};

// A report raised inside the handler on the same thread must not call the handler again.
thread_local bool t_inHandler = false;

// The handler of a report that begins now, or null for the default output.
ZovNet::ReportHandler Handler() {
    // The handler first: without one, the default report touches no thread-local storage (on
    // Windows its lookup can reset the system's last error).
    const ZovNet::ReportHandler handler = g_handler.load(std::memory_order_acquire);
    return handler != nullptr && !t_inHandler ? handler : nullptr;
}

void CallHandler(ZovNet::ReportHandler handler, const char* title, const char* text) {
    // The failing call returns after the report: what the handler does must not change why it
    // failed.
    const int error = sys::LibraryError();
    t_inHandler = true;
    handler(title, text);
    t_inHandler = false;
    sys::SetLibraryError(error);
}

} // namespace

void ZovNet::SetReportHandler(ReportHandler handler) {
    g_handler.store(handler, std::memory_order_release);
}

void ZovNetReport(const char* title, const char* text) {
    if (ZovNet::ReportHandler handler = Handler())
        CallHandler(handler, title, text);
    else
        sys::MessageBoxA(nullptr, text, title, MB_ICONWARNING);
}

void ZovNetNotice(const char* line) {
    if (ZovNet::ReportHandler handler = Handler())
        CallHandler(handler, "Notice", line);
    else
        sys::PrintOut("%s", line);
}

void ZovNetFatal(const char* expression, const char* file, int line) {
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, "%s\n\nFile: %s\nLine: %d", expression, file, line);
    ZovNetReport("Fatal error", buffer);
    std::exit(1);
}
