// `import veldmap`: the map driven from Python through the calls the command-line host makes
// (the same session, scene setup, placement and renderer as `veldmap render`), with images
// returned as NumPy arrays instead of files.
//
// The host's scene is one per process and its objects are not made to be changed from two
// threads at once, so everything that touches it (opening, setting, baking, saving, the map's
// update) holds one lock; only the render itself runs without it, and without the GIL.
#include <dlfcn.h>
#include <fmt/format.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "app/commands.h"
#include "app/coverage.h"
#include "app/image_io.h"
#include "app/mesh_io.h"
#include "app/output_files.h"
#include "app/outputs.h"
#include "app/render.h"
#include "app/scene_setup.h"
#include "host/scene.h"
#include "host/scene_io.h"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace {

std::mutex& SceneLock() {
  static std::mutex lock;
  return lock;
}

// The folder of this extension's own file, so that an installed module finds the plug-ins
// installed beside it wherever the prefix is.
fs::path ModuleFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleFolder), &info) == 0 || info.dli_fname == nullptr) return {};
  std::error_code ec;
  return fs::absolute(info.dli_fname, ec).parent_path();
}

// $VELDMAP_PLUGIN_DIR; else, relative to the extension's own folder, the build tree's "plugins"
// beside it or an install's lib/veldmap/plugins (the module in lib/python3/dist-packages); else
// the build's own plug-in folder.
fs::path PluginFolder() {
  if (const char* env = std::getenv("VELDMAP_PLUGIN_DIR"); env != nullptr && *env != '\0') return env;
  const fs::path here = ModuleFolder();
  for (const fs::path& candidate :
       {here.parent_path() / "plugins", here.parent_path().parent_path() / "veldmap" / "plugins"}) {
    std::error_code ec;
    if (fs::is_directory(candidate, ec)) return candidate;
  }
  return VELDMAP_BUILD_PLUGIN_DIR;
}

// Opened on first use and never closed: maps made from its modules may outlive the interpreter's
// own teardown order, and the modules must stay loaded while any of them exists.
Session& TheSession() {
  static Session* session = [] {
    auto* opened = new Session;
    std::string error;
    if (!opened->Open(PluginFolder(), &error)) {
      delete opened;
      throw BadInput{error};
    }
    return opened;
  }();
  return *session;
}

bool IsMissingFile(const std::string& message) {
  const std::string suffix = ": no such file";
  return message.size() >= suffix.size() && message.compare(message.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The command line's one-line messages, as the exceptions a Python user expects: a missing file
// is FileNotFoundError, a file that cannot be used or a value out of range ValueError.
// NOLINTNEXTLINE(performance-unnecessary-value-param): the signature pybind11's translators have.
void TranslateErrors(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const BadInput& e) {
    if (IsMissingFile(e.message)) {
      PyErr_SetString(PyExc_FileNotFoundError, e.message.c_str());
    } else {
      PyErr_SetString(PyExc_ValueError, e.message.c_str());
    }
  } catch (const UsageError& e) {
    PyErr_SetString(PyExc_ValueError, e.message.c_str());
  }
}

py::object ToPython(const ReportJson& value) { return py::module_::import("json").attr("loads")(value.dump()); }

struct RenderSettings {
  int size = 512;
  std::optional<int> width, height;
  std::optional<std::string> tile;
  std::optional<std::vector<double>> region;
  std::optional<double> pixelSize;
  std::string heights = "map";
  float bumpScale = 1.0f;
  bool filter = false;
  int threads = 0;
  int time = 0;
  std::string normalConvention = "gl";
  std::optional<double> azimuth, altitude;
  std::optional<double> nodata;
  bool edgeAligned = false;
};

class Map {
 public:
  Map(const std::string& path, const MeshOptions& meshOptions, const MapOptions& mapOptions) : source_(path) {
    std::lock_guard<std::mutex> hold(SceneLock());
    Session& session = TheSession();
    // The host has one scene, shared by every map of this process: whatever opening adds to it
    // beyond the node this map picks (a scene file brings its own nodes) is taken out again, so
    // that it neither shows in nor is saved with another map's scene.
    const std::vector<INode*> before = GetCOREInterface()->Nodes();
    const auto removeAddedNodes = [&before](INode* keep) {
      for (INode* node : std::vector<INode*>(GetCOREInterface()->Nodes())) {
        if (node != keep && std::find(before.begin(), before.end(), node) == before.end()) node->DeleteThis();
      }
    };
    Loaded loaded;
    try {
      loaded = LoadInput(session, path, meshOptions);
    } catch (...) {
      removeAddedNodes(nullptr);
      throw;
    }
    map_ = loaded.map;
    Interval ignore = FOREVER;
    Block(map_)->GetValue(ParamByName(Block(map_), "node"), 0, node_, ignore);
    if (std::find(before.begin(), before.end(), node_) != before.end()) node_ = nullptr;  // not ours to delete
    removeAddedNodes(node_);
    try {
      // As `veldmap render` does: one image of the mesh, repeated only when asked.
      ApplyMapOptions(map_, mapOptions, Tiling::SingleImage);
    } catch (...) {
      Release();
      throw;
    }
    winding_ = loaded.winding;
    if (loaded.nodeMesh == nullptr) exported_ = std::move(loaded.exported);
  }
  Map(const Map&) = delete;
  Map& operator=(const Map&) = delete;
  ~Map() {
    std::lock_guard<std::mutex> hold(SceneLock());
    Release();
  }

  const std::string& Source() const { return source_; }

  py::dict Parameters() {
    std::lock_guard<std::mutex> hold(SceneLock());
    IParamBlock2* block = Block(map_);
    py::dict out;
    const ParamBlockDesc2* desc = block->GetDesc();
    for (int i = 0; i < desc->Count(); ++i) {
      const ParamDef& def = desc->GetParamDef(i);
      if (!def.IsNumber()) continue;
      if (def.type == TYPE_FLOAT) {
        out[py::str(def.internalName)] = block->GetFloat(def.id);
      } else {
        out[py::str(def.internalName)] = block->GetInt(def.id);
      }
    }
    return out;
  }

  py::object Get(const std::string& name) {
    std::lock_guard<std::mutex> hold(SceneLock());
    IParamBlock2* block = Block(map_);
    const ParamDef& def = NumberParam(block, name);
    if (def.type == TYPE_FLOAT) return py::float_(block->GetFloat(def.id));
    return py::int_(block->GetInt(def.id));
  }

  // A spinner would clamp; a script is told instead, with the range, as the command line is.
  void Set(const std::string& name, double value) {
    std::lock_guard<std::mutex> hold(SceneLock());
    IParamBlock2* block = Block(map_);
    const ParamDef& def = NumberParam(block, name);
    if (!std::isfinite(value)) throw UsageError{name + " " + fmt::format("{}", value) + ": not a number"};
    if (def.type != TYPE_FLOAT && value != std::floor(value)) {
      throw UsageError{fmt::format("{} {}: a whole number is wanted", name, value)};
    }
    if (def.hasRange) {
      const bool isFloat = def.type == TYPE_FLOAT;
      const double low = isFloat ? static_cast<double>(def.rangeLow.f) : static_cast<double>(def.rangeLow.i);
      const double high = isFloat ? static_cast<double>(def.rangeHigh.f) : static_cast<double>(def.rangeHigh.i);
      if (!(value >= low && value <= high)) {
        throw UsageError{fmt::format("{} {}: outside the range {} .. {}", name, value, low, high)};
      }
    }
    if (!SetParam(block, name, static_cast<float>(value))) {
      throw UsageError{fmt::format("the map refused {} = {}", name, value)};
    }
  }

  void Configure(const MapOptions& options) {
    std::lock_guard<std::mutex> hold(SceneLock());
    ApplyMapOptions(map_, options, Tiling::SingleImage);
  }

  py::object Render(const std::vector<std::string>& kinds, const RenderSettings& settings, bool many) {
    if (kinds.empty()) throw UsageError{"nothing to render: name one or more of " + RenderableKinds()};
    std::vector<const RenderOutput*> outputs;
    for (const std::string& kind : kinds) {
      const RenderOutput* output = FindOutput(kind);
      if (output == nullptr || output->pixel == nullptr) {
        throw UsageError{"'" + kind + "' is not an image this module renders: use " + RenderableKinds()};
      }
      outputs.push_back(output);
    }

    OutputOptions out;
    out.size = settings.size;
    out.sizeGiven = true;
    out.width = settings.width.value_or(0);
    out.height = settings.height.value_or(0);
    if (settings.region) out.region = *settings.region;
    out.pixelSize = settings.pixelSize;
    out.heights = settings.heights;
    out.time = settings.time;
    out.edgeAligned = settings.edgeAligned;
    if (settings.size < 1) throw UsageError{fmt::format("size {}: give 1 or more", settings.size)};
    if (settings.heights != "map" && settings.heights != "metres") {
      throw UsageError{"heights '" + settings.heights + "': use 'map' or 'metres'"};
    }
    if (!std::isfinite(settings.bumpScale)) throw UsageError{"bump_scale: not a number"};
    if (settings.normalConvention != "gl" && settings.normalConvention != "dx") {
      throw UsageError{"normal_convention '" + settings.normalConvention + "': use 'gl' or 'dx'"};
    }
    if (settings.azimuth && !(*settings.azimuth >= 0.0 && *settings.azimuth <= 360.0)) {
      throw UsageError{fmt::format("azimuth {}: give 0 to 360 degrees", *settings.azimuth)};
    }
    if (settings.altitude && !(*settings.altitude >= 0.0 && *settings.altitude <= 90.0)) {
      throw UsageError{fmt::format("altitude {}: give 0 to 90 degrees", *settings.altitude)};
    }
    if (settings.nodata && std::isinf(*settings.nodata)) throw UsageError{"nodata: give a number or nan"};
    if (!out.region.empty()) {
      const auto& r = out.region;
      if (r.size() != 4 || !std::all_of(r.begin(), r.end(), [](double x) { return std::isfinite(x); }) ||
          !(r[0] < r[2]) || !(r[1] < r[3])) {
        throw UsageError{"region: give (x0, y0, x1, y1) with x0 < x1 and y0 < y1, in the mesh's own coordinates"};
      }
    }
    if (out.pixelSize && !(std::isfinite(*out.pixelSize) && *out.pixelSize > 0.0)) {
      throw UsageError{fmt::format("pixel_size {}: give a size above 0, in the mesh's units", *out.pixelSize)};
    }

    RenderRequest request;
    request.outputs = outputs;
    RenderRecord record;
    Tile tile;
    // A region moves the map's placement for this render only; the map keeps its own, and gets it
    // back however the render ends.
    int depth = 0;
    Placement kept;
    const bool moves = !out.region.empty() || out.pixelSize.has_value();
    const auto putBack = [&] {
      if (moves) SetPlacement(map_, kept, "the map's placement");
    };
    {
      std::lock_guard<std::mutex> hold(SceneLock());
      kept = BlockPlacement(Block(map_), out.time, &depth);
      try {
        Prepare(out, settings, &request, &record, &tile);
      } catch (...) {
        putBack();
        throw;
      }
    }

    const int w = tile.width > 0 ? tile.width : request.width;
    const int h = tile.width > 0 ? tile.height : request.height;
    std::vector<py::array_t<float>> arrays;
    std::vector<float*> buffers;
    for (const RenderOutput* output : outputs) {
      std::vector<py::ssize_t> shape{h, w};
      if (output->channels > 1) shape.push_back(output->channels);
      arrays.emplace_back(shape);
      buffers.push_back(arrays.back().mutable_data());
    }
    std::vector<RowSink> sinks;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      const std::size_t rowFloats = static_cast<std::size_t>(w) * static_cast<std::size_t>(outputs[i]->channels);
      sinks.emplace_back([dest = buffers[i], rowFloats](int first, int count, const float* pixels) {
        std::memcpy(dest + static_cast<std::size_t>(first) * rowFloats, pixels,
                    static_cast<std::size_t>(count) * rowFloats * sizeof(float));
        return true;
      });
    }
    RenderResult result;
    try {
      py::gil_scoped_release released;
      result = RenderMapToSinks(*map_, request, sinks, {});
    } catch (...) {
      std::lock_guard<std::mutex> hold(SceneLock());
      putBack();
      throw;
    }
    {
      std::lock_guard<std::mutex> hold(SceneLock());
      putBack();
    }
    record.coverage = result.coverage;
    record.renderSeconds = result.seconds;
    facts_["veldmap:coverage"] = ReportedCoverage(result.coverage);
    facts_["veldmap:seconds"] = {{"update", std::round(record.updateSeconds * 1e3) / 1e3},
                                 {"render", std::round(record.renderSeconds * 1e3) / 1e3}};
    if (!many) return arrays[0];
    py::dict images;
    for (std::size_t i = 0; i < outputs.size(); ++i) images[py::str(outputs[i]->kind)] = arrays[i];
    return images;
  }

  py::object Metadata() const {
    if (facts_.is_null()) return py::none();
    return ToPython(facts_);
  }

  void Bake() {
    std::lock_guard<std::mutex> hold(SceneLock());
    if (node_ == nullptr) throw BadInput{source_ + ": the map holds a baked mesh already; bake takes a mesh file"};
    PressButton(map_, "Bake Object into Texture", node_);
    // The map holds its own copy now; the node has nothing more to give it.
    exported_ = MapMesh(map_);
    node_->DeleteThis();
    node_ = nullptr;
  }

  void Save(const std::string& path) {
    std::lock_guard<std::mutex> hold(SceneLock());
    if (node_ != nullptr) {
      throw BadInput{"the map shows a mesh of the scene rather than one of its own: bake() it before saving"};
    }
    CheckWritable(path, "scene");
    std::string error;
    if (SaveScene(path, {map_}, &error) != IO_OK) throw BadInput{error};
  }

  void ExportMesh(const std::string& path) {
    std::lock_guard<std::mutex> hold(SceneLock());
    CheckWritable(path, "mesh file");
    const Mesh mesh = MapMesh(map_);
    if (mesh.getNumFaces() == 0) throw BadInput{source_ + ": the map holds no mesh to export"};
    std::string error;
    if (!::ExportMesh(path, mesh, fs::path(source_).stem().string(), &error)) throw BadInput{error};
  }

 private:
  // Everything before the render, under the scene's lock: the map placed for the image, its
  // size and tile, the map updated, and the facts the image carries.
  void Prepare(const OutputOptions& out, const RenderSettings& settings, RenderRequest* req, RenderRecord* rec,
               Tile* cut) {
    RenderRequest& request = *req;
    RenderRecord& record = *rec;
    Tile& tile = *cut;
    const std::vector<const RenderOutput*> outputs = request.outputs;
    const Mesh& shown = Shown();
    const std::optional<XYRect> extent = XYExtent(shown);
    const std::optional<XYRect> region = PlaceImage(map_, out, extent, source_);
    const auto [width, height] = ImageSize(out, region);
    if (settings.edgeAligned && (width < 2 || height < 2)) {
      throw UsageError{fmt::format(
          "image size {}x{}: edge_aligned puts samples on both borders, so each side needs 2 or more", width, height)};
    }
    if (width < 1 || height < 1)
      throw UsageError{fmt::format("image size {}x{}: both sides must be 1 or more", width, height)};
    if (settings.tile) {
      int index = 0, count = 0;
      char slash = 0;
      std::istringstream in(*settings.tile);
      if (!(in >> index >> slash >> count) || slash != '/' || !in.eof())
        throw UsageError{"tile " + *settings.tile + ": use 'I/N'"};
      std::string error;
      if (!SplitTile(width, height, index - 1, count, 0, 0, &tile, &error)) throw UsageError{error};
    }
    const std::optional<std::pair<float, float>> zRange = ZRange(shown);
    if (out.heights == "metres") request.heightUnits = HeightsInMeshUnits(map_, zRange, out.time, source_);
    CheckQuadtreeBudget(map_, shown, source_, out.time);
    Interval valid = FOREVER;
    const auto start = std::chrono::steady_clock::now();
    map_->Update(out.time, valid);
    record.updateSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // From what the map has just read, so that the two agree; held until the next render.
    coverage_ = std::make_unique<CoverageMask>(*map_, exported_, out.time, settings.filter);
    request.coverage = coverage_.get();
    for (const RenderOutput* output : outputs) {
      request.nodata.push_back(settings.nodata && TakesNodata(*output)
                                   ? std::optional<float>(static_cast<float>(*settings.nodata))
                                   : std::nullopt);
    }
    request.normalConvention = settings.normalConvention == "dx" ? NormalConvention::Dx : NormalConvention::Gl;
    // Slope and hillshade in the mesh's units, as float arrays hold them.
    if (std::any_of(outputs.begin(), outputs.end(), [](const RenderOutput* o) { return o->neighbours; })) {
      request.terrain = MeshTerrainFrame(region, zRange, width, height, settings.edgeAligned, source_);
    }
    if (settings.azimuth) request.terrain.azimuth = *settings.azimuth;
    if (settings.altitude) request.terrain.altitude = *settings.altitude;

    request.width = width;
    request.height = height;
    request.tile = tile;
    request.time = out.time;
    request.filter = settings.filter;
    request.outputs = outputs;
    request.bumpScale = settings.bumpScale;
    request.threads = settings.threads;
    request.edgeAligned = settings.edgeAligned;
    int useNormals = 0;
    Interval ignore = FOREVER;
    Block(map_)->GetValue(ParamByName(Block(map_), "useNormals"), out.time, useNormals, ignore);
    request.bump = useNormals != 0 ? Bump::Normals : Bump::Numerical;

    record.source = source_;
    record.zRange = zRange;
    record.extent = extent;
    record.winding = winding_;
    record.heightsInMeshUnits = request.heightUnits.meshUnits;
    record.time = out.time;
    record.width = width;
    record.height = height;
    record.nodata = settings.nodata;
    record.edgeAligned = settings.edgeAligned;
    for (const RenderOutput* output : outputs) {
      const std::string kind = output->kind;
      if (kind == "bump") record.normals = request.normalConvention;
      if (kind == "hillshade") record.light = std::make_pair(request.terrain.azimuth, request.terrain.altitude);
    }
    // The facts are taken while the region is still in place: they describe this image.
    facts_ = RenderFacts(map_, record);
    if (tile.width > 0) {
      facts_["veldmap:tile"] = ReportJson::array({tile.x0, tile.y0, tile.width, tile.height, width, height});
    }
  }

  static std::string RenderableKinds() {
    std::string kinds;
    for (const RenderOutput& output : RenderOutputs()) {
      if (output.pixel == nullptr) continue;
      if (!kinds.empty()) kinds += ", ";
      kinds += output.kind;
    }
    return kinds;
  }

  static const ParamDef& NumberParam(IParamBlock2* block, const std::string& name) {
    const ParamID id = ParamByName(block, name);
    const ParamDef* def = id < 0 ? nullptr : block->GetDesc()->FindParam(id);
    if (def == nullptr || !def->IsNumber()) {
      std::string names;
      const ParamBlockDesc2* desc = block->GetDesc();
      for (int i = 0; i < desc->Count(); ++i) {
        if (!desc->GetParamDef(i).IsNumber()) continue;
        if (!names.empty()) names += ", ";
        names += desc->GetParamDef(i).internalName;
      }
      throw UsageError{"the map has no number parameter '" + name + "': it has " + names};
    }
    return *def;
  }

  // The mesh the map shows: its node's, or the one a baked map exports.
  const Mesh& Shown() {
    if (node_ != nullptr) {
      if (auto* tri = dynamic_cast<TriObject*>(node_->GetObjectRef())) return tri->GetMesh();
    }
    return exported_;
  }

  void Release() {
    if (map_ != nullptr) map_->DeleteThis();
    map_ = nullptr;
    if (node_ != nullptr) node_->DeleteThis();
    node_ = nullptr;
  }

  std::string source_;
  Texmap* map_ = nullptr;
  INode* node_ = nullptr;  // the mesh file's node the map picked; none for a scene or once baked
  Mesh exported_;
  Winding winding_;
  ReportJson facts_;
  std::unique_ptr<CoverageMask> coverage_;  // of the latest render
};

MapOptions OptionsFrom(std::optional<int> depth, std::optional<bool> normalize, std::optional<bool> affectAlpha,
                       const std::optional<std::string>& bump, const std::optional<std::string>& ramp,
                       const std::optional<std::vector<float>>& uvOffset,
                       const std::optional<std::vector<float>>& uvTiling, std::optional<float> uvAngle, bool wrap,
                       bool mirrorU, bool mirrorV) {
  MapOptions options;
  options.depth = depth;
  if (normalize && !*normalize) options.noNormalize = true;
  options.affectAlpha = affectAlpha.value_or(false);
  if (bump) {
    if (*bump != "numerical" && *bump != "normals")
      throw UsageError{"bump '" + *bump + "': use 'numerical' or 'normals'"};
    options.bump = *bump;
  }
  options.ramp = ramp.value_or("");
  if (uvOffset) options.uvOffset = *uvOffset;
  if (uvTiling) options.uvTiling = *uvTiling;
  options.uvAngle = uvAngle;
  options.wrap = wrap;
  options.mirrorU = mirrorU;
  options.mirrorV = mirrorV;
  return options;
}

}  // namespace

PYBIND11_MODULE(veldmap, m) {
  m.doc() =
      "Veldmap from Python: a mesh seen from above as a height map, rendered into NumPy arrays through the same host "
      "calls the veldmap command line makes.";
  m.attr("__version__") = VELDMAP_VERSION;
  py::register_exception_translator(&TranslateErrors);

  py::class_<Map>(m, "Map", "A Veldmap map showing one mesh file's mesh, or the map a scene file holds.")
      .def_property_readonly("source", &Map::Source, "The file the map was opened from.")
      .def("parameters", &Map::Parameters, "The map's number parameters by name.")
      .def("__getitem__", &Map::Get, py::arg("name"), "One number parameter by name.")
      .def("__setitem__", &Map::Set, py::arg("name"), py::arg("value"),
           "Sets a number parameter; ValueError naming the range for a value outside it.")
      .def(
          "set",
          [](Map& self, const py::kwargs& values) {
            for (const auto& [name, value] : values) self.Set(py::cast<std::string>(name), py::cast<double>(value));
          },
          "Sets several number parameters by name: map.set(quadTreeDepth=8, uScale=2).")
      .def(
          "configure",
          [](Map& self, std::optional<int> depth, std::optional<bool> normalize, std::optional<bool> affect_alpha,
             const std::optional<std::string>& bump, const std::optional<std::string>& ramp,
             const std::optional<std::vector<float>>& uv_offset, const std::optional<std::vector<float>>& uv_tiling,
             std::optional<float> uv_angle, bool wrap, bool mirror_u, bool mirror_v) {
            self.Configure(OptionsFrom(depth, normalize, affect_alpha, bump, ramp, uv_offset, uv_tiling, uv_angle, wrap,
                                       mirror_u, mirror_v));
          },
          py::kw_only(), py::arg("depth") = py::none(), py::arg("normalize") = py::none(),
          py::arg("affect_alpha") = py::none(), py::arg("bump") = py::none(), py::arg("ramp") = py::none(),
          py::arg("uv_offset") = py::none(), py::arg("uv_tiling") = py::none(), py::arg("uv_angle") = py::none(),
          py::arg("wrap") = false, py::arg("mirror_u") = false, py::arg("mirror_v") = false,
          "The command line's map options (--depth, --no-normalize, --ramp, --uv-offset, ...).")
      .def(
          "render",
          [](Map& self, const py::object& kinds, int size, std::optional<int> width, std::optional<int> height,
             std::optional<std::string> tile, std::optional<std::vector<double>> region,
             std::optional<double> pixel_size, const std::string& heights, float bump_scale, bool filter, int threads,
             int time, const std::string& normal_convention, std::optional<double> azimuth,
             std::optional<double> altitude, std::optional<double> nodata, bool edge_aligned) {
            RenderSettings settings;
            settings.size = size;
            settings.width = width;
            settings.height = height;
            settings.tile = std::move(tile);
            settings.region = std::move(region);
            settings.pixelSize = pixel_size;
            settings.heights = heights;
            settings.bumpScale = bump_scale;
            settings.filter = filter;
            settings.threads = threads;
            settings.time = time;
            settings.normalConvention = normal_convention;
            settings.azimuth = azimuth;
            settings.altitude = altitude;
            settings.nodata = nodata;
            settings.edgeAligned = edge_aligned;
            if (py::isinstance<py::str>(kinds)) return self.Render({py::cast<std::string>(kinds)}, settings, false);
            return self.Render(py::cast<std::vector<std::string>>(kinds), settings, true);
          },
          py::arg("kinds") = "height", py::kw_only(), py::arg("size") = 512, py::arg("width") = py::none(),
          py::arg("height") = py::none(), py::arg("tile") = py::none(), py::arg("region") = py::none(),
          py::arg("pixel_size") = py::none(), py::arg("heights") = "map", py::arg("bump_scale") = 1.0f,
          py::arg("filter") = false, py::arg("threads") = 0, py::arg("time") = 0, py::arg("normal_convention") = "gl",
          py::arg("azimuth") = py::none(), py::arg("altitude") = py::none(), py::arg("nodata") = py::none(),
          py::arg("edge_aligned") = false,
          "Renders one image kind (a str: one array) or several (a list: a dict of arrays), float32, row 0 at the top.")
      .def_property_readonly("metadata", &Map::Metadata,
                             "The facts the last render's images would carry (Z range, extent, parameters, ...).")
      .def("bake", &Map::Bake, "Bakes the mesh into the map, which then keeps its own copy.")
      .def("save", &Map::Save, py::arg("path"), "Saves a scene holding the (baked) map.")
      .def("export_mesh", &Map::ExportMesh, py::arg("path"), "Writes the mesh the map shows as a mesh file.");

  m.def(
      "read_image",
      [](const std::string& path) {
        Image image;
        ImageMetadata meta;
        std::string error;
        bool read = false;
        {
          py::gil_scoped_release released;
          std::error_code ec;
          if (!fs::exists(path, ec)) throw BadInput{path + ": no such file"};
          read = ReadImage(path, &image, &meta, &error);
        }
        if (!read) throw BadInput{error};
        std::vector<py::ssize_t> shape{image.height, image.width};
        if (image.channels > 1) shape.push_back(image.channels);
        py::array_t<float> pixels(shape);
        std::memcpy(pixels.mutable_data(), image.pixels.data(), image.pixels.size() * sizeof(float));
        py::dict entries;
        for (const auto& [key, value] : meta.entries) entries[py::str(key)] = value;
        return py::make_tuple(pixels, entries);
      },
      py::arg("path"),
      "Reads a PNG or EXR image (ours or any other) as a float32 array, PNG scaled to 0..1, and its text entries.");
  m.def(
      "plugin_folder", [] { return PluginFolder().string(); },
      "The folder the plug-in modules are loaded from ($VELDMAP_PLUGIN_DIR, else found beside this module).");
  m.def(
      "open",
      [](const std::string& path, std::optional<std::string> up, std::optional<std::string> node, bool flat,
         std::optional<std::string> orient) {
        MeshOptions options;
        if (up) options.up = *up;
        if (node) options.node = *node;
        options.flat = flat;
        if (orient) {
          if (*orient != "up" && *orient != "file") throw UsageError{"orient '" + *orient + "': use 'up' or 'file'"};
          options.orient = *orient == "up" ? "up" : "";
        }
        if (!options.up.empty()) {
          static const std::vector<std::string> kAxes{"x", "y", "z"};
          if (std::find(kAxes.begin(), kAxes.end(), options.up) == kAxes.end()) {
            throw UsageError{"up '" + options.up + "': use x, y or z"};
          }
        }
        return std::make_unique<Map>(path, options, MapOptions{});
      },
      py::arg("path"), py::kw_only(), py::arg("up") = py::none(), py::arg("node") = py::none(), py::arg("flat") = false,
      py::arg("orient") = py::none(),
      "Opens a mesh file (OBJ, PLY, STL, glTF, ...) as a new map showing it, or a scene file's map.");
}
