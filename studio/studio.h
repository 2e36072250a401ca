// `veldmap studio`: the host's material editor for one scene, as a local web application.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct StudioOptions {
  std::vector<std::string> files;  // opened at start, relative to the first root or inside a root
  int port = 0;                    // 0: any free port
  std::string bind = "127.0.0.1";
  std::vector<std::filesystem::path> roots;  // empty: the current folder
  std::filesystem::path pluginDir;           // empty: DefaultPluginDir(argv0)
  const char* argv0 = nullptr;
  bool quiet = false;  // print nothing but the address
  // The most a map's face index may take before its images are refused; 0: the command line's.
  std::uint64_t indexBudgetBytes = 0;
};

// Runs the studio until SIGINT or SIGTERM: loads the modules, opens the files, prints the
// address to open (with its session token) on stdout, serves. Returns the CLI's exit codes:
// 0 after a clean stop, 1 when a file, the modules or the port cannot be had, 2 for bad options.
int RunStudio(const StudioOptions& options);
