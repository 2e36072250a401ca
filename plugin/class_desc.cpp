// The descriptor through which the host lists the Veldmap texture map and creates it, and the
// description of the map's parameter block.
//
// Both objects are defined here, in this order, because the description registers itself with
// the descriptor while it is constructed: within one file C++ constructs in order of definition,
// across files it promises nothing.
#include <new>

#include "host/class_id.h"
#include "plugin/plugin_main.h"
#include "plugin/veldmap_params.h"
#include "resources/resource.h"
#include "texmap/veldmap_texmap.h"

VeldmapClassDesc theVeldmapClassDesc;

// The description reads as the table it is, one parameter to a paragraph.
// clang-format off
ParamBlockDesc2 veldmapParamBlockDesc(
    kVeldmapParamsBlockId, "params", 0, &theVeldmapClassDesc, P_AUTO_CONSTRUCT | P_AUTO_UI,
    kVeldmapParamsRef,
    IDD_VELDMAP_PARAMS, IDS_PARAMS, 0, 0, nullptr,

    pb_node, "node", TYPE_INODE, 0, IDS_NODE,
        p_ui, TYPE_PICKNODEBUTTON, IDC_PICK_OBJECT,
        p_end,
    pb_coords, "coords", TYPE_REFTARG, P_OWNERS_REF, IDS_COORDS,
        p_refno, 0,
        p_end,
    pb_u_offset, "uOffset", TYPE_FLOAT, P_ANIMATABLE, IDS_U_OFFSET,
        p_default, 0.0f,
        p_range, -10000.0f, 10000.0f,
        p_ui, TYPE_SPINNER, EDITTYPE_FLOAT, IDC_U_OFFSET_EDIT, IDC_U_OFFSET_SPIN, 0.1f,
        p_end,
    pb_v_offset, "vOffset", TYPE_FLOAT, P_ANIMATABLE, IDS_V_OFFSET,
        p_default, 0.0f,
        p_range, -10000.0f, 10000.0f,
        p_ui, TYPE_SPINNER, EDITTYPE_FLOAT, IDC_V_OFFSET_EDIT, IDC_V_OFFSET_SPIN, 0.1f,
        p_end,
    pb_u_scale, "uScale", TYPE_FLOAT, P_ANIMATABLE, IDS_U_SCALE,
        p_default, 1.0f,
        p_range, -10000.0f, 10000.0f,
        p_ui, TYPE_SPINNER, EDITTYPE_FLOAT, IDC_U_SCALE_EDIT, IDC_U_SCALE_SPIN, 0.1f,
        p_end,
    pb_v_scale, "vScale", TYPE_FLOAT, P_ANIMATABLE, IDS_V_SCALE,
        p_default, 1.0f,
        p_range, -10000.0f, 10000.0f,
        p_ui, TYPE_SPINNER, EDITTYPE_FLOAT, IDC_V_SCALE_EDIT, IDC_V_SCALE_SPIN, 0.1f,
        p_end,
    pb_affect_alpha, "affectAlpha", TYPE_BOOL, 0, IDS_AFFECT_ALPHA,
        p_default, 0,
        p_ui, TYPE_SINGLECHEKBOX, IDC_AFFECT_ALPHA,
        p_end,
    pb_color_ramp, "colorRamp", TYPE_BOOL, 0, IDS_COLOR_RAMP,
        p_default, 0,
        p_ui, TYPE_SINGLECHEKBOX, IDC_COLOR_RAMP,
        p_enable_ctrls, 1, pb_color_ramp_texture,
        p_end,
    pb_color_ramp_texture, "colorRampTexture", TYPE_TEXMAP, 0, IDS_COLOR_RAMP_TEXTURE,
        p_subtexno, 0,
        p_ui, TYPE_TEXMAPBUTTON, IDC_RAMP_MATERIAL,
        p_end,
    pb_quad_tree_depth, "quadTreeDepth", TYPE_INT, P_ANIMATABLE, IDS_QUAD_TREE_DEPTH,
        p_default, 6,
        p_range, 2, 10,
        p_ui, TYPE_SPINNER, EDITTYPE_INT, IDC_DEPTH_EDIT, IDC_DEPTH_SPIN, 1,
        p_end,
    pb_normalize_mesh, "normalizeMesh", TYPE_BOOL, 0, IDS_NORMALIZE_MESH,
        p_default, 1,
        p_ui, TYPE_SINGLECHEKBOX, IDC_NORMALIZE_MESH,
        p_end,
    pb_use_normals, "useNormals", TYPE_BOOL, 0, IDS_USE_NORMALS,
        p_default, 1,
        p_ui, TYPE_SINGLECHEKBOX, IDC_USE_NORMALS,
        p_end,
    p_end);
// clang-format on

int VeldmapClassDesc::IsPublic() { return 1; }

// Whatever loading says, the map starts from its defaults; Load then fills it in.
void* VeldmapClassDesc::Create(BOOL /*loading*/) {
  try {
    return static_cast<Animatable*>(new VeldmapTexmap());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

const char* VeldmapClassDesc::ClassName() { return LoadPluginString(IDS_CLASS_NAME); }

SClass_ID VeldmapClassDesc::SuperClassID() { return TEXMAP_CLASS_ID; }

Class_ID VeldmapClassDesc::ClassID() { return kVeldmapClassId; }

const char* VeldmapClassDesc::Category() { return LoadPluginString(IDS_CATEGORY); }

// Fixed rather than loaded: scripts and scene files refer to the class by this name, which
// must not change when the string table is translated.
const char* VeldmapClassDesc::InternalName() { return "Veldmap"; }

HINSTANCE VeldmapClassDesc::HInstance() { return pluginInstance; }
