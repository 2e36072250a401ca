// The studio's render view through its HTTP API: a live server on hills.obj, the real module, and
// cpp-httplib's client. The images are compared with what RenderMap makes (the sample slot is
// RenderMap's colour at 256 x 256) and with what `veldmap render` writes.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/image_io.h"
#include "studio/studio_server.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class StudioRenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("veldmap-render-test-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    fs::copy_file(fs::path(VELDMAP_SAMPLES_DIR) / "hills.obj", root_ / "hills.obj");
    StartServer("hills.obj");
  }
  // A server on mesh, a file in root_ (named relative to it), in place of the running one.
  void StartServer(const std::string& mesh) {
    server_ = std::make_unique<StudioServer>();
    StudioOptions options;
    options.files = {mesh};
    options.roots = {root_};
    options.pluginDir = VELDMAP_PLUGIN_DIR;
    options.quiet = true;
    std::string error;
    ASSERT_TRUE(server_->Start(options, &error)) << error;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->Port());
    client_->set_read_timeout(120);
    headers_ = {{"X-Veldmap-Token", server_->Token()}};
  }
  void TearDown() override {
    server_.reset();
    fs::remove_all(root_);
  }

  httplib::Result Get(const std::string& path) { return client_->Get(path.c_str(), headers_); }
  // The answer's status and body as JSON (null when the body is not JSON).
  std::pair<int, json> Call(const std::string& method, const std::string& path, const std::string& body = "") {
    httplib::Result res = method == "GET" ? Get(path) : client_->Post(path.c_str(), headers_, body, "application/json");
    if (!res) {
      ADD_FAILURE() << method << " " << path << ": no answer";
      return {0, json()};
    }
    return {res->status, json::parse(res->body, nullptr, false)};
  }
  json Ok(const std::string& method, const std::string& path, const json& body = json(), int status = 200) {
    auto [code, answer] = Call(method, path, body.is_null() ? "" : body.dump());
    EXPECT_EQ(code, status) << method << " " << path << ": " << answer.dump();
    return answer;
  }
  json StartRender(const std::string& output, int width, int height) {
    return Ok("POST", "/api/maps/1/render", {{"output", output}, {"width", width}, {"height", height}}, 202);
  }
  json WaitUntilEnded() {
    for (;;) {
      json status = Ok("GET", "/api/render");
      if (status.value("state", "") != "running") return status;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // The render view's image decoded, with the rows of the full render it held.
  struct Shown {
    Image image;
    int rows = -1;
    int id = 0;
  };
  std::optional<Shown> RenderImage() {
    httplib::Result res = Get("/api/render/image.png");
    if (!res || res->status != 200) return std::nullopt;
    EXPECT_EQ(res->get_header_value("Content-Type"), "image/png");
    Shown shown;
    shown.image = Decode(res->body);
    shown.rows = std::atoi(res->get_header_value("X-Veldmap-Render-Rows").c_str());
    shown.id = std::atoi(res->get_header_value("X-Veldmap-Render-Id").c_str());
    return shown;
  }
  Image Decode(const std::string& png) {
    const fs::path file = root_ / "decoded.png";
    std::ofstream(file, std::ios::binary) << png;
    Image image;
    std::string error;
    EXPECT_TRUE(ReadImage(file.string(), &image, nullptr, &error)) << error;
    return image;
  }
  static Image ReadBack(const fs::path& file, ImageMetadata* meta) {
    Image image;
    std::string error;
    EXPECT_TRUE(ReadImage(file.string(), &image, meta, &error)) << error;
    return image;
  }
  static std::vector<float> Row(const Image& image, int y) {
    const auto begin = image.pixels.begin() + static_cast<std::ptrdiff_t>(y) * image.width * image.channels;
    return {begin, begin + static_cast<std::ptrdiff_t>(image.width) * image.channels};
  }

  fs::path root_;
  std::unique_ptr<StudioServer> server_;
  std::unique_ptr<httplib::Client> client_;
  httplib::Headers headers_;
};

TEST_F(StudioRenderTest, FinishedImageIsRenderMapsAndTheFilesMatchTheCommandLines) {
  // The sample slot is RenderMap's colour at 256 x 256 in one go; the render view's, made in
  // bands, must give the very same bytes.
  StartRender("color", 256, 256);
  json status = WaitUntilEnded();
  EXPECT_EQ(status["state"], "done");
  EXPECT_EQ(status["done"], 256 * 256);
  EXPECT_EQ(status["total"], 256 * 256);
  EXPECT_GE(status["bands"].get<int>(), 2) << "a 256-pixel-wide image starts with bands of 64 rows";
  httplib::Result view = Get("/api/render/image.png");
  httplib::Result sample = Get("/api/maps/1/sample.png");
  ASSERT_TRUE(view && sample);
  EXPECT_TRUE(view->body == sample->body) << "the render view's image differs from RenderMap's";

  // Every output, at an odd size, saved as EXR, against `veldmap render` on the same mesh with
  // the map's settings (a new map in the host repeats outside 0..1, the command line's render
  // only with --wrap): the same floats and the same metadata entries (the seconds aside, and the
  // source, which names the node rather than the command line's path).
  for (const char* output : {"height", "color", "alpha", "bump"}) {
    SCOPED_TRACE(output);
    StartRender(output, 301, 203);
    EXPECT_EQ(WaitUntilEnded()["state"], "done");
    const std::string name = std::string("studio-") + output + ".exr";
    const json saved = Ok("POST", "/api/render/save", {{"path", name}});
    EXPECT_EQ(saved["format"], "exr");
    const std::string cli = std::string(VELDMAP_CLI) + " --plugins " + VELDMAP_PLUGIN_DIR + " -q render " +
                            (root_ / "hills.obj").string() + " --kind " + output +
                            " --wrap --width 301 --height 203 -o " + (root_ / "cli.exr").string();
    ASSERT_EQ(std::system(cli.c_str()), 0) << cli;
    ImageMetadata studioMeta, cliMeta;
    const Image studio = ReadBack(root_ / name, &studioMeta);
    const Image expected = ReadBack(root_ / "cli.exr", &cliMeta);
    EXPECT_EQ(studio.width, 301);
    EXPECT_EQ(studio.height, 203);
    EXPECT_EQ(studio.channels, expected.channels);
    EXPECT_TRUE(studio.pixels == expected.pixels) << "the saved floats differ from the command line's";
    ASSERT_EQ(studioMeta.entries.size(), cliMeta.entries.size());
    for (std::size_t i = 0; i < cliMeta.entries.size(); ++i) {
      const auto& [key, value] = cliMeta.entries[i];
      EXPECT_EQ(studioMeta.entries[i].first, key);
      if (key == "veldmap:seconds") {
        EXPECT_EQ(studioMeta.entries[i].second.rfind("update ", 0), 0u);
      } else if (key == "veldmap:source") {
        EXPECT_EQ(studioMeta.entries[i].second, "hills");
      } else {
        EXPECT_EQ(studioMeta.entries[i].second, value) << key;
      }
    }
  }

  // 16-bit PNG, asked by name, keeps the same entries and the values to the PNG's step.
  Ok("POST", "/api/render/save", {{"path", "bump16.png"}, {"format", "png16"}});
  ImageMetadata pngMeta, exrMeta;
  const Image png = ReadBack(root_ / "bump16.png", &pngMeta);
  const Image exr = ReadBack(root_ / "studio-bump.exr", &exrMeta);
  EXPECT_EQ(StoredFormat((root_ / "bump16.png").string()), ImageFormat::Png16);
  // EXR keeps its entries in name order.
  std::sort(pngMeta.entries.begin(), pngMeta.entries.end());
  EXPECT_EQ(pngMeta.entries, exrMeta.entries);
  ASSERT_EQ(png.pixels.size(), exr.pixels.size());
  for (std::size_t i = 0; i < png.pixels.size(); i += 997) EXPECT_NEAR(png.pixels[i], exr.pixels[i], 1.0 / 65535);
}

// A ground plane under a raised block: every pixel is covered, though most lie at height 0, and
// the render view's coverage says so as the command line's does. (In this suite's name, which
// the ThreadSanitizer run leaves out with the other renders on oneTBB's pool.)
TEST_F(StudioRenderTest, CoverageCountsCoveredGroundAtHeightZero) {
  // OBJ is Y-up: each vertex is X, height, -Y.
  std::ofstream(root_ / "stacked.obj") << "v 0 0 0\nv 4 0 0\nv 4 0 -4\nv 0 0 -4\n"
                                       << "v 1 1 -1\nv 2 1 -1\nv 2 1 -2\nv 1 1 -2\n"
                                       << "f 1 2 3\nf 1 3 4\nf 5 6 7\nf 5 7 8\n";
  server_.reset();
  StartServer("stacked.obj");
  StartRender("height", 64, 64);
  ASSERT_EQ(WaitUntilEnded()["state"], "done");
  Ok("POST", "/api/render/save", {{"path", "h.exr"}});
  ImageMetadata meta;
  ReadBack(root_ / "h.exr", &meta);
  const auto coverage = std::find_if(meta.entries.begin(), meta.entries.end(),
                                     [](const auto& entry) { return entry.first == "veldmap:coverage"; });
  ASSERT_NE(coverage, meta.entries.end());
  EXPECT_EQ(coverage->second, "1.000000");
}

TEST_F(StudioRenderTest, CoarseImageComesFirstAndBandsFillItFromTheTop) {
  // What the coarse stage renders for 2048 x 2048: the map at 128 x 128.
  StartRender("color", 128, 128);
  ASSERT_EQ(WaitUntilEnded()["state"], "done");
  const std::optional<Shown> coarse = RenderImage();
  ASSERT_TRUE(coarse);

  const json started = StartRender("color", 2048, 2048);
  std::optional<Shown> first;
  while (!(first = RenderImage()) || first->id != started["id"]) {
  }
  ASSERT_EQ(WaitUntilEnded()["state"], "done");
  const std::optional<Shown> last = RenderImage();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->rows, 2048);
  // The page sees at most 1024 pixels a side: every second pixel of every second row.
  ASSERT_EQ(first->image.width, 1024);
  ASSERT_EQ(first->image.height, 1024);
  EXPECT_LT(first->rows, 2048) << "the first image came only when the full one was done";
  for (int y = 0; y < 1024; ++y) {
    if (2 * y < first->rows) {
      ASSERT_EQ(Row(first->image, y), Row(last->image, y)) << "row " << y << " of a finished band";
      continue;
    }
    // Not rendered in full yet: the coarse pixel the row falls in, enlarged.
    const std::vector<float> coarseRow = Row(coarse->image, 2 * y * 128 / 2048);
    std::vector<float> enlarged;
    for (int x = 0; x < 1024; ++x) {
      const auto at = coarseRow.begin() + static_cast<std::ptrdiff_t>(2 * x * 128 / 2048) * 3;
      enlarged.insert(enlarged.end(), at, at + 3);
    }
    ASSERT_EQ(Row(first->image, y), enlarged) << "row " << y << " should still be the coarse image's";
  }
  EXPECT_NE(first->image.pixels, last->image.pixels);
}

TEST_F(StudioRenderTest, CancelStopsBetweenBandsAndANewRenderReplacesTheRunningOne) {
  EXPECT_EQ(Ok("GET", "/api/render")["state"], "idle");
  EXPECT_EQ(Call("GET", "/api/render/image.png").first, 404);
  StartRender("color", 4096, 4096);
  json status;
  do {
    status = Ok("GET", "/api/render");
  } while (status["state"] == "running" && status["bands"] == 0);
  const json cancelled = Ok("POST", "/api/render/cancel", json::object());
  EXPECT_EQ(cancelled["state"], "cancelled");
  EXPECT_LT(cancelled["done"].get<long long>(), 4096LL * 4096);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const json later = Ok("GET", "/api/render");
  EXPECT_EQ(later["state"], "cancelled");
  EXPECT_EQ(later["bands"], cancelled["bands"]) << "a band ran after the cancel";
  EXPECT_EQ(later["done"], cancelled["done"]);
  // What was rendered stays on show; it is not saved, being unfinished.
  EXPECT_TRUE(RenderImage());
  EXPECT_EQ(Call("POST", "/api/render/save", R"({"path": "cancelled.exr"})").first, 409);
  EXPECT_FALSE(fs::exists(root_ / "cancelled.exr"));
  // Cancelling again changes nothing.
  EXPECT_EQ(Ok("POST", "/api/render/cancel")["bands"], cancelled["bands"]);

  // A second render while one runs: the first stops, the second finishes.
  const json big = StartRender("height", 4096, 4096);
  const json small = StartRender("height", 64, 64);
  EXPECT_EQ(small["id"].get<int>(), big["id"].get<int>() + 1);
  const json ended = WaitUntilEnded();
  EXPECT_EQ(ended["id"], small["id"]);
  EXPECT_EQ(ended["state"], "done");
  EXPECT_EQ(ended["width"], 64);

  // And the server stops in the middle of one, freeing its copy of the map on the host thread.
  StartRender("bump", 4096, 4096);
  server_.reset();
}

TEST_F(StudioRenderTest, EditsAndSavesAreServedDuringARenderThatKeepsTheValuesOfItsStart) {
  const std::string slotBefore = Get("/api/maps/1/sample.png")->body;
  StartRender("height", 3000, 3000);
  const json edit = Ok("POST", "/api/maps/1/params", {{"param", "uScale"}, {"value", 2.5}});
  EXPECT_EQ(edit["value"], 2.5);
  EXPECT_EQ(Ok("GET", "/api/render")["state"], "running") << "the edit waited for the whole render";
  const json saved = Ok("POST", "/api/save", {{"path", "during.vlds"}});
  EXPECT_EQ(saved["file"], "during.vlds");
  EXPECT_TRUE(fs::exists(root_ / "during.vlds"));
  EXPECT_EQ(Ok("GET", "/api/render")["state"], "running") << "the save waited for the whole render";
  EXPECT_NE(Get("/api/maps/1/sample.png")->body, slotBefore) << "the edit changes what the map shows";
  ASSERT_EQ(WaitUntilEnded()["state"], "done");
  const std::optional<Shown> during = RenderImage();
  ASSERT_TRUE(during);

  // The render that ran through the edit shows the map as it was when it started.
  Ok("POST", "/api/maps/1/params", {{"param", "uScale"}, {"value", 1.0}});
  EXPECT_EQ(Get("/api/maps/1/sample.png")->body, slotBefore);
  StartRender("height", 3000, 3000);
  ASSERT_EQ(WaitUntilEnded()["state"], "done");
  const std::optional<Shown> after = RenderImage();
  ASSERT_TRUE(after);
  EXPECT_EQ(during->image.width, 1000);
  EXPECT_TRUE(during->image.pixels == after->image.pixels);
}

TEST_F(StudioRenderTest, RefusesBadRequestsAndChangesNothing) {
  EXPECT_EQ(Call("POST", "/api/render/save", R"({"path": "early.exr"})").first, 409);
  StartRender("alpha", 32, 16);
  const json before = WaitUntilEnded();
  ASSERT_EQ(before["state"], "done");
  const std::vector<std::pair<std::string, int>> starts = {
      {R"({"output": "color", "width": 0, "height": 64})", 400},
      {R"({"output": "color", "width": 64, "height": -3})", 400},
      {R"({"output": "color", "width": 64.5, "height": 64})", 400},
      {R"({"output": "color", "width": "64", "height": 64})", 400},
      {R"({"output": "color", "width": 64})", 400},
      {R"({"output": "color", "width": 16385, "height": 16385})", 400},
      {R"({"output": "color", "width": 4294967360, "height": 1})", 400},
      {R"({"output": "preview", "width": 64, "height": 64})", 400},
      // Their units come from the command line's placement of the mesh, which the view has not.
      {R"({"output": "slope", "width": 64, "height": 64})", 400},
      {R"({"output": "hillshade", "width": 64, "height": 64})", 400},
      {R"({"output": "nope", "width": 64, "height": 64})", 400},
      {R"({"width": 64, "height": 64})", 400},
      {R"({"output": "bump", "width": 64, "height": 64, "bumpScale": "x"})", 400},
      {R"({"output": "bump", "width": 64, "height": 64, "bumpScale": 1e300})", 400},
      {R"({"output": "color", "width": 64)", 400},
      {R"([1, 2])", 400},
  };
  for (const auto& [body, status] : starts) {
    EXPECT_EQ(Call("POST", "/api/maps/1/render", body).first, status) << body;
  }
  EXPECT_EQ(Call("POST", "/api/maps/99/render", R"({"output": "color", "width": 8, "height": 8})").first, 404);
  const std::vector<std::pair<std::string, int>> saves = {
      {R"({"path": "../outside.exr"})", 403},
      {R"({"path": ")" + (root_.parent_path() / "outside.exr").string() + R"("})", 403},
      {R"({"path": "missing-folder/x.exr"})", 403},
      {R"({"path": "x.exr", "root": 3})", 403},
      {R"({"path": "x.tif"})", 400},
      {R"({"path": "x.exr", "format": "tiff"})", 400},
      {R"({"path": 7})", 400},
      {R"({})", 400},
  };
  for (const auto& [body, status] : saves) {
    EXPECT_EQ(Call("POST", "/api/render/save", body).first, status) << body;
  }
  EXPECT_FALSE(fs::exists(root_.parent_path() / "outside.exr"));
  EXPECT_FALSE(fs::exists(root_ / "x.exr"));
  EXPECT_EQ(Ok("GET", "/api/render"), before) << "a refused request changed the render";
  // Without the token nothing is started or shown.
  EXPECT_EQ(client_->Post("/api/maps/1/render", R"({"output": "color", "width": 8, "height": 8})", "application/json")
                ->status,
            403);
  EXPECT_EQ(client_->Get("/api/render/image.png")->status, 403);
  EXPECT_EQ(Ok("GET", "/api/render"), before);
}

}  // namespace
