// The texture map: references, update, shading, viewport preview and rollout commands.
//
// Update is the only writer of the sampler and of rampContext; every shading call reads them.
// The ramp path copies rampContext per lookup, so concurrent lookups never share scratch state.
#include "texmap/veldmap_texmap.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "host/scene.h"
#include "host/win32.h"
#include "persist/map_chunks.h"
#include "resources/resource.h"
#include "texmap/veldmap_module.h"

namespace {

// Heights handed to the ramp stay inside this band, so a ramp's end stops are never sampled.
constexpr float kRampLow = 0.05f;   // bits 0x3D4CCCCD
constexpr float kRampHigh = 0.95f;  // bits 0x3F733333

// A colour channel in 16 bits the way the preview stores it: scaled by 65535, truncated toward
// zero, low 16 bits kept. Values no int can hold (and NaN) are pinned first, so the conversion
// is defined for every input.
std::uint16_t PreviewChannel(float c) {
  float scaled = c * 65535.0f;
  if (std::isnan(scaled)) scaled = 0.0f;
  scaled = std::fmax(scaled, -2147483648.0f);
  scaled = std::fmin(scaled, 2147483520.0f);  // the largest float below 2^31
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(scaled)));
}

// Wraps a coordinate into 0..1 by its fractional part; the fraction keeps the sign, so a
// negative one moves up by a whole tile.
float WrapUnit(float x) {
  float whole = 0.0f;
  float frac = std::modf(x, &whole);
  if (frac < 0.0f) frac += 1.0f;
  return frac;
}

}  // namespace

// ---- HeightMapSampler -------------------------------------------------------------------------

AColor HeightMapSampler::Sample(ShadeContext& sc, float u, float v) { return owner->EvalColorAt(sc, u, v, 0, 0); }

AColor HeightMapSampler::SampleFilter(ShadeContext& sc, float u, float v, float du, float dv) {
  return owner->EvalColorAt(sc, u, v, du, dv);
}

float HeightMapSampler::SampleMono(ShadeContext&, float u, float v) {
  return owner->sampler.FilteredHeight(u, v, 0, 0);
}

float HeightMapSampler::SampleMonoFilter(ShadeContext&, float u, float v, float du, float dv) {
  return owner->sampler.FilteredHeight(u, v, du, dv);
}

void HeightMapSampler::SampleMonoRow(ShadeContext&, const Point2* uv, int count, float* out) {
  owner->sampler.HeightRow(uv, count, out);
}

bool HeightRowShader::EvalMonoRow(ShadeContext& sc, const Point3* uvw, int count, float* out) {
  VeldmapTexmap& map = *owner;
  auto* rows = static_cast<UVGenMonoRow*>(map.uvGen->GetInterface(I_UVGEN_MONO_ROW));
  if (rows == nullptr) return false;
  if (sc.doMaps == 0) {
    std::fill(out, out + count, 0.0f);
    return true;
  }
  if (map.gbufID != 0) sc.SetGBufferID(static_cast<int>(map.gbufID));
  return rows->EvalUVMapMonoRow(sc, &map.mapSampler, &map.mapSampler, TRUE, uvw, count, out);
}

// ---- Construction, identity, references -------------------------------------------------------

VeldmapTexmap::VeldmapTexmap() {
  mapSampler.owner = this;
  rowShader.owner = this;
  veldmapParamBlockDesc.GetClassDesc()->MakeAutoParamBlocks(this);
  uvGen = nullptr;
  Reset();
}

VeldmapTexmap::~VeldmapTexmap() {
  if (sampler.root != nullptr) sampler.FreeTree();
  DiscardTexHandle();
}

void VeldmapTexmap::GetClassName(CStr& name) { name = CStr(LoadPluginString(IDS_CLASS_NAME)); }

Class_ID VeldmapTexmap::ClassID() { return kVeldmapClassId; }

Animatable* VeldmapTexmap::SubAnim(int i) {
  if (i == 0) return uvGen;
  if (i == 1) return pblock;
  return nullptr;
}

CStr VeldmapTexmap::SubAnimName(int i) { return CStr(LoadPluginString(i == 0 ? IDS_COORDS : IDS_PARAMS)); }

IParamBlock2* VeldmapTexmap::GetParamBlockByID(short id) {
  return pblock != nullptr && pblock->ID() == id ? pblock : nullptr;
}

RefTargetHandle VeldmapTexmap::GetReference(int i) {
  if (i == 0) return uvGen;
  if (i == 1) return pblock;
  return nullptr;
}

void VeldmapTexmap::SetReference(int i, RefTargetHandle target) {
  if (i == 0) uvGen = static_cast<UVGen*>(target);
  if (i == 1) pblock = static_cast<IParamBlock2*>(target);
}

RefResult VeldmapTexmap::NotifyRefChanged(const Interval&, RefTargetHandle target, PartID&, RefMessage message) {
  if (message == REFMSG_CHANGE) {
    validity = NEVER;
    if (target == pblock) {
      veldmapParamBlockDesc.InvalidateUI();
      if (pblock->LastNotifyParamID() != -1) DiscardTexHandle();
    } else {
      NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
    }
  } else if (message == REFMSG_UV_SYM_CHANGE) {
    DiscardTexHandle();
  }
  return REF_SUCCEED;
}

ReferenceTarget* VeldmapTexmap::Clone(RemapDir& remap) {
  auto* clone = new VeldmapTexmap();
  clone->CopyBaseData(*this);
  clone->ReplaceReference(0, remap.CloneRef(uvGen), TRUE);
  clone->ReplaceReference(1, remap.CloneRef(pblock), TRUE);
  clone->validity = NEVER;
  clone->hasStoredMesh = hasStoredMesh;
  if (hasStoredMesh) clone->sampler.CopyStoredMeshFrom(sampler);
  BaseClone(this, clone, remap);
  return clone;
}

std::uint32_t VeldmapTexmap::LocalRequirements(int subMtlNum) { return uvGen->Requirements(subMtlNum); }

void VeldmapTexmap::LocalMappingsRequired(int subMtlNum, BitArray& mapreq, BitArray& bumpreq) {
  uvGen->MappingsRequired(subMtlNum, mapreq, bumpreq);
}

void VeldmapTexmap::GetUVTransform(Matrix3& uvtrans) { uvGen->GetUVTransform(uvtrans); }
int VeldmapTexmap::GetTextureTiling() { return uvGen->GetTextureTiling(); }
void VeldmapTexmap::InitSlotType(int type) {
  if (uvGen != nullptr) uvGen->InitSlotType(type);
}
int VeldmapTexmap::GetUVWSource() { return uvGen->GetUVWSource(); }
int VeldmapTexmap::GetMapChannel() { return uvGen->GetMapChannel(); }

// ---- The sub-map slot -------------------------------------------------------------------------

Texmap* VeldmapTexmap::GetSubTexmap(int) {
  Texmap* map = nullptr;
  Interval ignored = FOREVER;
  pblock->GetValue(pb_color_ramp_texture, 0, map, ignored);
  return map;
}

// A map that would make a loop (it refers back to this one) is refused by the block; the slot
// then keeps what it held.
void VeldmapTexmap::SetSubTexmap(int, Texmap* m) { pblock->SetValue(pb_color_ramp_texture, 0, m); }

CStr VeldmapTexmap::GetSubTexmapSlotName(int i) {
  if (GetSubTexmap(i) == nullptr) return CStr("empty");
  const char* name = LoadPluginString(IDS_COLOR_RAMP_TEXTURE);
  return CStr(name == nullptr ? "" : name);
}

BOOL VeldmapTexmap::SetDlgThing(ParamDlg* dlg) {
  if (dlg != nullptr && dlg == uvGenParamDlg) {
    dlg->SetThing(uvGen);
    return TRUE;
  }
  return FALSE;
}

// ---- Update -----------------------------------------------------------------------------------

void VeldmapTexmap::Reset() {
  if (uvGen != nullptr) {
    uvGen->Reset();
  } else {
    ReplaceReference(0, GetNewDefaultUVGen(), TRUE);
  }
  validity = NEVER;
}

Interval VeldmapTexmap::Validity(TimeValue) { return validity; }

void VeldmapTexmap::Update(TimeValue t, Interval& valid) {
  validity = FOREVER;
  INode* node = nullptr;
  int depth = 6;
  float uOffset = 0.0f, vOffset = 0.0f, uScale = 1.0f, vScale = 1.0f;
  BOOL normalize = TRUE;
  pblock->GetValue(pb_node, t, node, validity);
  pblock->GetValue(pb_quad_tree_depth, t, depth, validity);
  pblock->GetValue(pb_u_offset, t, uOffset, validity);
  pblock->GetValue(pb_v_offset, t, vOffset, validity);
  pblock->GetValue(pb_u_scale, t, uScale, validity);
  pblock->GetValue(pb_v_scale, t, vScale, validity);
  pblock->GetValue(pb_affect_alpha, t, affectAlpha, validity);
  pblock->GetValue(pb_color_ramp, t, colorRamp, validity);
  pblock->GetValue(pb_normalize_mesh, t, normalize, validity);
  pblock->GetValue(pb_use_normals, t, useNormals, validity);
  pblock->GetValue(pb_color_ramp_texture, t, rampMap, validity);
  if (rampMap != nullptr) validity &= rampMap->Validity(t);
  if (node != nullptr) hasStoredMesh = FALSE;

  auto prepare = [&] {
    sampler.normalizeMesh = normalize;
    sampler.quadTreeDepth = depth;
    sampler.uOffset = uOffset;
    sampler.vOffset = vOffset;
    sampler.uScale = uScale;
    sampler.vScale = vScale;
    rampContext.ResetForUpdate(t);
  };

  if (node != nullptr) {
    const ObjectState os = node->EvalWorldState(t, TRUE);
    if (os.obj != nullptr) validity &= os.obj->ObjectValidity(t);
    uvGen->Update(t, validity);
    TriObject* tri = nullptr;
    if (os.obj != nullptr && os.obj->IsSubClassOf(triObjectClassID)) {
      tri = dynamic_cast<TriObject*>(os.obj);
    } else if (os.obj != nullptr && os.obj->CanConvertToType(triObjectClassID)) {
      Object* converted = os.obj->ConvertToType(t, triObjectClassID);
      tri = dynamic_cast<TriObject*>(converted);
      if (tri == nullptr && converted != nullptr && converted != os.obj) converted->DeleteThis();
    }
    if (tri != nullptr) {
      prepare();
      sampler.Rebuild(tri->GetMesh());
      // A converted copy is ours; the sampler kept its own copy of the mesh.
      if (tri != os.obj && tri->DependentCount() == 0) tri->DeleteThis();
    }
  } else if (hasStoredMesh) {
    uvGen->Update(t, validity);
    prepare();
    sampler.RebuildFromStoredMesh();
  }
  valid = validity;
}

// ---- Shading ----------------------------------------------------------------------------------

AColor VeldmapTexmap::EvalColor(ShadeContext& sc) {
  if (sc.doMaps == 0) return AColor(0.0f, 0.0f, 0.0f, 0.0f);
  if (gbufID != 0) sc.SetGBufferID(static_cast<int>(gbufID));
  return uvGen->EvalUVMap(sc, &mapSampler, TRUE);
}

void* VeldmapTexmap::GetInterface(std::uint32_t id) {
  if (id == I_MONO_ROW_MAP) return static_cast<MonoRowMap*>(&rowShader);
  return Texmap::GetInterface(id);
}

float VeldmapTexmap::EvalMono(ShadeContext& sc) {
  if (sc.doMaps == 0) return 0.0f;
  if (gbufID != 0) sc.SetGBufferID(static_cast<int>(gbufID));
  return uvGen->EvalUVMapMono(sc, &mapSampler, TRUE);
}

AColor VeldmapTexmap::EvalColorAt(ShadeContext&, float u, float v, float du, float dv) {
  const float h = sampler.FilteredHeight(u, v, du, dv);
  const float alpha = affectAlpha != 0 ? h : 1.0f;
  if (rampMap != nullptr && colorRamp != 0) {
    float m = h;
    if (h < kRampLow) m = kRampLow;
    if (h > kRampHigh) m = kRampHigh;
    // The ramp sees exactly what the map's own context holds, with the height set, but in a copy
    // of its own: lookups from several threads never write to shared state.
    RampShadeContext lookup(rampContext);
    lookup.SetHeight(m);
    const AColor c = rampMap->EvalColor(lookup);
    return AColor(c.r, c.g, c.b, alpha);
  }
  return AColor(h * 1.0f, h * 1.0f, h * 1.0f, alpha);
}

Point3 VeldmapTexmap::EvalNormalPerturb(ShadeContext& sc) {
  if (sc.doMaps == 0) return Point3(0.0f, 0.0f, 0.0f);
  if (gbufID != 0) sc.SetGBufferID(static_cast<int>(gbufID));
  Point3 dPdu, dPdv;
  if (useNormals == 0) {
    uvGen->GetBumpDP(sc, dPdu, dPdv);
    const Point2 d = uvGen->EvalDeriv(sc, &mapSampler, TRUE);
    return Point3(d.x * dPdu.x + d.y * dPdv.x, d.x * dPdu.y + d.y * dPdv.y, d.x * dPdu.z + d.y * dPdv.z);
  }

  Point2 uv, duv;
  uvGen->GetUV(sc, uv, duv);
  float u = uv.x, v = uv.y;
  const int tiling = uvGen->GetTextureTiling();
  if ((tiling & (U_WRAP | U_MIRROR)) != 0) u = WrapUnit(u);
  if ((tiling & (V_WRAP | V_MIRROR)) != 0) v = WrapUnit(v);
  bool flipU = false, flipV = false;
  if ((tiling & U_MIRROR) != 0) {
    if (u > 0.5f) {
      flipU = true;
      u = 2.0f * (1.0f - u);
    } else {
      u = 2.0f * u;
    }
  }
  if ((tiling & V_MIRROR) != 0) {
    if (v > 0.5f) {
      flipV = true;
      v = 2.0f * (1.0f - v);
    } else {
      v = 2.0f * v;
    }
  }
  Point3 n;
  if (!sampler.NormalAt(Point3(u, v, 0.0f), n)) return Point3(0.0f, 0.0f, 0.0f);
  if ((tiling & U_MIRROR) != 0 && flipU) n.x = -n.x;
  if ((tiling & V_MIRROR) != 0 && flipV) n.y = -n.y;
  uvGen->GetBumpDP(sc, dPdu, dPdv);
  return Point3(n.x * dPdu.x + n.y * dPdv.x, n.x * dPdu.y + n.y * dPdv.y, n.x * dPdu.z + n.y * dPdv.z);
}

// ---- Scene file -------------------------------------------------------------------------------

IOResult VeldmapTexmap::Save(ISave* save) { return SaveMapRecord(save, *this, hasStoredMesh != 0, sampler.storedMesh); }

IOResult VeldmapTexmap::Load(ILoad* load) {
  bool stored = hasStoredMesh != 0;
  const IOResult result = LoadMapRecord(load, *this, stored, sampler.storedMesh, nullptr);
  if (result == IO_OK) hasStoredMesh = stored ? TRUE : FALSE;
  return result;
}

// ---- Viewport ---------------------------------------------------------------------------------

void VeldmapTexmap::DiscardTexHandle() {
  if (texHandle != nullptr) {
    texHandle->DeleteThis();
    texHandle = nullptr;
  }
}

void VeldmapTexmap::ActivateTexDisplay(BOOL onoff) {
  if (onoff == FALSE) DiscardTexHandle();
}

Bitmap* VeldmapTexmap::BuildPreviewBitmap(int n) {
  BitmapInfo info;
  info.SetName(CStr("checkerTemp"));
  info.SetWidth(n);
  info.SetHeight(n);
  info.SetType(BMM_TRUE_32);
  Bitmap* bitmap = TheManager->Create(&info);
  if (bitmap == nullptr) return nullptr;

  std::vector<BMM_Color_64> line(static_cast<std::size_t>(n));  // zero-filled, reused per row
  RampShadeContext scratch;
  // Running sums rather than x / n: the preview samples exactly where the host's own preview
  // of such a map would, U from the left edge, V at row centres.
  const float d = 1.0f / static_cast<float>(n);
  float v = 1.0f - 0.5f * d;
  for (int y = 0; y < n; ++y) {
    float u = 0.0f;
    for (BMM_Color_64& pixel : line) {
      const AColor c = EvalColorAt(scratch, u, v, 0.0f, 0.0f);
      pixel.r = PreviewChannel(c.r);
      pixel.g = PreviewChannel(c.g);
      pixel.b = PreviewChannel(c.b);
      pixel.a = 0xFFFF;
      u = u + d;
    }
    bitmap->PutPixels(0, y, n, line.data());
    v = v - d;
  }
  return bitmap;
}

BITMAPINFO* VeldmapTexmap::GetVPDisplayDIB(TimeValue t, TexHandleMaker& thmaker, Interval& valid, BOOL, int forceW,
                                           int forceH) {
  Interval scratch = NEVER;
  Update(t, scratch);
  Bitmap* bitmap = BuildPreviewBitmap(thmaker.Size());
  // Without a bitmap there is nothing to show; valid stays as it was, so the host asks again.
  if (bitmap == nullptr) return nullptr;
  BITMAPINFO* dib = thmaker.BitmapToDIB(bitmap, uvGen->SymFlags(), 0, forceW, forceH);
  bitmap->DeleteThis();
  valid = FOREVER;
  return dib;
}

std::uintptr_t VeldmapTexmap::GetActiveTexHandle(TimeValue t, TexHandleMaker& thmaker) {
  if (texHandle != nullptr) {
    if (texHandleValid.InInterval(t)) return texHandle->GetHandle();
    DiscardTexHandle();
  }
  BITMAPINFO* dib = GetVPDisplayDIB(t, thmaker, texHandleValid, FALSE, 0, 0);
  // A failed preview leaves no handle: 0 tells the viewport there is no texture, and the next
  // call tries again.
  texHandle = dib != nullptr ? thmaker.MakeHandle(dib) : nullptr;
  return texHandle != nullptr ? texHandle->GetHandle() : 0;
}

// ---- Rollout and its commands -----------------------------------------------------------------

ParamDlg* VeldmapTexmap::CreateParamDlg(HWND editorWindow, IMtlParams* params) {
  IAutoMParamDlg* master = veldmapParamBlockDesc.GetClassDesc()->CreateParamDlgs(editorWindow, params, this);
  uvGenParamDlg = uvGen->CreateParamDlg(editorWindow, params);
  master->AddDlg(uvGenParamDlg);
  veldmapParamBlockDesc.SetUserDlgProc(0, new (std::nothrow) RolloutDlgProc(this));
  return master;
}

void VeldmapTexmap::BakeNodeMesh() {
  hasStoredMesh = TRUE;
  const TimeValue t = GetCOREInterface()->GetTime();
  INode* node = nullptr;
  Interval ignored = FOREVER;
  pblock->GetValue(pb_node, t, node, ignored);
  if (node == nullptr) return;
  const ObjectState os = node->EvalWorldState(t, TRUE);
  if (os.obj == nullptr) return;
  TriObject* tri = nullptr;
  if (os.obj->IsSubClassOf(triObjectClassID)) {
    tri = dynamic_cast<TriObject*>(os.obj);
  } else if (os.obj->CanConvertToType(triObjectClassID)) {
    Object* converted = os.obj->ConvertToType(t, triObjectClassID);
    tri = dynamic_cast<TriObject*>(converted);
    if (tri == nullptr && converted != nullptr && converted != os.obj) converted->DeleteThis();
  }
  if (tri == nullptr) return;
  sampler.storedMesh = tri->GetMesh();
  if (tri != os.obj && tri->DependentCount() == 0) tri->DeleteThis();
  pblock->SetValue(pb_node, 0, static_cast<INode*>(nullptr));
}

void VeldmapTexmap::ExportStoredMesh() {
  TriObject* object = CreateNewTriObject();
  object->GetMesh() = sampler.storedMesh;
  CStr name("Veldmap");
  Interface* core = GetCOREInterface();
  core->MakeNameUnique(name);
  INode* node = core->CreateObjectNode(object);
  if (node != nullptr) node->SetName(name.data());
  core->RedrawViews(core->GetTime(), REDRAW_NORMAL);
}

BOOL RolloutDlgProc::DlgProc(TimeValue, IParamMap2*, HWND, UINT msg, WPARAM wParam, LPARAM) {
  if (msg != WM_COMMAND || map_ == nullptr) return FALSE;
  switch (LOWORD(wParam)) {
    case IDC_BAKE_OBJECT: map_->BakeNodeMesh(); break;
    case IDC_EXPORT_MESH: map_->ExportStoredMesh(); break;
    case IDC_VELDMAP_HELP:
      ShellExecuteA(GetCOREInterface()->GetMAXHWnd(), "open", "iexplore.exe", kVeldmapHelpAddress, nullptr,
                    SW_SHOWNORMAL);
      break;
    default: break;
  }
  return FALSE;
}
