// The renderer's view of one shading point, as texture maps and materials read it: where the
// point is (in camera, world and object frames), how it is seen, what lights reach it, and the
// record (ShadeOutput) a material writes its result into.
//
// A renderer derives its own ShadeContext per shading point; a texture map may derive a private
// one to evaluate a sub-map at a point of its choosing. Every operation is a query of that one
// point, so a context must not be shared between threads that shade at the same time: give each
// evaluation its own context (or its own copy of one).
#pragma once

#include <cstdio>
#include <vector>

#include "host/class_id.h"
#include "host/color.h"
#include "host/geometry.h"
#include "host/interval.h"
#include "host/types.h"

class Texmap;
class INode;
class Object;
class RenderGlobalContext;
class IRenderElement;
class ShadeContext;

// Shading modes (ShadeContext::mode).
inline constexpr int SCMODE_NORMAL = 0;

// Coordinate frames for PointTo/PointFrom/VectorTo/VectorFrom. Every point and vector a
// ShadeContext returns without saying otherwise is in the camera frame.
inline constexpr int REF_CAMERA = 0;
inline constexpr int REF_WORLD = 1;
inline constexpr int REF_OBJECT = 2;

// A light as the renderer describes it to a shading point.
class LightDesc {
 public:
  virtual ~LightDesc() = default;

  // What this light contributes at sc's point for a surface with the given normal (camera
  // frame). Returns FALSE, the outputs then meaning nothing, when the light does not reach the
  // point. Otherwise sets color (the light's colour at the point, shadows applied), dir (unit
  // vector from the point toward the light, camera frame), dotNL (normal . dir) and diffuseCoef
  // (the factor by which a diffuse surface scales color; usually max(dotNL, 0)).
  virtual BOOL Illuminate(ShadeContext& sc, Point3 normal, Color& color, Point3& dir, float& dotNL,
                          float& diffuseCoef) = 0;
};

// Something a renderer attaches to a ShadeOutput beyond the fixed fields. It is released with
// DeleteThis, never delete, so the module that made it also frees it.
class IShadeOutputExtension {
 public:
  virtual void DeleteThis() = 0;

 protected:
  virtual ~IShadeOutputExtension() = default;
};

// What shading a point produces.
//
// The extension table owns its entries: destroying the output (or assigning over it) asks each
// non-null entry to DeleteThis. An extension cannot be cloned, so a copy gets an empty table
// and the source keeps its entries; a move takes them over and leaves the source's table empty.
// Nothing in this host ever adds an entry; the table exists for renderers that do.
class ShadeOutput {
 public:
  std::vector<IShadeOutputExtension*> extensions;
  ULONG flags = 0;
  int gbufId = 0;
  Color c;            // colour
  Color t;            // transparency, per channel: 0 opaque, 1 fully transparent
  float ior = 1.0f;   // index of refraction
  int nElements = 0;  // render elements the renderer asked for

  ShadeOutput() = default;
  ShadeOutput(const ShadeOutput& other);
  ShadeOutput(ShadeOutput&& other) noexcept;
  ShadeOutput& operator=(const ShadeOutput& other);
  ShadeOutput& operator=(ShadeOutput&& other) noexcept;
  ~ShadeOutput();

  // Clears the result for the next point: c and t (0,0,0), ior 1, gbufId 0, flags 0. nElements
  // changes only for nEle >= 0, so a caller without a count keeps the renderer's. The
  // extension table is left alone.
  void Reset(int nEle = -1);

 private:
  void ReleaseExtensions() noexcept;
  // Everything but the extension table, which copies and moves treat differently.
  void CopyValues(const ShadeOutput& other) noexcept;
};

class ShadeContext {
 public:
  // Fields a renderer sets per point; the defaults here describe a plain, lit-by-nothing point.
  int mode = SCMODE_NORMAL;
  BOOL doMaps = TRUE;      // FALSE: materials skip their maps
  BOOL filterMaps = TRUE;  // FALSE: maps skip filtering
  BOOL shadow = FALSE;     // shadows are being computed
  BOOL backFace = FALSE;   // the point is seen from behind
  int mtlNum = 0;          // sub-material index at the point
  int nLights = 0;         // lights Light(0) .. Light(nLights - 1)
  int rayLevel = 0;        // 0 for camera rays, one more per bounce
  int xshadeID = 0;
  Color ambientLight;
  LightDesc* atmosSkipLight = nullptr;         // not owned; may be null
  RenderGlobalContext* globContext = nullptr;  // not owned; null outside a render
  ShadeOutput out;

  virtual ~ShadeContext() = default;

  // Extra interfaces by ID; null for one the context does not have.
  virtual void* GetInterface(ULONG id) = 0;
  virtual Class_ID ClassID() = 0;
  virtual BOOL InMtlEditor() = 0;  // shading a sample slot rather than a scene
  virtual BOOL Antialias() = 0;
  virtual int ProjType() = 0;  // 0 central (pinhole) projection, 1 parallel
  // Light n of 0 .. nLights - 1; null outside that range. Not owned.
  virtual LightDesc* Light(int n) = 0;
  virtual TimeValue CurTime() = 0;
  virtual int NodeID() = 0;             // -1 when there is no node
  virtual INode* Node() = 0;            // may be null; not owned
  virtual Object* GetEvalObject() = 0;  // may be null; not owned
  virtual Point3 BarycentricCoords() = 0;
  virtual int FaceNumber() = 0;
  // Normals are unit vectors in the camera frame. Normal is the shading normal, which bump
  // mapping may have changed through SetNormal; OrigNormal is the one before any change;
  // GNormal the face's geometric normal.
  virtual Point3 Normal() = 0;
  virtual void SetNormal(Point3 p) = 0;
  virtual Point3 OrigNormal() = 0;
  virtual Point3 GNormal() = 0;
  virtual float Curve() = 0;
  // Unit view direction from the camera toward the point, camera frame; SetView replaces it
  // and OrigView gives it as it was before.
  virtual Point3 V() = 0;
  virtual void SetView(Point3 p) = 0;
  virtual Point3 OrigView() = 0;
  virtual Point3 ReflectVector() = 0;
  virtual Point3 RefractVector(float ior) = 0;
  virtual void SetIOR(float ior) = 0;
  virtual float GetIOR() = 0;
  virtual Point3 CamPos() = 0;
  // The point and its change across one pixel (dpdx, dpdy), camera frame; DP() a single
  // footprint vector.
  virtual Point3 P() = 0;
  virtual void DP(Point3& dpdx, Point3& dpdy) = 0;
  virtual Point3 DP() = 0;
  // The point and its footprint in the object's own frame; ObjectBox is the object's bounding
  // box there and PObjRelBox the point scaled so the box spans -1 .. 1 on each axis.
  virtual Point3 PObj() = 0;
  virtual Point3 DPObj() = 0;
  virtual Box3 ObjectBox() = 0;
  virtual Point3 PObjRelBox() = 0;
  virtual Point3 DPObjRelBox() = 0;
  // Screen position: uv in 0 .. 1 with its footprint duv; ScreenCoord in whole pixels.
  virtual void ScreenUV(Point2& uv, Point2& duv) = 0;
  virtual IPoint2 ScreenCoord() = 0;
  virtual Point2 SurfacePtScreen() = 0;
  // Texture coordinates of a map channel, their footprint, and their derivatives.
  virtual Point3 UVW(int channel = 0) = 0;
  virtual Point3 DUVW(int channel = 0) = 0;
  virtual void DPdUVW(Point3 dP[3], int channel = 0) = 0;
  // Fills dP with the bump basis for one axis and returns non-zero, or returns 0 when the
  // context has none (dP then untouched).
  virtual int BumpBasisVectors(Point3 dP[2], int axis, int channel = 0) = 0;
  virtual BOOL IsSuperSampleOn() = 0;
  virtual BOOL IsTextureSuperSampleOn() = 0;
  virtual int GetNSuperSample() = 0;
  virtual float GetSampleSizeScale() = 0;
  virtual Point3 UVWNormal(int channel = 0) = 0;
  virtual float RayDiam() = 0;
  virtual float RayConeAngle() = 0;
  virtual AColor EvalEnvironMap(Texmap* map, Point3 view) = 0;
  virtual void GetBGColor(Color& bgcol, Color& transp, BOOL fogBG = TRUE) = 0;
  virtual float CamNearRange() = 0;
  virtual float CamFarRange() = 0;
  // Between the camera frame and refFrame (REF_WORLD or REF_OBJECT): To goes from camera to
  // refFrame, From back again. Vectors take no translation.
  virtual Point3 PointTo(const Point3& p, int refFrame) = 0;
  virtual Point3 PointFrom(const Point3& p, int refFrame) = 0;
  virtual Point3 VectorTo(const Point3& p, int refFrame) = 0;
  virtual Point3 VectorFrom(const Point3& p, int refFrame) = 0;
  // VectorTo/VectorFrom with the frame's scale taken out: the transformed direction at p's own
  // length. A vector the transform sends to zero comes back as that zero vector.
  virtual Point3 VectorToNoScale(const Point3& p, int refFrame);
  virtual Point3 VectorFromNoScale(const Point3& p, int refFrame);
  virtual void SetGBufferID(int gbid) { out.gbufId = gbid; }
  // Where the renderer wants debugging text; null for nowhere. Not owned.
  virtual FILE* DebugFile() = 0;
  virtual AColor EvalGlobalEnvironMap(Point3 dir) = 0;
  // A per-point cache of map results, so a map evaluated twice at one point is computed once.
  // GetCache returns FALSE, leaving the value untouched, when nothing is cached for map.
  virtual BOOL GetCache(Texmap* map, AColor& c) = 0;
  virtual BOOL GetCache(Texmap* map, float& f) = 0;
  virtual BOOL GetCache(Texmap* map, Point3& p) = 0;
  virtual void PutCache(Texmap* map, const AColor& c) = 0;
  virtual void PutCache(Texmap* map, float f) = 0;
  virtual void PutCache(Texmap* map, const Point3& p) = 0;
  virtual void TossCache(Texmap* map) = 0;
  virtual INT_PTR Execute(int cmd, ULONG_PTR arg1 = 0, ULONG_PTR arg2 = 0, ULONG_PTR arg3 = 0) = 0;
  // This host's RenderGlobalContext carries no render elements, so whether or not globContext
  // is set there are none: 0, and null for every n.
  virtual int NRenderElements();
  virtual IRenderElement* GetRenderElement(int n);
  // Diffuse light at the point: the sum, over Light(0) .. Light(nLights - 1), of colour times
  // diffuse coefficient of each light that illuminates along Normal(). (0,0,0) without lights;
  // null lights are skipped.
  virtual Color DiffuseIllum();

 protected:
  // Copies only through a derived class, so a context is never sliced by assigning through a
  // base reference.
  ShadeContext() = default;
  ShadeContext(const ShadeContext&) = default;
  ShadeContext(ShadeContext&&) = default;
  ShadeContext& operator=(const ShadeContext&) = default;
  ShadeContext& operator=(ShadeContext&&) = default;
};
