// The scene: objects, the nodes that place them, and the core interface through which a plug-in
// reaches the scene (current time, unique names, new nodes, redraws).
//
// A node places its object with a keyable transform (position, rotation, scale). A node that
// was never moved (identity, no keys) shows its object as it is, so whoever builds a scene may
// also put meshes in world space themselves (the command-line host applies a file's node
// transforms when it imports).
//
// Ownership: the core interface owns the nodes it creates; a node refers to its object through
// the reference system, so an object lives as long as some node (or other maker) refers to it.
// Threads: the scene is changed on the host's main thread only.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/class_id.h"
#include "host/cstr.h"
#include "host/interval.h"
#include "host/matrix3.h"
#include "host/mesh.h"
#include "host/reference.h"
#include "host/types.h"

inline constexpr Class_ID triObjectClassID(0x0009, 0);
inline constexpr Class_ID planeObjectClassID(0x56c97d18, 0x1b2d4f3a);
inline constexpr Class_ID pointHelperClassID(0x56c97d19, 0x1b2d4f3a);
inline constexpr SClass_ID HELPER_CLASS_ID = 0x60;

class Object : public ReferenceTarget {
 public:
  SClass_ID SuperClassID() override { return GEOMOBJECT_CLASS_ID; }
  // Whether this object is of class id or derives from it.
  virtual int IsSubClassOf(Class_ID id) { return id == ClassID(); }
  virtual int CanConvertToType(Class_ID) { return 0; }
  // This object as class id at time t: itself when it already is one, otherwise a new object
  // that the caller owns (free it with DeleteThis unless a reference now holds it); null when
  // it cannot convert.
  virtual Object* ConvertToType(TimeValue, Class_ID) { return nullptr; }
  virtual Interval ObjectValidity(TimeValue) { return FOREVER; }
};

// A triangle mesh object.
class TriObject : public Object {
 public:
  Class_ID ClassID() override { return triObjectClassID; }
  void GetClassName(CStr& name) override { name = CStr("Editable Mesh"); }
  int CanConvertToType(Class_ID id) override { return id == triObjectClassID; }
  Object* ConvertToType(TimeValue, Class_ID id) override { return id == triObjectClassID ? this : nullptr; }
  ReferenceTarget* Clone(RemapDir& remap) override;
  // The mesh: vertex and face counts, then the vertices and faces, little-endian. Load refuses
  // counts that do not fit the chunk and faces whose vertex indices are out of range.
  IOResult Save(ISave* save) override;
  IOResult Load(ILoad* load) override;

  Mesh& GetMesh() { return mesh; }
  Mesh mesh;
};

TriObject* CreateNewTriObject();

// A flat rectangle of width x length (X by Y) at height 0, in segments x segments quads, that
// converts to a triangle mesh of two counter-clockwise triangles per quad.
class PlaneObject : public Object {
 public:
  PlaneObject(float width, float length, int segments);
  Class_ID ClassID() override { return planeObjectClassID; }
  void GetClassName(CStr& name) override { name = CStr("Plane"); }
  int CanConvertToType(Class_ID id) override { return id == triObjectClassID; }
  Object* ConvertToType(TimeValue t, Class_ID id) override;
  ReferenceTarget* Clone(RemapDir& remap) override;

 private:
  float width_, length_;
  int segments_;
};

// A point in space with no surface: it cannot become a mesh.
class PointHelperObject : public Object {
 public:
  Class_ID ClassID() override { return pointHelperClassID; }
  SClass_ID SuperClassID() override { return HELPER_CLASS_ID; }
  void GetClassName(CStr& name) override { name = CStr("Point"); }
  ReferenceTarget* Clone(RemapDir& remap) override;
};

struct ObjectState {
  Object* obj = nullptr;
};

// One keyable Point3 of a node's transform, in the host's key model (host/key_track.h): value
// while there are no keys, else linear between keys and held beyond them.
struct Point3Track {
  Point3 value;
  std::map<TimeValue, Point3> keys;

  // The value at t; valid is narrowed to the times over which it stays the same.
  Point3 At(TimeValue t, Interval& valid) const;
  friend bool operator==(const Point3Track&, const Point3Track&) = default;
};

class INode : public ReferenceTarget {
 public:
  explicit INode(Object* object);
  ~INode() override;

  const char* GetName() const { return name_.c_str(); }
  void SetName(const char* name) { name_ = name == nullptr ? "" : name; }
  Object* GetObjectRef() { return object_; }
  // The node's object in world space at time t. A node that was never moved gives its object
  // itself. Otherwise an object that converts to a triangle mesh is given as a triangle mesh
  // object owned by the node, holding the object's mesh at t moved by GetNodeTM(t) (faces turned
  // over when the transform mirrors, so that they keep facing the way they did); its
  // ObjectValidity is the object's validity narrowed by the transform's. It stays valid until
  // the node's next EvalWorldState or its deletion. An object that cannot become a mesh has no
  // geometry to move and is given as it is.
  ObjectState EvalWorldState(TimeValue t, BOOL stopAtWSMs = TRUE);

  // The transform from the object's space to world space at t: scale, then rotation about X,
  // then Y, then Z (radians, counter-clockwise seen from the axis), then position. valid, when
  // given, is narrowed to the times over which the transform stays the same (unchanged for an
  // unkeyed node: it holds forever).
  Matrix3 GetNodeTM(TimeValue t, Interval* valid = nullptr) const;
  // Write the position, the rotation (radians about X, Y and Z) or the scale at t: a key while
  // the animate button is on or once the track has keys, else the value itself (the parameter
  // block's rule). Dependents hear REFMSG_CHANGE when something changed. FALSE, nothing changed,
  // for a NaN or infinite component.
  BOOL SetPosition(TimeValue t, const Point3& position);
  BOOL SetRotation(TimeValue t, const Point3& radians);
  BOOL SetScale(TimeValue t, const Point3& scale);
  const Point3Track& PositionTrack() const { return position_; }
  const Point3Track& RotationTrack() const { return rotation_; }
  const Point3Track& ScaleTrack() const { return scale_; }
  // Whether the node moves its object at all: any key, or a value other than the identity's.
  bool HasTransform() const;

  int NumRefs() override { return 1; }
  RefTargetHandle GetReference(int i) override { return i == 0 ? object_ : nullptr; }
  RefResult NotifyRefChanged(const Interval& changeInt, RefTargetHandle, PartID& part, RefMessage message) override;
  Class_ID ClassID() override { return Class_ID(0x0001, 0); }
  SClass_ID SuperClassID() override { return NODE_CLASS_ID; }
  // The name, and the transform when the node has one; the object is the node's reference.
  // Load refuses a damaged chunk (LoadError says which and why) and leaves the node as it was;
  // a record without a transform (older files) leaves the node unmoved.
  IOResult Save(ISave* save) override;
  IOResult Load(ILoad* load) override;
  // Why the latest Load refused the node's record; empty after one that succeeded.
  const std::string& LoadError() const { return loadError_; }

  static constexpr SClass_ID NODE_CLASS_ID = 0x1;

 protected:
  void SetReference(int i, RefTargetHandle target) override;

 private:
  BOOL WriteTrack(Point3Track& track, TimeValue t, const Point3& v);

  std::string name_;
  Object* object_ = nullptr;
  Point3Track position_;
  Point3Track rotation_;
  Point3Track scale_{Point3(1.0f, 1.0f, 1.0f), {}};
  TriObject* worldState_ = nullptr;  // owned; what EvalWorldState last gave out for a moved node
  std::string loadError_;
};

inline constexpr int REDRAW_NORMAL = 1;

// The scene's hold on its nodes: a reference to each, so that a node stays alive while it is in
// the scene, whoever else refers to it and lets go.
class SceneRoot final : public ReferenceMaker {
 public:
  ~SceneRoot() override;
  int NumRefs() override { return static_cast<int>(nodes.size()); }
  RefTargetHandle GetReference(int i) override;
  RefResult NotifyRefChanged(const Interval&, RefTargetHandle, PartID&, RefMessage message) override;
  std::vector<INode*> nodes;  // null entries are dropped as soon as a node is deleted

 protected:
  void SetReference(int i, RefTargetHandle target) override;
};

// The core interface: the one scene of this process.
class Interface {
 public:
  Interface();
  ~Interface();
  Interface(const Interface&) = delete;
  Interface& operator=(const Interface&) = delete;

  TimeValue GetTime() const { return time_; }
  void SetTime(TimeValue t) { time_ = t; }
  // The application's main window; a fixed non-null handle here.
  HWND GetMAXHWnd() const;

  // Leaves name as it is when no node has it; otherwise appends the smallest three-digit
  // number (001, 002, ...) that no node has.
  void MakeNameUnique(CStr& name) const;
  // A new node for object, added to the scene (which owns it); null for a null object.
  INode* CreateObjectNode(Object* object);
  // Adds a node made elsewhere (a scene being loaded) to the scene, which then owns it.
  void AddNode(INode* node);
  void RedrawViews(TimeValue t, int flags = REDRAW_NORMAL, ReferenceTarget* changed = nullptr);

  const std::vector<INode*>& Nodes() const { return root_.nodes; }
  INode* FindNode(const char* name) const;
  int RedrawCount() const { return redraws_; }
  // Deletes every node (and the objects only they referred to; whoever else referred to a node
  // is told it was deleted) and sets the time back to 0.
  void ResetScene();

 private:
  TimeValue time_ = 0;
  int redraws_ = 0;
  SceneRoot root_;
};

Interface* GetCOREInterface();
