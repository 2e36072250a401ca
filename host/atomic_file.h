// Writing a file so that a reader never sees half of it: the bytes go to a temporary file in the
// target's folder, which is flushed and renamed over the target only when complete. On any
// failure (or when the writer is destroyed before Commit) the temporary is removed and the old
// target is left byte for byte as it was.
//
// Threads: one writer per thread; several writers may target the same folder at once.
#pragma once

#include <cstddef>
#include <string>

// Writes all n bytes to fd at its current offset. write() may take fewer bytes than asked or be
// interrupted; both are retried, and anything else is a failure, with the reason in *why.
bool WriteAll(int fd, const unsigned char* bytes, std::size_t n, std::string* why);

class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
  ~AtomicFileWriter();

  // Creates the temporary next to target, with target's permission bits when target exists.
  bool Open(const std::string& target, std::string* why);
  // The temporary's descriptor, for writers that seek (pwrite); -1 before Open.
  int fd() const { return fd_; }
  const std::string& TemporaryPath() const { return tempPath_; }
  // Appends all n bytes, retrying short and interrupted writes.
  bool Write(const unsigned char* bytes, std::size_t n, std::string* why);
  // Flushes, closes and renames the temporary over the target; every step is checked.
  bool Commit(std::string* why);

 private:
  int fd_ = -1;
  std::string target_;
  std::string tempPath_;
  bool committed_ = false;
};
