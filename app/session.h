// The command-line host's session: the plug-in modules it loaded, the Veldmap class they
// provide, and the classes a scene file may hold (the modules' and the host's own ramps).
//
// The session must outlive every object made from a module: modules are unloaded with it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "host/mesh.h"
#include "host/param_block.h"
#include "host/plugin_loader.h"
#include "host/scene_io.h"

inline constexpr Class_ID kVeldmapClassId(0x3ba26d33, 0x4029d4f7);

// The folder the modules are loaded from: $VELDMAP_PLUGIN_DIR if set, else "plugins" next to
// the folder holding the executable (the build's and an install's layout).
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

// Face references the map's quadtree holds at depth for this mesh: every upward face is listed
// in every leaf its UV box reaches, and the leaves are 2^(depth-1) a side over the unit square.
// An estimate from the boxes, computed in double; what the CLI checks against its memory
// budget before it lets the map build.
std::uint64_t QuadtreeReferences(const Mesh& mesh, const Placement& placement, int depth);
// The most face references the CLI lets a map build: 2^27, about half a gigabyte of lists.
inline constexpr std::uint64_t kMaxQuadtreeReferences = std::uint64_t{1} << 27;

// The Z range of the mesh's finite vertices; nullopt for a mesh without one.
std::optional<std::pair<float, float>> ZRange(const Mesh& mesh);
