# Cross build for the board's architecture: ARMv5TE, little-endian, 32-bit,
# soft float (Debian's armel), with the armel libraries installed through
# multiarch (/usr/lib/arm-linux-gnueabi).
#
#   cmake -S . -B build/armel -DCMAKE_TOOLCHAIN_FILE=board/toolchain-armel.cmake
#
# The compiler is clang for the target arm-linux-gnueabi, on Debian's armel
# cross files (libstdc++, libgcc and C library of the *-armel-cross packages,
# binutils-arm-linux-gnueabi). Debian's g++-arm-linux-gnueabi would do the same,
# but it cannot be installed beside g++-multilib, which the 32-bit irtx tests
# need. An integrator with the board's own toolchain keeps this file's pattern:
# VELMAR_CROSS_PREFIX names its GCC ("arm-none-linux-gnueabi-") and
# VELMAR_CROSS_SYSROOT the board's libraries and headers.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(VELMAR_CROSS_TRIPLE arm-linux-gnueabi)
set(VELMAR_CROSS_PREFIX "" CACHE STRING "Name prefix of a GCC cross toolchain (empty: clang)")
set(VELMAR_CROSS_SYSROOT "" CACHE PATH "Root of the board's libraries and headers (empty: Debian multiarch)")
set(VELMAR_CROSS_ARCH_FLAGS "-march=armv5te -mfloat-abi=soft" CACHE STRING "Code generation for the board's CPU")

if(VELMAR_CROSS_PREFIX)
  set(CMAKE_C_COMPILER ${VELMAR_CROSS_PREFIX}gcc)
  set(CMAKE_CXX_COMPILER ${VELMAR_CROSS_PREFIX}g++)
else()
  set(CMAKE_C_COMPILER clang)
  set(CMAKE_CXX_COMPILER clang++)
  set(CMAKE_C_COMPILER_TARGET ${VELMAR_CROSS_TRIPLE})
  set(CMAKE_CXX_COMPILER_TARGET ${VELMAR_CROSS_TRIPLE})
endif()
set(CMAKE_C_FLAGS_INIT "${VELMAR_CROSS_ARCH_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${VELMAR_CROSS_ARCH_FLAGS}")

if(VELMAR_CROSS_SYSROOT)
  set(CMAKE_SYSROOT ${VELMAR_CROSS_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH ${VELMAR_CROSS_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${VELMAR_CROSS_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR} "${VELMAR_CROSS_SYSROOT}/usr/lib/pkgconfig:${VELMAR_CROSS_SYSROOT}/usr/share/pkgconfig")
else()
  # Debian multiarch: find_library and find_package look in the armel
  # directories (/usr/lib/arm-linux-gnueabi, its cmake/ folder), pkg-config
  # only there, never at this machine's own libraries.
  set(CMAKE_LIBRARY_ARCHITECTURE ${VELMAR_CROSS_TRIPLE})
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabi/pkgconfig:/usr/share/pkgconfig")
endif()

# Tests built for the board run on this machine under user-mode QEMU as the
# board's core (ARM926EJ-S), so nothing newer than ARMv5TE slips in; the
# multiarch loader and libraries are found under "/" (the default).
find_program(VELMAR_QEMU_ARM qemu-arm)
if(VELMAR_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMAR_QEMU_ARM} -cpu arm926)
endif()
