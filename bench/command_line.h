// The benchmark's own command-line flags, taken out before Google Benchmark reads the rest.
#pragma once

#include <cstring>

// Removes every argument equal to flag from argv (argv[0] stays) and returns whether there was
// one. Near misses ("--quick=1", "--quik") are left for Google Benchmark, which refuses them.
inline bool TakeFlag(int& argc, char** argv, const char* flag) {
  bool found = false;
  int out = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], flag) == 0) {
      found = true;
    } else {
      argv[out++] = argv[i];
    }
  }
  argc = out;
  return found;
}
