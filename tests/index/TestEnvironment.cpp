// Sends assertion records of the index tests' death tests to a scratch directory instead of
// "critical.txt" in the working directory.
#include <gtest/gtest.h>

#include <memory>

#include "foundation/Assert.h"
#include "index/IndexTestSupport.h"

namespace {

class CriticalFileEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<dovrel::index::test::TempDir>();
    dovrel::setCriticalFilePath(dir_->file("critical.txt"));
  }
  void TearDown() override { dir_.reset(); }

 private:
  std::unique_ptr<dovrel::index::test::TempDir> dir_;
};

[[maybe_unused]] auto* const registered =
    ::testing::AddGlobalTestEnvironment(new CriticalFileEnvironment);

}  // namespace
