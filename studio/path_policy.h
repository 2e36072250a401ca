// Which files the studio may read and write: only those inside the folders it was given. A
// request names a file by a path relative to one of them; the answer is the real file, or why
// the request is refused.
//
// Refused: an empty path, an absolute one, a NUL byte, a ".." component anywhere, and any path
// whose real location (symbolic links resolved) is outside the root it was resolved against.
// For writing, the file need not exist, but its folder must, and an existing file that is a
// symbolic link must lead inside the root too.
//
// Threads: const after construction, so any thread may ask.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

class PathPolicy {
 public:
  // roots are made absolute and resolved now; a root that does not exist is dropped, which
  // *error (if not null) reports.
  explicit PathPolicy(const std::vector<std::filesystem::path>& roots, std::string* error = nullptr);

  const std::vector<std::filesystem::path>& Roots() const { return roots_; }

  // An existing regular file: the first root that holds one at relative. nullopt with *error.
  std::optional<std::filesystem::path> ForReading(const std::string& relative, std::string* error) const;
  // Where to write relative inside root number rootIndex. nullopt with *error.
  std::optional<std::filesystem::path> ForWriting(const std::string& relative, std::size_t rootIndex,
                                                  std::string* error) const;
  // The path of file relative to the root that holds it, for showing; nullopt if none does.
  std::optional<std::string> RelativeName(const std::filesystem::path& file) const;

 private:
  std::vector<std::filesystem::path> roots_;  // canonical
};
