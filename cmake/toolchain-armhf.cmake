# Cross build for the controllers (32-bit ARM, hard float, Debian's armhf).
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Uses Debian's cross compiler (crossbuild-essential-armhf) and the armhf
# libraries of the same Debian packages as the native build, installed side by
# side through multiarch (libssl-dev:armhf, libcjson-dev:armhf, ...): headers
# are shared in /usr/include, libraries and pkg-config files live in
# /usr/lib/arm-linux-gnueabihf. No separate sysroot is needed.
#
# Programs built here run on the development machine under Debian's qemu-user:
# CMake puts the emulator in front of every test command that runs a target.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(KV_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE ${KV_CROSS_TRIPLET})
set(CMAKE_C_COMPILER ${KV_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KV_CROSS_TRIPLET}-g++)
set(CMAKE_AR ${KV_CROSS_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KV_CROSS_TRIPLET}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${KV_CROSS_TRIPLET}-strip CACHE FILEPATH "")

# Every function and object in its own section, and the linker drops the ones
# no one calls: the programs on the device carry only the code they use (the
# production test tool links its C++ runtime statically).
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")

# Find target libraries only in the armhf multiarch folders (CMake adds
# lib/<triplet> to every prefix because CMAKE_LIBRARY_ARCHITECTURE is set),
# never the machine's own x86-64 ones; programs (the emulator, python) are the
# host's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# pkg-config reads the armhf .pc files only (Debian 12 ships no
# arm-linux-gnueabihf-pkg-config wrapper without pkgconf's cross files).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KV_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The emulator: Debian's qemu-user. The armhf dynamic loader and libraries are
# installed by multiarch in /lib/ld-linux-armhf.so.3 and /usr/lib/<triplet>,
# where qemu-arm finds them without a -L prefix.
find_program(KV_QEMU_ARM qemu-arm PATHS /usr/bin NO_DEFAULT_PATH)
if(KV_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KV_QEMU_ARM})
endif()
