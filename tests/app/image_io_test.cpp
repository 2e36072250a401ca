#include "app/image_io.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

const fs::path kScratchRoot = fs::temp_directory_path() / ("veldmap_image_io." + std::to_string(::getpid()));

struct RemoveScratch : testing::Environment {
  void TearDown() override { fs::remove_all(kScratchRoot); }
};
[[maybe_unused]] const testing::Environment* const kRemoveScratch =
    testing::AddGlobalTestEnvironment(new RemoveScratch);

// An empty folder of the running test's own.
fs::path Scratch() {
  fs::path dir = kScratchRoot / testing::UnitTest::GetInstance()->current_test_info()->name();
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

Bytes Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void Spit(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
}

Image Make(int w, int h, int c, std::vector<float> pixels) { return Image{w, h, c, std::move(pixels)}; }

void Put32(Bytes* out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<unsigned char>(v >> shift));
}

std::uint32_t Get32(const unsigned char* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// A PNG chunk with its length and CRC, so tests can build files no writer of ours would make.
Bytes Chunk(const std::string& type, const Bytes& data) {
  Bytes out;
  // Sized up front: GCC 12 at -O3 cannot see that the first push_back grows an empty vector and
  // fails the release build with a -Wstringop-overflow false positive.
  out.reserve(12 + type.size() + data.size());
  Put32(&out, static_cast<std::uint32_t>(data.size()));
  out.insert(out.end(), type.begin(), type.end());
  out.insert(out.end(), data.begin(), data.end());
  Put32(&out, static_cast<std::uint32_t>(crc32(0, out.data() + 4, static_cast<uInt>(out.size() - 4))));
  return out;
}

Bytes MakePng(std::uint32_t w, std::uint32_t h, int depth, int colorType, int interlace, const Bytes& scanlines,
              const Bytes& extraChunks = {}) {
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'}, ihdr;
  Put32(&ihdr, w);
  Put32(&ihdr, h);
  ihdr.insert(ihdr.end(), {static_cast<unsigned char>(depth), static_cast<unsigned char>(colorType), 0, 0,
                           static_cast<unsigned char>(interlace)});
  Bytes packed(compressBound(static_cast<uLong>(scanlines.size())));
  uLongf size = static_cast<uLongf>(packed.size());
  EXPECT_EQ(compress(packed.data(), &size, scanlines.data(), static_cast<uLong>(scanlines.size())), Z_OK);
  packed.resize(size);
  for (const Bytes& c : {Chunk("IHDR", ihdr), extraChunks, Chunk("IDAT", packed), Chunk("IEND", {})})
    out.insert(out.end(), c.begin(), c.end());
  return out;
}

// The chunk types of a PNG file, and its scan lines inflated and unfiltered (each row keeps its
// filter byte, then the samples as stored). bpp: bytes per pixel, as the filters count them.
void ParsePng(const Bytes& png, std::vector<std::string>* types, Bytes* rows, std::size_t rowBytes, std::size_t height,
              std::size_t bpp) {
  Bytes idat;
  for (std::size_t at = 8; at + 12 <= png.size(); at += 12 + Get32(&png[at])) {
    const auto type = png.begin() + static_cast<std::ptrdiff_t>(at) + 4;
    types->emplace_back(type, type + 4);
    if (types->back() == "IDAT") idat.insert(idat.end(), &png[at + 8], &png[at + 8] + Get32(&png[at]));
  }
  Bytes& r = *rows;
  r.resize(rowBytes * height);
  uLongf size = static_cast<uLongf>(r.size());
  ASSERT_EQ(uncompress(r.data(), &size, idat.data(), static_cast<uLong>(idat.size())), Z_OK);
  ASSERT_EQ(size, r.size());
  for (std::size_t y = 0; y < height; ++y) {
    for (std::size_t i = 1; i < rowBytes; ++i) {
      const int a = i > bpp ? r[y * rowBytes + i - bpp] : 0, b = y > 0 ? r[(y - 1) * rowBytes + i] : 0;
      const int c = i > bpp && y > 0 ? r[(y - 1) * rowBytes + i - bpp] : 0;
      const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
      const int paeth = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      const int predictor[5] = {0, a, b, (a + b) / 2, paeth};
      ASSERT_LT(r[y * rowBytes], 5);
      r[y * rowBytes + i] = static_cast<unsigned char>(r[y * rowBytes + i] + predictor[r[y * rowBytes]]);
    }
  }
}

TEST(ImageIo, FormatsByNameAndExtension) {
  EXPECT_EQ(FormatFromName("png8"), ImageFormat::Png8);
  EXPECT_EQ(FormatFromName("png16"), ImageFormat::Png16);
  EXPECT_EQ(FormatFromName("exr"), ImageFormat::Exr);
  EXPECT_EQ(FormatFromName("png"), std::nullopt);
  EXPECT_EQ(FormatFromExtension("out/tile.PNG"), ImageFormat::Png8);
  EXPECT_EQ(FormatFromExtension("height.exr"), ImageFormat::Exr);
  EXPECT_EQ(FormatFromExtension("a.exr/height"), std::nullopt);
  EXPECT_EQ(FormatFromExtension("height.TIF"), ImageFormat::Tiff32);
  EXPECT_EQ(FormatFromExtension("height.tiff"), ImageFormat::Tiff32);
  EXPECT_EQ(FormatFromExtension("terrain.r16"), ImageFormat::Raw16);
  EXPECT_EQ(FormatFromExtension("terrain.raw"), ImageFormat::Raw16);
  EXPECT_EQ(FormatFromName("tiff16"), ImageFormat::Tiff16);
  EXPECT_EQ(FormatFromName("tiff32"), ImageFormat::Tiff32);
  EXPECT_EQ(FormatFromName("raw16"), ImageFormat::Raw16);
  EXPECT_EQ(FormatFromName("tiff"), std::nullopt);
  EXPECT_EQ(FormatFromExtension("height.jpg"), std::nullopt);
}

TEST(ImageIo, ExrKeepsFloatsExactlyWithNamedFloatChannels) {
  const fs::path dir = Scratch();
  const std::vector<std::vector<std::string>> names = {{"Y"}, {"A", "Y"}, {"B", "G", "R"}, {"A", "B", "G", "R"}};
  for (int c = 1; c <= 4; ++c) {
    std::vector<float> px;
    for (int i = 0; i < 3 * 2 * c; ++i)
      px.push_back(static_cast<float>(i * i) * -0.37f + 1e-3f * static_cast<float>(i));
    px[0] = 1.0e6f;
    px.back() = -std::numeric_limits<float>::denorm_min();
    const Image in = Make(3, 2, c, px);
    const fs::path file = dir / fmt::format("c{}.exr", c);
    std::string error;
    ASSERT_TRUE(WriteImage(file, in, ImageFormat::Exr, {}, &error)) << error;
    Image out;
    ASSERT_TRUE(ReadImage(file, &out, nullptr, &error)) << error;
    EXPECT_EQ(out.width, 3);
    EXPECT_EQ(out.height, 2);
    EXPECT_EQ(out.channels, c);
    EXPECT_EQ(out.pixels, in.pixels);

    // The channel list attribute, read straight from the bytes: names in file order, each FLOAT (2).
    const Bytes bytes = Slurp(file);
    const std::string tag("channels\0chlist\0", 16);
    auto at = std::search(bytes.begin(), bytes.end(), tag.begin(), tag.end()) + 16 + 4;
    std::vector<std::string> found;
    for (; at < bytes.end() && *at != 0; at += 17) {
      found.emplace_back(reinterpret_cast<const char*>(&*at));
      at += static_cast<std::ptrdiff_t>(found.back().size());
      EXPECT_EQ(at[1], 2) << found.back();
    }
    EXPECT_EQ(found, names[c - 1]);
  }
}

TEST(ImageIo, PngStoresClampedRoundedCodesAndReadsThemBack) {
  const fs::path dir = Scratch();
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::vector<float> px = {0.5f, 0.25f, 1.0f, -1.0f, nan, 2.0f, inf, 0.0f};
  const Bytes codes8 = {128, 64, 255, 0, 0, 255, 255, 0};
  const std::vector<unsigned> codes16 = {32768, 16384, 65535, 0, 0, 65535, 65535, 0};
  for (int c = 1; c <= 4; ++c) {
    for (const bool sixteen : {false, true}) {
      std::vector<float> values(8 * static_cast<std::size_t>(c));
      for (std::size_t i = 0; i < values.size(); ++i) values[i] = px[i % 8];
      const fs::path file = dir / fmt::format("c{}_{}.png", c, sixteen ? 16 : 8);
      std::string error;
      ASSERT_TRUE(WriteImage(file, Make(4, 2, c, values), sixteen ? ImageFormat::Png16 : ImageFormat::Png8, {}, &error))
          << error;

      // The codes as stored: two rows, each the filter byte then 4 * c samples of 1 or 2 bytes.
      std::vector<std::string> types;
      Bytes raw;
      const std::size_t samples = 4 * static_cast<std::size_t>(c), rowBytes = 1 + samples * (sixteen ? 2 : 1);
      ParsePng(Slurp(file), &types, &raw, rowBytes, 2, static_cast<std::size_t>(c) * (sixteen ? 2 : 1));
      Image out;
      ASSERT_TRUE(ReadImage(file, &out, nullptr, &error)) << error;
      ASSERT_EQ(out.channels, c);
      ASSERT_EQ(out.pixels.size(), values.size());
      for (std::size_t i = 0; i < values.size(); ++i) {
        const unsigned char* sample = &raw[i / samples * rowBytes + 1 + i % samples * (sixteen ? 2 : 1)];
        const unsigned code = sixteen ? 256u * sample[0] + sample[1] : sample[0];
        const unsigned want = sixteen ? codes16[i % 8] : codes8[i % 8];
        EXPECT_EQ(code, want) << "value " << i << (sixteen ? " 16-bit" : " 8-bit");
        EXPECT_EQ(out.pixels[i], static_cast<float>(want) / (sixteen ? 65535.0f : 255.0f));
      }
    }
  }
  // Arbitrary values come back within half a step.
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> values(std::size_t{64} * 3);
  for (float& v : values) v = unit(rng);
  for (const auto& [format, step] : {std::pair{ImageFormat::Png8, 255.0f}, std::pair{ImageFormat::Png16, 65535.0f}}) {
    std::string error;
    Image out;
    ASSERT_TRUE(WriteImage(dir / "rgb.png", Make(16, 4, 3, values), format, {}, &error)) << error;
    ASSERT_TRUE(ReadImage(dir / "rgb.png", &out, nullptr, &error)) << error;
    for (std::size_t i = 0; i < values.size(); ++i) EXPECT_NEAR(out.pixels[i], values[i], 0.5f / step + 1e-7f);
  }
}

TEST(ImageIo, MetadataRoundTripsInBothFormats) {
  const fs::path dir = Scratch();
  ImageMetadata meta;
  meta.entries = {{"veldmap.z_range", "-12.5 340.25"},
                  {"note", "line one\nline two"},
                  {"empty", ""},
                  {"source", "h\xc3\xb6he/\xe2\x80\x93mesh.obj"},
                  {std::string(79, 'k'), "longest key"}};
  const Image grey = Make(2, 1, 1, {0.0f, 1.0f});
  for (const char* name : {"m.png", "m.exr"}) {
    const fs::path file = dir / name;
    std::string error;
    ASSERT_TRUE(WriteImage(file, grey, *FormatFromExtension(name), meta, &error)) << error;
    Image out;
    ImageMetadata back;
    ASSERT_TRUE(ReadImage(file, &out, &back, &error)) << error;
    auto want = meta.entries;
    if (file.extension() == ".exr") std::sort(want.begin(), want.end());  // EXR keeps them in name order
    EXPECT_EQ(back.entries, want) << name;
  }
  // ASCII text goes in tEXt chunks, the UTF-8 path in iTXt.
  std::vector<std::string> types;
  Bytes raw;
  ParsePng(Slurp(dir / "m.png"), &types, &raw, 3, 1, 1);
  EXPECT_EQ(std::count(types.begin(), types.end(), "tEXt"), 4);
  EXPECT_EQ(std::count(types.begin(), types.end(), "iTXt"), 1);
}

TEST(ImageIo, RefusesBadInputWithOneLineAndLeavesFilesAlone) {
  const fs::path dir = Scratch();
  const fs::path file = dir / "kept.png";
  ASSERT_TRUE(WriteImage(file, Make(1, 1, 1, {0.5f}), ImageFormat::Png8, {}, nullptr));
  const Bytes before = Slurp(file);
  const Image ok = Make(2, 2, 1, {0, 0, 0, 0});
  const auto refused = [&](const Image& image, ImageFormat format, const ImageMetadata& meta, const char* why) {
    std::string error;
    EXPECT_FALSE(WriteImage(file, image, format, meta, &error)) << why;
    EXPECT_EQ(error.rfind(file.string() + ": ", 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(Slurp(file), before) << why;
  };
  refused(Make(0, 2, 1, {}), ImageFormat::Png8, {}, "no columns");
  refused(Make(2, -1, 1, {}), ImageFormat::Exr, {}, "negative height");
  refused(Make(2, 2, 0, {}), ImageFormat::Exr, {}, "no channels");
  refused(Make(1, 1, 5, {0, 0, 0, 0, 0}), ImageFormat::Png16, {}, "five channels");
  refused(Make(2, 2, 1, {0, 0, 0}), ImageFormat::Png8, {}, "too few values");
  refused(Make(kMaxPngSide + 1, 1, 1, std::vector<float>(kMaxPngSide + 1)), ImageFormat::Png8, {}, "wide PNG");
  refused(Make(1 << 15, 1 << 14, 1, {}), ImageFormat::Exr, {}, "2^29 pixels without their values");
  for (const std::string& key : {std::string(80, 'k'), std::string(), std::string(" lead"), std::string("trail "),
                                 std::string("two  spaces"), std::string("h\xc3\xb6he"), std::string("tab\tkey")})
    refused(ok, ImageFormat::Png8, {{{key, "v"}}}, key.c_str());
  refused(ok, ImageFormat::Exr, {{{"a", "1"}, {"a", "2"}}}, "duplicate key");
  refused(ok, ImageFormat::Png16, {{{"a", std::string("x\0y", 3)}}}, "NUL in value");
  refused(ok, ImageFormat::Exr, {{{"compression", "none"}}}, "EXR's own attribute");
  refused(ok, ImageFormat::Exr, {{{"type", "deepscanline"}}}, "EXR's part type");

  // The rename fails (the target is a folder); nothing but that folder is left behind.
  fs::create_directories(dir / "taken" / "inside");
  std::string error;
  EXPECT_FALSE(WriteImage(dir / "taken", ok, ImageFormat::Exr, {}, &error));
  EXPECT_NE(error.find("taken"), std::string::npos) << error;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);  // kept.png, taken
  EXPECT_FALSE(WriteImage(dir / "missing" / "x.png", ok, ImageFormat::Png8, {}, &error));
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(ImageIo, ReadsPaletteLowBitTransparentAndInterlacedPngs) {
  const fs::path dir = Scratch();
  struct Case {
    const char* name;
    Bytes png;
    int channels;
    std::vector<float> want;
  };
  const auto q = [](int code) { return static_cast<float>(code) / 255.0f; };
  const Case cases[] = {
      // 2 x 1 palette image, indices 1 and 0; in the second, a tRNS chunk makes entry 0 half transparent.
      {"palette",
       MakePng(2, 1, 8, 3, 0, {0, 1, 0}, Chunk("PLTE", {10, 20, 30, 200, 100, 0})),
       3,
       {q(200), q(100), 0, q(10), q(20), q(30)}},
      {"palette_trns",
       MakePng(2, 1, 8, 3, 0, {0, 1, 0},
               [] {
                 Bytes c = Chunk("PLTE", {10, 20, 30, 200, 100, 0}), t = Chunk("tRNS", {128});
                 c.insert(c.end(), t.begin(), t.end());
                 return c;
               }()),
       4,
       {q(200), q(100), 0, 1, q(10), q(20), q(30), q(128)}},
      // 1-bit grey, 9 pixels 101100111: two bytes with the last 7 bits padding.
      {"grey1", MakePng(9, 1, 1, 0, 0, {0, 0b10110011, 0b10000000}), 1, {1, 0, 1, 1, 0, 0, 1, 1, 1}},
      // 2 x 2 Adam7: pass 1 holds (0,0), pass 6 holds (1,0), pass 7 holds row 1.
      {"interlaced", MakePng(2, 2, 8, 0, 1, {0, 11, 0, 22, 0, 33, 44}), 1, {q(11), q(22), q(33), q(44)}},
  };
  for (const Case& c : cases) {
    Spit(dir / c.name, c.png);
    Image out;
    std::string error;
    ASSERT_TRUE(ReadImage(dir / c.name, &out, nullptr, &error)) << error;
    EXPECT_EQ(out.channels, c.channels) << c.name;
    EXPECT_EQ(out.pixels, c.want) << c.name;
  }
}

TEST(ImageIo, DamagedOrOversizedFilesFailWithAMessage) {
  const fs::path dir = Scratch();
  std::mt19937 rng(11);
  Bytes noise(4096);
  for (auto& b : noise) b = static_cast<unsigned char>(rng());
  std::vector<float> values(std::size_t{64} * 64 * 4);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i % 97) / 97.0f;
  ASSERT_TRUE(WriteImage(dir / "good.png", Make(64, 64, 4, values), ImageFormat::Png16, {{{"k", "v"}}}, nullptr));
  ASSERT_TRUE(WriteImage(dir / "good.exr", Make(64, 64, 4, values), ImageFormat::Exr, {}, nullptr));
  const Bytes png = Slurp(dir / "good.png"), exr = Slurp(dir / "good.exr");

  std::vector<std::pair<std::string, Bytes>> bad = {{"noise", noise}, {"empty", {}}};
  for (const std::size_t keep : {std::size_t{8}, std::size_t{30}, png.size() / 2, png.size() - 1})
    bad.emplace_back("png_cut_" + std::to_string(keep), Bytes(png.begin(), png.begin() + static_cast<long>(keep)));
  for (const std::size_t keep : {std::size_t{6}, std::size_t{100}, exr.size() / 2, exr.size() - 1})
    bad.emplace_back("exr_cut_" + std::to_string(keep), Bytes(exr.begin(), exr.begin() + static_cast<long>(keep)));
  Bytes pngNoise(png.begin(), png.begin() + 8);
  pngNoise.insert(pngNoise.end(), noise.begin(), noise.end());
  bad.emplace_back("png_then_noise", pngNoise);
  // 20000 x 20000 RGBA passes libpng's own limits but not the pixel cap; no pixel data follows.
  bad.emplace_back("png_huge", MakePng(20000, 20000, 16, 6, 0, {}));
  Bytes exrHuge = exr;
  const std::string window("dataWindow\0box2i\0", 17);
  const auto at = std::search(exrHuge.begin(), exrHuge.end(), window.begin(), window.end()) + 17 + 4;
  ASSERT_LT(at + 16, exrHuge.end());
  for (int i = 8; i < 16; i += 4) std::copy_n(Bytes{0x1f, 0x4e, 0, 0}.begin(), 4, at + i);  // max x, y = 19999
  bad.emplace_back("exr_huge", exrHuge);

  const Image sentinel = Make(1, 1, 1, {0.25f});
  for (const auto& [name, bytes] : bad) {
    Spit(dir / name, bytes);
    Image out = sentinel;
    ImageMetadata meta;
    std::string error;
    EXPECT_FALSE(ReadImage(dir / name, &out, &meta, &error)) << name;
    EXPECT_EQ(error.rfind((dir / name).string() + ": ", 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(out.pixels, sentinel.pixels) << name;
    if (name.find("huge") != std::string::npos) {
      EXPECT_NE(error.find("allowed"), std::string::npos) << error;
    }
    if (name.rfind("png_cut", 0) == 0) {
      EXPECT_NE(error.find("ends early"), std::string::npos) << error;
    }
  }
  std::string error;
  Image out;
  EXPECT_FALSE(ReadImage(dir / "absent.png", &out, nullptr, &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

}  // namespace
