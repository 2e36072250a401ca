#include "host/bitmap.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/uvgen.h"
#include "tests/support/temp_folder.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct BitmapDeleter {
  void operator()(Bitmap* bm) const { bm->DeleteThis(); }
};
using BitmapPtr = std::unique_ptr<Bitmap, BitmapDeleter>;

struct DIBDeleter {
  void operator()(BITMAPINFO* dib) const { FreeDIB(dib); }
};
using DIBPtr = std::unique_ptr<BITMAPINFO, DIBDeleter>;

BitmapPtr Make(int width, int height, int type = BMM_TRUE_32) {
  BitmapInfo bi;
  bi.SetName("test");
  bi.SetWidth(width);
  bi.SetHeight(height);
  bi.SetType(type);
  return BitmapPtr(TheManager->Create(&bi));
}

// An 8-bit colour that names its pixel, so a test can tell which bitmap pixel a DIB pixel took.
BMM_Color_32 Tag(int x, int y) {
  return {static_cast<std::uint8_t>(10 * x + 1), static_cast<std::uint8_t>(10 * y + 2),
          static_cast<std::uint8_t>(100 + x + 4 * y), static_cast<std::uint8_t>(200 + y)};
}

// A w x h bitmap whose pixel (x, y) holds Tag(x, y).
BitmapPtr Tagged(int width, int height, int type = BMM_TRUE_64) {
  BitmapPtr bm = Make(width, height, type);
  std::vector<BMM_Color_64> line(static_cast<std::size_t>(width));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const BMM_Color_32 c = Tag(x, y);
      line[x] = {static_cast<std::uint16_t>(c.r * 257), static_cast<std::uint16_t>(c.g * 257),
                 static_cast<std::uint16_t>(c.b * 257), static_cast<std::uint16_t>(c.a * 257)};
    }
    EXPECT_EQ(bm->PutPixels(0, y, width, line.data()), width);
  }
  return bm;
}

// Pixel (x, y) of a DIB, y counted from the top of the image.
BMM_Color_32 DIBAt(const BITMAPINFO* dib, int x, int y) {
  const int w = dib->bmiHeader.biWidth, h = dib->bmiHeader.biHeight;
  const unsigned char* p = DIBPixels(dib) + (static_cast<std::size_t>(h - 1 - y) * w + x) * 4;
  return {p[2], p[1], p[0], p[3]};
}

// Checks that DIB pixel (x, y) shows bitmap pixel (columns[x], rows[y]).
void ExpectPicks(const BITMAPINFO* dib, const std::vector<int>& columns, const std::vector<int>& rows) {
  ASSERT_EQ(dib->bmiHeader.biWidth, static_cast<int>(columns.size()));
  ASSERT_EQ(dib->bmiHeader.biHeight, static_cast<int>(rows.size()));
  for (std::size_t y = 0; y < rows.size(); ++y) {
    for (std::size_t x = 0; x < columns.size(); ++x) {
      EXPECT_EQ(DIBAt(dib, static_cast<int>(x), static_cast<int>(y)), Tag(columns[x], rows[y]))
          << "DIB pixel " << x << ", " << y;
    }
  }
}

Bytes DIBBytes(const BITMAPINFO* dib) {
  const auto* p = reinterpret_cast<const unsigned char*>(dib);
  return Bytes(p, p + DIBByteSize(dib->bmiHeader.biWidth, dib->bmiHeader.biHeight));
}

TEST(Bitmap, CreateRefusesWhatItCannotMake) {
  const int before = TheManager->LiveBitmaps();
  EXPECT_EQ(TheManager->Create(nullptr), nullptr);
  const struct {
    int width, height, type;
  } refused[] = {
      {0, 4, BMM_TRUE_32},
      {4, 0, BMM_TRUE_32},
      {-1, 4, BMM_TRUE_64},
      {4, -3, BMM_TRUE_64},
      {16385, 16384, BMM_TRUE_32},  // one row over the pixel cap
      {65536, 65536, BMM_TRUE_32},  // 2^32 pixels: zero in 32-bit arithmetic
      {4, 4, BMM_NO_TYPE},
      {4, 4, 5},
      {4, 4, 8},
  };
  for (const auto& r : refused) {
    EXPECT_EQ(Make(r.width, r.height, r.type), nullptr) << r.width << " x " << r.height << " type " << r.type;
  }
  EXPECT_EQ(TheManager->LiveBitmaps(), before);

  for (int type : {BMM_TRUE_32, BMM_TRUE_64}) {
    BitmapPtr bm = Make(3, 2, type);
    ASSERT_NE(bm, nullptr);
    EXPECT_EQ(bm->Width(), 3);
    EXPECT_EQ(bm->Height(), 2);
    EXPECT_EQ(bm->Type(), type);
    EXPECT_EQ(TheManager->LiveBitmaps(), before + 1);
    BMM_Color_64 row[3];
    std::fill(std::begin(row), std::end(row), BMM_Color_64{1, 2, 3, 4});
    for (int y = 0; y < 2; ++y) {
      ASSERT_EQ(bm->GetPixels(0, y, 3, row), 3);
      for (const BMM_Color_64& p : row) EXPECT_EQ(p, BMM_Color_64{});
    }
  }
  EXPECT_EQ(TheManager->LiveBitmaps(), before);
}

TEST(Bitmap, PixelAccessClipsToTheRow) {
  for (int type : {BMM_TRUE_32, BMM_TRUE_64}) {
    BitmapPtr bm = Make(5, 3, type);
    BMM_Color_64 in[4];
    for (int i = 0; i < 4; ++i) in[i] = {static_cast<std::uint16_t>(257 * (i + 1)), 257, 514, 65535};
    EXPECT_EQ(bm->PutPixels(3, 1, 4, in), 2);  // clipped at the row's end
    EXPECT_EQ(bm->PutPixels(5, 1, 1, in), 0);
    EXPECT_EQ(bm->PutPixels(-1, 1, 4, in), 0);
    EXPECT_EQ(bm->PutPixels(0, 3, 1, in), 0);
    EXPECT_EQ(bm->PutPixels(0, -1, 1, in), 0);
    EXPECT_EQ(bm->PutPixels(0, 0, 0, in), 0);
    EXPECT_EQ(bm->PutPixels(0, 0, 5, nullptr), 0);

    const BMM_Color_64 sentinel{1, 2, 3, 4};
    BMM_Color_64 out[7];
    std::fill(std::begin(out), std::end(out), sentinel);
    EXPECT_EQ(bm->GetPixels(0, 1, 7, out), 5);
    EXPECT_EQ(out[0], BMM_Color_64{});
    EXPECT_EQ(out[2], BMM_Color_64{});
    EXPECT_EQ(out[3], in[0]);
    EXPECT_EQ(out[4], in[1]);
    EXPECT_EQ(out[5], sentinel);  // beyond the returned count: untouched
    EXPECT_EQ(bm->GetPixels(2, 1, 2, out), 2);
    EXPECT_EQ(out[0], BMM_Color_64{});
    EXPECT_EQ(out[1], in[0]);
    // The rows either side were not touched.
    for (int y : {0, 2}) {
      ASSERT_EQ(bm->GetPixels(0, y, 5, out), 5);
      for (int x = 0; x < 5; ++x) EXPECT_EQ(out[x], BMM_Color_64{}) << x << ", " << y;
    }
    EXPECT_EQ(bm->GetPixels(5, 0, 1, out), 0);
    EXPECT_EQ(bm->GetPixels(0, 3, 1, out), 0);
    EXPECT_EQ(bm->GetPixels(0, 0, 1, nullptr), 0);
  }
}

TEST(Bitmap, ThirtyTwoBitStorageKeepsTheNearestEightBitValue) {
  BitmapPtr bm = Make(1, 1, BMM_TRUE_32);
  const auto stored = [&](std::uint16_t v) {
    BMM_Color_64 p{v, 0, 0, 0};
    bm->PutPixels(0, 0, 1, &p);
    bm->GetPixels(0, 0, 1, &p);
    return p.r;
  };
  // 128.5 * 257 = 33024.5 is where 128 gives way to 129.
  EXPECT_EQ(stored(0), 0);
  EXPECT_EQ(stored(128), 0);
  EXPECT_EQ(stored(129), 257);
  EXPECT_EQ(stored(33024), 128 * 257);
  EXPECT_EQ(stored(33025), 129 * 257);
  EXPECT_EQ(stored(65407), 65535);
  EXPECT_EQ(stored(65535), 65535);
  for (int v = 0; v <= 65535; ++v) {
    const int back = stored(static_cast<std::uint16_t>(v));
    ASSERT_EQ(back % 257, 0) << v;
    ASSERT_LE(2 * std::abs(back - v), 257) << v;
  }
  // Each channel converts on its own; 16-bit storage keeps the value.
  BMM_Color_64 p{257 * 7, 257 * 200, 1000, 65000};
  bm->PutPixels(0, 0, 1, &p);
  bm->GetPixels(0, 0, 1, &p);
  EXPECT_EQ(p, (BMM_Color_64{257 * 7, 257 * 200, 4 * 257, 253 * 257}));
  BitmapPtr deep = Make(1, 1, BMM_TRUE_64);
  BMM_Color_64 q{12345, 1, 65534, 32768};
  deep->PutPixels(0, 0, 1, &q);
  BMM_Color_64 r;
  deep->GetPixels(0, 0, 1, &r);
  EXPECT_EQ(r, q);
}

TEST(DIB, SizesAndLayout) {
  EXPECT_EQ(DIBByteSize(0, 1), 0u);
  EXPECT_EQ(DIBByteSize(1, -1), 0u);
  EXPECT_EQ(DIBByteSize(1, 1), 44u);
  EXPECT_EQ(DIBByteSize(16384, 16384), 40u + (std::size_t{1} << 30));
  EXPECT_EQ(DIBByteSize(16385, 16384), 0u);
  EXPECT_EQ(DIBByteSize(65536, 65536), 0u);
  EXPECT_EQ(AllocateDIB(0, 3), nullptr);
  EXPECT_FALSE(IsHostDIB(nullptr));

  DIBPtr dib(AllocateDIB(3, 2));
  ASSERT_NE(dib, nullptr);
  EXPECT_TRUE(IsHostDIB(dib.get()));
  EXPECT_EQ(DIBPixels(dib.get()), reinterpret_cast<unsigned char*>(dib.get()) + 40);
  const Bytes bytes = DIBBytes(dib.get());
  const Bytes header = {40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 32, 0, 0, 0, 0, 0,
                        24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 40), header);
  EXPECT_EQ(Bytes(bytes.begin() + 40, bytes.end()), Bytes(24, 0));
  dib->bmiHeader.biBitCount = 24;
  EXPECT_FALSE(IsHostDIB(dib.get()));
}

TEST(ViewportTexHandleMaker, SameSizeDIBIsTheBitmapBottomUp) {
  for (int type : {BMM_TRUE_32, BMM_TRUE_64}) {
    BitmapPtr bm = Tagged(4, 4, type);
    ViewportTexHandleMaker maker(4);
    DIBPtr dib(maker.BitmapToDIB(bm.get(), 0, 0));
    ASSERT_NE(dib, nullptr);
    ASSERT_TRUE(IsHostDIB(dib.get()));
    EXPECT_EQ(dib->bmiHeader.biWidth, 4);
    EXPECT_EQ(dib->bmiHeader.biHeight, 4);
    EXPECT_EQ(dib->bmiHeader.biSizeImage, 64u);
    const unsigned char* p = DIBPixels(dib.get());
    // First stored: the bottom row's left pixel, Tag(0, 3), as B, G, R, A.
    EXPECT_EQ(Bytes(p, p + 4), (Bytes{112, 32, 1, 203}));
    // Second: Tag(1, 3). Last stored: the top row's right pixel, Tag(3, 0).
    EXPECT_EQ(Bytes(p + 4, p + 8), (Bytes{113, 32, 11, 203}));
    EXPECT_EQ(Bytes(p + 60, p + 64), (Bytes{103, 2, 31, 200}));
    ExpectPicks(dib.get(), {0, 1, 2, 3}, {0, 1, 2, 3});
  }
}

TEST(ViewportTexHandleMaker, NearestNeighbourResampling) {
  BitmapPtr bm = Tagged(4, 4);
  ViewportTexHandleMaker up(8);
  DIBPtr big(up.BitmapToDIB(bm.get(), 0, 0));
  ASSERT_NE(big, nullptr);
  ExpectPicks(big.get(), {0, 0, 1, 1, 2, 2, 3, 3}, {0, 0, 1, 1, 2, 2, 3, 3});

  // Each centre lies on a boundary between two bitmap pixels and takes the right / upper one.
  ViewportTexHandleMaker down(2);
  DIBPtr small(down.BitmapToDIB(bm.get(), 0, 0));
  ASSERT_NE(small, nullptr);
  ExpectPicks(small.get(), {1, 3}, {0, 2});

  // Centres at 1/6, 1/2 and 5/6 of 4 pixels: 0.67, 2 (a boundary) and 3.33.
  ViewportTexHandleMaker three(3);
  DIBPtr odd(three.BitmapToDIB(bm.get(), 0, 0));
  ASSERT_NE(odd, nullptr);
  ExpectPicks(odd.get(), {0, 2, 3}, {0, 1, 3});

  BitmapPtr one = Tagged(1, 1);
  DIBPtr flat(up.BitmapToDIB(one.get(), 0, 0));
  ExpectPicks(flat.get(), std::vector<int>(8, 0), std::vector<int>(8, 0));
}

TEST(ViewportTexHandleMaker, ForcedSizesReplaceTheViewportSize) {
  BitmapPtr bm = Tagged(4, 4);
  ViewportTexHandleMaker maker(8);
  DIBPtr wide(maker.BitmapToDIB(bm.get(), 0, 0, 2, 0));
  ASSERT_NE(wide, nullptr);
  ExpectPicks(wide.get(), {1, 3}, {0, 0, 1, 1, 2, 2, 3, 3});
  DIBPtr tall(maker.BitmapToDIB(bm.get(), 0, 0, 0, 2));
  ASSERT_NE(tall, nullptr);
  ExpectPicks(tall.get(), {0, 0, 1, 1, 2, 2, 3, 3}, {0, 2});
  DIBPtr both(maker.BitmapToDIB(bm.get(), 0, 0, 4, 4));
  ASSERT_NE(both, nullptr);
  ExpectPicks(both.get(), {0, 1, 2, 3}, {0, 1, 2, 3});

  EXPECT_EQ(maker.BitmapToDIB(nullptr, 0, 0), nullptr);
  EXPECT_EQ(maker.BitmapToDIB(bm.get(), 0, 0, -4, 0), nullptr);
  EXPECT_EQ(maker.BitmapToDIB(bm.get(), 0, 0, 0, -1), nullptr);
  EXPECT_EQ(maker.BitmapToDIB(bm.get(), 0, 0, 65536, 65536), nullptr);
  ViewportTexHandleMaker empty(0);
  EXPECT_EQ(empty.BitmapToDIB(bm.get(), 0, 0), nullptr);
  DIBPtr forced(empty.BitmapToDIB(bm.get(), 0, 0, 1, 1));
  ASSERT_NE(forced, nullptr);
  ExpectPicks(forced.get(), {2}, {1});
}

TEST(ViewportTexHandleMaker, MirrorFlagsShowTheMapAndItsMirrorImage) {
  BitmapPtr bm = Tagged(4, 4);
  ViewportTexHandleMaker maker(8);
  const std::vector<int> doubled = {0, 0, 1, 1, 2, 2, 3, 3};
  const std::vector<int> mirrored = {0, 1, 2, 3, 3, 2, 1, 0};
  // Counted from the top: the upper half is the mirror image, meeting the map at its top row.
  const std::vector<int> mirroredRows = {3, 2, 1, 0, 0, 1, 2, 3};

  DIBPtr u(maker.BitmapToDIB(bm.get(), U_MIRROR, 0));
  ExpectPicks(u.get(), mirrored, doubled);
  DIBPtr v(maker.BitmapToDIB(bm.get(), V_MIRROR, 0));
  ExpectPicks(v.get(), doubled, mirroredRows);
  DIBPtr uv(maker.BitmapToDIB(bm.get(), U_MIRROR | V_MIRROR, 0));
  ExpectPicks(uv.get(), mirrored, mirroredRows);

  // Wrapping adds nothing inside one tile.
  DIBPtr plain(maker.BitmapToDIB(bm.get(), 0, 0));
  DIBPtr wrapped(maker.BitmapToDIB(bm.get(), U_WRAP | V_WRAP, 0));
  EXPECT_EQ(DIBBytes(wrapped.get()), DIBBytes(plain.get()));
  DIBPtr uWrapped(maker.BitmapToDIB(bm.get(), U_MIRROR | U_WRAP | V_WRAP, 0));
  EXPECT_EQ(DIBBytes(uWrapped.get()), DIBBytes(u.get()));

  // An odd size has a middle column of its own; the image is still its own mirror.
  DIBPtr odd(maker.BitmapToDIB(bm.get(), U_MIRROR | V_MIRROR, 0, 5, 5));
  ExpectPicks(odd.get(), {0, 2, 3, 2, 0}, {3, 1, 0, 1, 3});
}

TEST(ViewportTexHandleMaker, HandlesAreUniqueAndCounted) {
  ViewportTexHandleMaker maker;
  EXPECT_EQ(maker.Size(), 64);
  EXPECT_EQ(maker.MakeHandle(nullptr), nullptr);
  EXPECT_EQ(maker.HandlesMade(), 0);

  BitmapPtr bm = Tagged(2, 2);
  std::vector<TexHandle*> handles;
  std::set<std::uintptr_t> ids;
  for (int i = 0; i < 3; ++i) {
    BITMAPINFO* dib = maker.BitmapToDIB(bm.get(), 0, 0);
    TexHandle* h = maker.MakeHandle(dib);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(static_cast<ViewportTexHandle*>(h)->DIB(), dib);
    EXPECT_NE(h->GetHandle(), 0u);
    ids.insert(h->GetHandle());
    handles.push_back(h);
  }
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_EQ(maker.HandlesMade(), 3);
  EXPECT_EQ(maker.LiveHandles(), 3);
  handles[1]->DeleteThis();
  EXPECT_EQ(maker.HandlesMade(), 3);
  EXPECT_EQ(maker.LiveHandles(), 2);
  // A new handle never reuses the id of one that is gone.
  TexHandle* again = maker.MakeHandle(maker.BitmapToDIB(bm.get(), 0, 0));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(ids.count(again->GetHandle()), 0u);
  EXPECT_EQ(maker.LiveHandles(), 3);

  // A DIB of another layout is refused, and freed (the sanitizer build would report a leak).
  BITMAPINFO* odd = AllocateDIB(2, 2);
  odd->bmiHeader.biCompression = 3;
  EXPECT_EQ(maker.MakeHandle(odd), nullptr);
  EXPECT_EQ(maker.HandlesMade(), 4);

  // Handles may outlive the viewport that made them.
  TexHandle* orphan = nullptr;
  {
    ViewportTexHandleMaker shortLived(4);
    orphan = shortLived.MakeHandle(shortLived.BitmapToDIB(bm.get(), 0, 0));
    ASSERT_NE(orphan, nullptr);
    EXPECT_EQ(ids.count(orphan->GetHandle()), 0u);
  }
  orphan->DeleteThis();

  for (TexHandle* h : {handles[0], handles[2], again}) h->DeleteThis();
  EXPECT_EQ(maker.LiveHandles(), 0);
}

// ---- .bmp files -------------------------------------------------------------------------------

class BMPFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = test_support::MakeTempFolder("bitmap_");
    ASSERT_FALSE(folder_.empty());
    path_ = (folder_ / "view.bmp").string();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::vector<std::string> FolderEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  static Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  static std::uint32_t U32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
  }

  std::filesystem::path folder_;
  std::string path_;
};

TEST_F(BMPFileTest, SavedFileHoldsTheHeadersAndTheDIBPixels) {
  BitmapPtr bm = Tagged(4, 4);
  ViewportTexHandleMaker maker(4);
  DIBPtr dib(maker.BitmapToDIB(bm.get(), 0, 0));
  { std::ofstream(path_) << "old"; }
  std::string error = "stale";
  ASSERT_TRUE(SaveDIBAsBMP(dib.get(), path_, &error)) << error;
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(FolderEntries(), std::vector<std::string>{"view.bmp"});

  const Bytes file = ReadFile(path_);
  ASSERT_EQ(file.size(), 14u + 40u + 64u);
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  EXPECT_EQ(U32(file, 2), 118u);  // file size
  EXPECT_EQ(U32(file, 6), 0u);    // reserved
  EXPECT_EQ(U32(file, 10), 54u);  // pixel offset
  EXPECT_EQ(U32(file, 14), 40u);
  EXPECT_EQ(U32(file, 18), 4u);
  EXPECT_EQ(U32(file, 22), 4u);
  EXPECT_EQ(file[26] | (file[27] << 8), 1);   // planes
  EXPECT_EQ(file[28] | (file[29] << 8), 32);  // bits per pixel
  EXPECT_EQ(U32(file, 30), 0u);               // BI_RGB
  EXPECT_EQ(U32(file, 34), 64u);
  // First pixel: the bottom row's left one, Tag(0, 3), as B, G, R, A.
  EXPECT_EQ(Bytes(file.begin() + 54, file.begin() + 58), (Bytes{112, 32, 1, 203}));
  const Bytes pixels = DIBBytes(dib.get());
  EXPECT_EQ(Bytes(file.begin() + 54, file.end()), Bytes(pixels.begin() + 40, pixels.end()));
}

TEST_F(BMPFileTest, FailedSavesLeaveNoTemporary) {
  DIBPtr dib(AllocateDIB(64, 64));
  const std::string missing = (folder_ / "missing" / "view.bmp").string();
  std::string error;
  EXPECT_FALSE(SaveDIBAsBMP(dib.get(), missing, &error));
  EXPECT_EQ(error.rfind(missing + ": ", 0), 0u) << error;
  EXPECT_TRUE(FolderEntries().empty());

  error.clear();
  EXPECT_FALSE(SaveDIBAsBMP(nullptr, path_, &error));
  EXPECT_EQ(error.rfind(path_ + ": ", 0), 0u) << error;
  EXPECT_TRUE(FolderEntries().empty());

#ifndef _WIN32  // no file size limit there; the safe-save tests fill its disk another way
  // A write past the file size limit fails with EFBIG (its signal ignored), as a full disk
  // would; the old file must survive it.
  { std::ofstream(path_) << "old"; }
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool savedOk = SaveDIBAsBMP(dib.get(), path_, &error);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(savedOk);
  EXPECT_NE(error.find("write"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(path_), (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(FolderEntries(), std::vector<std::string>{"view.bmp"});
#endif
}

}  // namespace
