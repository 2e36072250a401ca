// Where the studio's time goes: the phase recorder behind the Server-Timing header, the in-memory
// PNG encoding of the images, and, against a live server, the headers the page and the latency
// benchmark read and the one rebuild a change costs.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/image_io.h"
#include "studio/png_bytes.h"
#include "studio/server_timing.h"
#include "studio/studio_server.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using Phases = std::vector<std::pair<std::string, double>>;

std::vector<std::string> Names(const Phases& phases) {
  std::vector<std::string> names;
  for (const auto& phase : phases) names.push_back(phase.first);
  return names;
}

TEST(ServerTiming, ScopesAddUpInTheirThreadsRecorderOnly) {
  EXPECT_EQ(PhaseRecorder::Current(), nullptr);
  { PhaseScope unrecorded("lost"); }  // no recorder: nothing to add to, nothing breaks

  PhaseRecorder outer;
  EXPECT_EQ(PhaseRecorder::Current(), &outer);
  outer.Add("update", 2.0);
  outer.Add("render", 1.0);
  outer.Add("update", 0.5);  // adds up, keeps its first place
  {
    PhaseRecorder inner;
    { PhaseScope scope("encode"); }
    EXPECT_EQ(Names(inner.Phases()), std::vector<std::string>{"encode"});
    EXPECT_GE(inner.Phases()[0].second, 0.0);
  }
  EXPECT_EQ(PhaseRecorder::Current(), &outer) << "the outer recorder is restored";
  { PhaseScope scope("check"); }
  EXPECT_EQ(Names(outer.Phases()), (std::vector<std::string>{"update", "render", "check"}));
  EXPECT_DOUBLE_EQ(outer.Phases()[0].second, 2.5);

  // Another thread has a recorder of its own, or none.
  std::thread other([] {
    EXPECT_EQ(PhaseRecorder::Current(), nullptr);
    PhaseRecorder mine;
    mine.Add("x", 1.0);
  });
  other.join();
  EXPECT_EQ(outer.Phases().size(), 3u);
}

TEST(ServerTiming, HeaderReadsBackAndMalformedMetricsAreLeftOut) {
  PhaseRecorder recorder;
  recorder.Add("wait", 0.0126);
  recorder.Add("update", 12.5);
  const std::string header = recorder.Header();
  EXPECT_EQ(header, "wait;dur=0.013, update;dur=12.500");
  const Phases back = ParseServerTiming(header);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].first, "update");
  EXPECT_DOUBLE_EQ(back[1].second, 12.5);

  const Phases parsed =
      ParseServerTiming(" a;desc=\"x\";dur=3 ,b, c;dur=zz, d;dur=, ;dur=4, e;dur=1.5e1;dur=9,f;dur=2");
  EXPECT_EQ(Names(parsed), (std::vector<std::string>{"a", "e", "f"}));
  EXPECT_DOUBLE_EQ(parsed[1].second, 15.0);  // the first dur counts
  EXPECT_TRUE(ParseServerTiming("").empty());
}

TEST(ServerTiming, ImagesEncodeInMemoryAsTheCommandLineWritesThem) {
  Image image;
  image.width = 7;
  image.height = 5;
  image.channels = 3;
  for (int i = 0; i < 7 * 5 * 3; ++i) image.pixels.push_back(static_cast<float>(i % 11) / 10.0f);
  image.pixels[4] = 2.0f;  // clamped to 255, as the writer does
  const fs::path file = fs::temp_directory_path() / ("veldmap-encode-" + std::to_string(getpid()) + ".png");
  std::string error;
  ASSERT_TRUE(WriteImage(file.string(), image, ImageFormat::Png8, {}, &error)) << error;
  std::ifstream in(file, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove(file);
  EXPECT_EQ(EncodePng(image), written);

  std::vector<unsigned char> bytes;
  EXPECT_FALSE(EncodePngImage(image, ImageFormat::Exr, &bytes, &error));
  Image broken = image;
  broken.pixels.pop_back();
  EXPECT_FALSE(EncodePngImage(broken, ImageFormat::Png8, &bytes, &error));
  EXPECT_NE(error.find("image"), std::string::npos) << error;
}

class StudioTimingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("veldmap-timing-test-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    fs::copy_file(fs::path(VELDMAP_SAMPLES_DIR) / "hills.obj", root_ / "hills.obj");
    StudioOptions options;
    options.files = {"hills.obj"};
    options.roots = {root_};
    options.pluginDir = VELDMAP_PLUGIN_DIR;
    options.quiet = true;
    std::string error;
    ASSERT_TRUE(server_.Start(options, &error)) << error;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_.Port());
    headers_ = {{"X-Veldmap-Token", server_.Token()}};
  }
  void TearDown() override {
    server_.Stop();
    fs::remove_all(root_);
  }

  // The answer's body, and its Server-Timing phases in *phases.
  std::string Fetch(const std::string& path, Phases* phases) {
    httplib::Result res = client_->Get(path.c_str(), headers_);
    EXPECT_TRUE(res);
    if (!res) return {};
    EXPECT_EQ(res->status, 200) << path << ": " << res->body;
    *phases = ParseServerTiming(res->get_header_value("Server-Timing"));
    return res->body;
  }
  Phases SetUScale(double value) {
    httplib::Result res = client_->Post("/api/maps/1/params", headers_,
                                        json{{"param", "uScale"}, {"value", value}}.dump(), "application/json");
    EXPECT_TRUE(res);
    if (!res) return {};
    EXPECT_EQ(res->status, 200) << res->body;
    return ParseServerTiming(res->get_header_value("Server-Timing"));
  }

  fs::path root_;
  StudioServer server_;
  std::unique_ptr<httplib::Client> client_;
  httplib::Headers headers_;
};

TEST_F(StudioTimingTest, EveryAnswerNamesItsPhasesAndAChangeRebuildsTheMapOnce) {
  EXPECT_EQ(Names(SetUScale(2.0)), (std::vector<std::string>{"wait", "host"}));
  Phases sample, preview;
  // The sample slot asked first after a change rebuilds the map itself; the preview always does,
  // inside GetVPDisplayDIB.
  const std::string first = Fetch("/api/maps/1/sample.png", &sample);
  EXPECT_EQ(Names(sample), (std::vector<std::string>{"wait", "check", "update", "render", "encode", "host"}));
  Fetch("/api/maps/1/preview.png", &preview);
  EXPECT_EQ(Names(preview), (std::vector<std::string>{"wait", "check", "preview", "encode", "host"}));
  for (const auto& [name, ms] : sample) EXPECT_GE(ms, 0.0) << name;

  // The page asks for the preview first: the sample slot then finds the map current, and neither
  // checks nor rebuilds it again, yet shows the same image.
  SetUScale(3.0);
  SetUScale(2.0);
  Fetch("/api/maps/1/preview.png", &preview);
  const std::string second = Fetch("/api/maps/1/sample.png", &sample);
  EXPECT_EQ(Names(sample), (std::vector<std::string>{"wait", "render", "encode", "host"}));
  EXPECT_EQ(second, first);

  // A change after the preview is not missed by the sample slot.
  SetUScale(3.0);
  const std::string third = Fetch("/api/maps/1/sample.png", &sample);
  EXPECT_EQ(Names(sample)[2], "update");
  EXPECT_NE(third, first);
}

}  // namespace
