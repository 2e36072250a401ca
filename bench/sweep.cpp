#include "bench/sweep.h"

#include <algorithm>

const char* QueryName(Query query) {
  switch (query) {
    case Query::kHeightAt: return "HeightAt";
    case Query::kFilteredU: return "FilteredHeightU";
    case Query::kFilteredUV: return "FilteredHeightUV";
    case Query::kNormalAt: return "NormalAt";
  }
  return "?";
}

double MeanLeafFaces(const reference::QuadNode& node) {
  if (node.isLeaf) return node.faces.Count();
  double sum = 0.0;
  for (const reference::QuadNode* child : node.children) sum += child != nullptr ? MeanLeafFaces(*child) : 0.0;
  return sum / 4.0;
}

std::size_t LiteralPointCount(double meanLeafFaces, std::size_t available) {
  const double budget = std::ldexp(1.0, 26) / std::max(1.0, meanLeafFaces);
  const double most = static_cast<double>(available) / 4.0;
  return static_cast<std::size_t>(std::min(std::max(budget, 256.0), most));
}
