// What terrain users ask of `veldmap render` and `info`, run as they run it: images that keep the
// mesh's aspect and units, regions of the mesh, heights in its own units, meshes of mixed winding
// and reports that are data. The pure placement arithmetic is checked in process as well.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "app/image_io.h"
#include "app/mesh_frame.h"
#include "app/output_files.h"
#include "tests/support/cli_files.h"
#include "tests/support/cli_run.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Key order kept, as the report writes it (the seconds' text follows it).
using Json = nlohmann::ordered_json;

using test_support::CliRun;
using test_support::Veldmap;

class TerrainCliTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test_support::MakeTempFolder("veldmap_terrain_");
    test_support::WriteRollingGround(Path("ground.obj"));
    test_support::WriteRollingGround(Path("mixed.obj"), true);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Render(const std::string& mesh, const std::string& args) const {
    return "render " + Path(mesh) + " --up z " + args;
  }

  static Image Read(const std::string& path, std::map<std::string, std::string>* meta = nullptr) {
    return test_support::ReadWrittenImage(path, meta);
  }
  Json Report(const std::string& name) const { return test_support::ReadJsonFile<Json>(Path(name)); }
  static float At(const Image& image, int x, int y) {
    return image
        .pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) + static_cast<std::size_t>(x)];
  }

  fs::path dir_;
};

TEST_F(TerrainCliTest, ImageFollowsTheMeshAspectAndPixelSize) {
  struct Case {
    std::string args;
    int width, height;
    const char* pixelSize;  // as the metadata gives it
  } cases[] = {
      {"--size 64", 64, 32, "0.3125,0.3125"},       // --size is the longer side of a 2:1 mesh
      {"", 512, 256, "0.0390625,0.0390625"},        // so is its default
      {"--width 100", 100, 50, "0.2,0.2"},          // one side given: the other in proportion
      {"--height 40", 80, 40, "0.25,0.25"},         //
      {"--width 30 --height 30", 30, 30, nullptr},  // both given: as given, stretched
      {"--pixel-size 0.5", 40, 20, "0.5,0.5"},      // the extent in whole pixels
      // 66.7 x 33.3 pixels round up, and the image covers whole pixels of exactly that size.
      {"--pixel-size 0.3", 67, 34, "0.3,0.3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const CliRun run = Veldmap(Render("ground.obj", c.args + " -q -o " + Path("h.png")));
    ASSERT_EQ(run.code, 0) << run.output;
    std::map<std::string, std::string> meta;
    const Image image = Read(Path("h.png"), &meta);
    EXPECT_EQ(image.width, c.width);
    EXPECT_EQ(image.height, c.height);
    EXPECT_EQ(meta["veldmap:extent"], "0,0,20,10");
    if (c.pixelSize != nullptr) {
      EXPECT_EQ(meta["veldmap:pixel_size"], c.pixelSize);
    }
  }
  std::map<std::string, std::string> meta;
  ASSERT_EQ(Veldmap(Render("ground.obj", "--pixel-size 0.3 -q -o " + Path("h.png"))).code, 0);
  Read(Path("h.png"), &meta);
  EXPECT_EQ(meta["veldmap:region"], "0,0,20.1,10.2");

  // A pixel size that cannot be met, or that fights the other size options, is a usage error.
  for (const std::string bad :
       {"--pixel-size 0.0001", "--pixel-size 0", "--pixel-size -1", "--pixel-size 0.5 --width 10",
        "--pixel-size 0.5 --size 64", "--pixel-size 0.5 --uv-tiling 2 2"}) {
    SCOPED_TRACE(bad);
    const CliRun run = Veldmap(Render("ground.obj", bad + " -o " + Path("bad.png")));
    EXPECT_EQ(run.code, 2) << run.output;
    EXPECT_FALSE(fs::exists(Path("bad.png")));
  }
}

TEST_F(TerrainCliTest, RegionIsTheCropOfTheWholeAndItsTilesJoin) {
  // At 0.3125 units a pixel the whole is 64 x 32; the region X 5..15, Y 2.5..7.5 is 32 x 16 of
  // its pixels with their centres on the same points, 16 columns in and 8 rows down.
  ASSERT_EQ(Veldmap(Render("ground.obj", "--pixel-size 0.3125 -q -o " + Path("whole.exr"))).code, 0);
  const CliRun run =
      Veldmap(Render("ground.obj", "--pixel-size 0.3125 --region 5,2.5,15,7.5 -q -o " + Path("region.exr")));
  ASSERT_EQ(run.code, 0) << run.output;
  const Image whole = Read(Path("whole.exr"));
  std::map<std::string, std::string> meta;
  const Image region = Read(Path("region.exr"), &meta);
  ASSERT_EQ(whole.width, 64);
  ASSERT_EQ(region.width, 32);
  ASSERT_EQ(region.height, 16);
  EXPECT_EQ(meta["veldmap:region"], "5,2.5,15,7.5");
  EXPECT_EQ(meta["veldmap:pixel_size"], "0.3125,0.3125");
  // The map renders the region itself (placed by its own offsets and scales), so the same heights
  // come out of another float computation: equal to float rounding, not bit for bit.
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 32; ++x) {
      ASSERT_NEAR(At(region, x, y), At(whole, x + 16, y + 8), 2e-6f) << x << "," << y;
    }
  }
  // With --size instead, the region's own aspect (2:1) sizes it.
  ASSERT_EQ(Veldmap(Render("ground.obj", "--size 50 --region 5,2.5,15,7.5 -q -o " + Path("r50.png"))).code, 0);
  EXPECT_EQ(Read(Path("r50.png")).height, 25);

  // Tiles of a region join into the region, bit for bit.
  const std::string tiled = Render("ground.obj", "--pixel-size 0.3125 --region 5,2.5,15,7.5 -q ");
  for (const char* tile : {"1/3", "2/3", "3/3"}) {
    ASSERT_EQ(Veldmap(tiled + "--tile " + tile + " -o " + Path(std::string("t") + tile[0] + ".exr")).code, 0);
  }
  ASSERT_EQ(
      Veldmap("join " + Path("t1.exr") + " " + Path("t2.exr") + " " + Path("t3.exr") + " -o " + Path("joined.exr"))
          .code,
      0);
  EXPECT_EQ(Read(Path("joined.exr")).pixels, region.pixels);

  // A region that is empty or inverted, or that the map's scales cannot reach, is refused.
  for (const std::string bad :
       {"--region 5,2.5,5,7.5", "--region 15,2.5,5,7.5", "--region 1,2,3", "--region 0,0,0.0001,0.0001",
        "--region 0,0,1e300,1e300", "--region 0,0,1,1 --u-scale 2"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Veldmap(Render("ground.obj", bad + " -o " + Path("bad.png"))).code, 2);
    EXPECT_FALSE(fs::exists(Path("bad.png")));
  }
}

TEST_F(TerrainCliTest, HeightsInMetresAreTheMeshZ) {
  // A tilted plane z = 3 + 0.5 x + 0.25 y over X 0..8, Y 0..4: every pixel's z is known exactly.
  std::ofstream(Path("plane.obj")) << "v 0 0 3\nv 8 0 7\nv 8 4 8\nv 0 4 4\nf 1 2 3\nf 1 3 4\n";
  const auto plane = [](double x, double y) { return 3.0 + 0.5 * x + 0.25 * y; };
  for (const std::string normalize : {"", "--no-normalize "}) {
    SCOPED_TRACE(normalize);
    // Without normalisation the map's UV 0..1 is X and Y 0..1 of the mesh: a 1 x 1 corner.
    const double side = normalize.empty() ? 8.0 : 1.0, tall = normalize.empty() ? 4.0 : 1.0;
    ASSERT_EQ(Veldmap(Render("plane.obj", normalize + "--size 16 -q -o " + Path("h.exr"))).code, 0);
    const CliRun run = Veldmap(Render(
        "plane.obj", normalize + "--size 16 --heights metres -q -o " + Path("z.exr") + " --report " + Path("z.json")));
    ASSERT_EQ(run.code, 0) << run.output;
    const Image h = Read(Path("h.exr"));
    std::map<std::string, std::string> meta;
    const Image z = Read(Path("z.exr"), &meta);
    ASSERT_EQ(z.width, h.width);
    ASSERT_EQ(z.height, h.height);
    EXPECT_EQ(meta["veldmap:heights"], "metres");
    Json report = Report("z.json");
    const double zMin = report["veldmap:z_min"], zMax = report["veldmap:z_max"];
    EXPECT_EQ(zMin, 3.0);
    EXPECT_EQ(zMax, 8.0);
    for (int y = 0; y < z.height; ++y) {
      for (int x = 0; x < z.width; ++x) {
        const double expected = normalize.empty() ? zMin + At(h, x, y) * (zMax - zMin) : At(h, x, y) * (zMax - zMin);
        ASSERT_NEAR(At(z, x, y), expected, 1e-5) << x << "," << y;
        const double worldX = (x + 0.5) / z.width * side, worldY = tall - (y + 0.5) / z.height * tall;
        ASSERT_NEAR(At(z, x, y), plane(worldX, worldY), 1e-4) << x << "," << y;
      }
    }
  }
  // Metres only make sense in a float image.
  for (const std::string& bad :
       {"--heights metres -o " + Path("z.png"), "--heights metres --color-out " + Path("c.exr"),
        "--heights feet -o " + Path("z.exr")}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Veldmap(Render("plane.obj", bad)).code, 2);
  }
}

TEST_F(TerrainCliTest, MixedWindingIsCountedWarnedAndTurnedUp) {
  // 400 triangles, every other one clockwise seen from above.
  CliRun run = Veldmap("info " + Path("mixed.obj") + " --up z");
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("200 up, 200 down"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("warning"), std::string::npos) << run.output;
  run = Veldmap("info " + Path("mixed.obj") + " --up z --orient up");
  EXPECT_NE(run.output.find("400 up, 0 down"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("turned 200 faces"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("warning"), std::string::npos) << run.output;
  run = Veldmap("info " + Path("ground.obj") + " --up z");
  EXPECT_NE(run.output.find("400 up, 0 down"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("warning"), std::string::npos) << run.output;

  // As read, half the faces are ignored: a warning, and a sawtooth of holes in the report.
  run = Veldmap(Render("mixed.obj", "--size 64 -o " + Path("holes.exr") + " --report " + Path("holes.json")));
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("warning"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("200 of 400"), std::string::npos) << run.output;
  Json report = Report("holes.json");
  EXPECT_EQ(report["veldmap:faces_down"], 200);
  EXPECT_EQ(report["veldmap:orient"], "file");
  EXPECT_LT(report["veldmap:coverage"].get<double>(), 0.6);

  // Turned up, it bakes whole, and to the heights of the same mesh written consistently.
  run = Veldmap(Render("mixed.obj", "--size 64 --orient up -o " + Path("whole.exr") + " --report " + Path("up.json")));
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_EQ(run.output.find("warning"), std::string::npos) << run.output;
  report = Report("up.json");
  EXPECT_EQ(report["veldmap:faces_down"], 0);
  EXPECT_EQ(report["veldmap:faces_turned"], 200);
  EXPECT_EQ(report["veldmap:orient"], "up");
  EXPECT_GT(report["veldmap:coverage"].get<double>(), 0.99);
  ASSERT_EQ(Veldmap(Render("ground.obj", "--size 64 -q -o " + Path("ground.exr"))).code, 0);
  const Image turned = Read(Path("whole.exr")), ground = Read(Path("ground.exr"));
  ASSERT_EQ(turned.pixels.size(), ground.pixels.size());
  for (std::size_t i = 0; i < turned.pixels.size(); ++i) ASSERT_NEAR(turned.pixels[i], ground.pixels[i], 1e-6f) << i;

  // A mesh written wholly clockwise has nothing to show as read, and says what would help.
  std::ofstream(Path("under.obj")) << "v 0 0 0\nv 2 0 1\nv 2 1 1\nv 0 1 0\nf 1 3 2\nf 1 4 3\n";
  run = Veldmap(Render("under.obj", "--size 8 -o " + Path("under.exr")));
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.output.find("--orient up"), std::string::npos) << run.output;
  EXPECT_EQ(Veldmap(Render("under.obj", "--size 8 --orient up -q -o " + Path("under.exr"))).code, 0);

  // A baked map keeps the turned mesh; a scene cannot be turned again.
  ASSERT_EQ(Veldmap("bake " + Path("mixed.obj") + " --up z --orient up -q -o " + Path("m.vlds")).code, 0);
  ASSERT_EQ(Veldmap("render " + Path("m.vlds") + " --size 64 -q -o " + Path("baked.exr")).code, 0);
  EXPECT_EQ(Read(Path("baked.exr")).pixels, turned.pixels);
  EXPECT_EQ(Veldmap("render " + Path("m.vlds") + " --orient up -o " + Path("again.exr")).code, 2);
}

TEST_F(TerrainCliTest, ReportIsDataAndTheImagesSayTheSame) {
  const CliRun run = Veldmap(Render(
      "ground.obj", "--size 40 --tile 2/2 --format png16 -q -o " + Path("t.png") + " --report " + Path("r.json")));
  ASSERT_EQ(run.code, 0) << run.output;
  Json report = Report("r.json");
  for (const char* key : {"veldmap:z_min", "veldmap:z_max", "veldmap:coverage", "peak_rss_bytes",
                          "peak_rss_bytes_per_face", "veldmap:faces_down", "veldmap:faces_turned"}) {
    EXPECT_TRUE(report[key].is_number()) << key << ": " << report[key];
  }
  for (const char* key : {"veldmap:size", "veldmap:extent", "veldmap:region", "veldmap:pixel_size", "veldmap:tile"}) {
    ASSERT_TRUE(report[key].is_array()) << key;
    for (const auto& item : report[key]) EXPECT_TRUE(item.is_number()) << key;
  }
  EXPECT_EQ(report["veldmap:size"], Json::array({40, 20}));
  EXPECT_EQ(report["veldmap:tile"], Json::array({20, 0, 20, 20, 40, 20}));
  EXPECT_EQ(report["veldmap:extent"], Json::array({0, 0, 20, 10}));
  EXPECT_LT(report["veldmap:z_min"].get<double>(), report["veldmap:z_max"].get<double>());
  EXPECT_TRUE(report["veldmap:seconds"]["update"].is_number());
  EXPECT_TRUE(report["veldmap:seconds"]["render"].is_number());
  EXPECT_EQ(report["outputs"]["height"], Path("t.png"));

  // Every entry of the image is the report's value as text, and every report entry of the render
  // is in the image.
  std::map<std::string, std::string> meta;
  Read(Path("t.png"), &meta);
  for (const auto& [key, value] : report.items()) {
    if (key.rfind("veldmap:", 0) != 0) continue;
    ASSERT_TRUE(meta.count(key)) << key;
    EXPECT_EQ(meta[key], FactText(key, value)) << key;
  }
  EXPECT_EQ(meta["veldmap:size"], "40,20");
  EXPECT_EQ(meta["veldmap:seconds"].rfind("update ", 0), 0u) << meta["veldmap:seconds"];
}

TEST_F(TerrainCliTest, HelpShowsEachNewOptionOnOneLine) {
  const CliRun run = Veldmap("render --help");
  ASSERT_EQ(run.code, 0);
  for (const char* line :
       {"--pixel-size FLOAT          mesh units per pixel", "--region FLOAT x 4          X0,Y0,X1,Y1",
        "--heights TEXT:{map,metres} map (default)", "--orient TEXT:{file,up}     up: turn every"}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  }
}

// The placement arithmetic on its own: a region placed by the map's offsets and scales comes back
// as the region the image covers, with and without normalisation, and the generator's own moves
// are taken into account or said to make no rectangle.
TEST(MeshFrame, RegionAndPlacementAreInverses) {
  const XYRect extent{-2, 10, 6, 14};
  for (const bool normalize : {true, false}) {
    SCOPED_TRACE(normalize);
    const XYRect asked{-1, 11, 3, 12};
    const std::optional<Placement> placement = PlacementForRegion(extent, normalize, asked);
    ASSERT_TRUE(placement);
    const std::optional<XYRect> back = ImageRegion(extent, *placement, UvFrame{});
    ASSERT_TRUE(back);
    EXPECT_NEAR(back->x0, asked.x0, 1e-5);
    EXPECT_NEAR(back->y0, asked.y0, 1e-5);
    EXPECT_NEAR(back->x1, asked.x1, 1e-5);
    EXPECT_NEAR(back->y1, asked.y1, 1e-5);
  }
  // The worked example of a placement: uScale 2, uOffset -0.5 shows the middle half in X.
  Placement middle;
  middle.uScale = 2.0f;
  middle.uOffset = -0.5f;
  std::optional<XYRect> region = ImageRegion(extent, middle, UvFrame{});
  ASSERT_TRUE(region);
  EXPECT_DOUBLE_EQ(region->x0, 0.0);
  EXPECT_DOUBLE_EQ(region->x1, 4.0);
  // A negative scale mirrors: the image's left edge is the mesh's right.
  middle.uScale = -1.0f;
  middle.uOffset = 1.0f;
  region = ImageRegion(extent, middle, UvFrame{});
  ASSERT_TRUE(region);
  EXPECT_DOUBLE_EQ(region->x0, 6.0);
  EXPECT_DOUBLE_EQ(region->x1, -2.0);
  // A generator offset moves the window; a turned one, or a repeat the image reaches, has none.
  UvFrame moved;
  moved.uOffset = 0.5f;
  region = ImageRegion(extent, Placement{}, moved);
  ASSERT_TRUE(region);
  EXPECT_DOUBLE_EQ(region->x0, 2.0);
  EXPECT_DOUBLE_EQ(region->x1, 10.0);
  moved.tilingFlags = 1;  // U_WRAP
  EXPECT_FALSE(ImageRegion(extent, Placement{}, moved));
  UvFrame turned;
  turned.angle = 0.5f;
  EXPECT_FALSE(ImageRegion(extent, Placement{}, turned));
  // A mesh flat in Y has no normalised region, and no placement for one.
  const XYRect flat{0, 1, 4, 1};
  EXPECT_FALSE(ImageRegion(flat, Placement{}, UvFrame{}));
  EXPECT_FALSE(PlacementForRegion(flat, true, XYRect{0, 0, 1, 1}));
}

}  // namespace
