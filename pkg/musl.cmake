# A static horlet against musl, for containers and hosts without a compiler:
#   cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=pkg/musl.cmake
# It needs Debian's musl-tools and musl-dev.  g++ compiles with libstdc++'s
# headers (horlet uses only their templates: no C++ run-time library is
# linked) over musl's C headers, and links musl's C library alone.
# libstdc++'s configuration asks for glibc's version macro: none here.
set(HORLET_STATIC ON)
set(CMAKE_CXX_COMPILER g++)
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND g++ -print-multiarch OUTPUT_VARIABLE gnu_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND g++ -print-file-name=include OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REPLACE "-linux-gnu" "-linux-musl" musl_arch "${gnu_arch}")
set(musl_specs /usr/lib/${musl_arch}/musl-gcc.specs)
if(NOT EXISTS ${musl_specs})
  message(FATAL_ERROR "the static build needs musl: apt-get install musl-tools musl-dev")
endif()
set(CMAKE_CXX_FLAGS_INIT "-nostdinc -isystem /usr/include/c++/${gcc_version} \
-isystem /usr/include/${gnu_arch}/c++/${gcc_version} -isystem /usr/include/${musl_arch} \
-isystem ${gcc_include} '-D__GLIBC_PREREQ(major,minor)=0' -fno-exceptions -fno-rtti")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-specs=${musl_specs} -static")
# Linked by the C driver, which adds no C++ library: a use of one fails
# the link instead of pulling in a library built for glibc.
set(CMAKE_CXX_LINK_EXECUTABLE
    "gcc <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
