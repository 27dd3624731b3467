# Cross build for IBM Z Linux (s390x, big-endian) with Debian's g++-s390x-linux-gnu, run by
# qemu-s390x-static.
set(KORVEX_CROSS_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
