// A whole file mapped read-only into memory, for readers that walk a large file once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  // False (and *error set, when not null) if the file cannot be opened or mapped; an empty file
  // maps to no bytes and succeeds.
  bool Open(const std::string& path, std::string* error);
  // Valid until the object dies; the bytes are not NUL-terminated.
  std::string_view bytes() const { return {data_, size_}; }

 private:
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};
