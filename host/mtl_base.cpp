#include "host/mtl_base.h"

#include <string>
#include <utility>
#include <vector>

IOResult MtlBase::Save(ISave* save) {
  const std::string& name = name_.str();
  return WriteChunkBytes(*save, MTLBASE_NAME_CHUNK, std::vector<unsigned char>(name.begin(), name.end()));
}

IOResult MtlBase::Load(ILoad* load) {
  IOResult result;
  while ((result = load->OpenChunk()) == IO_OK) {
    if (load->CurChunkID() == MTLBASE_NAME_CHUNK) {
      // A name is short; a chunk claiming more is damaged, and its length must not decide how
      // much is allocated.
      constexpr unsigned long long kMaxName = 4096;
      const unsigned long long length = load->CurChunkLength();
      if (length > kMaxName) {
        load->CloseChunk();
        return IO_ERROR;
      }
      std::string text(static_cast<std::size_t>(length), '\0');
      unsigned long read = 0;
      if (load->Read(text.data(), static_cast<unsigned long>(length), &read) != IO_OK) {
        load->CloseChunk();
        return IO_ERROR;
      }
      name_ = CStr(std::move(text));
    }
    if (load->CloseChunk() != IO_OK) return IO_ERROR;
  }
  return result == IO_END ? IO_OK : result;
}

void* MtlBase::GetInterface(std::uint32_t id) {
  if (id == I_SUBMAP) return static_cast<ISubMap*>(this);
  if (id == IID_MTLBASE) return this;
  return nullptr;
}

void MtlBase::BaseClone(ReferenceTarget* from, ReferenceTarget* to, RemapDir&) {
  auto* source = dynamic_cast<MtlBase*>(from);
  auto* target = dynamic_cast<MtlBase*>(to);
  if (source != nullptr && target != nullptr) target->name_ = source->name_;
}

void* Texmap::GetInterface(std::uint32_t id) {
  if (id == IID_TEXMAP) return this;
  return MtlBase::GetInterface(id);
}
