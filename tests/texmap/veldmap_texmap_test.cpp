// The texture map through its static build: its state, its references, its shading, its
// viewport texture and its rollout commands.
#include "texmap/veldmap_texmap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "host/chunk_io.h"
#include "host/mtl_params.h"
#include "host/scene.h"
#include "host/win32.h"
#include "plugin/plugin_main.h"
#include "plugin/veldmap_params.h"
#include "tests/support/mesh_builders.h"
#include "tests/support/stub_texmap.h"
#include "tests/support/uv_shade_context.h"

namespace {

// A colour ramp that shows what it was handed: red is the context's U, green its P().x, blue
// the screen column; alpha 0.25 so a leak of its alpha would show.
class ProbeRamp : public StubTexmap {
 public:
  AColor EvalColor(ShadeContext& sc) override {
    ++calls;
    return AColor(sc.UVW(0).x, sc.P().x, static_cast<float>(sc.ScreenCoord().x), 0.25f);
  }
  Interval Validity(TimeValue) override { return Interval(-100, 100); }
  std::atomic<int> calls{0};
};

// A ramp that refers to another map (to make a loop with).
class LoopRamp : public ProbeRamp {
 public:
  int NumRefs() override { return 1; }
  RefTargetHandle GetReference(int i) override { return i == 0 ? held : nullptr; }
  void SetReference(int i, RefTargetHandle t) override {
    if (i == 0) held = t;
  }
  ReferenceTarget* held = nullptr;
};

// Something that depends on the map and counts the changes it hears of.
class Watcher : public ReferenceMaker {
 public:
  int NumRefs() override { return 1; }
  RefTargetHandle GetReference(int i) override { return i == 0 ? target : nullptr; }
  void SetReference(int i, RefTargetHandle t) override {
    if (i == 0) target = t;
  }
  RefResult NotifyRefChanged(const Interval&, RefTargetHandle, PartID&, RefMessage m) override {
    if (m == REFMSG_CHANGE) ++changes;
    return REF_SUCCEED;
  }
  ReferenceTarget* target = nullptr;
  int changes = 0;
};

// A ramp across X from height 0 at x = 0 to 1 at x = 2 (so normalised Z runs 0..1 across U),
// on a 2 x 1 footprint.
Mesh Slope() { return MakeMesh({{0, 0, 0}, {2, 0, 1}, {2, 1, 1}, {0, 1, 0}}, {{0, 1, 2}, {0, 2, 3}}); }

class VeldmapTexmapTest : public testing::Test {
 protected:
  void SetUp() override { DllMain(ModuleInstanceFromAddress(&pluginInstance), DLL_PROCESS_ATTACH, nullptr); }
  void TearDown() override {
    GetCOREInterface()->ResetScene();
    AnimateOff();
  }

  static INode* NodeWith(const Mesh& mesh) {
    TriObject* object = CreateNewTriObject();
    object->GetMesh() = mesh;
    return GetCOREInterface()->CreateObjectNode(object);
  }

  static void Pick(VeldmapTexmap& map, INode* node) { ASSERT_TRUE(map.pblock->SetValue(pb_node, 0, node)); }

  static Interval UpdateAt(VeldmapTexmap& map, TimeValue t) {
    Interval valid = FOREVER;
    map.Update(t, valid);
    return valid;
  }

  static float HeightOf(const Mesh& mesh, float u, float v) {
    SurfaceSampler expected;
    expected.Rebuild(mesh);
    return expected.FilteredHeight(u, v, 0, 0);
  }
};

TEST_F(VeldmapTexmapTest, NewMapAnswersTheHostsQuestions) {
  auto* map = new VeldmapTexmap();
  CStr name;
  map->GetClassName(name);
  EXPECT_STREQ(name.data(), "Veldmap");
  EXPECT_EQ(map->ClassID(), Class_ID(0x3ba26d33, 0x4029d4f7));
  EXPECT_EQ(map->SuperClassID(), TEXMAP_CLASS_ID);
  EXPECT_EQ(map->NumSubs(), 2);
  EXPECT_EQ(map->SubAnim(0), map->uvGen);
  EXPECT_EQ(map->SubAnim(1), map->pblock);
  EXPECT_EQ(map->SubAnim(5), nullptr);
  EXPECT_STREQ(map->SubAnimName(0).data(), "Coordinates");
  EXPECT_STREQ(map->SubAnimName(1).data(), "Parameters");
  EXPECT_STREQ(map->SubAnimName(5).data(), "Parameters");
  EXPECT_EQ(map->NumRefs(), 2);
  EXPECT_EQ(map->GetReference(0), map->uvGen);
  EXPECT_EQ(map->GetReference(1), map->pblock);
  EXPECT_EQ(map->GetReference(2), nullptr);
  ASSERT_NE(map->uvGen, nullptr);
  ASSERT_NE(map->pblock, nullptr);
  EXPECT_EQ(map->GetParamBlock(7), map->pblock);
  EXPECT_EQ(map->GetParamBlockByID(0), map->pblock);
  EXPECT_EQ(map->GetParamBlockByID(1), nullptr);
  EXPECT_EQ(map->GetInterface(I_SUBMAP), static_cast<ISubMap*>(map));
  EXPECT_EQ(map->GetInterface(IID_MTLBASE), static_cast<void*>(static_cast<MtlBase*>(map)));
  EXPECT_EQ(map->GetInterface(IID_TEXMAP), static_cast<void*>(static_cast<MtlBase*>(map)));
  EXPECT_EQ(map->GetInterface(0x1234), nullptr);
  EXPECT_EQ(map->Validity(0), NEVER);
  EXPECT_FALSE(map->hasStoredMesh);
  EXPECT_EQ(map->GetTheUVGen(), map->uvGen);
  EXPECT_EQ(map->GetTextureTiling(), U_WRAP | V_WRAP);
  EXPECT_EQ(map->LocalRequirements(0), map->uvGen->Requirements(0));

  // No node, no mesh: Update changes nothing but the validity, which only the parameters narrow.
  Interval valid(5, 6);
  map->Update(0, valid);
  EXPECT_EQ(valid, FOREVER);
  EXPECT_EQ(map->sampler.root, nullptr);
  UVContext sc;
  sc.uvw = Point3(0.5f, 0.5f, 0);
  EXPECT_EQ(map->EvalMono(sc), 0.0f);

  // The sub-map slot.
  EXPECT_EQ(map->NumSubTexmaps(), 1);
  EXPECT_STREQ(map->GetSubTexmapSlotName(0).data(), "empty");
  auto* ramp = new ProbeRamp();
  map->SetSubTexmap(3, ramp);  // the index is ignored
  EXPECT_EQ(map->GetSubTexmap(0), ramp);
  EXPECT_EQ(map->GetSubTexmap(9), ramp);
  EXPECT_STREQ(map->GetSubTexmapSlotName(0).data(), "Color Ramp Texture");
  map->DeleteThis();
}

// The slot a virtual operation takes in its class's table, from the representation the Itanium
// C++ ABI (GCC and Clang, MinGW included) gives a pointer to a virtual member: one more than the
// slot's byte offset. -1 for an operation that is not virtual.
template <typename MemberFunction>
long SlotOf(MemberFunction f) {
  struct Representation {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
  };
  static_assert(sizeof(MemberFunction) == sizeof(Representation));
  Representation rep;
  std::memcpy(&rep, &f, sizeof rep);
  if ((rep.ptr & 1u) == 0) return -1;
  return static_cast<long>((rep.ptr - 1) / sizeof(void*));
}

// Opens the map's protected reference setter to the slot check.
struct SlotProbe : VeldmapTexmap {
  static long SetReferenceSlot() { return SlotOf(&SlotProbe::SetReference); }
};

void ExpectInSlotOrder(const char* table, const std::vector<std::pair<const char*, long>>& slots) {
  for (std::size_t i = 0; i < slots.size(); ++i) {
    EXPECT_GE(slots[i].second, 0) << table << ": " << slots[i].first << " is not virtual";
    if (i > 0) {
      EXPECT_LT(slots[i - 1].second, slots[i].second)
          << table << ": " << slots[i - 1].first << " must come before " << slots[i].first;
    }
  }
}

// The host calls the module through its tables, so a map's operations must sit where the host
// looks for them: in the order the host's base classes declare them.
TEST(VeldmapTexmapSlots, VirtualOperationsSitInTheHostsOrder) {
#if !defined(__GNUC__) || defined(_MSC_VER)
  GTEST_SKIP() << "reads the Itanium C++ ABI's member pointers";
#else
  using M = VeldmapTexmap;
  ExpectInSlotOrder("VeldmapTexmap", {{"GetClassName", SlotOf(&M::GetClassName)},
                                      {"ClassID", SlotOf(&M::ClassID)},
                                      {"SuperClassID", SlotOf(&M::SuperClassID)},
                                      {"DeleteThis", SlotOf(&M::DeleteThis)},
                                      {"NumSubs", SlotOf(&M::NumSubs)},
                                      {"SubAnim", SlotOf(&M::SubAnim)},
                                      {"SubAnimName", SlotOf(&M::SubAnimName)},
                                      {"NumParamBlocks", SlotOf(&M::NumParamBlocks)},
                                      {"GetParamBlock", SlotOf(&M::GetParamBlock)},
                                      {"GetParamBlockByID", SlotOf(&M::GetParamBlockByID)},
                                      {"Save", SlotOf(&M::Save)},
                                      {"Load", SlotOf(&M::Load)},
                                      {"NumRefs", SlotOf(&M::NumRefs)},
                                      {"GetReference", SlotOf(&M::GetReference)},
                                      {"SetReference", SlotProbe::SetReferenceSlot()},
                                      {"NotifyRefChanged", SlotOf(&M::NotifyRefChanged)},
                                      {"Clone", SlotOf(&M::Clone)},
                                      {"LocalRequirements", SlotOf(&M::LocalRequirements)},
                                      {"LocalMappingsRequired", SlotOf(&M::LocalMappingsRequired)},
                                      {"Update", SlotOf(&M::Update)},
                                      {"Reset", SlotOf(&M::Reset)},
                                      {"Validity", SlotOf(&M::Validity)},
                                      {"CreateParamDlg", SlotOf(&M::CreateParamDlg)},
                                      {"SupportTexDisplay", SlotOf(&M::SupportTexDisplay)},
                                      {"GetActiveTexHandle", SlotOf(&M::GetActiveTexHandle)},
                                      {"ActivateTexDisplay", SlotOf(&M::ActivateTexDisplay)},
                                      {"EvalColor", SlotOf(&M::EvalColor)},
                                      {"EvalMono", SlotOf(&M::EvalMono)},
                                      {"EvalNormalPerturb", SlotOf(&M::EvalNormalPerturb)},
                                      {"GetVPDisplayDIB", SlotOf(&M::GetVPDisplayDIB)},
                                      {"GetUVTransform", SlotOf(&M::GetUVTransform)},
                                      {"GetTextureTiling", SlotOf(&M::GetTextureTiling)},
                                      {"InitSlotType", SlotOf(&M::InitSlotType)},
                                      {"GetUVWSource", SlotOf(&M::GetUVWSource)},
                                      {"GetMapChannel", SlotOf(&M::GetMapChannel)},
                                      {"GetTheUVGen", SlotOf(&M::GetTheUVGen)},
                                      {"IsLocalOutputMeaningful", SlotOf(&M::IsLocalOutputMeaningful)}});
  ExpectInSlotOrder("ISubMap", {{"NumSubTexmaps", SlotOf(&ISubMap::NumSubTexmaps)},
                                {"GetSubTexmap", SlotOf(&ISubMap::GetSubTexmap)},
                                {"MapSlotType", SlotOf(&ISubMap::MapSlotType)},
                                {"SetSubTexmap", SlotOf(&ISubMap::SetSubTexmap)},
                                {"SubTexmapOn", SlotOf(&ISubMap::SubTexmapOn)},
                                {"GetSubTexmapSlotName", SlotOf(&ISubMap::GetSubTexmapSlotName)},
                                {"SetDlgThing", SlotOf(&ISubMap::SetDlgThing)},
                                {"GetRefTarget", SlotOf(&ISubMap::GetRefTarget)}});
  ExpectInSlotOrder("HeightMapSampler", {{"Sample", SlotOf(&HeightMapSampler::Sample)},
                                         {"SampleFilter", SlotOf(&HeightMapSampler::SampleFilter)},
                                         {"SetTileNumbers", SlotOf(&HeightMapSampler::SetTileNumbers)},
                                         {"SampleMono", SlotOf(&HeightMapSampler::SampleMono)},
                                         {"SampleMonoFilter", SlotOf(&HeightMapSampler::SampleMonoFilter)}});
  ExpectInSlotOrder("VeldmapClassDesc", {{"IsPublic", SlotOf(&VeldmapClassDesc::IsPublic)},
                                         {"Create", SlotOf(&VeldmapClassDesc::Create)},
                                         {"ClassName", SlotOf(&VeldmapClassDesc::ClassName)},
                                         {"SuperClassID", SlotOf(&VeldmapClassDesc::SuperClassID)},
                                         {"ClassID", SlotOf(&VeldmapClassDesc::ClassID)},
                                         {"Category", SlotOf(&VeldmapClassDesc::Category)},
                                         {"InternalName", SlotOf(&VeldmapClassDesc::InternalName)},
                                         {"HInstance", SlotOf(&VeldmapClassDesc::HInstance)}});
  using Update3 = void (ParamMap2UserDlgProc::*)(TimeValue, Interval&, IParamMap2*);
  using Update1 = void (ParamMap2UserDlgProc::*)(TimeValue);
  ExpectInSlotOrder("RolloutDlgProc",
                    {{"DlgProc", SlotOf(&RolloutDlgProc::DlgProc)},
                     {"DeleteThis", SlotOf(&RolloutDlgProc::DeleteThis)},
                     {"SetThing", SlotOf(&RolloutDlgProc::SetThing)},
                     {"Update(t, valid, map)", SlotOf(static_cast<Update3>(&ParamMap2UserDlgProc::Update))},
                     {"Update(t)", SlotOf(static_cast<Update1>(&ParamMap2UserDlgProc::Update))},
                     {"SetParamBlock", SlotOf(&ParamMap2UserDlgProc::SetParamBlock)}});
#endif
}

TEST_F(VeldmapTexmapTest, MeshSourceFollowsPickBakeAndClear) {
  VeldmapTexmap map;
  const Mesh slope = Slope();
  INode* node = NodeWith(slope);
  Pick(map, node);
  UpdateAt(map, 0);
  EXPECT_FALSE(map.hasStoredMesh);
  for (const float u : {0.1f, 0.5f, 0.9f}) {
    Point3 p(u, 0.5f, 0);
    float h = -1;
    ASSERT_TRUE(map.sampler.HeightAt(p, h));
    EXPECT_EQ(h, HeightOf(slope, u, 0.5f));
    EXPECT_NEAR(h, u, 1e-5f);
  }

  // Bake: the mesh is copied and the pick cleared; the map then builds from its own copy.
  map.BakeNodeMesh();
  EXPECT_TRUE(map.hasStoredMesh);
  EXPECT_EQ(map.sampler.storedMesh, slope);
  INode* picked = node;
  Interval ignore = FOREVER;
  map.pblock->GetValue(pb_node, 0, picked, ignore);
  EXPECT_EQ(picked, nullptr);
  map.BakeNodeMesh();  // no node any more: only the flag is (again) set
  EXPECT_EQ(map.sampler.storedMesh, slope);
  // The node changing no longer matters.
  static_cast<TriObject*>(node->GetObjectRef())->GetMesh() = SquareAt(0, 0, 1, 1, 0.3f);
  UpdateAt(map, 0);
  EXPECT_NEAR(map.sampler.FilteredHeight(0.75f, 0.5f, 0, 0), 0.75f, 1e-5f);

  // Re-picking drops the baked state at the next update.
  Pick(map, node);
  UpdateAt(map, 0);
  EXPECT_FALSE(map.hasStoredMesh);
  const float flat = map.sampler.FilteredHeight(0.75f, 0.5f, 0, 0);
  EXPECT_EQ(flat, HeightOf(SquareAt(0, 0, 1, 1, 0.3f), 0.75f, 0.5f));

  // Clearing a pick that was never baked: nothing rebuilds, the last mesh stays.
  ASSERT_TRUE(map.pblock->SetValue(pb_node, 0, static_cast<INode*>(nullptr)));
  static_cast<TriObject*>(node->GetObjectRef())->GetMesh() = slope;
  UpdateAt(map, 0);
  EXPECT_EQ(map.sampler.FilteredHeight(0.75f, 0.5f, 0, 0), flat);

  // An object that cannot become a mesh keeps the previous one; one that converts is used.
  INode* point = GetCOREInterface()->CreateObjectNode(new PointHelperObject());
  Pick(map, point);
  UpdateAt(map, 0);
  EXPECT_EQ(map.sampler.FilteredHeight(0.75f, 0.5f, 0, 0), flat);
  INode* plane = GetCOREInterface()->CreateObjectNode(new PlaneObject(2, 2, 2));
  Pick(map, plane);
  UpdateAt(map, 0);
  EXPECT_NE(map.sampler.root, nullptr);
  float h = -1;
  EXPECT_TRUE(map.sampler.HeightAt(Point3(0.3f, 0.3f, 0), h));

  // A bake through a converting object copies the converted mesh.
  map.BakeNodeMesh();
  EXPECT_EQ(map.sampler.storedMesh.getNumFaces(), 8);
  // A bake with an object that cannot convert keeps both the pick and the stored mesh.
  Pick(map, point);
  map.BakeNodeMesh();
  map.pblock->GetValue(pb_node, 0, picked, ignore);
  EXPECT_EQ(picked, point);
  EXPECT_EQ(map.sampler.storedMesh.getNumFaces(), 8);
}

TEST_F(VeldmapTexmapTest, UpdateReportsTheValidityOfWhatItRead) {
  VeldmapTexmap map;
  Pick(map, NodeWith(Slope()));
  EXPECT_EQ(UpdateAt(map, 0), FOREVER);
  EXPECT_EQ(map.Validity(12345), FOREVER);
  AnimateOn();
  ASSERT_TRUE(map.pblock->SetValue(pb_u_offset, 480, 0.5f));
  AnimateOff();
  EXPECT_EQ(map.Validity(0), NEVER);  // the change made the map stale
  EXPECT_EQ(UpdateAt(map, 240), Interval(240, 240));
  EXPECT_EQ(UpdateAt(map, 1000), Interval(480, TIME_PosInfinity));
  EXPECT_EQ(map.sampler.uOffset, 0.5f);
  // A ramp's own validity narrows it further.
  auto* ramp = new ProbeRamp();
  map.SetSubTexmap(0, ramp);
  EXPECT_EQ(UpdateAt(map, -500), Interval(TIME_NegInfinity, 0) & Interval(-100, 100));
  EXPECT_EQ(map.rampMap, ramp);
}

TEST_F(VeldmapTexmapTest, NotificationsInvalidateAndDropTheViewportTexture) {
  VeldmapTexmap map;
  Watcher watcher;
  watcher.ReplaceReference(0, &map, FALSE);
  ViewportTexHandleMaker viewport(8);
  Pick(map, NodeWith(Slope()));
  const std::uintptr_t first = map.GetActiveTexHandle(0, viewport);
  ASSERT_NE(first, 0u);
  EXPECT_EQ(map.GetActiveTexHandle(4800, viewport), first);  // cached at any time
  EXPECT_EQ(viewport.HandlesMade(), 1);

  map.ActivateTexDisplay(TRUE);
  EXPECT_NE(map.texHandle, nullptr);
  map.ActivateTexDisplay(FALSE);
  EXPECT_EQ(map.texHandle, nullptr);
  EXPECT_EQ(viewport.LiveHandles(), 0);
  const std::uintptr_t second = map.GetActiveTexHandle(0, viewport);
  EXPECT_NE(second, first);

  // A parameter change: stale, UI refreshed, texture dropped; the change goes on to the map's
  // dependents, once.
  UpdateAt(map, 0);
  watcher.changes = 0;
  map.pblock->SetValue(pb_quad_tree_depth, 0, 7);
  EXPECT_EQ(map.Validity(0), NEVER);
  EXPECT_EQ(map.texHandle, nullptr);
  EXPECT_EQ(watcher.changes, 1);
  // A UV generator change reaches the dependents once (the map passes it on itself, too); a
  // symmetry change drops the texture.
  map.GetActiveTexHandle(0, viewport);
  map.uvGen->SetUOffset(0.25f);
  EXPECT_EQ(watcher.changes, 2);
  EXPECT_NE(map.texHandle, nullptr);
  map.uvGen->SetTextureTiling(U_MIRROR);
  EXPECT_EQ(map.texHandle, nullptr);
  PartID part = PART_ALL;
  EXPECT_EQ(map.NotifyRefChanged(FOREVER, map.uvGen, part, 0x9999), REF_SUCCEED);
  watcher.ReplaceReference(0, nullptr, FALSE);
}

TEST_F(VeldmapTexmapTest, CloneOwnsItsCopyOfTheBakedMesh) {
  VeldmapTexmap map;
  map.SetName(CStr("terrain"));
  map.gbufID = 3;
  Pick(map, NodeWith(Slope()));
  map.BakeNodeMesh();
  map.pblock->SetValue(pb_quad_tree_depth, 0, 9);
  map.uvGen->SetUTiling(2.0f);
  RemapDir remap;
  auto* clone = static_cast<VeldmapTexmap*>(map.Clone(remap));
  EXPECT_TRUE(clone->hasStoredMesh);
  EXPECT_EQ(clone->sampler.storedMesh, map.sampler.storedMesh);
  EXPECT_EQ(clone->sampler.root, nullptr);  // built by its first update
  EXPECT_EQ(clone->Validity(0), NEVER);
  EXPECT_STREQ(clone->GetName().data(), "terrain");
  EXPECT_EQ(clone->gbufID, 3u);
  EXPECT_NE(clone->pblock, map.pblock);
  EXPECT_EQ(clone->pblock->GetInt(pb_quad_tree_depth), 9);
  EXPECT_NE(clone->uvGen, map.uvGen);
  EXPECT_EQ(clone->uvGen->GetUTiling(), 2.0f);
  // Re-baking one leaves the other alone.
  Pick(map, NodeWith(SquareAt(0, 0, 1, 1, 0)));
  map.BakeNodeMesh();
  EXPECT_EQ(clone->sampler.storedMesh, Slope());
  clone->DeleteThis();
}

TEST_F(VeldmapTexmapTest, GreyAndRampColoursWithTheirClampsAndAlpha) {
  VeldmapTexmap map;
  Pick(map, NodeWith(Slope()));
  UpdateAt(map, 0);
  UVContext sc;
  sc.uvw = Point3(0.5f, 0.5f, 0);
  const float h = map.sampler.FilteredHeight(0.5f, 0.5f, 0, 0);
  AColor c = map.EvalColor(sc);
  EXPECT_EQ(c.r, h);
  EXPECT_EQ(c.b, h);
  EXPECT_EQ(c.a, 1.0f);
  map.pblock->SetValue(pb_affect_alpha, 0, 1);
  UpdateAt(map, 0);
  EXPECT_EQ(map.EvalColor(sc).a, h);

  // colorRamp without a map, or a map without colorRamp: grey.
  map.pblock->SetValue(pb_color_ramp, 0, 1);
  UpdateAt(map, 0);
  EXPECT_EQ(map.EvalColor(sc).g, h);
  auto* ramp = new ProbeRamp();
  map.SetSubTexmap(0, ramp);
  map.pblock->SetValue(pb_color_ramp, 0, 0);
  UpdateAt(map, 0);
  EXPECT_EQ(map.EvalColor(sc).g, h);
  EXPECT_EQ(ramp->calls, 0);

  map.pblock->SetValue(pb_color_ramp, 0, 1);
  UpdateAt(map, 0);
  c = map.EvalColor(sc);
  EXPECT_EQ(c.r, h);  // U handed to the ramp
  EXPECT_EQ(c.g, h);  // and P().x
  EXPECT_EQ(c.b, 0.0f);
  EXPECT_EQ(c.a, h);               // alpha from the height, never the ramp's 0.25
  EXPECT_EQ(map.EvalMono(sc), h);  // mono is the height, not the ramp
  // Outside every face: height 0, ramp looked up at 0.05; at the top it is 0.95.
  c = map.EvalColorAt(sc, 5.0f, 5.0f, 0, 0);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(c.r), 0x3D4CCCCDu);
  EXPECT_EQ(c.a, 0.0f);
  const AColor top = map.EvalColorAt(sc, 0.999f, 0.5f, 0, 0);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(top.r), 0x3F733333u);
  map.pblock->SetValue(pb_affect_alpha, 0, 0);
  UpdateAt(map, 0);
  EXPECT_EQ(map.EvalColorAt(sc, 5.0f, 5.0f, 0, 0).a, 1.0f);
  // The map's own context is left as Update made it: lookups work on copies.
  EXPECT_EQ(map.rampContext.uvw.x, 0.0f);

  // Maps off: zeros, and no G-buffer id is written. With an id, it is.
  map.gbufID = 0;
  sc.out.gbufId = -7;
  map.EvalColor(sc);
  EXPECT_EQ(sc.out.gbufId, -7);
  sc.doMaps = FALSE;
  map.gbufID = 9;
  EXPECT_EQ(map.EvalColor(sc).r, 0.0f);
  EXPECT_EQ(map.EvalColor(sc).a, 0.0f);
  EXPECT_EQ(map.EvalMono(sc), 0.0f);
  EXPECT_EQ(map.EvalNormalPerturb(sc), Point3(0, 0, 0));
  EXPECT_EQ(sc.out.gbufId, -7);
  sc.doMaps = TRUE;
  map.EvalMono(sc);
  EXPECT_EQ(sc.out.gbufId, 9);
}

TEST_F(VeldmapTexmapTest, RampLoopIsRefusedAndTheMapSurvives) {
  auto* map = new VeldmapTexmap();
  auto* loop = new LoopRamp();
  ASSERT_EQ(loop->ReplaceReference(0, map, FALSE), REF_SUCCEED);
  map->SetSubTexmap(0, loop);
  EXPECT_EQ(map->GetSubTexmap(0), nullptr);
  map->SetSubTexmap(0, map);  // a map as its own ramp
  EXPECT_EQ(map->GetSubTexmap(0), nullptr);
  Interval valid;
  map->Update(0, valid);
  UVContext sc;
  EXPECT_EQ(map->EvalColor(sc).r, 0.0f);
  loop->ReplaceReference(0, nullptr, FALSE);
  loop->DeleteThis();
  map->DeleteThis();
}

TEST_F(VeldmapTexmapTest, BumpFromNormalsFoldsWrapAndMirror) {
  VeldmapTexmap map;
  // A roof tilted along U, so its normals lean in -U: the mirror's sign flip shows.
  Pick(map, NodeWith(Slope()));
  UpdateAt(map, 0);
  UVContext sc;
  sc.dPdu = Point3(1, 0, 0);
  sc.dPdv = Point3(0, 1, 0);
  auto normalAt = [&](float u, float v) {
    Point3 n;
    EXPECT_TRUE(map.sampler.NormalAt(Point3(u, v, 0), n));
    return n;
  };
  ASSERT_TRUE(map.useNormals);
  const Point3 atHalf = normalAt(0.5f, 0.5f);
  ASSERT_NE(atHalf.x, 0.0f);

  map.uvGen->SetTextureTiling(U_MIRROR | V_WRAP);
  sc.uvw = Point3(0.75f, 0.5f, 0);  // mirrored back to 0.5, x flipped
  EXPECT_EQ(map.EvalNormalPerturb(sc), Point3(-atHalf.x, atHalf.y, 0));
  sc.uvw = Point3(0.25f, 0.5f, 0);  // doubled to 0.5, not flipped
  EXPECT_EQ(map.EvalNormalPerturb(sc), Point3(atHalf.x, atHalf.y, 0));

  map.uvGen->SetTextureTiling(U_WRAP | V_WRAP);
  sc.uvw = Point3(-0.25f, 0.5f, 0);  // wraps to 0.75
  const Point3 at75 = normalAt(0.75f, 0.5f);
  EXPECT_EQ(map.EvalNormalPerturb(sc), Point3(at75.x, at75.y, 0));

  map.uvGen->SetTextureTiling(0);
  sc.uvw = Point3(1.5f, 0.5f, 0);  // no wrap: off the mesh, no bump
  EXPECT_EQ(map.EvalNormalPerturb(sc), Point3(0, 0, 0));

  // Numerical bump: the slope rises one unit of height per unit of U.
  map.pblock->SetValue(pb_use_normals, 0, 0);
  UpdateAt(map, 0);
  map.uvGen->SetTextureTiling(U_WRAP | V_WRAP);
  sc.uvw = Point3(0.5f, 0.5f, 0);
  const Point3 bump = map.EvalNormalPerturb(sc);
  EXPECT_NEAR(bump.x, 1.0f, 1e-3f);
  EXPECT_NEAR(bump.y, 0.0f, 1e-3f);
  EXPECT_EQ(bump.z, 0.0f);
}

TEST_F(VeldmapTexmapTest, NumericalBumpAtTheImageBorderMatchesItsNeighbours) {
  // One image of the slope (height = u), not repeated, rendered 256 pixels wide: the last column
  // and the top row must lean as their neighbours do, not into the nothing beyond the edge.
  VeldmapTexmap map;
  Pick(map, NodeWith(Slope()));
  map.pblock->SetValue(pb_use_normals, 0, 0);
  map.uvGen->SetTextureTiling(0);
  UpdateAt(map, 0);
  UVContext sc;
  sc.dPdu = Point3(1, 0, 0);
  sc.dPdv = Point3(0, 1, 0);
  sc.duvw = Point3(1.0f / 256, 1.0f / 256, 0);
  auto bumpAt = [&](int x, int y) {
    sc.uvw = Point3((static_cast<float>(x) + 0.5f) / 256, 1.0f - (static_cast<float>(y) + 0.5f) / 256, 0);
    return map.EvalNormalPerturb(sc);
  };
  // Unfiltered, as the command line renders by default: a filtered sample's own footprint still
  // reaches past the edge, which is the height filter's matter, not the derivative's.
  sc.filterMaps = FALSE;
  const Point3 inside = bumpAt(128, 128);
  EXPECT_NEAR(inside.x, 1.0f, 1e-3f);
  EXPECT_NEAR(inside.y, 0.0f, 1e-3f);
  for (const auto& [x, y] : {std::pair{255, 128}, {128, 0}, {255, 0}, {0, 128}, {128, 255}, {0, 255}}) {
    const Point3 edge = bumpAt(x, y);
    EXPECT_NEAR(edge.x, inside.x, 1e-3f) << "pixel " << x << ", " << y;
    EXPECT_NEAR(edge.y, inside.y, 1e-3f) << "pixel " << x << ", " << y;
  }
}

TEST_F(VeldmapTexmapTest, PreviewSamplesItsGridAndShowsInTheDIB) {
  VeldmapTexmap map;
  Pick(map, NodeWith(Slope()));
  UpdateAt(map, 0);
  Bitmap* bitmap = map.BuildPreviewBitmap(4);
  ASSERT_NE(bitmap, nullptr);
  UVContext sc;
  const float us[4] = {0.0f, 0.25f, 0.5f, 0.75f};
  const float vs[4] = {0.875f, 0.625f, 0.375f, 0.125f};
  for (int y = 0; y < 4; ++y) {
    BMM_Color_64 row[4];
    ASSERT_EQ(bitmap->GetPixels(0, y, 4, row), 4);
    for (int x = 0; x < 4; ++x) {
      const AColor c = map.EvalColorAt(sc, us[x], vs[y], 0, 0);
      // The bitmap keeps 8 bits; compare with the 16-bit value as the bitmap would round it.
      const auto expected = static_cast<std::uint16_t>(static_cast<int>(c.r * 65535.0f));
      EXPECT_EQ(row[x].r, ColorTo16(ColorTo8(expected))) << x << "," << y;
      EXPECT_EQ(row[x].a, 0xFFFF);
    }
  }
  bitmap->DeleteThis();

  // mono TRUE gives the same colour DIB, and the validity handed back is FOREVER.
  ViewportTexHandleMaker viewport(4);
  Interval valid = NEVER;
  BITMAPINFO* colour = map.GetVPDisplayDIB(0, viewport, valid, FALSE, 0, 0);
  BITMAPINFO* mono = map.GetVPDisplayDIB(0, viewport, valid, TRUE, 0, 0);
  ASSERT_NE(colour, nullptr);
  ASSERT_NE(mono, nullptr);
  EXPECT_EQ(valid, FOREVER);
  EXPECT_EQ(std::memcmp(DIBPixels(colour), DIBPixels(mono), DIBByteSize(4, 4) - sizeof(BITMAPINFOHEADER)), 0);
  FreeDIB(colour);
  FreeDIB(mono);
}

// Three unit squares along X at heights c, 0 and 1: normalised, U's first third has height c
// exactly and its last third height 1.0 exactly.
Mesh Steps(float c) {
  return MakeMesh({{0, 0, c},
                   {1, 0, c},
                   {1, 1, c},
                   {0, 1, c},
                   {1, 0, 0},
                   {2, 0, 0},
                   {2, 1, 0},
                   {1, 1, 0},
                   {2, 0, 1},
                   {3, 0, 1},
                   {3, 1, 1},
                   {2, 1, 1}},
                  {{0, 1, 2}, {0, 2, 3}, {4, 5, 6}, {4, 6, 7}, {8, 9, 10}, {8, 10, 11}});
}

// A standard generator that counts the updates it is given, to see when the map asks for one.
class CountingUVGen final : public UVGen {
 public:
  int updates = 0;
  void Update(TimeValue t, Interval& valid) override {
    ++updates;
    inner_.Update(t, valid);
  }
  void GetUV(ShadeContext& sc, Point2& uv, Point2& duv) override { inner_.GetUV(sc, uv, duv); }
  void GetUVTransform(Matrix3& m) override { inner_.GetUVTransform(m); }
  AColor EvalUVMap(ShadeContext& sc, MapSampler* s, BOOL f) override { return inner_.EvalUVMap(sc, s, f); }
  float EvalUVMapMono(ShadeContext& sc, MapSampler* s, BOOL f) override { return inner_.EvalUVMapMono(sc, s, f); }
  Point2 EvalDeriv(ShadeContext& sc, MapSampler* s, BOOL f) override { return inner_.EvalDeriv(sc, s, f); }
  void GetBumpDP(ShadeContext& sc, Point3& u, Point3& v) override { inner_.GetBumpDP(sc, u, v); }
  float GetUOffset() override { return inner_.GetUOffset(); }
  float GetVOffset() override { return inner_.GetVOffset(); }
  float GetUTiling() override { return inner_.GetUTiling(); }
  float GetVTiling() override { return inner_.GetVTiling(); }
  float GetWAngle() override { return inner_.GetWAngle(); }
  void SetUOffset(float x) override { inner_.SetUOffset(x); }
  void SetVOffset(float x) override { inner_.SetVOffset(x); }
  void SetUTiling(float x) override { inner_.SetUTiling(x); }
  void SetVTiling(float x) override { inner_.SetVTiling(x); }
  void SetWAngle(float x) override { inner_.SetWAngle(x); }
  int GetTextureTiling() override { return inner_.GetTextureTiling(); }
  int SymFlags() override { return inner_.SymFlags(); }
  void SetTextureTiling(int flags) override { inner_.SetTextureTiling(flags); }
  int GetUVWSource() override { return inner_.GetUVWSource(); }
  int GetMapChannel() override { return inner_.GetMapChannel(); }
  void SetMapChannel(int channel) override { inner_.SetMapChannel(channel); }
  ULONG Requirements(int n) override { return inner_.Requirements(n); }
  void MappingsRequired(int n, BitArray& m, BitArray& b) override { inner_.MappingsRequired(n, m, b); }
  void InitSlotType(int type) override { inner_.InitSlotType(type); }
  int GetSlotType() override { return inner_.GetSlotType(); }
  void Reset() override { inner_.Reset(); }
  Interval Validity(TimeValue t) override { return inner_.Validity(t); }
  ParamDlg* CreateParamDlg(HWND w, IMtlParams* p) override { return inner_.CreateParamDlg(w, p); }

 private:
  StdUVGen inner_;
};

TEST_F(VeldmapTexmapTest, UVGeneratorIsUpdatedOnlyWhenThereIsAMeshSource) {
  VeldmapTexmap map;
  auto* gen = new CountingUVGen();
  ASSERT_EQ(map.ReplaceReference(0, gen, TRUE), REF_SUCCEED);
  ASSERT_EQ(map.uvGen, gen);

  // A node whose object cannot become a mesh: the generator is still brought to the time, and
  // the sampler keeps the mesh it had.
  Pick(map, NodeWith(Slope()));
  UpdateAt(map, 0);
  ASSERT_EQ(gen->updates, 1);
  const float before = map.sampler.FilteredHeight(0.75f, 0.5f, 0, 0);
  Pick(map, GetCOREInterface()->CreateObjectNode(new PointHelperObject()));
  UpdateAt(map, 0);
  EXPECT_EQ(gen->updates, 2);
  EXPECT_EQ(map.sampler.FilteredHeight(0.75f, 0.5f, 0, 0), before);

  // The pick cleared on a map that was never baked: no source, no generator update, the last
  // mesh stays.
  ASSERT_TRUE(map.pblock->SetValue(pb_node, 0, static_cast<INode*>(nullptr)));
  UpdateAt(map, 0);
  UpdateAt(map, 100);
  EXPECT_EQ(gen->updates, 2);
  EXPECT_FALSE(map.hasStoredMesh);
  EXPECT_EQ(map.sampler.FilteredHeight(0.75f, 0.5f, 0, 0), before);
}

TEST_F(VeldmapTexmapTest, ARepickedBakedMapSavesNoMesh) {
  VeldmapTexmap map;
  INode* node = NodeWith(Slope());
  Pick(map, node);
  map.BakeNodeMesh();
  ASSERT_TRUE(map.hasStoredMesh);
  Pick(map, node);
  UpdateAt(map, 0);
  EXPECT_FALSE(map.hasStoredMesh);
  EXPECT_EQ(map.sampler.storedMesh, Slope());  // kept in memory, but no longer the source

  MemorySave save;
  ASSERT_EQ(map.Save(&save), IO_OK);
  const std::vector<unsigned char> bytes = save.Bytes();
  MemoryLoad load(bytes.data(), bytes.size());
  std::vector<unsigned short> chunks;
  while (load.OpenChunk() == IO_OK) {
    chunks.push_back(load.CurChunkID());
    load.CloseChunk();
  }
  EXPECT_EQ(chunks, std::vector<unsigned short>{0x4000});
}

TEST_F(VeldmapTexmapTest, ExportOnANewMapMakesEmptyNodesWithTheirOwnNames) {
  VeldmapTexmap map;
  const std::size_t before = GetCOREInterface()->Nodes().size();
  map.ExportStoredMesh();
  map.ExportStoredMesh();
  ASSERT_EQ(GetCOREInterface()->Nodes().size(), before + 2);
  const char* names[] = {"Veldmap", "Veldmap001"};
  for (std::size_t i = 0; i < 2; ++i) {
    INode* node = GetCOREInterface()->Nodes()[before + i];
    EXPECT_STREQ(node->GetName(), names[i]);
    const Mesh& mesh = static_cast<TriObject*>(node->GetObjectRef())->GetMesh();
    EXPECT_EQ(mesh.getNumVerts(), 0);
    EXPECT_EQ(mesh.getNumFaces(), 0);
  }
  EXPECT_FALSE(map.hasStoredMesh);
}

TEST_F(VeldmapTexmapTest, HeightOneAndAWrappedHairBelowZero) {
  VeldmapTexmap map;
  Pick(map, NodeWith(Steps(0.25f)));
  map.pblock->SetValue(pb_affect_alpha, 0, 1);
  UpdateAt(map, 0);
  UVContext sc;
  // Height exactly 1: full grey, alpha 1; in ramp mode the ramp sees 0.95 and alpha stays 1.
  ASSERT_EQ(map.sampler.FilteredHeight(0.9f, 0.5f, 0, 0), 1.0f);
  EXPECT_EQ(map.EvalColorAt(sc, 0.9f, 0.5f, 0, 0), AColor(1.0f, 1.0f, 1.0f, 1.0f));
  auto* ramp = new ProbeRamp();
  map.SetSubTexmap(0, ramp);
  map.pblock->SetValue(pb_color_ramp, 0, 1);
  UpdateAt(map, 0);
  const AColor top = map.EvalColorAt(sc, 0.9f, 0.5f, 0, 0);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(top.r), 0x3F733333u);
  EXPECT_EQ(top.a, 1.0f);

  // Normal bump with wrapping: -1e-9 wraps to 1.0 in float, the upper edge, which no face holds
  // (upper bounds are open), not to 0, where the mesh starts.
  VeldmapTexmap slope;
  Pick(slope, NodeWith(Slope()));
  UpdateAt(slope, 0);
  ASSERT_TRUE(slope.useNormals);
  sc.dPdu = Point3(1, 0, 0);
  sc.dPdv = Point3(0, 1, 0);
  Point3 n;
  ASSERT_TRUE(slope.sampler.NormalAt(Point3(0.0f, 0.5f, 0), n));
  ASSERT_NE(n.x, 0.0f);
  const bool atEdge = slope.sampler.NormalAt(Point3(1.0f, 0.5f, 0), n);
  sc.uvw = Point3(-1e-9f, 0.5f, 0);
  EXPECT_EQ(slope.EvalNormalPerturb(sc), atEdge ? Point3(n.x, n.y, 0) : Point3(0, 0, 0));
  EXPECT_FALSE(atEdge);
}

TEST_F(VeldmapTexmapTest, PreviewChannelsAreTruncatedAndItsFailuresRetried) {
  // A height whose 16-bit value truncates to 32767 but rounds to 32768, which the bitmap's 8 bits
  // keep apart: the preview must truncate.
  const float c = 32767.75f / 65535.0f;
  const auto truncated = static_cast<std::uint16_t>(static_cast<int>(c * 65535.0f));
  const auto rounded = static_cast<std::uint16_t>(std::lround(c * 65535.0f));
  ASSERT_NE(ColorTo8(truncated), ColorTo8(rounded));
  VeldmapTexmap map;
  Pick(map, NodeWith(Steps(c)));
  UpdateAt(map, 0);
  Bitmap* bitmap = map.BuildPreviewBitmap(6);
  ASSERT_NE(bitmap, nullptr);
  for (int y = 0; y < 6; ++y) {
    BMM_Color_64 row[6];
    ASSERT_EQ(bitmap->GetPixels(0, y, 6, row), 6);
    for (const int x : {0, 1, 4, 5}) {  // u = 0 and 1/6 in the first step, 2/3 and 5/6 on the top
      const std::uint16_t expected = x < 2 ? ColorTo16(ColorTo8(truncated)) : 0xFFFF;
      EXPECT_EQ(row[x].r, expected) << x << "," << y;
      EXPECT_EQ(row[x].g, expected) << x << "," << y;
      EXPECT_EQ(row[x].b, expected) << x << "," << y;
      EXPECT_EQ(row[x].a, 0xFFFF) << x << "," << y;
    }
  }
  bitmap->DeleteThis();

  // A viewport that asks for no pixels: no bitmap can be made, so no DIB, no handle (0), the
  // validity handed in stays as it was, nothing leaks, and the next request tries again.
  const int liveBitmaps = TheManager->LiveBitmaps();
  ViewportTexHandleMaker none(0);
  Interval valid = NEVER;
  EXPECT_EQ(map.GetVPDisplayDIB(0, none, valid, FALSE, 0, 0), nullptr);
  EXPECT_EQ(valid, NEVER);
  EXPECT_EQ(map.GetActiveTexHandle(0, none), 0u);
  EXPECT_EQ(map.texHandle, nullptr);
  EXPECT_EQ(none.HandlesMade(), 0);
  EXPECT_EQ(TheManager->LiveBitmaps(), liveBitmaps);
  ViewportTexHandleMaker viewport(8);
  EXPECT_NE(map.GetActiveTexHandle(0, viewport), 0u);
  EXPECT_EQ(viewport.HandlesMade(), 1);
}

TEST_F(VeldmapTexmapTest, ViewportDIBIsMadeAtTheTimeAskedAndKeptThroughBlockResets) {
  VeldmapTexmap map;
  Pick(map, NodeWith(Slope()));
  AnimateOn();
  ASSERT_TRUE(map.pblock->SetValue(pb_u_offset, 480, 0.5f));
  AnimateOff();
  ViewportTexHandleMaker viewport(4);
  for (const auto& [t, offset] : {std::pair{480, 0.5f}, {0, 0.0f}, {240, 0.25f}}) {
    Interval valid = NEVER;
    BITMAPINFO* dib = map.GetVPDisplayDIB(t, viewport, valid, FALSE, 0, 0);
    ASSERT_NE(dib, nullptr);
    FreeDIB(dib);
    EXPECT_EQ(valid, FOREVER);
    EXPECT_EQ(map.sampler.uOffset, offset) << "at " << t;
    EXPECT_EQ(map.rampContext.CurTime(), t);
  }

  // A change of the block that is no one parameter's (a reset of the whole block) makes the map
  // stale but keeps its viewport texture.
  const std::uintptr_t handle = map.GetActiveTexHandle(0, viewport);
  ASSERT_NE(handle, 0u);
  UpdateAt(map, 0);
  map.pblock->ResetAll();
  EXPECT_EQ(map.pblock->LastNotifyParamID(), -1);
  EXPECT_EQ(map.Validity(0), NEVER);
  EXPECT_NE(map.texHandle, nullptr);
  EXPECT_EQ(map.GetActiveTexHandle(0, viewport), handle);
  // One parameter's change drops it.
  map.pblock->SetValue(pb_v_offset, 0, 0.125f);
  EXPECT_EQ(map.texHandle, nullptr);
}

TEST_F(VeldmapTexmapTest, BakedMeshSurvivesSaveAndLoad) {
  VeldmapTexmap map;
  Pick(map, NodeWith(Slope()));
  map.BakeNodeMesh();
  MemorySave save;
  save.BeginChunk(0x7000);
  ASSERT_EQ(map.Save(&save), IO_OK);
  save.EndChunk();
  const std::vector<unsigned char> bytes = save.Bytes();

  VeldmapTexmap loaded;
  {
    MemoryLoad load(bytes.data(), bytes.size());
    ASSERT_EQ(load.OpenChunk(), IO_OK);
    ASSERT_EQ(loaded.Load(&load), IO_OK);
  }
  EXPECT_TRUE(loaded.hasStoredMesh);
  EXPECT_EQ(loaded.sampler.storedMesh, Slope());
  EXPECT_EQ(loaded.Validity(0), NEVER);
  UpdateAt(loaded, 0);
  EXPECT_NEAR(loaded.sampler.FilteredHeight(0.5f, 0.5f, 0, 0), 0.5f, 1e-5f);

  // A record whose last face points past the vertices is refused and the map keeps what it had.
  VeldmapTexmap other;
  other.hasStoredMesh = TRUE;
  other.sampler.storedMesh = SquareAt(0, 0, 1, 1, 1);
  std::vector<unsigned char> damaged = bytes;
  damaged[damaged.size() - 20] = 0x7F;  // the last face's first vertex index
  MemoryLoad load(damaged.data(), damaged.size());
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  EXPECT_EQ(other.Load(&load), IO_ERROR);
  EXPECT_TRUE(other.hasStoredMesh);
  EXPECT_EQ(other.sampler.storedMesh, SquareAt(0, 0, 1, 1, 1));
}

TEST_F(VeldmapTexmapTest, RolloutCommandsArriveAsWindowMessages) {
  auto* map = new VeldmapTexmap();
  MaterialEditor editor;
  ParamDlg* dlg = map->CreateParamDlg(nullptr, &editor);
  auto* master = dynamic_cast<IAutoMParamDlg*>(dlg);
  ASSERT_NE(master, nullptr);
  ASSERT_EQ(master->NumDlgs(), 1);
  EXPECT_EQ(master->GetDlg(0), uvGenParamDlg);
  EXPECT_EQ(uvGenParamDlg->GetThing(), map->uvGen);
  EXPECT_EQ(editor.pages, (std::vector<std::string>{"Parameters", "Coordinates"}));
  EXPECT_TRUE(map->SetDlgThing(uvGenParamDlg));
  {
    class Other : public ParamDlg {
     public:
      Class_ID ClassID() override { return {}; }
      void SetThing(ReferenceTarget*) override {}
      ReferenceTarget* GetThing() override { return nullptr; }
    } other;
    EXPECT_FALSE(map->SetDlgThing(&other));
  }
  IParamMap2* rollout = master->GetMap(0);
  ASSERT_NE(rollout->GetUserDlgProc(), nullptr);

  // Bake with nothing picked sets the flag only.
  EXPECT_EQ(rollout->SendDlgMessage(WM_COMMAND, MAKEWPARAM(1102, 5), 0), FALSE);
  EXPECT_TRUE(map->hasStoredMesh);
  EXPECT_EQ(map->sampler.storedMesh.getNumFaces(), 0);
  // Picking through the rollout, then Bake with any notification code.
  INode* node = NodeWith(Slope());
  ASSERT_TRUE(rollout->PickNode(1100, node));
  EXPECT_STREQ(rollout->Control(1100)->text.c_str(), node->GetName());
  EXPECT_TRUE(rollout->ClickButton(1102));
  EXPECT_EQ(map->sampler.storedMesh, Slope());
  EXPECT_STREQ(rollout->Control(1100)->text.c_str(), "Pick Object");  // the pick was cleared

  // Export twice: two nodes with their own names, each holding the baked mesh.
  const std::size_t before = GetCOREInterface()->Nodes().size();
  const int redraws = GetCOREInterface()->RedrawCount();
  EXPECT_EQ(rollout->SendDlgMessage(WM_COMMAND, MAKEWPARAM(1103, 0), 0), FALSE);
  EXPECT_EQ(rollout->SendDlgMessage(WM_COMMAND, MAKEWPARAM(1103, 0), 0), FALSE);
  ASSERT_EQ(GetCOREInterface()->Nodes().size(), before + 2);
  INode* first = GetCOREInterface()->Nodes()[before];
  INode* second = GetCOREInterface()->Nodes()[before + 1];
  EXPECT_STREQ(first->GetName(), "Veldmap");
  EXPECT_STREQ(second->GetName(), "Veldmap001");
  EXPECT_EQ(static_cast<TriObject*>(second->GetObjectRef())->GetMesh(), Slope());
  EXPECT_EQ(GetCOREInterface()->RedrawCount(), redraws + 2);

  // Help opens the page with the system's browser; other messages and buttons do nothing.
  // The request is only recorded: a test must not start a browser.
  SetShellExecuteRuns(false);
  ClearShellExecuteRecord();
  EXPECT_EQ(rollout->SendDlgMessage(WM_COMMAND, MAKEWPARAM(1104, 0), 0), FALSE);
  const auto help = LastShellExecute();
  ASSERT_TRUE(help.has_value());
  EXPECT_EQ(help->verb, "open");
  EXPECT_EQ(help->file, "iexplore.exe");
  EXPECT_EQ(help->parameters, kVeldmapHelpAddress);
  EXPECT_EQ(help->show, SW_SHOWNORMAL);
  EXPECT_EQ(help->window, GetCOREInterface()->GetMAXHWnd());
  ClearShellExecuteRecord();
  EXPECT_EQ(rollout->SendDlgMessage(0x0200, MAKEWPARAM(1104, 0), 0), FALSE);
  EXPECT_EQ(rollout->SendDlgMessage(WM_COMMAND, MAKEWPARAM(1999, 0), 0), FALSE);
  EXPECT_FALSE(LastShellExecute().has_value());

  dlg->DeleteThis();
  map->DeleteThis();
}

// 32 threads released together on one map, each making 100,000 evaluations (colour, mono and
// bump at one point each), must see exactly what one thread sees: once with a colour ramp and
// the mesh-normal bump, once grey with the numerical bump. Run under ThreadSanitizer in CI.
// A bake's rows through the map's row form are its EvalMono, bit for bit, whatever the UV
// generator does (offset, tiling, rotation; wrap, mirror, neither), filtered or not, with maps
// off, along a row that leaves the square and at values no pixel has.
TEST_F(VeldmapTexmapTest, RowsAreEvalMonoBitForBit) {
  VeldmapTexmap map;
  Pick(map, NodeWith(GridTerrain(5, 30)));
  UpdateAt(map, 0);
  auto* rows = static_cast<MonoRowMap*>(map.GetInterface(I_MONO_ROW_MAP));
  ASSERT_NE(rows, nullptr);
  std::vector<Point3> uvw;
  for (int i = 0; i < 600; ++i) uvw.emplace_back(-0.3f + static_cast<float>(i) * (1.6f / 599.0f), 0.37f, 0.0f);
  constexpr float kInf = std::numeric_limits<float>::infinity();
  for (const float special : {-0.0f, 1.0f, 0x1.fffffep-1f, 1e30f, -kInf, std::nanf("")}) {
    uvw.emplace_back(special, 0.5f, 0.0f);
    uvw.emplace_back(0.5f, special, 0.0f);
  }
  const int count = static_cast<int>(uvw.size());
  struct Setting {
    float uOffset, vOffset, uTiling, vTiling, angle;
    int tiling;
  };
  const Setting settings[] = {{0, 0, 1, 1, 0, U_WRAP | V_WRAP},
                              {0.25f, -0.1f, 2.5f, 1.5f, 0.7f, U_WRAP | V_WRAP},
                              {0.1f, 0.2f, 1, 3, 0, U_MIRROR | V_MIRROR},
                              {0, 0, 1.7f, 1, -0.4f, 0},
                              {0.3f, 0, 1, 1, 0, U_WRAP | V_MIRROR}};
  int compared = 0, nonZero = 0;
  for (const Setting& setting : settings) {
    map.uvGen->SetUOffset(setting.uOffset);
    map.uvGen->SetVOffset(setting.vOffset);
    map.uvGen->SetUTiling(setting.uTiling);
    map.uvGen->SetVTiling(setting.vTiling);
    map.uvGen->SetWAngle(setting.angle);
    map.uvGen->SetTextureTiling(setting.tiling);
    for (const BOOL filter : {FALSE, TRUE}) {
      for (const BOOL doMaps : {TRUE, FALSE}) {
        UVContext sc;
        sc.filterMaps = filter;
        sc.doMaps = doMaps;
        sc.duvw = Point3(0.01f, 0.02f, 0.0f);
        std::vector<float> got(uvw.size(), 42.0f);
        ASSERT_TRUE(rows->EvalMonoRow(sc, uvw.data(), count, got.data()));
        int differ = 0;
        for (int i = 0; i < count; ++i) {
          sc.uvw = uvw[static_cast<std::size_t>(i)];
          const float expected = map.EvalMono(sc);
          differ +=
              std::bit_cast<std::uint32_t>(got[static_cast<std::size_t>(i)]) != std::bit_cast<std::uint32_t>(expected);
          nonZero += expected != 0.0f;
          ++compared;
        }
        EXPECT_EQ(differ, 0) << "offset " << setting.uOffset << " tiling " << setting.tiling << " filter " << filter
                             << " maps " << doMaps;
      }
    }
  }
  EXPECT_GT(nonZero, compared / 3);
}

TEST_F(VeldmapTexmapTest, ThirtyTwoThreadsSeeWhatOneThreadSees) {
  VeldmapTexmap map;
  Pick(map, NodeWith(GridTerrain(7, 33)));
  auto* ramp = new ProbeRamp();
  map.SetSubTexmap(0, ramp);
  map.pblock->SetValue(pb_affect_alpha, 0, 1);

  constexpr int kThreads = 32;
  constexpr int kEvaluations = 100000;
  constexpr int kPoints = 4099;  // a prime, so threads starting at different points differ
  auto evaluate = [&map](int i, UVContext& sc, float* out) {
    sc.uvw = Point3(static_cast<float>(i % 97) / 97.0f, static_cast<float>(i % 89) / 89.0f, 0);
    const AColor c = map.EvalColor(sc);
    const Point3 n = map.EvalNormalPerturb(sc);
    const float values[8] = {c.r, c.g, c.b, c.a, map.EvalMono(sc), n.x, n.y, n.z};
    std::memcpy(out, values, sizeof values);
  };
  for (const bool rampAndNormals : {true, false}) {
    map.pblock->SetValue(pb_color_ramp, 0, rampAndNormals ? 1 : 0);
    map.pblock->SetValue(pb_use_normals, 0, rampAndNormals ? 1 : 0);
    UpdateAt(map, 0);
    std::vector<float> expected(static_cast<std::size_t>(kPoints) * 8);
    UVContext one;
    for (int i = 0; i < kPoints; ++i) evaluate(i, one, &expected[static_cast<std::size_t>(i) * 8]);

    std::atomic<int> waiting{kThreads};
    std::atomic<long long> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        UVContext sc;
        float got[8];
        long long wrong = 0;
        // Everybody starts at once, so the evaluations really overlap.
        waiting.fetch_sub(1);
        while (waiting.load() > 0) std::this_thread::yield();
        for (int k = 0; k < kEvaluations; ++k) {
          const int i = (t * 131 + k) % kPoints;
          evaluate(i, sc, got);
          for (std::size_t c = 0; c < 8; ++c) {
            if (std::bit_cast<std::uint32_t>(got[c]) !=
                std::bit_cast<std::uint32_t>(expected[static_cast<std::size_t>(i) * 8 + c])) {
              ++wrong;
              break;
            }
          }
        }
        mismatches += wrong;
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0) << (rampAndNormals ? "ramp, normals" : "grey, numerical");
  }
  EXPECT_GT(ramp->calls.load(), kThreads * kEvaluations);
}

}  // namespace
