// The veldmap command line: parses arguments and runs one command. Exit codes: 0 done, 1 bad
// input (a file that is missing, unreadable, damaged or of no use), 2 a usage error.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/cli_options.h"
#include "app/mesh_frame.h"
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
