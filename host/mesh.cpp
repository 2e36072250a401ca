#include "host/mesh.h"

#include <cmath>

namespace {

template <typename T>
BOOL Resize(std::vector<T>& items, int n, BOOL keep) {
  if (n < 0) return FALSE;
  if (!keep) items.clear();
  items.resize(static_cast<std::size_t>(n));
  return TRUE;
}

}  // namespace

BOOL Mesh::setNumVerts(int n, BOOL keep) { return Resize(verts, n, keep); }
BOOL Mesh::setNumFaces(int n, BOOL keep) { return Resize(faces, n, keep); }

void Mesh::buildBoundingBox() {
  bdgBox.Init();
  for (const Point3& p : verts) {
    if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) bdgBox += p;
  }
}
