#include "studio/path_policy.h"

#include <algorithm>

namespace fs = std::filesystem;

namespace {

// Whether path (canonical) is root (canonical) or below it: a component-wise prefix, so that
// "/data/ab" is not taken for a file inside "/data/a".
bool IsInside(const fs::path& path, const fs::path& root) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p) {
    if (r->empty()) continue;  // the trailing empty element of "/a/b/"
    if (p == path.end() || *p != *r) return false;
  }
  return true;
}

// The lexical checks every request passes before the file system is asked anything.
bool Acceptable(const std::string& relative, std::string* error) {
  if (relative.empty()) {
    *error = "no file named";
    return false;
  }
  if (relative.find('\0') != std::string::npos) {
    *error = "the file name holds a NUL byte";
    return false;
  }
  const fs::path path(relative);
  if (path.is_absolute() || path.has_root_name() || path.has_root_directory()) {
    *error = relative + ": absolute paths are refused; name a file inside a root folder";
    return false;
  }
  for (const fs::path& part : path) {
    if (part == "..") {
      *error = relative + ": \"..\" is refused; name a file inside a root folder";
      return false;
    }
  }
  return true;
}

}  // namespace

PathPolicy::PathPolicy(const std::vector<fs::path>& roots, std::string* error) {
  for (const fs::path& root : roots) {
    std::error_code ec;
    fs::path real = fs::canonical(root, ec);
    if (ec || !fs::is_directory(real, ec)) {
      if (error != nullptr) *error += root.string() + ": not a folder; ";
      continue;
    }
    if (std::find(roots_.begin(), roots_.end(), real) == roots_.end()) roots_.push_back(real);
  }
}

std::optional<fs::path> PathPolicy::ForReading(const std::string& relative, std::string* error) const {
  if (!Acceptable(relative, error)) return std::nullopt;
  for (const fs::path& root : roots_) {
    std::error_code ec;
    const fs::path real = fs::canonical(root / relative, ec);
    if (ec) continue;
    if (!IsInside(real, root)) {
      *error = relative + ": leads outside the root folder";
      return std::nullopt;
    }
    if (!fs::is_regular_file(real, ec)) {
      *error = relative + ": not a file";
      return std::nullopt;
    }
    return real;
  }
  *error = relative + ": no such file in the root folders";
  return std::nullopt;
}

std::optional<fs::path> PathPolicy::ForWriting(const std::string& relative, std::size_t rootIndex,
                                               std::string* error) const {
  if (!Acceptable(relative, error)) return std::nullopt;
  if (rootIndex >= roots_.size()) {
    *error = "no root folder number " + std::to_string(rootIndex);
    return std::nullopt;
  }
  const fs::path& root = roots_[rootIndex];
  const fs::path target = root / relative;
  std::error_code ec;
  const fs::path folder = fs::canonical(target.parent_path(), ec);
  if (ec || !fs::is_directory(folder, ec)) {
    *error = relative + ": its folder does not exist";
    return std::nullopt;
  }
  if (!IsInside(folder, root)) {
    *error = relative + ": leads outside the root folder";
    return std::nullopt;
  }
  if (!target.has_filename() || target.filename() == ".") {
    *error = relative + ": names a folder, not a file";
    return std::nullopt;
  }
  const fs::path file = folder / target.filename();
  const fs::file_status status = fs::symlink_status(file, ec);
  if (fs::is_symlink(status)) {
    // The writer replaces the link by a file, but refuse one that points outside all the same:
    // the user meant the file it leads to.
    const fs::path real = fs::weakly_canonical(file, ec);
    if (ec || !IsInside(real, root)) {
      *error = relative + ": a symbolic link that leads outside the root folder";
      return std::nullopt;
    }
  } else if (fs::exists(status) && !fs::is_regular_file(status)) {
    *error = relative + ": not a file";
    return std::nullopt;
  }
  return file;
}

std::optional<std::string> PathPolicy::RelativeName(const fs::path& file) const {
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(file, ec);
  if (ec) return std::nullopt;
  for (const fs::path& root : roots_) {
    if (IsInside(real, root)) return real.lexically_relative(root).generic_string();
  }
  return std::nullopt;
}
