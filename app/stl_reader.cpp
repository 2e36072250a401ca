// Binary facets are fixed 50-byte records read straight from the mapped file; ASCII is walked as
// whitespace-separated words with assimp's own number parser, so coordinates round as they do
// there. Corners go through the welder as they are read, so no array of unwelded corners exists.
#include "app/stl_reader.h"

#include "app/assimp_numbers.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace {

constexpr std::size_t kHeaderBytes = 84, kFacetBytes = 50;

std::uint32_t LittleU32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

float LittleFloat(const char* p) {
  const std::uint32_t bits = LittleU32(p);
  float f = 0;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Assimp's test, in its own 32-bit arithmetic: the size is the header plus 50 bytes per counted
// facet.
bool LooksBinary(std::string_view bytes) {
  if (bytes.size() < kHeaderBytes || bytes.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  const std::uint32_t expected = LittleU32(bytes.data() + 80) * std::uint32_t{50} + std::uint32_t{84};
  return expected == bytes.size();
}

bool ReadBinary(std::string_view file, std::vector<RawMesh>* out) {
  const std::size_t facets = LittleU32(file.data() + 80);
  // Assimp's size test wraps at 2^32, so a count near 2^31 can pass it with a few hundred bytes
  // of file: the records must really be there before any is read or any room is made for them.
  if (facets == 0 || facets > (file.size() - kHeaderBytes) / kFacetBytes) return false;
  RawMesh mesh;
  mesh.corners.resize(facets * 3);
  // A closed surface has about half as many vertices as facets.
  VertexWelder welder(facets / 2 + 3, false);
  const char* record = file.data() + kHeaderBytes;
  constexpr std::size_t kAhead = 6;  // facets
  for (std::size_t f = 0; f < facets; ++f, record += kFacetBytes) {
    if (f + kAhead < facets) {
      for (std::size_t k = 0; k < 3; ++k) {
        const char* at = record + kAhead * kFacetBytes + 12 + 12 * k;
        const float p[3] = {LittleFloat(at), LittleFloat(at + 4), LittleFloat(at + 8)};
        welder.Prefetch(p);
      }
    }
    for (std::size_t k = 0; k < 3; ++k) {
      const char* at = record + 12 + 12 * k;
      const float p[3] = {LittleFloat(at), LittleFloat(at + 4), LittleFloat(at + 8)};
      if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return false;
      mesh.corners[f * 3 + k] = welder.Add(p, nullptr);
    }
  }
  mesh.positions = welder.TakePositions();
  out->push_back(std::move(mesh));
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// ASCII STL as words. Bytes assimp reads as line ends or that end its text (NUL, form feed) and
// vertical tabs are refused outright, so a word here is a word there.
class Words {
 public:
  explicit Words(std::string_view text) : text_(text) {}

  bool Clean() const { return text_.find_first_of(std::string_view("\0\f\v", 3)) == std::string_view::npos; }
  std::size_t Remaining() const { return text_.size() - pos_; }
  std::string_view Rest() const { return text_.substr(pos_); }

  // The next word, across line ends; empty at the end of the text.
  std::string_view Next() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    return Take();
  }
  // The next word on this line; empty if the line ends first.
  std::string_view OnLine() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
    return Take();
  }
  // A plain decimal number on this line, parsed as assimp parses it.
  bool Number(float* out) {
    const std::string_view w = OnLine();
    char buf[64];
    if (w.empty() || w.size() >= sizeof buf) return false;
    for (std::size_t i = 0; i < w.size(); ++i) {
      const char c = w[i];
      const bool sign = (c == '-' || c == '+') && (i == 0 || w[i - 1] == 'e' || w[i - 1] == 'E');
      if (!(c >= '0' && c <= '9') && c != '.' && c != 'e' && c != 'E' && !sign) return false;
    }
    const std::size_t lead = w[0] == '-' || w[0] == '+' ? 1 : 0;
    if (lead >= w.size()) return false;
    const bool digit = w[lead] >= '0' && w[lead] <= '9';
    if (!digit && !(w[lead] == '.' && lead + 1 < w.size() && w[lead + 1] >= '0' && w[lead + 1] <= '9')) return false;
    std::memcpy(buf, w.data(), w.size());
    buf[w.size()] = '\0';
    const char* end = nullptr;
    return assimp_numbers::ParseReal(buf, out, &end) && *end == '\0';
  }
  void SkipBlank() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
  }
  // To the end of the current line.
  void SkipLine() {
    while (pos_ < text_.size() && text_[pos_] != '\n' && text_[pos_] != '\r') ++pos_;
  }
  // Whether the rest of this line holds a word assimp would act on.
  bool LineHasKeyword() {
    for (std::string_view w = OnLine(); !w.empty(); w = OnLine()) {
      if (w.rfind("facet", 0) == 0 || w.rfind("vertex", 0) == 0 || w.rfind("endsolid", 0) == 0) return true;
    }
    return false;
  }

 private:
  std::string_view Take() {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !IsBlank(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

bool ReadAscii(std::string_view file, std::vector<RawMesh>* out) {
  Words in(file);
  if (!in.Clean()) return false;
  // The first solid may follow spaces and tabs, not a line end; later ones any white space.
  std::size_t lead = 0;
  while (lead < file.size() && (file[lead] == ' ' || file[lead] == '\t')) ++lead;
  if (lead < file.size() && IsBlank(file[lead])) return false;
  for (;;) {
    if (in.Next() != "solid" || in.Remaining() == 0 || !IsBlank(in.Rest().front())) return false;
    RawMesh mesh;
    // The name is the word right after "solid" on its line; assimp refuses 1024 bytes or more.
    const std::string_view name = in.OnLine();
    if (name.size() >= 1024 || in.LineHasKeyword()) return false;
    mesh.nodeName = std::string(name);
    VertexWelder welder(1024, false);
    for (;;) {
      const std::string_view word = in.Next();
      if (word == "endsolid") {
        in.SkipLine();
        break;
      }
      if (word != "facet" || in.OnLine() != "normal") return false;
      float normal[3];
      if (!in.Number(&normal[0]) || !in.Number(&normal[1]) || !in.Number(&normal[2]) || !in.OnLine().empty()) {
        return false;
      }
      if (in.Next() != "outer" || in.OnLine() != "loop" || !in.OnLine().empty()) return false;
      for (int k = 0; k < 3; ++k) {
        float p[3];
        if (in.Next() != "vertex" || !in.Number(&p[0]) || !in.Number(&p[1]) || !in.Number(&p[2]) ||
            !in.OnLine().empty()) {
          return false;
        }
        if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return false;
        mesh.corners.push_back(welder.Add(p, nullptr));
      }
      if (in.Next() != "endloop" || !in.OnLine().empty() || in.Next() != "endfacet" || !in.OnLine().empty()) {
        return false;
      }
    }
    if (mesh.corners.empty()) return false;
    mesh.positions = welder.TakePositions();
    out->push_back(std::move(mesh));
    // Only white space, or another solid, may follow; assimp skips anything else, and a rest that
    // happens to have a binary file's size ends its reading.
    in.SkipBlank();
    if (in.Remaining() == 0) return true;
    if (LooksBinary(in.Rest())) return false;
  }
}

}  // namespace

bool ReadStl(std::string_view file, std::vector<RawMesh>* out) {
  out->clear();
  if (LooksBinary(file)) return ReadBinary(file, out);
  if (file.empty()) return false;
  return ReadAscii(file, out);
}
