// Both sides of every reference are kept in step here: the maker's count of what it holds and
// the target's list of dependents.
#include "host/reference.h"

#include <algorithm>
#include <set>

namespace {

// A target nobody refers to any more is no longer reachable from the scene and is deleted,
// unless the caller asked to keep it.
void DeleteIfUnreferenced(ReferenceTarget* target) {
  if (target != nullptr && target->DependentCount() == 0) target->DeleteThis();
}

// One message on its way through the graph, and every maker that has heard it. Handlers often
// pass a change on themselves as well as letting the host propagate it, and a handler may send
// the message again from further down; both must reach each maker once, or a loop through the
// handlers would never end.
struct Delivery {
  RefMessage message;
  std::set<const ReferenceMaker*> heard;
  Delivery* outer = nullptr;  // the delivery under way when this one started
};

// The innermost delivery under way on this thread. A NotifyDependents of the message being
// delivered joins that delivery; another message starts its own (a handler may answer a change
// with a different message, which is news to everyone). A bare pointer, not a container: a
// thread's destructible thread_locals die before the program's statics, and a static scene torn
// down at exit still notifies its dependents.
thread_local Delivery* innermost = nullptr;

class DeliveryScope {
 public:
  explicit DeliveryScope(Delivery& own) {
    joined_ = innermost != nullptr && innermost->message == own.message;
    current_ = joined_ ? innermost : &own;
    if (!joined_) {
      own.outer = innermost;
      innermost = &own;
    }
  }
  ~DeliveryScope() {
    if (!joined_) innermost = current_->outer;
  }
  DeliveryScope(const DeliveryScope&) = delete;
  DeliveryScope& operator=(const DeliveryScope&) = delete;
  Delivery& Current() const { return *current_; }

 private:
  bool joined_ = false;
  Delivery* current_ = nullptr;
};

}  // namespace

ReferenceMaker::~ReferenceMaker() {
  // The derived part is gone, so its GetReference can no longer be asked; held_ says what to
  // release. Unreferenced targets are deleted, as when the references are replaced.
  std::map<ReferenceTarget*, int> held;
  held.swap(held_);
  for (auto& [target, count] : held) {
    auto& deps = target->dependents_;
    for (int i = 0; i < count; ++i) {
      auto it = std::find(deps.begin(), deps.end(), this);
      if (it != deps.end()) deps.erase(it);
    }
  }
  // The orphans are chosen before any is deleted: deleting one deletes what only it held, and a
  // target this maker held as well must not be looked at again. (Walked in address order, the
  // answer used to depend on where the allocator put them.) A target nobody refers to cannot be
  // deleted by another's release, so each orphan is deleted exactly once.
  std::vector<ReferenceTarget*> orphans;
  for (auto& [target, count] : held) {
    if (target != nullptr && target->DependentCount() == 0) orphans.push_back(target);
  }
  for (ReferenceTarget* target : orphans) target->DeleteThis();
}

bool ReferenceMaker::RefersTo(const ReferenceMaker* other) const {
  // Depth-first over held targets, each visited once: shared targets make the graph a DAG,
  // and a walk without the visited set could take exponential time on one.
  std::vector<const ReferenceMaker*> pending{this};
  std::set<const ReferenceMaker*> visited;
  while (!pending.empty()) {
    const ReferenceMaker* maker = pending.back();
    pending.pop_back();
    for (const auto& [held, count] : maker->held_) {
      const ReferenceMaker* next = held;
      if (next == other) return true;
      if (visited.insert(next).second) pending.push_back(next);
    }
  }
  return false;
}

RefResult ReferenceMaker::ReplaceReference(int which, RefTargetHandle target, BOOL deleteOld) {
  if (which < 0 || which >= NumRefs()) return REF_FAIL;
  if (target != nullptr && (static_cast<const ReferenceMaker*>(target) == this || target->RefersTo(this))) {
    return REF_FAIL;
  }
  ReferenceTarget* old = GetReference(which);
  if (old == target) return REF_SUCCEED;
  if (target != nullptr) {
    target->dependents_.push_back(this);
    ++held_[target];
  }
  SetReference(which, target);
  if (old != nullptr) {
    auto& deps = old->dependents_;
    auto it = std::find(deps.begin(), deps.end(), this);
    if (it != deps.end()) deps.erase(it);
    if (--held_[old] <= 0) held_.erase(old);
    if (deleteOld) DeleteIfUnreferenced(old);
  }
  return REF_SUCCEED;
}

void ReferenceMaker::DeleteAllRefsFromMe() {
  for (int i = 0; i < NumRefs(); ++i) ReplaceReference(i, nullptr, TRUE);
}

void ReferenceMaker::DropTarget(ReferenceTarget* target) {
  held_.erase(target);
  for (int i = 0; i < NumRefs(); ++i) {
    if (GetReference(i) == target) SetReference(i, nullptr);
  }
  PartID part = PART_ALL;
  NotifyRefChanged(FOREVER, target, part, REFMSG_TARGET_DELETED);
}

ReferenceTarget::~ReferenceTarget() {
  // Whoever still refers to this target forgets it before it goes.
  std::vector<ReferenceMaker*> dependents;
  dependents.swap(dependents_);
  std::sort(dependents.begin(), dependents.end());
  dependents.erase(std::unique(dependents.begin(), dependents.end()), dependents.end());
  for (ReferenceMaker* maker : dependents) maker->DropTarget(this);
}

RefResult ReferenceTarget::NotifyDependents(const Interval& changeInt, PartID partID, RefMessage message,
                                            SClass_ID sclass, BOOL propagate, RefTargetHandle hTarg) {
  Delivery own{message, {}, nullptr};
  const DeliveryScope scope(own);
  Delivery& delivery = scope.Current();
  RefTargetHandle changed = hTarg != nullptr ? hTarg : this;
  const std::vector<ReferenceMaker*> dependents = dependents_;
  for (ReferenceMaker* maker : dependents) {
    // A handler may have let go of this target (or been deleted) since the list was taken.
    if (std::find(dependents_.begin(), dependents_.end(), maker) == dependents_.end()) continue;
    if (sclass != NOTIFY_ALL && maker->SuperClassID() != sclass) continue;
    // Also skips a maker holding two references to this target, and ends loops through handlers.
    if (!delivery.heard.insert(maker).second) continue;
    PartID part = partID;
    const RefResult result = maker->NotifyRefChanged(changeInt, changed, part, message);
    if (propagate && result != REF_STOP) {
      if (auto* target = dynamic_cast<ReferenceTarget*>(maker))
        target->NotifyDependents(changeInt, part, message, sclass, TRUE);
    }
  }
  return REF_SUCCEED;
}

ReferenceTarget* ReferenceTarget::Clone(RemapDir&) { return nullptr; }

ReferenceTarget* RemapDir::CloneRef(ReferenceTarget* original) {
  if (original == nullptr) return nullptr;
  if (ReferenceTarget* done = FindMapping(original)) return done;
  ReferenceTarget* clone = original->Clone(*this);
  if (clone != nullptr) clones_[original] = clone;
  return clone;
}

ReferenceTarget* RemapDir::FindMapping(ReferenceTarget* original) const {
  const auto it = clones_.find(original);
  return it == clones_.end() ? nullptr : it->second;
}
