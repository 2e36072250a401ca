// Basic scalar types of the host's plug-in interface.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
using DWORD = std::uint32_t;
using BOOL = int;
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
#endif
