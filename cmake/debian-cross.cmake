# Cross-compiles for another Debian architecture, WAYLOOM_CROSS_ARCH (arm64 or
# armhf), with Debian's cross tool chain and that architecture's multiarch
# libraries (tools/install-deps.sh cross ARCH). PostgreSQL's headers come
# from the folder tools/cross-sysroot.sh unpacks (WAYLOOM_CROSS_SYSROOT, by
# default build/cross-sysroot/ARCH of this checkout). Test programs run under
# qemu-user with this machine's root as the board's: the multiarch libraries
# of that architecture are installed there (the cross tool chain's own copies
# of the C library in /usr/TRIPLET hang threaded programs under qemu-user).
if(NOT WAYLOOM_CROSS_ARCH)
  set(WAYLOOM_CROSS_ARCH "$ENV{WAYLOOM_CROSS_ARCH}")
endif()
if(WAYLOOM_CROSS_ARCH STREQUAL "arm64")
  set(triplet aarch64-linux-gnu)
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(qemu qemu-aarch64)
elseif(WAYLOOM_CROSS_ARCH STREQUAL "armhf")
  set(triplet arm-linux-gnueabihf)
  set(CMAKE_SYSTEM_PROCESSOR arm)
  set(qemu qemu-arm)
else()
  message(FATAL_ERROR "WAYLOOM_CROSS_ARCH must be arm64 or armhf, not '${WAYLOOM_CROSS_ARCH}'")
endif()
# try_compile runs this file again in a project of its own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WAYLOOM_CROSS_ARCH WAYLOOM_CROSS_SYSROOT)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(PKG_CONFIG_EXECUTABLE /usr/bin/${triplet}-pkg-config CACHE FILEPATH "")
set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu} -L /)

if(NOT WAYLOOM_CROSS_SYSROOT)
  get_filename_component(WAYLOOM_CROSS_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/cross-sysroot/${WAYLOOM_CROSS_ARCH}"
    ABSOLUTE)
endif()
set(PostgreSQL_INCLUDE_DIR "${WAYLOOM_CROSS_SYSROOT}/usr/include/postgresql" CACHE PATH "")
set(PostgreSQL_LIBRARY "/usr/lib/${triplet}/libpq.so.5" CACHE FILEPATH "")
