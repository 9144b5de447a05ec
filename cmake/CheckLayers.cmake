# The layering test: every source under src/<folder>/ may include headers of its
# own folder and of the folders before it in LAYERS (bottom first), never of a
# folder after it. The tools are held to what they may link: the client library
# to core and wire; keldorctl and keldor-web to core, wire and the client
# library (whose headers they include without a folder); mkinstall to core and
# the RFA archive format.
#   cmake -DSOURCE_DIR=... -DLAYERS="core;wire;..." -P CheckLayers.cmake
cmake_minimum_required(VERSION 3.22)

set(failures 0)

# Checks one file against the list of folders it may include from.
function(check_file file allowed allowed_headers)
  file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[a-z_]+/[^\"]+\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([a-z_]+)/([^\"]+)\".*$" "\\1" folder "${line}")
    string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" header "${line}")
    if(NOT folder IN_LIST allowed AND NOT header IN_LIST allowed_headers)
      file(RELATIVE_PATH shown ${SOURCE_DIR} ${file})
      message("${shown} includes ${header}, which is above it")
      math(EXPR count "${failures} + 1")
      set(failures ${count} PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

set(allowed "")
foreach(layer IN LISTS LAYERS)
  list(APPEND allowed ${layer})
  file(GLOB files ${SOURCE_DIR}/src/${layer}/*.h ${SOURCE_DIR}/src/${layer}/*.cpp)
  foreach(file IN LISTS files)
    check_file(${file} "${allowed}" "")
  endforeach()
endforeach()

# Every folder under src/ must have its place in the order.
file(GLOB folders LIST_DIRECTORIES true ${SOURCE_DIR}/src/*)
foreach(folder IN LISTS folders)
  get_filename_component(name ${folder} NAME)
  if(IS_DIRECTORY ${folder} AND NOT name IN_LIST LAYERS)
    message("src/${name} has no place in the layer order")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()

foreach(tool client keldorctl keldor-web)
  file(GLOB files ${SOURCE_DIR}/tools/${tool}/*.h ${SOURCE_DIR}/tools/${tool}/*.cpp)
  foreach(file IN LISTS files)
    check_file(${file} "core;wire" "")
  endforeach()
endforeach()
file(GLOB files ${SOURCE_DIR}/tools/mkinstall/*.h ${SOURCE_DIR}/tools/mkinstall/*.cpp)
foreach(file IN LISTS files)
  check_file(${file} "core;mkinstall" "maps/rfa_writer.h;maps/archive_io.h;maps/archive.h")
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} include(s) against the layering")
endif()
message("Layering holds")
