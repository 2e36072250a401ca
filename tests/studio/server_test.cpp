// The studio's HTTP API end to end: a server on 127.0.0.1 and an ephemeral port, the real module
// loaded through the plug-in loader, and cpp-httplib's client.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include <nlohmann/json.hpp>

#include "studio/studio_server.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class StudioServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("veldmap-studio-test-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    fs::copy_file(fs::path(VELDMAP_SAMPLES_DIR) / "hills.obj", root_ / "hills.obj");
    StartServer({"hills.obj"});
  }
  void TearDown() override {
    server_.reset();
    fs::remove_all(root_);
  }

  void StartServer(const std::vector<std::string>& files, std::uint64_t indexBudgetBytes = 0) {
    server_.reset();
    server_ = std::make_unique<StudioServer>();
    StudioOptions options;
    options.files = files;
    options.roots = {root_};
    options.pluginDir = VELDMAP_PLUGIN_DIR;
    options.quiet = true;
    options.indexBudgetBytes = indexBudgetBytes;
    std::string error;
    ASSERT_TRUE(server_->Start(options, &error)) << error;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->Port());
    headers_ = {{"X-Veldmap-Token", server_->Token()}};
  }

  httplib::Result Get(const std::string& path) { return client_->Get(path.c_str(), headers_); }
  httplib::Result Post(const std::string& path, const std::string& body) {
    return client_->Post(path.c_str(), headers_, body, "application/json");
  }
  json GetJson(const std::string& path) {
    auto res = Get(path);
    EXPECT_TRUE(res);
    if (!res) return json();
    EXPECT_EQ(res->status, 200) << path << ": " << res->body;
    return json::parse(res->body);
  }
  json PostJson(const std::string& path, const json& body, int status = 200) {
    auto res = Post(path, body.dump());
    EXPECT_TRUE(res);
    if (!res) return json();
    EXPECT_EQ(res->status, status) << path << ": " << res->body;
    return json::parse(res->body);
  }
  std::string Image(const std::string& name) {
    auto res = Get("/api/maps/1/" + name);
    EXPECT_TRUE(res);
    if (!res) return {};
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "image/png");
    return res->body;
  }
  static json Param(const json& rollouts, const std::string& name) {
    for (const json& p : rollouts["pages"][0]["params"]) {
      if (p["name"] == name) return p;
    }
    ADD_FAILURE() << "no parameter " << name;
    return json();
  }
  static json ControlById(const json& rollouts, int id) {
    for (const json& c : rollouts["pages"][0]["controls"]) {
      if (c["id"] == id) return c;
    }
    ADD_FAILURE() << "no control " << id;
    return json();
  }
  // Everything a refused request must leave as it was.
  json Snapshot() {
    json rollouts = GetJson("/api/maps/1/rollouts");  // first: it opens the map in the editor
    return {GetJson("/api/scene"), std::move(rollouts)};
  }

  fs::path root_;
  std::unique_ptr<StudioServer> server_;
  std::unique_ptr<httplib::Client> client_;
  httplib::Headers headers_;
};

TEST_F(StudioServerTest, OpensTheMeshAsANodePickedByANewMapAndDrawsTheRolloutFromTheTemplate) {
  const json scene = GetJson("/api/scene");
  ASSERT_EQ(scene["nodes"].size(), 1u);
  EXPECT_EQ(scene["nodes"][0]["name"], "hills");
  EXPECT_GT(scene["nodes"][0]["faces"].get<int>(), 0);
  EXPECT_EQ(scene["nodes"][0]["bounds"]["min"].size(), 3u);
  ASSERT_EQ(scene["maps"].size(), 1u);
  EXPECT_EQ(scene["maps"][0]["node"], "hills");

  const json rollouts = GetJson("/api/maps/1/rollouts");
  const json& page = rollouts["pages"][0];
  EXPECT_EQ(page["title"], "Parameters");
  EXPECT_EQ(page["template"]["width"], 217);
  EXPECT_EQ(page["template"]["height"], 208);
  const json pick = ControlById(rollouts, 1100);
  EXPECT_EQ(pick["caption"], "Pick Object");
  EXPECT_EQ(pick["box"], json({15, 9, 185, 15}));
  EXPECT_EQ(pick["text"], "hills");  // the button shows the picked node
  EXPECT_EQ(ControlById(rollouts, 1173)["box"], json({117, 134, 25, 10}));
  EXPECT_EQ(ControlById(rollouts, 1173)["tabStop"], true);
  EXPECT_EQ(page["controls"][0]["kind"], "text-center");  // the credit text comes first
  EXPECT_EQ(Param(rollouts, "quadTreeDepth")["max"], 10);
  EXPECT_EQ(Param(rollouts, "uScale")["step"], 0.1f);
  ASSERT_EQ(rollouts["pages"].size(), 2u);
  EXPECT_EQ(rollouts["pages"][1]["title"], "Coordinates");
  EXPECT_EQ(rollouts["pages"][1]["values"]["uTiling"], 1.0);
}

TEST_F(StudioServerTest, RefusesForeignOrMalformedRequestsAndChangesNothing) {
  const json before = Snapshot();
  const int port = server_->Port();
  // No token, a wrong one, a foreign page, a rebound host name.
  EXPECT_EQ(client_->Get("/api/scene")->status, 403);
  EXPECT_EQ(client_->Get("/api/scene", {{"X-Veldmap-Token", "0123"}})->status, 403);
  EXPECT_EQ(client_->Get(("/api/scene?token=" + server_->Token() + "x").c_str())->status, 403);
  EXPECT_EQ(client_->Get("/", {{"X-Veldmap-Token", server_->Token()}, {"Origin", "http://evil.example"}})->status, 403);
  EXPECT_EQ(client_
                ->Post("/api/maps", {{"X-Veldmap-Token", server_->Token()}, {"Origin", "http://evil.example"}}, "{}",
                       "application/json")
                ->status,
            403);
  EXPECT_EQ(client_
                ->Get("/api/scene",
                      {{"X-Veldmap-Token", server_->Token()}, {"Host", "rebound.example:" + std::to_string(port)}})
                ->status,
            403);
  EXPECT_EQ(client_->Get(("/?token=" + server_->Token()).c_str())->status, 200);

  // Files outside the root folder.
  fs::create_directories(root_ / "inner");
  const std::string outside = "../" + root_.filename().string() + "/hills.obj";
  for (const std::string& path : {std::string("../etc/passwd"), std::string("/etc/passwd"), outside}) {
    EXPECT_EQ(Post("/api/open", json{{"path", path}}.dump())->status, 403) << path;
  }
  EXPECT_EQ(Post("/api/save", json{{"path", "../escaped.vlds"}}.dump())->status, 403);
  EXPECT_FALSE(fs::exists(root_.parent_path() / "escaped.vlds"));

  // Oversized, malformed and mistyped bodies; unknown objects.
  EXPECT_EQ(Post("/api/open", std::string(StudioServer::kMaxBody + 1, ' '))->status, 413);
  EXPECT_EQ(Post("/api/maps/1/params", "{\"param\": \"uScale\", ")->status, 400);
  EXPECT_EQ(Post("/api/maps/1/params", "[1, 2]")->status, 400);
  EXPECT_EQ(Post("/api/maps/1/params", json{{"param", "uScale"}, {"value", "2"}}.dump())->status, 400);
  EXPECT_EQ(Post("/api/maps/1/params", json{{"param", "colorRamp"}, {"value", 1}}.dump())->status, 400);
  EXPECT_EQ(Post("/api/maps/1/params", json{{"param", "uScale"}}.dump())->status, 400);
  EXPECT_EQ(Post("/api/maps/1/params", json{{"param", 4}, {"value", 2}}.dump())->status, 400);
  EXPECT_EQ(Post("/api/maps/1/params", json{{"param", "noSuchParam"}, {"value", 2}}.dump())->status, 404);
  EXPECT_EQ(Post("/api/maps/1/params", json{{"param", "node"}, {"value", "noSuchNode"}}.dump())->status, 404);
  EXPECT_EQ(Post("/api/maps/1/params", json{{"param", "colorRampTexture"}, {"value", nullptr}}.dump())->status, 409);
  EXPECT_EQ(Post("/api/maps/99/params", json{{"param", "uScale"}, {"value", 2}}.dump())->status, 404);
  EXPECT_EQ(Post("/api/maps/99999999999/params", json{{"param", "uScale"}, {"value", 2}}.dump())->status, 404);
  EXPECT_EQ(Post("/api/maps/1/command", json{{"control", 1165}}.dump())->status, 404);
  EXPECT_EQ(Post("/api/maps/1/command", json{{"control", "1102"}}.dump())->status, 400);
  EXPECT_EQ(Post("/api/open", json{{"path", 5}}.dump())->status, 400);
  EXPECT_EQ(Post("/api/save", json::object().dump())->status, 409);  // no file to save to yet
  fs::copy_file(fs::path(VELDMAP_SAMPLES_DIR) / "hills.obj", root_ / "inner" / "bad.vlds");
  std::ofstream(root_ / "inner" / "bad.vlds", std::ios::binary | std::ios::trunc) << "VLDS\x01";
  EXPECT_EQ(Post("/api/open", json{{"path", "inner/bad.vlds"}}.dump())->status, 422);

  EXPECT_EQ(Snapshot(), before);
}

TEST_F(StudioServerTest, SpinnersWriteThroughTheBlockWhichClampsAndTheImagesFollow) {
  const std::string sample = Image("sample.png");
  const std::string preview = Image("preview.png");
  ASSERT_GT(sample.size(), 8u);
  EXPECT_EQ(sample.substr(1, 3), "PNG");

  json answer = PostJson("/api/maps/1/params", {{"param", "uScale"}, {"value", 2.5}});
  EXPECT_EQ(answer["value"], 2.5);
  EXPECT_EQ(Param(answer["rollout"], "uScale")["value"], 2.5);
  EXPECT_EQ(ControlById(answer["rollout"], 1165)["number"], 2.5);
  EXPECT_NE(Image("sample.png"), sample);
  EXPECT_NE(Image("preview.png"), preview);

  // The spinner clamps what is typed, as the block does, and says what resulted.
  answer = PostJson("/api/maps/1/params", {{"param", "quadTreeDepth"}, {"value", 11}});
  EXPECT_EQ(answer["requested"], 11);
  EXPECT_EQ(answer["value"], 10);
  answer = PostJson("/api/maps/1/params", {{"param", "vOffset"}, {"value", -1e30}});
  EXPECT_EQ(answer["value"], -10000.0);

  // The enable rule: "Ramp Material" follows "Color Ramp".
  EXPECT_EQ(ControlById(answer["rollout"], 1101)["enabled"], false);
  answer = PostJson("/api/maps/1/params", {{"param", "colorRamp"}, {"value", true}});
  EXPECT_EQ(answer["value"], true);
  EXPECT_EQ(ControlById(answer["rollout"], 1101)["enabled"], true);
  answer = PostJson("/api/maps/1/params", {{"param", "colorRamp"}, {"value", true}});  // already set: no toggle
  EXPECT_EQ(answer["value"], true);
  // "Ramp Material" takes a gradient preset, a bitmap from the roots, or none.
  const std::string grey = Image("sample.png");
  answer = PostJson("/api/maps/1/params", {{"param", "colorRampTexture"}, {"value", {{"gradient", "terrain"}}}});
  EXPECT_EQ(answer["value"], "Gradient");
  const std::string coloured = Image("sample.png");
  EXPECT_NE(coloured, grey);
  EXPECT_EQ(Post("/api/maps/1/params",
                 json{{"param", "colorRampTexture"}, {"value", {{"gradient", "no-such-preset"}}}}.dump())
                ->status,
            400);
  EXPECT_EQ(
      Post("/api/maps/1/params", json{{"param", "colorRampTexture"}, {"value", {{"bitmap", "../ramp.png"}}}}.dump())
          ->status,
      403);
  EXPECT_EQ(Post("/api/maps/1/params", json{{"param", "colorRampTexture"}, {"value", {{"bitmap", "hills.obj"}}}}.dump())
                ->status,
            422);
  EXPECT_EQ(Post("/api/maps/1/params", json{{"param", "colorRampTexture"}, {"value", "terrain"}}.dump())->status, 400);
  EXPECT_EQ(Image("sample.png"), coloured);  // the refused ramps changed nothing
  answer = PostJson("/api/maps/1/params", {{"param", "colorRampTexture"}, {"value", nullptr}});
  EXPECT_EQ(answer["value"], nullptr);

  answer = PostJson("/api/maps/1/params", {{"param", "colorRamp"}, {"value", false}});
  EXPECT_EQ(ControlById(answer["rollout"], 1101)["enabled"], false);
}

TEST_F(StudioServerTest, CoordinatesPageEditsTheUvGeneratorAndRefusesBadValuesWhole) {
  const std::string before = Image("sample.png");
  const json rollouts = PostJson("/api/maps/1/coordinates", {{"uTiling", 2}, {"wAngle", 90}, {"tiling", 0}});
  const json& values = rollouts["pages"][1]["values"];
  EXPECT_EQ(values["uTiling"], 2.0);
  EXPECT_NEAR(values["wAngle"].get<double>(), 90.0, 1e-4);
  EXPECT_EQ(values["tiling"], 0);
  EXPECT_NE(Image("sample.png"), before);

  const json unchanged = GetJson("/api/maps/1/rollouts");
  for (const json& bad :
       {json{{"uTiling", "2"}}, json{{"uTiling", 3}, {"tiling", 16}}, json{{"mapChannel", 100}},
        json{{"uOffset", 1}, {"scale", 2}}, json{{"vTiling", 1e300}}, json::object(), json::array()}) {
    EXPECT_EQ(Post("/api/maps/1/coordinates", bad.dump())->status, 400) << bad;
  }
  EXPECT_EQ(GetJson("/api/maps/1/rollouts"), unchanged);
}

TEST_F(StudioServerTest, CommandButtonsBakeExportTwiceUniquelyAndAskForHelp) {
  json answer = PostJson("/api/maps/1/command", {{"control", 1102}});
  EXPECT_EQ(Param(answer["rollout"], "node")["value"], nullptr);  // Bake clears the pick
  EXPECT_EQ(answer["addedNodes"].size(), 0u);

  const json first = PostJson("/api/maps/1/command", {{"control", 1103}});
  const json second = PostJson("/api/maps/1/command", {{"control", 1103}});
  ASSERT_EQ(first["addedNodes"].size(), 1u);
  ASSERT_EQ(second["addedNodes"].size(), 1u);
  EXPECT_NE(first["addedNodes"][0], second["addedNodes"][0]);
  EXPECT_EQ(second["scene"]["nodes"].size(), 3u);
  EXPECT_EQ(second["scene"]["nodes"][1]["faces"], second["scene"]["nodes"][0]["faces"]);

  answer = PostJson("/api/maps/1/command", {{"control", 1104}});
  ASSERT_TRUE(answer.contains("shellExecute"));
  EXPECT_EQ(answer["shellExecute"]["verb"], "open");
  const std::string address = answer["shellExecute"]["parameters"];
  EXPECT_NE(address.find("/max4/matVeldmap/help.html"), std::string::npos);
  // The studio's own help page at the path the module named, and nowhere else.
  EXPECT_EQ(answer["help"]["localPath"], "/max4/matVeldmap/help.html");
  EXPECT_EQ(answer["help"]["moduleAddress"], "http://" + address);
  auto help = client_->Get("/max4/matVeldmap/help.html");
  ASSERT_TRUE(help);
  EXPECT_EQ(help->status, 200);
  EXPECT_NE(help->body.find("Quad Tree Depth"), std::string::npos);
  EXPECT_EQ(client_->Get("/max4/other.html", headers_)->status, 404);

  // A second map through the class descriptor, with the block's defaults.
  const json created = PostJson("/api/maps", json::object(), 201);
  EXPECT_EQ(created["maps"].size(), 2u);
  const json rollouts = GetJson("/api/maps/" + std::to_string(created["created"].get<int>()) + "/rollouts");
  EXPECT_EQ(Param(rollouts, "quadTreeDepth")["value"], 6);
  EXPECT_EQ(Param(rollouts, "node")["value"], nullptr);
}

TEST_F(StudioServerTest, SavedSceneReloadsInANewServerWithTheSameValuesAndSampleSlot) {
  PostJson("/api/maps/1/params", {{"param", "uOffset"}, {"value", 0.25}});
  PostJson("/api/maps/1/params", {{"param", "quadTreeDepth"}, {"value", 4}});
  PostJson("/api/maps/1/command", {{"control", 1102}});  // the map keeps its own mesh
  const json saved = PostJson("/api/save", {{"path", "saved.vlds"}});
  EXPECT_EQ(saved["file"], "saved.vlds");
  EXPECT_EQ(PostJson("/api/save", json::object())["file"], "saved.vlds");  // plain save: same file
  const json rollouts = GetJson("/api/maps/1/rollouts");
  const std::string sample = Image("sample.png");

  StartServer({"saved.vlds"});
  const json scene = GetJson("/api/scene");
  ASSERT_EQ(scene["maps"].size(), 1u);
  const json reloaded = GetJson("/api/maps/1/rollouts");
  EXPECT_EQ(reloaded["pages"][0]["params"], rollouts["pages"][0]["params"]);
  EXPECT_EQ(Param(reloaded, "uOffset")["value"], 0.25);
  EXPECT_EQ(Image("sample.png"), sample);
}

TEST_F(StudioServerTest, ServesThePageAndItsScriptWithoutEmbeddingParameterNames) {
  auto page = client_->Get(("/?token=" + server_->Token()).c_str());
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("studio.js"), std::string::npos);
  auto script = client_->Get("/studio.js");
  ASSERT_TRUE(script);
  EXPECT_EQ(script->status, 200);
  // The page draws the rollout from what the server describes, never from names it knows.
  for (const char* name : {"uScale", "quadTreeDepth", "Pick Object", "1165"}) {
    EXPECT_EQ(script->body.find(name), std::string::npos) << name;
  }
}

// A server stopped the moment it has started must stop, not wait for ever on a listener that
// had not begun to listen when it was told to stop.
TEST_F(StudioServerTest, StopsRightAfterStarting) {
  for (int i = 0; i < 30; ++i) {
    StudioServer server;
    StudioOptions options;
    options.roots = {root_};
    options.pluginDir = VELDMAP_PLUGIN_DIR;
    options.quiet = true;
    std::string error;
    ASSERT_TRUE(server.Start(options, &error)) << error;
  }
}

// 600 upward triangles that each cover the whole mesh from above: the map's index holds them in a
// few megabytes at any depth, so they render; a budget below that refuses the images (422) with
// a remedy in the rollout's words, and the server stays up.
TEST_F(StudioServerTest, RefusesToRenderAnIndexBeyondTheMemoryBudget) {
  {
    std::ofstream obj(root_ / "layers.obj");
    for (int i = 0; i < 600; ++i) {
      const double z = i * 0.001;
      // OBJ is Y-up: the file's y is the height, and its -z the host's y.
      obj << "v 0 " << z << " 0\nv 1 " << z << " 0\nv 0 " << z << " -1\n";
    }
    obj << "vn 0 1 0\n";
    for (int i = 0; i < 600; ++i) obj << "f " << 3 * i + 1 << "//1 " << 3 * i + 2 << "//1 " << 3 * i + 3 << "//1\n";
  }
  for (const std::uint64_t budget : {std::uint64_t{0}, std::uint64_t{64} << 10}) {
    StartServer({"layers.obj"}, budget);
    PostJson("/api/maps/1/params", {{"param", "node"}, {"value", "layers"}});
    PostJson("/api/maps/1/params", {{"param", "quadTreeDepth"}, {"value", 10}});
    for (const char* image : {"sample.png", "preview.png"}) {
      auto res = Get(std::string("/api/maps/1/") + image);
      ASSERT_TRUE(res);
      if (budget == 0) {
        EXPECT_EQ(res->status, 200) << image << ": " << res->body;
      } else {
        EXPECT_EQ(res->status, 422) << image;
        EXPECT_NE(res->body.find("layers"), std::string::npos) << res->body;
        EXPECT_NE(res->body.find("upward faces"), std::string::npos) << res->body;
        EXPECT_EQ(res->body.find("--depth"), std::string::npos) << res->body;
      }
    }
    EXPECT_TRUE(Get("/api/scene")) << "the server must outlive a refused image";
  }
}

// The page in a real browser: headless Chromium loads it, its script draws the rollout, and the
// DOM it leaves must hold every control at its template box scaled as the page says (1.5 px per
// horizontal and 1.625 px per vertical dialog unit), with the state the server reported.
std::string JsNumber(double v) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, v).ptr;  // shortest, as JavaScript prints
  return std::string(text, end);
}

TEST_F(StudioServerTest, PageInHeadlessChromiumDrawsTheRolloutAtTheTemplateBoxes) {
  std::string browser;
  for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (fs::exists(candidate)) browser = candidate;
  }
  if (browser.empty()) GTEST_SKIP() << "no chromium installed (Debian package chromium)";
  const json rollouts = GetJson("/api/maps/1/rollouts");
  const fs::path profile = root_ / "browser-profile";
  const std::string command =
      "timeout 120 " + browser +
      " --headless --no-sandbox --disable-gpu --no-first-run --disable-quic --disable-background-networking"
      " --disable-component-update --disable-sync --user-data-dir=" +
      profile.string() + " --virtual-time-budget=10000 --dump-dom '" + server_->Address() + "' 2>/dev/null";
  std::string dom;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) dom.append(buffer, n);
  ASSERT_EQ(pclose(pipe), 0) << dom;

  int drawn = 0;
  for (const json& control : rollouts["pages"][0]["controls"]) {
    if (control["id"] == -1) {
      // Captions of static texts: the credit's lines and the labels.
      const std::string caption = control["caption"];
      EXPECT_NE(dom.find(caption.substr(0, caption.find('\n'))), std::string::npos) << caption;
      continue;
    }
    const std::string marker = "data-control-id=\"" + std::to_string(control["id"].get<int>()) + "\"";
    const std::size_t at = dom.find(marker);
    ASSERT_NE(at, std::string::npos) << marker;
    const std::size_t tagStart = dom.rfind('<', at);
    const std::string tag = dom.substr(tagStart, dom.find('>', at) - tagStart);
    const json& box = control["box"];
    const std::string style = "left: " + JsNumber(box[0].get<int>() * 1.5) +
                              "px; top: " + JsNumber(box[1].get<int>() * 1.625) +
                              "px; width: " + JsNumber(box[2].get<int>() * 1.5) +
                              "px; height: " + JsNumber(box[3].get<int>() * 1.625) + "px;";
    EXPECT_NE(tag.find(style), std::string::npos) << tag << "\n expected " << style;
    if (control["kind"] == "button" || control["kind"] == "checkbox") {
      // The element up to its closing tag: a check box's input sits inside its label.
      const std::string element = dom.substr(tagStart, dom.find("</", at) - tagStart);
      EXPECT_EQ(element.find("disabled") != std::string::npos, !control["enabled"].get<bool>()) << element;
    }
    ++drawn;
  }
  EXPECT_EQ(drawn, 19);                                       // the template's items less its six static texts
  EXPECT_NE(dom.find(">hills</button>"), std::string::npos);  // the pick button names the node
  EXPECT_NE(dom.find("/api/maps/1/sample.png"), std::string::npos);
}

}  // namespace
