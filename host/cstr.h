// CStr: the host's owned, narrow character string.
#pragma once

#include <string>
#include <utility>

class CStr {
 public:
  CStr() = default;
  CStr(const char* text) : text_(text == nullptr ? "" : text) {}  // NOLINT: converts like the host's
  explicit CStr(std::string text) : text_(std::move(text)) {}

  const char* data() const { return text_.c_str(); }
  operator const char*() const { return text_.c_str(); }  // NOLINT: the host's strings convert
  int Length() const { return static_cast<int>(text_.size()); }
  bool isNull() const { return text_.empty(); }
  const std::string& str() const { return text_; }
  friend bool operator==(const CStr& a, const CStr& b) { return a.text_ == b.text_; }

 private:
  std::string text_;
};

using TSTR = CStr;
