// Runs the veldmap binary a test target was built against (VELDMAP_CLI) and keeps what it said.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace test_support {

struct CliRun {
  int code = -1;
  std::string output;  // stdout and stderr together
};

// program and args go through the shell, so args may hold redirections and quotes.
inline CliRun RunProgram(const std::string& program, const std::string& args) {
  CliRun run;
  const std::string command = program + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
  const int status = pclose(pipe);
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

#ifdef VELDMAP_CLI
inline CliRun Veldmap(const std::string& args) { return RunProgram(VELDMAP_CLI, args); }
#endif

}  // namespace test_support
