// Where the commands' files go, and the checks made on each before any work, so a command that
// fails writes nothing.
#pragma once

#include <string>

#include "app/image_io.h"

// The name that means standard output, for the report and for one image.
inline constexpr const char* kStandardOutput = "-";

// The format --format names, or else the one path's extension gives; BadInput when neither does.
ImageFormat FormatFor(const std::string& path, const std::string& forced);

// Refuses (BadInput, naming the path and what) a file that could not be written: its folder
// missing or not writable, or a folder where the file should be. A link is judged by the file it
// names; a device or a pipe is written in place and passes. Standard output always passes.
void CheckWritable(const std::string& path, const std::string& what);

std::string JsonString(const std::string& text);
// Writes text to path (crash-safe, as every output) or to standard output for "-".
void WriteText(const std::string& path, const std::string& text);
