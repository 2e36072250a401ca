#include "tests/support/mesh_file.h"

#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <assimp/Importer.hpp>

namespace {

void AppendNode(const aiScene& scene, const aiNode& node, const aiMatrix4x4& parent, Mesh& mesh) {
  const aiMatrix4x4 transform = parent * node.mTransformation;
  for (unsigned m = 0; m < node.mNumMeshes; ++m) {
    const aiMesh& source = *scene.mMeshes[node.mMeshes[m]];
    const auto base = static_cast<DWORD>(mesh.verts.size());
    for (unsigned i = 0; i < source.mNumVertices; ++i) {
      const aiVector3D p = transform * source.mVertices[i];
      mesh.verts.emplace_back(p.x, p.y, p.z);
    }
    for (unsigned i = 0; i < source.mNumFaces; ++i) {
      const aiFace& face = source.mFaces[i];
      if (face.mNumIndices != 3) continue;  // points and lines left by the triangulation
      Face out;
      out.setVerts(base + face.mIndices[0], base + face.mIndices[1], base + face.mIndices[2]);
      out.setSmGroup(1);
      mesh.faces.push_back(out);
    }
  }
  for (unsigned c = 0; c < node.mNumChildren; ++c) AppendNode(scene, *node.mChildren[c], transform, mesh);
}

}  // namespace

bool ReadMeshFile(const std::string& path, Mesh& mesh, std::string* error) {
  mesh = Mesh();
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(path, aiProcess_Triangulate | aiProcess_JoinIdenticalVertices);
  if (scene == nullptr || scene->mRootNode == nullptr) {
    if (error != nullptr) *error = importer.GetErrorString();
    return false;
  }
  AppendNode(*scene, *scene->mRootNode, aiMatrix4x4(), mesh);
  return true;
}
