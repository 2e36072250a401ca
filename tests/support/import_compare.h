// Comparing an import through our own readers with the same file through assimp, exactly, and a
// scratch folder to write the files in.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/mesh_io.h"
#include "tests/support/temp_folder.h"

namespace test_support {

namespace fs = std::filesystem;

struct ScratchDir {
  fs::path path;
  explicit ScratchDir(const std::string& prefix) : path(MakeTempFolder(prefix)) {}
  ~ScratchDir() { fs::remove_all(path); }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::uint32_t BitsOf(float f) {
  std::uint32_t b = 0;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

// Exactly equal: coordinates compared as bits, so even the sign of a zero must agree.
void ExpectSameImport(const ImportResult& expected, const ImportResult& actual, const std::string& what) {
  EXPECT_EQ(actual.error, expected.error) << what;
  EXPECT_EQ(actual.upAxisUsed, expected.upAxisUsed) << what;
  EXPECT_EQ(actual.smoothingFromFile, expected.smoothingFromFile) << what;
  ASSERT_EQ(actual.meshes.size(), expected.meshes.size()) << what;
  for (std::size_t m = 0; m < expected.meshes.size(); ++m) {
    const Mesh& e = expected.meshes[m].mesh;
    const Mesh& a = actual.meshes[m].mesh;
    EXPECT_EQ(actual.meshes[m].name, expected.meshes[m].name) << what;
    ASSERT_EQ(a.verts.size(), e.verts.size()) << what << " mesh " << m;
    ASSERT_EQ(a.faces.size(), e.faces.size()) << what << " mesh " << m;
    for (std::size_t v = 0; v < e.verts.size(); ++v) {
      for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(BitsOf(a.verts[v][k]), BitsOf(e.verts[v][k]))
            << what << " mesh " << m << " vertex " << v << " axis " << k << ": " << a.verts[v][k] << " vs "
            << e.verts[v][k];
      }
    }
    for (std::size_t f = 0; f < e.faces.size(); ++f) {
      const Face& ef = e.faces[f];
      const Face& af = a.faces[f];
      ASSERT_TRUE(af.v[0] == ef.v[0] && af.v[1] == ef.v[1] && af.v[2] == ef.v[2])
          << what << " mesh " << m << " face " << f << ": " << af.v[0] << " " << af.v[1] << " " << af.v[2] << " vs "
          << ef.v[0] << " " << ef.v[1] << " " << ef.v[2];
      ASSERT_EQ(af.smGroup, ef.smGroup) << what << " face " << f;
      ASSERT_EQ(af.flags, ef.flags) << what << " face " << f;
    }
  }
}

}  // namespace test_support
