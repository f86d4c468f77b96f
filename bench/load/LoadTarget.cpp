// Process figures from /proc for the load tool. Main thread only.
#include "load/LoadTarget.h"

#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <sstream>

namespace dovrel::load {

std::optional<double> processCpuSeconds(const std::string& process) {
  std::ifstream in("/proc/" + process + "/stat");
  const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name in parentheses may hold blanks; the fields after it are numbered from
  // 3 (the state), so utime and stime, fields 14 and 15, are the 12th and 13th.
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stoull(field);
    if (i == 15) system = std::stoull(field);
  }
  if (!fields) return std::nullopt;
  const long ticks = ::sysconf(_SC_CLK_TCK);
  if (ticks <= 0) return std::nullopt;
  return static_cast<double>(user + system) / static_cast<double>(ticks);
}

std::optional<double> threadsCpuSeconds(const std::string& process) {
  std::error_code error;
  std::filesystem::directory_iterator tasks("/proc/" + process + "/task", error);
  if (error) return std::nullopt;
  unsigned long long nanoseconds = 0;
  bool any = false;
  for (const auto& task : tasks) {
    // "time on the cpu (ns) time waiting (ns) timeslices"
    std::ifstream in(task.path() / "schedstat");
    unsigned long long running = 0;
    if (in >> running) {
      nanoseconds += running;
      any = true;
    }
  }
  if (!any) return std::nullopt;
  return static_cast<double>(nanoseconds) * 1e-9;
}

std::optional<ResidentMemory> processResidentMemory(const std::string& process) {
  std::ifstream in("/proc/" + process + "/status");
  ResidentMemory memory;
  bool now = false, peak = false;
  std::string line;
  while (std::getline(in, line)) {
    // "VmRSS:     12345 kB"
    const auto kib = [&line] { return std::stoull(line.substr(line.find(':') + 1)) * 1024; };
    if (line.starts_with("VmRSS:")) {
      memory.now = kib();
      now = true;
    } else if (line.starts_with("VmHWM:")) {
      memory.peak = kib();
      peak = true;
    }
  }
  if (!now || !peak) return std::nullopt;
  return memory;
}

}  // namespace dovrel::load
