// Progress of a long job on stderr.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

// Prints progress on stderr once a job has run for a second: a bar on a terminal, a line every
// tenth otherwise.
class Progress {
 public:
  Progress(std::string what, bool quiet) : what_(std::move(what)), quiet_(quiet), tty_(isatty(2) != 0) {}
  ~Progress() {
    if (shown_ && tty_) std::fputc('\n', stderr);
  }
  void operator()(long long done, long long total) {
    if (quiet_ || total <= 0) return;
    if (std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1) && done < total) return;
    if (!shown_ && done == total) return;  // finished within the first second
    shown_ = true;
    const int percent = static_cast<int>(100 * done / total);
    if (tty_) {
      const int filled = percent / 5;
      std::fprintf(stderr, "\r%s [%s%s] %3d%%", what_.c_str(),
                   std::string(static_cast<std::size_t>(filled), '#').c_str(),
                   std::string(static_cast<std::size_t>(20 - filled), ' ').c_str(), percent);
    } else if (percent / 10 != lastTenth_) {
      lastTenth_ = percent / 10;
      std::fprintf(stderr, "%s: %d%%\n", what_.c_str(), percent);
    }
    std::fflush(stderr);
  }

 private:
  std::string what_;
  bool quiet_, tty_;
  bool shown_ = false;
  int lastTenth_ = -1;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};
