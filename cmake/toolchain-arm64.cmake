# Cross build for arm64 (aarch64-linux-gnu) with Debian's cross compiler and the multiarch
# development packages (libtinyxml-dev:arm64, libinotifytools0-dev:arm64, libgtest-dev:arm64).
# scripts/setup-cross.sh installs them and registers qemu-user for running the results.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch: the target's headers and libraries live beside the build machine's, under
# /usr/include/aarch64-linux-gnu and /usr/lib/aarch64-linux-gnu; pkg-config must look only there.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Tests run the target's binaries under qemu-user. With qemu's binfmt entries registered the
# kernel does that by itself; the emulator named here covers test discovery either way.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
