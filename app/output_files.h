// Where the commands' files go, and the checks made on each before any work, so a command that
// fails writes nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/image_io.h"
#include "app/render.h"
#include "app/scene_setup.h"

// The name that means standard output, for the report and for one image.
inline constexpr const char* kStandardOutput = "-";

// The names --format takes, for messages and help.
inline constexpr const char* kFormatNames = "png8, png16, exr, tiff16, tiff32 or raw16";

// The format --format names, or else the one path's extension gives; BadInput when neither does.
ImageFormat FormatFor(const std::string& path, const std::string& forced);
// The format of one render output of the given kind: forced (a --format name) when given, else
// its path's extension at the depth that suits the kind. A height keeps more than 8 bits (.png is
// a 16-bit PNG, .tif a float TIFF); colour, alpha and bump are 8-bit PNGs and 16-bit TIFFs.
ImageFormat OutputFormat(std::string_view kind, const std::string& path, const std::string& forced);

// Refuses (BadInput, naming the path and what) a file that could not be written: its folder
// missing or not writable, or a folder where the file should be. A link is judged by the file it
// names; a device or a pipe is written in place and passes. Standard output always passes.
void CheckWritable(const std::string& path, const std::string& what);

// Writes text to path (crash-safe, as every output) or to standard output for "-".
void WriteText(const std::string& path, const std::string& text);

// What `veldmap render` writes into each image it makes, and into its report, besides the
// pixels, so that a file says where it came from and how to read it. source names the input;
// zRange and extent are those of the mesh the map shows (ZRange, XYExtent); the seconds are the
// map's update and the render.
struct RenderRecord {
  std::string source;
  std::optional<std::pair<float, float>> zRange;   // none: no mesh, or no finite vertex
  std::optional<XYRect> extent;                    // none: no mesh, or no finite vertex
  Winding winding;                                 // of the mesh the map shows
  bool heightsInMeshUnits = false;                 // float heights written as z (--heights metres)
  std::optional<double> nodata;                    // --nodata, as the images store it
  std::optional<NormalConvention> normals;         // of the bump image; none when none is written
  std::optional<std::pair<double, double>> light;  // the hillshade's azimuth, altitude; none without one
  bool edgeAligned = false;                        // samples on the region's borders (--edge-aligned)
  TimeValue time = 0;
  int width = 0, height = 0;
  double coverage = 0.0;
  double updateSeconds = 0.0, renderSeconds = 0.0;
};

// The report's JSON, key order kept as written.
using ReportJson = nlohmann::ordered_json;

// The facts of a render under the keys of the images' metadata ("veldmap:z_min", ...), numbers
// as numbers and null where there is nothing to say. The region is the rectangle of the mesh's
// own X/Y the image covers (x0, y0 at its left and bottom edges), from the map's placement and
// UV generator; null when the generator turns, mirrors or repeats the map. Coordinates and sizes
// are given to float precision, as the mesh holds them.
ReportJson RenderFacts(Texmap* map, const RenderRecord& record);
// The text an image holds for a value of the facts: a string as it is, a number as its shortest
// text ("20" for the report's 20.0), null as "none", an array as its items joined by commas, an
// object as "key value ...".
std::string MetadataText(const ReportJson& value);
// The text of the fact under key: MetadataText, but the coverage always with six decimals
// (CoverageText).
std::string FactText(const std::string& key, const ReportJson& value);
// Every fact as an image's text entry (FactText), in the same order.
ImageMetadata MetadataFromFacts(const ReportJson& facts);
ImageMetadata RenderMetadata(Texmap* map, const RenderRecord& record);
// The coverage figure as reports and images give it: the share rounded to 6 decimals.
double ReportedCoverage(double share);
// The coverage as images hold it: always six decimals ("1.000000"), so that an image written as
// it renders has the same text as one written whole, without padding.
std::string CoverageText(double share);
// The entries of RenderMetadata known only once the render is done (veldmap:coverage and
// veldmap:seconds), with the room an image written as it renders keeps for them. Coverage is
// always 8 characters (CoverageText); the seconds get 48, which takes each time up to 10^15 s.
std::vector<LateEntry> LateRenderEntries();
// meta without, and only with, those entries.
ImageMetadata EarlyEntries(const ImageMetadata& meta);
ImageMetadata LateEntries(const ImageMetadata& meta);
// The veldmap:encoding entry of one output's image: what its values mean.
std::string OutputEncoding(const RenderOutput& output, const RenderRequest& request);

// The image size when it follows the region the image covers (the mesh's extent as the map places
// it): --pixel-size, or --size as its longer side, or one of --width and --height with the other
// in proportion. Both --width and --height, or no known region, leave the sizes as given (a
// missing side is --size). A side beyond 65535 is refused, naming the option that made it. With
// --edge-aligned the proportion and the pixel size are those of the steps between samples, one
// fewer than the samples: 1025 samples span 1024 pixel sizes.
std::pair<int, int> ImageSize(const OutputOptions& out, const std::optional<XYRect>& region);
