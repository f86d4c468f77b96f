// Ending the process at once, and surviving a write to a vanished peer.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/Process.h"

namespace dovrel::platform {
namespace {

// Runs `body` in a child process whose standard output goes to a pipe; returns what it
// printed and its exit status through the out-parameters.
void runChild(void (*body)(), std::string* output, int* status) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  std::fflush(stdout);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    body();
    _exit(99);
  }
  close(pipeFds[1]);
  char buffer[256];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) output->append(buffer, n);
  close(pipeFds[0]);
  ASSERT_EQ(waitpid(child, status, 0), child);
}

TEST(ProcessTest, ExitProcessFlushesPendingOutputAndKeepsTheStatus) {
  std::string output;
  int status = 0;
  runChild(
      [] {
        // Left in the stdio buffer: a pipe is fully buffered and there is no line feed.
        std::printf("работа завершена, сохраняемся");
        exitProcess(3);
      },
      &output, &status);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(output, "работа завершена, сохраняемся");
}

TEST(ProcessTest, PeerResetDoesNotKillAProcessThatIgnoresSigpipe) {
  std::string output;
  int status = 0;
  runChild(
      [] {
        ignoreSigpipe();
        int fds[2];
        if (pipe(fds) != 0) _exit(98);
        close(fds[0]);
        // A plain write to a pipe without reader raises SIGPIPE unless it is ignored.
        const bool failed = write(fds[1], "x", 1) < 0;
        exitProcess(failed ? 0 : 97);
      },
      &output, &status);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace dovrel::platform
