// Both formats are encoded into memory and only then written, so the file appears whole or not at
// all. libpng reports errors by longjmp: every libpng call runs inside EncodePng or DecodePng,
// whose own locals are trivially destructible, and whatever needs a destructor (buffers, text)
// lives in a struct owned by the caller's frame, which the jump never leaves.
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

// The reason image cannot go into format, or empty when it can.
std::string CheckImage(const Image& image, ImageFormat format) {
  if (image.width <= 0 || image.height <= 0) return "the image is empty (" + SizeText(0, 0) + " or less)";
  if (image.channels < 1 || image.channels > 4)
    return "cannot store " + std::to_string(image.channels) + " channels (1 to 4)";
  const std::uint64_t w = static_cast<std::uint64_t>(image.width), h = static_cast<std::uint64_t>(image.height);
  if (image.pixels.size() != w * h * static_cast<std::uint64_t>(image.channels))
    return "the image holds " + std::to_string(image.pixels.size()) + " values, not " + SizeText(w, h) + " x " +
           std::to_string(image.channels);
  if (format != ImageFormat::Exr && (image.width > kMaxPngSide || image.height > kMaxPngSide))
    return SizeText(w, h) + " is too large for PNG (at most " + std::to_string(kMaxPngSide) + " a side)";
  return {};
}

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

bool WriteWhole(const std::string& path, const std::vector<unsigned char>& bytes, std::string* error) {
  std::string why;
  if (path == "-") {
    if (!WriteAll(STDOUT_FILENO, bytes.data(), bytes.size(), &why)) return Fail(error, "standard output", why);
    return true;
  }
  AtomicFileWriter writer;
  if (!writer.Open(path, &why) || !writer.Write(bytes.data(), bytes.size(), &why) || !writer.Commit(&why))
    return Fail(error, path, why);
  return true;
}

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

// What EncodePng needs, prepared by the caller; the pointers stay owned by the caller.
struct PngEncodeJob {
  png_uint_32 width = 0, height = 0;
  int bitDepth = 8, colorType = PNG_COLOR_TYPE_GRAY;
  png_bytepp rows = nullptr;
  png_textp text = nullptr;
  int textCount = 0;
  int level = 6;
  std::vector<unsigned char>* out = nullptr;
  PngError error;
};

void AppendToMemory(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<std::vector<unsigned char>*>(png_get_io_ptr(png));
  bool grown = true;
  try {
    out->insert(out->end(), data, data + n);
  } catch (const std::bad_alloc&) {
    grown = false;
  }
  if (!grown) png_error(png, "out of memory");
}

void FlushMemory(png_structp) {}

bool EncodePng(PngEncodeJob* job) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &job->error, OnPngError, OnPngWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    std::snprintf(job->error.message, sizeof job->error.message, "cannot create a PNG writer");
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, job->out, AppendToMemory, FlushMemory);
  png_set_IHDR(png, info, job->width, job->height, job->bitDepth, job->colorType, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, job->level);
  if (job->textCount > 0) png_set_text(png, info, job->text, job->textCount);
  png_write_info(png, info);
  png_write_image(png, job->rows);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

unsigned Quantize(float v, unsigned maxCode) {
  if (!(v > 0.0f)) return 0;  // NaN as well
  if (v >= 1.0f) return maxCode;
  return static_cast<unsigned>(std::lround(static_cast<double>(v) * maxCode));
}

bool EncodePngBytes(const std::string& path, const Image& image, bool sixteen, const ImageMetadata& meta, int level,
                    std::vector<unsigned char>& encoded, std::string* error) {
  static constexpr int kColorTypes[5] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                         PNG_COLOR_TYPE_RGB_ALPHA};
  const std::size_t values = static_cast<std::size_t>(image.width) * image.channels;
  const std::size_t rowBytes = values * (sixteen ? 2 : 1);
  std::vector<unsigned char> pixels(rowBytes * image.height);
  std::vector<png_bytep> rows(static_cast<std::size_t>(image.height));
  for (std::size_t y = 0; y < rows.size(); ++y) {
    rows[y] = pixels.data() + y * rowBytes;
    const float* in = image.pixels.data() + y * values;
    for (std::size_t i = 0; i < values; ++i) {
      if (sixteen) {
        const unsigned code = Quantize(in[i], 65535);
        rows[y][2 * i] = static_cast<unsigned char>(code >> 8);  // PNG samples are big-endian
        rows[y][2 * i + 1] = static_cast<unsigned char>(code & 0xff);
      } else {
        rows[y][i] = static_cast<unsigned char>(Quantize(in[i], 255));
      }
    }
  }

  // libpng copies the text in png_set_text; the const_casts only satisfy its C signature.
  std::vector<png_text> text(meta.entries.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto& [key, value] = meta.entries[i];
    const bool ascii = std::all_of(value.begin(), value.end(), [](char c) { return (c & 0x80) == 0; });
    text[i].compression = ascii ? PNG_TEXT_COMPRESSION_NONE : PNG_ITXT_COMPRESSION_NONE;
    text[i].key = const_cast<char*>(key.c_str());
    text[i].text = const_cast<char*>(value.c_str());
    text[i].text_length = value.size();
  }

  PngEncodeJob job;
  job.width = static_cast<png_uint_32>(image.width);
  job.height = static_cast<png_uint_32>(image.height);
  job.bitDepth = sixteen ? 16 : 8;
  job.colorType = kColorTypes[image.channels];
  job.rows = rows.data();
  job.text = text.data();
  job.textCount = static_cast<int>(text.size());
  job.level = level;
  job.out = &encoded;
  if (!EncodePng(&job)) return Fail(error, path, std::string("writing PNG: ") + job.error.message);
  return true;
}

bool WritePng(const std::string& path, const Image& image, bool sixteen, const ImageMetadata& meta, int level,
              std::string* error) {
  std::vector<unsigned char> encoded;
  return EncodePngBytes(path, image, sixteen, meta, level, encoded, error) && WriteWhole(path, encoded, error);
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

class MemoryOStream : public Imf::OStream {
 public:
  explicit MemoryOStream(const std::string& name) : Imf::OStream(name.c_str()) {}
  void write(const char c[], int n) override {
    const std::size_t end = pos_ + static_cast<std::size_t>(n);
    if (end > bytes.size()) bytes.resize(end);
    std::memcpy(bytes.data() + pos_, c, static_cast<std::size_t>(n));
    pos_ = end;
  }
  std::uint64_t tellp() override { return pos_; }
  void seekp(std::uint64_t pos) override { pos_ = static_cast<std::size_t>(pos); }

  std::vector<unsigned char> bytes;

 private:
  std::size_t pos_ = 0;
};

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

bool WriteExr(const std::string& path, const Image& image, const ImageMetadata& meta, const ImageWriteOptions& options,
              std::string* error) {
  MemoryOStream stream(path);
  try {
    Imf::Header header(image.width, image.height);
    header.compression() = ToImf(options.exrCompression);
    for (const auto& entry : meta.entries) {
      const std::string& key = entry.first;
      const std::string& value = entry.second;
      const bool structural = std::any_of(std::begin(kExrStructuralNames), std::end(kExrStructuralNames),
                                          [&](const char* name) { return key == name; });
      if (structural || header.find(key) != header.end())
        return Fail(error, path, "metadata key \"" + key + "\" is reserved in EXR");
      header.insert(key, Imf::StringAttribute(value));
    }
    const std::size_t xStride = sizeof(float) * image.channels;
    const std::size_t yStride = xStride * image.width;
    Imf::FrameBuffer frame;
    for (int c = 0; c < image.channels; ++c) {
      const char* name = kExrChannelNames[image.channels][c];
      header.channels().insert(name, Imf::Channel(Imf::FLOAT));
      // OpenEXR only reads through an output slice; its Slice has no const form.
      char* base = const_cast<char*>(reinterpret_cast<const char*>(image.pixels.data() + c));
      frame.insert(name, Imf::Slice(Imf::FLOAT, base, xStride, yStride));
    }
    // The file's destructor writes the line offset table, so it must be gone before the bytes
    // are taken.
    Imf::OutputFile file(stream, header, ExrThreads(options.threads));
    file.setFrameBuffer(frame);
    file.writePixels(image.height);
  } catch (const std::exception& e) {
    return Fail(error, path, std::string("writing EXR: ") + e.what());
  }
  return WriteWhole(path, stream.bytes, error);
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
  return std::nullopt;
}

std::optional<ImageFormat> FormatFromExtension(std::string_view path) {
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string_view::npos || path.find('/', dot) != std::string_view::npos) return std::nullopt;
  std::string ext(path.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "png") return ImageFormat::Png8;
  if (ext == "exr") return ImageFormat::Exr;
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
  try {
    if (std::string why = CheckImage(image, format); !why.empty()) return Fail(error, path, why);
    if (std::string why = CheckMetadata(meta); !why.empty()) return Fail(error, path, why);
    if (options.pngLevel < 0 || options.pngLevel > kMaxPngLevel)
      return Fail(error, path, "PNG level " + std::to_string(options.pngLevel) + " is not 0 to 9");
    if (format == ImageFormat::Exr) return WriteExr(path, image, meta, options, error);
    return WritePng(path, image, format == ImageFormat::Png16, meta, options.pngLevel, error);
  } catch (const std::exception& e) {
    return Fail(error, path, e.what());
  }
}

bool WriteImage(const std::string& path, const Image& image, ImageFormat format, const ImageMetadata& meta,
                std::string* error) {
  return WriteImage(path, image, format, meta, ImageWriteOptions{}, error);
}

bool EncodePngImage(const Image& image, ImageFormat format, std::vector<unsigned char>* bytes, std::string* error) {
  try {
    if (format == ImageFormat::Exr) return Fail(error, "image", "not a PNG format");
    if (std::string why = CheckImage(image, format); !why.empty()) return Fail(error, "image", why);
    bytes->clear();
    return EncodePngBytes("image", image, format == ImageFormat::Png16, {}, ImageWriteOptions{}.pngLevel, *bytes,
                          error);
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
