// libtiff writes through our own procedures, so the bytes go to the image's temporary file (which
// may be written at any offset, as libtiff goes back for its directory) or to memory for targets
// that are written in order. libtiff reports errors through a handler installed for this one
// file, kept with the file's state, never through its process-wide default that prints.
#include "app/tiff_io.h"

#include <geotiff/geo_normalize.h>
#include <geotiff/geotiff.h>
#include <geotiff/geovalues.h>
#include <geotiff/xtiffio.h>
#include <tiffio.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "app/sample_codes.h"
#include "host/atomic_file.h"

namespace {

// Where libtiff's bytes go, and the first thing that went wrong.
struct TiffTarget {
  int fd = -1;  // -1: memory
  std::vector<unsigned char> memory;
  std::uint64_t pos = 0, size = 0;
  std::string failure;
};

tmsize_t ReadProc(thandle_t handle, void* data, tmsize_t n) {
  auto* t = static_cast<TiffTarget*>(handle);
  const auto want = static_cast<std::uint64_t>(n);
  if (t->pos >= t->size) return 0;
  const std::uint64_t got = std::min(want, t->size - t->pos);
  if (t->fd < 0) {
    std::memcpy(data, t->memory.data() + t->pos, got);
  } else if (::pread(t->fd, data, got, static_cast<off_t>(t->pos)) != static_cast<ssize_t>(got)) {
    return -1;
  }
  t->pos += got;
  return static_cast<tmsize_t>(got);
}

tmsize_t WriteProc(thandle_t handle, void* data, tmsize_t n) {
  auto* t = static_cast<TiffTarget*>(handle);
  if (!t->failure.empty()) return -1;
  const auto count = static_cast<std::size_t>(n);
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (t->fd < 0) {
    try {
      if (t->pos + count > t->memory.size()) t->memory.resize(t->pos + count);
    } catch (const std::bad_alloc&) {
      t->failure = "out of memory";
      return -1;
    }
    std::memcpy(t->memory.data() + t->pos, bytes, count);
  } else if (!WriteAllAt(t->fd, t->pos, bytes, count, &t->failure)) {
    return -1;
  }
  t->pos += count;
  t->size = std::max(t->size, t->pos);
  return n;
}

toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
  auto* t = static_cast<TiffTarget*>(handle);
  std::uint64_t base = 0;
  if (whence == SEEK_CUR) base = t->pos;
  if (whence == SEEK_END) base = t->size;
  t->pos = base + offset;
  return t->pos;
}

int CloseProc(thandle_t) { return 0; }
toff_t SizeProc(thandle_t handle) { return static_cast<TiffTarget*>(handle)->size; }
int MapProc(thandle_t, void**, toff_t*) { return 0; }
void UnmapProc(thandle_t, void*, toff_t) {}

// The first error libtiff reports for a file, kept for its message.
int OnTiffError(TIFF*, void* user, const char* module, const char* format, va_list args) {
  auto* failure = static_cast<std::string*>(user);
  if (failure->empty()) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    *failure = std::string(module != nullptr ? module : "libtiff") + ": " + text;
  }
  return 1;
}

int OnTiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// libgeotiff teaches libtiff the GeoTIFF tags through a process-wide tag extender, set once.
void RegisterGeoTiffTags() {
  static std::once_flag once;
  std::call_once(once, [] { XTIFFInitialize(); });
}

// Past this many bytes of samples the file's offsets may pass 4 GiB even deflated, so it is
// written as BigTIFF, which every current reader takes.
constexpr std::uint64_t kBigTiffBytes = std::uint64_t{3} << 30;

std::string NumberText(double value) {
  if (std::isnan(value)) return "nan";
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  // The shortest text that reads back as the value.
  for (int digits = 1; digits < 17; ++digits) {
    char shorter[64];
    std::snprintf(shorter, sizeof shorter, "%.*g", digits, value);
    if (std::strtod(shorter, nullptr) == value) return shorter;
  }
  return text;
}

}  // namespace

struct TiffEncoder::State {
  TiffTarget target;
  std::string libraryError;  // what libtiff reported
  TIFF* tif = nullptr;
  std::string name;
  int width = 0, height = 0, channels = 0;
  bool floatSamples = false;
  int nextRow = 0;
  std::size_t sampleBytes = 2;
  std::vector<unsigned char> band;  // up to kTiffTileSide rows of stored samples
  std::vector<unsigned char> tile;  // one tile, padded with zeros where the image ends

  ~State() {
    if (tif == nullptr) return;
    // TIFFCleanup flushes a file open for writing; an unfinished one is being dropped (its
    // temporary removed), so the flush's writes are refused rather than spent on it.
    if (target.failure.empty()) target.failure = "the TIFF was abandoned";
    TIFFCleanup(tif);
  }
  bool Failed(std::string* why, const std::string& what) {
    const std::string& cause = !target.failure.empty() ? target.failure : libraryError;
    *why = what + (cause.empty() ? "" : ": " + cause);
    return false;
  }
  std::size_t RowBytes() const {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(channels) * sampleBytes;
  }
  // Encodes the tiles of the tile row that starts at image row top, from band.
  bool WriteTileRow(int top, std::string* why) {
    const int rows = std::min(kTiffTileSide, height - top);
    const std::size_t pixelBytes = static_cast<std::size_t>(channels) * sampleBytes;
    const std::size_t tileRowBytes = kTiffTileSide * pixelBytes;
    for (int left = 0; left < width; left += kTiffTileSide) {
      const std::size_t columns = static_cast<std::size_t>(std::min(kTiffTileSide, width - left));
      std::fill(tile.begin(), tile.end(), 0);
      for (int y = 0; y < rows; ++y) {
        std::memcpy(
            tile.data() + static_cast<std::size_t>(y) * tileRowBytes,
            band.data() + static_cast<std::size_t>(y) * RowBytes() + static_cast<std::size_t>(left) * pixelBytes,
            columns * pixelBytes);
      }
      const ttile_t index =
          TIFFComputeTile(tif, static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top), 0, 0);
      if (TIFFWriteEncodedTile(tif, index, tile.data(), static_cast<tmsize_t>(tile.size())) < 0)
        return Failed(why, "writing TIFF");
    }
    return true;
  }
};

TiffEncoder::TiffEncoder() = default;
TiffEncoder::~TiffEncoder() = default;

namespace {

// The GeoTIFF tags and keys of georef: a tie point and pixel scale for a north-up image, the
// whole affine transformation otherwise (a mirrored one).
bool SetGeoReference(TIFF* tif, const GeoReference& georef) {
  if (georef.stepX > 0.0 && georef.stepY < 0.0) {
    double scale[3] = {georef.stepX, -georef.stepY, 0.0};
    double tie[6] = {0.0, 0.0, 0.0, georef.originX, georef.originY, 0.0};
    if (TIFFSetField(tif, TIFFTAG_GEOPIXELSCALE, 3, scale) != 1) return false;
    if (TIFFSetField(tif, TIFFTAG_GEOTIEPOINTS, 6, tie) != 1) return false;
  } else {
    double matrix[16] = {
        georef.stepX, 0, 0, georef.originX, 0, georef.stepY, 0, georef.originY, 0, 0, 0, 0, 0, 0, 0, 1};
    if (TIFFSetField(tif, TIFFTAG_GEOTRANSMATRIX, 16, matrix) != 1) return false;
  }
  GTIF* gtif = GTIFNew(tif);
  if (gtif == nullptr) return false;
  GTIFKeySet(gtif, GTRasterTypeGeoKey, TYPE_SHORT, 1, RasterPixelIsArea);
  if (georef.epsg) {
    GTIFKeySet(gtif, GTModelTypeGeoKey, TYPE_SHORT, 1, georef.geographic ? ModelTypeGeographic : ModelTypeProjected);
    GTIFKeySet(gtif, georef.geographic ? GeographicTypeGeoKey : ProjectedCSTypeGeoKey, TYPE_SHORT, 1, *georef.epsg);
  }
  const int written = GTIFWriteKeys(gtif);
  GTIFFree(gtif);
  return written != 0;
}

}  // namespace

bool TiffEncoder::Begin(const std::string& name, int fd, int width, int height, int channels, bool floatSamples,
                        const ImageWriteOptions& options, std::string* why) {
  auto s = std::make_unique<State>();
  s->name = name;
  s->target.fd = fd;
  s->width = width;
  s->height = height;
  s->channels = channels;
  s->floatSamples = floatSamples;
  s->sampleBytes = floatSamples ? 4 : 2;
  if (options.nodata && !floatSamples &&
      !(*options.nodata >= 0.0 && *options.nodata <= 65535.0 && std::floor(*options.nodata) == *options.nodata)) {
    // Appended piece by piece: a literal joined to a temporary trips GCC 12's -Wrestrict at -O3.
    *why = "a 16-bit TIFF's no-data value must be a whole number 0 to 65535, not ";
    *why += NumberText(*options.nodata);
    return false;
  }
  RegisterGeoTiffTags();
  const std::uint64_t bytes = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) *
                              static_cast<std::uint64_t>(channels) * s->sampleBytes;
  TIFFOpenOptions* open = TIFFOpenOptionsAlloc();
  if (open == nullptr) {
    *why = "out of memory";
    return false;
  }
  TIFFOpenOptionsSetErrorHandlerExtR(open, OnTiffError, &s->libraryError);
  TIFFOpenOptionsSetWarningHandlerExtR(open, OnTiffWarning, nullptr);
  s->tif = TIFFClientOpenExt(name.c_str(), bytes > kBigTiffBytes ? "w8" : "w", &s->target, ReadProc, WriteProc,
                             SeekProc, CloseProc, SizeProc, MapProc, UnmapProc, open);
  TIFFOpenOptionsFree(open);
  if (s->tif == nullptr) return s->Failed(why, "cannot start a TIFF");

  static constexpr std::uint16_t kUnassociatedAlpha[1] = {EXTRASAMPLE_UNASSALPHA};
  TIFF* tif = s->tif;
  // libtiff names GDAL's two tags but does not know their types until told.
  static const TIFFFieldInfo kGdalTags[] = {
      {TIFFTAG_GDAL_METADATA, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("GDALMetadata")},
      {TIFFTAG_GDAL_NODATA, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("GDALNoDataValue")},
  };
  bool ok = TIFFMergeFieldInfo(tif, kGdalTags, 2) == 0;
  ok = ok && TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width)) == 1 &&
       TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(height)) == 1 &&
       TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(channels)) == 1 &&
       TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(floatSamples ? 32 : 16)) == 1 &&
       TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, floatSamples ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT) == 1 &&
       TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK) == 1 &&
       TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
       TIFFSetField(tif, TIFFTAG_TILEWIDTH, static_cast<std::uint32_t>(kTiffTileSide)) == 1 &&
       TIFFSetField(tif, TIFFTAG_TILELENGTH, static_cast<std::uint32_t>(kTiffTileSide)) == 1 &&
       TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) == 1 &&
       TIFFSetField(tif, TIFFTAG_PREDICTOR, floatSamples ? PREDICTOR_FLOATINGPOINT : PREDICTOR_HORIZONTAL) == 1;
  if (ok && (channels == 2 || channels == 4)) ok = TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, kUnassociatedAlpha) == 1;
  if (ok && options.nodata) ok = TIFFSetField(tif, TIFFTAG_GDAL_NODATA, NumberText(*options.nodata).c_str()) == 1;
  if (ok && options.georef) ok = SetGeoReference(tif, *options.georef);
  if (!ok) return s->Failed(why, "setting up the TIFF");
  try {
    s->band.resize(s->RowBytes() * static_cast<std::size_t>(std::min(kTiffTileSide, height)));
    s->tile.resize(static_cast<std::size_t>(kTiffTileSide) * kTiffTileSide * static_cast<std::size_t>(channels) *
                   s->sampleBytes);
  } catch (const std::bad_alloc&) {
    *why = "out of memory for a row of TIFF tiles";
    return false;
  }
  state_ = std::move(s);
  return true;
}

bool TiffEncoder::Rows(const float* pixels, int count, std::string* why) {
  State& s = *state_;
  const std::size_t values = static_cast<std::size_t>(s.width) * static_cast<std::size_t>(s.channels);
  for (int y = 0; y < count; ++y, ++s.nextRow) {
    const float* in = pixels + static_cast<std::size_t>(y) * values;
    unsigned char* out = s.band.data() + static_cast<std::size_t>(s.nextRow % kTiffTileSide) * s.RowBytes();
    if (s.floatSamples) {
      std::memcpy(out, in, values * sizeof(float));  // libtiff writes them in the file's byte order, ours
    } else {
      for (std::size_t i = 0; i < values; ++i) {
        const auto code = static_cast<std::uint16_t>(QuantizeSample(in[i], 65535));
        std::memcpy(out + 2 * i, &code, 2);
      }
    }
    const bool tileRowDone = (s.nextRow + 1) % kTiffTileSide == 0 || s.nextRow + 1 == s.height;
    if (tileRowDone && !s.WriteTileRow(s.nextRow / kTiffTileSide * kTiffTileSide, why)) return false;
  }
  return true;
}

bool TiffEncoder::End(const ImageMetadata& meta, std::string* why) {
  State& s = *state_;
  if (!meta.entries.empty() && TIFFSetField(s.tif, TIFFTAG_GDAL_METADATA, GdalMetadataXml(meta).c_str()) != 1)
    return s.Failed(why, "writing the TIFF's metadata");
  if (TIFFFlush(s.tif) != 1 || !s.target.failure.empty()) return s.Failed(why, "writing TIFF");
  TIFFCleanup(s.tif);
  s.tif = nullptr;
  return true;
}

const std::vector<unsigned char>& TiffEncoder::Memory() const { return state_->target.memory; }

std::string GdalMetadataXml(const ImageMetadata& meta) {
  const auto escape = [](std::string_view text) {
    std::string out;
    for (const char c : text) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
          // XML 1.0 has no way to write the other control characters, even escaped.
          if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            out += "&#xFFFD;";
          } else {
            out += c;
          }
      }
    }
    return out;
  };
  std::string xml = "<GDALMetadata>\n";
  for (const auto& [key, value] : meta.entries) {
    // GDAL splits "name=value" items at the first ':' as readily as at '=', so "veldmap:z_min" would
    // come back as "veldmap"; the prefix is a metadata domain instead.
    const std::size_t colon = key.find(':');
    const bool domain = colon != std::string::npos && colon > 0 && colon + 1 < key.size();
    xml += "  <Item name=\"";
    xml += escape(domain ? key.substr(colon + 1) : key);
    xml += "\"";
    if (domain) {
      xml += " domain=\"";
      xml += escape(key.substr(0, colon));
      xml += "\"";
    }
    xml += ">";
    xml += escape(value);
    xml += "</Item>\n";
  }
  return xml + "</GDALMetadata>\n";
}

std::optional<bool> EpsgIsGeographic(int code, std::string* why) {
  why->clear();
  if (code < 1 || code > 65535) {
    *why = "EPSG:";
    *why += std::to_string(code);
    *why += " is outside the 1..65535 a GeoTIFF key holds";
    return std::nullopt;
  }
  // The lookups read PROJ's database through one context of libgeotiff's; one at a time.
  static std::mutex mutex;
  const std::lock_guard lock(mutex);
  const auto found = [](int (*lookup)(int, char**), int epsg) {
    char* name = nullptr;
    const int ok = lookup(epsg, &name);
    if (name != nullptr) GTIFFreeMemory(name);
    return ok != 0;
  };
  const auto projected = [](int epsg, char** name) {
    short op = 0, unit = 0, geog = 0;
    return GTIFGetPCSInfo(epsg, name, &op, &unit, &geog);
  };
  const auto geographic = [](int epsg, char** name) {
    short datum = 0, meridian = 0, unit = 0;
    return GTIFGetGCSInfo(epsg, name, &datum, &meridian, &unit);
  };
  if (found(projected, code)) return false;
  if (found(geographic, code)) return true;
  // WGS 84 is in every EPSG database: when it is missing, there is no database to ask.
  if (!found(geographic, 4326)) {
    *why = "the EPSG database (PROJ's proj.db) cannot be read, so EPSG:";
    *why += std::to_string(code);
    *why += " is written as a projected coordinate system";
    return false;
  }
  *why = "EPSG:";
  *why += std::to_string(code);
  *why += " is neither a projected nor a geographic coordinate system";
  return std::nullopt;
}
