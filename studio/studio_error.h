// A request the studio refuses: the HTTP status to answer with and a message for the user.
#pragma once

#include <stdexcept>
#include <string>

class StudioError : public std::runtime_error {
 public:
  StudioError(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  int Status() const { return status_; }

 private:
  int status_;
};
