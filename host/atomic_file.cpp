// The temporary's name carries the process id and a counter and is created with O_EXCL, so two
// saves (in one process or several) never share one.
#include "host/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

std::string ErrnoText(const std::string& action, int err) { return action + ": " + std::strerror(err); }

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Any name the folder accepts for the target must get a temporary too, so a long name is cut
// short to leave room for the suffix.
std::string TemporaryName(const std::string& target, const std::string& suffix) {
  const std::size_t slash = target.find_last_of('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t nameBytes = std::min<std::size_t>(target.size() - nameStart, NAME_MAX - suffix.size());
  return target.substr(0, nameStart + nameBytes) + suffix;
}

// The flag is published after the hook is in place (release/acquire), so a thread that sees it
// set also sees the whole std::function.
std::atomic<bool> faultHookInstalled{false};
std::atomic<int> faultCallCounts[4];

FileFaultHook& FaultHook() {
  static FileFaultHook hook;
  return hook;
}

int InjectedFault(FileCall call) {
  if (!faultHookInstalled.load(std::memory_order_acquire)) return 0;
  const int index = faultCallCounts[static_cast<int>(call)].fetch_add(1, std::memory_order_relaxed) + 1;
  return FaultHook()(call, index);
}

// One loop for appends (offset null) and pwrites, so both retry and fail alike. A short pwrite
// resumes where it stopped, so its offset advances with the bytes.
bool WriteLoop(int fd, const std::uint64_t* offset, const unsigned char* bytes, std::size_t n, std::string* why) {
  std::uint64_t at = offset ? *offset : 0;
  while (n > 0) {
    ssize_t done = -1;
    if (const int fault = InjectedFault(FileCall::Write)) {
      errno = fault;
    } else {
      done = offset ? ::pwrite(fd, bytes, n, static_cast<off_t>(at)) : ::write(fd, bytes, n);
    }
    if (done < 0 && errno == EINTR) continue;
    // A write that takes nothing would repeat for ever; there is no errno to name it by.
    if (done <= 0) {
      *why = ErrnoText(offset ? "pwrite" : "write", done < 0 ? errno : EIO);
      return false;
    }
    bytes += done;
    n -= static_cast<std::size_t>(done);
    at += static_cast<std::uint64_t>(done);
  }
  return true;
}

}  // namespace

void SetFileFaultForTesting(FileFaultHook hook) {
  faultHookInstalled.store(false, std::memory_order_release);
  FaultHook() = std::move(hook);
  for (std::atomic<int>& count : faultCallCounts) count.store(0, std::memory_order_relaxed);
  faultHookInstalled.store(static_cast<bool>(FaultHook()), std::memory_order_release);
}

AtomicFileWriter::~AtomicFileWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (!tempPath_.empty() && !committed_) ::unlink(tempPath_.c_str());
}

bool AtomicFileWriter::Open(const std::string& target, std::string* why) {
  static std::atomic<unsigned> counter{0};
  target_ = target;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name =
        TemporaryName(target, ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++));
    fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      tempPath_ = name;
      // Replacing a file must not change who may read it.
      struct stat old {};
      if (::stat(target.c_str(), &old) == 0 && ::fchmod(fd_, old.st_mode & 07777) != 0) {
        *why = ErrnoText("copying permissions to the temporary", errno);
        return false;
      }
      return true;
    }
    if (errno != EEXIST) {
      *why = ErrnoText("creating " + name, errno);
      return false;
    }
  }
  *why = "creating a temporary next to it: every name tried exists";
  return false;
}

bool WriteAll(int fd, const unsigned char* bytes, std::size_t n, std::string* why) {
  return WriteLoop(fd, nullptr, bytes, n, why);
}

bool WriteAllAt(int fd, std::uint64_t offset, const unsigned char* bytes, std::size_t n, std::string* why) {
  return WriteLoop(fd, &offset, bytes, n, why);
}

bool AtomicFileWriter::Write(const unsigned char* bytes, std::size_t n, std::string* why) {
  return WriteAll(fd_, bytes, n, why);
}

bool AtomicFileWriter::Commit(std::string* why) {
  int err = InjectedFault(FileCall::Fsync);
  if (err == 0 && ::fsync(fd_) != 0) err = errno;
  if (err != 0) {
    *why = ErrnoText("fsync", err);
    return false;
  }
  // On some file systems a failed write only shows up at close.
  const int fd = fd_;
  fd_ = -1;
  err = InjectedFault(FileCall::Close);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    *why = ErrnoText("close", err);
    return false;
  }
  err = InjectedFault(FileCall::Rename);
  if (err == 0 && ::rename(tempPath_.c_str(), target_.c_str()) != 0) err = errno;
  if (err != 0) {
    *why = ErrnoText("renaming " + tempPath_ + " over it", err);
    return false;
  }
  committed_ = true;
  // Makes the rename itself survive a power cut. Best effort: the new file is complete and in
  // place either way, and some file systems refuse fsync on a folder.
  const int folder = ::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}
