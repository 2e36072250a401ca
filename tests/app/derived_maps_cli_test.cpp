// Slope, hillshade and the normal map's convention, run as users run `veldmap render`. The slope
// and hillshade are held to GDAL's `gdaldem`, run on a raster of our own heights of the same
// mesh in its own units, and to tilted planes whose answers are known for any pixel shape.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <numbers>
#include <string>
#include <vector>

#include "app/image_io.h"
#include "tests/support/cli_files.h"
#include "tests/support/cli_run.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

using test_support::CliRun;
using test_support::RunProgram;
using test_support::Veldmap;

// A hill with ripples over X 100..400 and Y -50..150 in cells of 2.5 (two triangles each), Z
// about 25 to 115: relief in real units, an extent that is neither square nor at the origin.
void WriteHillObj(const std::string& path) {
  std::ofstream obj(path);
  constexpr int kCols = 120, kRows = 80;
  for (int j = 0; j <= kRows; ++j) {
    for (int i = 0; i <= kCols; ++i) {
      const double x = 100.0 + 2.5 * i, y = -50.0 + 2.5 * j;
      const double r2 = (x - 250.0) * (x - 250.0) + (y - 50.0) * (y - 50.0);
      const double z =
          30.0 + 80.0 * std::exp(-r2 / (2.0 * 60.0 * 60.0)) + 5.0 * std::sin(x / 17.0) * std::cos(y / 23.0);
      obj << "v " << x << " " << y << " " << z << "\n";
    }
  }
  for (int j = 0; j < kRows; ++j) {
    for (int i = 0; i < kCols; ++i) {
      const int a = j * (kCols + 1) + i + 1, b = a + 1, c = a + kCols + 2, d = a + kCols + 1;
      obj << "f " << a << " " << b << " " << c << "\nf " << a << " " << c << " " << d << "\n";
    }
  }
}

// A raster as an ESRI ASCII grid: rows from the top.
struct Grid {
  int cols = 0, rows = 0;
  std::vector<double> values;
  double At(int x, int y) const {
    return values[static_cast<std::size_t>(y) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(x)];
  }
};

Grid ReadAsciiGrid(const std::string& path) {
  Grid grid;
  std::ifstream in(path);
  std::string word;
  while (in >> word) {
    if (std::isalpha(static_cast<unsigned char>(word[0])) == 0) {
      grid.values.push_back(std::stod(word));
      break;
    }
    std::string value;
    in >> value;
    std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
    if (word == "ncols") grid.cols = std::stoi(value);
    if (word == "nrows") grid.rows = std::stoi(value);
  }
  double value = 0;
  while (in >> value) grid.values.push_back(value);
  EXPECT_EQ(grid.values.size(), static_cast<std::size_t>(grid.cols) * static_cast<std::size_t>(grid.rows)) << path;
  return grid;
}

class DerivedMapsCliTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test_support::MakeTempFolder("veldmap_derived_");
    WriteHillObj(Path("hill.obj"));
    // z = 5 + 0.3 x - 0.2 y over X 0..20, Y 0..10.
    std::ofstream(Path("plane.obj")) << "v 0 0 5\nv 20 0 11\nv 20 10 9\nv 0 10 3\nf 1 2 3\nf 1 3 4\n";
    // The plane wound both ways: a placement that mirrors it in UV turns the second pair up.
    std::ofstream(Path("mirror.obj"))
        << "v 0 0 5\nv 20 0 11\nv 20 10 9\nv 0 10 3\nf 1 2 3\nf 1 3 4\nf 1 3 2\nf 1 4 3\n";
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
  static float At(const Image& image, int x, int y, int channel = 0) {
    return image
        .pixels[(static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) + static_cast<std::size_t>(x)) *
                    static_cast<std::size_t>(image.channels) +
                static_cast<std::size_t>(channel)];
  }
  // gdaldem MODE on the grid, read back as an ASCII grid.
  Grid Gdaldem(const std::string& mode, const std::string& input, const std::string& args) const {
    const std::string tif = Path(mode + ".tif"), asc = Path(mode + "_gdal.asc");
    const CliRun run = RunProgram("gdaldem", mode + " -q " + args + " " + input + " " + tif);
    EXPECT_EQ(run.code, 0) << run.output;
    const CliRun back = RunProgram("gdal_translate", "-q -of AAIGrid " + tif + " " + asc);
    EXPECT_EQ(back.code, 0) << back.output;
    return ReadAsciiGrid(asc);
  }

  fs::path dir_;
};

TEST_F(DerivedMapsCliTest, SlopeAndHillshadeAgreeWithGdaldemOnOurOwnHeights) {
  if (RunProgram("command", "-v gdaldem").code != 0) GTEST_SKIP() << "gdaldem (Debian gdal-bin) is not installed";
  // 2 units a pixel over 300 x 200: 150 x 100 square pixels, heights in the mesh's units.
  const CliRun run = Veldmap(Render("hill.obj", "--pixel-size 2 --heights metres -o " + Path("z.exr") +
                                                    " --slope-out " + Path("slope.exr") + " --hillshade-out " +
                                                    Path("shade.exr") + " --report " + Path("r.json")));
  ASSERT_EQ(run.code, 0) << run.output;
  const nlohmann::json report = Report("r.json");
  ASSERT_EQ(report["veldmap:region"], nlohmann::json::array({100, -50, 400, 150}));
  EXPECT_EQ(report["veldmap:light"]["azimuth"], 315.0);
  EXPECT_EQ(report["veldmap:light"]["altitude"], 45.0);
  std::map<std::string, std::string> meta;
  const Image z = Read(Path("z.exr"));
  const Image slope = Read(Path("slope.exr"), &meta);
  const Image shade = Read(Path("shade.exr"));
  ASSERT_EQ(z.width, 150);
  ASSERT_EQ(z.height, 100);
  EXPECT_NE(meta["veldmap:encoding"].find("degrees"), std::string::npos);

  // Our float heights as a raster GDAL reads, placed where the mesh is.
  {
    std::ofstream asc(Path("z.asc"));
    asc << "ncols 150\nnrows 100\nxllcorner 100\nyllcorner -50\ncellsize 2\nNODATA_value -9999\n";
    char number[32];
    for (int y = 0; y < z.height; ++y) {
      for (int x = 0; x < z.width; ++x) {
        std::snprintf(number, sizeof number, "%.9g ", static_cast<double>(At(z, x, y)));
        asc << number;
      }
      asc << "\n";
    }
  }
  const Grid gdalSlope = Gdaldem("slope", Path("z.asc"), "");
  const Grid gdalShade = Gdaldem("hillshade", Path("z.asc"), "");
  ASSERT_EQ(gdalSlope.cols, 150);
  ASSERT_EQ(gdalShade.rows, 100);
  // Away from the border (gdaldem leaves it without a value): the same slope to float rounding of
  // the heights, and the same hillshade level but where the two roundings straddle a half.
  double steepest = 0.0, worstSlope = 0.0;
  int shadesEqual = 0, interior = 0;
  for (int y = 1; y < 99; ++y) {
    for (int x = 1; x < 149; ++x) {
      ++interior;
      steepest = std::max(steepest, static_cast<double>(At(slope, x, y)));
      worstSlope = std::max(worstSlope, std::fabs(At(slope, x, y) - gdalSlope.At(x, y)));
      const double shadeDiff = std::fabs(At(shade, x, y) - gdalShade.At(x, y));
      ASSERT_LE(shadeDiff, 1.0) << x << "," << y;
      shadesEqual += shadeDiff == 0.0 ? 1 : 0;
    }
  }
  EXPECT_GT(steepest, 30.0);  // real relief, not level ground that agrees trivially
  EXPECT_LE(worstSlope, 1e-3);
  EXPECT_GE(shadesEqual, interior * 999 / 1000);

  // Another light, both ways.
  ASSERT_EQ(
      Veldmap(Render("hill.obj", "--pixel-size 2 --azimuth 135 --altitude 30 --hillshade-out " + Path("shade135.exr")))
          .code,
      0);
  const Image shade135 = Read(Path("shade135.exr"));
  const Grid gdalShade135 = Gdaldem("hillshade", Path("z.asc"), "-az 135 -alt 30");
  int differ = 0;
  for (int y = 1; y < 99; ++y) {
    for (int x = 1; x < 149; ++x) {
      ASSERT_LE(std::fabs(At(shade135, x, y) - gdalShade135.At(x, y)), 1.0) << x << "," << y;
      differ += At(shade135, x, y) != At(shade, x, y) ? 1 : 0;
    }
  }
  EXPECT_GT(differ, interior / 2);  // the light did move

  // In PNG: the slope as 65535 for 90 degrees in 16 bits, the hillshade's levels themselves in 8.
  ASSERT_EQ(Veldmap(Render("hill.obj", "--pixel-size 2 --format png16 --slope-out " + Path("slope16.png"))).code, 0);
  ASSERT_EQ(Veldmap(Render("hill.obj", "--pixel-size 2 --hillshade-out " + Path("shade8.png"))).code, 0);
  meta.clear();
  const Image slope16 = Read(Path("slope16.png"), &meta);
  EXPECT_NE(meta["veldmap:encoding"].find("/ 90"), std::string::npos) << meta["veldmap:encoding"];
  const Image shade8 = Read(Path("shade8.png"));
  for (std::size_t i = 0; i < slope.pixels.size(); ++i) {
    ASSERT_NEAR(slope16.pixels[i] * 90.0f, slope.pixels[i], 90.0f / 65535.0f) << i;
    ASSERT_EQ(std::lround(shade8.pixels[i] * 255.0f), std::lround(shade.pixels[i])) << i;
  }
}

TEST_F(DerivedMapsCliTest, PlanesHaveTheirSlopeForAnyPixelShapeRegionOrMirroring) {
  // The plane z = 5 + 0.3 x - 0.2 y rises 19.83 degrees; lit from 315 at 45 degrees its level
  // is 1 + 254 cos, with cos the light's direction on its normal.
  const double expectedSlope = std::atan(std::hypot(0.3, 0.2)) * 180.0 / std::numbers::pi;
  const double r = std::sqrt(0.5);
  const double cosine = (0.3 * r * r + 0.2 * r * r + r) / std::sqrt(1.0 + 0.09 + 0.04);
  const double expectedShade = std::floor(1.0 + 254.0 * cosine + 0.5);
  struct Case {
    std::string mesh, args;
    int width, height;
  } cases[] = {
      {"plane.obj", "--width 64 --height 16", 64, 16},                // pixels 0.3125 wide, 0.625 tall
      {"plane.obj", "--region 5,2,15,8 --size 50", 50, 30},           // a rectangle of the mesh, square pixels
      {"mirror.obj", "--u-scale -1 --u-offset 1 --size 40", 40, 20},  // +X runs to the left of the image
      {"mirror.obj", "--v-scale -1 --v-offset 1 --size 40", 40, 20},  // and here +Y runs down it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const CliRun run =
        Veldmap(Render(c.mesh, c.args + " --slope-out " + Path("s.exr") + " --hillshade-out " + Path("h.exr")));
    ASSERT_EQ(run.code, 0) << run.output;
    const Image slope = Read(Path("s.exr"));
    const Image shade = Read(Path("h.exr"));
    ASSERT_EQ(slope.width, c.width);
    ASSERT_EQ(slope.height, c.height);
    // Every pixel, the border too: past the image's edge the ground goes on in a straight line.
    for (int y = 0; y < slope.height; ++y) {
      for (int x = 0; x < slope.width; ++x) {
        ASSERT_NEAR(At(slope, x, y), expectedSlope, 1e-3) << x << "," << y;
        ASSERT_EQ(At(shade, x, y), expectedShade) << x << "," << y;
      }
    }
  }
}

TEST_F(DerivedMapsCliTest, OptionsWithNothingToActOnOrNoUnitsAreRefusedBeforeAnyWork) {
  struct Case {
    std::string args;
    int code;
  } cases[] = {
      {"--azimuth 200 -o " + Path("out.png"), 2},  // no hillshade to light
      {"--altitude 30 --slope-out " + Path("out.png"), 2},
      {"--altitude 91 --hillshade-out " + Path("out.png"), 2},
      {"--azimuth -1 --hillshade-out " + Path("out.png"), 2},
      {"--azimuth nan --hillshade-out " + Path("out.png"), 2},
      {"--normal-convention dx -o " + Path("out.png"), 2},  // no normal map
      {"--normal-convention up --bump-out " + Path("out.png"), 2},
      // A turned or repeated image covers no one rectangle of the mesh: no units for a slope.
      {"--uv-angle 30 --slope-out " + Path("out.png"), 1},
      {"--wrap --uv-tiling 2 2 --hillshade-out " + Path("out.png"), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const CliRun run = Veldmap(Render("plane.obj", "--size 16 " + c.args));
    EXPECT_EQ(run.code, c.code) << run.output;
    EXPECT_FALSE(fs::exists(Path("out.png")));
  }
  const CliRun help = Veldmap("render --help");
  for (const char* option : {"--slope-out", "--hillshade-out", "--azimuth", "--altitude", "--normal-convention"}) {
    EXPECT_NE(help.output.find(option), std::string::npos) << option;
  }
}

TEST_F(DerivedMapsCliTest, DirectXNormalsAreOpenGLsWithGreenFlipped) {
  for (const std::string bump : {"numerical", "normals"}) {
    SCOPED_TRACE(bump);
    const std::string args = "--size 48 --bump " + bump + " --bump-out ";
    ASSERT_EQ(Veldmap(Render("hill.obj", args + Path("default.exr"))).code, 0);
    ASSERT_EQ(Veldmap(Render("hill.obj", args + Path("gl.exr") + " --normal-convention gl")).code, 0);
    const CliRun run =
        Veldmap(Render("hill.obj", args + Path("dx.exr") + " --normal-convention dx --report " + Path("dx.json")));
    ASSERT_EQ(run.code, 0) << run.output;
    std::map<std::string, std::string> glMeta, dxMeta;
    const Image gl = Read(Path("gl.exr"), &glMeta);
    const Image dx = Read(Path("dx.exr"), &dxMeta);
    EXPECT_EQ(Read(Path("default.exr")).pixels, gl.pixels);  // gl is the default
    ASSERT_EQ(gl.channels, 3);
    ASSERT_EQ(dx.pixels.size(), gl.pixels.size());
    float greenest = 0.0f;
    for (int y = 0; y < gl.height; ++y) {
      for (int x = 0; x < gl.width; ++x) {
        ASSERT_EQ(At(dx, x, y, 0), At(gl, x, y, 0)) << x << "," << y;
        ASSERT_EQ(At(dx, x, y, 1), 1.0f - At(gl, x, y, 1)) << x << "," << y;
        ASSERT_EQ(At(dx, x, y, 2), At(gl, x, y, 2)) << x << "," << y;
        greenest = std::max(greenest, std::fabs(At(gl, x, y, 1) - 0.5f));
      }
    }
    EXPECT_GT(greenest, 0.05f);  // the hill tilts the normals along Y, so the flip shows
    EXPECT_EQ(glMeta["veldmap:normal_convention"], "gl");
    EXPECT_EQ(dxMeta["veldmap:normal_convention"], "dx");
    EXPECT_NE(dxMeta["veldmap:encoding"].find("dx"), std::string::npos) << dxMeta["veldmap:encoding"];
    EXPECT_EQ(Report("dx.json")["veldmap:normal_convention"], "dx");
  }
}

}  // namespace
