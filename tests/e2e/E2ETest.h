// The base fixture of the end-to-end tests: one ServerInstance, skipped when the binaries'
// directory is unknown, and the server's console printed when a test fails.
#pragma once

#include <gtest/gtest.h>

#include <iostream>
#include <memory>

#include "support/ServerInstance.h"

namespace dovrel::e2e {

class E2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ServerInstance::binDir().empty()) GTEST_SKIP() << "DOVREL_BIN_DIR is not set";
    instance_ = std::make_unique<ServerInstance>();
  }
  void TearDown() override {
    if (instance_ && HasFailure()) {
      std::cout << "server console (" << instance_->directory() << "):\n"
                << instance_->console() << std::endl;
    }
  }

  std::unique_ptr<ServerInstance> instance_;
};

}  // namespace dovrel::e2e
