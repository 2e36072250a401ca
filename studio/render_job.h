// The studio's render view: the edited map rendered as one of the command line's image outputs
// (height, color, alpha, bump) at a size the user chooses, through the command line's RenderMap,
// progressively and cancellably, while the map stays editable and the scene saveable.
//
// How a render runs: it starts on the host thread by cloning the map (CloneRef), so the image
// shows the map as it was at that moment however it is edited or saved meanwhile. Then, each step
// a host-thread task that posts the next, so requests that arrive meanwhile are carried out
// between two steps: the clone's Update; a coarse image (about kCoarseSide pixels on its longer
// side, shown enlarged at once); then the full image in bands of rows, each band a tile of the
// full image rendered on all cores, so the finished image is exactly the one RenderMap makes in
// one go. A band's height is adjusted so that a band takes about kBandSeconds: that is how long a
// cancel, an edit or a save waits at most. The clone is freed on the host thread when the render
// ends, fails or is cancelled. One render at a time: a new one cancels the one running.
//
// Threads: Start and Cancel post to the host thread and wait; Shutdown runs on it. Status,
// ImagePng and Save may be called from any thread and never wait for the host thread: the
// render's state and pixels are kept under a mutex of their own, apart from the host's objects.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "studio/host_thread.h"
#include "studio/path_policy.h"

class StudioScene;

class RenderView {
 public:
  static constexpr int kCoarseSide = 128;
  static constexpr double kBandSeconds = 0.08;
  // The page's image is at most this many pixels on its longer side (a larger render is shown
  // sampled down; saving writes every pixel).
  static constexpr int kMaxViewSide = 1024;

  RenderView(HostThread& host, PathPolicy paths);
  // Frees nothing: Shutdown must have run on the host thread before.
  ~RenderView();
  RenderView(const RenderView&) = delete;
  RenderView& operator=(const RenderView&) = delete;

  // {"output": "height"|"color"|"alpha"|"bump", "width": N, "height": N, "bumpScale": x (optional)}
  // for map mapId of scene. A bad request is refused (400, or 404/422 from the scene) before the
  // running render is touched; otherwise that one is cancelled and the new one starts. Answers
  // Status().
  nlohmann::json Start(StudioScene& scene, int mapId, const nlohmann::json& request);
  // {"state": "idle"} before any render; else id, map, output, width, height, state (running,
  // done, cancelled, failed), stage (update, coarse, full), done and total (pixels of the full
  // image), bands, error, seconds.
  nlohmann::json Status() const;
  // Cancels the running render; answers once it has stopped (no band runs after it). A render
  // that has ended is left as it is.
  nlohmann::json Cancel();
  // The latest image as PNG bytes: the coarse one enlarged, then filled in band by band. 404
  // before any render, and while the first coarse image is being made. *rowsDone (if not null)
  // gets how many rows from the top hold the full render in that very image, *id the render's.
  std::string ImagePng(int* rowsDone = nullptr, int* id = nullptr) const;
  // {"path": relative, "root": index (optional), "format": "png8"|"png16"|"exr" (optional: from
  // the extension)}: writes the finished image with the command line's metadata. 409 while no
  // finished render is there, 403 for a path outside the root folders, 400 for a bad format.
  nlohmann::json Save(const nlohmann::json& request) const;
  // Ends the running render and frees its copy of the map. On the host thread, before the
  // scene (and the module the copy came from) goes.
  void Shutdown();

 private:
  struct Job;
  static void Step(const std::shared_ptr<Job>& job);
  // Frees the job's copy of the map and records how it ended. On the host thread.
  static void End(Job& job, const char* state, const std::string& error);
  std::shared_ptr<Job> Current() const;

  HostThread& host_;
  const PathPolicy paths_;
  mutable std::mutex mutex_;  // guards current_ and serial_
  std::shared_ptr<Job> current_;
  int serial_ = 0;
};
