// How images are compressed: every EXR compression and PNG level gives back the pixels it was given,
// the file says which compression it holds, and the thread count changes nothing in the bytes.
#include <OpenEXR/ImfCompression.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "app/image_io.h"

namespace {

namespace fs = std::filesystem;

class ImageOptionsTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("veldmap_image_options_" + std::to_string(::getpid()) + "_" +
                                        testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

std::vector<unsigned char> Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// A smooth height with fine noise, as a terrain gives: compressible, but not trivially. More rows
// than one EXR block of any compression, so several blocks are compressed at once.
Image Terrain(int width, int height, int channels) {
  Image image{width, height, channels, {}};
  image.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                      static_cast<std::size_t>(channels));
  unsigned state = 12345;
  for (std::size_t i = 0; i < image.pixels.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    const std::size_t rowValues = static_cast<std::size_t>(width) * static_cast<std::size_t>(channels);
    const std::size_t column = i % rowValues, row = i / rowValues;  // whole rows: integer division
    const auto x = static_cast<float>(column);
    const auto y = static_cast<float>(row);
    image.pixels[i] = 0.5f + 0.3f * std::sin(x * 0.02f) * std::cos(y * 0.03f) + static_cast<float>(state >> 20) * 1e-7f;
  }
  return image;
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST_F(ImageOptionsTest, EveryExrCompressionKeepsEveryFloatAndNamesItselfInTheFile) {
  Image image = Terrain(300, 97, 3);
  // Values a lossy or clamping coder would change.
  image.pixels[0] = -1234.5f;
  image.pixels[1] = std::numeric_limits<float>::infinity();
  image.pixels[2] = 1e-38f;
  image.pixels[5] = std::numeric_limits<float>::quiet_NaN();
  const struct {
    ExrCompression ours;
    Imf::Compression stored;
    const char* name;
  } kinds[] = {{ExrCompression::None, Imf::NO_COMPRESSION, "none"},
               {ExrCompression::Zip, Imf::ZIP_COMPRESSION, "zip"},
               {ExrCompression::Zips, Imf::ZIPS_COMPRESSION, "zips"},
               {ExrCompression::Piz, Imf::PIZ_COMPRESSION, "piz"},
               {ExrCompression::Dwaa, Imf::DWAA_COMPRESSION, "dwaa"}};
  std::uintmax_t noneSize = 0;
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    EXPECT_EQ(ExrCompressionFromName(kind.name), kind.ours);
    EXPECT_STREQ(ExrCompressionName(kind.ours), kind.name);
    ImageWriteOptions options;
    options.exrCompression = kind.ours;
    const std::string path = Path(std::string(kind.name) + ".exr");
    std::string error;
    ASSERT_TRUE(WriteImage(path, image, ImageFormat::Exr, {{{"note", "kept"}}}, options, &error)) << error;
    Image back;
    ImageMetadata meta;
    ASSERT_TRUE(ReadImage(path, &back, &meta, &error)) << error;
    if (kind.ours == ExrCompression::Dwaa) {
      // Lossy: the smooth part comes back close, the extremes at the start are left out.
      ASSERT_EQ(back.pixels.size(), image.pixels.size());
      for (std::size_t i = 6; i < image.pixels.size(); i += 7) ASSERT_NEAR(back.pixels[i], image.pixels[i], 0.02f) << i;
    } else {
      EXPECT_TRUE(SameBits(back.pixels, image.pixels));
    }
    ASSERT_EQ(meta.entries.size(), 1u);
    Imf::InputFile file(path.c_str());
    EXPECT_EQ(file.header().compression(), kind.stored);
    if (kind.ours == ExrCompression::None) noneSize = fs::file_size(path);
    if (kind.ours == ExrCompression::Zip) {
      EXPECT_LT(fs::file_size(path), noneSize);
    }
  }
  EXPECT_FALSE(ExrCompressionFromName("ZIP").has_value());
  EXPECT_FALSE(ExrCompressionFromName("b44").has_value());
  // Without options, the default: piz.
  std::string error;
  ASSERT_TRUE(WriteImage(Path("default.exr"), image, ImageFormat::Exr, {}, &error)) << error;
  EXPECT_EQ(Imf::InputFile(Path("default.exr").c_str()).header().compression(), Imf::PIZ_COMPRESSION);
}

TEST_F(ImageOptionsTest, ExrBytesDoNotDependOnTheThreadCount) {
  const Image image = Terrain(512, 333, 1);
  for (const ExrCompression compression : {ExrCompression::Zip, ExrCompression::Piz, ExrCompression::Zips}) {
    SCOPED_TRACE(ExrCompressionName(compression));
    std::vector<unsigned char> first;
    for (const int threads : {1, 2, 0, 64}) {
      ImageWriteOptions options;
      options.exrCompression = compression;
      options.threads = threads;
      const std::string path = Path(std::to_string(threads) + "-threads.exr");
      std::string error;
      ASSERT_TRUE(WriteImage(path, image, ImageFormat::Exr, {}, options, &error)) << error;
      if (first.empty()) {
        first = Slurp(path);
      } else {
        EXPECT_EQ(Slurp(path), first) << threads << " threads";
      }
    }
  }
}

TEST_F(ImageOptionsTest, ExrFilesWrittenFromSeveralThreadsAtOnceAreAllWhole) {
  // The compression pool is shared by the process; files written side by side must not mix.
  std::vector<Image> images;
  for (int i = 0; i < 4; ++i) images.push_back(Terrain(200 + i, 150, 1 + i % 4));
  std::vector<std::string> errors(images.size());
  std::vector<std::thread> writers;
  for (std::size_t i = 0; i < images.size(); ++i) {
    writers.emplace_back([&, i] {
      ImageWriteOptions options;
      options.threads = 2;
      WriteImage(Path(std::to_string(i) + ".exr"), images[i], ImageFormat::Exr, {}, options, &errors[i]);
    });
  }
  for (std::thread& writer : writers) writer.join();
  for (std::size_t i = 0; i < images.size(); ++i) {
    EXPECT_EQ(errors[i], "") << i;
    Image back;
    std::string error;
    ASSERT_TRUE(ReadImage(Path(std::to_string(i) + ".exr"), &back, nullptr, &error)) << error;
    EXPECT_EQ(back.channels, images[i].channels);
    EXPECT_TRUE(SameBits(back.pixels, images[i].pixels)) << i;
  }
}

TEST_F(ImageOptionsTest, PngLevelsChangeTheSizeButNeverThePixels) {
  const Image image = Terrain(256, 200, 2);
  for (const ImageFormat format : {ImageFormat::Png8, ImageFormat::Png16}) {
    const bool sixteen = format == ImageFormat::Png16;
    SCOPED_TRACE(sixteen ? "png16" : "png8");
    // What the writer stored before it had levels: libpng's own default, 6.
    ImageWriteOptions old;
    old.pngLevel = 6;
    std::string error;
    ASSERT_TRUE(WriteImage(Path("old.png"), image, format, {}, old, &error)) << error;
    Image reference;
    ASSERT_TRUE(ReadImage(Path("old.png"), &reference, nullptr, &error)) << error;
    std::uintmax_t sizes[kMaxPngLevel + 1] = {};
    for (int level = 0; level <= kMaxPngLevel; ++level) {
      ImageWriteOptions options;
      options.pngLevel = level;
      const std::string path = Path(std::to_string(level) + ".png");
      ASSERT_TRUE(WriteImage(path, image, format, {{{"k", "v"}}}, options, &error)) << error;
      Image back;
      ImageMetadata meta;
      ASSERT_TRUE(ReadImage(path, &back, &meta, &error)) << error;
      EXPECT_EQ(back.pixels, reference.pixels) << level;
      EXPECT_EQ(meta.entries.size(), 1u);
      sizes[level] = fs::file_size(path);
    }
    // Level 0 stores the rows as they are; the levels really reach zlib.
    const std::uintmax_t raw = static_cast<std::uintmax_t>(image.width) * static_cast<std::uintmax_t>(image.height) *
                               static_cast<std::uintmax_t>(image.channels) * (sixteen ? 2u : 1u);
    EXPECT_GT(sizes[0], raw);
    EXPECT_LT(sizes[1], sizes[0]);
    EXPECT_LE(sizes[9], sizes[1]);
    // The default is a level of its own, and decodes to the same pixels.
    ASSERT_TRUE(WriteImage(Path("default.png"), image, format, {}, &error)) << error;
    Image back;
    ASSERT_TRUE(ReadImage(Path("default.png"), &back, nullptr, &error)) << error;
    EXPECT_EQ(back.pixels, reference.pixels);
  }
  // A level zlib does not have is refused, and nothing is written.
  for (const int level : {-1, 10}) {
    ImageWriteOptions options;
    options.pngLevel = level;
    std::string error;
    EXPECT_FALSE(WriteImage(Path("bad.png"), image, ImageFormat::Png8, {}, options, &error)) << level;
    EXPECT_NE(error.find("0 to 9"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(Path("bad.png")));
  }
}

TEST_F(ImageOptionsTest, TheWidestImageBothFormatsTakeIsWrittenAndReadWhole) {
  const Image wide = Terrain(kMaxPngSide, 3, 1);
  for (const ImageFormat format : {ImageFormat::Exr, ImageFormat::Png16}) {
    const std::string path = Path(format == ImageFormat::Exr ? "wide.exr" : "wide.png");
    std::string error;
    ASSERT_TRUE(WriteImage(path, wide, format, {}, &error)) << error;
    Image back;
    ASSERT_TRUE(ReadImage(path, &back, nullptr, &error)) << error;
    EXPECT_EQ(back.width, kMaxPngSide);
    EXPECT_EQ(back.height, 3);
    if (format == ImageFormat::Exr) {
      EXPECT_TRUE(SameBits(back.pixels, wide.pixels));
    }
  }
}

}  // namespace
