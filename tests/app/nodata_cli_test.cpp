// Holes in a render, run as users run `veldmap render`: the coverage mask, --nodata, coverage alpha
// and the coverage figure, on meshes whose lowest ground is covered, so that "value 0" cannot
// stand for "no face here".
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "app/coverage.h"
#include "app/image_io.h"
#include "app/output_files.h"
#include "tests/support/cli_files.h"
#include "tests/support/cli_run.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

using test_support::CliRun;
using test_support::Veldmap;

struct GridMesh {
  int cells = 8;        // cells a side over X, Y 0..cells, two triangles a cell
  bool hole = true;     // cells x 2..3, y 5..6 left out
  bool flipOne = true;  // cell (6, 1): its upper-left triangle written clockwise
  bool raised = false;  // plus a vertical face reaching down to z = -1
};

// Z is 0 over the quarter x, y <= 4 (a flat basin at the mesh's lowest height, all covered) and
// rises beyond it. raised adds a face seen edge-on from above (never indexed, so no pixel's
// coverage changes) whose lowest corner lifts every covered height above 0: the map's value then
// says by itself where a face was found.
void WriteGrid(const std::string& path, const GridMesh& m) {
  std::ofstream obj(path);
  const int n = m.cells;
  for (int y = 0; y <= n; ++y) {
    for (int x = 0; x <= n; ++x) {
      obj << "v " << x << " " << y << " " << 0.3 * std::max(0, x - 4) + 0.2 * std::max(0, y - 4) << "\n";
    }
  }
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      if (m.hole && x >= 2 && x <= 3 && y >= 5 && y <= 6) continue;
      const int a = y * (n + 1) + x + 1, b = a + 1, c = a + n + 2, d = a + n + 1;
      obj << "f " << a << " " << b << " " << c << "\n";
      if (m.flipOne && x == 6 && y == 1) {
        obj << "f " << a << " " << d << " " << c << "\n";
      } else {
        obj << "f " << a << " " << c << " " << d << "\n";
      }
    }
  }
  if (m.raised) {
    const int base = (n + 1) * (n + 1);
    obj << "v 4 4 -1\nv 4 4 5\nv 4.5 4 5\n";
    obj << "f " << base + 1 << " " << base + 2 << " " << base + 3 << "\n";
  }
}

class NodataCliTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test_support::MakeTempFolder("veldmap_nodata_");
    WriteGrid(Path("holes.obj"), {});
    GridMesh raised;
    raised.raised = true;
    WriteGrid(Path("raised.obj"), raised);
    GridMesh plain;
    plain.flipOne = false;
    WriteGrid(Path("hole.obj"), plain);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Render(const std::string& mesh, const std::string& args) const {
    return "render " + Path(mesh) + " --up z -q " + args;
  }
  static Image Read(const std::string& path, std::map<std::string, std::string>* meta = nullptr) {
    return test_support::ReadWrittenImage(path, meta);
  }
  nlohmann::json Report(const std::string& name) const {
    return test_support::ReadJsonFile<nlohmann::json>(Path(name));
  }
  static long long Ones(const Image& mask) {
    long long ones = 0;
    for (const float v : mask.pixels) ones += v == 1.0f ? 1 : 0;
    return ones;
  }

  fs::path dir_;
};

TEST_F(NodataCliTest, MaskIsZeroExactlyWhereTheMapFindsNoFace) {
  // Placements that move the map in UV: the map's own offsets and a mirroring scale (which turns
  // the flipped face up and every other down), the UV generator's offsets, tiling, angle and
  // mirror, a region of the mesh and a tile of the image.
  const struct {
    std::string args;
    bool groundAtZero = true;  // the flat basin at height 0 is in the image
  } cases[] = {
      {"--width 64 --height 64"},
      {"--width 70 --height 50 --u-offset 0.1 --v-scale 1.3 --depth 3"},
      // Only the one flipped face faces up, well above the basin.
      {"--width 64 --height 64 --u-scale -1 --u-offset 1", false},
      {"--width 60 --height 60 --uv-offset 0.05 -0.1 --uv-tiling 1.5 1.2 --uv-angle 17"},
      {"--width 60 --height 60 --uv-tiling 2 2 --mirror-v"},
      {"--region 1.5,3.2,7.1,7.9 --size 50"},
      {"--width 64 --height 64 --tile 1/2 --tile-cols 2"},
  };
  for (const auto& [args, groundAtZero] : cases) {
    SCOPED_TRACE(args);
    CliRun run = Veldmap(Render("holes.obj", args + " --mask-out " + Path("mask.png") + " -o " + Path("h.exr")));
    ASSERT_EQ(run.code, 0) << run.output;
    run = Veldmap(Render("raised.obj", args + " -o " + Path("raised.exr")));
    ASSERT_EQ(run.code, 0) << run.output;
    const Image mask = Read(Path("mask.png")), heights = Read(Path("h.exr")), found = Read(Path("raised.exr"));
    ASSERT_EQ(mask.pixels.size(), found.pixels.size());
    EXPECT_EQ(StoredFormat(Path("mask.png")), ImageFormat::Png8);
    long long coveredAtZero = 0, holes = 0;
    for (std::size_t i = 0; i < mask.pixels.size(); ++i) {
      ASSERT_TRUE(mask.pixels[i] == 0.0f || mask.pixels[i] == 1.0f) << "pixel " << i << ": " << mask.pixels[i];
      ASSERT_EQ(mask.pixels[i] == 1.0f, found.pixels[i] != 0.0f) << "pixel " << i;
      coveredAtZero += mask.pixels[i] == 1.0f && heights.pixels[i] == 0.0f ? 1 : 0;
      holes += mask.pixels[i] == 0.0f ? 1 : 0;
    }
    // Both kinds are there, so a mask read off the heights (0 = hole) would be wrong.
    if (groundAtZero) {
      EXPECT_GT(coveredAtZero, 0);
    }
    EXPECT_GT(holes, 0);
  }
}

TEST_F(NodataCliTest, NodataGoesWhereTheMaskIsZeroAndIsRecorded) {
  ASSERT_EQ(Veldmap(Render("holes.obj", "--size 64 --mask-out " + Path("mask.png") + " -o " + Path("plain.exr"))).code,
            0);
  const Image mask = Read(Path("mask.png")), plain = Read(Path("plain.exr"));
  struct Case {
    std::string args, file;
    double stored;          // what a hole's pixel reads back as
    const char* metadata;   // veldmap:nodata in the image
    nlohmann::json report;  // and in the report
  } cases[] = {
      {"--nodata nan", "h.exr", NAN, "nan", "nan"},
      {"--nodata -9999.5", "h.exr", -9999.5, "-9999.5", -9999.5},
      {"--nodata 65535 --format png16", "h.png", 1.0, "65535", 65535.0},
      {"--nodata 12345 --format png16", "h.png", 12345.0 / 65535.0, "12345", 12345.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const CliRun run =
        Veldmap(Render("holes.obj", "--size 64 " + c.args + " -o " + Path(c.file) + " --report " + Path("r.json")));
    ASSERT_EQ(run.code, 0) << run.output;
    std::map<std::string, std::string> meta;
    const Image image = Read(Path(c.file), &meta);
    ASSERT_EQ(image.pixels.size(), mask.pixels.size());
    const bool png = c.file == "h.png";
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
      if (mask.pixels[i] == 0.0f) {
        if (std::isnan(c.stored)) {
          ASSERT_TRUE(std::isnan(image.pixels[i])) << "pixel " << i;
        } else if (png) {
          ASSERT_EQ(std::lround(image.pixels[i] * 65535.0f), std::lround(c.stored * 65535.0)) << "pixel " << i;
        } else {
          ASSERT_EQ(image.pixels[i], static_cast<float>(c.stored)) << "pixel " << i;
        }
      } else if (png) {
        ASSERT_EQ(std::lround(image.pixels[i] * 65535.0f), std::lround(plain.pixels[i] * 65535.0f)) << "pixel " << i;
      } else {
        ASSERT_EQ(image.pixels[i], plain.pixels[i]) << "pixel " << i;  // covered pixels keep the map's value
      }
    }
    EXPECT_EQ(meta["veldmap:nodata"], c.metadata);
    EXPECT_NE(meta["veldmap:encoding"].find("veldmap:nodata"), std::string::npos) << meta["veldmap:encoding"];
    EXPECT_EQ(Report("r.json")["veldmap:nodata"], c.report);
  }
  // Without --nodata the holes keep the map's 0, and the images say there is no no-data value.
  std::map<std::string, std::string> meta;
  Read(Path("plain.exr"), &meta);
  EXPECT_EQ(meta["veldmap:nodata"], "none");
}

TEST_F(NodataCliTest, MaskFollowsTheFormatRules) {
  ASSERT_EQ(Veldmap(Render("holes.obj", "--size 32 --mask-out " + Path("m16.png") + " --format png16")).code, 0);
  EXPECT_EQ(StoredFormat(Path("m16.png")), ImageFormat::Png16);
  ASSERT_EQ(Veldmap(Render("holes.obj", "--size 32 --kind mask -o " + Path("m.exr"))).code, 0);
  const Image a = Read(Path("m16.png")), b = Read(Path("m.exr"));
  EXPECT_EQ(a.pixels, b.pixels);
  EXPECT_GT(Ones(b), 0);
  EXPECT_LT(Ones(b), static_cast<long long>(b.pixels.size()));
}

TEST_F(NodataCliTest, CoverageAlphaComesFromTheMask) {
  ASSERT_EQ(Veldmap(Render("holes.obj", "--size 48 --mask-out " + Path("mask.png") + " --color-out " + Path("rgb.png") +
                                            " --bump-out " + Path("bump.png")))
                .code,
            0);
  const CliRun run = Veldmap(Render(
      "holes.obj", "--size 48 --coverage-alpha --color-out " + Path("rgba.png") + " --bump-out " + Path("bumpa.png")));
  ASSERT_EQ(run.code, 0) << run.output;
  const Image mask = Read(Path("mask.png")), rgb = Read(Path("rgb.png")), rgba = Read(Path("rgba.png"));
  EXPECT_EQ(rgb.channels, 3);  // unchanged unless asked for
  ASSERT_EQ(rgba.channels, 4);
  for (const auto& [plainName, alphaName] : {std::pair{"rgb.png", "rgba.png"}, std::pair{"bump.png", "bumpa.png"}}) {
    SCOPED_TRACE(alphaName);
    const Image plain = Read(Path(plainName)), withAlpha = Read(Path(alphaName));
    ASSERT_EQ(withAlpha.channels, 4);
    for (std::size_t i = 0; i < mask.pixels.size(); ++i) {
      ASSERT_EQ(withAlpha.pixels[4 * i + 3], mask.pixels[i]) << "pixel " << i;
      for (std::size_t c = 0; c < 3; ++c) ASSERT_EQ(withAlpha.pixels[4 * i + c], plain.pixels[3 * i + c]);
    }
  }
}

TEST_F(NodataCliTest, CoverageIsTheShareTheMaskCovers) {
  // A ground plane under a raised block: everything is covered, though most of it is at height 0.
  {
    std::ofstream obj(Path("stacked.obj"));
    obj << "v 0 0 0\nv 4 0 0\nv 4 4 0\nv 0 4 0\n"
        << "v 1 1 1\nv 2 1 1\nv 2 2 1\nv 1 2 1\n"
        << "f 1 2 3\nf 1 3 4\nf 5 6 7\nf 5 7 8\n";
  }
  CliRun run = Veldmap(Render("stacked.obj", "--size 64 -o " + Path("s.png") + " --report " + Path("s.json")));
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_EQ(Report("s.json")["veldmap:coverage"], 1.0);
  std::map<std::string, std::string> meta;
  Read(Path("s.png"), &meta);
  EXPECT_EQ(meta["veldmap:coverage"], "1.000000");

  // Heights of the mesh's own sign (no normalisation): a slope from z = -1 to 1 is 0 at x = 4, the
  // column of centres of a 9-pixel-wide image; a filtered render averages its taps instead.
  {
    std::ofstream obj(Path("slope.obj"));
    obj << "v 0 0 -1\nv 8 0 1\nv 8 8 1\nv 0 8 -1\nf 1 2 3\nf 1 3 4\n";
  }
  for (const std::string filter : {"", " --filter"}) {
    SCOPED_TRACE(filter);
    run = Veldmap(Render("slope.obj", "--no-normalize --u-scale 0.125 --v-scale 0.125 --width 9 --height 9" + filter +
                                          " -o " + Path("z.exr") + " --mask-out " + Path("z.png") + " --report " +
                                          Path("z.json")));
    ASSERT_EQ(run.code, 0) << run.output;
    const Image heights = Read(Path("z.exr"));
    long long zeros = 0;
    for (const float h : heights.pixels) zeros += h == 0.0f ? 1 : 0;
    EXPECT_EQ(zeros, filter.empty() ? 9 : 0);
    EXPECT_EQ(Report("z.json")["veldmap:coverage"], 1.0);
    EXPECT_EQ(Ones(Read(Path("z.png"))), 81);
  }

  // 64 pixels over 8 cells: the 2 x 2 cell hole leaves out 16 x 16 of 64 x 64 pixel centres.
  run = Veldmap(Render(
      "hole.obj", "--size 64 --mask-out " + Path("m.png") + " -o " + Path("h.png") + " --report " + Path("h.json")));
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_EQ(Report("h.json")["veldmap:coverage"], 0.9375);
  EXPECT_EQ(Ones(Read(Path("m.png"))), 64 * 64 - 16 * 16);

  // Tiles joined give the whole image's figure.
  for (int i = 1; i <= 4; ++i) {
    run = Veldmap(Render("holes.obj",
                         "--size 64 --tile " + std::to_string(i) + "/4 -o " + Path("t" + std::to_string(i) + ".exr")));
    ASSERT_EQ(run.code, 0) << run.output;
  }
  run = Veldmap("join " + Path("t1.exr") + " " + Path("t2.exr") + " " + Path("t3.exr") + " " + Path("t4.exr") + " -o " +
                Path("joined.exr"));
  ASSERT_EQ(run.code, 0) << run.output;
  ASSERT_EQ(Veldmap(Render("holes.obj", "--size 64 -o " + Path("whole.exr"))).code, 0);
  std::map<std::string, std::string> joined, whole;
  Read(Path("joined.exr"), &joined);
  Read(Path("whole.exr"), &whole);
  EXPECT_EQ(joined["veldmap:coverage"], whole["veldmap:coverage"]);
  EXPECT_NE(whole["veldmap:coverage"], "1.000000");
}

TEST_F(NodataCliTest, BadNodataIsRefusedBeforeAnyWork) {
  const struct {
    std::string args, message;
  } cases[] = {
      {"--nodata abc -o h.exr", "--nodata abc: give a number, or nan"},
      {"--nodata inf -o h.exr", "--nodata inf: give a number"},
      {"--nodata 1e39 -o h.exr", "cannot hold it: a 32-bit float holds at most"},
      {"--nodata nan --format png16 -o h.png", "cannot hold it: a 16-bit image holds only whole numbers 0..65535"},
      {"--nodata 1.5 --format png16 -o h.png", "a 16-bit image holds only whole numbers"},
      {"--nodata 65536 --format png16 -o h.png", "a 16-bit image holds only whole numbers"},
      {"--nodata -1 --format png16 -o h.png", "a 16-bit image holds only whole numbers"},
      {"--nodata 0 --format png8 -o h.png", "an 8-bit image has no level to spare"},
      {"--nodata 0 --color-out c.exr", "and none is written"},
      {"--coverage-alpha -o h.exr", "--coverage-alpha adds an alpha channel"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    fs::current_path(dir_);
    const CliRun run = Veldmap(Render("holes.obj", c.args));
    EXPECT_EQ(run.code, 2) << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(Path("h.exr")) || fs::exists(Path("h.png")) || fs::exists(Path("c.exr")));
  }
}

TEST(NodataValues, SixteenBitValuesStoreExactly) {
  // Every 16-bit code goes through the PNG writer's quantisation to itself.
  for (int code = 0; code <= 65535; ++code) {
    const float pixel = NodataPixel(ImageFormat::Png16, code);
    ASSERT_EQ(std::lround(static_cast<double>(std::fmin(std::fmax(pixel, 0.0f), 1.0f)) * 65535.0), code);
  }
  EXPECT_EQ(NodataPixel(ImageFormat::Exr, -9999.5), -9999.5f);
  EXPECT_TRUE(std::isnan(NodataPixel(ImageFormat::Exr, ParseNodata("NaN"))));
  EXPECT_TRUE(NodataProblem(ImageFormat::Exr, ParseNodata("nan")).empty());
  EXPECT_TRUE(NodataProblem(ImageFormat::Png16, 0.0).empty());
  EXPECT_FALSE(NodataProblem(ImageFormat::Png8, 0.0).empty());
  EXPECT_THROW(ParseNodata("nan(1)"), UsageError);
  EXPECT_THROW(ParseNodata("0x10"), UsageError);
  EXPECT_THROW(ParseNodata(""), UsageError);
  EXPECT_EQ(ParseNodata("-1e3"), -1000.0);
}

}  // namespace
