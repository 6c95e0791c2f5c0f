#pragma once
// Fixture of the test programs that run with Wine's Windows XP setting: the
// client's logs are placed by the log manager stand-in, with a ring state of
// the test's own.
#include <gtest/gtest.h>

#include "environment/env.h"
#include "platform/process_info.h"
#include "support/win_fixtures.h"

namespace bk::test {

class XpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(bk::win::WindowsMajorVersion(), 5u) << "run with the Windows XP setting";
    vskEnvLoad();
  }
  void TearDown() override { vskEnvRelease(); }
  void Reload() {
    vskEnvRelease();
    vskEnvLoad();
  }

  LogManagerState ring_;
  ClientRegistry registry;
  ClientInstall install{registry};
};

}  // namespace bk::test
