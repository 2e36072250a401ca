// Import: binary and ASCII PLY and STL, and plain OBJ, go to our own readers first (ply_reader.h,
// stl_reader.h, obj_reader.h), which hand back what they do not take. Otherwise assimp reads the
// file; we undo the few frame changes its readers make on their own, pick the file's up axis, and
// walk the node tree ourselves so every (node, mesh) pair becomes one host mesh with its world
// transform applied.
// Export: the host mesh goes into a one-node aiScene, turned into the format's frame, and out
// through a memory blob and AtomicFileWriter.
#include "app/mesh_io.h"

#include <assimp/BaseImporter.h>
#include <assimp/commonMetaData.h>
#include <assimp/config.h>
#include <assimp/importerdesc.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <assimp/Exporter.hpp>
#include <assimp/Importer.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "app/mapped_file.h"
#include "app/obj_reader.h"
#include "app/ply_reader.h"
#include "app/raw_mesh.h"
#include "app/stl_reader.h"
#include "host/atomic_file.h"

namespace {

// The largest mesh taken, in vertices and in faces: far beyond any height field worth rendering
// (a 2.7 GB face array), and every count and index stays well inside the host's int.
constexpr std::size_t kMaxElements = std::size_t{1} << 27;

enum class Format { kObj, kPly, kStl, kGltf, kFbx, kCollada, k3ds, kOther };

struct SignedAxis {
  int axis = 2;  // 0 = X, 1 = Y, 2 = Z
  int sign = 1;  // +1 or -1
};

// An affine map in double precision: p' = m[.][0..2] p + m[.][3].
struct Affine {
  std::array<std::array<double, 4>, 3> m{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}};

  // Terms with a zero coefficient are skipped, not added as 0 * p: a signed permutation (and the
  // identity) then moves an infinite coordinate to its new place instead of turning the whole
  // point into NaN through 0 * inf.
  std::array<double, 3> Apply(double x, double y, double z) const {
    std::array<double, 3> out{};
    for (std::size_t r = 0; r < 3; ++r) {
      double sum = m[r][3];
      if (m[r][0] != 0.0) sum += m[r][0] * x;
      if (m[r][1] != 0.0) sum += m[r][1] * y;
      if (m[r][2] != 0.0) sum += m[r][2] * z;
      out[r] = sum;
    }
    return out;
  }
};

// a after b: (a * b)(p) = a(b(p)).
Affine operator*(const Affine& a, const Affine& b) {
  Affine c;
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t k = 0; k < 4; ++k) {
      double sum = k == 3 ? a.m[r][3] : 0.0;
      for (std::size_t j = 0; j < 3; ++j) sum += a.m[r][j] * b.m[j][k];
      c.m[r][k] = sum;
    }
  }
  return c;
}

Affine FromAssimp(const aiMatrix4x4& t) {
  Affine a;
  a.m = {{{t.a1, t.a2, t.a3, t.a4}, {t.b1, t.b2, t.b3, t.b4}, {t.c1, t.c2, t.c3, t.c4}}};
  return a;
}

// The rotation that takes the signed axis `up` to +Z. +Y up is +90 degrees about X (Y -> Z,
// Z -> -Y); +X up is -90 degrees about Y (X -> Z, Z -> -X); the negative axes turn the other way
// (-Z up is 180 degrees about X). Every one is a proper rotation, so winding and handedness stay.
Affine UpToZ(SignedAxis up) {
  Affine a;
  const double s = up.sign;
  if (up.axis == 1) {
    a.m = {{{1, 0, 0, 0}, {0, 0, -s, 0}, {0, s, 0, 0}}};
  } else if (up.axis == 0) {
    a.m = {{{0, 0, -s, 0}, {0, 1, 0, 0}, {s, 0, 0, 0}}};
  } else {
    a.m = {{{1, 0, 0, 0}, {0, s, 0, 0}, {0, 0, s, 0}}};
  }
  return a;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ExtensionOf(const std::string& path) {
  const std::string ext = std::filesystem::path(path).extension().string();
  return ext.empty() ? ext : Lower(ext.substr(1));
}

// Assimp's messages sometimes span lines; ours never do.
std::string OneLine(std::string s) {
  std::replace(s.begin(), s.end(), '\n', ' ');
  std::replace(s.begin(), s.end(), '\r', ' ');
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string AxisName(SignedAxis a) { return std::string(a.sign < 0 ? "-" : "") + "xyz"[a.axis]; }

const char* FormatName(Format f) {
  switch (f) {
    case Format::kObj: return "OBJ";
    case Format::kPly: return "PLY";
    case Format::kStl: return "STL";
    case Format::kGltf: return "glTF";
    case Format::kFbx: return "FBX";
    case Format::kCollada: return "COLLADA";
    case Format::k3ds: return "3DS";
    case Format::kOther: break;
  }
  return "other";
}

// Which reader read the file: assimp names it in the scene's metadata; the extension is the
// fall-back for readers that leave the metadata out.
Format IdentifyFormat(const aiScene& scene, const std::string& path) {
  aiString reader;
  if (scene.mMetaData != nullptr && scene.mMetaData->Get(AI_METADATA_SOURCE_FORMAT, reader)) {
    const std::string_view r = reader.C_Str();
    if (r.find("Wavefront") != r.npos) return Format::kObj;
    if (r.find("(PLY)") != r.npos) return Format::kPly;
    if (r.find("(STL)") != r.npos) return Format::kStl;
    if (r.find("glTF") != r.npos) return Format::kGltf;
    if (r.find("FBX") != r.npos) return Format::kFbx;
    if (r.find("Collada") != r.npos) return Format::kCollada;
    if (r.find("3DS") != r.npos) return Format::k3ds;
  }
  const std::string ext = ExtensionOf(path);
  if (ext == "obj") return Format::kObj;
  if (ext == "ply") return Format::kPly;
  if (ext == "stl") return Format::kStl;
  if (ext == "gltf" || ext == "glb") return Format::kGltf;
  if (ext == "fbx") return Format::kFbx;
  if (ext == "dae" || ext == "zae") return Format::kCollada;
  if (ext == "3ds") return Format::k3ds;
  return Format::kOther;
}

// The first `limit` bytes of the file, or less.
std::string ReadHead(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  std::string head(limit, '\0');
  in.read(head.data(), static_cast<std::streamsize>(limit));
  head.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return head;
}

// "x", "+Y", "-z" -> the axis.
std::optional<SignedAxis> ParseAxis(std::string_view word) {
  SignedAxis a;
  if (!word.empty() && (word[0] == '+' || word[0] == '-')) {
    a.sign = word[0] == '-' ? -1 : 1;
    word.remove_prefix(1);
  }
  if (word.size() != 1) return std::nullopt;
  const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(word[0])));
  if (c < 'x' || c > 'z') return std::nullopt;
  a.axis = c - 'x';
  return a;
}

// PLY has no up-axis field; some writers state it in a header comment. Accepted, in a "comment"
// or "obj_info" line: "up z", "up_axis: -y", "upaxis=Z", or one word "z_up", "zup", "z-up".
std::optional<SignedAxis> PlyHeaderUpAxis(const std::string& path) {
  const std::string head = ReadHead(path, std::size_t{64} * 1024);
  const std::size_t end = head.find("end_header");
  std::size_t pos = 0;
  while (pos < std::min(end, head.size())) {
    std::size_t eol = head.find('\n', pos);
    if (eol == std::string::npos) eol = head.size();
    std::string line = Lower(head.substr(pos, eol - pos));
    pos = eol + 1;
    for (char& c : line) {
      if (c == '=' || c == ':' || c == '\t' || c == '\r') c = ' ';
    }
    std::vector<std::string> words;
    for (std::size_t i = 0; i < line.size();) {
      const std::size_t j = std::min(line.find(' ', i), line.size());
      if (j > i) words.push_back(line.substr(i, j - i));
      i = j + 1;
    }
    if (words.empty() || (words[0] != "comment" && words[0] != "obj_info")) continue;
    for (std::size_t w = 1; w < words.size(); ++w) {
      const std::string& word = words[w];
      const bool upWord = word == "up" || word == "up_axis" || word == "upaxis" || word == "up-axis";
      if (upWord && w + 1 < words.size()) {
        if (auto axis = ParseAxis(words[w + 1])) return axis;
      }
      for (const char* suffix : {"_up", "-up", "up"}) {
        const std::size_t n = std::strlen(suffix);
        if (word.size() > n && word.compare(word.size() - n, n, suffix) == 0) {
          if (auto axis = ParseAxis(std::string_view(word).substr(0, word.size() - n))) return axis;
        }
      }
    }
  }
  return std::nullopt;
}

// COLLADA's <asset><up_axis>, which comes first in the document. Assimp is told to ignore it (so
// the scene keeps the file's own axes, which --up names) and we apply it here instead. A zipped
// .zae cannot be scanned and reads as COLLADA's default, Y up.
std::optional<SignedAxis> ColladaUpAxis(const std::string& path) {
  const std::string head = ReadHead(path, std::size_t{64} * 1024);
  const std::size_t open = head.find("<up_axis>");
  if (open == std::string::npos) return std::nullopt;
  const std::size_t from = open + std::strlen("<up_axis>");
  const std::size_t close = head.find("</up_axis>", from);
  if (close == std::string::npos) return std::nullopt;
  std::string value = head.substr(from, close - from);
  std::erase_if(value, [](unsigned char c) { return std::isspace(c) != 0; });
  if (value.size() == 4 && Lower(value.substr(1)) == "_up") return ParseAxis(value.substr(0, 1));
  return std::nullopt;
}

std::optional<SignedAxis> FbxUpAxis(const aiScene& scene) {
  std::int32_t axis = 0, sign = 1;
  if (scene.mMetaData == nullptr || !scene.mMetaData->Get("UpAxis", axis) || axis < 0 || axis > 2) {
    return std::nullopt;
  }
  if (!scene.mMetaData->Get("UpAxisSign", sign)) sign = 1;
  return SignedAxis{axis, sign < 0 ? -1 : 1};
}

struct UpChoice {
  SignedAxis axis;
  std::string why;
};

// The file's up axis: --up, else what the file says, else the format's convention. Formats we do
// not know are taken as assimp delivers them, which is Y up by assimp's own convention.
// scene: null for files our own readers read (PLY and STL, which need none).
UpChoice ChooseUpAxis(Format format, const aiScene* scene, const std::string& path, const ImportOptions& options) {
  if (options.up) return {*ParseAxis(std::string_view(&*options.up, 1)), "--up"};
  const std::string name = FormatName(format);
  constexpr SignedAxis kY{1, 1}, kZ{2, 1};
  switch (format) {
    case Format::kStl:
    case Format::k3ds: return {kZ, name + " convention"};
    case Format::kObj:
    case Format::kGltf: return {kY, name + " convention"};
    case Format::kPly:
      if (auto axis = PlyHeaderUpAxis(path)) return {*axis, "PLY header comment"};
      return {kY, "PLY convention"};
    case Format::kFbx:
      if (scene == nullptr) break;
      if (auto axis = FbxUpAxis(*scene)) return {*axis, "FBX UpAxis"};
      return {kY, "FBX default"};
    case Format::kCollada:
      if (auto axis = ColladaUpAxis(path)) return {*axis, "COLLADA <up_axis>"};
      return {kY, "COLLADA default"};
    case Format::kOther: break;
  }
  return {kY, "assimp's convention"};
}

struct NodeMesh {
  std::string nodeName;  // as in the file, possibly empty
  unsigned mesh = 0;
  Affine world;  // file frame of the node's mesh -> host frame
};

// Depth first, parents before children, children in file order; a stack rather than recursion
// so a deep node tree cannot exhaust ours.
std::vector<NodeMesh> CollectNodeMeshes(const aiScene& scene, const Affine& toHost) {
  std::vector<NodeMesh> out;
  std::vector<std::pair<const aiNode*, Affine>> stack{{scene.mRootNode, toHost}};
  while (!stack.empty()) {
    auto [node, parent] = stack.back();
    stack.pop_back();
    const Affine world = parent * FromAssimp(node->mTransformation);
    for (unsigned i = 0; i < node->mNumMeshes; ++i) {
      out.push_back({node->mName.C_Str(), node->mMeshes[i], world});
    }
    for (unsigned c = node->mNumChildren; c-- > 0;) stack.emplace_back(node->mChildren[c], world);
  }
  return out;
}

bool IsTriangleMesh(const aiMesh& mesh) { return (mesh.mPrimitiveTypes & aiPrimitiveType_TRIANGLE) != 0; }

Mesh ToHostMesh(const aiMesh& source, const Affine& world, DWORD smGroup) {
  Mesh mesh;
  mesh.verts.reserve(source.mNumVertices);
  for (unsigned i = 0; i < source.mNumVertices; ++i) {
    const aiVector3D& p = source.mVertices[i];
    const std::array<double, 3> q = world.Apply(p.x, p.y, p.z);
    mesh.verts.emplace_back(static_cast<float>(q[0]), static_cast<float>(q[1]), static_cast<float>(q[2]));
  }
  mesh.faces.reserve(source.mNumFaces);
  for (unsigned i = 0; i < source.mNumFaces; ++i) {
    const aiFace& face = source.mFaces[i];
    if (face.mNumIndices != 3) continue;
    Face out;
    out.setVerts(face.mIndices[0], face.mIndices[1], face.mIndices[2]);
    out.setSmGroup(smGroup);
    mesh.faces.push_back(out);
  }
  return mesh;
}

std::string UniqueName(const std::string& nodeName, std::set<std::string>& used) {
  const std::string base = nodeName.empty() ? "mesh" : nodeName;
  std::string name = base;
  for (int k = 1; used.count(name) != 0; ++k) name = base + "." + std::to_string(k);
  used.insert(name);
  return name;
}

std::string NameList(const std::vector<std::string>& names) {
  constexpr std::size_t kShown = 40;
  std::string list;
  for (std::size_t i = 0; i < names.size() && i < kShown; ++i) list += (i == 0 ? "" : ", ") + names[i];
  if (names.size() > kShown) list += ", ... (" + std::to_string(names.size() - kShown) + " more)";
  return list;
}

// Missing, a folder, or not readable: said plainly before assimp says something vaguer.
std::string CheckReadable(const std::string& path) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (!std::filesystem::exists(status)) return "no such file";
  if (std::filesystem::is_directory(status)) return "is a folder, not a file";
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string("cannot be read: ") + std::strerror(errno);
  return "";
}

// Assimp's PLY reader (5.2) trusts three things in a header that a file need not give it, and it
// stumbles on lone carriage returns (see below). It reads header lines until one says end_header
// and does not stop at the end of the file (a header without that line hangs the import); it sizes
// its vertex and face arrays by the first element of each kind but fills them from every one (a
// second, larger one writes past the array); and it believes an element's count, making up entries
// the file does not hold (a count in the billions reads past the end for minutes). Such headers are
// refused here first, whatever the file's extension (assimp also picks its reader by content). No
// file needs two elements of one name, so any repeat is refused; an entry takes at least one byte
// (a line, in ASCII), so a count above the bytes after the header cannot be true. (Assimp walks
// every entry even of an element without properties, so that holds for those too.)
// Words are split at spaces and tabs only, as assimp splits them. Empty when the file is no PLY
// or its header is safe to hand over.
std::string PlyHeaderProblem(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char magic[3] = {};
  if (!in.read(magic, 3)) return "";
  for (int i = 0; i < 3; ++i) {
    if (std::tolower(static_cast<unsigned char>(magic[i])) != "ply"[i]) return "";
  }
  auto nextWord = [](std::string_view& text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    const std::size_t end = std::min(text.find_first_of(" \t"), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    return word;
  };
  struct Element {
    std::string name;
    std::uint64_t count = 0;  // saturates rather than wrapping
  };
  std::vector<Element> elements;
  const auto countOf = [](std::string_view digits) {
    std::uint64_t count = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') break;
      count = count > (UINT64_MAX - 9) / 10 ? UINT64_MAX : count * 10 + static_cast<unsigned>(c - '0');
    }
    return count;
  };
  std::error_code sizeError;
  const std::uint64_t fileBytes = std::filesystem::file_size(path, sizeError);
  std::string line;
  while (std::getline(in, line)) {
    // Assimp takes a lone carriage return for a line end in some places and not in others (after
    // a comment one crashes it; a header of them can hide end_header from it and hang it), so
    // only \n and \r\n end header lines here and any other carriage return is refused.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('\r') != std::string::npos) return "a PLY header with a line ending in a lone carriage return";
    std::string_view words(line);
    const std::string_view keyword = nextWord(words);
    if (keyword == "end_header") {
      const std::streamoff after = in.tellg();
      const std::uint64_t headerEnd = after < 0 ? fileBytes : static_cast<std::uint64_t>(after);
      const std::uint64_t dataBytes = sizeError || headerEnd > fileBytes ? 0 : fileBytes - headerEnd;
      for (const Element& element : elements) {
        if (element.count > dataBytes) {
          return "a PLY header that promises more '" + element.name + "' entries than the file has bytes";
        }
      }
      return "";
    }
    if (keyword != "element") continue;
    const std::string_view name = nextWord(words);
    if (std::any_of(elements.begin(), elements.end(), [&](const Element& e) { return e.name == name; })) {
      return name == "vertex" ? std::string("a PLY header that declares its vertices twice")
                              : "a PLY header that declares the element '" + std::string(name) + "' twice";
    }
    elements.push_back({std::string(name), countOf(nextWord(words))});
  }
  return "a PLY header without an end_header line";
}

// Whether some mesh of scene has a face without vertex indices (see ImportMesh).
bool HasEmptyFace(const aiScene& scene) {
  for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
    const aiMesh* mesh = scene.mMeshes[m];
    for (unsigned f = 0; mesh != nullptr && mesh->mFaces != nullptr && f < mesh->mNumFaces; ++f) {
      if (mesh->mFaces[f].mNumIndices == 0) return true;
    }
  }
  return false;
}

ImportResult Failed(const std::string& path, const std::string& what) {
  ImportResult result;
  result.error = path + ": " + OneLine(what);
  return result;
}

// The refusals that come before any reader: a bad --up, a file that cannot be read, a PLY header
// assimp would stumble on. Empty when the file may go on to a reader.
std::optional<ImportResult> RefusedUpFront(const std::string& path, const ImportOptions& options) {
  if (options.up && !ParseAxis(std::string_view(&*options.up, 1))) {
    return Failed(path, std::string("the up axis must be x, y or z, not '") + *options.up + "'");
  }
  if (std::string why = CheckReadable(path); !why.empty()) return Failed(path, why);
  if (std::string why = PlyHeaderProblem(path); !why.empty()) return Failed(path, why);
  return std::nullopt;
}

ImportResult TooMany(const std::string& path, const std::string& what, std::size_t verts, std::size_t faces) {
  return Failed(path, what + " " + std::to_string(verts) + " vertices and " + std::to_string(faces) +
                          " faces; at most " + std::to_string(kMaxElements) + " of each are supported");
}

// Our own PLY, STL and OBJ readers, chosen by extension as assimp chooses its readers. Nothing when
// they do not take the file. What follows the reading (names, --node, limits, frame) is the
// assimp path's, step for step.
std::optional<ImportResult> ReadWithOwnReaders(const std::string& path, const ImportOptions& options) {
  const std::string ext = ExtensionOf(path);
  if (ext != "ply" && ext != "stl" && ext != "obj") return std::nullopt;
  MappedFile file;
  if (!file.Open(path, nullptr)) return std::nullopt;
  const Format format = ext == "ply" ? Format::kPly : ext == "stl" ? Format::kStl : Format::kObj;
  std::vector<RawMesh> meshes;
  if (format == Format::kPly) {
    meshes.emplace_back();
    if (!ReadPly(file.bytes(), !options.flat, &meshes.back())) return std::nullopt;
  } else if (format == Format::kStl) {
    if (!ReadStl(file.bytes(), &meshes)) return std::nullopt;
  } else if (!ReadObj(file.bytes(), !options.flat, &meshes)) {
    return std::nullopt;
  }

  const UpChoice up = ChooseUpAxis(format, nullptr, path, options);
  const Affine world = UpToZ(up.axis);
  std::set<std::string> used;
  std::vector<std::string> names;
  for (const RawMesh& m : meshes) names.push_back(UniqueName(m.nodeName, used));
  std::vector<std::size_t> picked;
  for (std::size_t i = 0; i < meshes.size(); ++i) {
    if (options.node.empty() || options.node == names[i] || options.node == meshes[i].nodeName) picked.push_back(i);
  }
  if (picked.empty()) {
    return Failed(path, "no mesh named '" + options.node + "'; the file has: " + NameList(names));
  }
  std::size_t totalVerts = 0, totalFaces = 0;
  for (std::size_t i : picked) {
    const std::size_t verts = meshes[i].positions.size() / 3, faces = meshes[i].corners.size() / 3;
    if (verts > kMaxElements || faces > kMaxElements) return TooMany(path, "mesh '" + names[i] + "' has", verts, faces);
    totalVerts += verts;
    totalFaces += faces;
  }
  if (totalVerts > kMaxElements || totalFaces > kMaxElements) {
    return TooMany(path, "the meshes together have", totalVerts, totalFaces);
  }

  ImportResult result;
  result.upAxisUsed = AxisName(up.axis) + " (" + up.why + ")";
  result.smoothingFromFile = format != Format::kStl && !options.flat;
  const DWORD smGroup = options.flat ? 0 : 1;
  for (std::size_t i : picked) {
    RawMesh& source = meshes[i];
    result.smoothingFromFile = result.smoothingFromFile && source.hasNormals;
    Mesh mesh;
    mesh.verts.reserve(source.positions.size() / 3);
    for (std::size_t v = 0; v < source.positions.size(); v += 3) {
      const std::array<double, 3> q =
          world.Apply(source.positions[v], source.positions[v + 1], source.positions[v + 2]);
      mesh.verts.emplace_back(static_cast<float>(q[0]), static_cast<float>(q[1]), static_cast<float>(q[2]));
    }
    source.positions = {};
    mesh.faces.reserve(source.corners.size() / 3);
    for (std::size_t c = 0; c < source.corners.size(); c += 3) {
      Face face;
      face.setVerts(source.corners[c], source.corners[c + 1], source.corners[c + 2]);
      face.setSmGroup(smGroup);
      mesh.faces.push_back(face);
    }
    source.corners = {};
    result.meshes.push_back({names[i], std::move(mesh)});
  }
  return result;
}

ImportResult ReadWithAssimp(const std::string& path, const ImportOptions& options) {
  // Welding compares every vertex component assimp keeps, so the components that do not matter
  // to a height map are removed first. Normals stay: where a file's normals differ its vertices
  // stay apart and the hard edge survives. STL normals are per facet and carry no smoothing, and
  // flat needs none, so there the vertices weld by position alone.
  const bool keepNormals = !options.flat && ExtensionOf(path) != "stl";
  unsigned removed =
      aiComponent_TEXCOORDS | aiComponent_COLORS | aiComponent_TANGENTS_AND_BITANGENTS | aiComponent_BONEWEIGHTS;
  if (!keepNormals) removed |= aiComponent_NORMALS;

  Assimp::Importer importer;
  importer.SetPropertyInteger(AI_CONFIG_PP_RVC_FLAGS, static_cast<int>(removed));
  importer.SetPropertyBool(AI_CONFIG_IMPORT_COLLADA_IGNORE_UP_DIRECTION, true);
  // Assimp's glTF 1.0 reader (5.2) reads past its buffers and leaks on damaged files. glTF 2.0
  // replaced 1.0 in 2017 and has a reader of its own, so the 1.0 reader is given no file at all.
  // An unregistered loader is no longer the importer's to delete, so it is deleted here.
  for (std::size_t i = importer.GetImporterCount(); i-- > 0;) {
    const aiImporterDesc* info = importer.GetImporterInfo(i);
    if (info != nullptr && std::string_view(info->mName) == "glTF Importer") {
      Assimp::BaseImporter* reader = importer.GetImporter(i);
      if (importer.UnregisterLoader(reader) == aiReturn_SUCCESS) delete reader;
    }
  }
  // A face without indices (a PLY face list may say 0) counts as a polygon to assimp, and its
  // triangulation then fails an assertion that aborts the whole process; validation lets such a
  // face through. So the file is read without steps, refused if it has one, and only then do the
  // steps run (validation first, as ReadFile would have run it).
  const aiScene* scene = importer.ReadFile(path, 0);
  if (scene != nullptr && scene->mMeshes != nullptr && HasEmptyFace(*scene)) {
    return Failed(path, "a face without vertices");
  }
  if (scene != nullptr) {
    scene = importer.ApplyPostProcessing(aiProcess_Triangulate | aiProcess_SortByPType | aiProcess_RemoveComponent |
                                         aiProcess_JoinIdenticalVertices | aiProcess_ValidateDataStructure);
  }
  if (scene == nullptr || scene->mRootNode == nullptr) {
    const std::string why = importer.GetErrorString();
    return Failed(path, why.empty() ? "assimp could not read it" : why);
  }

  const Format format = IdentifyFormat(*scene, path);
  const UpChoice up = ChooseUpAxis(format, scene, path, options);
  // Assimp's 3DS reader turns the file's Z-up data to Y up in the root node; undo that so the
  // scene is in the file's own axes like every other format's.
  const Affine fileFrame = format == Format::k3ds ? UpToZ({1, 1}) : Affine();
  std::vector<NodeMesh> pairs = CollectNodeMeshes(*scene, UpToZ(up.axis) * fileFrame);
  if (pairs.empty()) return Failed(path, "no meshes in the file");
  std::erase_if(pairs, [&](const NodeMesh& p) { return !IsTriangleMesh(*scene->mMeshes[p.mesh]); });
  if (pairs.empty()) return Failed(path, "no triangles in the file (only points or lines)");

  std::set<std::string> used;
  std::vector<std::string> names;
  for (const NodeMesh& p : pairs) names.push_back(UniqueName(p.nodeName, used));
  std::vector<std::size_t> picked;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (options.node.empty() || options.node == names[i] || options.node == pairs[i].nodeName) {
      picked.push_back(i);
    }
  }
  if (picked.empty()) {
    return Failed(path, "no mesh named '" + options.node + "'; the file has: " + NameList(names));
  }

  std::size_t totalVerts = 0, totalFaces = 0;
  for (std::size_t i : picked) {
    const aiMesh& m = *scene->mMeshes[pairs[i].mesh];
    if (m.mNumVertices > kMaxElements || m.mNumFaces > kMaxElements) {
      return TooMany(path, "mesh '" + names[i] + "' has", m.mNumVertices, m.mNumFaces);
    }
    totalVerts += m.mNumVertices;
    totalFaces += m.mNumFaces;
  }
  if (totalVerts > kMaxElements || totalFaces > kMaxElements) {
    return TooMany(path, "the meshes together have", totalVerts, totalFaces);
  }

  ImportResult result;
  result.upAxisUsed = AxisName(up.axis) + " (" + up.why + ")";
  result.smoothingFromFile = keepNormals && format != Format::kStl;
  const DWORD smGroup = options.flat ? 0 : 1;
  for (std::size_t i : picked) {
    const aiMesh& source = *scene->mMeshes[pairs[i].mesh];
    result.smoothingFromFile = result.smoothingFromFile && source.HasNormals();
    result.meshes.push_back({names[i], ToHostMesh(source, pairs[i].world, smGroup)});
  }
  return result;
}

}  // namespace

ImportResult ImportMesh(const std::string& path, const ImportOptions& options) {
  if (std::optional<ImportResult> refused = RefusedUpFront(path, options)) return *std::move(refused);
  if (std::optional<ImportResult> own = ReadWithOwnReaders(path, options)) return *std::move(own);
  return ReadWithAssimp(path, options);
}

ImportResult ImportMeshWithAssimp(const std::string& path, const ImportOptions& options) {
  if (std::optional<ImportResult> refused = RefusedUpFront(path, options)) return *std::move(refused);
  return ReadWithAssimp(path, options);
}

std::optional<ImportResult> ImportMeshWithOwnReaders(const std::string& path, const ImportOptions& options) {
  if (std::optional<ImportResult> refused = RefusedUpFront(path, options)) return *std::move(refused);
  return ReadWithOwnReaders(path, options);
}

std::unique_ptr<StreamedMesh> OpenStreamedMesh(const std::string& path, const ImportOptions& options) {
  if (!options.node.empty() || ExtensionOf(path) != "ply") return nullptr;
  if (RefusedUpFront(path, options)) return nullptr;
  std::unique_ptr<StreamedMesh> stream(new StreamedMesh);
  if (!stream->file_.Open(path, nullptr, /*populate=*/false)) return nullptr;
  // More vertices than the import takes is the import's to refuse.
  std::vector<Point3>& verts = stream->vertices_.verts;
  if (!stream->ply_.Open(stream->file_, !options.flat, kMaxElements, &verts)) return nullptr;
  if (stream->ply_.FaceCount() > kMaxElements) return nullptr;
  // The import's frame, point for point.
  const Affine world = UpToZ(ChooseUpAxis(Format::kPly, nullptr, path, options).axis);
  for (Point3& p : verts) {
    const std::array<double, 3> q = world.Apply(p.x, p.y, p.z);
    p = Point3(static_cast<float>(q[0]), static_cast<float>(q[1]), static_cast<float>(q[2]));
  }
  stream->smGroup_ = options.flat ? 0 : 1;
  return stream;
}

bool StreamedMesh::Read(std::size_t first, std::size_t count, Face* out) const {
  std::vector<std::uint32_t> corners(count * 3);
  if (!ply_.Read(first, count, corners.data())) return false;
  for (std::size_t f = 0; f < count; ++f) {
    Face face;
    face.setVerts(corners[f * 3], corners[f * 3 + 1], corners[f * 3 + 2]);
    face.setSmGroup(smGroup_);
    out[f] = face;
  }
  return true;
}

Mesh MergeMeshes(const std::vector<ImportedMesh>& meshes) {
  Mesh merged;
  std::size_t verts = 0, faces = 0;
  for (const ImportedMesh& m : meshes) {
    verts += m.mesh.verts.size();
    faces += m.mesh.faces.size();
  }
  merged.verts.reserve(verts);
  merged.faces.reserve(faces);
  for (const ImportedMesh& m : meshes) {
    const auto base = static_cast<DWORD>(merged.verts.size());
    merged.verts.insert(merged.verts.end(), m.mesh.verts.begin(), m.mesh.verts.end());
    for (Face f : m.mesh.faces) {
      f.setVerts(f.v[0] + base, f.v[1] + base, f.v[2] + base);
      merged.faces.push_back(f);
    }
  }
  return merged;
}

namespace {

struct ExportFormat {
  const char* extension;
  const char* assimpId;
  // The file is read back as Y up (its format's convention, or the axis assimp's writer states
  // in the file), so the host's Z-up data is turned to Y up before writing.
  bool yUp;
};

// Binary where the format has it: binary floats come back bit for bit. FBX is the exception:
// assimp 5.2's binary FBX writer produces files its own reader rejects ("block offset is out of
// range"), so .fbx is written as ASCII FBX 7.4, which assimp reads back (some tools read only
// binary FBX). OBJ gets no .mtl, since only one file is written.
constexpr ExportFormat kExportFormats[] = {
    {"dae", "collada", true},  {"fbx", "fbxa", true}, {"glb", "glb2", true},  {"gltf", "gltf2", true},
    {"obj", "objnomtl", true}, {"ply", "plyb", true}, {"stl", "stlb", false},
};

bool ExporterHas(const Assimp::Exporter& exporter, std::string_view id) {
  for (std::size_t i = 0; i < exporter.GetExportFormatCount(); ++i) {
    if (id == exporter.GetExportFormatDescription(i)->id) return true;
  }
  return false;
}

std::string Base64(const unsigned char* data, std::size_t n) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  for (std::size_t i = 0; i < n; i += 3) {
    const std::uint32_t b0 = data[i];
    const std::uint32_t b1 = i + 1 < n ? data[i + 1] : 0;
    const std::uint32_t b2 = i + 2 < n ? data[i + 2] : 0;
    const std::uint32_t triple = (b0 << 16) | (b1 << 8) | b2;
    out += kDigits[(triple >> 18) & 63];
    out += kDigits[(triple >> 12) & 63];
    out += i + 1 < n ? kDigits[(triple >> 6) & 63] : '=';
    out += i + 2 < n ? kDigits[triple & 63] : '=';
  }
  return out;
}

// Per-vertex normals: the sum of the (area-weighted) normals of the faces around each vertex.
// A vertex no face uses, or whose faces cancel, gets +Z.
std::vector<aiVector3D> VertexNormals(const Mesh& mesh) {
  std::vector<Point3> sums(mesh.verts.size());
  for (const Face& f : mesh.faces) {
    const Point3 &a = mesh.verts[f.v[0]], &b = mesh.verts[f.v[1]], &c = mesh.verts[f.v[2]];
    const Point3 n = CrossProd(b - a, c - a);
    for (DWORD v : f.v) sums[v] += n;
  }
  std::vector<aiVector3D> normals;
  normals.reserve(sums.size());
  for (const Point3& s : sums) {
    const Point3 n = Normalize(s);
    if (Length(n) > 0.5f) {
      normals.emplace_back(n.x, n.y, n.z);
    } else {
      normals.emplace_back(0.0f, 0.0f, 1.0f);
    }
  }
  return normals;
}

// The host mesh as a one-node scene in the file's frame: Z up as it is, or turned to Y up by the
// inverse of the import rotation, (x, y, z) -> (x, z, -y), which is exact in floating point.
std::unique_ptr<aiScene> SceneOf(const Mesh& mesh, const std::string& name, bool yUp) {
  auto toFile = [yUp](const Point3& p) { return yUp ? aiVector3D(p.x, p.z, -p.y) : aiVector3D(p.x, p.y, p.z); };
  auto scene = std::make_unique<aiScene>();
  scene->mRootNode = new aiNode(name);
  scene->mRootNode->mNumMeshes = 1;
  scene->mRootNode->mMeshes = new unsigned[1]{0};
  scene->mNumMaterials = 1;
  scene->mMaterials = new aiMaterial* [1] { new aiMaterial() };
  scene->mNumMeshes = 1;
  scene->mMeshes = new aiMesh* [1] { new aiMesh() };

  aiMesh& out = *scene->mMeshes[0];
  out.mName = name;
  out.mMaterialIndex = 0;
  out.mPrimitiveTypes = aiPrimitiveType_TRIANGLE;
  out.mNumVertices = static_cast<unsigned>(mesh.verts.size());
  out.mVertices = new aiVector3D[mesh.verts.size()];
  out.mNormals = new aiVector3D[mesh.verts.size()];
  const std::vector<aiVector3D> normals = VertexNormals(mesh);
  for (std::size_t i = 0; i < mesh.verts.size(); ++i) {
    out.mVertices[i] = toFile(mesh.verts[i]);
    out.mNormals[i] = toFile(Point3(normals[i].x, normals[i].y, normals[i].z));
  }
  out.mNumFaces = static_cast<unsigned>(mesh.faces.size());
  out.mFaces = new aiFace[mesh.faces.size()];
  for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
    out.mFaces[f].mNumIndices = 3;
    out.mFaces[f].mIndices = new unsigned[3]{mesh.faces[f].v[0], mesh.faces[f].v[1], mesh.faces[f].v[2]};
  }
  return scene;
}

bool Fail(const std::string& path, const std::string& what, std::string* error) {
  *error = path + ": " + OneLine(what);
  return false;
}

}  // namespace

bool ExportMesh(const std::string& path, const Mesh& mesh, const std::string& name, std::string* error) {
  const std::string ext = ExtensionOf(path);
  const ExportFormat* format = nullptr;
  for (const ExportFormat& f : kExportFormats) {
    if (ext == f.extension) format = &f;
  }
  Assimp::Exporter exporter;
  if (format == nullptr || !ExporterHas(exporter, format->assimpId)) {
    std::string list;
    for (const std::string& e : SupportedExportExtensions()) list += (list.empty() ? "" : ", ") + e;
    const std::string what = ext.empty() ? "no file extension" : "cannot write ." + ext + " files";
    return Fail(path, what + " (mesh formats: " + list + ")", error);
  }
  if (mesh.faces.empty()) return Fail(path, "nothing to write: the mesh has no faces", error);
  for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
    if (!mesh.faceIsValid(static_cast<int>(f))) {
      const std::string count = std::to_string(mesh.verts.size());
      return Fail(path, "face " + std::to_string(f) + " refers to a vertex beyond its " + count, error);
    }
  }

  const std::unique_ptr<aiScene> scene = SceneOf(mesh, name.empty() ? "mesh" : name, format->yUp);
  const aiExportDataBlob* blob = exporter.ExportToBlob(scene.get(), format->assimpId);
  if (blob == nullptr) {
    return Fail(path, std::string("assimp could not write it: ") + exporter.GetErrorString(), error);
  }

  std::string bytes(static_cast<const char*>(blob->data), blob->size);
  if (ext == "gltf") {
    // The JSON refers to its buffer by a placeholder file name. The buffer goes into the JSON as a
    // data URI instead, so the .gltf stands alone and is written (or not) as one file.
    const std::string placeholder = "\"$blobfile.bin\"";
    const std::size_t at = bytes.find(placeholder);
    if (blob->next == nullptr || at == std::string::npos) {
      return Fail(path, "assimp's glTF writer gave no buffer to embed", error);
    }
    const auto* data = static_cast<const unsigned char*>(blob->next->data);
    bytes.replace(at, placeholder.size(),
                  "\"data:application/octet-stream;base64," + Base64(data, blob->next->size) + "\"");
  } else if (blob->next != nullptr) {
    return Fail(path, "assimp wrote more than one file for it", error);
  }

  AtomicFileWriter writer;
  std::string why;
  if (!writer.Open(path, &why) ||
      !writer.Write(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &why) || !writer.Commit(&why)) {
    return Fail(path, why, error);
  }
  return true;
}

std::vector<std::string> SupportedImportExtensions() {
  std::string list;  // "*.3ds;*.obj;..."
  Assimp::Importer().GetExtensionList(list);
  std::set<std::string> extensions;
  for (std::size_t i = 0; i < list.size();) {
    const std::size_t end = std::min(list.find(';', i), list.size());
    std::string item = list.substr(i, end - i);
    if (item.rfind("*.", 0) == 0) item.erase(0, 2);
    if (!item.empty()) extensions.insert(Lower(item));
    i = end + 1;
  }
  return {extensions.begin(), extensions.end()};
}

std::vector<std::string> SupportedExportExtensions() {
  Assimp::Exporter exporter;
  std::vector<std::string> extensions;
  for (const ExportFormat& f : kExportFormats) {
    if (ExporterHas(exporter, f.assimpId)) extensions.emplace_back(f.extension);
  }
  return extensions;
}
