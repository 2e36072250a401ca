#include "host/bitmap.h"

#include "host/atomic_file.h"
#include "host/byte_order.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "host/uvgen.h"

// A DIB goes between modules as bytes in the Windows layout, which is little-endian; the structs
// give that layout only on a little-endian machine.
static_assert(std::endian::native == std::endian::little, "packed DIBs need a little-endian machine");

namespace {

constexpr std::size_t kDIBHeaderBytes = sizeof(BITMAPINFOHEADER);
constexpr std::size_t kBMPFileHeaderBytes = 14;

BitmapManager theManager;

}  // namespace

// ---- Bitmaps ----------------------------------------------------------------------------------

BitmapManager* TheManager = &theManager;

Bitmap::Bitmap(BitmapManager* manager, int width, int height, int type)
    : manager_(manager), width_(width), height_(height), type_(type) {
  const auto count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  if (type == BMM_TRUE_32) {
    pixels32_.resize(count);
  } else {
    pixels64_.resize(count);
  }
}

void Bitmap::DeleteThis() {
  --manager_->live_;
  delete this;
}

int Bitmap::Span(int x, int y, int count) const {
  if (count < 1 || x < 0 || x >= width_ || y < 0 || y >= height_) return 0;
  return std::min(count, width_ - x);
}

int Bitmap::PutPixels(int x, int y, int count, BMM_Color_64* pixels) {
  if (pixels == nullptr) return 0;
  const int n = Span(x, y, count);
  const std::size_t start = static_cast<std::size_t>(y) * width_ + x;
  for (int i = 0; i < n; ++i) {
    const BMM_Color_64& p = pixels[i];
    if (type_ == BMM_TRUE_32) {
      pixels32_[start + i] = {ColorTo8(p.r), ColorTo8(p.g), ColorTo8(p.b), ColorTo8(p.a)};
    } else {
      pixels64_[start + i] = p;
    }
  }
  return n;
}

int Bitmap::GetPixels(int x, int y, int count, BMM_Color_64* out) const {
  if (out == nullptr) return 0;
  const int n = Span(x, y, count);
  const std::size_t start = static_cast<std::size_t>(y) * width_ + x;
  for (int i = 0; i < n; ++i) {
    if (type_ == BMM_TRUE_32) {
      const BMM_Color_32& p = pixels32_[start + i];
      out[i] = {ColorTo16(p.r), ColorTo16(p.g), ColorTo16(p.b), ColorTo16(p.a)};
    } else {
      out[i] = pixels64_[start + i];
    }
  }
  return n;
}

Bitmap* BitmapManager::Create(BitmapInfo* bi) {
  if (bi == nullptr) return nullptr;
  const int width = bi->Width();
  const int height = bi->Height();
  if (width < 1 || height < 1 || std::int64_t{width} * height > kMaxBitmapPixels) return nullptr;
  if (bi->Type() != BMM_TRUE_32 && bi->Type() != BMM_TRUE_64) return nullptr;
  try {
    Bitmap* bm = new Bitmap(this, width, height, bi->Type());
    ++live_;
    return bm;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// ---- Packed DIBs ------------------------------------------------------------------------------

std::size_t DIBByteSize(int width, int height) {
  if (width < 1 || height < 1 || std::int64_t{width} * height > kMaxBitmapPixels) return 0;
  return kDIBHeaderBytes + static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
}

BITMAPINFO* AllocateDIB(int width, int height) {
  const std::size_t bytes = DIBByteSize(width, height);
  if (bytes == 0) return nullptr;
  // calloc: the pixels start zeroed, and FreeDIB can free any DIB without knowing its size.
  void* memory = std::calloc(1, bytes);
  if (memory == nullptr) return nullptr;
  auto* dib = static_cast<BITMAPINFO*>(memory);
  BITMAPINFOHEADER& h = dib->bmiHeader;
  h.biSize = static_cast<std::uint32_t>(kDIBHeaderBytes);
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = 32;
  h.biCompression = BI_RGB;
  h.biSizeImage = static_cast<std::uint32_t>(bytes - kDIBHeaderBytes);
  return dib;
}

unsigned char* DIBPixels(BITMAPINFO* dib) { return reinterpret_cast<unsigned char*>(dib) + kDIBHeaderBytes; }

const unsigned char* DIBPixels(const BITMAPINFO* dib) {
  return reinterpret_cast<const unsigned char*>(dib) + kDIBHeaderBytes;
}

bool IsHostDIB(const BITMAPINFO* dib) {
  if (dib == nullptr) return false;
  const BITMAPINFOHEADER& h = dib->bmiHeader;
  const std::size_t bytes = DIBByteSize(h.biWidth, h.biHeight);
  return h.biSize == kDIBHeaderBytes && bytes != 0 && h.biPlanes == 1 && h.biBitCount == 32 &&
         h.biCompression == BI_RGB && h.biClrUsed == 0 && h.biSizeImage == bytes - kDIBHeaderBytes;
}

void FreeDIB(BITMAPINFO* dib) { std::free(dib); }

// ---- Saving a DIB as a .bmp file --------------------------------------------------------------

namespace {

bool SaveRefused(std::string* error, const std::string& path, const std::string& what) {
  if (error) *error = path + ": " + what;
  return false;
}

}  // namespace

bool SaveDIBAsBMP(const BITMAPINFO* dib, const std::string& path, std::string* error) {
  if (!IsHostDIB(dib)) {
    return SaveRefused(error, path, "not a 32-bit bottom-up BI_RGB DIB without a colour table");
  }
  const BITMAPINFOHEADER& h = dib->bmiHeader;

  // The headers are written field by field so the file does not depend on struct layout.
  unsigned char header[kBMPFileHeaderBytes + kDIBHeaderBytes] = {};
  const auto pixelOffset = static_cast<std::uint32_t>(sizeof header);
  header[0] = 'B';
  header[1] = 'M';
  StoreLE32(header + 2, pixelOffset + h.biSizeImage);  // file size; below 2^31 by the pixel cap
  StoreLE32(header + 10, pixelOffset);
  unsigned char* info = header + kBMPFileHeaderBytes;
  StoreLE32(info + 0, h.biSize);
  StoreLE32(info + 4, static_cast<std::uint32_t>(h.biWidth));
  StoreLE32(info + 8, static_cast<std::uint32_t>(h.biHeight));
  StoreLE16(info + 12, h.biPlanes);
  StoreLE16(info + 14, h.biBitCount);
  StoreLE32(info + 16, h.biCompression);
  StoreLE32(info + 20, h.biSizeImage);
  StoreLE32(info + 24, static_cast<std::uint32_t>(h.biXPelsPerMeter));
  StoreLE32(info + 28, static_cast<std::uint32_t>(h.biYPelsPerMeter));
  StoreLE32(info + 32, h.biClrUsed);
  StoreLE32(info + 36, h.biClrImportant);

  std::string why;
  AtomicFileWriter temp;
  if (!temp.Open(path, &why) || !temp.Write(header, sizeof header, &why) ||
      !temp.Write(DIBPixels(dib), h.biSizeImage, &why) || !temp.Commit(&why)) {
    return SaveRefused(error, path, why);
  }
  if (error) error->clear();
  return true;
}

// ---- Viewport textures ------------------------------------------------------------------------

namespace {

// Never reused, so a map that compares handles can tell a rebuilt texture from the old one even
// when the new handle lands at the old one's address.
std::atomic<std::uintptr_t> nextHandleId{1};

// The source pixel (0 .. m-1, counted from the image's left or bottom edge) under the centre of
// pixel i of n across the same image. The centre is at t / 2n with t = 2i + 1; integer arithmetic
// keeps the boundary cases exact. Mirrored, the first half of the n pixels shows the source
// squeezed into it and the second half the same reversed.
int SourceIndex(int i, int n, int m, bool mirror) {
  const std::int64_t t = 2 * std::int64_t{i} + 1;
  std::int64_t index = 0;
  if (!mirror) {
    index = t * m / (2 * std::int64_t{n});
  } else if (t < n) {
    index = t * m / n;
  } else {
    index = (2 * std::int64_t{n} - t) * m / n;
  }
  return static_cast<int>(std::min<std::int64_t>(index, m - 1));
}

}  // namespace

ViewportTexHandle::ViewportTexHandle(BITMAPINFO* dib, std::shared_ptr<Counts> counts)
    : id_(nextHandleId++), dib_(dib), counts_(std::move(counts)) {
  ++counts_->made;
  ++counts_->live;
}

ViewportTexHandle::~ViewportTexHandle() {
  FreeDIB(dib_);
  --counts_->live;
}

void ViewportTexHandle::DeleteThis() { delete this; }

ViewportTexHandleMaker::ViewportTexHandleMaker(int size)
    : size_(size), counts_(std::make_shared<ViewportTexHandle::Counts>()) {}

BITMAPINFO* ViewportTexHandleMaker::BitmapToDIB(Bitmap* bm, int symflags, int, BOOL forceW, BOOL forceH) {
  if (bm == nullptr) return nullptr;
  const int width = forceW != 0 ? forceW : size_;
  const int height = forceH != 0 ? forceH : size_;
  BITMAPINFO* dib = AllocateDIB(width, height);
  if (dib == nullptr) return nullptr;
  try {
    const bool mirrorU = (symflags & U_MIRROR) != 0;
    const bool mirrorV = (symflags & V_MIRROR) != 0;
    std::vector<int> columns(static_cast<std::size_t>(width));
    for (int x = 0; x < width; ++x) columns[x] = SourceIndex(x, width, bm->Width(), mirrorU);
    std::vector<BMM_Color_64> line(static_cast<std::size_t>(bm->Width()));
    unsigned char* out = DIBPixels(dib);
    // DIB row r counts from the bottom, bitmap rows from the top.
    for (int r = 0; r < height; ++r) {
      const int fromBottom = SourceIndex(r, height, bm->Height(), mirrorV);
      bm->GetPixels(0, bm->Height() - 1 - fromBottom, bm->Width(), line.data());
      for (int x = 0; x < width; ++x) {
        const BMM_Color_64& p = line[columns[x]];
        *out++ = ColorTo8(p.b);
        *out++ = ColorTo8(p.g);
        *out++ = ColorTo8(p.r);
        *out++ = ColorTo8(p.a);
      }
    }
  } catch (const std::bad_alloc&) {
    FreeDIB(dib);
    return nullptr;
  }
  return dib;
}

TexHandle* ViewportTexHandleMaker::MakeHandle(BITMAPINFO* dib) {
  if (dib == nullptr) return nullptr;
  if (!IsHostDIB(dib)) {
    FreeDIB(dib);
    return nullptr;
  }
  try {
    return new ViewportTexHandle(dib, counts_);
  } catch (const std::bad_alloc&) {
    FreeDIB(dib);
    return nullptr;
  }
}
