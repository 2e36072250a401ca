// Writing a file so that a reader never sees half of it: the bytes go to a temporary file in the
// target's folder, which is flushed and renamed over the target only when complete. On any
// failure (or when the writer is destroyed before Commit) the temporary is removed and the old
// target is left byte for byte as it was.
//
// Threads: one writer per thread; several writers may target the same folder at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Writes all n bytes to fd at its current offset. write() may take fewer bytes than asked or be
// interrupted; both are retried, and anything else is a failure, with the reason in *why.
bool WriteAll(int fd, const unsigned char* bytes, std::size_t n, std::string* why);
// The same through pwrite at offset, for going back over bytes already written; fd's own offset
// does not move.
bool WriteAllAt(int fd, std::uint64_t offset, const unsigned char* bytes, std::size_t n, std::string* why);

class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
  ~AtomicFileWriter();

  // Creates the temporary next to target, with target's permission bits when target exists. Its
  // name is target's (cut short when the suffix would not fit) and a suffix, never target's own.
  // A symbolic link as target is followed: the temporary goes beside the file it names, which is
  // what Commit replaces, and the link stays. A target that exists and is neither a regular file
  // nor a folder (a device, a pipe, a socket) is opened and written in place, with no temporary
  // and no rename; there is then no old content to keep, and a refused write fails the save.
  bool Open(const std::string& target, std::string* why);
  // The temporary's (or the special file's) descriptor, for writers that seek (WriteAllAt); -1
  // before Open.
  int fd() const { return fd_; }
  // Empty when the target is written in place.
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
  bool inPlace_ = false;
};

// ---- Test seam: failing system calls on purpose ------------------------------------------------
//
// A full disk, a failing device or a refused rename cannot be produced on demand, so tests
// install a hook that makes the calls above fail as those would. Nothing but tests installs one;
// without a hook each call costs a single atomic load.

enum class FileCall {
  Write,   // each write or pwrite system call of WriteAll and WriteAllAt, retries included
  Fsync,   // the temporary's flush in Commit
  Close,   // the temporary's close in Commit; the descriptor is released even when it fails
  Rename,  // the rename over the target in Commit
};

// Called before each such call with its kind and its index among the calls of that kind since
// the hook was installed, counting from 1. Returns 0 to let the call run, or an errno the call
// then fails with, exactly as if the system had returned it (EINTR on a write is retried).
using FileFaultHook = std::function<int(FileCall call, int index)>;

// Installs hook, or removes it when hook is empty, and restarts the counts. Call it only while
// no file is being written; the hook itself runs on whichever thread makes the call.
void SetFileFaultForTesting(FileFaultHook hook);
