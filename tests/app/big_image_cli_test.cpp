// Image sizes and image options of `veldmap render`, run as a user runs it: tiles of the largest
// whole the options accept, the memory a whole would need, and the compression choices.
#include <OpenEXR/ImfCompression.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/image_io.h"
#include "app/render.h"
#include "tests/support/cli_run.h"

namespace fs = std::filesystem;

namespace {

using test_support::CliRun;
using test_support::Veldmap;

class BigImageCliTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("veldmap_big_image_" + std::to_string(::getpid()) + "_" +
                                        testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    // A unit square rising from height 0 at x = 0 to 1 at x = 1 (Y-up, as OBJ files are).
    std::ofstream(Path("slope.obj")) << "v 0 0 0\nv 1 1 0\nv 1 1 -1\nv 0 0 -1\nf 1 2 3\nf 1 3 4\n";
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  static Image Read(const std::string& path) {
    Image image;
    std::string error;
    EXPECT_TRUE(ReadImage(path, &image, nullptr, &error)) << error;
    return image;
  }

  fs::path dir_;
};

TEST_F(BigImageCliTest, TilesOfTheLargestWholeHoldThePixelsOfASmallRenderAtTheSameCentres) {
  // 65535 = 255 * 257: pixel X of the 65535-wide whole has its centre, (X + 0.5) / 65535, where
  // pixel x of a 257-wide render has its own when X = 255 x + 127. The UV angle makes both axes
  // count.
  const std::string common = "render " + Path("slope.obj") + " --uv-angle 30 --bump numerical -q";
  ASSERT_EQ(Veldmap(common + " --size 257 --height-out " + Path("small.exr") + " --bump-out " + Path("sb.exr")).code,
            0);
  const Image small = Read(Path("small.exr"));
  const Image smallBump = Read(Path("sb.exr"));
  ASSERT_EQ(small.width, 257);
  struct {
    const char* tile;
    int x0, y0, first;  // the tile's corner in the whole; the first small pixel inside it
  } cases[] = {{"2081/4096", 32767, 32767, 128}, {"4096/4096", 64510, 64510, 253}};
  int covered = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tile);
    const CliRun run = Veldmap(common + " --size 65535 --tile " + c.tile + " --height-out " + Path("t.exr") +
                               " --bump-out " + Path("tb.exr"));
    ASSERT_EQ(run.code, 0) << run.output;
    const Image tile = Read(Path("t.exr"));
    const Image tileBump = Read(Path("tb.exr"));
    ASSERT_GE(tile.width, 1023);
    ASSERT_GE(tile.height, 1023);
    int compared = 0;
    for (int y = c.first; y < c.first + 4; ++y) {
      for (int x = c.first; x < c.first + 4; ++x) {
        const int tx = 255 * x + 127 - c.x0, ty = 255 * y + 127 - c.y0;
        ASSERT_LT(tx, tile.width);
        ASSERT_LT(ty, tile.height);
        const auto at = [](const Image& image, int px, int py, int channel) {
          return image.pixels[(static_cast<std::size_t>(py) * static_cast<std::size_t>(image.width) +
                               static_cast<std::size_t>(px)) *
                                  static_cast<std::size_t>(image.channels) +
                              static_cast<std::size_t>(channel)];
        };
        // The centres agree to float rounding; the slope turns that into as little height.
        EXPECT_NEAR(at(tile, tx, ty, 0), at(small, x, y, 0), 1e-5f) << x << "," << y;
        covered += at(tile, tx, ty, 0) > 0.0f ? 1 : 0;
        // The numerical bump steps by the pixel, which is 255 times smaller in the whole: only its
        // direction, not its finite difference, can agree, and on a plane it is the same.
        for (int ch = 0; ch < 3; ++ch) EXPECT_NEAR(at(tileBump, tx, ty, ch), at(smallBump, x, y, ch), 2e-3f) << ch;
        ++compared;
      }
    }
    EXPECT_EQ(compared, 16);
  }
  // The middle tile lies on the mesh: the comparison is of heights, not of empty pixels.
  EXPECT_GE(covered, 16);
}

TEST_F(BigImageCliTest, OnlyAnExrOnStandardOutputIsRefusedForTheMemoryItsEncodedCopyNeeds) {
  // Images go to files a band of rows at a time, so no size the options accept is refused for its
  // pixels: the mesh file not existing is the first thing wrong with this command.
  CliRun run = Veldmap("render " + Path("absent.obj") + " --width 65535 --height 65535 --height-out " + Path("h.exr") +
                       " --color-out " + Path("c.exr") + " --bump-out " + Path("b.exr"));
  EXPECT_EQ(run.code, 1) << run.output;
  EXPECT_NE(run.output.find("absent.obj"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("memory"), std::string::npos) << run.output;

  // An EXR can only go to standard output whole, its line offset table last: its encoded bytes,
  // up to 16 a pixel for colour, are held, and refused when the machine cannot hold them.
  const double need = 65535.0 * 65535.0 * 16.0;
  if (static_cast<double>(UsableMemoryBytes()) > need) GTEST_SKIP() << "this machine could hold the encoded image";
  run = Veldmap("render " + Path("absent.obj") + " --width 65535 --height 65535 --kind color --format exr -o -");
  EXPECT_EQ(run.code, 1) << run.output;
  for (const char* said : {"65535x65535", "standard output", "GiB", "write it to a file", "--tile"}) {
    EXPECT_NE(run.output.find(said), std::string::npos) << said << ": " << run.output;
  }
  EXPECT_EQ(run.output.find("absent.obj"), std::string::npos) << run.output;
  const std::size_t at = run.output.find("needs ");
  ASSERT_NE(at, std::string::npos) << run.output;
  const double gib = std::strtod(run.output.c_str() + at + 6, nullptr);
  EXPECT_GE(gib * double(1u << 30), need) << run.output;
  EXPECT_LT(gib * double(1u << 30), need * 3) << run.output;
  // The same image as PNG streams to standard output like any file.
  run = Veldmap("render " + Path("absent.obj") + " --width 65535 --height 65535 --kind color --format png16 -o -");
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.output.find("absent.obj"), std::string::npos) << run.output;
}

TEST_F(BigImageCliTest, CompressionOptionsReachTheFilesAndBadOnesAreRefused) {
  const std::string render = "render " + Path("slope.obj") + " --size 64 -q ";
  // The default changed from zip to piz: the pixels are those zip, the old default, stores.
  ASSERT_EQ(Veldmap(render + "-o " + Path("default.exr")).code, 0);
  const Image reference = Read(Path("default.exr"));
  EXPECT_EQ(Imf::InputFile(Path("default.exr").c_str()).header().compression(), Imf::PIZ_COMPRESSION);
  for (const auto& [name, stored] : {std::pair{"zip", Imf::ZIP_COMPRESSION}, std::pair{"none", Imf::NO_COMPRESSION},
                                     std::pair{"zips", Imf::ZIPS_COMPRESSION}}) {
    const std::string path = Path(std::string(name) + ".exr");
    const CliRun run = Veldmap(render + "-o " + path + " --exr-compression " + name + " --threads 1");
    ASSERT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(Imf::InputFile(path.c_str()).header().compression(), stored) << name;
    EXPECT_EQ(Read(path).pixels, reference.pixels) << name;
  }
  // dwaa is the one lossy choice: close, and written as such.
  ASSERT_EQ(Veldmap(render + "-o " + Path("dwaa.exr") + " --exr-compression dwaa").code, 0);
  EXPECT_EQ(Imf::InputFile(Path("dwaa.exr").c_str()).header().compression(), Imf::DWAA_COMPRESSION);
  const Image lossy = Read(Path("dwaa.exr"));
  ASSERT_EQ(lossy.pixels.size(), reference.pixels.size());
  for (std::size_t i = 0; i < lossy.pixels.size(); ++i) ASSERT_NEAR(lossy.pixels[i], reference.pixels[i], 2e-3f) << i;
  ASSERT_EQ(Veldmap(render + "-o " + Path("l0.png") + " --format png16 --png-level 0").code, 0);
  ASSERT_EQ(Veldmap(render + "-o " + Path("l9.png") + " --format png16 --png-level 9").code, 0);
  ASSERT_EQ(Veldmap(render + "-o " + Path("def.png") + " --format png16").code, 0);
  EXPECT_EQ(Read(Path("l0.png")).pixels, Read(Path("def.png")).pixels);
  EXPECT_EQ(Read(Path("l9.png")).pixels, Read(Path("def.png")).pixels);
  EXPECT_GT(fs::file_size(Path("l0.png")), fs::file_size(Path("l9.png")));

  for (const char* bad : {"--png-level 10", "--png-level -1", "--exr-compression b44", "--exr-compression ZIP"}) {
    const CliRun run = Veldmap(render + "-o " + Path("bad.exr") + " " + bad);
    EXPECT_EQ(run.code, 2) << bad << ": " << run.output;
    EXPECT_FALSE(fs::exists(Path("bad.exr"))) << bad;
  }
  const CliRun help = Veldmap("render --help");
  for (const char* shown : {"--exr-compression", "zips", "dwaa", "lossy", "--png-level", "65535"}) {
    EXPECT_NE(help.output.find(shown), std::string::npos) << shown;
  }
}

}  // namespace
