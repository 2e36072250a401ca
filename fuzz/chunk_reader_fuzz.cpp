// Any bytes as a scene file, walked through MemoryLoad the way a careless plug-in might: every
// chunk opened, its body read in uneven pieces (sometimes past its end), then searched for
// nested chunks whether or not it holds any. The reader promises never to read outside the
// input, never to move backwards, to keep every child inside its parent, and to hand back the
// file's own bytes; each of those is checked here against the input itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/chunk_io.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "chunk_reader_fuzz: %s\n", what);
  std::abort();
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// The walk's choices (piece sizes, whether to read before descending) must not come from the
// reader, or a reader bug could steer the walk away from itself; they come from the input's
// bytes through a fixed generator, so the same input always takes the same walk.
class Choices {
 public:
  Choices(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size && i < 64; ++i) state_ = state_ * 1099511628211ull ^ data[i];
    state_ ^= size;
  }
  std::uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }

 private:
  std::uint64_t state_ = 14695981039346656037ull;
};

struct Walker {
  Walker(MemoryLoad& reader, const std::uint8_t* bytes, std::size_t count)
      : load(reader), data(bytes), size(count), choices(bytes, count), lastOffset(reader.Offset()) {}

  MemoryLoad& load;
  const std::uint8_t* data;
  std::size_t size;
  Choices choices;
  std::uint64_t opened = 0;
  std::uint64_t lastOffset;
  std::vector<unsigned char> buffer;

  void CheckOffset() {
    const std::uint64_t offset = load.Offset();
    Check(offset >= lastOffset, "the read position moved backwards");
    Check(offset <= size, "the read position passed the end of the input");
    lastOffset = offset;
  }

  // Reads pieces of the open chunk, whose body runs from bodyStart to bodyEnd, comparing what
  // arrives with the input.
  void ReadPieces(std::uint64_t bodyEnd, int pieces) {
    for (int i = 0; i < pieces; ++i) {
      const std::uint64_t at = load.Offset();
      const std::uint64_t left = bodyEnd - at;
      // Mostly sizes that fit, sometimes exactly the rest, sometimes more than is left.
      std::uint64_t want;
      switch (choices.Next() % 4) {
        case 0: want = left; break;
        case 1: want = left + 1 + choices.Next() % 64; break;
        default: want = left == 0 ? 0 : choices.Next() % (left + 1); break;
      }
      want = std::min<std::uint64_t>(want, 1 << 20);
      buffer.assign(static_cast<std::size_t>(want) + 1, 0xA5);
      unsigned long got = 12345;
      const IOResult result = load.Read(buffer.data(), static_cast<unsigned long>(want), &got);
      Check(got <= want, "Read reported more bytes than were asked for");
      Check(got <= left, "Read passed the end of its chunk");
      Check(buffer[got] == 0xA5, "Read wrote past the count it reported");
      Check(std::memcmp(buffer.data(), data + at, got) == 0, "Read returned bytes the file does not hold there");
      if (load.Failed()) {
        Check(result == IO_ERROR && got == 0, "Read after a sticky error did something");
      } else {
        Check((result == IO_OK) == (got == want), "Read's result disagrees with its count");
        Check(load.Offset() == at + got, "Read moved the position by other than its count");
      }
      CheckOffset();
      if (result != IO_OK) return;
    }
  }

  // Walks one level: the file's top level at depth 0, a chunk's body below it.
  void Level(int depth, std::uint64_t levelEnd) {
    for (;;) {
      const std::uint64_t headerAt = load.Offset();
      const bool wasFailed = load.Failed();
      const IOResult opened_result = load.OpenChunk();
      CheckOffset();
      if (opened_result == IO_END) {
        Check(!wasFailed && headerAt == levelEnd, "IO_END before the end of the level");
        return;
      }
      if (opened_result == IO_ERROR) {
        Check(load.Failed(), "OpenChunk refused without a sticky error");
        Check(load.Offset() == headerAt, "a refused OpenChunk moved the position");
        return;
      }
      Check(!wasFailed, "OpenChunk succeeded after a sticky error");
      Check(depth < kMaxChunkDepth, "a chunk nests deeper than the limit");
      Check(++opened <= size / kChunkHeaderBytes, "more chunks opened than the input has headers for");
      const std::uint64_t bodyStart = load.Offset();
      Check(bodyStart == headerAt + kChunkHeaderBytes, "OpenChunk did not consume exactly one header");
      std::uint16_t id = 0;
      std::uint64_t length = 0;
      for (int k = 1; k >= 0; --k)
        id = static_cast<std::uint16_t>(id << 8 | data[headerAt + static_cast<std::size_t>(k)]);
      for (int k = 7; k >= 0; --k) length = length << 8 | data[headerAt + 2 + static_cast<std::size_t>(k)];
      Check(load.CurChunkID() == id, "CurChunkID is not the header's id");
      Check(load.CurChunkLength() == length, "CurChunkLength is not the header's length");
      const std::uint64_t bodyEnd = bodyStart + length;
      Check(bodyEnd <= levelEnd, "a chunk reaches past its parent");

      const std::uint64_t shape = choices.Next();
      if (shape & 1) ReadPieces(bodyEnd, static_cast<int>(shape >> 1 & 3));
      if (!load.Failed() && load.Offset() < bodyEnd) Level(depth + 1, bodyEnd);
      if (!load.Failed() && (shape & 8)) ReadPieces(bodyEnd, 1);

      Check(load.CurChunkID() == id, "the innermost chunk changed under the walk");
      const bool failedBefore = load.Failed();
      const IOResult closed = load.CloseChunk();
      CheckOffset();
      if (failedBefore) {
        Check(closed == IO_ERROR, "CloseChunk succeeded after a sticky error");
      } else {
        Check(closed == IO_OK, "CloseChunk failed on a healthy reader");
        Check(load.Offset() == bodyEnd, "CloseChunk did not land at the chunk's end");
      }
      if (load.Failed()) return;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryLoad load(data, size);
  const bool headerOk = size >= kSceneFileHeaderBytes && std::memcmp(data, kSceneFileMagic, 4) == 0 && data[4] == 1 &&
                        data[5] == 0 && data[6] == 0 && data[7] == 0;
  Check(load.Failed() != headerOk, "the file header was judged wrongly");

  // Outside any chunk nothing may be read or closed, and neither mistake may end the walk.
  unsigned char byte = 0;
  unsigned long got = 7;
  Check(load.Read(&byte, 1, &got) == IO_ERROR && got == 0, "Read outside any chunk");
  Check(load.CloseChunk() == IO_ERROR, "CloseChunk without an open chunk");
  Check(load.CurChunkID() == 0 && load.CurChunkLength() == 0, "a chunk seems open before any was");
  Check(load.Failed() != headerOk, "a misuse at the top level became a sticky error");

  Walker walker(load, data, size);
  walker.Level(0, size);
  if (load.Failed()) {
    Check(!load.Error().empty(), "a sticky error without a message");
    Check(load.OpenChunk() == IO_ERROR, "the error was not sticky");
  } else {
    Check(load.Offset() == size, "a healthy walk stopped before the end of the file");
    Check(load.OpenChunk() == IO_END, "IO_END is not repeatable");
  }

  // The whole-chunk helper on the first top-level chunk, with a limit from the input.
  MemoryLoad again(data, size);
  if (again.OpenChunk() == IO_OK) {
    std::vector<unsigned char> body;
    const std::uint64_t limit = size > 8 ? data[8] * 16u : 0;
    const std::uint64_t length = again.CurChunkLength();
    const bool read = ReadChunkBytes(again, limit, &body);
    Check(read == (length <= limit), "ReadChunkBytes judged its limit wrongly");
    if (read) {
      Check(body.size() == length, "ReadChunkBytes returned another length than the chunk's");
      Check(length == 0 || std::memcmp(body.data(), data + 18, body.size()) == 0,
            "ReadChunkBytes returned other bytes than the chunk's");
    }
    again.CloseChunk();
  }
  return 0;
}
