// One pass over the mapped file, line by line. Positions and normals are kept as the file lists
// them (faces refer to them by number); each face's corners go through its mesh's welder as they
// are read, so no array of unwelded corners exists. Numbers go through assimp's own parser, so
// they round as they do there.
#include "app/obj_reader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "app/assimp_numbers.h"

namespace {

// Longer names are rare enough to leave to assimp, whose name handling has more corners.
constexpr std::size_t kMaxNameBytes = 255;
// Longer numbers are left to assimp too (it copies words into a buffer of its own).
constexpr std::size_t kMaxNumberBytes = 63;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The words of one line, split at spaces and tabs.
class Line {
 public:
  explicit Line(std::string_view text) : text_(text) {}

  std::string_view Next() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !IsBlank(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// A plain decimal number that starts with a digit (after its sign), parsed as assimp parses it;
// false for anything else.
bool Number(std::string_view w, float* out) {
  if (w.empty() || w.size() > kMaxNumberBytes) return false;
  for (std::size_t i = 0; i < w.size(); ++i) {
    const char c = w[i];
    const bool sign = (c == '-' || c == '+') && (i == 0 || w[i - 1] == 'e' || w[i - 1] == 'E');
    if (!(c >= '0' && c <= '9') && c != '.' && c != 'e' && c != 'E' && !sign) return false;
  }
  const std::size_t lead = w[0] == '-' || w[0] == '+' ? 1 : 0;
  if (lead >= w.size()) return false;
  // Assimp does not count a word that starts with a point (".5", "-.5") as a coordinate.
  if (w[lead] < '0' || w[lead] > '9') return false;
  char buf[kMaxNumberBytes + 1];
  std::memcpy(buf, w.data(), w.size());
  buf[w.size()] = '\0';
  const char* end = nullptr;
  return assimp_numbers::ParseReal(buf, out, &end) && *end == '\0' && std::isfinite(*out);
}

// Exactly `count` finite numbers and nothing else on the line.
bool Numbers(Line& line, float* out, int count) {
  for (int k = 0; k < count; ++k) {
    if (!Number(line.Next(), &out[k])) return false;
  }
  return line.Next().empty();
}

// A 1-based OBJ index, negative counting back from `defined` (the entries read so far), turned
// 0-based. False for 0, for anything but an optional minus and digits, for a leading zero, and
// for an entry not yet defined.
bool Index(std::string_view w, std::size_t defined, std::size_t* out) {
  bool negative = false;
  if (!w.empty() && w[0] == '-') {
    negative = true;
    w.remove_prefix(1);
  }
  if (w.empty() || w.size() > 10) return false;
  // Assimp steps past an index by the digits of its value, so it reads the rest of "07" again as
  // an index of its own.
  if (w.size() > 1 && w[0] == '0') return false;
  std::uint64_t value = 0;
  for (const char c : w) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > defined) return false;
  *out = negative ? defined - value : value - 1;
  return true;
}

// One face corner: "v", "v/vt", "v//vn" or "v/vt/vn". form: which of them, so a face's corners
// can be checked to agree.
struct Corner {
  std::size_t position = 0;
  std::size_t normal = 0;
  int form = 0;  // 0: v, 1: v/vt, 2: v//vn, 3: v/vt/vn
};

bool ParseCorner(std::string_view w, std::size_t positions, std::size_t texcoords, std::size_t normals, Corner* out) {
  const std::size_t slash1 = w.find('/');
  if (!Index(w.substr(0, slash1), positions, &out->position)) return false;
  if (slash1 == std::string_view::npos) {
    out->form = 0;
    return true;
  }
  const std::string_view rest = w.substr(slash1 + 1);
  const std::size_t slash2 = rest.find('/');
  std::size_t unused = 0;
  if (slash2 == std::string_view::npos) {
    out->form = 1;
    return Index(rest, texcoords, &unused);
  }
  const std::string_view texcoord = rest.substr(0, slash2);
  if (!texcoord.empty() && !Index(texcoord, texcoords, &unused)) return false;
  out->form = texcoord.empty() ? 2 : 3;
  return Index(rest.substr(slash2 + 1), normals, &out->normal);
}

// Printable ASCII but '#' (which might start a comment) and a backslash (which may continue the
// line).
bool NameByte(char c) { return c > ' ' && c <= '~' && c != '#' && c != '\\'; }

// An object, group or material name: one word of NameBytes, and nothing after it.
bool Name(Line& line, std::string_view* out) {
  const std::string_view name = line.Next();
  if (name.empty() || name.size() > kMaxNameBytes || !line.Next().empty()) return false;
  for (const char c : name) {
    if (!NameByte(c)) return false;
  }
  *out = name;
  return true;
}

struct Building {
  RawMesh mesh;
  std::unique_ptr<VertexWelder> welder;
  int normalsGiven = -1;  // -1: no face yet; else whether the faces give normals
  // The material its faces are drawn with; none until a usemtl names one.
  std::optional<std::string> material;
};

// Bytes that assimp treats in ways a line-based reading cannot follow: NUL, a carriage return
// that does not end its line, a backslash (line continuation).
bool Plain(std::string_view line) {
  for (const char c : line) {
    if (c == '\0' || c == '\r' || c == '\\') return false;
  }
  return true;
}

}  // namespace

bool ReadObj(std::string_view file, bool keepNormals, std::vector<RawMesh>* out) {
  out->clear();
  std::vector<float> positions;  // x, y, z per v line
  std::vector<float> normals;    // x, y, z per vn line
  std::size_t texcoords = 0;
  std::set<std::string, std::less<>> names;  // every object and group so far
  std::vector<Building> meshes;
  std::optional<std::string> activeMaterial;  // what the last usemtl named
  bool anyFace = false;
  bool ambiguous = false;
  // Faces only ever go to the newest mesh, so the one before is complete when another starts: its
  // welding table goes, and only one is held at a time however many objects the file has.
  auto finishMesh = [&] {
    if (meshes.empty() || meshes.back().welder == nullptr) return;
    Building& b = meshes.back();
    ambiguous = ambiguous || b.welder->ambiguous();
    b.mesh.positions = b.welder->TakePositions();
    b.welder.reset();
    out->push_back(std::move(b.mesh));
  };
  // Objects and groups start with the material in force.
  auto startMesh = [&](std::string_view name) {
    finishMesh();
    meshes.emplace_back();
    meshes.back().mesh.nodeName = std::string(name);
    meshes.back().material = activeMaterial;
  };

  std::size_t pos = 0;
  while (pos < file.size()) {
    const char* nl = static_cast<const char*>(std::memchr(file.data() + pos, '\n', file.size() - pos));
    const std::size_t end = nl == nullptr ? file.size() : static_cast<std::size_t>(nl - file.data());
    std::string_view text = file.substr(pos, end - pos);
    pos = end + 1;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.empty()) continue;

    const char first = text[0];
    if (first == '#') {
      if (!Plain(text)) return false;
      continue;
    }
    if (IsBlank(first)) {
      // Blank lines are skipped by assimp too; an indented statement is not read by it as one.
      for (const char c : text) {
        if (!IsBlank(c)) return false;
      }
      continue;
    }
    Line line(text);
    const std::string_view keyword = line.Next();
    if (keyword.size() == text.size()) return false;  // a statement without arguments
    if (keyword == "v") {
      float p[3];
      if (!Numbers(line, p, 3)) return false;
      positions.insert(positions.end(), p, p + 3);
    } else if (keyword == "f") {
      const std::size_t vCount = positions.size() / 3, nCount = normals.size() / 3;
      Corner corners[3];
      for (Corner& c : corners) {
        if (!ParseCorner(line.Next(), vCount, texcoords, nCount, &c)) return false;
      }
      if (!line.Next().empty()) return false;  // polygons are triangulated by assimp
      if (corners[1].form != corners[0].form || corners[2].form != corners[0].form) return false;
      const bool withNormals = corners[0].form >= 2;
      if (meshes.empty()) {
        if (!names.insert("defaultobject").second) return false;
        startMesh("defaultobject");
      }
      Building& b = meshes.back();
      if (b.normalsGiven < 0) {
        b.normalsGiven = withNormals ? 1 : 0;
        b.mesh.hasNormals = keepNormals && withNormals;
        // Most files list every vertex before the faces, and welding leaves no more than that; a
        // file of many parts starts the later ones small (the table grows as needed).
        b.welder =
            std::make_unique<VertexWelder>(out->empty() ? std::max<std::size_t>(vCount, 16) : 16, b.mesh.hasNormals);
      } else if (keepNormals && b.normalsGiven != (withNormals ? 1 : 0)) {
        return false;  // assimp fills the missing normals in a way of its own
      }
      for (const Corner& c : corners) {
        const float* normal = b.mesh.hasNormals ? &normals[c.normal * 3] : nullptr;
        b.mesh.corners.push_back(b.welder->Add(&positions[c.position * 3], normal));
      }
      anyFace = true;
    } else if (keyword == "vn") {
      float n[3];
      if (!Numbers(line, n, 3)) return false;
      normals.insert(normals.end(), n, n + 3);
    } else if (keyword == "vt") {
      float t[3];
      int count = 0;
      for (std::string_view w = line.Next(); !w.empty(); w = line.Next()) {
        if (count == 3 || !Number(w, &t[count])) return false;
        ++count;
      }
      if (count < 2) return false;  // assimp refuses a texture coordinate of one component
      ++texcoords;
    } else if (keyword == "o" || keyword == "g") {
      std::string_view name;
      if (!Name(line, &name)) return false;
      // Assimp reuses an earlier object of the same name in ways that depend on which statement
      // came before; such files are its to read.
      if (!names.emplace(name).second) return false;
      startMesh(name);
    } else if (keyword == "usemtl") {
      std::string_view name;
      if (!Name(line, &name)) return false;
      activeMaterial = std::string(name);
      if (!meshes.empty()) {
        // Once a mesh has faces in one material, another material starts a new mesh of the same
        // object (so of the same node); a mesh without faces, or without a material yet, just
        // takes the new one.
        Building& b = meshes.back();
        if (b.welder != nullptr && b.material && *b.material != name) {
          const std::string node = b.mesh.nodeName;
          startMesh(node);
        } else {
          b.material = activeMaterial;
        }
      }
    } else if (keyword == "mtllib") {
      // The material library only colours the meshes; it has no say in their geometry.
      for (std::string_view w = line.Next(); !w.empty(); w = line.Next()) {
        for (const char c : w) {
          if (!NameByte(c)) return false;
        }
      }
    } else if (keyword == "s") {
      const std::string_view group = line.Next();
      if (!line.Next().empty()) return false;
      for (const char c : group) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
      }
    } else {
      return false;
    }
  }
  if (!anyFace) return false;

  finishMesh();  // an object without faces has no mesh
  return !ambiguous;
}
