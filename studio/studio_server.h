// The studio's HTTP server: the page, the JSON API over the host thread, and the guards every
// request passes first.
//
// Guards, in this order: the Host header must name this server (its bind address, or
// 127.0.0.1/localhost when bound to the loopback) with its port, and an Origin, when sent,
// must be http:// and such a host: a page of any other site, or a DNS name rebound to this
// address, gets 403. Then the session token, from the X-Veldmap-Token header or the token
// query parameter, must match (403). Bodies beyond kMaxBody get 413 unread.
//
// The render view (see render_job.h), all JSON but the image:
//   POST /api/maps/{id}/render {"output", "width", "height", "bumpScale"?}: starts a render of the
//        map as it is now, cancelling the one running; answers the status.
//   GET  /api/render: the status (state, stage, done/total pixels, error).
//   GET  /api/render/image.png: the latest image, coarse or partly filled or finished.
//   POST /api/render/cancel: stops the running render; answers the status once it has stopped.
//   POST /api/render/save {"path", "root"?, "format"?}: writes the finished image (png8, png16
//        or exr) with the command line's metadata inside a root folder.
//
// Threads: the server answers on its own threads; everything that touches the scene is posted
// to the host thread and waited for, so requests are carried out one at a time, in order.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "studio/host_thread.h"
#include "studio/render_job.h"
#include "studio/studio.h"

namespace httplib {
class Server;
}
class StudioScene;

class StudioServer {
 public:
  static constexpr std::size_t kMaxBody = std::size_t{64} * 1024;

  StudioServer();
  // Stops serving, then frees the scene on the host thread.
  ~StudioServer();
  StudioServer(const StudioServer&) = delete;
  StudioServer& operator=(const StudioServer&) = delete;

  // Loads the modules, opens the files and starts listening on a thread of its own. False with
  // *error when any of it fails (nothing is left running then).
  bool Start(const StudioOptions& options, std::string* error);
  void Stop();

  int Port() const { return port_; }
  const std::string& Token() const { return token_; }
  // The address to open: http://host:port/?token=...
  std::string Address() const;

 private:
  void Routes();
  bool HostAllowed(const std::string& host) const;
  bool IsHelpPath(const std::string& path);

  HostThread host_;
  std::unique_ptr<StudioScene> scene_;  // lives and dies on host_
  std::unique_ptr<RenderView> render_;  // its copies of maps die on host_, before scene_
  std::unique_ptr<httplib::Server> http_;
  std::thread listener_;
  std::atomic<bool> listenerEnded_{false};
  std::string bind_;
  std::string token_;
  int port_ = 0;
  std::mutex helpMutex_;
  std::string helpPath_;  // where the latest Help press pointed; the help page is served there
};
