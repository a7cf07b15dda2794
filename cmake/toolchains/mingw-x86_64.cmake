# Cross-compiles for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
#   cmake -S . -B build-mingw-x86_64 --toolchain cmake/toolchains/mingw-x86_64.cmake
# The compiler of the posix thread model is preferred: only it has std::thread in GCC 12, which
# the tests use. The libraries themselves start no threads and do not depend on the model.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ZOVNET_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(ZOVNET_MINGW_CXX NAMES ${ZOVNET_MINGW_TRIPLE}-g++-posix ${ZOVNET_MINGW_TRIPLE}-g++)
find_program(ZOVNET_MINGW_CC NAMES ${ZOVNET_MINGW_TRIPLE}-gcc-posix ${ZOVNET_MINGW_TRIPLE}-gcc)
if(NOT ZOVNET_MINGW_CXX OR NOT ZOVNET_MINGW_CC)
  message(FATAL_ERROR "${ZOVNET_MINGW_TRIPLE}-g++ not found: install g++-mingw-w64-x86-64")
endif()
set(CMAKE_CXX_COMPILER ${ZOVNET_MINGW_CXX})
set(CMAKE_C_COMPILER ${ZOVNET_MINGW_CC})
set(CMAKE_RC_COMPILER ${ZOVNET_MINGW_TRIPLE}-windres)

# Libraries, headers and packages come from the target's tree only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZOVNET_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The posix model's runtime (libwinpthread) is linked in, as the C and C++ runtimes are: the DLLs
# and programs then need no DLL besides the system's own and the library's.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
