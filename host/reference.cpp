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
  for (auto& [target, count] : held) DeleteIfUnreferenced(target);
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

RefResult ReferenceTarget::NotifyDependents(const Interval& changeInt, PartID partID, RefMessage message) {
  const std::vector<ReferenceMaker*> dependents = dependents_;
  for (std::size_t i = 0; i < dependents.size(); ++i) {
    // Skip repeats: a maker holding two references to this target hears once.
    if (std::find(dependents.begin(), dependents.begin() + static_cast<std::ptrdiff_t>(i), dependents[i]) !=
        dependents.begin() + static_cast<std::ptrdiff_t>(i)) {
      continue;
    }
    PartID part = partID;
    dependents[i]->NotifyRefChanged(changeInt, this, part, message);
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
