// The descriptor through which the host lists the Veldmap texture map and creates it.
#include "host/class_id.h"
#include "plugin/plugin_main.h"
#include "resources/resource.h"

int VeldmapClassDesc::IsPublic() { return 1; }

// The texture-map class itself does not exist yet, so there is nothing to make; the host treats
// a null object as "this class cannot be created". Replace with `new VeldmapTexmap` once the
// map exists.
void* VeldmapClassDesc::Create(BOOL /*loading*/) { return nullptr; }

const char* VeldmapClassDesc::ClassName() { return LoadPluginString(IDS_CLASS_NAME); }

SClass_ID VeldmapClassDesc::SuperClassID() { return TEXMAP_CLASS_ID; }

Class_ID VeldmapClassDesc::ClassID() { return kVeldmapClassId; }

const char* VeldmapClassDesc::Category() { return LoadPluginString(IDS_CATEGORY); }

// Fixed rather than loaded: scripts and scene files refer to the class by this name, which
// must not change when the string table is translated.
const char* VeldmapClassDesc::InternalName() { return "Veldmap"; }

HINSTANCE VeldmapClassDesc::HInstance() { return pluginInstance; }
