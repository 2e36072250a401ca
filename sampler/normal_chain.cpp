// Chains of smoothing-group normals per vertex: faces add into the first record that shares a
// smoothing bit, then each chain folds records that share bits and normalises what is left.
#include "sampler/normal_chain.h"

#include <cmath>

NormalChain* NormalChainPool::New(const Point3& normal, DWORD bits) {
  NormalChain& record = records_.emplace_back();
  record.normal = normal;
  record.smGroup = bits;
  record.used = TRUE;
  return &record;
}

void NormalChain::Add(const Point3& n, DWORD bits, NormalChainPool& pool) {
  for (NormalChain* r = this;; r = r->next) {
    if ((r->smGroup & bits) != 0 || !r->used) {
      r->normal += n;
      r->smGroup |= bits;
      r->used = TRUE;
      return;
    }
    if (r->next == nullptr) {
      r->next = pool.New(n, bits);
      return;
    }
  }
}

void NormalChain::MergeAndNormalize() {
  for (NormalChain* p = this; p != nullptr; p = p->next) {
    NormalChain* before = p;
    for (NormalChain* c = p->next; c != nullptr;) {
      if ((c->smGroup & p->smGroup) != 0) {
        p->normal += c->normal;
        before->next = c->next;  // unlink c only; the records after it stay
      } else {
        before = c;
      }
      c = before->next;
    }
    p->normal = Normalize(p->normal);
  }
}

const NormalChain& NormalChain::Find(DWORD bits) const {
  const NormalChain* r = this;
  for (;; r = r->next) {
    if ((r->smGroup & bits) != 0 || r->next == nullptr) return *r;
  }
}

void ComputeVertexNormals(const Mesh& mesh, Tab<NormalChain>& chains, NormalChainPool& pool) {
  pool.Clear();
  chains.SetCount(mesh.getNumVerts());
  for (NormalChain& head : chains) head.Reset();
  for (int f = 0; f < mesh.getNumFaces(); ++f) {
    if (!mesh.faceIsValid(f)) continue;
    const Face& face = mesh.faces[static_cast<std::size_t>(f)];
    const Point3& v0 = mesh.verts[face.v[0]];
    const Point3& v1 = mesh.verts[face.v[1]];
    const Point3& v2 = mesh.verts[face.v[2]];
    // Not normalised: its length is twice the face's area, so larger faces weigh more.
    const Point3 n = CrossProd(v1 - v0, v2 - v1);
    // A vertex that is not finite always makes n non-finite, and so does a face too large for
    // its cross product; added to a record, either would turn the normal of every good face
    // sharing it into NaN.
    if (!std::isfinite(n.x) || !std::isfinite(n.y) || !std::isfinite(n.z)) continue;
    for (int k = 0; k < 3; ++k) chains[static_cast<int>(face.v[k])].Add(n, face.smGroup, pool);
  }
  for (NormalChain& head : chains) head.MergeAndNormalize();
}

Point3 BlendCornerNormals(const Mesh& mesh, const Tab<NormalChain>& chains, int f, const Point3& b) {
  const Face& face = mesh.faces[static_cast<std::size_t>(f)];
  const Point3& n0 = chains[static_cast<int>(face.v[0])].Find(face.smGroup).normal;
  const Point3& n1 = chains[static_cast<int>(face.v[1])].Find(face.smGroup).normal;
  const Point3& n2 = chains[static_cast<int>(face.v[2])].Find(face.smGroup).normal;
  return (n0 * b.x + n1 * b.y) + n2 * b.z;
}
