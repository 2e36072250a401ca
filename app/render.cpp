// Rows are the unit of parallel work: each task keeps one shading context for its rows.
#include "app/render.h"

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "app/coverage.h"
#include "host/row_shading.h"
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

namespace {
constexpr float kBelowOne = 0x1.fffffep-1f;  // std::nextafter(1.0f, 0.0f)
}  // namespace

float SampleCoordinate(int index, int count, bool edgeAligned) {
  if (!edgeAligned || count < 2) return (static_cast<float>(index) + 0.5f) / static_cast<float>(count);
  return std::min(static_cast<float>(index) / static_cast<float>(count - 1), kBelowOne);
}

float SampleRowCoordinate(int row, int count, bool edgeAligned) {
  if (!edgeAligned || count < 2) return 1.0f - (static_cast<float>(row) + 0.5f) / static_cast<float>(count);
  return std::min(1.0f - static_cast<float>(row) / static_cast<float>(count - 1), kBelowOne);
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

namespace {

// One render's fixed inputs and its shared counters, for the bands it is cut into.
class BandRenderer {
 public:
  BandRenderer(Texmap& map, const RenderRequest& request, const std::function<void(long long, long long)>& progress)
      : map_(map),
        request_(request),
        progress_(progress),
        tile_(request.tile.width > 0 ? request.tile : Tile{0, 0, request.width, request.height}),
        lastReport_(std::chrono::steady_clock::now()) {}

  const Tile& tile() const { return tile_; }
  long long hits() const { return hits_.load(); }

  // Rows first .. first + count - 1 of the tile into outputs[i] (count rows of that output, or
  // null to skip it), in parallel over the rows.
  void Render(int first, int count, const std::vector<float*>& outputs) {
    // Outputs that read their neighbours get the band's heights with a ring round it first; the
    // ring's rows are evaluated again by the next band, a small price for holding one band.
    std::optional<HeightHalo> halo;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      if (outputs[i] != nullptr && request_.outputs[i]->neighbours) {
        halo.emplace(request_.width, request_.height, tile_.x0, tile_.width, tile_.y0 + first, count);
      }
    }
    if (halo) {
      tbb::parallel_for(tbb::blocked_range<int>(halo->RowBegin(), halo->RowEnd()),
                        [&](const tbb::blocked_range<int>& rows) {
                          TextureShadeContext sc = Context();
                          const int x0 = halo->ColBegin(), n = halo->ColEnd() - x0;
                          std::vector<Point3> uvw;
                          std::vector<float> heights(static_cast<std::size_t>(n));
                          for (int y = rows.begin(); y != rows.end(); ++y) {
                            RowUV(x0, n, y, uvw);
                            ShadeRow(sc, uvw, heights.data());
                            for (int i = 0; i < n; ++i) halo->Set(x0 + i, y, heights[static_cast<std::size_t>(i)]);
                          }
                        });
      halo->ExtendPastImage();
    }
    tbb::parallel_for(tbb::blocked_range<int>(first, first + count), [&](const tbb::blocked_range<int>& rows) {
      TextureShadeContext sc = Context();
      long long hits = 0;
      std::vector<Point3> uvw;
      std::vector<float> heights(halo ? 0 : static_cast<std::size_t>(tile_.width));
      for (int y = rows.begin(); y != rows.end(); ++y) {
        const int globalY = tile_.y0 + y;
        RowUV(tile_.x0, tile_.width, globalY, uvw);
        if (!halo) ShadeRow(sc, uvw, heights.data());
        for (int x = 0; x < tile_.width; ++x) {
          const int globalX = tile_.x0 + x;
          sc.uvw = uvw[static_cast<std::size_t>(x)];
          const std::size_t pixel =
              static_cast<std::size_t>(y - first) * static_cast<std::size_t>(tile_.width) + static_cast<std::size_t>(x);
          // The ring holds this pixel's height already, from the same point and context.
          const float mono = halo ? halo->At(globalX, globalY) : heights[static_cast<std::size_t>(x)];
          const bool covered = request_.coverage != nullptr ? request_.coverage->Covered(sc, mono) : mono != 0.0f;
          hits += covered ? 1 : 0;
          PixelSample sample(map_, sc, mono, request_.bump, request_.bumpScale, request_.heightUnits);
          sample.SetCovered(covered);
          sample.SetNormalConvention(request_.normalConvention);
          if (halo) sample.SetNeighbourhood(halo->Centre(globalX, globalY), halo->Stride(), &request_.terrain);
          for (std::size_t i = 0; i < outputs.size(); ++i) {
            if (outputs[i] == nullptr) continue;
            const RenderOutput& output = *request_.outputs[i];
            float* out = outputs[i] + pixel * static_cast<std::size_t>(output.channels);
            if (!covered && i < request_.nodata.size() && request_.nodata[i]) {
              for (int c = 0; c < output.channels; ++c) out[c] = *request_.nodata[i];
            } else {
              output.pixel(sample, out);
            }
          }
        }
        Progress(++rowsDone_);
      }
      hits_ += hits;
    });
  }

 private:
  // The samples of pixels x0 .. x0 + n - 1 of image row y of the whole image (their centres, or
  // with edge-aligned samples their places between the borders), each computed from its own
  // indices, never accumulated, so tiles and bands match the whole.
  void RowUV(int x0, int n, int y, std::vector<Point3>& uvw) const {
    uvw.resize(static_cast<std::size_t>(n));
    const float v = SampleRowCoordinate(y, request_.height, request_.edgeAligned);
    for (int i = 0; i < n; ++i) {
      uvw[static_cast<std::size_t>(i)] =
          Point3(SampleCoordinate(x0 + i, request_.width, request_.edgeAligned), v, 0.0f);
    }
  }

  // The heights at the points of uvw into out, as EvalMono gives them: in one call where the map
  // shades whole rows, else point by point.
  void ShadeRow(TextureShadeContext& sc, const std::vector<Point3>& uvw, float* out) const {
    const int n = static_cast<int>(uvw.size());
    if (rows_ != nullptr && rows_->EvalMonoRow(sc, uvw.data(), n, out)) return;
    for (int i = 0; i < n; ++i) {
      sc.uvw = uvw[static_cast<std::size_t>(i)];
      out[i] = map_.EvalMono(sc);
    }
  }

  TextureShadeContext Context() const {
    TextureShadeContext sc;
    sc.time = request_.time;
    sc.filterMaps = request_.filter ? TRUE : FALSE;
    const bool edges = request_.edgeAligned;
    const float du = 1.0f / static_cast<float>(edges ? std::max(1, request_.width - 1) : request_.width);
    const float dv = 1.0f / static_cast<float>(edges ? std::max(1, request_.height - 1) : request_.height);
    sc.duvw = Point3(du, dv, 0.0f);
    return sc;
  }

  void Progress(long long done) {
    if (!progress_) return;
    const std::lock_guard lock(progressMutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now - lastReport_ > std::chrono::milliseconds(250) || done == tile_.height) {
      lastReport_ = now;
      progress_(done, tile_.height);
    }
  }

  Texmap& map_;
  // The map's row form, asked for once, or null: a map without one is shaded pixel by pixel.
  MonoRowMap* rows_ = static_cast<MonoRowMap*>(map_.GetInterface(I_MONO_ROW_MAP));
  const RenderRequest& request_;
  const std::function<void(long long, long long)>& progress_;
  const Tile tile_;
  std::atomic<long long> rowsDone_{0};
  std::atomic<long long> hits_{0};  // pixels covered; a sum of counts, so in any order the same
  std::mutex progressMutex_;
  std::chrono::steady_clock::time_point lastReport_;
};

std::unique_ptr<tbb::global_control> LimitThreads(int threads) {
  if (threads <= 0) return nullptr;
  return std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                               static_cast<std::size_t>(threads));
}

double Coverage(long long hits, const Tile& tile) {
  const double pixels = static_cast<double>(tile.width) * static_cast<double>(tile.height);
  return pixels > 0.0 ? static_cast<double>(hits) / pixels : 0.0;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int RenderBandRows(int width) {
  constexpr long long kBandPixels = 1 << 22, kBlockRows = 32;
  const long long rows = kBandPixels / std::max(1, width);
  return static_cast<int>(std::max(kBlockRows, rows / kBlockRows * kBlockRows));
}

RenderResult RenderMap(Texmap& map, const RenderRequest& request,
                       const std::function<void(long long, long long)>& progress) {
  const auto start = std::chrono::steady_clock::now();
  BandRenderer renderer(map, request, progress);
  const Tile& tile = renderer.tile();
  RenderResult result;
  std::vector<float*> outputs;
  for (const RenderOutput* output : request.outputs) {
    result.images.push_back(output->pixel != nullptr ? Blank(tile.width, tile.height, output->channels) : Image{});
    outputs.push_back(output->pixel != nullptr ? result.images.back().pixels.data() : nullptr);
  }
  const auto limit = LimitThreads(request.threads);
  renderer.Render(0, tile.height, outputs);
  result.coverage = Coverage(renderer.hits(), tile);
  result.seconds = Since(start);
  return result;
}

RenderResult RenderMapToSinks(Texmap& map, const RenderRequest& request, const std::vector<RowSink>& sinks,
                              const std::function<void(long long, long long)>& progress) {
  const auto start = std::chrono::steady_clock::now();
  BandRenderer renderer(map, request, progress);
  const Tile& tile = renderer.tile();
  const int bandRows =
      std::min(request.bandRows > 0 ? request.bandRows : RenderBandRows(tile.width), std::max(1, tile.height));
  // Two sets of band buffers: while the sinks take one band on this thread (encoding is mostly
  // serial), the next band renders on the other cores into the other set.
  std::vector<std::vector<float>> bands[2];
  std::vector<float*> outputs[2];
  for (int set = 0; set < 2; ++set) {
    bands[set].resize(request.outputs.size());
    outputs[set].assign(request.outputs.size(), nullptr);
    for (std::size_t i = 0; i < request.outputs.size(); ++i) {
      const RenderOutput& output = *request.outputs[i];
      if (output.pixel == nullptr || i >= sinks.size() || !sinks[i]) continue;
      bands[set][i].resize(static_cast<std::size_t>(tile.width) * static_cast<std::size_t>(bandRows) *
                           static_cast<std::size_t>(output.channels));
      outputs[set][i] = bands[set][i].data();
    }
  }
  const auto limit = LimitThreads(request.threads);
  RenderResult result;
  if (tile.height > 0) renderer.Render(0, std::min(bandRows, tile.height), outputs[0]);
  tbb::task_group next;
  for (int first = 0, set = 0; first < tile.height && !result.stopped; first += bandRows, set = 1 - set) {
    const int count = std::min(bandRows, tile.height - first);
    const int nextFirst = first + count, nextCount = std::min(bandRows, tile.height - nextFirst);
    if (nextCount > 0) {
      next.run([&renderer, &buffers = outputs[1 - set], nextFirst, nextCount] {
        renderer.Render(nextFirst, nextCount, buffers);
      });
    }
    try {
      for (std::size_t i = 0; i < outputs[set].size() && !result.stopped; ++i) {
        if (outputs[set][i] != nullptr && !sinks[i](first, count, outputs[set][i])) result.stopped = true;
      }
    } catch (...) {
      next.wait();
      throw;
    }
    next.wait();
  }
  result.coverage = Coverage(renderer.hits(), tile);
  result.seconds = Since(start);
  return result;
}
