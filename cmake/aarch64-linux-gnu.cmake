# 64-bit ARM boards (Debian arm64).
set(ZYL_CROSS_TRIPLET aarch64-linux-gnu)
set(ZYL_CROSS_PROCESSOR aarch64)
set(ZYL_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
