// The command-line host's session: the plug-in modules it loaded, the Veldmap class they
// provide, and the classes a scene file may hold (the modules' and the host's own ramps).
//
// The session must outlive every object made from a module: modules are unloaded with it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "host/mesh.h"
#include "host/param_block.h"
#include "host/plugin_loader.h"
#include "host/scene_io.h"

inline constexpr Class_ID kVeldmapClassId(0x3ba26d33, 0x4029d4f7);

// The folder holding the running executable (argv0 only when /proc cannot say).
std::filesystem::path ExecutableFolder(const char* argv0);
// The folder the modules are loaded from: $VELDMAP_PLUGIN_DIR if set, else "plugins" next to
// the folder holding the executable (the build tree's layout), else lib/veldmap/plugins of the
// prefix the executable is installed in (bin/veldmap), wherever that prefix has been moved.
std::filesystem::path DefaultPluginDir(const char* argv0);

class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  // Loads the folder's modules; false when none provides the Veldmap map (the message says what
  // each refused module lacked).
  bool Open(const std::filesystem::path& pluginDir, std::string* error);

  PluginLoader& Loader() { return loader_; }
  ClassDesc2* VeldmapDesc() const { return veldmap_; }
  // A new Veldmap map made through its class descriptor (owned by the caller: DeleteThis).
  Texmap* CreateVeldmap() const;
  // What a scene file may hold: the modules' classes and the host's ramps.
  SceneClassFactory Factory() const;

 private:
  PluginLoader loader_;
  ClassDesc2* veldmap_ = nullptr;
};

// A parameter of a block by its internal name (the names the map's description gives).
ParamID ParamByName(IParamBlock2* block, const std::string& name);
// Sets parameter name of block at time 0 (tab 0), by the parameter's type; false for an unknown
// name or a value the block refuses.
bool SetParam(IParamBlock2* block, const std::string& name, float value);

// Whether the mesh has a face that faces upward (+Z, counter-clockwise from above) with finite,
// valid vertices: the only faces a height map can show.
bool HasUpwardFace(const Mesh& mesh);
// How the map places a mesh in UV space (its parameters of the same names).
struct Placement {
  bool normalize = true;
  float uOffset = 0.0f, vOffset = 0.0f, uScale = 1.0f, vScale = 1.0f;
};
// The placement and quadtree depth the map's block holds at t: what its index is built with.
Placement BlockPlacement(IParamBlock2* block, TimeValue t, int* depth);

// What the map's face index will take for this mesh at depth, by the sampler's own sizing rule
// (SurfaceSampler::EstimateIndex) with the mesh placed as the map places it. Above two levels
// the depth adds only its node arena (at most 11 MB); the rest grows with the upward faces.
struct IndexCost {
  std::uint64_t bytes = 0;
  std::uint64_t nodeBytes = 0;  // the part that depends on the depth
  std::int64_t upwardFaces = 0;
};
IndexCost MapIndexCost(const Mesh& mesh, const Placement& placement, int depth);
// The most the CLI lets a map's face index take before it refuses the mesh: a third of the memory
// this process may use (the node's mesh, the map's working copy and the image bands need about as
// much again), and never less than 1 GiB. A fixed 1 GiB refused an 18-million-face terrain that a
// 24 GB machine renders with room to spare.
inline constexpr std::uint64_t kMinIndexBudgetBytes = std::uint64_t{1} << 30;
std::uint64_t MaxIndexBytes();
// Empty when the index fits limit at depth; otherwise one line saying why not, with a remedy
// that does reduce it: a lower depth where the node arena tips the balance, else fewer faces.
// depthAdvice formats the lower depth into the remedy, in the words of the caller's interface.
std::string IndexBudgetProblem(const Mesh& mesh, const Placement& placement, int depth,
                               std::uint64_t limit = MaxIndexBytes(),
                               const std::string& depthAdvice = "try --depth {}");

// The Z range of the mesh's finite vertices; nullopt for a mesh without one.
std::optional<std::pair<float, float>> ZRange(const Mesh& mesh);

// The most memory the process has held resident so far, in bytes (VmHWM); 0 where the system
// does not say.
std::uint64_t PeakResidentBytes();
