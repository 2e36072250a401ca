#include "host/scene.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "host/byte_order.h"
#include "host/key_track.h"
#include "host/param_block.h"

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
      mesh.setVert(y * (n + 1) + x,
                   Point3(width_ * (float(x) / float(n) - 0.5f), length_ * (float(y) / float(n) - 0.5f), 0.0f));
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

INode::~INode() {
  if (worldState_ != nullptr) worldState_->DeleteThis();
}

namespace {

// What EvalWorldState gives out for a moved node: a mesh that holds only while the object and
// the transform it was made from do.
class WorldStateMesh final : public TriObject {
 public:
  Interval ObjectValidity(TimeValue) override { return validity; }
  Interval validity = FOREVER;
};

// Bit for bit, so that a run of equal keys is exactly that (and -0 differs from 0, as the
// parameter block has it).
bool SamePoint(const Point3& a, const Point3& b) {
  const auto bits = [](float f) { return std::bit_cast<std::uint32_t>(f); };
  return bits(a.x) == bits(b.x) && bits(a.y) == bits(b.y) && bits(a.z) == bits(b.z);
}

bool Finite(const Point3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

Point3 LerpPoint(const Point3& a, const Point3& b, double s) {
  auto lerp = [s](float from, float to) { return static_cast<float>(from + (static_cast<double>(to) - from) * s); };
  return Point3(lerp(a.x, b.x), lerp(a.y, b.y), lerp(a.z, b.z));
}

constexpr unsigned short kNodeNameChunk = 0x0100;
// The transform: for position, rotation and scale in turn, the value (3 f32), a u32 key count
// and per key an i32 time and the value (3 f32); key times strictly increasing. Little-endian.
constexpr unsigned short kNodeTransformChunk = 0x0110;
constexpr std::uint64_t kTransformKeyBytes = 16;
constexpr unsigned short kMeshChunk = 0x0200;
constexpr std::size_t kMaxNodeNameBytes = 4096;
// Matches what the importer accepts; a scene holding more is not one we wrote.
constexpr std::uint64_t kMaxMeshRecords = std::uint64_t{1} << 27;
// Three tracks of up to a million keys each is more than any scene we write.
constexpr std::size_t kMaxTransformBytes = 3 * (16 + (std::size_t{1} << 20) * kTransformKeyBytes);

}  // namespace

Point3 Point3Track::At(TimeValue t, Interval& valid) const {
  if (keys.empty()) return value;
  return KeyedValueAt(keys, t, valid, SamePoint, LerpPoint);
}

Matrix3 INode::GetNodeTM(TimeValue t, Interval* valid) const {
  Interval holds = FOREVER;
  const Point3 scale = scale_.At(t, holds);
  const Point3 rotation = rotation_.At(t, holds);
  const Point3 position = position_.At(t, holds);
  Matrix3 tm;
  tm.Scale(scale);
  tm.RotateX(rotation.x);
  tm.RotateY(rotation.y);
  tm.RotateZ(rotation.z);
  tm.Translate(position);
  if (valid != nullptr) *valid &= holds;
  return tm;
}

bool INode::HasTransform() const {
  const Point3Track unmoved{Point3(0.0f, 0.0f, 0.0f), {}};
  const Point3Track unscaled{Point3(1.0f, 1.0f, 1.0f), {}};
  return !(position_ == unmoved && rotation_ == unmoved && scale_ == unscaled);
}

BOOL INode::WriteTrack(Point3Track& track, TimeValue t, const Point3& v) {
  if (!Finite(v)) return FALSE;
  if (WriteKeyed(track.value, track.keys, t, v, Animating(), SamePoint))
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  return TRUE;
}

BOOL INode::SetPosition(TimeValue t, const Point3& position) { return WriteTrack(position_, t, position); }
BOOL INode::SetRotation(TimeValue t, const Point3& radians) { return WriteTrack(rotation_, t, radians); }
BOOL INode::SetScale(TimeValue t, const Point3& scale) { return WriteTrack(scale_, t, scale); }

IOResult INode::Save(ISave* save) {
  if (WriteChunkBytes(*save, kNodeNameChunk, std::vector<unsigned char>(name_.begin(), name_.end())) != IO_OK) {
    return IO_ERROR;
  }
  if (!HasTransform()) return IO_OK;  // a node that was never moved is saved as before
  std::vector<unsigned char> body;
  auto appendPoint = [&body](const Point3& p) {
    for (const float c : {p.x, p.y, p.z}) AppendF32(body, c);
  };
  for (const Point3Track* track : {&position_, &rotation_, &scale_}) {
    appendPoint(track->value);
    AppendLE32(body, static_cast<std::uint32_t>(track->keys.size()));
    for (const auto& [time, value] : track->keys) {
      AppendLE32(body, static_cast<std::uint32_t>(time));
      appendPoint(value);
    }
  }
  return WriteChunkBytes(*save, kNodeTransformChunk, body);
}

namespace {

// Reads the transform chunk's body into tracks; false with *why when it is not one we wrote.
bool ParseTransform(const std::vector<unsigned char>& body, Point3Track* tracks[3], std::string* why) {
  std::size_t at = 0;
  auto point = [&](Point3* p) {
    if (body.size() - at < 12) return false;
    *p = Point3(LoadF32(&body[at]), LoadF32(&body[at + 4]), LoadF32(&body[at + 8]));
    at += 12;
    return true;
  };
  static const char* const kTrackNames[3] = {"position", "rotation", "scale"};
  for (int i = 0; i < 3; ++i) {
    const std::string track = kTrackNames[i];
    Point3Track read;
    if (!point(&read.value) || body.size() - at < 4) {
      *why = "ends inside the " + track + " track";
      return false;
    }
    const std::uint64_t count = LoadLE32(&body[at]);
    at += 4;
    // The count must fit what is left before anything is made from it.
    if (count > (body.size() - at) / kTransformKeyBytes) {
      *why = "the " + track + " track claims " + std::to_string(count) + " keys, more than the chunk holds";
      return false;
    }
    if (!Finite(read.value)) {
      *why = "the " + track + " value is not a finite number";
      return false;
    }
    for (std::uint64_t k = 0; k < count; ++k) {
      const auto time = static_cast<TimeValue>(LoadLE32(&body[at]));
      at += 4;
      Point3 value;
      point(&value);
      if (!read.keys.empty() && time <= read.keys.rbegin()->first) {
        *why = "the " + track + " keys are not in increasing time order";
        return false;
      }
      if (!Finite(value)) {
        *why = "a " + track + " key is not a finite number";
        return false;
      }
      read.keys.emplace(time, value);
    }
    *tracks[i] = std::move(read);
  }
  if (at != body.size()) {
    *why = std::to_string(body.size() - at) + " bytes left over after the scale track";
    return false;
  }
  return true;
}

}  // namespace

IOResult INode::Load(ILoad* load) {
  std::string name = name_;
  Point3Track position = position_, rotation = rotation_, scale = scale_;
  loadError_.clear();
  auto refuse = [this](const std::string& why) {
    loadError_ = why;
    return IO_ERROR;
  };
  while (load->OpenChunk() == IO_OK) {
    const unsigned short id = load->CurChunkID();
    if (id == kNodeNameChunk) {
      std::vector<unsigned char> body;
      if (!ReadChunkBytes(*load, kMaxNodeNameBytes, &body)) {
        return refuse("name chunk 0x0100: longer than " + std::to_string(kMaxNodeNameBytes) + " bytes or short");
      }
      name.assign(body.begin(), body.end());
    } else if (id == kNodeTransformChunk) {
      std::vector<unsigned char> body;
      std::string why;
      Point3Track* tracks[3] = {&position, &rotation, &scale};
      if (!ReadChunkBytes(*load, kMaxTransformBytes, &body)) {
        why = "longer than " + std::to_string(kMaxTransformBytes) + " bytes or short";
      } else {
        ParseTransform(body, tracks, &why);
      }
      if (!why.empty()) return refuse("transform chunk 0x0110: " + why);
    }
    if (load->CloseChunk() != IO_OK) return refuse("a chunk of the node record is damaged");
  }
  name_ = name;
  position_ = std::move(position);
  rotation_ = std::move(rotation);
  scale_ = std::move(scale);
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

ObjectState INode::EvalWorldState(TimeValue t, BOOL) {
  if (object_ == nullptr || !HasTransform() || !object_->CanConvertToType(triObjectClassID))
    return ObjectState{object_};
  Object* converted = object_->ConvertToType(t, triObjectClassID);
  auto* tri = dynamic_cast<TriObject*>(converted);
  if (tri == nullptr) {
    if (converted != nullptr && converted != object_) converted->DeleteThis();
    return ObjectState{object_};
  }
  auto* world = new WorldStateMesh();
  world->validity = object_->ObjectValidity(t);
  const Matrix3 tm = GetNodeTM(t, &world->validity);
  world->mesh = tri->GetMesh();
  if (tri != object_ && tri->DependentCount() == 0) tri->DeleteThis();
  for (Point3& p : world->mesh.verts) p = tm.PointTransform(p);
  // A mirroring transform turns every face inside out; swapping two corners turns it back.
  const float det = tm.GetRow(0) % CrossProd(tm.GetRow(1), tm.GetRow(2));
  if (det < 0.0f) {
    for (Face& f : world->mesh.faces) std::swap(f.v[1], f.v[2]);
  }
  if (worldState_ != nullptr) worldState_->DeleteThis();
  worldState_ = world;
  return ObjectState{world};
}

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
