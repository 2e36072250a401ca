// A new, empty folder of a test's own under the test temporary folder, so that a stray file is
// noticed rather than shared. Portable where mkdtemp is not (Windows).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace test_support {

// The folder's path; the test fails (and the path is empty) if no new folder could be made.
inline std::filesystem::path MakeTempFolder(const std::string& prefix) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path path = std::filesystem::path(::testing::TempDir()) / (prefix + std::to_string(random()));
    std::error_code error;
    // create_directory is false for a folder that already exists: someone else's, so try again.
    if (std::filesystem::create_directory(path, error)) return path;
    if (error) {
      ADD_FAILURE() << "creating " << path.string() << ": " << error.message();
      return {};
    }
  }
  ADD_FAILURE() << "no free folder name for " << prefix;
  return {};
}

}  // namespace test_support
