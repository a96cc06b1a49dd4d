# Debian arm64 (64-bit ARM boards): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(gattrelay_qemu aarch64)
set(gattrelay_deb_arch arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
