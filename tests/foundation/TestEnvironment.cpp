// Sends the records of the fatal-stop tests to a private temporary directory instead of
// "critical.txt" in the working directory, for the whole test run.
#include <gtest/gtest.h>

#include <memory>

#include "foundation/Assert.h"
#include "foundation/FoundationTestUtil.h"

namespace {

class CriticalFileEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<dovrel::test::TempDir>();
    dovrel::setCriticalFilePath(dir_->file("critical.txt"));
  }
  void TearDown() override { dir_.reset(); }

 private:
  std::unique_ptr<dovrel::test::TempDir> dir_;
};

[[maybe_unused]] auto* const registered =
    ::testing::AddGlobalTestEnvironment(new CriticalFileEnvironment);

}  // namespace
