// veldmap demo: the bundled sample mesh rendered into a folder of images and a report.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/commands.h"
#include "app/session.h"

namespace fs = std::filesystem;

namespace {

// $VELDMAP_SAMPLE, else the installed sample of the prefix the executable is in, else the
// source tree's.
fs::path SampleMesh(const char* argv0) {
  if (const char* env = std::getenv("VELDMAP_SAMPLE"); env != nullptr && *env != '\0') return env;
  fs::path installed = ExecutableFolder(argv0).parent_path() / "share" / "veldmap" / "samples" / "hills.obj";
  std::error_code ec;
  if (fs::is_regular_file(installed, ec)) return installed;
  return fs::path(VELDMAP_SAMPLE_DIR) / "hills.obj";
}

}  // namespace

int Demo(const Common& common, const std::string& folder) {
  const fs::path sample = SampleMesh(common.program);
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw BadInput{folder + ": " + ec.message()};
  const fs::path dir(folder);
  MapOptions map;
  map.depth = 8;
  // The float height first, so the report the second render writes lists it too.
  OutputOptions exr;
  exr.size = 512;
  exr.paths["height"] = (dir / "height.exr").string();
  Render(common, sample.string(), {}, map, exr);
  OutputOptions out;
  out.size = 512;
  out.paths["height"] = (dir / "height.png").string();  // a height's PNG is 16-bit
  out.paths["color"] = (dir / "color.png").string();
  out.paths["bump"] = (dir / "bump.png").string();
  out.paths["preview"] = (dir / "preview.bmp").string();
  out.report = (dir / "report.json").string();
  out.alsoWritten = {{"height_exr", exr.paths["height"]}};
  map.ramp = "terrain";
  Render(common, sample.string(), {}, map, out);
  std::printf(
      "Rendered %s into %s: height.png (16-bit), height.exr (float), color.png, bump.png, preview.bmp, "
      "report.json\n",
      sample.string().c_str(), fs::absolute(dir).string().c_str());
  return kExitOk;
}
