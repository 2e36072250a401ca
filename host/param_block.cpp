// Parameter blocks. Keyed values are piecewise linear in time, so the interval over which a value
// holds is found from the runs of equal keys around the time asked for.
#include "host/param_block.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "host/byte_order.h"
#include "host/mtl_params.h"
#include "host/scene.h"
#include "host/win32.h"

namespace {

bool animateMode = false;

const char* KindName(DescArg::Kind kind) {
  switch (kind) {
    case DescArg::Kind::Int: return "an integer";
    case DescArg::Kind::Float: return "a float";
    case DescArg::Kind::Text: return "a text";
    case DescArg::Kind::Tag: return "a tag";
    case DescArg::Kind::ParamType: return "a parameter type";
    case DescArg::Kind::Control: return "a control type";
    case DescArg::Kind::EditType: return "an edit type";
    case DescArg::Kind::DlgProc: return "a dialog procedure";
  }
  return "something";
}

// Reads a description list item by item; the first item of the wrong kind stops it.
class DescReader {
 public:
  explicit DescReader(const std::vector<DescArg>& list) : list_(list) {}

  bool AtEnd() const { return pos_ >= list_.size(); }
  const DescArg* Peek() const { return AtEnd() ? nullptr : &list_[pos_]; }
  // The next item if it is of kind (a float also accepts an integer); else null and failed.
  const DescArg* Take(DescArg::Kind kind, const char* what) {
    const DescArg* arg = Peek();
    const bool ok = arg != nullptr &&
                    (arg->kind() == kind || (kind == DescArg::Kind::Float && arg->kind() == DescArg::Kind::Int));
    if (!ok) {
      if (failure_.empty()) {
        failure_ = "item " + std::to_string(pos_ + 1) + ": expected " + what + " (" + KindName(kind) + "), found " +
                   (arg == nullptr ? std::string("the end of the list") : KindName(arg->kind()));
      }
      pos_ = list_.size();
      return nullptr;
    }
    ++pos_;
    return arg;
  }
  const std::string& Failure() const { return failure_; }

 private:
  const std::vector<DescArg>& list_;
  std::size_t pos_ = 0;
  std::string failure_;
};

bool SameNumber(const ParamNumber& a, const ParamNumber& b) {
  return std::memcmp(&a.f, &b.f, sizeof a.f) == 0 && a.i == b.i;
}

// A number as 4 bytes: a float's bits or an int's, as def's type says.
void AppendNumber(std::vector<unsigned char>& out, const ParamDef& def, const ParamNumber& n) {
  if (def.type == TYPE_FLOAT) {
    AppendF32(out, n.f);
  } else {
    AppendLE32(out, static_cast<std::uint32_t>(n.i));
  }
}

ParamNumber LoadNumber(const ParamDef& def, const unsigned char* in) {
  ParamNumber n;
  if (def.type == TYPE_FLOAT) {
    n.f = LoadF32(in);
  } else {
    n.i = static_cast<int>(LoadLE32(in));
  }
  return n;
}

// The chunk holding a block's numeric values.
constexpr unsigned short kParamValuesChunk = 0x2000;

}  // namespace

void AnimateOn() { animateMode = true; }
void AnimateOff() { animateMode = false; }
bool Animating() { return animateMode; }

// ---------------------------------------------------------------------------------------------
// ParamBlockDesc2

ParamBlockDesc2::ParamBlockDesc2(BlockID id, const char* internalName, int localName, ClassDesc2* cd, int flags,
                                 const std::vector<DescArg>& list)
    : id_(id), internalName_(internalName == nullptr ? "" : internalName), localName_(localName), cd_(cd), flags_(flags) {
  Parse(list);
  if (cd_ != nullptr) cd_->AddParamBlockDesc(this);
}

ParamBlockDesc2::~ParamBlockDesc2() {
  for (IParamMap2* map : openMaps_) map->desc_ = nullptr;
  if (pendingProc_ != nullptr) pendingProc_->DeleteThis();
  if (cd_ != nullptr) cd_->RemoveParamBlockDesc(this);
}

void ParamBlockDesc2::Error(const std::string& what) { errors_ += internalName_ + ": " + what + "\n"; }

void ParamBlockDesc2::Parse(const std::vector<DescArg>& list) {
  using Kind = DescArg::Kind;
  DescReader in(list);
  if ((flags_ & P_AUTO_CONSTRUCT) != 0) {
    if (const DescArg* a = in.Take(Kind::Int, "the block's reference number")) refNo_ = a->AsInt();
  }
  if ((flags_ & P_AUTO_UI) != 0) {
    if (const DescArg* a = in.Take(Kind::Int, "the dialog template")) dialogTemplate_ = a->AsInt();
    if (const DescArg* a = in.Take(Kind::Int, "the rollout title")) title_ = a->AsInt();
    if (const DescArg* a = in.Take(Kind::Int, "the test flags")) testFlags_ = a->AsInt();
    if (const DescArg* a = in.Take(Kind::Int, "the rollup flags")) rollupFlags_ = a->AsInt();
    if (const DescArg* a = in.Take(Kind::DlgProc, "the user dialog procedure")) pendingProc_ = a->AsDlgProc();
  }

  bool closed = false;
  while (!in.AtEnd()) {
    const DescArg* next = in.Peek();
    if (next->kind() == Kind::Tag && next->AsInt() == p_end) {
      in.Take(Kind::Tag, "p_end");
      closed = true;
      break;
    }
    ParamDef def;
    const DescArg* a = in.Take(Kind::Int, "a parameter id");
    if (a == nullptr) break;
    def.id = static_cast<ParamID>(a->AsInt());
    if ((a = in.Take(Kind::Text, "the parameter's internal name")) == nullptr) break;
    def.internalName = a->AsText() == nullptr ? "" : a->AsText();
    if ((a = in.Take(Kind::ParamType, "the parameter's type")) == nullptr) break;
    def.type = static_cast<ParamType2>(a->AsInt());
    if ((a = in.Take(Kind::Int, "the parameter's flags")) == nullptr) break;
    def.flags = a->AsInt();
    if ((a = in.Take(Kind::Int, "the parameter's name string")) == nullptr) break;
    def.localNameId = a->AsInt();
    if (def.type == TYPE_BOOL) def.defaultValue.i = 0;

    const std::string who = "parameter " + std::to_string(def.id) + " (" + def.internalName + ")";
    const Kind numberKind = def.type == TYPE_FLOAT ? Kind::Float : Kind::Int;
    auto takeNumber = [&](const char* what, ParamNumber& out) {
      const DescArg* n = in.Take(numberKind, what);
      if (n == nullptr) return false;
      if (def.type == TYPE_FLOAT) {
        out.f = n->AsFloat();
      } else {
        out.i = n->AsInt();
      }
      return true;
    };

    bool paramClosed = false;
    while (!in.AtEnd()) {
      const DescArg* tag = in.Take(Kind::Tag, "a tag or p_end");
      if (tag == nullptr) break;
      const int t = tag->AsInt();
      if (t == p_end) {
        paramClosed = true;
        break;
      }
      if ((t == p_default || t == p_range) && !def.IsNumber()) {
        Error(who + ": p_default and p_range apply to numbers only");
      }
      if (t == p_default) {
        takeNumber("the default", def.defaultValue);
      } else if (t == p_range) {
        def.hasRange = takeNumber("the range's low end", def.rangeLow) && takeNumber("the range's high end", def.rangeHigh);
      } else if (t == p_ui) {
        const DescArg* c = in.Take(Kind::Control, "the control type");
        if (c == nullptr) break;
        def.hasUi = true;
        def.control = static_cast<ControlType2>(c->AsInt());
        if (def.control == TYPE_SPINNER) {
          const DescArg* e = in.Take(Kind::EditType, "the spinner's edit type");
          const DescArg* edit = in.Take(Kind::Int, "the edit control");
          const DescArg* spin = in.Take(Kind::Int, "the spinner control");
          const DescArg* step = in.Take(Kind::Float, "the spinner step");
          if (step == nullptr) break;
          def.editType = static_cast<EditSpinnerType>(e->AsInt());
          def.controlIds = {edit->AsInt(), spin->AsInt()};
          def.spinnerStep = step->AsFloat();
        } else {
          const DescArg* id = in.Take(Kind::Int, "the control id");
          if (id == nullptr) break;
          def.controlIds = {id->AsInt()};
        }
      } else if (t == p_refno) {
        if (const DescArg* n = in.Take(Kind::Int, "the reference number")) def.refno = n->AsInt();
      } else if (t == p_subtexno) {
        if (const DescArg* n = in.Take(Kind::Int, "the sub-map number")) def.subtexno = n->AsInt();
      } else if (t == p_enable_ctrls) {
        const DescArg* n = in.Take(Kind::Int, "the count of controlled parameters");
        if (n == nullptr) break;
        if (n->AsInt() < 0 || n->AsInt() > 1024) {
          Error(who + ": p_enable_ctrls count " + std::to_string(n->AsInt()) + " is out of range");
          break;
        }
        for (int k = 0; k < n->AsInt(); ++k) {
          const DescArg* p = in.Take(Kind::Int, "a controlled parameter id");
          if (p == nullptr) break;
          def.enableCtrls.push_back(static_cast<ParamID>(p->AsInt()));
        }
      } else {
        Error(who + ": unknown tag " + std::to_string(t));
        break;
      }
    }
    if (!paramClosed) {
      if (in.Failure().empty()) Error(who + ": no p_end");
      params_.push_back(def);
      break;
    }

    // What the list says must agree with itself.
    if (FindParam(def.id) != nullptr) Error(who + ": the id is used twice");
    if (def.hasRange) {
      const bool inverted = def.type == TYPE_FLOAT ? def.rangeLow.f > def.rangeHigh.f : def.rangeLow.i > def.rangeHigh.i;
      const bool outside = def.type == TYPE_FLOAT
                               ? def.defaultValue.f < def.rangeLow.f || def.defaultValue.f > def.rangeHigh.f
                               : def.defaultValue.i < def.rangeLow.i || def.defaultValue.i > def.rangeHigh.i;
      if (inverted) Error(who + ": the range is inverted");
      if (!inverted && outside) Error(who + ": the default lies outside the range");
    }
    if ((def.flags & P_OWNERS_REF) != 0 && (def.refno < 0 || !def.IsReference())) {
      Error(who + ": P_OWNERS_REF needs a reference type and p_refno");
    }
    if (def.hasUi) {
      const bool fits = (def.control == TYPE_SPINNER && (def.type == TYPE_FLOAT || def.type == TYPE_INT)) ||
                        (def.control == TYPE_SINGLECHEKBOX && def.type == TYPE_BOOL) ||
                        (def.control == TYPE_PICKNODEBUTTON && def.type == TYPE_INODE) ||
                        (def.control == TYPE_TEXMAPBUTTON && def.type == TYPE_TEXMAP);
      if (!fits) Error(who + ": the control does not fit the parameter's type");
    }
    if (!def.enableCtrls.empty() && def.type != TYPE_BOOL) Error(who + ": p_enable_ctrls needs a BOOL");
    params_.push_back(def);
  }
  if (!in.Failure().empty()) Error(in.Failure());
  if (!closed && in.Failure().empty()) Error("the list does not end with p_end");
  for (const ParamDef& def : params_) {
    for (ParamID other : def.enableCtrls) {
      if (FindParam(other) == nullptr) {
        Error("parameter " + std::to_string(def.id) + " enables unknown parameter " + std::to_string(other));
      }
    }
  }
}

int ParamBlockDesc2::IDtoIndex(ParamID id) const {
  for (std::size_t i = 0; i < params_.size(); ++i) {
    if (params_[i].id == id) return static_cast<int>(i);
  }
  return -1;
}

const ParamDef* ParamBlockDesc2::FindParam(ParamID id) const {
  const int index = IDtoIndex(id);
  return index < 0 ? nullptr : &params_[static_cast<std::size_t>(index)];
}

void ParamBlockDesc2::SetUserDlgProc(MapID mapID, ParamMap2UserDlgProc* proc) {
  for (auto it = openMaps_.rbegin(); it != openMaps_.rend(); ++it) {
    if ((*it)->GetMapID() == mapID) {
      (*it)->SetUserDlgProc(proc);
      return;
    }
  }
  if (pendingProc_ != nullptr && pendingProc_ != proc) pendingProc_->DeleteThis();
  pendingProc_ = proc;
}

ParamMap2UserDlgProc* ParamBlockDesc2::GetUserDlgProc(MapID mapID) const {
  for (auto it = openMaps_.rbegin(); it != openMaps_.rend(); ++it) {
    if ((*it)->GetMapID() == mapID) return (*it)->GetUserDlgProc();
  }
  return pendingProc_;
}

void ParamBlockDesc2::InvalidateUI() {
  for (IParamMap2* map : openMaps_) map->Invalidate();
}

void ParamBlockDesc2::InvalidateUI(ParamID id) {
  for (IParamMap2* map : openMaps_) map->Invalidate(id);
}

void ParamBlockDesc2::AttachMap(IParamMap2* map) {
  openMaps_.push_back(map);
  if (pendingProc_ != nullptr) {
    map->proc_ = pendingProc_;
    pendingProc_ = nullptr;
  }
}

void ParamBlockDesc2::DetachMap(IParamMap2* map) {
  openMaps_.erase(std::remove(openMaps_.begin(), openMaps_.end(), map), openMaps_.end());
}

// ---------------------------------------------------------------------------------------------
// IParamBlock2

IParamBlock2::IParamBlock2(ParamBlockDesc2* desc) : desc_(desc) {
  slots_.resize(static_cast<std::size_t>(desc_->Count()));
  for (int i = 0; i < desc_->Count(); ++i) {
    const ParamDef& def = desc_->GetParamDef(i);
    Slot& slot = slots_[static_cast<std::size_t>(i)];
    slot.value = def.defaultValue;
    if (def.IsReference() && (def.flags & P_OWNERS_REF) == 0) {
      slot.ref = static_cast<int>(refs_.size());
      refs_.push_back(nullptr);
    }
  }
}

IParamBlock2::~IParamBlock2() {
  // A rollout still showing this block goes blank rather than reading freed memory.
  for (IParamMap2* map : desc_->openMaps_) {
    if (map->block_ == this) map->block_ = nullptr;
  }
  // Sub-maps go with the block when nothing else holds them; nodes are the scene's.
  for (int p = 0; p < desc_->Count(); ++p) {
    const Slot& slot = slots_[static_cast<std::size_t>(p)];
    if (slot.ref >= 0) ReplaceReference(slot.ref, nullptr, desc_->GetParamDef(p).type == TYPE_INODE ? FALSE : TRUE);
  }
}

ReferenceMaker* IParamBlock2::GetOwner() const {
  for (ReferenceMaker* maker : Dependents()) {
    if (desc_->RefNo() < 0 || maker->GetReference(desc_->RefNo()) == this) return maker;
  }
  return nullptr;
}

const ParamDef* IParamBlock2::Checked(ParamID id, int tabIndex, bool wantReference) const {
  if (tabIndex != 0) return nullptr;
  const ParamDef* def = desc_->FindParam(id);
  if (def == nullptr || def->IsReference() != wantReference) return nullptr;
  return def;
}

ParamNumber IParamBlock2::ValueAt(const ParamDef& def, const Slot& slot, TimeValue t, Interval& valid) const {
  if (slot.keys.empty()) return slot.value;
  const std::vector<std::pair<TimeValue, ParamNumber>> keys(slot.keys.begin(), slot.keys.end());
  const std::size_t n = keys.size();
  // The run of equal keys through index i, and the times it spans (the ends reach infinity).
  auto runStart = [&](std::size_t i) {
    while (i > 0 && SameNumber(keys[i - 1].second, keys[i].second)) --i;
    return i == 0 ? TIME_NegInfinity : keys[i].first;
  };
  auto runEnd = [&](std::size_t i) {
    while (i + 1 < n && SameNumber(keys[i + 1].second, keys[i].second)) ++i;
    return i + 1 == n ? TIME_PosInfinity : keys[i].first;
  };
  if (t <= keys.front().first) {
    valid &= Interval(TIME_NegInfinity, runEnd(0));
    return keys.front().second;
  }
  if (t >= keys.back().first) {
    valid &= Interval(runStart(n - 1), TIME_PosInfinity);
    return keys.back().second;
  }
  std::size_t i = 0;
  while (keys[i + 1].first <= t) ++i;  // keys[i].first <= t < keys[i + 1].first
  const ParamNumber& a = keys[i].second;
  const ParamNumber& b = keys[i + 1].second;
  if (keys[i].first == t) {
    valid &= Interval(runStart(i), runEnd(i));
    return a;
  }
  if (SameNumber(a, b)) {
    valid &= Interval(runStart(i), runEnd(i + 1));
    return a;
  }
  // In double: key times may lie anywhere in TimeValue's range, and their difference need not.
  const double s = (static_cast<double>(t) - keys[i].first) /
                   (static_cast<double>(keys[i + 1].first) - keys[i].first);
  ParamNumber v;
  if (def.type == TYPE_FLOAT) {
    v.f = static_cast<float>(a.f + (static_cast<double>(b.f) - a.f) * s);
  } else {
    v.i = static_cast<int>(std::lround(a.i + (static_cast<double>(b.i) - a.i) * s));
  }
  valid &= Interval(t, t);
  return v;
}

ParamNumber IParamBlock2::Clamped(const ParamDef& def, ParamNumber v) const {
  if (def.type == TYPE_BOOL) v.i = v.i != 0 ? 1 : 0;
  if (!def.hasRange) return v;
  if (def.type == TYPE_FLOAT) {
    v.f = std::clamp(v.f, def.rangeLow.f, def.rangeHigh.f);
  } else {
    v.i = std::clamp(v.i, def.rangeLow.i, def.rangeHigh.i);
  }
  return v;
}

void IParamBlock2::NotifyChanged(ParamID id) {
  lastNotifyParamID_ = id;
  NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

BOOL IParamBlock2::SetNumber(const ParamDef& def, TimeValue t, ParamNumber v) {
  if (def.type == TYPE_FLOAT && std::isnan(v.f)) return FALSE;
  v = Clamped(def, v);
  Slot& slot = slots_[static_cast<std::size_t>(desc_->IDtoIndex(def.id))];
  Interval ignored = FOREVER;
  const ParamNumber before = ValueAt(def, slot, t, ignored);
  const bool keyed = (def.flags & P_ANIMATABLE) != 0 && (Animating() || !slot.keys.empty());
  if (keyed) {
    const bool wasConstant = slot.keys.empty();
    if (wasConstant && t != 0) slot.keys[0] = slot.value;
    const auto old = slot.keys.find(t);
    if (!wasConstant && old != slot.keys.end() && SameNumber(old->second, v)) return TRUE;
    slot.keys[t] = v;
  } else {
    if (SameNumber(slot.value, v)) return TRUE;
    slot.value = v;
  }
  if (keyed || !SameNumber(before, v)) NotifyChanged(def.id);
  return TRUE;
}

ReferenceTarget* IParamBlock2::RefValue(const ParamDef& def) {
  if ((def.flags & P_OWNERS_REF) != 0) {
    ReferenceMaker* owner = GetOwner();
    return owner == nullptr ? nullptr : owner->GetReference(def.refno);
  }
  const int ref = slots_[static_cast<std::size_t>(desc_->IDtoIndex(def.id))].ref;
  return refs_[static_cast<std::size_t>(ref)];
}

BOOL IParamBlock2::SetRef(const ParamDef& def, ReferenceTarget* v) {
  // A reference of the wrong class is a caller's mistake; refuse it rather than store it.
  if (v != nullptr && def.type == TYPE_INODE && dynamic_cast<INode*>(v) == nullptr) return FALSE;
  if (v != nullptr && def.type == TYPE_TEXMAP && dynamic_cast<Texmap*>(v) == nullptr) return FALSE;
  if (RefValue(def) == v) return TRUE;
  if ((def.flags & P_OWNERS_REF) != 0) {
    ReferenceMaker* owner = GetOwner();
    if (owner == nullptr || owner->ReplaceReference(def.refno, v, TRUE) != REF_SUCCEED) return FALSE;
  } else {
    const int ref = slots_[static_cast<std::size_t>(desc_->IDtoIndex(def.id))].ref;
    // Nodes belong to the scene, never to the block that points at one.
    const BOOL deleteOld = def.type == TYPE_INODE ? FALSE : TRUE;
    if (ReplaceReference(ref, v, deleteOld) != REF_SUCCEED) return FALSE;
  }
  NotifyChanged(def.id);
  return TRUE;
}

BOOL IParamBlock2::GetValue(ParamID id, TimeValue t, float& v, Interval& valid, int tabIndex) {
  const ParamDef* def = Checked(id, tabIndex, false);
  if (def == nullptr || def->type != TYPE_FLOAT) return FALSE;
  v = ValueAt(*def, slots_[static_cast<std::size_t>(desc_->IDtoIndex(id))], t, valid).f;
  return TRUE;
}

BOOL IParamBlock2::GetValue(ParamID id, TimeValue t, int& v, Interval& valid, int tabIndex) {
  const ParamDef* def = Checked(id, tabIndex, false);
  if (def == nullptr || def->type == TYPE_FLOAT) return FALSE;
  v = ValueAt(*def, slots_[static_cast<std::size_t>(desc_->IDtoIndex(id))], t, valid).i;
  return TRUE;
}

BOOL IParamBlock2::GetValue(ParamID id, TimeValue, INode*& v, Interval&, int tabIndex) {
  const ParamDef* def = Checked(id, tabIndex, true);
  if (def == nullptr || def->type != TYPE_INODE) return FALSE;
  v = dynamic_cast<INode*>(RefValue(*def));
  return TRUE;
}

BOOL IParamBlock2::GetValue(ParamID id, TimeValue, Texmap*& v, Interval&, int tabIndex) {
  const ParamDef* def = Checked(id, tabIndex, true);
  if (def == nullptr || def->type != TYPE_TEXMAP) return FALSE;
  v = dynamic_cast<Texmap*>(RefValue(*def));
  return TRUE;
}

BOOL IParamBlock2::GetValue(ParamID id, TimeValue, ReferenceTarget*& v, Interval&, int tabIndex) {
  const ParamDef* def = Checked(id, tabIndex, true);
  if (def == nullptr) return FALSE;
  v = RefValue(*def);
  return TRUE;
}

BOOL IParamBlock2::SetValue(ParamID id, TimeValue t, float v, int tabIndex) {
  const ParamDef* def = Checked(id, tabIndex, false);
  if (def == nullptr || def->type != TYPE_FLOAT) return FALSE;
  ParamNumber n;
  n.f = v;
  return SetNumber(*def, t, n);
}

BOOL IParamBlock2::SetValue(ParamID id, TimeValue t, int v, int tabIndex) {
  const ParamDef* def = Checked(id, tabIndex, false);
  if (def == nullptr || def->type == TYPE_FLOAT) return FALSE;
  ParamNumber n;
  n.i = v;
  return SetNumber(*def, t, n);
}

BOOL IParamBlock2::SetValue(ParamID id, TimeValue, INode* v, int tabIndex) {
  const ParamDef* def = Checked(id, tabIndex, true);
  if (def == nullptr || def->type != TYPE_INODE) return FALSE;
  return SetRef(*def, v);
}

BOOL IParamBlock2::SetValue(ParamID id, TimeValue, Texmap* v, int tabIndex) {
  const ParamDef* def = Checked(id, tabIndex, true);
  if (def == nullptr || def->type != TYPE_TEXMAP) return FALSE;
  return SetRef(*def, v);
}

BOOL IParamBlock2::SetValue(ParamID id, TimeValue, ReferenceTarget* v, int tabIndex) {
  const ParamDef* def = Checked(id, tabIndex, true);
  if (def == nullptr) return FALSE;
  return SetRef(*def, v);
}

float IParamBlock2::GetFloat(ParamID id, TimeValue t) {
  float v = 0.0f;
  Interval valid = FOREVER;
  if (!GetValue(id, t, v, valid)) {
    const ParamDef* def = desc_->FindParam(id);
    return def == nullptr ? 0.0f : def->defaultValue.f;
  }
  return v;
}

int IParamBlock2::GetInt(ParamID id, TimeValue t) {
  int v = 0;
  Interval valid = FOREVER;
  if (!GetValue(id, t, v, valid)) {
    const ParamDef* def = desc_->FindParam(id);
    return def == nullptr ? 0 : def->defaultValue.i;
  }
  return v;
}

int IParamBlock2::NumKeys(ParamID id) const {
  const int index = desc_->IDtoIndex(id);
  return index < 0 ? 0 : static_cast<int>(slots_[static_cast<std::size_t>(index)].keys.size());
}

TimeValue IParamBlock2::KeyTime(ParamID id, int i) const {
  const int index = desc_->IDtoIndex(id);
  if (index < 0 || i < 0 || i >= NumKeys(id)) return 0;
  auto it = slots_[static_cast<std::size_t>(index)].keys.begin();
  std::advance(it, i);
  return it->first;
}

void IParamBlock2::DeleteKeys(ParamID id) {
  const int index = desc_->IDtoIndex(id);
  if (index < 0 || slots_[static_cast<std::size_t>(index)].keys.empty()) return;
  // The value at time 0 stays as the constant, so deleting keys does not jump to a stale value.
  Slot& slot = slots_[static_cast<std::size_t>(index)];
  Interval ignored = FOREVER;
  slot.value = ValueAt(desc_->GetParamDef(index), slot, 0, ignored);
  slot.keys.clear();
  NotifyChanged(id);
}

void IParamBlock2::ResetAll() {
  for (int i = 0; i < desc_->Count(); ++i) {
    const ParamDef& def = desc_->GetParamDef(i);
    Slot& slot = slots_[static_cast<std::size_t>(i)];
    slot.value = def.defaultValue;
    slot.keys.clear();
    if (slot.ref >= 0) ReplaceReference(slot.ref, nullptr, def.type == TYPE_INODE ? FALSE : TRUE);
  }
  lastNotifyParamID_ = -1;
  NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
}

// The values chunk: u16 parameter count, then per numeric parameter i16 id, u8 type, u32 value
// (float bits or int), u32 key count, and per key i32 time and u32 value. Little-endian.
IOResult IParamBlock2::Save(ISave* save) {
  std::vector<unsigned char> body;
  body.reserve(2 + 11 * static_cast<std::size_t>(desc_->Count()));
  int count = 0;
  for (int i = 0; i < desc_->Count(); ++i) count += desc_->GetParamDef(i).IsNumber() ? 1 : 0;
  AppendLE16(body, static_cast<std::uint16_t>(count));
  for (int i = 0; i < desc_->Count(); ++i) {
    const ParamDef& def = desc_->GetParamDef(i);
    if (!def.IsNumber()) continue;
    const Slot& slot = slots_[static_cast<std::size_t>(i)];
    AppendLE16(body, static_cast<std::uint16_t>(def.id));
    body.push_back(static_cast<unsigned char>(def.type));
    AppendNumber(body, def, slot.value);
    AppendLE32(body, static_cast<std::uint32_t>(slot.keys.size()));
    for (const auto& [time, value] : slot.keys) {
      AppendLE32(body, static_cast<std::uint32_t>(time));
      AppendNumber(body, def, value);
    }
  }
  return WriteChunkBytes(*save, kParamValuesChunk, body);
}

IOResult IParamBlock2::Load(ILoad* load) {
  std::vector<Slot> loaded = slots_;
  IOResult result = IO_OK;
  while (load->OpenChunk() == IO_OK) {
    if (load->CurChunkID() == kParamValuesChunk) {
      std::vector<unsigned char> body;
      // A block's values are a few bytes per key; anything huge is not ours to trust.
      if (!ReadChunkBytes(*load, 1u << 26, &body)) {
        result = IO_ERROR;
      } else {
        std::size_t at = 0;
        auto need = [&](std::size_t n) { return body.size() - at >= n; };
        if (!need(2)) result = IO_ERROR;
        const std::uint32_t count = result == IO_OK ? LoadLE16(&body[0]) : 0;
        at = 2;
        for (std::uint32_t k = 0; k < count && result == IO_OK; ++k) {
          if (!need(11)) {
            result = IO_ERROR;
            break;
          }
          const auto id = static_cast<ParamID>(static_cast<std::int16_t>(LoadLE16(&body[at])));
          const std::uint32_t type = body[at + 2];
          const unsigned char* value = &body[at + 3];
          const std::uint32_t keys = LoadLE32(&body[at + 7]);
          at += 11;
          const int index = desc_->IDtoIndex(id);
          if (index < 0 || static_cast<std::uint32_t>(desc_->GetParamDef(index).type) != type ||
              !desc_->GetParamDef(index).IsNumber() || (body.size() - at) / 8 < keys) {
            result = IO_ERROR;
            break;
          }
          const ParamDef& def = desc_->GetParamDef(index);
          Slot& slot = loaded[static_cast<std::size_t>(index)];
          slot.value = Clamped(def, LoadNumber(def, value));
          slot.keys.clear();
          for (std::uint32_t key = 0; key < keys; ++key) {
            const auto time = static_cast<TimeValue>(LoadLE32(&body[at]));
            slot.keys[time] = Clamped(def, LoadNumber(def, &body[at + 4]));
            at += 8;
          }
        }
      }
    }
    if (load->CloseChunk() != IO_OK) result = IO_ERROR;
    if (result != IO_OK) return result;
  }
  for (std::size_t i = 0; i < loaded.size(); ++i) {
    const ParamDef& def = desc_->GetParamDef(static_cast<int>(i));
    if (def.type == TYPE_FLOAT && std::isnan(loaded[i].value.f)) return IO_ERROR;
    for (const auto& key : loaded[i].keys) {
      if (def.type == TYPE_FLOAT && std::isnan(key.second.f)) return IO_ERROR;
    }
  }
  slots_ = std::move(loaded);
  lastNotifyParamID_ = -1;
  return IO_OK;
}

ParamID IParamBlock2::RefParamID(int refIndex) const {
  for (int p = 0; p < desc_->Count(); ++p) {
    if (slots_[static_cast<std::size_t>(p)].ref == refIndex && refIndex >= 0) return desc_->GetParamDef(p).id;
  }
  return -1;
}

int IParamBlock2::NumRefs() { return static_cast<int>(refs_.size()); }

RefTargetHandle IParamBlock2::GetReference(int i) {
  return i >= 0 && i < NumRefs() ? refs_[static_cast<std::size_t>(i)] : nullptr;
}

void IParamBlock2::SetReference(int i, RefTargetHandle target) {
  if (i < 0 || i >= NumRefs()) return;
  if (target == nullptr && refs_[static_cast<std::size_t>(i)] != nullptr) {
    for (int p = 0; p < desc_->Count(); ++p) {
      if (slots_[static_cast<std::size_t>(p)].ref == i) droppedParam_ = desc_->GetParamDef(p).id;
    }
  }
  refs_[static_cast<std::size_t>(i)] = target;
}

RefResult IParamBlock2::NotifyRefChanged(const Interval& changeInt, RefTargetHandle target, PartID& partID,
                                         RefMessage message) {
  ParamID id = -1;
  for (int p = 0; p < desc_->Count(); ++p) {
    const int ref = slots_[static_cast<std::size_t>(p)].ref;
    if (ref >= 0 && refs_[static_cast<std::size_t>(ref)] == target) id = desc_->GetParamDef(p).id;
  }
  if (message == REFMSG_TARGET_DELETED) {
    // The reference is already cleared; its parameter is the one just dropped.
    lastNotifyParamID_ = droppedParam_;
    droppedParam_ = -1;
    NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  } else if (message == REFMSG_CHANGE) {
    lastNotifyParamID_ = id;
    NotifyDependents(changeInt, partID, REFMSG_CHANGE);
  }
  return REF_SUCCEED;
}

ReferenceTarget* IParamBlock2::Clone(RemapDir& remap) {
  auto* clone = new IParamBlock2(desc_);
  remap.AddEntry(this, clone);
  for (int p = 0; p < desc_->Count(); ++p) {
    const ParamDef& def = desc_->GetParamDef(p);
    const Slot& slot = slots_[static_cast<std::size_t>(p)];
    Slot& copy = clone->slots_[static_cast<std::size_t>(p)];
    copy.value = slot.value;
    copy.keys = slot.keys;
    if (slot.ref < 0) continue;
    ReferenceTarget* target = refs_[static_cast<std::size_t>(slot.ref)];
    if (target == nullptr) continue;
    ReferenceTarget* mapped = def.type == TYPE_INODE ? target : remap.CloneRef(target);
    clone->ReplaceReference(slot.ref, mapped != nullptr ? mapped : target, FALSE);
  }
  return clone;
}

// ---------------------------------------------------------------------------------------------
// IParamMap2

IParamMap2::IParamMap2(ParamBlockDesc2* desc, IParamBlock2* block, IMtlParams* editor, MapID mapID)
    : desc_(desc), block_(block), editor_(editor), mapID_(mapID) {
  ClassDesc2* cd = desc_->GetClassDesc();
  const DialogResource* dialog = cd == nullptr ? nullptr : FindDialogResource(cd->HInstance(), desc_->DialogTemplate());
  hasTemplate_ = dialog != nullptr;
  if (dialog != nullptr) {
    for (int i = 0; i < dialog->itemCount; ++i) {
      const DialogItemResource& item = dialog->items[i];
      ParamControl control;
      control.id = item.id;
      control.windowClass = item.windowClass == nullptr ? "" : item.windowClass;
      control.caption = item.text == nullptr ? "" : item.text;
      controls_.push_back(control);
    }
  }
  for (int p = 0; p < desc_->Count(); ++p) {
    const ParamDef& def = desc_->GetParamDef(p);
    if (!def.hasUi) continue;
    for (std::size_t k = 0; k < def.controlIds.size(); ++k) {
      ParamControl* control = FindControl(def.controlIds[k]);
      if (control == nullptr) {
        ParamControl added;
        added.id = def.controlIds[k];
        added.windowClass = def.control == TYPE_SPINNER ? (k == 0 ? "CustEdit" : "SpinnerControl")
                            : def.control == TYPE_SINGLECHEKBOX ? "Button"
                                                                 : "CustButton";
        controls_.push_back(added);
        control = &controls_.back();
      }
      control->param = def.id;
    }
  }
  if (editor_ != nullptr) {
    const char* title = cd == nullptr ? "" : cd->GetRsrcString(desc_->Title());
    pageIndex_ = editor_->AddRollupPage(title);
  }
  desc_->AttachMap(this);
  if (proc_ != nullptr) proc_->SetParamBlock(block_);
  Invalidate();
}

IParamMap2::~IParamMap2() {
  if (proc_ != nullptr) proc_->DeleteThis();
  if (desc_ != nullptr) desc_->DetachMap(this);
  if (editor_ != nullptr && pageIndex_ >= 0) editor_->DeleteRollupPage(pageIndex_);
}

TimeValue IParamMap2::Time() const { return editor_ != nullptr ? editor_->GetTime() : GetCOREInterface()->GetTime(); }

void IParamMap2::SetParamBlock(IParamBlock2* block) {
  block_ = block;
  if (proc_ != nullptr) proc_->SetParamBlock(block);
  Invalidate();
}

void IParamMap2::SetUserDlgProc(ParamMap2UserDlgProc* proc) {
  if (proc_ != nullptr && proc_ != proc) proc_->DeleteThis();
  proc_ = proc;
  if (proc_ != nullptr) proc_->SetParamBlock(block_);
}

ParamControl* IParamMap2::FindControl(int controlId) {
  for (ParamControl& control : controls_) {
    if (control.id == controlId) return &control;
  }
  return nullptr;
}

const ParamControl* IParamMap2::Control(int controlId) const {
  return const_cast<IParamMap2*>(this)->FindControl(controlId);
}

void IParamMap2::Invalidate(ParamID id) {
  if (block_ == nullptr || desc_ == nullptr) return;
  const ParamDef* def = desc_->FindParam(id);
  if (def == nullptr) return;
  const TimeValue t = Time();
  for (ParamControl& control : controls_) {
    if (control.param != id) continue;
    Interval valid = FOREVER;
    if (def->type == TYPE_FLOAT) {
      block_->GetValue(id, t, control.number, valid);
    } else if (def->type == TYPE_INT || def->type == TYPE_BOOL) {
      int v = 0;
      block_->GetValue(id, t, v, valid);
      control.number = static_cast<float>(v);
      control.checked = v != 0;
    } else {
      ReferenceTarget* target = nullptr;
      block_->GetValue(id, t, target, valid);
      control.text = control.caption;
      if (auto* node = dynamic_cast<INode*>(target)) control.text = node->GetName();
      if (auto* map = dynamic_cast<MtlBase*>(target)) control.text = map->GetName().data();
    }
  }
  ApplyEnableRules();
}

void IParamMap2::Invalidate() {
  if (desc_ == nullptr) return;
  for (int p = 0; p < desc_->Count(); ++p) Invalidate(desc_->GetParamDef(p).id);
  ApplyEnableRules();
}

void IParamMap2::Enable(ParamID id, BOOL on) {
  disabledByCall_[id] = on == FALSE;
  ApplyEnableRules();
}

void IParamMap2::ApplyEnableRules() {
  if (desc_ == nullptr) return;
  for (ParamControl& control : controls_) {
    if (control.param < 0) continue;
    const auto off = disabledByCall_.find(control.param);
    control.enabled = off == disabledByCall_.end() || !off->second;
  }
  if (block_ == nullptr) return;
  for (int p = 0; p < desc_->Count(); ++p) {
    const ParamDef& def = desc_->GetParamDef(p);
    if (def.enableCtrls.empty()) continue;
    const bool on = block_->GetInt(def.id, Time()) != 0;
    for (ParamControl& control : controls_) {
      if (std::find(def.enableCtrls.begin(), def.enableCtrls.end(), control.param) != def.enableCtrls.end()) {
        control.enabled = control.enabled && on;
      }
    }
  }
}

bool IParamMap2::SetSpinner(int controlId, float value) {
  ParamControl* control = FindControl(controlId);
  if (control == nullptr || !control->enabled || control->param < 0 || block_ == nullptr) return false;
  const ParamDef* def = desc_->FindParam(control->param);
  if (def == nullptr || !def->hasUi || def->control != TYPE_SPINNER || std::isnan(value)) return false;
  const ParamID id = def->id;
  if (def->type == TYPE_FLOAT) {
    block_->SetValue(id, Time(), value);
  } else {
    // Clamp before converting, so a huge entry cannot overflow the int.
    const double low = def->hasRange ? def->rangeLow.i : -2147483648.0;
    const double high = def->hasRange ? def->rangeHigh.i : 2147483647.0;
    block_->SetValue(id, Time(), static_cast<int>(std::lround(std::clamp(static_cast<double>(value), low, high))));
  }
  Invalidate(id);
  return true;
}

bool IParamMap2::ClickButton(int controlId) {
  ParamControl* control = FindControl(controlId);
  if (control == nullptr || !control->enabled) return false;
  SendDlgMessage(WM_COMMAND, MAKEWPARAM(static_cast<unsigned>(controlId), BN_CLICKED), 0);
  return true;
}

bool IParamMap2::PickNode(int controlId, INode* node) {
  ParamControl* control = FindControl(controlId);
  if (control == nullptr || !control->enabled || control->param < 0 || block_ == nullptr) return false;
  const ParamDef* def = desc_->FindParam(control->param);
  if (def == nullptr || def->type != TYPE_INODE) return false;
  const bool ok = block_->SetValue(def->id, Time(), node) != FALSE;
  Invalidate(def->id);
  return ok;
}

bool IParamMap2::AssignTexmap(int controlId, Texmap* map) {
  ParamControl* control = FindControl(controlId);
  if (control == nullptr || !control->enabled || control->param < 0 || block_ == nullptr) return false;
  const ParamDef* def = desc_->FindParam(control->param);
  if (def == nullptr || def->type != TYPE_TEXMAP) return false;
  const bool ok = block_->SetValue(def->id, Time(), map) != FALSE;
  Invalidate(def->id);
  return ok;
}

BOOL IParamMap2::SendDlgMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  const BOOL result = proc_ != nullptr ? proc_->DlgProc(Time(), this, GetHWnd(), msg, wParam, lParam) : FALSE;
  if (msg != WM_COMMAND || block_ == nullptr || desc_ == nullptr) return result;
  // The map's own handling: a check box toggles its parameter.
  ParamControl* control = FindControl(static_cast<int>(LOWORD(wParam)));
  if (control == nullptr || control->param < 0 || !control->enabled) return result;
  const ParamDef* def = desc_->FindParam(control->param);
  if (def != nullptr && def->type == TYPE_BOOL && def->hasUi && def->control == TYPE_SINGLECHEKBOX) {
    const ParamID id = def->id;
    block_->SetValue(id, Time(), block_->GetInt(id, Time()) != 0 ? 0 : 1);
    Invalidate(id);
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// IAutoMParamDlg and ClassDesc2

IAutoMParamDlg::IAutoMParamDlg(ClassDesc2* cd, ReferenceTarget* thing, IMtlParams* editor)
    : cd_(cd), thing_(thing), editor_(editor) {}

IAutoMParamDlg::~IAutoMParamDlg() {
  maps_.clear();
  for (ParamDlg* dlg : dlgs_) dlg->DeleteThis();
}

Class_ID IAutoMParamDlg::ClassID() { return cd_ != nullptr ? cd_->ClassID() : Class_ID(); }

void IAutoMParamDlg::SetThing(ReferenceTarget* thing) {
  thing_ = thing;
  for (const auto& map : maps_) {
    ParamBlockDesc2* desc = map->GetDesc();
    IParamBlock2* block =
        thing != nullptr && desc != nullptr ? dynamic_cast<IParamBlock2*>(thing->GetReference(desc->RefNo())) : nullptr;
    map->SetParamBlock(block);
    if (map->GetUserDlgProc() != nullptr) map->GetUserDlgProc()->SetThing(thing);
  }
  if (auto* mtl = dynamic_cast<MtlBase*>(thing)) {
    for (ParamDlg* dlg : dlgs_) mtl->SetDlgThing(dlg);
  }
}

void IAutoMParamDlg::SetTime(TimeValue) {
  for (const auto& map : maps_) map->Invalidate();
}

void IAutoMParamDlg::ReloadDialog() {
  for (const auto& map : maps_) map->Invalidate();
}

void IAutoMParamDlg::AddDlg(ParamDlg* dlg) {
  if (dlg != nullptr) dlgs_.push_back(dlg);
}

ParamDlg* IAutoMParamDlg::GetDlg(int i) const {
  return i >= 0 && i < NumDlgs() ? dlgs_[static_cast<std::size_t>(i)] : nullptr;
}

IParamMap2* IAutoMParamDlg::GetMap(int i) const {
  return i >= 0 && i < NumMaps() ? maps_[static_cast<std::size_t>(i)].get() : nullptr;
}

ParamMap2UserDlgProc::~ParamMap2UserDlgProc() = default;

ClassDesc2::~ClassDesc2() = default;

void ClassDesc2::RemoveParamBlockDesc(ParamBlockDesc2* desc) {
  descs_.erase(std::remove(descs_.begin(), descs_.end(), desc), descs_.end());
}

ParamBlockDesc2* ClassDesc2::GetParamBlockDesc(int i) const {
  return i >= 0 && i < NumParamBlockDescs() ? descs_[static_cast<std::size_t>(i)] : nullptr;
}

ParamBlockDesc2* ClassDesc2::GetParamBlockDescByID(BlockID id) const {
  for (ParamBlockDesc2* desc : descs_) {
    if (desc->ID() == id) return desc;
  }
  return nullptr;
}

void ClassDesc2::MakeAutoParamBlocks(ReferenceMaker* owner) {
  if (owner == nullptr) return;
  for (ParamBlockDesc2* desc : descs_) {
    if ((desc->Flags() & P_AUTO_CONSTRUCT) == 0 || desc->RefNo() < 0) continue;
    owner->ReplaceReference(desc->RefNo(), new IParamBlock2(desc), TRUE);
  }
}

IAutoMParamDlg* ClassDesc2::CreateParamDlgs(HWND, IMtlParams* editor, ReferenceTarget* obj) {
  auto* master = new IAutoMParamDlg(this, obj, editor);
  for (ParamBlockDesc2* desc : descs_) {
    if ((desc->Flags() & P_AUTO_UI) == 0) continue;
    IParamBlock2* block = obj != nullptr ? dynamic_cast<IParamBlock2*>(obj->GetReference(desc->RefNo())) : nullptr;
    master->AddMap(std::make_unique<IParamMap2>(desc, block, editor, 0));
  }
  return master;
}

const char* ClassDesc2::GetRsrcString(INT_PTR id) {
  LoadStringA(HInstance(), static_cast<UINT>(id), rsrcBuffer_, static_cast<int>(sizeof rsrcBuffer_));
  return rsrcBuffer_;
}
