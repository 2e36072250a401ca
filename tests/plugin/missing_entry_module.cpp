// A module with the right version that lacks LibClassDesc. Its DllMain reports through the
// host's custom-controls record, so the tests can tell whether the loader called it.
#include "host/plugin_api.h"
#include "host/types.h"
#include "host/win32.h"

extern "C" {
DWORD LibVersion() { return kPluginApiVersion; }
BOOL DllMain(HINSTANCE instance, DWORD, LPVOID) {
  InitCustomControls(instance);
  return TRUE;
}
const char* LibDescription() { return "missing entry"; }
int LibNumberClasses() { return 1; }
}
