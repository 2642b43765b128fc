# Cross build for the board, 64-bit ARM, with Debian's cross toolchain and
# multiarch libraries (crossbuild-essential-arm64 and the ":arm64" -dev packages;
# scripts/cross-test arm64 installs them).
#
#   cmake -S . -B build/arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QZ_TARGET_TRIPLET aarch64-linux-gnu)
set(QZ_QEMU_NAME qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
