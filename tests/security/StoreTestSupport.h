// Helpers for the security store and parser tests: a scratch instance directory, whole-file
// reads and writes that bypass the code under test, the texts of security-file entries
// with real password hashes, and a console capture. Single-threaded test set-up.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Console.h"
#include "foundation/Errors.h"
#include "principals/PasswordHash.h"

namespace dovrel::test {

// A fresh directory with an empty DATA/ inside, removed with everything in it.
class InstanceDir {
 public:
  InstanceDir() {
    const std::string parent = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = parent + "/dovrel-store-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern + "/";
    EXPECT_FALSE(path_.empty()) << "cannot make a directory in " << parent;
    std::filesystem::create_directory(path_ + "DATA");
  }
  ~InstanceDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  InstanceDir(const InstanceDir&) = delete;
  InstanceDir& operator=(const InstanceDir&) = delete;

  // The directory with its final '/'.
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + name; }
  std::string dataDir() const { return path_ + "DATA/"; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

// "#N#bytes#".
inline std::string counted(std::string_view bytes) {
  std::string text("#");
  text += std::to_string(bytes.size());
  text += '#';
  text += bytes;
  text += '#';
  return text;
}

// The salt of every test user, so that a file written back is byte for byte the same.
inline constexpr std::string_view TEST_SALT = "0123ABCD";

// A user entry as the store writes it, its password hashed with 256 rounds.
inline std::string userEntry(const std::string& name, std::string_view kind,
                             std::string_view password, bool locked = false,
                             const std::vector<std::string>& roles = {}) {
  std::string text = "   user " + name + " alias " + counted(name) + " kind " + std::string(kind) +
                     (locked ? " account lock" : " account unlock") + " password rounds 256 salt " +
                     counted(TEST_SALT) + " hash " +
                     counted(hashPassword(password, 256, TEST_SALT)) + " {\r\n";
  for (const std::string& role : roles) text += "      " + role + ";\r\n";
  return text + "   }\r\n";
}

// A role entry as the store writes it.
inline std::string roleEntry(const std::string& name, const std::vector<std::string>& roles = {}) {
  std::string text = "   role " + name + " alias " + counted(name) + " {\r\n";
  for (const std::string& role : roles) text += "      " + role + ";\r\n";
  return text + "   }\r\n";
}

// The structure file of a table with one text field and no index.
inline std::string structureText(const std::string& table) {
  return "table " + table + " alias " + counted(table) +
         " {\r\n   field f alias #1#f# : text {\r\n" + "   };\r\n};\r\n";
}

// The message of the SemanticError that `action` throws, or "<no error>".
template <class F>
std::string semanticMessageOf(F&& action) {
  try {
    action();
  } catch (const SemanticError& e) {
    return e.message();
  }
  return "<no error>";
}

// Collects what is printed on the console while it lives.
class ConsoleCapture {
 public:
  ConsoleCapture() {
    setConsoleSink([this](std::string_view m) { text += m; });
  }
  ~ConsoleCapture() { setConsoleSink({}); }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  std::string text;
};

}  // namespace dovrel::test
