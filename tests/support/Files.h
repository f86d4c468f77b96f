// Whole-file reads and writes for tests, bypassing the code under test so that a test sees
// exactly the bytes on disk. Test set-up on one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dovrel::testsupport {

// The whole file, or "" when it cannot be read.
std::string readFile(const std::string& path);
// Replaces the file's content; false (and a test failure) when it cannot be written.
bool writeFile(const std::string& path, std::string_view bytes);
// Overwrites bytes in place at `offset`, keeping the rest of the file.
void patchFile(const std::string& path, uint64_t offset, std::string_view bytes);
void copyFile(const std::string& from, const std::string& to);
bool fileExists(const std::string& path);

}  // namespace dovrel::testsupport
