#include "texmap/ramp_shade_context.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <ostream>
#include <utility>

void PrintTo(const Point3& p, std::ostream* os) { *os << "(" << p.x << ", " << p.y << ", " << p.z << ")"; }
void PrintTo(const Color& c, std::ostream* os) { *os << "(" << c.r << ", " << c.g << ", " << c.b << ")"; }

namespace {

// Counts how often the table asked it to go, so a double free or a leak shows as a wrong count.
class CountedExtension : public IShadeOutputExtension {
 public:
  explicit CountedExtension(int& deletions) : deletions_(deletions) {}
  void DeleteThis() override {
    ++deletions_;
    delete this;
  }

 private:
  int& deletions_;
};

// A light from a fixed direction with a fixed colour; remembers the normal it was asked about.
class DirectionalLight : public LightDesc {
 public:
  DirectionalLight(Color color, Point3 towardLight, BOOL reaches = TRUE)
      : color_(color), towardLight_(towardLight), reaches_(reaches) {}
  BOOL Illuminate(ShadeContext&, Point3 normal, Color& color, Point3& dir, float& dotNL, float& diffuseCoef) override {
    askedNormal = normal;
    color = color_;
    dir = towardLight_;
    dotNL = normal % towardLight_;
    diffuseCoef = std::max(dotNL, 0.0f);
    return reaches_;
  }
  Point3 askedNormal{-9.0f, -9.0f, -9.0f};

 private:
  Color color_;
  Point3 towardLight_;
  BOOL reaches_;
};

// A context whose normal and view come from elsewhere, as a subclass for bump mapping would.
class TiltedContext : public RampShadeContext {
 public:
  Point3 Normal() override { return {0.6f, 0.0f, 0.8f}; }
  Point3 V() override { return {0.0f, 0.6f, -0.8f}; }
};

// A context whose frames differ from the camera's by a rotation about Z and a scale of 3.
class ScaledFrameContext : public RampShadeContext {
 public:
  Point3 VectorTo(const Point3& p, int) override { return Point3(-p.y, p.x, p.z) * 3.0f; }
  Point3 VectorFrom(const Point3& p, int) override { return Point3(p.y, -p.x, p.z) / 3.0f; }
};

TEST(RampShadeContext, ConstructionSetsEveryField) {
  RampShadeContext sc;
  EXPECT_EQ(sc.mode, SCMODE_NORMAL);
  EXPECT_EQ(sc.doMaps, TRUE);
  EXPECT_EQ(sc.filterMaps, TRUE);
  EXPECT_EQ(sc.shadow, FALSE);
  EXPECT_EQ(sc.backFace, FALSE);
  EXPECT_EQ(sc.mtlNum, 0);
  EXPECT_EQ(sc.nLights, 0);
  EXPECT_EQ(sc.rayLevel, 0);
  EXPECT_EQ(sc.xshadeID, 0);
  EXPECT_EQ(sc.ambientLight, Color(0, 0, 0));
  EXPECT_EQ(sc.atmosSkipLight, nullptr);
  EXPECT_EQ(sc.globContext, nullptr);
  EXPECT_TRUE(sc.out.extensions.empty());
  EXPECT_EQ(sc.out.flags, 0u);
  EXPECT_EQ(sc.out.gbufId, 0);
  EXPECT_EQ(sc.out.c, Color(0, 0, 0));
  EXPECT_EQ(sc.out.t, Color(0, 0, 0));
  EXPECT_EQ(sc.out.ior, 1.0f);
  EXPECT_EQ(sc.out.nElements, 0);
  EXPECT_EQ(sc.boxSize, 1.0f);
  EXPECT_EQ(sc.lightTable[0], nullptr);
  EXPECT_EQ(sc.lightTable[1], nullptr);
  EXPECT_EQ(sc.uvw, Point3(0, 0, 0));
  EXPECT_EQ(sc.duvw, Point3(0, 0, 0));
  EXPECT_EQ(sc.surfaceNormal, Point3(0, 0, 1));
  EXPECT_EQ(sc.viewDir, Point3(0, 0, -1));
  EXPECT_EQ(sc.pos, Point3(0, 0, 0));
  EXPECT_EQ(sc.dPos, Point3(0, 0, 0));
  EXPECT_EQ(sc.screenCoord, IPoint2(0, 0));
  EXPECT_EQ(sc.curTime, 0);
}

TEST(RampShadeContext, HeightReachesEveryCoordinateTheRampMayRead) {
  for (float boxSize : {1.0f, 2.0f}) {
    for (int i = 1; i <= 19; ++i) {
      const float m = 0.05f * static_cast<float>(i);
      RampShadeContext sc;
      sc.boxSize = boxSize;
      // Leftovers from an earlier point that the reset must clear.
      sc.uvw = {0.7f, 0.3f, 0.2f};
      sc.pos = {0.7f, 0.4f, 0.1f};
      sc.screenCoord = {5, 6};
      sc.duvw = {0.01f, 0.02f, 0.03f};
      sc.SetHeight(m);
      sc.ResetForUpdate(320);
      SCOPED_TRACE(testing::Message() << "m = " << m << ", boxSize = " << boxSize);
      for (int channel : {0, 1, 2, 99}) EXPECT_EQ(sc.UVW(channel), Point3(m, 0, 0));
      EXPECT_EQ(sc.P(), Point3(m, 0, 0));
      EXPECT_EQ(sc.PObj(), Point3(m, 0, 0));
      const Point3 rel = sc.PObjRelBox();
      EXPECT_FLOAT_EQ(rel.x, 2.0f * m / boxSize - 1.0f);
      EXPECT_FLOAT_EQ(rel.y, -1.0f);
      EXPECT_FLOAT_EQ(rel.z, -1.0f);
      Point2 uv(-5, -5), duv(-5, -5);
      sc.ScreenUV(uv, duv);
      EXPECT_EQ(uv, Point2(m, 0));
      EXPECT_EQ(duv, Point2(0.01f, 0.02f));
      EXPECT_EQ(sc.ScreenCoord(), IPoint2(0, 0));
      EXPECT_EQ(sc.CurTime(), 320);
    }
  }
}

TEST(RampShadeContext, ScreenColumnTruncatesTowardZeroAndNeverOverflows) {
  RampShadeContext sc;
  const std::pair<float, int> cases[] = {{2.7f, 2},
                                         {-1.5f, -1},
                                         {-0.5f, 0},
                                         {std::numeric_limits<float>::quiet_NaN(), 0},
                                         {1e20f, INT_MAX},
                                         {-1e20f, INT_MIN},
                                         {std::numeric_limits<float>::infinity(), INT_MAX}};
  for (const auto& [m, column] : cases) {
    sc.SetHeight(m);
    EXPECT_EQ(sc.screenCoord.x, column) << "m = " << m;
  }
}

TEST(RampShadeContext, LooksLikeAParallelMaterialEditorView) {
  RampShadeContext sc;
  EXPECT_EQ(sc.InMtlEditor(), TRUE);
  EXPECT_EQ(sc.ProjType(), 1);
  EXPECT_EQ(sc.ClassID(), Class_ID(0, 0));
  EXPECT_EQ(sc.NodeID(), -1);
  EXPECT_EQ(sc.GetIOR(), 1.0f);
  EXPECT_EQ(sc.GetSampleSizeScale(), 1.0f);
  EXPECT_EQ(sc.UVWNormal(), Point3(0, 0, 1));
  EXPECT_EQ(sc.EvalEnvironMap(nullptr, {0, 0, 1}), AColor(0, 0, 0, 1));
  EXPECT_EQ(sc.EvalGlobalEnvironMap({0, 0, 1}), AColor(0, 0, 0, 0));
  EXPECT_EQ(sc.ObjectBox().Min(), Point3(0, 0, 0));
  sc.boxSize = 4.0f;
  EXPECT_EQ(sc.ObjectBox().Max(), Point3(4, 4, 4));
}

TEST(RampShadeContext, NormalsFollowSetNormalAndOverrides) {
  RampShadeContext sc;
  EXPECT_EQ(sc.Normal(), Point3(0, 0, 1));
  EXPECT_EQ(sc.GNormal(), Point3(0, 0, 1));
  EXPECT_EQ(sc.OrigNormal(), Point3(0, 0, 1));
  sc.SetNormal({0, 1, 0});
  EXPECT_EQ(sc.Normal(), Point3(0, 1, 0));
  EXPECT_EQ(sc.OrigNormal(), Point3(0, 1, 0));
  sc.SetView({1, 0, 0});
  EXPECT_EQ(sc.V(), Point3(1, 0, 0));
  EXPECT_EQ(sc.OrigView(), Point3(1, 0, 0));

  TiltedContext tilted;
  ShadeContext& base = tilted;
  EXPECT_EQ(base.OrigNormal(), Point3(0.6f, 0.0f, 0.8f));
  EXPECT_EQ(base.OrigView(), Point3(0.0f, 0.6f, -0.8f));
}

TEST(RampShadeContext, OutputParametersTheContextCannotFillStayAsPassed) {
  RampShadeContext sc;
  sc.dPos = {3, 4, 0};
  Color bg(0.1f, 0.2f, 0.3f), transp(0.4f, 0.5f, 0.6f);
  sc.GetBGColor(bg, transp);
  EXPECT_EQ(bg, Color(0.1f, 0.2f, 0.3f));
  EXPECT_EQ(transp, Color(0.4f, 0.5f, 0.6f));
  Point3 dpdx(1, 2, 3), dpdy(4, 5, 6);
  sc.DP(dpdx, dpdy);
  EXPECT_EQ(dpdx, Point3(1, 2, 3));
  EXPECT_EQ(dpdy, Point3(4, 5, 6));
  Point3 basis[2] = {{7, 8, 9}, {10, 11, 12}};
  EXPECT_EQ(sc.BumpBasisVectors(basis, 0), 0);
  EXPECT_EQ(basis[0], Point3(7, 8, 9));
  EXPECT_EQ(basis[1], Point3(10, 11, 12));
  AColor cachedColor(1, 2, 3, 4);
  float cachedMono = 5.0f;
  Point3 cachedPoint(6, 7, 8);
  EXPECT_EQ(sc.GetCache(nullptr, cachedColor), FALSE);
  EXPECT_EQ(sc.GetCache(nullptr, cachedMono), FALSE);
  EXPECT_EQ(sc.GetCache(nullptr, cachedPoint), FALSE);
  EXPECT_EQ(cachedColor, AColor(1, 2, 3, 4));
  EXPECT_EQ(cachedMono, 5.0f);
  EXPECT_EQ(cachedPoint, Point3(6, 7, 8));
  Point3 dP[3] = {{1, 1, 1}, {2, 2, 2}, {3, 3, 3}};
  sc.DPdUVW(dP);
  for (const Point3& d : dP) EXPECT_EQ(d, Point3(0, 0, 0));
  EXPECT_EQ(sc.DP(), Point3(3, 4, 0));
  EXPECT_FLOAT_EQ(sc.RayDiam(), 5.0f);
}

TEST(RampShadeContext, LightsComeOnlyFromTheTwoSlots) {
  RampShadeContext sc;
  DirectionalLight first({1, 1, 1}, {0, 0, 1}), second({1, 1, 1}, {0, 0, 1});
  sc.lightTable[0] = &first;
  sc.lightTable[1] = &second;
  EXPECT_EQ(sc.Light(0), &first);
  EXPECT_EQ(sc.Light(1), &second);
  EXPECT_EQ(sc.Light(2), nullptr);
  EXPECT_EQ(sc.Light(-1), nullptr);
  EXPECT_EQ(sc.Light(INT_MAX), nullptr);
}

TEST(ShadeContextDefaults, NoScaleVectorsKeepLengthAndDirection) {
  RampShadeContext identity;
  ScaledFrameContext scaled;
  const Point3 vectors[] = {{0, 0, 0}, {3, 4, 0}, {0.25f, -2, 7}};
  for (const Point3& v : vectors) {
    for (int frame : {REF_WORLD, REF_OBJECT}) {
      EXPECT_EQ(identity.VectorToNoScale(v, frame), v);
      EXPECT_EQ(identity.VectorFromNoScale(v, frame), v);
      const Point3 to = scaled.VectorToNoScale(v, frame);
      const Point3 from = scaled.VectorFromNoScale(v, frame);
      EXPECT_NEAR(Length(to), Length(v), 1e-5f);
      EXPECT_NEAR(Length(from), Length(v), 1e-5f);
      const Point3 rotatedTo(-v.y, v.x, v.z), rotatedFrom(v.y, -v.x, v.z);
      for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(to[i], rotatedTo[i], 1e-5f);
        EXPECT_NEAR(from[i], rotatedFrom[i], 1e-5f);
      }
    }
  }
}

TEST(ShadeContextDefaults, DiffuseIllumSumsLightsThatReachAlongTheNormal) {
  RampShadeContext sc;
  EXPECT_EQ(sc.DiffuseIllum(), Color(0, 0, 0));

  DirectionalLight overhead({1.0f, 0.5f, 0.25f}, {0, 0, 1});
  sc.lightTable[0] = &overhead;
  EXPECT_EQ(sc.DiffuseIllum(), Color(0, 0, 0)) << "nLights 0 reads no light";
  sc.nLights = 1;
  EXPECT_EQ(sc.DiffuseIllum(), Color(1.0f, 0.5f, 0.25f));
  EXPECT_EQ(overhead.askedNormal, Point3(0, 0, 1));

  DirectionalLight blocked({5, 5, 5}, {0, 0, 1}, FALSE);
  sc.lightTable[1] = &blocked;
  sc.nLights = 2;
  EXPECT_EQ(sc.DiffuseIllum(), Color(1.0f, 0.5f, 0.25f));

  sc.SetNormal({0.6f, 0.0f, 0.8f});
  const Color tilted = sc.DiffuseIllum();
  EXPECT_EQ(overhead.askedNormal, Point3(0.6f, 0.0f, 0.8f));
  EXPECT_FLOAT_EQ(tilted.r, 0.8f);
  EXPECT_FLOAT_EQ(tilted.g, 0.4f);
  EXPECT_FLOAT_EQ(tilted.b, 0.2f);

  DirectionalLight side({0, 1, 0}, {1, 0, 0});
  sc.lightTable[1] = &side;
  const Color both = sc.DiffuseIllum();
  EXPECT_FLOAT_EQ(both.r, 0.8f);
  EXPECT_FLOAT_EQ(both.g, 0.4f + 0.6f);
  EXPECT_FLOAT_EQ(both.b, 0.2f);

  sc.nLights = 5;  // beyond the table: the missing lights add nothing
  EXPECT_FLOAT_EQ(sc.DiffuseIllum().g, 1.0f);

  // A light behind the surface reaches it with a negative dotNL but a zero diffuse coefficient;
  // weighting by dotNL instead would darken the sum.
  DirectionalLight below({0, 1, 0}, {0, 0, -1});
  sc.lightTable[1] = &below;
  EXPECT_FLOAT_EQ(sc.DiffuseIllum().g, 0.4f);
}

TEST(ShadeContextDefaults, GBufferIDAndRenderElements) {
  RampShadeContext sc;
  sc.SetGBufferID(7);
  EXPECT_EQ(sc.out.gbufId, 7);
  EXPECT_EQ(sc.NRenderElements(), 0);
  EXPECT_EQ(sc.GetRenderElement(0), nullptr);
}

TEST(RampShadeContext, CopyIsIndependentOfItsSource) {
  DirectionalLight light({1, 1, 1}, {0, 0, 1});
  RampShadeContext source;
  source.boxSize = 2.0f;
  source.SetHeight(0.5f);
  source.lightTable[0] = &light;
  source.out.c = Color(0.1f, 0.2f, 0.3f);

  RampShadeContext copy = source;
  EXPECT_EQ(copy.boxSize, 2.0f);
  EXPECT_EQ(copy.UVW(), Point3(0.5f, 0, 0));
  EXPECT_EQ(copy.Light(0), &light);
  EXPECT_EQ(copy.out.c, Color(0.1f, 0.2f, 0.3f));

  copy.SetHeight(0.9f);
  copy.ResetForUpdate(160);
  copy.SetNormal({1, 0, 0});
  copy.lightTable[0] = nullptr;
  copy.out.c = Color(1, 1, 1);
  EXPECT_EQ(source.UVW(), Point3(0.5f, 0, 0));
  EXPECT_EQ(source.CurTime(), 0);
  EXPECT_EQ(source.Normal(), Point3(0, 0, 1));
  EXPECT_EQ(source.Light(0), &light);
  EXPECT_EQ(source.out.c, Color(0.1f, 0.2f, 0.3f));

  copy = source;
  EXPECT_EQ(copy.UVW(), Point3(0.5f, 0, 0));
  EXPECT_EQ(copy.Normal(), Point3(0, 0, 1));
}

TEST(ShadeContextOutput, ResetKeepsTheElementCountUnlessGivenOne) {
  ShadeOutput out;
  out.flags = 3;
  out.gbufId = 4;
  out.c = Color(1, 2, 3);
  out.t = Color(4, 5, 6);
  out.ior = 1.5f;
  out.nElements = 6;
  out.Reset();
  EXPECT_EQ(out.flags, 0u);
  EXPECT_EQ(out.gbufId, 0);
  EXPECT_EQ(out.c, Color(0, 0, 0));
  EXPECT_EQ(out.t, Color(0, 0, 0));
  EXPECT_EQ(out.ior, 1.0f);
  EXPECT_EQ(out.nElements, 6);
  out.Reset(0);
  EXPECT_EQ(out.nElements, 0);
  out.Reset(2);
  EXPECT_EQ(out.nElements, 2);
}

TEST(ShadeContextOutput, EachExtensionIsDeletedExactlyOnce) {
  int deletions = 0;
  {
    RampShadeContext source;
    source.out.extensions = {new CountedExtension(deletions), nullptr, new CountedExtension(deletions)};
    source.out.gbufId = 9;
    {
      RampShadeContext copy = source;
      EXPECT_TRUE(copy.out.extensions.empty());
      EXPECT_EQ(copy.out.gbufId, 9);
    }
    EXPECT_EQ(deletions, 0) << "a copy deleted extensions it does not own";
    EXPECT_EQ(source.out.extensions.size(), 3u);

    ShadeOutput target;
    target.extensions = {new CountedExtension(deletions)};
    target = source.out;
    EXPECT_EQ(deletions, 1) << "assigning over a table must release what it held";
    EXPECT_TRUE(target.extensions.empty());

    ShadeOutput moved = std::move(source.out);
    EXPECT_EQ(moved.extensions.size(), 3u);
    EXPECT_TRUE(source.out.extensions.empty());
    EXPECT_EQ(deletions, 1);
  }
  EXPECT_EQ(deletions, 3);
}

}  // namespace
