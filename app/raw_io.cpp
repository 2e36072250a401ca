#include "app/raw_io.h"

#include "app/sample_codes.h"

void AppendRaw16(const float* values, std::size_t count, std::vector<unsigned char>* out) {
  const std::size_t start = out->size();
  out->resize(start + 2 * count);
  unsigned char* bytes = out->data() + start;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned code = QuantizeSample(values[i], 65535);
    bytes[2 * i] = static_cast<unsigned char>(code & 0xff);
    bytes[2 * i + 1] = static_cast<unsigned char>(code >> 8);
  }
}
