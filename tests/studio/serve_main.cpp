// A studio server for the browser tests: serve_studio PLUGIN_DIR ROOT [FILE...]; prints the
// address on stdout and runs until SIGTERM.
#include "studio/studio.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  StudioOptions options;
  options.pluginDir = argv[1];
  options.roots = {argv[2]};
  for (int i = 3; i < argc; ++i) options.files.emplace_back(argv[i]);
  options.quiet = true;
  return RunStudio(options);
}
