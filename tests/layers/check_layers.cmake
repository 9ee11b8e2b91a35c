# The product's layering, checked over a tree:
#   cmake -DROOT=<source tree> -P check_layers.cmake
# Every file under detection/, discovery/, removal/ and dialog/ may include
# the product's own headers, platform/win32.h and the C++ standard library;
# a resource script may also include the resource compiler's <windows.h>.
# Anything else (the simulated machine's internals, the host program, a
# system header past the platform layer) is reported with file and line, and
# the script fails. A missing product folder fails too.
# protocol/, the line mode's commands and JSON lines shared by the host
# program and the UI-automation driver, is platform-free: it may include
# only itself and the standard library.
#
# The simulated machine's winsim/src/ is built in floors, each including
# only itself and the floors below it (regfile/ and storage/ stand side by
# side and never include each other):
#   base/ < registry/ < regfile/, storage/ < machine/ < dlls/
# Every floor may include the Win32 declarations of winsim/api/ and system
# headers; of the other public headers (winsim/*.h) the floors below
# machine/ may include only winsim/codepage.h. Only machine/ and dlls/ name
# the Machine. Anything else is reported with file and line; a missing
# floor fails too.

cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED ROOT OR NOT IS_DIRECTORY "${ROOT}")
  message(FATAL_ERROR "check_layers: ROOT must name the source tree (got '${ROOT}')")
endif()

set(product_folders detection discovery removal dialog)
set(standard_headers
    algorithm any array atomic bitset cassert cctype cerrno cfloat charconv chrono cinttypes
    climits clocale cmath codecvt complex condition_variable csetjmp csignal cstdarg cstddef
    cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution
    filesystem forward_list fstream functional future initializer_list iomanip ios iosfwd
    iostream istream iterator limits list locale map memory memory_resource mutex new numeric
    optional ostream queue random ratio regex scoped_allocator set shared_mutex sstream stack
    stdexcept streambuf string string_view system_error thread tuple type_traits typeindex
    typeinfo unordered_map unordered_set utility valarray variant vector)

set(violations "")
foreach(folder IN LISTS product_folders ITEMS protocol)
  if(folder STREQUAL "protocol")
    set(own_folders protocol)
    set(seam "")
  else()
    set(own_folders ${product_folders})
    set(seam "platform/win32.h")
  endif()
  if(NOT IS_DIRECTORY "${ROOT}/${folder}")
    string(APPEND violations "\n  ${folder}/: the folder is missing")
    continue()
  endif()
  file(GLOB_RECURSE sources RELATIVE "${ROOT}"
       "${ROOT}/${folder}/*.h" "${ROOT}/${folder}/*.hpp" "${ROOT}/${folder}/*.c"
       "${ROOT}/${folder}/*.cpp" "${ROOT}/${folder}/*.rc")
  list(SORT sources)
  foreach(source IN LISTS sources)
    get_filename_component(source_dir "${source}" DIRECTORY)
    get_filename_component(extension "${source}" LAST_EXT)
    file(STRINGS "${ROOT}/${source}" lines)
    set(line_number 0)
    foreach(line IN LISTS lines)
      math(EXPR line_number "${line_number} + 1")
      if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*([\"<])([^\">]*)[\">]")
        continue()
      endif()
      set(kind "${CMAKE_MATCH_1}")
      set(header "${CMAKE_MATCH_2}")
      set(allowed FALSE)
      if(kind STREQUAL "<")
        if(header IN_LIST standard_headers)
          set(allowed TRUE)
        elseif(seam AND extension STREQUAL ".rc" AND header STREQUAL "windows.h")
          set(allowed TRUE)
        endif()
      else()
        # Spelled from the root, or (resource scripts) next to the file.
        set(spelled "${header}")
        if(NOT header MATCHES "/" AND EXISTS "${ROOT}/${source_dir}/${header}")
          set(spelled "${source_dir}/${header}")
        endif()
        if(seam AND spelled STREQUAL seam)
          set(allowed TRUE)
        elseif(NOT spelled MATCHES "\\.\\.")
          foreach(product IN LISTS own_folders)
            if(spelled MATCHES "^${product}/")
              set(allowed TRUE)
            endif()
          endforeach()
        endif()
      endif()
      if(NOT allowed)
        string(APPEND violations "\n  ${source}:${line_number}: includes ${kind}${header}")
      endif()
    endforeach()
  endforeach()
endforeach()

set(floors base registry regfile storage machine dlls)
set(floor_rank_base 0)
set(floor_rank_registry 1)
set(floor_rank_regfile 2)
set(floor_rank_storage 2)
set(floor_rank_machine 3)
set(floor_rank_dlls 4)
foreach(floor IN LISTS floors)
  set(floor_dir "winsim/src/${floor}")
  if(NOT IS_DIRECTORY "${ROOT}/${floor_dir}")
    string(APPEND violations "\n  ${floor_dir}/: the folder is missing")
    continue()
  endif()
  set(rank ${floor_rank_${floor}})
  file(GLOB_RECURSE sources RELATIVE "${ROOT}" "${ROOT}/${floor_dir}/*.h"
       "${ROOT}/${floor_dir}/*.cpp")
  list(SORT sources)
  foreach(source IN LISTS sources)
    file(STRINGS "${ROOT}/${source}" lines)
    set(line_number 0)
    foreach(line IN LISTS lines)
      math(EXPR line_number "${line_number} + 1")
      if(rank LESS 3 AND NOT line MATCHES "^[ \t]*//"
         AND line MATCHES "(^|[^A-Za-z0-9_])Machine([^A-Za-z0-9_]|$)")
        string(APPEND violations
               "\n  ${source}:${line_number}: names Machine (only machine/ and dlls/ may)")
        continue()
      endif()
      if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*([\"<])([^\">]*)[\">]")
        continue()
      endif()
      set(kind "${CMAKE_MATCH_1}")
      set(header "${CMAKE_MATCH_2}")
      if(kind STREQUAL "<")
        continue()
      endif()
      set(allowed FALSE)
      if(header MATCHES "\\.\\.")
        # Climbing out of a folder is never allowed.
      elseif(header MATCHES "^winsim/src/([a-z_]+)/")
        set(target "${CMAKE_MATCH_1}")
        if(target STREQUAL floor)
          set(allowed TRUE)
        elseif(DEFINED floor_rank_${target} AND floor_rank_${target} LESS rank)
          set(allowed TRUE)
        endif()
      elseif(header MATCHES "^winsim/api/[a-z_0-9]+\\.h$")
        set(allowed TRUE)
      elseif(header STREQUAL "winsim/codepage.h")
        set(allowed TRUE)
      elseif(rank GREATER_EQUAL 3 AND header MATCHES "^winsim/[a-z_]+\\.h$")
        set(allowed TRUE)
      endif()
      if(NOT allowed)
        string(APPEND violations "\n  ${source}:${line_number}: includes ${kind}${header}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "The product may include only its own folders, platform/win32.h and "
                      "the standard library, protocol/ only itself and the standard library, "
                      "each floor of winsim/src/ only itself and the floors below:${violations}")
endif()
message(STATUS "Layers kept: the product includes only itself, platform/win32.h and the "
               "standard library; protocol/ only itself and the standard library; "
               "winsim/src/ runs downward floor by floor")
