// The automatic master dialog of a class's rollouts, and the class descriptor that builds it
// and the blocks it shows.
#include "host/param_block.h"

#include <algorithm>

#include "host/mtl_params.h"
#include "host/win32.h"

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
