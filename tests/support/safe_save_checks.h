// Checks shared by the crash-safe save tests of every file kind. A save that fails for any reason
// must name the path and the cause, leave the old file byte for byte and leave nothing beside it;
// these run a save with each of its system calls failing in turn and check exactly that.
#pragma once

#include "host/atomic_file.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <io.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace safe_save {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
// Saves the new content over the file under test; false, with the message in *error, on failure.
using Save = std::function<bool(std::string* error)>;

// Removes the hook however the scope ends, so a failed assertion cannot leave faults armed for
// the tests that follow.
class ScopedFileFault {
 public:
  explicit ScopedFileFault(FileFaultHook hook) { SetFileFaultForTesting(std::move(hook)); }
  ~ScopedFileFault() { SetFileFaultForTesting(nullptr); }
  ScopedFileFault(const ScopedFileFault&) = delete;
  ScopedFileFault& operator=(const ScopedFileFault&) = delete;
};

// A folder of the test's own, so a stray temporary is noticed rather than shared.
class ScratchFolder {
 public:
  ScratchFolder() { path_ = test_support::MakeTempFolder("safe_save_"); }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A failure path that forgets to close the temporary shows up here and nowhere else.
#ifdef _WIN32
// The C runtime's descriptors, which is what the writer opens; the first 2048 are all it hands out.
inline int OpenDescriptors() {
  int open = 0;
  for (int fd = 0; fd < 2048; ++fd) open += ::_get_osfhandle(fd) != -1;
  return open;
}
#else
inline int OpenDescriptors() {
  return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}
#endif

inline void ExpectRefusedAndUntouched(const fs::path& path, const Bytes& old, bool saved, const std::string& error,
                                      int err, const std::string& label) {
  EXPECT_FALSE(saved) << label;
  EXPECT_EQ(error.rfind(path.string() + ": ", 0), 0u) << label << ": " << error;
  EXPECT_NE(error.find(std::strerror(err)), std::string::npos) << label << ": " << error;
  EXPECT_EQ(ReadFile(path), old) << label;
  EXPECT_EQ(Entries(path.parent_path()), std::vector<std::string>{path.filename().string()}) << label;
}

inline const char* CallName(FileCall call) {
  switch (call) {
    case FileCall::Write: return "write";
    case FileCall::Fsync: return "fsync";
    case FileCall::Close: return "close";
    case FileCall::Rename: return "rename";
  }
  return "?";
}

// path holds old and is the only entry of its folder; save writes fresh over it. The save's
// calls are counted first, then each write, the fsync, the close and the rename fail in turn,
// then each write is interrupted once (which must not matter), then a save goes through.
inline void CheckEveryFailingCall(const fs::path& path, const Bytes& old, const Bytes& fresh, const Save& save) {
  ASSERT_NE(old, fresh);
  const int descriptors = OpenDescriptors();
  std::string error;
  int calls[4] = {};
  WriteFile(path, old);
  {
    ScopedFileFault count([&calls](FileCall call, int) {
      ++calls[static_cast<int>(call)];
      return 0;
    });
    ASSERT_TRUE(save(&error)) << error;
  }
  ASSERT_EQ(ReadFile(path), fresh);
  const int writes = calls[static_cast<int>(FileCall::Write)];
  EXPECT_GE(writes, 1);
  for (FileCall once : {FileCall::Fsync, FileCall::Close, FileCall::Rename}) {
    EXPECT_EQ(calls[static_cast<int>(once)], 1) << CallName(once);
  }

  struct Fault {
    FileCall call;
    int index;
    int err;
  };
  std::vector<Fault> faults;
  for (int k = 1; k <= writes; ++k) faults.push_back({FileCall::Write, k, ENOSPC});
  faults.push_back({FileCall::Fsync, 1, EIO});
#ifdef EDQUOT
  faults.push_back({FileCall::Close, 1, EDQUOT});
#else
  faults.push_back({FileCall::Close, 1, EIO});  // no disk quotas in Windows' C runtime
#endif
  faults.push_back({FileCall::Rename, 1, EXDEV});
  for (const Fault& fault : faults) {
    WriteFile(path, old);
    bool saved = true;
    {
      ScopedFileFault fail(
          [fault](FileCall call, int index) { return call == fault.call && index == fault.index ? fault.err : 0; });
      saved = save(&error);
    }
    ExpectRefusedAndUntouched(path, old, saved, error, fault.err,
                              std::string(CallName(fault.call)) + " " + std::to_string(fault.index) + " of " +
                                  std::to_string(calls[static_cast<int>(fault.call)]) + " failing");
  }

  for (int k = 1; k <= writes; ++k) {
    WriteFile(path, old);
    {
      ScopedFileFault interrupt(
          [k](FileCall call, int index) { return call == FileCall::Write && index == k ? EINTR : 0; });
      EXPECT_TRUE(save(&error)) << "write " << k << " interrupted: " << error;
    }
    EXPECT_EQ(ReadFile(path), fresh) << "write " << k << " interrupted";
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);

  WriteFile(path, old);
  ASSERT_TRUE(save(&error)) << error;
  EXPECT_EQ(ReadFile(path), fresh);
  EXPECT_EQ(Entries(path.parent_path()), std::vector<std::string>{path.filename().string()});
}

#ifdef _WIN32
// Windows has no file size limit to run into, so the disk fills up through the fault seam
// instead: the first write lands, every later one fails with ENOSPC.
inline void CheckFullDisk(const fs::path& path, const Bytes& old, std::size_t fresh_size, std::size_t limit,
                          const Save& save) {
  ASSERT_LT(limit, fresh_size);
  WriteFile(path, old);
  SetFileFaultForTesting([](FileCall call, int index) { return call == FileCall::Write && index > 1 ? ENOSPC : 0; });
  std::string error;
  const bool ok = save(&error);
  SetFileFaultForTesting(nullptr);
  ExpectRefusedAndUntouched(path, old, ok, error, ENOSPC, "full disk");
}
#else
// The nearest a test gets to a full disk: with SIGXFSZ ignored, writes that pass RLIMIT_FSIZE
// are cut short and then fail with EFBIG, the way ENOSPC arrives mid-file.
inline void CheckFullDisk(const fs::path& path, const Bytes& old, std::size_t fresh_size, rlim_t limit,
                          const Save& save) {
  ASSERT_LT(limit, fresh_size);
  WriteFile(path, old);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit low = saved;
  low.rlim_cur = limit;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
  std::string error;
  const bool ok = save(&error);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  std::signal(SIGXFSZ, previous);
  ExpectRefusedAndUntouched(path, old, ok, error, EFBIG, "full disk");
}
#endif

// A folder where the file should go: the rename must fail and leave the folder as it was.
inline void CheckTargetIsAFolder(const fs::path& path, const Save& save) {
  ASSERT_TRUE(fs::create_directory(path));
  const Bytes inside = {'k', 'e', 'e', 'p'};
  WriteFile(path / "inside", inside);
  std::string error;
  EXPECT_FALSE(save(&error));
  EXPECT_EQ(error.rfind(path.string() + ": ", 0), 0u) << error;
  EXPECT_NE(error.find(std::strerror(EISDIR)), std::string::npos) << error;
  EXPECT_TRUE(fs::is_directory(path));
  EXPECT_EQ(Entries(path), std::vector<std::string>{"inside"});
  EXPECT_EQ(ReadFile(path / "inside"), inside);
  EXPECT_EQ(Entries(path.parent_path()), std::vector<std::string>{path.filename().string()});
  fs::remove_all(path);
}

}  // namespace safe_save
