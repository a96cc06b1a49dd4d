# A cross build for a Debian architecture with Debian's cross compiler and the architecture's
# multiarch packages, which `scripts/setup --arch ARCH` installs; no sysroot of our own. The file
# that includes this one sets CMAKE_LIBRARY_ARCHITECTURE (the GNU triplet), CMAKE_SYSTEM_PROCESSOR,
# gattrelay_qemu (the qemu-user name of the architecture) and gattrelay_deb_arch (Debian's name).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${CMAKE_LIBRARY_ARCHITECTURE}-g++)
# The target's pkg-config files (libsystemd, libmosquitto), not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:/usr/share/pkgconfig)
# Debian's libsimdjson-dev cannot be installed for two architectures at once; simdjson.h is the
# same file in every architecture's package, so the build machine's serves, with the target's
# library from libsimdjson14:ARCH.
set(simdjson_DIR ${CMAKE_CURRENT_LIST_DIR}/simdjson)
# The tests run under qemu-user, named explicitly (the machine may have no binfmt handler), with
# the root of the architecture's multiarch libraries (libc6:ARCH and the others installed with it).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${gattrelay_qemu}-static -L /)
