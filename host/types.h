// Basic scalar and handle types of the host's plug-in interface. On Windows they come from the
// system headers; elsewhere this host defines the few a plug-in uses, with the same meaning.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
using DWORD = std::uint32_t;
using BOOL = int;
using UINT = unsigned int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LPVOID = void*;
using ULONG = std::uint32_t;  // 32 bits, as on Windows, whatever long is here
using ULONG_PTR = std::uintptr_t;
using INT_PTR = std::intptr_t;
// Windows' calling convention for its own calls and DllMain; there is only one here.
#define WINAPI
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// Opaque handles. A module's instance handle is its load address, as on Windows.
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
struct HWND__;
using HWND = HWND__*;

// DllMain reasons.
inline constexpr DWORD DLL_PROCESS_DETACH = 0;
inline constexpr DWORD DLL_PROCESS_ATTACH = 1;
inline constexpr DWORD DLL_THREAD_ATTACH = 2;
inline constexpr DWORD DLL_THREAD_DETACH = 3;

inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr int SW_SHOWNORMAL = 1;

inline constexpr unsigned BN_CLICKED = 0;  // WM_COMMAND notification of a pressed button
constexpr WPARAM MAKEWPARAM(unsigned low, unsigned high) {
  return static_cast<WPARAM>((low & 0xFFFFu) | ((high & 0xFFFFu) << 16));
}
constexpr unsigned LOWORD(WPARAM w) { return static_cast<unsigned>(w & 0xFFFFu); }
constexpr unsigned HIWORD(WPARAM w) { return static_cast<unsigned>((w >> 16) & 0xFFFFu); }
#endif
