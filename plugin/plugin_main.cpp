// The module's side of the host's loading protocol. Nothing here may depend on static
// initialisation order beyond constant initialisation: the host may call DllMain as soon as
// the module is mapped.
#include "plugin/plugin_main.h"

#include "host/plugin_api.h"
#include "host/win32.h"
#include "resources/resource.h"
#include "resources/resource_data.h"

HINSTANCE pluginInstance = nullptr;
int controlsInitialized = 0;
char stringBuffer[256];
ParamDlg* uvGenParamDlg = nullptr;

namespace {

// Registers the generated string table and dialog templates with the host for as long as the module is loaded.
// It lives here, next to the entry points, rather than in the generated source, so that a
// program linking the static build of the module cannot leave the registration out.
class ResourceRegistration {
 public:
  // On Windows the strings are the module's real string table, which LoadStringA reads itself.
  ResourceRegistration() {
#ifndef _WIN32
    RegisterModuleStrings(&pluginInstance, veldmapStringTable, veldmapStringCount);
#endif
    RegisterModuleDialogs(&pluginInstance, veldmapDialogs, veldmapDialogCount);
  }
  ~ResourceRegistration() {
    UnregisterModuleDialogs(&pluginInstance);
#ifndef _WIN32
    UnregisterModuleStrings(&pluginInstance);
#endif
  }
  ResourceRegistration(const ResourceRegistration&) = delete;
  ResourceRegistration& operator=(const ResourceRegistration&) = delete;
};

const ResourceRegistration resourceRegistration;

}  // namespace

const char* LoadPluginString(int id) {
  if (pluginInstance == nullptr) return nullptr;
  if (LoadStringA(pluginInstance, static_cast<UINT>(id), stringBuffer, static_cast<int>(sizeof stringBuffer)) == 0) {
    return nullptr;
  }
  return stringBuffer;
}

extern "C" {

const char* LibDescription() { return LoadPluginString(IDS_LIBDESCRIPTION); }

int LibNumberClasses() { return 1; }

ClassDesc* LibClassDesc(int i) { return i == 0 ? &theVeldmapClassDesc : nullptr; }

DWORD LibVersion() { return kPluginApiVersion; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD /*reason*/, LPVOID /*reserved*/) {
  // Kept for every reason, thread attach and detach included: the handle never changes while
  // the module is loaded, and storing it unconditionally means no reason can leave it unset.
  pluginInstance = instance;
  if (controlsInitialized == 0) {
    controlsInitialized = 1;
    InitCustomControls(pluginInstance);
    InitCommonControls();
  }
  return TRUE;
}

}  // extern "C"
