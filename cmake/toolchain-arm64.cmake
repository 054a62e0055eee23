# 64-bit ARM (Debian arm64).
set(CROSS_TRIPLET aarch64-linux-gnu)
set(CROSS_DEB_ARCH arm64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
