#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "host/chunk_io.h"
#include "host/mtl_base.h"
#include "host/mtl_params.h"
#include "host/param_block.h"
#include "host/scene.h"
#include "host/win32.h"
#include "tests/support/stub_texmap.h"

namespace {

enum : ParamID { kNode = 0, kCoords = 1, kGain = 2, kSteps = 3, kUseMap = 4, kMap = 5, kFlag = 6 };
constexpr int kDialog = 300;

const StringResource kStrings[] = {{1, "Settings"}, {2, "Gain"}};
const DialogItemResource kItems[] = {
    {-1, "Static", "Gain:", 0, 0, 0, 10, 10},          {10, "CustEdit", "", 0, 0, 0, 10, 10},
    {11, "SpinnerControl", "", 0, 0, 0, 10, 10},       {12, "CustEdit", "", 0, 0, 0, 10, 10},
    {13, "SpinnerControl", "", 0, 0, 0, 10, 10},       {14, "Button", "Use map", 0, 0, 0, 10, 10},
    {15, "CustButton", "Choose map", 0, 0, 0, 10, 10}, {16, "CustButton", "Pick", 0, 0, 0, 10, 10},
    {17, "CustButton", "Do it", 0, 0, 0, 10, 10},
};
const DialogResource kDialogs[] = {{kDialog, 0, 0, 0, 100, 100, 8, "MS Sans Serif", kItems, 9}};

class TestClassDesc : public ClassDesc2 {
 public:
  int IsPublic() override { return 1; }
  void* Create(BOOL) override { return nullptr; }
  const char* ClassName() override { return "Test"; }
  SClass_ID SuperClassID() override { return TEXMAP_CLASS_ID; }
  Class_ID ClassID() override { return Class_ID(7, 7); }
  const char* Category() override { return ""; }
  const char* InternalName() override { return "Test"; }
  HINSTANCE HInstance() override { return instance; }
  HINSTANCE instance = nullptr;
};

TestClassDesc testClassDesc;

ParamBlockDesc2 testDesc(0, "settings", 0, &testClassDesc, P_AUTO_CONSTRUCT | P_AUTO_UI, 1, kDialog, 1, 0, 0, nullptr,
                         kNode, "node", TYPE_INODE, 0, 0, p_ui, TYPE_PICKNODEBUTTON, 16, p_end, kCoords, "coords",
                         TYPE_REFTARG, P_OWNERS_REF, 0, p_refno, 0, p_end, kGain, "gain", TYPE_FLOAT, P_ANIMATABLE, 2,
                         p_default, 0.5f, p_range, -1.0f, 1.0f, p_ui, TYPE_SPINNER, EDITTYPE_FLOAT, 10, 11, 0.1f, p_end,
                         kSteps, "steps", TYPE_INT, P_ANIMATABLE, 0, p_default, 4, p_range, 2, 10, p_ui, TYPE_SPINNER,
                         EDITTYPE_INT, 12, 13, 1, p_end, kUseMap, "useMap", TYPE_BOOL, 0, 0, p_default, 0, p_ui,
                         TYPE_SINGLECHEKBOX, 14, p_enable_ctrls, 1, kMap, p_end, kMap, "map", TYPE_TEXMAP, 0, 0,
                         p_subtexno, 0, p_ui, TYPE_TEXMAPBUTTON, 15, p_end, kFlag, "flag", TYPE_BOOL, 0, 0, p_default,
                         1, p_end, p_end);

class Constant : public StubTexmap {
 public:
  AColor EvalColor(ShadeContext&) override { return {0.2f, 0.4f, 0.9f, 1.0f}; }
  ReferenceTarget* Clone(RemapDir& remap) override { return CloneStub(*this, remap); }
  // A map that refers to something, to build a cycle with.
  int NumRefs() override { return 1; }
  RefTargetHandle GetReference(int i) override { return i == 0 ? held : nullptr; }
  void SetReference(int i, RefTargetHandle t) override {
    if (i == 0) held = t;
  }
  ReferenceTarget* held = nullptr;
};

// An object holding its block as reference 1 and anything as reference 0, recording what it hears.
class Owner : public ReferenceTarget {
 public:
  Owner() { testClassDesc.MakeAutoParamBlocks(this); }
  ~Owner() override { DeleteAllRefsFromMe(); }
  int NumRefs() override { return 2; }
  RefTargetHandle GetReference(int i) override { return i == 0 ? first : i == 1 ? block : nullptr; }
  void SetReference(int i, RefTargetHandle t) override {
    if (i == 0) first = t;
    if (i == 1) block = static_cast<IParamBlock2*>(t);
  }
  RefResult NotifyRefChanged(const Interval&, RefTargetHandle target, PartID&, RefMessage message) override {
    if (target == block && message == REFMSG_CHANGE) heard.push_back(block->LastNotifyParamID());
    return REF_SUCCEED;
  }
  ReferenceTarget* first = nullptr;
  IParamBlock2* block = nullptr;
  std::vector<ParamID> heard;  // LastNotifyParamID of every change the block sent
};

class ParamBlockTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
#ifdef _WIN32
    // The same strings are this program's real string table there.
    testClassDesc.instance = ModuleInstanceFromAddress(&testClassDesc);
#else
    testClassDesc.instance = RegisterModuleStrings(&testClassDesc, kStrings, 2);
#endif
    RegisterModuleDialogs(&testClassDesc, kDialogs, 1);
  }
  void TearDown() override {
    AnimateOff();
    GetCOREInterface()->ResetScene();
  }
};

TEST_F(ParamBlockTest, DescriptionReadsTheTaggedList) {
  EXPECT_EQ(testDesc.Errors(), "");
  EXPECT_EQ(testDesc.RefNo(), 1);
  EXPECT_EQ(testDesc.DialogTemplate(), kDialog);
  EXPECT_EQ(testDesc.Title(), 1);
  ASSERT_EQ(testDesc.Count(), 7);
  const ParamDef* gain = testDesc.FindParam(kGain);
  ASSERT_NE(gain, nullptr);
  EXPECT_EQ(gain->internalName, "gain");
  EXPECT_EQ(gain->flags, P_ANIMATABLE);
  EXPECT_FLOAT_EQ(gain->defaultValue.f, 0.5f);
  EXPECT_TRUE(gain->hasRange);
  EXPECT_FLOAT_EQ(gain->rangeLow.f, -1.0f);
  EXPECT_EQ(gain->controlIds, (std::vector<int>{10, 11}));
  EXPECT_FLOAT_EQ(gain->spinnerStep, 0.1f);
  EXPECT_EQ(testDesc.FindParam(kSteps)->rangeHigh.i, 10);
  EXPECT_EQ(testDesc.FindParam(kUseMap)->enableCtrls, (std::vector<ParamID>{kMap}));
  EXPECT_EQ(testDesc.FindParam(kMap)->subtexno, 0);
  EXPECT_EQ(testDesc.FindParam(kCoords)->refno, 0);
  EXPECT_EQ(testClassDesc.GetParamBlockDescByID(0), &testDesc);
}

TEST_F(ParamBlockTest, FaultyDescriptionsAreReportedNotTrusted) {
  struct Case {
    const char* what;
    std::vector<DescArg> list;
  };
  const std::vector<Case> cases = {
      {"no p_end", {kGain, "gain", TYPE_FLOAT, 0, 0, p_default, 0.5f}},
      {"expected the parameter's internal name", {kGain, 7, TYPE_FLOAT, 0, 0, p_end, p_end}},
      {"default lies outside", {kGain, "gain", TYPE_FLOAT, 0, 0, p_default, 5.0f, p_range, 0.0f, 1.0f, p_end, p_end}},
      {"range is inverted", {kSteps, "s", TYPE_INT, 0, 0, p_range, 9, 2, p_end, p_end}},
      {"does not fit", {kGain, "gain", TYPE_FLOAT, 0, 0, p_ui, TYPE_SINGLECHEKBOX, 10, p_end, p_end}},
      {"enables unknown parameter", {kUseMap, "u", TYPE_BOOL, 0, 0, p_enable_ctrls, 1, 42, p_end, p_end}},
      {"used twice", {kGain, "a", TYPE_FLOAT, 0, 0, p_end, kGain, "b", TYPE_FLOAT, 0, 0, p_end, p_end}},
      {"P_OWNERS_REF", {kCoords, "coords", TYPE_REFTARG, P_OWNERS_REF, 0, p_end, p_end}},
      {"numbers only", {kMap, "map", TYPE_TEXMAP, 0, 0, p_default, 1, p_end, p_end}},
      {"does not end", {kGain, "gain", TYPE_FLOAT, 0, 0, p_end}},
  };
  for (const Case& c : cases) {
    const ParamBlockDesc2 desc(5, "broken", 0, nullptr, 0, c.list);
    EXPECT_NE(desc.Errors().find(c.what), std::string::npos) << c.what << " -> " << desc.Errors();
  }
}

TEST_F(ParamBlockTest, NewBlocksHoldDefaultsAndWritesAreClampedOrRefused) {
  Owner owner;
  ASSERT_NE(owner.block, nullptr);
  IParamBlock2* pb = owner.block;
  EXPECT_EQ(pb->GetOwner(), &owner);
  EXPECT_FLOAT_EQ(pb->GetFloat(kGain), 0.5f);
  EXPECT_EQ(pb->GetInt(kSteps), 4);
  EXPECT_EQ(pb->GetInt(kUseMap), 0);
  EXPECT_EQ(pb->GetInt(kFlag), 1);

  Interval valid = FOREVER;
  float gain = 0;
  EXPECT_TRUE(pb->SetValue(kGain, 0, 7.5f));
  EXPECT_TRUE(pb->GetValue(kGain, 0, gain, valid));
  EXPECT_FLOAT_EQ(gain, 1.0f);
  EXPECT_TRUE(pb->SetValue(kSteps, 0, -3));
  EXPECT_EQ(pb->GetInt(kSteps), 2);
  EXPECT_TRUE(pb->SetValue(kUseMap, 0, 5));
  EXPECT_EQ(pb->GetInt(kUseMap), 1);

  EXPECT_FALSE(pb->SetValue(kGain, 0, std::numeric_limits<float>::quiet_NaN()));
  EXPECT_FLOAT_EQ(pb->GetFloat(kGain), 1.0f);
  EXPECT_FALSE(pb->SetValue(kGain, 0, 3));      // an int into a float parameter
  EXPECT_FALSE(pb->SetValue(kSteps, 0, 3.0f));  // a float into an int parameter
  EXPECT_FALSE(pb->SetValue(kSteps, 0, 3, 1));  // tab index 1
  EXPECT_FALSE(pb->SetValue(99, 0, 3));
  int steps = 0;
  EXPECT_FALSE(pb->GetValue(kGain, 0, steps, valid));
  EXPECT_FALSE(pb->GetValue(99, 0, gain, valid));
  EXPECT_EQ(valid, FOREVER);  // reads that fail leave the interval alone
}

TEST_F(ParamBlockTest, KeysInterpolateAndNarrowValidity) {
  Owner owner;
  IParamBlock2* pb = owner.block;
  AnimateOn();
  ASSERT_TRUE(pb->SetValue(kGain, 100, 1.0f));  // first key also keeps 0.5 at time 0
  ASSERT_TRUE(pb->SetValue(kGain, 300, 1.0f));
  ASSERT_TRUE(pb->SetValue(kSteps, 100, 10));
  AnimateOff();
  ASSERT_EQ(pb->NumKeys(kGain), 3);
  EXPECT_EQ(pb->KeyTime(kGain, 0), 0);

  struct Probe {
    TimeValue t;
    float value;
    Interval valid;
  };
  const Probe probes[] = {
      {-50, 0.5f, Interval(TIME_NegInfinity, 0)},
      {0, 0.5f, Interval(TIME_NegInfinity, 0)},
      {50, 0.75f, Interval(50, 50)},
      {100, 1.0f, Interval(100, TIME_PosInfinity)},  // the keys at 100 and 300 are equal
      {200, 1.0f, Interval(100, TIME_PosInfinity)},
      {900, 1.0f, Interval(100, TIME_PosInfinity)},
  };
  for (const Probe& p : probes) {
    Interval valid = FOREVER;
    float v = 0;
    ASSERT_TRUE(pb->GetValue(kGain, p.t, v, valid));
    EXPECT_FLOAT_EQ(v, p.value) << p.t;
    EXPECT_EQ(valid, p.valid) << p.t;
  }
  // Narrowing intersects: a caller's narrower interval stays.
  Interval narrow(60, 70);
  float v = 0;
  pb->GetValue(kGain, 200, v, narrow);
  EXPECT_EQ(narrow, NEVER);
  // Ints round the interpolation: 4 -> 10 over 0..100 is 7 at 50, 5 at 10.
  EXPECT_EQ(pb->GetInt(kSteps, 50), 7);
  EXPECT_EQ(pb->GetInt(kSteps, 10), 5);
  // An unkeyed parameter holds forever.
  Interval valid = FOREVER;
  int flag = 0;
  pb->GetValue(kFlag, 500, flag, valid);
  EXPECT_EQ(valid, FOREVER);
  // With the button off, a keyed parameter changes its key rather than losing its animation.
  ASSERT_TRUE(pb->SetValue(kGain, 300, 0.0f));
  EXPECT_EQ(pb->NumKeys(kGain), 3);
  EXPECT_FLOAT_EQ(pb->GetFloat(kGain, 200), 0.5f);
  pb->DeleteKeys(kGain);
  EXPECT_EQ(pb->NumKeys(kGain), 0);
  EXPECT_FLOAT_EQ(pb->GetFloat(kGain, 900), 0.5f);  // the value at time 0 stays
}

TEST_F(ParamBlockTest, ChangesNotifyWithTheParameterThatChanged) {
  Owner owner;
  IParamBlock2* pb = owner.block;
  pb->SetValue(kSteps, 0, 6);
  pb->SetValue(kSteps, 0, 6);   // unchanged: no message
  pb->SetValue(kSteps, 0, 12);  // clamps to 10: a change
  pb->SetValue(kSteps, 0, 11);  // clamps to 10 again: none
  EXPECT_EQ(owner.heard, (std::vector<ParamID>{kSteps, kSteps}));

  auto* map = new Constant();
  ASSERT_TRUE(pb->SetValue(kMap, 0, static_cast<Texmap*>(map)));
  owner.heard.clear();
  map->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  EXPECT_EQ(owner.heard, (std::vector<ParamID>{kMap}));
  owner.heard.clear();
  map->DeleteThis();  // the block forgets it and says which parameter lost its value
  EXPECT_EQ(owner.heard, (std::vector<ParamID>{kMap}));
  Texmap* now = map;
  Interval valid = FOREVER;
  pb->GetValue(kMap, 0, now, valid);
  EXPECT_EQ(now, nullptr);

  owner.heard.clear();
  pb->ResetAll();
  EXPECT_EQ(owner.heard, (std::vector<ParamID>{-1}));
  EXPECT_EQ(pb->GetInt(kSteps), 4);
}

TEST_F(ParamBlockTest, ReferenceParametersRefuseCyclesAndWrongClasses) {
  Owner owner;
  IParamBlock2* pb = owner.block;
  Interval valid = FOREVER;

  // A sub-map that refers back to the block's owner would make the owner depend on itself.
  auto* loop = new Constant();
  loop->ReplaceReference(0, &owner, FALSE);
  EXPECT_FALSE(pb->SetValue(kMap, 0, static_cast<Texmap*>(loop)));
  Texmap* map = nullptr;
  pb->GetValue(kMap, 0, map, valid);
  EXPECT_EQ(map, nullptr);
  loop->ReplaceReference(0, nullptr, FALSE);  // the owner lives on the stack
  loop->DeleteThis();

  INode* node = GetCOREInterface()->CreateObjectNode(CreateNewTriObject());
  EXPECT_FALSE(pb->SetValue(kMap, 0, static_cast<ReferenceTarget*>(node)));  // a node is no map
  EXPECT_FALSE(pb->SetValue(kNode, 0, static_cast<Texmap*>(nullptr)));       // wrong type of call
  ASSERT_TRUE(pb->SetValue(kNode, 0, node));
  INode* got = nullptr;
  pb->GetValue(kNode, 0, got, valid);
  EXPECT_EQ(got, node);
  ASSERT_TRUE(pb->SetValue(kNode, 0, static_cast<INode*>(nullptr)));
  EXPECT_EQ(GetCOREInterface()->Nodes().size(), 1u);  // clearing the pick leaves the node alone

  // P_OWNERS_REF shows the owner's own reference 0.
  auto* coords = new Constant();
  ASSERT_TRUE(pb->SetValue(kCoords, 0, static_cast<ReferenceTarget*>(coords)));
  EXPECT_EQ(owner.first, coords);
  ReferenceTarget* shown = nullptr;
  pb->GetValue(kCoords, 0, shown, valid);
  EXPECT_EQ(shown, coords);
  EXPECT_EQ(valid, FOREVER);
}

TEST_F(ParamBlockTest, CloneCopiesValuesKeysAndRemapsSubMaps) {
  Owner owner;
  IParamBlock2* pb = owner.block;
  INode* node = GetCOREInterface()->CreateObjectNode(CreateNewTriObject());
  auto* map = new Constant();
  map->SetName(CStr("ramp"));
  pb->SetValue(kNode, 0, node);
  pb->SetValue(kMap, 0, static_cast<Texmap*>(map));
  AnimateOn();
  pb->SetValue(kGain, 100, -1.0f);
  AnimateOff();

  RemapDir remap;
  auto* copy = static_cast<IParamBlock2*>(remap.CloneRef(pb));
  ASSERT_NE(copy, nullptr);
  EXPECT_FLOAT_EQ(copy->GetFloat(kGain, 50), 0.5f * 0.5f + -1.0f * 0.5f);
  EXPECT_EQ(copy->NumKeys(kGain), 2);
  INode* copiedNode = nullptr;
  Texmap* copiedMap = nullptr;
  Interval valid = FOREVER;
  copy->GetValue(kNode, 0, copiedNode, valid);
  copy->GetValue(kMap, 0, copiedMap, valid);
  EXPECT_EQ(copiedNode, node);  // nodes are shared
  ASSERT_NE(copiedMap, nullptr);
  EXPECT_NE(copiedMap, map);  // sub-maps are copied
  EXPECT_STREQ(copiedMap->GetName().data(), "ramp");
  // The copy is independent.
  copy->SetValue(kSteps, 0, 9);
  EXPECT_EQ(pb->GetInt(kSteps), 4);
  copy->DeleteThis();
}

TEST_F(ParamBlockTest, NumbersSurviveSaveAndLoadAndDamageIsRefused) {
  Owner owner;
  IParamBlock2* pb = owner.block;
  pb->SetValue(kSteps, 0, 8);
  AnimateOn();
  pb->SetValue(kGain, 160, -0.25f);
  AnimateOff();
  MemorySave save;
  ASSERT_EQ(pb->Save(&save), IO_OK);
  const std::vector<unsigned char> bytes = save.Bytes();

  Owner other;
  {
    MemoryLoad load(bytes.data(), bytes.size());
    ASSERT_EQ(other.block->Load(&load), IO_OK);
  }
  EXPECT_EQ(other.block->GetInt(kSteps), 8);
  EXPECT_EQ(other.block->NumKeys(kGain), 2);
  EXPECT_FLOAT_EQ(other.block->GetFloat(kGain, 80), pb->GetFloat(kGain, 80));

  // Every truncation of the chunk, and a key count that overruns it, leave the block as it was.
  const std::size_t header = 10;  // chunk id and length
  for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
    std::vector<unsigned char> damaged(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    Owner fresh;
    MemoryLoad load(damaged.data(), damaged.size());
    fresh.block->Load(&load);
    EXPECT_EQ(fresh.block->GetInt(kSteps), 4) << cut;
    EXPECT_EQ(fresh.block->NumKeys(kGain), 0) << cut;
  }
  std::vector<unsigned char> lying = bytes;
  // The gain parameter's key count sits after the count (2 bytes) and id, type, value (7 bytes).
  lying[header + 2 + 7] = 0xFF;
  lying[header + 2 + 8] = 0xFF;
  Owner fresh;
  MemoryLoad load(lying.data(), lying.size());
  EXPECT_EQ(fresh.block->Load(&load), IO_ERROR);
  EXPECT_EQ(fresh.block->NumKeys(kGain), 0);
}

// A user dialog procedure that records what it is sent and counts live instances.
class RecordingProc : public ParamMap2UserDlgProc {
 public:
  explicit RecordingProc(std::vector<unsigned>& log) : log_(log) { ++live; }
  ~RecordingProc() override { --live; }
  BOOL DlgProc(TimeValue, IParamMap2* map, HWND, UINT msg, WPARAM w, LPARAM) override {
    if (msg == WM_COMMAND) {
      // The parameter map has not yet handled the message: the check box shows its old state.
      const ParamControl* box = map->Control(14);
      log_.push_back(LOWORD(w) * 10 + (box != nullptr && box->checked ? 1u : 0u));
    }
    return FALSE;
  }
  void DeleteThis() override { delete this; }
  void SetThing(ReferenceTarget* thing) override { lastThing = thing; }
  static inline int live = 0;
  ReferenceTarget* lastThing = nullptr;

 private:
  std::vector<unsigned>& log_;
};

class SecondaryDlg : public ParamDlg {
 public:
  Class_ID ClassID() override { return Class_ID(1, 1); }
  void SetThing(ReferenceTarget* t) override { thing = t; }
  ReferenceTarget* GetThing() override { return thing; }
  ReferenceTarget* thing = nullptr;
};

TEST_F(ParamBlockTest, RolloutFollowsTheBlockAndRoutesMessages) {
  Owner owner;
  MaterialEditor editor;
  IAutoMParamDlg* dlg = testClassDesc.CreateParamDlgs(nullptr, &editor, &owner);
  ASSERT_EQ(dlg->NumMaps(), 1);
  IParamMap2* map = dlg->GetMap(0);
  ASSERT_TRUE(map->HasTemplate());
  EXPECT_EQ(map->Controls().size(), 9u);
  EXPECT_EQ(editor.pages, (std::vector<std::string>{"Settings"}));
  EXPECT_FLOAT_EQ(map->Control(10)->number, 0.5f);
  EXPECT_EQ(map->Control(11)->param, kGain);
  EXPECT_EQ(map->Control(17)->param, -1);

  // The map button follows the check box.
  EXPECT_FALSE(map->Control(15)->enabled);
  EXPECT_FALSE(map->AssignTexmap(15, nullptr));
  std::vector<unsigned> log;
  testDesc.SetUserDlgProc(0, new RecordingProc(log));
  EXPECT_TRUE(map->ClickButton(14));
  EXPECT_EQ(log, (std::vector<unsigned>{140}));
  EXPECT_EQ(owner.block->GetInt(kUseMap), 1);
  EXPECT_TRUE(map->Control(14)->checked);
  EXPECT_TRUE(map->Control(15)->enabled);
  // A button that is no parameter reaches the procedure only.
  EXPECT_TRUE(map->ClickButton(17));
  EXPECT_EQ(log.back(), 171u);

  // Spinners clamp to the range; int spinners round.
  EXPECT_TRUE(map->SetSpinner(12, 6.6f));
  EXPECT_EQ(owner.block->GetInt(kSteps), 7);
  EXPECT_TRUE(map->SetSpinner(13, 1e9f));
  EXPECT_EQ(owner.block->GetInt(kSteps), 10);
  EXPECT_FLOAT_EQ(map->Control(12)->number, 10.0f);
  EXPECT_FALSE(map->SetSpinner(14, 1.0f));  // a check box is no spinner

  // A change made elsewhere shows after InvalidateUI.
  owner.block->SetValue(kGain, 0, -0.5f);
  testDesc.InvalidateUI();
  EXPECT_FLOAT_EQ(map->Control(10)->number, -0.5f);
  map->Enable(kGain, FALSE);
  EXPECT_FALSE(map->SetSpinner(10, 0.0f));

  // Installing a second procedure releases the first; moving the page to another object moves
  // the map to that object's block and tells the procedure and the secondary pages.
  testDesc.SetUserDlgProc(0, new RecordingProc(log));
  EXPECT_EQ(RecordingProc::live, 1);
  dlg->AddDlg(new SecondaryDlg());
  Owner second;
  dlg->SetThing(&second);
  EXPECT_EQ(map->GetParamBlock(), second.block);
  EXPECT_EQ(static_cast<RecordingProc*>(map->GetUserDlgProc())->lastThing, &second);
  EXPECT_FALSE(map->Control(15)->enabled);  // the second object's check box is clear
  dlg->DeleteThis();
  EXPECT_EQ(RecordingProc::live, 0);
  EXPECT_EQ(editor.pages, (std::vector<std::string>{""}));

  // With no rollout open, the description keeps a procedure for the next one.
  testDesc.SetUserDlgProc(0, new RecordingProc(log));
  EXPECT_NE(testDesc.GetUserDlgProc(0), nullptr);
  IAutoMParamDlg* again = testClassDesc.CreateParamDlgs(nullptr, &editor, &owner);
  EXPECT_EQ(again->GetMap(0)->GetUserDlgProc(), testDesc.GetUserDlgProc(0));
  again->DeleteThis();
  EXPECT_EQ(RecordingProc::live, 0);
}

}  // namespace
