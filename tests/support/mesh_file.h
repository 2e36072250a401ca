// Reading real meshes for tests and benchmarks, through assimp.
#pragma once

#include <string>

#include "host/mesh.h"

// Directory of Debian's assimp-testmodels package.
inline const std::string kAssimpModels = "/usr/share/assimp/models";

// Reads every mesh of the file at path, triangulated, with each node's transform applied, into
// one Mesh in the file's own coordinates (no change of up axis). All faces get smoothing group
// 1. Returns false (and leaves mesh empty) if assimp cannot read the file.
bool ReadMeshFile(const std::string& path, Mesh& mesh, std::string* error = nullptr);
