// The texture map's record in the host's scene file: its base data and, when it holds one, the
// baked mesh it samples.
//
// The record is a run of chunks inside whatever chunk the host opened for the map:
//
//   CHUNK_MTLBASE          MtlBase::Save's chunks (the name)
//   CHUNK_HAS_STORED_MESH  empty; present when the map holds a baked mesh
//   CHUNK_STORED_MESH      CHUNK_NUM_VERTS  i32 vertex count                      -- 4 bytes
//                          CHUNK_NUM_FACES  i32 face count                        -- 4 bytes
//                          CHUNK_VERTS      per vertex x, y, z as f32             -- count x 12
//                          CHUNK_FACES      per face v0 v1 v2 smGroup flags u32   -- count x 20
//
// Every number is little-endian; floats are written as their bit patterns, so NaN payloads and
// infinities come back unchanged (they are data; the sampler copes with them). Only positions
// and faces are stored.
//
// Reading trusts nothing: a negative count, one above kMaxStoredMeshRecords, an array chunk whose
// length is not count x record size, a short read, a damaged chunk header, a count whose array
// never follows, or a face whose vertex index is not below the final vertex count refuses the
// whole record. Nothing is allocated from a count until the array chunk's length has matched it.
//
// Threads: the functions keep no state of their own; each call uses only its arguments, which
// belong to the caller and must not be shared with another thread during the call.
#pragma once

#include <cstddef>
#include <string>

#include "host/chunk_io.h"
#include "host/mesh.h"
#include "host/mtl_base.h"

inline constexpr unsigned short CHUNK_MTLBASE = 0x4000;
inline constexpr unsigned short CHUNK_HAS_STORED_MESH = 0x1000;
inline constexpr unsigned short CHUNK_STORED_MESH = 0x1010;
inline constexpr unsigned short CHUNK_NUM_VERTS = 0x1020;
inline constexpr unsigned short CHUNK_NUM_FACES = 0x1030;
inline constexpr unsigned short CHUNK_VERTS = 0x1040;
inline constexpr unsigned short CHUNK_FACES = 0x1050;

inline constexpr std::size_t kStoredVertBytes = 12;
inline constexpr std::size_t kStoredFaceBytes = 20;
// Most vertices (and most faces) a stored mesh may have, on saving and on loading. It keeps a
// face array (count x 20 bytes) below 2^32 bytes, so it goes through the host's one-block Write
// even where unsigned long is 32 bits.
inline constexpr int kMaxStoredMeshRecords = 1 << 27;

// Writes the map's record at the writer's current level. base is the map itself; its
// MtlBase::Save writes inside CHUNK_MTLBASE, and when that fails its result is returned at once
// with CHUNK_MTLBASE left open. storedMesh is read only when hasStoredMesh. IO_ERROR when a write
// fails or the mesh has more than kMaxStoredMeshRecords vertices or faces.
IOResult SaveMapRecord(ISave* save, MtlBase& base, bool hasStoredMesh, const Mesh& storedMesh);

// Reads a map's record from the reader's current level up to the end of the enclosing chunk
// (IO_END). The three record chunks may come in any order; unknown chunks are skipped. A record
// without CHUNK_STORED_MESH gives an empty mesh; a later CHUNK_STORED_MESH replaces only the
// arrays it counts; the flag follows CHUNK_HAS_STORED_MESH alone.
// On IO_OK sets hasStoredMesh, storedMesh.verts and storedMesh.faces (its bounding box is not
// rebuilt: call buildBoundingBox) and leaves *error alone. Otherwise (IO_ERROR, or whatever
// MtlBase::Load returned other than IO_OK) hasStoredMesh and storedMesh are untouched, the base
// data keeps whatever MtlBase::Load had set, and *error (error may be null) names the chunk, its
// ID in hex and the problem.
IOResult LoadMapRecord(ILoad* load, MtlBase& base, bool& hasStoredMesh, Mesh& storedMesh, std::string* error);

// The four chunks inside CHUNK_STORED_MESH, written at the writer's current level. IO_ERROR when
// a write fails or the mesh has more than kMaxStoredMeshRecords vertices or faces (then nothing
// is written).
IOResult SaveStoredMesh(ISave* save, const Mesh& storedMesh);

// Reads the chunks of an open CHUNK_STORED_MESH up to its end (the caller closes it). Counts start
// at 0; a count chunk drops the array read before it, and an array chunk met while its count is 0
// is skipped. On IO_OK replaces storedMesh.verts when the container holds CHUNK_NUM_VERTS and
// storedMesh.faces when it holds CHUNK_NUM_FACES, keeping whatever it does not count (so an empty
// container changes nothing); the faces that result must index the vertices that result. On
// IO_ERROR storedMesh is untouched and *error (error may be null) says what was wrong.
IOResult LoadStoredMesh(ILoad* load, Mesh& storedMesh, std::string* error);
