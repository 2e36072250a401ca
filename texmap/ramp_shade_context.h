// RampShadeContext: the shading context through which the map hands a height to its colour-ramp
// sub-map. The ramp reads the height as its first texture coordinate (and as the point's X, and
// as the screen column) and sees a fixed, unlit, front-facing point in the material editor, so
// the colour it returns depends on the height and the time alone.
//
// Threads: a context is one evaluation's scratch state. Copy the map's context for each
// evaluation and set the copy's height; copies share nothing (see ShadeOutput for its table).
#pragma once

#include "host/geometry.h"
#include "host/interval.h"
#include "host/shade_context.h"

class RampShadeContext : public ShadeContext {
 public:
  // Materials-editor defaults: mode SCMODE_NORMAL, maps on and filtered, no shadow, front face,
  // sub-material 0, no lights, camera ray, no skip light, no render, and out reset with
  // nElements 0, flags 0, gbufId 0, c = t = (0,0,0), ior 1 and an empty table. Inherited
  // fields the ramp never reads are still defined: ambientLight (0,0,0), xshadeID 0.
  RampShadeContext();

  // Object-space edge of the cube ObjectBox spans from the origin; PObjRelBox divides by it,
  // so 0 gives non-finite coordinates.
  float boxSize = 1.0f;
  LightDesc* lightTable[2] = {nullptr, nullptr};  // not owned; Light(0), Light(1)
  Point3 uvw;                                     // height in x; what UVW answers on every channel
  Point3 duvw;
  Point3 surfaceNormal{0.0f, 0.0f, 1.0f};  // camera frame
  Point3 viewDir{0.0f, 0.0f, -1.0f};       // camera frame
  Point3 pos;                              // height in x; both P and PObj
  Point3 dPos;
  IPoint2 screenCoord;  // height, truncated, in x
  TimeValue curTime = 0;

  // Puts height m where the ramp may read it: uvw.x, pos.x and screenCoord.x. The column is m
  // truncated toward zero; a NaN gives 0 and a height beyond int's range the nearest int, where
  // a plain conversion would be undefined.
  void SetHeight(float m);
  // Prepares for evaluations at time t: the coordinates other than the height (uvw.y, uvw.z,
  // pos.y, pos.z, screenCoord.y) go to 0 so only the height varies between evaluations.
  void ResetForUpdate(TimeValue t);

  void* GetInterface(ULONG id) override;
  Class_ID ClassID() override;
  BOOL InMtlEditor() override;
  BOOL Antialias() override;
  int ProjType() override;
  // lightTable[n] for n 0 or 1; null for any other n.
  LightDesc* Light(int n) override;
  TimeValue CurTime() override;
  int NodeID() override;
  INode* Node() override;
  Object* GetEvalObject() override;
  Point3 BarycentricCoords() override;
  int FaceNumber() override;
  Point3 Normal() override;
  void SetNormal(Point3 p) override;
  // Whatever Normal() answers, a subclass's included: the ramp has no bump step to undo.
  Point3 OrigNormal() override;
  Point3 GNormal() override;
  float Curve() override;
  Point3 V() override;
  void SetView(Point3 p) override;
  // Whatever V() answers, a subclass's included.
  Point3 OrigView() override;
  Point3 ReflectVector() override;
  Point3 RefractVector(float ior) override;
  void SetIOR(float ior) override;
  float GetIOR() override;
  Point3 CamPos() override;
  Point3 P() override;
  // Leaves dpdx and dpdy as they were: the ramp has no pixel footprint to report.
  void DP(Point3& dpdx, Point3& dpdy) override;
  Point3 DP() override;
  Point3 PObj() override;
  Point3 DPObj() override;
  // The cube from (0,0,0) to (boxSize, boxSize, boxSize).
  Box3 ObjectBox() override;
  // PObj() scaled so ObjectBox() spans -1 .. 1: 2 (p - min) / (max - min) - 1 per axis.
  Point3 PObjRelBox() override;
  Point3 DPObjRelBox() override;
  // uv = (uvw.x, uvw.y), duv = (duvw.x, duvw.y).
  void ScreenUV(Point2& uv, Point2& duv) override;
  IPoint2 ScreenCoord() override;
  Point2 SurfacePtScreen() override;
  Point3 UVW(int channel = 0) override;
  Point3 DUVW(int channel = 0) override;
  // All three derivatives (0,0,0).
  void DPdUVW(Point3 dP[3], int channel = 0) override;
  // 0: no bump basis; dP untouched.
  int BumpBasisVectors(Point3 dP[2], int axis, int channel = 0) override;
  BOOL IsSuperSampleOn() override;
  BOOL IsTextureSuperSampleOn() override;
  int GetNSuperSample() override;
  float GetSampleSizeScale() override;
  Point3 UVWNormal(int channel = 0) override;
  // Length of DP(), a subclass's included.
  float RayDiam() override;
  float RayConeAngle() override;
  AColor EvalEnvironMap(Texmap* map, Point3 view) override;
  // Leaves both colours as they were: there is no background behind a ramp.
  void GetBGColor(Color& bgcol, Color& transp, BOOL fogBG = TRUE) override;
  float CamNearRange() override;
  float CamFarRange() override;
  // All frames coincide here, so points and vectors come back unchanged.
  Point3 PointTo(const Point3& p, int refFrame) override;
  Point3 PointFrom(const Point3& p, int refFrame) override;
  Point3 VectorTo(const Point3& p, int refFrame) override;
  Point3 VectorFrom(const Point3& p, int refFrame) override;
  FILE* DebugFile() override;
  AColor EvalGlobalEnvironMap(Point3 dir) override;
  // Nothing is ever cached: GetCache answers FALSE and leaves the value untouched.
  BOOL GetCache(Texmap* map, AColor& c) override;
  BOOL GetCache(Texmap* map, float& f) override;
  BOOL GetCache(Texmap* map, Point3& p) override;
  void PutCache(Texmap* map, const AColor& c) override;
  void PutCache(Texmap* map, float f) override;
  void PutCache(Texmap* map, const Point3& p) override;
  void TossCache(Texmap* map) override;
  INT_PTR Execute(int cmd, ULONG_PTR arg1 = 0, ULONG_PTR arg2 = 0, ULONG_PTR arg3 = 0) override;
  int NRenderElements() override;
  IRenderElement* GetRenderElement(int n) override;
};
