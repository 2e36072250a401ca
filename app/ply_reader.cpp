// The header is parsed into a layout (element order, property types and offsets); binary data is
// then walked with fixed strides where it can be, and ASCII data line by line with assimp's own
// number parsers, so every coordinate rounds exactly as it does there. Vertices are welded in
// index order, skipping those no face uses, which is the order assimp's joining produces.
#include "app/ply_reader.h"

#include "app/assimp_numbers.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

enum class Type { kInt8, kUint8, kInt16, kUint16, kInt32, kUint32, kFloat32, kFloat64 };

std::optional<Type> ParseType(std::string_view word) {
  if (word == "char" || word == "int8") return Type::kInt8;
  if (word == "uchar" || word == "uint8") return Type::kUint8;
  if (word == "short" || word == "int16") return Type::kInt16;
  if (word == "ushort" || word == "uint16") return Type::kUint16;
  if (word == "int" || word == "int32") return Type::kInt32;
  if (word == "uint" || word == "uint32") return Type::kUint32;
  if (word == "float" || word == "float32") return Type::kFloat32;
  if (word == "double" || word == "float64") return Type::kFloat64;
  return std::nullopt;
}

std::size_t SizeOf(Type t) {
  switch (t) {
    case Type::kInt8:
    case Type::kUint8: return 1;
    case Type::kInt16:
    case Type::kUint16: return 2;
    case Type::kInt32:
    case Type::kUint32:
    case Type::kFloat32: return 4;
    case Type::kFloat64: return 8;
  }
  return 0;
}

bool IsInteger(Type t) { return t != Type::kFloat32 && t != Type::kFloat64; }
bool IsSigned(Type t) { return t == Type::kInt8 || t == Type::kInt16 || t == Type::kInt32; }

enum class Encoding { kAscii, kLittle, kBig };

struct Property {
  std::string name;
  Type type = Type::kFloat32;
  bool isList = false;
  Type countType = Type::kUint8;
};

struct Element {
  std::string name;
  std::uint64_t count = 0;
  std::vector<Property> properties;
};

// Which vertex property feeds which coordinate; -1 when absent.
struct VertexLayout {
  std::array<int, 3> position{-1, -1, -1};
  std::array<int, 3> normal{-1, -1, -1};
};

std::string_view NextWord(std::string_view& text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  const std::size_t end = std::min(text.find_first_of(" \t"), text.size());
  const std::string_view word = text.substr(0, end);
  text.remove_prefix(end);
  return word;
}

std::optional<std::uint64_t> ParseCount(std::string_view digits) {
  if (digits.empty() || digits.size() > 10) return std::nullopt;
  std::uint64_t n = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n;
}

// The header up to and including end_header's line; the offset of the data after it.
bool ParseHeader(std::string_view file, Encoding* encoding, std::vector<Element>* elements, std::size_t* dataStart) {
  std::size_t pos = 0;
  bool first = true, haveFormat = false, propertiesOpen = false;
  while (pos < file.size()) {
    const std::size_t eol = file.find('\n', pos);
    if (eol == std::string_view::npos) return false;
    std::string_view line = file.substr(pos, eol - pos);
    pos = eol + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_of(std::string_view("\r\0\f\v", 4)) != std::string_view::npos) return false;
    if (first) {
      if (line != "ply") return false;
      first = false;
      continue;
    }
    if (line.empty() || line.front() == ' ' || line.front() == '\t') return false;
    std::string_view rest = line;
    const std::string_view keyword = NextWord(rest);
    // Assimp looks for the format on the line after "ply" and nowhere else.
    if (!haveFormat && keyword != "format") return false;
    // Assimp ends an element's property list at the first line that is not a property (a comment
    // too) and passes over any property after it, so such a header is its to read.
    const bool listOpen = propertiesOpen;
    propertiesOpen = keyword == "element" || (listOpen && keyword == "property");
    if (keyword == "property" && !listOpen) return false;
    if (keyword == "comment" || keyword == "obj_info") continue;
    if (keyword == "end_header") {
      if (!NextWord(rest).empty() || !haveFormat) return false;
      *dataStart = pos;
      return true;
    }
    if (keyword == "format") {
      const std::string_view kind = NextWord(rest);
      if (haveFormat || NextWord(rest) != "1.0" || !NextWord(rest).empty()) return false;
      if (kind == "ascii") {
        *encoding = Encoding::kAscii;
      } else if (kind == "binary_little_endian") {
        *encoding = Encoding::kLittle;
      } else if (kind == "binary_big_endian") {
        *encoding = Encoding::kBig;
      } else {
        return false;
      }
      haveFormat = true;
    } else if (keyword == "element") {
      Element e;
      e.name = std::string(NextWord(rest));
      const auto count = ParseCount(NextWord(rest));
      if (!count || !NextWord(rest).empty()) return false;
      e.count = *count;
      elements->push_back(std::move(e));
    } else if (keyword == "property") {
      if (elements->empty()) return false;
      Property p;
      std::string_view typeWord = NextWord(rest);
      if (typeWord == "list") {
        p.isList = true;
        const auto countType = ParseType(NextWord(rest));
        if (!countType || !IsInteger(*countType)) return false;
        p.countType = *countType;
        typeWord = NextWord(rest);
      }
      const auto type = ParseType(typeWord);
      if (!type) return false;
      p.type = *type;
      p.name = std::string(NextWord(rest));
      if (p.name.empty() || !NextWord(rest).empty()) return false;
      elements->back().properties.push_back(std::move(p));
    } else if (keyword == "ply") {
      return false;
    }
    // Any other line is free text, which assimp passes over too (Blender 2.4 wrote a bare
    // "Created by ..." line).
  }
  return false;
}

std::optional<VertexLayout> LayoutOf(const Element& vertex, bool keepNormals) {
  VertexLayout layout;
  for (std::size_t i = 0; i < vertex.properties.size(); ++i) {
    const Property& p = vertex.properties[i];
    if (p.isList) return std::nullopt;
    static constexpr std::array<std::string_view, 3> kPosition{"x", "y", "z"};
    static constexpr std::array<std::string_view, 3> kNormal{"nx", "ny", "nz"};
    static constexpr std::array<std::string_view, 3> kNormalLong{"normal_x", "normal_y", "normal_z"};
    for (std::size_t k = 0; k < 3; ++k) {
      int* slot = nullptr;
      if (p.name == kPosition[k]) slot = &layout.position[k];
      if (p.name == kNormal[k] || p.name == kNormalLong[k]) slot = &layout.normal[k];
      if (slot == nullptr) continue;
      if (*slot != -1) return std::nullopt;  // named twice: which one assimp keeps is its business
      *slot = static_cast<int>(i);
    }
  }
  for (const int p : layout.position) {
    if (p == -1) return std::nullopt;
  }
  const int normals = (layout.normal[0] != -1) + (layout.normal[1] != -1) + (layout.normal[2] != -1);
  if (normals != 0 && normals != 3) return std::nullopt;
  if (!keepNormals) layout.normal = {-1, -1, -1};
  return layout;
}

// ---- Binary --------------------------------------------------------------------------------

template <typename T>
T Load(const char* p, bool bigEndian) {
  unsigned char b[sizeof(T)];
  std::memcpy(b, p, sizeof(T));
  if (bigEndian) {
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(b[i], b[sizeof(T) - 1 - i]);
  }
  T v;
  std::memcpy(&v, b, sizeof(T));
  return v;
}

// A scalar as the float assimp makes of it. Integers go through double, which holds every one
// exactly, so the single rounding to float is the same as a direct conversion.
double ValueAt(const char* p, Type t, bool bigEndian) {
  switch (t) {
    case Type::kInt8: return Load<std::int8_t>(p, bigEndian);
    case Type::kUint8: return Load<std::uint8_t>(p, bigEndian);
    case Type::kInt16: return Load<std::int16_t>(p, bigEndian);
    case Type::kUint16: return Load<std::uint16_t>(p, bigEndian);
    case Type::kInt32: return Load<std::int32_t>(p, bigEndian);
    case Type::kUint32: return Load<std::uint32_t>(p, bigEndian);
    case Type::kFloat32: return Load<float>(p, bigEndian);
    case Type::kFloat64: return Load<double>(p, bigEndian);
  }
  return 0.0;
}

float FloatAt(const char* p, Type t, bool bigEndian) {
  if (t == Type::kFloat32) return Load<float>(p, bigEndian);
  return static_cast<float>(ValueAt(p, t, bigEndian));
}

// An index or a list count as assimp converts it to unsigned: negative values wrap and so land
// out of range.
std::uint64_t IndexAt(const char* p, Type t, bool bigEndian) {
  if (IsSigned(t)) return static_cast<std::uint32_t>(static_cast<std::int64_t>(ValueAt(p, t, bigEndian)));
  return static_cast<std::uint64_t>(ValueAt(p, t, bigEndian));
}

struct Parsed {
  // Positions, 3 per file vertex: read from ASCII into this array, or left in the binary records.
  std::vector<float> positions;
  const char* records = nullptr;
  std::size_t stride = 0;
  std::array<std::size_t, 3> at{};
  std::array<Type, 3> type{};
  bool big = false;
  bool plainFloats = false;  // little-endian float32 x, y, z

  std::vector<float> normals;  // 3 per file vertex, when kept
  std::vector<std::uint32_t> corners;

  void Position(std::size_t v, float out[3]) const {
    if (records == nullptr) {
      std::memcpy(out, &positions[v * 3], 12);
      return;
    }
    const char* record = records + v * stride;
    if (plainFloats) {
      for (std::size_t k = 0; k < 3; ++k) std::memcpy(&out[k], record + at[k], 4);
    } else {
      for (std::size_t k = 0; k < 3; ++k) out[k] = FloatAt(record + at[k], type[k], big);
    }
  }
};

// The positions stay in the mapped file and are read where they are welded; only kept normals
// are copied out.
bool ReadBinaryVertices(std::string_view data, std::size_t& pos, const Element& e, const VertexLayout& layout, bool big,
                        Parsed* out) {
  std::vector<std::size_t> offsets;
  std::size_t stride = 0;
  for (const Property& p : e.properties) {
    offsets.push_back(stride);
    stride += SizeOf(p.type);
  }
  if (stride == 0 || e.count > (data.size() - pos) / stride) return false;
  out->records = data.data() + pos;
  out->stride = stride;
  out->big = big;
  out->plainFloats = !big;
  for (std::size_t k = 0; k < 3; ++k) {
    out->at[k] = offsets[static_cast<std::size_t>(layout.position[k])];
    out->type[k] = e.properties[static_cast<std::size_t>(layout.position[k])].type;
    out->plainFloats = out->plainFloats && out->type[k] == Type::kFloat32;
  }
  if (layout.normal[0] != -1) {
    out->normals.resize(e.count * 3);
    const char* record = out->records;
    for (std::size_t v = 0; v < e.count; ++v, record += stride) {
      for (std::size_t k = 0; k < 3; ++k) {
        const auto n = static_cast<std::size_t>(layout.normal[k]);
        out->normals[v * 3 + k] = FloatAt(record + offsets[n], e.properties[n].type, big);
      }
    }
  }
  pos += e.count * stride;
  return true;
}

bool ReadBinaryFaces(std::string_view data, std::size_t& pos, const Element& e, bool big, Parsed* out) {
  const Property& list = e.properties[0];
  const std::size_t countBytes = SizeOf(list.countType), indexBytes = SizeOf(list.type);
  const std::size_t record = countBytes + 3 * indexBytes;
  // Every face a triangle: then the element's size is known before it is read.
  if (e.count > (data.size() - pos) / record) return false;
  out->corners.resize(e.count * 3);
  const char* p = data.data() + pos;
  std::uint32_t* corner = out->corners.data();
  const bool plain =
      !big && list.countType == Type::kUint8 && (list.type == Type::kInt32 || list.type == Type::kUint32);
  for (std::size_t f = 0; f < e.count; ++f, p += record) {
    if (plain) {
      if (static_cast<unsigned char>(p[0]) != 3) return false;
      std::memcpy(corner, p + 1, 12);
      corner += 3;
      continue;
    }
    if (IndexAt(p, list.countType, big) != 3) return false;
    for (std::size_t k = 0; k < 3; ++k) {
      const std::uint64_t index = IndexAt(p + countBytes + k * indexBytes, list.type, big);
      if (index > std::numeric_limits<std::uint32_t>::max()) return false;
      *corner++ = static_cast<std::uint32_t>(index);
    }
  }
  pos += e.count * record;
  return true;
}

// ---- ASCII ---------------------------------------------------------------------------------

// One line of ASCII data, read token by token. Tokens are copied out NUL-terminated before
// assimp's parsers see them, since the mapped file has no terminator of its own.
class LineReader {
 public:
  LineReader(std::string_view data, std::size_t pos) : data_(data), pos_(pos) {}

  // Where the next line starts.
  std::size_t Position() const { return pos_; }
  // Starts the next line; false at the end of the data.
  bool NextLine() {
    if (pos_ >= data_.size()) return false;
    std::size_t eol = data_.find('\n', pos_);
    if (eol == std::string_view::npos) eol = data_.size();
    line_ = data_.substr(pos_, eol - pos_);
    pos_ = eol + 1;
    if (!line_.empty() && line_.back() == '\r') line_.remove_suffix(1);
    return true;
  }
  // The rest of the line is blank.
  bool AtEnd() {
    SkipBlanks();
    return line_.empty();
  }
  // Whether only blank lines remain.
  bool RestIsBlank() {
    while (NextLine()) {
      if (!AtEnd()) return false;
    }
    return true;
  }
  bool Float(Type t, float* out) {
    char buf[64];
    if (!Token(buf, /*integer=*/false)) return false;
    const char* end = nullptr;
    if (t == Type::kFloat64) {
      double d = 0;
      if (!assimp_numbers::ParseReal(buf, &d, &end)) return false;
      *out = static_cast<float>(d);
    } else if (t == Type::kFloat32) {
      float f = 0;
      if (!assimp_numbers::ParseReal(buf, &f, &end)) return false;
      *out = f;
    } else {
      std::int64_t i = 0;
      if (!Integer(buf, t, &i, &end)) return false;
      *out = IsSigned(t) ? static_cast<float>(static_cast<std::int32_t>(i))
                         : static_cast<float>(static_cast<std::uint32_t>(i));
    }
    return *end == '\0';
  }
  // An index or count, as unsigned the way assimp converts it.
  bool Index(Type t, std::uint64_t* out) {
    char buf[64];
    if (!IsInteger(t) || !Token(buf, /*integer=*/true)) return false;
    const char* end = nullptr;
    std::int64_t i = 0;
    if (!Integer(buf, t, &i, &end) || *end != '\0') return false;
    *out = IsSigned(t) ? static_cast<std::uint32_t>(static_cast<std::int32_t>(i)) : static_cast<std::uint32_t>(i);
    return true;
  }

 private:
  void SkipBlanks() {
    while (!line_.empty() && (line_.front() == ' ' || line_.front() == '\t')) line_.remove_prefix(1);
  }
  // Plain decimal numbers only: anything else (a comma, nan, a stray letter) goes to assimp.
  bool Token(char (&buf)[64], bool integer) {
    SkipBlanks();
    std::size_t n = 0;
    while (n < line_.size() && line_[n] != ' ' && line_[n] != '\t') ++n;
    if (n == 0 || n >= sizeof buf) return false;
    for (std::size_t i = 0; i < n; ++i) {
      const char c = line_[i];
      const bool digit = c >= '0' && c <= '9';
      const bool sign =
          (c == '-' || c == '+') && (i == 0 || (!integer && (line_[i - 1] == 'e' || line_[i - 1] == 'E')));
      if (!digit && !sign && (integer || (c != '.' && c != 'e' && c != 'E'))) return false;
    }
    const std::size_t lead = line_[0] == '-' || line_[0] == '+' ? 1 : 0;
    if (lead >= n) return false;
    const char c0 = line_[lead];
    if (!(c0 >= '0' && c0 <= '9') && !(c0 == '.' && lead + 1 < n && line_[lead + 1] >= '0' && line_[lead + 1] <= '9')) {
      return false;
    }
    std::memcpy(buf, line_.data(), n);
    buf[n] = '\0';
    line_.remove_prefix(n);
    return true;
  }
  static bool Integer(const char* buf, Type t, std::int64_t* out, const char** end) {
    if (IsSigned(t)) {
      *out = Assimp::strtol10(buf, end);
    } else {
      if (buf[0] == '-' || buf[0] == '+') return false;
      *out = Assimp::strtoul10(buf, end);
    }
    return true;
  }

  std::string_view data_;
  std::size_t pos_;
  std::string_view line_;
};

bool ReadAsciiVertices(LineReader& in, const Element& e, const VertexLayout& layout, Parsed* out) {
  const bool withNormals = layout.normal[0] != -1;
  out->positions.resize(e.count * 3);
  if (withNormals) out->normals.resize(e.count * 3);
  std::vector<float> values(e.properties.size());
  for (std::size_t v = 0; v < e.count; ++v) {
    if (!in.NextLine()) return false;
    for (std::size_t i = 0; i < e.properties.size(); ++i) {
      if (!in.Float(e.properties[i].type, &values[i])) return false;
    }
    if (!in.AtEnd()) return false;
    for (std::size_t k = 0; k < 3; ++k) {
      const float c = values[static_cast<std::size_t>(layout.position[k])];
      if (!std::isfinite(c)) return false;
      out->positions[v * 3 + k] = c;
      if (withNormals) out->normals[v * 3 + k] = values[static_cast<std::size_t>(layout.normal[k])];
    }
  }
  return true;
}

bool ReadAsciiFaces(LineReader& in, const Element& e, Parsed* out) {
  const Property& list = e.properties[0];
  out->corners.resize(e.count * 3);
  for (std::size_t f = 0; f < e.count; ++f) {
    std::uint64_t count = 0;
    if (!in.NextLine() || !in.Index(list.countType, &count) || count != 3) return false;
    for (std::size_t k = 0; k < 3; ++k) {
      std::uint64_t index = 0;
      if (!in.Index(list.type, &index)) return false;
      out->corners[f * 3 + k] = static_cast<std::uint32_t>(index);
    }
    if (!in.AtEnd()) return false;
  }
  return true;
}

// The file's vertex and face elements, when it has exactly those two and the faces are one index
// list (what the reader takes); false otherwise.
bool FindElements(const std::vector<Element>& elements, const Element** vertex, const Element** face) {
  *vertex = nullptr;
  *face = nullptr;
  for (const Element& e : elements) {
    const Element** slot = e.name == "vertex" ? vertex : e.name == "face" ? face : nullptr;
    if (slot == nullptr || *slot != nullptr) return false;
    *slot = &e;
  }
  if (*vertex == nullptr || *face == nullptr || (*vertex)->count == 0 || (*face)->count == 0) return false;
  if ((*vertex)->count > std::numeric_limits<std::uint32_t>::max() ||
      (*face)->count > std::numeric_limits<std::uint32_t>::max() / 3)
    return false;
  const std::vector<Property>& list = (*face)->properties;
  return list.size() == 1 && list[0].isList && IsInteger(list[0].type) &&
         (list[0].name == "vertex_indices" || list[0].name == "vertex_index");
}

}  // namespace

bool ReadPly(std::string_view file, bool keepNormals, RawMesh* out) {
  Encoding encoding = Encoding::kAscii;
  std::vector<Element> elements;
  std::size_t pos = 0;
  if (!ParseHeader(file, &encoding, &elements, &pos)) return false;
  const Element* vertex = nullptr;
  const Element* face = nullptr;
  if (!FindElements(elements, &vertex, &face)) return false;
  const std::optional<VertexLayout> layout = LayoutOf(*vertex, keepNormals);
  if (!layout) return false;

  Parsed parsed;
  if (encoding == Encoding::kAscii) {
    // Assimp's line buffer loses the end of a last line without a line end for some file sizes
    // and not others; such a file is its to read.
    if (file.back() != '\n') return false;
    // Every ASCII entry takes at least two bytes per value ("0 "), so a count the data cannot hold
    // is refused before anything is sized by it.
    const std::size_t dataBytes = file.size() - pos;
    if (vertex->count > dataBytes / (2 * vertex->properties.size()) || face->count > dataBytes / 8) return false;
    LineReader in(file, pos);
    for (const Element& e : elements) {
      if (!(&e == vertex ? ReadAsciiVertices(in, e, *layout, &parsed) : ReadAsciiFaces(in, e, &parsed))) return false;
    }
    if (!in.RestIsBlank()) return false;
  } else {
    const bool big = encoding == Encoding::kBig;
    for (const Element& e : elements) {
      const bool ok = &e == vertex ? ReadBinaryVertices(file, pos, e, *layout, big, &parsed)
                                   : ReadBinaryFaces(file, pos, e, big, &parsed);
      if (!ok) return false;
    }
  }

  // Which vertices faces use; then weld those in index order.
  const std::size_t vertexCount = static_cast<std::size_t>(vertex->count);
  constexpr std::uint32_t kUnused = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> welded(vertexCount, kUnused);
  for (const std::uint32_t c : parsed.corners) {
    if (c >= vertexCount) return false;
    welded[c] = 0;
  }
  const bool withNormals = !parsed.normals.empty();
  VertexWelder welder(vertexCount, withNormals);
  constexpr std::size_t kAhead = 16;
  float ahead[3], p[3];
  for (std::size_t v = 0; v < vertexCount; ++v) {
    if (v + kAhead < vertexCount) {
      parsed.Position(v + kAhead, ahead);
      welder.Prefetch(ahead);
    }
    parsed.Position(v, p);
    // Unused vertices too: a file with any coordinate that is not finite is assimp's.
    if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return false;
    if (welded[v] == kUnused) continue;
    welded[v] = welder.Add(p, withNormals ? &parsed.normals[v * 3] : nullptr);
  }
  if (welder.ambiguous()) return false;
  parsed.positions = {};
  parsed.normals = {};
  for (std::uint32_t& c : parsed.corners) c = welded[c];

  out->nodeName.clear();
  out->positions = welder.TakePositions();
  out->corners = std::move(parsed.corners);
  out->hasNormals = withNormals;
  return true;
}

// ---- Walking the faces of a binary file ----------------------------------------------------

namespace {

// Faces (or vertices) between releases of the pages read: large enough that releasing costs
// nothing, small enough that the file adds next to nothing to what the process holds.
constexpr std::size_t kBlockBytes = std::size_t{1} << 21;

// The ASCII side of PlyFaceStream::Open: the checks ReadPly makes of ASCII data, the vertices no
// face uses, and the byte offset of every kCheckpoint-th face line, so a walk can start anywhere.
// Vertex lines are parsed twice (checked, then welded) instead of being held.
bool OpenAscii(const MappedFile& mapped, std::size_t pos, const std::vector<Element>& elements, const Element& vertex,
               const Element& face, const VertexLayout& layout, std::size_t maxVertices, std::vector<Point3>* positions,
               std::vector<std::uint32_t>* welded, std::vector<std::size_t>* checkpoints) {
  const std::string_view file = mapped.bytes();
  // As ReadPly: assimp's to read without a last line end; counts the data cannot hold refused.
  if (file.back() != '\n') return false;
  const std::size_t dataBytes = file.size() - pos;
  if (vertex.count > dataBytes / (2 * vertex.properties.size()) || face.count > dataBytes / 8) return false;
  const Property& list = face.properties[0];
  const std::size_t vertexCount = static_cast<std::size_t>(vertex.count);
  constexpr std::uint32_t kUnused = std::numeric_limits<std::uint32_t>::max();
  welded->assign(vertexCount, kUnused);
  checkpoints->clear();
  std::vector<float> values(vertex.properties.size());
  const auto parseVertex = [&](LineReader& in) {
    if (!in.NextLine()) return false;
    for (std::size_t i = 0; i < vertex.properties.size(); ++i) {
      if (!in.Float(vertex.properties[i].type, &values[i])) return false;
    }
    return in.AtEnd();
  };
  LineReader in(file, pos);
  std::size_t released = pos, vertexStart = pos;
  const auto release = [&](bool all) {
    if (all || in.Position() - released >= kBlockBytes) {
      mapped.Release(released, in.Position() - released);
      released = in.Position();
    }
  };
  for (const Element& e : elements) {
    if (&e == &vertex) {
      vertexStart = in.Position();
      for (std::size_t v = 0; v < vertexCount; ++v) {
        if (!parseVertex(in)) return false;
        for (std::size_t k = 0; k < 3; ++k) {
          if (!std::isfinite(values[static_cast<std::size_t>(layout.position[k])])) return false;
        }
        release(false);
      }
    } else {
      for (std::size_t f = 0; f < face.count; ++f) {
        if (f % PlyFaceStream::kCheckpoint == 0) checkpoints->push_back(in.Position());
        std::uint64_t count = 0;
        if (!in.NextLine() || !in.Index(list.countType, &count) || count != 3) return false;
        for (std::size_t k = 0; k < 3; ++k) {
          std::uint64_t index = 0;
          if (!in.Index(list.type, &index)) return false;
          const auto corner = static_cast<std::uint32_t>(index);
          if (corner >= vertexCount) return false;
          (*welded)[corner] = 0;
        }
        if (!in.AtEnd()) return false;
        release(false);
      }
    }
  }
  if (!in.RestIsBlank()) return false;
  release(true);
  std::size_t used = 0;
  for (const std::uint32_t w : *welded) used += w == 0 ? 1 : 0;
  if (used > maxVertices || used > CompactWelder::kMaxVertices) return false;

  const bool withNormals = layout.normal[0] != -1;
  CompactWelder welder(used, withNormals, positions);
  LineReader again(file, vertexStart);
  float p[3], n[3] = {0, 0, 0};
  for (std::size_t v = 0; v < vertexCount; ++v) {
    if (!parseVertex(again)) return false;
    if ((*welded)[v] == kUnused) continue;
    for (std::size_t k = 0; k < 3; ++k) {
      p[k] = values[static_cast<std::size_t>(layout.position[k])];
      if (withNormals) n[k] = values[static_cast<std::size_t>(layout.normal[k])];
    }
    (*welded)[v] = welder.Add(p, n);
  }
  mapped.Release(vertexStart, again.Position() - vertexStart);
  if (welder.ambiguous()) return false;
  welder.Finish();
  if (positions->size() < used) positions->shrink_to_fit();
  return true;
}

}  // namespace

bool PlyFaceStream::Open(const MappedFile& mapped, bool keepNormals, std::size_t maxVertices,
                         std::vector<Point3>* positions) {
  const std::string_view file = mapped.bytes();
  Encoding encoding = Encoding::kAscii;
  std::vector<Element> elements;
  std::size_t pos = 0;
  if (!ParseHeader(file, &encoding, &elements, &pos)) return false;
  const Element* vertex = nullptr;
  const Element* face = nullptr;
  if (!FindElements(elements, &vertex, &face)) return false;
  const std::optional<VertexLayout> layout = LayoutOf(*vertex, keepNormals);
  if (!layout) return false;
  const Property& faceList = face->properties[0];
  file_ = &mapped;
  faces_ = static_cast<std::size_t>(face->count);
  countType_ = static_cast<unsigned char>(faceList.countType);
  indexType_ = static_cast<unsigned char>(faceList.type);
  ascii_ = encoding == Encoding::kAscii;
  if (ascii_) {
    return OpenAscii(mapped, pos, elements, *vertex, *face, *layout, maxVertices, positions, &welded_, &checkpoints_);
  }
  const bool big = encoding == Encoding::kBig;

  // Where each element lies, measured as ReadPly measures it.
  std::vector<std::size_t> offsets;
  std::size_t stride = 0, vertexStart = 0;
  const Property& list = face->properties[0];
  const std::size_t countBytes = SizeOf(list.countType), indexBytes = SizeOf(list.type);
  const std::size_t record = countBytes + 3 * indexBytes;
  for (const Element& e : elements) {
    if (&e == vertex) {
      for (const Property& p : e.properties) {
        offsets.push_back(stride);
        stride += SizeOf(p.type);
      }
      if (stride == 0 || e.count > (file.size() - pos) / stride) return false;
      vertexStart = pos;
      pos += e.count * stride;
    } else {
      if (e.count > (file.size() - pos) / record) return false;
      faceStart_ = pos;
      pos += e.count * record;
    }
  }
  record_ = record;
  countBytes_ = countBytes;
  indexBytes_ = indexBytes;
  big_ = big;
  plain_ = !big && list.countType == Type::kUint8 && (list.type == Type::kInt32 || list.type == Type::kUint32);

  // Every face a triangle over vertices the file has; which vertices they use.
  const std::size_t vertexCount = static_cast<std::size_t>(vertex->count);
  constexpr std::uint32_t kUnused = std::numeric_limits<std::uint32_t>::max();
  welded_.assign(vertexCount, kUnused);
  const std::size_t facesPerBlock = std::max<std::size_t>(1, kBlockBytes / record);
  for (std::size_t first = 0; first < faces_; first += facesPerBlock) {
    const std::size_t count = std::min(facesPerBlock, faces_ - first);
    const char* p = file.data() + faceStart_ + first * record;
    for (std::size_t f = 0; f < count; ++f, p += record) {
      if (IndexAt(p, list.countType, big) != 3) return false;
      for (std::size_t k = 0; k < 3; ++k) {
        const std::uint64_t index = IndexAt(p + countBytes + k * indexBytes, list.type, big);
        if (index >= vertexCount) return false;
        welded_[static_cast<std::size_t>(index)] = 0;
      }
    }
    mapped.Release(faceStart_ + first * record, count * record);
  }
  std::size_t used = 0;
  for (const std::uint32_t w : welded_) used += w == 0 ? 1 : 0;
  if (used > maxVertices || used > CompactWelder::kMaxVertices) return false;

  // Welded in index order, skipping the vertices no face uses: ReadPly's order.
  std::array<std::size_t, 3> at{}, normalAt{};
  std::array<Type, 3> type{}, normalType{};
  bool plainFloats = !big;
  for (std::size_t k = 0; k < 3; ++k) {
    at[k] = offsets[static_cast<std::size_t>(layout->position[k])];
    type[k] = vertex->properties[static_cast<std::size_t>(layout->position[k])].type;
    plainFloats = plainFloats && type[k] == Type::kFloat32;
  }
  const bool withNormals = layout->normal[0] != -1;
  if (withNormals) {
    for (std::size_t k = 0; k < 3; ++k) {
      normalAt[k] = offsets[static_cast<std::size_t>(layout->normal[k])];
      normalType[k] = vertex->properties[static_cast<std::size_t>(layout->normal[k])].type;
    }
  }
  const char* records = file.data() + vertexStart;
  const auto position = [&](std::size_t v, float out[3]) {
    const char* r = records + v * stride;
    if (plainFloats) {
      for (std::size_t k = 0; k < 3; ++k) std::memcpy(&out[k], r + at[k], 4);
    } else {
      for (std::size_t k = 0; k < 3; ++k) out[k] = FloatAt(r + at[k], type[k], big);
    }
  };
  CompactWelder welder(used, withNormals, positions);
  constexpr std::size_t kAhead = 16;
  const std::size_t verticesPerBlock = std::max<std::size_t>(1, kBlockBytes / stride);
  float ahead[3], p[3], n[3] = {0, 0, 0};
  for (std::size_t v = 0; v < vertexCount; ++v) {
    if (v + kAhead < vertexCount) {
      position(v + kAhead, ahead);
      welder.Prefetch(ahead);
    }
    position(v, p);
    // Unused vertices too: a file with any coordinate that is not finite is assimp's.
    if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return false;
    if ((v + 1) % verticesPerBlock == 0) {
      mapped.Release(vertexStart + (v + 1 - verticesPerBlock) * stride, verticesPerBlock * stride);
    }
    if (welded_[v] == kUnused) continue;
    if (withNormals) {
      for (std::size_t k = 0; k < 3; ++k) n[k] = FloatAt(records + v * stride + normalAt[k], normalType[k], big);
    }
    welded_[v] = welder.Add(p, n);
  }
  mapped.Release(vertexStart, vertexCount * stride);
  if (welder.ambiguous()) return false;
  welder.Finish();
  if (positions->size() < used) positions->shrink_to_fit();
  return true;
}

bool PlyFaceStream::Read(std::size_t first, std::size_t count, std::uint32_t* corners) const {
  const auto countType = static_cast<Type>(countType_), indexType = static_cast<Type>(indexType_);
  const std::size_t vertices = welded_.size();
  constexpr std::uint32_t kUnused = std::numeric_limits<std::uint32_t>::max();
  bool ok = true;
  if (ascii_) {
    if (count == 0) return true;
    // From the last checkpoint at or before the first face wanted, line by line.
    const std::size_t start = checkpoints_[first / kCheckpoint];
    LineReader in(file_->bytes(), start);
    for (std::size_t skip = first % kCheckpoint; skip > 0; --skip) in.NextLine();
    for (std::size_t f = 0; f < count; ++f) {
      std::uint64_t n = 0;
      ok = ok && in.NextLine() && in.Index(countType, &n) && n == 3;
      for (std::size_t k = 0; k < 3; ++k) {
        std::uint64_t index = vertices;
        ok = ok && in.Index(indexType, &index);
        const auto corner = static_cast<std::uint32_t>(index);
        const std::uint32_t w = ok && corner < vertices ? welded_[corner] : kUnused;
        ok = ok && w != kUnused;
        *corners++ = w != kUnused ? w : 0;
      }
      ok = ok && in.AtEnd();
    }
    file_->Release(start, in.Position() - start);
    return ok;
  }
  const char* p = file_->bytes().data() + faceStart_ + first * record_;
  for (std::size_t f = 0; f < count; ++f, p += record_) {
    std::uint64_t index[3];
    if (plain_) {
      std::uint32_t raw[3];
      std::memcpy(raw, p + 1, 12);
      ok = ok && static_cast<unsigned char>(p[0]) == 3;
      for (std::size_t k = 0; k < 3; ++k) index[k] = raw[k];
    } else {
      ok = ok && IndexAt(p, countType, big_) == 3;
      for (std::size_t k = 0; k < 3; ++k) index[k] = IndexAt(p + countBytes_ + k * indexBytes_, indexType, big_);
    }
    for (std::size_t k = 0; k < 3; ++k) {
      const std::uint32_t w = index[k] < vertices ? welded_[static_cast<std::size_t>(index[k])] : kUnused;
      ok = ok && w != kUnused;
      *corners++ = w != kUnused ? w : 0;
    }
  }
  file_->Release(faceStart_ + first * record_, count * record_);
  return ok;
}
