// The literal sampler, step by step as the height field is defined: see reference_sampler.h.
#include "tests/support/reference_sampler.h"

#include <algorithm>
#include <cmath>

namespace reference {

namespace {

// Same rule as the real sampler for extents it cannot invert.
float Reciprocal(float extent) {
  const float r = 1.0f / extent;
  return std::isfinite(r) ? r : 1.0f;
}

bool IsFinite(const Point3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

bool InUnitRange(float b) { return b >= 0.0f && b <= 1.0f; }

}  // namespace

QuadNode::QuadNode(const Point2& min, const Point2& max) {
  const Point2 mid((min.x + max.x) * 0.5f, (min.y + max.y) * 0.5f);
  quadrants[0] = Box2D({min.x, min.y}, {mid.x, mid.y});
  quadrants[1] = Box2D({mid.x, min.y}, {max.x, mid.y});
  quadrants[2] = Box2D({min.x, mid.y}, {mid.x, max.y});
  quadrants[3] = Box2D({mid.x, mid.y}, {max.x, max.y});
}

int QuadNode::QuadrantOf(const Point3& p) const {
  for (int k = 0; k < 4; ++k) {
    const Box2D& q = quadrants[k];
    if (q.min.x <= p.x && p.x < q.max.x && q.min.y <= p.y && p.y < q.max.y) return k;
  }
  return -1;
}

bool QuadNode::Overlaps(int k, const Box2D& b) const {
  const Box2D& q = quadrants[k];
  return b.max.x >= q.min.x && b.min.x <= q.max.x && b.max.y >= q.min.y && b.min.y <= q.max.y;
}

Sampler::~Sampler() {
  if (root != nullptr) FreeTree(root);
}

void Sampler::Rebuild(const Mesh& mesh) {
  if (root != nullptr) {
    FreeTree(root);
    root = nullptr;
  }
  workMesh = mesh;
  ComputeVertexNormals(workMesh, normalChains, chainPool_);
  root = new QuadNode(Point2(0.0f, 0.0f), Point2(1.0f, 1.0f));
  Subdivide(root, quadTreeDepth);

  workMesh.buildBoundingBox();
  const Box3 bounds = workMesh.getBoundingBox();
  Point3 lo = bounds.Min();
  Point3 hi = bounds.Max();
  if (bounds.IsEmpty()) lo = hi = Point3(0.0f, 0.0f, 0.0f);
  if (normalizeMesh) {
    for (Point3& p : workMesh.verts) {
      p.x -= lo.x;
      p.y -= lo.y;
      p.z -= lo.z;
    }
  }
  float fx = 1.0f;
  float fy = 1.0f;
  if (normalizeMesh) {
    fx = Reciprocal(hi.x - lo.x);
    fy = Reciprocal(hi.y - lo.y);
  }
  const float su = fx * uScale;
  const float sv = fy * vScale;
  for (Point3& p : workMesh.verts) {
    p.x = su * p.x + uOffset;
    p.y = sv * p.y + vOffset;
  }
  const float fz = Reciprocal(hi.z - lo.z);
  for (Point3& p : workMesh.verts) p.z = fz * p.z;

  faceBoxes.SetCount(workMesh.getNumFaces());
  for (int f = 0; f < workMesh.getNumFaces(); ++f) {
    Box2D box;
    if (workMesh.faceIsValid(f)) {
      for (DWORD v : workMesh.faces[static_cast<std::size_t>(f)].v)
        box += Point2(workMesh.verts[v].x, workMesh.verts[v].y);
    }
    faceBoxes[f] = box;
  }
  for (int f = 0; f < workMesh.getNumFaces(); ++f) InsertFace(f, faceBoxes[f]);
}

void Sampler::Subdivide(QuadNode* node, int levels) {
  if (levels - 1 <= 0) {
    node->isLeaf = TRUE;
    return;
  }
  for (int k = 0; k < 4; ++k) node->children[k] = new QuadNode(node->quadrants[k].min, node->quadrants[k].max);
  for (int k = 0; k < 4; ++k) Subdivide(node->children[k], levels - 1);
}

void Sampler::InsertFace(int f, const Box2D& box) {
  if (root == nullptr) return;
  for (int k = 0; k < 4; ++k) {
    if (root->children[k] != nullptr && root->Overlaps(k, box)) InsertIntoNode(root->children[k], f, box);
  }
}

void Sampler::InsertIntoNode(QuadNode* node, int f, const Box2D& box) {
  if (!node->isLeaf) {
    for (int k = 0; k < 4; ++k) {
      if (node->children[k] != nullptr && node->Overlaps(k, box)) InsertIntoNode(node->children[k], f, box);
    }
    return;
  }
  // Faces that cannot be read safely (an index past the vertices, a coordinate that is not
  // finite) are never stored.
  if (!workMesh.faceIsValid(f)) return;
  const Face& face = workMesh.faces[static_cast<std::size_t>(f)];
  const Point3& p = workMesh.verts[face.v[0]];
  const Point3& q = workMesh.verts[face.v[1]];
  const Point3& r = workMesh.verts[face.v[2]];
  if (!IsFinite(p) || !IsFinite(q) || !IsFinite(r)) return;
  const Point3 e = Normalize(q - p);
  const Point3 g = Normalize(r - p);
  const Point3 c = CrossProd(e, g);
  if (c.z > 0.0f) node->faces.Append(f);
}

void Sampler::FreeTree(QuadNode* node) {
  QuadNode* children[4];
  std::copy(std::begin(node->children), std::end(node->children), children);
  delete node;
  for (QuadNode* child : children) {
    if (child != nullptr) FreeTree(child);
  }
}

const QuadNode* Sampler::Descend(const Point3& p) const {
  const QuadNode* node = root;
  while (!node->isLeaf) {
    const int k = node->QuadrantOf(p);
    if (k < 0 || k > 3 || node->children[k] == nullptr) return nullptr;
    node = node->children[k];
  }
  return node;
}

// Walks p's leaf in list order and keeps the first accepted face, replaced by any later one
// that is strictly higher.
bool Sampler::TopFace(const Point3& p, int& winner, Point3& weights, float& height) const {
  const QuadNode* leaf = Descend(p);
  if (leaf == nullptr || leaf->faces.Count() == 0) return false;
  winner = -1;
  for (int i = 0; i < leaf->faces.Count(); ++i) {
    const int f = leaf->faces[i];
    const Box2D& box = faceBoxes[f];
    if (!(box.min.x <= p.x && p.x <= box.max.x && box.min.y <= p.y && p.y <= box.max.y)) continue;
    const Face& face = workMesh.faces[static_cast<std::size_t>(f)];
    const Point3& v0 = workMesh.verts[face.v[0]];
    const Point3& v1 = workMesh.verts[face.v[1]];
    const Point3& v2 = workMesh.verts[face.v[2]];
    const Point3 b = BaryCoords(Point3(v0.x, v0.y, 0.0f), Point3(v1.x, v1.y, 0.0f), Point3(v2.x, v2.y, 0.0f),
                                Point3(p.x, p.y, 0.0f));
    if (!InUnitRange(b.x) || !InUnitRange(b.y) || !InUnitRange(b.z)) continue;
    if (!(std::fabs(b.z + b.y + b.x - 1.0f) <= 1e-6f)) continue;
    const float h = b.z * v2.z + b.y * v1.z + b.x * v0.z;
    if (winner < 0 || h > height) {
      winner = f;
      weights = b;
      height = h;
    }
  }
  return winner >= 0;
}

bool Sampler::HeightAt(Point3 p, float& height) const {
  if (root == nullptr) {
    height = 0.0f;
    return false;
  }
  int winner;
  Point3 weights;
  float top;
  if (!TopFace(p, winner, weights, top)) return false;
  height = top;
  return true;
}

float Sampler::FilteredHeight(float u, float v, float du, float dv) const {
  float sum = 0.0f;
  float tap = 0.0f;
  float count = 1.0f;
  HeightAt(Point3(u, v, 0.0f), sum);
  if (du != 0.0f) {
    const float half = du * 0.5f;
    HeightAt(Point3(u + half, v, 0.0f), tap);
    sum += tap;
    HeightAt(Point3(u - half, v, 0.0f), tap);
    sum += tap;
    count = 3.0f;
  }
  if (dv != 0.0f) {
    const float half = dv * 0.5f;
    HeightAt(Point3(u, v + half, 0.0f), tap);
    sum += tap;
    HeightAt(Point3(u, v - half, 0.0f), tap);
    sum += tap;
    count = count + 2.0f;
  }
  return sum / count;
}

bool Sampler::NormalAt(Point3 p, Point3& normal) const {
  normal = Point3(0.0f, 0.0f, 0.0f);
  int winner;
  Point3 weights;
  float top;
  if (root == nullptr || !TopFace(p, winner, weights, top)) return false;
  const Face& face = workMesh.faces[static_cast<std::size_t>(winner)];
  const Point3 n0 = normalChains[static_cast<int>(face.v[0])].Find(face.smGroup).normal;
  const Point3 n1 = normalChains[static_cast<int>(face.v[1])].Find(face.smGroup).normal;
  const Point3 n2 = normalChains[static_cast<int>(face.v[2])].Find(face.smGroup).normal;
  normal = (weights.x * n0 + weights.y * n1) + weights.z * n2;
  return true;
}

}  // namespace reference
