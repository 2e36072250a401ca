// The manual page and the bash completion, made from the very option definitions the command line
// parses, so that neither can drift from the program.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

// veldmap(1) in roff: every command with its arguments and options, the exit codes and the
// environment.
std::string ManPage(CLI::App& app, const std::string& version);

// A bash completion script for the command line: commands, each command's options, the values of
// options that take one of a list, and file names (mesh and scene files for inputs).
std::string BashCompletion(CLI::App& app);
