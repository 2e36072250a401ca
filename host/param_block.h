// Parameter blocks: typed, optionally animated parameters that a plug-in class describes once
// (ParamBlockDesc2) and each of its objects holds a copy of (IParamBlock2).
//
// A class describes its block with a flat tagged list, as it would be written in a static
// initialiser: block header, then for each parameter `id, "name", type, flags, nameStringId`
// followed by tags (p_default, p_range, p_ui, p_refno, p_subtexno, p_enable_ctrls) and p_end,
// and a final p_end. Mistakes in the list are description errors (see ParamBlockDesc2::Errors),
// reported rather than trusted, because the list is only read once, at module load.
//
// Values: TYPE_FLOAT holds a float, TYPE_INT and TYPE_BOOL an int (BOOL is int), TYPE_INODE,
// TYPE_TEXMAP and TYPE_REFTARG a reference to a target, held through the reference system so
// that a cycle (a sub-map that refers back to its owner) is refused. A P_OWNERS_REF parameter is
// a view of one of the owner's own references (p_refno): the block holds nothing for it.
//
// Animation: while Animating() is on, a write to a P_ANIMATABLE parameter sets a key at that time
// (the first key also keeps the value it replaces, as a key at time 0). A keyed float is
// interpolated linearly between keys and held before the first and after the last; a keyed int
// takes the rounded interpolation. GetValue narrows the caller's interval to the times over which
// the value it returns stays the same; an unkeyed value holds forever.
//
// Ranges are enforced on every write: a value outside the parameter's range is clamped into it
// (the way a spinner clamps what is typed), a NaN float is refused and changes nothing.
//
// Threads: blocks are read and written on the host's main thread; GetValue only reads, so
// several threads may read one block while nobody writes it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/chunk_io.h"
#include "host/class_desc.h"
#include "host/interval.h"
#include "host/mtl_base.h"
#include "host/reference.h"
#include "host/types.h"

class ClassDesc2;
class INode;
class Texmap;
class IParamBlock2;
class IParamMap2;
class IMtlParams;

using ParamID = short;
using BlockID = short;
using MapID = int;

enum ParamType2 : int {
  TYPE_FLOAT = 0,
  TYPE_INT = 1,
  TYPE_BOOL = 4,
  TYPE_TEXMAP = 9,
  TYPE_INODE = 17,
  TYPE_REFTARG = 18,
};

// Block flags.
inline constexpr int P_AUTO_CONSTRUCT = 0x2;  // MakeAutoParamBlocks creates the block (needs a refno)
inline constexpr int P_AUTO_UI = 0x4;         // CreateParamDlgs builds its rollout (needs a dialog)
// Parameter flags.
inline constexpr int P_ANIMATABLE = 0x1;
inline constexpr int P_OWNERS_REF = 0x2;

// The tags of a description. A distinct type, so a tag is never mistaken for a number.
enum ParamTag : int { p_end = 0, p_default, p_range, p_ui, p_refno, p_subtexno, p_enable_ctrls };

// Rollout control kinds for p_ui.
enum ControlType2 : int { TYPE_SPINNER = 1, TYPE_PICKNODEBUTTON, TYPE_SINGLECHEKBOX, TYPE_TEXMAPBUTTON };
enum EditSpinnerType : int { EDITTYPE_FLOAT = 1, EDITTYPE_INT };

class ParamMap2UserDlgProc;

// One item of a description list.
class DescArg {
 public:
  enum class Kind { Int, Float, Text, Tag, ParamType, Control, EditType, DlgProc };
  DescArg(int v) : kind_(Kind::Int), i_(v) {}                           // NOLINT: implicit by design
  DescArg(short v) : kind_(Kind::Int), i_(v) {}                         // NOLINT
  DescArg(bool v) : kind_(Kind::Int), i_(v ? 1 : 0) {}                  // NOLINT
  DescArg(float v) : kind_(Kind::Float), f_(v) {}                       // NOLINT
  DescArg(double v) : kind_(Kind::Float), f_(static_cast<float>(v)) {}  // NOLINT
  DescArg(const char* v) : kind_(Kind::Text), s_(v) {}                  // NOLINT
  DescArg(ParamTag v) : kind_(Kind::Tag), i_(v) {}                      // NOLINT
  DescArg(ParamType2 v) : kind_(Kind::ParamType), i_(v) {}              // NOLINT
  DescArg(ControlType2 v) : kind_(Kind::Control), i_(v) {}              // NOLINT
  DescArg(EditSpinnerType v) : kind_(Kind::EditType), i_(v) {}          // NOLINT
  DescArg(std::nullptr_t) : kind_(Kind::DlgProc) {}                     // NOLINT
  DescArg(ParamMap2UserDlgProc* v) : kind_(Kind::DlgProc), p_(v) {}     // NOLINT

  Kind kind() const { return kind_; }
  int AsInt() const { return i_; }
  float AsFloat() const { return kind_ == Kind::Int ? static_cast<float>(i_) : f_; }
  const char* AsText() const { return s_; }
  ParamMap2UserDlgProc* AsDlgProc() const { return p_; }

 private:
  Kind kind_;
  int i_ = 0;
  float f_ = 0.0f;
  const char* s_ = nullptr;
  ParamMap2UserDlgProc* p_ = nullptr;
};

// A number of either kind; which one is meant follows from the parameter's type.
struct ParamNumber {
  float f = 0.0f;
  int i = 0;
};

struct ParamDef {
  ParamID id = -1;
  std::string internalName;
  ParamType2 type = TYPE_FLOAT;
  int flags = 0;
  int localNameId = 0;  // string id of the display name; 0 for none
  ParamNumber defaultValue;
  bool hasRange = false;
  ParamNumber rangeLow, rangeHigh;
  // Rollout control: kind, spinner edit type, control ids (edit then spinner for a spinner, else
  // one id) and the spinner step.
  bool hasUi = false;
  ControlType2 control = TYPE_SPINNER;
  EditSpinnerType editType = EDITTYPE_FLOAT;
  std::vector<int> controlIds;
  float spinnerStep = 0.0f;
  int refno = -1;                    // P_OWNERS_REF: the owner's reference this parameter shows
  int subtexno = -1;                 // TYPE_TEXMAP: the owner's sub-map index
  std::vector<ParamID> enableCtrls;  // parameters whose controls follow this BOOL

  bool IsReference() const { return type == TYPE_INODE || type == TYPE_TEXMAP || type == TYPE_REFTARG; }
  bool IsNumber() const { return !IsReference(); }
};

class ParamBlockDesc2 {
 public:
  // The description as a flat tagged list (see the header comment). After the five fixed
  // fields come, when flags has P_AUTO_CONSTRUCT, the block's reference number in its owner;
  // when it has P_AUTO_UI, the dialog template id, the rollout title string id, the test flags,
  // the rollup flags and the user dialog procedure (or nullptr); then the parameters.
  template <class... Args>
  ParamBlockDesc2(BlockID id, const char* internalName, int localName, ClassDesc2* cd, int flags, const Args&... args)
      : ParamBlockDesc2(id, internalName, localName, cd, flags, std::vector<DescArg>{DescArg(args)...}) {}
  ParamBlockDesc2(BlockID id, const char* internalName, int localName, ClassDesc2* cd, int flags,
                  const std::vector<DescArg>& list);
  ~ParamBlockDesc2();
  ParamBlockDesc2(const ParamBlockDesc2&) = delete;
  ParamBlockDesc2& operator=(const ParamBlockDesc2&) = delete;

  BlockID ID() const { return id_; }
  const std::string& InternalName() const { return internalName_; }
  int LocalName() const { return localName_; }
  ClassDesc2* GetClassDesc() const { return cd_; }
  int Flags() const { return flags_; }
  int RefNo() const { return refNo_; }
  int DialogTemplate() const { return dialogTemplate_; }
  int Title() const { return title_; }
  int TestFlags() const { return testFlags_; }
  int RollupFlags() const { return rollupFlags_; }

  int Count() const { return static_cast<int>(params_.size()); }
  const ParamDef& GetParamDef(int index) const { return params_[static_cast<std::size_t>(index)]; }
  // Index of parameter id, or -1.
  int IDtoIndex(ParamID id) const;
  const ParamDef* FindParam(ParamID id) const;

  // Everything wrong with the description list, one line each; empty when it is sound.
  const std::string& Errors() const { return errors_; }

  // Installs proc as the user dialog procedure of parameter map mapID. The open rollout of this
  // block takes it over (releasing its previous one); with no rollout open the description keeps
  // it for the next rollout. A null proc removes the current one.
  void SetUserDlgProc(MapID mapID, ParamMap2UserDlgProc* proc);
  ParamMap2UserDlgProc* GetUserDlgProc(MapID mapID = 0) const;
  // Makes every open rollout of this description show its block's current values again.
  void InvalidateUI();
  void InvalidateUI(ParamID id);

 private:
  friend class IParamMap2;
  friend class IParamBlock2;
  void Parse(const std::vector<DescArg>& list);
  void Error(const std::string& what);
  void AttachMap(IParamMap2* map);
  void DetachMap(IParamMap2* map);

  BlockID id_;
  std::string internalName_;
  int localName_;
  ClassDesc2* cd_;
  int flags_;
  int refNo_ = -1;
  int dialogTemplate_ = 0;
  int title_ = 0;
  int testFlags_ = 0;
  int rollupFlags_ = 0;
  std::vector<ParamDef> params_;
  std::string errors_;
  ParamMap2UserDlgProc* pendingProc_ = nullptr;  // owned until a rollout takes it
  std::vector<IParamMap2*> openMaps_;            // not owned; most recent last
};

// The animate button: while on, writes to animatable parameters set keys.
void AnimateOn();
void AnimateOff();
bool Animating();

class IParamBlock2 : public ReferenceTarget {
 public:
  // A block of desc with its defaults. owner is the object whose reference it will be; for a
  // clone it is found again from the block's dependents.
  explicit IParamBlock2(ParamBlockDesc2* desc);
  ~IParamBlock2() override;

  ParamBlockDesc2* GetDesc() const { return desc_; }
  BlockID ID() const { return desc_->ID(); }
  // The maker that holds this block as its reference desc->RefNo(), or null.
  ReferenceMaker* GetOwner() const;

  // Reads parameter id at time t (tab index 0 only), narrowing valid to the interval over which
  // the value holds. FALSE, with v and valid untouched, for an unknown id, a type that does not
  // match the parameter's, or a tab index other than 0. TYPE_BOOL reads as int.
  BOOL GetValue(ParamID id, TimeValue t, float& v, Interval& valid, int tabIndex = 0);
  BOOL GetValue(ParamID id, TimeValue t, int& v, Interval& valid, int tabIndex = 0);
  BOOL GetValue(ParamID id, TimeValue t, INode*& v, Interval& valid, int tabIndex = 0);
  BOOL GetValue(ParamID id, TimeValue t, Texmap*& v, Interval& valid, int tabIndex = 0);
  BOOL GetValue(ParamID id, TimeValue t, ReferenceTarget*& v, Interval& valid, int tabIndex = 0);
  // Writes parameter id at time t, clamped into its range. Notifies the dependents with
  // REFMSG_CHANGE (LastNotifyParamID then gives id) when the value changed. FALSE, nothing
  // changed, for an unknown id, a mismatched type, a tab index other than 0, a NaN, or a
  // reference the reference system refuses (a cycle).
  BOOL SetValue(ParamID id, TimeValue t, float v, int tabIndex = 0);
  BOOL SetValue(ParamID id, TimeValue t, int v, int tabIndex = 0);
  BOOL SetValue(ParamID id, TimeValue t, INode* v, int tabIndex = 0);
  BOOL SetValue(ParamID id, TimeValue t, Texmap* v, int tabIndex = 0);
  BOOL SetValue(ParamID id, TimeValue t, ReferenceTarget* v, int tabIndex = 0);

  // Conveniences for hosts and tests: the value at t, the parameter's default for an unknown id.
  float GetFloat(ParamID id, TimeValue t = 0);
  int GetInt(ParamID id, TimeValue t = 0);

  int NumKeys(ParamID id) const;
  TimeValue KeyTime(ParamID id, int i) const;
  void DeleteKeys(ParamID id);

  // The parameter whose change caused the latest REFMSG_CHANGE this block sent; -1 when that
  // change was not one parameter's (a load or a reset of the whole block).
  ParamID LastNotifyParamID() const { return lastNotifyParamID_; }
  // Every parameter back to its default, keys removed; one REFMSG_CHANGE with no parameter id.
  void ResetAll();

  // The numeric parameters and their keys as one chunk; reference parameters are the scene's
  // links and are written by whoever saves the reference graph.
  IOResult Save(ISave* save) override;
  IOResult Load(ILoad* load) override;

  // The parameter whose value is reference i of this block, or -1.
  ParamID RefParamID(int refIndex) const;

  int NumRefs() override;
  RefTargetHandle GetReference(int i) override;
  RefResult NotifyRefChanged(const Interval& changeInt, RefTargetHandle target, PartID& partID,
                             RefMessage message) override;
  // A block of the same description with the same values and keys; nodes are shared, sub-maps
  // and other targets cloned through remap. P_OWNERS_REF parameters are the owner's to clone.
  ReferenceTarget* Clone(RemapDir& remap) override;
  SClass_ID SuperClassID() override { return PARAMETER_BLOCK2_CLASS_ID; }
  Class_ID ClassID() override { return Class_ID(0x0000082, 0); }
  void GetClassName(CStr& name) override { name = CStr("ParamBlock2"); }

  static constexpr SClass_ID PARAMETER_BLOCK2_CLASS_ID = 0x82;

 protected:
  void SetReference(int i, RefTargetHandle target) override;

 private:
  struct Slot {
    ParamNumber value;                      // the value when there are no keys
    std::map<TimeValue, ParamNumber> keys;  // keyed values by time
    int ref = -1;                           // reference index of a reference parameter
  };

  const ParamDef* Checked(ParamID id, int tabIndex, bool wantReference) const;
  ParamNumber ValueAt(const ParamDef& def, const Slot& slot, TimeValue t, Interval& valid) const;
  ParamNumber Clamped(const ParamDef& def, ParamNumber v) const;
  BOOL SetNumber(const ParamDef& def, TimeValue t, ParamNumber v);
  BOOL SetRef(const ParamDef& def, ReferenceTarget* v);
  ReferenceTarget* RefValue(const ParamDef& def);
  void NotifyChanged(ParamID id);

  ParamBlockDesc2* desc_;
  std::vector<Slot> slots_;  // by parameter index
  std::vector<ReferenceTarget*> refs_;
  ParamID lastNotifyParamID_ = -1;
  ParamID droppedParam_ = -1;  // the parameter whose target was just deleted
};

// A user dialog procedure: the class's own handling of its rollout's window messages, called
// before the parameter map's own. Owned by the parameter map, released with DeleteThis.
class ParamMap2UserDlgProc {
 public:
  virtual ~ParamMap2UserDlgProc();
  // msg is a window message (WM_COMMAND: the control id in LOWORD(wParam)). Returning FALSE lets
  // the parameter map go on with its own handling.
  virtual BOOL DlgProc(TimeValue t, IParamMap2* map, HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) = 0;
  virtual void DeleteThis() = 0;
  virtual void SetThing(ReferenceTarget*) {}
  virtual void Update(TimeValue t, Interval&, IParamMap2*) { Update(t); }
  virtual void Update(TimeValue) {}
  virtual void SetParamBlock(IParamBlock2*) {}
};

// One control of a rollout: what the user sees and whether they can use it.
struct ParamControl {
  int id = -1;
  std::string windowClass;
  std::string caption;
  bool enabled = true;
  ParamID param = -1;  // the parameter it shows, -1 for none
  // What it shows: a spinner or edit its number, a check box its state, a button the name of
  // the node or map assigned (or its caption when none).
  float number = 0.0f;
  bool checked = false;
  std::string text;
};

// The parameter map of one rollout: its controls, built from the dialog template, tied to the
// parameters of one block. A model without windows: user actions are calls, and the messages a
// window would send go to the user dialog procedure first.
class IParamMap2 {
 public:
  IParamMap2(ParamBlockDesc2* desc, IParamBlock2* block, IMtlParams* editor, MapID mapID);
  ~IParamMap2();
  IParamMap2(const IParamMap2&) = delete;
  IParamMap2& operator=(const IParamMap2&) = delete;

  ParamBlockDesc2* GetDesc() const { return desc_; }
  IParamBlock2* GetParamBlock() const { return block_; }
  // Shows another block of the same description (the material editor moving to another map).
  void SetParamBlock(IParamBlock2* block);
  MapID GetMapID() const { return mapID_; }
  HWND GetHWnd() const { return reinterpret_cast<HWND>(const_cast<IParamMap2*>(this)); }
  // The editor's time, at which controls read and write.
  TimeValue Time() const;
  // False when the class registered no dialog template of that id: the map then has the
  // parameter controls only.
  bool HasTemplate() const { return hasTemplate_; }

  void SetUserDlgProc(ParamMap2UserDlgProc* proc);
  ParamMap2UserDlgProc* GetUserDlgProc() const { return proc_; }

  // Re-reads the block into the controls, and the enabled state that p_enable_ctrls asks for.
  void Invalidate();
  void Invalidate(ParamID id);
  // Enables or disables the controls of parameter id.
  void Enable(ParamID id, BOOL on);

  const std::vector<ParamControl>& Controls() const { return controls_; }
  const ParamControl* Control(int controlId) const;

  // The user at work. Each returns false, changing nothing, for an unknown or disabled control
  // or one of another kind. Spinner values are clamped to the parameter's range (int parameters
  // round), check boxes and buttons send WM_COMMAND through the user dialog procedure first.
  bool SetSpinner(int controlId, float value);
  bool ClickButton(int controlId);
  bool PickNode(int controlId, INode* node);
  bool AssignTexmap(int controlId, Texmap* map);
  // A window message sent to the rollout: the user procedure first, then the map's own handling
  // (a WM_COMMAND from a check box toggles it). Returns what the user procedure returned.
  BOOL SendDlgMessage(UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  friend class ParamBlockDesc2;
  friend class IParamBlock2;
  ParamControl* FindControl(int controlId);
  void ApplyEnableRules();

  ParamBlockDesc2* desc_;
  IParamBlock2* block_;
  IMtlParams* editor_;
  MapID mapID_;
  bool hasTemplate_ = false;
  ParamMap2UserDlgProc* proc_ = nullptr;  // owned
  int pageIndex_ = -1;                    // the editor's page, or -1
  std::vector<ParamControl> controls_;
  std::map<ParamID, bool> disabledByCall_;  // Enable(id, FALSE) wins over p_enable_ctrls
};

// The master dialog of a class's rollouts: its parameter maps plus the secondary dialogs added
// to it (a UV generator's rollout). It owns all of them.
class IAutoMParamDlg : public ParamDlg {
 public:
  IAutoMParamDlg(ClassDesc2* cd, ReferenceTarget* thing, IMtlParams* editor);
  ~IAutoMParamDlg() override;

  Class_ID ClassID() override;
  // Moves every page to another object of the class: each map to its block, each user procedure
  // to the object, each secondary dialog through the object's SetDlgThing.
  void SetThing(ReferenceTarget* thing) override;
  ReferenceTarget* GetThing() override { return thing_; }
  // The material editor whose pages the maps are in (null without one).
  IMtlParams* GetEditor() const { return editor_; }
  void SetTime(TimeValue t) override;
  void ReloadDialog() override;
  void DeleteThis() override { delete this; }

  void AddDlg(ParamDlg* dlg);
  int NumDlgs() const { return static_cast<int>(dlgs_.size()); }
  ParamDlg* GetDlg(int i) const;
  void AddMap(std::unique_ptr<IParamMap2> map) { maps_.push_back(std::move(map)); }
  int NumMaps() const { return static_cast<int>(maps_.size()); }
  IParamMap2* GetMap(int i) const;

 private:
  ClassDesc2* cd_;
  ReferenceTarget* thing_;
  IMtlParams* editor_;
  std::vector<std::unique_ptr<IParamMap2>> maps_;
  std::vector<ParamDlg*> dlgs_;
};

// A class descriptor that knows its parameter block descriptions.
class ClassDesc2 : public ClassDesc {
 public:
  // Out of line, so the class's type information lives in the host library alone and modules
  // built with hidden visibility still cast to it.
  ~ClassDesc2() override;
  // Called by a description's constructor.
  void AddParamBlockDesc(ParamBlockDesc2* desc) { descs_.push_back(desc); }
  void RemoveParamBlockDesc(ParamBlockDesc2* desc);
  int NumParamBlockDescs() const { return static_cast<int>(descs_.size()); }
  ParamBlockDesc2* GetParamBlockDesc(int i) const;
  ParamBlockDesc2* GetParamBlockDescByID(BlockID id) const;

  // For every description with P_AUTO_CONSTRUCT: a new block with its defaults, installed as
  // owner's reference RefNo() (owner's SetReference stores it).
  void MakeAutoParamBlocks(ReferenceMaker* owner);
  // For every description with P_AUTO_UI: a parameter map over obj's block, its page opened in
  // the editor under the rollout title. The caller owns the result (DeleteThis); never null.
  IAutoMParamDlg* CreateParamDlgs(HWND editorWindow, IMtlParams* editor, ReferenceTarget* obj);
  // String id of this class's module; empty text when it has none. One buffer per descriptor,
  // overwritten by the next call.
  const char* GetRsrcString(INT_PTR id);

 private:
  std::vector<ParamBlockDesc2*> descs_;  // not owned: static data of the class's module
  char rsrcBuffer_[256] = {};
};
