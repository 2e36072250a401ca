// Images as the bytes of a PNG file, for answering a request, and the viewport's DIB as an image.
#pragma once

#include <string>

#include "app/image_io.h"
#include "host/bitmap.h"

// The 8-bit PNG the command-line host would write for image. Throws StudioError (500) when the
// image cannot be written.
std::string EncodePng(const Image& image);

// A host DIB (32-bit, bottom-up B, G, R, A) as an RGB image, top row first; the viewport draws
// no alpha, so none is kept. dib must
// satisfy IsHostDIB.
Image DibToImage(const BITMAPINFO* dib);
