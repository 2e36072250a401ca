// Writes what the map computes for one fixed terrain on fixed grids, as the exact bits of every
// float, so that two builds (Linux x86-64 and 32-bit Windows) can be compared byte for byte.
//
// The terrain is made with integer arithmetic and exact float operations only: a library sin or
// pow could differ between the two C runtimes and hide or fake a difference in the map itself.
// Printed: heights, filtered heights and smoothing-group normals from the sampler at three
// quadtree depths on a 65 x 65 grid; then mono, colour and both bump kinds from the map itself
// through its UV generator on a 33 x 33 grid; and last a digest of the sampler's heights on a
// 513 x 513 grid at every depth.
#include <cstdint>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "host/mesh.h"
#include "host/scene.h"
#include "host/win32.h"
#include "plugin/plugin_main.h"
#include "plugin/veldmap_params.h"
#include "sampler/surface_sampler.h"
#include "tests/support/uv_shade_context.h"
#include "texmap/veldmap_texmap.h"

namespace {

std::uint32_t Bits(float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Hills and hollows on a jittered 40 x 40 grid of quads, each split along a hashed diagonal.
Mesh Terrain() {
  constexpr int kSide = 41;
  std::uint32_t state = 20261208u;
  const auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;  // 24 bits, exact in a float
  };
  Mesh mesh;
  mesh.setNumVerts(kSide * kSide);
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      const float jitterX = static_cast<float>(next() % 1000) / 4000.0f - 0.125f;
      const float jitterY = static_cast<float>(next() % 1000) / 4000.0f - 0.125f;
      const bool edge = x == 0 || y == 0 || x == kSide - 1 || y == kSide - 1;
      const float px = static_cast<float>(x) + (edge ? 0.0f : jitterX);
      const float py = static_cast<float>(y) + (edge ? 0.0f : jitterY);
      // A broad ridge (a product of two parabolas) with noise on top.
      const float ridge = (px * (40.0f - px)) * (py * (40.0f - py)) / 16000.0f;
      const float noise = static_cast<float>(next() % 4096) / 1024.0f;
      mesh.setVert(y * kSide + x, Point3(px * 2.5f, py * 2.5f, ridge * 12.0f + noise));
    }
  }
  mesh.setNumFaces(2 * (kSide - 1) * (kSide - 1));
  int f = 0;
  for (int y = 0; y + 1 < kSide; ++y) {
    for (int x = 0; x + 1 < kSide; ++x) {
      const DWORD a = y * kSide + x, b = a + 1, c = a + kSide + 1, d = a + kSide;
      const bool flip = next() % 2 == 0;
      mesh.faces[f].setVerts(a, b, flip ? d : c);
      mesh.faces[f].setSmGroup(1);
      ++f;
      mesh.faces[f].setVerts(flip ? b : a, c, d);
      mesh.faces[f].setSmGroup(next() % 3 == 0 ? 2 : 1);
      ++f;
    }
  }
  return mesh;
}

void PrintSampler(const Mesh& terrain) {
  for (const int depth : {2, 6, 10}) {
    SurfaceSampler sampler;
    sampler.quadTreeDepth = depth;
    sampler.Rebuild(terrain);
    for (int y = 0; y <= 64; ++y) {
      for (int x = 0; x <= 64; ++x) {
        const float u = static_cast<float>(x) / 64.5f, v = static_cast<float>(y) / 64.5f;
        float height = -1.0f;
        const bool hit = sampler.HeightAt(Point3(u, v, 0), height);
        Point3 normal;
        sampler.NormalAt(Point3(u, v, 0), normal);
        std::printf("sampler %d %d %d %d %08x %08x %08x %08x %08x\n", depth, x, y, hit ? 1 : 0, Bits(height),
                    Bits(sampler.FilteredHeight(u, v, 0.01f, 0.02f)), Bits(normal.x), Bits(normal.y), Bits(normal.z));
      }
    }
  }
}

void PrintMap(const Mesh& terrain) {
  TriObject* object = CreateNewTriObject();
  object->GetMesh() = terrain;
  INode* node = GetCOREInterface()->CreateObjectNode(object);
  auto* map = new VeldmapTexmap();
  map->pblock->SetValue(pb_node, 0, node);
  map->pblock->SetValue(pb_u_scale, 0, 1.5f);
  map->pblock->SetValue(pb_v_offset, 0, 0.125f);
  for (const int useNormals : {0, 1}) {
    map->pblock->SetValue(pb_use_normals, 0, useNormals);
    Interval valid = FOREVER;
    map->Update(0, valid);
    UVContext sc;
    sc.dPdu = Point3(1, 0, 0);
    sc.dPdv = Point3(0, 1, 0);
    sc.duvw = Point3(0.01f, 0.01f, 0);
    for (int y = 0; y <= 32; ++y) {
      for (int x = 0; x <= 32; ++x) {
        sc.uvw = Point3(static_cast<float>(x) / 31.0f - 0.02f, static_cast<float>(y) / 31.0f, 0);
        const float mono = map->EvalMono(sc);
        const AColor colour = map->EvalColor(sc);
        const Point3 bump = map->EvalNormalPerturb(sc);
        std::printf("map %d %d %d %08x %08x %08x %08x %08x\n", useNormals, x, y, Bits(mono), Bits(colour.r),
                    Bits(bump.x), Bits(bump.y), Bits(bump.z));
      }
    }
  }
  map->DeleteThis();
  GetCOREInterface()->ResetScene();
}

void PrintDigest(const Mesh& terrain) {
  std::uint64_t digest = 14695981039346656037ull;  // FNV-1a over the bits of every height
  for (int depth = 2; depth <= 10; ++depth) {
    SurfaceSampler sampler;
    sampler.quadTreeDepth = depth;
    sampler.Rebuild(terrain);
    for (int y = 0; y <= 512; ++y) {
      for (int x = 0; x <= 512; ++x) {
        float height = -1.0f;
        sampler.HeightAt(Point3(static_cast<float>(x) / 512.5f, static_cast<float>(y) / 512.5f, 0), height);
        const std::uint32_t bits = Bits(height);
        for (int byte = 0; byte < 4; ++byte) {
          digest = (digest ^ ((bits >> (8 * byte)) & 0xFFu)) * 1099511628211ull;
        }
      }
    }
  }
  std::printf("digest %016llx\n", static_cast<unsigned long long>(digest));
}

}  // namespace

int main() {
#ifdef _WIN32
  // The same bytes as on Linux: no carriage return before each newline.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  DllMain(ModuleInstanceFromAddress(&pluginInstance), DLL_PROCESS_ATTACH, nullptr);
  const Mesh terrain = Terrain();
  PrintSampler(terrain);
  PrintMap(terrain);
  PrintDigest(terrain);
  return 0;
}
