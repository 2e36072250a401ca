// A module is trusted with nothing until its version matches: LibVersion is the only symbol
// looked up before the check, because the layout of everything the other entry points return
// depends on it.
//
// On Windows the system runs DllMain itself, inside LoadLibrary and FreeLibrary, so there the
// loader neither looks it up nor calls it.
#include "host/plugin_loader.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "host/win32.h"

namespace {

std::string Describe(const std::filesystem::path& file) { return file.string(); }

#ifdef _WIN32
constexpr bool kSystemRunsDllMain = true;

void* OpenModule(const std::filesystem::path& file) { return ::LoadLibraryW(file.c_str()); }
void CloseModule(void* handle) { ::FreeLibrary(static_cast<HMODULE>(handle)); }
void* FindSymbol(void* handle, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle), name));
}

std::string LoadError() {
  const DWORD code = ::GetLastError();
  char text[256] = {};
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
    message.pop_back();
  }
  return (message.empty() ? std::string("error") : message) + " (" + std::to_string(code) + ")";
}
#else
constexpr bool kSystemRunsDllMain = false;

void* OpenModule(const std::filesystem::path& file) { return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL); }
void CloseModule(void* handle) { dlclose(handle); }
void* FindSymbol(void* handle, const char* name) { return dlsym(handle, name); }

std::string LoadError() {
  const char* error = dlerror();
  return error == nullptr ? std::string("unknown error") : std::string(error);
}
#endif

// Symbols come back as object pointers; entry points are functions of a known signature.
template <typename Function>
Function LookUp(void* handle, const char* name) {
  return reinterpret_cast<Function>(FindSymbol(handle, name));
}

std::string FormatClassId(SClass_ID superClassId, const Class_ID& classId) {
  char text[64];
  std::snprintf(text, sizeof text, "(super class 0x%X, class 0x%08X 0x%08X)", static_cast<unsigned>(superClassId),
                static_cast<unsigned>(classId.PartA()), static_cast<unsigned>(classId.PartB()));
  return text;
}

}  // namespace

std::string FormatPluginVersion(DWORD version) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(version));
  return text;
}

PluginLoader::~PluginLoader() {
  // Classes first: their descriptors live inside the modules about to go.
  classes_.clear();
  for (auto module = modules_.rbegin(); module != modules_.rend(); ++module) {
    if (!kSystemRunsDllMain) module->dllMain(module->instance, DLL_PROCESS_DETACH, nullptr);
    CloseModule(module->handle);
  }
}

std::vector<std::string> PluginLoader::LoadFolder(const std::filesystem::path& folder) {
  std::vector<std::string> errors;
  std::vector<std::filesystem::path> files;
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  if (error) {
    errors.push_back(Describe(folder) + ": cannot read the plug-in folder: " + error.message());
    return errors;
  }
  // Stepped with an error code: the range-for form throws when an entry cannot be read.
  while (entries != std::filesystem::directory_iterator()) {
    std::error_code typeError;
    if (entries->path().extension() == ".dlt" && entries->is_regular_file(typeError)) {
      files.push_back(entries->path());
    }
    entries.increment(error);
    if (error) {
      errors.push_back(Describe(folder) + ": cannot list the plug-in folder: " + error.message());
      break;
    }
  }
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.filename() < b.filename(); });
  for (const std::filesystem::path& file : files) {
    std::string message = LoadModule(file);
    if (!message.empty()) errors.push_back(std::move(message));
  }
  return errors;
}

std::string PluginLoader::LoadModule(const std::filesystem::path& file) {
  const std::string name = Describe(file);
  void* const handle = OpenModule(file);
  if (handle == nullptr) return name + ": cannot load the module: " + LoadError();

  LoadedModule module;
  module.file = file;
  module.handle = handle;

  const auto refuse = [&](const std::string& why) {
    CloseModule(handle);
    return name + ": " + why;
  };

  const auto libVersion = LookUp<LibVersionFunction>(handle, "LibVersion");
  if (libVersion == nullptr) return refuse("not a plug-in module: it lacks the entry point LibVersion");
  module.version = libVersion();
  if (module.version != kPluginApiVersion) {
    return refuse("plug-in version " + FormatPluginVersion(module.version) + " is not supported; this host supports " +
                  FormatPluginVersion(kPluginApiVersion));
  }

  if (!kSystemRunsDllMain) module.dllMain = LookUp<DllMainFunction>(handle, "DllMain");
  module.libDescription = LookUp<LibDescriptionFunction>(handle, "LibDescription");
  module.libNumberClasses = LookUp<LibNumberClassesFunction>(handle, "LibNumberClasses");
  module.libClassDesc = LookUp<LibClassDescFunction>(handle, "LibClassDesc");
  const std::pair<const char*, bool> required[] = {{"DllMain", kSystemRunsDllMain || module.dllMain != nullptr},
                                                   {"LibDescription", module.libDescription != nullptr},
                                                   {"LibNumberClasses", module.libNumberClasses != nullptr},
                                                   {"LibClassDesc", module.libClassDesc != nullptr}};
  for (const auto& [symbol, found] : required) {
    if (!found) return refuse(std::string("the module lacks the entry point ") + symbol);
  }

  module.instance = ModuleInstanceFromAddress(reinterpret_cast<const void*>(libVersion));
  if (module.instance == nullptr) return refuse("cannot find the module's load address");
  const auto detach = [&] {
    if (!kSystemRunsDllMain) module.dllMain(module.instance, DLL_PROCESS_DETACH, nullptr);
  };
  if (!kSystemRunsDllMain && module.dllMain(module.instance, DLL_PROCESS_ATTACH, nullptr) == FALSE) {
    // As on Windows, a module that fails to attach is detached again before it is closed.
    detach();
    return refuse("DllMain refused to attach");
  }

  const char* description = module.libDescription();
  module.description = description == nullptr ? std::string() : std::string(description);

  const int classCount = module.libNumberClasses();
  if (classCount < 0) {
    detach();
    return refuse("LibNumberClasses returned " + std::to_string(classCount));
  }

  const int moduleIndex = static_cast<int>(modules_.size());
  std::string skipped;
  for (int i = 0; i < classCount; ++i) {
    ClassDesc* const descriptor = module.libClassDesc(i);
    if (descriptor == nullptr) {
      skipped += (skipped.empty() ? "" : "; ") + std::string("LibClassDesc(") + std::to_string(i) + ") is null";
      continue;
    }
    const SClass_ID superClassId = descriptor->SuperClassID();
    const Class_ID classId = descriptor->ClassID();
    if (FindClass(superClassId, classId) != nullptr) {
      skipped += (skipped.empty() ? "" : "; ") + std::string("class ") + FormatClassId(superClassId, classId) +
                 " is already provided by another module";
      continue;
    }
    classes_.push_back(ClassEntry{superClassId, classId, descriptor, moduleIndex});
  }
  modules_.push_back(std::move(module));
  return skipped.empty() ? std::string() : name + ": skipped: " + skipped;
}

ClassDesc* PluginLoader::FindClass(SClass_ID superClassId, const Class_ID& classId) const {
  const auto entry = std::find_if(classes_.begin(), classes_.end(), [&](const ClassEntry& e) {
    return e.superClassId == superClassId && e.classId == classId;
  });
  return entry == classes_.end() ? nullptr : entry->descriptor;
}

void* PluginLoader::CreateInstance(SClass_ID superClassId, const Class_ID& classId, BOOL loading) const {
  ClassDesc* const descriptor = FindClass(superClassId, classId);
  return descriptor == nullptr ? nullptr : descriptor->Create(loading);
}
