// String tables are keyed by the module's load address, because that is the one identity both
// sides can compute on their own: the module from any of its addresses, the loader from the
// address of an entry point.
#include "host/win32.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

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
std::atomic<bool> shellExecuteRuns{true};

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

#ifdef _WIN32
// The system's own entry point in a system library, for the calls this host records first.
template <typename Function>
Function SystemFunction(const char* library, const char* name) {
  const HMODULE module = ::LoadLibraryA(library);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}
#endif

HINSTANCE ModuleInstanceFromAddress(const void* address) {
#ifdef _WIN32
  HMODULE module = nullptr;
  if (address == nullptr ||
      !::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &module)) {
    return nullptr;
  }
  return module;
#else
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0) return nullptr;
  return static_cast<HINSTANCE>(info.dli_fbase);
#endif
}

#ifndef _WIN32
HINSTANCE RegisterModuleStrings(const void* addressInsideModule, const StringResource* entries, int count) {
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

#endif

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

#ifndef _WIN32
int LoadStringA(HINSTANCE instance, UINT id, char* buffer, int bufferMax) {
  if (buffer == nullptr || bufferMax <= 0) return 0;
  buffer[0] = '\0';
  StringRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  const auto table = registry.tables.find(instance);
  if (table == registry.tables.end()) return 0;
  const StringResource* const end = table->second.entries + table->second.count;
  const StringResource* const entry =
      std::find_if(table->second.entries, end, [id](const StringResource& e) { return e.id == id; });
  if (entry == end) return 0;
  const std::size_t length = std::min(std::strlen(entry->text), static_cast<std::size_t>(bufferMax - 1));
  std::memcpy(buffer, entry->text, length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

void InitCommonControls() { ++commonControlsCalls; }
#else
extern "C" void WINAPI InitCommonControls(void) {
  ++commonControlsCalls;
  using Function = void(WINAPI*)(void);
  static const Function system = SystemFunction<Function>("comctl32.dll", "InitCommonControls");
  if (system != nullptr) system();
}
#endif

void InitCustomControls(HINSTANCE instance) {
  lastCustomControlsInstance = instance;
  ++customControlsCalls;
}

int InitCommonControlsCallCount() { return commonControlsCalls; }
int InitCustomControlsCallCount() { return customControlsCalls; }
HINSTANCE LastInitCustomControlsInstance() { return lastCustomControlsInstance; }

#ifdef _WIN32
extern "C" HINSTANCE WINAPI ShellExecuteA(HWND window, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                                          INT show) {
#else
HINSTANCE ShellExecuteA(HWND window, const char* verb, const char* file, const char* parameters, const char* directory,
                        int show) {
#endif
  ShellExecuteRecord record{window, OrEmpty(verb), OrEmpty(file), OrEmpty(parameters), OrEmpty(directory), show};
  ShellExecuteLog& log = ShellLog();
  {
    const std::lock_guard lock(log.mutex);
    log.last = std::move(record);
  }
#ifdef _WIN32
  if (shellExecuteRuns) {
    using Function = HINSTANCE(WINAPI*)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
    static const Function system = SystemFunction<Function>("shell32.dll", "ShellExecuteA");
    // Values up to 32 are errors; 31 is Windows' "no application is associated".
    if (system == nullptr) return reinterpret_cast<HINSTANCE>(std::uintptr_t{31});  // NOLINT(performance-no-int-to-ptr)
    return system(window, verb, file, parameters, directory, show);
  }
#endif
  // Windows reports success with any value above 32; the handle itself means nothing.
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the result is a status code in a handle's clothing.
  return reinterpret_cast<HINSTANCE>(std::uintptr_t{42});
}

std::optional<ShellExecuteRecord> LastShellExecute() {
  ShellExecuteLog& log = ShellLog();
  const std::lock_guard lock(log.mutex);
  return log.last;
}

void SetShellExecuteRuns(bool runs) { shellExecuteRuns = runs; }

void ClearShellExecuteRecord() {
  ShellExecuteLog& log = ShellLog();
  const std::lock_guard lock(log.mutex);
  log.last.reset();
}
