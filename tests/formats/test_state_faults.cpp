// A state save that fails at any system call leaves the state saved before
// it loadable, and no temporary behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "formats/state.h"
#include "support/failing_files.h"
#include "support/test_support.h"

namespace {

using testing_support::failing_files;
using testing_support::temp_dir;

run_state state_at(int64_t iteration, bool verified) {
  run_state s;
  s.p = 1279;
  s.iteration = iteration;
  s.shift = static_cast<uint32_t>(iteration % 1279);
  s.verified = verified;
  s.residue.assign(160, static_cast<uint8_t>(iteration));
  s.residue.back() &= 0x7F;
  return s;
}

TEST(StateFaults, AFailedSaveLeavesThePreviousStateLoadable) {
  for (const bool verified : {false, true}) {
    int64_t n = 0;
    for (int64_t k = 0; k == 0 || k <= n; ++k) {
      temp_dir dir;
      std::string why;
      const auto states = state_dir::open(dir.path, &why);
      ASSERT_TRUE(states) << why;
      ASSERT_TRUE(states->save(state_at(100, true), &why)) << why;
      bool ok;
      std::string failed;
      {
        failing_files faults(k, EIO);
        ok = states->save(state_at(200, verified), &why);
        if (k == 0) n = faults.calls();  // the clean run counts the calls
        failed = faults.failed();
      }
      SCOPED_TRACE("verified " + std::to_string(verified) + ", call " + std::to_string(k) + " (" + failed + ")");
      const std::vector<run_state> found = states->load(1279, [](const std::string&) {}, test_kind::ll);
      ASSERT_FALSE(found.empty());  // the old state, or the new one whole
      if (ok) {
        EXPECT_EQ(found[0].iteration, 200);
      } else {
        EXPECT_NE(why.find(dir.path), std::string::npos) << why;
      }
      for (const auto& e : std::filesystem::directory_iterator(dir.path))
        EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
    }
  }
}

}  // namespace
