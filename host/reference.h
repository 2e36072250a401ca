// The reference system: objects that refer to other objects, and are told when those change.
//
// A ReferenceMaker holds numbered references to ReferenceTargets; a target knows its dependents
// (the makers that refer to it) and tells them of changes with NotifyDependents. References are
// installed with ReplaceReference, which keeps both sides in step, refuses a reference that
// would make a cycle (a target that already refers, directly or through others, to the maker),
// and may delete the old target once nothing refers to it any more. Objects are freed with
// DeleteThis, so each is deleted by the module whose code made it.
//
// Threads: none of this is thread-safe; the host changes references on its main thread only.
#pragma once

#include <map>
#include <vector>

#include "host/chunk_io.h"
#include "host/class_id.h"
#include "host/cstr.h"
#include "host/interval.h"
#include "host/types.h"

using RefResult = int;
inline constexpr RefResult REF_FAIL = 0;
inline constexpr RefResult REF_SUCCEED = 1;
inline constexpr RefResult REF_DONTCARE = 2;
inline constexpr RefResult REF_STOP = 3;

using RefMessage = unsigned int;
inline constexpr RefMessage REFMSG_TARGET_DELETED = 0x10;
inline constexpr RefMessage REFMSG_CHANGE = 0x50;
inline constexpr RefMessage REFMSG_UV_SYM_CHANGE = 0x10B;

using PartID = DWORD;
inline constexpr PartID PART_ALL = 0x800037FF;

// NotifyDependents' class filter that lets every dependent hear.
inline constexpr SClass_ID NOTIFY_ALL = 0xFFFFFFF0;

class ReferenceTarget;
using RefTargetHandle = ReferenceTarget*;
class RemapDir;
class IParamBlock2;

// The virtual operations of these classes are declared in the order of the host's tables, which
// a module compiled against the host relies on: a new operation goes after the existing ones of
// its class, never between them.
class Animatable {
 public:
  Animatable() = default;
  Animatable(const Animatable&) = delete;
  Animatable& operator=(const Animatable&) = delete;

  virtual void GetClassName(CStr& name) { name = CStr(""); }
  virtual Class_ID ClassID() { return Class_ID(); }
  virtual SClass_ID SuperClassID() { return 0; }
  virtual ~Animatable() = default;
  // Frees the object; always in the module that defined its class, through the vtable.
  virtual void DeleteThis() { delete this; }

  // Sub-animatables: the parts shown as children in the host's track view.
  virtual int NumSubs() { return 0; }
  virtual Animatable* SubAnim(int) { return nullptr; }
  virtual CStr SubAnimName(int) { return CStr(""); }

  // The object's parameter blocks, by index and by block ID; none by default.
  virtual int NumParamBlocks() { return 0; }
  virtual IParamBlock2* GetParamBlock(int) { return nullptr; }
  virtual IParamBlock2* GetParamBlockByID(short) { return nullptr; }
};

class ReferenceMaker : public Animatable {
 public:
  ~ReferenceMaker() override;

  // The object's own data as chunks of a scene file (its references are the scene's links and
  // are saved by whoever saves the scene). Load reads the chunks of one object record and
  // returns IO_ERROR, leaving the object as it was, for data it cannot accept.
  virtual IOResult Save(ISave*) { return IO_OK; }
  virtual IOResult Load(ILoad*) { return IO_OK; }

  virtual int NumRefs() { return 0; }
  virtual RefTargetHandle GetReference(int) { return nullptr; }

 protected:
  // Stores target as reference `which`; only the host calls it, from ReplaceReference.
  virtual void SetReference(int, RefTargetHandle) {}

 public:
  // Called by a target on its dependents when it changes.
  virtual RefResult NotifyRefChanged(const Interval& changeInt, RefTargetHandle target, PartID& partID,
                                     RefMessage message) = 0;

  // Makes reference `which` point at target (null clears it). Refused (REF_FAIL, nothing
  // changed) when target is this maker or already refers to it. With deleteOld, the old target
  // is deleted if nothing refers to it any more.
  RefResult ReplaceReference(int which, RefTargetHandle target, BOOL deleteOld = TRUE);
  // Clears every reference this maker holds (deleting targets left unreferenced).
  void DeleteAllRefsFromMe();

  // Whether this maker refers to other, directly or through the targets it refers to.
  bool RefersTo(const ReferenceMaker* other) const;

 private:
  friend class ReferenceTarget;
  void DropTarget(ReferenceTarget* target);  // target is being destroyed

  // Every target this maker refers to, with how many of its references point there. Kept by
  // the base class so that a maker's destruction can release them without calling into the
  // already destroyed derived object.
  std::map<ReferenceTarget*, int> held_;
};

class ReferenceTarget : public ReferenceMaker {
 public:
  ~ReferenceTarget() override;

  // Sends message to every dependent (of super class sclass, or all); they may act on it (their
  // NotifyRefChanged) and are told that hTarg changed (this target when null). With propagate,
  // a dependent that is itself a target and does not answer REF_STOP passes the message on to
  // its own dependents, and so on up the graph. One message reaches each maker once, however
  // many paths lead to it and whoever sends it again while it travels. The dependents are
  // those at the time of the call, less any that let go of this target meanwhile.
  RefResult NotifyDependents(const Interval& changeInt, PartID partID, RefMessage message,
                             SClass_ID sclass = NOTIFY_ALL, BOOL propagate = TRUE, RefTargetHandle hTarg = nullptr);

  // A copy of this target whose references are remapped through remap. The base class cannot
  // copy anything and returns null; classes that can be copied override it.
  virtual ReferenceTarget* Clone(RemapDir& remap);

  int DependentCount() const { return static_cast<int>(dependents_.size()); }
  const std::vector<ReferenceMaker*>& Dependents() const { return dependents_; }

  RefResult NotifyRefChanged(const Interval&, RefTargetHandle, PartID&, RefMessage) override { return REF_SUCCEED; }

 private:
  friend class ReferenceMaker;
  std::vector<ReferenceMaker*> dependents_;  // one entry per reference, in the order made
};

// Remembers what has been cloned during one clone operation, so that a target referred to from
// several places is cloned once and the copies share it as the originals did.
class RemapDir {
 public:
  ReferenceTarget* CloneRef(ReferenceTarget* original);
  // The clone made so far of original, or null.
  ReferenceTarget* FindMapping(ReferenceTarget* original) const;
  void AddEntry(ReferenceTarget* original, ReferenceTarget* clone) { clones_[original] = clone; }

 private:
  std::map<ReferenceTarget*, ReferenceTarget*> clones_;
};
