#include "host/uvgen.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "host/mtl_params.h"
#include "host/shade_context.h"
#include "tests/support/uv_shade_context.h"

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

// Records every call; its map is the linear ramp a u + b v (colour and mono alike).
class Recorder final : public MapSampler {
 public:
  enum Kind { kSample, kFilter, kMono, kMonoFilter };
  struct Call {
    Kind kind;
    float u, v, du, dv;
    int tileU, tileV;
  };
  float a = 0.0f, b = 0.0f;
  std::vector<Call> calls;

  AColor Sample(ShadeContext&, float u, float v) override { return Record(kSample, u, v, 0, 0); }
  AColor SampleFilter(ShadeContext&, float u, float v, float du, float dv) override {
    return Record(kFilter, u, v, du, dv);
  }
  float SampleMono(ShadeContext&, float u, float v) override { return Record(kMono, u, v, 0, 0).r; }
  float SampleMonoFilter(ShadeContext&, float u, float v, float du, float dv) override {
    return Record(kMonoFilter, u, v, du, dv).r;
  }
  void SetTileNumbers(int iu, int iv) override {
    tileU_ = iu;
    tileV_ = iv;
  }
  const Call& Last() const { return calls.back(); }

 private:
  AColor Record(Kind kind, float u, float v, float du, float dv) {
    calls.push_back({kind, u, v, du, dv, tileU_, tileV_});
    const float m = a * u + b * v;
    return {m, m, m, 1.0f};
  }
  int tileU_ = 99, tileV_ = 99;
};

// Owns a generator through reference 0 and records what it hears.
class Owner final : public ReferenceMaker {
 public:
  explicit Owner(UVGen* gen) { ReplaceReference(0, gen); }
  int NumRefs() override { return 1; }
  RefTargetHandle GetReference(int) override { return ref_; }
  RefResult NotifyRefChanged(const Interval&, RefTargetHandle target, PartID& part, RefMessage msg) override {
    EXPECT_EQ(target, ref_);
    EXPECT_EQ(part, PART_ALL);
    heard.push_back(msg);
    return REF_SUCCEED;
  }
  std::vector<RefMessage> heard;

 protected:
  void SetReference(int, RefTargetHandle target) override { ref_ = target; }

 private:
  RefTargetHandle ref_ = nullptr;
};

Point2 MappedUV(UVGen& gen, UVContext& sc, Point3 source) {
  sc.uvw = source;
  Point2 uv, duv;
  gen.GetUV(sc, uv, duv);
  return uv;
}

// The parameter chunk as its documented layout has it, built here independently of Save.
std::vector<unsigned char> ParamBytes(const std::vector<float>& floats, std::uint32_t flags, int channel, int slot) {
  std::vector<std::uint32_t> words;
  for (float f : floats) words.push_back(std::bit_cast<std::uint32_t>(f));
  words.insert(words.end(), {flags, static_cast<std::uint32_t>(channel), static_cast<std::uint32_t>(slot)});
  std::vector<unsigned char> bytes;
  for (std::uint32_t w : words) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(w >> (8 * i)));
  }
  return bytes;
}

// One record: a name, then a parameter chunk with the given body, then an unknown chunk.
std::vector<unsigned char> Record(const char* name, const std::vector<unsigned char>& params) {
  MemorySave save;
  save.BeginChunk(0x4000);
  save.BeginChunk(UVGEN_BASE_CHUNK);
  save.BeginChunk(MTLBASE_NAME_CHUNK);
  save.Write(name, static_cast<unsigned long>(std::char_traits<char>::length(name)), nullptr);
  save.EndChunk();
  save.EndChunk();
  save.BeginChunk(UVGEN_PARAMS_CHUNK);
  save.Write(params.data(), static_cast<unsigned long>(params.size()), nullptr);
  save.EndChunk();
  save.BeginChunk(0x5F00);
  save.Write("later", 5, nullptr);
  save.EndChunk();
  save.EndChunk();
  EXPECT_FALSE(save.Failed());
  return save.Bytes();
}

IOResult LoadRecord(StdUVGen& gen, const std::vector<unsigned char>& bytes) {
  MemoryLoad load(bytes.data(), bytes.size());
  EXPECT_EQ(load.OpenChunk(), IO_OK);
  return gen.Load(&load);
}

TEST(UVGen, DefaultsIdentityAndRequirements) {
  UVGen* gen = GetNewDefaultUVGen();
  EXPECT_EQ(gen->ClassID(), STDUVGEN_CLASS_ID);
  EXPECT_EQ(gen->SuperClassID(), UVGEN_CLASS_ID);
  EXPECT_EQ(gen->GetTextureTiling(), U_WRAP | V_WRAP);
  EXPECT_EQ(gen->GetMapChannel(), 1);
  EXPECT_EQ(gen->GetUVWSource(), UVWSRC_EXPLICIT);
  EXPECT_EQ(gen->GetSlotType(), ISubMap::MAPSLOT_TEXTURE);
  EXPECT_EQ(gen->Requirements(0), MTLREQ_UV);
  Interval valid(10, 20);
  gen->Update(15, valid);
  EXPECT_EQ(valid, Interval(10, 20));
  EXPECT_EQ(gen->Validity(0), FOREVER);

  // The default transform leaves coordinates alone.
  UVContext sc;
  sc.duvw = {0.01f, 0.02f, 0};
  Point2 uv, duv;
  sc.uvw = {0.3f, -1.7f, 0.5f};
  gen->GetUV(sc, uv, duv);
  EXPECT_FLOAT_EQ(uv.x, 0.3f);
  EXPECT_FLOAT_EQ(uv.y, -1.7f);
  EXPECT_FLOAT_EQ(duv.x, 0.01f);
  EXPECT_FLOAT_EQ(duv.y, 0.02f);

  // The channel's bit is set, growing an array too short for it and keeping the bits it had.
  BitArray mapreq(3), bumpreq(3);
  gen->MappingsRequired(0, mapreq, bumpreq);
  EXPECT_EQ(mapreq[1], 1);
  EXPECT_EQ(mapreq.NumberSet(), 1);
  gen->SetMapChannel(7);
  static_cast<MtlBase*>(gen)->LocalMappingsRequired(0, mapreq, bumpreq);
  EXPECT_EQ(mapreq.GetSize(), 8);
  EXPECT_EQ(mapreq[1] + mapreq[7], 2);
  EXPECT_EQ(mapreq[8], 0);
  EXPECT_EQ(bumpreq.NumberSet(), 0);
  gen->DeleteThis();
}

TEST(UVGen, OffsetTilingAndAngleMapAsComputedByHand) {
  struct Case {
    float uOffset, vOffset, uTiling, vTiling, angle;
    Point3 source;
    Point2 uv;
  };
  // At 90 degrees (1, 0.5), 0.5 along +U from the tile centre, turns to 0.5 along +V: (0.5, 1),
  // tiled (1, 3), offset (1.1, 3.2). The centre itself only tiles and shifts.
  const Case cases[] = {
      {0.25f, -0.5f, 1, 1, 0, {0.3f, 0.4f, 0}, {0.55f, -0.1f}},
      {0, 0, 2, 3, 0, {0.3f, 0.4f, 0}, {0.6f, 1.2f}},
      {0.1f, 0.2f, 2, 3, kPi / 2, {1.0f, 0.5f, 0}, {1.1f, 3.2f}},
      {0.1f, 0.2f, 2, 3, kPi / 2, {0.5f, 0.5f, 0}, {1.1f, 1.7f}},
  };
  StdUVGen gen;
  UVContext sc;
  for (const Case& c : cases) {
    gen.SetUOffset(c.uOffset);
    gen.SetVOffset(c.vOffset);
    gen.SetUTiling(c.uTiling);
    gen.SetVTiling(c.vTiling);
    gen.SetWAngle(c.angle);
    const Point2 uv = MappedUV(gen, sc, c.source);
    EXPECT_NEAR(uv.x, c.uv.x, 1e-6f) << "source " << c.source.x << ", " << c.source.y;
    EXPECT_NEAR(uv.y, c.uv.y, 1e-6f) << "source " << c.source.x << ", " << c.source.y;
  }

  // The footprint turns with the map: a quarter turn swaps the axes before tiling.
  sc.duvw = {0.01f, 0.02f, 0};
  Point2 uv, duv;
  gen.GetUV(sc, uv, duv);
  EXPECT_NEAR(duv.x, 2.0f * 0.02f, 1e-6f);
  EXPECT_NEAR(duv.y, 3.0f * 0.01f, 1e-6f);
  gen.SetWAngle(kPi / 4);  // the box's bound grows by cos 45 + sin 45
  gen.GetUV(sc, uv, duv);
  EXPECT_NEAR(duv.x, 2.0f * 0.03f * std::sqrt(0.5f), 1e-6f);
  EXPECT_NEAR(duv.y, 3.0f * 0.03f * std::sqrt(0.5f), 1e-6f);

  // GetUVTransform is what GetUV applies, and the channel set is the one read.
  gen.SetWAngle(0.7f);
  gen.SetMapChannel(3);
  sc.channel = 3;
  Matrix3 m;
  gen.GetUVTransform(m);
  for (const Point3 s : {Point3(0.2f, 0.9f, 0.0f), Point3(-3.0f, 4.5f, 1.0f)}) {
    const Point3 expected = s * m;
    uv = MappedUV(gen, sc, s);
    EXPECT_NEAR(uv.x, expected.x, 1e-5f);
    EXPECT_NEAR(uv.y, expected.y, 1e-5f);
    EXPECT_FLOAT_EQ(expected.z, s.z);
  }
}

TEST(UVGen, WrapMirrorAndTileNumbers) {
  struct Case {
    int flags;
    Point3 source;
    Point2 uv;
    IPoint2 tile;
  };
  const Case cases[] = {
      {U_WRAP | V_WRAP, {-0.25f, 2.75f, 0}, {0.75f, 0.75f}, {-1, 2}},
      {U_WRAP | V_WRAP, {-1.25f, 0.5f, 0}, {0.75f, 0.5f}, {-2, 0}},
      {U_MIRROR | V_MIRROR, {0.75f, 0.25f, 0}, {0.5f, 0.5f}, {0, 0}},
      {U_MIRROR | V_MIRROR, {0.5f, 1.5f, 0}, {1.0f, 1.0f}, {0, 1}},
      {U_MIRROR | V_MIRROR, {-0.25f, 0.1f, 0}, {0.5f, 0.2f}, {-1, 0}},  // wraps to 0.75 first
      {0, {1.75f, -0.3f, 0}, {1.75f, -0.3f}, {1, -1}},                  // raw coordinates
      {U_WRAP | V_MIRROR, {1.75f, 2.9f, 0}, {0.75f, 0.2f}, {1, 2}},
      {V_WRAP, {1.75f, -0.3f, 0}, {1.75f, 0.7f}, {1, -1}},
  };
  StdUVGen gen;
  UVContext sc;
  Recorder samp;
  for (const Case& c : cases) {
    gen.SetTextureTiling(c.flags);
    sc.uvw = c.source;
    gen.EvalUVMap(sc, &samp, FALSE);
    const Recorder::Call& call = samp.Last();
    EXPECT_NEAR(call.u, c.uv.x, 1e-6f) << "flags " << c.flags << ", u " << c.source.x;
    EXPECT_NEAR(call.v, c.uv.y, 1e-6f) << "flags " << c.flags << ", v " << c.source.y;
    EXPECT_EQ(IPoint2(call.tileU, call.tileV), c.tile) << "flags " << c.flags;
  }
}

TEST(UVGen, FilteringFollowsTheFlagAndTheContext) {
  StdUVGen gen;
  UVContext sc;
  Recorder samp;
  samp.a = 1.0f;
  gen.SetUTiling(2.0f);
  gen.SetVTiling(2.0f);
  gen.SetTextureTiling(U_WRAP | V_MIRROR);
  sc.uvw = {0.3f, 0.1f, 0};
  sc.duvw = {0.01f, 0.02f, 0};

  const AColor colour = gen.EvalUVMap(sc, &samp);
  EXPECT_EQ(samp.Last().kind, Recorder::kFilter);
  EXPECT_FLOAT_EQ(samp.Last().du, 0.02f);
  EXPECT_FLOAT_EQ(samp.Last().dv, 0.08f);  // tiled, then doubled by the mirror
  EXPECT_FLOAT_EQ(colour.r, 0.6f);
  EXPECT_FLOAT_EQ(gen.EvalUVMapMono(sc, &samp), 0.6f);
  EXPECT_EQ(samp.Last().kind, Recorder::kMonoFilter);
  EXPECT_FLOAT_EQ(samp.Last().dv, 0.08f);

  gen.EvalUVMap(sc, &samp, FALSE);
  EXPECT_EQ(samp.Last().kind, Recorder::kSample);
  sc.filterMaps = FALSE;
  gen.EvalUVMap(sc, &samp);
  EXPECT_EQ(samp.Last().kind, Recorder::kSample);
  gen.EvalUVMapMono(sc, &samp);
  EXPECT_EQ(samp.Last().kind, Recorder::kMono);
}

TEST(UVGen, DerivativeOfALinearRampFollowsTheChainRule) {
  StdUVGen gen;
  UVContext sc;
  Recorder samp;
  samp.a = 0.3f;
  samp.b = -0.7f;
  const float tu = 2.0f, tv = 3.0f, w = kPi / 6;
  gen.SetUTiling(tu);
  gen.SetVTiling(tv);
  gen.SetWAngle(w);
  gen.SetUOffset(0.1f);
  gen.SetVOffset(0.2f);
  const float c = std::cos(w), s = std::sin(w);
  // dm/du = (tu c, tv s), dm/dv = (-tu s, tv c).
  const float du = samp.a * tu * c + samp.b * tv * s;
  const float dv = -samp.a * tu * s + samp.b * tv * c;

  sc.uvw = {0.37f, 0.61f, 0};
  for (const int flags : {0, U_WRAP | V_WRAP}) {
    gen.SetTextureTiling(flags);
    const Point2 d = gen.EvalDeriv(sc, &samp, FALSE);
    EXPECT_NEAR(d.x, du, 2e-3f) << "flags " << flags;
    EXPECT_NEAR(d.y, dv, 2e-3f) << "flags " << flags;
  }

  // A mirror folds the ramp: the derivative doubles, and changes sign on the mirrored half.
  Point2 uv, footprint;
  gen.GetUV(sc, uv, footprint);
  const float fu = uv.x - std::floor(uv.x), fv = uv.y - std::floor(uv.y);
  ASSERT_TRUE(std::fabs(fu - 0.5f) > 0.05f && std::fabs(fv - 0.5f) > 0.05f) << "keep clear of the folds";
  const float gu = fu < 0.5f ? 2.0f : -2.0f, gv = fv < 0.5f ? 2.0f : -2.0f;
  gen.SetTextureTiling(U_MIRROR | V_MIRROR);
  sc.duvw = {0.004f, 0.004f, 0};
  samp.calls.clear();
  const Point2 d = gen.EvalDeriv(sc, &samp);
  EXPECT_NEAR(d.x, samp.a * gu * tu * c + samp.b * gv * tv * s, 4e-3f);
  EXPECT_NEAR(d.y, -samp.a * gu * tu * s + samp.b * gv * tv * c, 4e-3f);
  ASSERT_EQ(samp.calls.size(), 4u);
  for (const Recorder::Call& call : samp.calls) EXPECT_EQ(call.kind, Recorder::kMonoFilter);

  Point3 dPdu, dPdv;
  sc.dPdu = {1, 2, 3};
  sc.dPdv = {-4, 5, -6};
  gen.GetBumpDP(sc, dPdu, dPdv);
  EXPECT_EQ(dPdu, sc.dPdu);
  EXPECT_EQ(dPdv, sc.dPdv);
}

// The ramp a u + b v on the one image of a map that does not repeat: nothing outside [0, 1).
class Bordered final : public MapSampler {
 public:
  float a = 0.0f, b = 0.0f;
  AColor Sample(ShadeContext& sc, float u, float v) override {
    const float m = SampleMono(sc, u, v);
    return {m, m, m, 1.0f};
  }
  AColor SampleFilter(ShadeContext& sc, float u, float v, float, float) override { return Sample(sc, u, v); }
  float SampleMono(ShadeContext&, float u, float v) override {
    return u >= 0.0f && u < 1.0f && v >= 0.0f && v < 1.0f ? a * u + b * v : 0.0f;
  }
  float SampleMonoFilter(ShadeContext& sc, float u, float v, float, float) override { return SampleMono(sc, u, v); }
};

TEST(UVGen, DerivativeStaysOnAMapThatDoesNotRepeat) {
  // Dyadic values, so every step and difference below is exact.
  constexpr float kStep = 1.0f / 1024.0f;  // the step without a footprint
  StdUVGen gen;
  UVContext sc;
  Bordered ramp;
  ramp.a = 0.5f;
  ramp.b = 0.25f;
  gen.SetTextureTiling(0);
  struct Case {
    Point3 source;
    Point2 d;
  };
  const Case cases[] = {
      {{1.0f - kStep, 0.5f, 0}, {0.5f, 0.25f}},          // the last column: +u lands on 1, off the map
      {{0.5f, 1.0f - kStep, 0}, {0.5f, 0.25f}},          // the top row
      {{kStep / 2, kStep / 2, 0}, {0.5f, 0.25f}},        // the first column and row: -u, -v below 0
      {{1.0f - kStep, 1.0f - kStep, 0}, {0.5f, 0.25f}},  // the corner
      {{0.5f, 0.5f, 0}, {0.5f, 0.25f}},                  // inside: central as ever
  };
  for (const Case& c : cases) {
    sc.uvw = c.source;
    const Point2 d = gen.EvalDeriv(sc, &ramp, FALSE);
    EXPECT_EQ(d.x, c.d.x) << "at " << c.source.x << ", " << c.source.y;
    EXPECT_EQ(d.y, c.d.y) << "at " << c.source.x << ", " << c.source.y;
  }
  // A footprint sets the step: half a pixel of a 256-pixel image reaches the edge from the last pixel.
  sc.uvw = {1.0f - 0.5f / 256.0f, 1.0f - 0.5f / 256.0f, 0};
  sc.duvw = {1.0f / 256.0f, 1.0f / 256.0f, 0};
  EXPECT_EQ(gen.EvalDeriv(sc, &ramp, TRUE), Point2(0.5f, 0.25f));

  // Only the axis that does not repeat is held to its image: with U mirrored, the top row still
  // steps back along V, while U keeps its central difference through the fold.
  gen.SetTextureTiling(U_MIRROR);
  sc.uvw = {0.25f, 1.0f - kStep, 0};
  sc.duvw = {0, 0, 0};
  Point2 d = gen.EvalDeriv(sc, &ramp, FALSE);
  EXPECT_EQ(d.x, 2.0f * ramp.a);
  EXPECT_EQ(d.y, ramp.b);

  // Where the axis repeats the difference is central, across the seam, exactly as before: at the
  // last column +u wraps to 0, so (b v - (a (1 - 2h) + b v)) / 2h.
  gen.SetTextureTiling(U_WRAP | V_WRAP);
  sc.uvw = {1.0f - kStep, 0.5f, 0};
  d = gen.EvalDeriv(sc, &ramp, FALSE);
  EXPECT_EQ(d.x, (ramp.b * 0.5f - (ramp.a * (1.0f - 2.0f * kStep) + ramp.b * 0.5f)) / (2.0f * kStep));
  EXPECT_EQ(d.y, 0.25f);

  // The test is made on the mapped coordinates: turned a quarter, a step along source U runs up
  // mapped V and leaves the map at its top.
  gen.SetTextureTiling(0);
  gen.SetWAngle(kPi / 2);
  sc.uvw = {1.0f - kStep / 4, 0.5f, 0};
  d = gen.EvalDeriv(sc, &ramp, FALSE);
  EXPECT_NEAR(d.x, ramp.b, 1e-3f);
  EXPECT_NEAR(d.y, -ramp.a, 1e-3f);
}

TEST(UVGen, ChangesNotifyDependents) {
  UVGen* gen = GetNewDefaultUVGen();
  Owner owner(gen);
  using Msgs = std::vector<RefMessage>;
  const std::vector<std::function<void(float)>> setters = {
      [&](float x) { gen->SetUOffset(x); }, [&](float x) { gen->SetVOffset(x); }, [&](float x) { gen->SetUTiling(x); },
      [&](float x) { gen->SetVTiling(x); }, [&](float x) { gen->SetWAngle(x); }};
  for (const auto& set : setters) {
    owner.heard.clear();
    set(0.5f);
    set(0.5f);      // no change
    set(NAN);       // refused
    set(INFINITY);  // refused
    EXPECT_EQ(owner.heard, Msgs{REFMSG_CHANGE});
  }
  const float sum = gen->GetUOffset() + gen->GetVOffset() + gen->GetUTiling() + gen->GetVTiling() + gen->GetWAngle();
  EXPECT_EQ(sum, 2.5f);

  owner.heard.clear();
  gen->SetMapChannel(4);
  gen->SetMapChannel(-1);
  gen->SetMapChannel(UVGEN_MAX_MAP_CHANNEL + 1);
  EXPECT_EQ(gen->GetMapChannel(), 4);
  EXPECT_EQ(owner.heard, Msgs{REFMSG_CHANGE});

  owner.heard.clear();
  gen->SetTextureTiling(U_MIRROR | 0x100);
  gen->SetTextureTiling(U_MIRROR);
  EXPECT_EQ(gen->GetTextureTiling(), U_MIRROR);
  EXPECT_EQ(gen->SymFlags(), U_MIRROR);
  EXPECT_EQ(owner.heard, (Msgs{REFMSG_CHANGE, REFMSG_UV_SYM_CHANGE}));

  owner.heard.clear();
  gen->InitSlotType(ISubMap::MAPSLOT_ENVIRON);
  gen->Reset();
  EXPECT_EQ(owner.heard, (Msgs{REFMSG_CHANGE, REFMSG_UV_SYM_CHANGE}));
  EXPECT_EQ(gen->GetUOffset() + gen->GetVOffset() + gen->GetWAngle(), 0.0f);
  EXPECT_EQ(gen->GetUTiling() * gen->GetVTiling(), 1.0f);
  EXPECT_EQ(gen->GetTextureTiling(), U_WRAP | V_WRAP);
  EXPECT_EQ(gen->GetMapChannel(), 1);
  EXPECT_EQ(gen->GetSlotType(), ISubMap::MAPSLOT_ENVIRON);  // the owner's choice, not a parameter
  owner.heard.clear();
  gen->Reset();
  EXPECT_EQ(owner.heard, Msgs{REFMSG_CHANGE});
}

void ExpectSameParameters(UVGen& a, UVGen& b) {
  EXPECT_EQ(a.GetUOffset(), b.GetUOffset());
  EXPECT_EQ(a.GetVOffset(), b.GetVOffset());
  EXPECT_EQ(a.GetUTiling(), b.GetUTiling());
  EXPECT_EQ(a.GetVTiling(), b.GetVTiling());
  EXPECT_EQ(a.GetWAngle(), b.GetWAngle());
  EXPECT_EQ(a.GetTextureTiling(), b.GetTextureTiling());
  EXPECT_EQ(a.GetMapChannel(), b.GetMapChannel());
  EXPECT_EQ(a.GetSlotType(), b.GetSlotType());
  EXPECT_STREQ(a.GetName().data(), b.GetName().data());
}

TEST(UVGen, CloneSaveAndLoadKeepEveryParameter) {
  StdUVGen gen;
  gen.SetName(CStr("Coords"));
  gen.SetUOffset(-0.25f);
  gen.SetVOffset(3.5f);
  gen.SetUTiling(4.0f);
  gen.SetVTiling(-2.0f);
  gen.SetWAngle(1.25f);
  gen.SetTextureTiling(U_MIRROR | V_WRAP);
  gen.SetMapChannel(9);
  gen.InitSlotType(ISubMap::MAPSLOT_ENVIRON);

  RemapDir remap;
  auto* copy = dynamic_cast<StdUVGen*>(remap.CloneRef(&gen));
  ASSERT_NE(copy, nullptr);
  ExpectSameParameters(gen, *copy);
  copy->SetUTiling(7.0f);
  EXPECT_EQ(gen.GetUTiling(), 4.0f);
  copy->DeleteThis();

  MemorySave save;
  save.BeginChunk(0x4000);
  ASSERT_EQ(gen.Save(&save), IO_OK);
  save.EndChunk();
  StdUVGen loaded;
  EXPECT_EQ(LoadRecord(loaded, save.Bytes()), IO_OK);
  ExpectSameParameters(gen, loaded);

  // A record written by hand to the documented layout, with a chunk this version does not know.
  const auto record = Record("Hand", ParamBytes({0.5f, 0.25f, 2.0f, 3.0f, -1.0f}, V_MIRROR, 2, 0));
  ASSERT_EQ(LoadRecord(loaded, record), IO_OK);
  EXPECT_STREQ(loaded.GetName().data(), "Hand");
  EXPECT_EQ(loaded.GetUOffset(), 0.5f);
  EXPECT_EQ(loaded.GetVOffset(), 0.25f);
  EXPECT_EQ(loaded.GetUTiling(), 2.0f);
  EXPECT_EQ(loaded.GetVTiling(), 3.0f);
  EXPECT_EQ(loaded.GetWAngle(), -1.0f);
  EXPECT_EQ(loaded.GetTextureTiling(), V_MIRROR);
  EXPECT_EQ(loaded.GetMapChannel(), 2);
  EXPECT_EQ(loaded.GetSlotType(), ISubMap::MAPSLOT_TEXTURE);
}

TEST(UVGen, DamagedParameterChunkIsRefusedAndChangesNothing) {
  StdUVGen gen;
  gen.SetName(CStr("Kept"));
  gen.SetUTiling(5.0f);
  const std::vector<float> good = {0, 0, 1, 1, 0};
  auto shortChunk = ParamBytes(good, U_WRAP, 1, 0);
  shortChunk.pop_back();
  auto longChunk = ParamBytes(good, U_WRAP, 1, 0);
  longChunk.push_back(0);
  const std::vector<std::vector<unsigned char>> damaged = {
      shortChunk,
      longChunk,
      {},
      ParamBytes({0, 0, NAN, 1, 0}, U_WRAP, 1, 0),
      ParamBytes(good, 0x10, 1, 0),
      ParamBytes(good, U_WRAP, UVGEN_MAX_MAP_CHANNEL + 1, 0),
      ParamBytes(good, U_WRAP, -1, 0),
      ParamBytes(good, U_WRAP, 1, 2),
  };
  for (std::size_t i = 0; i < damaged.size(); ++i) {
    EXPECT_EQ(LoadRecord(gen, Record("Replaced", damaged[i])), IO_ERROR) << "case " << i;
    EXPECT_STREQ(gen.GetName().data(), "Kept") << "case " << i;
    EXPECT_EQ(gen.GetUTiling(), 5.0f) << "case " << i;
    EXPECT_EQ(gen.GetTextureTiling(), U_WRAP | V_WRAP) << "case " << i;
  }
}

TEST(UVGen, ParamDlgEditsOneGeneratorAndHoldsItsPage) {
  StdUVGen gen, other;
  MaterialEditor editor;
  editor.AddRollupPage("Bitmap");
  ParamDlg* dlg = gen.CreateParamDlg(nullptr, &editor);
  EXPECT_EQ(editor.pages, (std::vector<std::string>{"Bitmap", "Coordinates"}));
  EXPECT_EQ(dlg->GetThing(), &gen);
  EXPECT_EQ(dlg->ClassID(), STDUVGEN_CLASS_ID);
  dlg->SetThing(&other);
  EXPECT_EQ(dlg->GetThing(), &other);
  ReferenceTarget notAGenerator;
  dlg->SetThing(&notAGenerator);
  dlg->SetThing(nullptr);
  EXPECT_EQ(dlg->GetThing(), &other);
  dlg->DeleteThis();
  EXPECT_EQ(editor.pages, (std::vector<std::string>{"Bitmap", ""}));

  UVGenParamDlg detached(&gen, nullptr);
  EXPECT_EQ(detached.PageIndex(), -1);
  EXPECT_EQ(detached.GetThing(), &gen);
}

}  // namespace
