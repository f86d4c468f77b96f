// The load tool's dovrel side: a temporary instance directory (DATA/, LOGS/, the network
// permissions admitting 127.0.0.1, security.txt made by secmigrate with the user admin),
// the real server started on a free port, and one client connection that sends every
// request. The server is halted and the directory removed at the end. One thread.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "client/ClientConnection.h"
#include "load/LoadTarget.h"

namespace dovrel::load {

class DovrelTarget final : public LoadTarget {
 public:
  // `binDir` holds dovrel and secmigrate; the instance is made inside `baseDir`. Starts the
  // server; throws LoadError when any of that fails.
  DovrelTarget(const std::string& binDir, const std::string& baseDir);
  ~DovrelTarget() override;

  std::string name() const override { return "dovrel"; }
  void create(bool durable) override;
  void prepareBatch(const std::vector<CorpusDocument>& documents, uint32_t first) override;
  void storeBatch() override;
  void commitBatch() override;
  void commit() override;
  void optimize() override;
  SearchOutcome search(const SearchQuery& query) override;
  uint64_t diskBytes() const override;
  uint64_t bytesWritten() const override;
  std::optional<double> serverCpuSeconds() const override;
  std::optional<double> serverThreadsCpuSeconds() const override;
  std::optional<ResidentMemory> serverMemory() const override;

 private:
  void makeInstance(const std::string& binDir);
  void startServer();
  void halt();
  // Sends one command as admin; the answer text (code page 866). Throws LoadError on a
  // lost connection.
  std::string ask(const std::string& command);
  // ask, and throws LoadError with the server's message unless the answer is "OK\r\n"...
  std::string askOk(const std::string& command, const char* what);

  std::string directory_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::unique_ptr<client::ClientConnection> connection_;
  std::string batch_;         // the prepared request body
  std::string expectedLast_;  // the answer's last line when the batch is stored in full
};

}  // namespace dovrel::load
