// The host's rollout model as the page draws it, and user edits through it.
//
// A control's box comes from the module's dialog template (dialog units), its state from the
// parameter map; parameters are described from the block description, never from a list of
// the map's parameters kept here.
#pragma once

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "host/param_block.h"
#include "host/uvgen.h"

// The parameter map's page: template size and font, controls in tab order with their boxes,
// state and parameter, and the block's parameters with values at the editor's time.
nlohmann::json ParameterPageJson(IParamMap2& rollout);
// The UV generator's "Coordinates" page and its values (angle in degrees).
nlohmann::json CoordinatesPageJson(const ParamDlg& page, UVGen* gen);

// {"param": internal name, "value": ...} applied as the user would through the rollout: a
// spinner takes a number (clamped by the block), a check box a boolean, the pick button a node
// name or null, a map button null, {"gradient": preset or stops} or {"bitmap": file} (a new
// ramp map, the bitmap read by loadBitmap, which throws StudioError when it cannot). Returns the
// parameter's description with the value it now has. Throws StudioError: 404 unknown parameter
// or node, 400 wrong type or a value no control accepts, 409 a disabled control.
using BitmapLoader = std::function<Texmap*(const std::string& relativePath)>;
nlohmann::json ApplyEdit(IParamMap2& rollout, const nlohmann::json& request, const BitmapLoader& loadBitmap);

// Edits of the "Coordinates" page: any of uOffset, vOffset, uTiling, vTiling, wAngle (degrees)
// as finite numbers, tiling (the wrap and mirror flags, 0..15) and mapChannel (0..99) as
// integers, through the generator's setters. Everything is checked before anything is set:
// StudioError 400 for an unknown name, a wrong type or a value out of range.
void ApplyCoordinates(UVGen& gen, const nlohmann::json& request);

// {"control": id} of a command button (a custom button that shows no parameter): the rollout
// sends WM_COMMAND for it. Throws StudioError 404 for anything else, 409 when disabled.
void PressCommand(IParamMap2& rollout, const nlohmann::json& request);
