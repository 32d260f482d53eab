# 32-bit ARM boards with hardware floating point (Debian armhf).
set(ZYL_CROSS_TRIPLET arm-linux-gnueabihf)
set(ZYL_CROSS_PROCESSOR arm)
set(ZYL_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
