// Where a request's time went on the host thread, for the Server-Timing header that the page
// (PerformanceResourceTiming.serverTiming) and the latency benchmark read.
//
// A PhaseRecorder collects the phases of the thread that made it; a PhaseScope adds its own
// lifetime to that thread's recorder, and to nothing when the thread has none (the command line
// and the tests run the same code without one). Nothing here is shared between threads.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

class PhaseRecorder {
 public:
  // Becomes the calling thread's recorder until destroyed; an outer one is restored then.
  PhaseRecorder();
  ~PhaseRecorder();
  PhaseRecorder(const PhaseRecorder&) = delete;
  PhaseRecorder& operator=(const PhaseRecorder&) = delete;

  // The calling thread's recorder, or null.
  static PhaseRecorder* Current();

  // Adds milliseconds to the phase called name (a token: letters, digits, '-', '_'); a phase
  // seen again adds up, and keeps the place where it was first seen.
  void Add(const std::string& name, double milliseconds);
  const std::vector<std::pair<std::string, double>>& Phases() const { return phases_; }
  // "update;dur=12.345, render;dur=3.210": the phases in order, durations in milliseconds.
  std::string Header() const;

 private:
  PhaseRecorder* outer_;
  std::vector<std::pair<std::string, double>> phases_;
};

// Times its own lifetime as phase name of the thread's recorder. name must outlive the scope.
class PhaseScope {
 public:
  explicit PhaseScope(const char* name);
  ~PhaseScope();
  PhaseScope(const PhaseScope&) = delete;
  PhaseScope& operator=(const PhaseScope&) = delete;

 private:
  const char* name_;
  PhaseRecorder* recorder_;
  std::chrono::steady_clock::time_point start_;
};

// The metrics of a Server-Timing header value as (name, milliseconds), in order. Metrics without
// a dur parameter, or with one that is not a number, are left out; several headers joined with
// commas read as one.
std::vector<std::pair<std::string, double>> ParseServerTiming(const std::string& header);
