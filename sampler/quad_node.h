// One node of the sampler's face index: a complete quadtree over the unit square of UV space.
//
// Nodes live in one arena owned by the sampler; the four children of a node are consecutive
// there. A node keeps its own square and derives its quadrants from it. The square's corners
// are dyadic fractions (k / 2^level), so the midpoints, and every comparison against them, are
// exact in single precision.
#pragma once

#include "host/geometry.h"

struct QuadNode {
  // Quadrant order: 0 lower left, 1 lower right, 2 upper left, 3 upper right (lower = smaller V).
  QuadNode(const Point2& squareMin, const Point2& squareMax) : min(squareMin), max(squareMax) {}

  Point2 Mid() const { return {(min.x + max.x) * 0.5f, (min.y + max.y) * 0.5f}; }
  Box2D Quadrant(int k) const;

  // Index of the quadrant holding (p.x, p.y), or -1. Lower bounds are closed and upper bounds
  // open: a point on a mid line belongs to the right or upper quadrant, NaN to none. p.z is ignored.
  int QuadrantOf(const Point3& p) const;

  // Whether box b overlaps quadrant k; all bounds closed, so touching an edge or corner counts.
  bool Overlaps(int k, const Box2D& b) const;

  QuadNode* child(int k) const { return children == nullptr ? nullptr : children + k; }

  Point2 min;
  Point2 max;
  BOOL isLeaf = FALSE;
  QuadNode* children = nullptr;  // first of the four children, null in a leaf
};
