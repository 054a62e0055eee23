# Cross build with Debian's cross compiler for CROSS_TRIPLET and the multiarch development
# packages of Debian architecture CROSS_DEB_ARCH; the toolchain files set both and include this.
# scripts/setup-cross.sh installs the packages and registers qemu-user for running the results.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLET}-g++)

# Multiarch: the target's headers and libraries live beside the build machine's, under
# /usr/include/<triplet> and /usr/lib/<triplet>; pkg-config must look only there.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Tests run the target's binaries under qemu-user. With qemu's binfmt entries registered the
# kernel does that by itself; the emulator named here covers test discovery either way.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR}-static)

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CROSS_DEB_ARCH})
