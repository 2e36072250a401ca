// The page's files, compiled into the program from studio/web/ so that the studio serves the
// page it was built with from wherever it is installed.
#pragma once

#include <string_view>

struct WebAsset {
  std::string_view path;  // as requested: "/" for the page, "/studio.js", ...; "help" for the help page
  const char* contentType;
  std::string_view body;
};

// The asset served at path, or null.
const WebAsset* FindWebAsset(std::string_view path);
