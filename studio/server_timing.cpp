#include "studio/server_timing.h"

#include <cstdio>
#include <cstdlib>

namespace {

thread_local PhaseRecorder* current = nullptr;

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = text.find(separator, begin);
    parts.push_back(Trim(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin)));
    if (end == std::string::npos) return parts;
    begin = end + 1;
  }
}

}  // namespace

PhaseRecorder::PhaseRecorder() : outer_(current) { current = this; }

PhaseRecorder::~PhaseRecorder() { current = outer_; }

PhaseRecorder* PhaseRecorder::Current() { return current; }

void PhaseRecorder::Add(const std::string& name, double milliseconds) {
  for (auto& phase : phases_) {
    if (phase.first == name) {
      phase.second += milliseconds;
      return;
    }
  }
  phases_.emplace_back(name, milliseconds);
}

std::string PhaseRecorder::Header() const {
  std::string header;
  char number[32];
  for (const auto& [name, milliseconds] : phases_) {
    if (!header.empty()) header += ", ";
    std::snprintf(number, sizeof number, "%.3f", milliseconds);
    header += name + ";dur=" + number;
  }
  return header;
}

PhaseScope::PhaseScope(const char* name)
    : name_(name), recorder_(PhaseRecorder::Current()), start_(std::chrono::steady_clock::now()) {}

PhaseScope::~PhaseScope() {
  if (recorder_ == nullptr) return;
  recorder_->Add(name_, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count());
}

std::vector<std::pair<std::string, double>> ParseServerTiming(const std::string& header) {
  std::vector<std::pair<std::string, double>> metrics;
  for (const std::string& metric : Split(header, ',')) {
    const std::vector<std::string> fields = Split(metric, ';');
    if (fields.empty() || fields[0].empty()) continue;
    for (std::size_t i = 1; i < fields.size(); ++i) {
      if (fields[i].rfind("dur=", 0) != 0) continue;
      const std::string value = fields[i].substr(4);
      char* end = nullptr;
      const double milliseconds = std::strtod(value.c_str(), &end);
      if (!value.empty() && end == value.c_str() + value.size()) metrics.emplace_back(fields[0], milliseconds);
      break;
    }
  }
  return metrics;
}
