// Loads plug-in modules and keeps the directory of the classes they provide.
//
// For each module: open it, check LibVersion before calling or looking up anything else, find
// the other entry points, run DllMain(DLL_PROCESS_ATTACH) with the module's instance handle,
// then list its class descriptors. A module that fails any step is refused with a message and
// closed again; nothing throws or aborts. Modules stay loaded, and every descriptor stays valid,
// until the loader is destroyed, which detaches and closes them in reverse load order. Objects
// made through the directory must be deleted before then.
//
// Not thread-safe: load from one thread, then read the directory from any.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "host/class_desc.h"
#include "host/class_id.h"
#include "host/plugin_api.h"
#include "host/types.h"

struct LoadedModule {
  std::filesystem::path file;
  HINSTANCE instance = nullptr;
  std::string description;            // copied: the module's own buffer is reused by its next call
  void* handle = nullptr;             // from dlopen (LoadLibrary on Windows)
  DllMainFunction dllMain = nullptr;  // null on Windows, where the system calls DllMain
  LibDescriptionFunction libDescription = nullptr;
  LibNumberClassesFunction libNumberClasses = nullptr;
  LibClassDescFunction libClassDesc = nullptr;
  DWORD version = 0;
};

struct ClassEntry {
  SClass_ID superClassId = 0;
  Class_ID classId;
  ClassDesc* descriptor = nullptr;  // owned by the module
  int module = -1;                  // index into Modules()
};

class PluginLoader {
 public:
  PluginLoader() = default;
  PluginLoader(const PluginLoader&) = delete;
  PluginLoader& operator=(const PluginLoader&) = delete;
  ~PluginLoader();

  // Loads every "*.dlt" file directly inside folder, in name order so that the class directory
  // does not depend on the file system's listing order. Returns one message per refused module
  // (or one for an unreadable folder); the others are loaded even when some are refused.
  std::vector<std::string> LoadFolder(const std::filesystem::path& folder);

  // Loads one module. Returns an empty string when the module and all its classes were accepted,
  // else a message naming the file and what was wrong. A class whose IDs are already in the
  // directory, or a null descriptor, is skipped with a message but the module stays loaded;
  // any other fault refuses the whole module.
  std::string LoadModule(const std::filesystem::path& file);

  const std::vector<LoadedModule>& Modules() const { return modules_; }
  const std::vector<ClassEntry>& Classes() const { return classes_; }

  // The descriptor of the class, or null if no loaded module provides it.
  ClassDesc* FindClass(SClass_ID superClassId, const Class_ID& classId) const;
  // A new object of the class from its descriptor, or null if the class is unknown or its
  // descriptor cannot make one. See ClassDesc::Create for ownership.
  void* CreateInstance(SClass_ID superClassId, const Class_ID& classId, BOOL loading = FALSE) const;

 private:
  std::vector<LoadedModule> modules_;
  std::vector<ClassEntry> classes_;
};

// "0x17700D00": how messages show an interface version.
std::string FormatPluginVersion(DWORD version);
