// The load tool's dovrel side (POSIX process control, as in the end-to-end tests). Main
// thread only.
#include "load/DovrelTarget.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "client/ClientError.h"
#include "client/SearchAnswer.h"
#include "foundation/Cp866.h"
#include "platform/Socket.h"

namespace dovrel::load {

namespace {

namespace fs = std::filesystem;

const std::string USER = "admin";
const std::string PASSWORD = "admin";

// Indexes: words-prefix answers a prefix search with one key lookup; whole indexes give
// equality, comparisons, ranges and (text) prefixes; words gives the word search.
const std::string TABLE =
    "create table docs alias 'Load' {\n"
    "  field title alias 'Title' : text { index p 'words-prefix'; };\n"
    "  field body alias 'Body' : text { index w 'words'; };\n"
    "  field author alias 'Author' : text { index a 'whole'; };\n"
    "  field year alias 'Year' : int64 { index y 'whole'; };\n"
    "  field price alias 'Price' : double { index v 'whole'; };\n"
    "  field date alias 'Date' : date { index d 'whole'; };\n"
    "  field name alias 'Name' : text { index n 'whole'; };\n"
    "  field size alias 'Size' : int64 { index s 'whole'; };\n"
    "};";

// A value as a counted string: any bytes, no quoting rules.
std::string counted(const std::string& value) {
  std::string text = "#";  // appended piece by piece: operator+ trips g++ 12's -Wrestrict
  text += std::to_string(value.size());
  text += '#';
  text += value;
  text += '#';
  return text;
}
std::string counted(int64_t value) { return counted(std::to_string(value)); }

std::string dateText(int32_t day, int32_t month, int64_t year) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d.%02d.%04lld", day, month, static_cast<long long>(year));
  return text;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The server's message without "ERROR\r\n", as UTF-8.
std::string errorText(const std::string& answer) {
  std::string_view text = answer;
  if (text.starts_with("ERROR\r\n")) text.remove_prefix(7);
  return cp866ToUtf8(text);
}

uint16_t freePort() {
  platform::ListenSocket socket;
  if (!socket.open().ok() || !socket.bind(0).ok()) throw LoadError("no free TCP port");
  return socket.port();
}

// Runs `program` with `arguments` in `directory`, standard output and error appended to
// `output`; the child's id.
pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
            const std::string& directory, const std::string& output) {
  const pid_t pid = ::fork();
  if (pid < 0) throw LoadError("cannot start " + program);
  if (pid != 0) return pid;
  if (::chdir(directory.c_str()) != 0) ::_exit(126);
  const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  const int in = ::open("/dev/null", O_RDONLY);
  ::dup2(in, 0);
  ::dup2(out, 1);
  ::dup2(out, 2);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  ::_exit(127);
}

// The exit status of `pid`, waiting at most `milliseconds` (-1 when it is still running).
int waitFor(pid_t pid, int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

DovrelTarget::DovrelTarget(const std::string& binDir, const std::string& baseDir) {
  std::string pattern = baseDir + "/dovrel-load-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    throw LoadError("cannot create a directory in " + baseDir);
  directory_ = pattern + "/";
  try {
    makeInstance(binDir);
    startServer();
  } catch (...) {
    halt();
    throw;
  }
}

DovrelTarget::~DovrelTarget() { halt(); }

void DovrelTarget::makeInstance(const std::string& binDir) {
  fs::create_directory(directory_ + "DATA");
  fs::create_directory(directory_ + "LOGS");
  fs::create_symlink(fs::absolute(binDir + "/dovrel"), directory_ + "dovrel");
  std::ofstream(directory_ + "network_permissions.txt", std::ios::binary) << "127.0.0.1\r\n";
  std::ofstream(directory_ + "users.txt", std::ios::binary)
      << "User: " << USER << "\nPassword: " << PASSWORD << "\nLevel: 4\n";
  const std::string secmigrate = fs::absolute(binDir + "/secmigrate").string();
  const int status =
      waitFor(spawn(secmigrate, {}, directory_, directory_ + "secmigrate.txt"), 30000);
  if (status != 0 || !fs::exists(directory_ + "security.txt")) {
    throw LoadError("secmigrate failed (status " + std::to_string(status) +
                    "): " + readFile(directory_ + "secmigrate.txt"));
  }
}

void DovrelTarget::startServer() {
  port_ = freePort();
  pid_ = spawn(directory_ + "dovrel", {"-port:" + std::to_string(port_)}, directory_,
               directory_ + "console.txt");
  for (int attempt = 0; attempt < 1000; ++attempt) {
    try {
      connection_ = std::make_unique<client::ClientConnection>("127.0.0.1", port_);
      return;
    } catch (const client::ClientError&) {
    }
    if (waitFor(pid_, 0) >= 0) {
      pid_ = -1;
      throw LoadError("the server ended at start: " + readFile(directory_ + "console.txt"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw LoadError("the server does not accept connections on port " + std::to_string(port_));
}

void DovrelTarget::halt() {
  if (pid_ > 0) {
    try {
      if (connection_) {
        connection_->request(client::buildQuery(USER, PASSWORD, "halt;"),
                             client::RequestMode::KNOWN_LENGTH);
      }
    } catch (const client::ClientError&) {
      // A halt ends the server without an answer.
    }
    connection_.reset();
    if (waitFor(pid_, 120000) < 0) {
      ::kill(pid_, SIGKILL);
      waitFor(pid_, 10000);
    }
    pid_ = -1;
  }
  std::error_code ignored;
  if (!directory_.empty()) fs::remove_all(directory_, ignored);
  directory_.clear();
}

std::string DovrelTarget::ask(const std::string& command) {
  try {
    return connection_
        ->request(client::buildQuery(USER, PASSWORD, command), client::RequestMode::KNOWN_LENGTH)
        .text;
  } catch (const client::ClientError& error) {
    throw LoadError(std::string("connection to the server lost: ") + error.what());
  }
}

std::string DovrelTarget::askOk(const std::string& command, const char* what) {
  std::string answer = ask(command);
  if (!answer.starts_with("OK\r\n")) throw LoadError(std::string(what) + ": " + errorText(answer));
  return answer;
}

// The server journals every request and syncs its files only at a commit, in either mode.
void DovrelTarget::create(bool) { askOk(TABLE, "create table"); }

void DovrelTarget::prepareBatch(const std::vector<CorpusDocument>& documents, uint32_t first) {
  batch_.clear();
  for (const CorpusDocument& doc : documents) {
    batch_ += "add document { field title = " + counted(doc.title) +
              "; field body = " + counted(doc.body) + "; field author = " + counted(doc.author) +
              "; field year = " + counted(doc.year) +
              "; field price = " + counted(priceText(doc.priceCents)) +
              "; field date = " + counted(dateText(doc.day, doc.month, doc.year)) +
              "; field name = " + counted(doc.name) + "; field size = " + counted(doc.size) +
              "; } to table docs;\n";
  }
  expectedLast_ = "document " + std::to_string(first + documents.size() - 1) + "\r\n";
}

void DovrelTarget::storeBatch() {
  const std::string answer = askOk(batch_, "add");
  if (!answer.ends_with(expectedLast_)) {
    throw LoadError("add: the batch was not stored under the expected numbers (answer ends " +
                    answer.substr(answer.size() > 40 ? answer.size() - 40 : 0) + ")");
  }
}

void DovrelTarget::commitBatch() { commit(); }

void DovrelTarget::commit() { askOk("commit;", "commit"); }

void DovrelTarget::optimize() {
  // Each call does at most one merge budget of work; "complete" means one run is left.
  for (const char* index :
       {"title.p", "body.w", "author.a", "year.y", "price.v", "date.d", "name.n", "size.s"}) {
    while (!askOk(std::string("optimize index docs.") + index + ";", "optimize index")
                .ends_with("complete")) {
    }
  }
  commit();
}

SearchOutcome DovrelTarget::search(const SearchQuery& query) {
  std::string condition, order;
  std::optional<uint32_t> limit, offset;
  switch (query.kind) {
    case SearchKind::EQUALITY:
      condition = "docs.author.a = " + counted(query.text);
      break;
    case SearchKind::WORD:
      condition = "docs.body.w = " + counted(query.text);
      break;
    case SearchKind::PREFIX:
      condition = "docs.title.p prefix " + counted(query.text);
      break;
    case SearchKind::RANGE:
      condition = "docs.price.v range " + counted(priceText(query.low)) + " to " +
                  counted(priceText(query.high));
      break;
    case SearchKind::AND:
      condition =
          "docs.year.y = " + counted(query.low) + " and docs.body.w = " + counted(query.text);
      break;
    case SearchKind::ORDERED:
      condition = "docs.year.y range " + counted(query.low) + " to " + counted(query.high);
      order = " order by docs.date.d desc";
      limit = ORDERED_LIMIT;
      break;
    case SearchKind::ORDERED_ALL:
      condition = "docs.size.s >= " + counted(0);
      order = query.descending ? " order by docs.size.s desc" : " order by docs.size.s asc";
      limit = query.limit;
      offset = query.offset;
      break;
    case SearchKind::TWO_WORDS:
      condition =
          "docs.body.w = " + counted(query.text) + " and docs.body.w = " + counted(query.text2);
      break;
    case SearchKind::NAME_PREFIX:
      condition = "docs.name.n prefix " + counted(query.text);
      break;
    case SearchKind::SIZE_RANGE:
      condition = "docs.size.s range " + counted(query.low) + " to " + counted(query.high);
      break;
    case SearchKind::GET: {
      const std::string answer =
          ask("get document " + std::to_string(query.document) + " from table docs;");
      if (!answer.starts_with("OK\r\ndocument {")) throw SearchRefused(errorText(answer));
      SearchOutcome outcome;
      outcome.add(query.document);
      return outcome;
    }
    case SearchKind::TRIVIAL: {
      // "OK", the number of live documents, the number of document numbers given.
      const std::string answer = ask("get table docs length;");
      if (!answer.starts_with("OK\r\n")) throw SearchRefused(errorText(answer));
      SearchOutcome outcome;
      outcome.found = std::strtoull(answer.c_str() + 4, nullptr, 10);
      return outcome;
    }
  }
  // The count-only form is the same select with limit 0: its answer is "0 of N".
  if (query.countOnly) limit = 0;
  std::string command = "select from docs where " + condition + order;
  if (limit) command += " limit " + std::to_string(*limit);
  if (offset) command += " offset " + std::to_string(*offset);
  command += ';';
  const std::string answer = ask(command);
  if (!answer.starts_with("OK\r\n")) throw SearchRefused(errorText(answer));
  client::SearchAnswer decoded;
  std::string error;
  if (!client::decodeSearchAnswer(answer, &decoded, &error)) {
    throw LoadError("a search answer that cannot be decoded: " + error);
  }
  if (decoded.documents.size() != decoded.returned) {
    throw LoadError("a search answer whose count line does not match its numbers");
  }
  SearchOutcome outcome;
  for (uint32_t number : decoded.documents) outcome.add(number);
  outcome.found = decoded.found;
  return outcome;
}

uint64_t DovrelTarget::diskBytes() const {
  uint64_t bytes = 0;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(directory_ + "DATA", ignored)) {
    if (entry.is_regular_file()) bytes += entry.file_size();
  }
  return bytes;
}

uint64_t DovrelTarget::bytesWritten() const {
  return pid_ > 0 ? processBytesWritten(std::to_string(pid_)) : 0;
}

std::optional<double> DovrelTarget::serverCpuSeconds() const {
  if (pid_ <= 0) return std::nullopt;
  return processCpuSeconds(std::to_string(pid_));
}

std::optional<double> DovrelTarget::serverThreadsCpuSeconds() const {
  if (pid_ <= 0) return std::nullopt;
  return threadsCpuSeconds(std::to_string(pid_));
}

std::optional<ResidentMemory> DovrelTarget::serverMemory() const {
  if (pid_ <= 0) return std::nullopt;
  return processResidentMemory(std::to_string(pid_));
}

}  // namespace dovrel::load
