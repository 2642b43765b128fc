# Cross build for the board, 64-bit ARM, with Debian's cross toolchain and
# multiarch libraries (crossbuild-essential-arm64 and the ":arm64" -dev packages;
# scripts/cross-test arm64 installs them).
#
#   cmake -S . -B build/arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QZ_TARGET_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${QZ_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QZ_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QZ_TARGET_TRIPLET})

# The multiarch libraries live under /usr/lib/${QZ_TARGET_TRIPLET} of the host's
# own root, so "/" belongs to the search roots (GoogleTest's CMake package and
# the libraries that pkg-config names are found only there).
set(CMAKE_FIND_ROOT_PATH /usr/${QZ_TARGET_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's .pc files, not the host's.
set(PKG_CONFIG_EXECUTABLE ${QZ_TARGET_TRIPLET}-pkg-config)

# Tests (and gtest_discover_tests) run the target's programs through qemu-user.
# No -L or QEMU_LD_PREFIX: the target's loader and libraries come from the
# multiarch paths; a second copy under /usr/${QZ_TARGET_TRIPLET} would mix
# loaders and crash every program that starts a thread.
find_program(QZ_QEMU qemu-aarch64)
if(QZ_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QZ_QEMU})
endif()
