// Any bytes as a PLY file through our own PLY reader, straight from memory. Refusing is fine;
// crashing, reading out of bounds, or taking a file and giving back a mesh that is malformed
// is not. A file the reader takes must also import exactly as assimp imports it, and the walk a
// split makes of a file must take exactly the files the reader takes, with the same
// welded vertices and faces.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/mapped_file.h"
#include "app/ply_reader.h"
#include "fuzz/import_compare.h"

// Assimp leaks parts of some files it gives up on; see mesh_import_fuzz.cpp.
extern "C" const char* __lsan_default_suppressions() { return "leak:libassimp.so\n"; }

namespace {

void CompareWithWalk(std::string_view bytes, bool keepNormals, const RawMesh* read) {
  static const std::string path = "/tmp/veldmap-fuzz-ply-walk-" + std::to_string(::getpid()) + ".ply";
  static const struct Remover {
    ~Remover() { std::remove(path.c_str()); }
  } remover;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) fuzz_import::Fail("ply_reader_fuzz", "cannot write " + path);
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
    fuzz_import::Fail("ply_reader_fuzz", "short write");
  }
  if (std::fclose(out) != 0) fuzz_import::Fail("ply_reader_fuzz", "cannot close " + path);
  MappedFile file;
  if (!file.Open(path, nullptr, /*populate=*/false)) fuzz_import::Fail("ply_reader_fuzz", "cannot map " + path);
  PlyFaceStream stream;
  std::vector<Point3> positions;
  const bool walked = stream.Open(file, keepNormals, CompactWelder::kMaxVertices, &positions);
  if (walked != (read != nullptr)) {
    fuzz_import::Fail("ply_reader_fuzz", walked ? "walked a file the reader leaves" : "did not walk a file it reads");
  }
  if (!walked) return;
  if (positions.size() * 3 != read->positions.size()) fuzz_import::Fail("ply_reader_fuzz", "walked other vertices");
  for (std::size_t v = 0; v < positions.size(); ++v) {
    if (fuzz_import::Bits(positions[v].x) != fuzz_import::Bits(read->positions[v * 3]) ||
        fuzz_import::Bits(positions[v].y) != fuzz_import::Bits(read->positions[v * 3 + 1]) ||
        fuzz_import::Bits(positions[v].z) != fuzz_import::Bits(read->positions[v * 3 + 2])) {
      fuzz_import::Fail("ply_reader_fuzz", "walked vertex " + std::to_string(v) + " differs");
    }
  }
  std::vector<std::uint32_t> corners(stream.FaceCount() * 3);
  if (!stream.Read(0, stream.FaceCount(), corners.data()) || corners != read->corners) {
    fuzz_import::Fail("ply_reader_fuzz", "walked faces differ");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (std::size_t{1} << 20)) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  bool taken = false;
  for (const bool keepNormals : {false, true}) {
    RawMesh mesh;
    const bool read = ReadPly(bytes, keepNormals, &mesh);
    CompareWithWalk(bytes, keepNormals, read ? &mesh : nullptr);
    if (!read) continue;
    fuzz_import::CheckRawMesh("ply_reader_fuzz", mesh);
    if (mesh.hasNormals && !keepNormals) fuzz_import::Fail("ply_reader_fuzz", "normals kept though not asked for");
    taken = true;
  }
  if (taken) fuzz_import::CompareWithAssimp("ply_reader_fuzz", bytes, "ply");
  return 0;
}
