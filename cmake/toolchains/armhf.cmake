# Debian armhf (32-bit ARM boards, hard float): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(gattrelay_qemu arm)
set(gattrelay_deb_arch armhf)
# GCC notes at every std::map of ours that an ABI detail changed in GCC 7.1; everything here is
# built by one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
