// Scene files and BMP previews under failing system calls, a full disk, a folder in the way and
// a process killed mid-save.
#include "host/atomic_file.h"
#include "host/bitmap.h"
#include "host/chunk_io.h"
#include "tests/support/safe_save_checks.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

namespace {

using namespace safe_save;

// Containers of leaves, so a save both appends and goes back to fix lengths. The records ignore
// what Write returns, as careless ones do: the save alone must notice a failure.
std::function<IOResult(ISave&)> SceneRecords(int containers, int leavesEach, std::size_t leafBytes, unsigned seed) {
  return [=](ISave& save) {
    Bytes leaf(leafBytes);
    for (int c = 0; c < containers; ++c) {
      save.BeginChunk(static_cast<unsigned short>(0x2000 + c));
      for (int l = 0; l < leavesEach; ++l) {
        for (std::size_t i = 0; i < leafBytes; ++i) {
          leaf[i] = static_cast<unsigned char>(i * 31 + seed + static_cast<unsigned>(c * 7 + l));
        }
        save.BeginChunk(static_cast<unsigned short>(l + 1));
        save.Write(leaf.data(), static_cast<unsigned long>(leaf.size()), nullptr);
        save.EndChunk();
      }
      save.EndChunk();
    }
    return IO_OK;
  };
}

Bytes SceneBytes(const std::function<IOResult(ISave&)>& records) {
  MemorySave memory;
  EXPECT_EQ(records(memory), IO_OK);
  return memory.Bytes();
}

Save SceneSaver(const fs::path& path, const std::function<IOResult(ISave&)>& records) {
  return [path, records](std::string* error) { return SaveSceneFile(path.string(), records, error) == IO_OK; };
}

struct DIBDeleter {
  void operator()(BITMAPINFO* dib) const { FreeDIB(dib); }
};

std::unique_ptr<BITMAPINFO, DIBDeleter> GradientDIB(int width, int height, unsigned seed) {
  std::unique_ptr<BITMAPINFO, DIBDeleter> dib(AllocateDIB(width, height));
  unsigned char* pixels = DIBPixels(dib.get());
  for (std::size_t i = 0; i < dib->bmiHeader.biSizeImage; ++i) pixels[i] = static_cast<unsigned char>(i * 7 + seed);
  return dib;
}

TEST(SafeSave, EveryFailingCallLeavesTheOldSceneOrPreviewAndNoTemporary) {
  {
    ScratchFolder folder;
    const auto oldRecords = SceneRecords(3, 5, 100, 1), newRecords = SceneRecords(4, 6, 150, 2);
    const Bytes fresh = SceneBytes(newRecords);
    ASSERT_GT(fresh.size(), 3000u);
    const fs::path path = folder.path() / "scene.vld";
    CheckEveryFailingCall(path, SceneBytes(oldRecords), fresh, SceneSaver(path, newRecords));
  }
  {
    ScratchFolder folder, reference;
    const auto oldDib = GradientDIB(16, 8, 1), newDib = GradientDIB(24, 12, 2);
    // The longest name a folder takes: the temporary's name, longer still, must be made to fit.
    // (Windows without long paths caps the whole path at 260, which a longest name overruns.)
#ifdef _WIN32
    const std::size_t stem = 120;
#else
    const std::size_t stem = NAME_MAX - 4;
#endif
    const fs::path path = folder.path() / (std::string(stem, 'p') + ".bmp"), oldPath = reference.path() / "old.bmp",
                   newPath = reference.path() / "new.bmp";
    ASSERT_TRUE(SaveDIBAsBMP(oldDib.get(), oldPath.string(), nullptr));
    ASSERT_TRUE(SaveDIBAsBMP(newDib.get(), newPath.string(), nullptr));
    CheckEveryFailingCall(path, ReadFile(oldPath), ReadFile(newPath),
                          [&](std::string* error) { return SaveDIBAsBMP(newDib.get(), path.string(), error); });
  }
}

TEST(SafeSave, AFullDiskOrAFolderInTheWayLeavesEverythingAsItWas) {
  ScratchFolder folder;
  const auto records = SceneRecords(4, 8, 512, 3);
  const Bytes fresh = SceneBytes(records);
  const Bytes old = SceneBytes(SceneRecords(1, 1, 10, 4));
  const fs::path scene = folder.path() / "scene.vld";
  CheckFullDisk(scene, old, fresh.size(), 4096, SceneSaver(scene, records));
  fs::remove(scene);
  CheckTargetIsAFolder(scene, SceneSaver(scene, records));

  const auto dib = GradientDIB(64, 64, 5);
  const fs::path preview = folder.path() / "preview.bmp";
  const Save saveBmp = [&](std::string* error) { return SaveDIBAsBMP(dib.get(), preview.string(), error); };
  CheckFullDisk(preview, {'o', 'l', 'd'}, DIBByteSize(64, 64), 5000, saveBmp);
  fs::remove(preview);
  CheckTargetIsAFolder(preview, saveBmp);
}

#ifndef _WIN32  // needs fork; the rename it relies on is the same MoveFileEx call on Windows
// A process killed at any moment of a save leaves the target as one whole version: the rename is
// the only step that touches it. What a killed process cannot do is remove its temporary.
TEST(SafeSave, AKilledSaveLeavesOneWholeVersion) {
  ScratchFolder folder;
  const fs::path path = folder.path() / "scene.vld";
  const auto recordsA = SceneRecords(40, 20, 4096, 10), recordsB = SceneRecords(41, 20, 4096, 11);
  const Bytes a = SceneBytes(recordsA), b = SceneBytes(recordsB);
  ASSERT_GT(a.size(), 3'000'000u);

  // Delays span a few saves, whatever this machine's speed, so kills land at every stage.
  const auto start = std::chrono::steady_clock::now();
  std::string error;
  ASSERT_EQ(SaveSceneFile(path.string(), recordsA, &error), IO_OK) << error;
  const auto saveTime = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  std::mt19937 random(20240611);
  std::uniform_int_distribution<long> delay(0, 3 * saveTime.count());

  int leftovers = 0, sawB = 0, killedMidSave = 0;
  for (int trial = 0; trial < 20; ++trial) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (unsigned i = 0;; ++i) SaveSceneFile(path.string(), i % 2 == 0 ? recordsB : recordsA, nullptr);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "trial " << trial;

    const Bytes now = ReadFile(path);
    EXPECT_TRUE(now == a || now == b) << "trial " << trial << ": " << now.size() << " bytes, neither version";
    sawB += now == b;
    bool midSave = false;
    for (const std::string& name : Entries(folder.path())) {
      if (name == path.filename()) continue;
      EXPECT_EQ(name.rfind("scene.vld.tmp.", 0), 0u) << name;
      fs::remove(folder.path() / name);
      ++leftovers;
      midSave = true;
    }
    killedMidSave += midSave;
  }
  // Without kills inside a save this proves nothing.
  EXPECT_GT(killedMidSave, 0);
  std::printf("20 kills: %d mid-save (%d temporaries removed), the target was version B %d times\n", killedMidSave,
              leftovers, sawB);
}
#endif

#ifndef _WIN32
bool WriteThrough(const fs::path& target, const std::string& text, std::string* why) {
  AtomicFileWriter writer;
  return writer.Open(target.string(), why) &&
         writer.Write(reinterpret_cast<const unsigned char*>(text.data()), text.size(), why) && writer.Commit(why);
}

std::string ReadText(const fs::path& path) {
  const Bytes bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// A link is where the user keeps the file, not the file: the save lands in the file it points to
// (through a chain of links, relative or absolute) and the links stay links.
TEST(SafeSave, ALinkIsFollowedAndStaysALink) {
  ScratchFolder folder, elsewhere;
  const fs::path real = elsewhere.path() / "real.png";
  WriteFile(real, {'o', 'l', 'd'});
  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const fs::path middle = elsewhere.path() / "middle.png", link = folder.path() / "link.png";
  fs::create_symlink("real.png", middle);  // relative to its own folder
  fs::create_symlink(middle, link);        // absolute
  std::string why;
  {
    AtomicFileWriter writer;
    ASSERT_TRUE(writer.Open(link.string(), &why)) << why;
    // The temporary sits beside the real file, so the rename stays within one file system.
    EXPECT_EQ(fs::path(writer.TemporaryPath()).parent_path(), elsewhere.path());
  }
  ASSERT_TRUE(WriteThrough(link, "new", &why)) << why;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::is_symlink(middle));
  EXPECT_EQ(fs::read_symlink(middle), "real.png");
  EXPECT_EQ(ReadText(real), "new");
  EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(Entries(folder.path()), std::vector<std::string>{"link.png"});
  EXPECT_EQ(Entries(elsewhere.path()), (std::vector<std::string>{"middle.png", "real.png"}));

  // A link to a file not made yet makes that file.
  const fs::path dangling = folder.path() / "dangling.png";
  fs::create_symlink(elsewhere.path() / "later.png", dangling);
  ASSERT_TRUE(WriteThrough(dangling, "made", &why)) << why;
  EXPECT_TRUE(fs::is_symlink(dangling));
  EXPECT_EQ(ReadText(elsewhere.path() / "later.png"), "made");

  // A loop of links is an error, not a hang.
  fs::create_symlink("loop_b", folder.path() / "loop_a");
  fs::create_symlink("loop_a", folder.path() / "loop_b");
  EXPECT_FALSE(WriteThrough(folder.path() / "loop_a", "x", &why));
  EXPECT_TRUE(fs::is_symlink(folder.path() / "loop_a"));
}

// A device, a pipe or a socket cannot be replaced by a file without breaking whoever uses it: the
// bytes go straight into it, and a write it refuses is a failed save.
TEST(SafeSave, ASpecialFileIsWrittenInPlaceAndItsErrorsAreFailures) {
  ScratchFolder folder;
  std::string why;
  const fs::path pipe = folder.path() / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  // The reader is there before the writer, as a shell's would be; non-blocking, so a save that
  // misses the pipe cannot hang the test.
  const int readEnd = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(readEnd, 0);
  EXPECT_TRUE(WriteThrough(pipe, "through the pipe", &why)) << why;
  char received[64] = {};
  const long got = ::read(readEnd, received, sizeof received);
  ::close(readEnd);
  EXPECT_EQ(std::string(received, got > 0 ? static_cast<std::size_t>(got) : 0), "through the pipe");
  EXPECT_TRUE(fs::is_fifo(pipe));

  // Device nodes of our own (the null and full devices' numbers), so nothing outside the test's
  // folder is at stake; making them needs root, which CI has.
  const fs::path null = folder.path() / "null", full = folder.path() / "full";
  if (::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
      ::mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "device nodes need root";
  }
  EXPECT_TRUE(WriteThrough(null, "gone", &why)) << why;
  EXPECT_TRUE(fs::is_character_file(null));
  EXPECT_FALSE(WriteThrough(full, std::string(100000, 'x'), &why));
  EXPECT_NE(why.find(std::strerror(ENOSPC)), std::string::npos) << why;
  EXPECT_TRUE(fs::is_character_file(full));
  // Scene saves go back over their bytes; on a device that cannot seek that fails too, loudly.
  EXPECT_NE(SaveSceneFile(full.string(), SceneRecords(1, 1, 10, 4), &why), IO_OK);
  EXPECT_TRUE(fs::is_character_file(full));
  EXPECT_EQ(Entries(folder.path()), (std::vector<std::string>{"full", "null", "pipe"}));
}
#endif

}  // namespace
