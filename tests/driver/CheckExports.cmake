# Checks that a POSIX build of the module exports exactly NimbroInterface and
# its string table: everything else is hidden.
find_program(NM nm REQUIRED)
execute_process(COMMAND ${NM} -D --defined-only ${MODULE}
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(names)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
    set(name ${CMAKE_MATCH_1})
    # Sanitizer bookkeeping symbols come with instrumented builds.
    if(NOT name MATCHES "^__(odr_asan|asan|tsan|ubsan)")
      list(APPEND names ${name})
    endif()
  endif()
endforeach()
list(SORT names)
if(NOT names STREQUAL "NimbroInterface;NimbroStringTable")
  message(FATAL_ERROR "exports are not NimbroInterface and NimbroStringTable: ${names}")
endif()
message(STATUS "1 passed, 0 failed: exports ${names}")
