// The module's entry points, its module-wide state and its class descriptor.
//
// The host calls the entry points after loading the module (see host/plugin_api.h); unit tests
// that link the static build of the module call them directly.
#pragma once

#include "host/class_desc.h"
#include "host/class_id.h"
#include "host/param_block.h"
#include "host/types.h"
#include "texmap/veldmap_module.h"

class VeldmapClassDesc : public ClassDesc2 {
 public:
  int IsPublic() override;
  void* Create(BOOL loading = FALSE) override;
  const char* ClassName() override;
  SClass_ID SuperClassID() override;
  Class_ID ClassID() override;
  const char* Category() override;
  const char* InternalName() override;
  HINSTANCE HInstance() override;
};

// Module-wide state. pluginInstance is what DllMain was last given (null before); it selects
// the string table. controlsInitialized is 1 once DllMain has initialised the host's controls.
// The map's share of the state (LoadPluginString, uvGenParamDlg, veldmapParamBlockDesc) is
// declared in texmap/veldmap_module.h.
extern HINSTANCE pluginInstance;
extern int controlsInitialized;
extern char stringBuffer[256];
extern VeldmapClassDesc theVeldmapClassDesc;

// The module shows these and nothing else: on Windows through its .def file (by name, undecorated;
// DllMain is the DLL's entry point, not an export), elsewhere through symbol visibility.
#ifdef _WIN32
#define VELDMAP_ENTRY_POINT
#else
#define VELDMAP_ENTRY_POINT [[gnu::visibility("default")]]
#endif
extern "C" {
VELDMAP_ENTRY_POINT const char* LibDescription();
VELDMAP_ENTRY_POINT int LibNumberClasses();
VELDMAP_ENTRY_POINT ClassDesc* LibClassDesc(int i);
VELDMAP_ENTRY_POINT DWORD LibVersion();
VELDMAP_ENTRY_POINT BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
}
