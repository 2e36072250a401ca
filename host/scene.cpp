#include "host/scene.h"

#include <cstdio>

ReferenceTarget* TriObject::Clone(RemapDir& remap) {
  TriObject* copy = CreateNewTriObject();
  copy->mesh = mesh;
  remap.AddEntry(this, copy);
  return copy;
}

TriObject* CreateNewTriObject() { return new TriObject(); }

PlaneObject::PlaneObject(float width, float length, int segments)
    : width_(width), length_(length), segments_(segments < 1 ? 1 : segments) {}

Object* PlaneObject::ConvertToType(TimeValue, Class_ID id) {
  if (id != triObjectClassID) return nullptr;
  TriObject* tri = CreateNewTriObject();
  Mesh& mesh = tri->mesh;
  const int n = segments_;
  mesh.setNumVerts((n + 1) * (n + 1));
  mesh.setNumFaces(2 * n * n);
  for (int y = 0; y <= n; ++y) {
    for (int x = 0; x <= n; ++x) {
      mesh.setVert(y * (n + 1) + x, Point3(width_ * (float(x) / float(n) - 0.5f), length_ * (float(y) / float(n) - 0.5f), 0.0f));
    }
  }
  for (int y = 0, f = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      const auto i = static_cast<DWORD>(y * (n + 1) + x);
      const auto row = static_cast<DWORD>(n + 1);
      mesh.faces[static_cast<std::size_t>(f)].setVerts(i, i + 1, i + row + 1);
      mesh.faces[static_cast<std::size_t>(f++)].setSmGroup(1);
      mesh.faces[static_cast<std::size_t>(f)].setVerts(i, i + row + 1, i + row);
      mesh.faces[static_cast<std::size_t>(f++)].setSmGroup(1);
    }
  }
  return tri;
}

ReferenceTarget* PlaneObject::Clone(RemapDir& remap) {
  auto* copy = new PlaneObject(width_, length_, segments_);
  remap.AddEntry(this, copy);
  return copy;
}

ReferenceTarget* PointHelperObject::Clone(RemapDir& remap) {
  auto* copy = new PointHelperObject();
  remap.AddEntry(this, copy);
  return copy;
}

INode::INode(Object* object) { ReplaceReference(0, object); }

ObjectState INode::EvalWorldState(TimeValue, BOOL) { return ObjectState{object_}; }

RefResult INode::NotifyRefChanged(const Interval& changeInt, RefTargetHandle, PartID& part, RefMessage message) {
  // A change of the object is a change of the node for whoever refers to the node.
  if (message == REFMSG_CHANGE) NotifyDependents(changeInt, part, message);
  return REF_SUCCEED;
}

void INode::SetReference(int i, RefTargetHandle target) {
  if (i == 0) object_ = static_cast<Object*>(target);
}

namespace {

// The address of a static stands in for the main window: unique, non-null, never dereferenced.
char mainWindowTag;

}  // namespace

SceneRoot::~SceneRoot() = default;

RefTargetHandle SceneRoot::GetReference(int i) {
  return i >= 0 && i < NumRefs() ? nodes[static_cast<std::size_t>(i)] : nullptr;
}

void SceneRoot::SetReference(int i, RefTargetHandle target) {
  if (i >= 0 && i < NumRefs()) nodes[static_cast<std::size_t>(i)] = static_cast<INode*>(target);
}

RefResult SceneRoot::NotifyRefChanged(const Interval&, RefTargetHandle, PartID&, RefMessage message) {
  if (message == REFMSG_TARGET_DELETED) std::erase(nodes, nullptr);
  return REF_SUCCEED;
}

Interface::Interface() = default;

Interface::~Interface() { ResetScene(); }

HWND Interface::GetMAXHWnd() const { return reinterpret_cast<HWND>(&mainWindowTag); }

INode* Interface::FindNode(const char* name) const {
  for (INode* node : root_.nodes) {
    if (std::string(node->GetName()) == name) return node;
  }
  return nullptr;
}

void Interface::MakeNameUnique(CStr& name) const {
  if (FindNode(name.data()) == nullptr) return;
  for (int suffix = 1;; ++suffix) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%03d", suffix);
    const std::string candidate = name.str() + digits;
    if (FindNode(candidate.c_str()) == nullptr) {
      name = CStr(candidate);
      return;
    }
  }
}

INode* Interface::CreateObjectNode(Object* object) {
  if (object == nullptr) return nullptr;
  auto* node = new INode(object);
  root_.nodes.push_back(nullptr);
  root_.ReplaceReference(root_.NumRefs() - 1, node, FALSE);
  return node;
}

void Interface::RedrawViews(TimeValue, int, ReferenceTarget*) { ++redraws_; }

void Interface::ResetScene() {
  // Deleting a node tells its dependents, the root among them, which drops its entry.
  while (!root_.nodes.empty()) root_.nodes.back()->DeleteThis();
  time_ = 0;
  redraws_ = 0;
}

Interface* GetCOREInterface() {
  static Interface theInterface;
  return &theInterface;
}
