// String tables are keyed by the module's load address, because that is the one identity both
// sides can compute on their own: the module from any of its addresses, the loader from the
// address of an entry point.
#include "host/win32.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

namespace {

struct StringTable {
  const StringResource* entries = nullptr;
  int count = 0;
};

struct DialogTable {
  const DialogResource* dialogs = nullptr;
  int count = 0;
};

struct StringRegistry {
  std::mutex mutex;
  std::map<HINSTANCE, StringTable> tables;
  std::map<HINSTANCE, DialogTable> dialogs;
};

// Built on first use: modules register from their static initialisers, which may run before
// this library's own.
StringRegistry& Registry() {
  static StringRegistry registry;
  return registry;
}

std::atomic<int> commonControlsCalls{0};
std::atomic<int> customControlsCalls{0};
std::atomic<HINSTANCE> lastCustomControlsInstance{nullptr};

struct ShellExecuteLog {
  std::mutex mutex;
  std::optional<ShellExecuteRecord> last;
};

ShellExecuteLog& ShellLog() {
  static ShellExecuteLog log;
  return log;
}

std::string OrEmpty(const char* text) { return text == nullptr ? std::string() : std::string(text); }

}  // namespace

HINSTANCE ModuleInstanceFromAddress(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0) return nullptr;
  return static_cast<HINSTANCE>(info.dli_fbase);
}

HINSTANCE RegisterModuleStrings(const void* addressInsideModule, const StringResource* entries,
                                int count) {
  const HINSTANCE instance = ModuleInstanceFromAddress(addressInsideModule);
  if (instance == nullptr) return nullptr;
  StringRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.tables[instance] = StringTable{entries, std::max(count, 0)};
  return instance;
}

void UnregisterModuleStrings(const void* addressInsideModule) {
  const HINSTANCE instance = ModuleInstanceFromAddress(addressInsideModule);
  if (instance == nullptr) return;
  StringRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.tables.erase(instance);
}

HINSTANCE RegisterModuleDialogs(const void* addressInsideModule, const DialogResource* dialogs, int count) {
  const HINSTANCE instance = ModuleInstanceFromAddress(addressInsideModule);
  if (instance == nullptr) return nullptr;
  StringRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.dialogs[instance] = DialogTable{dialogs, std::max(count, 0)};
  return instance;
}

void UnregisterModuleDialogs(const void* addressInsideModule) {
  const HINSTANCE instance = ModuleInstanceFromAddress(addressInsideModule);
  if (instance == nullptr) return;
  StringRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.dialogs.erase(instance);
}

const DialogResource* FindDialogResource(HINSTANCE instance, int id) {
  StringRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  const auto table = registry.dialogs.find(instance);
  if (table == registry.dialogs.end()) return nullptr;
  const DialogResource* const end = table->second.dialogs + table->second.count;
  const DialogResource* const dialog =
      std::find_if(table->second.dialogs, end, [id](const DialogResource& d) { return d.id == id; });
  return dialog == end ? nullptr : dialog;
}

int LoadStringA(HINSTANCE instance, UINT id, char* buffer, int bufferMax) {
  if (buffer == nullptr || bufferMax <= 0) return 0;
  buffer[0] = '\0';
  StringRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  const auto table = registry.tables.find(instance);
  if (table == registry.tables.end()) return 0;
  const StringResource* const end = table->second.entries + table->second.count;
  const StringResource* const entry = std::find_if(
      table->second.entries, end, [id](const StringResource& e) { return e.id == id; });
  if (entry == end) return 0;
  const std::size_t length =
      std::min(std::strlen(entry->text), static_cast<std::size_t>(bufferMax - 1));
  std::memcpy(buffer, entry->text, length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

void InitCommonControls() { ++commonControlsCalls; }

void InitCustomControls(HINSTANCE instance) {
  lastCustomControlsInstance = instance;
  ++customControlsCalls;
}

int InitCommonControlsCallCount() { return commonControlsCalls; }
int InitCustomControlsCallCount() { return customControlsCalls; }
HINSTANCE LastInitCustomControlsInstance() { return lastCustomControlsInstance; }

HINSTANCE ShellExecuteA(HWND window, const char* verb, const char* file, const char* parameters,
                        const char* directory, int show) {
  ShellExecuteRecord record{window,          OrEmpty(verb),      OrEmpty(file),
                            OrEmpty(parameters), OrEmpty(directory), show};
  ShellExecuteLog& log = ShellLog();
  {
    const std::lock_guard lock(log.mutex);
    log.last = std::move(record);
  }
  // Windows reports success with any value above 32; the handle itself means nothing.
  return reinterpret_cast<HINSTANCE>(std::uintptr_t{42});
}

std::optional<ShellExecuteRecord> LastShellExecute() {
  ShellExecuteLog& log = ShellLog();
  const std::lock_guard lock(log.mutex);
  return log.last;
}

void ClearShellExecuteRecord() {
  ShellExecuteLog& log = ShellLog();
  const std::lock_guard lock(log.mutex);
  log.last.reset();
}
