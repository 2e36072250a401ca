#include "sampler/quad_node.h"

Box2D QuadNode::Quadrant(int k) const {
  const Point2 mid = Mid();
  const float x0 = (k & 1) ? mid.x : min.x;
  const float x1 = (k & 1) ? max.x : mid.x;
  const float y0 = (k & 2) ? mid.y : min.y;
  const float y1 = (k & 2) ? max.y : mid.y;
  return Box2D({x0, y0}, {x1, y1});
}

int QuadNode::QuadrantOf(const Point3& p) const {
  for (int k = 0; k < 4; ++k) {
    const Box2D q = Quadrant(k);
    if (q.min.x <= p.x && p.x < q.max.x && q.min.y <= p.y && p.y < q.max.y) return k;
  }
  return -1;
}

bool QuadNode::Overlaps(int k, const Box2D& b) const {
  const Box2D q = Quadrant(k);
  return b.max.x >= q.min.x && b.min.x <= q.max.x && b.max.y >= q.min.y && b.min.y <= q.max.y;
}
