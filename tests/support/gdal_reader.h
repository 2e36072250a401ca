// GDAL's command-line tools as the independent reader of the TIFFs we write: what gdalinfo says
// of a file, and the value gdallocationinfo finds at a pixel. Tests skip (GTEST_SKIP) only when
// gdal-bin is missing; scripts/setup installs it, so CI runs them.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/cli_run.h"

namespace test_support {

inline bool HaveGdal() { return RunProgram("command -v gdalinfo gdallocationinfo", "").code == 0; }

// gdalinfo -json with every metadata domain and the options given (-stats: computed statistics,
// -checksum: each band's checksum); null (and a test failure) when it cannot read the file.
inline nlohmann::json GdalInfo(const std::string& path, const std::string& options = "") {
  // GDAL's own remarks go to stderr, which RunProgram would mix into the JSON; they are dropped
  // inside the group, before its output is joined.
  const CliRun run = RunProgram("{ gdalinfo", "-json -mdd all " + options + " '" + path + "' 2>/dev/null; }");
  if (run.code != 0) {
    ADD_FAILURE() << "gdalinfo " << path << ": " << run.output;
    return nullptr;
  }
  return nlohmann::json::parse(run.output, nullptr, false);
}

// The values of every band at pixel (x, y) (or at world X/Y with geo), as gdallocationinfo
// prints them, one line a band.
inline std::string GdalValues(const std::string& path, double x, double y, bool geo = false) {
  const CliRun run = RunProgram("gdallocationinfo", std::string("-valonly ") + (geo ? "-geoloc " : "") + "'" + path +
                                                        "' " + std::to_string(x) + " " + std::to_string(y));
  EXPECT_EQ(run.code, 0) << run.output;
  return run.output;
}

}  // namespace test_support
