// VeldmapTexmap: the texture map whose value at a UV point is the height of a mesh seen from
// above. Its mesh comes from a picked scene node or from a copy baked into the map; every Update
// rebuilds the map's SurfaceSampler from that source, and the shading calls read the sampler
// through the map's UV generator.
//
// References: 0 the UV generator, 1 the parameter block (which in turn refers to the picked node
// and the colour-ramp map). Both are held through the host's reference system, never deleted by
// the map itself.
//
// Threads: Update, the reference calls and the rollout commands run on the host's main thread.
// EvalColor, EvalMono, EvalNormalPerturb and EvalColorAt only read the map (each ramp lookup
// works on its own copy of the ramp shading context), so any number of threads may evaluate one
// map at once, as long as no Update runs meanwhile.
#pragma once

#include "host/bitmap.h"
#include "host/interval.h"
#include "host/mtl_base.h"
#include "host/param_block.h"
#include "host/row_shading.h"
#include "host/uvgen.h"
#include "sampler/surface_sampler.h"
#include "texmap/ramp_shade_context.h"

class VeldmapTexmap;

// The callback through which the UV generator samples the map at an explicit UV point. Holds
// no state beyond its map, so it is as thread-safe as the map's evaluation.
class HeightMapSampler : public MapSampler, public MonoRowSampler {
 public:
  AColor Sample(ShadeContext& sc, float u, float v) override;
  AColor SampleFilter(ShadeContext& sc, float u, float v, float du, float dv) override;
  void SetTileNumbers(int, int) override {}
  // The raw height: no ramp, no clamping, no alpha rule.
  float SampleMono(ShadeContext& sc, float u, float v) override;
  float SampleMonoFilter(ShadeContext& sc, float u, float v, float du, float dv) override;
  // SampleMono along a row: the tile numbers are not read here either.
  void SampleMonoRow(ShadeContext& sc, const Point2* uv, int count, float* out) override;

  VeldmapTexmap* owner = nullptr;
};

// The map's rows of EvalMono values (I_MONO_ROW_MAP), through the UV generator's row form when it
// has one.
class HeightRowShader : public MonoRowMap {
 public:
  bool EvalMonoRow(ShadeContext& sc, const Point3* uvw, int count, float* out) override;

  VeldmapTexmap* owner = nullptr;
};

// The virtual operations are declared in the order of the host's tables, as its base classes
// are; the module's vtables then read the same way the host's do.
class VeldmapTexmap : public Texmap {
 public:
  VeldmapTexmap();

  // Identity.
  void GetClassName(CStr& name) override;
  Class_ID ClassID() override;
  SClass_ID SuperClassID() override { return TEXMAP_CLASS_ID; }
  ~VeldmapTexmap() override;
  void DeleteThis() override { delete this; }

  // Sub-animatables: 0 the UV generator ("Coordinates"), 1 the block ("Parameters").
  int NumSubs() override { return 2; }
  Animatable* SubAnim(int i) override;
  CStr SubAnimName(int i) override;
  int NumParamBlocks() override { return 1; }
  IParamBlock2* GetParamBlock(int) override { return pblock; }
  IParamBlock2* GetParamBlockByID(short id) override;

  // The record in the scene file: base data, and the baked mesh when there is one. Load leaves
  // the map as it was when the record is damaged, and returns IO_ERROR.
  IOResult Save(ISave* save) override;
  IOResult Load(ILoad* load) override;

  int NumRefs() override { return 2; }
  RefTargetHandle GetReference(int i) override;

 protected:
  void SetReference(int i, RefTargetHandle target) override;

 public:
  RefResult NotifyRefChanged(const Interval& changeInt, RefTargetHandle target, PartID& partID,
                             RefMessage message) override;
  ReferenceTarget* Clone(RemapDir& remap) override;

  std::uint32_t LocalRequirements(int subMtlNum) override;
  void LocalMappingsRequired(int subMtlNum, BitArray& mapreq, BitArray& bumpreq) override;

  // Brings the map to time t: reads the parameters and rebuilds the sampler from the node's mesh
  // or the baked one. valid is replaced (not narrowed) by the interval the result holds over.
  void Update(TimeValue t, Interval& valid) override;
  void Reset() override;
  Interval Validity(TimeValue t) override;
  ParamDlg* CreateParamDlg(HWND editorWindow, IMtlParams* params) override;

  // Viewport display: a preview of the map's colour, cached as a texture handle until something
  // it shows changes.
  BOOL SupportTexDisplay() override { return TRUE; }
  std::uintptr_t GetActiveTexHandle(TimeValue t, TexHandleMaker& thmaker) override;
  void ActivateTexDisplay(BOOL onoff) override;

  // Shading. Colour is the height as grey or through the colour ramp, mono the plain height, the
  // perturbation a bump from the height's derivative or the mesh's own normals.
  AColor EvalColor(ShadeContext& sc) override;
  float EvalMono(ShadeContext& sc) override;
  // d.x dPdu + d.y dPdv, in the frame of the context's bump basis (the UV generator's GetBumpDP,
  // camera space), with no scale of its own. Numerical bump: d is the UV generator's derivative
  // of the height per unit of the point's source U and V, and the height is normalised Z (0..1
  // over the mesh's Z range with normalizeMesh), U and V normalised X and Y: each axis is scaled
  // on its own, so d is a slope in those units, not the mesh's true slope (a 2 x 1 mesh leans
  // differently along U and V than it does in the scene). Mesh normals: d is (n.x, n.y) of the
  // blended smoothing-group normal, in the mesh's own unscaled coordinates and not of unit
  // length, with the sign of a mirrored half flipped. Either way n.z, the part along the
  // surface's own normal, is dropped.
  Point3 EvalNormalPerturb(ShadeContext& sc) override;
  BITMAPINFO* GetVPDisplayDIB(TimeValue t, TexHandleMaker& thmaker, Interval& valid, BOOL mono, int forceW,
                              int forceH) override;

  void GetUVTransform(Matrix3& uvtrans) override;
  int GetTextureTiling() override;
  void InitSlotType(int type) override;
  int GetUVWSource() override;
  int GetMapChannel() override;
  UVGen* GetTheUVGen() override { return uvGen; }
  bool IsLocalOutputMeaningful(ShadeContext&) override { return true; }

  // The sub-map slot: the colour-ramp map, parameter colorRampTexture.
  int NumSubTexmaps() override { return 1; }
  Texmap* GetSubTexmap(int i) override;
  void SetSubTexmap(int i, Texmap* m) override;
  CStr GetSubTexmapSlotName(int i) override;
  BOOL SetDlgThing(ParamDlg* dlg) override;

  // I_MONO_ROW_MAP gives the map's row form (a bake's rows of EvalMono); the rest as Texmap.
  void* GetInterface(std::uint32_t id) override;

  // The map's own operations, which the host does not call.
  // The colour at UV (u, v) over the footprint du x dv; sc is not read.
  AColor EvalColorAt(ShadeContext& sc, float u, float v, float du, float dv);
  // An N x N preview of the colour, row 0 at the top; null when the host cannot make it.
  Bitmap* BuildPreviewBitmap(int n);
  void DiscardTexHandle();
  // Rollout commands: copy the picked node's mesh into the map; put the map's mesh back into the
  // scene as a new node.
  void BakeNodeMesh();
  void ExportStoredMesh();

  SurfaceSampler sampler;
  RampShadeContext rampContext;
  BOOL hasStoredMesh = FALSE;
  BOOL useNormals = FALSE;
  BOOL affectAlpha = FALSE;
  BOOL colorRamp = FALSE;
  Texmap* rampMap = nullptr;  // not owned: the block holds the reference
  Interval texHandleValid = NEVER;
  TexHandle* texHandle = nullptr;  // owned
  HeightMapSampler mapSampler;
  HeightRowShader rowShader;
  IParamBlock2* pblock = nullptr;
  UVGen* uvGen = nullptr;
  Interval validity = NEVER;
};

// The rollout's dialog procedure: the three command buttons (Bake, Export Mesh, Help).
class RolloutDlgProc : public ParamMap2UserDlgProc {
 public:
  explicit RolloutDlgProc(VeldmapTexmap* map) : map_(map) {}
  BOOL DlgProc(TimeValue t, IParamMap2* map, HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) override;
  void DeleteThis() override { delete this; }
  void SetThing(ReferenceTarget* thing) override { map_ = static_cast<VeldmapTexmap*>(thing); }
  VeldmapTexmap* Map() const { return map_; }

 private:
  VeldmapTexmap* map_;
};

// Where Help sends the user (opened with the system's browser).
inline constexpr const char* kVeldmapHelpAddress = "veldmap.quenbox.org/max4/matVeldmap/help.html";
