// Rows are the unit of parallel work: each task keeps one shading context for its rows.
#include "app/render.h"

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <mutex>

#include "host/texture_shade_context.h"

namespace {

Image Blank(int width, int height, int channels) {
  Image image;
  image.width = width;
  image.height = height;
  image.channels = channels;
  image.pixels.assign(
      static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * static_cast<std::size_t>(channels), 0.0f);
  return image;
}

}  // namespace

bool SplitTile(int width, int height, int index, int count, int rows, int cols, Tile* tile, std::string* error) {
  if (count < 1 || index < 0 || index >= count) {
    *error = "tile " + std::to_string(index + 1) + "/" + std::to_string(count) + " does not exist (tiles count from 1)";
    return false;
  }
  if (rows <= 0 && cols <= 0) {
    rows = static_cast<int>(std::sqrt(static_cast<double>(count)));
    while (count % rows != 0) --rows;
    cols = count / rows;
  } else if (rows <= 0) {
    rows = count / cols;
  } else if (cols <= 0) {
    cols = count / rows;
  }
  if (rows * cols != count) {
    *error = std::to_string(count) + " tiles do not make " + std::to_string(rows) + " rows of " + std::to_string(cols);
    return false;
  }
  if (rows > height || cols > width) {
    *error = "a " + std::to_string(width) + "x" + std::to_string(height) + " image cannot be cut into " +
             std::to_string(rows) + " rows of " + std::to_string(cols) + " tiles";
    return false;
  }
  const int r = index / cols, c = index % cols;
  // Integer cuts: tile edges land on the same pixels whoever computes them.
  tile->x0 = static_cast<int>(static_cast<long long>(width) * c / cols);
  tile->y0 = static_cast<int>(static_cast<long long>(height) * r / rows);
  tile->width = static_cast<int>(static_cast<long long>(width) * (c + 1) / cols) - tile->x0;
  tile->height = static_cast<int>(static_cast<long long>(height) * (r + 1) / rows) - tile->y0;
  return true;
}

std::uint64_t UsableMemoryBytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGE_SIZE);
  std::uint64_t bytes =
      pages > 0 && pageSize > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) : UINT64_MAX;
  // cgroup v2 writes "max" when there is no cap, which the number read fails on.
  std::ifstream capFile("/sys/fs/cgroup/memory.max");
  std::uint64_t cap = 0;
  if (capFile >> cap && cap > 0) bytes = std::min(bytes, cap);
  return bytes;
}

RenderResult RenderMap(Texmap& map, const RenderRequest& request,
                       const std::function<void(long long, long long)>& progress) {
  const auto start = std::chrono::steady_clock::now();
  const Tile tile = request.tile.width > 0 ? request.tile : Tile{0, 0, request.width, request.height};
  RenderResult result;
  for (const RenderOutput* output : request.outputs) {
    result.images.push_back(output->pixel != nullptr ? Blank(tile.width, tile.height, output->channels) : Image{});
  }
  std::vector<unsigned char> covered(static_cast<std::size_t>(tile.width) * static_cast<std::size_t>(tile.height), 0);

  std::unique_ptr<tbb::global_control> limit;
  if (request.threads > 0) {
    limit = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                  static_cast<std::size_t>(request.threads));
  }
  const float du = 1.0f / static_cast<float>(request.width);
  const float dv = 1.0f / static_cast<float>(request.height);
  std::atomic<long long> rowsDone{0};
  std::mutex progressMutex;
  auto lastReport = std::chrono::steady_clock::now();

  tbb::parallel_for(tbb::blocked_range<int>(0, tile.height), [&](const tbb::blocked_range<int>& rows) {
    TextureShadeContext sc;
    sc.time = request.time;
    sc.filterMaps = request.filter ? TRUE : FALSE;
    sc.duvw = Point3(du, dv, 0.0f);
    for (int y = rows.begin(); y != rows.end(); ++y) {
      const int globalY = tile.y0 + y;
      // Computed from the pixel's own indices, never accumulated, so tiles match the whole.
      const float v = 1.0f - (static_cast<float>(globalY) + 0.5f) / static_cast<float>(request.height);
      for (int x = 0; x < tile.width; ++x) {
        const float u = (static_cast<float>(tile.x0 + x) + 0.5f) / static_cast<float>(request.width);
        sc.uvw = Point3(u, v, 0.0f);
        const std::size_t pixel =
            static_cast<std::size_t>(y) * static_cast<std::size_t>(tile.width) + static_cast<std::size_t>(x);
        const float mono = map.EvalMono(sc);
        covered[pixel] = mono != 0.0f ? 1 : 0;
        PixelSample sample(map, sc, mono, request.bump, request.bumpScale, request.heightUnits);
        for (std::size_t i = 0; i < request.outputs.size(); ++i) {
          const RenderOutput& output = *request.outputs[i];
          if (output.pixel == nullptr) continue;
          output.pixel(sample, &result.images[i].pixels[pixel * static_cast<std::size_t>(output.channels)]);
        }
      }
      const long long done = ++rowsDone;
      if (progress) {
        const std::lock_guard lock(progressMutex);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastReport > std::chrono::milliseconds(250) || done == tile.height) {
          lastReport = now;
          progress(done, tile.height);
        }
      }
    }
  });

  long long hits = 0;
  for (const unsigned char c : covered) hits += c;
  result.coverage = covered.empty() ? 0.0 : static_cast<double>(hits) / static_cast<double>(covered.size());
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}
