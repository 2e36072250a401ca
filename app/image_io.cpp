// Both formats are encoded as their rows come, into a temporary file that replaces the target
// only once complete (see host/atomic_file.h), so the file appears whole or not at all. libpng
// reports errors by longjmp: every libpng call runs inside PngBegin, PngRows, PngEnd or DecodePng,
// whose own locals are trivially destructible, and whatever needs a destructor (buffers, text)
// lives in a struct owned by a frame the jump never leaves.
#include "app/image_io.h"

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfIO.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfOutputFile.h>
#include <OpenEXR/ImfStringAttribute.h>
#include <OpenEXR/ImfThreading.h>
#include <OpenEXR/ImfVersion.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>

#include "app/raw_io.h"
#include "app/sample_codes.h"
#include "app/tiff_io.h"
#include "host/atomic_file.h"

namespace {

constexpr unsigned char kExrMagic[4] = {0x76, 0x2f, 0x31, 0x01};
// libpng skips ancillary chunks beyond these limits instead of storing them: a compressed text
// chunk could otherwise inflate without bound.
constexpr png_alloc_size_t kMaxPngChunkBytes = 8u << 20;
constexpr png_uint_32 kMaxPngTextChunks = 1000;

bool Fail(std::string* error, const std::string& path, std::string what) {
  // Library messages sometimes span lines; the CLI prints one.
  for (char& c : what) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!what.empty() && what.back() == ' ') what.pop_back();
  if (error != nullptr) *error = path + ": " + what;
  return false;
}

std::string SizeText(std::uint64_t width, std::uint64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

// The reason an image of this shape cannot go into format, or empty when it can.
std::string CheckShape(int width, int height, int channels, ImageFormat format) {
  if (width <= 0 || height <= 0) return "the image is empty (" + SizeText(0, 0) + " or less)";
  if (channels < 1 || channels > 4) return "cannot store " + std::to_string(channels) + " channels (1 to 4)";
  const bool png = format == ImageFormat::Png8 || format == ImageFormat::Png16;
  if (png && (width > kMaxPngSide || height > kMaxPngSide))
    return SizeText(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height)) +
           " is too large for PNG (at most " + std::to_string(kMaxPngSide) + " a side)";
  if (format == ImageFormat::Raw16 && channels != 1)
    return "RAW16 holds one channel (heights), not " + std::to_string(channels);
  return {};
}

// The same for a whole image, whose pixels must also be as many as its shape says.
std::string CheckImage(const Image& image, ImageFormat format) {
  if (image.width <= 0 || image.height <= 0) return "the image is empty (" + SizeText(0, 0) + " or less)";
  if (image.channels < 1 || image.channels > 4)
    return "cannot store " + std::to_string(image.channels) + " channels (1 to 4)";
  const std::uint64_t w = static_cast<std::uint64_t>(image.width), h = static_cast<std::uint64_t>(image.height);
  if (image.pixels.size() != w * h * static_cast<std::uint64_t>(image.channels))
    return "the image holds " + std::to_string(image.pixels.size()) + " values, not " + SizeText(w, h) + " x " +
           std::to_string(image.channels);
  return CheckShape(image.width, image.height, image.channels, format);
}

// WriteImage hands a whole image to the stream writer this many rows at a time.
constexpr int kWholeImageBand = 256;

bool IsValidKey(const std::string& key) {
  if (key.empty() || key.size() > kMaxMetadataKeyLength || key.front() == ' ' || key.back() == ' ') return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (key[i] < 0x20 || key[i] > 0x7e) return false;
    if (key[i] == ' ' && key[i + 1] == ' ') return false;  // key.back() is not a space
  }
  return true;
}

std::string CheckMetadata(const ImageMetadata& meta) {
  std::set<std::string> seen;
  for (const auto& [key, value] : meta.entries) {
    if (!IsValidKey(key))
      return "metadata key \"" + key + "\" is not 1 to " + std::to_string(kMaxMetadataKeyLength) +
             " printable ASCII characters without leading, trailing or doubled spaces";
    if (!seen.insert(key).second) return "metadata key \"" + key + "\" appears twice";
    if (value.find('\0') != std::string::npos) return "metadata value of \"" + key + "\" holds a NUL byte";
  }
  return {};
}

constexpr std::size_t kOutputBuffer = std::size_t{1} << 20;

// Where an encoder's bytes go: a file through AtomicFileWriter (a temporary renamed over the
// target at Commit), standard output for "-", or memory. Appends are gathered into blocks of
// kOutputBuffer bytes, so an encoder's many small writes cost few system calls.
class ByteSink {
 public:
  bool OpenFile(const std::string& path, std::string* why) {
    if (path == "-") {
      toStandardOutput_ = true;
      return true;
    }
    return file_.Open(path, why);
  }
  void OpenMemory(std::vector<unsigned char>* memory) { memory_ = memory; }
  // A temporary file's descriptor, which may be written at any offset; -1 for any other target.
  int SeekableFd() const {
    return toStandardOutput_ || memory_ != nullptr || file_.TemporaryPath().empty() ? -1 : file_.fd();
  }
  bool Append(const unsigned char* bytes, std::size_t n, std::string* why) noexcept {
    try {
      if (memory_ != nullptr) {
        memory_->insert(memory_->end(), bytes, bytes + n);
        return true;
      }
      if (pending_.size() + n > kOutputBuffer && !Flush(why)) return false;
      if (n >= kOutputBuffer) return Put(bytes, n, why);
      pending_.insert(pending_.end(), bytes, bytes + n);
      return true;
    } catch (const std::bad_alloc&) {
      *why = "out of memory";
      return false;
    }
  }
  bool Flush(std::string* why) {
    if (pending_.empty()) return true;
    const bool ok = Put(pending_.data(), pending_.size(), why);
    pending_.clear();
    return ok;
  }
  bool Commit(std::string* why) {
    if (!Flush(why)) return false;
    return toStandardOutput_ || memory_ != nullptr || file_.Commit(why);
  }

 private:
  bool Put(const unsigned char* bytes, std::size_t n, std::string* why) {
    return toStandardOutput_ ? WriteAll(STDOUT_FILENO, bytes, n, why) : file_.Write(bytes, n, why);
  }

  AtomicFileWriter file_;
  bool toStandardOutput_ = false;
  std::vector<unsigned char>* memory_ = nullptr;
  std::vector<unsigned char> pending_;
};

std::string Latin1ToUtf8(const char* text, std::size_t n) {
  std::string out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

// ---- PNG ----

struct PngError {
  char message[256] = {};
};

[[noreturn]] void OnPngError(png_structp png, png_const_charp message) {
  auto* error = static_cast<PngError*>(png_get_error_ptr(png));
  std::snprintf(error->message, sizeof error->message, "%s", message);
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// libpng copies the text in png_set_text; the const_casts only satisfy its C signature. An ASCII
// value is a tEXt chunk, any other an uncompressed iTXt, so UTF-8 comes back unchanged.
std::vector<png_text> PngText(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::vector<png_text> text(entries.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto& [key, value] = entries[i];
    const bool ascii = std::all_of(value.begin(), value.end(), [](char c) { return (c & 0x80) == 0; });
    text[i].compression = ascii ? PNG_TEXT_COMPRESSION_NONE : PNG_ITXT_COMPRESSION_NONE;
    text[i].key = const_cast<char*>(key.c_str());
    text[i].text = const_cast<char*>(value.c_str());
    text[i].text_length = value.size();
  }
  return text;
}

// Everything the libpng calls of one encode touch. It outlives every call (the jump never leaves
// a frame that owns it), and the functions that call libpng have only trivially destructible
// locals of their own.
struct PngEncoder {
  PngEncoder() = default;
  PngEncoder(const PngEncoder&) = delete;
  PngEncoder& operator=(const PngEncoder&) = delete;
  ~PngEncoder() {
    if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
  }

  png_structp png = nullptr;
  png_infop info = nullptr;
  PngError error;
  ByteSink* sink = nullptr;
  std::string sinkError;  // why the sink refused bytes, when that is what stopped libpng
  png_uint_32 width = 0;
  int channels = 1, level = 6;
  bool sixteen = false;
  std::vector<png_text> text;       // for the next png_set_text
  std::vector<unsigned char> band;  // the rows in hand, quantised
  std::vector<png_bytep> rows;
};

void PngToSink(png_structp png, png_bytep data, png_size_t n) {
  auto* encoder = static_cast<PngEncoder*>(png_get_io_ptr(png));
  if (!encoder->sink->Append(data, n, &encoder->sinkError)) png_error(png, "the bytes could not be written");
}

void PngFlush(png_structp) {}

bool PngBegin(PngEncoder* e, png_uint_32 height) {
  static constexpr int kColorTypes[5] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                         PNG_COLOR_TYPE_RGB_ALPHA};
  e->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &e->error, OnPngError, OnPngWarning);
  e->info = e->png != nullptr ? png_create_info_struct(e->png) : nullptr;
  if (e->info == nullptr) {
    std::snprintf(e->error.message, sizeof e->error.message, "cannot create a PNG writer");
    return false;
  }
  if (setjmp(png_jmpbuf(e->png))) return false;
  png_set_write_fn(e->png, e, PngToSink, PngFlush);
  png_set_IHDR(e->png, e->info, e->width, height, e->sixteen ? 16 : 8, kColorTypes[e->channels], PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(e->png, e->level);
  if (!e->text.empty()) png_set_text(e->png, e->info, e->text.data(), static_cast<int>(e->text.size()));
  png_write_info(e->png, e->info);
  return true;
}

bool PngRows(PngEncoder* e, std::size_t count) {
  if (setjmp(png_jmpbuf(e->png))) return false;
  for (std::size_t y = 0; y < count; ++y) png_write_row(e->png, e->rows[y]);
  return true;
}

// Text given now goes after the pixels: png_write_end writes the entries png_write_info has not.
bool PngEnd(PngEncoder* e) {
  if (setjmp(png_jmpbuf(e->png))) return false;
  if (!e->text.empty()) png_set_text(e->png, e->info, e->text.data(), static_cast<int>(e->text.size()));
  png_write_end(e->png, e->info);
  return true;
}

// Quantises count rows of floats into e->band for PngRows.
void QuantizeRows(PngEncoder* e, const float* pixels, std::size_t count) {
  const std::size_t values = static_cast<std::size_t>(e->width) * static_cast<std::size_t>(e->channels);
  const std::size_t rowBytes = values * (e->sixteen ? 2 : 1);
  e->band.resize(rowBytes * count);
  e->rows.resize(count);
  for (std::size_t y = 0; y < count; ++y) {
    unsigned char* row = e->band.data() + y * rowBytes;
    e->rows[y] = row;
    const float* in = pixels + y * values;
    for (std::size_t i = 0; i < values; ++i) {
      if (e->sixteen) {
        const unsigned code = QuantizeSample(in[i], 65535);
        row[2 * i] = static_cast<unsigned char>(code >> 8);  // PNG samples are big-endian
        row[2 * i + 1] = static_cast<unsigned char>(code & 0xff);
      } else {
        row[i] = static_cast<unsigned char>(QuantizeSample(in[i], 255));
      }
    }
  }
}

// What stopped libpng: the sink's own reason (a full disk names itself) or libpng's message.
std::string PngFailure(const PngEncoder& e) {
  return !e.sinkError.empty() ? e.sinkError : std::string("writing PNG: ") + e.error.message;
}

// Filled by DecodePng. It lives in the caller's frame, so its vectors are never skipped by a jump.
struct PngDecode {
  std::FILE* file = nullptr;
  PngError error;
  png_uint_32 width = 0, height = 0;
  int channels = 0, bitDepth = 0;
  std::vector<unsigned char> raw;
  std::vector<png_bytep> rows;
  std::vector<std::pair<std::string, std::string>> text;
};

void ReadFromFile(png_structp png, png_bytep data, png_size_t n) {
  auto* decode = static_cast<PngDecode*>(png_get_io_ptr(png));
  if (std::fread(data, 1, n, decode->file) != n)
    png_error(png, std::ferror(decode->file) ? "read error" : "the file ends early (truncated?)");
}

bool AllocateRows(PngDecode* decode, std::size_t rowBytes) noexcept {
  try {
    decode->raw.resize(rowBytes * decode->height);
    decode->rows.resize(decode->height);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (std::size_t y = 0; y < decode->rows.size(); ++y) decode->rows[y] = decode->raw.data() + y * rowBytes;
  return true;
}

bool CopyText(png_structp png, png_infop info, PngDecode* decode) noexcept {
  png_textp text = nullptr;
  const int count = png_get_text(png, info, &text, nullptr);
  try {
    for (int i = 0; i < count; ++i) {
      const png_text& t = text[i];
      const bool utf8 = t.compression == PNG_ITXT_COMPRESSION_NONE || t.compression == PNG_ITXT_COMPRESSION_zTXt;
      std::string value = utf8 ? std::string(t.text, t.itxt_length) : Latin1ToUtf8(t.text, t.text_length);
      decode->text.emplace_back(Latin1ToUtf8(t.key, std::strlen(t.key)), std::move(value));
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Reads the PNG after its 8-byte signature, which the caller has consumed.
bool DecodePng(PngDecode* decode) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &decode->error, OnPngError, OnPngWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    std::snprintf(decode->error.message, sizeof decode->error.message, "cannot create a PNG reader");
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, decode, ReadFromFile);
  png_set_sig_bytes(png, 8);
  png_set_chunk_malloc_max(png, kMaxPngChunkBytes);
  png_set_chunk_cache_max(png, kMaxPngTextChunks);
  png_read_info(png, info);

  decode->width = png_get_image_width(png, info);
  decode->height = png_get_image_height(png, info);
  if (std::uint64_t{decode->width} * decode->height > kMaxImagePixels) {
    char message[128];
    std::snprintf(message, sizeof message, "%u x %u pixels is more than the %llu allowed", decode->width,
                  decode->height, static_cast<unsigned long long>(kMaxImagePixels));
    png_error(png, message);
  }
  const int colorType = png_get_color_type(png, info);
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colorType == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(png, info) < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS) != 0) png_set_tRNS_to_alpha(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  decode->channels = png_get_channels(png, info);
  decode->bitDepth = png_get_bit_depth(png, info);

  if (!AllocateRows(decode, png_get_rowbytes(png, info))) png_error(png, "out of memory");
  png_read_image(png, decode->rows.data());
  png_read_end(png, info);
  if (!CopyText(png, info, decode)) png_error(png, "out of memory");
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

bool ReadPng(const std::string& path, std::FILE* file, Image* out, ImageMetadata* meta, std::string* error) {
  PngDecode decode;
  decode.file = file;
  if (!DecodePng(&decode)) return Fail(error, path, std::string("reading PNG: ") + decode.error.message);

  Image image;
  image.width = static_cast<int>(decode.width);
  image.height = static_cast<int>(decode.height);
  image.channels = decode.channels;
  image.pixels.resize(std::size_t{decode.width} * decode.height * decode.channels);
  const bool sixteen = decode.bitDepth == 16;
  for (std::size_t i = 0; i < image.pixels.size(); ++i) {
    image.pixels[i] = sixteen ? static_cast<float>((decode.raw[2 * i] << 8) | decode.raw[2 * i + 1]) / 65535.0f
                              : static_cast<float>(decode.raw[i]) / 255.0f;
  }
  *out = std::move(image);
  if (meta != nullptr) meta->entries = std::move(decode.text);
  return true;
}

// ---- EXR ----

const char* const kExrChannelNames[5][4] = {{}, {"Y"}, {"Y", "A"}, {"R", "G", "B"}, {"R", "G", "B", "A"}};

// Attributes OpenEXR itself interprets; a string under one of these names would confuse readers.
const char* const kExrStructuralNames[] = {"tiles", "type", "name", "version", "chunkCount", "maxSamplesPerPixel"};

// Reads through the FILE the caller opened and still owns.
class FileIStream : public Imf::IStream {
 public:
  FileIStream(const std::string& name, std::FILE* file) : Imf::IStream(name.c_str()), file_(file) {}
  bool read(char c[], int n) override {
    if (std::fread(c, 1, static_cast<std::size_t>(n), file_) != static_cast<std::size_t>(n))
      throw std::runtime_error(std::ferror(file_) ? "read error" : "the file ends early (truncated?)");
    return true;
  }
  std::uint64_t tellg() override { return static_cast<std::uint64_t>(::ftello(file_)); }
  void seekg(std::uint64_t pos) override {
    if (::fseeko(file_, static_cast<off_t>(pos), SEEK_SET) != 0) throw std::runtime_error(std::strerror(errno));
  }
  void clear() override { std::clearerr(file_); }

 private:
  std::FILE* file_;
};

Imf::Compression ToImf(ExrCompression compression) {
  switch (compression) {
    case ExrCompression::None: return Imf::NO_COMPRESSION;
    case ExrCompression::Zips: return Imf::ZIPS_COMPRESSION;
    case ExrCompression::Piz: return Imf::PIZ_COMPRESSION;
    case ExrCompression::Dwaa: return Imf::DWAA_COMPRESSION;
    case ExrCompression::Zip: break;
  }
  return Imf::ZIP_COMPRESSION;
}

// OpenEXR's pool is process-wide, and resizing it waits for every task in flight, so it is sized
// once to the machine; each file then asks for as many of its threads as it may use.
int ExrThreads(int asked) {
  static std::once_flag sized;
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  std::call_once(sized, [cores] { Imf::setGlobalThreadCount(cores); });
  return asked > 0 ? std::min(asked, cores) : cores;
}

// OpenEXR's output: straight into a temporary file that can seek (descriptor fd), or, with fd -1,
// into memory. OpenEXR writes many small pieces (each header field, each block's two counts) and
// seeks back once, at the end, for the line offset table, so writes that follow each other are
// gathered and go out kOutputBuffer bytes at a time. The first failure is kept: OpenEXR's
// OutputFile swallows whatever its destructor's writes throw, so Finish asks the stream itself.
class ExrOStream : public Imf::OStream {
 public:
  ExrOStream(const std::string& name, int fd) : Imf::OStream(name.c_str()), fd_(fd) {}

  void write(const char c[], int n) override {
    if (!failure_.empty()) throw std::runtime_error(failure_);
    const auto size = static_cast<std::size_t>(n);
    const auto* bytes = reinterpret_cast<const unsigned char*>(c);
    if (capturing_) head.insert(head.end(), bytes, bytes + size);
    if (fd_ < 0) {
      const std::size_t end = static_cast<std::size_t>(pos_) + size;
      if (end > memory.size()) memory.resize(end);
      std::memcpy(memory.data() + pos_, bytes, size);
    } else {
      if (pos_ != pendingStart_ + pending_.size() || pending_.size() + size > kOutputBuffer) {
        if (!Flush()) throw std::runtime_error(failure_);
        pendingStart_ = pos_;
      }
      pending_.insert(pending_.end(), bytes, bytes + size);
    }
    pos_ += size;
  }
  std::uint64_t tellp() override { return pos_; }
  void seekp(std::uint64_t pos) override { pos_ = pos; }

  // Writes the gathered bytes; false (and failure()) when they could not be.
  bool Flush() {
    if (!failure_.empty()) return false;
    if (fd_ < 0 || pending_.empty()) return true;
    std::string why;
    if (!WriteAllAt(fd_, pendingStart_, pending_.data(), pending_.size(), &why)) failure_ = why;
    pendingStart_ += pending_.size();
    pending_.clear();
    return failure_.empty();
  }
  // Overwrites bytes already written (and flushed) at offset.
  bool Patch(std::uint64_t offset, const std::string& bytes) {
    if (!Flush()) return false;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (fd_ < 0) {
      std::memcpy(memory.data() + offset, data, bytes.size());
      return true;
    }
    std::string why;
    if (!WriteAllAt(fd_, offset, data, bytes.size(), &why)) failure_ = why;
    return failure_.empty();
  }
  void Capture(bool on) { capturing_ = on; }
  const std::string& failure() const { return failure_; }

  std::vector<unsigned char> head;    // what was written while capturing: the magic number and header
  std::vector<unsigned char> memory;  // the whole file, with fd -1

 private:
  int fd_;
  std::uint64_t pos_ = 0;
  std::uint64_t pendingStart_ = 0;
  std::vector<unsigned char> pending_;
  bool capturing_ = false;
  std::string failure_;
};

// Where in the file the value of each late entry starts, found by walking the header's
// attributes as OpenEXR wrote them (after the 8 bytes of magic number and version: name NUL,
// type NUL, 4-byte little-endian size, value; an empty name ends the header). Reading the bytes
// back rather than predicting them keeps this right whatever order OpenEXR writes them in.
bool FindLateValues(const std::vector<unsigned char>& head, const std::vector<LateEntry>& late,
                    std::vector<std::uint64_t>* offsets) {
  offsets->assign(late.size(), 0);
  std::size_t pos = 8;
  const auto text = [&head, &pos](std::string* out) {
    const auto end = std::find(head.begin() + static_cast<std::ptrdiff_t>(std::min(pos, head.size())), head.end(), 0);
    if (end == head.end()) return false;
    out->assign(head.begin() + static_cast<std::ptrdiff_t>(pos), end);
    pos = static_cast<std::size_t>(end - head.begin()) + 1;
    return true;
  };
  std::size_t found = 0;
  std::string name, type;
  while (text(&name) && !name.empty()) {
    if (!text(&type) || head.size() - pos < 4) return false;
    std::uint32_t size = 0;
    for (int i = 3; i >= 0; --i) size = size << 8 | head[pos + static_cast<std::size_t>(i)];
    pos += 4;
    if (head.size() - pos < size) return false;
    for (std::size_t i = 0; i < late.size(); ++i) {
      if (name == late[i].key && type == "string" && size == late[i].reserve) {
        (*offsets)[i] = pos;
        ++found;
      }
    }
    pos += size;
  }
  return found == late.size();
}

// An EXR on its way out: the header with the late entries' room, then blocks as rows come.
struct ExrEncoder {
  std::unique_ptr<ExrOStream> stream;
  std::unique_ptr<Imf::OutputFile> file;  // declared after stream: it writes to it as it goes
  std::vector<std::uint64_t> lateOffsets;
  int width = 0, channels = 1;
};

// The header of an image with meta and room (spaces) for each late entry; the reason when a key
// names one of the header's own attributes.
std::string ExrHeader(int width, int height, int channels, const ImageMetadata& meta,
                      const std::vector<LateEntry>& late, ExrCompression compression, Imf::Header* header) {
  *header = Imf::Header(width, height);
  header->compression() = ToImf(compression);
  for (int c = 0; c < channels; ++c) header->channels().insert(kExrChannelNames[channels][c], Imf::Channel(Imf::FLOAT));
  const auto insert = [header](const std::string& key, const std::string& value) {
    const bool structural = std::any_of(std::begin(kExrStructuralNames), std::end(kExrStructuralNames),
                                        [&](const char* name) { return key == name; });
    if (structural || header->find(key) != header->end()) return "metadata key \"" + key + "\" is reserved in EXR";
    header->insert(key, Imf::StringAttribute(value));
    return std::string();
  };
  for (const auto& [key, value] : meta.entries) {
    if (std::string why = insert(key, value); !why.empty()) return why;
  }
  for (const LateEntry& entry : late) {
    if (std::string why = insert(entry.key, std::string(entry.reserve, ' ')); !why.empty()) return why;
  }
  return {};
}

// Starts the file: the header goes out now, its late entries' places are noted.
void ExrBegin(ExrEncoder* e, const std::string& path, int fd, const Imf::Header& header,
              const std::vector<LateEntry>& late, int threads) {
  e->stream = std::make_unique<ExrOStream>(path, fd);
  e->stream->Capture(true);
  e->file = std::make_unique<Imf::OutputFile>(*e->stream, header, ExrThreads(threads));
  e->stream->Capture(false);
  if (!FindLateValues(e->stream->head, late, &e->lateOffsets))
    throw std::runtime_error("the header's room for the late entries was not found");
  e->stream->head = {};
}

void ExrRows(ExrEncoder* e, int first, int count, const float* pixels) {
  const std::size_t xStride = sizeof(float) * static_cast<std::size_t>(e->channels);
  const Imath::Box2i band(Imath::V2i(0, first), Imath::V2i(e->width - 1, first + count - 1));
  Imf::FrameBuffer frame;
  for (int c = 0; c < e->channels; ++c) {
    frame.insert(kExrChannelNames[e->channels][c], Imf::Slice::Make(Imf::FLOAT, pixels + c, band, xStride));
  }
  e->file->setFrameBuffer(frame);
  e->file->writePixels(count);
}

bool ReadExr(const std::string& path, std::FILE* file, Image* out, ImageMetadata* meta, std::string* error) {
  try {
    // The header alone first: InputFile sizes its tables from the data window, so a hostile one
    // must be refused before it is opened.
    FileIStream stream(path, file);
    stream.seekg(0);
    char start[8];
    stream.read(start, 8);
    std::uint32_t field = 0;  // little-endian, after the magic number
    for (int i = 7; i >= 4; --i) field = field << 8 | static_cast<unsigned char>(start[i]);
    int version = static_cast<int>(field);
    {
      Imf::Header first;
      first.readFrom(stream, version);
      const Imath::Box2i& window = first.dataWindow();
      const std::int64_t w = std::int64_t{window.max.x} - window.min.x + 1;
      const std::int64_t h = std::int64_t{window.max.y} - window.min.y + 1;
      if (w <= 0 || h <= 0) return Fail(error, path, "reading EXR: the data window is empty");
      if (static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) > kMaxImagePixels)
        return Fail(error, path,
                    "reading EXR: " + SizeText(static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h)) +
                        " pixels is more than the " + std::to_string(kMaxImagePixels) + " allowed");
    }
    stream.clear();
    stream.seekg(0);
    Imf::InputFile input(stream);
    const Imf::Header& header = input.header();
    const Imf::ChannelList& list = header.channels();
    const bool rgb = list.findChannel("R") || list.findChannel("G") || list.findChannel("B");
    if (!rgb && !list.findChannel("Y")) return Fail(error, path, "reading EXR: none of the channels R, G, B, Y");
    const bool alpha = list.findChannel("A") != nullptr;
    const int channels = (rgb ? 3 : 1) + (alpha ? 1 : 0);
    const char* const* names = kExrChannelNames[rgb ? (alpha ? 4 : 3) : (alpha ? 2 : 1)];

    const Imath::Box2i& window = header.dataWindow();
    Image image;
    image.width = window.max.x - window.min.x + 1;
    image.height = window.max.y - window.min.y + 1;
    image.channels = channels;
    image.pixels.resize(static_cast<std::size_t>(image.width) * image.height * channels);
    const std::size_t xStride = sizeof(float) * channels;
    Imf::FrameBuffer frame;
    for (int c = 0; c < channels; ++c)
      frame.insert(names[c], Imf::Slice::Make(Imf::FLOAT, image.pixels.data() + c, window, xStride));
    input.setFrameBuffer(frame);
    input.readPixels(window.min.y, window.max.y);

    ImageMetadata text;
    for (auto it = header.begin(); it != header.end(); ++it) {
      if (const auto* s = dynamic_cast<const Imf::StringAttribute*>(&it.attribute()))
        text.entries.emplace_back(it.name(), s->value());
    }
    *out = std::move(image);
    if (meta != nullptr) *meta = std::move(text);
  } catch (const std::exception& e) {
    return Fail(error, path, std::string("reading EXR: ") + e.what());
  }
  return true;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::optional<ImageFormat> FormatFromName(std::string_view name) {
  if (name == "png8") return ImageFormat::Png8;
  if (name == "png16") return ImageFormat::Png16;
  if (name == "exr") return ImageFormat::Exr;
  if (name == "tiff16") return ImageFormat::Tiff16;
  if (name == "tiff32") return ImageFormat::Tiff32;
  if (name == "raw16") return ImageFormat::Raw16;
  return std::nullopt;
}

std::optional<ImageFormat> FormatFromExtension(std::string_view path) {
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string_view::npos || path.find('/', dot) != std::string_view::npos) return std::nullopt;
  std::string ext(path.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "png") return ImageFormat::Png8;
  if (ext == "exr") return ImageFormat::Exr;
  if (ext == "tif" || ext == "tiff") return ImageFormat::Tiff32;
  if (ext == "r16" || ext == "raw") return ImageFormat::Raw16;
  return std::nullopt;
}

std::optional<ExrCompression> ExrCompressionFromName(std::string_view name) {
  for (const ExrCompression c :
       {ExrCompression::None, ExrCompression::Zip, ExrCompression::Zips, ExrCompression::Piz, ExrCompression::Dwaa}) {
    if (name == ExrCompressionName(c)) return c;
  }
  return std::nullopt;
}

const char* ExrCompressionName(ExrCompression compression) {
  switch (compression) {
    case ExrCompression::None: return "none";
    case ExrCompression::Zips: return "zips";
    case ExrCompression::Piz: return "piz";
    case ExrCompression::Dwaa: return "dwaa";
    case ExrCompression::Zip: break;
  }
  return "zip";
}

bool WriteImage(const std::string& path, const Image& image, ImageFormat format, const ImageMetadata& meta,
                const ImageWriteOptions& options, std::string* error) {
  if (std::string why = CheckImage(image, format); !why.empty()) return Fail(error, path, why);
  ImageStreamWriter writer;
  if (!writer.Open(path, image.width, image.height, image.channels, format, meta, {}, options, error)) return false;
  // A band at a time, so a PNG's quantised copy of the pixels stays small.
  const std::size_t rowValues = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.channels);
  for (int first = 0; first < image.height; first += kWholeImageBand) {
    const int count = std::min(kWholeImageBand, image.height - first);
    if (!writer.WriteRows(first, count, image.pixels.data() + static_cast<std::size_t>(first) * rowValues, error))
      return false;
  }
  return writer.Finish({}, error);
}

bool WriteImage(const std::string& path, const Image& image, ImageFormat format, const ImageMetadata& meta,
                std::string* error) {
  return WriteImage(path, image, format, meta, ImageWriteOptions{}, error);
}

struct ImageStreamWriter::State {
  std::string path;
  int width = 0, height = 0, channels = 0;
  ImageFormat format = ImageFormat::Png8;
  std::vector<LateEntry> late;
  int nextRow = 0;
  bool finished = false;
  std::string failure;  // the message of the call that failed, which every later call repeats
  // The sink is declared before the encoders, which write to it until they are gone.
  std::unique_ptr<ByteSink> sink = std::make_unique<ByteSink>();
  std::unique_ptr<PngEncoder> png = std::make_unique<PngEncoder>();
  ExrEncoder exr;
  std::unique_ptr<TiffEncoder> tiff;
  ImageMetadata early;               // a TIFF's entries known at Open, written with the late ones
  std::vector<unsigned char> bytes;  // a RAW16 band's samples

  // A writer that failed lets go of its file at once: the temporary is removed, the old file
  // stays, and the encoders' memory is freed, whenever the caller gets round to destroying it.
  void Release() {
    exr.file.reset();
    exr.stream.reset();
    png.reset();
    tiff.reset();
    sink.reset();
  }

  // I/O failures on standard output name it; every other message names the path.
  std::string Where(bool io) const { return io && path == "-" ? "standard output" : path; }
  bool Failed(std::string* error, const std::string& where, const std::string& what) {
    Fail(&failure, where, what);
    if (error != nullptr) *error = failure;
    Release();
    return false;
  }
  bool FailedPng(std::string* error) { return Failed(error, Where(!png->sinkError.empty()), PngFailure(*png)); }
  // Whether a call may go on; false with the reason when the writer is spent.
  bool Usable(std::string* error) const {
    if (failure.empty() && !finished) return true;
    if (error != nullptr) *error = failure.empty() ? path + ": the image is already finished" : failure;
    return false;
  }
};

ImageStreamWriter::ImageStreamWriter() = default;
ImageStreamWriter::~ImageStreamWriter() = default;

bool ImageStreamWriter::Open(const std::string& path, int width, int height, int channels, ImageFormat format,
                             const ImageMetadata& meta, const std::vector<LateEntry>& late,
                             const ImageWriteOptions& options, std::string* error) {
  if (state_ != nullptr) return Fail(error, path, "the writer is already open");
  try {
    if (std::string why = CheckShape(width, height, channels, format); !why.empty()) return Fail(error, path, why);
    ImageMetadata every = meta;
    for (const LateEntry& entry : late) {
      if (entry.reserve == 0) return Fail(error, path, "metadata key \"" + entry.key + "\" has no room for its value");
      every.entries.emplace_back(entry.key, std::string());
    }
    if (std::string why = CheckMetadata(every); !why.empty()) return Fail(error, path, why);
    if (options.pngLevel < 0 || options.pngLevel > kMaxPngLevel)
      return Fail(error, path, "PNG level " + std::to_string(options.pngLevel) + " is not 0 to 9");

    auto s = std::make_unique<State>();
    s->path = path;
    s->width = width;
    s->height = height;
    s->channels = channels;
    s->format = format;
    s->late = late;
    std::string why;
    if (format == ImageFormat::Exr) {
      Imf::Header header;
      if (why = ExrHeader(width, height, channels, meta, late, options.exrCompression, &header); !why.empty())
        return Fail(error, path, why);
      if (!s->sink->OpenFile(path, &why)) return Fail(error, s->Where(true), why);
      s->exr.width = width;
      s->exr.channels = channels;
      try {
        ExrBegin(&s->exr, path, s->sink->SeekableFd(), header, late, options.threads);
      } catch (const std::exception& e) {
        return Fail(error, path, std::string("writing EXR: ") + e.what());
      }
    } else if (format == ImageFormat::Tiff16 || format == ImageFormat::Tiff32) {
      if (!s->sink->OpenFile(path, &why)) return Fail(error, s->Where(true), why);
      s->tiff = std::make_unique<TiffEncoder>();
      if (!s->tiff->Begin(path, s->sink->SeekableFd(), width, height, channels, format == ImageFormat::Tiff32, options,
                          &why))
        return Fail(error, path, why);
      s->early = meta;
    } else if (format == ImageFormat::Raw16) {
      if (!s->sink->OpenFile(path, &why)) return Fail(error, s->Where(true), why);
    } else {
      if (!s->sink->OpenFile(path, &why)) return Fail(error, s->Where(true), why);
      s->png->sink = s->sink.get();
      s->png->width = static_cast<png_uint_32>(width);
      s->png->channels = channels;
      s->png->level = options.pngLevel;
      s->png->sixteen = format == ImageFormat::Png16;
      s->png->text = PngText(meta.entries);
      if (!PngBegin(s->png.get(), static_cast<png_uint_32>(height)))
        return Fail(error, s->Where(!s->png->sinkError.empty()), PngFailure(*s->png));
      s->png->text.clear();
    }
    state_ = std::move(s);
    return true;
  } catch (const std::exception& e) {
    return Fail(error, path, e.what());
  }
}

bool ImageStreamWriter::WriteRows(int first, int count, const float* pixels, std::string* error) {
  if (state_ == nullptr) return Fail(error, "image", "the writer is not open");
  State& s = *state_;
  if (!s.Usable(error)) return false;
  if (first != s.nextRow || count < 1 || count > s.height - first) {
    return s.Failed(error, s.path,
                    "rows " + std::to_string(first) + " to " +
                        std::to_string(static_cast<long long>(first) + count - 1) + " do not follow the " +
                        std::to_string(s.nextRow) + " written of " + std::to_string(s.height));
  }
  try {
    std::string why;
    if (s.format == ImageFormat::Exr) {
      ExrRows(&s.exr, first, count, pixels);
    } else if (s.tiff != nullptr) {
      if (!s.tiff->Rows(pixels, count, &why)) return s.Failed(error, s.path, why);
    } else if (s.format == ImageFormat::Raw16) {
      s.bytes.clear();
      AppendRaw16(pixels, static_cast<std::size_t>(count) * static_cast<std::size_t>(s.width), &s.bytes);
      if (!s.sink->Append(s.bytes.data(), s.bytes.size(), &why)) return s.Failed(error, s.Where(true), why);
    } else {
      QuantizeRows(s.png.get(), pixels, static_cast<std::size_t>(count));
      if (!PngRows(s.png.get(), static_cast<std::size_t>(count))) return s.FailedPng(error);
    }
  } catch (const std::exception& e) {
    return s.Failed(error, s.path, std::string(s.format == ImageFormat::Exr ? "writing EXR: " : "") + e.what());
  }
  s.nextRow += count;
  return true;
}

bool ImageStreamWriter::Finish(const ImageMetadata& late, std::string* error) {
  if (state_ == nullptr) return Fail(error, "image", "the writer is not open");
  State& s = *state_;
  if (!s.Usable(error)) return false;
  if (s.nextRow != s.height) {
    return s.Failed(error, s.path,
                    "only " + std::to_string(s.nextRow) + " of " + std::to_string(s.height) + " rows were written");
  }
  bool matches = late.entries.size() == s.late.size();
  for (std::size_t i = 0; matches && i < s.late.size(); ++i) matches = late.entries[i].first == s.late[i].key;
  if (!matches) return s.Failed(error, s.path, "the late metadata is not the one announced when the image was opened");
  for (std::size_t i = 0; i < s.late.size(); ++i) {
    const std::string& value = late.entries[i].second;
    if (value.size() > s.late[i].reserve) {
      return s.Failed(error, s.path,
                      "metadata value of \"" + s.late[i].key + "\" is longer than its " +
                          std::to_string(s.late[i].reserve) + " bytes of room");
    }
    if (value.find('\0') != std::string::npos)
      return s.Failed(error, s.path, "metadata value of \"" + s.late[i].key + "\" holds a NUL byte");
  }
  try {
    std::string why;
    if (s.format == ImageFormat::Exr) {
      s.exr.file.reset();  // writes the line offset table
      ExrOStream& stream = *s.exr.stream;
      for (std::size_t i = 0; i < s.late.size() && stream.failure().empty(); ++i) {
        std::string value = late.entries[i].second;
        value.resize(s.late[i].reserve, ' ');
        stream.Patch(s.exr.lateOffsets[i], value);
      }
      if (!stream.Flush()) return s.Failed(error, s.path, "writing EXR: " + stream.failure());
      if (s.sink->SeekableFd() < 0 && !s.sink->Append(stream.memory.data(), stream.memory.size(), &why))
        return s.Failed(error, s.Where(true), why);
    } else if (s.tiff != nullptr) {
      ImageMetadata every = s.early;
      every.entries.insert(every.entries.end(), late.entries.begin(), late.entries.end());
      if (!s.tiff->End(every, &why)) return s.Failed(error, s.path, why);
      const std::vector<unsigned char>& memory = s.tiff->Memory();
      if (s.sink->SeekableFd() < 0 && !s.sink->Append(memory.data(), memory.size(), &why))
        return s.Failed(error, s.Where(true), why);
    } else if (s.format == ImageFormat::Png8 || s.format == ImageFormat::Png16) {
      s.png->text = PngText(late.entries);
      if (!PngEnd(s.png.get())) return s.FailedPng(error);
    }
    if (!s.sink->Commit(&why)) return s.Failed(error, s.Where(true), why);
  } catch (const std::exception& e) {
    return s.Failed(error, s.path, std::string(s.format == ImageFormat::Exr ? "writing EXR: " : "") + e.what());
  }
  s.finished = true;
  return true;
}

bool EncodePngImage(const Image& image, ImageFormat format, std::vector<unsigned char>* bytes, std::string* error) {
  try {
    if (format != ImageFormat::Png8 && format != ImageFormat::Png16) return Fail(error, "image", "not a PNG format");
    if (std::string why = CheckImage(image, format); !why.empty()) return Fail(error, "image", why);
    bytes->clear();
    ByteSink sink;
    sink.OpenMemory(bytes);
    PngEncoder encoder;
    encoder.sink = &sink;
    encoder.width = static_cast<png_uint_32>(image.width);
    encoder.channels = image.channels;
    encoder.level = ImageWriteOptions{}.pngLevel;
    encoder.sixteen = format == ImageFormat::Png16;
    bool encoded = PngBegin(&encoder, static_cast<png_uint_32>(image.height));
    if (encoded) {
      QuantizeRows(&encoder, image.pixels.data(), static_cast<std::size_t>(image.height));
      encoded = PngRows(&encoder, static_cast<std::size_t>(image.height)) && PngEnd(&encoder);
    }
    return encoded || Fail(error, "image", PngFailure(encoder));
  } catch (const std::exception& e) {
    return Fail(error, "image", e.what());
  }
}

bool ReadImage(const std::string& path, Image* out, ImageMetadata* meta, std::string* error) {
  try {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (file == nullptr) return Fail(error, path, std::strerror(errno));
    unsigned char signature[8];
    const std::size_t got = std::fread(signature, 1, sizeof signature, file.get());
    if (got >= 8 && png_sig_cmp(signature, 0, 8) == 0) return ReadPng(path, file.get(), out, meta, error);
    if (got >= 4 && std::memcmp(signature, kExrMagic, 4) == 0) return ReadExr(path, file.get(), out, meta, error);
    if (std::ferror(file.get())) return Fail(error, path, std::strerror(errno));
    return Fail(error, path, "neither a PNG nor an EXR file");
  } catch (const std::exception& e) {
    return Fail(error, path, e.what());
  }
}

std::optional<ImageFormat> StoredFormat(const std::string& path) {
  unsigned char head[25] = {};
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return std::nullopt;
  static constexpr unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  static constexpr unsigned char kExr[4] = {0x76, 0x2F, 0x31, 0x01};
  // The first chunk is IHDR; its bit depth follows the 4-byte width and height.
  if (std::equal(kPng, kPng + 8, head)) return head[24] == 16 ? ImageFormat::Png16 : ImageFormat::Png8;
  if (std::equal(kExr, kExr + 4, head)) return ImageFormat::Exr;
  return std::nullopt;
}
