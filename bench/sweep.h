// How the query benchmarks spend their points: which query a sweep makes, how threads share the
// points, how many points the slow literal sampler gets, and how two implementations' answers
// are compared.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "host/geometry.h"
#include "tests/support/reference_sampler.h"

enum class Query { kHeightAt, kFilteredU, kFilteredUV, kNormalAt };

// Filter footprint of the FilteredHeight benchmarks: about one texel of a 1024 map.
inline constexpr float kFilterWidth = 1.0f / 1024.0f;

const char* QueryName(Query query);

// One pass of query over points, summing what it returns (heights of hits, filtered heights, or
// the components of hit normals) so the optimiser must do every query. Sampler is anything with
// the SurfaceSampler query interface.
template <typename Sampler>
float Sweep(const Sampler& sampler, Query query, std::span<const Point2> points) {
  float sum = 0.0f;
  switch (query) {
    case Query::kHeightAt:
      for (const Point2& p : points) {
        float height = 0.0f;
        if (sampler.HeightAt(Point3(p.x, p.y, 0.0f), height)) sum += height;
      }
      break;
    case Query::kFilteredU:
      for (const Point2& p : points) sum += sampler.FilteredHeight(p.x, p.y, kFilterWidth, 0.0f);
      break;
    case Query::kFilteredUV:
      for (const Point2& p : points) sum += sampler.FilteredHeight(p.x, p.y, kFilterWidth, kFilterWidth);
      break;
    case Query::kNormalAt:
      for (const Point2& p : points) {
        Point3 normal;
        if (sampler.NormalAt(Point3(p.x, p.y, 0.0f), normal)) sum += normal.x + normal.y + normal.z;
      }
      break;
  }
  return sum;
}

// Thread index of count takes its own contiguous share, so no two threads touch one point and
// together they touch each once.
inline std::span<const Point2> Slice(std::span<const Point2> points, int index, int count) {
  const std::size_t begin = points.size() * static_cast<std::size_t>(index) / static_cast<std::size_t>(count);
  const std::size_t end = points.size() * static_cast<std::size_t>(index + 1) / static_cast<std::size_t>(count);
  return points.subspan(begin, end - begin);
}

// Share of points where two height answers differ: a hit against a miss, or heights further
// apart than tolerance (0 asks for equal values; a NaN never agrees). HeightA and HeightB are
// called as bool(const Point2&, float& height).
template <typename HeightA, typename HeightB>
double Disagreement(std::span<const Point2> points, float tolerance, HeightA a, HeightB b) {
  std::size_t differ = 0;
  for (const Point2& p : points) {
    float ha = 0.0f;
    float hb = 0.0f;
    const bool hitA = a(p, ha);
    const bool hitB = b(p, hb);
    if (hitA != hitB || (hitA && !(std::fabs(ha - hb) <= tolerance))) ++differ;
  }
  return points.empty() ? 0.0 : double(differ) / double(points.size());
}

// Faces a literal query tests on average: the tree is complete, so its leaves are equal squares
// and a uniform point lands in each with the same chance.
double MeanLeafFaces(const reference::QuadNode& node);

// Points the literal sampler gets, a prefix of the available ones. It scans whole leaves, so at
// low depths one sweep of every point would take minutes, and even at depth 10 its pointer
// chase costs microseconds a query: the prefix is sized for about 2^26 face tests, at least 256
// points and at most a quarter of those available, so that a five-tap FilteredHeight sweep stays
// within a few seconds.
std::size_t LiteralPointCount(double meanLeafFaces, std::size_t available);
