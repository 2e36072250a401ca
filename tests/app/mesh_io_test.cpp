#include "app/mesh_io.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/mesh_file.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

std::string Model(const std::string& relative) { return kAssimpModels + "/" + relative; }

// A fresh folder, removed with everything in it when the test ends.
struct ScratchDir {
  fs::path path;
  ScratchDir() : path(test_support::MakeTempFolder("mesh_io_")) {}
  ~ScratchDir() { fs::remove_all(path); }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Box3 BoundsOf(Mesh mesh) {
  mesh.buildBoundingBox();
  return mesh.getBoundingBox();
}

ImportResult Import(const std::string& path, const ImportOptions& options = {}) {
  ImportResult result = ImportMesh(path, options);
  EXPECT_EQ(result.error, "") << path;
  return result;
}

// What every successful import promises, whatever the file.
void ExpectWellFormed(const ImportResult& result, DWORD smGroup) {
  for (const ImportedMesh& m : result.meshes) {
    EXPECT_FALSE(m.name.empty());
    for (int f = 0; f < m.mesh.getNumFaces(); ++f) {
      ASSERT_TRUE(m.mesh.faceIsValid(f)) << m.name << " face " << f;
      ASSERT_EQ(m.mesh.faces[static_cast<std::size_t>(f)].smGroup, smGroup) << m.name << " face " << f;
    }
  }
}

// The largest coordinate magnitude, the scale the round-trip tolerance is relative to.
float Extent(const Mesh& mesh) {
  float extent = 0.0f;
  for (const Point3& p : mesh.verts) extent = std::max({extent, std::abs(p.x), std::abs(p.y), std::abs(p.z)});
  return extent;
}

// Face by face, the three corner positions agree within 1e-6 of the mesh's extent. Vertex
// indices may differ (a format may weld or split vertices), the triangles may not.
void ExpectSameTriangles(const Mesh& expected, const Mesh& actual, const std::string& what) {
  ASSERT_EQ(actual.getNumFaces(), expected.getNumFaces()) << what;
  const float tolerance = 1e-6f * Extent(expected);
  for (std::size_t f = 0; f < expected.faces.size(); ++f) {
    for (int k = 0; k < 3; ++k) {
      const Point3 a = expected.verts[expected.faces[f].v[k]];
      const Point3 b = actual.verts[actual.faces[f].v[k]];
      ASSERT_LE(Length(a - b), tolerance) << what << " face " << f << " corner " << k;
    }
  }
}

TEST(MeshIoImport, ReadsEachFormatInTheHostFrame) {
  struct Case {
    const char* file;
    int meshes, verts, faces;
    const char* up;
    bool smoothingFromFile;
  };
  // Vertex counts show the welding: files without normals (and STL, whose facet normals are
  // dropped) weld by position, so a cube has 8 vertices; files with normals keep their hard
  // edges apart, 24 vertices for a cube.
  const Case cases[] = {
      {"OBJ/box.obj", 1, 8, 12, "y (OBJ convention)", false},
      {"PLY/cube.ply", 1, 8, 12, "y (PLY convention)", false},
      {"STL/sphereWithHole.stl", 1, 146, 285, "z (STL convention)", false},
      {"glTF2/BoxTextured-glTF-Binary/BoxTextured.glb", 1, 24, 12, "y (glTF convention)", true},
      {"FBX/box.fbx", 1, 24, 12, "y (FBX UpAxis)", true},
      {"3DS/fels.3ds", 1, 386, 768, "z (3DS convention)", true},
      {"Collada/cube_triangulate.dae", 1, 24, 12, "y (COLLADA <up_axis>)", true},
      {"Collada/cube_tristrips.dae", 1, 24, 12, "z (COLLADA <up_axis>)", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const ImportResult result = Import(Model(c.file));
    EXPECT_EQ(static_cast<int>(result.meshes.size()), c.meshes);
    const Mesh merged = MergeMeshes(result.meshes);
    EXPECT_EQ(merged.getNumVerts(), c.verts);
    EXPECT_EQ(merged.getNumFaces(), c.faces);
    EXPECT_EQ(result.upAxisUsed, c.up);
    EXPECT_EQ(result.smoothingFromFile, c.smoothingFromFile);
    ExpectWellFormed(result, 1);
  }

  // Wuson stands on the ground plane of its Y-up OBJ: after import its feet are at Z = 0 and its
  // height (1.52) is along Z, its length (3.24) along Y. With --up z the file's axes stay.
  const Box3 wuson = BoundsOf(MergeMeshes(Import(Model("OBJ/WusonOBJ.obj")).meshes));
  EXPECT_NEAR(wuson.pmin.z, 0.0f, 1e-3f);
  EXPECT_NEAR(wuson.Width().z, 1.516f, 1e-3f);
  EXPECT_NEAR(wuson.Width().y, 3.244f, 1e-3f);
  ImportOptions zUp;
  zUp.up = 'Z';
  const ImportResult asIs = Import(Model("OBJ/WusonOBJ.obj"), zUp);
  EXPECT_EQ(asIs.upAxisUsed, "z (--up)");
  EXPECT_NEAR(BoundsOf(MergeMeshes(asIs.meshes)).Width().z, 3.244f, 1e-3f);

  // The COLLADA duck is Y up and floats 0.099 above its ground; the 3DS box (assimp turns 3DS
  // data to Y up itself, which must be undone) sits on Z = 0 and is 38.75 tall.
  EXPECT_NEAR(BoundsOf(MergeMeshes(Import(Model("Collada/duck.dae")).meshes)).pmin.z, 0.0993f, 1e-4f);
  const Box3 box3ds = BoundsOf(MergeMeshes(Import(Model("3DS/CameraRollAnim.3ds")).meshes));
  EXPECT_EQ(box3ds.pmin.z, 0.0f);
  EXPECT_NEAR(box3ds.pmax.z, 38.7464f, 1e-3f);

  // One triangle with a corner at (0, 1, 2) in the file. Y up (PLY's convention) turns it +90
  // degrees about X, to (0, -2, 1); a header comment that says Z up leaves it where it is.
  ScratchDir dir;
  ASSERT_FALSE(dir.path.empty());
  for (const std::string comment : {"comment by hand", "comment by hand, up_axis: Z"}) {
    const std::string ply = dir / "triangle.ply";
    std::ofstream(ply) << "ply\nformat ascii 1.0\n"
                       << comment << "\n"
                       << "element vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
                       << "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
                       << "0 0 0\n1 0 0\n0 1 2\n3 0 1 2\n";
    const ImportResult triangle = Import(ply);
    ASSERT_EQ(triangle.meshes.size(), 1u);
    const bool zUpComment = comment.find("up_axis") != std::string::npos;
    EXPECT_EQ(triangle.upAxisUsed, zUpComment ? "z (PLY header comment)" : "y (PLY convention)");
    EXPECT_EQ(triangle.meshes[0].mesh.verts.at(2), zUpComment ? Point3(0, 1, 2) : Point3(0, -2, 1));
  }

  // Infinite coordinates are data: every vertex of this box has x = +-inf, and the turn to Z up
  // moves them without making NaN of them.
  const std::string infinites = Model("glTF2/BoxWithInfinites-glTF-Binary/BoxWithInfinites.glb");
  const Mesh infinite = MergeMeshes(Import(infinites).meshes);
  ASSERT_EQ(infinite.getNumVerts(), 24);
  for (const Point3& p : infinite.verts) {
    EXPECT_TRUE(std::isinf(p.x));
    EXPECT_TRUE(std::isfinite(p.y) && std::isfinite(p.z));
  }
}

TEST(MeshIoImport, NodesNamesSelectionAndMerging) {
  // One teapot mesh used by two nodes: it comes twice, each with its node's world transform, the
  // second named apart. The nodes differ by a translation of (-120.801, 2.58064, 0) inches.
  const ImportResult teapots = Import(Model("Collada/teapot_instancenodes.DAE"));
  ASSERT_EQ(teapots.meshes.size(), 2u);
  EXPECT_EQ(teapots.meshes[0].name, "Teapot01-node");
  EXPECT_EQ(teapots.meshes[1].name, "Teapot01-node.1");
  const Mesh& first = teapots.meshes[0].mesh;
  const Mesh& second = teapots.meshes[1].mesh;
  ASSERT_EQ(first.getNumVerts(), second.getNumVerts());
  EXPECT_EQ(first.faces, second.faces);
  const Point3 shift = Point3(-120.801f, 2.58064f, 0.0f) * 0.0254f;
  for (std::size_t i = 0; i < first.verts.size(); ++i) {
    ASSERT_LE(Length(second.verts[i] - first.verts[i] - shift), 1e-4f) << i;
  }
  ImportOptions pick;
  pick.node = "Teapot01-node.1";
  const ImportResult one = Import(Model("Collada/teapot_instancenodes.DAE"), pick);
  ASSERT_EQ(one.meshes.size(), 1u);
  EXPECT_EQ(one.meshes[0].mesh, second);
  pick.node = "Teapot01-node";  // the name in the file picks both
  EXPECT_EQ(Import(Model("Collada/teapot_instancenodes.DAE"), pick).meshes.size(), 2u);

  // Nine boxes, each its own node: one picked by name is the same as in the full import.
  const ImportResult boxes = Import(Model("3DS/test1.3ds"));
  ASSERT_EQ(boxes.meshes.size(), 9u);
  pick.node = "Box02";
  const ImportResult box02 = Import(Model("3DS/test1.3ds"), pick);
  ASSERT_EQ(box02.meshes.size(), 1u);
  EXPECT_EQ(box02.meshes[0].name, "Box02");
  EXPECT_EQ(box02.meshes[0].mesh, boxes.meshes[1].mesh);
  pick.node = "Box03";
  const ImportResult missing = ImportMesh(Model("3DS/test1.3ds"), pick);
  EXPECT_TRUE(missing.meshes.empty());
  EXPECT_EQ(missing.error.rfind(Model("3DS/test1.3ds") + ": ", 0), 0u) << missing.error;
  for (const char* name : {"'Box03'", "Box01", "Box02", "Box04", "Box10"}) {
    EXPECT_NE(missing.error.find(name), std::string::npos) << missing.error;
  }

  // Merging appends vertices in order and offsets each mesh's faces past the vertices before it.
  const Mesh merged = MergeMeshes(boxes.meshes);
  std::size_t vertBase = 0, faceBase = 0;
  for (const ImportedMesh& m : boxes.meshes) {
    for (std::size_t v = 0; v < m.mesh.verts.size(); ++v) {
      ASSERT_EQ(merged.verts[vertBase + v], m.mesh.verts[v]);
    }
    for (std::size_t f = 0; f < m.mesh.faces.size(); ++f) {
      Face expected = m.mesh.faces[f];
      for (DWORD& v : expected.v) v += static_cast<DWORD>(vertBase);
      ASSERT_EQ(merged.faces[faceBase + f], expected);
    }
    vertBase += m.mesh.verts.size();
    faceBase += m.mesh.faces.size();
  }
  EXPECT_EQ(merged.verts.size(), vertBase);
  EXPECT_EQ(merged.faces.size(), faceBase);

  // A node without a name.
  EXPECT_EQ(Import(Model("PLY/cube.ply")).meshes.at(0).name, "mesh");
}

TEST(MeshIoImport, FlatGivesEveryFaceItsOwnNormal) {
  const std::string box = Model("glTF2/BoxTextured-glTF-Binary/BoxTextured.glb");
  ImportOptions flat;
  flat.flat = true;
  const ImportResult smooth = Import(box);
  const ImportResult flatBox = Import(box, flat);
  ExpectWellFormed(flatBox, 0);
  EXPECT_FALSE(flatBox.smoothingFromFile);
  // Without normals to keep them apart the cube's corners weld; the triangles are unchanged.
  EXPECT_EQ(MergeMeshes(flatBox.meshes).getNumVerts(), 8);
  ExpectSameTriangles(MergeMeshes(smooth.meshes), MergeMeshes(flatBox.meshes), "flat");
}

TEST(MeshIoImport, ErrorsNameTheFileInOneLine) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string garbage = dir / "garbage.ply";
  std::ofstream(garbage, std::ios::binary) << std::string("\x01\x7f\x00\xff not a mesh \x13\x37", 18);
  const std::string text = dir / "notes.txt";
  std::ofstream(text) << "just some words\n";
  // A second face element made assimp's PLY reader write past its face array.
  const std::string twoFaceLists = dir / "two_face_lists.ply";
  std::ofstream(twoFaceLists) << "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                              << "property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
                              << "element face 3\nproperty list uchar int vertex_indices\nend_header\n"
                              << "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n3 0 1 2\n3 0 2 1\n3 1 2 0\n";
  // A count the file cannot hold: assimp made up the missing faces, and with a count in the
  // billions it read past the end for minutes.
  const std::string header =
      "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
      "property float z\nelement face ";
  const std::string tooMany = dir / "too_many_faces.ply", billions = dir / "billions.ply";
  // A comment ending in a lone carriage return before end_header crashed assimp.
  const std::string loneCr = dir / "lone_cr.ply";
  std::ofstream(loneCr, std::ios::binary) << "ply\nformat ascii 1.0\ncomment hi\r\rend_header\r\r";
  std::ofstream(tooMany) << header << "1000\nproperty list uchar int vertex_indices\nend_header\n"
                         << "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";
  std::ofstream(billions) << header << "11111111111111111111111111116\nproperty list uchar int vertex_indices\n"
                          << "end_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";
  ImportOptions badUp;
  badUp.up = 'w';

  struct Case {
    std::string path;
    ImportOptions options;
    const char* says;  // a part of the message, lower case
  };
  const Case cases[] = {
      {dir / "missing.obj", {}, "no such file"},
      {dir.path.string(), {}, "folder"},
      {garbage, {}, ""},
      {text, {}, ""},
      {twoFaceLists, {}, "'face' twice"},
      {tooMany, {}, "more 'face' entries"},
      {billions, {}, "more 'face' entries"},
      {loneCr, {}, "lone carriage return"},
      {Model("OBJ/box.obj"), badUp, "'w'"},
      {Model("OBJ/testpoints.obj"), {}, "no triangles"},
      {Model("glTF2/TestNoRootNode/SceneWithoutNodes.gltf"), {}, "no meshes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const ImportResult result = ImportMesh(c.path, c.options);
    EXPECT_TRUE(result.meshes.empty());
    EXPECT_EQ(result.error.rfind(c.path + ": ", 0), 0u) << result.error;
    EXPECT_GT(result.error.size(), c.path.size() + 2);
    EXPECT_EQ(result.error.find('\n'), std::string::npos) << result.error;
    EXPECT_NE(result.error.find(c.says), std::string::npos) << result.error;
  }
}

TEST(MeshIoExport, ReimportsToTheSameTriangles) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path.empty());
  // Wuson is smooth and lopsided, so a missing or doubled turn to Y up shows; the box's 24
  // vertices keep its hard edges, which the written normals must carry through.
  const Mesh wuson = MergeMeshes(Import(Model("OBJ/WusonOBJ.obj")).meshes);
  const Mesh box = MergeMeshes(Import(Model("glTF2/BoxTextured-glTF-Binary/BoxTextured.glb")).meshes);
  ASSERT_GT(wuson.getNumFaces(), 3000);
  for (const char* format : {"obj", "ply", "stl", "glb", "gltf", "dae", "fbx"}) {
    for (const auto& [name, mesh] : {std::pair<std::string, const Mesh*>{"wuson", &wuson}, {"box", &box}}) {
      const std::string ext = format;
      const std::string path = dir / (name + "." + ext);
      SCOPED_TRACE(path);
      std::string error;
      ASSERT_TRUE(ExportMesh(path, *mesh, name, &error)) << error;
      EXPECT_EQ(error, "");
      const ImportResult back = Import(path);
      ASSERT_EQ(back.meshes.size(), 1u);
      ExpectWellFormed(back, 1);
      const Mesh& again = back.meshes[0].mesh;
      ExpectSameTriangles(*mesh, again, ext);
      if (ext == "stl") continue;  // STL shares no vertices; they weld by position on import
      EXPECT_EQ(again.getNumVerts(), mesh->getNumVerts());
      EXPECT_TRUE(back.smoothingFromFile);
      if (ext != "ply") {
        EXPECT_EQ(back.meshes[0].name, name);  // PLY keeps no names
      }
    }
  }
}

TEST(MeshIoExport, RefusesWithoutTouchingTheTarget) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path.empty());
  const Mesh box = MergeMeshes(Import(Model("OBJ/box.obj")).meshes);
  const std::string target = dir / "old.obj";
  std::ofstream(target) << "old contents\n";

  Mesh broken = box;
  broken.faces[5].v[2] = 8;  // one past the last vertex
  struct Case {
    std::string path;
    const Mesh* mesh;
    const char* says;
  };
  const Mesh empty;
  const Case cases[] = {
      {target, &broken, "face 5"},         {target, &empty, "no faces"},
      {dir / "old.xyz", &box, "obj"},  // the message lists what can be written
      {dir / "no_extension", &box, "stl"}, {dir / "missing/folder/box.obj", &box, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string error;
    EXPECT_FALSE(ExportMesh(c.path, *c.mesh, "box", &error));
    EXPECT_EQ(error.rfind(c.path + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
  // Nothing was written, and no temporary was left behind.
  EXPECT_EQ(Slurp(target), "old contents\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);

  // A good export replaces the old file whole.
  std::string error;
  ASSERT_TRUE(ExportMesh(target, box, "box", &error)) << error;
  EXPECT_EQ(MergeMeshes(Import(target).meshes).getNumFaces(), 12);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

TEST(MeshIo, SupportedExtensions) {
  const std::vector<std::string> in = SupportedImportExtensions();
  EXPECT_TRUE(std::is_sorted(in.begin(), in.end()));
  for (const char* ext : {"3ds", "dae", "fbx", "glb", "gltf", "obj", "ply", "stl"}) {
    EXPECT_TRUE(std::binary_search(in.begin(), in.end(), std::string(ext))) << ext;
  }
  for (const std::string& ext : in) {  // "mesh.xml" is one
    EXPECT_FALSE(ext.empty() || ext[0] == '.') << ext;
    EXPECT_EQ(ext.find_first_of("*;ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << ext;
  }
  const std::vector<std::string> out = {"dae", "fbx", "glb", "gltf", "obj", "ply", "stl"};
  EXPECT_EQ(SupportedExportExtensions(), out);
}

}  // namespace
