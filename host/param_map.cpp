// Parameter maps: the rollout model that ties a dialog template's controls to a block.
#include "host/param_block.h"

#include <algorithm>
#include <cmath>

#include "host/mtl_params.h"
#include "host/scene.h"
#include "host/win32.h"

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
        added.windowClass = def.control == TYPE_SPINNER         ? (k == 0 ? "CustEdit" : "SpinnerControl")
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

ParamMap2UserDlgProc::~ParamMap2UserDlgProc() = default;
