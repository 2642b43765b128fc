# What both board toolchains share; the toolchain file sets
# CMAKE_SYSTEM_PROCESSOR, QZ_TARGET_TRIPLET and QZ_QEMU_NAME, then includes this.
set(CMAKE_SYSTEM_NAME Linux)

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
find_program(QZ_QEMU ${QZ_QEMU_NAME})
if(QZ_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QZ_QEMU})
endif()
