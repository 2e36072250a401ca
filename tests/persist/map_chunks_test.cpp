#include "persist/map_chunks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/stub_texmap.h"

// The largest single allocation since a test last reset it, so a test can show that a count read
// from a file did not size an allocation before its array chunk was seen. Single-threaded tests.
namespace {
std::size_t gLargestAllocation = 0;
}  // namespace

void* operator new(std::size_t n) {
  gLargestAllocation = std::max(gLargestAllocation, n);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
// GCC takes free() in a replacement operator delete for a mismatch with new; here they pair.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using Bytes = std::vector<unsigned char>;

class Plain : public StubTexmap {
 public:
  ReferenceTarget* Clone(RemapDir&) override { return new Plain(); }
};

// A chunk written by hand: a leaf with a body, or a container of chunks.
struct Chunk {
  unsigned short id;
  Bytes body;
  std::vector<Chunk> children;
};
Chunk Leaf(unsigned short id, Bytes body = {}) { return {id, std::move(body), {}}; }
Chunk Node(unsigned short id, std::vector<Chunk> children) { return {id, {}, std::move(children)}; }

void Put(ISave& save, const Chunk& chunk) {
  save.BeginChunk(chunk.id);
  if (!chunk.body.empty()) {
    save.Write(chunk.body.data(), static_cast<unsigned long>(chunk.body.size()), nullptr);
  }
  for (const Chunk& child : chunk.children) Put(save, child);
  save.EndChunk();
}

// The record at the top level of a scene file, so the record ends where the file does.
Bytes File(const std::vector<Chunk>& record) {
  MemorySave save;
  for (const Chunk& chunk : record) Put(save, chunk);
  return save.Bytes();
}

Bytes I32(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8), static_cast<unsigned char>(u >> 16),
          static_cast<unsigned char>(u >> 24)};
}

// (1, -2, 0.5), (0, 1, 0), (1, 1, 0) as little-endian f32, and the face 2 0 1 with smooth group
// 0x80000001 and flags 0x00010203.
const Bytes kVerts = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x3F,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00};
const Bytes kFace = {0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
                     0x00, 0x00, 0x01, 0x00, 0x00, 0x80, 0x03, 0x02, 0x01, 0x00};

Mesh Triangle() {
  Mesh mesh;
  mesh.verts = {{1.0f, -2.0f, 0.5f}, {0.0f, 1.0f, 0.0f}, {1.0f, 1.0f, 0.0f}};
  Face face;
  face.setVerts(2, 0, 1);
  face.smGroup = 0x80000001u;
  face.flags = 0x00010203u;
  mesh.faces = {face};
  return mesh;
}

std::vector<Chunk> TriangleChunks() {
  return {Leaf(CHUNK_NUM_VERTS, I32(3)), Leaf(CHUNK_NUM_FACES, I32(1)), Leaf(CHUNK_VERTS, kVerts),
          Leaf(CHUNK_FACES, kFace)};
}

// What a map holds before a load: a refused load must leave exactly this.
Mesh Previous() {
  Mesh mesh;
  mesh.verts = {{7.0f, 8.0f, 9.0f}};
  mesh.faces = {Face{{0, 0, 0}, 4, 5}};
  return mesh;
}

struct Loaded {
  IOResult result = IO_ERROR;
  bool previousHas = false;
  bool has = false;
  Mesh mesh = Previous();
  std::string name;
  std::string error;
  std::size_t largestAllocation = 0;
};

// Loads over a map holding previousHas and Previous(); the records mostly set the flag, so a
// refusal is checked against a map without it.
Loaded Load(const Bytes& file, bool previousHas = false) {
  Loaded out;
  out.previousHas = out.has = previousHas;
  Plain map;
  MemoryLoad load(file.data(), file.size());
  gLargestAllocation = 0;
  out.result = LoadMapRecord(&load, map, out.has, out.mesh, &out.error);
  out.largestAllocation = gLargestAllocation;
  out.name = map.GetName().data();
  return out;
}

void ExpectRefused(const Loaded& loaded) {
  EXPECT_EQ(loaded.result, IO_ERROR);
  EXPECT_EQ(loaded.has, loaded.previousHas);
  EXPECT_EQ(loaded.mesh, Previous());
  EXPECT_FALSE(loaded.error.empty());
}

Bytes Saved(const std::string& name, bool has, const Mesh& mesh) {
  Plain map;
  map.SetName(CStr(name));
  MemorySave save;
  EXPECT_EQ(SaveMapRecord(&save, map, has, mesh), IO_OK);
  EXPECT_EQ(save.OpenChunkCount(), 0);
  return save.Bytes();
}

struct Seen {
  unsigned short id;
  Bytes body;
  friend bool operator==(const Seen&, const Seen&) = default;
};

// The chunks of one level of a file, each with its whole body.
std::vector<Seen> Level(const Bytes& file) {
  MemoryLoad load(file.data(), file.size());
  std::vector<Seen> out;
  while (load.OpenChunk() == IO_OK) {
    Bytes body(static_cast<std::size_t>(load.CurChunkLength()));
    load.Read(body.data(), static_cast<unsigned long>(body.size()), nullptr);
    out.push_back({load.CurChunkID(), body});
    load.CloseChunk();
  }
  return out;
}

// A container's body as a file of its own, to look inside it with Level.
Bytes AsFile(const Bytes& body) {
  Bytes file(kSceneFileHeaderBytes + body.size(), 0);
  std::copy(kSceneFileMagic, kSceneFileMagic + 4, file.begin());
  file[4] = static_cast<unsigned char>(kSceneFileVersion);
  std::copy(body.begin(), body.end(), file.begin() + kSceneFileHeaderBytes);
  return file;
}

// Records the calls a save makes: "B4000" begin, "W36" a write of 36 bytes, "E" end.
class CallLog : public ISave {
 public:
  explicit CallLog(bool failWrites) : failWrites_(failWrites) {}
  void BeginChunk(unsigned short id) override {
    char text[8];
    std::snprintf(text, sizeof text, "B%04X", static_cast<unsigned>(id));
    calls += text;
    calls += ' ';
  }
  void EndChunk() override { calls += "E "; }
  IOResult Write(const void*, unsigned long nbytes, unsigned long* nwritten) override {
    calls += "W" + std::to_string(nbytes) + " ";
    if (nwritten) *nwritten = failWrites_ ? 0 : nbytes;
    return failWrites_ ? IO_ERROR : IO_OK;
  }
  std::string calls;

 private:
  bool failWrites_;
};

TEST(MapRecord, WritesTheChunksInOrderWithExactBytes) {
  EXPECT_EQ(Level(Saved("x", false, Triangle())),
            (std::vector<Seen>{{CHUNK_MTLBASE, {0x01, 0x40, 1, 0, 0, 0, 0, 0, 0, 0, 'x'}}}));

  const std::vector<Seen> empty = Level(Saved("", true, Mesh()));
  ASSERT_EQ(empty.size(), 3u);
  EXPECT_EQ(empty[0].id, CHUNK_MTLBASE);
  EXPECT_EQ(empty[1], (Seen{CHUNK_HAS_STORED_MESH, {}}));
  EXPECT_EQ(empty[2].id, CHUNK_STORED_MESH);
  EXPECT_EQ(
      Level(AsFile(empty[2].body)),
      (std::vector<Seen>{{CHUNK_NUM_VERTS, I32(0)}, {CHUNK_NUM_FACES, I32(0)}, {CHUNK_VERTS, {}}, {CHUNK_FACES, {}}}));
  const Loaded emptyBack = Load(Saved("", true, Mesh()));
  EXPECT_EQ(emptyBack.result, IO_OK);
  EXPECT_TRUE(emptyBack.has);
  EXPECT_EQ(emptyBack.mesh, Mesh());

  const std::vector<Seen> triangle = Level(Saved("", true, Triangle()));
  ASSERT_EQ(triangle.size(), 3u);
  EXPECT_EQ(Level(AsFile(triangle[2].body)),
            (std::vector<Seen>{
                {CHUNK_NUM_VERTS, I32(3)}, {CHUNK_NUM_FACES, I32(1)}, {CHUNK_VERTS, kVerts}, {CHUNK_FACES, kFace}}));

  // One write per array, and a failed base save returns at once with its chunk still open.
  CallLog log(false);
  Plain map;
  map.SetName(CStr("ab"));
  EXPECT_EQ(SaveMapRecord(&log, map, true, Triangle()), IO_OK);
  EXPECT_EQ(log.calls, "B4000 B4001 W2 E E B1000 E B1010 B1020 W4 E B1030 W4 E B1040 W36 E B1050 W20 E E ");
  CallLog failing(true);
  EXPECT_EQ(SaveMapRecord(&failing, map, true, Triangle()), IO_ERROR);
  EXPECT_EQ(failing.calls, "B4000 B4001 W2 E ");
}

// Fails every write from the nth on (counting from 1), logging the calls as CallLog does.
class FailFrom : public CallLog {
 public:
  explicit FailFrom(int n) : CallLog(false), n_(n) {}
  IOResult Write(const void* buf, unsigned long nbytes, unsigned long* nwritten) override {
    CallLog::Write(buf, nbytes, nwritten);
    if (++writes_ < n_) return IO_OK;
    if (nwritten) *nwritten = 0;
    return IO_ERROR;
  }

 private:
  int n_;
  int writes_ = 0;
};

TEST(MapRecord, AFailedWriteInsideTheStoredMeshFailsTheSaveWithItsChunksClosed) {
  Plain map;
  map.SetName(CStr("ab"));
  // Writes: 1 the name, 2 and 3 the counts, 4 the vertices, 5 the faces.
  const std::vector<std::pair<int, std::string>> cases = {
      {2, "B4000 B4001 W2 E E B1000 E B1010 B1020 W4 E E "},
      {4, "B4000 B4001 W2 E E B1000 E B1010 B1020 W4 E B1030 W4 E B1040 W36 E E "},
      {5, "B4000 B4001 W2 E E B1000 E B1010 B1020 W4 E B1030 W4 E B1040 W36 E B1050 W20 E E "},
  };
  for (const auto& [failing, calls] : cases) {
    FailFrom save(failing);
    EXPECT_EQ(SaveMapRecord(&save, map, true, Triangle()), IO_ERROR) << "write " << failing;
    // The container is closed after the failure, so whatever the host writes next nests right;
    // nothing of the mesh is written after the failed chunk.
    EXPECT_EQ(save.calls, calls) << "write " << failing;
  }
}

TEST(MapRecord, RoundTripsEveryBit) {
  Mesh mesh;
  mesh.verts = {{std::bit_cast<float>(0x7FC01234u), -std::numeric_limits<float>::infinity(), -0.0f},
                {std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max(), 3.25f},
                {std::bit_cast<float>(0xFF800001u), 0.0f, -1.0f}};
  mesh.faces = {Face{{2, 1, 0}, 0xFFFFFFFFu, 0x12345678u}, Face{{0, 0, 0}, 0, 0}, Face{{1, 2, 1}, 7, 0x80000000u}};
  const Loaded back = Load(Saved("Map #7", true, mesh));
  ASSERT_EQ(back.result, IO_OK) << back.error;
  EXPECT_TRUE(back.has);
  EXPECT_EQ(back.name, "Map #7");
  EXPECT_EQ(back.mesh.faces, mesh.faces);
  // The allocation meter the refusal tests rely on does see the loader's arrays.
  EXPECT_GE(back.largestAllocation, mesh.verts.size() * sizeof(Point3));
  ASSERT_EQ(back.mesh.verts.size(), mesh.verts.size());
  using Bits = std::array<std::uint32_t, 3>;
  for (std::size_t i = 0; i < mesh.verts.size(); ++i) {
    EXPECT_EQ(std::bit_cast<Bits>(back.mesh.verts[i]), std::bit_cast<Bits>(mesh.verts[i])) << "vertex " << i;
  }

  // Without the flag the mesh is not written, and loading replaces the map's mesh with nothing.
  const Loaded flagless = Load(Saved("", false, mesh), true);
  EXPECT_EQ(flagless.result, IO_OK);
  EXPECT_FALSE(flagless.has);
  EXPECT_EQ(flagless.mesh, Mesh());
}

TEST(MapRecord, AcceptsAnyOrderMissingPartsAndUnknownChunks) {
  const std::vector<Chunk> parts = {Node(CHUNK_MTLBASE, {Leaf(MTLBASE_NAME_CHUNK, {'o', 'k'})}),
                                    Leaf(CHUNK_HAS_STORED_MESH), Node(CHUNK_STORED_MESH, TriangleChunks())};
  std::vector<int> order = {0, 1, 2};
  do {
    const Loaded loaded = Load(File({parts[order[0]], parts[order[1]], parts[order[2]]}));
    SCOPED_TRACE(testing::Message() << order[0] << order[1] << order[2]);
    EXPECT_EQ(loaded.result, IO_OK) << loaded.error;
    EXPECT_TRUE(loaded.has);
    EXPECT_EQ(loaded.mesh, Triangle());
    EXPECT_EQ(loaded.name, "ok");
  } while (std::next_permutation(order.begin(), order.end()));

  const Bytes junk = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18,
                      19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36};
  struct Case {
    const char* what;
    std::vector<Chunk> record;
    bool has;
    Mesh mesh;
  };
  const std::vector<Case> cases = {
      {"flag without mesh", {Leaf(CHUNK_HAS_STORED_MESH)}, true, Mesh()},
      {"mesh without flag", {Node(CHUNK_STORED_MESH, TriangleChunks())}, false, Triangle()},
      {"unknown chunks at both levels",
       {Leaf(0x7777, junk), Leaf(CHUNK_HAS_STORED_MESH),
        Node(CHUNK_STORED_MESH, {Leaf(0x1025, junk), Leaf(CHUNK_NUM_VERTS, I32(3)), Node(0x1060, {Leaf(1, junk)}),
                                 Leaf(CHUNK_NUM_FACES, I32(1)), Leaf(CHUNK_VERTS, kVerts), Leaf(CHUNK_FACES, kFace)})},
       true,
       Triangle()},
      {"arrays before their counts are skipped",
       {Node(CHUNK_STORED_MESH, {Leaf(CHUNK_VERTS, junk), Leaf(CHUNK_FACES, {junk.begin(), junk.begin() + 20}),
                                 Leaf(CHUNK_NUM_VERTS, I32(3)), Leaf(CHUNK_NUM_FACES, I32(1)),
                                 Leaf(CHUNK_VERTS, kVerts), Leaf(CHUNK_FACES, kFace)})},
       false,
       Triangle()},
      {"an array alone", {Node(CHUNK_STORED_MESH, {Leaf(CHUNK_VERTS, junk)})}, false, Mesh()},
      {"a count drops the array before it",
       {Node(CHUNK_STORED_MESH, {Leaf(CHUNK_NUM_VERTS, I32(3)), Leaf(CHUNK_VERTS, kVerts),
                                 Leaf(CHUNK_NUM_VERTS, I32(0)), Leaf(CHUNK_VERTS, junk)})},
       false,
       Mesh()},
  };
  for (const Case& c : cases) {
    const Loaded loaded = Load(File(c.record), !c.has);
    EXPECT_EQ(loaded.result, IO_OK) << c.what << ": " << loaded.error;
    EXPECT_EQ(loaded.has, c.has) << c.what;
    EXPECT_EQ(loaded.mesh, c.mesh) << c.what;
  }
}

TEST(MapRecord, RefusesDamagedMeshesWithoutTouchingTheMap) {
  struct Case {
    std::vector<Chunk> inner;
    std::string error;
  };
  const Bytes twoVerts(kVerts.begin(), kVerts.begin() + 24);
  std::vector<Chunk> shrunk = TriangleChunks();
  shrunk.push_back(Leaf(CHUNK_NUM_VERTS, I32(0)));
  const std::vector<Case> cases = {
      {{Leaf(CHUNK_NUM_VERTS, I32(-1))}, "CHUNK_NUM_VERTS (0x1020): negative count -1"},
      {{Leaf(CHUNK_NUM_FACES, I32(std::numeric_limits<std::int32_t>::min()))},
       "CHUNK_NUM_FACES (0x1030): negative count -2147483648"},
      {{Leaf(CHUNK_NUM_VERTS, I32(4)), Leaf(CHUNK_VERTS, kVerts)},
       "CHUNK_VERTS (0x1040): holds 36 bytes but its count of 4 needs 48"},
      {{Leaf(CHUNK_NUM_VERTS, I32(2)), Leaf(CHUNK_VERTS, kVerts)},
       "CHUNK_VERTS (0x1040): holds 36 bytes but its count of 2 needs 24"},
      {{Leaf(CHUNK_NUM_VERTS, I32(3)), Leaf(CHUNK_VERTS, kVerts), Leaf(CHUNK_NUM_FACES, I32(2)),
        Leaf(CHUNK_FACES, kFace)},
       "CHUNK_FACES (0x1050): holds 20 bytes but its count of 2 needs 40"},
      {{Leaf(CHUNK_NUM_FACES, I32(std::numeric_limits<std::int32_t>::max())), Leaf(CHUNK_FACES, kFace)},
       "CHUNK_NUM_FACES (0x1030): count 2147483647 is above the limit of 134217728"},
      {{Leaf(CHUNK_NUM_VERTS, I32(kMaxStoredMeshRecords)), Leaf(CHUNK_VERTS, kVerts)},
       "CHUNK_VERTS (0x1040): holds 36 bytes but its count of 134217728 needs 1610612736"},
      {{Leaf(CHUNK_NUM_VERTS, {3, 0, 0})}, "CHUNK_NUM_VERTS (0x1020): holds 3 bytes, a count takes 4"},
      {{Leaf(CHUNK_NUM_VERTS, I32(3))}, "CHUNK_NUM_VERTS (0x1020): counts 3 vertices but no CHUNK_VERTS (0x1040)"},
      {{Leaf(CHUNK_NUM_FACES, I32(1)), Leaf(CHUNK_NUM_VERTS, I32(3)), Leaf(CHUNK_VERTS, kVerts)},
       "CHUNK_NUM_FACES (0x1030): counts 1 faces but no CHUNK_FACES (0x1050)"},
      {{Leaf(CHUNK_NUM_VERTS, I32(2)), Leaf(CHUNK_VERTS, twoVerts), Leaf(CHUNK_NUM_FACES, I32(1)),
        Leaf(CHUNK_FACES, kFace)},
       "CHUNK_FACES (0x1050): face 0 refers to vertex 2 but the mesh has 2"},
      {shrunk, "CHUNK_FACES (0x1050): face 0 refers to vertex 2 but the mesh has 0"},
  };
  for (const Case& c : cases) {
    const Loaded loaded = Load(File({Leaf(CHUNK_HAS_STORED_MESH), Node(CHUNK_STORED_MESH, c.inner)}));
    SCOPED_TRACE(c.error);
    ExpectRefused(loaded);
    EXPECT_EQ(loaded.error.rfind(c.error, 0), 0u) << loaded.error;
    EXPECT_LT(loaded.largestAllocation, std::size_t{1} << 16);
  }

  // A damaged header inside the container: what was read before it must not become the mesh.
  Bytes damaged = File({Node(CHUNK_STORED_MESH, TriangleChunks())});
  damaged[damaged.size() - kStoredFaceBytes - 1] ^= 0x80;  // top byte of the last chunk's (FACES') length
  MemoryLoad load(damaged.data(), damaged.size());
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  Mesh mesh = Previous();
  std::string error;
  EXPECT_EQ(LoadStoredMesh(&load, mesh, &error), IO_ERROR);
  EXPECT_EQ(mesh, Previous());
  EXPECT_EQ(error, "CHUNK_STORED_MESH (0x1010): the chunk header after CHUNK_VERTS (0x1040) is damaged");

  // The base data fails after the flag and the mesh were read: neither may reach the map.
  const Loaded badBase = Load(File({Leaf(CHUNK_HAS_STORED_MESH), Node(CHUNK_STORED_MESH, TriangleChunks()),
                                    Node(CHUNK_MTLBASE, {Leaf(MTLBASE_NAME_CHUNK, Bytes(5000, 'x'))})}));
  ExpectRefused(badBase);
  EXPECT_EQ(badBase.error.rfind("CHUNK_MTLBASE (0x4000): ", 0), 0u) << badBase.error;
}

TEST(MapRecord, ALaterContainerReplacesOnlyWhatItCounts) {
  // A second container with nothing in it (or only chunks this version does not know) must not
  // wipe the mesh the first one held; one that counts its arrays, even as zero, replaces them.
  const Chunk flag = Leaf(CHUNK_HAS_STORED_MESH);
  const Chunk first = Node(CHUNK_STORED_MESH, TriangleChunks());
  struct Case {
    const char* what;
    Chunk second;
    Mesh mesh;
  };
  Mesh onlyVerts = Triangle();
  onlyVerts.faces.clear();
  const std::vector<Case> cases = {
      {"empty", Node(CHUNK_STORED_MESH, {}), Triangle()},
      {"unknown chunks only", Node(CHUNK_STORED_MESH, {Leaf(0x1025, {1, 2, 3})}), Triangle()},
      {"arrays without counts", Node(CHUNK_STORED_MESH, {Leaf(CHUNK_VERTS, kVerts)}), Triangle()},
      {"zero counts", Node(CHUNK_STORED_MESH, {Leaf(CHUNK_NUM_VERTS, I32(0)), Leaf(CHUNK_NUM_FACES, I32(0))}), Mesh()},
      {"zero faces only", Node(CHUNK_STORED_MESH, {Leaf(CHUNK_NUM_FACES, I32(0))}), onlyVerts},
  };
  for (const Case& c : cases) {
    const Loaded loaded = Load(File({flag, first, c.second}));
    EXPECT_EQ(loaded.result, IO_OK) << c.what << ": " << loaded.error;
    EXPECT_TRUE(loaded.has) << c.what;
    EXPECT_EQ(loaded.mesh, c.mesh) << c.what;
  }

  // The counts kept from before still have to fit: faces kept over fewer vertices are refused.
  ExpectRefused(Load(File({flag, first, Node(CHUNK_STORED_MESH, {Leaf(CHUNK_NUM_VERTS, I32(0))})})));

  // The container reader alone: an empty container leaves the mesh it is given as it was.
  const Bytes empty = File({Node(CHUNK_STORED_MESH, {})});
  MemoryLoad load(empty.data(), empty.size());
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  Mesh mesh = Previous();
  EXPECT_EQ(LoadStoredMesh(&load, mesh, nullptr), IO_OK);
  EXPECT_EQ(mesh, Previous());
}

// Offsets of every chunk header in a saved record, containers opened.
void HeaderOffsets(MemoryLoad& load, std::vector<std::uint64_t>& offsets) {
  while (load.OpenChunk() == IO_OK) {
    offsets.push_back(load.Offset() - kChunkHeaderBytes);
    const unsigned short id = load.CurChunkID();
    if (id == CHUNK_MTLBASE || id == CHUNK_STORED_MESH) HeaderOffsets(load, offsets);
    load.CloseChunk();
  }
}

TEST(MapRecord, SurvivesTruncationAndDamagedHeaders) {
  const Bytes file = Saved("Cut", true, Triangle());
  // The record is MTLBASE, HAS_STORED_MESH, STORED_MESH: a cut on a top-level boundary is a
  // valid shorter record; any other cut damages a header.
  std::vector<std::uint64_t> boundaries = {kSceneFileHeaderBytes};
  MemoryLoad walk(file.data(), file.size());
  while (walk.OpenChunk() == IO_OK) {
    walk.CloseChunk();
    boundaries.push_back(walk.Offset());
  }
  ASSERT_EQ(boundaries.size(), 4u);
  const bool hasAfter[] = {false, false, true, true};
  for (std::size_t cut = kSceneFileHeaderBytes; cut <= file.size(); ++cut) {
    const Loaded loaded = Load(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut)));
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const auto boundary = std::find(boundaries.begin(), boundaries.end(), cut);
    if (boundary == boundaries.end()) {
      ExpectRefused(loaded);
      continue;
    }
    const auto index = static_cast<std::size_t>(boundary - boundaries.begin());
    EXPECT_EQ(loaded.result, IO_OK) << loaded.error;
    EXPECT_EQ(loaded.has, hasAfter[index]);
    EXPECT_EQ(loaded.mesh, index == 3 ? Triangle() : Mesh());
  }

  std::vector<std::uint64_t> headers;
  MemoryLoad load(file.data(), file.size());
  HeaderOffsets(load, headers);
  ASSERT_EQ(headers.size(), 8u);
  int accepted = 0, refused = 0;
  for (const std::uint64_t header : headers) {
    for (std::uint64_t at = header; at < header + kChunkHeaderBytes; ++at) {
      Bytes damaged = file;
      damaged[static_cast<std::size_t>(at)] ^= 0xFF;
      const Loaded loaded = Load(damaged);
      SCOPED_TRACE("byte " + std::to_string(at) + " flipped");
      if (loaded.result == IO_ERROR) {
        ExpectRefused(loaded);
        ++refused;
        continue;
      }
      ++accepted;
      EXPECT_EQ(loaded.result, IO_OK);
      for (int f = 0; f < loaded.mesh.getNumFaces(); ++f) EXPECT_TRUE(loaded.mesh.faceIsValid(f));
    }
  }
  // A flipped ID is an unknown chunk, skipped; a flipped length breaks the walk.
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
