// The studio's time slider and Auto Key over HTTP: keys set through the block by spinner edits,
// the rollout and the images at each frame, keys kept by a saved scene, and refused requests.
// The images render on the render pool, so this suite stays out of the ThreadSanitizer run.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include <nlohmann/json.hpp>

#include "studio/studio_server.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class StudioTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("veldmap-studio-time-test-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    fs::copy_file(fs::path(VELDMAP_SAMPLES_DIR) / "hills.obj", root_ / "hills.obj");
    StartServer("hills.obj");
  }
  void TearDown() override {
    server_.reset();
    fs::remove_all(root_);
  }

  void StartServer(const std::string& file) {
    server_.reset();
    server_ = std::make_unique<StudioServer>();
    StudioOptions options;
    options.files = {file};
    options.roots = {root_};
    options.pluginDir = VELDMAP_PLUGIN_DIR;
    options.quiet = true;
    std::string error;
    ASSERT_TRUE(server_->Start(options, &error)) << error;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->Port());
    headers_ = {{"X-Veldmap-Token", server_->Token()}};
  }

  httplib::Result Post(const std::string& path, const std::string& body) {
    return client_->Post(path.c_str(), headers_, body, "application/json");
  }
  json GetJson(const std::string& path) {
    auto res = client_->Get(path.c_str(), headers_);
    EXPECT_TRUE(res);
    if (!res) return json();
    EXPECT_EQ(res->status, 200) << path << ": " << res->body;
    return json::parse(res->body);
  }
  json PostJson(const std::string& path, const json& body) {
    auto res = Post(path, body.dump());
    EXPECT_TRUE(res);
    if (!res) return json();
    EXPECT_EQ(res->status, 200) << path << ": " << res->body;
    return json::parse(res->body);
  }
  int Status(const std::string& path, const std::string& body) {
    auto res = Post(path, body);
    return res ? res->status : -1;
  }
  std::string Image(const std::string& query) {
    auto res = client_->Get(("/api/maps/1/sample.png" + query).c_str(), headers_);
    EXPECT_TRUE(res);
    if (!res) return {};
    EXPECT_EQ(res->status, 200) << res->body;
    return res->body;
  }
  json Frame(int frame) { return PostJson("/api/time", {{"frame", frame}}); }
  static json Param(const json& rollouts, const std::string& name) {
    for (const json& p : rollouts["pages"][0]["params"]) {
      if (p["name"] == name) return p;
    }
    ADD_FAILURE() << "no parameter " << name;
    return json();
  }
  // What the spinner's edit field shows: the parameter map's control, not the block.
  static json Shown(const json& rollouts, const std::string& name) {
    const json param = Param(rollouts, name);
    for (const json& c : rollouts["pages"][0]["controls"]) {
      if (c["id"] == param["controls"][0]) return c["number"];
    }
    ADD_FAILURE() << "no control for " << name;
    return json();
  }

  fs::path root_;
  std::unique_ptr<StudioServer> server_;
  std::unique_ptr<httplib::Client> client_;
  httplib::Headers headers_;
};

TEST_F(StudioTimeTest, AutoKeyAtFrameTenKeysTheSpinnerAndEachFrameShowsItsOwnValueAndImages) {
  GetJson("/api/maps/1/rollouts");  // the map's rollout is open, as the page opens it
  const json animate = PostJson("/api/animate", {{"on", true}});
  EXPECT_EQ(animate["autoKey"], true);
  const json moved = Frame(10);
  EXPECT_EQ(moved["frame"], 10);
  EXPECT_EQ(moved["ticks"], 10 * moved["ticksPerFrame"].get<int>());
  EXPECT_EQ(GetJson("/api/scene")["time"], moved["ticks"]);

  const json edited = PostJson("/api/maps/1/params", {{"param", "uScale"}, {"value", 2.5}});
  EXPECT_EQ(edited["value"], 2.5);
  EXPECT_EQ(Param(edited["rollout"], "uScale")["keyed"], true);
  EXPECT_EQ(Param(edited["rollout"], "uScale")["keyAtTime"], true);
  EXPECT_EQ(Param(edited["rollout"], "vScale")["keyed"], false);
  EXPECT_EQ(Param(edited["rollout"], "uScale")["keyTimes"], json::array({0, moved["ticks"]}));
  const std::string square10 = Image("");
  const std::string sphere10 = Image("?shape=sphere");

  // Frame 0 keeps the value the key replaced; the rollout re-reads the block there.
  Frame(0);
  json rollouts = GetJson("/api/maps/1/rollouts");
  EXPECT_EQ(Param(rollouts, "uScale")["value"], 1.0);
  EXPECT_EQ(Shown(rollouts, "uScale"), 1.0);
  EXPECT_EQ(Param(rollouts, "uScale")["keyAtTime"], true);  // the first key keeps frame 0's value
  EXPECT_EQ(rollouts["time"]["frame"], 0);
  const std::string square0 = Image("");
  const std::string sphere0 = Image("?shape=sphere");
  EXPECT_NE(square0, square10);
  EXPECT_NE(sphere0, sphere10);
  EXPECT_NE(sphere0, square0);

  // Half way, the keys interpolate; no key is there.
  Frame(5);
  rollouts = GetJson("/api/maps/1/rollouts");
  EXPECT_FLOAT_EQ(Param(rollouts, "uScale")["value"].get<float>(), 1.75f);
  EXPECT_FLOAT_EQ(Shown(rollouts, "uScale").get<float>(), 1.75f);
  EXPECT_EQ(Param(rollouts, "uScale")["keyAtTime"], false);
  const std::string square5 = Image("");
  EXPECT_NE(square5, square0);
  EXPECT_NE(square5, square10);

  // Back at frame 10, the same value and the same bytes as when the key was set.
  Frame(10);
  rollouts = GetJson("/api/maps/1/rollouts");
  EXPECT_EQ(Param(rollouts, "uScale")["value"], 2.5);
  EXPECT_EQ(Shown(rollouts, "uScale"), 2.5);
  EXPECT_EQ(Image(""), square10);
  EXPECT_EQ(Image("?shape=sphere"), sphere10);

  // Past the last key the value holds.
  Frame(100);
  EXPECT_EQ(Param(GetJson("/api/maps/1/rollouts"), "uScale")["value"], 2.5);
}

TEST_F(StudioTimeTest, WithoutAutoKeyAnEditChangesTheValueAtEveryFrame) {
  const std::string before = Image("");
  Frame(10);
  EXPECT_EQ(Image(""), before);  // nothing is animated: every frame looks the same
  EXPECT_EQ(GetJson("/api/time")["autoKey"], false);
  const json edited = PostJson("/api/maps/1/params", {{"param", "uScale"}, {"value", 2.5}});
  EXPECT_EQ(Param(edited["rollout"], "uScale")["keyed"], false);
  const std::string square10 = Image("");
  EXPECT_NE(square10, before);
  Frame(0);
  const json rollouts = GetJson("/api/maps/1/rollouts");
  EXPECT_EQ(Param(rollouts, "uScale")["value"], 2.5);
  EXPECT_EQ(Image(""), square10);

  // Auto Key on, then off again: the edit made while off sets no key.
  PostJson("/api/animate", {{"on", true}});
  EXPECT_EQ(PostJson("/api/animate", {{"on", false}})["autoKey"], false);
  Frame(20);
  const json again = PostJson("/api/maps/1/params", {{"param", "vScale"}, {"value", 3.0}});
  EXPECT_EQ(Param(again["rollout"], "vScale")["keyed"], false);
  Frame(0);
  EXPECT_EQ(Param(GetJson("/api/maps/1/rollouts"), "vScale")["value"], 3.0);
}

TEST_F(StudioTimeTest, KeysSurviveSaveAndReload) {
  PostJson("/api/animate", {{"on", true}});
  Frame(10);
  PostJson("/api/maps/1/params", {{"param", "uScale"}, {"value", 2.5}});
  Frame(30);
  PostJson("/api/maps/1/params", {{"param", "quadTreeDepth"}, {"value", 3}});
  PostJson("/api/maps/1/command", {{"control", 1102}});  // Bake: the scene file carries the mesh
  PostJson("/api/save", {{"path", "keys.vlds"}});
  Frame(0);
  const std::string square0 = Image("");
  Frame(10);
  const std::string square10 = Image("");
  ASSERT_NE(square0, square10);

  StartServer("keys.vlds");
  const json rollouts = GetJson("/api/maps/1/rollouts");
  EXPECT_EQ(rollouts["time"]["frame"], 0);
  EXPECT_EQ(rollouts["time"]["autoKey"], false);  // Auto Key belongs to the editor, not the file
  EXPECT_EQ(Param(rollouts, "uScale")["value"], 1.0);
  EXPECT_EQ(Param(rollouts, "uScale")["keyed"], true);
  EXPECT_EQ(Image(""), square0);
  Frame(10);
  json at10 = GetJson("/api/maps/1/rollouts");
  EXPECT_EQ(Param(at10, "uScale")["value"], 2.5);
  EXPECT_EQ(Image(""), square10);
  Frame(30);
  EXPECT_EQ(Param(GetJson("/api/maps/1/rollouts"), "quadTreeDepth")["value"], 3);
}

TEST_F(StudioTimeTest, RefusesBadTimeAnimateAndShapeRequestsAndChangesNothing) {
  Frame(7);
  for (const char* body : {R"({"frame": 101})", R"({"frame": -1})", R"({"frame": 2.5})", R"({"frame": "3"})",
                           R"({"frame": null})", R"({})", R"([7])", "frame=3"}) {
    EXPECT_EQ(Status("/api/time", body), 400) << body;
  }
  for (const char* body : {R"({"on": 1})", R"({"on": "true"})", R"({})", "on"}) {
    EXPECT_EQ(Status("/api/animate", body), 400) << body;
  }
  const json time = GetJson("/api/time");
  EXPECT_EQ(time["frame"], 7);
  EXPECT_EQ(time["autoKey"], false);
  auto res = client_->Get("/api/maps/1/sample.png?shape=cube", headers_);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
  res = client_->Get("/api/maps/9/sample.png?shape=sphere", headers_);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  // Without the session token nothing moves.
  auto stranger = client_->Post("/api/time", R"({"frame": 3})", "application/json");
  ASSERT_TRUE(stranger);
  EXPECT_EQ(stranger->status, 403);
  EXPECT_EQ(GetJson("/api/time")["frame"], 7);
}

}  // namespace
