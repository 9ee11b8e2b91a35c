# Proves the layer check bites: each case copies the product folders and the
# simulated machine of the real tree, plants one change and runs
# check_layers.cmake on the copy.
#   cmake -DROOT=<source tree> -DWORK=<scratch dir> -P planted_includes_test.cmake

cmake_minimum_required(VERSION 3.25)

set(checker "${CMAKE_CURRENT_LIST_DIR}/check_layers.cmake")
set(failures "")

# run_case(<name> <expect: pass|fail> <file> <text appended, or REMOVE_FOLDER> <expected output>)
function(run_case name expect file plant expected_output)
  set(copy "${WORK}/${name}")
  file(REMOVE_RECURSE "${copy}")
  foreach(folder detection discovery removal dialog protocol)
    file(COPY "${ROOT}/${folder}" DESTINATION "${copy}")
  endforeach()
  file(COPY "${ROOT}/winsim/src" DESTINATION "${copy}/winsim")
  if(plant STREQUAL "REMOVE_FOLDER")
    file(REMOVE_RECURSE "${copy}/${file}")
  else()
    file(APPEND "${copy}/${file}" "${plant}\n")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${copy} -P ${checker}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(expect STREQUAL "pass" AND NOT result EQUAL 0)
    set(failures "${failures}\n${name}: expected to pass, failed:\n${out}" PARENT_SCOPE)
  elseif(expect STREQUAL "fail" AND result EQUAL 0)
    set(failures "${failures}\n${name}: expected to fail, passed:\n${out}" PARENT_SCOPE)
  elseif(NOT out MATCHES "${expected_output}")
    set(failures "${failures}\n${name}: output lacks '${expected_output}':\n${out}" PARENT_SCOPE)
  endif()
  file(REMOVE_RECURSE "${copy}")
endfunction()

run_case(simulation_internals fail detection/device_catalogue.cpp
         "#include \"winsim/src/machine.h\""
         "detection/device_catalogue.cpp:[0-9]+: includes \"winsim/src/machine.h")
run_case(host_program fail dialog/framework/fw_dialog.cpp
         "  #  include \"host/line_mode.h\""
         "dialog/framework/fw_dialog.cpp:[0-9]+: includes \"host/line_mode.h")
run_case(system_header fail removal/nt_removal.cpp "#include <windows.h>"
         "removal/nt_removal.cpp:[0-9]+: includes <windows.h")
run_case(climbing_out fail discovery/nt_discovery.h "#include \"discovery/../winsim/machine.h\""
         "discovery/nt_discovery.h:[0-9]+: includes \"discovery/../winsim/machine.h")
run_case(missing_folder fail removal REMOVE_FOLDER "removal/: the folder is missing")
run_case(protocol_on_the_platform fail protocol/commands.cpp "#include \"platform/win32.h\""
         "protocol/commands.cpp:[0-9]+: includes \"platform/win32.h")
run_case(protocol_on_the_product fail protocol/state_json.h "#include \"dialog/resource.h\""
         "protocol/state_json.h:[0-9]+: includes \"dialog/resource.h")
run_case(protocol_missing fail protocol REMOVE_FOLDER "protocol/: the folder is missing")
# The floors of the simulated machine.
set(src winsim/src)
run_case(floor_upward fail ${src}/storage/hive_store.cpp "#include \"winsim/src/machine/state.h\""
         "${src}/storage/hive_store.cpp:[0-9]+: includes \"winsim/src/machine/state.h")
run_case(floor_circle fail ${src}/registry/registry.cpp "#include \"winsim/src/regfile/regfile.h\""
         "${src}/registry/registry.cpp:[0-9]+: includes \"winsim/src/regfile/regfile.h")
run_case(floor_sideways fail ${src}/regfile/export.cpp "#include \"winsim/src/storage/store.h\""
         "${src}/regfile/export.cpp:[0-9]+: includes \"winsim/src/storage/store.h")
run_case(floor_to_the_public_machine fail ${src}/base/posix_file.h "#include \"winsim/machine.h\""
         "${src}/base/posix_file.h:[0-9]+: includes \"winsim/machine.h")
run_case(floor_names_machine fail ${src}/storage/image_source.h "bool save(Machine& m);"
         "${src}/storage/image_source.h:[0-9]+: names Machine")
run_case(floor_climbing_out fail ${src}/dlls/api_text.cpp "#include \"winsim/src/dlls/../../../host/line_mode.h\""
         "${src}/dlls/api_text.cpp:[0-9]+: includes \"winsim/src/dlls/../../../host/line_mode.h")
run_case(floor_missing fail ${src}/regfile REMOVE_FOLDER "${src}/regfile/: the folder is missing")
run_case(floor_allowed pass ${src}/dlls/api_text.cpp
         "#include \"winsim/src/base/codepage.h\"\n#include \"winsim/offline.h\"\n#include <hivex.h>"
         "Layers kept")
run_case(allowed pass detection/device_catalogue.cpp
         "#include \"platform/win32.h\"\n#include <cstring>\n#include \"removal/shared_use.h\""
         "Layers kept")

if(failures)
  message(FATAL_ERROR "The layer check missed a planted fault:${failures}")
endif()
message(STATUS "The layer check catches every planted include")
