// Images written a band of rows at a time: the same file as the whole image gives, entries known
// only at the end stored exactly, and nothing left behind by a writer that does not finish.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/image_io.h"
#include "tests/support/safe_save_checks.h"

namespace {

using namespace safe_save;

// Values spread over and beyond 0..1 (PNG clamps them, EXR keeps them), different in every row
// and channel, so a band written at the wrong place shows.
Image Pattern(int width, int height, int channels) {
  Image image{width, height, channels, {}};
  unsigned state = 977u * static_cast<unsigned>(width + 31 * height + 7 * channels);
  for (int i = 0; i < width * height * channels; ++i) {
    state = state * 1664525u + 1013904223u;
    image.pixels.push_back(static_cast<float>(state >> 8) / 16777216.0f * 1.2f - 0.1f);
  }
  return image;
}

// Writes image in bands of the given heights (the last one repeated until the image is done).
bool Stream(const std::string& path, const Image& image, ImageFormat format, const ImageMetadata& meta,
            const std::vector<LateEntry>& late, const ImageMetadata& lateValues, std::vector<int> bands,
            const ImageWriteOptions& options, std::string* error) {
  ImageStreamWriter writer;
  if (!writer.Open(path, image.width, image.height, image.channels, format, meta, late, options, error)) return false;
  const std::size_t rowValues = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.channels);
  for (int first = 0, band = 0; first < image.height; ++band) {
    const int count =
        std::min(bands[std::min<std::size_t>(static_cast<std::size_t>(band), bands.size() - 1)], image.height - first);
    if (!writer.WriteRows(first, count, image.pixels.data() + static_cast<std::size_t>(first) * rowValues, error))
      return false;
    first += count;
  }
  return writer.Finish(lateValues, error);
}

ImageMetadata Early() { return {{{"veldmap:source", "h\xC3\xB6he.ply"}, {"Software", "veldmap"}}}; }
std::vector<LateEntry> LateKeys() { return {{"veldmap:coverage", 8}, {"veldmap:seconds", 48}}; }
ImageMetadata LateValues() {
  return {{{"veldmap:coverage", "0.531250"}, {"veldmap:seconds", "update 0.020 render 1.500"}}};
}

TEST(ImageStream, BandsOfAnyHeightGiveTheWholeImagesFileInEveryFormatChannelCountAndCompression) {
  ScratchFolder folder;
  const std::string whole = (folder.path() / "whole").string(), streamed = (folder.path() / "streamed").string();
  struct Setting {
    ImageFormat format;
    ExrCompression compression;
  };
  // 75 rows: no band below divides it, and it is not a whole number of any EXR block (1, 16, 32).
  for (const Setting setting :
       {Setting{ImageFormat::Png8, ExrCompression::Piz}, Setting{ImageFormat::Png16, ExrCompression::Piz},
        Setting{ImageFormat::Exr, ExrCompression::Piz}, Setting{ImageFormat::Exr, ExrCompression::Zip},
        Setting{ImageFormat::Exr, ExrCompression::Zips}, Setting{ImageFormat::Exr, ExrCompression::None}}) {
    for (int channels = 1; channels <= 4; ++channels) {
      SCOPED_TRACE(testing::Message() << "format " << static_cast<int>(setting.format) << " "
                                      << ExrCompressionName(setting.compression) << ", " << channels << " channels");
      const Image image = Pattern(37, 75, channels);
      ImageWriteOptions options;
      options.exrCompression = setting.compression;
      options.threads = 2;
      std::string error;
      ASSERT_TRUE(WriteImage(whole, image, setting.format, Early(), options, &error)) << error;
      const Bytes reference = ReadFile(whole);
      Image back;
      ASSERT_TRUE(ReadImage(whole, &back, nullptr, &error)) << error;
      if (setting.format == ImageFormat::Exr) {
        EXPECT_EQ(back.pixels, image.pixels);  // lossless: every float as given
      }
      for (const std::vector<int>& bands :
           {std::vector<int>{1}, std::vector<int>{7}, std::vector<int>{32, 5, 13}, std::vector<int>{75}}) {
        SCOPED_TRACE(testing::Message() << "first band " << bands[0]);
        ASSERT_TRUE(Stream(streamed, image, setting.format, Early(), {}, {}, bands, options, &error)) << error;
        EXPECT_EQ(ReadFile(streamed), reference);
      }
    }
  }
}

TEST(ImageStream, LateEntriesComeBackExactlyAfterThePixelsOfAPngAndInTheRoomOfAnExrHeader) {
  ScratchFolder folder;
  const Image image = Pattern(20, 33, 3);
  for (const ImageFormat format : {ImageFormat::Png16, ImageFormat::Exr}) {
    SCOPED_TRACE(static_cast<int>(format));
    const std::string path = (folder.path() / "late").string();
    std::string error;
    ASSERT_TRUE(Stream(path, image, format, Early(), LateKeys(), LateValues(), {8}, {}, &error)) << error;
    Image back;
    ImageMetadata meta;
    ASSERT_TRUE(ReadImage(path, &back, &meta, &error)) << error;
    EXPECT_EQ(back.width, 20);
    EXPECT_EQ(back.height, 33);
    std::string seconds = "update 0.020 render 1.500";
    if (format == ImageFormat::Exr) {
      seconds.resize(48, ' ');  // the room reserved, padded
      const ImageMetadata sorted{{{"Software", "veldmap"},
                                  {"veldmap:coverage", "0.531250"},
                                  {"veldmap:seconds", seconds},
                                  {"veldmap:source", "h\xC3\xB6he.ply"}}};
      EXPECT_EQ(meta.entries, sorted.entries);
      EXPECT_EQ(back.pixels, image.pixels);
    } else {
      ImageMetadata inOrder = Early();
      for (const auto& entry : LateValues().entries) inOrder.entries.push_back(entry);
      EXPECT_EQ(meta.entries, inOrder.entries);
      // The late text chunks follow the last IDAT.
      const Bytes bytes = ReadFile(path);
      std::size_t at = 8, lastData = 0, firstLateText = 0;
      while (at + 8 <= bytes.size()) {
        const std::size_t length = std::size_t{bytes[at]} << 24 | std::size_t{bytes[at + 1]} << 16 |
                                   std::size_t{bytes[at + 2]} << 8 | bytes[at + 3];
        const std::string type(bytes.begin() + static_cast<std::ptrdiff_t>(at + 4),
                               bytes.begin() + static_cast<std::ptrdiff_t>(at + 8));
        if (type == "IDAT") lastData = at;
        const char* key = "veldmap:coverage";
        if (type == "tEXt" && firstLateText == 0 && length >= std::strlen(key) &&
            std::memcmp(bytes.data() + at + 8, key, std::strlen(key)) == 0)
          firstLateText = at;
        at += 12 + length;
      }
      EXPECT_GT(lastData, 0u);
      EXPECT_GT(firstLateText, lastData);
    }
  }
}

TEST(ImageStream, MisusedOrUnfinishedWritersLeaveNoFileAndTheOldOneAsItWas) {
  ScratchFolder folder;
  const fs::path path = folder.path() / "h.img";
  const Image image = Pattern(16, 40, 1);
  const Bytes old = {'o', 'l', 'd'};
  const auto oneEntry = [&folder, &path](const std::string& label) {
    EXPECT_EQ(Entries(folder.path()), std::vector<std::string>{path.filename().string()}) << label;
  };
  for (const ImageFormat format :
       {ImageFormat::Png8, ImageFormat::Exr, ImageFormat::Tiff16, ImageFormat::Tiff32, ImageFormat::Raw16}) {
    SCOPED_TRACE(static_cast<int>(format));
    WriteFile(path, old);
    std::string error;
    {
      ImageStreamWriter writer;  // destroyed half way
      ASSERT_TRUE(writer.Open(path.string(), 16, 40, 1, format, Early(), LateKeys(), {}, &error)) << error;
      ASSERT_TRUE(writer.WriteRows(0, 20, image.pixels.data(), &error)) << error;
    }
    EXPECT_EQ(ReadFile(path), old);
    oneEntry("abandoned");

    ImageStreamWriter early;
    ASSERT_TRUE(early.Open(path.string(), 16, 40, 1, format, Early(), LateKeys(), {}, &error)) << error;
    ASSERT_TRUE(early.WriteRows(0, 20, image.pixels.data(), &error)) << error;
    EXPECT_FALSE(early.Finish(LateValues(), &error));
    EXPECT_NE(error.find("only 20 of 40 rows"), std::string::npos) << error;
    EXPECT_FALSE(early.WriteRows(20, 20, image.pixels.data() + 320, &error));  // spent after a failure
    EXPECT_EQ(error.rfind(path.string() + ": ", 0), 0u) << error;

    ImageStreamWriter skipping;
    ASSERT_TRUE(skipping.Open(path.string(), 16, 40, 1, format, Early(), LateKeys(), {}, &error)) << error;
    EXPECT_FALSE(skipping.WriteRows(1, 10, image.pixels.data(), &error));
    EXPECT_NE(error.find("do not follow"), std::string::npos) << error;

    const std::vector<std::pair<ImageMetadata, std::string>> badLate = {
        {{{{"veldmap:seconds", "1"}, {"veldmap:coverage", "0.5"}}}, "not the one announced"},
        {{{{"veldmap:coverage", "0.5312500"}, {"veldmap:seconds", "1"}}}, "longer than its 8 bytes"},
        {{{{"veldmap:coverage", std::string("0.5\0", 4)}, {"veldmap:seconds", "1"}}}, "NUL"},
    };
    for (const auto& [late, why] : badLate) {
      ImageStreamWriter writer;
      ASSERT_TRUE(writer.Open(path.string(), 16, 40, 1, format, Early(), LateKeys(), {}, &error)) << error;
      ASSERT_TRUE(writer.WriteRows(0, 40, image.pixels.data(), &error)) << error;
      EXPECT_FALSE(writer.Finish(late, &error)) << why;
      EXPECT_NE(error.find(why), std::string::npos) << error;
    }
    EXPECT_EQ(ReadFile(path), old);
    oneEntry("refused");

    // Refused at Open, before any file is made.
    ImageStreamWriter refused;
    EXPECT_FALSE(refused.Open(path.string(), 16, 40, 1, format, Early(), {{"veldmap:coverage", 0}}, {}, &error));
    EXPECT_FALSE(refused.Open(path.string(), 16, 40, 1, format, Early(), {{"Software", 4}}, {}, &error));
    EXPECT_NE(error.find("appears twice"), std::string::npos) << error;
    EXPECT_FALSE(refused.Open(path.string(), 16, 40, 5, format, Early(), {}, {}, &error));
    oneEntry("refused at open");
  }
}

TEST(ImageStream, AFailingCallMidStreamAFullDiskOrAFolderInTheWayLeaveEverythingAsItWas) {
  // Larger than the writer's 1 MiB of gathered bytes, so the file is written while rows still
  // come: uncompressed EXR and PNG at level 0.
  const Image oldImage = Pattern(8, 8, 1), newImage = Pattern(400, 700, 4);
  ImageWriteOptions options;
  options.exrCompression = ExrCompression::None;
  options.pngLevel = 0;
  for (const ImageFormat format : {ImageFormat::Png16, ImageFormat::Exr}) {
    SCOPED_TRACE(static_cast<int>(format));
    ScratchFolder folder;
    const fs::path path = folder.path() / "height.img";
    const Save save = [&](std::string* error) {
      return Stream(path.string(), newImage, format, Early(), LateKeys(), LateValues(), {64}, options, error);
    };
    const Save saveOld = [&](std::string* error) {
      return Stream(path.string(), oldImage, format, Early(), LateKeys(), LateValues(), {3}, options, error);
    };
    std::string error;
    ASSERT_TRUE(save(&error)) << error;
    const Bytes fresh = ReadFile(path);
    ASSERT_GT(fresh.size(), std::size_t{1} << 21);
    ASSERT_TRUE(saveOld(&error)) << error;
    const Bytes old = ReadFile(path);
    CheckEveryFailingCall(path, old, fresh, save);
    CheckFullDisk(path, old, fresh.size(), fresh.size() / 2, save);
    fs::remove(path);
    CheckTargetIsAFolder(path, save);
  }
}

}  // namespace
