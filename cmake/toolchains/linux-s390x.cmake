# Cross-compiles for 64-bit big-endian IBM Z (Debian: g++-s390x-linux-gnu); the tests run under
# qemu-s390x (Debian: qemu-user).
#   cmake -S . -B build-s390x --toolchain cmake/toolchains/linux-s390x.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(ZOVNET_CROSS_TRIPLE s390x-linux-gnu)
set(ZOVNET_CROSS_PACKAGE g++-s390x-linux-gnu)
set(ZOVNET_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
