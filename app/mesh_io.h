// Reading and writing meshes for the command-line host, through assimp (and, for PLY, STL and OBJ,
// through readers of our own that give the same result many times faster).
//
// Frame: the host's world is right-handed with +Z up; the map reads a mesh from above (X -> U,
// Y -> V, Z is the height). ImportMesh turns every file into that frame and ExportMesh writes it
// back out in the frame the target format expects, so an export re-imports to the same points.
// Lengths are kept in the file's own units (assimp converts COLLADA files to metres by their
// <unit>; nothing else is scaled).
//
// Smoothing: the host smooths two faces into one normal only where they share a vertex index and
// a smoothing-group bit. Assimp hands over no smoothing groups from any format (its OBJ parser
// skips "s" lines; its 3DS reader turns the groups into vertex normals and drops them), so every
// imported face gets group 1 and the file's hard edges survive as vertices that are not shared:
// vertices are welded only where position and normal agree. See ImportResult::smoothingFromFile.
//
// Errors are returned, never thrown: every message is one line that starts with the file's path.
//
// Threads: every function may be called from several threads at once (each call uses its own
// assimp importer or exporter).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/mapped_file.h"
#include "app/ply_reader.h"
#include "host/mesh.h"

struct ImportOptions {
  // Which axis of the file points up: 'x', 'y' or 'z' (either case). That axis becomes +Z by a
  // rotation (never a mirror). Unset: the format's convention or what the file says. Only
  // positive axes can be named; a file whose up axis is negative needs the metadata that says so
  // (FBX "UpAxisSign").
  std::optional<char> up;
  // Every face gets smoothing group 0 (each face keeps its own normal), and vertices are welded
  // by position alone.
  bool flat = false;
  // Empty: every mesh of the file. Otherwise only the mesh(es) whose name, or whose node's name
  // in the file, equals this.
  std::string node;
};

struct ImportedMesh {
  // The node's name, made unique within the file by ".1", ".2", ... on clashes; "mesh" when the
  // node has none.
  std::string name;
  // Host frame, the node's world transform applied. Coordinates that are NaN or infinite in the
  // file stay so.
  Mesh mesh;
};

struct ImportResult {
  // One entry per (node, mesh) pair of the file, in the order of a depth-first walk of the node
  // tree, so a mesh that two nodes use appears twice. Only the entries ImportOptions::node picks.
  // The map reads MergeMeshes(meshes). Empty on error.
  std::vector<ImportedMesh> meshes;
  // The file axis that became +Z and why, e.g. "y (glTF convention)", "z (--up)",
  // "-y (FBX UpAxis)", "z (COLLADA <up_axis>)".
  std::string upAxisUsed;
  // True when the file's own vertex normals decided which vertices stay apart, so the file's
  // hard edges (for 3DS: its smoothing-group borders) show in the host's shading. False when a
  // mesh had no normals, when the normals carry no smoothing (STL facets) and with flat. Never
  // means that smGroup bits were read from the file: no format delivers them (see above).
  bool smoothingFromFile = false;
  // Empty on success.
  std::string error;
};

// Reads every triangle mesh of the file at path (anything assimp reads: OBJ, PLY, STL, glTF/GLB,
// FBX, 3DS, DAE and more): polygons triangulated, points and lines dropped. Refused: a missing
// or unreadable file, one assimp cannot read, one with no meshes or no triangles, a mesh of
// more than 2^27 vertices or faces (alone or all merged), and files that would crash or hang
// assimp 5.2: glTF 1.0 (2.0 is read), a PLY header without end_header or with two vertex
// elements, a face without vertices.
ImportResult ImportMesh(const std::string& path, const ImportOptions& options);

// ImportMesh reads binary and ASCII PLY and STL, and plain OBJ, with readers of its own
// (app/ply_reader.h, app/stl_reader.h, app/obj_reader.h), many times faster than assimp, and gives
// every other file, and every file those readers do not take, to assimp. Both ways give the same
// result. The two ways apart, for the tests and benchmarks that compare them:
//
// Every file through assimp, as ImportMesh did before it had readers of its own.
ImportResult ImportMeshWithAssimp(const std::string& path, const ImportOptions& options);
// Only our own readers: nothing when they do not take the file (ImportMesh then asks assimp). The
// refusals made before any reader runs (a bad up axis, an unreadable file, a hostile PLY header)
// come back as results.
std::optional<ImportResult> ImportMeshWithOwnReaders(const std::string& path, const ImportOptions& options);

// One mesh of all of them: vertices appended in order, each mesh's faces offset by the vertices
// before it. Faces keep their smoothing groups and flags.
Mesh MergeMeshes(const std::vector<ImportedMesh>& meshes);

// Writes mesh (host frame) to path in the format its extension names (see
// SupportedExportExtensions), through a temporary file: on failure (false, *error set) the file
// at path is as it was. name names the object in formats that keep names ("mesh" when empty).
// Vertex normals are written, averaged over the faces around each vertex, so the mesh's shared
// and unshared vertices come back on import; smoothing-group bits do not survive in any format
// (a re-import gives group 1, or 0 with flat). Refused: a mesh without faces or with a face that
// refers to a vertex beyond the vertex array. error must not be null.
bool ExportMesh(const std::string& path, const Mesh& mesh, const std::string& name, std::string* error);

// File extensions, lower case without the dot, sorted: what ImportMesh reads and what ExportMesh
// writes.
std::vector<std::string> SupportedImportExtensions();
std::vector<std::string> SupportedExportExtensions();

// Faces walked in order, a block at a time, as often as the walker needs.
class FaceSource {
 public:
  virtual ~FaceSource() = default;
  virtual std::size_t FaceCount() const = 0;
  // Faces [first, first + count) into out. False when they cannot be read as they were before
  // (a file changed meanwhile).
  virtual bool Read(std::size_t first, std::size_t count, Face* out) const = 0;
};

// A mesh file read for a command that walks its faces instead of holding them (veldmap split):
// the vertices are read and welded once, and each walk reads the faces again from the file. Its
// vertices and faces are ImportMesh's, index for index and bit for bit (the faces with their
// smoothing groups, in file order); it holds the welded vertices (12 bytes each) and 4 bytes per
// vertex of the file. PLY only (binary and ASCII), so far.
class StreamedMesh final : public FaceSource {
 public:
  // The welded vertices in the host frame, as a mesh without faces.
  const Mesh& Vertices() const { return vertices_; }
  std::size_t FaceCount() const override { return ply_.FaceCount(); }
  bool Read(std::size_t first, std::size_t count, Face* out) const override;

 private:
  friend std::unique_ptr<StreamedMesh> OpenStreamedMesh(const std::string& path, const ImportOptions& options);
  MappedFile file_;
  PlyFaceStream ply_;
  DWORD smGroup_ = 1;
  Mesh vertices_;
};

// The file opened for walking, or null when it is not one StreamedMesh reads (another format, or
// one ImportMesh would refuse or give to assimp): the caller then imports it whole with
// ImportMesh, which reads or refuses it as always. Only files of one mesh (options.node empty).
std::unique_ptr<StreamedMesh> OpenStreamedMesh(const std::string& path, const ImportOptions& options);
