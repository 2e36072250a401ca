// Bitmaps, and the path by which a texture map shows itself in the viewports: the map draws into
// a Bitmap from TheManager, the viewport's TexHandleMaker turns that into a packed DIB of the size
// it wants, and MakeHandle turns the DIB into a texture handle the viewport draws with.
//
// Pixels: BMM_Color_64 channels run 0..65535 (65535 full intensity). A BMM_TRUE_32 bitmap keeps
// 8 bits per channel; a 16-bit value v is stored as the nearest 8-bit one, (v * 255 + 32767) /
// 65535, and an 8-bit value b reads back as b * 257, so 8-bit values survive a round trip
// exactly. A BMM_TRUE_64 bitmap keeps the 16-bit values as given.
//
// Rows: in a Bitmap row 0 is the top. In a DIB rows are stored bottom-up (the first stored row is
// the bottom of the image, the texture's v = 0), as Windows does for a positive biHeight.
//
// Ownership: bitmaps come from BitmapManager::Create and go back with DeleteThis. A DIB from
// BitmapToDIB or AllocateDIB belongs to the caller until it is handed to MakeHandle (which takes
// it over) or freed with FreeDIB; never delete or free() it directly. Handles are freed with
// DeleteThis.
//
// Threads: Create, DeleteThis of a bitmap and the DIB functions may be called from any thread; a
// single bitmap must not be written while another thread reads or writes it. A TexHandleMaker and
// its handles belong to the viewport thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/cstr.h"
#include "host/types.h"

struct BMM_Color_64 {
  std::uint16_t r = 0, g = 0, b = 0, a = 0;
  friend constexpr bool operator==(const BMM_Color_64&, const BMM_Color_64&) = default;
};

struct BMM_Color_32 {
  std::uint8_t r = 0, g = 0, b = 0, a = 0;
  friend constexpr bool operator==(const BMM_Color_32&, const BMM_Color_32&) = default;
};

// Bitmap storage types.
inline constexpr int BMM_NO_TYPE = 0;  // unset; Create refuses it
inline constexpr int BMM_TRUE_32 = 6;  // 8 bits per channel, RGBA
inline constexpr int BMM_TRUE_64 = 7;  // 16 bits per channel, RGBA

// Create refuses a bitmap of more pixels than this (16384 x 16384). It also keeps every DIB's
// byte count inside the 32-bit biSizeImage.
inline constexpr std::int64_t kMaxBitmapPixels = std::int64_t{16384} * 16384;

// The conversions of BMM_TRUE_32 storage (see the top of this file): nearest 8-bit value, and its
// exact 16-bit equivalent.
constexpr std::uint8_t ColorTo8(std::uint16_t v) { return static_cast<std::uint8_t>((v * 255u + 32767u) / 65535u); }
constexpr std::uint16_t ColorTo16(std::uint8_t v) { return static_cast<std::uint16_t>(v * 257u); }

// What a bitmap should be: its name, size in pixels and storage type.
class BitmapInfo {
 public:
  void SetName(const CStr& name) { name_ = name; }
  const CStr& Name() const { return name_; }
  void SetWidth(int width) { width_ = width; }
  int Width() const { return width_; }
  void SetHeight(int height) { height_ = height; }
  int Height() const { return height_; }
  void SetType(int type) { type_ = type; }
  int Type() const { return type_; }

 private:
  CStr name_;
  int width_ = 0;
  int height_ = 0;
  int type_ = BMM_NO_TYPE;
};

class BitmapManager;

// A bitmap in memory, zero-filled when made.
class Bitmap {
 public:
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  int Width() const { return width_; }
  int Height() const { return height_; }
  int Type() const { return type_; }

  // Writes count pixels of row y (0 = top) starting at column x, clipped to the end of the row.
  // Returns the number written: 0, and nothing written, when pixels is null, count < 1, or y
  // or x lies outside the bitmap.
  int PutPixels(int x, int y, int count, BMM_Color_64* pixels);
  // Reads like PutPixels writes, into out[0 .. returned count).
  int GetPixels(int x, int y, int count, BMM_Color_64* out) const;

  // Frees the bitmap; it must not be used afterwards.
  void DeleteThis();

 private:
  friend class BitmapManager;
  Bitmap(BitmapManager* manager, int width, int height, int type);
  ~Bitmap() = default;
  // Pixels in row y from column x that a call for count may touch; 0 when none.
  int Span(int x, int y, int count) const;

  BitmapManager* manager_;  // outlives its bitmaps
  int width_;
  int height_;
  int type_;
  // Row-major from the top; exactly one of the two holds the pixels, by type.
  std::vector<BMM_Color_32> pixels32_;
  std::vector<BMM_Color_64> pixels64_;
};

class BitmapManager {
 public:
  BitmapManager() = default;
  BitmapManager(const BitmapManager&) = delete;
  BitmapManager& operator=(const BitmapManager&) = delete;

  // A new zero-filled bitmap as bi describes, or null when bi is null, either size is below 1,
  // the pixel count exceeds kMaxBitmapPixels, the type is not BMM_TRUE_32 or BMM_TRUE_64, or
  // memory runs out. The name is not kept.
  Bitmap* Create(BitmapInfo* bi);
  // Bitmaps this manager created that are not yet deleted, for tests that look for leaks.
  int LiveBitmaps() const { return live_.load(); }

 private:
  friend class Bitmap;
  std::atomic<int> live_{0};
};

// The host's bitmap manager; never null.
extern BitmapManager* TheManager;

// ---- Packed DIBs ------------------------------------------------------------------------------
//
// A packed DIB is one allocation: a 40-byte BITMAPINFOHEADER immediately followed by the pixels.
// The DIBs this host makes are 32 bits per pixel, BI_RGB, bottom-up, with no colour table, so the
// pixels start at byte 40, where bmiColors lies (bmiColors is not a palette here). Each pixel is
// the bytes B, G, R, A; rows are width * 4 bytes with no padding. Every field is little-endian,
// which on the machines this host runs on is the native order.

// On Windows these come from the system headers, with the same layout.
#ifndef _WIN32
struct BITMAPINFOHEADER {
  std::uint32_t biSize;
  std::int32_t biWidth;
  std::int32_t biHeight;  // positive: rows stored bottom-up
  std::uint16_t biPlanes;
  std::uint16_t biBitCount;
  std::uint32_t biCompression;
  std::uint32_t biSizeImage;  // bytes of pixel data
  std::int32_t biXPelsPerMeter;
  std::int32_t biYPelsPerMeter;
  std::uint32_t biClrUsed;
  std::uint32_t biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct RGBQUAD {
  std::uint8_t rgbBlue;
  std::uint8_t rgbGreen;
  std::uint8_t rgbRed;
  std::uint8_t rgbReserved;
};

struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
};
static_assert(sizeof(BITMAPINFO) == 44);

inline constexpr std::uint32_t BI_RGB = 0;
#endif

// Bytes of a packed 32-bit DIB of width x height (header included); 0 when either size is below
// 1 or the pixel count exceeds kMaxBitmapPixels.
std::size_t DIBByteSize(int width, int height);
// A packed 32-bit DIB of width x height with its header filled in and every pixel zero (black,
// alpha 0); null when DIBByteSize is 0 or memory runs out.
BITMAPINFO* AllocateDIB(int width, int height);
// The first pixel byte (the bottom row's left pixel) of a DIB made by this host.
unsigned char* DIBPixels(BITMAPINFO* dib);
const unsigned char* DIBPixels(const BITMAPINFO* dib);
// Whether dib has the layout this host makes and reads (see above) and a size Create would allow.
bool IsHostDIB(const BITMAPINFO* dib);
// Frees a DIB made by this host; null is ignored.
void FreeDIB(BITMAPINFO* dib);

// Writes dib to path as a .bmp file: the 14-byte file header, the DIB's 40-byte header and its
// 32-bit BI_RGB pixels unchanged (alpha included, which viewers that know it show and the rest
// ignore). The bytes go to a temporary file in path's folder that is renamed over path only when
// every write, the flush to disk and the close have succeeded; on any failure the temporary is
// removed, path is left as it was, false is returned and *error (error may be null) names path
// and the problem. dib must satisfy IsHostDIB.
bool SaveDIBAsBMP(const BITMAPINFO* dib, const std::string& path, std::string* error);

// ---- Viewport textures ------------------------------------------------------------------------

// A texture the viewport has made from a DIB.
class TexHandle {
 public:
  // Non-zero, and different for every handle ever made in this process.
  virtual std::uintptr_t GetHandle() = 0;
  // Frees the handle and its texture.
  virtual void DeleteThis() = 0;

 protected:
  virtual ~TexHandle() = default;
};

// What a viewport offers a map for making its texture.
class TexHandleMaker {
 public:
  virtual ~TexHandleMaker() = default;
  // The width and height in pixels the viewport wants its textures.
  virtual int Size() = 0;
  // bm as a 32-bit DIB for this viewport, owned by the caller; null when bm is null or the size
  // asked for cannot be made. forceW / forceH, when non-zero, are the width / height in pixels
  // to make instead of Size(). symflags are a UV generator's SymFlags (U_WRAP, V_WRAP, U_MIRROR,
  // V_MIRROR of host/uvgen.h); extraFlags is reserved.
  virtual BITMAPINFO* BitmapToDIB(Bitmap* bm, int symflags, int extraFlags, BOOL forceW = 0, BOOL forceH = 0) = 0;
  // A texture made from dib, which the handle takes over; null for a null dib. On failure the
  // dib is freed all the same and null is returned.
  virtual TexHandle* MakeHandle(BITMAPINFO* dib) = 0;
};

// This host's viewport texture: it keeps the DIB it was made from.
class ViewportTexHandle final : public TexHandle {
 public:
  std::uintptr_t GetHandle() override { return id_; }
  void DeleteThis() override;
  const BITMAPINFO* DIB() const { return dib_; }

 private:
  friend class ViewportTexHandleMaker;
  struct Counts {
    int made = 0;
    int live = 0;
  };
  ViewportTexHandle(BITMAPINFO* dib, std::shared_ptr<Counts> counts);
  ~ViewportTexHandle() override;

  std::uintptr_t id_;
  BITMAPINFO* dib_;
  std::shared_ptr<Counts> counts_;  // shared, so a handle may outlive its maker
};

// This host's viewport. A size below 1 makes BitmapToDIB refuse every call that does not force
// both sizes.
//
// BitmapToDIB resamples with nearest neighbour: each DIB pixel takes the bitmap pixel under its
// centre, positions measured from the image's bottom-left corner (u to the right, v up, both 0..1
// across the image). A centre exactly on the boundary between two bitmap pixels takes the one
// to its right (or above). With U_MIRROR the DIB holds the map and its mirror image side by side:
// the left half is the bitmap squeezed to half the width, the right half its mirror image, the
// two meeting at the bitmap's right edge (u' = 2u for u < 1/2, 2 - 2u beyond). V_MIRROR does the
// same across the height: the lower half is the bitmap, the upper half its mirror image, meeting
// at the bitmap's top edge. The wrap flags change nothing within the one tile a DIB shows.
// Alpha goes into each pixel's fourth byte.
//
// The maker counts the handles it has made and those still alive; its handles may outlive it.
class ViewportTexHandleMaker final : public TexHandleMaker {
 public:
  explicit ViewportTexHandleMaker(int size = 64);

  int Size() override { return size_; }
  BITMAPINFO* BitmapToDIB(Bitmap* bm, int symflags, int extraFlags, BOOL forceW = 0, BOOL forceH = 0) override;
  // Also refuses (freeing it) a dib that is not IsHostDIB.
  TexHandle* MakeHandle(BITMAPINFO* dib) override;

  int HandlesMade() const { return counts_->made; }
  int LiveHandles() const { return counts_->live; }

 private:
  int size_;
  std::shared_ptr<ViewportTexHandle::Counts> counts_;
};
