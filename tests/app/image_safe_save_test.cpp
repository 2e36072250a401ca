// PNG and EXR files under failing system calls, a full disk and a folder in the way.
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
  for (const ImageFormat format : {ImageFormat::Png8, ImageFormat::Png16, ImageFormat::Exr}) {
    SCOPED_TRACE(static_cast<int>(format));
    ScratchFolder folder;
    const fs::path path = folder.path() / "height.img";
    const Save save = [&](std::string* error) { return WriteImage(path.string(), newImage, format, meta, error); };
    const Bytes fresh = Encoded(newImage, format, meta);
    const Bytes old = Encoded(oldImage, format, meta);
    CheckEveryFailingCall(path, old, fresh, save);
    CheckFullDisk(path, old, fresh.size(), fresh.size() / 2, save);
    fs::remove(path);
    CheckTargetIsAFolder(path, save);
  }
}

}  // namespace
