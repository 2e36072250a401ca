// A shading context for rendering a texture map in its own UV space, as a baker does: each
// shading point is a pixel of the map's image, seen straight from above. It answers its texture
// coordinates, their footprint and a tangent-space bump basis (dPdu along +X, dPdv along +Y);
// the surface normal is +Z, the view straight down, and everything else fixed and harmless.
//
// Threads: a context is one evaluation's state; give each rendering thread its own.
#pragma once

#include "host/shade_context.h"

class TextureShadeContext : public ShadeContext {
 public:
  Point3 uvw, duvw;  // the point's texture coordinates and their footprint (every channel)
  Point3 dPdu{1, 0, 0}, dPdv{0, 1, 0};
  TimeValue time = 0;

  TextureShadeContext() = default;
  TextureShadeContext(const TextureShadeContext&) = default;
  TextureShadeContext& operator=(const TextureShadeContext&) = default;

  Point3 UVW(int) override { return uvw; }
  Point3 DUVW(int) override { return duvw; }
  void DPdUVW(Point3 dP[3], int) override {
    dP[0] = dPdu;
    dP[1] = dPdv;
    dP[2] = Point3();
  }

  void* GetInterface(ULONG) override { return nullptr; }
  Class_ID ClassID() override { return Class_ID(0, 0); }
  BOOL InMtlEditor() override { return FALSE; }
  BOOL Antialias() override { return FALSE; }
  int ProjType() override { return 0; }
  LightDesc* Light(int) override { return nullptr; }
  TimeValue CurTime() override { return time; }
  int NodeID() override { return -1; }
  INode* Node() override { return nullptr; }
  Object* GetEvalObject() override { return nullptr; }
  Point3 BarycentricCoords() override { return {}; }
  int FaceNumber() override { return 0; }
  Point3 Normal() override { return {0, 0, 1}; }
  void SetNormal(Point3) override {}
  Point3 OrigNormal() override { return {0, 0, 1}; }
  Point3 GNormal() override { return {0, 0, 1}; }
  float Curve() override { return 0; }
  Point3 V() override { return {0, 0, -1}; }
  void SetView(Point3) override {}
  Point3 OrigView() override { return {0, 0, -1}; }
  Point3 ReflectVector() override { return {}; }
  Point3 RefractVector(float) override { return {}; }
  void SetIOR(float) override {}
  float GetIOR() override { return 1; }
  Point3 CamPos() override { return {}; }
  Point3 P() override { return {}; }
  void DP(Point3&, Point3&) override {}
  Point3 DP() override { return {}; }
  Point3 PObj() override { return {}; }
  Point3 DPObj() override { return {}; }
  Box3 ObjectBox() override { return {}; }
  Point3 PObjRelBox() override { return {}; }
  Point3 DPObjRelBox() override { return {}; }
  void ScreenUV(Point2&, Point2&) override {}
  IPoint2 ScreenCoord() override { return {}; }
  Point2 SurfacePtScreen() override { return {}; }
  int BumpBasisVectors(Point3 dP[2], int, int) override {
    dP[0] = dPdu;
    dP[1] = dPdv;
    return 1;
  }
  BOOL IsSuperSampleOn() override { return FALSE; }
  BOOL IsTextureSuperSampleOn() override { return FALSE; }
  int GetNSuperSample() override { return 0; }
  float GetSampleSizeScale() override { return 1; }
  Point3 UVWNormal(int) override { return {0, 0, 1}; }
  float RayDiam() override { return 0; }
  float RayConeAngle() override { return 0; }
  AColor EvalEnvironMap(Texmap*, Point3) override { return {}; }
  void GetBGColor(Color&, Color&, BOOL) override {}
  float CamNearRange() override { return 0; }
  float CamFarRange() override { return 0; }
  Point3 PointTo(const Point3& p, int) override { return p; }
  Point3 PointFrom(const Point3& p, int) override { return p; }
  Point3 VectorTo(const Point3& p, int) override { return p; }
  Point3 VectorFrom(const Point3& p, int) override { return p; }
  FILE* DebugFile() override { return nullptr; }
  AColor EvalGlobalEnvironMap(Point3) override { return {}; }
  BOOL GetCache(Texmap*, AColor&) override { return FALSE; }
  BOOL GetCache(Texmap*, float&) override { return FALSE; }
  BOOL GetCache(Texmap*, Point3&) override { return FALSE; }
  void PutCache(Texmap*, const AColor&) override {}
  void PutCache(Texmap*, float) override {}
  void PutCache(Texmap*, const Point3&) override {}
  void TossCache(Texmap*) override {}
  INT_PTR Execute(int, ULONG_PTR, ULONG_PTR, ULONG_PTR) override { return 0; }
};
