# Cross build for 64-bit Arm.
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake
#
# By default: Debian's cross compiler (g++-aarch64-linux-gnu) and the arm64
# libraries installed next to the host's through multiarch
# (dpkg --add-architecture arm64; apt-get install libpugixml-dev:arm64 ...),
# so the target's root is the host's own "/" and its libraries live in
# /usr/lib/aarch64-linux-gnu. Test programs run under qemu-aarch64 when it is
# installed (scripts/test-arm64.sh sets all of this up).
#
# Another compiler for the same processor, such as an Android NDK's clang++:
#   -DCMAKE_CXX_COMPILER=<ndk>/toolchains/llvm/prebuilt/linux-x86_64/bin/aarch64-linux-android<api>-clang++
#   -DCMAKE_FIND_ROOT_PATH=<prefix holding the target's pugixml>
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
endif()
if(CMAKE_CXX_COMPILER MATCHES "aarch64-linux-gnu-[^/]*$")
  # Debian's multiarch directories: find_package looks in lib/aarch64-linux-gnu.
  set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
  # pkg-config would otherwise hand out the host's .pc files, whose libraries
  # the cross linker cannot take.
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
endif()

# Programs run on the build machine; libraries, headers and packages come from
# the target's root when one is given.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
if(CMAKE_FIND_ROOT_PATH OR CMAKE_SYSROOT)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()

# ctest and gtest_discover_tests run the test programs through the emulator.
# The multiarch root holds the arm64 dynamic loader at its usual path, so qemu
# needs no prefix; the programs those tests start in turn (the tools, the test
# program itself) are run by the kernel through qemu's binfmt_misc entry.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(ZEB_QEMU_AARCH64 qemu-aarch64)
  if(ZEB_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEB_QEMU_AARCH64})
  endif()
endif()
