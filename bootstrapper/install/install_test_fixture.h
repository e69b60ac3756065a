// Fixture for the install-step tests: the log and the current directory in one scratch folder,
// the install directory (BaseDirectory) in another. Win32 tests only.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/install/install_path.h"
#include "tests/support/scratch_dir.h"

namespace boot {

class InstallTest : public testing::Test {
 protected:
  void SetUp() override {
    BaseDirectory = ToU16(install_.path());
    OpenDebugLog();
  }
  void TearDown() override {
    CloseDebugLogForTesting();
    BaseDirectory.clear();
  }
  // The lines logged so far; closes the log.
  std::vector<std::u16string> Lines() {
    CloseDebugLogForTesting();
    return testutil::ReadLogLines(testutil::FindOnlyLog(run_dir_.path()));
  }

  testutil::ScratchDir run_dir_{/*make_current=*/true};
  testutil::ScratchDir install_;
};

}  // namespace boot
