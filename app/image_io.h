// Image files for the command-line host: 8- and 16-bit PNG, 32-bit float EXR, 16-bit and float
// TIFF (app/tiff_io.h) and RAW16 (app/raw_io.h), with text metadata carried inside the file (RAW16
// has nowhere to carry it, and drops it).
//
// Pixels: an Image is row-major with row 0 at the TOP, `channels` floats per pixel interleaved:
// 1 = grey (a height), 2 = grey + alpha, 3 = RGB, 4 = RGBA. There is no colour management: PNG
// values are the stored codes over 255 or 65535, EXR values are the stored floats.
//
// PNG: values are clamped to 0..1 (NaN counts as 0) and stored as lround(v * 255) or
// lround(v * 65535), so 0.5 becomes 128 or 32768 and a value reads back within half a step.
// Width and height are at most 65535. The deflate level is ImageWriteOptions::pngLevel.
//
// EXR: one part, scan lines, compressed as ImageWriteOptions::exrCompression says (the choice is
// the file's own compression attribute, so any reader knows it), every channel 32-bit FLOAT and
// unclamped (heights stay in whatever units the caller gave). The blocks are compressed on
// ImageWriteOptions::threads threads of OpenEXR's pool. Channel names: 1 -> Y, 2 -> Y A, 3 -> R G B,
// 4 -> R G B A. Reading takes the data window as the image (row 0 = its top line) and accepts any
// file whose channels include R, G or B (read as RGB, missing ones 0) or else Y (read as grey);
// A adds an alpha channel. Other channels are ignored; half and uint channels become floats.
//
// Metadata: every key is 1..79 printable ASCII characters (0x20..0x7E) with no leading, trailing
// or doubled space, and no key appears twice; values are any bytes but NUL (UTF-8 by convention).
// The rule is the same for both formats so that metadata survives a conversion; a writer refuses
// metadata that breaks it rather than truncating keys, which could make two of them equal. PNG
// stores an ASCII value as tEXt and any other value as uncompressed iTXt, so UTF-8 comes back
// unchanged; tEXt and zTXt written by other programs are Latin-1 and are read back as UTF-8. EXR
// stores each entry as a string attribute of the header; a key that names one of the header's
// own attributes ("channels", "compression", "dataWindow", ...) is refused. Reading an EXR
// returns every string attribute in its header, in name order.
//
// TIFF and RAW16 are written, never read: ReadImage and StoredFormat know PNG and EXR only.
//
// Errors are returned, never thrown: each function returns false and, when `error` is not null,
// sets it to one line that starts with the path and says what is wrong. On failure the outputs
// are left as they were. Files are written through AtomicFileWriter, so a failed write leaves no
// partial file and the old file unchanged.
//
// Big images need not be whole in memory: ImageStreamWriter takes the rows a band at a time from
// the top and encodes them as they come (PNG row by row, EXR block by block), so besides the rows
// in hand only the encoder's own state is held. Entries known only once the pixels are done (a
// render's coverage and time) are declared at Open with the most bytes their values may take and
// given to Finish: PNG stores them as text chunks after the pixels; EXR keeps every attribute in
// the header before the pixels, so their room is reserved there and filled in at Finish, a value
// shorter than its room padded with trailing spaces (which ReadImage returns as stored).
//
// Threads: all functions may run on several threads at once for different files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/geo_reference.h"

struct Image {
  int width = 0, height = 0, channels = 0;
  std::vector<float> pixels;  // width * height * channels values; see the top of this file
};

struct ImageMetadata {
  std::vector<std::pair<std::string, std::string>> entries;  // key, value; in file order
};

// Tiff16 and Tiff32: tiled, deflated TIFF of 16-bit unsigned or 32-bit float samples (app/tiff_io.h).
// Raw16: one channel of little-endian 16-bit samples, row-major, no header (app/raw_io.h).
enum class ImageFormat { Png8, Png16, Exr, Tiff16, Tiff32, Raw16 };

// Neither format is read beyond this many pixels (width * height), so a hostile header cannot make
// a reader allocate more than 2^28 * 4 floats (4 GiB). Writing has no such limit: its pixels are
// the caller's.
inline constexpr std::uint64_t kMaxImagePixels = std::uint64_t{1} << 28;
// PNG allows up to 2^31 - 1; larger sides are refused when writing.
inline constexpr int kMaxPngSide = 65535;
inline constexpr std::size_t kMaxMetadataKeyLength = 79;

// How an EXR's blocks are compressed. All but Dwaa are lossless. Dwaa is lossy: it quantises the
// Y, R, G and B channels (float ones too) in 8 x 8 blocks: a smooth 0..1 height moves by about
// 1e-3, a noisy one by up to about 1e-2; A stays exact.
enum class ExrCompression { None, Zip, Zips, Piz, Dwaa };
// "none", "zip", "zips", "piz", "dwaa"; nullopt for anything else.
std::optional<ExrCompression> ExrCompressionFromName(std::string_view name);
const char* ExrCompressionName(ExrCompression compression);

struct ImageWriteOptions {
  // Piz (wavelet and Huffman coding of 32-line blocks): lossless, and on float heights both
  // sooner and smaller than Zip (see bench/README.md); its blocks compress in parallel.
  ExrCompression exrCompression = ExrCompression::Piz;
  // zlib level 0..9 for PNG. 1 writes a 16-bit height about 4 times sooner than libpng's own 6,
  // for about a third more bytes (see bench/README.md).
  int pngLevel = 1;
  int threads = 0;  // EXR compression threads; 0: all cores
  // The value the image's uncovered pixels hold, as stored (a float, NaN allowed, or a 16-bit
  // code), for formats that can name it; none: the image marks no pixel as no-data.
  std::optional<double> nodata;
  // Where a TIFF's pixels lie in the world (GeoTIFF); none: a plain TIFF. Other formats ignore it.
  std::optional<GeoReference> georef;
};
inline constexpr int kMaxPngLevel = 9;

// "png8", "png16", "exr", "tiff16", "tiff32" or "raw16" (exactly, as given to --format); nullopt
// for anything else.
std::optional<ImageFormat> FormatFromName(std::string_view name);
// ".png" -> Png8, ".exr" -> Exr, ".tif"/".tiff" -> Tiff32, ".r16"/".raw" -> Raw16, the extension in
// any letter case; nullopt for anything else. A caller that wants 16-bit PNG or TIFF says so with
// FormatFromName.
std::optional<ImageFormat> FormatFromExtension(std::string_view path);

// Writes image to path in the given format with the metadata entries; path "-" is standard
// output, written as it is encoded. Refused: an empty image,
// channels outside 1..4, pixels.size() != width * height * channels, a PNG side beyond
// kMaxPngSide, a pngLevel outside 0..kMaxPngLevel, metadata breaking the rule above, and any
// library or file error.
bool WriteImage(const std::string& path, const Image& image, ImageFormat format, const ImageMetadata& meta,
                const ImageWriteOptions& options, std::string* error);
// The same with the default options.
bool WriteImage(const std::string& path, const Image& image, ImageFormat format, const ImageMetadata& meta,
                std::string* error);

// A metadata entry whose value comes only at Finish, and the most bytes that value may have.
struct LateEntry {
  std::string key;
  std::size_t reserve = 0;
};

// Writes one image to path (as WriteImage, "-" for standard output) a band of rows at a time, top
// row first. Nothing is visible at path until Finish succeeds: a writer destroyed before that, or
// one whose write failed, leaves no file and the old file unchanged (standard output and devices
// are written as the rows come, and keep what they got). An EXR file is written in place in its
// temporary; for standard output and other targets that cannot seek, the encoded EXR is kept in
// memory (not its floats) and written at Finish, since its line offset table comes last. A TIFF
// is the same (its directory comes last); a TIFF's late entries go into its metadata tag with the
// others, so their reserve only bounds them.
//
// Once a call fails the writer is spent: every later call fails with the same message.
// Threads: one thread at a time per writer.
class ImageStreamWriter {
 public:
  ImageStreamWriter();
  ~ImageStreamWriter();
  ImageStreamWriter(const ImageStreamWriter&) = delete;
  ImageStreamWriter& operator=(const ImageStreamWriter&) = delete;

  // Refused as WriteImage refuses (channels, sizes, options, metadata and its EXR reserved
  // names), and a late key that breaks the metadata rule, repeats a key or has no room (0).
  bool Open(const std::string& path, int width, int height, int channels, ImageFormat format, const ImageMetadata& meta,
            const std::vector<LateEntry>& late, const ImageWriteOptions& options, std::string* error);
  // Rows first .. first + count - 1, count * width * channels floats laid out as Image::pixels.
  // first must be the row after the last one written.
  bool WriteRows(int first, int count, const float* pixels, std::string* error);
  // After the last row: late holds the values of the keys declared at Open, in that order, each
  // at most its reserve bytes and without NUL. Completes the file and puts it at path.
  bool Finish(const ImageMetadata& late, std::string* error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The bytes of the PNG file WriteImage would write for image in format (Png8 or Png16), without
// metadata, kept in memory. Refused as WriteImage refuses, and Exr.
bool EncodePngImage(const Image& image, ImageFormat format, std::vector<unsigned char>* bytes, std::string* error);

// The format a file's bytes hold: Png16 for a 16-bit PNG, Png8 for any other PNG, Exr; nullopt
// for anything else or a file that cannot be read.
std::optional<ImageFormat> StoredFormat(const std::string& path);

// Reads a PNG (any bit depth and colour type; palette and low-bit grey widen to 8 bits, a tRNS
// chunk becomes an alpha channel) or an EXR, told apart by the file's signature, not its name.
// out gets the pixels in 0..1 for PNG; meta (may be null) gets the file's text entries. Refused:
// more than kMaxImagePixels (checked before any pixel memory is allocated), truncated or corrupt
// files, an EXR without R, G, B or Y.
bool ReadImage(const std::string& path, Image* out, ImageMetadata* meta, std::string* error);
