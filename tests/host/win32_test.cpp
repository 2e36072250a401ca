// The host's stand-ins for the Windows calls a module makes. This program registers its own
// string table, under its own instance handle, as a module does.
#include "host/win32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const StringResource kTable[] = {{1, "Veld Map"}, {2, "Quenbox"}, {19, "Memory consumed :"}};

HINSTANCE Self() { return ModuleInstanceFromAddress(&kTable); }

class LoadStringTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(RegisterModuleStrings(&kTable, kTable, 3), Self()); }
  void TearDown() override { UnregisterModuleStrings(&kTable); }
};

TEST(ModuleInstance, IsTheLoadAddressOfTheModuleHoldingTheAddress) {
  ASSERT_NE(Self(), nullptr);
  // Code and data of one program are one module.
  EXPECT_EQ(ModuleInstanceFromAddress(reinterpret_cast<const void*>(&Self)), Self());
  // The host library is another.
  EXPECT_NE(ModuleInstanceFromAddress(reinterpret_cast<const void*>(&LoadStringA)), Self());
  EXPECT_EQ(ModuleInstanceFromAddress(nullptr), nullptr);
}

TEST_F(LoadStringTest, CopiesAWholeStringThatFits) {
  char buffer[32];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(LoadStringA(Self(), 19, buffer, 32), 17);
  EXPECT_STREQ(buffer, "Memory consumed :");
  EXPECT_EQ(buffer[18], 'x');  // nothing written past the terminator
}

TEST_F(LoadStringTest, TruncatesToOneLessThanTheBuffer) {
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(LoadStringA(Self(), 1, buffer, 4), 3);
  EXPECT_STREQ(buffer, "Vel");
  EXPECT_EQ(buffer[4], 'x');
  // Exactly the length: one character short of room for the terminator.
  EXPECT_EQ(LoadStringA(Self(), 1, buffer, 8), 7);
  EXPECT_STREQ(buffer, "Veld Ma");
  EXPECT_EQ(LoadStringA(Self(), 1, buffer, 9), 8);
  EXPECT_STREQ(buffer, "Veld Map");
}

TEST_F(LoadStringTest, ABufferOfOneHoldsOnlyTheTerminator) {
  char buffer[4] = "abc";
  EXPECT_EQ(LoadStringA(Self(), 1, buffer, 1), 0);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], 'b');
}

TEST_F(LoadStringTest, NoRoomOrNoBufferCopiesNothing) {
  char buffer[4] = "abc";
  EXPECT_EQ(LoadStringA(Self(), 1, buffer, 0), 0);
  EXPECT_EQ(LoadStringA(Self(), 1, buffer, -5), 0);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(LoadStringA(Self(), 1, nullptr, 32), 0);
}

TEST_F(LoadStringTest, UnknownIdOrInstanceGivesZeroAndAnEmptyBuffer) {
  char buffer[32] = "stale";
  EXPECT_EQ(LoadStringA(Self(), 6, buffer, 32), 0);
  EXPECT_STREQ(buffer, "");
  std::strcpy(buffer, "stale");
  const HINSTANCE host = ModuleInstanceFromAddress(reinterpret_cast<const void*>(&LoadStringA));
  EXPECT_EQ(LoadStringA(host, 1, buffer, 32), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(LoadStringA(nullptr, 1, buffer, 32), 0);
}

TEST_F(LoadStringTest, UnregisteredTableIsGone) {
  char buffer[32];
  ASSERT_EQ(LoadStringA(Self(), 2, buffer, 32), 7);
  UnregisterModuleStrings(&kTable);
  EXPECT_EQ(LoadStringA(Self(), 2, buffer, 32), 0);
}

TEST_F(LoadStringTest, ASecondRegistrationReplacesTheFirst) {
  static const StringResource replacement[] = {{2, "Other"}};
  RegisterModuleStrings(&kTable, replacement, 1);
  char buffer[32];
  EXPECT_EQ(LoadStringA(Self(), 2, buffer, 32), 5);
  EXPECT_STREQ(buffer, "Other");
  EXPECT_EQ(LoadStringA(Self(), 1, buffer, 32), 0);
}

TEST(CommonControls, EveryCallIsCounted) {
  const int common = InitCommonControlsCallCount();
  const int custom = InitCustomControlsCallCount();
  InitCommonControls();
  EXPECT_EQ(InitCommonControlsCallCount(), common + 1);
  EXPECT_EQ(InitCustomControlsCallCount(), custom);
  InitCustomControls(Self());
  InitCustomControls(Self());
  EXPECT_EQ(InitCustomControlsCallCount(), custom + 2);
  EXPECT_EQ(LastInitCustomControlsInstance(), Self());
}

TEST(ShellExecute, RecordsTheRequestAndReportsSuccess) {
  ClearShellExecuteRecord();
  EXPECT_FALSE(LastShellExecute().has_value());
  const HINSTANCE result = ShellExecuteA(nullptr, "open", "help/veldmap.html", nullptr, "docs", SW_SHOWNORMAL);
  EXPECT_GT(reinterpret_cast<std::uintptr_t>(result), 32u);
  const std::optional<ShellExecuteRecord> record = LastShellExecute();
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->verb, "open");
  EXPECT_EQ(record->file, "help/veldmap.html");
  EXPECT_EQ(record->parameters, "");
  EXPECT_EQ(record->directory, "docs");
  EXPECT_EQ(record->show, SW_SHOWNORMAL);
  ShellExecuteA(nullptr, nullptr, "second", "-x", nullptr, 0);
  EXPECT_EQ(LastShellExecute()->file, "second");
  EXPECT_EQ(LastShellExecute()->verb, "");
  ClearShellExecuteRecord();
  EXPECT_FALSE(LastShellExecute().has_value());
}

}  // namespace
