// The map's parameter block as its description builds it, and its rollout over dialog 101.
#include <gtest/gtest.h>

#include <vector>

#include "host/mtl_params.h"
#include "host/param_block.h"
#include "host/win32.h"
#include "plugin/plugin_main.h"
#include "plugin/veldmap_params.h"
#include "tests/support/block_owner.h"

namespace {

TEST(VeldmapParamBlock, DescriptionMatchesTheTable) {
  EXPECT_EQ(veldmapParamBlockDesc.Errors(), "");
  EXPECT_EQ(veldmapParamBlockDesc.ID(), 0);
  EXPECT_EQ(veldmapParamBlockDesc.InternalName(), "params");
  EXPECT_EQ(veldmapParamBlockDesc.LocalName(), 0);
  EXPECT_EQ(veldmapParamBlockDesc.GetClassDesc(), &theVeldmapClassDesc);
  EXPECT_EQ(veldmapParamBlockDesc.Flags(), 6);
  EXPECT_EQ(veldmapParamBlockDesc.RefNo(), 1);
  EXPECT_EQ(veldmapParamBlockDesc.DialogTemplate(), 101);
  EXPECT_EQ(veldmapParamBlockDesc.Title(), 4);
  EXPECT_EQ(veldmapParamBlockDesc.TestFlags(), 0);
  EXPECT_EQ(veldmapParamBlockDesc.RollupFlags(), 0);
  EXPECT_EQ(theVeldmapClassDesc.GetParamBlockDescByID(0), &veldmapParamBlockDesc);

  struct Row {
    ParamID id;
    const char* name;
    ParamType2 type;
    int flags;
    int nameString;
    std::vector<int> controls;
  };
  const Row rows[] = {
      {0, "node", TYPE_INODE, 0, 8, {1100}},
      {1, "coords", TYPE_REFTARG, P_OWNERS_REF, 7, {}},
      {2, "uOffset", TYPE_FLOAT, P_ANIMATABLE, 10, {1169, 1170}},
      {3, "vOffset", TYPE_FLOAT, P_ANIMATABLE, 11, {1171, 1172}},
      {4, "uScale", TYPE_FLOAT, P_ANIMATABLE, 12, {1165, 1167}},
      {5, "vScale", TYPE_FLOAT, P_ANIMATABLE, 13, {1166, 1168}},
      {6, "affectAlpha", TYPE_BOOL, 0, 17, {1268}},
      {7, "colorRamp", TYPE_BOOL, 0, 14, {1267}},
      {8, "colorRampTexture", TYPE_TEXMAP, 0, 16, {1101}},
      {9, "quadTreeDepth", TYPE_INT, P_ANIMATABLE, 15, {1173, 1174}},
      {10, "normalizeMesh", TYPE_BOOL, 0, 18, {1002}},
      {11, "useNormals", TYPE_BOOL, 0, 20, {1004}},
  };
  ASSERT_EQ(veldmapParamBlockDesc.Count(), 12);
  for (int i = 0; i < 12; ++i) {
    const ParamDef& def = veldmapParamBlockDesc.GetParamDef(i);
    const Row& row = rows[i];
    EXPECT_EQ(def.id, row.id);
    EXPECT_EQ(def.internalName, row.name);
    EXPECT_EQ(def.type, row.type) << row.name;
    EXPECT_EQ(def.flags, row.flags) << row.name;
    EXPECT_EQ(def.localNameId, row.nameString) << row.name;
    EXPECT_EQ(def.controlIds, row.controls) << row.name;
  }
  EXPECT_EQ(veldmapParamBlockDesc.FindParam(pb_coords)->refno, 0);
  EXPECT_EQ(veldmapParamBlockDesc.FindParam(pb_color_ramp_texture)->subtexno, 0);
  EXPECT_EQ(veldmapParamBlockDesc.FindParam(pb_color_ramp)->enableCtrls, std::vector<ParamID>{pb_color_ramp_texture});
  for (ParamID id : {pb_u_offset, pb_v_offset, pb_u_scale, pb_v_scale}) {
    const ParamDef* def = veldmapParamBlockDesc.FindParam(id);
    EXPECT_EQ(def->rangeLow.f, -10000.0f);
    EXPECT_EQ(def->rangeHigh.f, 10000.0f);
    EXPECT_EQ(def->spinnerStep, 0.1f);
    EXPECT_EQ(def->editType, EDITTYPE_FLOAT);
  }
  const ParamDef* depth = veldmapParamBlockDesc.FindParam(pb_quad_tree_depth);
  EXPECT_EQ(depth->rangeLow.i, 2);
  EXPECT_EQ(depth->rangeHigh.i, 10);
  EXPECT_EQ(depth->editType, EDITTYPE_INT);
  EXPECT_EQ(depth->spinnerStep, 1.0f);
}

TEST(VeldmapParamBlock, NewBlockHasTheDefaultsAndKeepsItsRanges) {
  BlockOwner owner(theVeldmapClassDesc);
  ASSERT_NE(owner.block, nullptr);
  IParamBlock2* pb = owner.block;
  EXPECT_EQ(pb->GetFloat(pb_u_offset), 0.0f);
  EXPECT_EQ(pb->GetFloat(pb_v_offset), 0.0f);
  EXPECT_EQ(pb->GetFloat(pb_u_scale), 1.0f);
  EXPECT_EQ(pb->GetFloat(pb_v_scale), 1.0f);
  EXPECT_EQ(pb->GetInt(pb_affect_alpha), 0);
  EXPECT_EQ(pb->GetInt(pb_color_ramp), 0);
  EXPECT_EQ(pb->GetInt(pb_quad_tree_depth), 6);
  EXPECT_EQ(pb->GetInt(pb_normalize_mesh), 1);
  EXPECT_EQ(pb->GetInt(pb_use_normals), 1);
  Interval valid = FOREVER;
  INode* node = reinterpret_cast<INode*>(&owner);
  Texmap* ramp = reinterpret_cast<Texmap*>(&owner);
  ASSERT_TRUE(pb->GetValue(pb_node, 0, node, valid));
  ASSERT_TRUE(pb->GetValue(pb_color_ramp_texture, 0, ramp, valid));
  EXPECT_EQ(node, nullptr);
  EXPECT_EQ(ramp, nullptr);
  EXPECT_EQ(valid, FOREVER);

  pb->SetValue(pb_quad_tree_depth, 0, 11);
  EXPECT_EQ(pb->GetInt(pb_quad_tree_depth), 10);
  pb->SetValue(pb_quad_tree_depth, 0, 1);
  EXPECT_EQ(pb->GetInt(pb_quad_tree_depth), 2);
  pb->SetValue(pb_u_scale, 0, -20000.0f);
  EXPECT_EQ(pb->GetFloat(pb_u_scale), -10000.0f);
  pb->SetValue(pb_v_offset, 0, 1e30f);
  EXPECT_EQ(pb->GetFloat(pb_v_offset), 10000.0f);
  pb->SetValue(pb_v_scale, 0, 0.0f);  // zero and negative scales are allowed
  EXPECT_EQ(pb->GetFloat(pb_v_scale), 0.0f);
}

TEST(VeldmapParamBlock, RolloutIsBuiltOnDialog101AndTheRampButtonFollowsItsCheckBox) {
  DllMain(ModuleInstanceFromAddress(&pluginInstance), DLL_PROCESS_ATTACH, nullptr);
  BlockOwner owner(theVeldmapClassDesc);
  MaterialEditor editor;
  IAutoMParamDlg* dlg = theVeldmapClassDesc.CreateParamDlgs(nullptr, &editor, &owner);
  ASSERT_EQ(dlg->NumMaps(), 1);
  IParamMap2* map = dlg->GetMap(0);
  ASSERT_TRUE(map->HasTemplate());
  EXPECT_EQ(map->Controls().size(), 25u);  // every control of the template, none added
  EXPECT_EQ(editor.pages, std::vector<std::string>{"Parameters"});
  EXPECT_FALSE(map->Control(1101)->enabled);
  EXPECT_TRUE(map->ClickButton(1267));
  EXPECT_EQ(owner.block->GetInt(pb_color_ramp), 1);
  EXPECT_TRUE(map->Control(1101)->enabled);
  EXPECT_TRUE(map->ClickButton(1267));
  EXPECT_FALSE(map->Control(1101)->enabled);
  // The depth spinner cannot leave 2..10.
  EXPECT_TRUE(map->SetSpinner(1174, 42.0f));
  EXPECT_EQ(owner.block->GetInt(pb_quad_tree_depth), 10);
  EXPECT_TRUE(map->SetSpinner(1173, -3.0f));
  EXPECT_EQ(owner.block->GetInt(pb_quad_tree_depth), 2);
  EXPECT_TRUE(map->SetSpinner(1169, -1e6f));
  EXPECT_EQ(owner.block->GetFloat(pb_u_offset), -10000.0f);
  dlg->DeleteThis();
}

}  // namespace
