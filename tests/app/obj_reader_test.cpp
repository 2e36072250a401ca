// Our own OBJ reader against assimp: every file it takes must import exactly as it does through
// assimp (same vertices bit for bit and in the same order, same faces, names, split into meshes,
// up axis and smoothing flag), and every file it does not take must still import as before.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/mesh_io.h"
#include "app/obj_reader.h"
#include "tests/support/import_compare.h"
#include "tests/support/mesh_file.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using test_support::BitsOf;
using test_support::ExpectSameImport;
using test_support::WriteFile;

struct ScratchDir : test_support::ScratchDir {
  ScratchDir() : test_support::ScratchDir("obj_reader_") {}
};

// Defaults, flat, every --up, and a pick of one node by name.
std::vector<ImportOptions> OptionSets(const std::string& node) {
  std::vector<ImportOptions> sets(6);
  sets[1].flat = true;
  sets[2].up = 'x';
  sets[3].up = 'Y';
  sets[4].up = 'z';
  sets[5].node = node;
  return sets;
}

std::string Describe(const ImportOptions& o) {
  std::string s = o.flat ? "flat" : "smooth";
  if (o.up) s += std::string(" up ") + *o.up;
  if (!o.node.empty()) s += " node " + o.node;
  return s;
}

// Taken by our reader, and equal to assimp's import, for every option set.
void ExpectTakenAndSame(const std::string& path, const std::string& node, const std::string& what) {
  for (const ImportOptions& options : OptionSets(node)) {
    const std::optional<ImportResult> own = ImportMeshWithOwnReaders(path, options);
    ASSERT_TRUE(own.has_value()) << what << ": our reader did not take it (" << Describe(options) << ")";
    EXPECT_EQ(own->error, "") << what;
    ExpectSameImport(ImportMeshWithAssimp(path, options), *own, what + " (" + Describe(options) + ")");
    ExpectSameImport(ImportMeshWithAssimp(path, options), ImportMesh(path, options), what + " through ImportMesh");
  }
}

// A random OBJ: a grid of points with some listed twice (equal positions under different
// numbers), a few normals (some within assimp's joining tolerance of each other), faces spread
// over objects and groups, referring back by positive and negative numbers in one corner form
// per mesh, with comments, blank lines, smoothing lines and degenerate faces in between.
std::string RandomObj(std::mt19937& random, bool crlf, bool withNormals) {
  const std::string nl = crlf ? "\r\n" : "\n";
  std::uniform_int_distribution<int> coord(-3, 3), pick(0, 99);
  std::string s = "# generated" + nl + "mtllib none.mtl" + nl + nl;
  int verts = 0, normals = 0, texcoords = 0;
  auto addVertex = [&] {
    s += "v " + std::to_string(coord(random) * 0.25) + " " + std::to_string(coord(random)) + " " +
         std::to_string(coord(random) * 1e-3) + nl;
    ++verts;
  };
  for (int i = 0; i < 30; ++i) addVertex();
  const char* normalLines[] = {"vn 0 0 1", "vn 0 0.000004 1", "vn 0 1 0", "vn 1 0 0", "vn -0 0 1"};
  for (const char* n : normalLines) {
    s += std::string(n) + nl;
    ++normals;
  }
  s += "vt 0.5 0.5" + nl + "vt 1 0 0" + nl;
  texcoords = 2;
  const char* names[] = {"o first", "g side", "o third", "g fourth"};
  for (int part = 0; part < 5; ++part) {
    if (part > 0) s += std::string(names[part - 1]) + nl;
    // Corner forms: 0 v, 1 v/vt, 2 v//vn, 3 v/vt/vn; normals only when asked for.
    const int form = withNormals ? 2 + part % 2 : part % 2;
    for (int f = 0; f < 12; ++f) {
      if (pick(random) < 10) addVertex();
      if (pick(random) < 8) s += "# a comment between faces" + nl;
      if (pick(random) < 5) s += "s " + std::string(pick(random) < 50 ? "off" : "1") + nl;
      if (pick(random) < 5) s += " \t" + nl;
      if (pick(random) < 15) s += "usemtl " + std::string(pick(random) < 50 ? "red" : "blue") + nl;
      s += "f";
      int first = 0;
      for (int k = 0; k < 3; ++k) {
        int v = std::uniform_int_distribution<int>(1, verts)(random);
        if (k == 0) first = v;
        if (pick(random) < 6) v = first;  // degenerate faces are kept
        const bool negative = pick(random) < 30;
        s += " " + std::to_string(negative ? v - verts - 1 : v);
        const int t = std::uniform_int_distribution<int>(1, texcoords)(random);
        const int n = std::uniform_int_distribution<int>(1, normals)(random);
        if (form == 1) s += "/" + std::to_string(t);
        if (form == 2) s += "//" + std::to_string(pick(random) < 30 ? n - normals - 1 : n);
        if (form == 3) s += "/" + std::to_string(t) + "/" + std::to_string(n);
      }
      s += (pick(random) < 10 ? " " : "") + nl;
    }
  }
  return s;
}

// ---- The package's test models -----------------------------------------------------------------

TEST(ObjReader, EveryObjOfTheTestModelsImportsAsThroughAssimp) {
  if (!fs::is_directory(kAssimpModels)) GTEST_SKIP() << "assimp-testmodels is not installed";
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(kAssimpModels)) {
    std::string ext = entry.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (entry.is_regular_file() && ext == ".obj") files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 10u);
  std::set<std::string> taken;
  for (const std::string& path : files) {
    for (const ImportOptions& options : OptionSets("")) {
      const std::string what = path + " (" + Describe(options) + ")";
      const ImportResult viaAssimp = ImportMeshWithAssimp(path, options);
      ExpectSameImport(viaAssimp, ImportMesh(path, options), what);
      if (const std::optional<ImportResult> own = ImportMeshWithOwnReaders(path, options)) {
        ExpectSameImport(viaAssimp, *own, what + " through our reader");
        taken.insert(fs::path(path).filename().string());
      }
    }
  }
  // The files our reader must take (the others have quads, lines, points, vertex colours, names of
  // several words or no faces).
  for (const char* name :
       {"WusonOBJ.obj", "multiple_spaces.obj", "spider.obj", "cube_usemtl.obj", "cube_mtllib_after_g.obj"}) {
    EXPECT_EQ(taken.count(name), 1u) << name << " was left to assimp";
  }
}

// ---- Generated files ---------------------------------------------------------------------------

TEST(ObjReader, GeneratedObjInEveryCornerFormImportsAsThroughAssimp) {
  ScratchDir dir;
  std::mt19937 random(20261208);
  for (int n = 0; n < 12; ++n) {
    const bool crlf = n % 3 == 0, withNormals = n % 2 == 0;
    const std::string path = dir / ("random" + std::to_string(n) + ".obj");
    WriteFile(path, RandomObj(random, crlf, withNormals));
    ExpectTakenAndSame(path, n % 4 < 2 ? "side" : "defaultobject", "random file " + std::to_string(n));
    if (::testing::Test::HasFailure()) return;
  }
}

// The welding itself on a file small enough to check by hand: two v lines at one position are one
// vertex; the same position with normals 1e-5 apart or more stays two, within that it is one;
// without normals kept (flat) positions alone decide. First appearance decides the order.
TEST(ObjReader, CornersWeldByPositionAndNormalInOrderOfFirstUse) {
  const std::string text =
      "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 0 0\n"
      "vn 0 0 1\nvn 0 0.000002 1\nvn 0 1 0\n"
      "f 2//1 1//1 3//1\nf 4//2 3//1 1//3\n";
  std::vector<RawMesh> meshes;
  ASSERT_TRUE(ReadObj(text, true, &meshes));
  ASSERT_EQ(meshes.size(), 1u);
  EXPECT_EQ(meshes[0].nodeName, "defaultobject");
  EXPECT_TRUE(meshes[0].hasNormals);
  EXPECT_EQ(meshes[0].positions, (std::vector<float>{1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}));
  EXPECT_EQ(meshes[0].corners, (std::vector<std::uint32_t>{0, 1, 2, 0, 2, 3}));

  ASSERT_TRUE(ReadObj(text, false, &meshes));
  ASSERT_EQ(meshes.size(), 1u);
  EXPECT_FALSE(meshes[0].hasNormals);
  EXPECT_EQ(meshes[0].positions, (std::vector<float>{1, 0, 0, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(meshes[0].corners, (std::vector<std::uint32_t>{0, 1, 2, 0, 2, 1}));

  ScratchDir dir;
  WriteFile(dir / "weld.obj", text);
  ExpectTakenAndSame(dir / "weld.obj", "defaultobject", "weld.obj");
}

// Objects and groups each start a mesh of their own, named after them; one without faces adds
// none; a file ending without a line end still has its last face.
TEST(ObjReader, ObjectsAndGroupsSplitAsInAssimp) {
  const std::string text =
      "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\n"
      "f 1 2 3\no body\ng empty\ng legs\nf -1 -2 -3\ns 1\nf 4 3 2\no tail\nf 1 2 4";
  std::vector<RawMesh> meshes;
  ASSERT_TRUE(ReadObj(text, true, &meshes));
  std::vector<std::string> names;
  for (const RawMesh& m : meshes) names.push_back(m.nodeName);
  EXPECT_EQ(names, (std::vector<std::string>{"defaultobject", "legs", "tail"}));
  ASSERT_EQ(meshes.size(), 3u);
  EXPECT_EQ(meshes[1].corners.size(), 6u);
  EXPECT_EQ(meshes[2].corners.size(), 3u);
  ScratchDir dir;
  WriteFile(dir / "parts.obj", text);
  ExpectTakenAndSame(dir / "parts.obj", "legs", "parts.obj");
  WriteFile(dir / "parts-crlf.obj", "# c\r\n" + std::string("v 0 0 0\r\nv 1 0 0\r\nv 0 1 0\r\ng a\r\nf 1 2 3\r\n"));
  ExpectTakenAndSame(dir / "parts-crlf.obj", "a", "parts-crlf.obj");
}

// A material change splits a mesh once it has faces: the new mesh sits in the same node (so its
// name gets ".1"); a mesh without a material yet just takes the first one; the same material
// again splits nothing; a group starts in the material in force; a change in a mesh that has no
// faces yet only renames its material.
TEST(ObjReader, MaterialChangesSplitMeshesWithinTheirObject) {
  const std::string text =
      "mtllib colours.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\n"
      "f 1 2 3\nusemtl red\nf 2 4 3\nusemtl blue\nf 1 2 4\nusemtl blue\nf 1 3 4\n"
      "g part\nf 1 2 3\nusemtl red\nusemtl blue\nf 2 3 4\nusemtl red\nf 1 2 3\n";
  std::vector<RawMesh> meshes;
  ASSERT_TRUE(ReadObj(text, true, &meshes));
  std::vector<std::string> names;
  std::vector<std::size_t> faces;
  for (const RawMesh& m : meshes) {
    names.push_back(m.nodeName);
    faces.push_back(m.corners.size() / 3);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"defaultobject", "defaultobject", "part", "part", "part"}));
  EXPECT_EQ(faces, (std::vector<std::size_t>{2, 2, 1, 1, 1}));
  ScratchDir dir;
  WriteFile(dir / "materials.obj", text);
  ExpectTakenAndSame(dir / "materials.obj", "defaultobject.1", "materials.obj");
}

// ---- Files left to assimp ----------------------------------------------------------------------

TEST(ObjReader, FilesOurReaderDoesNotTakeStillImportThroughAssimp) {
  const std::string v = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"quad", v + "f 1 2 4 3\n"},
      {"material-of-two-words", v + "usemtl red one\nf 1 2 3\n"},
      {"material-without-name", v + "f 1 2 3\nusemtl\nf 1 2 3\n"},
      {"line", v + "f 1 2 3\nl 1 2\n"},
      {"point", v + "f 1 2 3\np 4\n"},
      {"two-corner-face", v + "f 1 2\n"},
      {"mixed-normals", v + "vn 0 0 1\nf 1//1 2//1 3//1\nf 2 4 3\n"},
      {"mixed-forms", v + "vt 0 0\nf 1 2/1 3\n"},
      {"index-zero", v + "f 0 1 2\n"},
      {"index-beyond", v + "f 1 2 5\n"},
      {"index-ahead", v + "f 1 2 5\nv 2 2 2\n"},
      {"negative-beyond", v + "f -1 -2 -5\n"},
      // Assimp steps past an index by its value's digits, so a leading zero is read twice.
      {"leading-zero", v + "f 1 2 03\n"},
      {"leading-zero-with-normal", v + "vn 0 0 1\nf 1//1 2//1 03//1\n"},
      {"negative-leading-zero", v + "f -1 -2 -03\n"},
      {"leading-zero-normal", v + "vn 0 0 1\nf 1//1 2//1 3//01\n"},
      {"normal-beyond", v + "vn 0 0 1\nf 1//1 2//2 3//1\n"},
      {"texcoord-beyond", v + "f 1/1 2/1 3/1\n"},
      {"repeated-object", v + "o a\nf 1 2 3\no b\nf 2 3 4\no a\nf 1 2 4\n"},
      {"repeated-group", v + "g a\nf 1 2 3\ng a\nf 2 3 4\n"},
      {"group-named-like-default", v + "f 1 2 3\ng defaultobject\nf 2 3 4\n"},
      {"two-word-name", v + "o my part\nf 1 2 3\n"},
      {"bare-object", v + "o\nf 1 2 3\n"},
      {"indented", v + "  f 1 2 3\n"},
      {"continued", v + "f 1 2 \\\n3\n"},
      {"continued-name", v + "g a\\\ng b\nf 1 2 3\n"},
      {"continued-library", "mtllib a\\\n" + v + "f 1 2 3\n"},
      {"lone-cr", v + "f 1 2 3\rf 2 3 4\n"},
      {"lone-cr-in-comment", v + "# x\rf 2 3 4\nf 1 2 3\n"},
      {"nul", v + std::string("f 1 2 3\n\0f 2 3 4\n", 17)},
      {"nan", "v 0 0 nan\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"},
      {"huge", "v 0 0 1e39\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"},
      {"four-coordinates", "v 0 0 0 1\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"},
      {"texcoord-of-one", v + "vt 0.5\nf 1 2 3\n"},
      {"leading-point", v + "v 1 .5 0\nf 1 2 5\n"},
      {"signed-leading-point", v + "v 1 -.5 0\nf 1 2 5\n"},
      {"comma", "v 0 0,5 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"},
      {"trailing-comment", v + "f 1 2 3 # c\n"},
      {"no-faces", v},
      {"empty", ""},
      {"unknown-statement", v + "curv 0 1 1 2\nf 1 2 3\n"},
  };
  ScratchDir dir;
  for (const auto& [name, bytes] : cases) {
    std::vector<RawMesh> meshes;
    EXPECT_FALSE(ReadObj(bytes, true, &meshes)) << name << " should be left to assimp";
    const std::string path = dir / (name + ".obj");
    WriteFile(path, bytes);
    for (const ImportOptions& options : OptionSets("a")) {
      // Without normals kept, a mesh where only some faces give them is plain to read.
      if (!options.flat || name != "mixed-normals") {
        EXPECT_FALSE(ImportMeshWithOwnReaders(path, options).has_value()) << name << " " << Describe(options);
      }
      ExpectSameImport(ImportMeshWithAssimp(path, options), ImportMesh(path, options), name);
    }
  }
}

// The refusals made before any reader runs hold for OBJ, with the same one-line messages; a node
// pick that matches nothing is refused as assimp's path refuses it; and a file cut short anywhere
// imports as assimp imports it (read or refused).
TEST(ObjReader, RefusalsHoldAndEveryTruncationImportsAsThroughAssimp) {
  ScratchDir dir;
  const std::string good = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
  WriteFile(dir / "good.obj", good);
  ImportOptions badUp;
  badUp.up = 'w';
  ImportResult result = ImportMesh(dir / "good.obj", badUp);
  EXPECT_EQ(result.error, dir / "good.obj" + ": the up axis must be x, y or z, not 'w'");
  EXPECT_TRUE(result.meshes.empty());
  result = ImportMesh(dir / "missing.obj", {});
  EXPECT_EQ(result.error, dir / "missing.obj" + ": no such file");
  fs::create_directories(dir / "folder.obj");
  result = ImportMesh(dir / "folder.obj", {});
  EXPECT_EQ(result.error, dir / "folder.obj" + ": is a folder, not a file");
  ImportOptions pick;
  pick.node = "nothing";
  result = ImportMesh(dir / "good.obj", pick);
  EXPECT_EQ(result.error, dir / "good.obj" + ": no mesh named 'nothing'; the file has: defaultobject");
  ExpectSameImport(ImportMeshWithAssimp(dir / "good.obj", pick), result, "node pick");
  // Index out of range: assimp's own refusal comes through unchanged.
  WriteFile(dir / "beyond.obj", good + "f 1 2 9\n");
  result = ImportMesh(dir / "beyond.obj", {});
  EXPECT_NE(result.error, "");
  ExpectSameImport(ImportMeshWithAssimp(dir / "beyond.obj", {}), result, "index beyond");

  const std::string whole =
      "# cut\nv 0.5 -1.25 3e-2\nv 1 0 0\nvn 0 0 1\nv 0 1 0\nvt 0.5 0.5\no part\nf 1//1 2//1 3//1\n"
      "g other\nf -1/1 -2/1 -3/1\r\nf 3 2 1\n";
  const std::string path = dir / "cut.obj";
  for (std::size_t length = 0; length <= whole.size(); ++length) {
    WriteFile(path, whole.substr(0, length));
    ExpectSameImport(ImportMeshWithAssimp(path, {}), ImportMesh(path, {}), "cut to " + std::to_string(length));
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
