// Small meshes for tests, built in code.
#pragma once

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <random>

#include "host/mesh.h"

struct Tri {
  DWORD a, b, c;
  DWORD smGroup = 1;
};

inline Mesh MakeMesh(std::initializer_list<Point3> verts, std::initializer_list<Tri> tris) {
  Mesh mesh;
  mesh.verts.assign(verts.begin(), verts.end());
  for (const Tri& t : tris) {
    Face face;
    face.setVerts(t.a, t.b, t.c);
    face.setSmGroup(t.smGroup);
    mesh.faces.push_back(face);
  }
  return mesh;
}

// Unit square split into two counter-clockwise triangles at height z (a flat roof).
inline Mesh SquareAt(float x0, float y0, float x1, float y1, float z) {
  return MakeMesh({{x0, y0, z}, {x1, y0, z}, {x1, y1, z}, {x0, y1, z}}, {{0, 1, 2}, {0, 2, 3}});
}

// Seeded soup of triangles of assorted sizes, some facing down, some overlapping, some sticking
// out of the unit square after normalisation; smoothing groups drawn from a few bits.
inline Mesh RandomMesh(std::uint32_t seed, int faceCount, float maxEdge = 0.2f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_real_distribution<float> edge(-maxEdge, maxEdge);
  std::uniform_int_distribution<int> bits(0, 7);
  Mesh mesh;
  for (int f = 0; f < faceCount; ++f) {
    const Point3 p(unit(rng) * 1.2f - 0.1f, unit(rng) * 1.2f - 0.1f, unit(rng));
    const auto base = static_cast<DWORD>(mesh.verts.size());
    mesh.verts.push_back(p);
    mesh.verts.push_back(p + Point3(edge(rng), edge(rng), edge(rng)));
    mesh.verts.push_back(p + Point3(edge(rng), edge(rng), edge(rng)));
    Face face;
    face.setVerts(base, base + 1, base + 2);
    face.setSmGroup(static_cast<DWORD>(bits(rng)));
    mesh.faces.push_back(face);
  }
  return mesh;
}

// Seeded height field over an n x n vertex grid, two counter-clockwise triangles per square,
// all in smoothing group 1: shared vertices, so smooth normals.
inline Mesh GridTerrain(std::uint32_t seed, int n) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  Mesh mesh;
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      const float fx = float(x) / float(n - 1);
      const float fy = float(y) / float(n - 1);
      mesh.verts.emplace_back(fx * 10.0f, fy * 10.0f, std::sin(fx * 6.0f) * std::cos(fy * 4.0f) + noise(rng));
    }
  for (int y = 0; y + 1 < n; ++y)
    for (int x = 0; x + 1 < n; ++x) {
      const auto i = static_cast<DWORD>(y * n + x);
      const auto row = static_cast<DWORD>(n);
      Face a, b;
      a.setVerts(i, i + 1, i + row + 1);
      b.setVerts(i, i + row + 1, i + row);
      a.setSmGroup(1);
      b.setSmGroup(1);
      mesh.faces.push_back(a);
      mesh.faces.push_back(b);
    }
  return mesh;
}
