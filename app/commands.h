// The veldmap command line: parses arguments and runs one command. Exit codes: 0 done, 1 bad
// input (a file that is missing, unreadable, damaged or of no use), 2 a usage error.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/cli_options.h"
#include "app/mesh_frame.h"
#include "app/outputs.h"
#include "app/terrain_maps.h"
#include "host/mtl_base.h"

inline constexpr int kExitOk = 0;
inline constexpr int kExitBadInput = 1;
inline constexpr int kExitUsage = 2;

int RunVeldmap(int argc, char** argv);

// The commands, one file each (render_command.cpp, ...); they throw BadInput or UsageError.
int Render(const Common& common, const std::string& input, const MeshOptions& meshOptions, const MapOptions& mapOptions,
           OutputOptions out);
int Bake(const Common& common, const std::string& input, const MeshOptions& meshOptions, const MapOptions& mapOptions,
         const std::string& output);
int Export(const Common& common, const std::string& input, const std::string& output);
int Info(const Common& common, const std::string& input, const MeshOptions& meshOptions);
int Help(const Common& common);
int Version(const Common& common);
int Join(const std::vector<std::string>& tiles, const std::string& output, const std::string& format);
int Demo(const Common& common, const std::string& folder);

// Places the map so that the image covers out's --region, and with --pixel-size, a whole number
// of pixels of exactly that size: a region that does not divide evenly grows from its left and
// bottom edges to the next whole pixel. Returns the region of the mesh's X/Y the image then
// covers (none when the map's placement gives it none); input names the mesh in messages.
std::optional<XYRect> PlaceImage(Texmap* map, const OutputOptions& out, const std::optional<XYRect>& extent,
                                 const std::string& input);

// --heights metres: z = z_min + h (z_max - z_min) with the map's placement normalised, else
// h (z_max - z_min), from the Z range of the mesh the map shows.
HeightUnits HeightsInMeshUnits(Texmap* map, const std::optional<std::pair<float, float>>& zRange, TimeValue t,
                               const std::string& input);

// The steps of the image's samples and of the map's heights in the mesh's units, for images that
// read their neighbours (slope, hillshade): only an image that covers one known rectangle of the
// mesh has them. The light and the stored scale are left at their defaults.
TerrainFrame MeshTerrainFrame(const std::optional<XYRect>& region, const std::optional<std::pair<float, float>>& zRange,
                              int width, int height, bool edgeAligned, const std::string& input);
