# 32-bit ARM with hardware floating point (Debian armhf).
set(CROSS_TRIPLET arm-linux-gnueabihf)
set(CROSS_DEB_ARCH armhf)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
