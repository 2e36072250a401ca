#include "app/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

MappedFile::~MappedFile() {
  if (size_ != 0) ::munmap(const_cast<char*>(data_), size_);
}

bool MappedFile::Open(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  auto fail = [&](int code) {
    if (error != nullptr) *error = std::strerror(code);
    if (fd >= 0) ::close(fd);
    return false;
  };
  if (fd < 0) return fail(errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(errno);
  if (!S_ISREG(info.st_mode)) return fail(EINVAL);
  const auto size = static_cast<std::size_t>(info.st_size);
  if (size != 0) {
    // Populated up front: one pass over the page cache instead of a fault every few pages.
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED) return fail(errno);
    // One pass from front to back: let the kernel read ahead generously.
    ::madvise(map, size, MADV_SEQUENTIAL);
    data_ = static_cast<const char*>(map);
    size_ = size;
  }
  ::close(fd);
  return true;
}
