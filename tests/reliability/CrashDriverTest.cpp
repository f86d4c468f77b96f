// The crash driver: a seeded random workload (adds, replacing adds, deletes, commits, user
// and grant commands) runs against the real server through the client library while a
// model keeps every acknowledged effect; the server is killed with SIGKILL at random moments
// — between queries, a few milliseconds into a query (commits included) and during the
// replay of the next start — restarted, and checked against the model: every document by
// number with its deleted state, searches over two indexes, users, passwords and grants.
// One test thread plus the killer thread.
//
// DOVREL_CRASH_SEED (default 1) and DOVREL_CRASH_KILLS (default 20) choose the run.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/TableE2ETest.h"
#include "foundation/Cp866.h"

namespace dovrel::e2e {
namespace {

uint64_t environmentNumber(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : fallback;
}

struct Doc {
  std::string title;
  std::string year;  // "null" or a quoted number, as book() takes it
  bool deleted = false;
};

struct UserModel {
  std::string name;
  std::string password;
  bool granted = false;  // select on the first table
};

enum class Kind { ADD, REPLACE, DELETE, COMMIT, CREATE_USER, GRANT, ALTER_PASSWORD };

// One query of the workload and what it does when it happens.
struct Query {
  Kind kind = Kind::COMMIT;
  std::size_t table = 0;
  uint32_t number = 0;  // replaced or deleted document
  Doc doc;              // added document
  std::size_t user = 0;
  std::string password;
  std::string command;
};

const char* const TABLES[] = {"books", "notes"};

class CrashDriverTest : public TableE2ETest {
 protected:
  // Every effect of an acknowledged query, per table the documents by number.
  std::vector<Doc> docs_[2];
  std::vector<UserModel> users_;
  std::mt19937_64 random_;
  int kills_ = 0, killsInQuery_ = 0, killsInReplay_ = 0, pendingHappened_ = 0, pendingLost_ = 0;
  int acknowledged_ = 0;
  int checks_ = 0;
  // Where the time goes (milliseconds): workload queries, commits among them, restarts,
  // checks.
  double queryMs_ = 0, commitMs_ = 0, restartMs_ = 0, verifyMs_ = 0;

  static double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  }

  std::string request(const std::string& user, const std::string& password,
                      const std::string& command) {
    client::ClientConnection connection("127.0.0.1", instance_->port());
    return connection
        .request("User: " + user + "\r\nPassword: " + password + "\r\n" + command,
                 client::RequestMode::KNOWN_LENGTH)
        .text;
  }
  std::string admin(const std::string& command) { return request("admin", "secret", command); }
  uint64_t pick(uint64_t bound) { return bound == 0 ? 0 : random_() % bound; }

  std::string word() {
    std::string text;
    const std::size_t length = 1 + pick(12);
    for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('a' + pick(26)));
    return text;
  }

  std::vector<uint32_t> live(std::size_t table) const {
    std::vector<uint32_t> numbers;
    for (uint32_t n = 0; n < docs_[table].size(); ++n) {
      if (!docs_[table][n].deleted) numbers.push_back(n);
    }
    return numbers;
  }

  Query nextQuery() {
    Query q;
    q.table = pick(2);
    const std::string to = std::string(" to table ") + TABLES[q.table];
    const std::vector<uint32_t> alive = live(q.table);
    const uint64_t roll = pick(100);
    if (roll < 50 || alive.empty()) {
      q.kind = Kind::ADD;
    } else if (roll < 58) {
      q.kind = Kind::REPLACE;
    } else if (roll < 72) {
      q.kind = Kind::DELETE;
    } else if (roll < 82) {
      q.kind = Kind::COMMIT;
    } else if (roll < 90 || users_.empty()) {
      q.kind = Kind::CREATE_USER;
    } else if (roll < 95) {
      q.kind = Kind::GRANT;
    } else {
      q.kind = Kind::ALTER_PASSWORD;
    }
    switch (q.kind) {
      case Kind::ADD:
      case Kind::REPLACE:
        q.doc.title = word() + " " + word();
        q.doc.year = pick(4) == 0 ? "null" : "'" + std::to_string(1000 + pick(1026)) + "'";
        q.command = "add " + book(q.doc.title, q.doc.year) + to;
        if (q.kind == Kind::REPLACE) {
          q.number = alive[pick(alive.size())];
          q.command += " replacing " + std::to_string(q.number);
        }
        q.command += ";";
        break;
      case Kind::DELETE:
        q.number = alive[pick(alive.size())];
        q.command =
            "delete document " + std::to_string(q.number) + " from table " + TABLES[q.table] + ";";
        break;
      case Kind::COMMIT:
        q.command = "commit;";
        break;
      case Kind::CREATE_USER:
        q.user = users_.size();
        q.password = word();
        q.command = "create user u" + std::to_string(q.user) +
                    " alias 'x' kind grantee account unlock identified by '" + q.password + "';";
        break;
      case Kind::GRANT:
        q.user = pick(users_.size());
        q.command = "grant select on books to u" + std::to_string(q.user) + ";";
        break;
      case Kind::ALTER_PASSWORD:
        q.user = pick(users_.size());
        q.password = word();
        q.command =
            "alter user u" + std::to_string(q.user) + " identified by '" + q.password + "';";
        break;
    }
    return q;
  }

  void apply(const Query& q) {
    std::vector<Doc>& docs = docs_[q.table];
    switch (q.kind) {
      case Kind::REPLACE:
        docs[q.number].deleted = true;
        [[fallthrough]];
      case Kind::ADD:
        docs.push_back(q.doc);
        break;
      case Kind::DELETE:
        docs[q.number].deleted = true;
        break;
      case Kind::COMMIT:
        break;
      case Kind::CREATE_USER:
        users_.push_back({"u" + std::to_string(q.user), q.password, false});
        break;
      case Kind::GRANT:
        users_[q.user].granted = true;
        break;
      case Kind::ALTER_PASSWORD:
        users_[q.user].password = q.password;
        break;
    }
  }

  // The two counts of get table NAME length.
  std::pair<uint64_t, uint64_t> lengths(std::size_t table) {
    const std::string answer = admin(std::string("get table ") + TABLES[table] + " length;");
    uint64_t liveCount = 0, numbers = 0;
    EXPECT_EQ(std::sscanf(answer.c_str(), "OK\r\n%lu\r\n%lu\r\n", &liveCount, &numbers), 2)
        << cp866ToUtf8(answer);
    return {liveCount, numbers};
  }

  // The document numbers a select answers: a count line, then 4-byte little-endian numbers.
  std::vector<uint32_t> select(const std::string& command) {
    const std::string answer = admin(command);
    std::vector<uint32_t> numbers;
    const std::size_t end = answer.find("\r\n", 4);
    EXPECT_TRUE(answer.starts_with("OK\r\n") && end != std::string::npos) << cp866ToUtf8(answer);
    if (!answer.starts_with("OK\r\n") || end == std::string::npos) return numbers;
    for (std::size_t at = end + 2; at + 4 <= answer.size(); at += 4) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(answer.data() + at);
      numbers.push_back(bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                        static_cast<uint32_t>(bytes[3]) << 24);
    }
    EXPECT_EQ(std::to_string(numbers.size()), answer.substr(4, end - 4)) << command;
    return numbers;
  }

  bool loginWorks(const std::string& user, const std::string& password) {
    return request(user, password, "get table names;").starts_with("OK\r\n");
  }
  bool maySelect(const UserModel& user) {
    return request(user.name, user.password, "get table books length;").starts_with("OK\r\n");
  }
  bool isDeleted(std::size_t table, uint32_t n) {
    const std::string meta =
        admin("get document " + std::to_string(n) + " from table " + TABLES[table] + " meta;");
    EXPECT_TRUE(meta.starts_with("OK\r\n")) << cp866ToUtf8(meta);
    return meta.find("userdeleted") != std::string::npos ||
           meta.find("replacedby") != std::string::npos;
  }

  // Decides whether the query that was running at the kill happened — all of it or nothing
  // of it — and takes it into the model when it did.
  void resolve(const Query& q) {
    bool happened = false;
    switch (q.kind) {
      case Kind::ADD:
      case Kind::REPLACE: {
        const uint64_t numbers = lengths(q.table).second;
        ASSERT_TRUE(numbers == docs_[q.table].size() || numbers == docs_[q.table].size() + 1)
            << numbers << " numbers, model " << docs_[q.table].size();
        happened = numbers == docs_[q.table].size() + 1;
        if (q.kind == Kind::REPLACE) {
          EXPECT_EQ(isDeleted(q.table, q.number), happened) << "a replace half done";
        }
        break;
      }
      case Kind::DELETE:
        happened = isDeleted(q.table, q.number);
        break;
      case Kind::COMMIT:
        break;
      case Kind::CREATE_USER:
        happened =
            admin("get users;").find("user u" + std::to_string(q.user) + " ") != std::string::npos;
        break;
      case Kind::GRANT: {
        UserModel granted = users_[q.user];
        happened = maySelect(granted);
        break;
      }
      case Kind::ALTER_PASSWORD:
        happened = loginWorks(users_[q.user].name, q.password);
        break;
    }
    if (happened) {
      apply(q);
      ++pendingHappened_;
    } else {
      ++pendingLost_;
    }
  }

  // Every acknowledged effect is there, and nothing else.
  void verify() {
    for (std::size_t t = 0; t < 2; ++t) {
      const std::vector<Doc>& docs = docs_[t];
      const auto [liveCount, numbers] = lengths(t);
      ASSERT_EQ(numbers, docs.size()) << TABLES[t];
      EXPECT_EQ(liveCount, live(t).size()) << TABLES[t];
      for (std::size_t from = 0; from < docs.size(); from += 40) {
        const std::size_t to = std::min(docs.size(), from + 40);
        std::string command = "get", metaCommand = "get", expected = "OK\r\n";
        for (std::size_t n = from; n < to; ++n) {
          const std::string clause = " document " + std::to_string(n) + " from table " + TABLES[t];
          command += clause + ";";
          metaCommand += clause + " meta;";
          expected += bookText(docs[n].title, docs[n].year);
        }
        const std::string texts = admin(command);
        ASSERT_EQ(texts, expected) << TABLES[t] << " documents " << from << "-" << to - 1;
        const std::string metas = admin(metaCommand);
        ASSERT_TRUE(metas.starts_with("OK\r\n")) << cp866ToUtf8(metas);
        std::size_t at = 4;
        for (std::size_t n = from; n < to; ++n) {
          const std::size_t end = metas.find("};\r\n", at);
          ASSERT_NE(end, std::string::npos);
          const std::string meta = metas.substr(at, end - at);
          const bool deleted = meta.find("userdeleted") != std::string::npos ||
                               meta.find("replacedby") != std::string::npos;
          EXPECT_EQ(deleted, docs[n].deleted) << TABLES[t] << " document " << n << "\n" << meta;
          at = end + 4;
        }
      }
    }
    // The indexes agree with the documents: every live document by its author, and the
    // live documents holding one word of a title.
    for (std::size_t t = 0; t < 2; ++t) {
      const std::string table = TABLES[t];
      EXPECT_EQ(select("select from " + table + " where " + table + ".author.last.l = 'Tolstoy';"),
                live(t))
          << table;
      const std::vector<uint32_t> alive = live(t);
      if (alive.empty()) continue;
      const std::string title = docs_[t][alive[alive.size() / 2]].title;
      const std::string word = title.substr(0, title.find(' '));
      std::vector<uint32_t> expected;
      for (uint32_t n : alive) {
        const std::string& other = docs_[t][n].title;
        if (other.substr(0, other.find(' ')) == word || other.substr(other.find(' ') + 1) == word) {
          expected.push_back(n);
        }
      }
      EXPECT_EQ(select("select from " + table + " where " + table + ".title.w = '" + word + "';"),
                expected)
          << table << " word " << word;
    }
    // Every user in the listing; logins and grants of the newest few (those that the last
    // round may have touched most likely) and, every tenth check, of all of them.
    const std::string listing = admin("get users;");
    const std::size_t first =
        ++checks_ % 10 == 0 ? 0 : users_.size() - std::min<std::size_t>(users_.size(), 6);
    for (const UserModel& user : users_) {
      EXPECT_NE(listing.find("user " + user.name + " "), std::string::npos) << user.name;
    }
    for (std::size_t u = first; u < users_.size(); ++u) {
      const UserModel& user = users_[u];
      EXPECT_TRUE(loginWorks(user.name, user.password)) << user.name;
      EXPECT_EQ(maySelect(user), user.granted) << user.name;
    }
  }

  // Starts the server again; the start must succeed with every table and the security file.
  void restart() {
    ASSERT_FALSE(std::filesystem::exists(instance_->directory() + "critical.txt"))
        << "an assertion: " << instance_->console();
    ASSERT_TRUE(instance_->start()) << instance_->console();
  }

  // Kills the server `delayMs` after the moment of the call, from a second thread.
  std::thread killLater(uint64_t delayUs) {
    return std::thread([this, delayUs] {
      std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
      instance_->stop(SIGKILL);
    });
  }
};

TEST_F(CrashDriverTest, AcknowledgedWorkSurvivesRandomKills) {
  const uint64_t seed = environmentNumber("DOVREL_CRASH_SEED", 1);
  const uint64_t kills = environmentNumber("DOVREL_CRASH_KILLS", 20);
  random_.seed(seed);
  SCOPED_TRACE("DOVREL_CRASH_SEED=" + std::to_string(seed));

  writeSecurity("");
  ASSERT_TRUE(instance_->start());
  for (const char* table : TABLES) {
    std::string structure = BOOKS;
    structure.replace(structure.find("books"), 5, table);
    ASSERT_EQ(admin("create " + structure), "OK\r\n") << table;
  }

  for (uint64_t round = 0; static_cast<uint64_t>(kills_) < kills; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const uint64_t queries = pick(16);
    for (uint64_t i = 0; i < queries; ++i) {
      const Query q = nextQuery();
      const auto started = std::chrono::steady_clock::now();
      const std::string answer = admin(q.command);
      queryMs_ += since(started);
      if (q.kind == Kind::COMMIT) commitMs_ += since(started);
      ASSERT_TRUE(answer.starts_with("OK\r\n")) << q.command << "\n" << cp866ToUtf8(answer);
      apply(q);
      ++acknowledged_;
    }
    std::optional<Query> pending;
    if (pick(2) == 0) {
      instance_->stop(SIGKILL);  // between queries
    } else {
      // Into a query: commits take longest, so they get the widest window.
      Query q = nextQuery();
      if (pick(3) == 0) q = Query{Kind::COMMIT, 0, 0, {}, 0, {}, "commit;"};
      std::thread killer = killLater(pick(q.kind == Kind::COMMIT ? 30000 : 4000));
      std::string answer;
      try {
        answer = admin(q.command);
      } catch (const client::ClientError&) {
      }
      killer.join();
      if (answer.empty()) {
        pending = q;
        ++killsInQuery_;
      } else {
        ASSERT_TRUE(answer.starts_with("OK\r\n")) << q.command << "\n" << cp866ToUtf8(answer);
        apply(q);
        ++acknowledged_;
      }
    }
    ++kills_;
    auto started = std::chrono::steady_clock::now();
    restart();
    if (pick(4) == 0) {
      // Once more, while the journal may still be replaying.
      killLater(pick(20000)).join();
      ++kills_;
      ++killsInReplay_;
      restart();
    }
    restartMs_ += since(started);
    started = std::chrono::steady_clock::now();
    if (pending) resolve(*pending);
    verify();
    verifyMs_ += since(started);
    if (HasFatalFailure()) return;
  }
  std::cout << "crash driver: seed " << seed << ", " << kills_ << " kills (" << killsInQuery_
            << " inside a query, " << killsInReplay_ << " during replay), " << acknowledged_
            << " acknowledged queries, unacknowledged ones that happened " << pendingHappened_
            << " / did not " << pendingLost_ << ", documents " << docs_[0].size() << " + "
            << docs_[1].size() << ", users " << users_.size() << "; ms in queries " << queryMs_
            << " (commits " << commitMs_ << "), restarts " << restartMs_ << ", checks " << verifyMs_
            << std::endl;
  EXPECT_TRUE(instance_->running());
}

// Tables named like the marker files ("in_create.txt", "in_commit.txt" beside their own
// files): the server killed 0 to 3 ms into the create, the commit and the drop of such a
// table. Every next start must succeed, and the table must be there whole, with its
// acknowledged documents, or gone. Regression: the start after a kill in the create or
// drop of in_create stopped on "Ошибка удаления файла in_create.txt".
TEST_F(CrashDriverTest, TablesNamedLikeTheMarkersSurviveKillsInCreateCommitAndDrop) {
  writeSecurity("");
  ASSERT_TRUE(instance_->start());
  int kills = 0;
  for (const std::string name : {"in_create", "in_commit"}) {
    std::string structure = BOOKS;
    structure.replace(structure.find("books"), 5, name);
    const std::string length = "get table " + name + " length;";
    // Whether the table exists, judged by its length answer, which must be `counts` when it
    // does.
    const auto exists = [&](const std::string& counts) {
      const std::string answer = admin(length);
      if (answer.starts_with("ERROR\r\n") && answer.find(name) != std::string::npos) return false;
      EXPECT_EQ(answer, "OK\r\n" + counts) << cp866ToUtf8(answer);
      return true;
    };
    // Sends `command`, kills the server `delayUs` after, restarts it.
    const auto killedIn = [&](const std::string& command, uint64_t delayUs) {
      std::thread killer = killLater(delayUs);
      try {
        (void)admin(command);
      } catch (const client::ClientError&) {
      }
      killer.join();
      ++kills;
      restart();
    };
    for (uint64_t delayUs = 0; delayUs <= 3000; delayUs += 250) {
      SCOPED_TRACE(name + " killed after " + std::to_string(delayUs) + " us");
      killedIn("create " + structure, delayUs);
      if (HasFatalFailure()) return;
      if (!exists("0\r\n0\r\n")) {
        ASSERT_EQ(admin("create " + structure), "OK\r\n");
      }
      ASSERT_EQ(admin("add " + book("first") + " to table " + name + ";"), "OK\r\ndocument 0\r\n");
      killedIn("commit;", delayUs);
      if (HasFatalFailure()) return;
      ASSERT_TRUE(exists("1\r\n1\r\n"));
      killedIn("drop table " + name + ";", delayUs);
      if (HasFatalFailure()) return;
      if (exists("1\r\n1\r\n")) {
        ASSERT_EQ(admin("drop table " + name + ";"), "OK\r\n");
      }
      EXPECT_FALSE(exists(""));
      if (HasFailure()) return;
    }
  }
  std::cout << "tables named like the markers: " << kills << " kills" << std::endl;
  EXPECT_TRUE(instance_->running());
}

}  // namespace
}  // namespace dovrel::e2e
