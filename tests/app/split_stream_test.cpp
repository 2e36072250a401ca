// The split's faces walked from the file instead of held: the streamed mesh is the import's, index
// for index and bit for bit, its shards are those of the whole imported mesh, files it does not
// read are left to the import, and the pieces it rests on (the compact welder, releasing mapped
// pages) behave as the code that uses them expects.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "app/mapped_file.h"
#include "app/mesh_frame.h"
#include "app/mesh_io.h"
#include "app/ply_reader.h"
#include "app/raw_mesh.h"
#include "app/session.h"
#include "app/shards.h"
#include "tests/support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// A rolling height field of large faces (each crosses several tiles) plus floating triangles, a
// share of them facing down, some sharing a vertex with the field; one vertex no face uses, which
// the import drops; and repeated positions, which weld.
Mesh TestMesh(std::uint32_t seed, int grid, int floating) {
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
      a.setVerts(at(i, j), at(i + 1, j), at(i + 1, j + 1));
      b.setVerts(at(i, j), at(i + 1, j + 1), at(i, j + 1));
      mesh.faces.push_back(a);
      mesh.faces.push_back(b);
    }
  }
  mesh.verts.emplace_back(40.0f, -30.0f, 9.0f);  // used by no face
  for (int k = 0; k < floating; ++k) {
    const auto first = static_cast<DWORD>(mesh.verts.size());
    for (int c = 0; c < 3; ++c) {
      mesh.verts.emplace_back(-3.0f + 7.0f * unit(random), 2.0f + 5.0f * unit(random), 5.0f * unit(random));
    }
    Face f;
    f.setVerts(first, first + 1, first + 2);
    if (k % 3 == 0) std::swap(f.v[1], f.v[2]);
    mesh.faces.push_back(f);
    if (k % 4 == 0) {
      // A copy of a field vertex: the same position, welded into the field's vertex.
      mesh.verts.push_back(mesh.verts[at(k % (grid + 1), (k / 2) % (grid + 1))]);
      Face g = f;
      g.v[2] = static_cast<DWORD>(mesh.verts.size() - 1);
      mesh.faces.push_back(g);
    }
  }
  return mesh;
}

struct PlyLayout {
  bool big = false;
  bool doubles = false;       // coordinates as float64
  bool shortIndices = false;  // ushort indices with a uint count, so records are not the plain case
  bool normals = false;       // per-vertex normals, every vertex its own
  bool extra = false;         // a property the reader skips, between the coordinates
  bool ascii = false;         // text, one vertex or face a line
};

template <typename T>
void Put(std::string& out, T value, bool big) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  if (big) std::reverse(bytes, bytes + sizeof(T));
  out.append(bytes, sizeof(T));
}

// mesh as a binary PLY, coordinates as given (the caller picks the up axis on import).
void WritePly(const Mesh& mesh, const fs::path& path, const PlyLayout& layout) {
  std::string out = "ply\nformat ";
  out += layout.ascii ? "ascii" : layout.big ? "binary_big_endian" : "binary_little_endian";
  out += " 1.0\ncomment a test mesh\nelement vertex " + std::to_string(mesh.verts.size()) + "\n";
  const std::string scalar = layout.doubles ? "double" : "float";
  out += "property " + scalar + " x\n";
  if (layout.extra) out += "property uchar quality\n";
  out += "property " + scalar + " y\nproperty " + scalar + " z\n";
  if (layout.normals) out += "property float nx\nproperty float ny\nproperty float nz\n";
  out += "element face " + std::to_string(mesh.faces.size()) + "\n";
  out +=
      layout.shortIndices ? "property list uint ushort vertex_indices\n" : "property list uchar int vertex_indices\n";
  out += "end_header\n";
  // Vertices at one position with normals far apart stay apart.
  const auto normal = [](std::size_t v) {
    const float turn = static_cast<float>(v % 5);
    return Point3(std::cos(turn), std::sin(turn), 0.0f);
  };
  if (layout.ascii) {
    char line[200];
    for (std::size_t v = 0; v < mesh.verts.size(); ++v) {
      const Point3& p = mesh.verts[v];
      const Point3 n = normal(v);
      int used = std::snprintf(line, sizeof line, "%.9g", static_cast<double>(p.x));
      if (layout.extra) used += std::snprintf(line + used, sizeof line - used, " %d", static_cast<int>(v % 7));
      used += std::snprintf(line + used, sizeof line - used, " %.9g %.9g", static_cast<double>(p.y),
                            static_cast<double>(p.z));
      if (layout.normals) {
        std::snprintf(line + used, sizeof line - used, " %.9g %.9g 0", static_cast<double>(n.x),
                      static_cast<double>(n.y));
      }
      out += line;
      out += '\n';
    }
    for (const Face& f : mesh.faces) {
      std::snprintf(line, sizeof line, "3 %u %u %u\n", f.v[0], f.v[1], f.v[2]);
      out += line;
    }
    std::ofstream(path, std::ios::binary) << out;
    return;
  }
  for (std::size_t v = 0; v < mesh.verts.size(); ++v) {
    const Point3& p = mesh.verts[v];
    const auto coordinate = [&](float c) {
      if (layout.doubles) {
        Put<double>(out, c, layout.big);
      } else {
        Put<float>(out, c, layout.big);
      }
    };
    coordinate(p.x);
    if (layout.extra) out += static_cast<char>(v % 7);
    coordinate(p.y);
    coordinate(p.z);
    if (layout.normals) {
      const Point3 n = normal(v);
      Put<float>(out, n.x, layout.big);
      Put<float>(out, n.y, layout.big);
      Put<float>(out, n.z, layout.big);
    }
  }
  for (const Face& f : mesh.faces) {
    if (layout.shortIndices) {
      Put<std::uint32_t>(out, 3, layout.big);
      for (const DWORD v : f.v) Put<std::uint16_t>(out, static_cast<std::uint16_t>(v), layout.big);
    } else {
      out += static_cast<char>(3);
      for (const DWORD v : f.v) Put<std::int32_t>(out, static_cast<std::int32_t>(v), layout.big);
    }
  }
  std::ofstream(path, std::ios::binary) << out;
}

bool SameBits(const std::vector<Point3>& a, const std::vector<Point3>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(a[i].x) != std::bit_cast<std::uint32_t>(b[i].x) ||
        std::bit_cast<std::uint32_t>(a[i].y) != std::bit_cast<std::uint32_t>(b[i].y) ||
        std::bit_cast<std::uint32_t>(a[i].z) != std::bit_cast<std::uint32_t>(b[i].z)) {
      return false;
    }
  }
  return true;
}

std::vector<Face> AllFaces(const FaceSource& source) {
  std::vector<Face> faces(source.FaceCount());
  // Odd block sizes, so a walk that reads in blocks of its own meets every boundary.
  for (std::size_t first = 0; first < faces.size(); first += 7) {
    const std::size_t count = std::min<std::size_t>(7, faces.size() - first);
    EXPECT_TRUE(source.Read(first, count, faces.data() + first));
  }
  return faces;
}

struct Cut {
  Placement placement;
  int width = 48, height = 40;
  TileGrid grid{4, 4};
};

// The file streamed against the file imported: vertices, faces, winding and every shard of each
// cut. Returns how many shards were empty.
int ExpectStreamedAsImported(const fs::path& path, const ImportOptions& options, bool orientUp,
                             const std::vector<Cut>& cuts) {
  const std::string where = path.filename().string() + (orientUp ? " oriented" : "");
  ImportResult imported = ImportMesh(path.string(), options);
  EXPECT_TRUE(imported.error.empty()) << imported.error;
  if (imported.meshes.size() != 1) {
    ADD_FAILURE() << where << ": " << imported.meshes.size() << " meshes";
    return 0;
  }
  Mesh whole = std::move(imported.meshes[0].mesh);
  const std::unique_ptr<StreamedMesh> stream = OpenStreamedMesh(path.string(), options);
  if (!stream) {
    ADD_FAILURE() << where << ": not streamed";
    return 0;
  }
  EXPECT_TRUE(stream->Vertices().faces.empty());
  EXPECT_TRUE(SameBits(stream->Vertices().verts, whole.verts)) << where;
  EXPECT_EQ(AllFaces(*stream), whole.faces) << where;

  const WalkedWinding walked = WindingOf(stream->Vertices(), *stream, orientUp);
  std::int64_t turned = 0;
  if (orientUp) turned = OrientUp(whole);
  const FaceFacing facing = CountFacing(whole);
  EXPECT_EQ(walked.winding.turned, turned) << where;
  EXPECT_EQ(walked.winding.facing.up, facing.up) << where;
  EXPECT_EQ(walked.winding.facing.down, facing.down) << where;
  EXPECT_EQ(walked.winding.facing.vertical, facing.vertical) << where;
  EXPECT_EQ(walked.winding.orientedUp, orientUp);
  EXPECT_EQ(walked.hasUpward, HasUpwardFace(whole)) << where;

  const OrientedFaces oriented(stream->Vertices(), *stream);
  const FaceSource& faces = orientUp ? static_cast<const FaceSource&>(oriented) : *stream;
  if (orientUp) {
    EXPECT_EQ(AllFaces(oriented), whole.faces) << where;
  }
  int empty = 0;
  for (const Cut& cut : cuts) {
    const ShardCutter held(whole, cut.placement, cut.width, cut.height, cut.grid);
    const ShardCutter walkedCutter(stream->Vertices(), faces, cut.placement, cut.width, cut.height, cut.grid);
    for (int i = 0; i < cut.grid.Count(); ++i) {
      const Mesh a = held.Shard(i), b = walkedCutter.Shard(i);
      EXPECT_TRUE(SameBits(a.verts, b.verts)) << where << " tile " << i;
      EXPECT_EQ(a.faces, b.faces) << where << " tile " << i;
      empty += b.faces.empty() ? 1 : 0;
    }
  }
  return empty;
}

class StreamedSplit : public testing::Test {
 protected:
  void SetUp() override { dir_ = test_support::MakeTempFolder("veldmap_split_stream_"); }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(StreamedSplit, ShardsOfTheWalkedFileAreThoseOfTheImportedMesh) {
  std::vector<Cut> cuts(3);
  // Mirrored in U and shifted, so faces reach tiles through the placement alone.
  cuts[1].placement.uScale = -1.4f;
  cuts[1].placement.uOffset = 1.2f;
  cuts[1].grid = {3, 5};
  // Shrunk into one corner: most tiles see nothing and get an empty shard.
  cuts[2].placement.uScale = 0.25f;
  cuts[2].placement.vScale = 0.25f;
  cuts[2].grid = {3, 3};

  ImportOptions zUp;
  zUp.up = 'z';
  int empty = 0;
  const Mesh mesh = TestMesh(7, 6, 40);
  struct Case {
    const char* name;
    PlyLayout layout;
  };
  for (const Case& c :
       {Case{"plain.ply", {}}, Case{"big.ply", {true, true, false, false, true}},
        Case{"short.ply", {false, false, true, false, false}}, Case{"normals.ply", {false, false, false, true, false}},
        Case{"text.ply", {false, false, false, false, false, true}},
        Case{"textual.ply", {false, true, true, true, true, true}}}) {
    WritePly(mesh, dir_ / c.name, c.layout);
    empty += ExpectStreamedAsImported(dir_ / c.name, zUp, false, cuts);
    empty += ExpectStreamedAsImported(dir_ / c.name, zUp, true, cuts);
  }
  EXPECT_GE(empty, 12 * 5);
  // Many blocks of faces, most of which a tile's shard passes over.
  WritePly(TestMesh(12, 120, 60), dir_ / "large.ply", {});
  ExpectStreamedAsImported(dir_ / "large.ply", zUp, true, {cuts[0], cuts[1]});
  WritePly(TestMesh(12, 120, 60), dir_ / "large-text.ply", {false, false, false, false, false, true});
  ExpectStreamedAsImported(dir_ / "large-text.ply", zUp, false, {cuts[1]});
  // The format's own up axis (Y), so the vertices are turned into the host frame; and flat,
  // which welds by position alone and gives every face group 0.
  WritePly(TestMesh(8, 5, 20), dir_ / "y.ply", {false, false, false, true, false});
  ExpectStreamedAsImported(dir_ / "y.ply", {}, false, {cuts[0]});
  ImportOptions flat;
  flat.flat = true;
  ExpectStreamedAsImported(dir_ / "y.ply", flat, true, {cuts[1]});
}

TEST_F(StreamedSplit, FilesTheReaderDoesNotTakeAreLeftToTheImport) {
  const Mesh mesh = TestMesh(9, 3, 4);
  WritePly(mesh, dir_ / "good.ply", {});
  ImportOptions options;
  ASSERT_NE(OpenStreamedMesh((dir_ / "good.ply").string(), options), nullptr);

  Mesh nan = mesh;
  nan.verts.back().z = std::numeric_limits<float>::quiet_NaN();
  WritePly(nan, dir_ / "nan.ply", {});
  Mesh outside = mesh;
  outside.faces.back().v[1] = static_cast<DWORD>(mesh.verts.size());
  WritePly(outside, dir_ / "outside.ply", {});
  fs::copy_file(dir_ / "good.ply", dir_ / "good.bin");
  // Text with a quad, and text whose last line has no end: both the import's to hand to assimp.
  const std::string text =
      "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
      "property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
      "end_header\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n";
  std::ofstream(dir_ / "ascii-quad.ply") << text << "4 0 1 3 2\n";
  std::ofstream(dir_ / "ascii-cut.ply") << text << "3 0 1 2";
  std::ofstream(dir_ / "ascii.ply") << text << "3 0 1 2\n";
  ASSERT_NE(OpenStreamedMesh((dir_ / "ascii.ply").string(), options), nullptr);
  // A quad: the first face's count says 4.
  std::string quad;
  {
    std::ifstream in(dir_ / "good.ply", std::ios::binary);
    quad.assign(std::istreambuf_iterator<char>(in), {});
    quad[quad.find("end_header\n") + 11 + mesh.verts.size() * 12] = 4;
    std::ofstream(dir_ / "quad.ply", std::ios::binary) << quad;
  }
  for (const char* name :
       {"nan.ply", "outside.ply", "good.bin", "ascii-quad.ply", "ascii-cut.ply", "quad.ply", "missing.ply"}) {
    EXPECT_EQ(OpenStreamedMesh((dir_ / name).string(), options), nullptr) << name;
  }
  ImportOptions named;
  named.node = "mesh";
  EXPECT_EQ(OpenStreamedMesh((dir_ / "good.ply").string(), named), nullptr);
  ImportOptions badAxis;
  badAxis.up = 'w';
  EXPECT_EQ(OpenStreamedMesh((dir_ / "good.ply").string(), badAxis), nullptr);
}

TEST_F(StreamedSplit, AFileChangedBetweenWalksIsNoticed) {
  const Mesh mesh = TestMesh(10, 3, 0);
  const fs::path path = dir_ / "changing.ply";
  WritePly(mesh, path, {});
  const std::unique_ptr<StreamedMesh> stream = OpenStreamedMesh(path.string(), {});
  ASSERT_NE(stream, nullptr);
  std::vector<Face> faces(stream->FaceCount());
  ASSERT_TRUE(stream->Read(0, faces.size(), faces.data()));
  // The last face's first index, rewritten in place beyond the vertices.
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(fs::file_size(path) - 12));
    const std::int32_t beyond = 1 << 20;
    file.write(reinterpret_cast<const char*>(&beyond), 4);
  }
  EXPECT_TRUE(stream->Read(0, faces.size() - 1, faces.data()));
  EXPECT_FALSE(stream->Read(0, faces.size(), faces.data()));
  EXPECT_THROW({ const ShardCutter cutter(stream->Vertices(), *stream, {}, 16, 16, {2, 2}); }, BadInput);
}

// Damaged files, binary and text: whatever ReadPly takes the walk takes, giving the same welded vertices
// and faces, and whatever it leaves to assimp the walk leaves too.
TEST_F(StreamedSplit, TheWalkTakesExactlyWhatTheReaderTakes) {
  std::string originals[2];
  for (const bool ascii : {false, true}) {
    WritePly(TestMesh(11, 3, 6), dir_ / "source.ply", {false, false, false, true, false, ascii});
    std::ifstream in(dir_ / "source.ply", std::ios::binary);
    originals[ascii ? 1 : 0].assign(std::istreambuf_iterator<char>(in), {});
  }
  std::mt19937 random(5);
  int taken = 0, refused = 0;
  for (int trial = 0; trial < 600; ++trial) {
    std::string bytes = originals[trial % 2];
    const std::size_t headerEnd = bytes.find("end_header\n") + 11;
    // A byte or two changed, in the header (counts, types, names) or in the data; or cut short.
    const int changes = 1 + static_cast<int>(random() % 2);
    for (int k = 0; k < changes; ++k) {
      const bool header = random() % 3 == 0;
      const std::size_t at = header ? random() % headerEnd : headerEnd + random() % (bytes.size() - headerEnd);
      bytes[at] = header && random() % 2 == 0 ? static_cast<char>('0' + random() % 10) : static_cast<char>(random());
    }
    if (trial % 10 == 0) bytes.resize(bytes.size() - 1 - random() % 40);
    const fs::path path = dir_ / "damaged.ply";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    for (const bool keepNormals : {false, true}) {
      RawMesh raw;
      const bool read = ReadPly(bytes, keepNormals, &raw);
      MappedFile file;
      ASSERT_TRUE(file.Open(path.string(), nullptr, false));
      PlyFaceStream stream;
      std::vector<Point3> positions;
      const bool walked = stream.Open(file, keepNormals, CompactWelder::kMaxVertices, &positions);
      ASSERT_EQ(walked, read) << "trial " << trial;
      if (!walked) {
        ++refused;
        continue;
      }
      ++taken;
      ASSERT_EQ(positions.size() * 3, raw.positions.size());
      for (std::size_t v = 0; v < positions.size(); ++v) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(positions[v].x), std::bit_cast<std::uint32_t>(raw.positions[v * 3]));
        EXPECT_EQ(std::bit_cast<std::uint32_t>(positions[v].y), std::bit_cast<std::uint32_t>(raw.positions[v * 3 + 1]));
        EXPECT_EQ(std::bit_cast<std::uint32_t>(positions[v].z), std::bit_cast<std::uint32_t>(raw.positions[v * 3 + 2]));
      }
      std::vector<std::uint32_t> corners(stream.FaceCount() * 3);
      ASSERT_TRUE(stream.Read(0, stream.FaceCount(), corners.data()));
      EXPECT_EQ(corners, raw.corners) << "trial " << trial;
    }
  }
  // Both kinds met, so the comparison says something either way.
  EXPECT_GT(taken, 100);
  EXPECT_GT(refused, 100);
}

TEST(CompactWelder, JoinsAsTheImportsWelderDoes) {
  std::mt19937 random(3);
  // Few distinct coordinates, so many positions repeat; -0 and +0 among them, which join.
  const float values[] = {0.0f, -0.0f, 1.0f, 2.5f, -7.0f};
  for (const bool withNormals : {false, true}) {
    constexpr std::size_t kCount = 5000;
    VertexWelder reference(16, withNormals);
    std::vector<Point3> positions;
    CompactWelder welder(kCount, withNormals, &positions);
    for (std::size_t i = 0; i < kCount; ++i) {
      const float p[3] = {values[random() % 5], values[random() % 5], values[random() % 5]};
      // Normals a little apart (within the joining tolerance of each other) or far apart.
      const float n[3] = {static_cast<float>(random() % 3), 0.75e-5f * static_cast<float>(random() % 3), 0.0f};
      ASSERT_EQ(welder.Add(p, n), reference.Add(p, n)) << i;
    }
    EXPECT_EQ(welder.size(), reference.size());
    EXPECT_EQ(welder.ambiguous(), reference.ambiguous());
    if (withNormals) {
      // Normals 0.75e-5 apart join, 1.5e-5 apart do not: a normal between two that stayed apart
      // meets two earlier vertices it could join.
      EXPECT_TRUE(welder.ambiguous());
    }
    const std::vector<float> expected = reference.TakePositions();
    ASSERT_EQ(expected.size(), positions.size() * 3);
    for (std::size_t v = 0; v < positions.size(); ++v) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(positions[v].x), std::bit_cast<std::uint32_t>(expected[v * 3]));
      EXPECT_EQ(std::bit_cast<std::uint32_t>(positions[v].y), std::bit_cast<std::uint32_t>(expected[v * 3 + 1]));
      EXPECT_EQ(std::bit_cast<std::uint32_t>(positions[v].z), std::bit_cast<std::uint32_t>(expected[v * 3 + 2]));
    }
    welder.Finish();
    EXPECT_EQ(positions.size(), welder.size());
  }
}

TEST(MappedFileRelease, ReleasedPagesReadBackTheFile) {
  const fs::path dir = test_support::MakeTempFolder("veldmap_mapped_");
  const fs::path path = dir / "pages.bin";
  std::string bytes(3 * 4096 + 123, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  std::ofstream(path, std::ios::binary) << bytes;
  for (const bool populate : {true, false}) {
    MappedFile file;
    ASSERT_TRUE(file.Open(path.string(), nullptr, populate));
    ASSERT_EQ(file.bytes(), bytes);
    // Ranges inside a page, across pages, to the end, past the end and empty.
    file.Release(10, 20);
    file.Release(4000, 5000);
    file.Release(2 * 4096 + 5, bytes.size());
    file.Release(bytes.size() + 10, 10);
    file.Release(0, 0);
    EXPECT_EQ(file.bytes(), bytes);
    file.Release(0, bytes.size());
    EXPECT_EQ(file.bytes(), bytes);
  }
  fs::remove_all(dir);
}

}  // namespace
