// The host side of the studio: one scene, the module's maps in it, and the material editor that
// shows one map's rollouts at a time. Every call is a user action or a question the page asks,
// answered in JSON; a refused request throws StudioError and changes nothing.
//
// Threads: everything here, construction and destruction included, runs on the host thread
// (the scene and the module's objects belong to it).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/mesh_frame.h"
#include "app/session.h"
#include "host/mtl_params.h"
#include "studio/path_policy.h"

class StudioScene {
 public:
  // Loads the modules of pluginDir; throws StudioError when none provides the map.
  // indexBudgetBytes: the most a map's face index may take (0: the command line's limit).
  StudioScene(const std::filesystem::path& pluginDir, PathPolicy paths, std::uint64_t indexBudgetBytes = 0);
  // Closes the rollout, deletes the maps and empties the scene before the modules unload.
  ~StudioScene();
  StudioScene(const StudioScene&) = delete;
  StudioScene& operator=(const StudioScene&) = delete;

  // Nodes (name, faces, vertices, bounds), maps, the scene file and the root folders.
  nlohmann::json Scene() const;
  // A mesh file becomes a node (and, in a scene without maps, a new map picks it, as the command
  // line renders a mesh); a scene file brings its nodes and maps and becomes the file saves go to.
  nlohmann::json Open(const std::string& relative);
  // A new map made through the class descriptor the loader found; it becomes the edited one.
  nlohmann::json NewMap();
  // The edited map's rollouts: its parameter map's controls laid out from the dialog template,
  // the block's parameters and values, and the UV generator's page.
  nlohmann::json Rollouts(int mapId);
  // One user edit through the rollout: {"param": name, "value": ...}. Spinners clamp as the
  // block does and the answer reports the value that resulted.
  nlohmann::json SetParam(int mapId, const nlohmann::json& request);
  // Edits of the UV generator's "Coordinates" page (see ApplyCoordinates); answers the rollouts.
  nlohmann::json SetCoordinates(int mapId, const nlohmann::json& request);
  // A command button pressed: WM_COMMAND to the rollout's dialog procedure.
  nlohmann::json Command(int mapId, const nlohmann::json& request);
  // Saves the scene to its file, or to relative inside root number rootIndex (save as).
  nlohmann::json Save(const std::optional<std::string>& relative, std::size_t rootIndex);
  // The sample slot: the map's colour at 256 x 256 as PNG bytes. Both images are refused (422)
  // when the picked mesh's quadtree would not fit the command line's memory budget.
  std::string SampleSlotPng(int mapId);
  // The viewport preview (GetVPDisplayDIB) as PNG bytes.
  std::string PreviewPng(int mapId);

  // ---- Time and Auto Key ----
  // The editor's time and the Auto Key state: {"frame", "ticks", "ticksPerFrame", "lastFrame",
  // "autoKey"}.
  nlohmann::json Time() const;
  // {"frame": 0..kLastFrame}: the editor's (and the scene's) time moves there, the open rollout
  // re-reads the block at it, and the images are made there next time they are asked for.
  nlohmann::json SetTime(const nlohmann::json& request);
  // {"on": bool}: while on, spinner edits set keys at the editor's time (the host's animate mode
  // is on around each edit, as the host's user interface turns it on around a control's write).
  nlohmann::json SetAutoKey(const nlohmann::json& request);
  // The sample slot's lit sphere (RenderSampleSphere) as PNG bytes.
  std::string SampleSpherePng(int mapId);

  static constexpr TimeValue kFramesPerSecond = 30;
  static constexpr TimeValue kTicksPerFrame = TIME_TICKSPERSEC / kFramesPerSecond;
  static constexpr int kLastFrame = 100;

  // A render's own copy of the map, made now (CloneRef), so the render shows the map as it is at
  // this moment however it is edited or saved afterwards. The caller owns map and frees it with
  // DeleteThis on this thread; the node it picks is shared, not copied. Refused (422) as the
  // sample slot is, when the picked mesh's index would not fit the budget.
  struct RenderSnapshot {
    Texmap* map = nullptr;
    TimeValue time = 0;
    std::string source;  // the scene file, else the picked node, for the images' metadata
    std::optional<std::pair<float, float>> zRange;
    std::optional<XYRect> extent;  // the picked mesh's X/Y bounds and faces, as the command line reports them
    FaceFacing facing;
  };
  RenderSnapshot SnapshotForRender(int mapId);

  static constexpr int kSampleSize = 256;
  static constexpr int kPreviewSize = 128;

 private:
  struct MapEntry {
    int id;
    Texmap* map;  // owned (DeleteThis)
  };

  Texmap* FindMap(int mapId) const;
  // Throws StudioError (422) when the map's face index would exceed indexBudget_.
  void CheckQuadtreeBudget(Texmap* map) const;
  // Opens map's rollouts in the editor (closing another map's first) and returns its parameter map.
  IParamMap2* Edit(int mapId);
  void CloseRollout();
  // Updates map for the editor's time unless its validity already holds there.
  void UpdateForEditorTime(Texmap* map);
  int AddMap(Texmap* map);
  void OpenMesh(const std::filesystem::path& file);
  void OpenScene(const std::filesystem::path& file);

  Session session_;
  PathPolicy paths_;
  MaterialEditor editor_;
  std::vector<MapEntry> maps_;
  int nextMapId_ = 1;
  int editedMap_ = 0;
  ParamDlg* dialog_ = nullptr;  // owned (DeleteThis); the edited map's rollouts
  std::optional<std::filesystem::path> sceneFile_;
  std::uint64_t indexBudget_;
  bool autoKey_ = false;
};
