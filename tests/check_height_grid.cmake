# Runs the height grid program and fails unless its output is, bit for bit, the one recorded in
# the reference file, which holds the SHA-256 of what the Linux x86-64 build writes. The 32-bit
# Windows build must match it too. To see where two builds differ, diff their outputs.
# Usage: cmake -DPROGRAM=... [-DEMULATOR=...] -DREFERENCE=... [-DOUTPUT=file] -P check_height_grid.cmake
execute_process(COMMAND ${EMULATOR} ${PROGRAM} OUTPUT_VARIABLE grid RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} failed: ${status}")
endif()
if(OUTPUT)
  file(WRITE ${OUTPUT} "${grid}")
endif()
string(LENGTH "${grid}" length)
string(SHA256 digest "${grid}")
file(STRINGS ${REFERENCE} expected REGEX "^[0-9a-f]+$" LIMIT_COUNT 1)
if(NOT digest STREQUAL expected)
  message(FATAL_ERROR "the grid (${length} bytes) hashes to ${digest}, the Linux build's to ${expected}")
endif()
message(STATUS "grid of ${length} bytes matches the Linux build's (${digest})")
