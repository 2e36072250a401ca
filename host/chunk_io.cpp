#include "host/chunk_io.h"

#include "host/atomic_file.h"
#include "host/byte_order.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

std::string Hex16(unsigned short id) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(id));
  return text;
}

std::string ErrnoText(const char* action, int err) { return std::string(action) + ": " + std::strerror(err); }

}  // namespace

// ---- Writing ----------------------------------------------------------------------------------

void ChunkSave::Fail(std::string what) {
  if (error_.empty()) error_ = std::move(what);
}

void ChunkSave::WriteFileHeader() {
  unsigned char header[kSceneFileHeaderBytes];
  std::memcpy(header, kSceneFileMagic, 4);
  StoreLE32(header + 4, kSceneFileVersion);
  std::string why;
  if (!Append(header, sizeof header, &why)) return Fail("writing the file header: " + why);
  size_ = sizeof header;
}

void ChunkSave::BeginChunk(unsigned short id) {
  if (Failed()) return;
  // A deeper chunk would make a file that our own reader refuses.
  if (open_.size() >= static_cast<std::size_t>(kMaxChunkDepth)) {
    return Fail("chunk " + Hex16(id) + " would nest deeper than " + std::to_string(kMaxChunkDepth) + " levels");
  }
  unsigned char header[kChunkHeaderBytes];
  StoreLE16(header, id);
  StoreLE64(header + 2, 0);  // patched by EndChunk
  std::string why;
  if (!Append(header, sizeof header, &why)) {
    return Fail("offset " + std::to_string(size_) + ": writing the header of chunk " + Hex16(id) + ": " + why);
  }
  open_.push_back({id, size_});
  size_ += sizeof header;
}

void ChunkSave::EndChunk() {
  if (Failed()) return;
  if (open_.empty()) return Fail("EndChunk without an open chunk");
  const OpenChunkRecord chunk = open_.back();
  open_.pop_back();
  unsigned char length[8];
  StoreLE64(length, size_ - chunk.headerOffset - kChunkHeaderBytes);
  std::string why;
  if (!Patch(chunk.headerOffset + 2, length, sizeof length, &why)) {
    Fail("offset " + std::to_string(chunk.headerOffset) + ": fixing the length of chunk " + Hex16(chunk.id) + ": " +
         why);
  }
}

IOResult ChunkSave::Write(const void* buf, unsigned long nbytes, unsigned long* nwritten) {
  if (nwritten) *nwritten = 0;
  if (Failed()) return IO_ERROR;
  // Bytes outside every chunk would be read back as a chunk header.
  if (open_.empty()) {
    Fail("offset " + std::to_string(size_) + ": Write outside any chunk");
    return IO_ERROR;
  }
  std::string why;
  const std::uint64_t before = size_;
  const bool ok = nbytes == 0 || Append(static_cast<const unsigned char*>(buf), nbytes, &why);
  if (!ok) {
    Fail("offset " + std::to_string(before) + " in chunk " + Hex16(open_.back().id) + ": " + why);
    return IO_ERROR;
  }
  size_ += nbytes;
  if (nwritten) *nwritten = nbytes;
  return IO_OK;
}

MemorySave::MemorySave() { WriteFileHeader(); }

bool MemorySave::Append(const unsigned char* bytes, std::size_t n, std::string*) {
  bytes_.insert(bytes_.end(), bytes, bytes + n);
  return true;
}

bool MemorySave::Patch(std::uint64_t offset, const unsigned char* bytes, std::size_t n, std::string* why) {
  if (offset > bytes_.size() || n > bytes_.size() - offset) {
    *why = "patch outside the written bytes";
    return false;
  }
  std::memcpy(bytes_.data() + offset, bytes, n);
  return true;
}

IOResult WriteChunkBytes(ISave& save, unsigned short id, const std::vector<unsigned char>& body) {
  save.BeginChunk(id);
  unsigned long written = 0;
  const IOResult result = save.Write(body.data(), static_cast<unsigned long>(body.size()), &written);
  save.EndChunk();
  return result == IO_OK && written == body.size() ? IO_OK : IO_ERROR;
}

namespace {

// Writes through a file descriptor it does not own, which must be seekable: EndChunk goes back
// to fix each chunk's length.
class FileSave final : public ChunkSave {
 public:
  explicit FileSave(int fd) : fd_(fd) { WriteFileHeader(); }

 private:
  bool Append(const unsigned char* bytes, std::size_t n, std::string* why) override {
    return WriteAll(fd_, bytes, n, why);
  }

  bool Patch(std::uint64_t offset, const unsigned char* bytes, std::size_t n, std::string* why) override {
    return WriteAllAt(fd_, offset, bytes, n, why);
  }

  int fd_;
};

IOResult Refused(std::string* error, const std::string& path, const std::string& what) {
  if (error) *error = path + ": " + what;
  return IO_ERROR;
}

}  // namespace

IOResult SaveSceneFile(const std::string& path, const std::function<IOResult(ISave&)>& writeRecords,
                       std::string* error) {
  std::string why;
  AtomicFileWriter temp;
  if (!temp.Open(path, &why)) return Refused(error, path, why);

  FileSave save(temp.fd());
  const IOResult result = writeRecords(save);
  if (save.Failed()) return Refused(error, path, save.Error());
  if (result != IO_OK) return Refused(error, path, "the scene's records could not be written");
  if (save.OpenChunkCount() != 0) {
    return Refused(error, path, std::to_string(save.OpenChunkCount()) + " chunk(s) begun and never ended");
  }
  if (!temp.Commit(&why)) return Refused(error, path, why);
  if (error) error->clear();
  return IO_OK;
}

// ---- Reading ----------------------------------------------------------------------------------

MemoryLoad::MemoryLoad(const void* data, std::size_t size)
    : data_(static_cast<const unsigned char*>(data)), size_(size) {
  if (size_ < kSceneFileHeaderBytes) {
    Refuse(0,
           "the file is " + std::to_string(size_) + " bytes, too short for the " +
               std::to_string(kSceneFileHeaderBytes) + "-byte scene file header",
           true);
    return;
  }
  if (std::memcmp(data_, kSceneFileMagic, 4) != 0) {
    Refuse(0, "not a scene file (the magic bytes are not \"VLDS\")", true);
    return;
  }
  version_ = LoadLE32(data_ + 4);
  if (version_ == 0 || version_ > kSceneFileVersion) {
    Refuse(4,
           "format version " + std::to_string(version_) + " is not one this host reads (1 to " +
               std::to_string(kSceneFileVersion) + ")",
           true);
    return;
  }
  pos_ = kSceneFileHeaderBytes;
}

std::string MemoryLoad::Where() const { return WhereAt(pos_); }

std::string MemoryLoad::WhereAt(std::uint64_t offset) const {
  std::string where = "offset " + std::to_string(offset);
  if (frames_.empty()) return where + ", top level";
  where += ", chunk ";
  for (std::size_t i = 0; i < frames_.size(); ++i) {
    if (i != 0) where += '/';
    where += Hex16(frames_[i].id);
  }
  return where;
}

IOResult MemoryLoad::Refuse(std::uint64_t at, const std::string& what, bool sticky) {
  error_ = WhereAt(at) + ": " + what;
  if (sticky) failed_ = true;
  return IO_ERROR;
}

IOResult MemoryLoad::OpenChunk() {
  if (failed_) return IO_ERROR;
  const std::uint64_t end = LevelEnd();
  if (pos_ == end) return IO_END;
  const std::uint64_t remaining = end - pos_;
  const std::string parent = frames_.empty() ? "the file" : "chunk " + Hex16(frames_.back().id);
  if (remaining < kChunkHeaderBytes) {
    return Refuse(pos_, "truncated chunk header: " + std::to_string(remaining) + " bytes left in " + parent, true);
  }
  const unsigned short id = LoadLE16(data_ + pos_);
  const std::uint64_t length = LoadLE64(data_ + pos_ + 2);
  if (length > remaining - kChunkHeaderBytes) {
    return Refuse(pos_,
                  "chunk " + Hex16(id) + " claims " + std::to_string(length) + " bytes but " + parent + " has " +
                      std::to_string(remaining - kChunkHeaderBytes) + " left",
                  true);
  }
  if (frames_.size() >= static_cast<std::size_t>(kMaxChunkDepth)) {
    return Refuse(pos_, "chunk " + Hex16(id) + " nests deeper than " + std::to_string(kMaxChunkDepth) + " levels",
                  true);
  }
  pos_ += kChunkHeaderBytes;
  frames_.push_back({id, pos_, pos_ + length});
  return IO_OK;
}

unsigned short MemoryLoad::CurChunkID() { return frames_.empty() ? 0 : frames_.back().id; }

unsigned long long MemoryLoad::CurChunkLength() {
  return frames_.empty() ? 0 : frames_.back().end - frames_.back().start;
}

IOResult MemoryLoad::CloseChunk() {
  if (frames_.empty()) return Refuse(pos_, "CloseChunk without an open chunk", false);
  pos_ = frames_.back().end;
  frames_.pop_back();
  return failed_ ? IO_ERROR : IO_OK;
}

IOResult MemoryLoad::Read(void* buf, unsigned long nbytes, unsigned long* nread) {
  if (nread) *nread = 0;
  if (failed_) return IO_ERROR;
  if (frames_.empty()) return Refuse(pos_, "Read outside any chunk", false);
  const std::uint64_t left = frames_.back().end - pos_;
  const std::uint64_t n = std::min<std::uint64_t>(nbytes, left);
  if (n > 0) std::memcpy(buf, data_ + pos_, static_cast<std::size_t>(n));
  pos_ += n;
  if (nread) *nread = static_cast<unsigned long>(n);
  if (n < nbytes) {
    return Refuse(
        pos_ - n,
        "a read of " + std::to_string(nbytes) + " bytes passes the end of the chunk (" + std::to_string(n) + " left)",
        false);
  }
  return IO_OK;
}

bool ReadChunkBytes(ILoad& load, std::uint64_t limit, std::vector<unsigned char>* body) {
  const std::uint64_t length = load.CurChunkLength();
  if (length > limit) return false;
  body->resize(static_cast<std::size_t>(length));
  unsigned long got = 0;
  return load.Read(body->data(), static_cast<unsigned long>(body->size()), &got) == IO_OK && got == body->size();
}

IOResult LoadSceneFile(const std::string& path, const std::function<IOResult(ILoad&)>& readRecords, std::string* error,
                       std::uint64_t maxBytes) {
  // Binary mode: on Windows text mode would drop every 0x0D before a 0x0A and stop at 0x1A.
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return Refused(error, path, ErrnoText("open", errno));

  // The buffer grows with the bytes that actually arrive, never with a size someone claims.
  std::vector<unsigned char> bytes;
  unsigned char block[1 << 16];
  for (;;) {
    const std::size_t got = std::fread(block, 1, sizeof block, file.get());
    if (got == 0) {
      if (std::ferror(file.get())) return Refused(error, path, ErrnoText("read", errno));
      break;
    }
    if (static_cast<std::uint64_t>(got) > maxBytes - bytes.size()) {
      return Refused(error, path, "larger than the " + std::to_string(maxBytes) + "-byte limit for scene files");
    }
    bytes.insert(bytes.end(), block, block + got);
  }

  MemoryLoad load(bytes.data(), bytes.size());
  const IOResult result = readRecords(load);
  if (result == IO_ERROR) {
    return Refused(error, path, load.Error().empty() ? load.Where() + ": a record was refused" : load.Error());
  }
  if (error) error->clear();
  return result;
}
