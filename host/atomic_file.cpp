// The temporary's name carries the process id and a counter and is created exclusively, so two
// saves (in one process or several) never share one.
#include "host/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// The few file calls the writer makes, one version per system. Each returns what its POSIX
// namesake returns and leaves the reason in errno.
#ifdef _WIN32
// A file name (one component) may be 255 characters long on NTFS and FAT alike.
constexpr std::size_t kNameMax = 255;
constexpr const char* kSeparators = "/\\";

int OpenExclusive(const std::string& name) {
  // Binary, or the C runtime would turn every 0x0A written into 0x0D 0x0A.
  return ::_open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
long long WriteSome(int fd, const unsigned char* bytes, std::size_t n) {
  return ::_write(fd, bytes, static_cast<unsigned>(std::min<std::size_t>(n, INT_MAX)));
}
// No pwrite here. The descriptor is the writer's own, so seeking there and back is the same, as
// long as the appends that follow still start where the file ends.
long long WriteSomeAt(int fd, const unsigned char* bytes, std::size_t n, std::uint64_t at) {
  const long long end = ::_telli64(fd);
  if (end < 0 || ::_lseeki64(fd, static_cast<long long>(at), SEEK_SET) < 0) return -1;
  const long long done = WriteSome(fd, bytes, n);
  const int err = errno;
  if (::_lseeki64(fd, end, SEEK_SET) < 0) return -1;
  errno = err;
  return done;
}
int SyncFile(int fd) { return ::_commit(fd); }
int CloseFile(int fd) { return ::_close(fd); }
void RemoveFile(const std::string& path) { ::_unlink(path.c_str()); }
int ProcessId() { return ::_getpid(); }

int ErrnoFromWindows(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    default: return EIO;
  }
}

// rename() will not replace an existing file on Windows; MoveFileEx does, and with write-through
// it returns only once the move is on disk.
int ReplaceFile(const std::string& from, const std::string& to) {
  if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
  const DWORD error = ::GetLastError();
  // Windows calls a folder in the way "access denied"; the message should say what it is.
  const DWORD attributes = ::GetFileAttributesA(to.c_str());
  const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  errno = folder ? EISDIR : ErrnoFromWindows(error);
  return -1;
}

// A new file takes its access rights from the folder, as the file it replaces did.
bool CopyPermissions(int, const std::string&) { return true; }
// Write-through on the move already made the rename durable.
void SyncFolder(const std::string&) {}
// Links and device files are rare enough on Windows that a target is taken as named.
bool FollowLinks(const std::string& path, std::string* resolved) {
  *resolved = path;
  return true;
}
bool IsSpecialFile(const std::string&) { return false; }
int OpenInPlace(const std::string&) {
  errno = EINVAL;
  return -1;
}
#else
constexpr std::size_t kNameMax = NAME_MAX;
constexpr const char* kSeparators = "/";

int OpenExclusive(const std::string& name) {
  return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
long long WriteSome(int fd, const unsigned char* bytes, std::size_t n) { return ::write(fd, bytes, n); }
long long WriteSomeAt(int fd, const unsigned char* bytes, std::size_t n, std::uint64_t at) {
  return ::pwrite(fd, bytes, n, static_cast<off_t>(at));
}
int SyncFile(int fd) { return ::fsync(fd); }
int CloseFile(int fd) { return ::close(fd); }
void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }
int ProcessId() { return static_cast<int>(::getpid()); }
int ReplaceFile(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()); }

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Replacing a file must not change who may read it.
bool CopyPermissions(int fd, const std::string& target) {
  struct stat old {};
  return ::stat(target.c_str(), &old) != 0 || ::fchmod(fd, old.st_mode & 07777) == 0;
}

// The file a chain of links ends at (itself when path is no link), which need not exist yet.
// A relative link is read from its own folder, as the system reads it. False, with errno, for a
// loop or a chain longer than the system would follow.
bool FollowLinks(const std::string& path, std::string* resolved) {
  std::string at = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info {};
    if (::lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      *resolved = at;
      return true;
    }
    std::string link(PATH_MAX, '\0');
    const ssize_t n = ::readlink(at.c_str(), link.data(), link.size());
    if (n < 0) return false;
    link.resize(static_cast<std::size_t>(n));
    at = link.empty() || link[0] == '/' ? link : FolderOf(at) + "/" + link;
  }
  errno = ELOOP;
  return false;
}

// A device, pipe or socket: renaming a file over it would take it away from whoever uses it.
bool IsSpecialFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

int OpenInPlace(const std::string& path) { return ::open(path.c_str(), O_WRONLY | O_CLOEXEC); }

// Makes the rename itself survive a power cut. Best effort: the new file is complete and in
// place either way, and some file systems refuse fsync on a folder.
void SyncFolder(const std::string& target) {
  const int folder = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
}
#endif

std::string ErrnoText(const std::string& action, int err) { return action + ": " + std::strerror(err); }

// Any name the folder accepts for the target must get a temporary too, so a long name is cut
// short to leave room for the suffix.
std::string TemporaryName(const std::string& target, const std::string& suffix) {
  const std::size_t slash = target.find_last_of(kSeparators);
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t nameBytes = std::min<std::size_t>(target.size() - nameStart, kNameMax - suffix.size());
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
    long long done = -1;
    if (const int fault = InjectedFault(FileCall::Write)) {
      errno = fault;
    } else {
      done = offset ? WriteSomeAt(fd, bytes, n, at) : WriteSome(fd, bytes, n);
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
  if (fd_ >= 0) CloseFile(fd_);
  if (!tempPath_.empty() && !committed_) RemoveFile(tempPath_);
}

bool AtomicFileWriter::Open(const std::string& target, std::string* why) {
  static std::atomic<unsigned> counter{0};
  // Asked of the name as given: the system's own links (/dev/stdout to a pipe) lead to objects
  // that only opening the name reaches, whatever reading the link says.
  if (IsSpecialFile(target)) {
    // Nothing to keep whole there: the bytes go straight in, and its errors are the save's.
    target_ = target;
    inPlace_ = true;
    fd_ = OpenInPlace(target_);
    if (fd_ < 0) {
      *why = ErrnoText("opening " + target_, errno);
      return false;
    }
    return true;
  }
  if (!FollowLinks(target, &target_)) {
    *why = ErrnoText("following the link", errno);
    return false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name =
        TemporaryName(target_, ".tmp." + std::to_string(ProcessId()) + "." + std::to_string(counter++));
    fd_ = OpenExclusive(name);
    if (fd_ >= 0) {
      tempPath_ = name;
      if (!CopyPermissions(fd_, target_)) {
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
  int err = 0;
  if (inPlace_) {
    // A pipe or a terminal has nothing to flush to (fsync refuses them); close still reports a
    // device's late write error.
    const int fd = fd_;
    fd_ = -1;
    if (CloseFile(fd) != 0) {
      *why = ErrnoText("close", errno);
      return false;
    }
    committed_ = true;
    return true;
  }
  err = InjectedFault(FileCall::Fsync);
  if (err == 0 && SyncFile(fd_) != 0) err = errno;
  if (err != 0) {
    *why = ErrnoText("fsync", err);
    return false;
  }
  // On some file systems a failed write only shows up at close.
  const int fd = fd_;
  fd_ = -1;
  err = InjectedFault(FileCall::Close);
  if (CloseFile(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    *why = ErrnoText("close", err);
    return false;
  }
  err = InjectedFault(FileCall::Rename);
  if (err == 0 && ReplaceFile(tempPath_, target_) != 0) err = errno;
  if (err != 0) {
    *why = ErrnoText("renaming " + tempPath_ + " over it", err);
    return false;
  }
  committed_ = true;
  SyncFolder(target_);
  return true;
}
