// Rendering a texture map into images in its own UV space: one shading point per pixel centre,
// u = (x + 0.5) / width from the left, v = 1 - (y + 0.5) / height from the top row down, through
// the map's own evaluation (EvalColor, EvalMono, EvalNormalPerturb), on all cores. Edge-aligned
// renders sample u = x / (width - 1) and v = 1 - y / (height - 1) instead (SampleCoordinate).
//
// Each pixel depends only on its own coordinates, so the images are identical for any thread
// count, and a tile (a rectangle of the full image) holds exactly the pixels of the full render.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <vector>

#include "app/image_io.h"
#include "app/outputs.h"
#include "host/mtl_base.h"

class CoverageMask;

struct Tile {
  int x0 = 0, y0 = 0, width = 0, height = 0;  // in pixels of the full image
};

// Tile index of count, the image cut into rows x cols near-equal rectangles (row-major); with
// rows and cols 0 they are chosen from count (as square as the count allows). Returns false with
// *error for an index outside 0..count-1 or a split finer than the image.
bool SplitTile(int width, int height, int index, int count, int rows, int cols, Tile* tile, std::string* error);

struct RenderRequest {
  int width = 512, height = 512;
  Tile tile;  // empty (width 0): the whole image
  TimeValue time = 0;
  bool filter = false;  // hand the pixel footprint to the map (its filtered, averaged height)
  // The first and last samples of each row and column on the map's borders (0 and 1), as engines'
  // terrain heights are, rather than half a pixel inside; needs at least 2 pixels a side.
  bool edgeAligned = false;
  // What to render, per pixel; entries of RenderOutputs() (those without a pixel function are
  // skipped).
  std::vector<const RenderOutput*> outputs{FindOutput("height")};
  Bump bump = Bump::Numerical;
  float bumpScale = 1.0f;
  HeightUnits heightUnits;                                   // of the height output
  NormalConvention normalConvention = NormalConvention::Gl;  // of the bump output
  // The pixels and heights in the mesh's units, for outputs that read their neighbours (slope,
  // hillshade): steps of the whole image's pixels, whatever the tile.
  TerrainFrame terrain;
  int threads = 0;   // 0: all cores
  int bandRows = 0;  // rows per band of RenderMapToSinks; 0: RenderBandRows(tile width)
  // Which pixels a face covers, for the coverage figure, the mask output, coverage alpha and
  // no-data; null: a pixel counts as covered where its value is not 0 (which a covered pixel at
  // the mesh's lowest point is not).
  const CoverageMask* coverage = nullptr;
  // Per outputs entry: the pixel value its uncovered pixels get instead of the map's (nullopt:
  // the map's). Missing entries count as nullopt.
  std::vector<std::optional<float>> nodata;
};

struct RenderResult {
  std::vector<Image> images;  // one per request.outputs entry, empty for one not made per pixel
  double coverage = 0.0;      // share of the pixels covered (see RenderRequest::coverage)
  double seconds = 0.0;
  bool stopped = false;  // a RowSink asked to stop: no later rows were handed to any sink
};

// Receives one output's finished rows a band at a time, from the top of the tile down: rows
// first .. first + count - 1 of the tile, count * tile width * channels floats laid out as
// Image::pixels, valid only during the call. Called on the thread that called RenderMapToSinks;
// returning false stops the render.
using RowSink = std::function<bool(int first, int count, const float* pixels)>;

// The UV coordinate of sample index (0 .. count - 1) along one axis, from 0 upward: the pixel's
// centre, (index + 0.5) / count, or with edgeAligned index / (count - 1). The map's square is
// half-open (0 <= u < 1: a point at 1 lies outside it, or wraps round to 0 when the map repeats),
// so the last edge-aligned sample is taken at the largest float below 1, a distance of 6e-8 of
// the map's side inside its border: on the border's faces, and within a float's rounding of the
// border's own height.
float SampleCoordinate(int index, int count, bool edgeAligned);
// The V coordinate of row (0 at the top) of count: 1 - (row + 0.5) / count, or with edgeAligned
// 1 - row / (count - 1), held below 1 as SampleCoordinate holds U.
float SampleRowCoordinate(int row, int count, bool edgeAligned);

// Bytes of memory this process may use: the machine's physical memory, or less when its control
// group caps it.
std::uint64_t UsableMemoryBytes();

// progress(done, total) is called from rendering threads, serialised, at most a few times a
// second; it may be empty.
RenderResult RenderMap(Texmap& map, const RenderRequest& request,
                       const std::function<void(long long, long long)>& progress);

// The same render handed to sinks, one per request.outputs entry (an empty one, and the entry of
// an output without a pixel function, are skipped), instead of kept: only two bands of rows
// (request.bandRows) per output are in memory at a time, one taken by the sinks while the next
// renders, and result.images stays empty. The pixels are those RenderMap makes, whatever the band.
RenderResult RenderMapToSinks(Texmap& map, const RenderRequest& request, const std::vector<RowSink>& sinks,
                              const std::function<void(long long, long long)>& progress);

// Rows in a band of a tile this many pixels wide: about four million pixels, so the rows of one
// band keep every core busy and hold little memory; a multiple of 32, the block height of EXR's
// tallest compression offered (PIZ, DWAA), so blocks are compressed whole as each band arrives.
int RenderBandRows(int width);
