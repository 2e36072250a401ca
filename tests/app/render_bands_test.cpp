// Rendering in bands handed to sinks gives the pixels and coverage of the whole-image render, for
// bands that do not divide the image, tiles and thread counts, and a sink can stop it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/render.h"
#include "app/scene_setup.h"
#include "app/session.h"
#include "host/row_shading.h"
#include "host/scene.h"
#include "tests/support/stub_texmap.h"

namespace {

// Half of the unit square under a tilted triangle, so some pixels miss the mesh and the heights
// vary in both directions; normals differ by vertex, so both kinds of bump have work to do.
Mesh Wedge() {
  Mesh mesh;
  mesh.verts = {Point3(0, 0, 0), Point3(1, 0, 0.3f), Point3(0, 1, 1), Point3(1, 1, 0.2f)};
  Face a, b;
  a.setVerts(0, 1, 2);
  b.setVerts(1, 3, 2);
  b.smGroup = 2;
  a.smGroup = 1;
  mesh.faces = {a, b};
  mesh.verts.emplace_back(2.0f, 2.0f, 0.0f);  // widens the box: the mesh covers part of the square
  return mesh;
}

struct Collected {
  std::vector<Image> images;
  std::vector<std::pair<int, int>> bands;  // first, count as the first sink saw them
};

// A sink per output that appends its rows to an image of the tile's size.
std::vector<RowSink> CollectInto(Collected* out, const RenderRequest& request, int width, int height) {
  std::vector<RowSink> sinks;
  out->images.resize(request.outputs.size());
  for (std::size_t i = 0; i < request.outputs.size(); ++i) {
    Image& image = out->images[i];
    image = Image{width, height, request.outputs[i]->channels, {}};
    sinks.push_back([&image, out, i](int first, int count, const float* pixels) {
      if (i == 0) out->bands.emplace_back(first, count);
      const std::size_t values = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.channels);
      EXPECT_EQ(image.pixels.size(), static_cast<std::size_t>(first) * values) << "rows out of order";
      image.pixels.insert(image.pixels.end(), pixels, pixels + static_cast<std::size_t>(count) * values);
      return true;
    });
  }
  return sinks;
}

class RenderBandsTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(session_.Open(VELDMAP_PLUGIN_DIR, &error)) << error;
    node_ = AddMeshNode(Wedge(), "wedge");
    map_ = session_.CreateVeldmap();
    ASSERT_NE(map_, nullptr);
    guard_ = std::make_unique<MapGuard>(map_);
    ASSERT_TRUE(Block(map_)->SetValue(ParamByName(Block(map_), "node"), 0, node_));
    Interval valid = FOREVER;
    map_->Update(0, valid);
  }
  Session session_;  // first in, last out: the module stays loaded while its map lives
  INode* node_ = nullptr;
  Texmap* map_ = nullptr;
  std::unique_ptr<MapGuard> guard_;
};

TEST_F(RenderBandsTest, BandsHoldTheWholeRendersPixelsAndCoverage) {
  RenderRequest request;
  request.width = 37;
  request.height = 45;
  request.outputs = {FindOutput("height"), FindOutput("color"), FindOutput("bump")};
  for (const Bump bump : {Bump::Numerical, Bump::Normals}) {
    request.bump = bump;
    for (const Tile tile : {Tile{}, Tile{5, 11, 20, 23}}) {
      request.tile = tile;
      const int width = tile.width > 0 ? tile.width : request.width;
      const int height = tile.width > 0 ? tile.height : request.height;
      request.threads = 0;
      const RenderResult whole = RenderMap(*map_, request, {});
      ASSERT_GT(whole.coverage, 0.2);
      ASSERT_LT(whole.coverage, 0.8);
      // Bands of one row, of a size that leaves a short last band, and one band for the whole.
      for (const int bandRows : {1, 7, 64}) {
        for (const int threads : {1, 2}) {
          SCOPED_TRACE(testing::Message() << "bump " << static_cast<int>(bump) << " tile " << tile.width << " band "
                                          << bandRows << " threads " << threads);
          request.bandRows = bandRows;
          request.threads = threads;
          Collected got;
          const RenderResult banded = RenderMapToSinks(*map_, request, CollectInto(&got, request, width, height), {});
          EXPECT_FALSE(banded.stopped);
          EXPECT_TRUE(banded.images.empty());
          EXPECT_EQ(banded.coverage, whole.coverage);
          for (std::size_t i = 0; i < whole.images.size(); ++i) EXPECT_EQ(got.images[i].pixels, whole.images[i].pixels);
          const int expected = (height + std::min(bandRows, height) - 1) / std::min(bandRows, height);
          ASSERT_EQ(static_cast<int>(got.bands.size()), expected);
          EXPECT_EQ(got.bands.back().first + got.bands.back().second, height);
        }
      }
    }
  }
}

TEST_F(RenderBandsTest, ASinkThatFailsStopsTheRenderAndOutputsWithoutSinksAreSkipped) {
  RenderRequest request;
  request.width = request.height = 40;
  request.bandRows = 8;
  request.outputs = {FindOutput("height"), FindOutput("color"), FindOutput("bump")};
  std::vector<int> heightBands, bumpBands;
  const std::vector<RowSink> sinks = {[&heightBands](int first, int, const float*) {
                                        heightBands.push_back(first);
                                        return first < 16;  // refuses the third band
                                      },
                                      RowSink(),
                                      [&bumpBands](int first, int, const float*) {
                                        bumpBands.push_back(first);
                                        return true;
                                      }};
  const RenderResult result = RenderMapToSinks(*map_, request, sinks, {});
  EXPECT_TRUE(result.stopped);
  EXPECT_EQ(heightBands, (std::vector<int>{0, 8, 16}));
  EXPECT_EQ(bumpBands, (std::vector<int>{0, 8}));  // nothing after the refusal, not even its own band
}

// Slope and hillshade read the pixels round each one: a tile's or band's edge must see the whole
// image's neighbours, not its own edge again, so any cut holds the same pixels as the whole.
TEST_F(RenderBandsTest, SlopeAndHillshadeOfTilesAndBandsAreThoseOfTheWholeImage) {
  RenderRequest request;
  request.width = 41;
  request.height = 29;
  request.terrain.zScale = 3.0;
  request.terrain.xStep = 0.5;
  request.terrain.yStep = -0.75;
  request.outputs = {FindOutput("slope"), FindOutput("height"), FindOutput("hillshade")};
  const RenderResult whole = RenderMap(*map_, request, {});
  ASSERT_EQ(whole.images.size(), 3u);
  const Image& slope = whole.images[0];
  const Image& shade = whole.images[2];
  // The wedge's slope, inside its two faces, is not level, and the shade varies.
  EXPECT_GT(*std::max_element(slope.pixels.begin(), slope.pixels.end()), 1.0f);
  EXPECT_NE(*std::max_element(shade.pixels.begin(), shade.pixels.end()),
            *std::min_element(shade.pixels.begin(), shade.pixels.end()));
  // Tiles inside the image, on each of its edges and in a corner; bands of one row and more.
  for (const Tile tile : {Tile{7, 5, 13, 11}, Tile{0, 0, 9, 8}, Tile{30, 20, 11, 9}, Tile{0, 12, 41, 3}}) {
    for (const int bandRows : {1, 4, 64}) {
      SCOPED_TRACE(testing::Message() << "tile " << tile.x0 << "," << tile.y0 << " band " << bandRows);
      request.tile = tile;
      request.bandRows = bandRows;
      Collected got;
      RenderMapToSinks(*map_, request, CollectInto(&got, request, tile.width, tile.height), {});
      for (std::size_t i = 0; i < got.images.size(); ++i) {
        for (int y = 0; y < tile.height; ++y) {
          for (int x = 0; x < tile.width; ++x) {
            const auto at = [](const Image& image, int px, int py) {
              return image.pixels[static_cast<std::size_t>(py) * static_cast<std::size_t>(image.width) +
                                  static_cast<std::size_t>(px)];
            };
            ASSERT_EQ(at(got.images[i], x, y), at(whole.images[i], tile.x0 + x, tile.y0 + y))
                << "output " << i << " pixel " << x << "," << y;
          }
        }
      }
    }
  }
}

// The map seen only through its per-point calls: it does not answer for the row form, so a render
// of it shades pixel by pixel.
class PointByPoint : public StubTexmap {
 public:
  explicit PointByPoint(Texmap& map) : map_(map) {}
  AColor EvalColor(ShadeContext& sc) override { return map_.EvalColor(sc); }
  float EvalMono(ShadeContext& sc) override { return map_.EvalMono(sc); }
  Point3 EvalNormalPerturb(ShadeContext& sc) override { return map_.EvalNormalPerturb(sc); }

 private:
  Texmap& map_;
};

// A render through the map's rows holds the pixels of one shaded pixel by pixel, for tiles,
// threads, filtering, edge-aligned samples and outputs that read a ring of neighbours.
TEST_F(RenderBandsTest, RowsGiveThePixelsOfPointByPointShading) {
  ASSERT_NE(map_->GetInterface(I_MONO_ROW_MAP), nullptr);
  PointByPoint pointwise(*map_);
  ASSERT_EQ(pointwise.GetInterface(I_MONO_ROW_MAP), nullptr);
  RenderRequest request;
  request.width = 43;
  request.height = 31;
  request.outputs = {FindOutput("height"), FindOutput("slope")};
  for (const bool filter : {false, true}) {
    for (const bool edges : {false, true}) {
      for (const Tile tile : {Tile{}, Tile{6, 4, 30, 20}}) {
        for (const int threads : {1, 2}) {
          SCOPED_TRACE(testing::Message() << "filter " << filter << " edges " << edges << " tile " << tile.width
                                          << " threads " << threads);
          request.filter = filter;
          request.edgeAligned = edges;
          request.tile = tile;
          request.threads = threads;
          const RenderResult rows = RenderMap(*map_, request, {});
          const RenderResult points = RenderMap(pointwise, request, {});
          ASSERT_EQ(rows.images.size(), 2u);
          EXPECT_GT(rows.coverage, 0.2);
          EXPECT_EQ(rows.coverage, points.coverage);
          for (std::size_t i = 0; i < rows.images.size(); ++i) {
            ASSERT_EQ(rows.images[i].pixels.size(), points.images[i].pixels.size());
            EXPECT_EQ(0, std::memcmp(rows.images[i].pixels.data(), points.images[i].pixels.data(),
                                     rows.images[i].pixels.size() * sizeof(float)))
                << "output " << i;
          }
        }
      }
    }
  }
}

TEST(RenderBandRows, BandsAreWholeEXRBlocksOfAboutFourMillionPixels) {
  for (const int width : {1, 37, 4096, 32768, 65535}) {
    const int rows = RenderBandRows(width);
    SCOPED_TRACE(width);
    EXPECT_EQ(rows % 32, 0);
    EXPECT_GE(rows, 32);
    EXPECT_LE(static_cast<long long>(rows) * width, std::max<long long>(4 << 20, 32LL * width));
  }
}

}  // namespace
