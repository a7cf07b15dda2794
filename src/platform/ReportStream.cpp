// Reports on standard error for the Windows libraries built for the tests, in place of the box
// (ReportBox.cpp) of the shipped ones; the same form as on POSIX.
#include "ReportStream.h"
#include "Platform.h"

namespace ZovPlatform {

void MessageBoxA(void*, const char* text, const char* title, unsigned int) {
    detail::WriteReport(text, title);
}

} // namespace ZovPlatform
