// The host's stand-ins for the Windows calls a module makes. This program registers its own
// string table, under its own instance handle, as a module does; on Windows the same strings are
// its real string table and LoadStringA the system's, which must answer the same.
#include "host/win32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

const StringResource kTable[] = {{1, "Veld Map"}, {2, "Quenbox"}, {19, "Memory consumed :"}};

HINSTANCE Self() { return ModuleInstanceFromAddress(&kTable); }

// The host library's own handle. On Windows a program reaches an imported function through a
// stub of its own, so the function's address would name the program.
HINSTANCE Host() {
#ifdef _WIN32
  return ::GetModuleHandleA("libveldmap_host.dll");
#else
  return ModuleInstanceFromAddress(reinterpret_cast<const void*>(&InitCustomControls));
#endif
}

class LoadStringTest : public testing::Test {
 protected:
#ifndef _WIN32
  void SetUp() override { ASSERT_EQ(RegisterModuleStrings(&kTable, kTable, 3), Self()); }
  void TearDown() override { UnregisterModuleStrings(&kTable); }
#endif
};

TEST(ModuleInstance, IsTheLoadAddressOfTheModuleHoldingTheAddress) {
  ASSERT_NE(Self(), nullptr);
  // Code and data of one program are one module.
  EXPECT_EQ(ModuleInstanceFromAddress(reinterpret_cast<const void*>(&Self)), Self());
  // The host library is another.
  ASSERT_NE(Host(), nullptr);
  EXPECT_NE(Host(), Self());
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

// What the system's LoadStringA makes of no room or no buffer is its own affair (a null buffer
// faults there), so this holds for the host's own only.
#ifndef _WIN32
TEST_F(LoadStringTest, NoRoomOrNoBufferCopiesNothing) {
  char buffer[4] = "abc";
  EXPECT_EQ(LoadStringA(Self(), 1, buffer, 0), 0);
  EXPECT_EQ(LoadStringA(Self(), 1, buffer, -5), 0);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(LoadStringA(Self(), 1, nullptr, 32), 0);
}
#endif

TEST_F(LoadStringTest, UnknownIdOrInstanceGivesZeroAndAnEmptyBuffer) {
  char buffer[32] = "stale";
  EXPECT_EQ(LoadStringA(Self(), 6, buffer, 32), 0);
  EXPECT_STREQ(buffer, "");
  std::strcpy(buffer, "stale");
  EXPECT_EQ(LoadStringA(Host(), 1, buffer, 32), 0);
  EXPECT_STREQ(buffer, "");
#ifndef _WIN32  // Windows reads a null instance as the program itself
  EXPECT_EQ(LoadStringA(nullptr, 1, buffer, 32), 0);
#endif
}

#ifndef _WIN32  // the registry is how modules bring strings where there are no resources
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
#endif

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
  SetShellExecuteRuns(false);
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

#ifdef _WIN32
// With running left on, the request reaches the system's ShellExecuteA, whose answer comes back:
// a file that does not exist is its error 2 (file not found), not this host's made-up success.
TEST(ShellExecute, OnWindowsTheSystemRunsTheRequest) {
  SetShellExecuteRuns(true);
  const HINSTANCE result = ShellExecuteA(nullptr, "open", "no such file 3f9c.txt", nullptr, nullptr, SW_SHOWNORMAL);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(result), 2u);
  EXPECT_EQ(LastShellExecute()->file, "no such file 3f9c.txt");
  SetShellExecuteRuns(false);
}
#endif

}  // namespace
