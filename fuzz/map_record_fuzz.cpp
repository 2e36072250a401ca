// The map's record, fuzzed around its own structure: the input is a small program whose steps
// emit chunks (the record's ids and others, counts, arrays, faces, nesting, any order) through
// a MemorySave, optionally pokes a few bytes of the result, and then LoadMapRecord reads it into
// a map that already holds a mesh. A record that loads must leave only faces inside its
// vertices; one that is refused must leave the map's flag and mesh exactly as they were. A
// second mode writes a well-formed record with SaveMapRecord and demands it back unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "host/byte_order.h"
#include "host/chunk_io.h"
#include "host/mesh.h"
#include "persist/map_chunks.h"
#include "tests/support/stub_texmap.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "map_record_fuzz: %s\n", what);
  std::abort();
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// Float patterns a stored mesh may carry; NaN payloads and signed zeros must survive bit for bit.
constexpr std::uint32_t kFloatBits[] = {
    0x00000000, 0x80000000, 0x3F800000, 0xBF800000, 0x7F800000, 0xFF800000, 0x7FC00000, 0x7FA12345,
    0xFFC00001, 0x00000001, 0x007FFFFF, 0x7F7FFFFF, 0xFF7FFFFF, 0x3F000000, 0x42C80000, 0x00800000,
};

std::uint32_t PickFloatBits(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return kFloatBits[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kFloatBits) - 1)];
  return in.ConsumeIntegral<std::uint32_t>();
}

std::int32_t PickCount(FuzzedDataProvider& in) {
  constexpr std::int32_t kCounts[] = {
      0, 1, 2, 3, 4, -1, INT_MIN, INT_MAX, kMaxStoredMeshRecords, kMaxStoredMeshRecords + 1, 1 << 20, 0x55555555};
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: return kCounts[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kCounts) - 1)];
    case 1: return in.ConsumeIntegralInRange<std::int32_t>(0, 24);
    default: return in.ConsumeIntegral<std::int32_t>();
  }
}

std::uint32_t PickIndex(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return in.ConsumeIntegralInRange<std::uint32_t>(0, 8);
    case 1: return 0xFFFFFFFFu - in.ConsumeIntegralInRange<std::uint32_t>(0, 2);
    case 2: return 0x80000000u;
    default: return in.ConsumeIntegral<std::uint32_t>();
  }
}

unsigned short PickId(FuzzedDataProvider& in) {
  constexpr unsigned short kIds[] = {
      CHUNK_MTLBASE, CHUNK_HAS_STORED_MESH, CHUNK_STORED_MESH,  CHUNK_NUM_VERTS, CHUNK_NUM_FACES,
      CHUNK_VERTS,   CHUNK_FACES,           MTLBASE_NAME_CHUNK, 0x0000,          0xFFFF};
  if (in.ConsumeIntegralInRange(0, 7) != 0) {
    return kIds[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kIds) - 1)];
  }
  return in.ConsumeIntegral<unsigned short>();
}

// A mesh from the input: up to maxVerts vertices, and faces whose indices are all in range
// when valid is set.
Mesh PickMesh(FuzzedDataProvider& in, int maxVerts, bool valid) {
  Mesh mesh;
  const int numVerts = in.ConsumeIntegralInRange(0, maxVerts);
  const int numFaces = in.ConsumeIntegralInRange(0, maxVerts);
  for (int i = 0; i < numVerts; ++i) {
    Point3 p;
    std::uint32_t bits[3] = {PickFloatBits(in), PickFloatBits(in), PickFloatBits(in)};
    std::memcpy(&p, bits, sizeof p);
    mesh.verts.push_back(p);
  }
  for (int f = 0; f < numFaces; ++f) {
    Face face;
    for (DWORD& v : face.v) {
      if (valid) {
        if (numVerts == 0) break;
        v = in.ConsumeIntegralInRange<DWORD>(0, static_cast<DWORD>(numVerts - 1));
      } else {
        v = PickIndex(in);
      }
    }
    face.smGroup = in.ConsumeIntegral<DWORD>();
    face.flags = in.ConsumeIntegral<DWORD>();
    if (valid && numVerts == 0) break;
    mesh.faces.push_back(face);
  }
  return mesh;
}

std::vector<unsigned char> MeshBytes(const Mesh& mesh) {
  std::vector<unsigned char> bytes(mesh.verts.size() * sizeof(Point3) + mesh.faces.size() * sizeof(Face) + 16);
  StoreLE64(bytes.data(), mesh.verts.size());
  StoreLE64(bytes.data() + 8, mesh.faces.size());
  if (!mesh.verts.empty()) std::memcpy(bytes.data() + 16, mesh.verts.data(), mesh.verts.size() * sizeof(Point3));
  if (!mesh.faces.empty()) {
    std::memcpy(bytes.data() + 16 + mesh.verts.size() * sizeof(Point3), mesh.faces.data(),
                mesh.faces.size() * sizeof(Face));
  }
  return bytes;
}

// The mesh the map holds before every load: a NaN with a payload and a face that counts on it.
Mesh PreviousMesh() {
  Mesh mesh;
  const std::uint32_t bits[] = {0x00000000, 0x3F800000, 0x7FA12345, 0x3F800000, 0x00000000,
                                0x80000000, 0x3F800000, 0x3F800000, 0x3F000000};
  mesh.verts.resize(3);
  std::memcpy(mesh.verts.data(), bits, sizeof bits);
  Face face;
  face.setVerts(0, 1, 2);
  face.smGroup = 0x80000001u;
  face.flags = 7;
  mesh.faces.push_back(face);
  return mesh;
}

class RecordMap : public StubTexmap {};

// Writes the program's chunks. Writes at the top level would make the writer refuse everything
// after them, so the program only writes inside a chunk; nesting stops short of the limit.
void RunProgram(FuzzedDataProvider& in, MemorySave& save, int& open) {
  const int steps = in.ConsumeIntegralInRange(0, 48);
  for (int step = 0; step < steps && in.remaining_bytes() > 0; ++step) {
    const int op = in.ConsumeIntegralInRange(0, 9);
    const bool inside = open > 0;
    // The whole-record steps nest up to two levels of their own.
    if (op >= 6 && open > kMaxChunkDepth - 3) continue;
    std::vector<unsigned char> bytes;
    switch (op) {
      case 0:
        if (open < kMaxChunkDepth - 1) {
          save.BeginChunk(PickId(in));
          ++open;
        }
        break;
      case 1:
        if (open > 0) {
          save.EndChunk();
          --open;
        }
        break;
      case 2:  // a count, usually 4 bytes, sometimes a wrong size
        if (!inside) break;
        bytes.resize(in.ConsumeBool() ? 4 : in.ConsumeIntegralInRange<std::size_t>(0, 9));
        for (std::size_t i = 0; i < bytes.size(); i += 4) {
          unsigned char word[4];
          StoreLE32(word, static_cast<std::uint32_t>(PickCount(in)));
          std::memcpy(bytes.data() + i, word, std::min<std::size_t>(4, bytes.size() - i));
        }
        break;
      case 3:  // vertex records
        if (!inside) break;
        for (int n = in.ConsumeIntegralInRange(0, 12); n > 0; --n) {
          for (int k = 0; k < 3; ++k) AppendLE32(bytes, PickFloatBits(in));
        }
        break;
      case 4:  // face records
        if (!inside) break;
        for (int n = in.ConsumeIntegralInRange(0, 12); n > 0; --n) {
          for (int k = 0; k < 3; ++k) AppendLE32(bytes, PickIndex(in));
          AppendLE32(bytes, in.ConsumeIntegral<std::uint32_t>());
          AppendLE32(bytes, in.ConsumeIntegral<std::uint32_t>());
        }
        break;
      case 5:  // loose bytes
        if (!inside) break;
        bytes = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<std::size_t>(0, 24));
        break;
      case 6: {  // a whole stored mesh, its faces checked or not
        const Mesh mesh = PickMesh(in, 12, in.ConsumeBool());
        save.BeginChunk(CHUNK_STORED_MESH);
        SaveStoredMesh(&save, mesh);
        save.EndChunk();
        break;
      }
      case 7: {  // the base data, with a name
        RecordMap named;
        named.SetName(CStr(in.ConsumeRandomLengthString(32)));
        save.BeginChunk(CHUNK_MTLBASE);
        named.MtlBase::Save(&save);
        save.EndChunk();
        break;
      }
      case 8:
        save.BeginChunk(CHUNK_HAS_STORED_MESH);
        save.EndChunk();
        break;
      default: {  // a count and its array, matching or not
        const bool verts = in.ConsumeBool();
        const std::int32_t count = PickCount(in);
        const int records =
            in.ConsumeBool() ? (count >= 0 && count <= 24 ? count : 0) : in.ConsumeIntegralInRange(0, 6);
        unsigned char word[4];
        StoreLE32(word, static_cast<std::uint32_t>(count));
        save.BeginChunk(verts ? CHUNK_NUM_VERTS : CHUNK_NUM_FACES);
        save.Write(word, 4, nullptr);
        save.EndChunk();
        std::vector<unsigned char> array;
        for (int r = 0; r < records; ++r) {
          if (verts) {
            for (int k = 0; k < 3; ++k) AppendLE32(array, PickFloatBits(in));
          } else {
            for (int k = 0; k < 3; ++k) AppendLE32(array, PickIndex(in));
            AppendLE32(array, 0);
            AppendLE32(array, 0);
          }
        }
        WriteChunkBytes(save, verts ? CHUNK_VERTS : CHUNK_FACES, array);
        break;
      }
    }
    if (!bytes.empty()) save.Write(bytes.data(), static_cast<unsigned long>(bytes.size()), nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool wellFormed = in.ConsumeIntegralInRange(0, 3) == 0;
  const bool wrapped = in.ConsumeBool();
  const bool previousFlag = in.ConsumeBool();

  MemorySave save;
  int open = 0;
  if (wrapped) {
    save.BeginChunk(0x0012);  // the host's chunk around an object's data
    open = 1;
  }
  Mesh written;
  bool writtenFlag = false;
  std::string writtenName;
  if (wellFormed) {
    RecordMap source;
    writtenName = in.ConsumeRandomLengthString(40);
    source.SetName(CStr(writtenName));
    writtenFlag = in.ConsumeBool();
    written = PickMesh(in, 64, true);
    Check(SaveMapRecord(&save, source, writtenFlag, written) == IO_OK, "SaveMapRecord refused a valid mesh");
    if (!writtenFlag) written = Mesh();
  } else {
    RunProgram(in, save, open);
  }
  for (; open > 0; --open) save.EndChunk();
  Check(!save.Failed(), "the program drove the writer into an error");
  std::vector<unsigned char> bytes = save.Bytes();
  if (!wellFormed) {
    for (int pokes = in.ConsumeIntegralInRange(0, 3); pokes > 0 && bytes.size() > kSceneFileHeaderBytes; --pokes) {
      const std::size_t at = in.ConsumeIntegralInRange<std::size_t>(kSceneFileHeaderBytes, bytes.size() - 1);
      bytes[at] = in.ConsumeIntegral<unsigned char>();
    }
  }

  MemoryLoad load(bytes.data(), bytes.size());
  if (wrapped && load.OpenChunk() != IO_OK) Check(!wellFormed, "the wrapping chunk of a valid record was refused");

  RecordMap map;
  const Mesh previous = PreviousMesh();
  bool flag = previousFlag;
  Mesh mesh = previous;
  const std::string untouched = "untouched";
  std::string error = untouched;
  const IOResult result = LoadMapRecord(&load, map, flag, mesh, &error);

  if (result == IO_OK) {
    Check(error == untouched, "a record that loaded changed the error text");
    const auto count = static_cast<DWORD>(mesh.verts.size());
    for (const Face& face : mesh.faces) {
      for (const DWORD v : face.v) Check(v < count, "a loaded face refers to a vertex beyond the mesh");
    }
  } else {
    Check(result == IO_ERROR, "LoadMapRecord returned neither IO_OK nor IO_ERROR");
    Check(flag == previousFlag, "a refused record changed the flag");
    Check(MeshBytes(mesh) == MeshBytes(previous), "a refused record changed the mesh");
    Check(error != untouched && !error.empty(), "a refused record gave no reason");
  }
  if (wellFormed) {
    Check(result == IO_OK, "a record written by SaveMapRecord was refused");
    Check(flag == writtenFlag, "the flag did not survive the round trip");
    Check(MeshBytes(mesh) == MeshBytes(written), "the mesh did not survive the round trip bit for bit");
    Check(map.GetName().str() == writtenName, "the name did not survive the round trip");
  }
  return 0;
}
