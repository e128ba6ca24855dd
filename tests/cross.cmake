# Cross-builds for ARM with Debian's cross compilers, and runs what it
# builds under qemu-user:
#   cmake -DCMAKE_TOOLCHAIN_FILE=tests/cross.cmake -DHORLET_TARGET=T
# T is aarch64 (g++-aarch64-linux-gnu) or armv7 (g++-arm-linux-gnueabihf,
# hard float).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HORLET_TARGET)
if(HORLET_TARGET STREQUAL "aarch64")
  set(gnu_arch aarch64-linux-gnu)
  set(qemu qemu-aarch64)
elseif(HORLET_TARGET STREQUAL "armv7")
  set(gnu_arch arm-linux-gnueabihf)
  set(qemu qemu-arm)
else()
  message(FATAL_ERROR "HORLET_TARGET is aarch64 or armv7, not '${HORLET_TARGET}'")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${HORLET_TARGET})
set(CMAKE_CXX_COMPILER ${gnu_arch}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu} -L /usr/${gnu_arch})
# The cross tool chain's own files, and that architecture's libraries
# installed beside the native ones (Debian's multiarch).
set(CMAKE_FIND_ROOT_PATH /usr/${gnu_arch} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
