// The veldmap binary end to end: every command run as a user runs it, its files read back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/image_io.h"
#include "app/mesh_io.h"
#include "app/session.h"
#include "tests/support/cli_run.h"

namespace fs = std::filesystem;

namespace {

using test_support::CliRun;
using test_support::Veldmap;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class CliTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("veldmap_cli_" + std::to_string(::getpid()) + "_" +
                                        testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    // A unit square rising from height 0 at x = 0 to 1 at x = 1, as two upward triangles,
    // written Y-up as OBJ files are: the host's (X, Y, Z) is the file's (x, -z, y).
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

TEST_F(CliTest, HeightColourAndBumpOfAKnownSlope) {
  const CliRun run =
      Veldmap("render " + Path("slope.obj") + " --size 16 --height-out " + Path("h.exr") + " --color-out " +
              Path("c.exr") + " --bump-out " + Path("b.exr") + " --ramp 0:#000000,1:#ff0000 --alpha --alpha-out " +
              Path("a.png") + " --report " + Path("r.json") + " -q");
  ASSERT_EQ(run.code, 0) << run.output;
  const Image height = Read(Path("h.exr"));
  const Image colour = Read(Path("c.exr"));
  const Image bump = Read(Path("b.exr"));
  const Image alpha = Read(Path("a.png"));  // 8-bit: the height in alpha, quantised
  ASSERT_EQ(height.width, 16);
  ASSERT_EQ(height.channels, 1);
  for (int x = 0; x < 16; ++x) {
    const float u = (static_cast<float>(x) + 0.5f) / 16.0f;
    EXPECT_NEAR(height.pixels[static_cast<std::size_t>(5 * 16 + x)], u, 1e-6f) << x;
    // The ramp sees the height clamped to 0.05 .. 0.95.
    EXPECT_NEAR(colour.pixels[static_cast<std::size_t>((5 * 16 + x) * 3)], std::clamp(u, 0.05f, 0.95f), 1e-6f);
    EXPECT_NEAR(alpha.pixels[static_cast<std::size_t>(5 * 16 + x)], u, 0.5f / 255.0f + 1e-6f);
  }
  // The slope's normal is (-1, 0, 1) / sqrt 2 (the mesh normals, the default bump), stored as
  // 0.5 + 0.5 n. The EXR holds our float arithmetic unrounded, so its bits are pinned: a change in
  // how the normal is encoded shows here, however small.
  const auto bits = [](const Image& image, int pixel, int channel) {
    return std::bit_cast<std::uint32_t>(image.pixels[static_cast<std::size_t>(pixel) * 3 + channel]);
  };
  const float* n = &bump.pixels[static_cast<std::size_t>((8 * 16 + 8) * 3)];
  EXPECT_NEAR(n[0], 0.5f - 0.5f / std::sqrt(2.0f), 1e-6f);
  EXPECT_EQ(n[1], 0.5f);
  EXPECT_NEAR(n[2], 0.5f + 0.5f / std::sqrt(2.0f), 1e-6f);
  for (const int pixel : {0, 8 * 16 + 8, 15 * 16 + 15}) {
    EXPECT_EQ(bits(bump, pixel, 0), 0x3E15F618u) << pixel;
    EXPECT_EQ(bits(bump, pixel, 1), 0x3F000000u) << pixel;
    // The last pixel's interpolated normal is one step of float off the others'.
    EXPECT_EQ(bits(bump, pixel, 2), pixel == 15 * 16 + 15 ? 0x3F5A8279u : 0x3F5A827Au) << pixel;
  }
  // The numerical bump of the same slope agrees inside the image.
  ASSERT_EQ(
      Veldmap("render " + Path("slope.obj") + " --size 16 --bump numerical -o " + Path("n.exr") + " --kind bump -q")
          .code,
      0);
  const Image numerical = Read(Path("n.exr"));
  EXPECT_NEAR(numerical.pixels[static_cast<std::size_t>((8 * 16 + 8) * 3)], n[0], 2e-3f);
  EXPECT_NEAR(numerical.pixels[static_cast<std::size_t>((8 * 16 + 8) * 3 + 2)], n[2], 2e-3f);
  EXPECT_EQ(bits(numerical, 8 * 16 + 8, 1), 0x3F000000u);

  std::ifstream report(Path("r.json"));
  const std::string json((std::istreambuf_iterator<char>(report)), std::istreambuf_iterator<char>());
  // Numbers as numbers.
  EXPECT_NE(json.find("\"veldmap:z_max\": 1.0,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"veldmap:coverage\": 1.0,"), std::string::npos) << json;
}

TEST_F(CliTest, ThreadsAndTilesGiveTheSamePixels) {
  // Colour through a ramp and both kinds of bump, in EXR so that every bit of every float counts.
  for (const char* bump : {"numerical", "normals"}) {
    SCOPED_TRACE(bump);
    const std::string common = "render " + Path("slope.obj") + " --size 37 --uv-angle 30 --ramp heat -q --bump " + bump;
    ASSERT_EQ(Veldmap(common + " --threads 1 --color-out " + Path("one.exr") + " --bump-out " + Path("bone.exr")).code,
              0);
    ASSERT_EQ(Veldmap(common + " --threads 2 --color-out " + Path("two.exr") + " --bump-out " + Path("btwo.exr")).code,
              0);
    EXPECT_EQ(Read(Path("one.exr")).pixels, Read(Path("two.exr")).pixels);
    EXPECT_EQ(Read(Path("bone.exr")).pixels, Read(Path("btwo.exr")).pixels);
    std::string tiles, bumpTiles;
    for (int i = 1; i <= 6; ++i) {
      const std::string tile = Path("t" + std::to_string(i) + ".exr"),
                        bumpTile = Path("b" + std::to_string(i) + ".exr");
      ASSERT_EQ(
          Veldmap(common + " --tile " + std::to_string(i) + "/6 --color-out " + tile + " --bump-out " + bumpTile).code,
          0);
      tiles += " " + tile;
      bumpTiles += " " + bumpTile;
    }
    CliRun join = Veldmap("join" + tiles + " -o " + Path("joined.exr"));
    ASSERT_EQ(join.code, 0) << join.output;
    EXPECT_EQ(Read(Path("joined.exr")).pixels, Read(Path("one.exr")).pixels);
    join = Veldmap("join" + bumpTiles + " -o " + Path("bjoined.exr"));
    ASSERT_EQ(join.code, 0) << join.output;
    EXPECT_EQ(Read(Path("bjoined.exr")).pixels, Read(Path("bone.exr")).pixels);
  }
  const std::string common = "render " + Path("slope.obj") + " --size 37 --uv-angle 30 --ramp heat -q --format png16";
  for (int i = 1; i <= 2; ++i) {
    ASSERT_EQ(
        Veldmap(common + " --tile " + std::to_string(i) + "/6 --color-out " + Path("t" + std::to_string(i) + ".png"))
            .code,
        0);
  }
  EXPECT_EQ(Veldmap("join " + Path("t1.png") + " " + Path("t2.png") + " -o " + Path("part.png")).code, 1);
}

TEST_F(CliTest, BakedSceneRendersLikeItsMeshAndExportsIt) {
  ASSERT_EQ(Veldmap("bake " + Path("slope.obj") + " -o " + Path("s.vlds") + " --depth 7 -q").code, 0);
  ASSERT_EQ(Veldmap("render " + Path("s.vlds") + " --size 20 -o " + Path("from_scene.exr") + " -q").code, 0);
  ASSERT_EQ(Veldmap("render " + Path("slope.obj") + " --size 20 -o " + Path("from_mesh.exr") + " -q").code, 0);
  EXPECT_EQ(Read(Path("from_scene.exr")).pixels, Read(Path("from_mesh.exr")).pixels);

  const CliRun info = Veldmap("info " + Path("s.vlds"));
  EXPECT_EQ(info.code, 0);
  EXPECT_NE(info.output.find("quadTreeDepth = 7"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("baked mesh: 4 vertices, 2 faces"), std::string::npos) << info.output;

  ASSERT_EQ(Veldmap("export " + Path("s.vlds") + " -o " + Path("back.ply") + " -q").code, 0);
  const ImportResult back = ImportMesh(Path("back.ply"), {});
  const ImportResult original = ImportMesh(Path("slope.obj"), {});
  ASSERT_TRUE(back.error.empty()) << back.error;
  ASSERT_EQ(back.meshes.size(), 1u);
  EXPECT_EQ(back.meshes[0].mesh.verts, original.meshes[0].mesh.verts);
  EXPECT_EQ(back.meshes[0].mesh.getNumFaces(), 2);
}

TEST_F(CliTest, BadInputIsOneLineExitOneAndLeavesNoFile) {
  const std::string out = Path("never.png");
  CliRun run = Veldmap("render " + Path("missing.obj") + " -o " + out);
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.output.find("missing.obj: no such file"), std::string::npos) << run.output;
  std::ofstream(Path("garbage.obj")) << "this is not a mesh \x01\x02\n";
  EXPECT_EQ(Veldmap("render " + Path("garbage.obj") + " -o " + out).code, 1);
  // Facing down: nothing to see from above.
  std::ofstream(Path("down.obj")) << "v 0 0 0\nv 1 0 0\nv 1 0 -1\nf 1 3 2\n";
  run = Veldmap("render " + Path("down.obj") + " -o " + out);
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.output.find("faces up"), std::string::npos) << run.output;
  // A damaged scene.
  ASSERT_EQ(Veldmap("bake " + Path("slope.obj") + " -o " + Path("s.vlds") + " -q").code, 0);
  const auto size = fs::file_size(Path("s.vlds"));
  fs::resize_file(Path("s.vlds"), size - 9);
  run = Veldmap("render " + Path("s.vlds") + " -o " + out);
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.output.find("s.vlds"), std::string::npos) << run.output;
  EXPECT_EQ(Veldmap("render " + Path("slope.obj") + " -o " + Path("x.jpg")).code, 1);
  EXPECT_EQ(Veldmap("render " + Path("slope.obj") + " --ramp 0:#zz0000 --kind color -o " + out).code, 1);
  // Usage errors.
  EXPECT_EQ(Veldmap("render").code, 2);
  EXPECT_EQ(Veldmap("render " + Path("slope.obj") + " --depth 11 -o " + out).code, 2);
  EXPECT_EQ(Veldmap("frobnicate").code, 2);
  EXPECT_FALSE(fs::exists(out));
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
  }
}

TEST_F(CliTest, InfoHelpPreviewAndDemo) {
  CliRun run = Veldmap("info " + std::string(VELDMAP_PLUGIN_DIR) + "/Veldmap.dlt");
  EXPECT_EQ(run.code, 0);
  EXPECT_NE(run.output.find("\"Veld Map\""), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("quadTreeDepth"), std::string::npos);
  run = Veldmap("help");
  EXPECT_EQ(run.code, 0);
  EXPECT_NE(run.output.find("/max4/matVeldmap/help.html"), std::string::npos) << run.output;
  run = Veldmap("render " + Path("slope.obj") + " --size 8 --preview-out " + Path("p.bmp") + " -q");
  ASSERT_EQ(run.code, 0) << run.output;
  std::ifstream bmp(Path("p.bmp"), std::ios::binary);
  char magic[2] = {};
  bmp.read(magic, 2);
  EXPECT_EQ(std::string(magic, 2), "BM");
  run = Veldmap("demo -o " + Path("demo") + " -q");
  ASSERT_EQ(run.code, 0) << run.output;
  const std::string report = ReadText((dir_ / "demo" / "report.json").string());
  for (const char* file : {"height.png", "height.exr", "color.png", "bump.png", "preview.bmp", "report.json"}) {
    EXPECT_TRUE(fs::exists(dir_ / "demo" / file)) << file;
    // The report lists every image the demo wrote.
    if (std::string(file) != "report.json") {
      EXPECT_NE(report.find((dir_ / "demo" / file).string()), std::string::npos) << file << "\n" << report;
    }
  }
}

TEST_F(CliTest, RealModelsFromTheTestModelCollection) {
  for (const char* model : {"/usr/share/assimp/models/PLY/cube.ply", "/usr/share/assimp/models/OBJ/spider.obj",
                            "/usr/share/assimp/models/glTF2/BoxTextured-glTF-Binary/BoxTextured.glb"}) {
    ASSERT_TRUE(fs::exists(model)) << model;
    const CliRun run = Veldmap(std::string("render ") + model + " --size 32 -o " + Path("m.png") + " -q");
    EXPECT_EQ(run.code, 0) << model << ": " << run.output;
  }
}

// Outputs land where the user points: through links, into devices and pipes, and to standard
// output for "-"; a device that refuses the bytes fails the command.
TEST_F(CliTest, OutputsThroughLinksDevicesAndStandardOutput) {
  const std::string render = "render " + Path("slope.obj") + " --size 8 -q ";
  ASSERT_EQ(Veldmap(render + "--format png16 -o " + Path("file.png")).code, 0);
  const Image reference = Read(Path("file.png"));

  fs::create_symlink("real.png", Path("link.png"));
  fs::create_symlink("real.json", Path("link.json"));
  CliRun run = Veldmap(render + "--format png16 -o " + Path("link.png") + " --report " + Path("link.json"));
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_TRUE(fs::is_symlink(Path("link.png")));
  EXPECT_TRUE(fs::is_symlink(Path("link.json")));
  EXPECT_EQ(Read(Path("real.png")).pixels, reference.pixels);
  EXPECT_NE(ReadText(Path("real.json")).find("\"veldmap:z_max\""), std::string::npos);

  // "-": the image or the report on standard output, through a pipe and into a file.
  run = Veldmap(render + "--format png16 -o - | cat > " + Path("piped.png"));
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_EQ(Read(Path("piped.png")).pixels, reference.pixels);
  run = Veldmap(render + "-o " + Path("h.exr") + " --report -");
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_EQ(run.output.rfind("{\n", 0), 0u) << run.output;
  EXPECT_NE(run.output.find("\"height\": \"" + Path("h.exr") + "\""), std::string::npos) << run.output;
  // /dev/stdout names a pipe here (popen's), through a link the system makes up as it opens it.
  run = Veldmap(render + "-o " + Path("h.exr") + " --report /dev/stdout");
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("\"veldmap:z_max\""), std::string::npos) << run.output;
  EXPECT_TRUE(fs::is_symlink("/dev/stdout"));
  // Two things on one standard output would be one unreadable stream.
  EXPECT_EQ(Veldmap(render + "--format png16 -o - --report -").code, 2);

  const std::string full = Path("full");
  ASSERT_EQ(::mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)), 0) << "device nodes need root";
  run = Veldmap(render + "--format png16 -o " + full);
  EXPECT_EQ(run.code, 1) << run.output;
  EXPECT_NE(run.output.find("No space left on device"), std::string::npos) << run.output;
  EXPECT_TRUE(fs::is_character_file(full));
  EXPECT_EQ(Veldmap(render + "-o " + Path("h2.exr") + " --report " + full).code, 1);
  EXPECT_TRUE(fs::is_character_file(full));
}

// A command that fails writes nothing: every output is checked before any work.
TEST_F(CliTest, AFailingCommandWritesNothing) {
  const std::string render = "render " + Path("slope.obj") + " --size 8 -q ";
  CliRun run = Veldmap(render + "-o " + Path("h.png") + " --report " + Path("nodir/r.json"));
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.output.find("nodir"), std::string::npos) << run.output;
  run = Veldmap(render + "-o " + Path("h.png") + " --color-out " + Path("nodir/c.png"));
  EXPECT_EQ(run.code, 1);
  run = Veldmap(render + "-o " + Path("h.png") + " --bump-out " + Path("b.jpg"));
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.output.find("b.jpg"), std::string::npos) << run.output;
  // The preview is a BMP; a PNG name for it is refused rather than written as the wrong type.
  run = Veldmap(render + "-o " + Path("h.png") + " --preview-out " + Path("p.png"));
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.output.find(".bmp"), std::string::npos) << run.output;
  // A folder where a file should go.
  fs::create_directories(Path("taken.png"));
  EXPECT_EQ(Veldmap(render + "-o " + Path("h.png") + " --color-out " + Path("taken.png")).code, 1);
  EXPECT_EQ(Veldmap("demo -q -o " + Path("slope.obj")).code, 1);
  EXPECT_FALSE(fs::exists(Path("h.png")));
  EXPECT_FALSE(fs::exists(Path("p.png")));
  EXPECT_EQ(fs::directory_iterator(Path("taken.png")), fs::directory_iterator());
}

TEST_F(CliTest, OptionsThatWouldDoNothingOrSomethingElseAreRefusedWithTheRange) {
  const std::string render = "render " + Path("slope.obj") + " --size 8 -q ";
  // The ramp colours the colour output (and the preview); on a height map it did nothing.
  CliRun run = Veldmap(render + "-o " + Path("c.png") + " --ramp terrain");
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.output.find("--kind color"), std::string::npos) << run.output;
  ASSERT_EQ(Veldmap(render + "-o " + Path("c.png") + " --kind color --ramp 0:#000000,1:#ff0000").code, 0);
  EXPECT_EQ(Read(Path("c.png")).channels, 3);
  // Values outside a parameter's range, or not numbers at all, are refused with the range.
  for (const char* bad : {"--u-scale 20000", "--u-scale inf", "--v-offset -10001", "--u-offset nan", "--bump-scale nan",
                          "--bump-scale inf", "--uv-angle nan", "--uv-tiling 1 inf"}) {
    run = Veldmap(render + "-o " + Path("x.png") + " " + bad);
    EXPECT_EQ(run.code, 2) << bad << ": " << run.output;
  }
  run = Veldmap(render + "-o " + Path("x.png") + " --u-scale 20000");
  EXPECT_NE(run.output.find("-10000"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("10000"), std::string::npos) << run.output;
  ASSERT_EQ(Veldmap(render + "-o " + Path("ok.exr") + " --u-scale 10000 --u-offset -10000").code, 0);
  // A size beyond what the option takes names the limit.
  run = Veldmap("render " + Path("slope.obj") + " --size 65536 -o " + Path("x.png"));
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.output.find("65535"), std::string::npos) << run.output;
  EXPECT_FALSE(fs::exists(Path("x.png")));

  run = Veldmap("render --help");
  EXPECT_EQ(run.code, 0);
  for (const char* shown : {"=512", "normals for a new map", "--wrap", "--bump-scale FLOAT=1 "}) {
    EXPECT_NE(run.output.find(shown), std::string::npos) << shown << "\n" << run.output;
  }
  run = Veldmap("--version");
  EXPECT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("veldmap 4.0.0"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("LibVersion 0x"), std::string::npos) << run.output;
}

TEST_F(CliTest, JoinKeepsTheTilesDepthAndRefusesTilesOfAnotherRender) {
  const std::string render = "render " + Path("slope.obj") + " --size 24 -q --format png16 ";
  ASSERT_EQ(Veldmap(render + "-o " + Path("whole.png")).code, 0);
  for (int i = 1; i <= 2; ++i) {
    ASSERT_EQ(Veldmap(render + "--tile " + std::to_string(i) + "/2 -o " + Path("t" + std::to_string(i) + ".png")).code,
              0);
  }
  // 16-bit tiles into a .png make a 16-bit image, pixel for pixel the whole render.
  ASSERT_EQ(Veldmap("join " + Path("t1.png") + " " + Path("t2.png") + " -o " + Path("joined.png")).code, 0);
  EXPECT_EQ(Read(Path("joined.png")).pixels, Read(Path("whole.png")).pixels);
  ImageMetadata meta;
  Image joined;
  std::string error;
  ASSERT_TRUE(ReadImage(Path("joined.png"), &joined, &meta, &error)) << error;
  for (const auto& [key, value] : meta.entries) {
    EXPECT_NE(key, "veldmap:tile");
    if (key == "veldmap:coverage") {
      EXPECT_EQ(value, "1.000000");
    }
  }

  // Tile 2 of a different mesh, of another size, with other options or another depth.
  std::ofstream(Path("tall.obj")) << "v 0 0 0\nv 1 3 0\nv 1 3 -1\nv 0 0 -1\nf 1 2 3\nf 1 3 4\n";
  ASSERT_EQ(
      Veldmap("render " + Path("tall.obj") + " --size 24 -q --format png16 --tile 2/2 -o " + Path("other.png")).code,
      0);
  ASSERT_EQ(Veldmap(render + "--depth 7 --tile 2/2 -o " + Path("depth.png")).code, 0);
  ASSERT_EQ(Veldmap(render + "--width 25 --tile 2/2 -o " + Path("wide.png")).code, 0);
  ASSERT_EQ(
      Veldmap("render " + Path("slope.obj") + " --size 24 -q --format png8 --tile 2/2 -o " + Path("eight.png")).code,
      0);
  for (const char* odd : {"other.png", "depth.png", "wide.png", "eight.png"}) {
    const CliRun run = Veldmap("join " + Path("t1.png") + " " + Path(odd) + " -o " + Path("bad.png"));
    EXPECT_EQ(run.code, 1) << odd;
    EXPECT_NE(run.output.find(odd), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(Path("bad.png"))) << odd;
  }
}

// One image of a mesh does not repeat: the derivative at the last column must not reach round to
// the first one, nor read nothing past the edge. Passes once the UV generator takes one-sided
// differences at an edge that does not repeat.
TEST_F(CliTest, BorderPixelsOfANumericalBumpMatchTheirNeighbours) {
  ASSERT_EQ(Veldmap("render " + Path("slope.obj") + " --size 64 --bump numerical -q --bump-out " + Path("b.exr")).code,
            0);
  const Image bump = Read(Path("b.exr"));
  ASSERT_EQ(bump.width, 64);
  auto at = [&](int x, int y, int c) { return bump.pixels[(static_cast<std::size_t>(y) * 64 + x) * 3 + c]; };
  for (int i = 0; i < 64; ++i) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(at(0, i, c), at(1, i, c), 1e-3f) << "left, row " << i << " channel " << c;
      EXPECT_NEAR(at(63, i, c), at(62, i, c), 1e-3f) << "right, row " << i << " channel " << c;
      EXPECT_NEAR(at(i, 0, c), at(i, 1, c), 1e-3f) << "top, column " << i << " channel " << c;
      EXPECT_NEAR(at(i, 63, c), at(i, 62, c), 1e-3f) << "bottom, column " << i << " channel " << c;
    }
  }
  // Asked for, the map repeats: the left column's derivative reaches across to the right edge.
  ASSERT_EQ(
      Veldmap("render " + Path("slope.obj") + " --size 64 --bump numerical --wrap -q --bump-out " + Path("w.exr")).code,
      0);
  const Image wrapped = Read(Path("w.exr"));
  EXPECT_GT(std::fabs(wrapped.pixels[std::size_t{32 * 64 + 63} * 3] - wrapped.pixels[std::size_t{32 * 64 + 62} * 3]),
            0.1f);
}

TEST_F(CliTest, MemoryGuardWeighsTheIndexTheMapBuilds) {
  // 600 stacked squares (1,200 faces over the whole square) at the greatest depth: the index is
  // a few megabytes whatever the depth, so the mesh renders.
  {
    std::ofstream squares(Path("squares.obj"));
    for (int i = 0; i < 600; ++i) {
      const double z = i * 0.001;
      squares << "v 0 0 " << z << "\nv 1 0 " << z << "\nv 1 1 " << z << "\nv 0 1 " << z << "\n";
    }
    for (int i = 0; i < 600; ++i) {
      const int b = 4 * i + 1;
      squares << "f " << b << " " << b + 1 << " " << b + 2 << "\nf " << b << " " << b + 2 << " " << b + 3 << "\n";
    }
  }
  const CliRun run =
      Veldmap("render " + Path("squares.obj") + " --up z --depth 10 --size 16 -o " + Path("sq.png") + " -q");
  EXPECT_EQ(run.code, 0) << run.output;
  EXPECT_TRUE(fs::exists(Path("sq.png")));

  // The same mesh against tighter limits: the remedy named is one that reduces what the index
  // takes, a lower depth while the node arena decides it, fewer faces after that.
  Mesh mesh;
  for (int i = 0; i < 600; ++i) {
    const float z = float(i) * 0.001f;
    const auto b = static_cast<DWORD>(mesh.verts.size());
    for (const Point3& p : {Point3(0, 0, z), Point3(1, 0, z), Point3(1, 1, z), Point3(0, 1, z)})
      mesh.verts.push_back(p);
    Face a, c;
    a.setVerts(b, b + 1, b + 2);
    c.setVerts(b, b + 2, b + 3);
    mesh.faces.push_back(a);
    mesh.faces.push_back(c);
  }
  const IndexCost cost = MapIndexCost(mesh, {}, 10);
  EXPECT_EQ(cost.upwardFaces, 1200);
  EXPECT_LT(cost.bytes, std::uint64_t{64} << 20);
  EXPECT_GT(cost.nodeBytes, std::uint64_t{1} << 20);
  EXPECT_TRUE(IndexBudgetProblem(mesh, {}, 10, cost.bytes).empty());
  const std::string tight = IndexBudgetProblem(mesh, {}, 10, cost.bytes - 1);
  EXPECT_NE(tight.find("try --depth 9"), std::string::npos) << tight;
  const std::string tighter = IndexBudgetProblem(mesh, {}, 10, (cost.bytes - cost.nodeBytes) / 2);
  EXPECT_EQ(tighter.find("--depth"), std::string::npos) << tighter;
  EXPECT_NE(tighter.find("fewer than about"), std::string::npos) << tighter;
}

}  // namespace

namespace {

// A grid terrain of side x side quads (two upward faces each) as Z-up OBJ text.
void WriteGridObj(const std::string& path, int side) {
  std::ofstream obj(path);
  for (int y = 0; y <= side; ++y) {
    for (int x = 0; x <= side; ++x) obj << "v " << x << " " << y << " " << std::sin(0.1 * (x + 2 * y)) << "\n";
  }
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const int a = y * (side + 1) + x + 1, b = a + 1, c = a + side + 2, d = a + side + 1;
      obj << "f " << a << " " << b << " " << c << "\nf " << a << " " << c << " " << d << "\n";
    }
  }
}

// The number after "key": in a report, or -1 when the report has none.
double ReportNumber(const std::string& json, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\": ");
  if (at == std::string::npos) return -1.0;
  return std::strtod(json.c_str() + at + key.size() + 4, nullptr);
}

TEST_F(CliTest, ReportGivesPeakMemoryThatGrowsWithTheMesh) {
  struct Measured {
    double peak, perFace;
  };
  const auto measure = [this](int side) -> Measured {
    const std::string mesh = Path("grid" + std::to_string(side) + ".obj");
    const std::string report = Path("grid" + std::to_string(side) + ".json");
    WriteGridObj(mesh, side);
    const CliRun run =
        Veldmap("render " + mesh + " --up z --size 16 -o " + Path("g.png") + " --report " + report + " -q");
    EXPECT_EQ(run.code, 0) << run.output;
    const std::string json = ReadText(report);
    return {ReportNumber(json, "peak_rss_bytes"), ReportNumber(json, "peak_rss_bytes_per_face")};
  };
  const Measured small = measure(100);
  const Measured large = measure(400);
  for (const auto& [m, faces] : {std::pair{small, 2.0 * 100 * 100}, std::pair{large, 2.0 * 400 * 400}}) {
    // At least the mesh itself (12 bytes a vertex, 20 a face) is held at once, and nothing
    // near the machine's whole memory.
    EXPECT_GT(m.peak, faces * 20.0 + faces / 2 * 12.0);
    EXPECT_LT(m.peak, 16.0 * (1ull << 30));
    EXPECT_NEAR(m.perFace, m.peak / faces, 0.1);
  }
  // Each face costs the import, the node, the map's copy and its index: far more than 40 bytes.
  EXPECT_GT(large.peak - small.peak, 40.0 * 2 * (400 * 400 - 100 * 100));
}

}  // namespace
