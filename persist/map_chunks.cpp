#include "persist/map_chunks.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "host/byte_order.h"

namespace {

static_assert(std::uint64_t{kMaxStoredMeshRecords} * kStoredFaceBytes <= 0xFFFFFFFFu,
              "an array must fit one Write where unsigned long is 32 bits");

void EncodeVert(unsigned char* out, const Point3& p) {
  StoreF32(out, p.x);
  StoreF32(out + 4, p.y);
  StoreF32(out + 8, p.z);
}

Point3 DecodeVert(const unsigned char* in) { return {LoadF32(in), LoadF32(in + 4), LoadF32(in + 8)}; }

void EncodeFace(unsigned char* out, const Face& f) {
  for (std::size_t k = 0; k < 3; ++k) StoreLE32(out + 4 * k, static_cast<std::uint32_t>(f.v[k]));
  StoreLE32(out + 12, static_cast<std::uint32_t>(f.smGroup));
  StoreLE32(out + 16, static_cast<std::uint32_t>(f.flags));
}

Face DecodeFace(const unsigned char* in) {
  Face f;
  for (std::size_t k = 0; k < 3; ++k) f.v[k] = static_cast<DWORD>(LoadLE32(in + 4 * k));
  f.smGroup = static_cast<DWORD>(LoadLE32(in + 12));
  f.flags = static_cast<DWORD>(LoadLE32(in + 16));
  return f;
}

std::string ChunkName(unsigned short id) {
  struct Named {
    unsigned short id;
    const char* name;
  };
  static constexpr Named kNames[] = {{CHUNK_MTLBASE, "CHUNK_MTLBASE"},
                                     {CHUNK_HAS_STORED_MESH, "CHUNK_HAS_STORED_MESH"},
                                     {CHUNK_STORED_MESH, "CHUNK_STORED_MESH"},
                                     {CHUNK_NUM_VERTS, "CHUNK_NUM_VERTS"},
                                     {CHUNK_NUM_FACES, "CHUNK_NUM_FACES"},
                                     {CHUNK_VERTS, "CHUNK_VERTS"},
                                     {CHUNK_FACES, "CHUNK_FACES"}};
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(id));
  for (const Named& named : kNames) {
    if (named.id == id) return std::string(named.name) + " (" + hex + ")";
  }
  return std::string("chunk ") + hex;
}

IOResult Refuse(std::string* error, unsigned short id, const std::string& what) {
  if (error) *error = ChunkName(id) + ": " + what;
  return IO_ERROR;
}

// The reader answers IO_ERROR from OpenChunk only for a damaged header, after which it no longer
// knows where any chunk starts: what follows cannot be trusted, so the record is refused rather
// than taken as ending early.
std::string DamagedHeader(unsigned short previous) {
  return previous == 0 ? "the first chunk header is damaged"
                       : "the chunk header after " + ChunkName(previous) + " is damaged";
}

// A count chunk holds exactly one i32; anything else was not written by SaveStoredMesh and its
// first bytes mean nothing certain.
IOResult ReadCount(ILoad* load, int& count, std::string* error) {
  const unsigned short id = load->CurChunkID();
  const unsigned long long length = load->CurChunkLength();
  if (length != 4) return Refuse(error, id, "holds " + std::to_string(length) + " bytes, a count takes 4");
  unsigned char bytes[4];
  unsigned long got = 0;
  if (load->Read(bytes, sizeof bytes, &got) != IO_OK || got != sizeof bytes) {
    return Refuse(error, id, "short read: " + std::to_string(got) + " of 4 bytes");
  }
  const auto value = static_cast<std::int32_t>(LoadLE32(bytes));
  if (value < 0) return Refuse(error, id, "negative count " + std::to_string(value));
  if (value > kMaxStoredMeshRecords) {
    return Refuse(error, id,
                  "count " + std::to_string(value) + " is above the limit of " + std::to_string(kMaxStoredMeshRecords));
  }
  count = value;
  return IO_OK;
}

// Fills records from the open array chunk. The length is checked against the count before the
// records are allocated, and the bytes pass through a fixed block, so the file decides no
// allocation beyond the records a matching chunk really holds.
template <typename Record>
IOResult ReadArray(ILoad* load, int count, std::size_t recordBytes, Record (*decode)(const unsigned char*),
                   std::vector<Record>& records, std::string* error) {
  const unsigned short id = load->CurChunkID();
  const std::uint64_t needed = static_cast<std::uint64_t>(count) * recordBytes;
  const unsigned long long length = load->CurChunkLength();
  if (length != needed) {
    return Refuse(error, id,
                  "holds " + std::to_string(length) + " bytes but its count of " + std::to_string(count) + " needs " +
                      std::to_string(needed));
  }
  const auto total = static_cast<std::size_t>(count);
  records.assign(total, Record{});
  constexpr std::size_t kBlockRecords = 512;
  unsigned char block[kBlockRecords * std::max(kStoredVertBytes, kStoredFaceBytes)];
  for (std::size_t done = 0; done < total;) {
    const std::size_t n = std::min(total - done, kBlockRecords);
    const auto nbytes = static_cast<unsigned long>(n * recordBytes);
    unsigned long got = 0;
    if (load->Read(block, nbytes, &got) != IO_OK || got != nbytes) {
      return Refuse(error, id,
                    "short read at byte " + std::to_string(done * recordBytes + got) + " of " + std::to_string(needed));
    }
    for (std::size_t i = 0; i < n; ++i) records[done + i] = decode(block + i * recordBytes);
    done += n;
  }
  return IO_OK;
}

}  // namespace

IOResult SaveStoredMesh(ISave* save, const Mesh& storedMesh) {
  const std::size_t numVerts = storedMesh.verts.size();
  const std::size_t numFaces = storedMesh.faces.size();
  // A bigger mesh would make a file that LoadStoredMesh refuses.
  constexpr auto kMax = static_cast<std::size_t>(kMaxStoredMeshRecords);
  if (numVerts > kMax || numFaces > kMax) return IO_ERROR;

  std::vector<unsigned char> bytes(4);
  StoreLE32(bytes.data(), static_cast<std::uint32_t>(numVerts));
  if (WriteChunkBytes(*save, CHUNK_NUM_VERTS, bytes) != IO_OK) return IO_ERROR;
  StoreLE32(bytes.data(), static_cast<std::uint32_t>(numFaces));
  if (WriteChunkBytes(*save, CHUNK_NUM_FACES, bytes) != IO_OK) return IO_ERROR;

  bytes.assign(numVerts * kStoredVertBytes, 0);
  for (std::size_t i = 0; i < numVerts; ++i) {
    EncodeVert(bytes.data() + i * kStoredVertBytes, storedMesh.verts[i]);
  }
  if (WriteChunkBytes(*save, CHUNK_VERTS, bytes) != IO_OK) return IO_ERROR;

  bytes.assign(numFaces * kStoredFaceBytes, 0);
  for (std::size_t i = 0; i < numFaces; ++i) {
    EncodeFace(bytes.data() + i * kStoredFaceBytes, storedMesh.faces[i]);
  }
  return WriteChunkBytes(*save, CHUNK_FACES, bytes);
}

IOResult SaveMapRecord(ISave* save, MtlBase& base, bool hasStoredMesh, const Mesh& storedMesh) {
  save->BeginChunk(CHUNK_MTLBASE);
  const IOResult baseResult = base.MtlBase::Save(save);
  if (baseResult != IO_OK) return baseResult;
  save->EndChunk();

  if (hasStoredMesh) {
    save->BeginChunk(CHUNK_HAS_STORED_MESH);
    save->EndChunk();
    save->BeginChunk(CHUNK_STORED_MESH);
    const IOResult meshResult = SaveStoredMesh(save, storedMesh);
    save->EndChunk();
    if (meshResult != IO_OK) return meshResult;
  }
  return IO_OK;
}

IOResult LoadStoredMesh(ILoad* load, Mesh& storedMesh, std::string* error) {
  std::vector<Point3> verts;
  std::vector<Face> faces;
  int numVerts = 0;
  int numFaces = 0;
  // Only an array whose count the container holds is replaced: a container without counts (an
  // empty one, say, written after the real one) must not wipe the mesh read before it.
  bool countsVerts = false;
  bool countsFaces = false;
  unsigned short previous = 0;
  IOResult opened;
  while ((opened = load->OpenChunk()) == IO_OK) {
    const unsigned short id = load->CurChunkID();
    IOResult result = IO_OK;
    switch (id) {
      case CHUNK_NUM_VERTS:
        verts.clear();
        countsVerts = true;
        result = ReadCount(load, numVerts, error);
        break;
      case CHUNK_NUM_FACES:
        faces.clear();
        countsFaces = true;
        result = ReadCount(load, numFaces, error);
        break;
      case CHUNK_VERTS:
        if (numVerts > 0) result = ReadArray(load, numVerts, kStoredVertBytes, DecodeVert, verts, error);
        break;
      case CHUNK_FACES:
        if (numFaces > 0) result = ReadArray(load, numFaces, kStoredFaceBytes, DecodeFace, faces, error);
        break;
      default: break;
    }
    const IOResult closed = load->CloseChunk();
    if (result != IO_OK) return result;
    if (closed != IO_OK) return Refuse(error, id, "could not be closed");
    previous = id;
  }
  if (opened != IO_END) return Refuse(error, CHUNK_STORED_MESH, DamagedHeader(previous));

  // The arrays are only ever allocated by their own chunk, so a count whose array never came
  // leaves nothing to fill the mesh with.
  if (verts.size() != static_cast<std::size_t>(numVerts)) {
    return Refuse(error, CHUNK_NUM_VERTS,
                  "counts " + std::to_string(numVerts) + " vertices but no " + ChunkName(CHUNK_VERTS) + " follows it");
  }
  if (faces.size() != static_cast<std::size_t>(numFaces)) {
    return Refuse(error, CHUNK_NUM_FACES,
                  "counts " + std::to_string(numFaces) + " faces but no " + ChunkName(CHUNK_FACES) + " follows it");
  }
  if (!countsVerts) verts = storedMesh.verts;
  if (!countsFaces) faces = storedMesh.faces;
  // Only now is the vertex count final: a later CHUNK_NUM_VERTS may have shrunk it, and faces
  // kept from before must fit vertices read now.
  const auto vertexCount = static_cast<DWORD>(verts.size());
  for (std::size_t f = 0; f < faces.size(); ++f) {
    for (const DWORD v : faces[f].v) {
      if (v >= vertexCount) {
        return Refuse(error, CHUNK_FACES,
                      "face " + std::to_string(f) + " refers to vertex " + std::to_string(v) + " but the mesh has " +
                          std::to_string(vertexCount));
      }
    }
  }
  storedMesh.verts = std::move(verts);
  storedMesh.faces = std::move(faces);
  return IO_OK;
}

IOResult LoadMapRecord(ILoad* load, MtlBase& base, bool& hasStoredMesh, Mesh& storedMesh, std::string* error) {
  bool hasMesh = false;
  Mesh mesh;
  unsigned short previous = 0;
  IOResult opened;
  while ((opened = load->OpenChunk()) == IO_OK) {
    const unsigned short id = load->CurChunkID();
    IOResult result = IO_OK;
    switch (id) {
      case CHUNK_HAS_STORED_MESH: hasMesh = true; break;
      case CHUNK_STORED_MESH: result = LoadStoredMesh(load, mesh, error); break;
      case CHUNK_MTLBASE:
        result = base.MtlBase::Load(load);
        if (result != IO_OK && error) *error = ChunkName(id) + ": the base data (the name) could not be read";
        break;
      default: break;
    }
    const IOResult closed = load->CloseChunk();
    if (result != IO_OK) return result;
    if (closed != IO_OK) return Refuse(error, id, "could not be closed");
    previous = id;
  }
  if (opened != IO_END) {
    if (error) *error = "map record: " + DamagedHeader(previous);
    return IO_ERROR;
  }
  hasStoredMesh = hasMesh;
  storedMesh.verts = std::move(mesh.verts);
  storedMesh.faces = std::move(mesh.faces);
  return IO_OK;
}
