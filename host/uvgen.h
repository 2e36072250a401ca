// UV generators: how a texture map turns a shading point's texture coordinates into the UV it
// samples. A map owns its generator through a reference, calls it at every shading point, and
// the generator calls back into the map through a MapSampler with the final UV.
//
// The standard generator reads the source UVW s of its map channel (ShadeContext::UVW) and maps
// it, before any wrapping, to
//
//   m = S (R(w) (s - c) + c) + o
//
// with c = (0.5, 0.5) the tile centre, R(w) the rotation by the W angle w in radians,
// counter-clockwise seen from +W (+U turns toward +V), S = diag(U tiling, V tiling) and
// o = (U offset, V offset). So the map turns about the middle of its tile, is then repeated
// `tiling` times per unit of source UV counted from the origin, and an offset shifts the map's
// content toward -U/-V on the surface. W passes through unchanged. As a Matrix3 (row vectors,
// see host/matrix3.h) this is m = s * T(-c) Rz(w) T(c) Scale(S) T(o), what GetUVTransform gives.
//
// Tiling symmetry, per axis, on the mapped coordinate x before sampling:
//   - WRAP or MIRROR: x becomes its fractional part, the sign kept (as std::modf), plus 1 when
//     negative, so -0.25 wraps to 0.75;
//   - MIRROR then folds that into 2 (1 - x) for x > 0.5, else 2 x: one tile holds the map and
//     its mirror image, and x = 0.5 gives 1. Maps that rebuild this fold for their own bump
//     depend on the exact rule;
//   - neither: x is passed on unchanged and the map decides what lies outside 0 .. 1.
// Before each sample the sampler hears the tile numbers floor(m.x), floor(m.y) (of the mapped
// coordinates before wrapping, whatever the flags).
//
// Footprint: the source footprint (du, dv) from ShadeContext::DUVW is taken as a box and carried
// through the linear part of the transform to the box that bounds its image:
//   du' = |tu| (|cos w| du + |sin w| dv),   dv' = |tv| (|sin w| du + |cos w| dv).
// A mirrored axis doubles its footprint when sampling, as the fold runs through the map twice as
// fast; wrapping leaves it as it is.
//
// Threads: GetUV, GetUVTransform, EvalUVMap, EvalUVMapMono, EvalDeriv and GetBumpDP only read
// the generator, so renderer threads may call them at once, each with its own context and
// sampler, while nothing changes the generator. Setters, Reset and Load (and the notifications
// they send) belong to the host's main thread, like the reference system.
#pragma once

#include <cstdint>

#include "host/bit_array.h"
#include "host/chunk_io.h"
#include "host/class_id.h"
#include "host/geometry.h"
#include "host/interval.h"
#include "host/matrix3.h"
#include "host/mtl_base.h"
#include "host/reference.h"
#include "host/row_shading.h"
#include "host/types.h"

// Tiling flags (GetTextureTiling, SymFlags).
inline constexpr int U_WRAP = 1;
inline constexpr int V_WRAP = 2;
inline constexpr int U_MIRROR = 4;
inline constexpr int V_MIRROR = 8;

// Requirement flag: the object reads texture coordinates, so the renderer must supply UVW (and
// their footprint and derivatives) for the channels MappingsRequired marks.
inline constexpr ULONG MTLREQ_UV = ULONG{1} << 2;

// UVW sources. Only explicit map channels exist in this host.
inline constexpr int UVWSRC_EXPLICIT = 0;

// Map channels a generator may read: 0 (vertex colour) .. UVGEN_MAX_MAP_CHANNEL.
inline constexpr int UVGEN_MAX_MAP_CHANNEL = 99;

// The standard generator's class; its super class is UVGEN_CLASS_ID.
inline constexpr Class_ID STDUVGEN_CLASS_ID(0x0000100, 0);

// The standard generator's record (Save/Load), a run of chunks:
//   UVGEN_BASE_CHUNK    MtlBase::Save's chunks (the name), nested.
//   UVGEN_PARAMS_CHUNK  32 bytes, little-endian:
//     0 f32 U offset   4 f32 V offset   8 f32 U tiling   12 f32 V tiling   16 f32 W angle (radians)
//    20 u32 tiling flags   24 i32 map channel   28 i32 slot type
// Other chunks are skipped, so later versions may add their own after these.
inline constexpr unsigned short UVGEN_PARAMS_CHUNK = 0x5000;
inline constexpr unsigned short UVGEN_BASE_CHUNK = 0x5001;
inline constexpr unsigned long UVGEN_PARAMS_BYTES = 32;

class UVGen : public MtlBase {
 public:
  SClass_ID SuperClassID() override { return UVGEN_CLASS_ID; }

  // The mapped UV of sc's point (before wrap and mirror) and its footprint in map UV.
  virtual void GetUV(ShadeContext& sc, Point2& uv, Point2& duv) = 0;
  // The affine map GetUV applies to the source UVW (row vectors: m = s * uvtrans).
  virtual void GetUVTransform(Matrix3& uvtrans) = 0;
  // The map's colour (mono value) at sc's point: the mapped UV after the tiling symmetry, handed
  // to samp, filtered over the footprint when filter is TRUE and sc.filterMaps is non-zero.
  // samp must not be null; it is called on this thread before the call returns.
  virtual AColor EvalUVMap(ShadeContext& sc, MapSampler* samp, BOOL filter = TRUE) = 0;
  virtual float EvalUVMapMono(ShadeContext& sc, MapSampler* samp, BOOL filter = TRUE) = 0;
  // d(mono)/du and d(mono)/dv with respect to the point's source U and V, through the whole
  // mapping, so that d.x * dPdu + d.y * dPdv (GetBumpDP's vectors) perturbs the normal.
  virtual Point2 EvalDeriv(ShadeContext& sc, MapSampler* samp, BOOL filter = TRUE) = 0;
  // The surface's change of position per unit source U and V (camera frame), the bump basis.
  virtual void GetBumpDP(ShadeContext& sc, Point3& dPdu, Point3& dPdv) = 0;

  virtual float GetUOffset() = 0;
  virtual float GetVOffset() = 0;
  virtual float GetUTiling() = 0;
  virtual float GetVTiling() = 0;
  virtual float GetWAngle() = 0;  // radians
  // Setters notify dependents when the value changes; a non-finite value is ignored.
  virtual void SetUOffset(float offset) = 0;
  virtual void SetVOffset(float offset) = 0;
  virtual void SetUTiling(float tiling) = 0;
  virtual void SetVTiling(float tiling) = 0;
  virtual void SetWAngle(float radians) = 0;

  // Wrap and mirror flags (U_WRAP | V_WRAP | U_MIRROR | V_MIRROR). SymFlags is the same set, as
  // viewport display asks for it.
  virtual int GetTextureTiling() = 0;
  virtual int SymFlags() = 0;
  // Bits other than the four tiling flags are dropped.
  virtual void SetTextureTiling(int flags) = 0;

  virtual int GetUVWSource() = 0;
  virtual int GetMapChannel() = 0;
  // A channel outside 0 .. UVGEN_MAX_MAP_CHANNEL is ignored.
  virtual void SetMapChannel(int channel) = 0;

  // What the renderer must supply at a point of sub-material subMtlNum (MTLREQ_ flags).
  virtual ULONG Requirements(int subMtlNum) = 0;
  // Sets the bit of the map channel in mapreq, growing mapreq when it is too short to hold it.
  // bumpreq is left to the owning map, which alone knows whether it bump maps.
  virtual void MappingsRequired(int subMtlNum, BitArray& mapreq, BitArray& bumpreq) = 0;

  // Whether the owning map sits in a texture or an environment slot (ISubMap::MAPSLOT_TEXTURE or
  // MAPSLOT_ENVIRON); other values are ignored.
  virtual void InitSlotType(int type) = 0;
  virtual int GetSlotType() = 0;
};

// The rollout page "Coordinates" of a generator, without windows: it records which generator
// it edits and holds the page it opened in the editor.
class UVGenParamDlg final : public ParamDlg {
 public:
  static constexpr const char* kTitle = "Coordinates";

  // gen: the generator edited, not owned; it must outlive the page or be replaced through
  // SetThing first. params: the editor, not owned, may be null (then no page is opened); it must
  // outlive this object, whose destruction closes the page.
  UVGenParamDlg(UVGen* gen, IMtlParams* params);
  ~UVGenParamDlg() override;
  UVGenParamDlg(const UVGenParamDlg&) = delete;
  UVGenParamDlg& operator=(const UVGenParamDlg&) = delete;

  // The edited generator's class, or the "no class" Class_ID while there is none.
  Class_ID ClassID() override;
  // A UVGen becomes the edited generator; anything else (null included) is ignored.
  void SetThing(ReferenceTarget* thing) override;
  ReferenceTarget* GetThing() override { return gen_; }
  // The index AddRollupPage gave the page, or -1 when there is no editor.
  int PageIndex() const { return page_; }

 private:
  UVGen* gen_;
  IMtlParams* params_;
  int page_ = -1;
};

class StdUVGen final : public UVGen, public UVGenMonoRow {
 public:
  StdUVGen() = default;

  void GetUV(ShadeContext& sc, Point2& uv, Point2& duv) override;
  void GetUVTransform(Matrix3& uvtrans) override { uvtrans = Transform(); }
  AColor EvalUVMap(ShadeContext& sc, MapSampler* samp, BOOL filter = TRUE) override;
  float EvalUVMapMono(ShadeContext& sc, MapSampler* samp, BOOL filter = TRUE) override;
  // Differences of the mono value at s +- h along each source axis, through transform and
  // symmetry, over the distance actually stepped: the result is in the map's mono units per unit
  // of the point's source U and V (not of map UV, so tiling scales it). h is half the source
  // footprint on that axis (so the difference spans the pixel), but at least 1/1024 of a tile
  // measured in map UV, which keeps the difference above float noise when there is no footprint.
  // Central, except on a map that does not repeat on some axis (neither wrap nor mirror there):
  // there the map is its one image, [0, 1) on that axis, and when the point is on it but one of
  // the two steps leaves it, the difference is one-sided, between the point and the step that
  // stays (the samples beyond would read whatever the map shows outside, not its continuation).
  // The samples are filtered as EvalUVMapMono's would be. An axis whose step vanishes in float
  // gives 0.
  Point2 EvalDeriv(ShadeContext& sc, MapSampler* samp, BOOL filter = TRUE) override;
  // The row form of EvalUVMapMono (I_UVGEN_MONO_ROW): the transform and footprint are read once
  // for the row, each point mapped exactly as EvalUVMapMono maps it.
  bool EvalUVMapMonoRow(ShadeContext& sc, MapSampler* samp, MonoRowSampler* rows, BOOL filter, const Point3* uvw,
                        int count, float* out) override;
  // I_UVGEN_MONO_ROW gives the row form; the rest as MtlBase.
  void* GetInterface(std::uint32_t id) override;
  // From sc.DPdUVW of the map channel: dPdu = dP[0], dPdv = dP[1].
  void GetBumpDP(ShadeContext& sc, Point3& dPdu, Point3& dPdv) override;

  float GetUOffset() override { return params_.uOffset; }
  float GetVOffset() override { return params_.vOffset; }
  float GetUTiling() override { return params_.uTiling; }
  float GetVTiling() override { return params_.vTiling; }
  float GetWAngle() override { return params_.wAngle; }
  void SetUOffset(float offset) override { SetValue(params_.uOffset, offset); }
  void SetVOffset(float offset) override { SetValue(params_.vOffset, offset); }
  void SetUTiling(float tiling) override { SetValue(params_.uTiling, tiling); }
  void SetVTiling(float tiling) override { SetValue(params_.vTiling, tiling); }
  void SetWAngle(float radians) override { SetValue(params_.wAngle, radians); }

  int GetTextureTiling() override { return params_.tiling; }
  int SymFlags() override { return params_.tiling; }
  // Sends REFMSG_CHANGE, then REFMSG_UV_SYM_CHANGE, when the flags change.
  void SetTextureTiling(int flags) override;

  int GetUVWSource() override { return UVWSRC_EXPLICIT; }
  int GetMapChannel() override { return params_.channel; }
  void SetMapChannel(int channel) override;

  ULONG Requirements(int) override { return MTLREQ_UV; }
  std::uint32_t LocalRequirements(int subMtlNum) override { return Requirements(subMtlNum); }
  void MappingsRequired(int subMtlNum, BitArray& mapreq, BitArray& bumpreq) override;
  void LocalMappingsRequired(int subMtlNum, BitArray& mapreq, BitArray& bumpreq) override {
    MappingsRequired(subMtlNum, mapreq, bumpreq);
  }

  void InitSlotType(int type) override;
  int GetSlotType() override { return slotType_; }

  // Nothing animates, so valid is left as it is and the generator holds FOREVER.
  void Update(TimeValue, Interval& valid) override { valid &= FOREVER; }
  Interval Validity(TimeValue) override { return FOREVER; }
  // Parameters back to their defaults (the slot type stays), then one REFMSG_CHANGE, and
  // REFMSG_UV_SYM_CHANGE after it when the flags were not the default ones.
  void Reset() override;
  // A new UVGenParamDlg on this generator, owned by the caller (freed with DeleteThis).
  ParamDlg* CreateParamDlg(HWND editorWindow, IMtlParams* params) override;

  Class_ID ClassID() override { return STDUVGEN_CLASS_ID; }
  void GetClassName(CStr& name) override { name = CStr("UVGen"); }
  RefResult NotifyRefChanged(const Interval&, RefTargetHandle, PartID&, RefMessage) override { return REF_SUCCEED; }

  // A new generator with the same parameters, slot type and name.
  ReferenceTarget* Clone(RemapDir& remap) override;
  IOResult Save(ISave* save) override;
  // Reads the record Save writes. A parameter chunk that is not UVGEN_PARAMS_BYTES long or holds
  // a value the setters would not accept, a damaged name or a broken chunk gives IO_ERROR and
  // leaves the generator (name included) as it was. Without a parameter chunk the parameters
  // stay as they were.
  IOResult Load(ILoad* load) override;

 private:
  struct Params {
    float uOffset = 0.0f;
    float vOffset = 0.0f;
    float uTiling = 1.0f;
    float vTiling = 1.0f;
    float wAngle = 0.0f;
    int tiling = U_WRAP | V_WRAP;
    int channel = 1;
  };
  // A mapped UV ready for the sampler: after the symmetry, with its footprint and tile numbers.
  struct Lookup {
    Point2 uv;
    Point2 duv;
    IPoint2 tile;
  };

  // The mapping of the current parameters, kept built: every shading call reads it, and the
  // rotation's cosine and sine are not worth recomputing per call.
  const Matrix3& Transform() const { return transform_; }
  Matrix3 BuildTransform() const;
  Lookup Prepare(const Point2& mapped, const Point2& footprint) const;
  // Where the shading point samples the map, with the footprint when filtered.
  Lookup Locate(ShadeContext& sc, bool filtered) const;
  // The mapped UV of a source point before the symmetry.
  Point2 Mapped(const Point3& source) const {
    const Point3 mapped = Transform().PointTransform(source);
    return {mapped.x, mapped.y};
  }
  void SetValue(float& field, float value);
  // The parameter chunk's body (UVGEN_PARAMS_BYTES). Decode fills params and slotType and says
  // whether every value is one the setters would accept.
  static void Encode(const Params& params, int slotType, unsigned char* bytes);
  static bool Decode(const unsigned char* bytes, Params& params, int& slotType);
  void Changed(bool symmetry);

  Params params_;
  Matrix3 transform_ = BuildTransform();  // follows params_: rebuilt wherever they change
  int slotType_ = ISubMap::MAPSLOT_TEXTURE;
};

// A new standard generator with the default parameters. The caller owns it until it hands it to
// the reference system, and frees it with DeleteThis.
UVGen* GetNewDefaultUVGen();
