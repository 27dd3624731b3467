# Cross build for 64-bit ARM Linux (NEON) with Debian's g++-aarch64-linux-gnu, run by qemu-aarch64-static.
set(KORVEX_CROSS_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
