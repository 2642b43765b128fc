# Cross build for the board, 32-bit ARM (hard float), with Debian's cross toolchain and
# multiarch libraries (crossbuild-essential-armhf and the ":armhf" -dev packages;
# scripts/cross-test armhf installs them).
#
#   cmake -S . -B build/armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QZ_TARGET_TRIPLET arm-linux-gnueabihf)
set(QZ_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
