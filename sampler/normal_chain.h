// Smoothing-group vertex normals.
//
// Every vertex keeps a chain of records, one per set of smoothing groups that meet there: faces
// that share a smoothing-group bit add their (area-weighted) normals into one record, faces that
// share none get records of their own. A face's corner normal is then the record its own bits
// find at that vertex.
#pragma once

#include <deque>

#include "host/geometry.h"
#include "host/mesh.h"
#include "host/tab.h"

struct NormalChain;

// Owns the records that follow the heads of a table of chains. Records are only added during a
// normal pass and are all released together by Clear (a std::deque never moves its elements, so
// the chain links stay valid while it grows).
class NormalChainPool {
 public:
  NormalChain* New(const Point3& normal, DWORD bits);
  void Clear() { records_.clear(); }
  int Count() const { return static_cast<int>(records_.size()); }

 private:
  std::deque<NormalChain> records_;
};

struct NormalChain {
  Point3 normal;                // sum of the face normals added; unit length after MergeAndNormalize
  DWORD smGroup = 0;            // OR of the bits of the faces added (not of records folded in later)
  NormalChain* next = nullptr;  // next record of the same vertex; owned by the pool
  BOOL used = FALSE;            // has received at least one face normal

  // Resets a head to an untouched record; the records after it are dropped from the chain
  // (their storage belongs to the pool).
  void Reset() { *this = NormalChain(); }

  // Adds face normal n with smoothing bits into the first record that shares a bit with them
  // (or into an untouched head); otherwise appends a new record from pool at the end.
  // A face without smoothing groups (bits 0) therefore always gets a record of its own.
  void Add(const Point3& n, DWORD bits, NormalChainPool& pool);

  // For each record p in chain order, folds every later record that shares a bit with p's own
  // bits into p (p's bits are not widened), then normalises p.
  void MergeAndNormalize();

  // The first record sharing a bit with bits, or the last record of the chain.
  const NormalChain& Find(DWORD bits) const;
};

// Fills chains with one head per vertex of mesh from the face normals n = (V1 - V0) x (V2 - V1),
// added at v[0], v[1], v[2] in face order, then merges and normalises every chain. Extra records
// come from pool, which is cleared first. Faces with a vertex index outside the mesh are skipped,
// and so are faces whose normal n is not finite (a vertex that is not finite, or a face so large
// that the cross product overflows): they add nothing to any record.
void ComputeVertexNormals(const Mesh& mesh, Tab<NormalChain>& chains, NormalChainPool& pool);

// The interpolated normal of face f of mesh at barycentric weights b: the three corner records
// that the face's smoothing bits find, blended as (b0 N0 + b1 N1) + b2 N2 and not renormalised.
// f must be a valid face of mesh, and chains must have been computed from it.
Point3 BlendCornerNormals(const Mesh& mesh, const Tab<NormalChain>& chains, int f, const Point3& b);
