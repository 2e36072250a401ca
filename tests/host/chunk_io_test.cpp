#include "host/chunk_io.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// In the test scenes an ID of 0x1000 or more marks a chunk whose body is only chunks; below
// that the body is plain data. The reader itself knows nothing of this.
constexpr unsigned short kFirstContainerId = 0x1000;

void WriteBytes(ISave& save, const Bytes& data) {
  unsigned long written = 99;
  ASSERT_EQ(save.Write(data.data(), data.size(), &written), IO_OK);
  ASSERT_EQ(written, data.size());
}

void Leaf(ISave& save, unsigned short id, const Bytes& data) {
  save.BeginChunk(id);
  if (!data.empty()) WriteBytes(save, data);
  save.EndChunk();
}

Bytes Pattern(std::size_t n, unsigned seed) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>((i * 31 + seed) & 0xFF);
  return out;
}

// Nested containers, empty leaves, an empty container and leaves longer than one read piece.
void WriteNestedScene(ISave& save) {
  save.BeginChunk(0x2000);
  Leaf(save, 0x0001, {'h', 'e', 'l', 'l', 'o'});
  Leaf(save, 0x0002, {});
  save.BeginChunk(0x2001);
  Leaf(save, 0x0003, Pattern(12, 1));
  save.BeginChunk(0x2002);
  save.EndChunk();
  save.EndChunk();
  save.EndChunk();
  Leaf(save, 0x0004, Pattern(300, 7));
  save.BeginChunk(0x2003);
  save.EndChunk();
  save.BeginChunk(0x2004);
  save.BeginChunk(0x2005);
  Leaf(save, 0x0FFF, {0x00, 0xFF});
  save.EndChunk();
  save.EndChunk();
}

Bytes NestedScene() {
  MemorySave save;
  WriteNestedScene(save);
  EXPECT_FALSE(save.Failed()) << save.Error();
  EXPECT_EQ(save.OpenChunkCount(), 0);
  return save.Bytes();
}

std::string Hex(const Bytes& data) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : data) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

struct Walk {
  std::string trace;  // "{...}" per container, "(hex)" per leaf
  std::vector<unsigned short> ids;
  std::vector<std::uint64_t> headerOffsets;
  std::vector<std::uint64_t> topLevelEnds;  // file offsets where a top-level chunk ends
  int faults = 0;                           // reader behaviour that breaks its contract
};

// Reads a whole level the way a careful plug-in would: leaves in pieces of 7 bytes up to the
// length the reader reports, then one read too many that must be refused without data.
IOResult WalkLevel(MemoryLoad& load, Walk& walk, int depth) {
  IOResult result;
  while ((result = load.OpenChunk()) == IO_OK) {
    const unsigned short id = load.CurChunkID();
    walk.ids.push_back(id);
    walk.headerOffsets.push_back(load.Offset() - kChunkHeaderBytes);
    const std::uint64_t end = load.Offset() + load.CurChunkLength();
    if (id >= kFirstContainerId) {
      walk.trace += "{";
      if (WalkLevel(load, walk, depth + 1) != IO_END) return IO_ERROR;
      walk.trace += "}";
      if (load.CurChunkID() != id) ++walk.faults;
    } else {
      Bytes data;
      unsigned long long left = load.CurChunkLength();
      while (left > 0) {
        unsigned char piece[7];
        const unsigned long want = static_cast<unsigned long>(std::min<unsigned long long>(left, sizeof piece));
        unsigned long got = 0;
        if (load.Read(piece, want, &got) != IO_OK || got != want) ++walk.faults;
        data.insert(data.end(), piece, piece + got);
        left -= want;
      }
      unsigned char extra[4] = {0xEE, 0xEE, 0xEE, 0xEE};
      unsigned long got = 123;
      if (load.Read(extra, sizeof extra, &got) != IO_ERROR || got != 0 || extra[0] != 0xEE) ++walk.faults;
      // Appended piece by piece: GCC 12 at -O3 reads `"(" + std::string&&` as an overlapping
      // memcpy and fails the build with a -Wrestrict false positive.
      walk.trace += '(';
      walk.trace += Hex(data);
      walk.trace += ')';
    }
    if (load.Offset() > end) ++walk.faults;
    if (load.CloseChunk() != IO_OK) return IO_ERROR;
    if (load.Offset() != end) ++walk.faults;
    if (depth == 0) walk.topLevelEnds.push_back(load.Offset());
  }
  return result;
}

IOResult WalkAll(const unsigned char* data, std::size_t size, Walk& walk, std::string* error = nullptr) {
  MemoryLoad load(data, size);
  const IOResult result = WalkLevel(load, walk, 0);
  if (error) *error = load.Error();
  return result;
}

// An exact-size heap copy, so that reading one byte past the end trips AddressSanitizer.
IOResult WalkExact(const Bytes& bytes, std::size_t size, Walk& walk, std::string* error) {
  auto exact = std::make_unique<unsigned char[]>(size == 0 ? 1 : size);
  std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size), exact.get());
  return WalkAll(exact.get(), size, walk, error);
}

Bytes FileHeader() { return {'V', 'L', 'D', 'S', 1, 0, 0, 0}; }

void AppendHeader(Bytes& out, unsigned short id, std::uint64_t length) {
  out.push_back(static_cast<unsigned char>(id & 0xFF));
  out.push_back(static_cast<unsigned char>(id >> 8));
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>((length >> (8 * i)) & 0xFF));
}

// ---- Round trips ------------------------------------------------------------------------------

TEST(ChunkIO, ByteLayoutIsPinned) {
  MemorySave save;
  Leaf(save, 0x0102, {'a', 'b'});
  const Bytes expected = {'V',  'L',  'D', 'S', 1, 0, 0, 0,  // magic, version
                          0x02, 0x01,                        // ID, little-endian
                          2,    0,    0,   0,   0, 0, 0, 0,  // body length without the header
                          'a',  'b'};
  EXPECT_EQ(save.Bytes(), expected);
  EXPECT_EQ(save.Size(), expected.size());
}

TEST(ChunkIO, RoundTripKeepsNestingDataAndEmptyChunks) {
  const Bytes bytes = NestedScene();
  Walk walk;
  std::string error;
  ASSERT_EQ(WalkAll(bytes.data(), bytes.size(), walk, &error), IO_END) << error;
  EXPECT_EQ(walk.faults, 0);
  EXPECT_EQ(walk.trace, "{(68656c6c6f)(){(" + Hex(Pattern(12, 1)) + "){}}}(" + Hex(Pattern(300, 7)) + "){}{{(00ff)}}");
  const std::vector<unsigned short> ids = {0x2000, 0x0001, 0x0002, 0x2001, 0x0003, 0x2002,
                                           0x0004, 0x2003, 0x2004, 0x2005, 0x0FFF};
  EXPECT_EQ(walk.ids, ids);
  EXPECT_EQ(walk.topLevelEnds.back(), bytes.size());
}

TEST(ChunkIO, DataBeforeChildrenInOneChunk) {
  MemorySave save;
  save.BeginChunk(7);
  WriteBytes(save, {1, 2, 3});
  Leaf(save, 8, {4, 5});
  save.EndChunk();
  const Bytes& bytes = save.Bytes();

  MemoryLoad load(bytes.data(), bytes.size());
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  EXPECT_EQ(load.CurChunkLength(), 3 + kChunkHeaderBytes + 2);
  unsigned char head[3] = {};
  unsigned long got = 0;
  ASSERT_EQ(load.Read(head, 3, &got), IO_OK);
  EXPECT_EQ(Bytes(head, head + 3), Bytes({1, 2, 3}));
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  EXPECT_EQ(load.CurChunkID(), 8);
  unsigned char tail[2] = {};
  ASSERT_EQ(load.Read(tail, 2, nullptr), IO_OK);
  EXPECT_EQ(Bytes(tail, tail + 2), Bytes({4, 5}));
  EXPECT_EQ(load.CloseChunk(), IO_OK);
  EXPECT_EQ(load.CurChunkID(), 7);
  EXPECT_EQ(load.OpenChunk(), IO_END);
  EXPECT_EQ(load.CloseChunk(), IO_OK);
  EXPECT_EQ(load.OpenChunk(), IO_END);
}

TEST(ChunkIO, CloseChunkSkipsUnreadDataAndUnopenedChildren) {
  const Bytes bytes = NestedScene();
  MemoryLoad load(bytes.data(), bytes.size());
  // Skip the whole first container without opening anything inside it.
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  EXPECT_EQ(load.CurChunkID(), 0x2000);
  ASSERT_EQ(load.CloseChunk(), IO_OK);
  // Read two bytes of the 300-byte leaf and skip the rest.
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  ASSERT_EQ(load.CurChunkID(), 0x0004);
  EXPECT_EQ(load.CurChunkLength(), 300u);
  unsigned char two[2];
  ASSERT_EQ(load.Read(two, 2, nullptr), IO_OK);
  EXPECT_EQ(two[1], Pattern(300, 7)[1]);
  ASSERT_EQ(load.CloseChunk(), IO_OK);
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  EXPECT_EQ(load.CurChunkID(), 0x2003);
  // Close the next container from inside its child, half read.
  ASSERT_EQ(load.CloseChunk(), IO_OK);
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  EXPECT_EQ(load.CurChunkID(), 0x0FFF);
  ASSERT_EQ(load.Read(two, 1, nullptr), IO_OK);
  EXPECT_EQ(load.CloseChunk(), IO_OK);
  EXPECT_EQ(load.CloseChunk(), IO_OK);
  EXPECT_EQ(load.CloseChunk(), IO_OK);
  EXPECT_EQ(load.Offset(), bytes.size());
  EXPECT_EQ(load.OpenChunk(), IO_END);
}

TEST(ChunkIO, ReadNeverCrossesTheChunkEnd) {
  MemorySave save;
  Leaf(save, 1, {10, 11, 12, 13, 14});
  Leaf(save, 2, {20, 21});
  const Bytes& bytes = save.Bytes();

  MemoryLoad load(bytes.data(), bytes.size());
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  unsigned char buf[16];
  std::memset(buf, 0xEE, sizeof buf);
  unsigned long got = 0;
  EXPECT_EQ(load.Read(buf, sizeof buf, &got), IO_ERROR);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(Bytes(buf, buf + 6), Bytes({10, 11, 12, 13, 14, 0xEE}));
  EXPECT_NE(load.Error().find("offset 18"), std::string::npos) << load.Error();
  EXPECT_NE(load.Error().find("0x0001"), std::string::npos) << load.Error();
  // A huge request is not an invitation to copy the rest of the file.
  EXPECT_EQ(load.Read(buf, ~0ul, &got), IO_ERROR);
  EXPECT_EQ(got, 0u);
  // A short read is the caller's mismatch, not a broken file: the next chunk still opens.
  EXPECT_FALSE(load.Failed());
  ASSERT_EQ(load.CloseChunk(), IO_OK);
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  EXPECT_EQ(load.CurChunkID(), 2);
  ASSERT_EQ(load.Read(buf, 2, &got), IO_OK);
  EXPECT_EQ(buf[0], 20);
}

TEST(ChunkIO, ReadInAChildStopsAtTheChildsEnd) {
  MemorySave save;
  save.BeginChunk(0x2000);
  Leaf(save, 1, {1});
  WriteBytes(save, {9, 9, 9, 9});
  save.EndChunk();
  const Bytes& bytes = save.Bytes();

  MemoryLoad load(bytes.data(), bytes.size());
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  unsigned char buf[8] = {};
  unsigned long got = 0;
  EXPECT_EQ(load.Read(buf, 5, &got), IO_ERROR);
  EXPECT_EQ(got, 1u);
  ASSERT_EQ(load.CloseChunk(), IO_OK);
  EXPECT_EQ(load.Read(buf, 4, &got), IO_OK);
  EXPECT_EQ(buf[3], 9);
}

TEST(ChunkIO, OpenChunkReportsTheEndOfEachLevel) {
  const Bytes bytes = NestedScene();
  MemoryLoad load(bytes.data(), bytes.size());
  EXPECT_EQ(load.CurChunkID(), 0);
  EXPECT_EQ(load.CurChunkLength(), 0u);
  ASSERT_EQ(load.OpenChunk(), IO_OK);  // 0x2000
  ASSERT_EQ(load.OpenChunk(), IO_OK);  // 0x0001
  ASSERT_EQ(load.CloseChunk(), IO_OK);
  ASSERT_EQ(load.OpenChunk(), IO_OK);  // 0x0002, empty
  EXPECT_EQ(load.CurChunkLength(), 0u);
  EXPECT_EQ(load.OpenChunk(), IO_END);  // an empty leaf is an empty level
  ASSERT_EQ(load.CloseChunk(), IO_OK);
  ASSERT_EQ(load.OpenChunk(), IO_OK);  // 0x2001
  ASSERT_EQ(load.OpenChunk(), IO_OK);  // 0x0003
  ASSERT_EQ(load.CloseChunk(), IO_OK);
  ASSERT_EQ(load.OpenChunk(), IO_OK);  // 0x2002, empty
  EXPECT_EQ(load.OpenChunk(), IO_END);
  EXPECT_EQ(load.OpenChunk(), IO_END);  // and stays at the end
  ASSERT_EQ(load.CloseChunk(), IO_OK);
  EXPECT_EQ(load.OpenChunk(), IO_END);  // end of 0x2001
  ASSERT_EQ(load.CloseChunk(), IO_OK);
  EXPECT_EQ(load.CurChunkID(), 0x2000);
  EXPECT_EQ(load.OpenChunk(), IO_END);  // end of 0x2000
  ASSERT_EQ(load.CloseChunk(), IO_OK);
  EXPECT_EQ(load.CurChunkID(), 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(load.OpenChunk(), IO_OK);
    ASSERT_EQ(load.CloseChunk(), IO_OK);
  }
  EXPECT_EQ(load.OpenChunk(), IO_END);  // end of the file
  EXPECT_TRUE(load.Error().empty()) << load.Error();
}

TEST(ChunkIO, CallsWithoutAnOpenChunkAreRefused) {
  const Bytes bytes = NestedScene();
  MemoryLoad load(bytes.data(), bytes.size());
  unsigned char buf[4];
  unsigned long got = 7;
  EXPECT_EQ(load.Read(buf, 4, &got), IO_ERROR);
  EXPECT_EQ(got, 0u);
  EXPECT_NE(load.Error().find("offset 8"), std::string::npos) << load.Error();
  EXPECT_EQ(load.CloseChunk(), IO_ERROR);
  EXPECT_EQ(load.Offset(), kSceneFileHeaderBytes);
  EXPECT_EQ(load.OpenChunk(), IO_OK);
}

TEST(ChunkIO, EmptySceneHasNoChunks) {
  const Bytes bytes = MemorySave().Bytes();
  ASSERT_EQ(bytes, FileHeader());
  MemoryLoad load(bytes.data(), bytes.size());
  EXPECT_EQ(load.OpenChunk(), IO_END);
  EXPECT_EQ(load.Version(), kSceneFileVersion);
}

// ---- Hostile headers --------------------------------------------------------------------------

TEST(ChunkIO, BadFileHeadersAreRefused) {
  struct Case {
    Bytes bytes;
    const char* where;
  };
  const Case cases[] = {
      {{}, "offset 0"},
      {{'V', 'L', 'D'}, "offset 0"},
      {{'V', 'L', 'D', 'S', 1, 0, 0}, "offset 0"},
      {{'V', 'L', 'D', 'X', 1, 0, 0, 0}, "offset 0"},
      {{'V', 'L', 'D', 'S', 0, 0, 0, 0}, "offset 4"},
      {{'V', 'L', 'D', 'S', 2, 0, 0, 0}, "offset 4"},
      {{'V', 'L', 'D', 'S', 1, 0, 0, 1}, "offset 4"},
  };
  for (const Case& c : cases) {
    MemoryLoad load(c.bytes.data(), c.bytes.size());
    EXPECT_TRUE(load.Failed()) << Hex(c.bytes);
    EXPECT_EQ(load.OpenChunk(), IO_ERROR) << Hex(c.bytes);
    unsigned long got = 1;
    unsigned char buf[1];
    EXPECT_EQ(load.Read(buf, 1, &got), IO_ERROR);
    EXPECT_EQ(got, 0u);
    EXPECT_NE(load.Error().find(c.where), std::string::npos) << load.Error();
  }
}

TEST(ChunkIO, LengthsThatDoNotFitAreRefused) {
  // Lengths a naive `offset + length > size` test would let through, as the sum wraps.
  for (const std::uint64_t length :
       {~std::uint64_t{0}, ~std::uint64_t{0} - 17, std::uint64_t{1} << 63, std::uint64_t{4}}) {
    Bytes bytes = FileHeader();
    AppendHeader(bytes, 0x0042, length);
    bytes.insert(bytes.end(), {1, 2, 3});
    MemoryLoad load(bytes.data(), bytes.size());
    EXPECT_EQ(load.OpenChunk(), IO_ERROR) << length;
    EXPECT_NE(load.Error().find("offset 8"), std::string::npos) << load.Error();
    EXPECT_NE(load.Error().find("0x0042"), std::string::npos) << load.Error();
    // The failure is sticky: the next chunk's position is unknown.
    EXPECT_EQ(load.OpenChunk(), IO_ERROR);
  }
  Bytes exact = FileHeader();
  AppendHeader(exact, 0x0042, 3);
  exact.insert(exact.end(), {1, 2, 3});
  MemoryLoad load(exact.data(), exact.size());
  EXPECT_EQ(load.OpenChunk(), IO_OK);
}

TEST(ChunkIO, ChildOverrunningItsParentIsRefused) {
  // The child fits in the file but not in its parent: the bytes after the parent belong to a
  // sibling, which the child must not swallow.
  Bytes bytes = FileHeader();
  AppendHeader(bytes, 0x2000, kChunkHeaderBytes + 2);
  AppendHeader(bytes, 0x0005, 3);
  bytes.insert(bytes.end(), {1, 2});
  AppendHeader(bytes, 0x0006, 1);
  bytes.push_back(3);
  MemoryLoad load(bytes.data(), bytes.size());
  ASSERT_EQ(load.OpenChunk(), IO_OK);
  EXPECT_EQ(load.OpenChunk(), IO_ERROR);
  EXPECT_NE(load.Error().find("offset 18"), std::string::npos) << load.Error();
  EXPECT_NE(load.Error().find("chunk 0x2000"), std::string::npos) << load.Error();
  EXPECT_EQ(load.CloseChunk(), IO_ERROR);
}

TEST(ChunkIO, TrailingBytesShorterThanAHeaderAreRefused) {
  Bytes bytes = NestedScene();
  const std::size_t end = bytes.size();
  bytes.insert(bytes.end(), {0, 0, 0});
  Walk walk;
  std::string error;
  EXPECT_EQ(WalkAll(bytes.data(), bytes.size(), walk, &error), IO_ERROR);
  EXPECT_NE(error.find("offset " + std::to_string(end)), std::string::npos) << error;
}

TEST(ChunkIO, ExcessiveNestingIsRefused) {
  constexpr int kDeeper = kMaxChunkDepth + 6;
  Bytes bytes = FileHeader();
  for (int level = 0; level < kDeeper; ++level) {
    AppendHeader(bytes, static_cast<unsigned short>(0x3000 + level), kChunkHeaderBytes * (kDeeper - 1 - level));
  }
  MemoryLoad load(bytes.data(), bytes.size());
  for (int level = 0; level < kMaxChunkDepth; ++level) ASSERT_EQ(load.OpenChunk(), IO_OK) << level;
  EXPECT_EQ(load.OpenChunk(), IO_ERROR);
  EXPECT_NE(load.Error().find("deeper"), std::string::npos) << load.Error();
  EXPECT_NE(load.Error().find("offset " + std::to_string(8 + kChunkHeaderBytes * kMaxChunkDepth)), std::string::npos)
      << load.Error();
}

TEST(ChunkIO, NestingUpToTheCapRoundTripsAndTheWriterRefusesDeeper) {
  MemorySave save;
  for (int level = 0; level < kMaxChunkDepth; ++level) save.BeginChunk(static_cast<unsigned short>(0x3000 + level));
  WriteBytes(save, {42});
  for (int level = 0; level < kMaxChunkDepth; ++level) save.EndChunk();
  ASSERT_FALSE(save.Failed()) << save.Error();
  const Bytes bytes = save.Bytes();
  MemoryLoad load(bytes.data(), bytes.size());
  for (int level = 0; level < kMaxChunkDepth; ++level) ASSERT_EQ(load.OpenChunk(), IO_OK) << load.Error();
  unsigned char value = 0;
  ASSERT_EQ(load.Read(&value, 1, nullptr), IO_OK);
  EXPECT_EQ(value, 42);

  MemorySave deeper;
  for (int level = 0; level <= kMaxChunkDepth; ++level) deeper.BeginChunk(1);
  EXPECT_TRUE(deeper.Failed());
  EXPECT_EQ(deeper.Write(&value, 1, nullptr), IO_ERROR);
}

TEST(ChunkIO, WriterMisuseIsReported) {
  MemorySave outside;
  unsigned long written = 5;
  EXPECT_EQ(outside.Write("x", 1, &written), IO_ERROR);
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(outside.Failed());
  EXPECT_EQ(outside.Bytes(), FileHeader());

  MemorySave unbalanced;
  unbalanced.EndChunk();
  EXPECT_TRUE(unbalanced.Failed());
  EXPECT_NE(unbalanced.Error().find("EndChunk"), std::string::npos);
}

TEST(ChunkIO, MillionsOfTinyChunksWalkInLinearTime) {
  constexpr int kChunks = 2'000'000;
  MemorySave save;
  for (int i = 0; i < kChunks; ++i) {
    save.BeginChunk(static_cast<unsigned short>(i));
    save.EndChunk();
  }
  const Bytes& bytes = save.Bytes();
  ASSERT_EQ(bytes.size(), kSceneFileHeaderBytes + kChunkHeaderBytes * kChunks);
  MemoryLoad load(bytes.data(), bytes.size());
  int opened = 0;
  while (load.OpenChunk() == IO_OK) {
    ++opened;
    ASSERT_EQ(load.CloseChunk(), IO_OK);
  }
  EXPECT_EQ(opened, kChunks);
  EXPECT_TRUE(load.Error().empty()) << load.Error();
}

// ---- Damaged files ----------------------------------------------------------------------------

TEST(ChunkIO, EveryTruncationIsRefusedOrEndsOnAChunkBoundary) {
  const Bytes bytes = NestedScene();
  Walk whole;
  ASSERT_EQ(WalkAll(bytes.data(), bytes.size(), whole), IO_END);
  std::vector<std::uint64_t> boundaries = {kSceneFileHeaderBytes};
  boundaries.insert(boundaries.end(), whole.topLevelEnds.begin(), whole.topLevelEnds.end());

  int cleanEnds = 0;
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    Walk walk;
    std::string error;
    const IOResult result = WalkExact(bytes, size, walk, &error);
    EXPECT_EQ(walk.faults, 0) << size;
    const bool boundary = std::find(boundaries.begin(), boundaries.end(), size) != boundaries.end();
    if (boundary) {
      // The prefix is a complete, shorter scene: its chunks and data are the original's.
      EXPECT_EQ(result, IO_END) << size << ": " << error;
      EXPECT_EQ(whole.trace.compare(0, walk.trace.size(), walk.trace), 0) << size;
      ++cleanEnds;
    } else {
      EXPECT_EQ(result, IO_ERROR) << size;
      const std::size_t at = error.find("offset ");
      ASSERT_NE(at, std::string::npos) << size << ": " << error;
      EXPECT_LE(std::stoull(error.substr(at + 7)), size) << error;
    }
  }
  EXPECT_EQ(cleanEnds, 4);  // the empty scene and after each of the first three top-level chunks
}

TEST(ChunkIO, FlippedHeaderBytesNeverCrashAndAreRefusedWhereTheyMust) {
  const Bytes bytes = NestedScene();
  Walk whole;
  ASSERT_EQ(WalkAll(bytes.data(), bytes.size(), whole), IO_END);

  struct Target {
    std::size_t offset;
    std::size_t field;  // byte index inside the header
    bool fileHeader;
  };
  std::vector<Target> targets;
  for (std::size_t i = 0; i < kSceneFileHeaderBytes; ++i) targets.push_back({i, i, true});
  for (std::uint64_t header : whole.headerOffsets) {
    for (std::size_t i = 0; i < kChunkHeaderBytes; ++i)
      targets.push_back({static_cast<std::size_t>(header + i), i, false});
  }

  int refused = 0;
  int accepted = 0;
  for (const Target& t : targets) {
    const unsigned char original = bytes[t.offset];
    const unsigned char values[] = {0x00, 0xFF, static_cast<unsigned char>(original ^ 0x01),
                                    static_cast<unsigned char>(original ^ 0x80),
                                    static_cast<unsigned char>(original + 10)};
    for (unsigned char value : values) {
      if (value == original) continue;
      Bytes damaged = bytes;
      damaged[t.offset] = value;
      Walk walk;
      std::string error;
      const IOResult result = WalkExact(damaged, damaged.size(), walk, &error);
      const std::string label = "byte " + std::to_string(t.offset) + " = " + std::to_string(value);
      EXPECT_EQ(walk.faults, 0) << label;
      ASSERT_TRUE(result == IO_ERROR || result == IO_END) << label;
      if (result == IO_ERROR) {
        ++refused;
        // A walker-level refusal (a container holding garbage) also leaves a reader message.
        EXPECT_NE(error.find("offset "), std::string::npos) << label << ": " << error;
      } else {
        ++accepted;
      }
      if (t.fileHeader) {
        EXPECT_EQ(result, IO_ERROR) << label;
      } else if (t.field == 0) {
        // The ID's low byte: the same structure under another name.
        EXPECT_EQ(result, IO_END) << label;
        EXPECT_EQ(walk.trace, whole.trace) << label;
      } else if (t.field >= 6) {
        // Any change in the length's high bytes makes it far larger than the whole file.
        if (value > original) {
          EXPECT_EQ(result, IO_ERROR) << label;
        }
      }
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(accepted, 0);
}

// ---- Scene files ------------------------------------------------------------------------------

class SceneFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = test_support::MakeTempFolder("chunk_io_");
    ASSERT_FALSE(folder_.empty());
    path_ = (folder_ / "scene.vld").string();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::vector<std::string> FolderEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_))
      names.push_back(entry.path().filename().string());
    return names;
  }

  static Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  static void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }

  std::filesystem::path folder_;
  std::string path_;
};

TEST_F(SceneFileTest, SavedSceneLoadsBackAndReplacesTheOldFile) {
  WriteFile(path_, {'o', 'l', 'd'});
#ifndef _WIN32  // a new file takes the folder's access rights there
  ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
#endif
  std::string error = "stale";
  ASSERT_EQ(SaveSceneFile(
                path_,
                [](ISave& save) {
                  WriteNestedScene(save);
                  return IO_OK;
                },
                &error),
            IO_OK)
      << error;
  EXPECT_TRUE(error.empty());
  // The file writer patches lengths in place; it must produce what the memory writer does.
  EXPECT_EQ(ReadFile(path_), NestedScene());
  EXPECT_EQ(FolderEntries(), std::vector<std::string>{"scene.vld"});
#ifndef _WIN32
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
#endif

  Walk walk;
  ASSERT_EQ(LoadSceneFile(
                path_, [&](ILoad& load) { return WalkLevel(static_cast<MemoryLoad&>(load), walk, 0); }, &error),
            IO_END)
      << error;
  Walk expected;
  const Bytes bytes = NestedScene();
  WalkAll(bytes.data(), bytes.size(), expected);
  EXPECT_EQ(walk.trace, expected.trace);
}

TEST_F(SceneFileTest, FailedSavesLeaveTheOldFileAndNoTemporary) {
  const Bytes old = NestedScene();
  WriteFile(path_, old);
  const std::function<IOResult(ISave&)> failures[] = {
      [](ISave& save) {
        Leaf(save, 1, Pattern(5000, 3));
        return IO_ERROR;
      },
      [](ISave& save) {  // a chunk left open
        save.BeginChunk(0x2000);
        Leaf(save, 1, {1});
        return IO_OK;
      },
      [](ISave& save) {  // misuse that Write reports, ignored by the records
        save.EndChunk();
        return IO_OK;
      },
      [](ISave& save) -> IOResult {
        Leaf(save, 1, {1});
        throw std::runtime_error("records failed");
      },
  };
  for (const auto& writeRecords : failures) {
    std::string error;
    IOResult result = IO_OK;
    try {
      result = SaveSceneFile(path_, writeRecords, &error);
    } catch (const std::runtime_error&) {
      result = IO_ERROR;
      error = path_ + ": threw";
    }
    EXPECT_EQ(result, IO_ERROR);
    EXPECT_EQ(error.rfind(path_, 0), 0u) << error;
    EXPECT_EQ(ReadFile(path_), old);
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"scene.vld"});
  }
}

#ifndef _WIN32  // Windows has no file size limit; the safe-save tests fill its disk another way
TEST_F(SceneFileTest, AFileSystemWriteFailureLeavesTheOldFile) {
  const Bytes old = NestedScene();
  WriteFile(path_, old);
  // Writes past the file size limit fail with EFBIG (the signal that would kill us is ignored),
  // the same path a full disk takes.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string error;
  const IOResult result = SaveSceneFile(
      path_,
      [](ISave& save) {
        save.BeginChunk(1);
        const Bytes big = Pattern(100'000, 5);
        unsigned long written = 0;
        // The records do not check their writes; the save must notice anyway.
        save.Write(big.data(), big.size(), &written);
        save.EndChunk();
        return IO_OK;
      },
      &error);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(result, IO_ERROR);
  EXPECT_NE(error.find("write"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(path_), old);
  EXPECT_EQ(FolderEntries(), std::vector<std::string>{"scene.vld"});
}
#endif

TEST_F(SceneFileTest, SavingIntoAMissingFolderIsRefused) {
  const std::string path = (folder_ / "missing" / "scene.vld").string();
  std::string error;
  EXPECT_EQ(SaveSceneFile(
                path, [](ISave&) { return IO_OK; }, &error),
            IO_ERROR);
  EXPECT_EQ(error.rfind(path, 0), 0u) << error;
  EXPECT_TRUE(FolderEntries().empty());
}

TEST_F(SceneFileTest, LoadRefusalsNameTheFileAndTheOffset) {
  std::string error;
  EXPECT_EQ(LoadSceneFile(
                path_, [](ILoad&) { return IO_OK; }, &error),
            IO_ERROR);
  EXPECT_EQ(error.rfind(path_, 0), 0u) << error;

  WriteFile(path_, NestedScene());
  EXPECT_EQ(LoadSceneFile(
                path_, [](ILoad&) { return IO_OK; }, &error, 64),
            IO_ERROR);
  EXPECT_NE(error.find("limit"), std::string::npos) << error;

  // A record the plug-in refuses: the message says where the reader stood.
  const IOResult refused = LoadSceneFile(
      path_,
      [](ILoad& load) {
        if (load.OpenChunk() != IO_OK || load.OpenChunk() != IO_OK) return IO_OK;
        return IO_ERROR;
      },
      &error);
  EXPECT_EQ(refused, IO_ERROR);
  EXPECT_NE(error.find("offset 28, chunk 0x2000/0x0001"), std::string::npos) << error;

  Bytes damaged = NestedScene();
  damaged[kSceneFileHeaderBytes + 9] = 0x7F;  // top chunk's length becomes absurd
  WriteFile(path_, damaged);
  Walk walk;
  EXPECT_EQ(LoadSceneFile(
                path_, [&](ILoad& load) { return WalkLevel(static_cast<MemoryLoad&>(load), walk, 0); }, &error),
            IO_ERROR);
  EXPECT_EQ(error.rfind(path_ + ": offset 8", 0), 0u) << error;
}

}  // namespace
