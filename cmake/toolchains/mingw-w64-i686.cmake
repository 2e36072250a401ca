# Cross-builds for 32-bit x86 Windows with Debian's MinGW-w64 toolchain (g++-mingw-w64-i686).
# The posix thread model: the win32 one in GCC 12 has no std::mutex or std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VELDMAP_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VELDMAP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELDMAP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELDMAP_MINGW_TRIPLE}-windres)

# x87 arithmetic would keep intermediates in 80 bits and round differently from the 64-bit
# builds; SSE2 (every x86 processor since 2001) rounds each float and double exactly as they do.
# Windows keeps only 4-byte stack alignment on x86, so functions that need more realign it.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")

set(CMAKE_FIND_ROOT_PATH /usr/${VELDMAP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs and build-time tools run under Wine, through a wrapper that finds the
# toolchain's runtime DLLs and keeps Wine quiet.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run)
