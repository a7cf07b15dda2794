# The part of the Linux cross toolchain files that every CPU shares; each file sets
# ZOVNET_CROSS_TRIPLE (the compiler's prefix), ZOVNET_CROSS_PACKAGE (Debian's compiler package)
# and ZOVNET_CROSS_QEMU (the user-mode emulator), then includes this.
set(CMAKE_SYSTEM_NAME Linux)

find_program(ZOVNET_CROSS_CXX NAMES ${ZOVNET_CROSS_TRIPLE}-g++)
find_program(ZOVNET_CROSS_CC NAMES ${ZOVNET_CROSS_TRIPLE}-gcc)
if(NOT ZOVNET_CROSS_CXX OR NOT ZOVNET_CROSS_CC)
  message(FATAL_ERROR "${ZOVNET_CROSS_TRIPLE}-g++ not found: install ${ZOVNET_CROSS_PACKAGE}")
endif()
set(CMAKE_CXX_COMPILER ${ZOVNET_CROSS_CXX})
set(CMAKE_C_COMPILER ${ZOVNET_CROSS_CC})

# Libraries, headers and packages come from the target's tree only; build tools from the host.
# GoogleTest is therefore never the host's installed one: it is built from its sources
# (ZOVNET_GTEST_SOURCE_DIR) by this compiler.
set(ZOVNET_CROSS_SYSROOT /usr/${ZOVNET_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${ZOVNET_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs of the build run under user-mode emulation, the target's own dynamic loader and
# libraries taken from its tree. Nothing is registered with the kernel: a program of the target
# runs only when started through the emulator, so the tests that start programs read it from
# ZOVNET_TEST_EMULATOR, which tests/CMakeLists.txt sets from this.
find_program(ZOVNET_CROSS_EMULATOR NAMES ${ZOVNET_CROSS_QEMU})
if(ZOVNET_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZOVNET_CROSS_EMULATOR} -L ${ZOVNET_CROSS_SYSROOT})
else()
  message(WARNING "${ZOVNET_CROSS_QEMU} not found (Debian: qemu-user): the tests build but cannot run")
endif()
