# simdjson for a cross build (debian-cross.cmake): the target architecture's shared library, by
# its soname, with the header of the build machine's libsimdjson-dev.
file(GLOB simdjson_libraries /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libsimdjson.so.*)
if(NOT simdjson_libraries OR NOT EXISTS /usr/include/simdjson.h)
  set(simdjson_FOUND FALSE)
  set(simdjson_NOT_FOUND_MESSAGE
      "needs libsimdjson14:ARCH and the build machine's libsimdjson-dev (scripts/setup --arch ARCH)")
  return()
endif()
# libsimdjson.so.N sorts before the file it links to, libsimdjson.so.N.M.P.
list(SORT simdjson_libraries)
list(GET simdjson_libraries 0 simdjson_library)
add_library(simdjson::simdjson SHARED IMPORTED)
set_target_properties(simdjson::simdjson PROPERTIES IMPORTED_LOCATION ${simdjson_library})
