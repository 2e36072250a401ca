#include "studio/path_policy.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace fs = std::filesystem;

namespace {

class PathPolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() / ("veldmap-path-policy-" + std::to_string(getpid()));
    fs::remove_all(base_);
    fs::create_directories(base_ / "root" / "sub");
    fs::create_directories(base_ / "rootless");  // shares the root's name as a prefix
    Touch(base_ / "root" / "in.obj");
    Touch(base_ / "root" / "sub" / "deep.obj");
    Touch(base_ / "rootless" / "secret.obj");
    Touch(base_ / "outside.obj");
    fs::create_symlink(base_ / "outside.obj", base_ / "root" / "link-out.obj");
    fs::create_symlink(base_ / "root" / "in.obj", base_ / "root" / "link-in.obj");
    fs::create_directory_symlink(base_, base_ / "root" / "up");
  }
  void TearDown() override { fs::remove_all(base_); }
  static void Touch(const fs::path& path) { std::ofstream(path) << "x"; }

  fs::path base_;
};

TEST_F(PathPolicyTest, ReadsOnlyFilesThatReallyLieInsideARoot) {
  const PathPolicy policy({base_ / "root"});
  std::string error;
  ASSERT_TRUE(policy.ForReading("in.obj", &error)) << error;
  EXPECT_EQ(*policy.ForReading("sub/deep.obj", &error), fs::canonical(base_ / "root" / "sub" / "deep.obj"));
  EXPECT_TRUE(policy.ForReading("link-in.obj", &error)) << error;
  EXPECT_EQ(policy.RelativeName(base_ / "root" / "sub" / "deep.obj"), "sub/deep.obj");

  for (const char* bad : {"../outside.obj", "sub/../in.obj", "link-out.obj", "up/outside.obj", "up/rootless/secret.obj",
                          "missing.obj", "sub", ""}) {
    error.clear();
    EXPECT_FALSE(policy.ForReading(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  EXPECT_FALSE(policy.ForReading((base_ / "outside.obj").string(), &error));
  EXPECT_NE(error.find("absolute"), std::string::npos);
  EXPECT_FALSE(policy.ForReading(std::string("in.obj\0x", 8), &error));
  EXPECT_FALSE(policy.RelativeName(base_ / "rootless" / "secret.obj"));
}

TEST_F(PathPolicyTest, WritesOnlyInsideTheChosenRootAndAnExistingFolder) {
  std::string error;
  const PathPolicy policy({base_ / "root", base_ / "rootless", base_ / "no-such-folder"}, &error);
  EXPECT_NE(error.find("no-such-folder"), std::string::npos);
  ASSERT_EQ(policy.Roots().size(), 2u);

  error.clear();
  EXPECT_EQ(*policy.ForWriting("new.vlds", 0, &error), fs::canonical(base_ / "root") / "new.vlds");
  EXPECT_EQ(*policy.ForWriting("sub/new.vlds", 0, &error), fs::canonical(base_ / "root" / "sub") / "new.vlds");
  EXPECT_EQ(*policy.ForWriting("other.vlds", 1, &error), fs::canonical(base_ / "rootless") / "other.vlds");
  EXPECT_TRUE(policy.ForWriting("link-in.obj", 0, &error)) << error;

  for (const char* bad : {"../escape.vlds", "up/escape.vlds", "link-out.obj", "nofolder/x.vlds", "sub", "sub/."}) {
    error.clear();
    EXPECT_FALSE(policy.ForWriting(bad, 0, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  EXPECT_FALSE(policy.ForWriting("x.vlds", 2, &error));
  EXPECT_FALSE(policy.ForWriting("/tmp/x.vlds", 0, &error));
  EXPECT_FALSE(fs::exists(base_ / "escape.vlds"));
}

}  // namespace
