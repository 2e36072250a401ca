// The veldmap command line: options of each command, parsed into what the commands take.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/man_page.h"
#include "app/outputs.h"
#include "app/shards.h"
#include "host/scene.h"
#include "studio/studio.h"

namespace {

void AddMeshOptions(CLI::App* cmd, MeshOptions& o) {
  cmd->add_option("--up", o.up, "which axis of the file is up (x, y or z); default: the format's convention")
      ->check(CLI::IsMember({"x", "y", "z"}));
  cmd->add_flag("--flat", o.flat, "no smoothing groups: every face keeps its own normal");
  cmd->add_option("--node", o.node, "use only the mesh of this node (default: all meshes merged)");
  cmd->add_option("--orient", o.orient,
                  "up: turn every face that faces down (and so is ignored by the map) to face up, for meshes with "
                  "mixed winding; file (default): as the file has them")
      ->check(CLI::IsMember({"file", "up"}));
}

void AddMapOptions(CLI::App* cmd, MapOptions& o) {
  cmd->add_option("--u-offset", o.uOffset, "map parameter uOffset (-10000..10000; a value outside is refused)");
  cmd->add_option("--v-offset", o.vOffset, "map parameter vOffset (-10000..10000; a value outside is refused)");
  cmd->add_option("--u-scale", o.uScale, "map parameter uScale (-10000..10000; a value outside is refused)");
  cmd->add_option("--v-scale", o.vScale, "map parameter vScale (-10000..10000; a value outside is refused)");
  cmd->add_option("--depth", o.depth, "quadtree depth (2..10)")->check(CLI::Range(2, 10));
  cmd->add_flag("--no-normalize", o.noNormalize, "use the mesh's own coordinates instead of fitting it to 0..1");
  cmd->add_flag("--alpha", o.affectAlpha, "the colour's alpha carries the height");
  cmd->add_option("--bump", o.bump,
                  "bump from the height's derivative (numerical) or the mesh normals (normals); default: the "
                  "map's own, normals for a new map")
      ->check(CLI::IsMember({BumpName(Bump::Numerical), BumpName(Bump::Normals)}));
  cmd->add_option("--ramp", o.ramp,
                  "colour ramp: POS:#RRGGBB,... (e.g. 0:#000000,0.5:#2e7d32,1:#ffffff), a preset "
                  "(grey, terrain, heat, ocean) or an image file looked up along U");
  cmd->add_option("--uv-offset", o.uvOffset, "UV generator offset U V")->expected(2);
  cmd->add_option("--uv-tiling", o.uvTiling, "UV generator tiling U V")->expected(2);
  cmd->add_option("--uv-angle", o.uvAngle, "UV generator W angle, degrees");
  cmd->add_flag("--wrap", o.wrap,
                "repeat the map outside 0..1, as a tiling texture (a render does not by default, unless "
                "--uv-tiling is given; a bake keeps the map's own setting)");
  cmd->add_flag("--no-wrap", o.noWrap, "never repeat the map outside 0..1, even with --uv-tiling");
  cmd->add_flag("--mirror-u", o.mirrorU, "mirror the map along U");
  cmd->add_flag("--mirror-v", o.mirrorV, "mirror the map along V");
}

}  // namespace

int RunVeldmap(int argc, char** argv) {
  CLI::App app{"veldmap: renders the height of a mesh seen from above as a texture map (height, colour, bump)"};
  app.require_subcommand(0, 1);
  // --plugins and --quiet may come after the command too.
  app.fallthrough();
  Common common;
  common.program = argc > 0 ? argv[0] : nullptr;
  app.add_option("--plugins", common.plugins,
                 "folder of plug-in modules (default: plugins beside the build's executable folder, or "
                 "lib/veldmap/plugins of its install prefix)");
  app.add_flag("-q,--quiet", common.quiet, "no progress or messages on stderr");
  bool version = false;
  app.add_flag("--version", version, "print veldmap's version, the module's and the libraries'");
  // For the build, which installs their output: the manual page and the bash completion, made
  // from these very definitions. Hidden (no group) from the help they are made from.
  bool manPage = false, completion = false;
  app.add_flag("--help-man", manPage, "print the manual page veldmap(1)")->group("");
  app.add_flag("--completion", completion, "print the bash completion script")->group("");

  MeshOptions meshOptions;
  MapOptions mapOptions;
  OutputOptions out;
  std::string input, output, format, demoFolder = "veldmap-demo";
  std::vector<std::string> tiles;

  CLI::App* render = app.add_subcommand("render", "render a mesh file or a scene into images");
  render->add_option("input", input, "mesh file (OBJ, PLY, STL, glTF/GLB, FBX, 3DS, DAE, ...) or scene")->required();
  render->add_option("-o,--output", out.output, "output file (its kind: --kind); - for standard output");
  std::vector<std::string> kinds;
  for (const RenderOutput& entry : RenderOutputs()) kinds.emplace_back(entry.kind);
  render->add_option("--kind", out.kind, "what -o holds: " + OutputKinds())
      ->check(CLI::IsMember(kinds))
      ->capture_default_str();
  const std::vector<std::string> formats = {"png8", "png16", "exr", "tiff16", "tiff32", "raw16"};
  for (const RenderOutput& entry : RenderOutputs()) {
    render->add_option(fmt::format("--{}-out", entry.kind), out.paths[entry.kind], entry.help);
  }
  render
      ->add_option("--format", out.format,
                   "format of the -o output (or of the only image): png8, png16, exr, tiff16, tiff32 or raw16 "
                   "(default: from the extension; .png is png16 for a height, png8 otherwise; .tif is tiff32 for a "
                   "height, tiff16 otherwise; .r16 and .raw are raw16)")
      ->check(CLI::IsMember(formats));
  for (const RenderOutput& entry : RenderOutputs()) {
    if (entry.file != OutputFile::Image) continue;
    render
        ->add_option(fmt::format("--{}-format", entry.kind), out.formats[entry.kind],
                     fmt::format("format of the {} image, as --format", entry.kind))
        ->check(CLI::IsMember(formats));
  }
  render->add_flag("--georef", out.georef,
                   "GeoTIFF: place TIFF outputs in the mesh's own X/Y (the pixel-to-world transform; no coordinate "
                   "system unless --crs names one)");
  render->add_option("--crs", out.crs,
                     "EPSG:N, the coordinate system of the mesh's X/Y in GeoTIFF outputs (implies "
                     "--georef)");
  render->add_flag("--edge-aligned", out.edgeAligned,
                   "first and last samples on the mesh's borders (u = x / (width - 1)), for engines' terrains of "
                   "sizes such as 1025 or 4097; default: pixel centres");
  CLI::Option* sizeOption =
      render
          ->add_option("--size", out.size,
                       "the longer side in pixels, the other following the mesh's X/Y aspect (up to 65535 a side; "
                       "the image, or the tile with --tile, must fit in memory)")
          ->check(CLI::Range(1, 65535))
          ->capture_default_str();
  render->add_option("--width", out.width, "width in pixels (alone: the height follows the aspect)")
      ->check(CLI::Range(1, 65535));
  render->add_option("--height", out.height, "height in pixels (alone: the width follows the aspect)")
      ->check(CLI::Range(1, 65535));
  render->add_option("--pixel-size", out.pixelSize,
                     "mesh units per pixel: the image as large as the region it covers holds (a side rounds up)");
  render
      ->add_option("--region", out.region,
                   "X0,Y0,X1,Y1: render only this rectangle of the mesh's own X/Y (through the map's offsets "
                   "and scales)")
      ->delimiter(',')
      ->expected(4);
  render
      ->add_option("--heights", out.heights,
                   "map (default): float heights as the map gives them; metres: z in the mesh's own units")
      ->check(CLI::IsMember({"map", "metres"}));
  render->add_option("--nodata", out.nodata,
                     "VALUE for the pixels no upward face covers in height (and other one-channel) images: any "
                     "number or nan in EXR, a whole number 0..65535 in 16-bit PNG");
  render->add_flag("--coverage-alpha", out.coverageAlpha,
                   "colour and bump images get an alpha channel: 1 where an upward face covers the pixel, 0 over "
                   "holes");
  render->add_option("--time", out.time, "time in ticks (4800 a second)");
  render->add_option("--report", out.report, "also write what was rendered, and how, as JSON; - for standard output");
  render->add_option("--threads", out.threads, "threads (default: all cores)")->check(CLI::Range(1, 1024));
  render->add_flag("--filter", out.filter, "average the height over each pixel's footprint");
  render->add_option("--tile", out.tile, "render only tile I of N (I/N, from 1)");
  render->add_option("--tile-rows", out.tileRows, "rows of tiles")->check(CLI::Range(1, 65535));
  render->add_option("--tile-cols", out.tileCols, "columns of tiles")->check(CLI::Range(1, 65535));
  render->add_option("--bump-scale", out.bumpScale, "strength of the bump in the normal map")->capture_default_str();
  render
      ->add_option("--normal-convention", out.normalConvention,
                   "the bump image's green channel: gl (default: +Y up, OpenGL) or dx (+Y down, DirectX)")
      ->check(CLI::IsMember({NormalConventionName(NormalConvention::Gl), NormalConventionName(NormalConvention::Dx)}));
  render->add_option("--azimuth", out.azimuth, "the hillshade's light, degrees clockwise from +Y (0..360; default 315)")
      ->check(CLI::Range(0.0, 360.0));
  render->add_option("--altitude", out.altitude, "the hillshade's light, degrees above the horizon (0..90; default 45)")
      ->check(CLI::Range(0.0, 90.0));
  // How images are compressed: the defaults favour speed, and every choice but dwaa is lossless.
  render
      ->add_option("--exr-compression", out.exrCompression,
                   "EXR compression, on all cores: piz (default: lossless wavelet, the fastest that compresses "
                   "float heights well), zip, zips (zip in 1-line blocks), dwaa (lossy: values move, up to about 1% on "
                   "noisy heights) or none")
      ->check(CLI::IsMember({"zip", "zips", "piz", "dwaa", "none"}));
  render
      ->add_option("--png-level", out.pngLevel,
                   "PNG deflate level, 0 (none) to 9 (smallest, slowest); default 1, the fastest that compresses")
      ->check(CLI::Range(0, 9));
  AddMeshOptions(render, meshOptions);
  AddMapOptions(render, mapOptions);

  CLI::App* bake = app.add_subcommand("bake", "bake a mesh into a new map and save it as a scene");
  bake->add_option("input", input, "mesh file")->required();
  bake->add_option("-o,--output", output, "scene file to write")->required();
  AddMeshOptions(bake, meshOptions);
  AddMapOptions(bake, mapOptions);

  SplitOptions split;
  CLI::App* splitCmd = app.add_subcommand(
      "split", "cut a mesh into one baked-map scene per tile, each with only the faces its tile sees");
  splitCmd->add_option("input", input, "mesh file")->required();
  splitCmd
      ->add_option("--tiles", split.tiles, "ROWSxCOLS tiles (render each with the --tile options the manifest gives)")
      ->required();
  splitCmd->add_option("-o,--output", split.folder, "folder for the shards and manifest.json")->required();
  splitCmd
      ->add_option("--size", split.size, "longer side of the image the tiles cut; the other follows the mesh's aspect")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  splitCmd->add_option("--width", split.width, "width in pixels")->check(CLI::Range(1, 65535));
  splitCmd->add_option("--height", split.height, "height in pixels")->check(CLI::Range(1, 65535));
  splitCmd->add_flag("--announce", split.announce,
                     "print each tile's manifest entry as one JSON line once its shard is saved, so its render can "
                     "start while the rest are cut");
  AddMeshOptions(splitCmd, meshOptions);
  AddMapOptions(splitCmd, mapOptions);

  CLI::App* exportCmd = app.add_subcommand("export", "write a scene's baked mesh to a mesh file");
  exportCmd->add_option("scene", input, "scene file")->required();
  exportCmd->add_option("-o,--output", output, "mesh file (.obj, .ply, .stl, .glb, ...)")->required();

  CLI::App* info = app.add_subcommand("info", "what a module, a scene or a mesh file holds");
  info->add_option("file", input, "a .dlt module, a scene or a mesh file")->required();
  AddMeshOptions(info, meshOptions);

  CLI::App* help = app.add_subcommand("help", "the map's Help button: print the page it opens");

  CLI::App* join = app.add_subcommand("join", "assemble tiles rendered with --tile into one image");
  join->add_option("tiles", tiles, "tile images")->required();
  join->add_option("-o,--output", output, "the whole image")->required();
  join->add_option("--format", format, "png8, png16, exr, tiff16, tiff32 or raw16")
      ->check(CLI::IsMember({"png8", "png16", "exr", "tiff16", "tiff32", "raw16"}));

  StudioOptions studio;
  std::vector<std::string> studioRoots;
  CLI::App* studioCmd = app.add_subcommand("studio", "the map's material editor in a browser, served on this machine");
  studioCmd->add_option("files", studio.files, "mesh or scene files to open (inside a --root)");
  studioCmd->add_option("--port", studio.port, "port to listen on (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  studioCmd->add_option("--bind", studio.bind, "address to listen on")->capture_default_str();
  studioCmd->add_option("--root", studioRoots,
                        "folder the page may read and write (repeatable; default: the current folder)");

  CLI::App* demo = app.add_subcommand("demo", "render the bundled sample mesh into a folder of images");
  demo->add_option("-o,--output", demoFolder, "folder for the images");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  out.sizeGiven = sizeOption->count() > 0;
  if (manPage || completion) {
    const std::string text = manPage ? ManPage(app, VELDMAP_VERSION) : BashCompletion(app);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitOk;
  }
  try {
    if (version) return Version(common);
    if (*render) return Render(common, input, meshOptions, mapOptions, out);
    if (*bake) return Bake(common, input, meshOptions, mapOptions, output);
    if (*splitCmd) return Split(common, input, meshOptions, mapOptions, split);
    if (*exportCmd) return Export(common, input, output);
    if (*info) return Info(common, input, meshOptions);
    if (*help) return Help(common);
    if (*join) return Join(tiles, output, format);
    if (*studioCmd) {
      studio.roots.assign(studioRoots.begin(), studioRoots.end());
      studio.pluginDir = common.plugins;
      studio.argv0 = common.program;
      studio.quiet = common.quiet;
      return RunStudio(studio);
    }
    return Demo(common, demoFolder);
  } catch (const BadInput& bad) {
    std::fprintf(stderr, "veldmap: %s\n", bad.message.c_str());
    GetCOREInterface()->ResetScene();
    return kExitBadInput;
  } catch (const UsageError& usage) {
    std::fprintf(stderr, "veldmap: %s\n", usage.message.c_str());
    GetCOREInterface()->ResetScene();
    return kExitUsage;
  }
}
