# qu_embed_files(<output.cpp> <namespace> <base dir> <files...>)
#
# Adds the rule that writes <output.cpp> with the given files (paths relative
# to <base dir>) embedded as byte arrays in <namespace>, rebuilt when any of
# them changes. See embed_files.cmake for what the source defines.
function(qu_embed_files output namespace base_dir)
  set(files ${ARGN})
  list(TRANSFORM files PREPEND ${base_dir}/ OUTPUT_VARIABLE deps)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${output} -DNAMESPACE=${namespace} -DBASE_DIR=${base_dir}
            "-DFILES=${files}" -P ${PROJECT_SOURCE_DIR}/cmake/embed_files.cmake
    DEPENDS ${deps} ${PROJECT_SOURCE_DIR}/cmake/embed_files.cmake
    COMMENT "Embedding ${namespace}"
    VERBATIM)
endfunction()
