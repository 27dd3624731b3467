# Shared part of the Linux cross toolchains: Debian's cross compiler for KORVEX_CROSS_PROCESSOR
# (set by the file that includes this one). Linked statically, so that qemu-user-static runs the
# programs with no libraries of that architecture installed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${KORVEX_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${KORVEX_CROSS_PROCESSOR}-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER ${KORVEX_CROSS_PROCESSOR}-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${KORVEX_CROSS_PROCESSOR}-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${KORVEX_CROSS_PROCESSOR}-static)
