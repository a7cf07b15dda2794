# Cross-compiles for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686).
#   cmake -S . -B build-mingw-i686 --toolchain cmake/toolchains/mingw-i686.cmake
# The compiler of the posix thread model is preferred: only it has std::thread in GCC 12, which
# the tests use. The libraries themselves start no threads and do not depend on the model.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ZOVNET_MINGW_TRIPLE i686-w64-mingw32)
set(ZOVNET_MINGW_PACKAGE i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
