// Scenes are loaded in stages (read every record, make every object, load every object's data,
// check every reference, and only then wire references and add nodes) so that a damaged file
// is refused before any object is connected to another or to the scene.
#include "host/scene_io.h"

#include <cstdio>
#include <map>
#include <memory>

#include "host/byte_order.h"
#include "host/mtl_base.h"
#include "host/scene.h"
#include "host/uvgen.h"

namespace {

constexpr unsigned short kSceneChunk = 0x0001;
constexpr unsigned short kObjectChunk = 0x0010;
constexpr unsigned short kClassChunk = 0x0011;
constexpr unsigned short kDataChunk = 0x0012;
constexpr unsigned short kRefsChunk = 0x0013;
constexpr unsigned short kRootChunk = 0x0014;
constexpr std::uint32_t kMaxObjects = 1u << 20;
constexpr std::uint32_t kMaxRefsPerObject = 1u << 16;
constexpr std::size_t kClassBytes = 18;

// Record bodies have no cap of their own: the reader has already checked every length against
// what is left of the file, which LoadSceneFile caps, and fixed-size records check theirs first.
constexpr std::uint64_t kAnyLength = ~std::uint64_t{0};

std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

std::string ClassText(SClass_ID super, const Class_ID& id) {
  return "class " + Hex(super) + "/" + Hex(id.PartA()) + "," + Hex(id.PartB());
}

struct Record {
  SClass_ID super = 0;
  Class_ID classId;
  int owner = -1;
  BlockID blockId = 0;
  bool hasClass = false;
  std::vector<unsigned char> data;
  std::vector<int> refs;
  bool root = false;
};

// Reads the whole file's records; false with *why on anything malformed.
bool ReadRecords(ILoad& load, std::vector<Record>* records, TimeValue* time, std::string* why) {
  std::uint32_t expected = 0;
  bool sawHeader = false;
  while (load.OpenChunk() == IO_OK) {
    bool ok = true;
    if (load.CurChunkID() == kSceneChunk) {
      std::vector<unsigned char> body;
      ok = !sawHeader && load.CurChunkLength() == 8 && ReadChunkBytes(load, kAnyLength, &body);
      if (ok) {
        expected = LoadLE32(body.data());
        *time = static_cast<TimeValue>(LoadLE32(body.data() + 4));
        sawHeader = true;
        ok = expected <= kMaxObjects;
      }
      if (!ok) *why = "the scene header is damaged or repeated";
    } else if (load.CurChunkID() == kObjectChunk) {
      if (!sawHeader || records->size() >= expected) {
        *why = "more object records than the header's count";
        ok = false;
      }
      Record record;
      while (ok && load.OpenChunk() == IO_OK) {
        const std::string where = "object " + std::to_string(records->size()) + ": ";
        std::vector<unsigned char> body;
        if (load.CurChunkID() == kClassChunk) {
          ok = load.CurChunkLength() == kClassBytes && ReadChunkBytes(load, kAnyLength, &body);
          if (ok) {
            record.super = LoadLE32(body.data());
            record.classId = Class_ID(LoadLE32(body.data() + 4), LoadLE32(body.data() + 8));
            record.owner = static_cast<int>(LoadLE32(body.data() + 12));
            record.blockId = static_cast<BlockID>(LoadLE16(body.data() + 16));
            record.hasClass = true;
          } else {
            *why = where + "its class record is damaged";
          }
        } else if (load.CurChunkID() == kDataChunk) {
          ok = ReadChunkBytes(load, kAnyLength, &record.data);
          if (!ok) *why = where + "its data could not be read";
        } else if (load.CurChunkID() == kRefsChunk) {
          const std::uint64_t length = load.CurChunkLength();
          ok = length >= 4 && (length - 4) % 4 == 0 && (length - 4) / 4 <= kMaxRefsPerObject &&
               ReadChunkBytes(load, kAnyLength, &body) && LoadLE32(body.data()) == (length - 4) / 4;
          for (std::size_t i = 0; ok && i < (body.size() - 4) / 4; ++i) {
            record.refs.push_back(static_cast<int>(LoadLE32(body.data() + 4 + 4 * i)));
          }
          if (!ok) *why = where + "its reference list is damaged";
        } else if (load.CurChunkID() == kRootChunk) {
          record.root = true;
        }
        if (load.CloseChunk() != IO_OK) ok = false;
      }
      if (ok && !record.hasClass) {
        *why = "object " + std::to_string(records->size()) + " has no class record";
        ok = false;
      }
      if (ok) records->push_back(std::move(record));
    }
    if (load.CloseChunk() != IO_OK) ok = false;
    if (!ok) {
      if (why->empty()) *why = "a record is damaged";
      return false;
    }
  }
  if (!sawHeader) {
    *why = "no scene header";
    return false;
  }
  if (records->size() != expected) {
    *why = "the header announces " + std::to_string(expected) + " objects but " + std::to_string(records->size()) +
           " follow";
    return false;
  }
  return true;
}

ReferenceTarget* CreateHostObject(SClass_ID super, const Class_ID& id) {
  if (super == INode::NODE_CLASS_ID && id == Class_ID(0x0001, 0)) return new INode(nullptr);
  if (super == GEOMOBJECT_CLASS_ID && id == triObjectClassID) return CreateNewTriObject();
  if (super == UVGEN_CLASS_ID && id == STDUVGEN_CLASS_ID) return GetNewDefaultUVGen();
  return nullptr;
}

// Runs load over one object's saved data, as the record it was written into.
IOResult LoadObjectData(ReferenceTarget* object, const std::vector<unsigned char>& data) {
  MemorySave file;
  if (WriteChunkBytes(file, kDataChunk, data) != IO_OK) return IO_ERROR;
  MemoryLoad load(file.Bytes().data(), file.Bytes().size());
  if (load.OpenChunk() != IO_OK) return IO_ERROR;
  return object->Load(&load);
}

// Whether target may fill slot of maker. Slots whose class the maker does not declare through a
// parameter or a default target are refused: an unknown slot is no place for a guessed object.
bool SlotAccepts(ReferenceMaker* maker, int slot, ReferenceTarget* target) {
  if (auto* block = dynamic_cast<IParamBlock2*>(maker)) {
    const ParamDef* def = block->GetDesc()->FindParam(block->RefParamID(slot));
    if (def == nullptr) return false;
    if (def->type == TYPE_INODE) return dynamic_cast<INode*>(target) != nullptr;
    if (def->type == TYPE_TEXMAP) return dynamic_cast<Texmap*>(target) != nullptr;
    return dynamic_cast<INode*>(target) == nullptr;
  }
  if (dynamic_cast<INode*>(maker) != nullptr) return slot == 0 && dynamic_cast<Object*>(target) != nullptr;
  ReferenceTarget* current = maker->GetReference(slot);
  if (current == nullptr) return false;
  if (auto* currentBlock = dynamic_cast<IParamBlock2*>(current)) {
    auto* block = dynamic_cast<IParamBlock2*>(target);
    return block != nullptr && block->GetDesc() == currentBlock->GetDesc();
  }
  return target->SuperClassID() == current->SuperClassID() && dynamic_cast<INode*>(target) == nullptr;
}

// Whether the references of the records form a cycle (which the reference system would refuse).
bool HasCycle(const std::vector<Record>& records) {
  std::vector<int> state(records.size(), 0);  // 0 new, 1 on the path, 2 done
  for (std::size_t start = 0; start < records.size(); ++start) {
    if (state[start] != 0) continue;
    std::vector<std::pair<std::size_t, std::size_t>> stack{{start, 0}};
    state[start] = 1;
    while (!stack.empty()) {
      auto& [node, next] = stack.back();
      if (next == records[node].refs.size()) {
        state[node] = 2;
        stack.pop_back();
        continue;
      }
      const int target = records[node].refs[next++];
      if (target < 0) continue;
      const auto t = static_cast<std::size_t>(target);
      if (state[t] == 1) return true;
      if (state[t] == 0) {
        state[t] = 1;
        stack.emplace_back(t, 0);
      }
    }
  }
  return false;
}

}  // namespace

IOResult SaveScene(const std::string& path, const std::vector<ReferenceTarget*>& roots, std::string* error) {
  std::vector<ReferenceTarget*> objects;
  std::map<ReferenceTarget*, int> index;
  auto visit = [&](ReferenceTarget* start) {
    std::vector<ReferenceTarget*> pending{start};
    while (!pending.empty()) {
      ReferenceTarget* object = pending.back();
      pending.pop_back();
      if (object == nullptr || index.count(object) != 0) continue;
      index[object] = static_cast<int>(objects.size());
      objects.push_back(object);
      for (int i = object->NumRefs() - 1; i >= 0; --i) pending.push_back(object->GetReference(i));
    }
  };
  for (INode* node : GetCOREInterface()->Nodes()) visit(node);
  for (ReferenceTarget* root : roots) visit(root);

  auto write = [&](ISave& save) -> IOResult {
    std::vector<unsigned char> header;
    header.reserve(8);
    AppendLE32(header, static_cast<std::uint32_t>(objects.size()));
    AppendLE32(header, static_cast<std::uint32_t>(GetCOREInterface()->GetTime()));
    if (WriteChunkBytes(save, kSceneChunk, header) != IO_OK) return IO_ERROR;
    for (ReferenceTarget* object : objects) {
      save.BeginChunk(kObjectChunk);
      std::vector<unsigned char> cls;
      AppendLE32(cls, object->SuperClassID());
      AppendLE32(cls, object->ClassID().PartA());
      AppendLE32(cls, object->ClassID().PartB());
      int owner = -1;
      BlockID blockId = 0;
      if (auto* block = dynamic_cast<IParamBlock2*>(object)) {
        const auto found = index.find(dynamic_cast<ReferenceTarget*>(block->GetOwner()));
        if (found == index.end()) return IO_ERROR;  // a block nobody owns cannot be made again
        owner = found->second;
        blockId = block->ID();
      }
      AppendLE32(cls, static_cast<std::uint32_t>(owner));
      AppendLE16(cls, static_cast<std::uint16_t>(blockId));
      if (WriteChunkBytes(save, kClassChunk, cls) != IO_OK) return IO_ERROR;
      save.BeginChunk(kDataChunk);
      if (object->Save(&save) != IO_OK) return IO_ERROR;
      save.EndChunk();
      std::vector<unsigned char> refs;
      AppendLE32(refs, static_cast<std::uint32_t>(object->NumRefs()));
      for (int i = 0; i < object->NumRefs(); ++i) {
        ReferenceTarget* target = object->GetReference(i);
        AppendLE32(refs, static_cast<std::uint32_t>(target == nullptr ? -1 : index[target]));
      }
      if (WriteChunkBytes(save, kRefsChunk, refs) != IO_OK) return IO_ERROR;
      for (ReferenceTarget* root : roots) {
        if (root == object) {
          save.BeginChunk(kRootChunk);
          save.EndChunk();
          break;
        }
      }
      save.EndChunk();
    }
    return IO_OK;
  };
  return SaveSceneFile(path, write, error);
}

IOResult LoadScene(const std::string& path, const SceneClassFactory& factory, std::vector<ReferenceTarget*>* roots,
                   std::string* error) {
  std::vector<Record> records;
  TimeValue time = 0;
  std::string why;
  const IOResult read = LoadSceneFile(
      path, [&](ILoad& load) { return ReadRecords(load, &records, &time, &why) ? IO_OK : IO_ERROR; }, error);
  if (read != IO_OK) {
    if (error != nullptr && !why.empty()) *error = path + ": " + why;
    return IO_ERROR;
  }

  std::vector<ReferenceTarget*> objects(records.size(), nullptr);
  auto refuse = [&](const std::string& what) {
    // Nothing is wired yet, so every object stands alone and is freed on its own.
    for (ReferenceTarget* object : objects) {
      if (object != nullptr) object->DeleteThis();
    }
    if (error != nullptr) *error = path + ": " + what;
    return IO_ERROR;
  };

  for (std::size_t i = 0; i < records.size(); ++i) {
    const Record& r = records[i];
    if (r.super == IParamBlock2::PARAMETER_BLOCK2_CLASS_ID) continue;
    ReferenceTarget* object = CreateHostObject(r.super, r.classId);
    if (object == nullptr && factory.create) object = factory.create(r.super, r.classId);
    if (object == nullptr)
      return refuse("object " + std::to_string(i) + ": " + ClassText(r.super, r.classId) + " is not known");
    objects[i] = object;
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Record& r = records[i];
    if (r.super != IParamBlock2::PARAMETER_BLOCK2_CLASS_ID) continue;
    if (r.owner < 0 || static_cast<std::size_t>(r.owner) >= records.size() ||
        objects[static_cast<std::size_t>(r.owner)] == nullptr) {
      return refuse("object " + std::to_string(i) + ": parameter block without a valid owner");
    }
    const Record& owner = records[static_cast<std::size_t>(r.owner)];
    ParamBlockDesc2* desc = factory.blockDesc ? factory.blockDesc(owner.super, owner.classId, r.blockId) : nullptr;
    if (desc == nullptr) {
      return refuse("object " + std::to_string(i) + ": no parameter block " + std::to_string(r.blockId) + " for " +
                    ClassText(owner.super, owner.classId));
    }
    objects[i] = new IParamBlock2(desc);
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (LoadObjectData(objects[i], records[i].data) != IO_OK) {
      CStr name;
      objects[i]->GetClassName(name);
      // A node says which of its chunks was damaged.
      const auto* node = dynamic_cast<INode*>(objects[i]);
      const std::string detail = node != nullptr && !node->LoadError().empty() ? ": " + node->LoadError() : "";
      return refuse("object " + std::to_string(i) + " (" + name.data() + "): its data was refused" + detail);
    }
  }
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Record& r = records[i];
    if (static_cast<int>(r.refs.size()) != objects[i]->NumRefs()) {
      return refuse("object " + std::to_string(i) + ": " + std::to_string(r.refs.size()) + " references saved, " +
                    std::to_string(objects[i]->NumRefs()) + " expected");
    }
    for (std::size_t s = 0; s < r.refs.size(); ++s) {
      const int target = r.refs[s];
      if (target == -1) continue;
      if (target < 0 || static_cast<std::size_t>(target) >= records.size()) {
        return refuse("object " + std::to_string(i) + ": reference " + std::to_string(s) + " points outside the scene");
      }
      if (!SlotAccepts(objects[i], static_cast<int>(s), objects[static_cast<std::size_t>(target)])) {
        return refuse("object " + std::to_string(i) + ": reference " + std::to_string(s) + " cannot hold object " +
                      std::to_string(target));
      }
    }
  }
  if (HasCycle(records)) return refuse("the references form a cycle");

  // From here on nothing can be refused: wire, then hand the nodes to the scene.
  for (std::size_t i = 0; i < records.size(); ++i) {
    for (std::size_t s = 0; s < records[i].refs.size(); ++s) {
      const int target = records[i].refs[s];
      if (target < 0) continue;
      ReferenceTarget* t = objects[static_cast<std::size_t>(target)];
      if (auto* block = dynamic_cast<IParamBlock2*>(objects[i])) {
        block->SetValue(block->RefParamID(static_cast<int>(s)), 0, t);
      } else {
        objects[i]->ReplaceReference(static_cast<int>(s), t, TRUE);
      }
    }
  }
  roots->clear();
  std::vector<ReferenceTarget*> orphans;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (auto* node = dynamic_cast<INode*>(objects[i])) {
      GetCOREInterface()->AddNode(node);
    } else if (objects[i]->DependentCount() != 0) {
      // Held by another object, which frees it: a root handed out as well would be freed twice
      // (a map saved as a root beside the map that uses it as its ramp) or under its holder.
      continue;
    } else if (records[i].root) {
      roots->push_back(objects[i]);
    } else {
      orphans.push_back(objects[i]);
    }
  }
  // Objects nothing refers to would never be freed; none is held by another, so each goes alone.
  for (ReferenceTarget* orphan : orphans) orphan->DeleteThis();
  GetCOREInterface()->SetTime(time);
  return IO_OK;
}
