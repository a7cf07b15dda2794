# The part of the mingw-w64 toolchain files that both widths share; each file sets
# ZOVNET_MINGW_TRIPLE and ZOVNET_MINGW_PACKAGE, then includes this.
find_program(ZOVNET_MINGW_CXX NAMES ${ZOVNET_MINGW_TRIPLE}-g++-posix ${ZOVNET_MINGW_TRIPLE}-g++)
find_program(ZOVNET_MINGW_CC NAMES ${ZOVNET_MINGW_TRIPLE}-gcc-posix ${ZOVNET_MINGW_TRIPLE}-gcc)
if(NOT ZOVNET_MINGW_CXX OR NOT ZOVNET_MINGW_CC)
  message(FATAL_ERROR "${ZOVNET_MINGW_TRIPLE}-g++ not found: install g++-mingw-w64-${ZOVNET_MINGW_PACKAGE}")
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
