// A ramp is a 1D texture, so this context carries the height in every place a ramp might look
// for a coordinate and answers everything else as a fixed material-editor point would.
#include "texmap/ramp_shade_context.h"

#include <climits>
#include <cmath>

RampShadeContext::RampShadeContext() {
  mode = SCMODE_NORMAL;
  doMaps = TRUE;
  filterMaps = TRUE;
  shadow = FALSE;
  backFace = FALSE;
  mtlNum = 0;
  nLights = 0;
  rayLevel = 0;
  xshadeID = 0;
  ambientLight = Color(0.0f, 0.0f, 0.0f);
  atmosSkipLight = nullptr;
  globContext = nullptr;
  // nElements is already a defined 0; the ramp has no render elements to ask for.
  out.Reset();
}

void RampShadeContext::SetHeight(float m) {
  uvw.x = m;
  pos.x = m;
  // The bounds are exact floats (-2^31 and 2^31), so every m between them truncates into range.
  constexpr float kIntMin = static_cast<float>(INT_MIN);
  constexpr float kIntLimit = -static_cast<float>(INT_MIN);
  if (std::isnan(m)) {
    screenCoord.x = 0;
  } else if (m <= kIntMin) {
    screenCoord.x = INT_MIN;
  } else if (m >= kIntLimit) {
    screenCoord.x = INT_MAX;
  } else {
    screenCoord.x = static_cast<int>(m);
  }
}

void RampShadeContext::ResetForUpdate(TimeValue t) {
  curTime = t;
  uvw.y = 0.0f;
  uvw.z = 0.0f;
  pos.y = 0.0f;
  pos.z = 0.0f;
  screenCoord.y = 0;
}

void* RampShadeContext::GetInterface(ULONG) { return nullptr; }
Class_ID RampShadeContext::ClassID() { return Class_ID(0, 0); }
BOOL RampShadeContext::InMtlEditor() { return TRUE; }
BOOL RampShadeContext::Antialias() { return FALSE; }
int RampShadeContext::ProjType() { return 1; }

// The table has two slots whatever nLights says; anything else would read past it.
LightDesc* RampShadeContext::Light(int n) { return n == 0 || n == 1 ? lightTable[n] : nullptr; }

TimeValue RampShadeContext::CurTime() { return curTime; }
int RampShadeContext::NodeID() { return -1; }
INode* RampShadeContext::Node() { return nullptr; }
Object* RampShadeContext::GetEvalObject() { return nullptr; }
Point3 RampShadeContext::BarycentricCoords() { return {0.0f, 0.0f, 0.0f}; }
int RampShadeContext::FaceNumber() { return 0; }
Point3 RampShadeContext::Normal() { return surfaceNormal; }
void RampShadeContext::SetNormal(Point3 p) { surfaceNormal = p; }
Point3 RampShadeContext::OrigNormal() { return this->Normal(); }
Point3 RampShadeContext::GNormal() { return surfaceNormal; }
float RampShadeContext::Curve() { return 0.0f; }
Point3 RampShadeContext::V() { return viewDir; }
void RampShadeContext::SetView(Point3 p) { viewDir = p; }
Point3 RampShadeContext::OrigView() { return this->V(); }
Point3 RampShadeContext::ReflectVector() { return {0.0f, 0.0f, 1.0f}; }
Point3 RampShadeContext::RefractVector(float) { return {0.0f, 0.0f, 1.0f}; }
void RampShadeContext::SetIOR(float) {}
float RampShadeContext::GetIOR() { return 1.0f; }
Point3 RampShadeContext::CamPos() { return {0.0f, 0.0f, 0.0f}; }
Point3 RampShadeContext::P() { return pos; }
void RampShadeContext::DP(Point3&, Point3&) {}
Point3 RampShadeContext::DP() { return dPos; }
Point3 RampShadeContext::PObj() { return pos; }
Point3 RampShadeContext::DPObj() { return dPos; }
Box3 RampShadeContext::ObjectBox() { return Box3(Point3(0.0f, 0.0f, 0.0f), Point3(boxSize, boxSize, boxSize)); }

Point3 RampShadeContext::PObjRelBox() {
  const Point3 p = this->PObj();
  const Box3 box = this->ObjectBox();
  Point3 relative;
  for (int i = 0; i < 3; ++i) relative[i] = 2.0f * (p[i] - box.pmin[i]) / (box.pmax[i] - box.pmin[i]) - 1.0f;
  return relative;
}

Point3 RampShadeContext::DPObjRelBox() { return {0.0f, 0.0f, 0.0f}; }

void RampShadeContext::ScreenUV(Point2& uv, Point2& duv) {
  uv = Point2(uvw.x, uvw.y);
  duv = Point2(duvw.x, duvw.y);
}

IPoint2 RampShadeContext::ScreenCoord() { return screenCoord; }
Point2 RampShadeContext::SurfacePtScreen() { return {0.0f, 0.0f}; }
Point3 RampShadeContext::UVW(int) { return uvw; }
Point3 RampShadeContext::DUVW(int) { return duvw; }

void RampShadeContext::DPdUVW(Point3 dP[3], int) {
  for (int i = 0; i < 3; ++i) dP[i] = Point3(0.0f, 0.0f, 0.0f);
}

int RampShadeContext::BumpBasisVectors(Point3[2], int, int) { return 0; }
BOOL RampShadeContext::IsSuperSampleOn() { return FALSE; }
BOOL RampShadeContext::IsTextureSuperSampleOn() { return FALSE; }
int RampShadeContext::GetNSuperSample() { return 0; }
float RampShadeContext::GetSampleSizeScale() { return 1.0f; }
Point3 RampShadeContext::UVWNormal(int) { return {0.0f, 0.0f, 1.0f}; }
float RampShadeContext::RayDiam() { return Length(this->DP()); }
float RampShadeContext::RayConeAngle() { return 0.0f; }
AColor RampShadeContext::EvalEnvironMap(Texmap*, Point3) { return {0.0f, 0.0f, 0.0f, 1.0f}; }
void RampShadeContext::GetBGColor(Color&, Color&, BOOL) {}
float RampShadeContext::CamNearRange() { return 0.0f; }
float RampShadeContext::CamFarRange() { return 0.0f; }
Point3 RampShadeContext::PointTo(const Point3& p, int) { return p; }
Point3 RampShadeContext::PointFrom(const Point3& p, int) { return p; }
Point3 RampShadeContext::VectorTo(const Point3& p, int) { return p; }
Point3 RampShadeContext::VectorFrom(const Point3& p, int) { return p; }
FILE* RampShadeContext::DebugFile() { return nullptr; }
AColor RampShadeContext::EvalGlobalEnvironMap(Point3) { return {0.0f, 0.0f, 0.0f, 0.0f}; }
BOOL RampShadeContext::GetCache(Texmap*, AColor&) { return FALSE; }
BOOL RampShadeContext::GetCache(Texmap*, float&) { return FALSE; }
BOOL RampShadeContext::GetCache(Texmap*, Point3&) { return FALSE; }
void RampShadeContext::PutCache(Texmap*, const AColor&) {}
void RampShadeContext::PutCache(Texmap*, float) {}
void RampShadeContext::PutCache(Texmap*, const Point3&) {}
void RampShadeContext::TossCache(Texmap*) {}
INT_PTR RampShadeContext::Execute(int, ULONG_PTR, ULONG_PTR, ULONG_PTR) { return 0; }
int RampShadeContext::NRenderElements() { return 0; }
IRenderElement* RampShadeContext::GetRenderElement(int) { return nullptr; }
