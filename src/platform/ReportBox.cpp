// Reports as the user-interface library's modal boxes: the shipped Windows libraries.
#include "Platform.h"

namespace ZovPlatform {

void MessageBoxA(void* owner, const char* text, const char* title, unsigned int style) {
    ::MessageBoxA(static_cast<HWND>(owner), text, title, style);
}

} // namespace ZovPlatform
