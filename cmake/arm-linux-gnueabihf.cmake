# Cross build for the panel's 32-bit ARM processor against Debian's multiarch
# libraries (dpkg --add-architecture armhf, then the :armhf -dev packages):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# scripts/cross armhf does it all.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# GCC notes where ARM's argument passing changed in GCC 7.1; everything here is
# built by one compiler, so the notes are noise.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Multiarch headers and libraries live in the machine's own /usr, so the search
# root stays /; programs (pkg-config, the tests' peers) are the machine's own.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# ctest runs the tests under qemu-user. -L / is the multiarch root, where the
# target's loader and libraries are; the cross toolchain's /usr/arm-linux-gnueabihf
# pairs its own loader with the multiarch libc and crashes at start.
find_program(DORALIN_QEMU_ARM qemu-arm)
if(DORALIN_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DORALIN_QEMU_ARM} -L /)
endif()
