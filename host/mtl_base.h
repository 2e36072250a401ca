// Materials and texture maps as the host sees them: the sampler callback a UV generator calls,
// the sub-map interface, the material base (name, update, validity, rollouts, scene chunks) and
// the texture map with its colour, mono and bump evaluation.
#pragma once

#include <cstdint>

#include "host/chunk_io.h"
#include "host/color.h"
#include "host/cstr.h"
#include "host/geometry.h"
#include "host/interval.h"
#include "host/matrix3.h"
#include "host/reference.h"
#include "host/types.h"

class ShadeContext;
class IParamBlock2;
class IMtlParams;
class UVGen;
class BitArray;
class TexHandleMaker;
#ifndef _WIN32
struct BITMAPINFO;  // windows.h declares it on Windows
#endif

// What a UV generator calls back once it has worked out a shading point's UV: the colour or
// mono value of the map at (u, v), optionally over a filter footprint du x dv.
class MapSampler {
 public:
  virtual ~MapSampler() = default;
  virtual AColor Sample(ShadeContext& sc, float u, float v) = 0;
  virtual AColor SampleFilter(ShadeContext& sc, float u, float v, float du, float dv) = 0;
  // Called before each sample with the whole-tile part of the UV about to be sampled (the floor
  // of the mapped coordinates before wrapping), for maps that vary from tile to tile.
  virtual void SetTileNumbers(int, int) {}
  virtual float SampleMono(ShadeContext& sc, float u, float v) {
    const AColor c = Sample(sc, u, v);
    return (c.r + c.g + c.b) / 3.0f;
  }
  virtual float SampleMonoFilter(ShadeContext& sc, float u, float v, float du, float dv) {
    const AColor c = SampleFilter(sc, u, v, du, dv);
    return (c.r + c.g + c.b) / 3.0f;
  }
};

// A rollout page of the material editor.
class ParamDlg {
 public:
  virtual ~ParamDlg() = default;
  virtual Class_ID ClassID() = 0;
  // Points the page at another object of its class.
  virtual void SetThing(ReferenceTarget* thing) = 0;
  virtual ReferenceTarget* GetThing() = 0;
  virtual void SetTime(TimeValue) {}
  virtual void ReloadDialog() {}
  virtual void DeleteThis() { delete this; }
};

class Texmap;

// The sub-map slots of a material or map.
class ISubMap {
 public:
  virtual ~ISubMap() = default;
  virtual int NumSubTexmaps() { return 0; }
  virtual Texmap* GetSubTexmap(int) { return nullptr; }
  virtual int MapSlotType(int) { return MAPSLOT_TEXTURE; }
  virtual void SetSubTexmap(int, Texmap*) {}
  virtual int SubTexmapOn(int) { return 1; }
  virtual CStr GetSubTexmapSlotName(int) { return CStr(""); }
  virtual BOOL SetDlgThing(ParamDlg*) { return FALSE; }
  virtual ReferenceTarget* GetRefTarget() = 0;

  static constexpr int MAPSLOT_TEXTURE = 0;
  static constexpr int MAPSLOT_ENVIRON = 1;
};

inline constexpr std::uint32_t I_SUBMAP = 0x1150;
inline constexpr std::uint32_t IID_MTLBASE = 0x66B073EA;
inline constexpr std::uint32_t IID_TEXMAP = 0x02F96F73;

// Chunk of the base data MtlBase::Save writes: the name.
inline constexpr unsigned short MTLBASE_NAME_CHUNK = 0x4001;

// Virtual operations in the order of the host's tables (see host/reference.h).
class MtlBase : public ReferenceTarget, public ISubMap {
 public:
  const CStr& GetName() const { return name_; }
  void SetName(const CStr& name) { name_ = name; }
  // The base data an assignment of one material base to another copies: the name and the
  // G-buffer id.
  void CopyBaseData(const MtlBase& other) {
    name_ = other.name_;
    gbufID = other.gbufID;
  }

  // The object's G-buffer id, which shading hands to the renderer; 0 for none.
  ULONG gbufID = 0;

  // The base data (the name) as one chunk of the object's record.
  IOResult Save(ISave* save) override;
  IOResult Load(ILoad* load) override;

  // What a clone takes over from its source besides its references: the name.
  void BaseClone(ReferenceTarget* from, ReferenceTarget* to, RemapDir& remap);

  ReferenceTarget* GetRefTarget() override { return this; }

  virtual std::uint32_t LocalRequirements(int) { return 0; }
  // Marks in mapreq (and bumpreq, for bump mapping) the map channels this object itself reads
  // for sub-material subMtlNum. The arrays belong to the caller, who sizes them.
  virtual void LocalMappingsRequired(int /*subMtlNum*/, BitArray& /*mapreq*/, BitArray& /*bumpreq*/) {}

  // Brings the object to time t and narrows valid to the interval over which it then holds.
  virtual void Update(TimeValue t, Interval& valid) = 0;
  virtual void Reset() = 0;
  virtual Interval Validity(TimeValue t) = 0;
  virtual ParamDlg* CreateParamDlg(HWND editorWindow, IMtlParams* params) = 0;

  // Viewport display.
  virtual BOOL SupportTexDisplay() { return FALSE; }
  virtual std::uintptr_t GetActiveTexHandle(TimeValue, TexHandleMaker&) { return 0; }
  virtual void ActivateTexDisplay(BOOL) {}

  // I_SUBMAP gives the sub-map part, IID_MTLBASE this object; anything else null.
  virtual void* GetInterface(std::uint32_t id);

 private:
  CStr name_;
};

class Texmap : public MtlBase {
 public:
  SClass_ID SuperClassID() override { return TEXMAP_CLASS_ID; }

  virtual AColor EvalColor(ShadeContext& sc) = 0;
  // By default the mean of the colour's channels.
  virtual float EvalMono(ShadeContext& sc) {
    const AColor c = EvalColor(sc);
    return (c.r + c.g + c.b) / 3.0f;
  }
  virtual Point3 EvalNormalPerturb(ShadeContext& sc) = 0;
  virtual BITMAPINFO* GetVPDisplayDIB(TimeValue, TexHandleMaker&, Interval&, BOOL, int, int) { return nullptr; }

  virtual void GetUVTransform(Matrix3& uvtrans) { uvtrans.IdentityMatrix(); }
  virtual int GetTextureTiling() { return 0; }
  virtual void InitSlotType(int) {}
  virtual int GetUVWSource() { return 0; }
  virtual int GetMapChannel() { return 1; }
  virtual UVGen* GetTheUVGen() { return nullptr; }
  virtual bool IsLocalOutputMeaningful(ShadeContext&) { return false; }

  void* GetInterface(std::uint32_t id) override;
};
