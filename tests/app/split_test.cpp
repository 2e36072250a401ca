// A bake cut into shards: each shard answers every point its tile samples exactly as the whole
// mesh does, shard-by-shard renders join into the whole render bit for bit, and join refuses a set
// of tiles that is not one render's.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/image_io.h"
#include "app/render.h"
#include "app/shards.h"
#include "sampler/surface_sampler.h"
#include "tests/support/cli_run.h"

namespace fs = std::filesystem;

namespace {

// ---- In process: the shards' samplers against the whole mesh's ----

// A coarse rolling height field of large faces (each crosses several tiles), overlapping floating
// triangles at random heights, some facing down, with mixed smoothing groups, so ties, covered
// faces and normals across shard borders all occur.
Mesh RandomMesh(std::uint32_t seed, int grid, int floating) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  Mesh mesh;
  for (int j = 0; j <= grid; ++j) {
    for (int i = 0; i <= grid; ++i) {
      mesh.verts.emplace_back(-3.0f + 7.0f * static_cast<float>(i) / static_cast<float>(grid),
                              2.0f + 5.0f * static_cast<float>(j) / static_cast<float>(grid), 4.0f * unit(random));
    }
  }
  const auto at = [grid](int i, int j) { return static_cast<DWORD>(j * (grid + 1) + i); };
  for (int j = 0; j < grid; ++j) {
    for (int i = 0; i < grid; ++i) {
      Face a, b;
      a.v[0] = at(i, j), a.v[1] = at(i + 1, j), a.v[2] = at(i + 1, j + 1);
      b.v[0] = at(i, j), b.v[1] = at(i + 1, j + 1), b.v[2] = at(i, j + 1);
      a.smGroup = (i + j) % 3 == 0 ? 2u : 1u;
      b.smGroup = 1u;
      mesh.faces.push_back(a);
      mesh.faces.push_back(b);
    }
  }
  for (int k = 0; k < floating; ++k) {
    const auto first = static_cast<DWORD>(mesh.verts.size());
    for (int c = 0; c < 3; ++c) {
      mesh.verts.emplace_back(-3.0f + 7.0f * unit(random), 2.0f + 5.0f * unit(random), 5.0f * unit(random));
    }
    Face f;
    f.v[0] = first, f.v[1] = first + 1, f.v[2] = first + 2;
    f.smGroup = k % 4 == 0 ? 0u : 1u << (k % 3);
    mesh.faces.push_back(f);
    // Some share a vertex with the height field, so their normals reach across it.
    if (k % 5 == 0) {
      Face g = f;
      g.v[2] = at(k % (grid + 1), (k / 2) % (grid + 1));
      g.smGroup = 1u;
      mesh.faces.push_back(g);
    }
  }
  return mesh;
}

void Configure(SurfaceSampler& sampler, const Placement& p) {
  sampler.normalizeMesh = p.normalize ? 1 : 0;
  sampler.uOffset = p.uOffset;
  sampler.vOffset = p.vOffset;
  sampler.uScale = p.uScale;
  sampler.vScale = p.vScale;
}

struct Answer {
  bool hit = false;
  std::uint32_t height = 0, nx = 0, ny = 0, nz = 0;
  bool operator==(const Answer&) const = default;
};

Answer Ask(const SurfaceSampler& sampler, float u, float v) {
  Answer a;
  float h = 0.0f;
  a.hit = sampler.HeightAt(Point3(u, v, 0.0f), h);
  Point3 n;
  sampler.NormalAt(Point3(u, v, 0.0f), n);
  a.height = a.hit ? std::bit_cast<std::uint32_t>(h) : 0;
  a.nx = std::bit_cast<std::uint32_t>(n.x);
  a.ny = std::bit_cast<std::uint32_t>(n.y);
  a.nz = std::bit_cast<std::uint32_t>(n.z);
  return a;
}

// Every pixel centre of every tile, and the points its filter and derivative steps reach, asked
// of the tile's shard and of the whole mesh. Returns the share of faces the largest shard kept.
double ExpectShardsAnswerAsTheWhole(const Mesh& mesh, const Placement& placement, int width, int height, TileGrid grid,
                                    int* emptyShards) {
  SurfaceSampler whole;
  Configure(whole, placement);
  whole.Rebuild(mesh);
  const ShardCutter cutter(mesh, placement, width, height, grid);
  const float step = std::fmax(0.5f / static_cast<float>(width), 1.0f / 1024.0f);
  const float half = 0.5f / static_cast<float>(width);
  // The slope and hillshade also read the next pixel out, and with --filter its taps.
  const float beyond = 3.0f * half;
  const float offsets[] = {0.0f, -half, half, -step, step, -step - half, step + half, -beyond, beyond};
  int mismatches = 0, hits = 0;
  std::size_t largest = 0;
  *emptyShards = 0;
  for (int t = 0; t < cutter.TileCount(); ++t) {
    const Mesh shardMesh = cutter.Shard(t);
    largest = std::max(largest, shardMesh.faces.size());
    if (shardMesh.faces.empty()) ++*emptyShards;
    SurfaceSampler shard;
    Configure(shard, placement);
    shard.Rebuild(shardMesh);
    const Tile tile = cutter.PixelTile(t);
    for (int y = tile.y0; y < tile.y0 + tile.height; ++y) {
      for (int x = tile.x0; x < tile.x0 + tile.width; ++x) {
        const float u = (static_cast<float>(x) + 0.5f) / static_cast<float>(width);
        const float v = 1.0f - (static_cast<float>(y) + 0.5f) / static_cast<float>(height);
        for (const float du : offsets) {
          for (const float dv : {0.0f, -half, half, -step, step, -beyond, beyond}) {
            const Answer expected = Ask(whole, u + du, v + dv), got = Ask(shard, u + du, v + dv);
            hits += expected.hit ? 1 : 0;
            if (!(expected == got) && ++mismatches <= 5) {
              ADD_FAILURE() << "tile " << t + 1 << " pixel " << x << "," << y << " offset " << du << "," << dv
                            << ": whole hit " << expected.hit << " height " << expected.height << ", shard hit "
                            << got.hit << " height " << got.height;
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_GT(hits, 0) << "the placement put nothing in the image: the comparison proves nothing";
  return static_cast<double>(largest) / static_cast<double>(mesh.faces.size());
}

TEST(ShardCutter, ShardsAnswerEveryPointTheirTileSamplesAsTheWholeMesh) {
  int empty = 0;
  // Normalised, default placement: large faces across a 4 x 4 cut.
  ExpectShardsAnswerAsTheWhole(RandomMesh(1, 6, 40), {}, 64, 48, {4, 4}, &empty);
  // Scaled past the square, shifted and mirrored in U (which reverses the winding): faces the
  // whole mesh indexes reach tiles through the placement only.
  Placement moved;
  moved.uScale = -1.7f;
  moved.uOffset = 1.3f;
  moved.vScale = 0.6f;
  moved.vOffset = 0.25f;
  ExpectShardsAnswerAsTheWhole(RandomMesh(2, 5, 30), moved, 40, 40, {3, 5}, &empty);
  // Not normalised: the mesh's own coordinates, shrunk into the square.
  Placement raw;
  raw.normalize = false;
  raw.uScale = 0.12f;
  raw.vScale = 0.1f;
  raw.uOffset = 0.4f;
  ExpectShardsAnswerAsTheWhole(RandomMesh(3, 8, 20), raw, 50, 30, {2, 3}, &empty);
  // Shrunk into one corner: most tiles see no face, and their shards are empty.
  Placement corner;
  corner.uScale = 0.3f;
  corner.vScale = 0.3f;
  ExpectShardsAnswerAsTheWhole(RandomMesh(4, 4, 10), corner, 30, 30, {3, 3}, &empty);
  EXPECT_GE(empty, 4);
}

TEST(ShardCutter, SmallFacesAreCutAwayAndTheBoxIsKept) {
  // A fine grid: each of 4 x 4 tiles needs little more than its own sixteenth of the faces and
  // the two pixels round it that its slope and filter reach: (20 / 64)^2 = 0.098 of them.
  const Mesh mesh = RandomMesh(5, 64, 0);
  int empty = 0;
  const double largest = ExpectShardsAnswerAsTheWhole(mesh, {}, 64, 64, {4, 4}, &empty);
  EXPECT_LT(largest, 0.125);
  EXPECT_EQ(empty, 0);
  // The last two vertices of a shard are the whole mesh's box corners, used by no face.
  const ShardCutter cutter(mesh, {}, 64, 64, {4, 4});
  Mesh shard = cutter.Shard(5);
  Mesh copy = mesh;
  copy.buildBoundingBox();
  shard.buildBoundingBox();
  EXPECT_EQ(shard.getBoundingBox().Min(), copy.getBoundingBox().Min());
  EXPECT_EQ(shard.getBoundingBox().Max(), copy.getBoundingBox().Max());
  const auto corners = static_cast<DWORD>(shard.verts.size() - 2);
  for (const Face& f : shard.faces) {
    for (const DWORD v : f.v) EXPECT_LT(v, corners);
  }
}

// More faces than the cutter reads at a time: the blocks of faces that use no vertex marked for a
// tile are passed over for its shard, which must still answer as the whole mesh does.
TEST(ShardCutter, AMeshOfManyBlocksOfFacesIsCutAlike) {
  int empty = 0;
  ExpectShardsAnswerAsTheWhole(RandomMesh(6, 150, 30), {}, 64, 64, {4, 4}, &empty);
  // Turned half round (mirrored in U and V, so faces still face up): the last blocks' faces land
  // in the first tiles.
  Placement turned;
  turned.uScale = -1.0f;
  turned.uOffset = 1.0f;
  turned.vScale = -1.0f;
  turned.vOffset = 1.0f;
  ExpectShardsAnswerAsTheWhole(RandomMesh(7, 130, 0), turned, 48, 48, {5, 3}, &empty);
}

TEST(ShardCutter, GridTextAndHash) {
  TileGrid grid;
  std::string error;
  EXPECT_TRUE(ParseTileGrid("3x4", &grid, &error));
  EXPECT_EQ(grid.rows, 3);
  EXPECT_EQ(grid.cols, 4);
  for (const char* bad : {"", "3", "0x2", "2x", "x2", "2x2x", "-1x3", "2 x 2", "99999x1"}) {
    EXPECT_FALSE(ParseTileGrid(bad, &grid, &error)) << bad;
  }
  const fs::path file = fs::temp_directory_path() / ("veldmap_split_hash_" + std::to_string(::getpid()));
  std::ofstream(file, std::ios::binary) << "abc";
  std::string hex;
  ASSERT_TRUE(HashFile(file.string(), &hex, &error)) << error;
  EXPECT_EQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  fs::remove(file);
  EXPECT_FALSE(HashFile(file.string(), &hex, &error));
}

// ---- End to end: the veldmap binary ----

using test_support::CliRun;
using test_support::Veldmap;

std::string HashOf(const std::string& path) {
  std::string hex, error;
  EXPECT_TRUE(HashFile(path, &hex, &error)) << error;
  return hex;
}

class SplitCli : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("veldmap_split_" + std::to_string(::getpid()) + "_" +
                                        testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  static Image Read(const std::string& path) {
    Image image;
    std::string error;
    EXPECT_TRUE(ReadImage(path, &image, nullptr, &error)) << error;
    return image;
  }

  // Writes mesh as OBJ (Y up: the file's (x, y, z) is the host's (x, z, -y)).
  void WriteObj(const Mesh& mesh, const std::string& name) const {
    std::ofstream out(Path(name));
    out.precision(9);
    for (const Point3& p : mesh.verts) out << "v " << p.x << " " << p.z << " " << -p.y << "\n";
    for (const Face& f : mesh.faces) out << "f " << f.v[0] + 1 << " " << f.v[1] + 1 << " " << f.v[2] + 1 << "\n";
  }

  // Writes mesh as a binary little-endian PLY in the host's frame (read it with --up z).
  void WritePly(const Mesh& mesh, const std::string& name) const {
    std::ofstream out(Path(name), std::ios::binary);
    out << "ply\nformat binary_little_endian 1.0\nelement vertex " << mesh.verts.size()
        << "\nproperty float x\nproperty float y\nproperty float z\nelement face " << mesh.faces.size()
        << "\nproperty list uchar int vertex_indices\nend_header\n";
    for (const Point3& p : mesh.verts) out.write(reinterpret_cast<const char*>(&p), 12);
    for (const Face& f : mesh.faces) {
      out.put(3);
      for (const DWORD v : f.v) {
        const auto index = static_cast<std::int32_t>(v);
        out.write(reinterpret_cast<const char*>(&index), 4);
      }
    }
  }

  // Splits mesh rows x cols for a width x height image, renders every shard as its tile with
  // renderArgs, joins the tiles, and expects the whole render's pixels, bit for bit, for each
  // output: "KIND.exr", "KIND.png" (8-bit) or "KIND.png16", then any options of its own.
  void ExpectJoinedShardsEqualWhole(const std::string& mesh, int rows, int cols, int width, int height,
                                    const std::string& splitArgs, const std::string& renderArgs,
                                    const std::vector<std::string>& outputs) {
    const std::string size = " --width " + std::to_string(width) + " --height " + std::to_string(height);
    const std::string shards = Path("shards");
    CliRun run = Veldmap("split " + mesh + " --tiles " + std::to_string(rows) + "x" + std::to_string(cols) + " -o " +
                         shards + size + " " + splitArgs + " -q");
    ASSERT_EQ(run.code, 0) << run.output;
    const nlohmann::json manifest = nlohmann::json::parse(std::ifstream(shards + "/manifest.json"));
    ASSERT_EQ(manifest["tiles"].size(), static_cast<std::size_t>(rows * cols));
    for (const std::string& spec : outputs) {
      const std::string output = spec.substr(0, spec.find(' '));
      const std::string own = spec.size() > output.size() ? spec.substr(output.size()) : "";
      const std::string kind = output.substr(0, output.find('.'));
      const bool png16 = output.ends_with(".png16");
      const std::string file = png16 ? kind + ".png" : output;
      const std::string args = " " + renderArgs + own + (png16 ? " --format png16" : "") + " -q --" + kind + "-out ";
      run = Veldmap("render " + mesh + size + " " + splitArgs + args + Path("whole_" + file));
      ASSERT_EQ(run.code, 0) << run.output;
      std::string tiles;
      for (const auto& tile : manifest["tiles"]) {
        const std::string tilePath = Path("t" + std::to_string(tile["index"].get<int>()) + "_" + file);
        tiles += " " + tilePath;
        run = Veldmap("render " + shards + "/" + tile["shard"].get<std::string>() + " " +
                      tile["render"].get<std::string>() + args + tilePath);
        ASSERT_EQ(run.code, 0) << run.output;
      }
      run = Veldmap("join" + tiles + " -o " + Path("joined_" + file));
      ASSERT_EQ(run.code, 0) << run.output;
      const Image whole = Read(Path("whole_" + file)), cut = Read(Path("joined_" + file));
      ASSERT_EQ(whole.width, cut.width);
      ASSERT_EQ(whole.height, cut.height);
      ASSERT_EQ(whole.pixels.size(), cut.pixels.size());
      std::size_t differing = 0;
      for (std::size_t i = 0; i < whole.pixels.size(); ++i) {
        differing += std::bit_cast<std::uint32_t>(whole.pixels[i]) != std::bit_cast<std::uint32_t>(cut.pixels[i]);
      }
      EXPECT_EQ(differing, 0u) << output << " of " << mesh;
    }
  }

  fs::path dir_;
};

TEST_F(SplitCli, ShardRendersJoinIntoTheWholeRender) {
  const std::string hills = std::string(VELDMAP_SAMPLE_DIR) + "/hills.obj";
  ExpectJoinedShardsEqualWhole(
      hills, 3, 2, 37, 29, "--bump normals", "--filter",
      {"height.exr", "color.png16 --ramp terrain", "bump.exr", "slope.exr", "hillshade.png --azimuth 200"});
  fs::remove_all(Path("shards"));
  ExpectJoinedShardsEqualWhole(hills, 2, 3, 40, 32, "--bump numerical --u-scale 1.4 --v-offset -0.1", "",
                               {"height.exr", "bump.exr"});
}

TEST_F(SplitCli, AnnouncedTilesAreTheManifestsInOrder) {
  // A driver starts each tile's render on its line, before the manifest exists: every line must
  // be the manifest's entry for a shard already saved.
  const std::string hills = std::string(VELDMAP_SAMPLE_DIR) + "/hills.obj";
  const std::string shards = Path("shards");
  const CliRun run = Veldmap("split " + hills + " --tiles 2x3 --size 40 -o " + shards + " --announce -q");
  ASSERT_EQ(run.code, 0) << run.output;
  const nlohmann::json manifest = nlohmann::json::parse(std::ifstream(shards + "/manifest.json"));
  std::istringstream lines(run.output);
  std::vector<nlohmann::json> announced;
  for (std::string line; std::getline(lines, line);) announced.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(announced.size(), manifest["tiles"].size());
  for (std::size_t i = 0; i < announced.size(); ++i) EXPECT_EQ(announced[i], manifest["tiles"][i]);
  // Without the flag, standard output stays empty.
  fs::remove_all(shards);
  EXPECT_EQ(Veldmap("split " + hills + " --tiles 2x3 --size 40 -o " + shards + " -q").output, "");
}

TEST_F(SplitCli, EngineAndRandomMeshesWithLargeFaces) {
  ExpectJoinedShardsEqualWhole("/usr/share/assimp/models/glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb", 2, 2,
                               32, 32, "--bump normals", "", {"height.exr", "color.png16 --ramp heat", "bump.exr"});
  fs::remove_all(Path("shards"));
  WriteObj(RandomMesh(11, 4, 25), "random.obj");
  ExpectJoinedShardsEqualWhole(Path("random.obj"), 3, 3, 30, 30, "--bump numerical", "",
                               {"height.exr", "color.png --ramp terrain", "bump.exr", "slope.exr", "hillshade.exr"});
}

// Binary PLY is split from the file, its faces walked and never held: the shards still render the
// whole image, turned up faces, empty tiles and all.
TEST_F(SplitCli, ABinaryPlySplitFromTheFileJoinsIntoTheWholeRender) {
  WritePly(RandomMesh(12, 4, 25), "random.ply");
  ExpectJoinedShardsEqualWhole(Path("random.ply"), 3, 3, 30, 30, "--up z --orient up --bump normals", "",
                               {"height.exr", "color.png16 --ramp terrain", "bump.exr", "slope.exr"});
  fs::remove_all(Path("shards"));
  ExpectJoinedShardsEqualWhole(Path("random.ply"), 4, 4, 32, 32, "--up z --u-scale 0.3 --v-scale 0.3", "",
                               {"height.exr", "bump.png"});
  const nlohmann::json manifest = nlohmann::json::parse(std::ifstream(Path("shards/manifest.json")));
  int empty = 0;
  for (const auto& tile : manifest["tiles"]) empty += tile["faces"] == 0 ? 1 : 0;
  EXPECT_GE(empty, 9);
  // A coordinate that is not finite: the file is not walked but imported whole, as render reads it.
  Mesh holed = RandomMesh(13, 3, 10);
  holed.verts[holed.faces.back().v[0]].z = std::numeric_limits<float>::infinity();
  WritePly(holed, "holed.ply");
  fs::remove_all(Path("shards"));
  ExpectJoinedShardsEqualWhole(Path("holed.ply"), 2, 2, 24, 24, "--up z", "", {"height.exr"});
}

// The slope and hillshade of a tile's edge pixel read the pixel beyond it, whose filtered taps lie
// half a pixel further still: faces far smaller than a pixel there must be in the shard too.
TEST_F(SplitCli, SlopeOfAFineMeshReadsPastTheTileInItsShard) {
  constexpr int kSide = 200;  // vertices a side: faces a tenth of a pixel across
  Mesh fine;
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      const float fx = static_cast<float>(x) / (kSide - 1), fy = static_cast<float>(y) / (kSide - 1);
      fine.verts.emplace_back(fx * 10.0f, fy * 10.0f, std::sin(fx * 9.0f) * std::cos(fy * 7.0f));
    }
  }
  for (int y = 0; y + 1 < kSide; ++y) {
    for (int x = 0; x + 1 < kSide; ++x) {
      const auto i = static_cast<DWORD>(y * kSide + x), row = static_cast<DWORD>(kSide);
      Face a, b;
      a.setVerts(i, i + 1, i + row + 1);
      b.setVerts(i, i + row + 1, i + row);
      a.smGroup = b.smGroup = 1;
      fine.faces.push_back(a);
      fine.faces.push_back(b);
    }
  }
  WriteObj(fine, "fine.obj");
  ExpectJoinedShardsEqualWhole(Path("fine.obj"), 2, 2, 20, 20, "", "--filter",
                               {"height.exr", "slope.exr", "hillshade.exr"});
}

TEST_F(SplitCli, ATileNoFaceReachesRendersBlank) {
  // Three small triangles in the corners of the unit square but the upper right one, which no
  // face reaches.
  Mesh corners;
  for (const Point2& at : {Point2(0, 0), Point2(0.75f, 0), Point2(0, 0.75f)}) {
    const auto first = static_cast<DWORD>(corners.verts.size());
    corners.verts.insert(corners.verts.end(),
                         {Point3(at.x, at.y, 0), Point3(at.x + 0.25f, at.y, 1), Point3(at.x, at.y + 0.25f, 0.5f)});
    Face f;
    f.v[0] = first, f.v[1] = first + 1, f.v[2] = first + 2;
    f.smGroup = 1;
    corners.faces.push_back(f);
  }
  WriteObj(corners, "corners.obj");
  ExpectJoinedShardsEqualWhole(Path("corners.obj"), 3, 3, 24, 24, "", "",
                               {"height.exr", "color.png --ramp heat", "bump.png"});
  const nlohmann::json manifest = nlohmann::json::parse(std::ifstream(Path("shards/manifest.json")));
  EXPECT_EQ(manifest["tiles"][2]["faces"], 0);
}

TEST_F(SplitCli, JoinRefusesMissingDuplicatedAndForeignTiles) {
  const std::string hills = std::string(VELDMAP_SAMPLE_DIR) + "/hills.obj";
  Mesh other = RandomMesh(12, 3, 0);
  WriteObj(other, "other.obj");
  for (const std::string& source : {hills, Path("other.obj")}) {
    const std::string folder = Path(source == hills ? "a" : "b");
    CliRun run = Veldmap("split " + source + " --tiles 1x2 --width 16 --height 16 -o " + folder + " -q");
    ASSERT_EQ(run.code, 0) << run.output;
    for (int i = 1; i <= 2; ++i) {
      run = Veldmap("render " + folder + "/tile-" + std::to_string(i) + ".vlds --tile " + std::to_string(i) +
                    "/2 --tile-rows 1 --width 16 --height 16 -o " + folder + "/" + std::to_string(i) + ".exr -q");
      ASSERT_EQ(run.code, 0) << run.output;
    }
  }
  const std::string a1 = Path("a/1.exr"), a2 = Path("a/2.exr"), b2 = Path("b/2.exr");
  struct Case {
    std::string tiles, message;
  };
  for (const Case& c :
       {Case{a1, "no tile covers pixels 8,0 to 15,15"}, Case{a1 + " " + a2 + " " + a1, "the same tile as " + a1},
        Case{a1 + " " + b2, "sha256 " + HashOf(Path("other.obj"))}}) {
    const CliRun run = Veldmap("join " + c.tiles + " -o " + Path("joined.exr"));
    EXPECT_EQ(run.code, 1) << c.tiles;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(Path("joined.exr")));
  }
  EXPECT_EQ(Veldmap("join " + a1 + " " + a2 + " -o " + Path("joined.exr")).code, 0);
}

TEST_F(SplitCli, AShardRendersOnlyAsItsOwnTile) {
  const std::string hills = std::string(VELDMAP_SAMPLE_DIR) + "/hills.obj";
  ASSERT_EQ(Veldmap("split " + hills + " --tiles 2x2 --size 20 -o " + Path("s") + " -q").code, 0);
  const std::string shard = Path("s/tile-2.vlds") + " -o " + Path("t.exr") + " -q ";
  for (const std::string wrong :
       {"--size 20", "--tile 3/4 --size 20", "--tile 2/4 --size 21", "--tile 2/4 --tile-rows 1 --size 20",
        "--tile 2/4 --size 20 --u-scale 2", "--tile 2/4 --size 20 --wrap", "--tile 2/4 --size 20 --uv-angle 30"}) {
    const CliRun run = Veldmap("render " + shard + wrong);
    EXPECT_EQ(run.code, 2) << wrong << ": " << run.output;
    EXPECT_FALSE(fs::exists(Path("t.exr"))) << wrong;
  }
  EXPECT_EQ(Veldmap("render " + shard + "--tile 2/4 --size 20").code, 0);
  // What split itself cannot do is refused before it writes anything.
  EXPECT_EQ(Veldmap("split " + hills + " --tiles 2x0 -o " + Path("x")).code, 2);
  EXPECT_EQ(Veldmap("split " + hills + " --tiles 2x2 --uv-tiling 2 2 -o " + Path("x")).code, 2);
  EXPECT_EQ(Veldmap("split " + hills + " --tiles 30x1 --size 20 -o " + Path("x")).code, 2);
  EXPECT_FALSE(fs::exists(Path("x/manifest.json")));
}

}  // namespace
