# Fails the build when an include breaks the layering the compiler cannot check by itself:
#  - a backend header (src/platform/posix/, src/platform/windows/) is reached from outside its
#    own folder, by its path or, from a header or from code above platform/, by its bare name;
#    platform/SystemTraits.h names the chosen backend's traits for everyone else;
#  - a file in src/formats/ includes anything but formats/ (the formats make no system call).
# Run as: cmake -DSOURCE_DIR=<source folder> -P CheckIncludes.cmake
cmake_minimum_required(VERSION 3.25)

set(src ${SOURCE_DIR}/src)
set(backends posix windows)

set(backend_headers)
foreach(backend IN LISTS backends)
  file(GLOB names RELATIVE ${src}/platform/${backend} ${src}/platform/${backend}/*.h)
  list(APPEND backend_headers ${names})
endforeach()
list(REMOVE_DUPLICATES backend_headers)

file(GLOB_RECURSE files ${src}/*.h ${src}/*.cpp ${SOURCE_DIR}/tools/*.h ${SOURCE_DIR}/tools/*.cpp)
set(faults)
foreach(file IN LISTS files)
  file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
  if(name MATCHES "^src/platform/(posix|windows)/")
    continue()
  endif()
  file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" included "${line}")
    if(included MATCHES "^platform/(posix|windows)/")
      list(APPEND faults "${name}: includes the backend header ${included}")
    elseif(included IN_LIST backend_headers AND (name MATCHES "\\.h$" OR NOT name MATCHES "^src/platform/"))
      list(APPEND faults "${name}: includes the backend header ${included} by its bare name")
    endif()
    if(name MATCHES "^src/formats/" AND NOT included MATCHES "^formats/")
      list(APPEND faults "${name}: a format includes ${included}, outside formats/")
    endif()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "Include rules broken:\n  ${text}")
endif()
