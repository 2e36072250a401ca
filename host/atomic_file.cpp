// The temporary's name carries the process id and a counter and is created with O_EXCL, so two
// saves (in one process or several) never share one.
#include "host/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

std::string ErrnoText(const std::string& action, int err) { return action + ": " + std::strerror(err); }

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

AtomicFileWriter::~AtomicFileWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (!tempPath_.empty() && !committed_) ::unlink(tempPath_.c_str());
}

bool AtomicFileWriter::Open(const std::string& target, std::string* why) {
  static std::atomic<unsigned> counter{0};
  target_ = target;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
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
  while (n > 0) {
    const ssize_t done = ::write(fd, bytes, n);
    if (done < 0 && errno == EINTR) continue;
    // A write that takes nothing would repeat for ever; there is no errno to name it by.
    if (done <= 0) {
      *why = ErrnoText("write", done < 0 ? errno : EIO);
      return false;
    }
    bytes += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}

bool AtomicFileWriter::Write(const unsigned char* bytes, std::size_t n, std::string* why) {
  return WriteAll(fd_, bytes, n, why);
}

bool AtomicFileWriter::Commit(std::string* why) {
  if (::fsync(fd_) != 0) {
    *why = ErrnoText("fsync", errno);
    return false;
  }
  // On some file systems a failed write only shows up at close.
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    *why = ErrnoText("close", errno);
    return false;
  }
  if (::rename(tempPath_.c_str(), target_.c_str()) != 0) {
    *why = ErrnoText("renaming " + tempPath_ + " over it", errno);
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
