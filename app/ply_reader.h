// Our own reader for the PLY files big meshes come in: ASCII and binary (either byte order),
// vertex x, y, z of any scalar type (other vertex properties are skipped), and triangles given
// by a face list named vertex_indices or vertex_index. The result is the mesh ImportMesh's
// assimp path makes of the same file: the same vertices in the same order, welded alike, and
// the same faces.
//
// The reader takes only what it understands completely and leaves the rest to assimp, which
// then reads or refuses the file as before: any element but vertex and face, list properties on
// vertices, face properties besides the index list, faces that are not triangles, an index out of
// range, a coordinate that is not finite, partial normals, data that ends early or does not
// match the header, and ASCII entries that do not sit one per line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "app/mapped_file.h"
#include "app/raw_mesh.h"
#include "host/mesh.h"

// file: the whole file. keepNormals: weld by the file's normals as well (nx, ny, nz or
// normal_x, normal_y, normal_z), when it has them. False: not taken (out unspecified).
bool ReadPly(std::string_view file, bool keepNormals, RawMesh* out);

// A PLY walked by its faces, for a caller that cannot hold them all: the vertices are welded
// once, as ReadPly welds them (the same welded indices in the same order), and every walk reads
// the faces again from the mapped file, as welded index triples in file order, letting the pages
// it has read go. Holds 4 bytes per vertex of the file (its welded index) and, for ASCII, the
// offset of every kCheckpoint-th face line. ASCII faces are parsed again on every walk, so a walk
// costs what reading them once does.
class PlyFaceStream {
 public:
  static constexpr std::size_t kCheckpoint = 4096;
  // file: mapped without populating; it must outlive the stream. Takes the files ReadPly takes,
  // with at most maxVertices (at most CompactWelder::kMaxVertices) vertices used by faces; false
  // (not taken) for all the rest. positions: the welded positions, in the file's axes.
  bool Open(const MappedFile& file, bool keepNormals, std::size_t maxVertices, std::vector<Point3>* positions);

  std::size_t FaceCount() const { return faces_; }
  // Faces [first, first + count) as welded index triples, three per face, into corners. False if
  // the file no longer holds what Open read (it was changed meanwhile).
  bool Read(std::size_t first, std::size_t count, std::uint32_t* corners) const;

 private:
  const MappedFile* file_ = nullptr;
  std::size_t faceStart_ = 0, record_ = 0, faces_ = 0;
  std::size_t countBytes_ = 0, indexBytes_ = 0;
  unsigned char countType_ = 0, indexType_ = 0;  // the reader's scalar types
  bool big_ = false, plain_ = false, ascii_ = false;
  std::vector<std::uint32_t> welded_;     // per vertex of the file
  std::vector<std::size_t> checkpoints_;  // ASCII: where face line k * kCheckpoint starts
};
