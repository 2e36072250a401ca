// The contract between the host and a plug-in module: the entry points every module exports
// with C linkage, and the one interface version this host supports.
//
// The loader calls LibVersion before anything else and refuses a module whose version differs,
// because every other entry point hands back objects whose layout that version fixes.
#pragma once

#include "host/class_desc.h"
#include "host/types.h"

// Bits 31-16: host release (6000); bits 15-8: plug-in API number (13); bits 7-0: SDK revision.
inline constexpr DWORD kPluginReleaseNumber = 6000;
inline constexpr DWORD kPluginApiNumber = 13;
inline constexpr DWORD kPluginSdkRevision = 0;
inline constexpr DWORD kPluginApiVersion = (kPluginReleaseNumber << 16) | (kPluginApiNumber << 8) | kPluginSdkRevision;
static_assert(kPluginApiVersion == 0x17700D00u);

// Signatures of the entry points, as the loader calls them.
using LibVersionFunction = DWORD (*)();
using DllMainFunction = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);
using LibDescriptionFunction = const char* (*)();
using LibNumberClassesFunction = int (*)();
using LibClassDescFunction = ClassDesc* (*)(int);
