#include <gtest/gtest.h>

#include "host/chunk_io.h"
#include "host/mtl_base.h"
#include "tests/support/stub_texmap.h"

namespace {

// The smallest texture map: a constant colour.
class Constant : public StubTexmap {
 public:
  AColor EvalColor(ShadeContext&) override { return {0.2f, 0.4f, 0.9f, 1.0f}; }
  void Update(TimeValue, Interval& valid) override { valid &= Interval(0, 100); }
  ReferenceTarget* Clone(RemapDir& remap) override { return CloneStub(*this, remap); }
};

TEST(MtlBase, NameTravelsThroughSaveLoadAndClone) {
  Constant map;
  map.SetName(CStr("Map #3"));
  MemorySave save;
  save.BeginChunk(0x4000);
  ASSERT_EQ(map.Save(&save), IO_OK);
  save.EndChunk();

  Constant loaded;
  MemoryLoad load(save.Bytes().data(), save.Bytes().size());
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  ASSERT_EQ(load.CurChunkID(), 0x4000);
  EXPECT_EQ(loaded.Load(&load), IO_OK);
  EXPECT_STREQ(loaded.GetName().data(), "Map #3");

  RemapDir remap;
  auto* copy = static_cast<Constant*>(remap.CloneRef(&map));
  EXPECT_STREQ(copy->GetName().data(), "Map #3");
  copy->DeleteThis();
}

TEST(MtlBase, OversizedNameChunkIsRefused) {
  MemorySave save;
  save.BeginChunk(0x4000);
  save.BeginChunk(MTLBASE_NAME_CHUNK);
  const std::string huge(5000, 'x');
  unsigned long written = 0;
  save.Write(huge.data(), static_cast<unsigned long>(huge.size()), &written);
  save.EndChunk();
  save.EndChunk();
  Constant map;
  MemoryLoad load(save.Bytes().data(), save.Bytes().size());
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  EXPECT_EQ(map.Load(&load), IO_ERROR);
  EXPECT_STREQ(map.GetName().data(), "");
}

TEST(MtlBase, InterfacesAndDefaults) {
  Constant map;
  EXPECT_EQ(map.GetInterface(I_SUBMAP), static_cast<ISubMap*>(&map));
  EXPECT_EQ(map.GetInterface(IID_MTLBASE), static_cast<void*>(static_cast<MtlBase*>(&map)));
  EXPECT_EQ(map.GetInterface(IID_TEXMAP), static_cast<void*>(static_cast<MtlBase*>(&map)));
  EXPECT_EQ(map.GetInterface(0x1234), nullptr);
  EXPECT_EQ(map.GetRefTarget(), &map);
  EXPECT_EQ(map.SuperClassID(), TEXMAP_CLASS_ID);
  EXPECT_EQ(map.SubTexmapOn(0), 1);
  Interval valid = FOREVER;
  map.Update(0, valid);
  EXPECT_EQ(valid, Interval(0, 100));
}

}  // namespace
