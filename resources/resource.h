// Identifiers of the module's resources. Both a Windows resource compiler and the C++ code read
// this file, so its names are preprocessor definitions: the one place where a macro is the only
// form both readers share. The Linux build's resource generator reads it too, and accepts only
// include guards, comments and "#define NAME number" lines.
#ifndef VELDMAP_RESOURCE_H
#define VELDMAP_RESOURCE_H

// String table. There is deliberately no string 6.
#define IDS_LIBDESCRIPTION              1
#define IDS_CATEGORY                    2
#define IDS_CLASS_NAME                  3
#define IDS_PARAMS                      4
#define IDS_SPIN                        5
#define IDS_COORDS                      7
#define IDS_NODE                        8
#define IDS_MANUAL_PLACEMENT            9
#define IDS_U_OFFSET                    10
#define IDS_V_OFFSET                    11
#define IDS_U_SCALE                     12
#define IDS_V_SCALE                     13
#define IDS_COLOR_RAMP                  14
#define IDS_QUAD_TREE_DEPTH             15
#define IDS_COLOR_RAMP_TEXTURE          16
#define IDS_AFFECT_ALPHA                17
#define IDS_NORMALIZE_MESH              18
#define IDS_MEMORY_CONSUMED             19
#define IDS_USE_NORMALS                 20

// The parameter rollout.
#define IDD_VELDMAP_PARAMS              101

// Controls of the rollout.
#define IDC_NORMALIZE_MESH              1002
#define IDC_USE_NORMALS                 1004
#define IDC_PICK_OBJECT                 1100
#define IDC_RAMP_MATERIAL               1101
#define IDC_BAKE_OBJECT                 1102
#define IDC_EXPORT_MESH                 1103
#define IDC_VELDMAP_HELP                1104
#define IDC_U_SCALE_EDIT                1165
#define IDC_V_SCALE_EDIT                1166
#define IDC_U_SCALE_SPIN                1167
#define IDC_V_SCALE_SPIN                1168
#define IDC_U_OFFSET_EDIT               1169
#define IDC_U_OFFSET_SPIN               1170
#define IDC_V_OFFSET_EDIT               1171
#define IDC_V_OFFSET_SPIN               1172
#define IDC_DEPTH_EDIT                  1173
#define IDC_DEPTH_SPIN                  1174
#define IDC_COLOR_RAMP                  1267
#define IDC_AFFECT_ALPHA                1268

#endif
