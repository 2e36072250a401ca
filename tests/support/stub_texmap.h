// A texture map for tests that need one to exist more than to do anything: every pure virtual
// answers the plainest thing (opaque black, no bump, always valid, no rollout). Tests derive from
// it and override what they look at.
#pragma once

#include "host/interval.h"
#include "host/mtl_base.h"

class StubTexmap : public Texmap {
 public:
  AColor EvalColor(ShadeContext&) override { return {0, 0, 0, 1}; }
  Point3 EvalNormalPerturb(ShadeContext&) override { return {0, 0, 0}; }
  void Update(TimeValue, Interval&) override {}
  void Reset() override {}
  Interval Validity(TimeValue) override { return FOREVER; }
  ParamDlg* CreateParamDlg(HWND, IMtlParams*) override { return nullptr; }
};

// Clone for a double of type Map: a new Map carrying the base data (the name) of from. Doubles
// that a test never clones keep the base class's Clone, which makes nothing.
template <typename Map>
ReferenceTarget* CloneStub(Map& from, RemapDir& remap) {
  auto* copy = new Map();
  from.BaseClone(&from, copy, remap);
  return copy;
}
