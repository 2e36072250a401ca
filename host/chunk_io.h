// Chunked scene files: the host's ISave/ILoad, a memory and a file writer, a memory reader, and
// the crash-safe save and the capped load of a whole scene file.
//
// Scene file format, version 1. Every integer is little-endian whatever the machine's order.
//
//   file   := header chunk*
//   header := magic "VLDS" (bytes 56 4C 44 53), u32 format version (1)        -- 8 bytes
//   chunk  := u16 id, u64 length, then `length` bytes of body                  -- 10 + length
//
// `length` counts the body only, never the 10-byte chunk header. A body is opaque bytes: plain
// data, a run of nested chunks, or data followed by chunks. Only the code that wrote a chunk
// knows which, and it reads the body back in the order it wrote it. Top-level chunks run to the
// end of the file; there is no trailer and no count, so a file cut exactly after a top-level
// chunk is a valid, shorter scene (a record set that must be complete writes its own end record).
//
// Writers do not know a chunk's length when they begin it: BeginChunk writes the header with a
// zero length and EndChunk goes back and writes the real one (the memory writer patches its
// buffer, the file writer uses pwrite at the header's offset, so its file must be seekable).
//
// Reading trusts nothing in the bytes:
// - a chunk's length must fit in what is left of its parent chunk (or of the file at the top
//   level), compared as `length > remaining` in 64-bit arithmetic, so no sum can wrap;
// - chunks nest at most kMaxChunkDepth deep, counting the top level as depth 1;
// - Read never passes the end of the open chunk, and nothing is ever allocated from a length
//   in the file;
// - every OpenChunk consumes a 10-byte header and the read position never moves backwards, so a
//   walk over n bytes makes at most n / 10 successful OpenChunk calls, each in constant time;
//   millions of tiny chunks cost linear time and need no separate count cap.
// A malformed header sets a sticky error: the reader no longer knows where the next chunk
// starts, so every later OpenChunk, Read and CloseChunk returns IO_ERROR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum IOResult { IO_OK = 0, IO_END = 1, IO_ERROR = 2 };

inline constexpr unsigned char kSceneFileMagic[4] = {'V', 'L', 'D', 'S'};
inline constexpr std::uint32_t kSceneFileVersion = 1;
inline constexpr std::size_t kSceneFileHeaderBytes = 8;
inline constexpr std::size_t kChunkHeaderBytes = 10;
inline constexpr int kMaxChunkDepth = 64;
// LoadSceneFile reads a whole file into memory; a bigger file is refused before it is read.
inline constexpr std::uint64_t kMaxSceneFileBytes = std::uint64_t{1} << 31;

// What a plug-in writes its records through. Not safe to share between threads.
class ISave {
 public:
  virtual ~ISave() = default;
  // Starts a chunk inside the open one (or at the top level). Failures are reported by the
  // next Write and by the concrete writer's Error(), as the host's signature has no result.
  virtual void BeginChunk(unsigned short id) = 0;
  // Ends the innermost open chunk and fixes its length.
  virtual void EndChunk() = 0;
  // Appends nbytes from buf to the open chunk. *nwritten (nwritten may be null) gets the count
  // that reached the output; IO_ERROR when that is short, when no chunk is open, or after any
  // earlier failure of this writer.
  virtual IOResult Write(const void* buf, unsigned long nbytes, unsigned long* nwritten) = 0;
};

// What a plug-in reads its records through. Not safe to share between threads.
class ILoad {
 public:
  virtual ~ILoad() = default;
  // Opens the next chunk at the current nesting level: IO_OK, IO_END at the end of the
  // enclosing chunk (or of the file at the top level), IO_ERROR on a malformed header.
  virtual IOResult OpenChunk() = 0;
  // ID of the innermost open chunk; 0 when none is open.
  virtual unsigned short CurChunkID() = 0;
  // Body length of the innermost open chunk in bytes; 0 when none is open. Never more than
  // what the file holds, but a plug-in still checks it against its own limits before it
  // allocates for it.
  virtual unsigned long long CurChunkLength() = 0;
  // Closes the innermost open chunk, skipping whatever of it was not read. IO_ERROR when no
  // chunk is open or the reader has failed.
  virtual IOResult CloseChunk() = 0;
  // Copies up to nbytes of the open chunk into buf. Never reads past the chunk's end: a read
  // that does not fit copies what is left, puts the count in *nread (nread may be null) and
  // returns IO_ERROR, leaving the position at the chunk's end.
  virtual IOResult Read(void* buf, unsigned long nbytes, unsigned long* nread) = 0;
};

// The writer's chunk bookkeeping, shared by the memory and the file writer. After the first
// failure every call is a no-op and Write returns IO_ERROR; Error() says what went wrong first.
class ChunkSave : public ISave {
 public:
  void BeginChunk(unsigned short id) final;
  void EndChunk() final;
  IOResult Write(const void* buf, unsigned long nbytes, unsigned long* nwritten) final;

  bool Failed() const { return !error_.empty(); }
  const std::string& Error() const { return error_; }
  // Chunks begun and not yet ended; a complete scene has none.
  int OpenChunkCount() const { return static_cast<int>(open_.size()); }
  // Bytes written so far, file header included.
  std::uint64_t Size() const { return size_; }

 protected:
  ChunkSave() = default;
  // Derived constructors call this once their output is ready.
  void WriteFileHeader();
  void Fail(std::string what);
  // Appends n bytes at the end of the output; false (with the reason in *why) when not all of
  // them got there.
  virtual bool Append(const unsigned char* bytes, std::size_t n, std::string* why) = 0;
  // Overwrites n bytes already written at offset.
  virtual bool Patch(std::uint64_t offset, const unsigned char* bytes, std::size_t n, std::string* why) = 0;

 private:
  struct OpenChunkRecord {
    unsigned short id;
    std::uint64_t headerOffset;
  };
  std::vector<OpenChunkRecord> open_;
  std::uint64_t size_ = 0;
  std::string error_;
};

// Builds a scene file in memory, for tests, fuzz corpora and undo buffers.
class MemorySave final : public ChunkSave {
 public:
  MemorySave();
  const std::vector<unsigned char>& Bytes() const { return bytes_; }

 private:
  bool Append(const unsigned char* bytes, std::size_t n, std::string* why) override;
  bool Patch(std::uint64_t offset, const unsigned char* bytes, std::size_t n, std::string* why) override;
  std::vector<unsigned char> bytes_;
};

// Reads a scene file held in memory. The bytes are borrowed: they must outlive the reader and
// stay unchanged. The file header is checked on construction; a bad one fails every call.
class MemoryLoad final : public ILoad {
 public:
  MemoryLoad(const void* data, std::size_t size);

  IOResult OpenChunk() override;
  unsigned short CurChunkID() override;
  unsigned long long CurChunkLength() override;
  IOResult CloseChunk() override;
  IOResult Read(void* buf, unsigned long nbytes, unsigned long* nread) override;

  // The latest problem, naming the byte offset, the path of open chunk IDs and what was wrong;
  // empty while there has been none.
  const std::string& Error() const { return error_; }
  // True after a malformed file or chunk header (see the top of this file).
  bool Failed() const { return failed_; }
  // The read position as a byte offset from the start of the file.
  std::uint64_t Offset() const { return pos_; }
  // "offset N, chunk 0x0010/0x0002": for messages about records a caller refuses.
  std::string Where() const;
  std::uint32_t Version() const { return version_; }

 private:
  struct Frame {
    unsigned short id;
    std::uint64_t start;  // offset of the chunk's body
    std::uint64_t end;    // offset one past the chunk's body
  };
  std::string WhereAt(std::uint64_t offset) const;
  IOResult Refuse(std::uint64_t at, const std::string& what, bool sticky);
  std::uint64_t LevelEnd() const { return frames_.empty() ? size_ : frames_.back().end; }

  const unsigned char* data_;
  std::uint64_t size_;
  std::uint64_t pos_ = 0;
  std::uint32_t version_ = 0;
  std::vector<Frame> frames_;
  std::string error_;
  bool failed_ = false;
};

// Writes body as one whole chunk id at the writer's current level. IO_ERROR when the write fails
// or does not take every byte.
IOResult WriteChunkBytes(ISave& save, unsigned short id, const std::vector<unsigned char>& body);

// Reads the open chunk's body into *body, from its start: call it before anything of the chunk
// has been read. A body longer than limit is refused before anything is allocated for it, as a
// length in a file must not decide an allocation. False when refused or on a short read.
bool ReadChunkBytes(ILoad& load, std::uint64_t limit, std::vector<unsigned char>* body);

// Saves a scene crash-safely: writeRecords writes into a temporary file in path's folder; only
// when it returns IO_OK with every chunk ended, every write and the close succeeded and the
// data is flushed to disk is the temporary renamed over path. On any failure the temporary is
// removed, path is left byte for byte as it was, IO_ERROR is returned and *error (error may be
// null) names the file and the problem. A replaced file keeps its permission bits.
IOResult SaveSceneFile(const std::string& path, const std::function<IOResult(ISave&)>& writeRecords,
                       std::string* error);

// Reads the whole file at path into memory (refusing one larger than maxBytes) and hands a
// reader over it to readRecords, whose result is returned. On IO_ERROR, *error (error may be
// null) names the file, the offset, the chunk and the problem; when readRecords refuses a record
// without the reader having seen a problem, the message says where the reader stood.
IOResult LoadSceneFile(const std::string& path, const std::function<IOResult(ILoad&)>& readRecords, std::string* error,
                       std::uint64_t maxBytes = kMaxSceneFileBytes);
