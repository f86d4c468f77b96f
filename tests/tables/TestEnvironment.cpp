// Sends assertion records of the tables' tests to a scratch directory instead of
// "critical.txt" in the working directory.
#include <gtest/gtest.h>

#include <memory>

#include "foundation/Assert.h"
#include "tables/TablesTestSupport.h"

namespace {

class CriticalFileEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<dovrel::tables_test::DataDir>();
    dovrel::setCriticalFilePath(dir_->file("critical.txt"));
  }
  void TearDown() override { dir_.reset(); }

 private:
  std::unique_ptr<dovrel::tables_test::DataDir> dir_;
};

[[maybe_unused]] auto* const registered =
    ::testing::AddGlobalTestEnvironment(new CriticalFileEnvironment);

}  // namespace
