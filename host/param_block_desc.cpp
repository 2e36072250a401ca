// Parameter block descriptions: the flat tagged list a class writes once, read and checked.
#include "host/param_block.h"

#include <algorithm>

namespace {

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
    const bool ok =
        arg != nullptr && (arg->kind() == kind || (kind == DescArg::Kind::Float && arg->kind() == DescArg::Kind::Int));
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

}  // namespace

// ---------------------------------------------------------------------------------------------
// ParamBlockDesc2

ParamBlockDesc2::ParamBlockDesc2(BlockID id, const char* internalName, int localName, ClassDesc2* cd, int flags,
                                 const std::vector<DescArg>& list)
    : id_(id),
      internalName_(internalName == nullptr ? "" : internalName),
      localName_(localName),
      cd_(cd),
      flags_(flags) {
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
        def.hasRange =
            takeNumber("the range's low end", def.rangeLow) && takeNumber("the range's high end", def.rangeHigh);
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
      const bool inverted =
          def.type == TYPE_FLOAT ? def.rangeLow.f > def.rangeHigh.f : def.rangeLow.i > def.rangeHigh.i;
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
