// The module as the command-line host sees it: opened by the loader from the plug-in folder,
// reached only through its entry points and the class directory.
#include "host/plugin_loader.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <filesystem>
#include <string>

#include "host/mtl_params.h"
#include "host/param_block.h"
#include "host/win32.h"
#include "tests/support/block_owner.h"

namespace {

const Class_ID kVeldmapClass(0x3ba26d33, 0x4029d4f7);
const std::filesystem::path kPluginDir = VELDMAP_PLUGIN_DIR;
const std::filesystem::path kBadVersionDir = VELDMAP_BAD_VERSION_DIR;
const std::filesystem::path kMissingEntryDir = VELDMAP_MISSING_ENTRY_DIR;

#ifdef _WIN32
bool StillLoaded(const std::filesystem::path& file) { return ::GetModuleHandleW(file.filename().c_str()) != nullptr; }
void* Symbol(void* handle, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle), name));
}
#else
bool StillLoaded(const std::filesystem::path& file) {
  void* const handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}
void* Symbol(void* handle, const char* name) { return dlsym(handle, name); }
#endif

TEST(PluginLoader, LoadsTheVeldmapModuleFromThePluginFolder) {
  PluginLoader loader;
  const std::vector<std::string> errors = loader.LoadFolder(kPluginDir);
  EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : errors.front());
  ASSERT_EQ(loader.Modules().size(), 1u);
  const LoadedModule& module = loader.Modules()[0];
  EXPECT_EQ(module.file.filename(), "Veldmap.dlt");
  EXPECT_EQ(module.version, 0x17700D00u);
  EXPECT_EQ(module.description, "Veld Map");
  // The instance handle is the module's load address, which the module can compute for itself.
  ASSERT_NE(module.instance, nullptr);
  EXPECT_EQ(module.instance, ModuleInstanceFromAddress(Symbol(module.handle, "LibVersion")));
  EXPECT_NE(module.instance, ModuleInstanceFromAddress(reinterpret_cast<const void*>(&StillLoaded)));
}

TEST(PluginLoader, EntryPointsAnswerAsTheHostExpects) {
  PluginLoader loader;
  ASSERT_TRUE(loader.LoadFolder(kPluginDir).empty());
  ASSERT_EQ(loader.Modules().size(), 1u);
  const LoadedModule& module = loader.Modules()[0];
  const auto libVersion = reinterpret_cast<LibVersionFunction>(Symbol(module.handle, "LibVersion"));
  ASSERT_NE(libVersion, nullptr);
  EXPECT_EQ(libVersion(), 0x17700D00u);
  EXPECT_EQ(module.libNumberClasses(), 1);
  ClassDesc* const first = module.libClassDesc(0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(module.libClassDesc(0), first);  // one static descriptor, never a fresh object
  EXPECT_EQ(module.libClassDesc(1), nullptr);
  EXPECT_EQ(module.libClassDesc(-1), nullptr);
  EXPECT_STREQ(module.libDescription(), "Veld Map");
}

TEST(PluginLoader, ClassDirectoryFindsTheMapByItsIds) {
  PluginLoader loader;
  ASSERT_TRUE(loader.LoadFolder(kPluginDir).empty());
  ASSERT_EQ(loader.Classes().size(), 1u);
  ClassDesc* const descriptor = loader.FindClass(0xC10, kVeldmapClass);
  ASSERT_NE(descriptor, nullptr);
  EXPECT_EQ(descriptor, loader.Modules()[0].libClassDesc(0));
  EXPECT_EQ(loader.FindClass(GEOMOBJECT_CLASS_ID, kVeldmapClass), nullptr);
  EXPECT_EQ(loader.FindClass(TEXMAP_CLASS_ID, Class_ID(0x3ba26d33, 0x4029d4f8)), nullptr);
  EXPECT_EQ(loader.CreateInstance(TEXMAP_CLASS_ID, Class_ID(1, 2)), nullptr);

  EXPECT_EQ(descriptor->SuperClassID(), TEXMAP_CLASS_ID);
  EXPECT_EQ(descriptor->ClassID(), kVeldmapClass);
  EXPECT_EQ(descriptor->IsPublic(), 1);
  EXPECT_STREQ(descriptor->ClassName(), "Veldmap");
  EXPECT_STREQ(descriptor->Category(), "Quenbox");
  EXPECT_STREQ(descriptor->InternalName(), "Veldmap");
  // DllMain ran with the loader's handle before any class was listed.
  EXPECT_EQ(descriptor->HInstance(), loader.Modules()[0].instance);
}

TEST(PluginLoader, AttachInitialisesControlsOnceWithTheModuleHandle) {
  const int customBefore = InitCustomControlsCallCount();
  const int commonBefore = InitCommonControlsCallCount();
  PluginLoader loader;
  ASSERT_TRUE(loader.LoadFolder(kPluginDir).empty());
  ASSERT_EQ(loader.Modules().size(), 1u);
  EXPECT_EQ(InitCustomControlsCallCount(), customBefore + 1);
  EXPECT_EQ(InitCommonControlsCallCount(), commonBefore + 1);
  EXPECT_EQ(LastInitCustomControlsInstance(), loader.Modules()[0].instance);
}

TEST(PluginLoader, DestructionClosesTheModuleAndDropsItsStrings) {
  HINSTANCE instance = nullptr;
  const std::filesystem::path file = kPluginDir / "Veldmap.dlt";
  {
    PluginLoader loader;
    ASSERT_TRUE(loader.LoadFolder(kPluginDir).empty());
    instance = loader.Modules()[0].instance;
    char text[32];
    EXPECT_EQ(LoadStringA(instance, 1, text, 32), 8);
    EXPECT_TRUE(StillLoaded(file));
  }
  EXPECT_FALSE(StillLoaded(file));
  char text[32] = "untouched";
  EXPECT_EQ(LoadStringA(instance, 1, text, 32), 0);
  EXPECT_STREQ(text, "");
}

TEST(PluginLoader, RefusesAnotherVersionBeforeCallingAnythingElse) {
  const int customBefore = InitCustomControlsCallCount();
  PluginLoader loader;
  const std::vector<std::string> errors = loader.LoadFolder(kBadVersionDir);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("BadVersion.dlt"), std::string::npos) << errors[0];
  EXPECT_NE(errors[0].find("0x17700C00"), std::string::npos) << errors[0];
  EXPECT_NE(errors[0].find("0x17700D00"), std::string::npos) << errors[0];
  EXPECT_TRUE(loader.Modules().empty());
  EXPECT_TRUE(loader.Classes().empty());
  EXPECT_EQ(InitCustomControlsCallCount(), customBefore) << "an entry point other than LibVersion ran";
  EXPECT_FALSE(StillLoaded(kBadVersionDir / "BadVersion.dlt"));
}

TEST(PluginLoader, RefusesAModuleLackingAnEntryPointWithoutAttachingIt) {
  const int customBefore = InitCustomControlsCallCount();
  PluginLoader loader;
  const std::vector<std::string> errors = loader.LoadFolder(kMissingEntryDir);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("MissingEntry.dlt"), std::string::npos) << errors[0];
  EXPECT_NE(errors[0].find("LibClassDesc"), std::string::npos) << errors[0];
  EXPECT_TRUE(loader.Modules().empty());
  EXPECT_EQ(InitCustomControlsCallCount(), customBefore) << "DllMain ran";
  EXPECT_FALSE(StillLoaded(kMissingEntryDir / "MissingEntry.dlt"));
}

TEST(PluginLoader, ARefusedModuleDoesNotStopTheOthers) {
  PluginLoader loader;
  EXPECT_EQ(loader.LoadFolder(kBadVersionDir).size(), 1u);
  EXPECT_TRUE(loader.LoadFolder(kPluginDir).empty());
  ASSERT_EQ(loader.Modules().size(), 1u);
  EXPECT_NE(loader.FindClass(TEXMAP_CLASS_ID, kVeldmapClass), nullptr);
}

TEST(PluginLoader, SecondCopyOfAClassIsSkippedNotListedTwice) {
  PluginLoader loader;
  ASSERT_TRUE(loader.LoadFolder(kPluginDir).empty());
  // The same file opened again is the same mapping, so its class arrives a second time.
  const std::string message = loader.LoadModule(kPluginDir / "Veldmap.dlt");
  EXPECT_NE(message.find("already provided"), std::string::npos) << message;
  EXPECT_EQ(loader.Classes().size(), 1u);
}

TEST(PluginLoader, MissingFolderIsAMessageNotACrash) {
  PluginLoader loader;
  const std::filesystem::path folder = kPluginDir / "no such folder";
  const std::vector<std::string> errors = loader.LoadFolder(folder);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("no such folder"), std::string::npos) << errors[0];
  EXPECT_TRUE(loader.Modules().empty());
}

TEST(PluginLoader, FileThatIsNotAModuleIsRefusedByName) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "veldmap_loader_test_not_a_module";
  std::filesystem::create_directories(folder);
  std::FILE* const file = std::fopen((folder / "Broken.dlt").string().c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("not an ELF file", file);
  std::fclose(file);
  PluginLoader loader;
  const std::vector<std::string> errors = loader.LoadFolder(folder);
  std::filesystem::remove_all(folder);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("Broken.dlt"), std::string::npos) << errors[0];
  EXPECT_TRUE(loader.Modules().empty());
}

TEST(PluginLoader, ModuleDescriptorBuildsBlocksAndRolloutsThroughTheHost) {
  PluginLoader loader;
  ASSERT_TRUE(loader.LoadFolder(kPluginDir).empty());
  auto* descriptor = dynamic_cast<ClassDesc2*>(loader.FindClass(TEXMAP_CLASS_ID, kVeldmapClass));
  ASSERT_NE(descriptor, nullptr);
  ASSERT_EQ(descriptor->NumParamBlockDescs(), 1);
  EXPECT_EQ(descriptor->GetParamBlockDesc(0)->Errors(), "");
  {
    BlockOwner owner;
    descriptor->MakeAutoParamBlocks(&owner);
    ASSERT_NE(owner.block, nullptr);
    EXPECT_EQ(owner.block->GetInt(9), 6);       // quadTreeDepth
    EXPECT_EQ(owner.block->GetFloat(4), 1.0f);  // uScale
    MaterialEditor editor;
    IAutoMParamDlg* dlg = descriptor->CreateParamDlgs(nullptr, &editor, &owner);
    ASSERT_EQ(dlg->NumMaps(), 1);
    // The template and the title come from the module's own resources.
    EXPECT_TRUE(dlg->GetMap(0)->HasTemplate());
    EXPECT_EQ(dlg->GetMap(0)->Controls().size(), 25u);
    EXPECT_EQ(editor.pages, std::vector<std::string>{"Parameters"});
    EXPECT_STREQ(descriptor->GetRsrcString(16), "Color Ramp Texture");
    dlg->DeleteThis();
    owner.DeleteAllRefsFromMe();  // the block goes before the module may
  }
}

}  // namespace
