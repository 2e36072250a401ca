#include "studio/png_bytes.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "studio/server_timing.h"
#include "studio/studio_error.h"

namespace fs = std::filesystem;

std::string EncodePng(const Image& image) {
  PhaseScope phase("encode");
  // The image writer works on files only; a private temporary file keeps one PNG encoder for the
  // command line and the studio, at the cost of a small file round trip.
  static std::atomic<unsigned> counter{0};
  std::error_code ec;
  const fs::path path = fs::temp_directory_path(ec) /
                        ("veldmap-studio-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".png");
  std::string error;
  if (ec || !WriteImage(path.string(), image, ImageFormat::Png8, {}, &error)) {
    throw StudioError(500, "could not encode the image: " + (error.empty() ? ec.message() : error));
  }
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  fs::remove(path, ec);
  if (bytes.empty()) throw StudioError(500, "could not read back the encoded image");
  return bytes;
}

Image DibToImage(const BITMAPINFO* dib) {
  Image image;
  image.width = dib->bmiHeader.biWidth;
  image.height = dib->bmiHeader.biHeight;
  image.channels = 3;
  image.pixels.resize(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3);
  const unsigned char* pixels = DIBPixels(dib);
  for (int y = 0; y < image.height; ++y) {
    // Stored rows run bottom-up; the image's row 0 is the top.
    const unsigned char* row =
        pixels + static_cast<std::size_t>(image.height - 1 - y) * static_cast<std::size_t>(image.width) * 4;
    float* out = image.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) * 3;
    for (int x = 0; x < image.width; ++x) {
      const unsigned char* bgra = row + static_cast<std::size_t>(x) * 4;
      out[x * 3 + 0] = static_cast<float>(bgra[2]) / 255.0f;
      out[x * 3 + 1] = static_cast<float>(bgra[1]) / 255.0f;
      out[x * 3 + 2] = static_cast<float>(bgra[0]) / 255.0f;
    }
  }
  return image;
}
