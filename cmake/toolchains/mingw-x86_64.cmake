# Cross-compiles for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
#   cmake -S . -B build-mingw-x86_64 --toolchain cmake/toolchains/mingw-x86_64.cmake
# The compiler of the posix thread model is preferred: only it has std::thread in GCC 12, which
# the tests use. The libraries themselves start no threads and do not depend on the model.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ZOVNET_MINGW_TRIPLE x86_64-w64-mingw32)
set(ZOVNET_MINGW_PACKAGE x86-64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
