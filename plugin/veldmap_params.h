// The map's parameter block: its parameter ids and its description.
#pragma once

#include "host/param_block.h"

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

// Built at module load after theVeldmapClassDesc, with which it registers itself.
extern ParamBlockDesc2 veldmapParamBlockDesc;
