#include "app/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

MappedFile::~MappedFile() {
  if (size_ != 0) ::munmap(const_cast<char*>(data_), size_);
}

bool MappedFile::Open(const std::string& path, std::string* error, bool populate) {
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
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | (populate ? MAP_POPULATE : 0), fd, 0);
    if (map == MAP_FAILED) return fail(errno);
    // One pass from front to back: let the kernel read ahead generously.
    ::madvise(map, size, MADV_SEQUENTIAL);
    data_ = static_cast<const char*>(map);
    size_ = size;
  }
  ::close(fd);
  return true;
}

void MappedFile::Release(std::size_t offset, std::size_t length) const {
  if (offset >= size_ || length == 0) return;
  // Whole pages round the range: a page the caller still needs only comes back on its next touch.
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t begin = offset / page * page;
  const std::size_t end = std::min(size_, offset + std::min(length, size_ - offset));
  // The mapping is read-only, so dropping its pages discards nothing the file does not hold.
  ::madvise(const_cast<char*>(data_) + begin, end - begin, MADV_DONTNEED);
}
