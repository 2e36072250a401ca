// What the command line gathers for the commands, and how a command says it failed.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// A failure the user can act on: reported in one line, exit 1.
struct BadInput {
  std::string message;
};

// An option that cannot do what it asks (a value out of range, an option with nothing to act
// on): reported in one line, exit 2, before any work.
struct UsageError {
  std::string message;
};

struct MeshOptions {
  std::string up;
  bool flat = false;
  std::string node;
  std::string orient;  // "": faces as the file has them; "up": every face turned to face up
};

struct MapOptions {
  std::optional<float> uOffset, vOffset, uScale, vScale;
  std::optional<int> depth;
  bool noNormalize = false;
  bool affectAlpha = false;
  std::string bump;  // "", "numerical" or "normals": the map's useNormals
  std::string ramp;
  std::vector<float> uvOffset, uvTiling;
  std::optional<float> uvAngle;
  bool wrap = false, noWrap = false, mirrorU = false, mirrorV = false;
};

struct OutputOptions {
  std::string output;
  std::string kind = "height";
  std::map<std::string, std::string> paths;    // kind of RenderOutputs() -> file, from --KIND-out
  std::string format;                          // the -o output's (or the only output's) format
  std::map<std::string, std::string> formats;  // kind -> format, from --KIND-format
  int size = 512;
  bool sizeGiven = false;  // --size was given (512 is also its default)
  int width = 0, height = 0;
  std::optional<double> pixelSize;  // mesh units per pixel
  std::vector<double> region;       // X0 Y0 X1 Y1 in the mesh's own coordinates, or empty
  std::string heights = "map";      // "map": the map's values; "metres": z in the mesh's units
  bool edgeAligned = false;         // first and last samples on the image's borders, not half a pixel in
  bool georef = false;              // GeoTIFF keys in TIFF outputs
  std::string crs;                  // "EPSG:N", or empty: no coordinate system named
  int time = 0;
  std::string report;
  int threads = 0;
  bool filter = false;
  std::string tile;
  int tileRows = 0, tileCols = 0;
  float bumpScale = 1.0f;
  std::string normalConvention;             // "gl" or "dx": the bump image's green channel; "": gl
  std::optional<double> azimuth, altitude;  // the hillshade's light in degrees; none: 315 and 45
  std::string exrCompression;               // empty: the writer's default
  std::optional<int> pngLevel;              // none: the writer's default
  std::optional<std::string> nodata;        // --nodata: what uncovered pixels of one-channel images hold
  bool coverageAlpha = false;               // colour images get an alpha channel from the coverage mask
  // Files an earlier render of the same command wrote, listed in this one's report (kind, path).
  std::vector<std::pair<std::string, std::string>> alsoWritten;
};

struct Common {
  std::string plugins;
  bool quiet = false;
  const char* program = nullptr;  // argv[0], which the default plug-in folder is found from
};
