// A module is trusted with nothing until its version matches: LibVersion is the only symbol
// looked up before the check, because the layout of everything the other entry points return
// depends on it.
#include "host/plugin_loader.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "host/win32.h"

namespace {

std::string Describe(const std::filesystem::path& file) { return file.string(); }

// dlsym hands back an object pointer; entry points are functions of a known signature.
template <typename Function>
Function LookUp(void* handle, const char* name) {
  return reinterpret_cast<Function>(dlsym(handle, name));
}

std::string DlError() {
  const char* error = dlerror();
  return error == nullptr ? std::string("unknown error") : std::string(error);
}

std::string FormatClassId(SClass_ID superClassId, const Class_ID& classId) {
  char text[64];
  std::snprintf(text, sizeof text, "(super class 0x%X, class 0x%08X 0x%08X)", superClassId,
                classId.PartA(), classId.PartB());
  return text;
}

}  // namespace

std::string FormatPluginVersion(DWORD version) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", version);
  return text;
}

PluginLoader::~PluginLoader() {
  // Classes first: their descriptors live inside the modules about to go.
  classes_.clear();
  for (auto module = modules_.rbegin(); module != modules_.rend(); ++module) {
    module->dllMain(module->instance, DLL_PROCESS_DETACH, nullptr);
    dlclose(module->handle);
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
  std::sort(files.begin(), files.end(),
            [](const auto& a, const auto& b) { return a.filename() < b.filename(); });
  for (const std::filesystem::path& file : files) {
    std::string message = LoadModule(file);
    if (!message.empty()) errors.push_back(std::move(message));
  }
  return errors;
}

std::string PluginLoader::LoadModule(const std::filesystem::path& file) {
  const std::string name = Describe(file);
  void* const handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return name + ": cannot load the module: " + DlError();

  LoadedModule module;
  module.file = file;
  module.handle = handle;

  const auto refuse = [&](const std::string& why) {
    dlclose(handle);
    return name + ": " + why;
  };

  const auto libVersion = LookUp<LibVersionFunction>(handle, "LibVersion");
  if (libVersion == nullptr) return refuse("not a plug-in module: it lacks the entry point LibVersion");
  module.version = libVersion();
  if (module.version != kPluginApiVersion) {
    return refuse("plug-in version " + FormatPluginVersion(module.version) +
                  " is not supported; this host supports " + FormatPluginVersion(kPluginApiVersion));
  }

  module.dllMain = LookUp<DllMainFunction>(handle, "DllMain");
  module.libDescription = LookUp<LibDescriptionFunction>(handle, "LibDescription");
  module.libNumberClasses = LookUp<LibNumberClassesFunction>(handle, "LibNumberClasses");
  module.libClassDesc = LookUp<LibClassDescFunction>(handle, "LibClassDesc");
  const std::pair<const char*, bool> required[] = {
      {"DllMain", module.dllMain != nullptr},
      {"LibDescription", module.libDescription != nullptr},
      {"LibNumberClasses", module.libNumberClasses != nullptr},
      {"LibClassDesc", module.libClassDesc != nullptr}};
  for (const auto& [symbol, found] : required) {
    if (!found) return refuse(std::string("the module lacks the entry point ") + symbol);
  }

  module.instance = ModuleInstanceFromAddress(reinterpret_cast<const void*>(libVersion));
  if (module.instance == nullptr) return refuse("cannot find the module's load address");
  if (module.dllMain(module.instance, DLL_PROCESS_ATTACH, nullptr) == FALSE) {
    // As on Windows, a module that fails to attach is detached again before it is closed.
    module.dllMain(module.instance, DLL_PROCESS_DETACH, nullptr);
    return refuse("DllMain refused to attach");
  }

  const char* description = module.libDescription();
  module.description = description == nullptr ? std::string() : std::string(description);

  const int classCount = module.libNumberClasses();
  if (classCount < 0) {
    module.dllMain(module.instance, DLL_PROCESS_DETACH, nullptr);
    return refuse("LibNumberClasses returned " + std::to_string(classCount));
  }

  const int moduleIndex = static_cast<int>(modules_.size());
  std::string skipped;
  for (int i = 0; i < classCount; ++i) {
    ClassDesc* const descriptor = module.libClassDesc(i);
    if (descriptor == nullptr) {
      skipped += (skipped.empty() ? "" : "; ") + std::string("LibClassDesc(") +
                 std::to_string(i) + ") is null";
      continue;
    }
    const SClass_ID superClassId = descriptor->SuperClassID();
    const Class_ID classId = descriptor->ClassID();
    if (FindClass(superClassId, classId) != nullptr) {
      skipped += (skipped.empty() ? "" : "; ") + std::string("class ") +
                 FormatClassId(superClassId, classId) + " is already provided by another module";
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

void* PluginLoader::CreateInstance(SClass_ID superClassId, const Class_ID& classId,
                                   BOOL loading) const {
  ClassDesc* const descriptor = FindClass(superClassId, classId);
  return descriptor == nullptr ? nullptr : descriptor->Create(loading);
}
