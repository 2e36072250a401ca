// The host's triangle mesh: a vertex array and a face array.
//
// Faces are kept exactly as the scene file stores them (20 bytes, see Face), so a face array
// can be written and read in one block. Nothing here checks that a face's vertex indices are
// below the vertex count: a mesh read from a file may hold such faces, and every reader of the
// face array must check the indices before using them.
#pragma once

#include <cstddef>
#include <type_traits>
#include <vector>

#include "host/geometry.h"
#include "host/types.h"

struct Face {
  DWORD v[3] = {0, 0, 0};
  DWORD smGroup = 0;
  DWORD flags = 0;

  void setVerts(DWORD a, DWORD b, DWORD c) {
    v[0] = a;
    v[1] = b;
    v[2] = c;
  }
  void setSmGroup(DWORD bits) { smGroup = bits; }
  DWORD getSmGroup() const { return smGroup; }
  DWORD getVert(int k) const { return v[k]; }
  friend bool operator==(const Face&, const Face&) = default;
};
static_assert(sizeof(Face) == 20 && std::is_standard_layout_v<Face>, "Face is stored byte for byte");
static_assert(sizeof(Point3) == 12 && std::is_standard_layout_v<Point3>, "Point3 is stored byte for byte");

class Mesh {
 public:
  Mesh() = default;

  int getNumVerts() const { return static_cast<int>(verts.size()); }
  int getNumFaces() const { return static_cast<int>(faces.size()); }

  // Resizes the vertex (face) array. With keep, the first entries survive; without it every
  // entry is reset to zero. A negative count is refused (returns FALSE, mesh unchanged).
  BOOL setNumVerts(int n, BOOL keep = FALSE);
  BOOL setNumFaces(int n, BOOL keep = FALSE);

  Point3& getVert(int i) { return verts[static_cast<std::size_t>(i)]; }
  const Point3& getVert(int i) const { return verts[static_cast<std::size_t>(i)]; }
  void setVert(int i, const Point3& p) { verts[static_cast<std::size_t>(i)] = p; }

  // True when every vertex index of face f is below the vertex count.
  bool faceIsValid(int f) const {
    const Face& face = faces[static_cast<std::size_t>(f)];
    const auto count = static_cast<DWORD>(verts.size());
    return face.v[0] < count && face.v[1] < count && face.v[2] < count;
  }

  // Bounds of all vertices with finite coordinates; a vertex with a NaN or infinite coordinate
  // has no place to stretch the box to and is left out. No finite vertex gives an empty box.
  void buildBoundingBox();
  // The box of the latest buildBoundingBox (the host would apply an optional transform here;
  // no caller needs one).
  Box3 getBoundingBox() const { return bdgBox; }

  std::vector<Point3> verts;
  std::vector<Face> faces;

  friend bool operator==(const Mesh& a, const Mesh& b) { return a.verts == b.verts && a.faces == b.faces; }

 private:
  Box3 bdgBox;
};
