// What the texture map takes from the module it is built into: its class ID, the IDs of its
// parameters, and the module-wide objects that the module's shell (plugin/) defines.
//
// The map sits below the shell: the shell creates maps and includes this header; the map
// includes nothing of the shell. The map reaches the class descriptor through its parameter
// block description (GetClassDesc), with which the descriptor was registered at load.
#pragma once

#include "host/class_id.h"
#include "host/mtl_base.h"
#include "host/param_block.h"

inline constexpr Class_ID kVeldmapClassId{0x3ba26d33, 0x4029d4f7};

// Ids of the map's parameters. They are stored in scene files, so they never change.
enum VeldmapParamID : ParamID {
  pb_node = 0,
  pb_coords = 1,
  pb_u_offset = 2,
  pb_v_offset = 3,
  pb_u_scale = 4,
  pb_v_scale = 5,
  pb_affect_alpha = 6,
  pb_color_ramp = 7,
  pb_color_ramp_texture = 8,
  pb_quad_tree_depth = 9,
  pb_normalize_mesh = 10,
  pb_use_normals = 11,
};

// The block's id in the map, and the map's reference that holds the block.
inline constexpr BlockID kVeldmapParamsBlockId = 0;
inline constexpr int kVeldmapParamsRef = 1;

// The map's parameter block description. Built at module load after the class descriptor, with
// which it registers itself.
extern ParamBlockDesc2 veldmapParamBlockDesc;

// The UV generator's rollout opened by the latest CreateParamDlg of any map (not owned; a map
// compares against it to recognise that rollout).
extern ParamDlg* uvGenParamDlg;

// String id of the module's string table, or null if DllMain has not yet run or there is no
// such string. Every call reuses one buffer: the text an earlier result points to is replaced
// by the next call, so callers that keep a string copy it. Not safe from several threads.
const char* LoadPluginString(int id);
