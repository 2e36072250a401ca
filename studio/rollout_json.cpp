#include "rollout_json.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "app/ramps.h"
#include "host/scene.h"
#include "host/win32.h"
#include "studio/studio_error.h"

using nlohmann::json;

namespace {

constexpr DWORD kTabStop = 0x00010000;  // WS_TABSTOP
constexpr DWORD kAlignMask = 0x3;       // SS_LEFT 0, SS_CENTER 1, SS_RIGHT 2

const char* TypeName(ParamType2 type) {
  switch (type) {
    case TYPE_FLOAT: return "float";
    case TYPE_INT: return "int";
    case TYPE_BOOL: return "bool";
    case TYPE_TEXMAP: return "texmap";
    case TYPE_INODE: return "node";
    case TYPE_REFTARG: return "reftarg";
  }
  return "unknown";
}

// What the page draws for a control of this window class.
std::string Kind(const std::string& windowClass, DWORD style) {
  if (windowClass == "CustEdit") return "edit";
  if (windowClass == "SpinnerControl") return "spinner";
  if (windowClass == "CustButton") return "button";
  if (windowClass == "Button") return "checkbox";
  if (windowClass == "Static") {
    const DWORD align = style & kAlignMask;
    return align == 1 ? "text-center" : align == 2 ? "text-right" : "text-left";
  }
  return "other";
}

std::string LocalName(IParamMap2& rollout, const ParamDef& def) {
  ClassDesc2* cd = rollout.GetDesc()->GetClassDesc();
  if (cd == nullptr || def.localNameId == 0) return def.internalName;
  // The descriptor's buffer is overwritten by its next call: copy now.
  std::string name = cd->GetRsrcString(def.localNameId);
  return name.empty() ? def.internalName : name;
}

json ValueOf(IParamMap2& rollout, const ParamDef& def) {
  IParamBlock2* block = rollout.GetParamBlock();
  Interval valid = FOREVER;
  const TimeValue t = rollout.Time();
  switch (def.type) {
    case TYPE_FLOAT: {
      float v = 0.0f;
      block->GetValue(def.id, t, v, valid);
      return v;
    }
    case TYPE_INT: {
      int v = 0;
      block->GetValue(def.id, t, v, valid);
      return v;
    }
    case TYPE_BOOL: {
      int v = 0;
      block->GetValue(def.id, t, v, valid);
      return v != 0;
    }
    case TYPE_INODE: {
      INode* node = nullptr;
      block->GetValue(def.id, t, node, valid);
      return node == nullptr ? json(nullptr) : json(node->GetName());
    }
    case TYPE_TEXMAP: {
      Texmap* map = nullptr;
      block->GetValue(def.id, t, map, valid);
      if (map == nullptr) return nullptr;
      CStr name;
      map->GetClassName(name);
      return std::string(name.data());
    }
    case TYPE_REFTARG: return nullptr;
  }
  return nullptr;
}

json ParamJson(IParamMap2& rollout, const ParamDef& def) {
  json p = {{"id", def.id},
            {"name", def.internalName},
            {"displayName", LocalName(rollout, def)},
            {"type", TypeName(def.type)},
            {"animatable", (def.flags & P_ANIMATABLE) != 0},
            {"value", ValueOf(rollout, def)},
            {"controls", def.hasUi ? json(def.controlIds) : json::array()}};
  if (def.hasRange) {
    p["min"] = def.type == TYPE_FLOAT ? json(def.rangeLow.f) : json(def.rangeLow.i);
    p["max"] = def.type == TYPE_FLOAT ? json(def.rangeHigh.f) : json(def.rangeHigh.i);
  }
  if (def.hasUi && def.control == TYPE_SPINNER) p["step"] = def.spinnerStep;
  if (def.IsNumber() && (def.flags & P_ANIMATABLE) != 0) {
    // What the host marks on a spinner: keys at all, and one at the time shown.
    IParamBlock2* block = rollout.GetParamBlock();
    const int keys = block->NumKeys(def.id);
    json times = json::array();
    for (int k = 0; k < keys; ++k) times.push_back(block->KeyTime(def.id, k));
    p["keyed"] = keys > 0;
    p["keyAtTime"] = std::find(times.begin(), times.end(), json(rollout.Time())) != times.end();
    p["keyTimes"] = std::move(times);  // ticks, for the time slider's key marks
  }
  if (!def.enableCtrls.empty()) p["enables"] = def.enableCtrls;
  return p;
}

const ParamDef* ParamNamed(IParamMap2& rollout, const std::string& name) {
  const ParamBlockDesc2* desc = rollout.GetDesc();
  for (int i = 0; i < desc->Count(); ++i) {
    if (desc->GetParamDef(i).internalName == name) return &desc->GetParamDef(i);
  }
  return nullptr;
}

const ParamControl& ControlOf(IParamMap2& rollout, const ParamDef& def) {
  if (!def.hasUi || def.controlIds.empty() || rollout.Control(def.controlIds[0]) == nullptr) {
    throw StudioError(400, "\"" + def.internalName + "\" has no control in the rollout");
  }
  const ParamControl& control = *rollout.Control(def.controlIds[0]);
  if (!control.enabled) throw StudioError(409, "the control of \"" + def.internalName + "\" is disabled");
  return control;
}

}  // namespace

json ParameterPageJson(IParamMap2& rollout) {
  ParamBlockDesc2* desc = rollout.GetDesc();
  ClassDesc2* cd = desc->GetClassDesc();
  const DialogResource* dialog = cd == nullptr ? nullptr : FindDialogResource(cd->HInstance(), desc->DialogTemplate());
  json page = {{"kind", "parameters"}, {"title", cd == nullptr ? "" : std::string(cd->GetRsrcString(desc->Title()))}};
  if (dialog != nullptr) {
    page["template"] = {{"id", dialog->id},
                        {"width", dialog->width},
                        {"height", dialog->height},
                        {"fontPointSize", dialog->fontPointSize},
                        {"fontName", dialog->fontName == nullptr ? "" : dialog->fontName}};
  }
  json controls = json::array();
  const std::vector<ParamControl>& all = rollout.Controls();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const ParamControl& c = all[i];
    json control = {{"index", i},           {"id", c.id},           {"windowClass", c.windowClass},
                    {"caption", c.caption}, {"enabled", c.enabled}, {"param", c.param}};
    // The parameter map keeps the template's items first and in order; controls it added for
    // parameters the template lacks have no box.
    DWORD style = 0;
    if (dialog != nullptr && i < static_cast<std::size_t>(dialog->itemCount)) {
      const DialogItemResource& item = dialog->items[i];
      style = item.style;
      control["box"] = {item.x, item.y, item.width, item.height};
      control["tabStop"] = (item.style & kTabStop) != 0;
    }
    control["kind"] = Kind(c.windowClass, style);
    if (c.param >= 0) {
      const ParamDef* def = desc->FindParam(c.param);
      if (def != nullptr) control["paramName"] = def->internalName;
      control["number"] = c.number;
      control["checked"] = c.checked;
      control["text"] = c.text;
    }
    controls.push_back(std::move(control));
  }
  page["controls"] = std::move(controls);
  json params = json::array();
  for (int i = 0; i < desc->Count(); ++i) params.push_back(ParamJson(rollout, desc->GetParamDef(i)));
  page["params"] = std::move(params);
  return page;
}

json CoordinatesPageJson(const ParamDlg& page, UVGen* gen) {
  json result = {{"kind", "coordinates"}, {"title", UVGenParamDlg::kTitle}};
  (void)page;
  if (gen != nullptr) {
    result["values"] = {{"uOffset", gen->GetUOffset()},
                        {"vOffset", gen->GetVOffset()},
                        {"uTiling", gen->GetUTiling()},
                        {"vTiling", gen->GetVTiling()},
                        {"wAngle", gen->GetWAngle() * 180.0f / std::numbers::pi_v<float>},
                        {"tiling", gen->GetTextureTiling()},
                        {"mapChannel", gen->GetMapChannel()}};
  }
  return result;
}

namespace {

// The ramp a map button's value asks for, owned by the caller until a reference holds it.
Texmap* NewRamp(const std::string& name, const json& value, const BitmapLoader& loadBitmap) {
  if (value.is_object() && value.size() == 1 && value.contains("gradient") && value["gradient"].is_string()) {
    std::string error;
    const auto stops = ParseGradient(value["gradient"].get<std::string>(), &error);
    if (!stops) throw StudioError(400, "\"" + name + "\": " + error);
    return new GradientMap(*stops);
  }
  if (value.is_object() && value.size() == 1 && value.contains("bitmap") && value["bitmap"].is_string()) {
    return loadBitmap(value["bitmap"].get<std::string>());
  }
  throw StudioError(400, "\"" + name + "\" takes null, {\"gradient\": preset or stops} or {\"bitmap\": file}");
}

}  // namespace

json ApplyEdit(IParamMap2& rollout, const json& request, const BitmapLoader& loadBitmap) {
  if (!request.is_object() || !request.contains("param") || !request["param"].is_string() ||
      !request.contains("value")) {
    throw StudioError(400, "expected {\"param\": name, \"value\": ...}");
  }
  const std::string name = request["param"].get<std::string>();
  const ParamDef* def = ParamNamed(rollout, name);
  if (def == nullptr) throw StudioError(404, "the map has no parameter \"" + name + "\"");
  const json& value = request["value"];
  switch (def->type) {
    case TYPE_FLOAT:
    case TYPE_INT: {
      if (!value.is_number()) throw StudioError(400, "\"" + name + "\" takes a number");
      const double number = value.get<double>();
      if (!std::isfinite(number)) throw StudioError(400, "\"" + name + "\" takes a finite number");
      const ParamControl& control = ControlOf(rollout, *def);
      // Beyond float's range the spinner would see infinity; the block's clamp then decides.
      const double limit = 3.0e38;
      const float typed = static_cast<float>(number < -limit ? -limit : number > limit ? limit : number);
      if (!rollout.SetSpinner(control.id, typed)) throw StudioError(400, "the spinner refused " + value.dump());
      break;
    }
    case TYPE_BOOL: {
      if (!value.is_boolean()) throw StudioError(400, "\"" + name + "\" takes true or false");
      const ParamControl& control = ControlOf(rollout, *def);
      // A check box only toggles; clicking it when it already shows the value would undo it.
      if (control.checked != value.get<bool>() && !rollout.ClickButton(control.id)) {
        throw StudioError(409, "the check box of \"" + name + "\" refused the click");
      }
      break;
    }
    case TYPE_INODE: {
      if (!value.is_null() && !value.is_string()) throw StudioError(400, "\"" + name + "\" takes a node name or null");
      INode* node = nullptr;
      if (value.is_string()) {
        node = GetCOREInterface()->FindNode(value.get<std::string>().c_str());
        if (node == nullptr) throw StudioError(404, "the scene has no node \"" + value.get<std::string>() + "\"");
      }
      const ParamControl& control = ControlOf(rollout, *def);
      if (!rollout.PickNode(control.id, node)) throw StudioError(400, "the map refused the node");
      break;
    }
    case TYPE_TEXMAP: {
      const ParamControl& control = ControlOf(rollout, *def);
      Texmap* ramp = value.is_null() ? nullptr : NewRamp(name, value, loadBitmap);
      if (!rollout.AssignTexmap(control.id, ramp)) {
        if (ramp != nullptr) ramp->DeleteThis();
        throw StudioError(400, "the map refused the ramp");
      }
      break;
    }
    default: throw StudioError(400, "\"" + name + "\" cannot be edited here");
  }
  json result = ParamJson(rollout, *def);
  result["requested"] = value;
  return result;
}

void ApplyCoordinates(UVGen& gen, const json& request) {
  if (!request.is_object() || request.empty()) throw StudioError(400, "expected an object of coordinate values");
  for (const auto& [key, value] : request.items()) {
    if (key == "tiling" || key == "mapChannel") {
      const long long high = key == "tiling" ? (U_WRAP | V_WRAP | U_MIRROR | V_MIRROR) : UVGEN_MAX_MAP_CHANNEL;
      if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > high) {
        throw StudioError(400, "\"" + key + "\" takes an integer from 0 to " + std::to_string(high));
      }
    } else if (key == "uOffset" || key == "vOffset" || key == "uTiling" || key == "vTiling" || key == "wAngle") {
      if (!value.is_number() || !std::isfinite(static_cast<float>(value.get<double>()))) {
        throw StudioError(400, "\"" + key + "\" takes a finite number");
      }
    } else {
      throw StudioError(400, "the Coordinates page has no \"" + key + "\"");
    }
  }
  for (const auto& [key, value] : request.items()) {
    if (key == "tiling") {
      gen.SetTextureTiling(value.get<int>());
    } else if (key == "mapChannel") {
      gen.SetMapChannel(value.get<int>());
    } else {
      const float v = value.get<float>();
      if (key == "uOffset") gen.SetUOffset(v);
      if (key == "vOffset") gen.SetVOffset(v);
      if (key == "uTiling") gen.SetUTiling(v);
      if (key == "vTiling") gen.SetVTiling(v);
      if (key == "wAngle") gen.SetWAngle(v * std::numbers::pi_v<float> / 180.0f);
    }
  }
}

void PressCommand(IParamMap2& rollout, const json& request) {
  if (!request.is_object() || !request.contains("control") || !request["control"].is_number_integer()) {
    throw StudioError(400, "expected {\"control\": id}");
  }
  const long long id = request["control"].get<long long>();
  const ParamControl* control = id < 0 || id > 0xFFFF ? nullptr : rollout.Control(static_cast<int>(id));
  if (control == nullptr || control->windowClass != "CustButton" || control->param >= 0) {
    throw StudioError(404, "the rollout has no command button " + std::to_string(id));
  }
  if (!control->enabled || !rollout.ClickButton(control->id)) {
    throw StudioError(409, "the button \"" + control->caption + "\" is disabled");
  }
}
