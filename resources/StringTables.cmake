# Build rules for string tables made from a strings file by GenStrings.cmake:
# the driver module's own, and resource-only satellite modules.

set(NIMBRO_GENSTRINGS ${CMAKE_CURRENT_LIST_DIR}/GenStrings.cmake)

# nimbro_string_table(<name> <strings file> <language id> <out dir> [<rc template>])
# Sets <name>_CPP (the POSIX table source) and, on Windows, <name>_RES (the
# compiled resource object) in the caller's scope.
function(nimbro_string_table name strings langid outdir)
  set(template "${ARGV4}")
  set(rc ${outdir}/${name}.rc)
  set(cpp ${outdir}/${name}.strings.cpp)
  set(deps ${strings} ${NIMBRO_GENSTRINGS})
  if(template)
    list(APPEND deps ${template})
  endif()
  add_custom_command(
    OUTPUT ${rc} ${cpp}
    COMMAND ${CMAKE_COMMAND} -DSTRINGS=${strings} -DLANGID=${langid} -DOUT_RC=${rc}
            -DOUT_CPP=${cpp} -DRC_TEMPLATE=${template} -DVERSION=${PROJECT_VERSION}
            -P ${NIMBRO_GENSTRINGS}
    DEPENDS ${deps}
    COMMENT "Generating string table ${name}"
    VERBATIM)
  set(${name}_CPP ${cpp} PARENT_SCOPE)
  if(WIN32)
    set(res ${outdir}/${name}.res.obj)
    add_custom_command(
      OUTPUT ${res}
      COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${rc} -o ${res}
      DEPENDS ${rc}
      COMMENT "Compiling resources ${name}"
      VERBATIM)
    set_source_files_properties(${res} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    set(${name}_RES ${res} PARENT_SCOPE)
  endif()
endfunction()

# nimbro_satellite(<target> <strings file> <language as four hex digits> <out dir>)
# A translated resource module named like the driver module with the language
# as extension (NimbroDrvIDec.0411): resources only on Windows, an exported
# string table and nothing else on POSIX.
function(nimbro_satellite target strings lang outdir)
  nimbro_string_table(${target} ${strings} 0x${lang} ${CMAKE_CURRENT_BINARY_DIR})
  if(WIN32)
    add_library(${target} MODULE ${${target}_RES})
    set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
    target_link_options(${target} PRIVATE -nostdlib -Wl,--entry=0)
  else()
    add_library(${target} MODULE ${${target}_CPP})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden)
    nimbro_warnings(${target})
  endif()
  set_target_properties(${target} PROPERTIES
    PREFIX "" OUTPUT_NAME NimbroDrvIDec SUFFIX ".${lang}"
    LIBRARY_OUTPUT_DIRECTORY ${outdir} RUNTIME_OUTPUT_DIRECTORY ${outdir})
endfunction()
