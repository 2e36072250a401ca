# Fails unless MODULE's dynamic symbol table defines exactly the host's entry points.
# Usage: cmake -DNM=... -DMODULE=... -P check_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${MODULE}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(exported)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND exported ${name})
endforeach()
list(SORT exported)
set(expected DllMain LibClassDesc LibDescription LibNumberClasses LibVersion)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "${MODULE} exports [${exported}], expected exactly [${expected}]")
endif()
message(STATUS "exports: ${exported}")
