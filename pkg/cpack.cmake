# Read by cpack for each package it makes.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT DPKG_SHLIBDEPS)
    message(FATAL_ERROR "the Debian package needs dpkg-shlibdeps to find its dependencies: "
                        "apt-get install dpkg-dev")
  endif()
endif()
if(CPACK_GENERATOR STREQUAL "TGZ")
  message(FATAL_ERROR "the source release is made from git's tracked files: sh pkg/release.sh")
endif()
