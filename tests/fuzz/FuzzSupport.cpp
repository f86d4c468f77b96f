// Shared pieces of the fuzz targets, and the link-time hook that makes a fatal assertion
// visible to libFuzzer: the fatal stop ends the process with _Exit(3), which the fuzzer
// cannot tell from a clean exit, so the programs are linked with --wrap=_Exit and status 3
// becomes an abort (the assertion text has already been printed).
#include "fuzz/FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

extern "C" [[noreturn]] void __real__Exit(int status);

extern "C" [[noreturn]] void __wrap__Exit(int status) {
  if (status == 3) {
    std::fputs("\nfatal assertion reached from fuzz input\n", stderr);
    std::abort();
  }
  __real__Exit(status);
}

namespace dovrel::fuzz {

TempDir::TempDir(std::string_view tag) {
  const std::string parent = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  std::string pattern = parent + "/dovrel-fuzz-" + std::string(tag) + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) fail("cannot create a temporary directory");
  path_ = pattern + "/";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writeWholeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) fail("cannot write " + path);
}

void copyTree(const std::string& from, const std::string& to) {
  std::error_code error;
  // libFuzzer's timeout alarm interrupts the copy now and then (EINTR); start again.
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::filesystem::remove_all(to, error);
    std::filesystem::copy(from, to, std::filesystem::copy_options::recursive, error);
    if (error != std::errc::interrupted) break;
  }
  if (error) fail("cannot copy " + from + " to " + to + ": " + error.message());
}

void fail(std::string_view what) {
  std::fprintf(stderr, "fuzz target: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

}  // namespace dovrel::fuzz
