# The uninstall target: removes the files the last install listed
# (LISTS/install_files.txt), then, deepest first, each directory of
# LISTS/install_dirs.txt that is left empty: horlet's own, and those an
# install created.  A directory that holds anything else stays, and so
# does every one that was there before.  Both lists name DESTDIR.  The
# files' list goes at the end; the directories' stays, for the next
# install adds to it what it creates, and a directory recorded once is
# still one an install created.
if(NOT EXISTS "${LISTS}/install_files.txt")
  message(FATAL_ERROR "nothing to remove: no install from ${LISTS} is recorded")
endif()
file(STRINGS "${LISTS}/install_files.txt" files)
foreach(file IN LISTS files)
  if(EXISTS "${file}" OR IS_SYMLINK "${file}")
    file(REMOVE "${file}")
    message(STATUS "removed ${file}")
  endif()
endforeach()
set(dirs "")
if(EXISTS "${LISTS}/install_dirs.txt")
  file(STRINGS "${LISTS}/install_dirs.txt" dirs)
endif()
foreach(dir IN LISTS dirs)
  if(IS_DIRECTORY "${dir}" AND NOT IS_SYMLINK "${dir}")
    # rmdir(1) removes an empty directory and no other.
    execute_process(COMMAND rmdir -- "${dir}" RESULT_VARIABLE kept ERROR_QUIET)
    if(kept EQUAL 0)
      message(STATUS "removed ${dir}/")
    endif()
  endif()
endforeach()
file(REMOVE "${LISTS}/install_files.txt")
