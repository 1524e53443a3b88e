# The include-boundary check, run as the test build.include_boundaries:
#   cmake -DROOT=<repository> -DGRAPH=<build>/include_graph.cmake \
#         [-DPLANT=<file> -DPLANT_AS=<path>] -P cmake/check_includes.cmake
# Reads every C and C++ file under platform/, vornic/, trasmo/ and tests/ and
# checks each quoted include against cmake/public_headers.cmake (which headers
# a folder offers the others) and GRAPH (which libraries each folder links,
# written at configure time by cmake/include_graph.cmake). PLANT adds one more
# file, checked as if it stood at PLANT_AS; the test that proves the check
# fails uses it.
cmake_minimum_required(VERSION 3.25)
foreach(var ROOT GRAPH)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_includes: pass -D${var}=...")
  endif()
endforeach()
include(${GRAPH})

set(public)
set(debts)
set(problems)
macro(vornic_public_header header target)
  list(APPEND public ${header})
  set("provider_${header}" ${target})
  if(NOT EXISTS ${ROOT}/${header})
    list(APPEND problems "cmake/public_headers.cmake declares ${header}, which does not exist")
  endif()
  if(NOT "${target}" IN_LIST VORNIC_TARGETS)
    list(APPEND problems "cmake/public_headers.cmake names ${target} for ${header}; no such target")
  endif()
endmacro()
macro(vornic_include_debt folder arrow header)
  list(APPEND debts "${folder}|${header}")
endmacro()
include(${ROOT}/cmake/public_headers.cmake)

# The library folder <path> lies in (the longest one that holds it), or "".
function(folder_of out path)
  set(best "")
  foreach(folder IN LISTS VORNIC_LIBRARY_FOLDERS)
    string(LENGTH "${folder}" len)
    string(LENGTH "${best}" best_len)
    if(path MATCHES "^${folder}/" AND len GREATER best_len)
      set(best ${folder})
    endif()
  endforeach()
  set(${out} "${best}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE files RELATIVE ${ROOT} LIST_DIRECTORIES false
     ${ROOT}/platform/*.h ${ROOT}/platform/*.cpp ${ROOT}/platform/*.c
     ${ROOT}/vornic/*.h ${ROOT}/vornic/*.cpp ${ROOT}/vornic/*.c
     ${ROOT}/trasmo/*.h ${ROOT}/trasmo/*.cpp ${ROOT}/trasmo/*.c
     ${ROOT}/tests/*.h ${ROOT}/tests/*.cpp ${ROOT}/tests/*.c)
if(DEFINED PLANT)
  list(APPEND files ${PLANT_AS})
  set("source_${PLANT_AS}" ${PLANT})
endif()

foreach(file IN LISTS files)
  if(DEFINED "source_${file}")
    set(source "${source_${file}}")
  else()
    set(source ${ROOT}/${file})
  endif()
  get_filename_component(dir ${file} DIRECTORY)
  # Tests of folder X live in tests/X (and below it) and may reach X's own
  # headers and those of X's sub-folders; their link lines are their own
  # targets', where the folder builds any (fuzz folders are built apart).
  if(file MATCHES "^tests/(.*)$")
    set(is_test TRUE)
    folder_of(owner "${CMAKE_MATCH_1}")
  else()
    set(is_test FALSE)
    folder_of(owner "${file}")
  endif()
  if(is_test AND DEFINED "VORNIC_REACH_${dir}")
    set(reach "${VORNIC_REACH_${dir}}")
    set(reach_of "${dir}")
  elseif(NOT is_test AND owner)
    set(reach "${VORNIC_REACH_${owner}}")
    set(reach_of "${owner}")
  else()
    unset(reach)
  endif()

  file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "\"([^\"]+)\"")
      continue()
    endif()
    set(header ${CMAKE_MATCH_1})
    if(header MATCHES "^tests/")
      if(NOT is_test)
        list(APPEND problems "${file} includes ${header}: test helpers are for tests only")
      endif()
      continue()
    endif()
    folder_of(header_folder "${header}")
    if(NOT header_folder OR header_folder STREQUAL owner)
      continue()
    endif()
    if(is_test AND owner AND header_folder MATCHES "^${owner}/")
      continue()
    endif()
    if("${owner}|${header}" IN_LIST debts)
      continue()
    endif()
    if(NOT header IN_LIST public)
      list(APPEND problems
           "${file} includes ${header}, a private header of ${header_folder} (not declared in cmake/public_headers.cmake)")
      continue()
    endif()
    set(library "${provider_${header}}")
    if(DEFINED reach AND NOT library IN_LIST reach)
      set(shown ${reach})
      list(REMOVE_ITEM shown project_sanitizers project_warnings vornic_include_root)
      list(JOIN shown ", " shown)
      list(APPEND problems
           "${file} includes ${header} of ${library}, a library ${reach_of} does not link (it reaches ${shown})")
    endif()
  endforeach()
endforeach()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "Include boundaries crossed:\n  ${text}\n"
          "A folder includes another's headers only where cmake/public_headers.cmake "
          "declares them and its CMake link line reaches their library.")
endif()
list(LENGTH files count)
message(STATUS "Include boundaries hold in ${count} files")
