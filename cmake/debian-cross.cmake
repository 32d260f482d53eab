# Cross builds with Debian's cross toolchains against the multiarch -dev packages
# (libavcodec-dev:arm64 and so on), which install beside the build machine's own
# under /usr/lib/<triplet> and share /usr/include. Included by the per-target files,
# which set ZYL_CROSS_TRIPLET, ZYL_CROSS_PROCESSOR and ZYL_CROSS_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ZYL_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${ZYL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZYL_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZYL_CROSS_TRIPLET})

# Only the target's libraries and packages may be found; the build machine's
# programs (pkg-config, ffmpeg for the test streams) stay usable.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH /usr/${ZYL_CROSS_TRIPLET} /)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ZYL_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Tests run under qemu-user. The multiarch C library (libc6:<arch>, which the -dev
# packages bring) puts the target's loader where the programs look for it, so no
# prefix (-L) is needed; with one, qemu 7.2's forked children hang before their first
# system call, and the tests start the programs as children.
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZYL_CROSS_QEMU})
