# Cross build for armhf (arm-linux-gnueabihf) with Debian's cross compiler and the multiarch
# development packages (libtinyxml-dev:armhf, libinotifytools0-dev:armhf, libgtest-dev:armhf).
# scripts/setup-cross.sh installs them and registers qemu-user for running the results.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Multiarch: the target's headers and libraries live beside the build machine's, under
# /usr/include/arm-linux-gnueabihf and /usr/lib/arm-linux-gnueabihf; pkg-config must look only there.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Tests run the target's binaries under qemu-user. With qemu's binfmt entries registered the
# kernel does that by itself; the emulator named here covers test discovery either way.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
