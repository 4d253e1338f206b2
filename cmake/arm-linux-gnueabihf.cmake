# Cross-build for the sight: 32-bit ARMv7-A with hard float, Debian's arm-linux-gnueabihf
# toolchain, against a sysroot of Debian's armhf libraries (scripts/cross-build makes one).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake -DMRVDC_ARMHF_SYSROOT=DIR ...
#
# MRVDC_ARMHF_TIME64=ON builds with a 64-bit time_t and file offsets, as newer 32-bit images do.
# Programs built here run on a PC under qemu-arm with the sysroot as its library prefix: CTest
# runs the unit tests that way.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(MRVDC_ARMHF_TRIPLE arm-linux-gnueabihf)

if(NOT MRVDC_ARMHF_SYSROOT)
    set(MRVDC_ARMHF_SYSROOT "$ENV{MRVDC_ARMHF_SYSROOT}")
endif()
if(NOT MRVDC_ARMHF_SYSROOT OR NOT EXISTS "${MRVDC_ARMHF_SYSROOT}/usr/include")
    message(FATAL_ERROR "No armhf sysroot at '${MRVDC_ARMHF_SYSROOT}': run scripts/cross-build")
endif()
# try_compile projects configure with this file again and need the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MRVDC_ARMHF_SYSROOT MRVDC_ARMHF_TIME64)

set(CMAKE_C_COMPILER ${MRVDC_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MRVDC_ARMHF_TRIPLE}-g++)
set(CMAKE_SYSROOT "${MRVDC_ARMHF_SYSROOT}")
set(CMAKE_LIBRARY_ARCHITECTURE ${MRVDC_ARMHF_TRIPLE})
# The i.MX6's Cortex-A9: ARMv7-A, VFPv3 with NEON, hard-float calling convention.
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mfpu=neon -mfloat-abi=hard")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mfpu=neon -mfloat-abi=hard")
if(MRVDC_ARMHF_TIME64)
    string(APPEND CMAKE_C_FLAGS_INIT " -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
    string(APPEND CMAKE_CXX_FLAGS_INIT " -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
endif()

set(CMAKE_FIND_ROOT_PATH "${MRVDC_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the sysroot's .pc files only and prefixes their paths with it.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${MRVDC_ARMHF_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${MRVDC_ARMHF_SYSROOT}/usr/lib/${MRVDC_ARMHF_TRIPLE}/pkgconfig:${MRVDC_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# User-mode emulation: absolute paths the program opens (its loader, libraries, GStreamer's
# plug-ins) are looked up in the sysroot first.
find_program(MRVDC_QEMU_ARM qemu-arm)
if(MRVDC_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${MRVDC_QEMU_ARM};-L;${MRVDC_ARMHF_SYSROOT}")
endif()
