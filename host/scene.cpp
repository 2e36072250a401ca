#include "host/scene.h"

#include <cstdio>

#include "host/byte_order.h"

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

namespace {

constexpr unsigned short kNodeNameChunk = 0x0100;
constexpr unsigned short kMeshChunk = 0x0200;
constexpr std::size_t kMaxNodeNameBytes = 4096;
// Matches what the importer accepts; a scene holding more is not one we wrote.
constexpr std::uint64_t kMaxMeshRecords = std::uint64_t{1} << 27;

}  // namespace

IOResult INode::Save(ISave* save) {
  return WriteChunkBytes(*save, kNodeNameChunk, std::vector<unsigned char>(name_.begin(), name_.end()));
}

IOResult INode::Load(ILoad* load) {
  std::string name = name_;
  while (load->OpenChunk() == IO_OK) {
    bool ok = true;
    if (load->CurChunkID() == kNodeNameChunk) {
      std::vector<unsigned char> body;
      ok = ReadChunkBytes(*load, kMaxNodeNameBytes, &body);
      name.assign(body.begin(), body.end());
    }
    if (load->CloseChunk() != IO_OK || !ok) return IO_ERROR;
  }
  name_ = name;
  return IO_OK;
}

IOResult TriObject::Save(ISave* save) {
  std::vector<unsigned char> body;
  body.reserve(8 + 12 * mesh.verts.size() + 20 * mesh.faces.size());
  AppendLE32(body, static_cast<std::uint32_t>(mesh.verts.size()));
  AppendLE32(body, static_cast<std::uint32_t>(mesh.faces.size()));
  for (const Point3& p : mesh.verts) {
    for (const float c : {p.x, p.y, p.z}) AppendF32(body, c);
  }
  for (const Face& f : mesh.faces) {
    for (const DWORD v : {f.v[0], f.v[1], f.v[2], f.smGroup, f.flags}) AppendLE32(body, v);
  }
  return WriteChunkBytes(*save, kMeshChunk, body);
}

IOResult TriObject::Load(ILoad* load) {
  Mesh loaded = mesh;
  while (load->OpenChunk() == IO_OK) {
    bool ok = true;
    if (load->CurChunkID() == kMeshChunk) {
      const std::uint64_t length = load->CurChunkLength();
      std::vector<unsigned char> head;
      unsigned long got = 0;
      head.resize(8);
      ok = length >= 8 && load->Read(head.data(), 8, &got) == IO_OK && got == 8;
      const std::uint64_t nv = ok ? LoadLE32(head.data()) : 0, nf = ok ? LoadLE32(head.data() + 4) : 0;
      // The counts must fit the chunk exactly before anything is allocated from them.
      ok = ok && nv <= kMaxMeshRecords && nf <= kMaxMeshRecords && length - 8 == nv * 12 + nf * 20;
      std::vector<unsigned char> body;
      if (ok) {
        body.resize(static_cast<std::size_t>(length - 8));
        ok = load->Read(body.data(), static_cast<unsigned long>(body.size()), &got) == IO_OK && got == body.size();
      }
      if (ok) {
        loaded.verts.resize(static_cast<std::size_t>(nv));
        loaded.faces.resize(static_cast<std::size_t>(nf));
        const unsigned char* at = body.data();
        for (Point3& p : loaded.verts) {
          p = Point3(LoadF32(at), LoadF32(at + 4), LoadF32(at + 8));
          at += 12;
        }
        for (Face& f : loaded.faces) {
          f.v[0] = LoadLE32(at);
          f.v[1] = LoadLE32(at + 4);
          f.v[2] = LoadLE32(at + 8);
          f.smGroup = LoadLE32(at + 12);
          f.flags = LoadLE32(at + 16);
          at += 20;
          ok = ok && f.v[0] < nv && f.v[1] < nv && f.v[2] < nv;
        }
      }
    }
    if (load->CloseChunk() != IO_OK || !ok) return IO_ERROR;
  }
  mesh = std::move(loaded);
  return IO_OK;
}

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

void Interface::AddNode(INode* node) {
  if (node == nullptr) return;
  root_.nodes.push_back(nullptr);
  root_.ReplaceReference(root_.NumRefs() - 1, node, FALSE);
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
