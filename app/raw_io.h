// RAW16: what engines' terrain importers take. One channel of 16-bit samples, little-endian,
// row-major from the top row, with no header: the reader must be told the size (the render's
// report gives it, and the Z range that turns codes back into heights).
#pragma once

#include <cstddef>
#include <vector>

// Appends count values as 16-bit little-endian codes (QuantizeSample, as in a 16-bit PNG) to out.
void AppendRaw16(const float* values, std::size_t count, std::vector<unsigned char>* out);
