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
  // maps to no bytes and succeeds. populate reads the whole file in at once (one pass over the
  // page cache for a reader that walks all of it once); without it pages come in as they are
  // touched, for a reader that walks the file in parts and lets each part go with Release.
  bool Open(const std::string& path, std::string* error, bool populate = true);
  // Valid until the object dies; the bytes are not NUL-terminated.
  std::string_view bytes() const { return {data_, size_}; }
  // Takes the pages holding bytes [offset, offset + length) out of this process's resident
  // memory. Nothing is lost: they are read again (mostly from the page cache) when touched.
  void Release(std::size_t offset, std::size_t length) const;

 private:
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};
