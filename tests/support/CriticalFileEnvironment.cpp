// Sends the records of fatal assertions (the death tests') to a private temporary directory
// instead of "critical.txt" in the working directory, for the whole test run. Linked as an
// object into the test binaries that stop the process on purpose.
#include <gtest/gtest.h>

#include <memory>

#include "foundation/Assert.h"
#include "support/TempDir.h"

namespace {

class CriticalFileEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<dovrel::testsupport::TempDir>();
    dovrel::setCriticalFilePath(dir_->file("critical.txt"));
  }
  void TearDown() override { dir_.reset(); }

 private:
  std::unique_ptr<dovrel::testsupport::TempDir> dir_;
};

[[maybe_unused]] auto* const registered =
    ::testing::AddGlobalTestEnvironment(new CriticalFileEnvironment);

}  // namespace
