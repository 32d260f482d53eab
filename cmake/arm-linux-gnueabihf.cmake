# 32-bit ARM boards with hardware floating point (Debian armhf).
set(ZYL_CROSS_TRIPLET arm-linux-gnueabihf)
set(ZYL_CROSS_PROCESSOR arm)
set(ZYL_CROSS_QEMU qemu-arm)
# GCC notes that passing some structures changed in GCC 7.1; everything here is
# built by one compiler, so the note says nothing.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
