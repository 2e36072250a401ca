// The general-purpose baseline for SurfaceSampler: the same height field answered by Embree 3,
// one vertical ray per query, cast down from above the mesh and keeping only upward faces.
//
// Embree's geometric normal for a triangle (v0, v1, v2) is (v1 - v0) x (v2 - v0), so a face that
// is counter-clockwise seen from +Z (the sampler's upward faces) has Ng.z > 0; the intersection
// filter drops every other hit. Embree returns the nearest accepted hit, which for a ray going
// down is the highest upward face: the answer HeightAt gives.
#pragma once

#include <embree3/rtcore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/mesh.h"

// The triangles of a mesh in UV space, in the buffer layout Embree shares without copying.
struct UvTriangles {
  std::vector<float> vertices;         // x, y, z per vertex, then one float of padding: Embree
                                       // reads the last vertex with a 16-byte load
  std::vector<std::uint32_t> indices;  // three per triangle
  float maxHeight = 0.0f;              // greatest Z of a vertex that a triangle uses

  std::size_t TriangleCount() const { return indices.size() / 3; }
  std::size_t Bytes() const { return vertices.size() * sizeof(float) + indices.size() * sizeof(std::uint32_t); }

  // Copies every face of uvMesh whose indices are in range and whose vertices are finite (the
  // others could not be hit by a query anyway, and would make Embree read out of bounds).
  static UvTriangles From(const Mesh& uvMesh);
};

// An Embree device whose allocations are counted through its memory monitor.
class EmbreeDevice {
 public:
  // config is Embree's device configuration string ("threads=1", ...), or null for the
  // defaults (one build thread per hardware thread). Aborts with Embree's message on failure.
  explicit EmbreeDevice(const char* config);
  ~EmbreeDevice();
  EmbreeDevice(const EmbreeDevice&) = delete;
  EmbreeDevice& operator=(const EmbreeDevice&) = delete;

  RTCDevice Handle() const { return device_; }

  // Bytes Embree holds now, and the most it held since the last ResetPeak (or creation).
  std::int64_t LiveBytes() const { return live_.load(); }
  std::int64_t PeakBytes() const { return peak_.load(); }
  void ResetPeak() { peak_.store(live_.load()); }

 private:
  static bool Monitor(void* self, ssize_t bytes, bool post);

  RTCDevice device_ = nullptr;
  std::atomic<std::int64_t> live_{0};
  std::atomic<std::int64_t> peak_{0};
};

class EmbreeHeightField {
 public:
  // Builds and commits a scene of triangles on device. The scene shares triangles' buffers, so
  // triangles must outlive it and stay unchanged; device must outlive it too.
  EmbreeHeightField(const EmbreeDevice& device, const UvTriangles& triangles);
  ~EmbreeHeightField();
  EmbreeHeightField(const EmbreeHeightField&) = delete;
  EmbreeHeightField& operator=(const EmbreeHeightField&) = delete;

  // Height of the highest upward face over UV point (u, v), by one rtcIntersect1. Returns
  // whether a face was hit; height is written only then. Const and safe from several threads.
  bool HeightAt(float u, float v, float& height) const;

 private:
  RTCScene scene_ = nullptr;
  float rayStartZ_ = 1.0f;
};
