// Building the scene a command works on, as a user of the host application would: the map made
// through its class descriptor, its parameters set in its block, its rollout buttons pressed
// through the rollout's dialog procedure.
#pragma once

#include <string>
#include <vector>

#include "app/cli_options.h"
#include "app/mesh_frame.h"
#include "app/session.h"
#include "host/mesh.h"
#include "host/mtl_base.h"
#include "host/param_block.h"

// Loads the modules from --plugins, or from the default folder when it is not given; program is
// argv[0], which the default folder is found from.
void OpenSession(Session& session, const Common& common, const char* program);

// Frees a command's map and empties the scene however the command ends: objects made from a
// module must be gone before the session unloads it.
class MapGuard {
 public:
  explicit MapGuard(Texmap* map) : map_(map) {}
  MapGuard(const MapGuard&) = delete;
  MapGuard& operator=(const MapGuard&) = delete;
  ~MapGuard();

 private:
  Texmap* map_;
};

bool IsSceneFile(const std::string& path);

// How the faces of the mesh handed to the map look from above, after --orient.
struct Winding {
  FaceFacing facing;        // of the mesh as the map gets it
  std::int64_t turned = 0;  // faces --orient up turned
  bool orientedUp = false;  // --orient up was applied
  const char* OrientName() const { return orientedUp ? "up" : "file"; }
};
// The mesh of a mesh file (all its meshes merged unless options name a node), turned face up
// with --orient up; winding (may be null) says how its faces look.
Mesh ImportOne(const std::string& path, const MeshOptions& options, std::string* upUsed, Winding* winding = nullptr);
// One line on stderr (unless quiet) when a noticeable share of the faces face down: the map
// ignores them, and a mesh of mixed winding then renders with holes.
void WarnFacesDown(const std::string& input, const FaceFacing& facing, bool quiet);
// A node holding mesh; pass an rvalue to hand the mesh over without a copy.
INode* AddMeshNode(Mesh mesh, const std::string& name);
IParamBlock2* Block(Texmap* map);

// How the UV generator treats the map outside 0..1. A render is one image of the mesh, not a
// repeating tile, so it repeats only when asked to (--wrap, or --uv-tiling); a baked map keeps the
// generator's own setting unless an option says otherwise.
enum class Tiling { SingleImage, AsStored };

// Sets the map's parameters, UV generator and colour ramp from the options. A value outside its
// parameter's range, or not a number, is a UsageError naming the range.
void ApplyMapOptions(Texmap* map, const MapOptions& options, Tiling tiling);

// Sets the map's uOffset, vOffset, uScale and vScale (its placement's normalisation is left as it
// is); a value outside its parameter's range is a UsageError naming option.
void SetPlacement(Texmap* map, const Placement& placement, const char* option);
// The map's UV generator's offsets, tiling, angle and flags (the defaults when it has none).
UvFrame GeneratorFrame(Texmap* map);

// Presses the rollout button with the given caption, as a user would: through the rollout the
// map opens in the material editor.
void PressButton(Texmap* map, const std::string& caption, INode* pick = nullptr);
// The mesh the map shows: its picked node's, or (for a baked map) the one Export Mesh gives.
Mesh MapMesh(Texmap* map);

// The scene for an input: a mesh file becomes a node picked by a new map; a scene file brings
// its own map.
struct Loaded {
  Texmap* map = nullptr;
  std::string upAxis;
  // What the map shows, for the budget check and the Z range in reports: the picked node's own
  // mesh (valid while the scene holds the node), or the mesh a scene's map exports.
  const Mesh& Shown() const { return nodeMesh != nullptr ? *nodeMesh : exported; }
  const Mesh* nodeMesh = nullptr;
  Mesh exported;
  Winding winding;
};
Loaded LoadInput(Session& session, const std::string& path, const MeshOptions& meshOptions);

// Refuses, with the depth that would fit, a mesh whose quadtree would not fit the memory
// budget at the map's depth, rather than let the map exhaust memory building it.
void CheckQuadtreeBudget(Texmap* map, const Mesh& mesh, const std::string& input, TimeValue t);

// "name=value ..." of the block's numbers and the UV generator, for metadata.
std::string ParamSummary(Texmap* map);
