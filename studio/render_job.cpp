#include "studio/render_job.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "app/coverage.h"
#include "app/output_files.h"
#include "app/outputs.h"
#include "app/render.h"
#include "app/scene_setup.h"
#include "studio/png_bytes.h"
#include "studio/studio_error.h"
#include "studio/studio_scene.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;

struct RenderView::Job {
  // Fixed when the job is made.
  HostThread* host = nullptr;
  int id = 0, mapId = 0;
  const RenderOutput* output = nullptr;
  int width = 0, height = 0;
  float bumpScale = 1.0f;
  Clock::time_point started = Clock::now();

  // The host thread's alone.
  Texmap* clone = nullptr;  // owned (DeleteThis) until the job ends
  // Which pixels the clone's picked mesh covers; none for a baked map, whose mesh the studio does
  // not hold (its pixels then count as covered where the value is not 0). Reads the clone: ends
  // with it.
  std::unique_ptr<CoverageMask> coverage;
  std::string source;
  std::optional<std::pair<float, float>> zRange;
  std::optional<XYRect> extent;
  FaceFacing facing;
  RenderRequest request;  // the full image's; each band sets its tile
  int nextRow = 0;
  int bandRows = 1;
  long long hits = 0;  // pixels of the full image a face covers
  double updateSeconds = 0.0, renderSeconds = 0.0;

  // What other threads see. Once state leaves "running", image and meta change no more.
  mutable std::mutex mutex;
  std::string state = "running";
  std::string stage = "update";
  std::string error;
  long long done = 0;
  int bands = 0;
  bool haveImage = false;
  Image image;
  ImageMetadata meta;  // the saved files' entries, once done
  double seconds = 0.0;

  bool Running() const {
    const std::lock_guard<std::mutex> lock(mutex);
    return state == "running";
  }
};

namespace {

// The coarse image enlarged to the full size, each pixel the coarse one it falls in.
Image Enlarge(const Image& coarse, int width, int height) {
  Image image;
  image.width = width;
  image.height = height;
  image.channels = coarse.channels;
  const auto channels = static_cast<std::size_t>(coarse.channels);
  image.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * channels);
  for (int y = 0; y < height; ++y) {
    const auto cy = static_cast<std::size_t>(static_cast<long long>(y) * coarse.height / height);
    for (int x = 0; x < width; ++x) {
      const auto cx = static_cast<std::size_t>(static_cast<long long>(x) * coarse.width / width);
      const float* from = &coarse.pixels[(cy * static_cast<std::size_t>(coarse.width) + cx) * channels];
      float* to =
          &image.pixels[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) *
                        channels];
      std::copy(from, from + channels, to);
    }
  }
  return image;
}

// Every step-th pixel of image in each direction, step chosen so the longer side fits maxSide.
Image SampleDown(const Image& image, int maxSide) {
  const int longer = std::max(image.width, image.height);
  const int step = (longer + maxSide - 1) / maxSide;
  if (step <= 1) return image;
  Image view;
  view.width = (image.width + step - 1) / step;
  view.height = (image.height + step - 1) / step;
  view.channels = image.channels;
  const auto channels = static_cast<std::size_t>(image.channels);
  view.pixels.reserve(static_cast<std::size_t>(view.width) * static_cast<std::size_t>(view.height) * channels);
  for (int y = 0; y < image.height; y += step) {
    for (int x = 0; x < image.width; x += step) {
      const float* from = &image.pixels[(static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) +
                                         static_cast<std::size_t>(x)) *
                                        channels];
      view.pixels.insert(view.pixels.end(), from, from + channels);
    }
  }
  return view;
}

// One side of the requested image: an integer from 1 up.
int Side(const json& request, const char* key) {
  if (!request.contains(key)) throw StudioError(400, std::string(key) + " is missing");
  const json& value = request.at(key);
  if (!value.is_number_integer()) throw StudioError(400, std::string(key) + " must be a whole number of pixels");
  const long long side = value.get<long long>();
  if (side < 1 || static_cast<unsigned long long>(side) > kMaxImagePixels) {
    throw StudioError(400, std::string(key) + " " + value.dump() + " is out of range");
  }
  return static_cast<int>(side);
}

// The studio saves what it shows: PNG and EXR. (The command line's TIFF and RAW16 are for terrain
// exchange, and RAW16 takes heights only.)
bool StudioFormat(const std::optional<ImageFormat>& format) {
  return format == ImageFormat::Png8 || format == ImageFormat::Png16 || format == ImageFormat::Exr;
}

std::string FormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::Png8: return "png8";
    case ImageFormat::Png16: return "png16";
    case ImageFormat::Exr: return "exr";
    case ImageFormat::Tiff16: return "tiff16";
    case ImageFormat::Tiff32: return "tiff32";
    case ImageFormat::Raw16: return "raw16";
  }
  return "";
}

}  // namespace

void RenderView::End(Job& job, const char* state, const std::string& error) {
  job.request.coverage = nullptr;
  job.coverage.reset();
  if (job.clone != nullptr) job.clone->DeleteThis();
  job.clone = nullptr;
  const std::lock_guard<std::mutex> lock(job.mutex);
  job.state = state;
  job.error = error;
  job.seconds = std::chrono::duration<double>(Clock::now() - job.started).count();
}

RenderView::RenderView(HostThread& host, PathPolicy paths) : host_(host), paths_(std::move(paths)) {}

RenderView::~RenderView() = default;

std::shared_ptr<RenderView::Job> RenderView::Current() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

json RenderView::Start(StudioScene& scene, int mapId, const json& request) {
  if (!request.contains("output") || !request.at("output").is_string()) {
    throw StudioError(400, "output must name an image: height, color, alpha or bump");
  }
  const std::string kind = request.at("output").get<std::string>();
  const RenderOutput* output = FindOutput(kind);
  // Slope and hillshade need the mesh's units, which only the command line's render works out.
  if (output == nullptr || output->pixel == nullptr || output->neighbours) {
    throw StudioError(400, "output " + kind + ": use height, color, alpha or bump");
  }
  const int width = Side(request, "width");
  const int height = Side(request, "height");
  if (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxImagePixels) {
    const auto side = static_cast<int>(std::sqrt(static_cast<double>(kMaxImagePixels)));
    throw StudioError(400, "image size " + std::to_string(width) + "x" + std::to_string(height) +
                               " is out of range: at most " + std::to_string(side) + "x" + std::to_string(side));
  }
  auto job = std::make_shared<Job>();
  if (request.contains("bumpScale")) {
    const json& scale = request.at("bumpScale");
    // A float: beyond its range the scale would not be a number the render can use.
    if (!scale.is_number() || !(std::fabs(scale.get<double>()) <= std::numeric_limits<float>::max())) {
      throw StudioError(400, "bumpScale must be a finite number");
    }
    job->bumpScale = scale.get<float>();
  }
  job->host = &host_;
  job->mapId = mapId;
  job->output = output;
  job->width = width;
  job->height = height;
  // A band of about this many pixels first; later bands are sized from how long it took.
  job->bandRows = std::clamp(16384 / width, 1, height);

  host_.Run([&] {
    // The snapshot refuses before the running render is touched, so a bad request changes nothing.
    StudioScene::RenderSnapshot snapshot = scene.SnapshotForRender(mapId);
    if (const std::shared_ptr<Job> previous = Current(); previous != nullptr && previous->Running()) {
      End(*previous, "cancelled", "");
    }
    job->clone = snapshot.map;
    job->source = std::move(snapshot.source);
    job->zRange = snapshot.zRange;
    job->extent = snapshot.extent;
    job->facing = snapshot.facing;
    job->request.width = width;
    job->request.height = height;
    job->request.time = snapshot.time;
    job->request.outputs = {output};
    job->request.bumpScale = job->bumpScale;
    job->started = Clock::now();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      job->id = ++serial_;
      current_ = job;
    }
    host_.Post([job] { Step(job); });
  });
  return Status();
}

// One step of the render on the host thread; posts the next unless the job has ended.
void RenderView::Step(const std::shared_ptr<Job>& job) {
  if (!job->Running()) return;  // cancelled while this step waited: its clone is gone
  Job& j = *job;
  try {
    std::string stage;
    {
      const std::lock_guard<std::mutex> lock(j.mutex);
      stage = j.stage;
    }
    if (stage == "update") {
      const auto start = Clock::now();
      Interval valid = FOREVER;
      j.clone->Update(j.request.time, valid);
      j.updateSeconds = std::chrono::duration<double>(Clock::now() - start).count();
      INode* node = nullptr;
      Interval unused = FOREVER;
      Block(j.clone)->GetValue(ParamByName(Block(j.clone), "node"), j.request.time, node, unused);
      if (node != nullptr) {
        j.coverage = std::make_unique<CoverageMask>(*j.clone, Mesh(), j.request.time, j.request.filter);
        j.request.coverage = j.coverage.get();
      }
      int useNormals = 0;
      Interval ignore = FOREVER;
      Block(j.clone)->GetValue(ParamByName(Block(j.clone), "useNormals"), j.request.time, useNormals, ignore);
      j.request.bump = useNormals != 0 ? Bump::Normals : Bump::Numerical;
      const std::lock_guard<std::mutex> lock(j.mutex);
      j.stage = "coarse";
    } else if (stage == "coarse") {
      const int factor = std::max(2, (std::max(j.width, j.height) + kCoarseSide - 1) / kCoarseSide);
      RenderRequest coarse = j.request;
      coarse.width = (j.width + factor - 1) / factor;
      coarse.height = (j.height + factor - 1) / factor;
      const RenderResult result = RenderMap(*j.clone, coarse, {});
      Image enlarged = Enlarge(result.images.front(), j.width, j.height);
      const std::lock_guard<std::mutex> lock(j.mutex);
      j.image = std::move(enlarged);
      j.haveImage = true;
      j.stage = "full";
    } else {
      const int rows = std::min(j.bandRows, j.height - j.nextRow);
      RenderRequest band = j.request;
      band.tile = Tile{0, j.nextRow, j.width, rows};
      const RenderResult result = RenderMap(*j.clone, band, {});
      const long long pixels = static_cast<long long>(j.width) * rows;
      j.hits += std::llround(result.coverage * static_cast<double>(pixels));
      j.renderSeconds += result.seconds;
      const Image& part = result.images.front();
      {
        const std::lock_guard<std::mutex> lock(j.mutex);
        const std::size_t offset = static_cast<std::size_t>(j.nextRow) * static_cast<std::size_t>(j.width) *
                                   static_cast<std::size_t>(part.channels);
        std::copy(part.pixels.begin(), part.pixels.end(), j.image.pixels.begin() + static_cast<std::ptrdiff_t>(offset));
        j.done += pixels;
        ++j.bands;
      }
      j.nextRow += rows;
      // Aim the next band at kBandSeconds, changing by at most four times per band so that one
      // quick or slow band does not throw the size far off.
      const double perRow = result.seconds / rows;
      const int aimed = perRow > 0.0 ? static_cast<int>(std::min(kBandSeconds / perRow, 1e9)) : rows * 4;
      j.bandRows = std::clamp(aimed, std::max(1, rows / 4), std::max(1, rows * 4));
      if (j.nextRow >= j.height) {
        RenderRecord record;
        record.source = j.source;
        record.zRange = j.zRange;
        record.extent = j.extent;
        record.winding.facing = j.facing;
        record.time = j.request.time;
        record.width = j.width;
        record.height = j.height;
        record.coverage = static_cast<double>(j.hits) / (static_cast<double>(j.width) * static_cast<double>(j.height));
        record.updateSeconds = j.updateSeconds;
        record.renderSeconds = j.renderSeconds;
        // A normal map says which way its green counts, as the command line's do.
        if (std::string(j.output->kind) == "bump") record.normals = j.request.normalConvention;
        ImageMetadata meta = RenderMetadata(j.clone, record);
        meta.entries.emplace_back("veldmap:encoding", OutputEncoding(*j.output, j.request));
        {
          const std::lock_guard<std::mutex> lock(j.mutex);
          j.meta = std::move(meta);
        }
        End(j, "done", "");
        return;
      }
    }
  } catch (const std::exception& e) {
    End(j, "failed", e.what());
    return;
  }
  // Behind whatever was asked meanwhile. Refused only once the host thread stops, and Shutdown
  // has ended the job before that.
  j.host->Post([job] { Step(job); });
}

json RenderView::Status() const {
  const std::shared_ptr<Job> job = Current();
  if (job == nullptr) return {{"state", "idle"}};
  const std::lock_guard<std::mutex> lock(job->mutex);
  const double seconds =
      job->state == "running" ? std::chrono::duration<double>(Clock::now() - job->started).count() : job->seconds;
  return {{"id", job->id},       {"map", job->mapId},     {"output", job->output->kind},
          {"width", job->width}, {"height", job->height}, {"state", job->state},
          {"stage", job->stage}, {"done", job->done},     {"total", static_cast<long long>(job->width) * job->height},
          {"bands", job->bands}, {"error", job->error},   {"seconds", seconds}};
}

json RenderView::Cancel() {
  const std::shared_ptr<Job> job = Current();
  if (job != nullptr) {
    host_.Run([job] {
      if (job->Running()) End(*job, "cancelled", "");
    });
  }
  return Status();
}

void RenderView::Shutdown() {
  const std::shared_ptr<Job> job = Current();
  if (job != nullptr && job->Running()) End(*job, "cancelled", "");
}

std::string RenderView::ImagePng(int* rowsDone, int* id) const {
  const std::shared_ptr<Job> job = Current();
  if (job == nullptr) throw StudioError(404, "nothing has been rendered yet");
  Image view;
  {
    const std::lock_guard<std::mutex> lock(job->mutex);
    if (!job->haveImage) throw StudioError(404, "the render has no image yet");
    view = SampleDown(job->image, kMaxViewSide);
    if (rowsDone != nullptr) *rowsDone = static_cast<int>(job->done / job->width);
    if (id != nullptr) *id = job->id;
  }
  return EncodePng(view);
}

json RenderView::Save(const json& request) const {
  const std::string path = request.at("path").get<std::string>();
  const std::size_t root = request.contains("root") ? request.at("root").get<std::size_t>() : 0;
  std::optional<ImageFormat> format;
  if (request.contains("format")) {
    format = FormatFromName(request.at("format").get<std::string>());
    if (!StudioFormat(format))
      throw StudioError(400, "format " + request.at("format").dump() + ": use png8, png16 or exr");
  } else {
    format = FormatFromExtension(path);
    if (!StudioFormat(format)) throw StudioError(400, path + ": unknown image type (use .png or .exr, or a format)");
  }
  const std::shared_ptr<Job> job = Current();
  if (job == nullptr) throw StudioError(409, "nothing has been rendered yet");
  {
    const std::lock_guard<std::mutex> lock(job->mutex);
    if (job->state != "done") throw StudioError(409, "the render is " + job->state + ": only a finished one is saved");
  }
  std::string error;
  const std::optional<std::filesystem::path> target = paths_.ForWriting(path, root, &error);
  if (!target) throw StudioError(403, error);
  // Done: the image and its entries change no more, so they are written without the lock.
  if (!WriteImage(target->string(), job->image, *format, job->meta, &error)) {
    // The writer names the absolute path; the page knows the relative one.
    const std::string absolute = target->string();
    if (error.rfind(absolute, 0) == 0) error = path + error.substr(absolute.size());
    throw StudioError(422, error);
  }
  return {{"saved", path}, {"root", root}, {"format", FormatName(*format)}, {"id", job->id}};
}
