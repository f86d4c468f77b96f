// A scratch working directory for conversion runs, with helpers to lay out its input files
// and read back the produced security file. Used from the test's own thread.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/Files.h"
#include "support/TempDir.h"

namespace dovrel::secmigrate::testing {

class WorkDir {
 public:
  WorkDir() { EXPECT_TRUE(dir_.valid()); }

  const std::string& path() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }

  void write(const std::string& name, const std::string& bytes) const {
    ASSERT_TRUE(testsupport::writeFile(file(name), bytes)) << name;
  }
  // Creates the directory `dir` (if needed) with an empty NAME.structure per table.
  void addTables(const std::string& dir, std::initializer_list<std::string> tables) const {
    std::filesystem::create_directories(file(dir));
    for (const std::string& table : tables) write(dir + "/" + table + ".structure", "");
  }
  bool exists(const std::string& name) const { return testsupport::fileExists(file(name)); }
  std::string read(const std::string& name) const { return testsupport::readFile(file(name)); }
  // Every name in the directory, for checking that nothing was left behind.
  std::string listing() const {
    std::string names;
    for (const auto& entry : std::filesystem::directory_iterator(path())) {
      names += entry.path().filename().string() + " ";
    }
    return names;
  }

 private:
  testsupport::TempDir dir_;
};

// The salt of the first user line ("salt #8#XXXXXXXX#"), or "" when there is none.
inline std::string saltOf(const std::string& securityText) {
  const std::string marker = "salt #8#";
  const std::size_t at = securityText.find(marker);
  if (at == std::string::npos) return "";
  return securityText.substr(at + marker.size(), 8);
}

}  // namespace dovrel::secmigrate::testing
