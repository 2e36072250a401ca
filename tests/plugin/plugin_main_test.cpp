// The module's entry points and string loading, through its static build. The tests own the
// module-wide state here: each starts as if the module had just been mapped, before DllMain.
#include "plugin/plugin_main.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/win32.h"
#include "resources/resource_data.h"

namespace {

HINSTANCE Self() { return ModuleInstanceFromAddress(&pluginInstance); }

class PluginMainTest : public testing::Test {
 protected:
  void SetUp() override {
    pluginInstance = nullptr;
    controlsInitialized = 0;
  }
};

TEST_F(PluginMainTest, NothingLoadsBeforeDllMain) {
  for (int id = 0; id <= 21; ++id) EXPECT_EQ(LoadPluginString(id), nullptr) << "string " << id;
  EXPECT_EQ(LibDescription(), nullptr);
  EXPECT_EQ(theVeldmapClassDesc.ClassName(), nullptr);
  EXPECT_EQ(theVeldmapClassDesc.Category(), nullptr);
  // The internal name is fixed, not loaded, so it is there from the start.
  EXPECT_STREQ(theVeldmapClassDesc.InternalName(), "Veldmap");
}

TEST_F(PluginMainTest, StringsLoadOnceDllMainHasTheHandle) {
  ASSERT_EQ(DllMain(Self(), DLL_PROCESS_ATTACH, nullptr), TRUE);
  EXPECT_EQ(pluginInstance, Self());
  EXPECT_STREQ(LoadPluginString(1), "Veld Map");
  EXPECT_STREQ(LibDescription(), "Veld Map");
  EXPECT_STREQ(theVeldmapClassDesc.ClassName(), "Veldmap");
  EXPECT_STREQ(theVeldmapClassDesc.Category(), "Quenbox");
  EXPECT_EQ(LoadPluginString(6), nullptr);
  EXPECT_EQ(LoadPluginString(0), nullptr);
  EXPECT_EQ(LoadPluginString(21), nullptr);
  EXPECT_EQ(LoadPluginString(-1), nullptr);
}

TEST_F(PluginMainTest, EveryResultSharesOneBuffer) {
  DllMain(Self(), DLL_PROCESS_ATTACH, nullptr);
  const char* const category = LoadPluginString(2);
  ASSERT_NE(category, nullptr);
  EXPECT_STREQ(category, "Quenbox");
  const char* const className = LoadPluginString(3);
  EXPECT_EQ(className, category);
  EXPECT_EQ(className, stringBuffer);
  EXPECT_STREQ(category, "Veldmap");  // the earlier result now reads the later string
}

TEST_F(PluginMainTest, FirstDllMainInitialisesControlsAndLaterOnesOnlyStoreTheHandle) {
  const int custom = InitCustomControlsCallCount();
  const int common = InitCommonControlsCallCount();
  ASSERT_EQ(DllMain(Self(), DLL_PROCESS_ATTACH, nullptr), TRUE);
  EXPECT_EQ(controlsInitialized, 1);
  EXPECT_EQ(InitCustomControlsCallCount(), custom + 1);
  EXPECT_EQ(InitCommonControlsCallCount(), common + 1);
  EXPECT_EQ(LastInitCustomControlsInstance(), Self());

  // Another handle, so that storing it is visible; controls must not be initialised again.
  static char elsewhere;
  const auto other = reinterpret_cast<HINSTANCE>(&elsewhere);
  EXPECT_EQ(DllMain(other, DLL_THREAD_ATTACH, nullptr), TRUE);
  EXPECT_EQ(pluginInstance, other);
  EXPECT_EQ(InitCustomControlsCallCount(), custom + 1);
  EXPECT_EQ(InitCommonControlsCallCount(), common + 1);
  // The string table belongs to the module's real handle, not whatever DllMain was given.
  EXPECT_EQ(LoadPluginString(1), nullptr);

  EXPECT_EQ(DllMain(Self(), DLL_PROCESS_DETACH, nullptr), TRUE);
  EXPECT_EQ(pluginInstance, Self());
  EXPECT_EQ(InitCustomControlsCallCount(), custom + 1);
}

TEST_F(PluginMainTest, EntryPointsDescribeOneTexmapClass) {
  EXPECT_EQ(LibVersion(), 0x17700D00u);
  EXPECT_EQ(LibNumberClasses(), 1);
  EXPECT_EQ(LibClassDesc(0), &theVeldmapClassDesc);
  EXPECT_EQ(LibClassDesc(1), nullptr);
  EXPECT_EQ(LibClassDesc(-1), nullptr);
  EXPECT_EQ(theVeldmapClassDesc.IsPublic(), 1);
  EXPECT_EQ(theVeldmapClassDesc.SuperClassID(), 0xC10u);
  EXPECT_EQ(theVeldmapClassDesc.ClassID(), Class_ID(0x3ba26d33, 0x4029d4f7));
  EXPECT_EQ(theVeldmapClassDesc.HInstance(), nullptr);
  DllMain(Self(), DLL_PROCESS_ATTACH, nullptr);
  EXPECT_EQ(theVeldmapClassDesc.HInstance(), Self());
}

}  // namespace
