// Any bytes as a whole scene file. LoadScene makes Veldmap maps and their parameter blocks from
// the statically linked module; a scene it accepts must save, and the saved file must load back
// into the same scene: the same nodes with the same names and meshes, the same roots with the
// same parameters, baked meshes and references. Every object is freed after each input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "host/chunk_io.h"
#include "host/mesh.h"
#include "host/mtl_base.h"
#include "host/param_block.h"
#include "host/scene.h"
#include "host/scene_io.h"
#include "host/win32.h"
#include "plugin/plugin_main.h"
#include "texmap/veldmap_texmap.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "scene_roundtrip_fuzz: %s\n%s\n", what, detail.c_str());
  std::abort();
}

void Check(bool ok, const char* what, const std::string& detail = {}) {
  if (!ok) Fail(what, detail);
}

// One pair of scene files per process, reused by every input and removed at exit.
struct TempFiles {
  std::string input = "/tmp/veldmap-fuzz-scene-" + std::to_string(::getpid()) + "-in.vlds";
  std::string saved = "/tmp/veldmap-fuzz-scene-" + std::to_string(::getpid()) + "-saved.vlds";
  ~TempFiles() {
    std::remove(input.c_str());
    std::remove(saved.c_str());
  }
};

TempFiles& Files() {
  static TempFiles files;
  return files;
}

void WriteWhole(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  Check(file != nullptr, "cannot write the temporary scene file", path);
  Check(size == 0 || std::fwrite(data, 1, size, file) == size, "short write of the temporary scene file", path);
  Check(std::fclose(file) == 0, "cannot close the temporary scene file", path);
}

bool IsVeldmap(SClass_ID super, const Class_ID& id) {
  return super == theVeldmapClassDesc.SuperClassID() && id == theVeldmapClassDesc.ClassID();
}

SceneClassFactory Factory() {
  SceneClassFactory factory;
  factory.create = [](SClass_ID super, const Class_ID& id) -> ReferenceTarget* {
    if (!IsVeldmap(super, id)) return nullptr;
    void* made = theVeldmapClassDesc.Create(TRUE);
    return made == nullptr ? nullptr : dynamic_cast<ReferenceTarget*>(static_cast<Animatable*>(made));
  };
  factory.blockDesc = [](SClass_ID super, const Class_ID& id, BlockID block) -> ParamBlockDesc2* {
    return IsVeldmap(super, id) ? theVeldmapClassDesc.GetParamBlockDescByID(block) : nullptr;
  };
  return factory;
}

void AppendHex(std::string& out, const void* bytes, std::size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
}

void AppendMesh(std::string& out, const Mesh& mesh) {
  out += " verts " + std::to_string(mesh.verts.size()) + " ";
  AppendHex(out, mesh.verts.data(), mesh.verts.size() * sizeof(Point3));
  out += " faces " + std::to_string(mesh.faces.size()) + " ";
  AppendHex(out, mesh.faces.data(), mesh.faces.size() * sizeof(Face));
}

// A text that names everything a scene holds, objects numbered in the order SaveScene visits
// them, so that two scenes are the same exactly when their texts are.
class Describer {
 public:
  std::string Scene(const std::vector<ReferenceTarget*>& roots) {
    out_ = "time " + std::to_string(GetCOREInterface()->GetTime()) + "\n";
    const std::vector<INode*>& nodes = GetCOREInterface()->Nodes();
    out_ += "nodes " + std::to_string(nodes.size()) + "\n";
    for (INode* node : nodes) Object(node);
    out_ += "roots " + std::to_string(roots.size()) + "\n";
    for (ReferenceTarget* root : roots) Object(root);
    return out_;
  }

 private:
  void Object(ReferenceTarget* object) {
    if (object == nullptr) {
      out_ += "null\n";
      return;
    }
    if (const auto seen = index_.find(object); seen != index_.end()) {
      out_ += "#" + std::to_string(seen->second) + "\n";
      return;
    }
    const int number = static_cast<int>(index_.size());
    index_[object] = number;
    out_ += "#" + std::to_string(number) + " class " + std::to_string(object->SuperClassID()) + "/" +
            std::to_string(object->ClassID().PartA()) + "/" + std::to_string(object->ClassID().PartB());
    if (auto* node = dynamic_cast<INode*>(object)) out_ += std::string(" node '") + node->GetName() + "'";
    if (auto* tri = dynamic_cast<TriObject*>(object)) AppendMesh(out_, tri->GetMesh());
    if (auto* base = dynamic_cast<MtlBase*>(object)) {
      out_ += " name '" + base->GetName().str() + "'";
      for (int b = 0; b < base->NumParamBlocks(); ++b) Block(base->GetParamBlock(b));
    }
    // A mesh the map holds without its flag is not part of its record (SaveMapRecord writes it
    // only with the flag), so only a flagged one must come back.
    if (auto* map = dynamic_cast<VeldmapTexmap*>(object)) {
      out_ += " baked " + std::to_string(map->hasStoredMesh);
      if (map->hasStoredMesh) AppendMesh(out_, map->sampler.storedMesh);
    }
    // Whatever the object writes of itself (the UV generator's settings, keys) must match too.
    MemorySave save;
    save.BeginChunk(1);
    const IOResult saved = object->Save(&save);
    save.EndChunk();
    out_ += " save " + std::to_string(saved) + " ";
    AppendHex(out_, save.Bytes().data(), save.Bytes().size());
    out_ += "\n";
    for (int i = 0; i < object->NumRefs(); ++i) {
      out_ += "  ref " + std::to_string(i) + ": ";
      Object(object->GetReference(i));
    }
  }

  void Block(IParamBlock2* block) {
    if (block == nullptr) {
      out_ += " block null";
      return;
    }
    const ParamBlockDesc2* desc = block->GetDesc();
    out_ += " block " + std::to_string(block->ID());
    for (int i = 0; i < desc->Count(); ++i) {
      const ParamDef& def = desc->GetParamDef(i);
      out_ += " p" + std::to_string(def.id) + "=";
      Interval valid = FOREVER;
      if (def.type == TYPE_FLOAT) {
        float v = 0;
        block->GetValue(def.id, 0, v, valid);
        AppendHex(out_, &v, sizeof v);
      } else if (def.type == TYPE_INT || def.type == TYPE_BOOL) {
        int v = 0;
        block->GetValue(def.id, 0, v, valid);
        out_ += std::to_string(v);
      } else {
        ReferenceTarget* v = nullptr;
        block->GetValue(def.id, 0, v, valid);
        out_ += v == nullptr ? "null" : "ref";
      }
      out_ += " keys " + std::to_string(block->NumKeys(def.id));
      for (int k = 0; k < block->NumKeys(def.id); ++k) out_ += " @" + std::to_string(block->KeyTime(def.id, k));
    }
  }

  std::string out_;
  std::map<ReferenceTarget*, int> index_;
};

void FreeScene(std::vector<ReferenceTarget*>& roots) {
  for (ReferenceTarget* root : roots) root->DeleteThis();
  roots.clear();
  GetCOREInterface()->ResetScene();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  DllMain(ModuleInstanceFromAddress(&pluginInstance), DLL_PROCESS_ATTACH, nullptr);
  Files();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const TempFiles& files = Files();
  const SceneClassFactory factory = Factory();
  WriteWhole(files.input, data, size);

  std::vector<ReferenceTarget*> roots;
  std::string error;
  if (LoadScene(files.input, factory, &roots, &error) != IO_OK) {
    Check(roots.empty(), "a refused scene handed out roots", error);
    Check(GetCOREInterface()->Nodes().empty(), "a refused scene added nodes", error);
    Check(!error.empty(), "a refused scene gave no reason");
    return 0;
  }
  const std::string first = Describer().Scene(roots);
  const IOResult saved = SaveScene(files.saved, roots, &error);
  FreeScene(roots);
  Check(saved == IO_OK, "a scene that loaded could not be saved", error);

  Check(LoadScene(files.saved, factory, &roots, &error) == IO_OK, "a saved scene was refused", error);
  const std::string second = Describer().Scene(roots);
  FreeScene(roots);
  if (first != second) {
    std::size_t at = 0;
    while (at < first.size() && at < second.size() && first[at] == second[at]) ++at;
    const std::size_t from = at > 200 ? at - 200 : 0;
    Fail("load -> save -> load changed the scene",
         "first:  ..." + first.substr(from, 400) + "\nsecond: ..." + second.substr(from, 400));
  }
  return 0;
}
