// The file layer under failing system calls: each call of an operation is
// made to fail (EIO, ENOSPC), to be interrupted (EINTR) or to come short in
// turn; the operation says so when it failed, the file holds the old bytes
// or the new ones whole, and no temporary stays.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "base/files.h"
#include "support/failing_files.h"
#include "support/test_support.h"

namespace {

using testing_support::failing_files;
using testing_support::temp_dir;

const auto slurp = testing_support::read_file;
const auto put_file = testing_support::write_file;

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

// Names the failure in messages.
std::string trace(int mode, int64_t k, const std::string& failed, bool short_before = false) {
  return "mode " + std::to_string(mode) + (short_before ? " after short writes" : "") + ", call " + std::to_string(k) +
         " (" + failed + ")";
}

// The modes each call is put through: two errors, an interruption, a short transfer (0).
constexpr int kModes[] = {EIO, ENOSPC, EINTR, 0};

// Calls of op() after setup(), on a clean run or one whose transfers come short.
template <class Setup, class Op>
int64_t calls_of(Setup setup, Op op, bool short_before = false) {
  setup();
  failing_files counting(INT64_MAX, 0, short_before);
  op();
  return counting.calls();
}

// op() with call k made to fail in mode: its result and the call that failed.
template <class Op>
std::pair<bool, std::string> failing(int64_t k, int mode, Op op, bool short_before = false) {
  failing_files faults(k, mode, short_before);
  const bool ok = op();
  return {ok, faults.failed()};
}

// A failure of these calls is no failure of the operation: locking the
// temporary is only a courtesy to other writers, and folder syncs are not
// possible on every file system.
bool tolerated(const std::string& call) {
  return call == "flock" || (call.size() > 7 && call.compare(call.size() - 7, 7, " folder") == 0);
}

TEST(FileLayer, WriteSyncedKeepsTheOldFileOrWritesTheNewWhole) {
  temp_dir dir;
  const std::string path = dir.path + "/M127.state";
  const std::string old_bytes(100, 'o');
  std::string new_bytes(200000, '\0');  // larger than one read buffer
  for (size_t i = 0; i < new_bytes.size(); ++i) new_bytes[i] = static_cast<char>(i * 131 + 7);
  std::string why;
  const auto setup = [&] { put_file(path, old_bytes); };
  const auto write = [&] { return write_file_synced(path, new_bytes.data(), new_bytes.size(), &why); };
  const int64_t n = calls_of(setup, write);
  ASSERT_GE(n, 6);  // open, flock, write, fsync, close, rename and the folder's
  for (int mode : kModes)
    for (int64_t k = 1; k <= n; ++k) {
      setup();
      const auto [ok, failed] = failing(k, mode, write);
      SCOPED_TRACE(trace(mode, k, failed));
      const std::string now = slurp(path);
      if (mode == EINTR || mode == 0 || tolerated(failed)) {
        EXPECT_TRUE(ok) << why;
        EXPECT_TRUE(now == new_bytes);
      } else {
        EXPECT_FALSE(ok);
        EXPECT_TRUE(now == old_bytes);
        EXPECT_NE(why.find(path + ".tmp."), std::string::npos) << why;
      }
      EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"M127.state"});
    }
}

TEST(FileLayer, ReadWholeReadsAllOrSaysWhy) {
  temp_dir dir;
  const std::string path = dir.path + "/M127.state";
  std::string bytes(150000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 17 + 3);
  put_file(path, bytes);
  std::string got, why;
  bool missing = false;
  const auto read = [&] { return read_whole_file(path, bytes.size(), &got, &missing, &why); };
  const int64_t n = calls_of([] {}, read);
  for (int mode : kModes)
    for (int64_t k = 1; k <= n; ++k) {
      const auto [ok, failed] = failing(k, mode, read);
      SCOPED_TRACE(trace(mode, k, failed));
      if (mode == EINTR || mode == 0 || failed == "close") {
        EXPECT_TRUE(ok) << why;
        EXPECT_TRUE(got == bytes);
      } else {
        EXPECT_FALSE(ok);
        EXPECT_FALSE(missing);
      }
    }
  // One byte over the limit is refused, not cut.
  EXPECT_FALSE(read_whole_file(path, bytes.size() - 1, &got, &missing, &why));
}

TEST(FileLayer, AppendLeavesNoPartOfAFailedLine) {
  temp_dir dir;
  const std::string path = dir.path + "/results.jsonl";
  const std::string before = "{\"exponent\":3}\n", line = "{\"exponent\":5,\"res64\":\"0000000000000001\"}\n";
  int fd = -1;
  bool busy = false;
  std::string why;
  const auto setup = [&] {
    put_file(path, before);
    fd = open_locked(path, O_APPEND, &busy, &why);
    ASSERT_GE(fd, 0) << why;
  };
  const auto append = [&] { return append_whole(fd, path, line.data(), line.size(), &why) && sync_file(fd, path, &why); };
  // Each mode alone, and writes that move part before one fails (a disk filling up).
  for (const auto& [mode, short_before] : {std::pair{EIO, false}, {ENOSPC, false}, {EINTR, false}, {0, false}, {ENOSPC, true}}) {
    const int64_t n = calls_of(setup, append, short_before);
    close_file(fd);
    for (int64_t k = 1; k <= n; ++k) {
      setup();
      const auto [ok, failed] = failing(k, mode, append, short_before);
      close_file(fd);
      SCOPED_TRACE(trace(mode, k, failed, short_before));
      const std::string now = slurp(path);
      if (mode == EINTR || mode == 0) {
        EXPECT_TRUE(ok) << why;
        EXPECT_EQ(now, before + line);
      } else {
        EXPECT_FALSE(ok);
        EXPECT_NE(why.find(path), std::string::npos) << why;
        // A failed sync leaves the whole line written; a failed write none of it.
        EXPECT_TRUE(now == before || (failed == "fsync" && now == before + line)) << now;
      }
    }
  }
}

TEST(FileLayer, LockIsHeldAgainstASecondHolderAndFailuresAreReported) {
  temp_dir dir;
  const std::string path = dir.path + "/M127.lock";
  bool busy = false;
  std::string why;
  const int fd = open_locked(path, 0, &busy, &why);
  ASSERT_GE(fd, 0) << why;
  EXPECT_EQ(open_locked(path, 0, &busy, &why), -1);
  EXPECT_TRUE(busy);
  close_file(fd);
  const int64_t n = calls_of([] {}, [&] { close_file(open_locked(path, 0, &busy, &why)); });
  for (int mode : {EIO, ENOSPC, EINTR})
    for (int64_t k = 1; k < n; ++k) {  // the last call is the test's own close
      int got;
      {
        failing_files faults(k, mode);
        got = open_locked(path, 0, &busy, &why);
      }
      SCOPED_TRACE(trace(mode, k, ""));
      EXPECT_EQ(got >= 0, mode == EINTR) << why;
      EXPECT_FALSE(busy);
      EXPECT_TRUE(got >= 0 || why.find(path) != std::string::npos) << why;
      close_file(got);
    }
  // A folder where the lock file should be is refused, not locked.
  std::filesystem::create_directory(dir.path + "/M131.lock");
  EXPECT_EQ(open_locked(dir.path + "/M131.lock", 0, &busy, &why), -1);
}

TEST(FileLayer, FreeSpaceAndFolders) {
  temp_dir dir;
  EXPECT_GT(free_bytes(dir.path), 0u);
  {
    failing_files faults(1, EIO);
    EXPECT_EQ(free_bytes(dir.path), 0u);  // unknown
  }
  std::string why;
  for (int twice = 0; twice < 2; ++twice) EXPECT_TRUE(make_dir(dir.path + "/cache", 0700, &why)) << why;
  {
    failing_files faults(1, ENOSPC);
    EXPECT_FALSE(make_dir(dir.path + "/other", 0700, &why));
  }
  EXPECT_NE(why.find(dir.path + "/other"), std::string::npos) << why;
  EXPECT_EQ(folder_of("M127.state"), ".");
  EXPECT_EQ(folder_of("/M127.state"), "/");
  EXPECT_EQ(folder_of("a/b/M127.state"), "a/b");
}

}  // namespace
