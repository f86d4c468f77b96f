// The end-to-end server fixture (POSIX process control is allowed in tests).
#include "support/ServerInstance.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/Files.h"
#include "support/InstanceFiles.h"

namespace dovrel::e2e {

using testsupport::readFile;

namespace {

bool accepts(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

// Waits for the child; its exit status, or -1 after `milliseconds` (it is then killed).
int waitChild(pid_t pid, int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// In a forked child: the environment's additions, then the program; never returns.
[[noreturn]] void execProgram(const std::string& program, const std::vector<std::string>& arguments,
                              const std::map<std::string, std::string>& environment) {
  for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  ::_exit(127);
}

// fork + exec with the standard streams on files.
pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
            const std::string& inputPath, const std::string& outputPath,
            const std::string& errorPath, const std::map<std::string, std::string>& environment) {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // A test binary that is killed never reaches the fixture's destructor: its servers and
  // clients end with it instead of running on.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  const int in = ::open(inputPath.c_str(), O_RDONLY);
  const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(in, 0);
  ::dup2(out, 1);
  ::dup2(err, 2);
  ::setsid();  // no controlling terminal: the client never prompts
  execProgram(program, arguments, environment);
}

}  // namespace

std::string ServerInstance::binDir() {
  const char* dir = std::getenv("DOVREL_BIN_DIR");
  return dir != nullptr ? std::string(dir) : std::string();
}

uint16_t ServerInstance::freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

ServerInstance::ServerInstance() : directory_(dir_.path()) {
  if (!binDir().empty()) {
    std::filesystem::create_symlink(binDir() + "/dovrel", directory_ + "dovrel");
  }
  std::ofstream(directory_ + "stdin.txt").close();
  writeInstanceFiles(directory_);
}

ServerInstance::~ServerInstance() {
  if (running()) stop();
}

bool ServerInstance::start(uint16_t port) {
  port_ = port != 0 ? port : freePort();
  pid_ = spawn(directory_ + "dovrel", {"-port:" + std::to_string(port_)}, directory_ + "stdin.txt",
               directory_ + "console.txt", directory_ + "console-errors.txt", {});
  for (int i = 0; i < 1000; ++i) {
    if (accepts(port_)) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int ServerInstance::stop(int signal) {
  if (!running()) return -1;
  ::kill(pid_, signal);
  return waitForExit(10000);
}

int ServerInstance::waitForExit(int milliseconds) {
  if (!running()) return -1;
  const int status = waitChild(pid_, milliseconds);
  pid_ = -1;
  return status;
}

std::string ServerInstance::console() const { return readFile(directory_ + "console.txt"); }

ProgramRun ServerInstance::runServer(const std::vector<std::string>& arguments, int milliseconds) {
  return run(directory_ + "dovrel", arguments, "", {}, milliseconds);
}

ProgramRun ServerInstance::runClient(const std::vector<std::string>& arguments,
                                     const std::string& input,
                                     const std::map<std::string, std::string>& environment,
                                     int milliseconds) {
  return run(binDir() + "/dovrel-client", arguments, input, environment, milliseconds);
}

ProgramRun ServerInstance::runClientInTerminal(
    const std::vector<std::string>& arguments, const std::vector<std::string>& lines,
    const std::map<std::string, std::string>& environment, int pauseMs, int milliseconds) {
  ProgramRun result;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return result;
  const std::string terminal = ::ptsname(master);
  const std::string program = binDir() + "/dovrel-client";
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::setsid();  // the terminal becomes the controlling one when it is opened
    const int slave = ::open(terminal.c_str(), O_RDWR);
    ::dup2(slave, 0);
    ::dup2(slave, 1);
    ::dup2(slave, 2);
    execProgram(program, arguments, environment);
  }
  // Reads what the terminal shows for `ms`, or until the client is gone.
  const auto drain = [&](int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
      char buffer[4096];
      const int flags = ::fcntl(master, F_GETFL);
      ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
      const ssize_t got = ::read(master, buffer, sizeof buffer);
      if (got > 0) {
        result.output.append(buffer, static_cast<std::size_t>(got));
      } else if (got < 0 && errno != EAGAIN) {
        return;  // the client closed its side
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  };
  drain(pauseMs);
  for (const std::string& line : lines) {
    const std::string typed = line + "\n";
    (void)!::write(master, typed.data(), typed.size());
    drain(pauseMs);
  }
  (void)!::write(master, "\x04", 1);  // the end of input at the start of a line
  drain(pauseMs);
  result.status = waitChild(pid, milliseconds);
  drain(50);
  ::close(master);
  return result;
}

ProgramRun ServerInstance::run(const std::string& program,
                               const std::vector<std::string>& arguments, const std::string& input,
                               const std::map<std::string, std::string>& environment,
                               int milliseconds) {
  const std::string stem = directory_ + "run" + std::to_string(++runs_);
  std::ofstream(stem + ".in", std::ios::binary) << input;
  ProgramRun result;
  const pid_t pid =
      spawn(program, arguments, stem + ".in", stem + ".out", stem + ".err", environment);
  result.status = waitChild(pid, milliseconds);
  result.output = readFile(stem + ".out");
  result.errors = readFile(stem + ".err");
  return result;
}

}  // namespace dovrel::e2e
