// Our own PLY and STL readers against assimp: every file they take must import exactly as it
// does through assimp (same vertices bit for bit and in the same order, same faces, names, up
// axis and smoothing flag), and every file they do not take must still import as before.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "app/mesh_io.h"
#include "app/ply_reader.h"
#include "app/raw_mesh.h"
#include "app/stl_reader.h"
#include "tests/support/import_compare.h"
#include "tests/support/mesh_file.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using test_support::BitsOf;
using test_support::ExpectSameImport;
using test_support::WriteFile;

struct ScratchDir : test_support::ScratchDir {
  ScratchDir() : test_support::ScratchDir("mesh_readers_") {}
};

// The option sets every file is read with: defaults, flat, every --up, and a node pick.
std::vector<ImportOptions> OptionSets() {
  std::vector<ImportOptions> sets(5);
  sets[1].flat = true;
  sets[2].up = 'x';
  sets[3].up = 'Y';
  sets[4].up = 'z';
  return sets;
}

std::string Describe(const ImportOptions& o) {
  std::string s = o.flat ? "flat" : "smooth";
  if (o.up) s += std::string(" up ") + *o.up;
  if (!o.node.empty()) s += " node " + o.node;
  return s;
}

// The file through our readers must be taken, and equal to assimp's import, for every option set.
void ExpectTakenAndSame(const std::string& path, const std::string& what) {
  for (const ImportOptions& options : OptionSets()) {
    const std::optional<ImportResult> own = ImportMeshWithOwnReaders(path, options);
    ASSERT_TRUE(own.has_value()) << what << ": our reader did not take it (" << Describe(options) << ")";
    EXPECT_EQ(own->error, "") << what;
    ExpectSameImport(ImportMeshWithAssimp(path, options), *own, what + " (" + Describe(options) + ")");
  }
}

// ---- Writers of generated files ----------------------------------------------------------------

enum class PlyEncoding { kAscii, kLittle, kBig };

struct PlyVertex {
  double x = 0, y = 0, z = 0;
  double nx = 0, ny = 0, nz = 1;
};

struct PlyLayout {
  PlyEncoding encoding = PlyEncoding::kLittle;
  std::string positionType = "float";
  bool normals = false;
  // Colour and texture coordinates around the position, which the readers must step over.
  bool extras = false;
  std::string countType = "uchar";
  std::string indexType = "int";
  std::string indexName = "vertex_indices";
  std::string lineEnd = "\n";
};

std::size_t PlySize(const std::string& type) {
  if (type == "char" || type == "uchar" || type == "int8" || type == "uint8") return 1;
  if (type == "short" || type == "ushort" || type == "int16" || type == "uint16") return 2;
  if (type == "double" || type == "float64") return 8;
  return 4;
}

void PutBinary(std::string& out, const std::string& type, double value, bool big) {
  unsigned char b[8] = {};
  const std::size_t n = PlySize(type);
  if (type == "float" || type == "float32") {
    const auto f = static_cast<float>(value);
    std::memcpy(b, &f, 4);
  } else if (type == "double" || type == "float64") {
    std::memcpy(b, &value, 8);
  } else if (type == "char" || type == "int8") {
    const auto i = static_cast<std::int8_t>(value);
    std::memcpy(b, &i, 1);
  } else if (type == "uchar" || type == "uint8") {
    const auto i = static_cast<std::uint8_t>(value);
    std::memcpy(b, &i, 1);
  } else if (type == "short" || type == "int16") {
    const auto i = static_cast<std::int16_t>(value);
    std::memcpy(b, &i, 2);
  } else if (type == "ushort" || type == "uint16") {
    const auto i = static_cast<std::uint16_t>(value);
    std::memcpy(b, &i, 2);
  } else if (type == "int" || type == "int32") {
    const auto i = static_cast<std::int32_t>(value);
    std::memcpy(b, &i, 4);
  } else {
    const auto i = static_cast<std::uint32_t>(value);
    std::memcpy(b, &i, 4);
  }
  if (big) std::reverse(b, b + n);
  out.append(reinterpret_cast<const char*>(b), n);
}

std::string AsciiNumber(const std::string& type, double value) {
  char buf[64];
  if (type == "float" || type == "float32") {
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(static_cast<float>(value)));
  } else if (type == "double" || type == "float64") {
    std::snprintf(buf, sizeof buf, "%.17g", value);
  } else {
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(value));
  }
  return buf;
}

std::string WritePly(const PlyLayout& l, const std::vector<PlyVertex>& verts,
                     const std::vector<std::vector<long long>>& faces) {
  const std::string& e = l.lineEnd;
  std::string s = "ply" + e;
  s += std::string("format ") +
       (l.encoding == PlyEncoding::kAscii    ? "ascii"
        : l.encoding == PlyEncoding::kLittle ? "binary_little_endian"
                                             : "binary_big_endian") +
       " 1.0" + e;
  s += "comment made by the reader tests" + e;
  s += "element vertex " + std::to_string(verts.size()) + e;
  if (l.extras) s += "property uchar red" + e;
  for (const char* axis : {"x", "y", "z"}) s += "property " + l.positionType + " " + axis + e;
  if (l.extras) s += "property float u" + e + "property float v" + e;
  if (l.normals) {
    for (const char* axis : {"nx", "ny", "nz"}) s += std::string("property float ") + axis + e;
  }
  s += "element face " + std::to_string(faces.size()) + e;
  s += "property list " + l.countType + " " + l.indexType + " " + l.indexName + e;
  s += "end_header" + e;
  const bool big = l.encoding == PlyEncoding::kBig;
  for (const PlyVertex& v : verts) {
    std::vector<std::pair<std::string, double>> values;
    if (l.extras) values.emplace_back("uchar", 200);
    values.emplace_back(l.positionType, v.x);
    values.emplace_back(l.positionType, v.y);
    values.emplace_back(l.positionType, v.z);
    if (l.extras) {
      values.emplace_back("float", 0.25);
      values.emplace_back("float", 0.75);
    }
    if (l.normals) {
      values.emplace_back("float", v.nx);
      values.emplace_back("float", v.ny);
      values.emplace_back("float", v.nz);
    }
    if (l.encoding == PlyEncoding::kAscii) {
      for (std::size_t i = 0; i < values.size(); ++i)
        s += (i ? " " : "") + AsciiNumber(values[i].first, values[i].second);
      s += e;
    } else {
      for (const auto& [type, value] : values) PutBinary(s, type, value, big);
    }
  }
  for (const std::vector<long long>& f : faces) {
    if (l.encoding == PlyEncoding::kAscii) {
      s += std::to_string(f.size());
      for (const long long i : f) {
        s += ' ';
        s += std::to_string(i);
      }
      s += e;
    } else {
      PutBinary(s, l.countType, static_cast<double>(f.size()), big);
      for (const long long i : f) PutBinary(s, l.indexType, static_cast<double>(i), big);
    }
  }
  return s;
}

struct StlFacet {
  float p[3][3];
};

std::string WriteBinaryStl(const std::vector<StlFacet>& facets, const std::string& header = "binary") {
  std::string s = header;
  s.resize(80, ' ');
  const auto n = static_cast<std::uint32_t>(facets.size());
  s.append(reinterpret_cast<const char*>(&n), 4);
  for (const StlFacet& f : facets) {
    const float normal[3] = {0.0f, 0.0f, 1.0f};
    s.append(reinterpret_cast<const char*>(normal), 12);
    s.append(reinterpret_cast<const char*>(f.p), 36);
    s.append(2, '\0');
  }
  return s;
}

std::string WriteAsciiSolid(const std::string& name, const std::vector<StlFacet>& facets, const char* format = "%.9g",
                            const std::string& e = "\n") {
  std::string s = "solid " + name + e;
  for (const StlFacet& f : facets) {
    s += "  facet normal 0 0 1" + e + "    outer loop" + e;
    for (const auto& p : f.p) {
      char buf[160];
      const std::string fmt = std::string("      vertex ") + format + " " + format + " " + format;
      std::snprintf(buf, sizeof buf, fmt.c_str(), static_cast<double>(p[0]), static_cast<double>(p[1]),
                    static_cast<double>(p[2]));
      s += buf + e;
    }
    s += "    endloop" + e + "  endfacet" + e;
  }
  s += "endsolid " + name + e;
  return s;
}

// A patch of terrain on a coarse grid, so many corners coincide; some facets degenerate.
std::vector<StlFacet> RandomFacets(std::mt19937& random, std::size_t count) {
  std::uniform_int_distribution<int> cell(-4, 4);
  std::vector<StlFacet> facets(count);
  for (StlFacet& f : facets) {
    for (auto& p : f.p) {
      for (float& c : p) c = static_cast<float>(cell(random)) * 0.375f;
    }
    if (random() % 8 == 0) std::memcpy(f.p[1], f.p[0], sizeof f.p[0]);  // a degenerate facet
  }
  // A -0 next to a +0: the same point, welded.
  facets[0].p[0][0] = -0.0f;
  facets[0].p[1][0] = 0.0f;
  return facets;
}

// Vertices on a coarse grid (integers where the type needs them), duplicates, unused vertices
// and degenerate faces; normals from a few directions, some 1e-6 apart (within assimp's joining
// tolerance) and some far apart.
void RandomPlyMesh(std::mt19937& random, bool integral, std::vector<PlyVertex>* verts,
                   std::vector<std::vector<long long>>* faces) {
  std::uniform_int_distribution<int> cell(integral ? 0 : -3, 3);
  const double scale = integral ? 1.0 : 0.3;
  verts->resize(60);
  for (PlyVertex& v : *verts) {
    v.x = cell(random) * scale;
    v.y = cell(random) * scale;
    v.z = random() % 2 == 0 ? 0.0 : scale;
    const unsigned n = static_cast<unsigned>(random() % 4);
    v.nx = n == 1 ? 1.0 : n == 2 ? 1e-6 : 0.0;
    v.ny = n == 3 ? 1.0 : 0.0;
    v.nz = n == 1 || n == 3 ? 0.0 : 1.0;
  }
  if (!integral) (*verts)[1].x = -0.0;
  std::uniform_int_distribution<long long> pick(3, static_cast<long long>(verts->size()) - 1);  // 0..2 unused
  faces->resize(80);
  for (auto& f : *faces) {
    f = {pick(random), pick(random), pick(random)};
    if (random() % 10 == 0) f[2] = f[0];
  }
}

// ---- The welder against a literal one ----------------------------------------------------------

// Far more vertices than the table first holds, so it grows several times; every answer must
// match a plain map of first appearances, with -0 and +0 one point.
TEST(MeshReaders, WelderMatchesFirstAppearanceAcrossTableGrowth) {
  VertexWelder welder(1, false);
  std::map<std::tuple<float, float, float>, std::uint32_t> literal;
  std::vector<float> order;
  std::mt19937 random(42);
  for (int i = 0; i < 20000; ++i) {
    float p[3];
    for (float& c : p) c = static_cast<float>(static_cast<int>(random() % 31) - 15) * 0.5f;
    if (random() % 16 == 0) p[0] = -p[0];  // includes -0
    const auto key = std::make_tuple(p[0] + 0.0f, p[1] + 0.0f, p[2] + 0.0f);
    const auto [at, fresh] = literal.emplace(key, static_cast<std::uint32_t>(literal.size()));
    if (fresh) order.insert(order.end(), p, p + 3);
    ASSERT_EQ(welder.Add(p, nullptr), at->second) << "vertex " << i;
  }
  EXPECT_EQ(welder.size(), literal.size());
  EXPECT_FALSE(welder.ambiguous());
  const std::vector<float> positions = welder.TakePositions();
  ASSERT_EQ(positions.size(), order.size());
  for (std::size_t i = 0; i < order.size(); ++i) ASSERT_EQ(BitsOf(positions[i]), BitsOf(order[i])) << i;
}

TEST(MeshReaders, WelderKeepsNormalsApartBeyondToleranceAndFlagsAmbiguity) {
  VertexWelder welder(1, true);
  const float p[3] = {1, 2, 3};
  const float up[3] = {0, 0, 1}, side[3] = {1, 0, 0}, nearlyUp[3] = {0, 9e-6f, 1}, farUp[3] = {0, 1.6e-5f, 1};
  EXPECT_EQ(welder.Add(p, up), 0u);
  EXPECT_EQ(welder.Add(p, side), 1u);
  EXPECT_EQ(welder.Add(p, nearlyUp), 0u);  // 9e-6 from up: joined
  EXPECT_EQ(welder.Add(p, farUp), 2u);     // 1.6e-5 from up: apart
  EXPECT_FALSE(welder.ambiguous());
  // 8e-6 from both up and farUp, so assimp's sort order would decide: flagged.
  const float between[3] = {0, 8e-6f, 1};
  welder.Add(p, between);
  EXPECT_TRUE(welder.ambiguous());
  // Many more vertices elsewhere make the table grow; the early ones keep their order.
  for (int i = 0; i < 1000; ++i) {
    const float q[3] = {static_cast<float>(i), 0, 0};
    welder.Add(q, up);
  }
  EXPECT_EQ(welder.Add(p, side), 1u);
  EXPECT_EQ(welder.Add(p, farUp), 2u);
}

// ---- The package's test models -----------------------------------------------------------------

TEST(MeshReaders, EveryPlyAndStlOfTheTestModelsImportsAsThroughAssimp) {
  if (!fs::is_directory(kAssimpModels)) GTEST_SKIP() << "assimp-testmodels is not installed";
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(kAssimpModels)) {
    std::string ext = entry.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (entry.is_regular_file() && (ext == ".ply" || ext == ".stl")) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 10u);
  std::set<std::string> taken;
  for (const std::string& path : files) {
    for (const ImportOptions& options : OptionSets()) {
      const std::string what = path + " (" + Describe(options) + ")";
      const ImportResult viaAssimp = ImportMeshWithAssimp(path, options);
      // Whoever reads it, ImportMesh gives what assimp gives.
      ExpectSameImport(viaAssimp, ImportMesh(path, options), what);
      if (const std::optional<ImportResult> own = ImportMeshWithOwnReaders(path, options)) {
        ExpectSameImport(viaAssimp, *own, what + " through our reader");
        taken.insert(fs::path(path).filename().string());
      }
    }
  }
  // The files our readers must take (the rest have quads, no faces, or an empty solid).
  for (const char* name :
       {"cube_binary.ply", "Wuson.ply", "float-color.ply", "Wuson.stl", "Spider_ascii.stl", "Spider_binary.stl",
        "sphereWithHole.stl", "triangle.stl", "triangle_with_two_solids.stl", "3DSMaxExport.STL"}) {
    EXPECT_EQ(taken.count(name), 1u) << name << " was left to assimp";
  }
}

// ---- Generated PLY -----------------------------------------------------------------------------

TEST(MeshReaders, GeneratedPlyOfEveryEncodingAndTypeImportsAsThroughAssimp) {
  ScratchDir dir;
  std::mt19937 random(20261208);
  int n = 0;
  for (const PlyEncoding encoding : {PlyEncoding::kAscii, PlyEncoding::kLittle, PlyEncoding::kBig}) {
    for (const char* type :
         {"float", "double", "char", "uchar", "short", "ushort", "int", "uint", "float32", "int16"}) {
      for (const bool normals : {false, true}) {
        PlyLayout layout;
        layout.encoding = encoding;
        layout.positionType = type;
        layout.normals = normals;
        layout.extras = (n % 3) == 0;
        layout.countType = n % 2 ? "uchar" : "int";
        layout.indexType = n % 4 < 2 ? "int" : (n % 4 == 2 ? "uint" : "ushort");
        layout.indexName = n % 5 == 0 ? "vertex_index" : "vertex_indices";
        layout.lineEnd = n % 7 == 0 ? "\r\n" : "\n";
        const std::string t = type;
        const bool integral = t != "float" && t != "double" && t != "float32";
        std::vector<PlyVertex> verts;
        std::vector<std::vector<long long>> faces;
        RandomPlyMesh(random, integral, &verts, &faces);
        const std::string path = dir / ("gen" + std::to_string(n++) + ".ply");
        WriteFile(path, WritePly(layout, verts, faces));
        ExpectTakenAndSame(path, path + " " + t + (normals ? " with normals" : ""));
      }
    }
  }
}

// Normals decide welding exactly as in assimp: within 1e-5 join (the first one's normal wins),
// farther apart stay apart; and vertices come out in index order, unused ones dropped.
TEST(MeshReaders, PlyNormalsWeldWithinAssimpsToleranceAndVerticesKeepIndexOrder) {
  ScratchDir dir;
  const std::string path = dir / "normals.ply";
  WriteFile(path,
            "ply\nformat ascii 1.0\nelement vertex 6\nproperty float x\nproperty float y\nproperty float z\n"
            "property float nx\nproperty float ny\nproperty float nz\nelement face 3\n"
            "property list uchar int vertex_indices\nend_header\n"
            "9 9 9 0 0 1\n1 0 0 0 0 1\n0 1 0 0 0 1\n0 0 0 0 0 1\n1 0 0 0 0.000001 1\n1 0 0 0 1 0\n"
            "3 3 2 1\n3 1 2 4\n3 5 2 3\n");
  const std::optional<ImportResult> own = ImportMeshWithOwnReaders(path, {});
  ASSERT_TRUE(own.has_value());
  ASSERT_EQ(own->meshes.size(), 1u);
  const Mesh& mesh = own->meshes[0].mesh;
  // Vertex 0 is unused; 4 joins 1 (normal 1e-6 away); 5 stays apart (normal far away).
  ASSERT_EQ(mesh.verts.size(), 4u);
  EXPECT_EQ(mesh.verts[0], Point3(1, 0, 0));
  EXPECT_EQ(mesh.verts[3], Point3(1, 0, 0));
  EXPECT_EQ(mesh.faces[1].v[2], 0u);
  EXPECT_EQ(mesh.faces[2].v[0], 3u);
  EXPECT_TRUE(own->smoothingFromFile);
  ExpectTakenAndSame(path, "normals.ply");
  // flat: normals play no part, so 5 joins 1 as well.
  ImportOptions flat;
  flat.flat = true;
  const std::optional<ImportResult> flatOwn = ImportMeshWithOwnReaders(path, flat);
  ASSERT_TRUE(flatOwn.has_value());
  EXPECT_EQ(flatOwn->meshes[0].mesh.verts.size(), 3u);
  EXPECT_FALSE(flatOwn->smoothingFromFile);
}

TEST(MeshReaders, PlyHeaderUpAxisCommentAppliesToOurReaderToo) {
  ScratchDir dir;
  std::mt19937 random(7);
  std::vector<PlyVertex> verts;
  std::vector<std::vector<long long>> faces;
  RandomPlyMesh(random, false, &verts, &faces);
  std::string ply = WritePly({}, verts, faces);
  ply.insert(ply.find("element"), "comment up_axis: -x\n");
  const std::string path = dir / "up.ply";
  WriteFile(path, ply);
  const std::optional<ImportResult> own = ImportMeshWithOwnReaders(path, {});
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(own->upAxisUsed, "-x (PLY header comment)");
  ExpectTakenAndSame(path, "up.ply");
}

// ---- Generated STL -----------------------------------------------------------------------------

TEST(MeshReaders, GeneratedStlBinaryAndAsciiImportAsThroughAssimp) {
  ScratchDir dir;
  std::mt19937 random(1208);
  const std::vector<StlFacet> a = RandomFacets(random, 300);
  const std::vector<StlFacet> b = RandomFacets(random, 40);

  const std::string binary = dir / "terrain.stl";
  WriteFile(binary, WriteBinaryStl(a));
  ExpectTakenAndSame(binary, "binary");
  // A binary header that starts like ASCII: the size decides, as in assimp.
  const std::string solidHeader = dir / "solid-header.stl";
  WriteFile(solidHeader, WriteBinaryStl(a, "solid but binary"));
  ExpectTakenAndSame(solidHeader, "binary with a 'solid' header");

  const std::string ascii = dir / "ascii.stl";
  WriteFile(ascii, WriteAsciiSolid("terrain", a));
  ExpectTakenAndSame(ascii, "ascii");
  const std::string crlf = dir / "crlf.stl";
  WriteFile(crlf, WriteAsciiSolid("", a, "%e", "\r\n"));
  ExpectTakenAndSame(crlf, "ascii, CRLF, exponents, no name");

  // Two solids of one name and a third: three meshes named apart, --node picks by either name.
  const std::string solids = dir / "solids.stl";
  WriteFile(solids, WriteAsciiSolid("part", a) + WriteAsciiSolid("part", b) + "\n\n" + WriteAsciiSolid("lid", b));
  ExpectTakenAndSame(solids, "three solids");
  for (const char* node : {"part", "part.1", "lid", "none"}) {
    ImportOptions options;
    options.node = node;
    const std::optional<ImportResult> own = ImportMeshWithOwnReaders(solids, options);
    ASSERT_TRUE(own.has_value()) << node;
    ExpectSameImport(ImportMeshWithAssimp(solids, options), *own, std::string("solids, node ") + node);
  }
  const std::optional<ImportResult> all = ImportMeshWithOwnReaders(solids, {});
  ASSERT_TRUE(all.has_value());
  ASSERT_EQ(all->meshes.size(), 3u);
  EXPECT_EQ(all->meshes[1].name, "part.1");
  EXPECT_EQ(all->upAxisUsed, "z (STL convention)");
  EXPECT_FALSE(all->smoothingFromFile);
}

// ---- Where we differ from assimp on purpose ----------------------------------------------------

// Assimp's joining finds earlier vertices by a hash of the exact position but compares them with
// a tolerance, so different points up to about 1e-5 apart become one when their hashes share a
// bucket (here: (1e-6, 0, 0) joins the origin, but (1e-8, 0, 1) does not join (0, 0, 1) while
// (8e-10, 0, 1) does). Ours keep every point where the file put it, whatever the distances.
TEST(MeshReaders, NearbyPointsStayApartAndInPlace) {
  ScratchDir dir;
  for (const float offset : {1e-6f, 1e-8f, 8e-10f, 1e-20f}) {
    for (const float z : {0.0f, 1.0f}) {
      std::vector<PlyVertex> verts(4);
      verts[0].z = verts[3].z = z;
      verts[1].x = 1;
      verts[2].y = 1;
      verts[3].x = offset;
      const std::string ply = dir / "near.ply";
      WriteFile(ply, WritePly({}, verts, {{0, 1, 2}, {3, 1, 2}}));
      std::vector<StlFacet> facets(2, StlFacet{{{0, 0, z}, {1, 0, 0}, {0, 1, 0}}});
      facets[1].p[0][0] = offset;
      const std::string stl = dir / "near.stl";
      WriteFile(stl, WriteBinaryStl(facets));
      for (const std::string& path : {ply, stl}) {
        const std::optional<ImportResult> own = ImportMeshWithOwnReaders(path, {});
        ASSERT_TRUE(own.has_value()) << path;
        ASSERT_EQ(own->meshes.size(), 1u);
        const Mesh& mesh = own->meshes[0].mesh;
        ASSERT_EQ(mesh.verts.size(), 4u) << path << " offset " << offset;
        EXPECT_EQ(mesh.verts[mesh.faces[1].v[0]].x, offset) << path;
        EXPECT_EQ(mesh.verts[mesh.faces[0].v[0]].x, 0.0f) << path;
      }
    }
  }
}

// ---- What the readers leave to assimp, and the refusals ----------------------------------------

TEST(MeshReaders, FilesOurReadersDoNotTakeStillImportThroughAssimp) {
  ScratchDir dir;
  std::mt19937 random(99);
  std::vector<PlyVertex> verts;
  std::vector<std::vector<long long>> faces;
  RandomPlyMesh(random, false, &verts, &faces);
  struct Case {
    std::string name, bytes;
  };
  std::vector<Case> cases;
  {
    auto quads = faces;
    quads[3].push_back(4);  // one quad among triangles
    cases.push_back({"quad.ply", WritePly({}, verts, quads)});
  }
  {
    auto nan = verts;
    nan[5].y = std::nan("");
    cases.push_back({"nan.ply", WritePly({}, nan, faces)});
  }
  {
    PlyLayout ascii;
    ascii.encoding = PlyEncoding::kAscii;
    auto inf = verts;
    inf[7].z = HUGE_VAL;
    cases.push_back({"inf-ascii.ply", WritePly(ascii, inf, faces)});
  }
  {
    // Counts no ASCII data of this size could hold (ImportMesh refuses these before any reader;
    // the reader alone must not size anything by them either).
    PlyLayout ascii;
    ascii.encoding = PlyEncoding::kAscii;
    std::string s = WritePly(ascii, verts, faces);
    s.replace(s.find("element vertex 60"), 17, "element vertex 4000000000");
    cases.push_back({"huge-count.ply", s});
  }
  {
    // Assimp reads the format from the line after "ply" only.
    PlyLayout ascii;
    ascii.encoding = PlyEncoding::kAscii;
    std::string s = WritePly(ascii, verts, faces);
    cases.push_back({"comment-before-format.ply", "ply\ncomment first\n" + s.substr(4)});
    cases.push_back({"text-before-format.ply", "ply\nformatted by hand\n" + s.substr(4)});
    // Assimp may drop the end of a last line that has no line end, depending on the file's size.
    std::string cut = s.substr(0, s.size() - 1);
    cases.push_back({"no-final-line-end.ply", cut});
    cut.insert(cut.find("end_header\n") + 11, "+");
    cases.push_back({"no-final-line-end-longer.ply", cut});
    // ... and ends an element's properties at the first line that is not one.
    const std::size_t y = s.find("property float y");
    cases.push_back({"comment-among-properties.ply", s.substr(0, y) + "comment between\n" + s.substr(y)});
    cases.push_back({"text-among-properties.ply", s.substr(0, y) + "propery float w\n" + s.substr(y)});
  }
  {
    std::string s = WritePly({}, verts, faces);
    s.insert(s.find("end_header"), "element edge 0\nproperty int vertex1\n");
    cases.push_back({"edge-element.ply", s});
  }
  {
    std::string s = WritePly({}, verts, faces);
    s.insert(s.find("end_header"), "property uchar flags\n");  // a face property besides the list
    cases.push_back({"face-flags.ply", s});
  }
  {
    // One point, three normals: the first two 1.5e-5 apart (kept apart), the third 7.5e-6 from
    // both, so which one it joins hangs on assimp's sort order.
    PlyLayout withNormals;
    withNormals.normals = true;
    std::vector<PlyVertex> same(6);
    same[1].ny = 1.5e-5;
    same[2].ny = 7.5e-6;
    same[3].x = 1;
    same[4].y = 1;
    same[5].x = same[5].y = 1;
    cases.push_back({"ambiguous-normals.ply", WritePly(withNormals, same, {{0, 3, 4}, {1, 4, 5}, {2, 5, 3}})});
  }
  {
    std::vector<StlFacet> facets = RandomFacets(random, 10);
    facets[4].p[2][1] = std::numeric_limits<float>::infinity();
    cases.push_back({"inf.stl", WriteBinaryStl(facets)});
    cases.push_back({"no-endsolid.stl", WriteAsciiSolid("x", RandomFacets(random, 5)).substr(0, 400)});
    cases.push_back({"trailing-text.stl", WriteAsciiSolid("x", RandomFacets(random, 5)) + "garbage\n"});
    cases.push_back({"empty-binary.stl", WriteBinaryStl({})});
    // 2^31 + 3 facets counted over 3 records: 50 bytes a facet wraps past 2^32 to this very size
    // in assimp's 32-bit size test, so the count must not size or steer anything.
    std::string wraps = WriteBinaryStl(RandomFacets(random, 3));
    wraps[80] = 3;
    wraps[81] = wraps[82] = 0;
    wraps[83] = static_cast<char>(0x80);
    cases.push_back({"count-wraps.stl", wraps});
  }
  for (const Case& c : cases) {
    const std::string path = dir / c.name;
    WriteFile(path, c.bytes);
    RawMesh raw;
    std::vector<RawMesh> solids;
    const bool ply = c.name.find(".ply") != std::string::npos;
    EXPECT_FALSE(ply ? ReadPly(c.bytes, true, &raw) : ReadStl(c.bytes, &solids))
        << c.name << " should be left to assimp";
    ExpectSameImport(ImportMeshWithAssimp(path, {}), ImportMesh(path, {}), c.name);
  }
}

// The refusals made before any reader runs hold whichever reader would read the file, with the
// same one-line messages; and data that ends early is left to assimp, which refuses or reads it
// as before, for every length.
TEST(MeshReaders, RefusalsHoldAndEveryTruncationImportsAsThroughAssimp) {
  ScratchDir dir;
  struct Case {
    std::string name, bytes, message;
  };
  const std::string header =
      "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
      "property float z\nelement face 1\nproperty list uchar int vertex_indices\n";
  const std::string body = "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";
  const std::vector<Case> refused = {
      {"no-end.ply", header, "a PLY header without an end_header line"},
      {"lying.ply",
       "ply\nformat ascii 1.0\nelement vertex 3000\nproperty float x\nproperty float y\nproperty float z\n"
       "element face 1\nproperty list uchar int vertex_indices\nend_header\n" +
           body,
       "a PLY header that promises more 'vertex' entries than the file has bytes"},
      {"twice.ply", header + "element vertex 3\nend_header\n" + body, "a PLY header that declares its vertices twice"},
      {"lone-cr.ply", "ply\nformat ascii 1.0\ncomment x\rx\n" + header.substr(20) + "end_header\n" + body,
       "a PLY header with a line ending in a lone carriage return"},
      {"empty-face.ply", header + "end_header\n0 0 0\n1 0 0\n0 1 0\n0\n", "a face without vertices"},
  };
  for (const Case& c : refused) {
    const std::string path = dir / c.name;
    WriteFile(path, c.bytes);
    const ImportResult result = ImportMesh(path, {});
    EXPECT_EQ(result.error, path + ": " + c.message) << c.name;
    EXPECT_TRUE(result.meshes.empty()) << c.name;
    ExpectSameImport(ImportMeshWithAssimp(path, {}), result, c.name);
  }

  std::mt19937 random(5);
  std::vector<PlyVertex> verts;
  std::vector<std::vector<long long>> faces;
  RandomPlyMesh(random, false, &verts, &faces);
  verts.resize(8);
  faces = {{3, 4, 5}, {5, 6, 7}, {7, 6, 3}};
  PlyLayout big;
  big.encoding = PlyEncoding::kBig;
  PlyLayout ascii;
  ascii.encoding = PlyEncoding::kAscii;
  std::vector<StlFacet> facets = RandomFacets(random, 3);
  const std::vector<std::pair<std::string, std::string>> whole = {
      {"cut.ply", WritePly({}, verts, faces)},           {"cut-big.ply", WritePly(big, verts, faces)},
      {"cut-ascii.ply", WritePly(ascii, verts, faces)},  {"cut.stl", WriteBinaryStl(facets)},
      {"cut-ascii.stl", WriteAsciiSolid("cut", facets)},
  };
  for (const auto& [name, bytes] : whole) {
    const std::string path = dir / name;
    for (std::size_t length = 0; length < bytes.size(); ++length) {
      WriteFile(path, bytes.substr(0, length));
      const std::string what = name + " cut to " + std::to_string(length) + " bytes";
      ExpectSameImport(ImportMeshWithAssimp(path, {}), ImportMesh(path, {}), what);
      if (::testing::Test::HasFailure()) return;
    }
  }
}

}  // namespace
