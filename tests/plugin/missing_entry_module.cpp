// A module with the right version that lacks LibClassDesc. Its DllMain reports through the
// host's custom-controls record, so the tests can tell whether the loader called it.
#include "host/plugin_api.h"
#include "host/types.h"
#include "host/win32.h"

extern "C" {
DWORD LibVersion() { return kPluginApiVersion; }
// On Windows the system runs DllMain inside LoadLibrary, before the loader can check anything,
// so there it reports nothing.
BOOL WINAPI DllMain([[maybe_unused]] HINSTANCE instance, DWORD, LPVOID) {
#ifndef _WIN32
  InitCustomControls(instance);
#endif
  return TRUE;
}
const char* LibDescription() { return "missing entry"; }
int LibNumberClasses() { return 1; }
}
