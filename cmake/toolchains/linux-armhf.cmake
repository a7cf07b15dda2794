# Cross-compiles for 32-bit ARM, hard-float ABI (Debian: g++-arm-linux-gnueabihf): pointers, long
# and size_t 32 bits wide. The tests run under qemu-arm (Debian: qemu-user).
#   cmake -S . -B build-armhf --toolchain cmake/toolchains/linux-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ZOVNET_CROSS_TRIPLE arm-linux-gnueabihf)
set(ZOVNET_CROSS_PACKAGE g++-arm-linux-gnueabihf)
set(ZOVNET_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
