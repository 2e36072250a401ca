#include "studio/png_bytes.h"

#include <vector>

#include "studio/server_timing.h"
#include "studio/studio_error.h"

std::string EncodePng(const Image& image) {
  PhaseScope phase("encode");
  // The command line's own encoder, kept in memory: a file round trip cost more than the
  // encoding, since the writer makes its files durable.
  std::vector<unsigned char> bytes;
  std::string error;
  if (!EncodePngImage(image, ImageFormat::Png8, &bytes, &error)) {
    throw StudioError(500, "could not encode the image: " + error);
  }
  return std::string(bytes.begin(), bytes.end());
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
