# Copies the files of the folder FROM into the folder TO (subfolders too) where
# TO has no file of that name yet: a file the user or the program wrote there
# stays as it is.
#   cmake -DFROM=<folder> -DTO=<folder> -P CopyMissingFiles.cmake
if(NOT FROM OR NOT TO)
  message(FATAL_ERROR "CopyMissingFiles: FROM and TO are needed")
endif()
file(GLOB_RECURSE shipped RELATIVE "${FROM}" "${FROM}/*")
foreach(name IN LISTS shipped)
  if(NOT EXISTS "${TO}/${name}" AND NOT IS_SYMLINK "${TO}/${name}")
    get_filename_component(dir "${TO}/${name}" DIRECTORY)
    file(MAKE_DIRECTORY "${dir}")
    file(COPY "${FROM}/${name}" DESTINATION "${dir}")
    message(STATUS "Program folder: ${name} added")
  endif()
endforeach()
