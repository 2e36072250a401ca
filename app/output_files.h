// Where the commands' files go, and the checks made on each before any work, so a command that
// fails writes nothing.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/image_io.h"
#include "app/render.h"

// The name that means standard output, for the report and for one image.
inline constexpr const char* kStandardOutput = "-";

// The format --format names, or else the one path's extension gives; BadInput when neither does.
ImageFormat FormatFor(const std::string& path, const std::string& forced);

// Refuses (BadInput, naming the path and what) a file that could not be written: its folder
// missing or not writable, or a folder where the file should be. A link is judged by the file it
// names; a device or a pipe is written in place and passes. Standard output always passes.
void CheckWritable(const std::string& path, const std::string& what);

std::string JsonString(const std::string& text);
// Writes text to path (crash-safe, as every output) or to standard output for "-".
void WriteText(const std::string& path, const std::string& text);

// What `veldmap render` writes into each image it makes, and into its report, besides the
// pixels, so that a file says where it came from and how to read it. source names the input;
// zRange is that of the mesh the map shows (ZRange); the seconds are the map's update and the
// render.
struct RenderRecord {
  std::string source;
  std::optional<std::pair<float, float>> zRange;  // none: no mesh, or no finite vertex
  TimeValue time = 0;
  int width = 0, height = 0;
  double coverage = 0.0;
  double updateSeconds = 0.0, renderSeconds = 0.0;
};
ImageMetadata RenderMetadata(Texmap* map, const RenderRecord& record);
// The entries of RenderMetadata known only once the render is done (veldmap:coverage and
// veldmap:seconds), with the room an image written as it renders keeps for them. Coverage is
// always 8 characters ("0.123456"); the seconds get 48, which takes each time up to 10^15 s.
std::vector<LateEntry> LateRenderEntries();
// meta without, and only with, those entries.
ImageMetadata EarlyEntries(const ImageMetadata& meta);
ImageMetadata LateEntries(const ImageMetadata& meta);
// The veldmap:encoding entry of one output's image: what its values mean.
std::string OutputEncoding(const RenderOutput& output, const RenderRequest& request);
