# A static horlet against musl, for containers and hosts without a compiler:
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=pkg/musl.cmake [-DHORLET_TARGET=T]
# T is x86_64 (the default), aarch64 or armv7 (hard float).  It needs
# Debian's musl-dev for that architecture (musl-dev:arm64, musl-dev:armhf)
# and, for ARM, the cross compiler (g++-aarch64-linux-gnu,
# g++-arm-linux-gnueabihf).  g++ compiles with libstdc++'s headers (horlet
# uses only their templates: no C++ run-time library is linked) over
# musl's C headers, and links musl's C library alone, through link specs
# made here, since Debian ships musl's specs for the native architecture
# only.
set(HORLET_STATIC ON)
if(NOT HORLET_TARGET)
  set(HORLET_TARGET x86_64)
endif()
# The checks cmake compiles see the same target.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HORLET_TARGET)

# Each target: the compiler's prefix, its GNU triplet and musl's.
if(HORLET_TARGET STREQUAL "x86_64")
  set(prefix "")
  set(gnu_arch x86_64-linux-gnu)
  set(musl_arch x86_64-linux-musl)
elseif(HORLET_TARGET STREQUAL "aarch64")
  set(prefix aarch64-linux-gnu-)
  set(gnu_arch aarch64-linux-gnu)
  set(musl_arch aarch64-linux-musl)
elseif(HORLET_TARGET STREQUAL "armv7")
  set(prefix arm-linux-gnueabihf-)
  set(gnu_arch arm-linux-gnueabihf)
  set(musl_arch arm-linux-musleabihf)
else()
  message(FATAL_ERROR "HORLET_TARGET is x86_64, aarch64 or armv7, not ${HORLET_TARGET}")
endif()
if(NOT HORLET_TARGET STREQUAL "x86_64")
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${HORLET_TARGET})
endif()
set(CMAKE_CXX_COMPILER ${prefix}g++)

set(musl_lib /usr/lib/${musl_arch})
if(NOT EXISTS ${musl_lib}/libc.a)
  message(FATAL_ERROR "the static build for ${HORLET_TARGET} needs musl: apt-get install musl-dev (musl-dev:arm64 or musl-dev:armhf for ARM, after dpkg --add-architecture)")
endif()
execute_process(COMMAND ${prefix}g++ -dumpversion OUTPUT_VARIABLE gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${prefix}g++ -print-file-name=include OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
if(prefix STREQUAL "")
  set(cxx_include /usr/include/c++/${gcc_version} /usr/include/${gnu_arch}/c++/${gcc_version})
else()
  set(cxx_include /usr/${gnu_arch}/include/c++/${gcc_version}
                  /usr/${gnu_arch}/include/c++/${gcc_version}/${gnu_arch})
endif()
list(TRANSFORM cxx_include PREPEND "-isystem ")
list(JOIN cxx_include " " cxx_include)

# musl's start files and library in place of the C library the compiler
# was built for.
set(specs ${CMAKE_BINARY_DIR}/musl-${HORLET_TARGET}.specs)
file(WRITE ${specs} "*link_libgcc:
-L${musl_lib} -L .%s

*libgcc:
libgcc.a%s %:if-exists(libgcc_eh.a%s)

*startfile:
${musl_lib}/Scrt1.o ${musl_lib}/crti.o crtbeginS.o%s

*endfile:
crtendS.o%s ${musl_lib}/crtn.o

*link:
-nostdlib -static
")
# libstdc++'s configuration asks for glibc's version macro: none here.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc ${cxx_include} -isystem /usr/include/${musl_arch} \
-isystem ${gcc_include} '-D__GLIBC_PREREQ(major,minor)=0' -fno-exceptions -fno-rtti")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-specs=${specs} -static")
# Linked by the C driver, which adds no C++ library: a use of one fails
# the link instead of pulling in a library built for glibc.
set(CMAKE_CXX_LINK_EXECUTABLE
    "${prefix}gcc <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
