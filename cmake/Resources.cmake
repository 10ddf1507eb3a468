# Resource tables compiled into executables.
#
#   vantrel_add_resources(<lib> ENTRIES <type> <name> <file> [<type> <name> <file> ...])
#
# makes a static library <lib> that defines the executable's resource table
# (vantrel::platform::ExecutableResources()). An executable links exactly one
# such library. Each file becomes a byte array looked up by type and name.
set(VANTREL_EMBED_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/EmbedResources.cmake")

function(vantrel_add_resources lib)
  cmake_parse_arguments(PARSE_ARGV 1 RES "" "" "ENTRIES")
  list(LENGTH RES_ENTRIES n)
  math(EXPR rem "${n} % 3")
  if(NOT rem EQUAL 0)
    message(FATAL_ERROR "vantrel_add_resources(${lib}): ENTRIES come in threes")
  endif()
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${lib}_resources.cpp")
  set(files "")
  set(i 0)
  while(i LESS n)
    math(EXPR f "${i} + 2")
    list(GET RES_ENTRIES ${f} file)
    list(APPEND files "${file}")
    math(EXPR i "${i} + 3")
  endwhile()
  string(REPLACE ";" "|" packed "${RES_ENTRIES}")
  add_custom_command(
    OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} "-DENTRIES=${packed}" "-DOUT=${out}" -P "${VANTREL_EMBED_SCRIPT}"
    DEPENDS ${files} "${VANTREL_EMBED_SCRIPT}"
    COMMENT "Embedding resources for ${lib}"
    VERBATIM)
  add_library(${lib} STATIC "${out}")
  # The table names its files only by path: rebuild it when one changes.
  set_source_files_properties("${out}" PROPERTIES OBJECT_DEPENDS "${files}")
  target_link_libraries(${lib} PUBLIC vantrel_platform)
endfunction()
