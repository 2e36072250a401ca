// PNG, EXR, TIFF and RAW16 files under failing system calls, a full disk and a folder in the way.
#include "app/image_io.h"
#include "tests/support/safe_save_checks.h"

#include <gtest/gtest.h>

namespace {

using namespace safe_save;

Image Gradient(int width, int height, float shift) {
  Image image{width, height, 4, {}};
  for (int i = 0; i < width * height * 4; ++i) image.pixels.push_back(static_cast<float>(i % 97) / 96.0f * shift);
  return image;
}

// What a save of image in format writes, taken from a save into a folder of its own.
Bytes Encoded(const Image& image, ImageFormat format, const ImageMetadata& meta) {
  ScratchFolder folder;
  const fs::path path = folder.path() / "reference";
  std::string error;
  EXPECT_TRUE(WriteImage(path.string(), image, format, meta, &error)) << error;
  return ReadFile(path);
}

TEST(ImageSafeSave, EveryFailingCallAFullDiskOrAFolderInTheWayLeavesEverythingAsItWas) {
  const ImageMetadata meta{{{"Software", "veldmap"}, {"Comment", "h\xC3\xB6he"}}};
  const Image oldImage = Gradient(8, 8, 0.5f), newImage = Gradient(64, 48, 1.0f);
  for (const ImageFormat format : {ImageFormat::Png8, ImageFormat::Png16, ImageFormat::Exr, ImageFormat::Tiff16,
                                   ImageFormat::Tiff32, ImageFormat::Raw16}) {
    SCOPED_TRACE(static_cast<int>(format));
    ScratchFolder folder;
    const fs::path path = folder.path() / "height.img";
    // RAW16 holds heights only: its images have one channel.
    const auto shaped = [format](Image image) {
      if (format == ImageFormat::Raw16) {
        image.channels = 1;
        image.pixels.resize(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height));
      }
      return image;
    };
    const Image newShaped = shaped(newImage), oldShaped = shaped(oldImage);
    const Save save = [&](std::string* error) { return WriteImage(path.string(), newShaped, format, meta, error); };
    const Bytes fresh = Encoded(newShaped, format, meta);
    const Bytes old = Encoded(oldShaped, format, meta);
    CheckEveryFailingCall(path, old, fresh, save);
    CheckFullDisk(path, old, fresh.size(), fresh.size() / 2, save);
    fs::remove(path);
    CheckTargetIsAFolder(path, save);
  }
}

}  // namespace
