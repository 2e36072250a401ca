#include "studio/studio_server.h"

#include <httplib.h>

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <random>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "app/session.h"
#include "studio/server_timing.h"
#include "studio/studio_error.h"
#include "studio/studio_scene.h"
#include "studio/web_assets.h"

using nlohmann::json;

namespace {

// 128 bits from the system's entropy source, as hex.
std::string NewToken() {
  std::random_device device;
  std::string token;
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    const unsigned word = device();
    for (int k = 0; k < 4; ++k) token += kHex[(word >> (k * 4)) & 0xF];
  }
  return token;
}

// Compares without stopping at the first difference, so the time taken tells nothing of the token.
bool SameToken(const std::string& given, const std::string& token) {
  if (given.size() != token.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i]);
  return diff == 0;
}

void Answer(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

void Refuse(httplib::Response& res, int status, const std::string& message) {
  Answer(res, status, json{{"error", message}});
}

json ParseBody(const httplib::Request& req, bool emptyIsObject) {
  if (req.body.empty() && emptyIsObject) return json::object();
  json body = json::parse(req.body, nullptr, false);
  if (body.is_discarded()) throw StudioError(400, "the request body is not valid JSON");
  if (!body.is_object()) throw StudioError(400, "the request body must be a JSON object");
  return body;
}

int MapIdOf(const httplib::Request& req) {
  const std::string text = req.matches[1];
  int id = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (ec != std::errc() || end != text.data() + text.size()) throw StudioError(404, "no map " + text);
  return id;
}

// Runs handler, turning what it throws into the answer: the studio's refusals with their status,
// a JSON value of the wrong type as 400, anything else as 500; the server itself goes on.
template <class F>
void Guarded(httplib::Response& res, F handler) {
  try {
    handler();
  } catch (const StudioError& e) {
    Refuse(res, e.Status(), e.what());
  } catch (const json::exception& e) {
    Refuse(res, 400, std::string("bad request: ") + e.what());
  } catch (const HostThreadStopped& e) {
    Refuse(res, 503, e.what());
  } catch (const std::exception& e) {
    Refuse(res, 500, e.what());
  }
}

// Runs work on the host thread and tells the client, in a Server-Timing header, how long the
// request waited for the thread ("wait"), the phases the work timed, and its whole time there
// ("host"). A request that fails gets no header.
template <class F>
auto RunTimed(HostThread& host, httplib::Response& res, F work) -> std::invoke_result_t<F> {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point posted = Clock::now();
  std::string header;
  auto result = host.Run([&] {
    const Clock::time_point started = Clock::now();
    PhaseRecorder phases;
    phases.Add("wait", std::chrono::duration<double, std::milli>(started - posted).count());
    auto answer = work();
    phases.Add("host", std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    header = phases.Header();
    return answer;
  });
  res.set_header("Server-Timing", header);
  return result;
}

}  // namespace

StudioServer::StudioServer() = default;

StudioServer::~StudioServer() { Stop(); }

std::string StudioServer::Address() const {
  const std::string host = bind_ == "0.0.0.0" || bind_.empty() ? "127.0.0.1" : bind_;
  return "http://" + host + ":" + std::to_string(port_) + "/?token=" + token_;
}

bool StudioServer::HostAllowed(const std::string& host) const {
  const std::string port = ":" + std::to_string(port_);
  std::vector<std::string> names = {bind_};
  if (bind_ == "127.0.0.1" || bind_ == "localhost" || bind_ == "0.0.0.0") {
    names.emplace_back("127.0.0.1");
    names.emplace_back("localhost");
  }
  for (const std::string& name : names) {
    if (host == name + port) return true;
  }
  return false;
}

bool StudioServer::Start(const StudioOptions& options, std::string* error) {
  bind_ = options.bind;
  token_ = NewToken();
  std::vector<std::filesystem::path> roots = options.roots;
  if (roots.empty()) roots.emplace_back(".");
  std::string rootError;
  PathPolicy paths(roots, &rootError);
  if (!rootError.empty()) {
    *error = "--root " + rootError.substr(0, rootError.size() - 2);
    return false;
  }
  const std::filesystem::path pluginDir =
      options.pluginDir.empty() ? DefaultPluginDir(options.argv0) : options.pluginDir;
  try {
    host_.Run([&] { scene_ = std::make_unique<StudioScene>(pluginDir, paths, options.indexBudgetBytes); });
    for (const std::string& file : options.files) {
      host_.Run([&] { scene_->Open(file); });
    }
  } catch (const std::exception& e) {
    *error = e.what();
    host_.Run([&] { scene_.reset(); });
    return false;
  }

  render_ = std::make_unique<RenderView>(host_, paths);
  http_ = std::make_unique<httplib::Server>();
  http_->set_payload_max_length(kMaxBody);
  // An answer leaves in several writes (headers, then body); with Nagle's algorithm the later
  // ones wait for the browser's delayed acknowledgement, about 40 ms a request on Linux.
  http_->set_tcp_nodelay(true);
  Routes();
  port_ = options.port;
  const bool bound = port_ == 0 ? (port_ = http_->bind_to_any_port(bind_)) > 0 : http_->bind_to_port(bind_, port_);
  if (!bound) {
    *error = "cannot listen on " + bind_ + ":" + std::to_string(options.port);
    http_.reset();
    host_.Run([&] { scene_.reset(); });
    return false;
  }
  listenerEnded_ = false;
  listener_ = std::thread([this] {
    http_->listen_after_bind();
    listenerEnded_ = true;
  });
  // httplib's stop() does nothing to a server that has not started listening yet, so a Stop()
  // right after Start() would wait for ever on the listener: Start returns only once it listens.
  while (!http_->is_running() && !listenerEnded_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void StudioServer::Stop() {
  if (http_ != nullptr) http_->stop();
  if (listener_.joinable()) listener_.join();
  http_.reset();
  // The scene's objects belong to the host thread, and must go before it ends.
  try {
    if (scene_ != nullptr) {
      host_.Run([this] {
        if (render_ != nullptr) render_->Shutdown();
        scene_.reset();
      });
    }
  } catch (const HostThreadStopped&) {
  }
  host_.Stop();
}

bool StudioServer::IsHelpPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(helpMutex_);
  return !helpPath_.empty() && path == helpPath_;
}

void StudioServer::Routes() {
  httplib::Server& http = *http_;
  http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (!HostAllowed(req.get_header_value("Host"))) {
      Refuse(res, 403, "this server answers only requests addressed to it (Host)");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.has_header("Origin")) {
      const std::string origin = req.get_header_value("Origin");
      if (origin.rfind("http://", 0) != 0 || !HostAllowed(origin.substr(7))) {
        Refuse(res, 403, "requests from other sites are refused (Origin)");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    // The page's script and style are the same for everyone and hold nothing of the scene.
    if ((FindWebAsset(req.path) != nullptr && req.path != "/") || IsHelpPath(req.path)) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    const std::string given =
        req.has_header("X-Veldmap-Token") ? req.get_header_value("X-Veldmap-Token") : req.get_param_value("token");
    if (!SameToken(given, token_)) {
      Refuse(res, 403, "missing or wrong session token: open the address the studio printed");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  http.Get(R"(/(|studio\.js|studio\.css))", [](const httplib::Request& req, httplib::Response& res) {
    const WebAsset* asset = FindWebAsset(req.path);
    if (asset == nullptr) return Refuse(res, 404, "not found");
    res.set_header("Cache-Control", "no-store");
    res.set_content(std::string(asset->body), asset->contentType);
  });

  http.Get("/api/scene", [this](const httplib::Request&, httplib::Response& res) {
    Guarded(res, [&] { Answer(res, 200, host_.Run([this] { return scene_->Scene(); })); });
  });
  http.Post("/api/open", [this](const httplib::Request& req, httplib::Response& res) {
    Guarded(res, [&] {
      const json body = ParseBody(req, false);
      const std::string path = body.at("path").get<std::string>();
      Answer(res, 200, host_.Run([&] { return scene_->Open(path); }));
    });
  });
  http.Post("/api/maps", [this](const httplib::Request& req, httplib::Response& res) {
    Guarded(res, [&] {
      ParseBody(req, true);
      Answer(res, 201, host_.Run([this] { return scene_->NewMap(); }));
    });
  });
  http.Get(R"(/api/maps/([^/]+)/rollouts)", [this](const httplib::Request& req, httplib::Response& res) {
    Guarded(res, [&] {
      const int id = MapIdOf(req);
      Answer(res, 200, host_.Run([&] { return scene_->Rollouts(id); }));
    });
  });
  http.Post(R"(/api/maps/([^/]+)/params)", [this](const httplib::Request& req, httplib::Response& res) {
    Guarded(res, [&] {
      const int id = MapIdOf(req);
      const json body = ParseBody(req, false);
      Answer(res, 200, RunTimed(host_, res, [&] { return scene_->SetParam(id, body); }));
    });
  });
  http.Post(R"(/api/maps/([^/]+)/coordinates)", [this](const httplib::Request& req, httplib::Response& res) {
    Guarded(res, [&] {
      const int id = MapIdOf(req);
      const json body = ParseBody(req, false);
      Answer(res, 200, host_.Run([&] { return scene_->SetCoordinates(id, body); }));
    });
  });
  http.Post(R"(/api/maps/([^/]+)/command)", [this](const httplib::Request& req, httplib::Response& res) {
    Guarded(res, [&] {
      const int id = MapIdOf(req);
      const json body = ParseBody(req, false);
      json answer = host_.Run([&] { return scene_->Command(id, body); });
      if (answer.contains("help")) {
        std::lock_guard<std::mutex> lock(helpMutex_);
        helpPath_ = answer["help"]["localPath"].get<std::string>();
      }
      Answer(res, 200, answer);
    });
  });
  http.Get(R"(/.+\.html)", [this](const httplib::Request& req, httplib::Response& res) {
    const WebAsset* help = FindWebAsset("help");
    if (!IsHelpPath(req.path) || help == nullptr) return Refuse(res, 404, "not found");
    res.set_content(std::string(help->body), help->contentType);
  });
  http.Post("/api/save", [this](const httplib::Request& req, httplib::Response& res) {
    Guarded(res, [&] {
      const json body = ParseBody(req, true);
      std::optional<std::string> path;
      if (body.contains("path")) path = body.at("path").get<std::string>();
      const std::size_t root = body.contains("root") ? body.at("root").get<std::size_t>() : 0;
      Answer(res, 200, host_.Run([&] { return scene_->Save(path, root); }));
    });
  });
  const auto image = [this](bool sample) {
    return [this, sample](const httplib::Request& req, httplib::Response& res) {
      Guarded(res, [&] {
        const int id = MapIdOf(req);
        // The sample slot's two shapes: the square of the map (the default) and the lit sphere.
        const std::string shape = req.get_param_value("shape");
        if (sample && !shape.empty() && shape != "square" && shape != "sphere") {
          throw StudioError(400, "shape is square or sphere");
        }
        const bool sphere = sample && shape == "sphere";
        const std::string png = RunTimed(host_, res, [&] {
          if (sphere) return scene_->SampleSpherePng(id);
          return sample ? scene_->SampleSlotPng(id) : scene_->PreviewPng(id);
        });
        res.set_header("Cache-Control", "no-store");
        res.set_content(png, "image/png");
      });
    };
  };
  // ---- Time and Auto Key ----
  http.Get("/api/time", [this](const httplib::Request&, httplib::Response& res) {
    Guarded(res, [&] { Answer(res, 200, host_.Run([this] { return scene_->Time(); })); });
  });
  http.Post("/api/time", [this](const httplib::Request& req, httplib::Response& res) {
    Guarded(res, [&] {
      const json body = ParseBody(req, false);
      Answer(res, 200, host_.Run([&] { return scene_->SetTime(body); }));
    });
  });
  http.Post("/api/animate", [this](const httplib::Request& req, httplib::Response& res) {
    Guarded(res, [&] {
      const json body = ParseBody(req, false);
      Answer(res, 200, host_.Run([&] { return scene_->SetAutoKey(body); }));
    });
  });
  http.Get(R"(/api/maps/([^/]+)/sample\.png)", image(true));
  http.Get(R"(/api/maps/([^/]+)/preview\.png)", image(false));

  // The render view: a job runs on the host thread step by step; its status and image are read
  // without waiting for it.
  http.Post(R"(/api/maps/([^/]+)/render)", [this](const httplib::Request& req, httplib::Response& res) {
    Guarded(res, [&] {
      const int id = MapIdOf(req);
      const json body = ParseBody(req, false);
      Answer(res, 202, render_->Start(*scene_, id, body));
    });
  });
  http.Get("/api/render", [this](const httplib::Request&, httplib::Response& res) {
    Guarded(res, [&] { Answer(res, 200, render_->Status()); });
  });
  http.Get("/api/render/image.png", [this](const httplib::Request&, httplib::Response& res) {
    Guarded(res, [&] {
      int rows = 0, id = 0;
      res.set_content(render_->ImagePng(&rows, &id), "image/png");
      res.set_header("Cache-Control", "no-store");
      // Which render, and how far its full rows reach in this image, for a page or a test that
      // compares.
      res.set_header("X-Veldmap-Render-Id", std::to_string(id));
      res.set_header("X-Veldmap-Render-Rows", std::to_string(rows));
    });
  });
  http.Post("/api/render/cancel", [this](const httplib::Request& req, httplib::Response& res) {
    Guarded(res, [&] {
      ParseBody(req, true);
      Answer(res, 200, render_->Cancel());
    });
  });
  http.Post("/api/render/save", [this](const httplib::Request& req, httplib::Response& res) {
    Guarded(res, [&] { Answer(res, 200, render_->Save(ParseBody(req, false))); });
  });
}
