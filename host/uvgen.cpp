#include "host/uvgen.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "host/byte_order.h"
#include "host/mtl_params.h"
#include "host/shade_context.h"

namespace {

constexpr int kTilingMask = U_WRAP | V_WRAP | U_MIRROR | V_MIRROR;
// The smallest derivative step, in map UV: a texel of a 1024-wide map.
constexpr float kMinDerivStep = 1.0f / 1024.0f;

// The whole-tile part of a mapped coordinate. NaN and values beyond int's range, where a plain
// conversion would be undefined, give 0 and the nearest int.
int TileNumber(float x) {
  const float f = std::floor(x);
  if (std::isnan(f)) return 0;
  if (f <= static_cast<float>(INT_MIN)) return INT_MIN;
  if (f >= -static_cast<float>(INT_MIN)) return INT_MAX;
  return static_cast<int>(f);
}

// modf's fractional part, sign of zero included, without its library call (this runs for
// every shading point): x less its integral part is exact in float; modf gives a zero of x's
// sign at infinity.
float Fraction(float x) {
  if (std::isinf(x)) return std::copysign(0.0f, x);
  return std::copysign(x - std::trunc(x), x);
}

float Symmetric(float x, bool wrap, bool mirror) {
  if (!wrap && !mirror) return x;
  float f = Fraction(x);
  if (f < 0.0f) f += 1.0f;
  if (mirror) f = f > 0.5f ? 2.0f * (1.0f - f) : 2.0f * f;
  return f;
}

// The box bounding the image of the source footprint box under the transform's linear part.
Point2 MappedFootprint(const Matrix3& m, const Point3& sourceFootprint) {
  const Point3 du = m.GetRow(0), dv = m.GetRow(1);
  const float su = std::fabs(sourceFootprint.x), sv = std::fabs(sourceFootprint.y);
  return {std::fabs(du.x) * su + std::fabs(dv.x) * sv, std::fabs(du.y) * su + std::fabs(dv.y) * sv};
}

// Half the footprint on a source axis, but no less than kMinDerivStep once mapped: axis is the
// image of a unit step along it (a row of the transform).
float DerivStep(float footprint, const Point3& axis) {
  const float stretch = std::hypot(axis.x, axis.y);
  const float floor = stretch > 0.0f ? kMinDerivStep / stretch : kMinDerivStep;
  return std::fmax(0.5f * std::fabs(footprint), floor);
}

bool ValidChannel(int channel) { return channel >= 0 && channel <= UVGEN_MAX_MAP_CHANNEL; }
bool ValidSlotType(int type) { return type == ISubMap::MAPSLOT_TEXTURE || type == ISubMap::MAPSLOT_ENVIRON; }

}  // namespace

// ---- The rollout page ------------------------------------------------------------------------

UVGenParamDlg::UVGenParamDlg(UVGen* gen, IMtlParams* params) : gen_(gen), params_(params) {
  if (params_ != nullptr) page_ = params_->AddRollupPage(kTitle);
}

UVGenParamDlg::~UVGenParamDlg() {
  if (params_ != nullptr) params_->DeleteRollupPage(page_);
}

Class_ID UVGenParamDlg::ClassID() { return gen_ != nullptr ? gen_->ClassID() : Class_ID(); }

void UVGenParamDlg::SetThing(ReferenceTarget* thing) {
  if (auto* gen = dynamic_cast<UVGen*>(thing)) gen_ = gen;
}

// ---- Mapping ---------------------------------------------------------------------------------

Matrix3 StdUVGen::BuildTransform() const {
  Matrix3 m;
  m.Translate({-0.5f, -0.5f, 0.0f});
  m.RotateZ(params_.wAngle);
  m.Translate({0.5f, 0.5f, 0.0f});
  m.Scale({params_.uTiling, params_.vTiling, 1.0f});
  m.Translate({params_.uOffset, params_.vOffset, 0.0f});
  return m;
}

StdUVGen::Lookup StdUVGen::Prepare(const Point2& mapped, const Point2& footprint) const {
  const int flags = params_.tiling;
  const bool uMirror = (flags & U_MIRROR) != 0, vMirror = (flags & V_MIRROR) != 0;
  Lookup at;
  at.tile = {TileNumber(mapped.x), TileNumber(mapped.y)};
  at.uv = {Symmetric(mapped.x, (flags & U_WRAP) != 0, uMirror), Symmetric(mapped.y, (flags & V_WRAP) != 0, vMirror)};
  at.duv = {uMirror ? 2.0f * footprint.x : footprint.x, vMirror ? 2.0f * footprint.y : footprint.y};
  return at;
}

void StdUVGen::GetUV(ShadeContext& sc, Point2& uv, Point2& duv) {
  const Matrix3& m = Transform();
  const Point3 mapped = m.PointTransform(sc.UVW(params_.channel));
  uv = {mapped.x, mapped.y};
  duv = MappedFootprint(m, sc.DUVW(params_.channel));
}

StdUVGen::Lookup StdUVGen::Locate(ShadeContext& sc, bool filtered) const {
  // The footprint only matters to a filtered sample; unfiltered shading skips working it out.
  const Point2 footprint = filtered ? MappedFootprint(Transform(), sc.DUVW(params_.channel)) : Point2();
  return Prepare(Mapped(sc.UVW(params_.channel)), footprint);
}

AColor StdUVGen::EvalUVMap(ShadeContext& sc, MapSampler* samp, BOOL filter) {
  const bool filtered = filter && sc.filterMaps;
  const Lookup at = Locate(sc, filtered);
  samp->SetTileNumbers(at.tile.x, at.tile.y);
  if (filtered) return samp->SampleFilter(sc, at.uv.x, at.uv.y, at.duv.x, at.duv.y);
  return samp->Sample(sc, at.uv.x, at.uv.y);
}

float StdUVGen::EvalUVMapMono(ShadeContext& sc, MapSampler* samp, BOOL filter) {
  const bool filtered = filter && sc.filterMaps;
  const Lookup at = Locate(sc, filtered);
  samp->SetTileNumbers(at.tile.x, at.tile.y);
  if (filtered) return samp->SampleMonoFilter(sc, at.uv.x, at.uv.y, at.duv.x, at.duv.y);
  return samp->SampleMono(sc, at.uv.x, at.uv.y);
}

bool StdUVGen::EvalUVMapMonoRow(ShadeContext& sc, MapSampler* samp, MonoRowSampler* rows, BOOL filter,
                                const Point3* uvw, int count, float* out) {
  const bool filtered = filter && sc.filterMaps;
  if (filtered || rows == nullptr) {
    const Point2 footprint = filtered ? MappedFootprint(Transform(), sc.DUVW(params_.channel)) : Point2();
    for (int i = 0; i < count; ++i) {
      const Lookup at = Prepare(Mapped(uvw[i]), footprint);
      samp->SetTileNumbers(at.tile.x, at.tile.y);
      out[i] = filtered ? samp->SampleMonoFilter(sc, at.uv.x, at.uv.y, at.duv.x, at.duv.y)
                        : samp->SampleMono(sc, at.uv.x, at.uv.y);
    }
    return true;
  }
  // The row sampler takes no tile numbers, so only the symmetry is applied.
  const int flags = params_.tiling;
  const bool uWrap = (flags & U_WRAP) != 0, vWrap = (flags & V_WRAP) != 0;
  const bool uMirror = (flags & U_MIRROR) != 0, vMirror = (flags & V_MIRROR) != 0;
  constexpr int kRun = 256;
  Point2 uv[kRun];
  for (int first = 0; first < count; first += kRun) {
    const int n = std::min(kRun, count - first);
    for (int i = 0; i < n; ++i) {
      const Point2 mapped = Mapped(uvw[first + i]);
      uv[i] = {Symmetric(mapped.x, uWrap, uMirror), Symmetric(mapped.y, vWrap, vMirror)};
    }
    rows->SampleMonoRow(sc, uv, n, out + first);
  }
  return true;
}

void* StdUVGen::GetInterface(std::uint32_t id) {
  if (id == I_UVGEN_MONO_ROW) return static_cast<UVGenMonoRow*>(this);
  return UVGen::GetInterface(id);
}

Point2 StdUVGen::EvalDeriv(ShadeContext& sc, MapSampler* samp, BOOL filter) {
  const Matrix3& m = Transform();
  const Point3 s = sc.UVW(params_.channel);
  const Point3 ds = sc.DUVW(params_.channel);
  const Point2 footprint = MappedFootprint(m, ds);
  const bool filtered = filter && sc.filterMaps;
  const int flags = params_.tiling;
  const bool uOpen = (flags & (U_WRAP | U_MIRROR)) == 0, vOpen = (flags & (V_WRAP | V_MIRROR)) == 0;
  const auto mapped = [&](float u, float v) {
    const Point3 p = m.PointTransform({u, v, s.z});
    return Point2(p.x, p.y);
  };
  const auto mono = [&](const Point2& at) {
    const Lookup lookup = Prepare(at, footprint);
    samp->SetTileNumbers(lookup.tile.x, lookup.tile.y);
    return filtered ? samp->SampleMonoFilter(sc, lookup.uv.x, lookup.uv.y, lookup.duv.x, lookup.duv.y)
                    : samp->SampleMono(sc, lookup.uv.x, lookup.uv.y);
  };
  // A map that does not repeat on an axis is one image, [0, 1) on it; what lies beyond is not
  // the map's continuation (a bake of one image of a mesh is not a tile), so a step that leaves
  // the image must not be differenced against it.
  const auto onImage = [&](const Point2& p) {
    return (!uOpen || (p.x >= 0.0f && p.x < 1.0f)) && (!vOpen || (p.y >= 0.0f && p.y < 1.0f));
  };
  // The difference along one source axis between centre - h and centre + h, over the distance
  // float actually stepped (not 2h, which it may have rounded). Where one of the two steps leaves
  // the image and the other and the centre stay on it, the difference is one-sided, towards the
  // step that stays; everywhere else it is central, as on a repeating map.
  const auto derivative = [&](float centre, float h, auto at) {
    const float lo = centre - h, hi = centre + h;
    if (!(hi > lo)) return 0.0f;
    const Point2 below = at(lo), above = at(hi);
    if (uOpen || vOpen) {
      const Point2 middle = at(centre);
      if (onImage(middle)) {
        const bool belowOn = onImage(below), aboveOn = onImage(above);
        if (belowOn && !aboveOn && centre > lo) return (mono(middle) - mono(below)) / (centre - lo);
        if (aboveOn && !belowOn && hi > centre) return (mono(above) - mono(middle)) / (hi - centre);
      }
    }
    return (mono(above) - mono(below)) / (hi - lo);
  };
  const float hu = DerivStep(ds.x, m.GetRow(0)), hv = DerivStep(ds.y, m.GetRow(1));
  return {derivative(s.x, hu, [&](float u) { return mapped(u, s.y); }),
          derivative(s.y, hv, [&](float v) { return mapped(s.x, v); })};
}

void StdUVGen::GetBumpDP(ShadeContext& sc, Point3& dPdu, Point3& dPdv) {
  Point3 dP[3];
  sc.DPdUVW(dP, params_.channel);
  dPdu = dP[0];
  dPdv = dP[1];
}

// ---- Parameters ------------------------------------------------------------------------------

void StdUVGen::Changed(bool symmetry) {
  transform_ = BuildTransform();
  NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  // Viewport textures are built for one symmetry and must be remade.
  if (symmetry) NotifyDependents(FOREVER, PART_ALL, REFMSG_UV_SYM_CHANGE);
}

void StdUVGen::SetValue(float& field, float value) {
  if (!std::isfinite(value) || value == field) return;
  field = value;
  Changed(false);
}

void StdUVGen::SetTextureTiling(int flags) {
  flags &= kTilingMask;
  if (flags == params_.tiling) return;
  params_.tiling = flags;
  Changed(true);
}

void StdUVGen::SetMapChannel(int channel) {
  if (!ValidChannel(channel) || channel == params_.channel) return;
  params_.channel = channel;
  Changed(false);
}

void StdUVGen::MappingsRequired(int, BitArray& mapreq, BitArray&) {
  if (mapreq.GetSize() <= params_.channel) mapreq.SetSize(params_.channel + 1, 1);
  mapreq.Set(params_.channel);
}

void StdUVGen::InitSlotType(int type) {
  if (ValidSlotType(type)) slotType_ = type;
}

void StdUVGen::Reset() {
  const bool symmetry = params_.tiling != Params{}.tiling;
  params_ = Params{};
  Changed(symmetry);
}

ParamDlg* StdUVGen::CreateParamDlg(HWND, IMtlParams* params) { return new UVGenParamDlg(this, params); }

ReferenceTarget* StdUVGen::Clone(RemapDir& remap) {
  auto* copy = new StdUVGen();
  copy->params_ = params_;
  copy->transform_ = transform_;
  copy->slotType_ = slotType_;
  BaseClone(this, copy, remap);
  return copy;
}

// ---- Saving and loading ----------------------------------------------------------------------

void StdUVGen::Encode(const Params& params, int slotType, unsigned char* bytes) {
  const float floats[5] = {params.uOffset, params.vOffset, params.uTiling, params.vTiling, params.wAngle};
  for (std::size_t i = 0; i < 5; ++i) StoreF32(bytes + 4 * i, floats[i]);
  StoreLE32(bytes + 20, static_cast<std::uint32_t>(params.tiling));
  StoreLE32(bytes + 24, static_cast<std::uint32_t>(params.channel));
  StoreLE32(bytes + 28, static_cast<std::uint32_t>(slotType));
}

bool StdUVGen::Decode(const unsigned char* bytes, Params& params, int& slotType) {
  float* const floats[5] = {&params.uOffset, &params.vOffset, &params.uTiling, &params.vTiling, &params.wAngle};
  bool valid = true;
  for (std::size_t i = 0; i < 5; ++i) {
    *floats[i] = LoadF32(bytes + 4 * i);
    valid = valid && std::isfinite(*floats[i]);
  }
  params.tiling = static_cast<int>(LoadLE32(bytes + 20));
  params.channel = static_cast<int>(LoadLE32(bytes + 24));
  slotType = static_cast<int>(LoadLE32(bytes + 28));
  const bool known = (params.tiling & ~kTilingMask) == 0 && ValidSlotType(slotType);
  return valid && known && ValidChannel(params.channel);
}

IOResult StdUVGen::Save(ISave* save) {
  save->BeginChunk(UVGEN_BASE_CHUNK);
  const IOResult base = MtlBase::Save(save);
  save->EndChunk();

  std::vector<unsigned char> bytes(UVGEN_PARAMS_BYTES);
  Encode(params_, slotType_, bytes.data());
  const IOResult params = WriteChunkBytes(*save, UVGEN_PARAMS_CHUNK, bytes);
  return base == IO_OK && params == IO_OK ? IO_OK : IO_ERROR;
}

IOResult StdUVGen::Load(ILoad* load) {
  // Everything is read into copies and committed only once the whole record has been accepted;
  // MtlBase::Load sets the name as it goes, so that is put back on failure.
  Params params = params_;
  int slotType = slotType_;
  const CStr name = GetName();
  const auto refuse = [&] {
    SetName(name);
    return IO_ERROR;
  };

  IOResult result;
  while ((result = load->OpenChunk()) == IO_OK) {
    bool accepted = true;
    if (load->CurChunkID() == UVGEN_BASE_CHUNK) {
      accepted = MtlBase::Load(load) == IO_OK;
    } else if (load->CurChunkID() == UVGEN_PARAMS_CHUNK) {
      unsigned char bytes[UVGEN_PARAMS_BYTES];
      accepted = load->CurChunkLength() == UVGEN_PARAMS_BYTES &&
                 load->Read(bytes, UVGEN_PARAMS_BYTES, nullptr) == IO_OK && Decode(bytes, params, slotType);
    }
    if (load->CloseChunk() != IO_OK || !accepted) return refuse();
  }
  if (result != IO_END) return refuse();
  params_ = params;
  transform_ = BuildTransform();
  slotType_ = slotType;
  return IO_OK;
}

UVGen* GetNewDefaultUVGen() { return new StdUVGen(); }
