# Run by CPack on the staged files before it makes a package: the .deb gets
# its manual page compressed, as Debian policy asks.
if(CPACK_GENERATOR STREQUAL "DEB")
  file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.1")
  foreach(page IN LISTS pages)
    execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "could not compress ${page}")
    endif()
  endforeach()
endif()
