// A module built for another interface version. Apart from LibVersion every entry point is
// complete, so only the version check can keep the loader from using it; each one reports
// through the host's custom-controls record, which the tests watch for calls that must not
// happen.
#include "host/class_desc.h"
#include "host/types.h"
#include "host/win32.h"

namespace {
HINSTANCE Self() { return ModuleInstanceFromAddress(reinterpret_cast<const void*>(&Self)); }
}  // namespace

extern "C" {
DWORD LibVersion() { return 0x17700C00u; }  // one plug-in API number older than the host's
// On Windows the system runs DllMain inside LoadLibrary, before the loader can check anything,
// so there it reports nothing.
BOOL WINAPI DllMain([[maybe_unused]] HINSTANCE instance, DWORD, LPVOID) {
#ifndef _WIN32
  InitCustomControls(instance);
#endif
  return TRUE;
}
const char* LibDescription() {
  InitCustomControls(Self());
  return "bad version";
}
int LibNumberClasses() {
  InitCustomControls(Self());
  return 0;
}
ClassDesc* LibClassDesc(int) {
  InitCustomControls(Self());
  return nullptr;
}
}
