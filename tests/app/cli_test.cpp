// The veldmap binary end to end: every command run as a user runs it, its files read back.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/image_io.h"
#include "app/mesh_io.h"
#include "app/session.h"

namespace fs = std::filesystem;

namespace {

struct CliRun {
  int code = -1;
  std::string output;  // stdout and stderr together
};

CliRun Veldmap(const std::string& args) {
  CliRun run;
  const std::string command = std::string(VELDMAP_CLI) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
  const int status = pclose(pipe);
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
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
  const CliRun run = Veldmap("render " + Path("slope.obj") + " --size 16 --height-out " + Path("h.exr") +
                          " --color-out " + Path("c.exr") + " --bump-out " + Path("b.exr") +
                          " --ramp 0:#000000,1:#ff0000 --alpha --alpha-out " + Path("a.png") + " --report " +
                          Path("r.json") + " -q");
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
  // The slope's normal is (-1, 0, 1) / sqrt 2 (the mesh normals, the default bump).
  const float* n = &bump.pixels[static_cast<std::size_t>((8 * 16 + 8) * 3)];
  EXPECT_NEAR(n[0], 0.5f - 0.5f / std::sqrt(2.0f), 1e-4f);
  EXPECT_NEAR(n[1], 0.5f, 1e-4f);
  EXPECT_NEAR(n[2], 0.5f + 0.5f / std::sqrt(2.0f), 1e-4f);
  // The numerical bump of the same slope agrees.
  ASSERT_EQ(Veldmap("render " + Path("slope.obj") + " --size 16 --bump numerical -o " + Path("n.exr") +
                    " --kind bump -q").code,
            0);
  const Image numerical = Read(Path("n.exr"));
  EXPECT_NEAR(numerical.pixels[static_cast<std::size_t>((8 * 16 + 8) * 3)], n[0], 2e-3f);
  EXPECT_NEAR(numerical.pixels[static_cast<std::size_t>((8 * 16 + 8) * 3 + 2)], n[2], 2e-3f);

  std::ifstream report(Path("r.json"));
  const std::string json((std::istreambuf_iterator<char>(report)), std::istreambuf_iterator<char>());
  EXPECT_NE(json.find("\"veldmap:z_max\": \"1\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"veldmap:coverage\": \"1.000000\""), std::string::npos) << json;
}

TEST_F(CliTest, ThreadsAndTilesGiveTheSamePixels) {
  const std::string common = "render " + Path("slope.obj") + " --size 37 --uv-angle 30 --ramp heat -q --format png16";
  ASSERT_EQ(Veldmap(common + " --threads 1 --color-out " + Path("one.png")).code, 0);
  ASSERT_EQ(Veldmap(common + " --threads 2 --color-out " + Path("two.png")).code, 0);
  EXPECT_EQ(Read(Path("one.png")).pixels, Read(Path("two.png")).pixels);
  std::string tiles;
  for (int i = 1; i <= 6; ++i) {
    const std::string tile = Path("t" + std::to_string(i) + ".png");
    ASSERT_EQ(Veldmap(common + " --tile " + std::to_string(i) + "/6 --color-out " + tile).code, 0);
    tiles += " " + tile;
  }
  const CliRun join = Veldmap("join" + tiles + " -o " + Path("joined.png") + " --format png16");
  ASSERT_EQ(join.code, 0) << join.output;
  EXPECT_EQ(Read(Path("joined.png")).pixels, Read(Path("one.png")).pixels);
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
  EXPECT_EQ(Veldmap("render " + Path("slope.obj") + " --ramp 0:#zz0000 -o " + out).code, 1);
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
  for (const char* file : {"height.png", "height.exr", "color.png", "bump.png", "preview.bmp", "report.json"}) {
    EXPECT_TRUE(fs::exists(dir_ / "demo" / file)) << file;
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
  const CliRun run = Veldmap("render " + Path("squares.obj") + " --up z --depth 10 --size 16 -o " + Path("sq.png") + " -q");
  EXPECT_EQ(run.code, 0) << run.output;
  EXPECT_TRUE(fs::exists(Path("sq.png")));

  // The same mesh against tighter limits: the remedy named is one that reduces what the index
  // takes, a lower depth while the node arena decides it, fewer faces after that.
  Mesh mesh;
  for (int i = 0; i < 600; ++i) {
    const float z = float(i) * 0.001f;
    const auto b = static_cast<DWORD>(mesh.verts.size());
    for (const Point3& p : {Point3(0, 0, z), Point3(1, 0, z), Point3(1, 1, z), Point3(0, 1, z)}) mesh.verts.push_back(p);
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
