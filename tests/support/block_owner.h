// Holds a parameter block as reference 1, where a map keeps its block, and nothing else, so a
// test can have a descriptor build its blocks without a whole map.
#pragma once

#include "host/param_block.h"
#include "host/reference.h"

class BlockOwner : public ReferenceTarget {
 public:
  BlockOwner() = default;
  // Has desc build its blocks into this owner at once.
  explicit BlockOwner(ClassDesc2& desc) { desc.MakeAutoParamBlocks(this); }
  BlockOwner(const BlockOwner&) = delete;
  BlockOwner& operator=(const BlockOwner&) = delete;
  ~BlockOwner() override { DeleteAllRefsFromMe(); }

  int NumRefs() override { return 2; }
  RefTargetHandle GetReference(int i) override { return i == 1 ? block : nullptr; }
  void SetReference(int i, RefTargetHandle t) override {
    if (i == 1) block = static_cast<IParamBlock2*>(t);
  }
  RefResult NotifyRefChanged(const Interval&, RefTargetHandle, PartID&, RefMessage) override { return REF_SUCCEED; }

  IParamBlock2* block = nullptr;
};
