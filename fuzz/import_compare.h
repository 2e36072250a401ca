// Shared by the fuzz targets of our own mesh readers: what a taken mesh must satisfy, and the
// check that ImportMesh gives exactly what assimp gives for the same file.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/mesh_io.h"
#include "app/raw_mesh.h"

namespace fuzz_import {

[[noreturn]] inline void Fail(const char* target, const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", target, what.c_str());
  std::abort();
}

// Every corner names a welded vertex, every welded vertex is finite and used, and no two welded
// vertices share a position unless normals keep them apart.
inline void CheckRawMesh(const char* target, const RawMesh& mesh) {
  if (mesh.positions.size() % 3 != 0 || mesh.corners.size() % 3 != 0 || mesh.corners.empty()) {
    Fail(target, "a taken mesh with a ragged or empty array");
  }
  const std::size_t count = mesh.positions.size() / 3;
  std::string used(count, '\0');
  for (const std::uint32_t c : mesh.corners) {
    if (c >= count) Fail(target, "a corner beyond the welded vertices");
    used[c] = 1;
  }
  if (used.find('\0') != std::string::npos) Fail(target, "a welded vertex no face uses");
  for (const float p : mesh.positions) {
    if (!std::isfinite(p)) Fail(target, "a taken mesh with a coordinate that is not finite");
  }
}

inline std::uint32_t Bits(float f) {
  std::uint32_t b = 0;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

// Empty when own and assimp agree exactly; otherwise what differs first.
inline std::string Difference(const ImportResult& own, const ImportResult& assimp) {
  if (own.error != assimp.error) return "errors differ: '" + own.error + "' vs '" + assimp.error + "'";
  if (own.upAxisUsed != assimp.upAxisUsed || own.smoothingFromFile != assimp.smoothingFromFile ||
      own.meshes.size() != assimp.meshes.size()) {
    return "up axis, smoothing flag or mesh count differ from assimp's";
  }
  for (std::size_t m = 0; m < own.meshes.size(); ++m) {
    const Mesh& a = own.meshes[m].mesh;
    const Mesh& b = assimp.meshes[m].mesh;
    if (own.meshes[m].name != assimp.meshes[m].name) return "mesh names differ from assimp's";
    if (a.verts.size() != b.verts.size() || a.faces.size() != b.faces.size()) {
      return "vertex or face counts differ from assimp's: " + std::to_string(a.verts.size()) + "/" +
             std::to_string(a.faces.size()) + " vs " + std::to_string(b.verts.size()) + "/" +
             std::to_string(b.faces.size());
    }
    for (std::size_t v = 0; v < a.verts.size(); ++v) {
      for (int k = 0; k < 3; ++k) {
        if (Bits(a.verts[v][k]) != Bits(b.verts[v][k])) return "vertex " + std::to_string(v) + " differs";
      }
    }
    for (std::size_t f = 0; f < a.faces.size(); ++f) {
      const Face &x = a.faces[f], &y = b.faces[f];
      if (x.v[0] != y.v[0] || x.v[1] != y.v[1] || x.v[2] != y.v[2] || x.smGroup != y.smGroup || x.flags != y.flags) {
        return "face " + std::to_string(f) + " differs";
      }
    }
  }
  return "";
}

// Whether some mesh holds two different points that assimp's joining may take for one (at most
// 1e-5 apart; it joins them when their hashes share a bucket): there our readers keep both on
// purpose (raw_mesh.h), so a difference from assimp is expected.
inline bool HasPointsAssimpJoins(const ImportResult& own) {
  for (const ImportedMesh& m : own.meshes) {
    const std::vector<Point3>& p = m.mesh.verts;
    if (p.empty()) continue;
    std::vector<std::size_t> order(p.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return p[a].x < p[b].x; });
    for (std::size_t i = 0; i < order.size(); ++i) {
      for (std::size_t j = i + 1; j < order.size() && p[order[j]].x - p[order[i]].x <= 1e-5f; ++j) {
        const Point3 d = p[order[j]] - p[order[i]];
        const float squared = d.x * d.x + d.y * d.y + d.z * d.z;
        if (!(p[order[j]] == p[order[i]]) && squared <= 1e-5f * 1e-5f) return true;
      }
    }
  }
  return false;
}

// Writes bytes to a file of this process with the extension given and compares ImportMesh with
// assimp's import of it, smooth and flat: they must agree exactly, but where assimp joins
// different points.
inline void CompareWithAssimp(const char* target, std::string_view bytes, const char* extension) {
  static const std::string path =
      "/tmp/veldmap-fuzz-" + std::string(target) + "-" + std::to_string(::getpid()) + "." + extension;
  static const struct Remover {
    ~Remover() { std::remove(path.c_str()); }
  } remover;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) Fail(target, "cannot write " + path);
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) Fail(target, "short write");
  if (std::fclose(file) != 0) Fail(target, "cannot close " + path);
  for (const bool flat : {false, true}) {
    ImportOptions options;
    options.flat = flat;
    const ImportResult own = ImportMesh(path, options);
    const std::string difference = Difference(own, ImportMeshWithAssimp(path, options));
    if (!difference.empty() && !HasPointsAssimpJoins(own)) Fail(target, difference);
  }
}

}  // namespace fuzz_import
