// The module's resources as C++ data, generated at build time from Veldmap.rc by tools/rcgen.
// Everything here is constant and lives as long as the module; nothing is ever freed.
#pragma once

#include "host/types.h"
#include "host/win32.h"

struct VersionValue {
  const char* key;
  const char* value;
};

struct VersionResource {
  unsigned fileVersion[4];
  unsigned productVersion[4];
  DWORD fileOs;
  DWORD fileType;
  const char* stringBlock;  // language and code page, e.g. "040904b0"
  const VersionValue* values;
  int valueCount;
};

// The language of the string table and dialogs (LANGID: primary | sub-language << 10).
extern const unsigned veldmapResourceLanguage;
extern const StringResource veldmapStringTable[];
extern const int veldmapStringCount;
extern const DialogResource veldmapDialogs[];
extern const int veldmapDialogCount;
extern const VersionResource veldmapVersion;
