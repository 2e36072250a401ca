// Parameter blocks. Animatable values follow the host's key model (host/key_track.h).
#include "host/param_block.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "host/byte_order.h"
#include "host/key_track.h"
#include "host/mtl_params.h"
#include "host/scene.h"
#include "host/win32.h"

namespace {

bool animateMode = false;

bool SameNumber(const ParamNumber& a, const ParamNumber& b) {
  return std::bit_cast<std::uint32_t>(a.f) == std::bit_cast<std::uint32_t>(b.f) && a.i == b.i;
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
  return KeyedValueAt(slot.keys, t, valid, SameNumber, [&](const ParamNumber& a, const ParamNumber& b, double s) {
    ParamNumber v;
    if (def.type == TYPE_FLOAT) {
      v.f = static_cast<float>(a.f + (static_cast<double>(b.f) - a.f) * s);
    } else {
      v.i = static_cast<int>(std::lround(a.i + (static_cast<double>(b.i) - a.i) * s));
    }
    return v;
  });
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
  bool changed = false;
  if ((def.flags & P_ANIMATABLE) != 0) {
    changed = WriteKeyed(slot.value, slot.keys, t, v, Animating(), SameNumber);
  } else if (!SameNumber(slot.value, v)) {
    slot.value = v;
    changed = true;
  }
  if (changed) NotifyChanged(def.id);
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
