// Corruption: bytes of a stopped instance's files (documents files, index files, the
// security file, the query journal) are flipped, seeded, and the server is started on the
// damaged copy. It must refuse to start with a message, or answer every query either exactly
// as the undamaged instance does or with an error — never crash, never stop on an
// assertion, never answer differently without saying so. One test thread.
//
// DOVREL_CORRUPT_SEED (default 1) and DOVREL_CORRUPT_FLIPS (default 30 damaged copies).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/TableE2ETest.h"
#include "foundation/Cp866.h"
#include "support/Files.h"

namespace dovrel::e2e {
namespace {

using testsupport::readFile;
using testsupport::writeFile;

namespace fs = std::filesystem;

uint64_t environmentNumber(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : fallback;
}

// The files that are damaged, relative to the instance directory.
std::vector<std::string> damageableFiles(const std::string& directory) {
  std::vector<std::string> names{"security.txt", "LOGS/current.log"};
  for (const auto& entry : fs::directory_iterator(directory + "DATA")) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(".table") || name.ends_with(".meta") || name.ends_with(".index")) {
      names.push_back("DATA/" + name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// What one damaged start came to.
// TEXT_CHANGED: security.txt is plain text without a checksum (operators may edit it), so
// a flip that leaves valid text (a letter of an alias, a digit of a hash) changes what it
// says without any error; counted apart, not a failure.
enum class Outcome { REFUSED_START, ERROR_ANSWERS, SAME_ANSWERS, TEXT_CHANGED, DEFECT };

class CorruptionTest : public TableE2ETest {
 protected:
  // The queries whose answers are compared; the last three add a document, commit and find
  // it.
  std::vector<std::string> queries_;
  std::vector<std::string> reference_;
  std::string pristine_;  // the undamaged instance's files, copied away
  std::mt19937_64 random_;

  uint64_t pick(uint64_t bound) { return bound == 0 ? 0 : random_() % bound; }

  std::string admin(const std::string& command) {
    client::ClientConnection connection("127.0.0.1", instance_->port());
    return connection
        .request("User: admin\r\nPassword: secret\r\n" + command, client::RequestMode::KNOWN_LENGTH)
        .text;
  }

  // Two tables with committed documents (some replaced, some deleted), a user made through
  // the server, and uncommitted adds left in the journal by a kill.
  void buildInstance() {
    writeSecurity("");
    ASSERT_TRUE(instance_->start());
    for (const char* table : {"books", "notes"}) {
      std::string structure = BOOKS;
      structure.replace(structure.find("books"), 5, table);
      ASSERT_EQ(admin("create " + structure), "OK\r\n");
      for (int i = 0; i < 24; ++i) {
        const std::string year = i % 3 == 0 ? "null" : "'" + std::to_string(1900 + i) + "'";
        ASSERT_TRUE(admin("add " + book("title " + std::to_string(i) + " of " + table, year) +
                          " to table " + table + ";")
                        .starts_with("OK\r\n"));
      }
      ASSERT_TRUE(
          admin(std::string("add ") + book("again") + " to table " + table + " replacing 3;")
              .starts_with("OK\r\n"));
      ASSERT_EQ(admin(std::string("delete document 5 from table ") + table + ";"), "OK\r\n");
    }
    ASSERT_EQ(admin("create user reader alias 'r' kind grantee account unlock identified by "
                    "'pw';"),
              "OK\r\n");
    ASSERT_EQ(admin("grant select on books to reader;"), "OK\r\n");
    ASSERT_EQ(admin("commit;"), "OK\r\n");
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(admin("add " + book("late " + std::to_string(i)) + " to table books;")
                      .starts_with("OK\r\n"));
    }
    ASSERT_EQ(admin("delete document 7 from table books;"), "OK\r\n");
    instance_->stop(SIGKILL);

    // books: 24 adds, a replacing add and 3 uncommitted adds; notes: 25 documents.
    for (const auto& [name, count] : {std::pair<std::string, int>{"books", 28}, {"notes", 25}}) {
      queries_.push_back("get table " + name + " length;");
      for (int from = 0; from < count; from += 7) {
        std::string documents = "get", metas = "get";
        for (int n = from; n < std::min(from + 7, count); ++n) {
          const std::string clause = " document " + std::to_string(n) + " from table " + name;
          documents += clause + ";";
          metas += clause + " meta;";
        }
        queries_.push_back(documents);
        queries_.push_back(metas);
      }
    }
    // Searches and key listings read the indexes.
    queries_.push_back("select from books where books.author.last.l = 'Tolstoy';");
    queries_.push_back("select from books where books.year.y range '1900' to '1910';");
    queries_.push_back("select including updated from notes where notes.title.w = 'notes';");
    queries_.push_back("select from notes where notes.title.w prefix 'ti' order by year.y desc;");
    queries_.push_back("select only updated from books where books.title.w = 'of';");
    queries_.push_back("get index books.title.w length;");
    queries_.push_back("get index notes.year.y from 0 length 100;");
    queries_.push_back("get index books.author.last.l from 0 length 10;");
    queries_.push_back("get users;");
    queries_.push_back("get table structures;");
    queries_.push_back("get table books privileges;");
    queries_.push_back("add " + book("probe") + " to table books;");
    queries_.push_back("commit;");
    queries_.push_back("select from books where books.title.w = 'probe';");

    pristine_ = instance_->directory() + "pristine/";
    fs::create_directory(pristine_);
    fs::copy(instance_->directory() + "DATA", pristine_ + "DATA", fs::copy_options::recursive);
    fs::copy(instance_->directory() + "LOGS", pristine_ + "LOGS", fs::copy_options::recursive);
    fs::copy_file(instance_->directory() + "security.txt", pristine_ + "security.txt");
    restorePristine();
    ASSERT_TRUE(instance_->start());
    for (const std::string& query : queries_) reference_.push_back(answer(query));
    instance_->stop(SIGKILL);
    for (const std::string& text : reference_) {
      ASSERT_FALSE(text.starts_with("ERROR")) << cp866ToUtf8(text);
    }
  }

  // Puts the undamaged files back and removes whatever the last run left.
  void restorePristine() {
    const std::string dir = instance_->directory();
    for (const char* sub : {"DATA", "LOGS"}) {
      fs::remove_all(dir + sub);
      fs::create_directory(dir + sub);
    }
    for (const char* name :
         {"critical.txt", "security_log.txt", "security.txt.new", "security.txt.bak"}) {
      fs::remove(dir + name);
    }
    fs::copy(pristine_ + "DATA", dir + "DATA", fs::copy_options::recursive);
    fs::copy(pristine_ + "LOGS", dir + "LOGS", fs::copy_options::recursive);
    fs::copy_file(pristine_ + "security.txt", dir + "security.txt",
                  fs::copy_options::overwrite_existing);
  }

  // An answer, or "" when the connection was lost. Times in meta records (creation and
  // deletion of the replayed documents) are those of the start, so they are masked.
  std::string answer(const std::string& query) {
    std::string text;
    try {
      text = admin(query);
    } catch (const client::ClientError&) {
      return "";
    }
    static const std::regex time("#19#[0-9]{2}\\.[0-9]{2}\\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}#");
    return std::regex_replace(text, time, "#19#<time>#");
  }

  // Flips 1 to 4 bytes of `name`: in its first bytes (the headers), in the header pages of a
  // documents file, on a byte that is not zero, or anywhere. Returns the positions.
  std::vector<uint64_t> damage(const std::string& name) {
    const std::string path = instance_->directory() + name;
    std::string bytes = readFile(path);
    std::vector<uint64_t> positions;
    if (bytes.empty()) return positions;
    const uint64_t count = 1 + (pick(3) == 0 ? pick(4) : 0);
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t at = 0;
      switch (pick(4)) {
        case 0:
          at = pick(std::min<uint64_t>(bytes.size(), 64));
          break;
        case 1:
          at = std::min<uint64_t>(bytes.size() - 1, pick(4) * 65536 + pick(32));
          break;
        case 2: {
          at = pick(bytes.size());
          for (uint64_t tries = 0; tries < bytes.size() && bytes[at] == 0; ++tries) {
            at = (at + 4099) % bytes.size();
          }
          break;
        }
        default:
          at = pick(bytes.size());
      }
      bytes[at] = static_cast<char>(bytes[at] ^ (1 << pick(8)));
      positions.push_back(at);
    }
    writeFile(path, bytes);
    return positions;
  }

  // A sanitizer's report on the server's standard error.
  std::string sanitizerReport() const {
    const std::string errors = readFile(instance_->directory() + "console-errors.txt");
    return errors.find("Sanitizer") != std::string::npos ||
                   errors.find("runtime error") != std::string::npos
               ? errors
               : std::string();
  }

  Outcome run(std::string* defect, std::string* refusal) {
    const std::string critical = instance_->directory() + "critical.txt";
    if (!instance_->start()) {
      if (fs::exists(critical)) {
        *defect = "assertion at start: " + instance_->console();
        return Outcome::DEFECT;
      }
      if (!sanitizerReport().empty()) {
        *defect = "sanitizer at start: " + sanitizerReport();
        return Outcome::DEFECT;
      }
      *refusal = instance_->console();
      if (refusal->empty()) {
        *defect = "start refused without a message";
        return Outcome::DEFECT;
      }
      return Outcome::REFUSED_START;
    }
    bool errors = false;
    for (std::size_t i = 0; i < queries_.size(); ++i) {
      const std::string got = answer(queries_[i]);
      if (got == reference_[i]) continue;
      if (got.starts_with("ERROR\r\n")) {
        errors = true;
        continue;
      }
      if (got.empty()) {
        // The server listens before it loads the tables and the security file: a start
        // that fails there ends the process after start() returned.
        const int status = instance_->waitForExit(10000);
        if (i == 0 && status == 1 && !fs::exists(critical) && sanitizerReport().empty()) {
          *refusal = instance_->console();
          if (refusal->empty()) *defect = "start refused without a message";
          return refusal->empty() ? Outcome::DEFECT : Outcome::REFUSED_START;
        }
        *defect = "server ended with status " + std::to_string(status) + " at: " + queries_[i] +
                  "\n" + instance_->console() + readFile(critical) + sanitizerReport();
        return Outcome::DEFECT;
      }
      *defect = "silently different answer to: " + queries_[i] + "\nexpected:\n" +
                cp866ToUtf8(reference_[i]) + "\ngot:\n" + cp866ToUtf8(got);
      instance_->stop(SIGKILL);
      return Outcome::DEFECT;
    }
    instance_->stop(SIGKILL);
    if (fs::exists(critical)) {
      *defect = "assertion: " + readFile(critical);
      return Outcome::DEFECT;
    }
    if (!sanitizerReport().empty()) {
      *defect = "sanitizer: " + sanitizerReport();
      return Outcome::DEFECT;
    }
    return errors ? Outcome::ERROR_ANSWERS : Outcome::SAME_ANSWERS;
  }
};

TEST_F(CorruptionTest, DamagedFilesAreRefusedOrReportedNeverSilentlyWrong) {
  const uint64_t seed = environmentNumber("DOVREL_CORRUPT_SEED", 1);
  const uint64_t flips = environmentNumber("DOVREL_CORRUPT_FLIPS", 30);
  random_.seed(seed);
  SCOPED_TRACE("DOVREL_CORRUPT_SEED=" + std::to_string(seed));
  buildInstance();
  if (HasFatalFailure()) return;

  const std::vector<std::string> files = damageableFiles(pristine_);
  std::map<std::string, std::map<Outcome, int>> outcomes;
  std::map<std::string, int> refusals;  // the last console line of each refused start
  int bytesFlipped = 0, defects = 0;
  for (uint64_t i = 0; i < flips; ++i) {
    restorePristine();
    const std::string name = files[pick(files.size())];
    const std::vector<uint64_t> positions = damage(name);
    bytesFlipped += static_cast<int>(positions.size());
    std::string defect, refusal;
    Outcome outcome = run(&defect, &refusal);
    if (outcome == Outcome::DEFECT && name == "security.txt" &&
        defect.starts_with("silently different")) {
      outcome = Outcome::TEXT_CHANGED;
    }
    if (!refusal.empty()) ++refusals[refusal.substr(refusal.rfind('\n', refusal.size() - 2) + 1)];
    std::string kind = name.substr(name.rfind('.'));
    ++outcomes[kind][outcome];
    if (outcome == Outcome::DEFECT) {
      ++defects;
      std::string at;
      for (uint64_t p : positions) at += " " + std::to_string(p);
      ADD_FAILURE() << "copy " << i << ": " << name << " flipped at" << at << ": " << defect;
    }
  }
  std::cout << "corruption: seed " << seed << ", " << flips << " damaged copies, " << bytesFlipped
            << " bytes flipped, " << defects << " defects\n";
  for (const auto& [kind, counts] : outcomes) {
    auto count = [&](Outcome o) { return counts.count(o) ? counts.at(o) : 0; };
    std::cout << "  " << kind << ": refused start " << count(Outcome::REFUSED_START)
              << ", error answers " << count(Outcome::ERROR_ANSWERS) << ", same answers "
              << count(Outcome::SAME_ANSWERS) << ", text changed without a checksum "
              << count(Outcome::TEXT_CHANGED) << ", defects " << count(Outcome::DEFECT) << "\n";
  }
  for (const auto& [message, count] : refusals) {
    std::cout << "  refused " << count << " times with: " << message
              << (message.ends_with("\n") ? "" : "\n");
  }
  std::cout << std::flush;
}

}  // namespace
}  // namespace dovrel::e2e
