// Helpers for the security store and parser tests: the texts of security-file entries with
// real password hashes, and the shared instance directory, whole-file reads and writes and
// console capture. Single-threaded test set-up.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "foundation/Errors.h"
#include "principals/PasswordHash.h"
#include "support/ConsoleCapture.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace dovrel::test {

// A fresh directory with an empty DATA/ inside (memory-backed), removed with everything in it.
using testsupport::InstanceDir;

using testsupport::ConsoleCapture;
using testsupport::fileExists;
using testsupport::readFile;
using testsupport::writeFile;

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

}  // namespace dovrel::test
