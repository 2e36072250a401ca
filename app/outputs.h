// The images `veldmap render` writes. Each is one entry of RenderOutputs(): the command line
// (its --KIND-out option and --kind value), the checks made before any work, the renderer and the
// files written all read that entry, so a new output is one entry and one per-pixel function.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/terrain_maps.h"
#include "host/mtl_base.h"

// Where the bump comes from: the height's numerical derivative or the mesh's own normals. The
// command line's `--bump numerical|normals` and the map's useNormals parameter (0 or 1) say the
// same.
enum class Bump { Numerical, Normals };
const char* BumpName(Bump bump);

// Which way a normal map's green channel counts: up the image (+Y, OpenGL's convention and ours
// by default) or down it (DirectX's), where green is 1 minus OpenGL's.
enum class NormalConvention { Gl, Dx };
const char* NormalConventionName(NormalConvention convention);

// The height output's units: the map's value h, or z = offset + scale * h in the mesh's own
// units (--heights metres), computed in double and stored as float.
struct HeightUnits {
  bool meshUnits = false;
  double offset = 0.0, scale = 1.0;
  float Apply(float h) const { return meshUnits ? static_cast<float>(offset + scale * static_cast<double>(h)) : h; }
};

// What a per-pixel function may look at. The colour is evaluated on first use, once per pixel
// however many outputs want it.
class PixelSample {
 public:
  PixelSample(Texmap& map, ShadeContext& sc, float mono, Bump bump, float bumpScale, HeightUnits units = {})
      : map_(map), sc_(sc), mono_(mono), bump_(bump), bumpScale_(bumpScale), units_(units) {}
  Texmap& Map() { return map_; }
  ShadeContext& Context() { return sc_; }
  float Mono() const { return mono_; }
  Bump BumpSource() const { return bump_; }
  float BumpScale() const { return bumpScale_; }
  // The height in the units the height output is asked in.
  float Height() const { return units_.Apply(mono_); }
  const AColor& Color();
  // Whether a face covers the pixel's mapped point (the render's coverage mask); without a mask,
  // whether the value is not 0.
  bool Covered() const { return covered_; }
  void SetCovered(bool covered) { covered_ = covered; }

  // For outputs that read the ground round the pixel (RenderOutput::neighbours): the map's
  // heights of its 3x3 pixels, centre pointing at its own and stride from one row to the next,
  // and how they stand in the mesh's units. Both stay owned by the caller.
  void SetNeighbourhood(const float* centre, std::size_t stride, const TerrainFrame* frame) {
    centre_ = centre;
    stride_ = stride;
    frame_ = frame;
  }
  // window: row by row from the top, left to right. Only after SetNeighbourhood.
  void Neighbourhood(float window[9]) const;
  const TerrainFrame& Terrain() const { return *frame_; }
  void SetNormalConvention(NormalConvention convention) { convention_ = convention; }
  NormalConvention Convention() const { return convention_; }

 private:
  Texmap& map_;
  ShadeContext& sc_;
  float mono_;
  Bump bump_;
  float bumpScale_;
  HeightUnits units_;
  bool covered_ = false;
  bool haveColor_ = false;
  AColor color_;
  const float* centre_ = nullptr;
  std::size_t stride_ = 0;
  const TerrainFrame* frame_ = nullptr;
  NormalConvention convention_ = NormalConvention::Gl;
};

// Writes the output's channels for one pixel at out.
using PixelFunction = void (*)(PixelSample& sample, float* out);

enum class OutputFile {
  Image,  // PNG or EXR, from the extension or --format
  Bmp,    // the map's viewport preview, made by the map itself rather than pixel by pixel
};

struct RenderOutput {
  const char* kind;  // the --kind value, the KIND of --KIND-out and the report's key
  const char* help;
  OutputFile file;
  int channels;          // floats per pixel; 0 for a BMP output
  const char* encoding;  // what the values mean, in the file's veldmap:encoding entry
  PixelFunction pixel;   // null for a BMP output
  // The pixel reads its neighbours' heights (PixelSample::Neighbourhood) in the mesh's units
  // (RenderRequest::terrain), so the renderer computes a ring of heights round each band first.
  bool neighbours;
};

const std::vector<RenderOutput>& RenderOutputs();
// nullptr for a kind no entry has.
const RenderOutput* FindOutput(std::string_view kind);
// "height, color, ..." for messages and help.
std::string OutputKinds();

// Whether an output's uncovered pixels take the no-data value (--nodata): the one-channel images
// of a value (height, alpha, ...), not the mask itself.
bool TakesNodata(const RenderOutput& output);

// The output with an alpha channel from the coverage mask appended (1 where a face covers the
// pixel, 0 over holes), for the three-channel colour outputs (color, bump); the output itself
// for any other. Same kind and file, four channels.
const RenderOutput& WithCoverageAlpha(const RenderOutput& output);

// A tangent-space normal from the map's perturbation, encoded as 0.5 + 0.5 n.
Point3 EncodeNormal(const Point3& perturb, Bump bump, float scale);
